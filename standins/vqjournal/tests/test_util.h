// Shared by vqjournal's tests: a fake journal, the System log's records as the tests look
// at them, registry helpers, and journal files built with systemd-journal-remote.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pal/windows.h"
#include "standins/vqjournal/journal_source.h"

namespace vqjournal_test {

// Entries in memory. Cursors are "c<n>"; a cursor no entry has is refused, as a malformed
// one would be. When stop is set, the fake sets it once the entries are used up, so
// Copier::Run returns after one pass.
class FakeJournal : public vqjournal::JournalSource {
public:
    vqjournal::JournalEntry& Add(std::vector<std::pair<std::string, std::string>> fields);
    bool SeekAfter(const std::string& cursor) override;
    bool SeekHead() override;
    bool SeekTail(std::string& lastCursor) override;
    int Next(vqjournal::JournalEntry& entry, std::string* reason = nullptr) override;
    void Wait(int timeoutMs) override;

    std::vector<vqjournal::JournalEntry> entries;
    size_t position = 0;
    HANDLE stopWhenDrained = nullptr;
    int failNext = 0;  // Next() calls that fail before reading works
};

struct Record {
    DWORD number = 0, eventId = 0;
    WORD type = 0;
    std::string source, message;
    bool messageFound = false;
    std::vector<std::string> strings;
    std::string data;
};

// Every record of the log, oldest first, with its formatted message.
std::vector<Record> ReadLog(const std::string& log = "System");
// The records vqjournal wrote (its event ids).
std::vector<Record> JournalRecords();
void ClearLog(const std::string& log = "System");

// HKLM values.
void SetMultiSz(const char* keyPath, const char* name, const std::vector<std::string>& values);
void SetDword(const char* keyPath, const char* name, DWORD value);
void SetString(const char* keyPath, const char* name, const std::string& value, DWORD type = REG_SZ);
std::string GetString(const char* keyPath, const char* name, bool* present = nullptr);
void DeleteTree(const char* keyPath);

// A machine root without settings, logs or registrations of an earlier test.
void ResetState();

// systemd-journal-remote's path, "" when it is not installed.
std::string JournalRemote();

// An entry in journal export format. Fields are written as text lines unless the value
// holds a newline or a byte below 0x20 (then as binary fields). seq numbers the entry:
// it makes the cursor and the timestamps.
std::string ExportEntry(int seq, const std::vector<std::pair<std::string, std::string>>& fields);

// Appends the export text to DIR/FILE (made if missing). Empty on success, else
// what went wrong.
std::string AppendJournal(const std::string& dir, const std::string& exportText,
                          const std::string& file = "x.journal");

// A fresh directory under the machine root.
std::string MakeDir(const std::string& name);

}  // namespace vqjournal_test
