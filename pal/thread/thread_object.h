// A thread's kernel object: waitable (signalled once the thread has ended and its
// mutexes are abandoned), with its id, exit code and start gate.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "pal/core/region.h"
#include "pal/handle/handle.h"

namespace pal {

class ThreadObject : public KernelObject {
public:
    explicit ThreadObject(core::ObjectRef ref) : ref_(std::move(ref)) {}
    uint32_t WaitIndex() const override { return ref_.index(); }

    std::atomic<DWORD> id{0};
    static constexpr DWORD STILL_ACTIVE_CODE = 259;
    std::atomic<DWORD> exitCode{STILL_ACTIVE_CODE};
    // Start gate of a thread created suspended.
    std::mutex gateMutex;
    std::condition_variable gate;
    DWORD suspendCount = 0;
    bool idKnown = false;
    // A thread created suspended without a request for its id starts only on resume: a
    // start gate would cost two extra switches on every job thread.
    LPTHREAD_START_ROUTINE deferredRoutine = nullptr;
    LPVOID deferredParameter = nullptr;
    SIZE_T deferredStackSize = 0;

private:
    core::ObjectRef ref_;
};

}  // namespace pal
