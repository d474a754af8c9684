// Event-log throughput against plain SQLite in the same run, with the same durability:
// WAL journal, synchronous=NORMAL, one transaction per record.
//
//   ReportEvent            vs  BEGIN IMMEDIATE; INSERT of a blob of the record's size; COMMIT
//   ReadEventLog seek read vs  SELECT of one blob by key, copied into a buffer
//
// Each side runs three times, alternating; the best rate of each counts. The event log
// runs in a fresh machine root, with MaxSize large enough that nothing is overwritten
// during the write runs, then a second write figure with a full log (each record first
// deletes the oldest). Target: every ratio at least 0.5.
//
//   bench_eventlog [records per run]
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "pal/core/root.h"
#include "pal/eventlog/eventlog.h"
#include "pal/registry/registry.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "bench_eventlog: %s failed (error %u)\n", what, GetLastError());
        std::exit(1);
    }
}

// A record as the gatherer writes them: two short strings and a few data bytes.
LPCSTR kStrings[] = {"Disk 0", "temperature above limit"};
BYTE kData[8] = {1, 2, 3, 4, 5, 6, 7, 8};

class RawStore {
public:
    explicit RawStore(const std::string& path) {
        Check(sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                              nullptr) == SQLITE_OK,
              "sqlite3_open");
        sqlite3_busy_timeout(db_, 30000);
        Exec("PRAGMA journal_mode=WAL");
        Exec("PRAGMA synchronous=NORMAL");
        Exec("CREATE TABLE IF NOT EXISTS t(key INTEGER PRIMARY KEY, record BLOB NOT NULL)");
        sqlite3_prepare_v2(db_, "INSERT INTO t(key, record) VALUES(?1, ?2)", -1, &insert_, nullptr);
        sqlite3_prepare_v2(db_, "SELECT record FROM t WHERE key = ?1", -1, &select_, nullptr);
    }
    ~RawStore() {
        sqlite3_finalize(insert_);
        sqlite3_finalize(select_);
        sqlite3_close(db_);
    }
    void Exec(const char* sql) { Check(sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK, sql); }
    std::string Pragma(const char* name) {
        sqlite3_stmt* s = nullptr;
        std::string sql = std::string("PRAGMA ") + name;
        sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr);
        std::string v = sqlite3_step(s) == SQLITE_ROW ? reinterpret_cast<const char*>(sqlite3_column_text(s, 0)) : "?";
        sqlite3_finalize(s);
        return v;
    }
    void Insert(int64_t key, const std::vector<uint8_t>& blob) {
        Exec("BEGIN IMMEDIATE");
        sqlite3_bind_int64(insert_, 1, key);
        sqlite3_bind_blob(insert_, 2, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
        Check(sqlite3_step(insert_) == SQLITE_DONE, "INSERT");
        sqlite3_reset(insert_);
        Exec("COMMIT");
    }
    size_t Select(int64_t key, uint8_t* out, size_t size) {
        sqlite3_bind_int64(select_, 1, key);
        size_t n = 0;
        if (sqlite3_step(select_) == SQLITE_ROW) {
            n = static_cast<size_t>(sqlite3_column_bytes(select_, 0));
            if (n <= size) std::memcpy(out, sqlite3_column_blob(select_, 0), n);
        }
        sqlite3_reset(select_);
        return n;
    }

private:
    sqlite3* db_ = nullptr;
    sqlite3_stmt* insert_ = nullptr;
    sqlite3_stmt* select_ = nullptr;
};

void SetMaxSize(const char* log, DWORD bytes) {
    std::string path = std::string(pal::eventlog::kEventLogKey) + "\\" + log;
    HKEY key = nullptr;
    Check(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) ==
              ERROR_SUCCESS,
          "RegCreateKeyEx");
    Check(RegSetValueExA(key, "MaxSize", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&bytes), sizeof bytes) ==
              ERROR_SUCCESS,
          "RegSetValueEx");
    // The source is registered under this log.
    HKEY source = nullptr;
    RegCreateKeyExA(key, "Bench", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &source, nullptr);
    RegCloseKey(source);
    RegCloseKey(key);
}

double ReportEvents(int n) {
    HANDLE src = RegisterEventSourceA(nullptr, "Bench");
    Check(src != nullptr, "RegisterEventSource");
    auto start = Clock::now();
    for (int i = 0; i < n; ++i)
        Check(ReportEventA(src, EVENTLOG_WARNING_TYPE, 0, 0x80040001, nullptr, 2, sizeof kData, kStrings, kData),
              "ReportEvent");
    double s = Seconds(start);
    DeregisterEventSource(src);
    return n / s;
}

double SeekReads(HANDLE log, const std::vector<DWORD>& numbers, DWORD length) {
    std::vector<uint8_t> buf(length);
    auto start = Clock::now();
    for (DWORD number : numbers) {
        DWORD bytes = 0, needed = 0;
        Check(ReadEventLogA(log, EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ, number, buf.data(), length, &bytes,
                            &needed) &&
                  bytes == length,
              "ReadEventLog");
    }
    return static_cast<double>(numbers.size()) / Seconds(start);
}

}  // namespace

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::max(100, std::atoi(argv[1])) : 5000;
    char tmpl[] = "/tmp/vqbench.XXXXXX";
    const std::string root = mkdtemp(tmpl) ? tmpl : "";
    Check(!root.empty(), "mkdtemp");
    setenv("VQ_ROOT", root.c_str(), 1);

    // A log large enough for every write run.
    SetMaxSize("Bench", 0x7FFFFFFF);
    HANDLE log = OpenEventLogA(nullptr, "Bench");
    Check(log != nullptr, "OpenEventLog");
    {
        HANDLE src = RegisterEventSourceA(nullptr, "Bench");
        Check(ReportEventA(src, EVENTLOG_WARNING_TYPE, 0, 0x80040001, nullptr, 2, sizeof kData, kStrings, kData),
              "ReportEvent");
        DeregisterEventSource(src);
    }
    DWORD length = 0, bytes = 0;
    uint8_t probe[56];
    ReadEventLogA(log, EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ, 1, probe, sizeof probe, &bytes, &length);
    Check(length > 56, "probe read");
    const std::vector<uint8_t> blob(length, 0x5A);

    RawStore raw(root + "/raw.db");
    std::printf("durability: event log and raw store both journal_mode=%s synchronous=%s (1 = NORMAL), "
                "one transaction per record\n",
                raw.Pragma("journal_mode").c_str(), raw.Pragma("synchronous").c_str());
    std::printf("record: %u bytes; %d records per run, best of 3 runs each\n\n", length, n);

    double rawWrite = 0, palWrite = 0;
    int64_t key = 0;
    for (int round = 0; round < 3; ++round) {
        auto start = Clock::now();
        for (int i = 0; i < n; ++i) raw.Insert(++key, blob);
        rawWrite = std::max(rawWrite, n / Seconds(start));
        palWrite = std::max(palWrite, ReportEvents(n));
    }

    DWORD oldest = 0, count = 0;
    GetOldestEventLogRecord(log, &oldest);
    GetNumberOfEventLogRecords(log, &count);
    std::mt19937 rng(1);
    std::vector<DWORD> numbers(static_cast<size_t>(n));
    for (auto& v : numbers) v = oldest + static_cast<DWORD>(rng() % count);
    std::vector<uint8_t> out(length);
    double rawRead = 0, palRead = 0;
    for (int round = 0; round < 3; ++round) {
        auto start = Clock::now();
        for (DWORD v : numbers) Check(raw.Select(v, out.data(), out.size()) == length, "SELECT");
        rawRead = std::max(rawRead, n / Seconds(start));
        palRead = std::max(palRead, SeekReads(log, numbers, length));
    }

    // A full log: every ReportEvent first deletes the oldest record.
    SetMaxSize("Bench", 0x80000);
    HANDLE src = RegisterEventSourceA(nullptr, "Bench");  // reads the new MaxSize
    Check(ReportEventA(src, EVENTLOG_WARNING_TYPE, 0, 1, nullptr, 2, sizeof kData, kStrings, kData), "ReportEvent");
    DeregisterEventSource(src);
    double palFull = 0;
    for (int round = 0; round < 3; ++round) palFull = std::max(palFull, ReportEvents(n));
    CloseEventLog(log);

    std::printf("%-34s %12s %12s %8s\n", "", "event log/s", "raw/s", "ratio");
    std::printf("%-34s %12.0f %12.0f %8.2f\n", "ReportEvent vs INSERT", palWrite, rawWrite, palWrite / rawWrite);
    std::printf("%-34s %12.0f %12.0f %8.2f\n", "ReportEvent, full log vs INSERT", palFull, rawWrite,
                palFull / rawWrite);
    std::printf("%-34s %12.0f %12.0f %8.2f\n", "seek ReadEventLog vs SELECT", palRead, rawRead, palRead / rawRead);

    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    return 0;
}
