// CQueFile: the byte format of a job-queue file (".jpq") and its safe reading and writing.
//
// Layout, numbers little-endian: the record count (2 bytes when below 0xFFFF, else FF FF
// and 4 bytes), then per record a length prefix (1 byte when below 255; else FF and 2
// bytes when below 0xFFFE; else FF FF FF and 4 bytes) and the record's characters
// without NUL.
//
// Reading trusts nothing in the file: no record longer than a job record's text is taken,
// the end of the file ends reading, every complete record before a damaged place is kept
// and the damage is described. Writing goes to "<file>.tmp", is flushed to disk and then
// renamed over the file, so a crash leaves either the old or the new queue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class CQueFile {
public:
    // Longest record text: a job record of 4096 bytes without its NUL.
    static constexpr size_t kMaxRecord = 4095;
    // Largest queue file Read accepts (65,000 records of the longest kind); anything
    // larger is a wrong file, not a queue, and is refused instead of read into memory.
    static constexpr size_t kMaxFileBytes = 256u << 20;

    enum Result {
        kOk = 0,       // read completely
        kMissing = 1,  // no such file: an empty queue
        kDamaged = 2,  // the records before the damaged place were read
        kFailed = -1,  // the file could not be opened, read or written
    };

    // Where and how a file is damaged.
    struct Damage {
        uint64_t offset = 0;  // byte offset of the damaged place
        uint64_t record = 0;  // index (from 0) of the record that could not be read
        std::string what;
        std::string Describe() const;
    };

    // The queue file of a process's queue: QUE_DIR (ends in a backslash) + process + "." + queue + ".jpq".
    static std::string PathOf(const std::string& queDir, const std::string& process, const std::string& queue);

    // The file's bytes for these records.
    static std::string Encode(const std::vector<std::string>& records);
    // Appends the complete records found in data to records; kOk or kDamaged (damage filled).
    static Result Decode(const void* data, size_t size, std::vector<std::string>& records, Damage* damage);

    // Reads a queue file (a Windows path, mapped into the machine root, or a Linux path).
    // why receives the reason of kFailed (also for a directory, a device or a file larger
    // than kMaxFileBytes).
    static Result Read(const std::string& path, std::vector<std::string>& records, Damage* damage,
                       std::string* why = nullptr);
    // Replaces the file atomically with these records; kOk or kFailed (why filled).
    static Result Write(const std::string& path, const std::vector<std::string>& records, std::string* why = nullptr);
    // Adds one record at the end of a file (a missing file is an empty queue); a damaged
    // file is not rewritten (kDamaged), so its unreadable tail stays for a person to see.
    static Result Append(const std::string& path, const std::string& record, std::string* why = nullptr);
};
