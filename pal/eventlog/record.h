// Building and parsing EVENTLOGRECORD byte images. The parser is the one place that reads
// record buffers handed in from outside (ReadEventLog results, backup files), so it checks
// every length and offset against the buffer before it believes it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "pal/eventlog/eventlog.h"

namespace pal::eventlog {

inline constexpr size_t kHeaderSize = sizeof(EVENTLOGRECORD);
static_assert(kHeaderSize == 56, "the system's layout");
// The smallest record: header, two empty names, padding, trailing length.
inline constexpr size_t kMinRecordSize = 64;
// The largest buffer ReadEventLog uses.
inline constexpr DWORD kMaxReadSize = 0x7FFFF;

struct RecordFields {
    DWORD recordNumber = 0;
    DWORD timeGenerated = 0;
    DWORD timeWritten = 0;
    DWORD eventId = 0;
    WORD eventType = 0;
    WORD category = 0;
    std::string_view source;
    std::string_view computer;
    const void* sid = nullptr;
    DWORD sidLength = 0;
    std::vector<std::string_view> strings;
    const void* data = nullptr;
    DWORD dataLength = 0;
};

// The record's bytes in the exact layout (strings are cut at an embedded NUL).
std::vector<uint8_t> BuildRecord(const RecordFields& fields);

// The length the record would have.
size_t RecordLength(const RecordFields& fields);

// A parsed record; views point into the buffer given to ParseRecord.
struct RecordView {
    EVENTLOGRECORD header{};
    std::string_view source;
    std::string_view computer;
    const uint8_t* sid = nullptr;
    DWORD sidLength = 0;
    std::vector<std::string_view> strings;
    const uint8_t* data = nullptr;
    DWORD dataLength = 0;
};

// Parses the record at the start of [buffer, buffer + size). False (with a reason) when it
// is not a well-formed record lying wholly inside the buffer.
bool ParseRecord(const void* buffer, size_t size, RecordView& out, std::string* why = nullptr);

// Splits a ReadEventLog result into its records; stops at the first malformed one
// (returning false).
bool ParseRecords(const void* buffer, size_t size, std::vector<RecordView>& out, std::string* why = nullptr);

// Length of a SID from its own bytes (8 + 4 × sub-authority count), 0 when the bytes are
// not a valid SID (revision 1, at most 15 sub-authorities). Reads at most 2 bytes before
// it knows the length.
DWORD SidLengthOf(const void* sid);

// "S-1-5-21-..." for a SID of sidLength bytes; "" when malformed.
std::string SidToString(const uint8_t* sid, size_t sidLength);

}  // namespace pal::eventlog
