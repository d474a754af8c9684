// Thin wrappers over the futex system calls (shared, 32-bit words).
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace pal::core {

inline void FutexWake(uint32_t* word, int count) {
    syscall(SYS_futex, word, FUTEX_WAKE, count, nullptr, nullptr, 0);
}

inline int FutexWait(uint32_t* word, uint32_t expected, const timespec* relative) {
    return static_cast<int>(syscall(SYS_futex, word, FUTEX_WAIT, expected, relative, nullptr, 0));
}

#ifndef SYS_futex_waitv
#define SYS_futex_waitv 449
#endif

// Waits on several words at once until any changes, or until the absolute CLOCK_MONOTONIC
// deadline (null: none). Returns the woken index, or -1 with errno (ETIMEDOUT, EAGAIN when a
// word already differs, EINTR, ENOSYS on kernels before 5.16).
inline int FutexWaitv(struct futex_waitv* waiters, unsigned count, const timespec* deadline) {
    return static_cast<int>(syscall(SYS_futex_waitv, waiters, count, 0, deadline, CLOCK_MONOTONIC));
}

}  // namespace pal::core
