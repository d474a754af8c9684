// The System-log side of the service (see event_sink.h).
#include "standins/vqjournal/event_sink.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "pal/eventlog/eventlog.h"
#include "pal/eventlog/record.h"
#include "pal/eventlog/source_setup.h"
#include "pal/eventlog/sources.h"
#include "pal/file/path.h"
#include "pal/windows.h"
#include "standins/vqjournal/entry.h"

namespace vqjournal {

namespace {


// Handles kept open at most; a journal with ever new unit names (session scopes) must
// not pile up handles.
constexpr size_t kMaxHandles = 256;

const char kModuleText[] =
    ";// Message texts of the journal's entries in the System log: vqjournal copies each\n"
    ";// entry as one record whose only insertion string is the entry's message.\n"
    ";// Installed as %SystemRoot%\\System32\\vqjournal.mc on first use; every source\n"
    ";// vqjournal registers names %SystemRoot%\\System32\\vqjournal.dll, which resolves to it.\n"
    "\n"
    "MessageIdTypedef=DWORD\n"
    "\n"
    "LanguageNames=(English=0x409:MSG00409)\n"
    "\n"
    "MessageId=1\n"
    "Severity=Informational\n"
    "SymbolicName=VQJOURNAL_ENTRY_INFORMATION\n"
    "Language=English\n"
    "%1\n"
    ".\n"
    "\n"
    "MessageId=1\n"
    "Severity=Warning\n"
    "SymbolicName=VQJOURNAL_ENTRY_WARNING\n"
    "Language=English\n"
    "%1\n"
    ".\n"
    "\n"
    "MessageId=1\n"
    "Severity=Error\n"
    "SymbolicName=VQJOURNAL_ENTRY_ERROR\n"
    "Language=English\n"
    "%1\n"
    ".\n";

bool IsOurs(const pal::eventlog::RecordView& r) {
    DWORD id = r.header.EventID;
    if (id != kEventInformation && id != kEventWarning && id != kEventError) return false;
    return !CursorFromData(r.data, r.dataLength).empty();
}

}  // namespace

const char* MessageModuleText() { return kModuleText; }

bool InstallModule() { return pal::eventlog::InstallMessageModuleIfMissing(kModuleFile, kModuleText); }

bool RegisterSource(const std::string& source) {
    return pal::eventlog::RegisterSourceIfMissing(kLogName, source, kModuleName);
}

EventSink::~EventSink() { CloseAll(); }

void EventSink::CloseAll() {
    for (auto& [name, h] : handles_) DeregisterEventSource(h);
    handles_.clear();
}

std::string EventSink::RecordSource(const std::string& source) {
    auto it = recordSource_.find(source);
    if (it != recordSource_.end()) return it->second;
    // Application and Security are looked at before System: a name one of them has
    // registered would send the record there, so such a source gets a name of its own.
    std::string log;
    if (!RegisterSource(source) || pal::eventlog::LogOfSource(source, log) != 0) return source;  // tried again
    std::string name = source;
    if (recordSource_.size() >= kMaxHandles * 4) recordSource_.clear();  // bounded like the handles
    if (strcasecmp(log.c_str(), kLogName) != 0)
        name = SafeSourceName(source.substr(0, kMaxSourceBytes - std::strlen(kElsewhereSuffix))) + kElsewhereSuffix;
    recordSource_[source] = name;
    return name;
}

HANDLE EventSink::HandleFor(const std::string& source, DWORD& error) {
    auto it = handles_.find(source);
    if (it != handles_.end()) return it->second;
    if (handles_.size() >= kMaxHandles) CloseAll();
    if (!RegisterSource(source)) {
        error = GetLastError() ? GetLastError() : ERROR_GEN_FAILURE;
        return nullptr;
    }
    HANDLE h = RegisterEventSourceA(nullptr, source.c_str());
    if (!h) {
        error = GetLastError();
        return nullptr;
    }
    handles_[source] = h;
    return h;
}

bool EventSink::Write(const JournalEntry& entry, DWORD& error) {
    error = 0;
    if (!moduleChecked_) moduleChecked_ = InstallModule();
    std::string source = RecordSource(SourceOf(entry));
    HANDLE h = HandleFor(source, error);
    if (!h) return false;
    WORD type = EventTypeOf(PriorityOf(entry));
    const std::string* message = entry.Field("MESSAGE");
    std::string text = InsertionString(message ? *message : std::string());
    std::string data = CursorData(entry.cursor);
    LPCSTR strings[1] = {text.c_str()};
    if (!ReportEventA(h, type, 0, EventIdOf(type), nullptr, 1, static_cast<DWORD>(data.size()), strings,
                      data.data())) {
        error = GetLastError();
        // A handle may have gone bad (the log's registration changed); the next try
        // registers afresh.
        DeregisterEventSource(h);
        handles_.erase(source);
        return false;
    }
    return true;
}

std::optional<std::string> EventSink::LastCursor(DWORD& error) {
    error = 0;
    HANDLE log = OpenEventLogA(nullptr, kLogName);
    if (!log) {
        error = GetLastError();
        return std::nullopt;
    }
    std::vector<uint8_t> buffer(64 * 1024);
    std::optional<std::string> found;
    for (;;) {
        DWORD read = 0, needed = 0;
        if (!ReadEventLogA(log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_BACKWARDS_READ, 0, buffer.data(),
                           static_cast<DWORD>(buffer.size()), &read, &needed)) {
            DWORD e = GetLastError();
            if (e == ERROR_INSUFFICIENT_BUFFER && needed > buffer.size()) {
                buffer.resize(needed);
                continue;
            }
            if (e != ERROR_HANDLE_EOF) error = e;
            break;
        }
        std::vector<pal::eventlog::RecordView> records;
        pal::eventlog::ParseRecords(buffer.data(), read, records);
        for (const auto& r : records) {
            if (IsOurs(r)) {
                found = CursorFromData(r.data, r.dataLength);
                break;
            }
        }
        if (found) break;
    }
    CloseEventLog(log);
    return found;
}

}  // namespace vqjournal
