// The child side of a named-event round trip, shared by the benchmarks that measure one
// (bench_pingpong, and bench_trap for its same-run baseline): it answers each set of
// PING by setting PONG, ROUNDS times. Returns the child's exit code.
#pragma once

#include "pal/windows.h"

namespace benchevents {

inline int EventRoundTripChild(const char* ping, const char* pong, int rounds) {
    HANDLE a = OpenEventA(SYNCHRONIZE, FALSE, ping);
    HANDLE b = OpenEventA(EVENT_MODIFY_STATE, FALSE, pong);
    if (!a || !b) return 1;
    for (int i = 0; i < rounds; ++i) {
        WaitForSingleObject(a, INFINITE);
        SetEvent(b);
    }
    return 0;
}

}  // namespace benchevents
