// Writing copied entries to the System log, and finding the newest one written.
//
// Each entry's source (its unit, identifier or command) is registered under
// HKLM\SYSTEM\CurrentControlSet\Services\EventLog\System\<source> on first use, with the
// vqjournal message module as EventMessageFile; a registration that exists is kept (an
// EventMessageFile is only added where none is). The module is installed on first use as
// C:\WINDOWS\system32\vqjournal.mc (named %SystemRoot%\System32\vqjournal.dll).
#pragma once

#include <map>
#include <optional>
#include <string>

#include "pal/types.h"
#include "standins/vqjournal/journal_source.h"

namespace vqjournal {

inline constexpr const char* kLogName = "System";
inline constexpr const char* kModuleFile = "C:\\WINDOWS\\system32\\vqjournal.mc";
inline constexpr const char* kModuleName = "%SystemRoot%\\System32\\vqjournal.dll";
// Appended to a source name that another log has registered already, so the entry still
// lands in the System log.
inline constexpr const char* kElsewhereSuffix = " (journal)";

// The message module's text, as installed.
const char* MessageModuleText();

class EventSink {
public:
    EventSink() = default;
    ~EventSink();
    EventSink(const EventSink&) = delete;
    EventSink& operator=(const EventSink&) = delete;

    // Writes one record for the entry (source, type, id, message, cursor as data). False
    // with the Win32 error when it was not written.
    bool Write(const JournalEntry& entry, DWORD& error);

    // The cursor in the newest record of ours in the System log (read backwards); nullopt
    // when the log holds none. error is set when the log could not be read.
    std::optional<std::string> LastCursor(DWORD& error);

    // The source name records of this entry source get ("ssh.service", or with the
    // suffix when another log has that name).
    std::string RecordSource(const std::string& source);

private:
    HANDLE HandleFor(const std::string& source, DWORD& error);
    void CloseAll();

    bool moduleChecked_ = false;
    std::map<std::string, std::string> recordSource_;  // entry source -> record source
    std::map<std::string, HANDLE> handles_;            // record source -> RegisterEventSource handle
};

// Registers the source under the System log when it is not (keeps what exists; adds
// EventMessageFile and TypesSupported where missing). False when the registry failed.
bool RegisterSource(const std::string& source);

// Installs the message module unless a file is there already.
bool InstallModule();

}  // namespace vqjournal
