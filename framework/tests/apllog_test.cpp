// The application log's files byte for byte, within one process.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>
#include <string>
#include <vector>

#include "framework/apllog.h"
#include "pal/file/path.h"
#include "pal/windows.h"

namespace {

std::string ReadAll(const std::string& winPath) {
    std::ifstream in(pal::MapPath(winPath.c_str()), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct Seen {
    std::vector<std::string> messages1;
    std::vector<std::string> heads;
    std::vector<std::string> bodies;
};
Seen g_seen;

void Handler1(WORD, DWORD, LONG, const char*, const char* message) {
    g_seen.messages1.push_back(message ? message : "(null)");
}
void Handler2(WORD, DWORD, LONG, const char*, const char* head, const char* body, LONG) {
    g_seen.heads.push_back(head);
    g_seen.bodies.push_back(body);
}

class AplLogTest : public testing::Test {
protected:
    void SetUp() override {
        dir_ = std::string("C:\\logs_") + testing::UnitTest::GetInstance()->current_test_info()->name();
        CreateDirectoryA(dir_.c_str(), nullptr);
        g_seen = Seen{};
    }
    void TearDown() override {
        CAplLog::SetWriteHandler(nullptr);
        CAplLog::SetWriteHandler2(nullptr);
        CAplLog::Close();
    }
    void OpenLog(LONG size = 4000000, int flushThread = 0, bool shortForm = false) {
        if (shortForm) {
            HKEY k;
            DWORD disp;
            RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\QIR\\VQ FRAMEWORK\\SYSTEM\\APLLOG", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &k, &disp);
            RegCloseKey(k);
        }
        CAplLog::SetLog2Info("POS-0001", 3, 4, 3, 0);  // before the housekeeping thread can log
        CAplLog::Open(1, "testproc", dir_.c_str(), size, flushThread);
    }
    std::string Main(const char* file = "vqapl.log") const { return ReadAll(dir_ + "\\" + file); }
    // A rename request made before the housekeeping thread holds the right is dropped.
    void WaitForTheRight() const {
        for (int i = 0; i < 1000 && Main("vqrapl.log").find("It acquired the right of log rule.") == std::string::npos;
             ++i)
            Sleep(10);
    }
    std::string dir_;
};

TEST_F(AplLogTest, NewFilesStartWithTheEmptyHeaderAndTheFirstRecordFollows) {
    OpenLog();
    EXPECT_EQ(Main(), "00000010\r\n");
    EXPECT_EQ(Main("vqerr.log"), "00000010\r\n");
    EXPECT_EQ(Main("vqser.log"), "00000010\r\n");
    CAplLog::Write(0, 0x1f, 123, "CTest::Run", "hello", 1);
    std::string f = Main();
    ASSERT_EQ(f.size(), 266u);
    EXPECT_EQ(f.substr(0, 10), "00000266\r\n");
    std::string rec = f.substr(10);
    EXPECT_EQ(rec[8], ',');
    EXPECT_EQ(rec[15], ',');
    std::string expectedTail = std::string(",03,04,POS-0001       ,testproc,         0,000000123,0000-0000001f,") +
                               "CTest::Run                    ,1," + "hello" + std::string(134, ' ') + "\r\n";
    EXPECT_EQ(rec.substr(15), expectedTail);
    EXPECT_EQ(Main("vqerr.log"), "00000010\r\n");
}

TEST_F(AplLogTest, TheRingWrapsJustPastTheLimit) {
    OpenLog(1000);
    for (int i = 0; i < 4; ++i) CAplLog::Write(0, 0, 0, "F", "m", 1);
    // 10, 266, 522 and 778: the last starts at or below the limit and ends above it.
    EXPECT_EQ(Main().substr(0, 10), "00001034\r\n");
    CAplLog::Write(0, 0, 0, "F", "fifth", 1);
    std::string f = Main();
    EXPECT_EQ(f.size(), 1034u);
    EXPECT_EQ(f.substr(0, 10), "00000266\r\n");
    EXPECT_EQ(f.substr(10 + 115, 5), "fifth");
}

TEST_F(AplLogTest, HugeSizesAreCutSoTheHeaderKeepsTenBytes) {
    OpenLog(150000000);
    EXPECT_EQ(CAplLog::m_FileSize, CAplLog::kMaxFileSize);
}

TEST_F(AplLogTest, EventCodesRouteToTheirFiles) {
    OpenLog();
    CAplLog::Write(100, 0, 0, "F", "a", 1);
    CAplLog::Write(7500, 0, 0, "F", "b", 1);
    CAplLog::Write(8000, 0, 0, "F", "c", 1);
    CAplLog::Write(9000, 0, 0, "F", "d", 1);
    EXPECT_EQ(Main().size(), 10u + 4 * 256);
    EXPECT_EQ(Main("vqerr.log").size(), 10u + 3 * 256);
    EXPECT_EQ(Main("vqser.log").size(), 10u + 256);
    EXPECT_EQ(Main("vqser.log").substr(10 + 68, 5), "9000-");
}

TEST_F(AplLogTest, LevelsDecideWhereARecordGoes) {
    OpenLog(4000000, 0, true);
    CAplLog::SetWriteHandler(Handler1);
    CAplLog::SetWriteHandler2(Handler2);
    CAplLog::SetLogLevel(0);
    CAplLog::Write(0, 0, 0, "F", "level two", 2);
    EXPECT_EQ(Main(), "00000010\r\n");  // not in the main files
    EXPECT_NE(Main("vqrapl.log").find("level two"), std::string::npos);
    ASSERT_EQ(g_seen.messages1.size(), 1u);
    EXPECT_TRUE(g_seen.heads.empty());

    CAplLog::SetLogLevel(3);
    std::string before = Main("vqrapl.log");
    CAplLog::Write(0, 0, 0, "F", "level five", 5);
    EXPECT_EQ(Main("vqrapl.log"), before);
    EXPECT_EQ(g_seen.messages1.size(), 1u);
}

TEST_F(AplLogTest, LineBreaksStayInTheRecordButNotInTheShortForm) {
    OpenLog(4000000, 0, true);
    CAplLog::SetWriteHandler(Handler1);
    CAplLog::SetWriteHandler2(Handler2);
    CAplLog::Write(0, 0, 0, "F", "a\r\nb", 1);
    std::string rec = Main().substr(10);
    ASSERT_EQ(rec.size(), 256u);
    EXPECT_EQ(rec.substr(115, 4), "a\r\nb");
    EXPECT_EQ(g_seen.messages1.at(0), "a\x7f\x7f" "b");
    EXPECT_EQ(g_seen.heads.at(0).size(), 115u);
    EXPECT_EQ(g_seen.bodies.at(0).size(), 139u);
    std::string line = Main("vqrapl.log").substr(10);
    EXPECT_NE(line.find("a\x7f\x7f" "b\r\n"), std::string::npos);
}

TEST_F(AplLogTest, ShortFormLayout) {
    OpenLog(4000000, 0, true);
    std::string name35(35, 'f');
    CAplLog::Write(0, 0x2a, 0, name35.c_str(), "m1", 1);
    CAplLog::Write(7001, 0, 0, "CShort::Fn", "m2", 1);
    CAplLog::Write(0, 0, 0, nullptr, nullptr, 1);
    std::string f = Main("vqrapl.log").substr(10);
    size_t l1 = f.find("\r\n");
    std::string first = f.substr(0, l1);
    // "YYMMDD HHMMSS name---- tid------- " is 14 + 9 + 11 = 34 characters.
    EXPECT_EQ(first.substr(14, 9), "testproc ");
    EXPECT_EQ(first.substr(34, 5), "    -");
    EXPECT_EQ(first.substr(39, 10), "0000002a  ");
    EXPECT_EQ(first.substr(49), name35 + "   m1");  // 35 % 8 = 3 blanks
    std::string second = f.substr(l1 + 2, f.find("\r\n", l1 + 2) - l1 - 2);
    EXPECT_EQ(second.substr(34, 5), "7001-");
    EXPECT_EQ(second.substr(49), "CShort::Fn" + std::string(22, ' ') + "m2");
    EXPECT_NE(f.find("00000000  \r\n"), std::string::npos);  // neither function nor message
}

TEST_F(AplLogTest, LongFunctionNamesDoNotOverflowTheShortForm) {
    OpenLog(4000000, 0, true);
    std::string longName(500, 'x');
    CAplLog::Write(0, 0, 0, longName.c_str(), "tail", 1);
    std::string f = Main("vqrapl.log");
    EXPECT_NE(f.find(longName + std::string(500 % 8, ' ') + "tail\r\n"), std::string::npos);
    // The main record still cuts the name to 30.
    EXPECT_EQ(Main().substr(10 + 82, 31), std::string(30, 'x') + ",");
}

TEST(AplLogNames, MutexSuffixFollowsTheDirectory) {
    EXPECT_EQ(CAplLog::MutexSuffix("c:\\"), "c__");
    EXPECT_EQ(CAplLog::MutexSuffix("D:\\LOG\\DATA\\"), "D__LOG_DATA_");
}

TEST_F(AplLogTest, RenameClearPicksTheNextFreeBackupName) {
    OpenLog(4000000, 1, true);
    WaitForTheRight();
    CAplLog::Write(0, 0, 0, "F", "before", 1);
    SYSTEMTIME t;
    GetLocalTime(&t);
    char base[160];
    std::snprintf(base, sizeof base, "%s\\vqapl.%02d%02d", dir_.c_str(), t.wMonth, t.wDay);
    HANDLE h = CreateFileA(base, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    CloseHandle(h);
    CAplLog::RenameClear();
    std::string backup = std::string(base) + "a";
    for (int i = 0; i < 500 && GetFileAttributesA(backup.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(10);
    Sleep(50);
    std::string copied = ReadAll(backup);
    EXPECT_NE(copied.find("before"), std::string::npos);
    // The live file was emptied; the next write starts a new header.
    CAplLog::Write(0, 0, 0, "F", "after", 1);
    std::string live = Main();
    EXPECT_EQ(live.substr(0, 10), "00000266\r\n");
    EXPECT_EQ(live.find("before"), std::string::npos);
}

TEST_F(AplLogTest, AllBackupNamesTakenIsReportedOnce) {
    OpenLog(4000000, 1, true);
    WaitForTheRight();
    SYSTEMTIME t;
    GetLocalTime(&t);
    char base[160];
    std::snprintf(base, sizeof base, "%s\\vqapl.%02d%02d", dir_.c_str(), t.wMonth, t.wDay);
    for (int k = 0; k < 27; ++k) {
        std::string name = k == 0 ? base : std::string(base) + static_cast<char>('a' + k - 1);
        CloseHandle(CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    }
    CAplLog::RenameClear();
    std::string err;
    for (int i = 0; i < 1000 && err.find("It has not rname and ckear log. (2)") == std::string::npos; ++i) {
        Sleep(10);
        err = Main("vqerr.log");
    }
    EXPECT_NE(err.find("8000-ffffffff"), std::string::npos);
    EXPECT_NE(err.find("It has not rname and ckear log. (2)"), std::string::npos);
}

TEST_F(AplLogTest, CloseDuringConcurrentWritesLeavesNoTornRecord) {
    OpenLog(4000000, 1);
    std::vector<std::thread> writers;
    for (int t = 0; t < 3; ++t)
        writers.emplace_back([] {
            for (int i = 0; i < 200; ++i) CAplLog::Write(0, 0, 0, "W", "concurrent", 1);
        });
    Sleep(5);
    CAplLog::Close();
    for (auto& w : writers) w.join();
    std::string f = Main();
    ASSERT_GE(f.size(), 10u);
    EXPECT_EQ((f.size() - 10) % 256, 0u);
    EXPECT_EQ(std::stoul(f.substr(0, 8)), f.size());
}

}  // namespace
