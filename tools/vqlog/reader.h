// Reading one live log file: a consistent view of the ring now, then whatever the writers
// add. Reads happen under the writers' log mutex when it can be found, so the header and
// the records agree; without it the record shapes still keep torn data out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pal/types.h"
#include "tools/vqlog/ring.h"

namespace vqlog {

class RingReader {
public:
    // `mutexName` is the writers' log mutex ("" when it cannot be known); it is looked up
    // again on every read until it exists, since writers may start later.
    RingReader(Kind kind, HANDLE file, std::string mutexName);
    ~RingReader();
    RingReader(const RingReader&) = delete;
    RingReader& operator=(const RingReader&) = delete;

    // Every record now in the file, oldest first; false (with the Win32 error) when the
    // file cannot be read.
    bool ReadAll(std::vector<Record>& out, DWORD& error);
    // The records written since the previous call; a file emptied meanwhile is read
    // again from offset 10 once it regrows.
    bool ReadNew(std::vector<Record>& out, DWORD& error);

private:
    bool Read(bool whole, std::vector<Record>& out, DWORD& error);
    bool ReadAt(uint64_t offset, size_t size, std::string& bytes, DWORD& error);
    bool Lock();
    void Unlock();

    Kind kind_;
    HANDLE file_;
    std::string mutexName_;
    HANDLE mutex_ = nullptr;
    bool locked_ = false;
    size_t resume_ = kFirstRecord;  // where unread data begins
    std::string seen_;              // the bytes just before resume_, as last read
    bool emptied_ = false;
};

}  // namespace vqlog
