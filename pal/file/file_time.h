// FILETIME (100-ns ticks since 1601-01-01 UTC) to and from Linux time.
#pragma once

#include <time.h>

#include <cstdint>

#include "pal/types.h"

namespace pal {

// Ticks between 1601-01-01 and 1970-01-01.
constexpr uint64_t kUnixEpochTicks = 116444736000000000ull;

inline uint64_t TicksOf(const FILETIME& ft) {
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

inline FILETIME FileTimeOf(uint64_t ticks) {
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

// Times before 1601 become 0.
FILETIME FileTimeFromUnix(int64_t sec, uint32_t nsec);
timespec UnixFromFileTime(const FILETIME& ft);

}  // namespace pal
