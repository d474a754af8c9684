// Reading a classic .evt backup (the layout in backup.h) from its bytes, trusting none of
// them. The header names where the records start and where the end-of-file record lies;
// a log that wrapped has its oldest record late in the file, and its records run to the
// file's end and on from offset 0x30 (a record may itself be split there). Reading stops
// at the first thing that is not as it should be: the records before it are complete and
// kept, and the damage says where and why.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pal/types.h"

namespace pal::eventlog {

// Backups are read whole; the format's own offsets are 32-bit, and real backups are a few
// megabytes. The limit stops a runaway file before it is held in memory.
inline constexpr size_t kMaxBackupFileBytes = size_t{256} << 20;

struct BackupContents {
    // Each complete record's EVENTLOGRECORD image, in file order (oldest first); every one
    // passed ParseRecord and is at most 0x7FFFF bytes.
    std::vector<std::vector<uint8_t>> records;
    // From the header (0 when the header itself is damaged).
    DWORD nextNumber = 0;
    DWORD oldestNumber = 0;
    DWORD maxSize = 0;
    bool wrapped = false;

    bool damaged = false;
    size_t damageOffset = 0;  // file offset where reading stopped
    std::string damage;       // what is wrong there
};

BackupContents ReadBackup(const uint8_t* data, size_t size);

}  // namespace pal::eventlog
