// A record as text for people (vqevent query) and as JSON for programs. Everything here
// works from a RecordView, so it only ever reads what ParseRecord checked.
#pragma once

#include <string>
#include <string_view>

#include "pal/eventlog/message.h"
#include "pal/eventlog/record.h"

namespace pal::eventlog {

// "error", "warning", "information", "success", "audit-success", "audit-failure", or
// "type N" for other values.
std::string TypeName(WORD type);
// Parses the names above; false for anything else.
bool ParseTypeName(const std::string& name, WORD& type);

// Minutes to subtract from UTC for local time now (the zone's bias, daylight included).
LONG CurrentBiasMinutes();
// "YYYY-MM-DD HH:MM:SS" of a record time at the given bias.
std::string LocalTimeText(DWORD secondsSince1970, LONG biasMinutes);

// Lower-case hex, two digits per byte, no separators.
std::string HexBytes(const uint8_t* data, size_t size);
// The contents of a JSON string literal (quotes not included).
std::string JsonEscape(std::string_view text);

// The account the SID names ("DOMAIN\name"), else its "S-1-..." form; "" without a SID.
std::string UserText(const RecordView& record);

struct RecordShow {
    RecordMessage texts;
    std::string user;
    LONG biasMinutes = 0;
};

// Several lines, the last one ending in '\n'.
std::string RecordAsText(const RecordView& record, const RecordShow& show);
// One JSON object on one line, no trailing newline.
std::string RecordAsJson(const RecordView& record, const RecordShow& show);

}  // namespace pal::eventlog
