// The error logging helpers write through the application log.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "framework/apllog.h"
#include "framework/vqberrlog.h"
#include "framework/vqbobj.h"
#include "pal/file/path.h"
#include "pal/windows.h"

namespace {

std::string ReadAll(const char* winPath) {
    std::ifstream in(pal::MapPath(winPath), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class Logger : public CVQBObj {
public:
    Logger() {
        SetTarget("CLogger::Do");
        SetIdCode(77);
    }
    using CVQBObj::LogWrite;
    using CVQBObj::LogWrite1;
    using CVQBObj::LogWrite2;
};

class ErrLogTest : public testing::Test {
protected:
    void SetUp() override {
        CreateDirectoryA("C:\\errlog", nullptr);
        CAplLog::Open(1, "errtest", "C:\\errlog", 4000000, 0);
        CAplLog::SetLog2Info("PC", 1, 1, 3, 0);
    }
    void TearDown() override { CAplLog::Close(); }
};

TEST_F(ErrLogTest, LogWriteResultFollowsTheCode) {
    Logger l;
    EXPECT_EQ(l.LogWrite(100, 0, 5, 1, "fine %d", 1), 1);
    EXPECT_EQ(l.LogWrite(100, 5, 5, 1, "failed %s", "x"), 0);
    EXPECT_EQ(l.IsError(), 1);
    EXPECT_EQ(l.GetErrorCode(), 5);
    std::string apl = ReadAll("C:\\errlog\\vqapl.log");
    EXPECT_NE(apl.find("000000005,0100-00000005,CLogger::Do                   ,1,failed x"), std::string::npos);
}

TEST_F(ErrLogTest, LogWriteLevelsUseTheirEventCodes) {
    Logger l;
    EXPECT_EQ(l.LogWrite1(3, "one"), 0);
    EXPECT_EQ(l.LogWrite2(4, "two"), 0);
    std::string err = ReadAll("C:\\errlog\\vqerr.log");
    EXPECT_NE(err.find("000000077,8000-00000003,CLogger::Do                   ,1,one"), std::string::npos);
    EXPECT_NE(err.find("000000077,7000-00000004,CLogger::Do                   ,2,two"), std::string::npos);
}

TEST_F(ErrLogTest, WinErrorMessagesEndWithTheSystemText) {
    EXPECT_EQ(GetWinErrorMsg(5), "Access is denied.\r\n");
    EXPECT_EQ(GetWinErrorMsg(0xDEAD), "");
    std::string m = LogWinErrorMsg2("::main", 5, "open %s", "x.ini");
    EXPECT_EQ(m, "open x.ini  :  Access is denied.\r\n");
    std::string err = ReadAll("C:\\errlog\\vqerr.log");
    EXPECT_NE(err.find("7000-00000005,::main"), std::string::npos);
    EXPECT_NE(err.find("open x.ini  :  Access is denied.\r\n"), std::string::npos);  // raw in the body
}

}  // namespace
