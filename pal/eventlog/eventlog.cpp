// The Win32 surface of the event logs: handle objects over the store. A source handle
// knows its log, the log's size limit and the computer name from the moment it was
// registered, so ReportEvent is one build of the record and one transaction.
#include "pal/eventlog/eventlog.h"

#include <strings.h>

#include <ctime>
#include <mutex>

#include "pal/eventlog/record.h"
#include "pal/eventlog/sources.h"
#include "pal/eventlog/store.h"
#include "pal/handle/handle.h"
#include "pal/thread/thread.h"

namespace pal::eventlog {

namespace {

class LogHandleObject : public KernelObject {
public:
    LogHandleObject(std::string log, int64_t id) : log_(std::move(log)), logId_(id) {}
    const std::string& log() const { return log_; }
    int64_t logId() const { return logId_; }

private:
    std::string log_;
    int64_t logId_;
};

class EventSourceObject : public LogHandleObject {
public:
    EventSourceObject(std::string log, int64_t id, std::string source, std::string computer, DWORD maxSize)
        : LogHandleObject(std::move(log), id),
          source(std::move(source)),
          computer(std::move(computer)),
          maxSize(maxSize) {}
    const std::string source;
    const std::string computer;
    const DWORD maxSize;
};

class EventLogObject : public LogHandleObject {
public:
    using LogHandleObject::LogHandleObject;
    std::mutex mutex;
    ReadCursor cursor;
};

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

HANDLE FailHandle(DWORD error) {
    SetLastError(error);
    return nullptr;
}

std::string ComputerName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    return GetComputerNameA(name, &size) ? std::string(name, size) : std::string();
}

// Only the local computer is served.
bool IsLocalServer(LPCSTR server) {
    if (!server || !*server) return true;
    while (*server == '\\') ++server;
    return strcasecmp(server, ComputerName().c_str()) == 0;
}

EventStore* Store() {
    DWORD error = 0;
    EventStore* store = EventStore::Get(error);
    if (!store) SetLastError(error);
    return store;
}

HANDLE NewSourceHandle(const std::string& log, const char* source) {
    EventStore* store = Store();
    if (!store) return nullptr;
    int64_t id = 0;
    if (DWORD err = store->LogId(log, id)) return FailHandle(err);
    SetLastError(ERROR_SUCCESS);
    return InsertHandle(std::make_shared<EventSourceObject>(log, id, source, ComputerName(), LogMaxSize(log)));
}

}  // namespace

HANDLE RegisterEventSourceInLog(const char* logName, const char* sourceName) {
    if (!logName || !sourceName) return FailHandle(ERROR_INVALID_PARAMETER);
    std::string log = ExistingLog(logName);
    if (log.empty()) return FailHandle(ERROR_FILE_NOT_FOUND);
    return NewSourceHandle(log, sourceName);
}

std::string LogNameOf(HANDLE h) {
    auto object = LookupHandleAs<LogHandleObject>(h);
    return object ? object->log() : std::string();
}

BOOL GetLogInfo(HANDLE h, LogInfo& info) {
    auto object = LookupHandleAs<LogHandleObject>(h);
    if (!object) return FALSE;
    EventStore* store = Store();
    if (!store) return FALSE;
    LogBounds b;
    if (DWORD err = store->Bounds(object->logId(), b)) return Fail(err);
    info.oldest = b.oldest;
    info.count = b.count;
    info.size = b.size;
    info.nextNumber = b.nextNumber;
    info.maxSize = LogMaxSize(object->log());
    return TRUE;
}

BOOL ImportEventLogRecords(HANDLE h, std::vector<std::vector<uint8_t>> records, DWORD* first, DWORD* last) {
    auto log = LookupHandleAs<EventLogObject>(h);
    if (!log) return FALSE;
    const DWORD maxSize = LogMaxSize(log->log());
    uint64_t total = 0;
    for (const auto& r : records) {
        RecordView view;
        if (r.size() > kMaxReadSize || !ParseRecord(r.data(), r.size(), view)) return Fail(ERROR_INVALID_DATA);
        total += r.size();
    }
    if (total > maxSize) return Fail(ERROR_LOG_FILE_FULL);
    EventStore* store = Store();
    if (!store) return FALSE;
    DWORD a = 0, b = 0;
    if (!records.empty())
        if (DWORD err = store->Import(log->logId(), maxSize, records, a, b)) return Fail(err);
    if (first) *first = a;
    if (last) *last = b;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

}  // namespace pal::eventlog

using namespace pal::eventlog;

HANDLE RegisterEventSourceA(LPCSTR server, LPCSTR source) {
    if (!source) return FailHandle(ERROR_INVALID_PARAMETER);
    if (!IsLocalServer(server)) return FailHandle(RPC_S_SERVER_UNAVAILABLE);
    std::string log;
    if (LONG e = pal::eventlog::LogOfSource(source, log)) return FailHandle(static_cast<DWORD>(e));
    return NewSourceHandle(log, source);
}

BOOL DeregisterEventSource(HANDLE h) {
    if (!pal::LookupHandleAs<EventSourceObject>(h)) return FALSE;
    return CloseHandle(h);
}

BOOL ReportEventA(HANDLE h, WORD type, WORD category, DWORD eventId, PSID sid, WORD numStrings, DWORD dataSize,
                  LPCSTR* strings, LPVOID data) {
    auto source = pal::LookupHandleAs<EventSourceObject>(h);
    if (!source) return FALSE;
    if ((numStrings && !strings) || (dataSize && !data)) return Fail(ERROR_INVALID_PARAMETER);
    RecordFields f;
    f.timeGenerated = static_cast<DWORD>(std::time(nullptr));
    f.eventId = eventId;
    f.eventType = type;
    f.category = category;
    f.source = source->source;
    f.computer = source->computer;
    if (sid) {
        f.sidLength = SidLengthOf(sid);
        if (!f.sidLength) return Fail(ERROR_INVALID_PARAMETER);
        f.sid = sid;
    }
    f.strings.reserve(numStrings);
    for (WORD i = 0; i < numStrings; ++i) {
        if (!strings[i]) return Fail(ERROR_INVALID_PARAMETER);
        f.strings.emplace_back(strings[i]);
    }
    f.data = data;
    f.dataLength = dataSize;
    // A record that no read buffer could hold is refused before it is built.
    if (RecordLength(f) > kMaxReadSize) return Fail(ERROR_INVALID_PARAMETER);
    std::vector<uint8_t> record = BuildRecord(f);
    EventStore* store = Store();
    if (!store) return FALSE;
    DWORD number = 0;
    if (DWORD err = store->Append(source->logId(), source->maxSize, record, number)) return Fail(err);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

HANDLE OpenEventLogA(LPCSTR server, LPCSTR name) {
    if (!name) return FailHandle(ERROR_INVALID_PARAMETER);
    if (!IsLocalServer(server)) return FailHandle(RPC_S_SERVER_UNAVAILABLE);
    std::string log = ExistingLog(name);
    if (log.empty()) log = "Application";  // the system's answer to a log it does not know
    EventStore* store = Store();
    if (!store) return nullptr;
    int64_t id = 0;
    if (DWORD err = store->LogId(log, id)) return FailHandle(err);
    SetLastError(ERROR_SUCCESS);
    return pal::InsertHandle(std::make_shared<EventLogObject>(log, id));
}

BOOL CloseEventLog(HANDLE h) {
    if (!pal::LookupHandleAs<EventLogObject>(h)) return FALSE;
    return CloseHandle(h);
}

namespace {

BOOL WithBounds(HANDLE h, PDWORD out, DWORD LogBounds::*field) {
    auto object = pal::LookupHandleAs<LogHandleObject>(h);
    if (!object) return FALSE;
    if (!out) return Fail(ERROR_INVALID_PARAMETER);
    EventStore* store = Store();
    if (!store) return FALSE;
    LogBounds b;
    if (DWORD err = store->Bounds(object->logId(), b)) return Fail(err);
    *out = b.*field;
    return TRUE;
}

}  // namespace

BOOL GetOldestEventLogRecord(HANDLE h, PDWORD oldest) { return WithBounds(h, oldest, &LogBounds::oldest); }

BOOL GetNumberOfEventLogRecords(HANDLE h, PDWORD count) { return WithBounds(h, count, &LogBounds::count); }

BOOL ReadEventLogA(HANDLE h, DWORD flags, DWORD recordOffset, LPVOID buffer, DWORD size, DWORD* bytesRead,
                   DWORD* minNeeded) {
    auto log = pal::LookupHandleAs<EventLogObject>(h);
    if (!log) return FALSE;
    const bool sequential = flags & EVENTLOG_SEQUENTIAL_READ, seek = flags & EVENTLOG_SEEK_READ;
    const bool forwards = flags & EVENTLOG_FORWARDS_READ, backwards = flags & EVENTLOG_BACKWARDS_READ;
    if (sequential == seek || forwards == backwards || !bytesRead || !minNeeded || (size && !buffer))
        return Fail(ERROR_INVALID_PARAMETER);
    *bytesRead = 0;
    *minNeeded = 0;
    EventStore* store = Store();
    if (!store) return FALSE;
    if (size > kMaxReadSize) size = kMaxReadSize;
    std::lock_guard<std::mutex> g(log->mutex);
    DWORD err = store->Read(log->logId(), seek, forwards, recordOffset, static_cast<uint8_t*>(buffer), size,
                            log->cursor, *bytesRead, *minNeeded);
    if (err) return Fail(err);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL ClearEventLogA(HANDLE h, LPCSTR backupFile) {
    auto log = pal::LookupHandleAs<EventLogObject>(h);
    if (!log) return FALSE;
    EventStore* store = Store();
    if (!store) return FALSE;
    std::string backup = backupFile ? backupFile : "";
    if (DWORD err = store->Clear(log->logId(), backup, LogMaxSize(log->log()))) return Fail(err);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL GetEventLogInformation(HANDLE h, DWORD level, LPVOID buffer, DWORD size, LPDWORD needed) {
    if (!pal::LookupHandleAs<LogHandleObject>(h)) return FALSE;
    if (level != EVENTLOG_FULL_INFO) return Fail(ERROR_INVALID_LEVEL);
    if (!needed) return Fail(ERROR_INVALID_PARAMETER);
    *needed = sizeof(EVENTLOG_FULL_INFORMATION);
    if (size < sizeof(EVENTLOG_FULL_INFORMATION) || !buffer) return Fail(ERROR_INSUFFICIENT_BUFFER);
    static_cast<LPEVENTLOG_FULL_INFORMATION>(buffer)->dwFull = FALSE;
    return TRUE;
}
