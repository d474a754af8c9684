#include "pal/eventlog/store.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <ctime>

#include "pal/core/root.h"
#include "pal/error/error.h"
#include "pal/eventlog/backup.h"
#include "pal/eventlog/record.h"

namespace pal::eventlog {

namespace {

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS logs(
    id INTEGER PRIMARY KEY,
    name TEXT NOT NULL UNIQUE COLLATE NOCASE,
    clears INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS records(
    key INTEGER PRIMARY KEY,
    start INTEGER NOT NULL,
    first INTEGER NOT NULL,
    record BLOB NOT NULL);
)sql";

constexpr int64_t kNumberSpan = int64_t{1} << 32;

int64_t KeyOf(int64_t logId, DWORD number) { return logId * kNumberSpan + number; }
int64_t LowKey(int64_t logId) { return KeyOf(logId, 0); }
int64_t HighKey(int64_t logId) { return KeyOf(logId, 0xFFFFFFFF); }
DWORD NumberOf(int64_t key) { return static_cast<DWORD>(key & 0xFFFFFFFF); }

// Records overwritten in the log stay in the table until they add up to this share of
// the size limit, then go in one delete: deleting each one as it is overwritten would
// rewrite the table's oldest page in every transaction.
int64_t PurgeBytes(DWORD maxSize) { return maxSize / 16 ? maxSize / 16 : 1; }

// SQL for the key of the log's oldest record (the newest record's "first"), given the
// parameters that hold the log's key range; the log's low key itself when it is empty.
#define VQ_FIRST_KEY(lo, hi)                                                                             \
    "(" lo " + coalesce((SELECT first FROM records WHERE key BETWEEN " lo " AND " hi " ORDER BY key DESC" \
    " LIMIT 1), 0))"

// Ends a deferred read transaction however the read went.
class ReadTransaction {
public:
    explicit ReadTransaction(core::SqliteDb& db) : db_(db), ok_(db.Exec("BEGIN")) {}
    ~ReadTransaction() {
        if (ok_) db_.Exec("COMMIT");
    }
    bool ok() const { return ok_; }

private:
    core::SqliteDb& db_;
    bool ok_;
};

// Resets a cached statement when the scope ends, so it holds no read snapshot open.
class Using {
public:
    explicit Using(core::SqliteStatement& s) : s_(s) {}
    ~Using() { s_.Reset(); }

private:
    core::SqliteStatement& s_;
};

}  // namespace

EventStore* EventStore::Get(DWORD& error) {
    static std::mutex openMutex;
    static EventStore* store = nullptr;  // lives as long as the process: handles may outlive statics
    static pid_t owner = 0;
    std::lock_guard<std::mutex> g(openMutex);
    // A connection must not cross a fork: a child opens its own (and leaves the parent's be).
    if (store && owner == getpid()) return store;
    std::string why;
    auto db = core::SqliteDb::Open(core::RootDir() + "/eventlog.db", kSchema, why);
    if (!db) {
        error = ERROR_EVENTLOG_FILE_CORRUPT;
        return nullptr;
    }
    store = new EventStore(std::move(db));
    owner = getpid();
    return store;
}

EventStore::EventStore(std::unique_ptr<core::SqliteDb> db) : db_(std::move(db)) {
    auto& d = *db_;
    findLog_ = d.Prepare("SELECT id FROM logs WHERE name = ?1");
    addLog_ = d.Prepare("INSERT OR IGNORE INTO logs(name) VALUES(?1)");
    newest_ = d.Prepare(
        "SELECT key, start + length(record), first FROM records WHERE key BETWEEN ?1 AND ?2"
        " ORDER BY key DESC LIMIT 1");
    startOf_ = d.Prepare("SELECT start FROM records WHERE key = ?1");
    lowest_ = d.Prepare("SELECT key, start FROM records WHERE key BETWEEN ?1 AND ?2 ORDER BY key ASC LIMIT 1");
    scan_ = d.Prepare("SELECT key, start FROM records WHERE key BETWEEN ?1 AND ?2 ORDER BY key ASC");
    deleteRange_ = d.Prepare("DELETE FROM records WHERE key BETWEEN ?1 AND ?2");
    insert_ = d.Prepare("INSERT INTO records(key, start, first, record) VALUES(?1, ?2, ?3, ?4)");
    bounds_ = d.Prepare(
        "SELECT key, start + length(record), first,"
        " (SELECT start FROM records WHERE key = ?1 + r.first) FROM records AS r"
        " WHERE key BETWEEN ?1 AND ?2 ORDER BY key DESC LIMIT 1");
    position_ = d.Prepare("SELECT clears, " VQ_FIRST_KEY("?2", "?3") " FROM logs WHERE id = ?1");
    readUp_ = d.Prepare("SELECT key, record FROM records WHERE key BETWEEN ?1 AND ?2 ORDER BY key ASC");
    readDown_ = d.Prepare("SELECT key, record FROM records WHERE key BETWEEN ?1 AND ?2 ORDER BY key DESC");
    // A seek read learns the clear count and the oldest record in the same statement, so
    // everything comes from one snapshot.
    seekUp_ = d.Prepare(
        "SELECT r.key, r.record, l.clears FROM logs AS l, records AS r"
        " WHERE l.id = ?3 AND r.key BETWEEN max(?1, " VQ_FIRST_KEY("?4", "?5") ") AND ?2 ORDER BY r.key ASC");
    seekDown_ = d.Prepare(
        "SELECT r.key, r.record, l.clears FROM logs AS l, records AS r"
        " WHERE l.id = ?3 AND r.key BETWEEN " VQ_FIRST_KEY("?4", "?5") " AND ?2 ORDER BY r.key DESC");
    all_ = d.Prepare("SELECT record FROM records WHERE key BETWEEN ?1 AND ?2 ORDER BY key");
    clearLog_ = d.Prepare("UPDATE logs SET clears = clears + 1 WHERE id = ?1");
}

DWORD EventStore::LogId(const std::string& name, int64_t& id) {
    std::lock_guard<std::mutex> g(mutex_);
    for (int attempt = 0; attempt < 2; ++attempt) {
        {
            Using u(findLog_);
            findLog_.Bind(1, name);
            if (findLog_.Step() == SQLITE_ROW) {
                id = findLog_.Int(0);
                return 0;
            }
        }
        Using u(addLog_);
        addLog_.Bind(1, name);
        if (addLog_.Step() != SQLITE_DONE) return ERROR_WRITE_FAULT;
    }
    return ERROR_WRITE_FAULT;
}

// The log's state lives in its records: the next number follows the newest (1 in an
// empty log); the newest record's "first" is the oldest record still in the log; each
// record's "start" (record bytes the log took in before it since it was last empty) makes
// the size the newest record's end minus the oldest one's start. So a write adds one row
// and rewrites no per-log counter.
DWORD EventStore::Append(int64_t logId, DWORD maxSize, std::vector<uint8_t>& record, DWORD& number) {
    if (record.size() > maxSize) return ERROR_LOG_FILE_FULL;
    std::lock_guard<std::mutex> g(mutex_);
    core::SqliteTransaction tx(*db_);
    if (!tx.ok()) return ERROR_WRITE_FAULT;
    if (DWORD err = AppendLocked(logId, maxSize, record, number, false)) return err;
    return tx.Commit() ? 0 : ERROR_WRITE_FAULT;
}

DWORD EventStore::Import(int64_t logId, DWORD maxSize, std::vector<std::vector<uint8_t>>& records, DWORD& first,
                         DWORD& last) {
    for (const auto& r : records)
        if (r.size() > maxSize) return ERROR_LOG_FILE_FULL;
    std::lock_guard<std::mutex> g(mutex_);
    core::SqliteTransaction tx(*db_);
    if (!tx.ok()) return ERROR_WRITE_FAULT;
    first = last = 0;
    for (auto& r : records) {
        if (DWORD err = AppendLocked(logId, maxSize, r, last, true)) return err;
        if (!first) first = last;
    }
    return tx.Commit() ? 0 : ERROR_WRITE_FAULT;
}

// One record into the open write transaction.
DWORD EventStore::AppendLocked(int64_t logId, DWORD maxSize, std::vector<uint8_t>& record, DWORD& number,
                               bool keepTimeWritten) {
    const int64_t length = static_cast<int64_t>(record.size());
    const int64_t lo = LowKey(logId), hi = HighKey(logId);
    int64_t next = 1, end = 0, first = 1;
    bool empty = true;
    {
        Using u(newest_);
        newest_.Bind(1, lo).Bind(2, hi);
        int rc = newest_.Step();
        if (rc == SQLITE_ROW) {
            empty = false;
            next = NumberOf(newest_.Int(0)) + int64_t{1};
            end = newest_.Int(1);
            first = newest_.Int(2);
        } else if (rc != SQLITE_DONE) {
            return ERROR_READ_FAULT;
        }
    }
    if (next >= kNumberSpan) return ERROR_LOG_FILE_FULL;  // numbers do not wrap
    if (empty) first = next;

    int64_t firstStart = end;  // start of the oldest record kept
    if (!empty) {
        Using u(startOf_);
        startOf_.Bind(1, lo + first);
        if (startOf_.Step() != SQLITE_ROW) return ERROR_EVENTLOG_FILE_CORRUPT;
        firstStart = startOf_.Int(0);
    }
    if (end + length - firstStart > maxSize) {
        // Overwrite: the oldest records leave the log, as few as make room. Starts grow
        // with the numbers, so the records kept are those starting at or after keepFrom.
        const int64_t keepFrom = end + length - maxSize;
        int64_t newFirst = next, newFirstStart = end;
        Using u(scan_);
        scan_.Bind(1, lo + first).Bind(2, hi);
        int rc;
        while ((rc = scan_.Step()) == SQLITE_ROW) {
            if (scan_.Int(1) >= keepFrom) {
                newFirst = NumberOf(scan_.Int(0));
                newFirstStart = scan_.Int(1);
                break;
            }
        }
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) return ERROR_READ_FAULT;
        first = newFirst;
        firstStart = newFirstStart;
    }

    // Overwritten records still in the table go once they are worth a delete.
    int64_t purgeTo = -1;
    if (!empty) {
        Using u(lowest_);
        lowest_.Bind(1, lo).Bind(2, hi);
        if (lowest_.Step() == SQLITE_ROW && lowest_.Int(0) < lo + first &&
            firstStart - lowest_.Int(1) >= PurgeBytes(maxSize))
            purgeTo = lo + first - 1;
    }
    if (purgeTo >= 0) {
        Using u(deleteRange_);
        deleteRange_.Bind(1, lo).Bind(2, purgeTo);
        if (deleteRange_.Step() != SQLITE_DONE) return ERROR_WRITE_FAULT;
    }

    number = static_cast<DWORD>(next);
    std::memcpy(record.data() + offsetof(EVENTLOGRECORD, RecordNumber), &number, sizeof number);
    if (!keepTimeWritten) {
        DWORD written = static_cast<DWORD>(std::time(nullptr));
        std::memcpy(record.data() + offsetof(EVENTLOGRECORD, TimeWritten), &written, sizeof written);
    }
    {
        Using u(insert_);
        insert_.Bind(1, lo + next).Bind(2, end).Bind(3, first).BindBlob(4, record.data(), record.size());
        if (insert_.Step() != SQLITE_DONE) return ERROR_WRITE_FAULT;
    }
    return 0;
}

DWORD EventStore::Bounds(int64_t logId, LogBounds& b) {
    std::lock_guard<std::mutex> g(mutex_);
    Using u(bounds_);
    bounds_.Bind(1, LowKey(logId)).Bind(2, HighKey(logId));
    b = LogBounds{};
    int rc = bounds_.Step();
    if (rc == SQLITE_DONE) return 0;  // empty
    if (rc != SQLITE_ROW) return ERROR_READ_FAULT;
    b.newest = NumberOf(bounds_.Int(0));
    b.oldest = static_cast<DWORD>(bounds_.Int(2));
    b.count = b.newest - b.oldest + 1;  // numbers have no gaps
    b.size = static_cast<uint64_t>(bounds_.Int(1) - bounds_.Int(3));
    b.nextNumber = b.newest + 1;
    return 0;
}

DWORD EventStore::FillFromRows(core::SqliteStatement& rows, bool exactFirst, DWORD first, uint8_t* buffer, DWORD size,
                               DWORD& bytesRead, DWORD& needed, DWORD& last, int64_t* clears) {
    bytesRead = 0;
    int rc;
    while ((rc = rows.Step()) == SQLITE_ROW) {
        const DWORD number = NumberOf(rows.Int(0));
        if (bytesRead == 0) {
            if (exactFirst && number != first) return ERROR_INVALID_PARAMETER;
            if (clears) *clears = rows.Int(2);
        }
        std::vector<uint8_t> rec = rows.Blob(1);
        if (rec.size() > size - bytesRead) {
            if (bytesRead == 0) {
                needed = static_cast<DWORD>(rec.size());
                return ERROR_INSUFFICIENT_BUFFER;
            }
            break;
        }
        std::memcpy(buffer + bytesRead, rec.data(), rec.size());
        bytesRead += static_cast<DWORD>(rec.size());
        last = number;
        if (size - bytesRead < kMinRecordSize) break;  // no record can fit: spare the next row
    }
    if (bytesRead) return 0;
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) return ERROR_READ_FAULT;
    return exactFirst ? ERROR_INVALID_PARAMETER : ERROR_HANDLE_EOF;
}

DWORD EventStore::Read(int64_t logId, bool seek, bool forwards, DWORD recordNumber, uint8_t* buffer, DWORD size,
                       ReadCursor& cursor, DWORD& bytesRead, DWORD& needed) {
    std::lock_guard<std::mutex> g(mutex_);
    const int64_t lo = LowKey(logId), hi = HighKey(logId);
    DWORD last = 0;
    if (seek) {
        if (recordNumber == 0) return ERROR_INVALID_PARAMETER;
        auto& rows = forwards ? seekUp_ : seekDown_;
        Using u(rows);
        rows.Bind(1, lo + recordNumber).Bind(2, forwards ? hi : lo + recordNumber).Bind(3, logId).Bind(4, lo).Bind(5, hi);
        int64_t clears = 0;
        DWORD err = FillFromRows(rows, true, recordNumber, buffer, size, bytesRead, needed, last, &clears);
        if (err) return err;
        cursor = ReadCursor{true, last, clears};
        return 0;
    }

    ReadTransaction tx(*db_);
    if (!tx.ok()) return ERROR_READ_FAULT;
    int64_t clears = 0, firstKey = lo + 1;
    {
        Using u(position_);
        position_.Bind(1, logId).Bind(2, lo).Bind(3, hi);
        int rc = position_.Step();
        if (rc == SQLITE_ROW) {
            clears = position_.Int(0);
            firstKey = std::max(position_.Int(1), lo + 1);
        } else if (rc != SQLITE_DONE) {
            return ERROR_READ_FAULT;
        }
    }
    int64_t from, to;
    if (!cursor.positioned || cursor.clears != clears) {
        from = firstKey;
        to = hi;
    } else if (forwards) {
        if (cursor.last == 0xFFFFFFFF) return ERROR_HANDLE_EOF;
        from = std::max(lo + cursor.last + 1, firstKey);  // overwritten meanwhile: the oldest
        to = hi;
    } else {
        from = firstKey;
        to = lo + cursor.last - 1;  // below the oldest: an empty range, the end
    }
    auto& rows = forwards ? readUp_ : readDown_;
    Using u(rows);
    rows.Bind(1, from).Bind(2, to);
    DWORD err = FillFromRows(rows, false, 0, buffer, size, bytesRead, needed, last, nullptr);
    if (err) return err;
    cursor = ReadCursor{true, last, clears};
    return 0;
}

DWORD EventStore::Clear(int64_t logId, const std::string& backupPath, DWORD maxSize) {
    std::lock_guard<std::mutex> g(mutex_);
    core::SqliteTransaction tx(*db_);
    if (!tx.ok()) return ERROR_WRITE_FAULT;
    const int64_t lo = LowKey(logId), hi = HighKey(logId);
    if (!backupPath.empty()) {
        int64_t first = 1, next = 1;
        {
            Using u(newest_);
            newest_.Bind(1, lo).Bind(2, hi);
            if (newest_.Step() == SQLITE_ROW) {
                next = NumberOf(newest_.Int(0)) + int64_t{1};
                first = newest_.Int(2);
            }
        }
        std::vector<std::vector<uint8_t>> records;
        {
            Using u(all_);
            all_.Bind(1, lo + first).Bind(2, hi);
            int rc;
            while ((rc = all_.Step()) == SQLITE_ROW) records.push_back(all_.Blob(0));
            if (rc != SQLITE_DONE) return ERROR_READ_FAULT;
        }
        // The backup is on disk before the records go: a failure here clears nothing.
        if (DWORD err = WriteBackup(backupPath, records, static_cast<DWORD>(next), maxSize)) return err;
    }
    {
        Using u(deleteRange_);
        deleteRange_.Bind(1, lo).Bind(2, hi);
        if (deleteRange_.Step() != SQLITE_DONE) return ERROR_WRITE_FAULT;
    }
    {
        Using u(clearLog_);
        clearLog_.Bind(1, logId);
        if (clearLog_.Step() != SQLITE_DONE) return ERROR_WRITE_FAULT;
    }
    return tx.Commit() ? 0 : ERROR_WRITE_FAULT;
}

}  // namespace pal::eventlog
