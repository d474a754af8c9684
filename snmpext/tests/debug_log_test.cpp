// The agent's debug log: configuration from the registry, record format and the ring.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <thread>
#include <string>

#include "pal/core/root.h"
#include "pal/file/path.h"
#include "snmpext/internal.h"
#include "snmpext/norvik.h"

namespace {

const char* kKey = "SOFTWARE\\QIR\\VQ FRAMEWORK\\NORVIK\\EXT_AGENT";

std::string ReadAll(const std::string& windowsPath) {
    std::ifstream in(pal::MapPath(windowsPath.c_str()), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Where a record's category and message start: the module column is at least 10 wide
// (this test program's own name is longer; the library's, "norvik", is checked by the
// export tests).
size_t CategoryAt() { return 16 + std::max<size_t>(10, norvik::ModuleName().size()) + 1; }
size_t MessageAt() { return CategoryAt() + 8; }

bool Exists(const char* windowsPath) { return GetFileAttributesA(windowsPath) != INVALID_FILE_ATTRIBUTES; }

class DebugLog : public ::testing::Test {
protected:
    void SetUp() override {
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kKey);
        ASSERT_TRUE(pal::core::MakeDirs(pal::MapPath("c:\\temp")));
        DeleteFileA("c:\\temp\\ExtAgent.log");
        DeleteFileA("c:\\temp\\ring.log");
    }
    void TearDown() override {
        norvik::CloseLog();
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kKey);
    }
    void SetDword(const char* name, DWORD value) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
        RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
        RegCloseKey(key);
    }
    void SetText(const char* name, const char* value) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
        RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), static_cast<DWORD>(strlen(value) + 1));
        RegCloseKey(key);
    }
    static void InitAndClose() {
        HANDLE trap = nullptr;
        AsnObjectIdentifier view{};
        ASSERT_TRUE(SnmpExtensionInit(0, &trap, &view));
        SnmpExtensionClose();
        CloseHandle(trap);
    }
};

TEST_F(DebugLog, NoFileUnlessDebugLogIsOn) {
    InitAndClose();  // no key at all
    SetDword("DEBUG_LOG", 0);
    SetText("LOG_PATH", "c:\\temp\\ring.log");
    InitAndClose();
    EXPECT_FALSE(Exists("c:\\temp\\ExtAgent.log"));
    EXPECT_FALSE(Exists("c:\\temp\\ring.log"));
}

TEST_F(DebugLog, DefaultPathAndTheAgentsRecords) {
    SetDword("DEBUG_LOG", 1);
    InitAndClose();
    std::string log = ReadAll("c:\\temp\\ExtAgent.log");
    ASSERT_EQ(log.size(), 10u + 2 * 137);
    EXPECT_EQ(log.substr(0, 10), "00000284\r\n");
    std::string first = log.substr(10, 137);
    // yyyymmdd,hhmmss,module,category,message
    EXPECT_EQ(first[8], ',');
    EXPECT_EQ(first[15], ',');
    EXPECT_EQ(first.substr(16, norvik::ModuleName().size()), norvik::ModuleName());
    EXPECT_EQ(first.substr(CategoryAt(), 8), "       ,");
    EXPECT_EQ(first.substr(MessageAt(), 21), "SnmpExtensionInit OK ");
    EXPECT_EQ(log.substr(147 + MessageAt(), 21), "SnmpExtensionClose OK");
}

TEST_F(DebugLog, LogPathOfUpTo63CharactersIsUsedALongerOneGivesTheDefault) {
    SetDword("DEBUG_LOG", 1);
    const std::string dir = "c:\\temp\\";
    const std::string longest = dir + std::string(63 - dir.size() - 4, 'p') + ".log";
    ASSERT_EQ(longest.size(), 63u);
    DeleteFileA(longest.c_str());
    SetText("LOG_PATH", longest.c_str());
    InitAndClose();
    EXPECT_TRUE(Exists(longest.c_str()));
    EXPECT_FALSE(Exists("c:\\temp\\ExtAgent.log"));
    DeleteFileA(longest.c_str());

    // 64 characters, with a terminator or without one: not cut to 63, the default instead.
    const std::string tooLong = dir + std::string(64 - dir.size() - 4, 'q') + ".log";
    const std::string cut = tooLong.substr(0, 63);
    for (DWORD bytes : {65u, 64u}) {
        SCOPED_TRACE(bytes);
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_SET_VALUE, &key), 0);
        ASSERT_EQ(RegSetValueExA(key, "LOG_PATH", 0, REG_SZ, reinterpret_cast<const BYTE*>(tooLong.c_str()), bytes), 0);
        RegCloseKey(key);
        InitAndClose();
        EXPECT_TRUE(Exists("c:\\temp\\ExtAgent.log"));
        EXPECT_FALSE(Exists(tooLong.c_str()));
        EXPECT_FALSE(Exists(cut.c_str()));
        DeleteFileA("c:\\temp\\ExtAgent.log");
    }
}

TEST_F(DebugLog, TheRingWrapsAfterLogRecordsSlots) {
    SetDword("DEBUG_LOG", 1);
    SetText("LOG_PATH", "c:\\temp\\ring.log");
    SetDword("LOG_RECORDS", 3);
    HANDLE trap = nullptr;
    AsnObjectIdentifier view{};
    ASSERT_TRUE(SnmpExtensionInit(0, &trap, &view));  // record 1 at 10
    norvik::WriteLog("Trap", "second");               // 147
    norvik::WriteLog("Trap", "third");                // 284
    std::string log = ReadAll("c:\\temp\\ring.log");
    EXPECT_EQ(log.substr(0, 10), "00000010\r\n");
    EXPECT_EQ(log.substr(147 + MessageAt(), 6), "second");
    EXPECT_EQ(log.substr(147 + CategoryAt(), 8), "Trap   ,");
    EXPECT_EQ(log.substr(284 + MessageAt(), 5), "third");
    norvik::WriteLog("Trap", "fourth");  // over the first slot
    log = ReadAll("c:\\temp\\ring.log");
    EXPECT_EQ(log.size(), 10u + 3 * 137);
    EXPECT_EQ(log.substr(0, 10), "00000147\r\n");
    EXPECT_EQ(log.substr(10 + MessageAt(), 6), "fourth");
    SnmpExtensionClose();
    CloseHandle(trap);
}

TEST_F(DebugLog, NoSlotsMeansTheFirstSlotOnly) {
    norvik::OpenLog("c:\\temp\\ring.log", 0);
    for (const char* m : {"one", "two", "three"}) norvik::WriteLog("", "%s", m);
    std::string log = ReadAll("c:\\temp\\ring.log");
    EXPECT_EQ(log.size(), 147u);
    EXPECT_EQ(log.substr(0, 10), "00000010\r\n");
    EXPECT_EQ(log.substr(10 + MessageAt(), 5), "three");
}

TEST_F(DebugLog, ALongMessageIsCutAtTheRecordSize) {
    norvik::OpenLog("c:\\temp\\ring.log", 10);
    std::string message(150, 'm');
    norvik::WriteLog("Trap", "%s", message.c_str());
    norvik::WriteLog("Trap", "next");
    std::string log = ReadAll("c:\\temp\\ring.log");
    ASSERT_EQ(log.size(), 10u + 2 * 137);
    size_t kept = 137 - MessageAt();
    EXPECT_EQ(log.substr(10 + MessageAt(), kept), std::string(kept, 'm')) << "no CR LF at the end of a cut record";
    EXPECT_EQ(log.substr(147 + MessageAt(), 4), "next");
}

TEST_F(DebugLog, HugeRecordCountsDoNotWrapTheLimit) {
    // 10 + n * 137 taken in 32 bits is 140 for this n, which would wrap after one record.
    const DWORD wrapsTo140 = 3417163762u;
    EXPECT_GT(norvik::LogRingLimit(wrapsTo140), 4294967296ull / 1000);
    EXPECT_GT(norvik::LogRingLimit(0x7FFFFFFF), 284u);
    // The header's eight digits bound the ring.
    EXPECT_LT(norvik::LogRingLimit(0xFFFFFFFF), 100000000ull);
    EXPECT_EQ(norvik::LogRingLimit(3), 10u + 3 * 137);

    norvik::OpenLog("c:\\temp\\ring.log", wrapsTo140);
    for (int i = 0; i < 3; ++i) norvik::WriteLog("", "r%d", i);
    std::string log = ReadAll("c:\\temp\\ring.log");
    EXPECT_EQ(log.substr(0, 10), "00000421\r\n");
    EXPECT_EQ(log.substr(284 + MessageAt(), 2), "r2");
}

TEST_F(DebugLog, ARequestersFailedMutexWaitIsLogged) {
    SetDword("DEBUG_LOG", 1);
    SetText("LOG_PATH", "c:\\temp\\ring.log");
    HANDLE trap = nullptr;
    AsnObjectIdentifier view{};
    ASSERT_TRUE(SnmpExtensionInit(0, &trap, &view));
    // Another thread holds the request mutex for the whole of Send's (shortened) wait.
    HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, norvik::kMutexName);
    ASSERT_NE(mutex, nullptr);
    HANDLE taken = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread holder([&] {
        WaitForSingleObject(mutex, INFINITE);
        SetEvent(taken);
        WaitForSingleObject(done, INFINITE);
        ReleaseMutex(mutex);
    });
    WaitForSingleObject(taken, INFINITE);
    setenv("VQ_NORVIK_LOCK_TIMEOUT", "100", 1);
    EXPECT_EQ(Send(), WAIT_TIMEOUT);
    unsetenv("VQ_NORVIK_LOCK_TIMEOUT");
    SetEvent(done);
    holder.join();
    std::string log = ReadAll("c:\\temp\\ring.log");
    EXPECT_NE(log.find("WaitForSingleObject error. Code=102"), std::string::npos);
    for (HANDLE h : {mutex, taken, done}) CloseHandle(h);
    SnmpExtensionClose();
    CloseHandle(trap);
}

}  // namespace
