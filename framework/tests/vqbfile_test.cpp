#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "framework/vqbexception.h"
#include "framework/vqbfile.h"
#include "pal/windows.h"
#include "tests/support/child_process.h"

namespace {

std::string Dir() {
    CreateDirectoryA("C:\\files", nullptr);
    return "C:\\files\\";
}

TEST(CVQBFileTest, OpeningAMissingFileThrowsWithCauseAndParameters) {
    std::string name = Dir() + "missing.bin";
    try {
        CVQBFile f(name.c_str(), CVQBFile::modeRead);
        FAIL() << "no exception";
    } catch (const CVQBException& e) {
        EXPECT_STREQ(e.GetPlace(), "EPS_File");
        EXPECT_STREQ(e.GetOperation(), "CVQBFile");
        EXPECT_STREQ(e.GetFuncName(), "CVQBFile::CVQBFile");
        std::string expected = "CVQBFile::CVQBFile para=" + name + ", 0  file=" + name + ",  casuse=2,  OsError=2";
        EXPECT_EQ(std::string(e.GetErrMsg()), expected);
        EXPECT_STREQ(e.GetTarget1(), name.c_str());
    }
}

TEST(CVQBFileTest, ReadWriteSeekLengthRoundTrip) {
    std::string name = Dir() + "data.bin";
    CVQBFile f(name.c_str(), CVQBFile::modeCreate | CVQBFile::modeReadWrite);
    f.Write("hello world", 11);
    EXPECT_EQ(f.GetLength(), 11u);
    EXPECT_EQ(f.Seek(6, CVQBFile::begin), 6u);
    char buf[16] = {};
    EXPECT_EQ(f.Read(buf, sizeof buf), 5u);
    EXPECT_STREQ(buf, "world");
    f.SetLength(5);
    EXPECT_EQ(f.GetLength(), 5u);
    f.Close();
    EXPECT_TRUE(CVQBFile().Open(name.c_str(), CVQBFile::modeRead));
}

TEST(CVQBFileTest, ReadOnAClosedFileNamesTheOperation) {
    CVQBFile f;
    char buf[4];
    try {
        f.Read(buf, 4);
        FAIL() << "no exception";
    } catch (const CVQBException& e) {
        EXPECT_STREQ(e.GetOperation(), "Read");
        char params[64];
        std::snprintf(params, sizeof params, "para=%x, 4 ", static_cast<unsigned>(reinterpret_cast<uintptr_t>(buf)));
        EXPECT_NE(std::string(e.GetErrMsg()).find(params), std::string::npos) << e.GetErrMsg();
    }
}

TEST(CVQBFileTest, OpenReportsFailureWithoutThrowing) {
    CVQBFile f;
    CFileException error;
    EXPECT_FALSE(f.Open("C:\\no\\such\\dir\\x.bin", CVQBFile::modeRead, &error));
    EXPECT_EQ(error.m_cause, CFileException::badPath);
}

TEST(CVQBFileTest, RenameAndRemoveFailuresCarryBothNames) {
    Dir();
    try {
        CVQBFile::Rename("C:\\files\\nothing", "C:\\files\\other");
        FAIL();
    } catch (const CVQBException& e) {
        EXPECT_STREQ(e.GetFuncName(), "CVQBFile::Rename");
        EXPECT_STREQ(e.GetTarget2(), "C:\\files\\other");
        EXPECT_NE(std::string(e.GetErrMsg()).find("casuse=2,  OsError=2"), std::string::npos) << e.GetErrMsg();
    }
    EXPECT_THROW(CVQBFile::Remove("C:\\files\\nothing"), CVQBException);
}

TEST(CVQBStdioFileTest, TextLinesUseCrLfOnDisk) {
    std::string name = Dir() + "text.txt";
    {
        CVQBStdioFile f(name.c_str(), CVQBFile::modeCreate | CVQBFile::modeWrite | CVQBFile::typeText);
        f.WriteString("one\ntwo\n");
    }
    {
        CVQBFile raw(name.c_str(), CVQBFile::modeRead);
        char buf[16] = {};
        EXPECT_EQ(raw.Read(buf, sizeof buf), 10u);
        EXPECT_STREQ(buf, "one\r\ntwo\r\n");
    }
    CVQBStdioFile f(name.c_str(), CVQBFile::modeRead | CVQBFile::typeText);
    char line[32];
    ASSERT_NE(f.ReadString(line, sizeof line), nullptr);
    EXPECT_STREQ(line, "one\n");
    ASSERT_NE(f.ReadString(line, sizeof line), nullptr);
    EXPECT_STREQ(line, "two\n");
    EXPECT_EQ(f.ReadString(line, sizeof line), nullptr);
}

VQ_CHILD(file_after_stop) {
    std::string name = Dir() + "stop.bin";
    CVQBFile f(name.c_str(), CVQBFile::modeCreate | CVQBFile::modeReadWrite);
    CVQBException::SetStopSignal();
    try {
        f.Write("x", 1);
    } catch (const CVQBException& e) {
        return std::string(e.GetPlace()) == "EPS_StopRequest" && GetFileSize(f.m_hFile, nullptr) == 0 ? 0 : 1;
    } catch (...) {
        return 2;
    }
    return 3;
}

TEST(CVQBFileTest, StopRequestComesBeforeAnyFileWork) {
    vqtest::ChildProcess child("file_after_stop");
    EXPECT_EQ(child.Wait(), 0);
}

}  // namespace
