// Several processes logging into one directory.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "framework/apllog.h"
#include "pal/file/path.h"
#include "pal/windows.h"
#include "tests/support/child_process.h"

namespace {

std::string ReadAll(const std::string& winPath) {
    std::ifstream in(pal::MapPath(winPath.c_str()), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Each test logs into its own directory; children learn it from the environment.
std::string Dir() {
    const char* d = getenv("VQTEST_LOGDIR");
    return d ? d : "C:\\shared";
}

std::string In(const char* file) { return Dir() + "\\" + file; }

void UseOwnDirectory() {
    std::string d = std::string("C:\\shared_") + testing::UnitTest::GetInstance()->current_test_info()->name();
    setenv("VQTEST_LOGDIR", d.c_str(), 1);
}

void OpenIn(const char* process, LONG size, int flushThread) {
    CreateDirectoryA(Dir().c_str(), nullptr);
    // The PC name first: the housekeeping thread may log before Open returns, and main
    // records are written only once a PC name is known.
    CAplLog::SetLog2Info("POS-0001", 1, 1, 3, 0);
    CAplLog::Open(1, process, Dir().c_str(), size, flushThread);
}

VQ_CHILD(ring_writer) {
    OpenIn(args.at(0).c_str(), 10 + 256 * 7, 0);
    for (int i = 0; i < 150; ++i) CAplLog::Write(0, 0, i, "CWriter::Run", args.at(0).c_str(), 1);
    CAplLog::Close();
    return 0;
}

VQ_CHILD(log_holder) {
    OpenIn(args.at(0).c_str(), 4000000, 1);
    vqtest::Tell("open");
    Sleep(INFINITE);
    return 0;
}

VQ_CHILD(log_holder_exits) {
    OpenIn(args.at(0).c_str(), 4000000, 1);
    vqtest::Tell("open");
    Sleep(300);
    CAplLog::Close();
    return 0;
}

VQ_CHILD(numbered_writer) {
    OpenIn("writer", 40000000, 0);
    vqtest::Tell("open");
    int n = std::stoi(args.at(0));
    for (int i = 0; i < n; ++i) {
        char msg[32];
        std::snprintf(msg, sizeof msg, "rec %05d", i);
        CAplLog::Write(0, 0, 0, "CWriter::Run", msg, 1);
        if (i % 10 == 0) Sleep(1);
    }
    CAplLog::Close();
    return 0;
}

bool WaitForText(const std::string& file, const std::string& text, int ms = 10000) {
    for (int waited = 0; waited < ms; waited += 20) {
        if (ReadAll(file).find(text) != std::string::npos) return true;
        Sleep(20);
    }
    return false;
}

TEST(AplLogProcesses, ThreeWritersKeepTheRingWhole) {
    UseOwnDirectory();
    vqtest::ChildProcess a("ring_writer", {"procA"}), b("ring_writer", {"procB"}), c("ring_writer", {"procC"});
    EXPECT_EQ(a.Wait(), 0);
    EXPECT_EQ(b.Wait(), 0);
    EXPECT_EQ(c.Wait(), 0);
    std::string f = ReadAll(In("vqapl.log"));
    ASSERT_GE(f.size(), 10u);
    ASSERT_EQ((f.size() - 10) % 256, 0u) << f.size();
    unsigned long pos = std::stoul(f.substr(0, 8));
    EXPECT_EQ((pos - 10) % 256, 0u);
    EXPECT_LE(pos, f.size());
    for (size_t off = 10; off < f.size(); off += 256) {
        std::string rec = f.substr(off, 256);
        EXPECT_EQ(rec.substr(254), "\r\n") << off;
        EXPECT_EQ(rec.substr(38, 4), "proc") << off;
        EXPECT_EQ(rec.substr(82, 12), "CWriter::Run") << off;
    }
}

TEST(AplLogProcesses, RightOfLogRulePassesWhenTheHolderExits) {
    UseOwnDirectory();
    vqtest::ChildProcess first("log_holder_exits", {"first"});
    ASSERT_TRUE(first.Expect("open"));
    ASSERT_TRUE(WaitForText(In("vqapl.log"), "first   "));
    vqtest::ChildProcess second("log_holder", {"second"});
    ASSERT_TRUE(second.Expect("open"));
    EXPECT_EQ(first.Wait(), 0);
    EXPECT_TRUE(WaitForText(In("vqapl.log"), "second  ,         0,000000000,0000-00000000,CAplLog::LogFlsuhThread       ,2,It acquired the right of log rule."));
}

TEST(AplLogProcesses, RightOfLogRulePassesWhenTheHolderIsKilled) {
    UseOwnDirectory();
    vqtest::ChildProcess first("log_holder", {"first"});
    ASSERT_TRUE(first.Expect("open"));
    ASSERT_TRUE(WaitForText(In("vqapl.log"), "It acquired the right of log rule."));
    vqtest::ChildProcess second("log_holder", {"second"});
    ASSERT_TRUE(second.Expect("open"));
    Sleep(100);
    EXPECT_EQ(ReadAll(In("vqapl.log")).find("second  ,"), std::string::npos);  // still waiting
    first.Kill(SIGKILL);
    first.Wait();
    EXPECT_TRUE(WaitForText(In("vqapl.log"), "second  ,         0,000000000,0000-00000000,CAplLog::LogFlsuhThread       ,2,It acquired the right of log rule."));
}

TEST(AplLogProcesses, CloseEndsAWaitForTheRightOfLogRule) {
    UseOwnDirectory();
    vqtest::ChildProcess holder("log_holder", {"holder"});
    ASSERT_TRUE(holder.Expect("open"));
    ASSERT_TRUE(WaitForText(In("vqapl.log"), "It acquired the right of log rule."));
    OpenIn("waiter", 4000000, 1);  // its housekeeping thread now waits for the right
    Sleep(50);
    CAplLog::Close();  // must not hang, nor leave the thread using closed handles
    EXPECT_EQ(CAplLog::m_hThreadAplLog, nullptr);
    EXPECT_EQ(CAplLog::IsOpen(), 0);
    EXPECT_EQ(ReadAll(In("vqapl.log")).find("waiter  ,"), std::string::npos);
}

TEST(AplLogProcesses, RenameClearWhileAnotherProcessWritesLosesNothing) {
    UseOwnDirectory();
    OpenIn("holder", 40000000, 1);
    const int n = 300;
    vqtest::ChildProcess writer("numbered_writer", {std::to_string(n)});
    ASSERT_TRUE(writer.Expect("open"));
    for (int i = 0; i < 3; ++i) {
        Sleep(60);
        CAplLog::RenameClear();
    }
    EXPECT_EQ(writer.Wait(), 0);
    Sleep(300);
    CAplLog::Close();
    std::string all = ReadAll(In("vqapl.log"));
    WIN32_FIND_DATAA fd;
    HANDLE find = FindFirstFileA(In("vqapl.*").c_str(), &fd);
    int backups = 0;
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::string name = fd.cFileName;
            if (name == "vqapl.log") continue;
            ++backups;
            all += ReadAll(In(name.c_str()));
        } while (FindNextFileA(find, &fd));
        FindClose(find);
    }
    EXPECT_GE(backups, 1);
    for (int i = 0; i < n; ++i) {
        char msg[32];
        std::snprintf(msg, sizeof msg, "rec %05d", i);
        ASSERT_NE(all.find(msg), std::string::npos) << msg;
    }
}

}  // namespace
