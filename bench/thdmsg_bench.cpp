// VQBThdSendMsg round trip (post to the thread message procedure, handle, release the
// sender) against a plain mutex and condition-variable hand-off to a worker thread and
// back, in the same run. Prints both rates and the ratio of their times; target: the
// send costs at most 3 times the plain hand-off.
//
// Usage: bench_thdmsg [round trips per run] [runs]   (defaults 100000, 5)
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "bench/bench_root.h"
#include "framework/apllog.h"
#include "framework/vqbthdmsg.h"
#include "pal/windows.h"

namespace {

using Clock = std::chrono::steady_clock;

long Handler(WPARAM, LPARAM) { return 0; }

double SendRoundTrips(int n) {
    auto start = Clock::now();
    for (int i = 0; i < n; ++i) VQBThdSendMsg(60, static_cast<WPARAM>(i), 0);
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The baseline: one request slot, a worker that takes it and answers.
double PlainRoundTrips(int n) {
    std::mutex m;
    std::condition_variable cv;
    bool request = false, answer = false, quit = false;
    std::thread worker([&] {
        std::unique_lock<std::mutex> lock(m);
        for (;;) {
            cv.wait(lock, [&] { return request || quit; });
            if (quit) return;
            request = false;
            answer = true;
            cv.notify_all();
        }
    });
    auto start = Clock::now();
    for (int i = 0; i < n; ++i) {
        std::unique_lock<std::mutex> lock(m);
        request = true;
        cv.notify_all();
        cv.wait(lock, [&] { return answer; });
        answer = false;
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    {
        std::lock_guard<std::mutex> lock(m);
        quit = true;
        cv.notify_all();
    }
    worker.join();
    return seconds;
}

}  // namespace

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    BenchRoot root;
    setenv("VQ_JOBPIPE_NOTICE_PAUSE_MS", "0", 1);

    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::vector<double> ratios;
    {
        CVQBThdMsg core(0, "bench", "BENCH", VQB_FLAG_NO_MSGMGR);
        if (!core.Main(&done)) {
            std::fprintf(stderr, "bench_thdmsg: the process core did not start\n");
            return 1;
        }
        core.RegistMsgProcHandler(60, Handler);
        SendRoundTrips(n / 10);  // warm up both
        PlainRoundTrips(n / 10);
        std::printf("%-6s %14s %14s %8s\n", "run", "send/s", "plain/s", "ratio");
        for (int r = 0; r < runs; ++r) {
            double send = SendRoundTrips(n);
            double plain = PlainRoundTrips(n);
            ratios.push_back(send / plain);
            std::printf("%-6d %14.0f %14.0f %8.2f\n", r + 1, n / send, n / plain, send / plain);
        }
        VQBThdPostMsg(VQBMSG_PROCESS_STOP, 0, 0);
        WaitForSingleObject(done, 30000);
        core.CloseProc();
    }
    CloseHandle(done);
    CAplLog::Close();
    std::sort(ratios.begin(), ratios.end());
    const double median = ratios[ratios.size() / 2];
    std::printf("median time ratio send/plain: %.2f (target at most 3)\n", median);
    return 0;
}
