// The backup file ClearEventLog writes: the classic .evt layout of a log that never
// wrapped. A 48-byte header, the records oldest first, each in its EVENTLOGRECORD image,
// and a 40-byte end-of-file record:
//
//   header:  HeaderSize 0x30, Signature "LfLe", MajorVersion 1, MinorVersion 1,
//            StartOffset 0x30, EndOffset (of the end record), CurrentRecordNumber (next
//            number), OldestRecordNumber (0 when empty), MaxSize, Flags 0, Retention 0,
//            EndHeaderSize 0x30                                       (12 DWORDs)
//   end:     0x28, 0x11111111, 0x22222222, 0x33333333, 0x44444444, BeginRecord 0x30,
//            EndRecord (its own offset), CurrentRecordNumber, OldestRecordNumber, 0x28
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pal/types.h"

namespace pal::eventlog {

inline constexpr DWORD kBackupHeaderSize = 0x30;
inline constexpr DWORD kBackupEofSize = 0x28;

// The whole file's bytes.
std::vector<uint8_t> BackupImage(const std::vector<std::vector<uint8_t>>& records, DWORD nextNumber, DWORD maxSize);

// Creates the file (a Windows or Linux path; it must not exist: ERROR_ALREADY_EXISTS),
// writes the image and syncs it. 0 or a Win32 error; a failed write leaves no file.
DWORD WriteBackup(const std::string& path, const std::vector<std::vector<uint8_t>>& records, DWORD nextNumber,
                  DWORD maxSize);

}  // namespace pal::eventlog
