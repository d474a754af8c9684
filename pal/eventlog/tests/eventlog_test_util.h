// Short forms of the calls the event-log tests repeat.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pal/error/error.h"
#include "pal/eventlog/eventlog.h"
#include "pal/eventlog/record.h"
#include "pal/registry/registry.h"

namespace evtest {

// Writes one information record; returns ReportEvent's result.
inline BOOL Write(HANDLE source, DWORD id, const std::vector<std::string>& strings = {},
                  const std::vector<uint8_t>& data = {}, WORD type = EVENTLOG_INFORMATION_TYPE, WORD category = 0) {
    std::vector<LPCSTR> p;
    for (const auto& s : strings) p.push_back(s.c_str());
    return ReportEventA(source, type, category, id, nullptr, static_cast<WORD>(p.size()),
                        static_cast<DWORD>(data.size()), p.empty() ? nullptr : p.data(),
                        data.empty() ? nullptr : const_cast<uint8_t*>(data.data()));
}

struct Read {
    BOOL ok = FALSE;
    DWORD error = 0;
    DWORD bytes = 0;
    DWORD needed = 0;
    std::vector<uint8_t> buffer;
    std::vector<DWORD> numbers;  // of the records read, in buffer order
};

inline Read ReadLog(HANDLE log, DWORD flags, DWORD offset, DWORD size) {
    Read r;
    r.buffer.assign(size, 0xEE);
    r.ok = ReadEventLogA(log, flags, offset, size ? r.buffer.data() : nullptr, size, &r.bytes, &r.needed);
    r.error = r.ok ? 0 : GetLastError();
    if (r.ok) {
        std::vector<pal::eventlog::RecordView> views;
        std::string why;
        EXPECT_TRUE(pal::eventlog::ParseRecords(r.buffer.data(), r.bytes, views, &why)) << why;
        for (const auto& v : views) r.numbers.push_back(v.header.RecordNumber);
    }
    return r;
}

inline constexpr DWORD kSeqFwd = EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ;
inline constexpr DWORD kSeqBack = EVENTLOG_SEQUENTIAL_READ | EVENTLOG_BACKWARDS_READ;
inline constexpr DWORD kSeekFwd = EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ;
inline constexpr DWORD kSeekBack = EVENTLOG_SEEK_READ | EVENTLOG_BACKWARDS_READ;

// Every record of the log, oldest first, as images.
inline std::vector<std::vector<uint8_t>> AllRecords(const char* logName) {
    std::vector<std::vector<uint8_t>> out;
    HANDLE log = OpenEventLogA(nullptr, logName);
    std::vector<uint8_t> buf(0x10000);
    DWORD bytes = 0, needed = 0;
    while (ReadEventLogA(log, kSeqFwd, 0, buf.data(), static_cast<DWORD>(buf.size()), &bytes, &needed)) {
        std::vector<pal::eventlog::RecordView> views;
        EXPECT_TRUE(pal::eventlog::ParseRecords(buf.data(), bytes, views));
        size_t at = 0;
        for (const auto& v : views) {
            out.emplace_back(buf.begin() + static_cast<long>(at), buf.begin() + static_cast<long>(at + v.header.Length));
            at += v.header.Length;
        }
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_HANDLE_EOF));
    CloseEventLog(log);
    return out;
}

inline DWORD Oldest(HANDLE log) {
    DWORD v = 0xDEAD;
    EXPECT_TRUE(GetOldestEventLogRecord(log, &v));
    return v;
}

inline DWORD Count(HANDLE log) {
    DWORD v = 0xDEAD;
    EXPECT_TRUE(GetNumberOfEventLogRecords(log, &v));
    return v;
}

// HKLM\SYSTEM\CurrentControlSet\Services\EventLog\<path>, created when missing.
inline HKEY EventLogKey(const std::string& path) {
    HKEY key = nullptr;
    std::string full = std::string(pal::eventlog::kEventLogKey) + "\\" + path;
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, full.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS)
        << full;
    return key;
}

// Registers a source under a log (creating the log).
inline void AddSource(const std::string& log, const std::string& source) { RegCloseKey(EventLogKey(log + "\\" + source)); }

inline void SetMaxSize(const std::string& log, DWORD bytes) {
    HKEY key = EventLogKey(log);
    EXPECT_EQ(RegSetValueExA(key, "MaxSize", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&bytes), sizeof bytes),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

inline void SetSourceText(const std::string& log, const std::string& source, const char* name, const std::string& text) {
    HKEY key = EventLogKey(log + "\\" + source);
    EXPECT_EQ(RegSetValueExA(key, name, 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>(text.size() + 1)),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

}  // namespace evtest
