// Recognising records in the bytes of an application-log ring file and putting them back
// in write order. Nothing here touches files: callers hand in the regions they read.
//
// A ring is read as up to two regions: the older one runs from a position to the end of
// the file, the newer one from offset 10 (just behind the header) to the writers' current
// position. Records are located by their shape, never by arithmetic on offsets, because
// writers of several processes, wider fields and bytes left from earlier passes around
// the ring all break fixed strides.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vqlog {

enum class Kind {
    Main,   // vqapl.log, vqerr.log, vqser.log: head, 139-byte body, CR LF
    Short,  // vqrapl.log: free-length line, CR LF
};

// Offset of the first record, just behind the "%08d\r\n" position header.
constexpr size_t kFirstRecord = 10;
// The message body of a main record: always exactly this long ("%-139.139s").
constexpr size_t kMainBody = 139;

struct Region {
    size_t begin = 0;  // file offset of bytes[0]
    std::string bytes;
};

struct Record {
    std::string raw;  // the record without its closing CR LF
};

struct ScanResult {
    std::vector<Record> records;
    // File offset where unread data begins: the writers' position, or the start of a
    // line that was still being written when the regions were read.
    size_t resume = kFirstRecord;
};

// Length of the main record's head (date to the comma after the level) at the start of
// s, or 0 when s does not start with one.
size_t MainHeadLength(std::string_view s);
// Length of the whole main record at the start of s, CR LF included, or 0.
size_t MainRecordLength(std::string_view s);

// Length of the short-form line's fixed part at the start of s (date to the two blanks
// after the error code), or 0 when s does not start with one.
size_t ShortHeadLength(std::string_view s);
// Length of the whole short-form head at the start of s: the fixed part, then nothing or
// one function name padded the way the writer pads it (to 32, or by its length modulo 8
// from 32 characters on). 0 when s does not start with one or where it ends cannot be
// told (a name with no padding followed by more text).
size_t WholeShortHeadLength(std::string_view s);

// The records of the regions, oldest first. With two regions the second (starting at
// offset 10) continues the first across the wrap.
ScanResult Scan(Kind kind, const std::vector<Region>& regions);

// The record as one output line: trailing blanks of the message dropped, CR and LF shown
// as \r and \n, other control bytes as \xHH.
std::string Printable(Kind kind, std::string_view raw);

// The record's local time as "YYYYMMDDHHMMSS" (short-form years are 20YY).
std::string Stamp(Kind kind, std::string_view raw);

// Reads a --since time: "YYYY-MM-DD HH:MM:SS", "YYYY-MM-DD" or "YYYYMMDDHHMMSS"; false
// when it is none of them or not a real date and time.
bool ParseTime(const std::string& text, std::string& stamp);

}  // namespace vqlog
