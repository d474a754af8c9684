// The journal's view of a record: what a person greps for must be there, on one line.
#include <gtest/gtest.h>

#include <string>

#include "standins/taskctrl/record_line.h"

namespace taskctrl {
namespace {

TEST(RecordLine, ControlCharactersAreEscapedAndLongTextsCut) {
    EXPECT_EQ(EscapeText("#BEGIN\n#A=\"x\"\t\\\x01\r\x7f#END", 100), "#BEGIN\\n#A=\\\"x\\\"\\t\\\\\\x01\\r\\x7f#END");
    std::string longText(300, 'a');
    EXPECT_EQ(EscapeText(longText.c_str(), 200), std::string(200, 'a') + "...");
    EXPECT_EQ(EscapeText(std::string(200, 'b').c_str(), 200), std::string(200, 'b')) << "exactly at the limit";
    EXPECT_EQ(EscapeText("", 10), "");
}

TEST(RecordLine, RequestsShowNamesFlagsWordsAndParameterText) {
    CJobPipeData r;
    r.SetSDA("", "", "sample", "NET1", "PC01", "vqjob12");
    r.SetAns(1);
    r.SetSerialNo(0x2a);
    r.SetSJob("FWSYSTEM", "FWQUERY", "FWCONNECT");
    r.SetExParam("#BEGIN\n#KEY=1\n#END");
    CJobPipeData wire(static_cast<const ASCII_REQUEST*>(r));  // as read from the pipe
    EXPECT_EQ(DescribeRecord(wire),
              "src NET1/PC01/vqjob12 | dst -/-/sample | excl 00 ans 1 serial 42 | FWSYSTEM FWQUERY FWCONNECT"
              " | param(18) \"#BEGIN\\n#KEY=1\\n#END\"");
}

TEST(RecordLine, AnswersShowTheirResultAndUnknownWordsShowAsSent) {
    CJobPipeData r;
    r.SetSDA("NET1", "PC01", "ghost", "NET1", "PC01", "sample");
    r.SetAns(1);
    r.SetSerialNo(7);
    r.SetSJob("FWSYSTEM", "FWWATCH", "FWEVENTLOG");  // the last word only an application knows
    CJobPipeData wire(static_cast<const ASCII_REQUEST*>(r));
    std::string request = DescribeRecord(wire);
    EXPECT_NE(request.find("| FWSYSTEM FWWATCH FWEVENTLOG |"), std::string::npos) << request;
    EXPECT_EQ(request.find("result"), std::string::npos) << request;

    std::string answer = DescribeRecord(wire.Req2Ans(7002));
    EXPECT_NE(answer.find("src NET1/PC01/ghost | dst NET1/PC01/sample | excl 04 ans 0 serial 7 |"),
              std::string::npos)
        << answer;
    EXPECT_NE(answer.find("| result 7002 | param(0) \"\""), std::string::npos) << answer;
}

}  // namespace
}  // namespace taskctrl
