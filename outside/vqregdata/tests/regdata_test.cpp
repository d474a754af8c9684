#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "outside/vqregdata/regdata.h"

namespace {

const char* kFilterInf = "CORVANE\\EVENTLOG_FILTER_INF";
const char* kFilterList = "CORVANE\\EVENTLOG_FILTER_INF\\MATCH\\FILTER_LIST\\EVENT_LOG_FILTER_LIST";

std::string Full(const char* section) { return std::string(CRegData::kRootKey) + "\\" + section; }

// Writes a raw value the way other tools of the suite would, bypassing CRegData.
void PutRaw(HKEY root, const char* section, const char* name, DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(root, Full(section).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    RegCloseKey(key);
}

void PutText(const char* section, const char* name, const std::string& text, bool withNul = true) {
    PutRaw(HKEY_LOCAL_MACHINE, section, name, REG_SZ, text.c_str(),
           static_cast<DWORD>(text.size() + (withNul ? 1 : 0)));
}

TEST(CRegDataDword, BookmarksRoundTripAndOverwrite) {
    const char* names[] = {"APLLOG_REC_NO", "SECLOG_REC_NO", "SYSLOG_REC_NO", "SHILOG_REC_NO"};
    for (DWORD i = 0; i < 4; ++i) EXPECT_EQ(CRegData().SetVQFRegData(100 + i, kFilterInf, names[i]), 1);
    EXPECT_EQ(CRegData().SetVQFRegData(0xFFFFFFFFu, kFilterInf, "SYSLOG_REC_NO"), 1);
    for (DWORD i = 0; i < 4; ++i) {
        DWORD v = 0;
        CRegData rd;
        ASSERT_EQ(rd.GetVQFRegData(&v, kFilterInf, names[i], 0), 1) << names[i];
        EXPECT_EQ(v, i == 2 ? 0xFFFFFFFFu : 100 + i);
        EXPECT_EQ(rd.GetLastRegError(), ERROR_SUCCESS);
    }
    // The value really sits under HKLM at the framework root plus the section.
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, Full(kFilterInf).c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD type = 0, v = 0, size = sizeof(v);
    EXPECT_EQ(RegQueryValueExA(key, "APLLOG_REC_NO", nullptr, &type, reinterpret_cast<BYTE*>(&v), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(v, 100u);
    RegCloseKey(key);
}

TEST(CRegDataDword, SectionsAreDistinctAndCaseInsensitive) {
    CRegData rd;
    ASSERT_EQ(rd.SetVQFRegData(1, "CORVANE", "SEND_TRAP"), 1);
    ASSERT_EQ(rd.SetVQFRegData(2, "CORVANE\\EXT_NORVIK", "SEND_TRAP"), 1);
    ASSERT_EQ(rd.SetVQFRegData(3, "NORVIK", "SEND_TRAP"), 1);
    ASSERT_EQ(rd.SetVQFRegData(4, "", "SEND_TRAP"), 1);
    DWORD v = 0;
    EXPECT_EQ(rd.GetVQFRegData(&v, "corvane\\ext_norvik", "send_trap", 0), 1);
    EXPECT_EQ(v, 2u);
    EXPECT_EQ(rd.GetVQFRegData(&v, "\\NORVIK", "SEND_TRAP", 0), 1);
    EXPECT_EQ(v, 3u);
    EXPECT_EQ(rd.GetVQFRegData(&v, "CORVANE", "SEND_TRAP", 0), 1);
    EXPECT_EQ(v, 1u);
    EXPECT_EQ(rd.GetVQFRegData(&v, nullptr, "SEND_TRAP", 0), 1);
    EXPECT_EQ(v, 4u);
}

TEST(CRegDataDword, FailedReadsKeepTheCallersDefault) {
    CRegData rd;
    DWORD v = 300;
    EXPECT_EQ(rd.GetVQFRegData(&v, "NO_SUCH_SECTION", "WATCH_INTERVAL", 0), 0);
    EXPECT_EQ(rd.GetLastRegError(), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(rd.SetVQFRegData(5, kFilterInf, "OTHER"), 1);
    EXPECT_EQ(rd.GetVQFRegData(&v, kFilterInf, "WATCH_INTERVAL", 0), 0);
    EXPECT_EQ(v, 300u);

    // Wrong type or size: a text, and a REG_DWORD of two bytes, are not DWORDs.
    PutText(kFilterInf, "WATCH_INTERVAL", "60");
    EXPECT_EQ(rd.GetVQFRegData(&v, kFilterInf, "WATCH_INTERVAL", 0), 0);
    EXPECT_EQ(rd.GetLastRegError(), ERROR_INVALID_DATA);
    const unsigned short shortValue = 7;
    PutRaw(HKEY_LOCAL_MACHINE, kFilterInf, "WATCH_INTERVAL", REG_DWORD, &shortValue, sizeof(shortValue));
    EXPECT_EQ(rd.GetVQFRegData(&v, kFilterInf, "WATCH_INTERVAL", 0), 0);
    EXPECT_EQ(v, 300u);
    EXPECT_EQ(rd.GetVQFRegData(static_cast<DWORD*>(nullptr), kFilterInf, "OTHER", 0), 0);
}

TEST(CRegDataDword, OnlyLocalMachineIsRead) {
    DWORD one = 1;
    PutRaw(HKEY_CURRENT_USER, kFilterInf, "SEND_TRAP", REG_DWORD, &one, sizeof(one));
    CRegData rd;
    DWORD v = 9;
    EXPECT_EQ(rd.GetVQFRegData(&v, kFilterInf, "SEND_TRAP", 0), 0);
    EXPECT_EQ(v, 9u);
    ASSERT_EQ(rd.SetVQFRegData(0, kFilterInf, "SEND_TRAP"), 1);
    EXPECT_EQ(rd.GetVQFRegData(&v, kFilterInf, "SEND_TRAP", 0), 1);
    EXPECT_EQ(v, 0u);
}

TEST(CRegDataText, ReadsUnderSections) {
    PutText("CORVANE", "Pathname", "C:\\VQ\\corvane.exe");
    PutText("OID_LIST", "OID01", "1.3.6.1.4.1.999.1.2");
    PutText("CORVANE\\EVENTLOG_FILTER_INF\\MATCH\\FILTER_LIST\\F1", "SENDTYPE", "TRAP", false);
    PutText(kFilterInf, "Empty", "");

    char path[128] = {};
    CRegData rd;
    EXPECT_EQ(rd.GetVQFRegData(path, "CORVANE", "Pathname", 0), 1);
    EXPECT_STREQ(path, "C:\\VQ\\corvane.exe");
    char oid[256];
    std::memset(oid, 'x', sizeof(oid));
    EXPECT_EQ(rd.GetVQFRegData(oid, sizeof(oid), "OID_LIST", "OID01", 0), 1);
    EXPECT_STREQ(oid, "1.3.6.1.4.1.999.1.2");
    // Stored without its terminator: the copy is still terminated.
    char sendType[12];
    std::memset(sendType, 'x', sizeof(sendType));
    EXPECT_EQ(rd.GetVQFRegData(sendType, "CORVANE\\EVENTLOG_FILTER_INF\\MATCH\\FILTER_LIST\\F1", "SENDTYPE", 0), 1);
    EXPECT_STREQ(sendType, "TRAP");
    BYTE bytes[24];
    std::memset(bytes, 'x', sizeof(bytes));
    EXPECT_EQ(rd.GetVQFRegData(bytes, kFilterInf, "Empty", 0), 1);
    EXPECT_EQ(bytes[0], 0);
}

TEST(CRegDataText, TooSmallBufferIsLeftUntouched) {
    const char* section = "CORVANE\\EVENTLOG_FILTER_INF\\MATCH\\FILTER_LIST\\F1";
    PutText(section, "Exact", std::string(11, 'a'));  // 11 + NUL fits 12 bytes exactly
    PutText(section, "Long", std::string(12, 'b'));
    PutText(section, "Huge", std::string(5000, 'c'), false);

    CRegData rd;
    // The 12-byte buffer sits inside a guarded block so any overrun would show.
    char block[64];
    std::memset(block, '#', sizeof(block));
    char* buf = block + 8;
    EXPECT_EQ(rd.GetVQFRegData(buf, 12, section, "Exact", 0), 1);
    EXPECT_EQ(std::string(buf), std::string(11, 'a'));
    EXPECT_EQ(buf[12], '#');

    std::memset(block, '#', sizeof(block));
    buf[0] = '\0';
    for (const char* name : {"Long", "Huge"}) {
        EXPECT_EQ(rd.GetVQFRegData(buf, 12, section, name, 0), 0) << name;
        EXPECT_EQ(rd.GetLastRegError(), ERROR_MORE_DATA);
        EXPECT_EQ(buf[0], '\0');
        EXPECT_EQ(std::string(block + 9, sizeof(block) - 9), std::string(sizeof(block) - 9, '#'));
    }
    EXPECT_EQ(rd.GetVQFRegData(buf, 0, section, "Exact", 0), 0);
}

TEST(CRegDataText, FailedReadsKeepTheZeroedBuffer) {
    CRegData rd;
    char logType[24] = {};
    EXPECT_EQ(rd.GetVQFRegData(logType, "CORVANE\\EVENTLOG_FILTER_INF\\MATCH\\FILTER_LIST\\NONE", "LOG_TYPE", 0), 0);
    EXPECT_EQ(rd.GetVQFRegData(logType, kFilterInf, "LOG_TYPE", 0), 0);
    ASSERT_EQ(rd.SetVQFRegData(3, kFilterInf, "LOG_TYPE"), 1);
    EXPECT_EQ(rd.GetVQFRegData(logType, kFilterInf, "LOG_TYPE", 0), 0);  // a DWORD is not text
    EXPECT_EQ(rd.GetLastRegError(), ERROR_INVALID_DATA);
    EXPECT_EQ(std::string(logType, sizeof(logType)), std::string(sizeof(logType), '\0'));
}

// The agent enumerates the filter list key itself and reads each value through the store.
TEST(CRegDataText, FilterListReadsInEnumerationOrder) {
    const std::vector<std::string> filters = {"DiskFull", "PrinterJam", "Drawer"};
    PutText(kFilterList, "Z", filters[0]);
    PutText(kFilterList, "A", filters[1]);
    PutText(kFilterList, "M", filters[2]);

    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, Full(kFilterList).c_str(), 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    std::vector<std::string> got;
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD len = sizeof(name);
        if (RegEnumValueA(key, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        char text[256] = {};
        CRegData rd;
        ASSERT_EQ(rd.GetVQFRegData(text, kFilterList, name, 0), 1) << name;
        got.push_back(text);
    }
    RegCloseKey(key);
    EXPECT_EQ(got, filters);
}

}  // namespace
