// The event-log store: one SQLite database per machine root, $VQ_ROOT/eventlog.db.
//
//   logs(id, name, clears)                 one row per log ever used; clears counts clears
//   records(key, start, first, record)     key = id << 32 | record number
//
// A record is kept as its finished EVENTLOGRECORD image, so a read is a range scan over
// one b-tree and a copy. The log's state lives in its records (see Append), so a write
// adds a row and rewrites no per-log counter. Writers allocate the number, make room
// under the size limit and insert in one BEGIN IMMEDIATE transaction; readers see one
// snapshot and never wait for writers. One connection per process, shared by its threads
// under a mutex.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "pal/core/sqlite_store.h"
#include "pal/types.h"

namespace pal::eventlog {

// Where a handle's sequential reads go on: the last record it read, and the log's clear
// count at that time (a clear since makes the position meaningless).
struct ReadCursor {
    bool positioned = false;
    DWORD last = 0;
    int64_t clears = 0;
};

struct LogBounds {
    DWORD oldest = 0;  // 0 when empty
    DWORD newest = 0;
    DWORD count = 0;
    uint64_t size = 0;
    DWORD nextNumber = 1;
};

class EventStore {
public:
    // The process's store, opened on first use; null with the Win32 error when the
    // database cannot be opened (a later call tries again).
    static EventStore* Get(DWORD& error);

    // The id of a log, adding its row on first use. 0 on success, else a Win32 error.
    DWORD LogId(const std::string& canonicalName, int64_t& id);

    // Appends a record image (its number and time written are filled in here), deleting
    // the oldest records first while the log would exceed maxSize.
    DWORD Append(int64_t logId, DWORD maxSize, std::vector<uint8_t>& record, DWORD& number);

    // Appends records kept from elsewhere (a backup) in one transaction: each gets the
    // log's next number, everything else (time written included) stays. All or nothing;
    // first and last receive the numbers given.
    DWORD Import(int64_t logId, DWORD maxSize, std::vector<std::vector<uint8_t>>& records, DWORD& first,
                 DWORD& last);

    DWORD Bounds(int64_t logId, LogBounds& bounds);

    // ReadEventLog's work; flags are already checked. 0, or ERROR_INSUFFICIENT_BUFFER with
    // needed set, ERROR_HANDLE_EOF, ERROR_INVALID_PARAMETER (seek to a missing record).
    DWORD Read(int64_t logId, bool seek, bool forwards, DWORD recordNumber, uint8_t* buffer, DWORD size,
               ReadCursor& cursor, DWORD& bytesRead, DWORD& needed);

    // Writes the backup (when backupPath is not empty) and deletes every record, in one
    // transaction. maxSize goes into the backup's header.
    DWORD Clear(int64_t logId, const std::string& backupPath, DWORD maxSize);

private:
    explicit EventStore(std::unique_ptr<core::SqliteDb> db);
    DWORD AppendLocked(int64_t logId, DWORD maxSize, std::vector<uint8_t>& record, DWORD& number,
                       bool keepTimeWritten);
    DWORD FillFromRows(core::SqliteStatement& rows, bool exactFirst, DWORD first, uint8_t* buffer, DWORD size,
                       DWORD& bytesRead, DWORD& needed, DWORD& last, int64_t* clears);

    std::mutex mutex_;
    std::unique_ptr<core::SqliteDb> db_;
    core::SqliteStatement findLog_, addLog_, newest_, startOf_, lowest_, scan_, deleteRange_, insert_, bounds_,
        position_, readUp_, readDown_, seekUp_, seekDown_, all_, clearLog_;
};

}  // namespace pal::eventlog
