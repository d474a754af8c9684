// Helpers of vqjournal's tests (see test_util.h).
#include "standins/vqjournal/tests/test_util.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "pal/eventlog/eventlog.h"
#include "pal/eventlog/message.h"
#include "pal/eventlog/record.h"
#include "standins/vqjournal/config.h"
#include "standins/vqjournal/entry.h"
#include "tests/support/child_process.h"

namespace vqjournal_test {

vqjournal::JournalEntry& FakeJournal::Add(std::vector<std::pair<std::string, std::string>> fields) {
    vqjournal::JournalEntry e;
    e.cursor = "c" + std::to_string(entries.size() + 1);
    for (auto& [k, v] : fields) e.fields[k] = v;
    entries.push_back(std::move(e));
    return entries.back();
}

bool FakeJournal::SeekAfter(const std::string& cursor) {
    for (size_t i = 0; i < entries.size(); ++i)
        if (entries[i].cursor == cursor) {
            position = i + 1;
            return true;
        }
    return false;
}

bool FakeJournal::SeekHead() {
    position = 0;
    return true;
}

bool FakeJournal::SeekTail(std::string& lastCursor) {
    position = entries.size();
    lastCursor = entries.empty() ? "" : entries.back().cursor;
    return true;
}

int FakeJournal::Next(vqjournal::JournalEntry& entry, std::string* reason) {
    if (failNext > 0) {
        --failNext;
        position = entries.size() + 7;  // a failed read leaves the reader anywhere
        if (reason) *reason = "fake failure";
        return -1;
    }
    if (position >= entries.size()) return 0;
    entry = entries[position++];
    return 1;
}

void FakeJournal::Wait(int) {
    if (stopWhenDrained && position >= entries.size()) SetEvent(stopWhenDrained);
}

std::vector<Record> ReadLog(const std::string& log) {
    std::vector<Record> out;
    HANDLE h = OpenEventLogA(nullptr, log.c_str());
    if (!h) return out;
    std::vector<uint8_t> buffer(0x7FFFF);
    for (;;) {
        DWORD read = 0, needed = 0;
        if (!ReadEventLogA(h, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ, 0, buffer.data(),
                           static_cast<DWORD>(buffer.size()), &read, &needed))
            break;
        std::vector<pal::eventlog::RecordView> views;
        pal::eventlog::ParseRecords(buffer.data(), read, views);
        for (const auto& v : views) {
            Record r;
            r.number = v.header.RecordNumber;
            r.eventId = v.header.EventID;
            r.type = v.header.EventType;
            r.source = std::string(v.source);
            for (auto s : v.strings) r.strings.emplace_back(s);
            if (v.data) r.data.assign(reinterpret_cast<const char*>(v.data), v.dataLength);
            pal::eventlog::RecordMessage m = pal::eventlog::FormatRecordTexts(log, v);
            r.message = m.text;
            r.messageFound = m.found;
            out.push_back(std::move(r));
        }
    }
    CloseEventLog(h);
    return out;
}

std::vector<Record> JournalRecords() {
    std::vector<Record> out;
    for (Record& r : ReadLog())
        if (r.eventId == vqjournal::kEventInformation || r.eventId == vqjournal::kEventWarning ||
            r.eventId == vqjournal::kEventError)
            out.push_back(std::move(r));
    return out;
}

void ClearLog(const std::string& log) {
    HANDLE h = OpenEventLogA(nullptr, log.c_str());
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(ClearEventLogA(h, nullptr));
    CloseEventLog(h);
}

namespace {
HKEY Create(const char* keyPath) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    return key;
}
}  // namespace

void SetMultiSz(const char* keyPath, const char* name, const std::vector<std::string>& values) {
    std::string data;
    for (const std::string& v : values) data += v + '\0';
    data += '\0';
    HKEY key = Create(keyPath);
    RegSetValueExA(key, name, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data.data()),
                   static_cast<DWORD>(data.size()));
    RegCloseKey(key);
}

void SetDword(const char* keyPath, const char* name, DWORD value) {
    HKEY key = Create(keyPath);
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(key);
}

void SetString(const char* keyPath, const char* name, const std::string& value, DWORD type) {
    HKEY key = Create(keyPath);
    RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
}

std::string GetString(const char* keyPath, const char* name, bool* present) {
    if (present) *present = false;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return "";
    char buffer[4096];
    DWORD size = sizeof buffer, type = 0;
    LONG rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return "";
    if (present) *present = true;
    return std::string(buffer, size > 0 && buffer[size - 1] == '\0' ? size - 1 : size);
}

void DeleteTree(const char* keyPath) { RegDeleteTreeA(HKEY_LOCAL_MACHINE, keyPath); }

void ResetState() {
    DeleteTree("SYSTEM\\CurrentControlSet\\Services\\VqJournal");
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\EventLog\\System", 0, KEY_ALL_ACCESS,
                      &key) == ERROR_SUCCESS) {
        std::vector<std::string> names;
        for (DWORD i = 0;; ++i) {
            char name[256];
            DWORD len = sizeof name;
            if (RegEnumKeyExA(key, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
            names.emplace_back(name, len);
        }
        RegCloseKey(key);
        for (const std::string& n : names)
            DeleteTree(("SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\" + n).c_str());
    }
    DeleteTree("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application");
    for (const char* log : {"System", "Application"}) {
        HANDLE h = OpenEventLogA(nullptr, log);
        if (h) {
            ClearEventLogA(h, nullptr);
            CloseEventLog(h);
        }
    }
}

std::string JournalRemote() {
    for (const char* p : {"/lib/systemd/systemd-journal-remote", "/usr/lib/systemd/systemd-journal-remote"})
        if (access(p, X_OK) == 0) return p;
    return "";
}

std::string ExportEntry(int seq, const std::vector<std::pair<std::string, std::string>>& fields) {
    // A fixed boot id and a clock that grows with seq: the files look like one boot's.
    std::string out = "__CURSOR=s=0;i=" + std::to_string(seq) + "\n";
    out += "__REALTIME_TIMESTAMP=" + std::to_string(1700000000000000ULL + 1000ULL * seq) + "\n";
    out += "__MONOTONIC_TIMESTAMP=" + std::to_string(1000000ULL + 1000ULL * seq) + "\n";
    out += "_BOOT_ID=3c1f0ad4e7b84d5c9a1e2f3b4c5d6e7f\n";
    for (const auto& [name, value] : fields) {
        bool binary = false;
        for (unsigned char c : value) binary = binary || c < 0x20;
        if (!binary) {
            out += name + "=" + value + "\n";
            continue;
        }
        out += name + "\n";
        uint64_t n = value.size();
        for (int i = 0; i < 8; ++i) out += static_cast<char>((n >> (8 * i)) & 0xFF);
        out += value + "\n";
    }
    return out + "\n";
}

std::string AppendJournal(const std::string& dir, const std::string& exportText, const std::string& file) {
    std::string remote = JournalRemote();
    if (remote.empty()) return "systemd-journal-remote is not installed";
    std::string input = dir + "/.export-" + std::to_string(getpid());
    {
        std::ofstream out(input, std::ios::binary);
        out << exportText;
    }
    vqtest::ProgramResult r =
        vqtest::RunProgram("/bin/sh", {"-c", "exec \"$0\" -o \"$1\" - < \"$2\"", remote, dir + "/" + file, input});
    std::remove(input.c_str());
    if (r.status != 0) return "systemd-journal-remote exited with " + std::to_string(r.status) + ": " + r.err;
    return "";
}

std::string MakeDir(const std::string& name) {
    std::string dir = std::string(std::getenv("VQ_ROOT")) + "/" + name;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

}  // namespace vqjournal_test
