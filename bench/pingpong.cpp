// Cross-process round trip: two processes hand two named auto-reset events back and
// forth, against the same hand-off on two raw futex words in shared memory, measured in
// the same run. Prints both per-round-trip times and their ratio (target: at most 3).
//
//   bench_pingpong [round trips]
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/event_roundtrip.h"
#include "pal/sync/sync.h"

namespace {

using Clock = std::chrono::steady_clock;

void FutexWait(std::atomic<uint32_t>* w, uint32_t v) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(w), FUTEX_WAIT, v, nullptr, nullptr, 0);
}
void FutexWake(std::atomic<uint32_t>* w) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(w), FUTEX_WAKE, 1, nullptr, nullptr, 0);
}

// Turn word: the parent hands over by setting it odd, the child by setting it even.
double RawFutex(int rounds) {
    auto* word = static_cast<std::atomic<uint32_t>*>(
        mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    word->store(0);
    pid_t pid = fork();
    if (pid == 0) {
        for (int i = 0; i < rounds; ++i) {
            uint32_t want = 2u * static_cast<uint32_t>(i) + 1;
            uint32_t v;
            while ((v = word->load()) != want) FutexWait(word, v);
            word->store(want + 1);
            FutexWake(word);
        }
        _exit(0);
    }
    auto start = Clock::now();
    for (int i = 0; i < rounds; ++i) {
        uint32_t next = 2u * static_cast<uint32_t>(i) + 1;
        word->store(next);
        FutexWake(word);
        uint32_t v;
        while ((v = word->load()) != next + 1) FutexWait(word, v);
    }
    double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count() / rounds;
    waitpid(pid, nullptr, 0);
    munmap(word, 4096);
    return ns;
}

double NamedEvents(const char* self, int rounds) {
    std::string ping = "bench_ping_" + std::to_string(getpid());
    std::string pong = "bench_pong_" + std::to_string(getpid());
    HANDLE a = CreateEventA(nullptr, FALSE, FALSE, ping.c_str());
    HANDLE b = CreateEventA(nullptr, FALSE, FALSE, pong.c_str());
    pid_t pid = fork();
    if (pid == 0) {
        std::string n = std::to_string(rounds);
        execl(self, self, "--child", ping.c_str(), pong.c_str(), n.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    // Warm-up round trip: the child is attached and waiting once this returns.
    SetEvent(a);
    WaitForSingleObject(b, INFINITE);
    auto start = Clock::now();
    for (int i = 1; i < rounds; ++i) {
        SetEvent(a);
        WaitForSingleObject(b, INFINITE);
    }
    double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count() / (rounds - 1);
    waitpid(pid, nullptr, 0);
    CloseHandle(a);
    CloseHandle(b);
    return ns;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--child") == 0)
        return benchevents::EventRoundTripChild(argv[2], argv[3], std::atoi(argv[4]));
    int rounds = argc > 1 ? std::max(100, std::atoi(argv[1])) : 20000;
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    self[n > 0 ? n : 0] = '\0';

    // Best of three of each, interleaved, so a noisy moment hurts both sides alike.
    double raw = 1e18, named = 1e18;
    for (int k = 0; k < 3; ++k) {
        raw = std::min(raw, RawFutex(rounds));
        named = std::min(named, NamedEvents(self, rounds));
    }
    std::printf("round trips per run:        %d\n", rounds);
    std::printf("raw futex round trip:       %.0f ns\n", raw);
    std::printf("named event round trip:     %.0f ns\n", named);
    std::printf("ratio named/raw:            %.2f (target <= 3.00)\n", named / raw);
    return 0;
}
