// The texts of a record as an event viewer shows them: the message from the source's
// message files with the insertion strings in place, and the category's name.
//
// The source's key (HKLM\SYSTEM\CurrentControlSet\Services\EventLog\<log>\<source>)
// names the files: EventMessageFile, ParameterMessageFile and CategoryMessageFile, each a
// list separated by ';' whose parts may hold %VARIABLES%. Each file is loaded as a data
// file and asked for the id with FormatMessage (FROM_HMODULE, ARGUMENT_ARRAY); the first
// file that has it wins. An insertion string "%%NNNN" is replaced by message NNNN of the
// parameter files, and so is every "%%NNNN" left in the finished text. A message that
// refers to an insertion string the record does not have shows it as "%N".
#pragma once

#include <string>
#include <vector>

#include "pal/eventlog/eventlog.h"
#include "pal/eventlog/record.h"

namespace pal::eventlog {

struct MessageFiles {
    std::vector<std::string> event;
    std::vector<std::string> parameter;
    std::vector<std::string> category;
};

struct RecordMessage {
    bool found = false;    // a message file had the event's text
    std::string text;      // that text, or a sentence saying it is missing
    std::string category;  // the category's name; "" when there is none
};

// The files named for the source, split and with the environment expanded.
MessageFiles MessageFilesOf(const std::string& logName, const std::string& source);

// Formats a parsed record with the given files (no registry access).
RecordMessage FormatWithFiles(const MessageFiles& files, const RecordView& record);

// Both steps for a record read from the named log.
RecordMessage FormatRecordTexts(const std::string& logName, const RecordView& record);

// The message text of a record in a ReadEventLog buffer (trusted to be record->Length
// bytes long); "" for a malformed record.
std::string FormatRecordMessage(const char* logName, const EVENTLOGRECORD* record);

}  // namespace pal::eventlog
