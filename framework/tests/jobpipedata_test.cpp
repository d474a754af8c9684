#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "framework/jobpipedata.h"

namespace {

class Probe : public CJobPipeData {
public:
    using CJobPipeData::CJobPipeData;
    short Parse() { return atob_reqdata(&m_DataReq, &m_AsciiReq); }
    const DATA_REQUEST& Binary() const { return m_DataReq; }
};

std::string Header(const CJobPipeData& d) {
    return std::string(reinterpret_cast<const char*>(static_cast<const ASCII_REQUEST*>(d)), 163);
}

const char kHeader[] =
    "NET-A          PC-DST         DSTPROC NET-B          PC-SRC         SRCPROC "
    "30a1001005006"
    "07f     FWSYSTEM  FWNOTIFY  FWCONNECT 123430000000012345-00000000004200567";

// The application's own third words, as an application registers them.
TBL_S_JOB g_appTbl3[] = {{104, "FWEVENTLOG"}, {105, "FWZZZ     "}};

class CJobPipeDataTest : public ::testing::Test {
protected:
    void TearDown() override { CJobPipeData::RegisterSJobTbl(nullptr, 0, nullptr, 0, nullptr, 0); }
};

TEST_F(CJobPipeDataTest, ClearedRecordBytesAndTheirParse) {
    static_assert(sizeof(CJobPipeData) > 4096);
    Probe d;
    const char* raw = reinterpret_cast<const char*>(static_cast<const ASCII_REQUEST*>(d));
    EXPECT_EQ(static_cast<const void*>(raw), static_cast<const void*>(&d)) << "the object is its record";
    EXPECT_EQ(CJobPipeData::sizeofAsciiRequest(), 4096);
    EXPECT_EQ(Header(d), std::string(163, ' '));
    EXPECT_EQ(raw[163], '\0');
    EXPECT_EQ(std::string(raw + 164, 3931), std::string(3931, ' '));
    EXPECT_EQ(raw[4095], '\0');

    EXPECT_EQ(d.Parse(), -1);
    EXPECT_EQ(d.GetSJob1(), -1);
    EXPECT_EQ(d.GetSJob2(), -1);
    EXPECT_EQ(d.GetSJob3(), -1);
    EXPECT_EQ(d.GetIdCode(), 0u);
    EXPECT_EQ(d.GetKind() | d.GetExcl() | d.GetAns() | d.GetSerialNo(), 0u);
    EXPECT_EQ(d.GetSData1() | d.GetSData2() | d.GetSData5() | d.GetSData6(), 0);
    EXPECT_EQ(d.GetSData3(), 0.0);
    EXPECT_STREQ(d.GetDstNetworkId(), "");
    EXPECT_STREQ(d.GetSrcProcessName(), "");
}

TEST_F(CJobPipeDataTest, SettersWriteTheHeaderByteForByte) {
    CJobPipeData d;
    d.SetSDA("NET-A", "PC-DST", "DSTPROC", "NET-B", "PC-SRC", "SRCPROC");
    d.SetKind(3);
    d.SetExcl(0x0a);
    d.SetAns(1);
    d.SetSerialNo(0x7f);
    d.SetSJob("FWSYSTEM", "FWNOTIFY", "FWCONNECT");
    d.SetSData1(1234);
    d.SetSData2(3);
    d.SetSData3(12345);
    d.SetSData4(-42);
    d.SetSData5(0);
    d.SetSData6(567);
    d.SetExParam("#BEGIN\n#A=1\n#END");
    EXPECT_EQ(Header(d), std::string(kHeader));
    EXPECT_STREQ(d.GetExParam(), "#BEGIN\n#A=1\n#END");
    EXPECT_EQ(d.GetIdCode(), 1005006u);
    EXPECT_EQ(d.GetStrSJob1(), "FWSYSTEM  ");

    // A copy re-derives every binary field from those bytes.
    Probe copy(static_cast<const ASCII_REQUEST*>(d));
    DATA_REQUEST want{};
    std::strcpy(want.DstNetworkId, "NET-A");
    std::strcpy(want.DstPcName, "PC-DST");
    std::strcpy(want.DstProcessName, "DSTPROC");
    std::strcpy(want.SrcNetworkId, "NET-B");
    std::strcpy(want.SrcPcName, "PC-SRC");
    std::strcpy(want.SrcProcessName, "SRCPROC");
    want.Kind = 3, want.Excl = 0x0a, want.Ans = 1, want.IdCode = 1005006, want.SerialNo = 0x7f;
    want.SJob1 = 1, want.SJob2 = 5, want.SJob3 = 6;
    want.SData1 = 1234, want.SData2 = 3, want.SData3 = 12345, want.SData4 = -42, want.SData5 = 0, want.SData6 = 567;
    EXPECT_EQ(std::memcmp(&copy.Binary(), &want, sizeof want), 0);
    EXPECT_STREQ(copy.GetExParam(), "#BEGIN\n#A=1\n#END");

    // Binary to text gives the same header, Excl in upper case, and no parameter text.
    CJobPipeData fromBinary(&want);
    std::string upper(kHeader);
    upper[78] = 'A';
    EXPECT_EQ(Header(fromBinary), upper);
    const char* raw = reinterpret_cast<const char*>(static_cast<const ASCII_REQUEST*>(fromBinary));
    EXPECT_EQ(std::string(raw + 163, 3933), std::string(3933, '\0'));
    EXPECT_EQ(fromBinary.GetStrSJob3(), "FWCONNECT ");
}

TEST_F(CJobPipeDataTest, CommandWordsAndIdCode) {
    CJobPipeData d;
    d.SetSJob("FWSYSTEM", "FWWATCH", "FWEVENTLOG");
    EXPECT_EQ(d.GetSJob3(), -1);
    // The id of the first two words stays while the third is unknown.
    EXPECT_EQ(d.GetIdCode(), 1013000u);
    EXPECT_EQ(Header(d).substr(80, 9), "001013000");

    CJobPipeData::RegisterSJobTbl(nullptr, 0, nullptr, 0, g_appTbl3, 0);
    d.SetSJob3("FWEVENTLOG");
    EXPECT_EQ(d.GetSJob3(), -1) << "a table of 0 rows is never searched";

    CJobPipeData::RegisterSJobTbl(nullptr, 0, nullptr, 0, g_appTbl3, 2);
    d.SetSJob3("FWEVENTLOG");
    EXPECT_EQ(d.GetSJob3(), 104);
    EXPECT_EQ(d.GetIdCode(), 1013104u);
    EXPECT_EQ(Header(d).substr(80, 9), "001013104");
    CJobPipeData copy(d);
    EXPECT_EQ(copy.GetIdCode(), 1013104u);

    // By code: the first row with it, built-in first; an unknown code keeps the text.
    d.SetSJob2(29);
    EXPECT_EQ(d.GetStrSJob2(), "FWLANGUAGE");
    d.SetSJob1(77);
    EXPECT_EQ(d.GetSJob1(), 77);
    EXPECT_EQ(d.GetStrSJob1(), "");
    EXPECT_EQ(Header(d).substr(97, 10), "FWSYSTEM  ");
    EXPECT_EQ(d.GetIdCode(), 77029104u);
    d.SetSJob(0, 0, 0);
    EXPECT_EQ(Header(d).substr(97, 30), "******************************");

    // Codes 1, -1, 5 parse to 1000000 - 1000 + 5; all -1 parse to 0.
    Probe p;
    p.SetSJob("FWSYSTEM", "NOSUCHWORD", "FWSTOP");
    EXPECT_EQ(p.Parse(), -1);
    EXPECT_EQ(p.GetIdCode(), 999005u);

    // The key is the field as it stands: a word ended by NUL instead of blanks is not found.
    ASCII_REQUEST raw;
    std::memcpy(&raw, static_cast<const ASCII_REQUEST*>(p), sizeof raw);
    std::memcpy(raw.SJob1, "FWSYSTEM\0\0", 10);
    EXPECT_EQ(CJobPipeData(&raw).GetSJob1(), -1);
}

TEST_F(CJobPipeDataTest, SerialNumberKeepsThreeDigits) {
    CJobPipeData d;
    d.SetSerialNo(0x123);
    EXPECT_EQ(Header(d).substr(89, 3), "123");
    d.SetSerialNo(0x1123);
    EXPECT_EQ(d.GetSerialNo(), 0x1123u);
    CJobPipeData copy;
    copy = d;
    EXPECT_EQ(copy.GetSerialNo(), 0x112u);
}

TEST_F(CJobPipeDataTest, Req2AnsSwapsEndsAndCarriesTheResult) {
    CJobPipeData req;
    req.SetSDA("NET-A", "PC-DST", "DSTPROC", "NET-B", "PC-SRC", "SRCPROC");
    req.SetSJob("FWSYSTEM", "FWNOTIFY", "FWCONNECT");
    req.SetExcl(0);
    req.SetAns(1);
    req.SetSerialNo(7);
    req.SetSData1(3);
    req.SetSData4(99);
    req.SetExParam("param");
    CJobPipeData ans = req.Req2Ans(JOB_RESULT_BUSY);
    EXPECT_EQ(Header(ans).substr(0, 76), Header(req).substr(38, 38) + Header(req).substr(0, 38));
    EXPECT_EQ(Header(ans).substr(77, 3), "040");
    EXPECT_EQ(ans.GetExcl(), JOB_EXCL_ANSWER);
    EXPECT_EQ(ans.GetAns(), 0);
    EXPECT_EQ(ans.GetSData1(), 7003);
    EXPECT_STREQ(ans.GetDstProcessName(), "SRCPROC");
    EXPECT_STREQ(ans.GetSrcNetworkId(), "NET-A");
    EXPECT_EQ(ans.GetSerialNo(), 7u);
    EXPECT_EQ(ans.GetIdCode(), 1005006u);
    EXPECT_EQ(ans.GetSData4(), 99.0);
    EXPECT_STREQ(ans.GetExParam(), "param");
    EXPECT_EQ(Header(ans).substr(89), Header(req).substr(89, 38) + "7003" + Header(req).substr(131));
}

TEST_F(CJobPipeDataTest, OverlongValuesAreCutToTheirFields) {
    CJobPipeData d;
    d.SetSDA("NETWORK-ID-0123456789", "PC-NAME-0123456789", "PROCESS-NAME", "ABCDEFGHIJKLMNO",
             "SRC-PC-0123456789", "SRC-PROCESS");
    EXPECT_STREQ(d.GetDstNetworkId(), "NETWORK-ID-0123");
    EXPECT_STREQ(d.GetDstProcessName(), "PROCESS-");
    EXPECT_STREQ(d.GetSrcProcessName(), "SRC-PROC");
    EXPECT_EQ(Header(d).substr(0, 76),
              "NETWORK-ID-0123PC-NAME-0123456PROCESS-ABCDEFGHIJKLMNOSRC-PC-01234567SRC-PROC");
    EXPECT_STREQ(CJobPipeData(d).GetSrcNetworkId(), "ABCDEFGHIJKLMNO") << "15 characters survive a copy";

    d.SetSJob1("FWSYSTEMXXXXXX");
    EXPECT_EQ(d.GetStrSJob1(), "FWSYSTEMXX");
    d.SetSData3(1e300);
    d.SetSData4(-1e20);
    d.SetSData1(54321);
    d.SetIdCode(1234567890);
    const std::string header = Header(d);
    EXPECT_EQ(header.substr(127, 4), "5432");
    EXPECT_EQ(header.substr(132, 13), "1000000000000");
    EXPECT_EQ(header.substr(145, 13), "-100000000000");
    EXPECT_EQ(header.substr(80, 9), "123456789");
    EXPECT_EQ(header.substr(158, 5), "     ") << "nothing spilled past SData4";

    std::string longText(5000, 'p');
    d.SetExParam(longText.c_str());
    EXPECT_EQ(std::strlen(d.GetExParam()), 3932u);
    EXPECT_EQ(static_cast<const ASCII_REQUEST*>(d)->ExParam[3932], '\0');
}

TEST_F(CJobPipeDataTest, HostileRecordsStayInBounds) {
    // No NUL anywhere: the copy ends the parameter text at the record's last byte.
    ASCII_REQUEST raw;
    std::memset(&raw, 'A', sizeof raw);
    CJobPipeData d(&raw);
    EXPECT_EQ(std::strlen(d.GetExParam()), 3932u);
    EXPECT_STREQ(d.GetDstNetworkId(), "AAAAAAAAAAAAAAA");
    EXPECT_STREQ(d.GetSrcProcessName(), "AAAAAAAA");
    EXPECT_EQ(d.GetExcl(), 0xAA);
    EXPECT_EQ(d.GetSerialNo(), 0xAAAu);
    EXPECT_EQ(d.GetSData3(), 0.0);

    // Numbers read only up to their first blank; values the field cannot hold read as 0.
    std::memset(&raw, ' ', sizeof raw);
    std::memcpy(raw.SData1, "12 9", 4);
    std::memcpy(raw.SData3, "nan          ", 13);
    std::memcpy(raw.SData4, "1e5 999999999", 13);
    std::memcpy(raw.Excl, "F ", 2);
    std::memcpy(raw.DstPcName, "PC\tX\0junk \t   ", 15);
    d = &raw;
    EXPECT_EQ(d.GetSData1(), 12);
    EXPECT_EQ(d.GetSData3(), 0.0);
    EXPECT_EQ(d.GetSData4(), 1e5);
    EXPECT_EQ(d.GetExcl(), 0xF);
    EXPECT_STREQ(d.GetDstPcName(), "PC\tX");

    // A binary record without terminators is cut to the widths of the text record.
    DATA_REQUEST bin;
    std::memset(&bin, 'B', sizeof bin);
    CJobPipeData fromBinary(&bin);
    EXPECT_STREQ(fromBinary.GetDstNetworkId(), "BBBBBBBBBBBBBBB");
    EXPECT_STREQ(fromBinary.GetSrcProcessName(), "BBBBBBBB");
    EXPECT_EQ(Header(fromBinary).substr(0, 76), std::string(76, 'B'));
    EXPECT_EQ(Header(fromBinary).substr(92, 5), "     ");
}

}  // namespace
