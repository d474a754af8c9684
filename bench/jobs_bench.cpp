// Non-resident jobs started and answered per second: a client thread of the process sends
// a request to the process itself, the core routes it to a non-resident job that answers
// at once, and the client waits for each answer before it sends the next. The baseline
// creates and joins a thread per request that does the same work (copy the request, make
// its answer) without the framework. Prints both rates and their ratio; target: at least
// 0.3.
//
// The machine root (and so the application log) is made in RAM (/dev/shm) unless "disk" is
// given: every job writes two log records through a write-through file, and on a disk those
// synchronous writes, not the framework, would be what is measured (bench_apllog measures
// the log itself).
//
// Usage: bench_jobs [jobs per run] [runs] [disk]   (defaults 2000, 5, RAM)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <thread>
#include <vector>

#include "bench/bench_root.h"
#include "framework/apllog.h"
#include "framework/jobthread.h"
#include "framework/serialnorcv.h"
#include "framework/vqbthdmsg.h"
#include "pal/windows.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr short kWord3 = 22;

class AnswerJob final : public CJobThread {
public:
    using CJobThread::CJobThread;
    long Process() override {
        SetAnswer(0);
        return 0;
    }
};

DWORD WINAPI AnswerRoutine(LPVOID p) { return JobThreadRoutine<AnswerJob>(p); }

const SJOB_MAP_TBL kMap[] = {
    {0, 0, CMD1_FWSYSTEM, 13, kWord3, AnswerRoutine, nullptr, nullptr},
    {1, 0, 0, 0, 0, nullptr, nullptr, nullptr},
};

class BenchCore : public CVQBThdMsg {
public:
    BenchCore() : CVQBThdMsg(0, "benchjob", "BENCH", VQB_FLAG_NO_MSGMGR) {}
    void MakeSjobTbl() override { m_pSjobMapTbl = kMap; }
};

CJobPipeData MakeRequest(CVQBThdMsg& core) {
    CJobPipeData record;
    record.SetSDA(core.GetNetworkId(), core.GetPcName(), core.GetProcessName(), core.GetNetworkId(),
                  core.GetPcName(), core.GetProcessName());
    record.SetSJob(CMD1_FWSYSTEM, 13, kWord3);
    record.SetAns(1);
    return record;
}

// Seconds for n jobs through the framework; -1 when an answer failed.
double FrameworkJobs(CVQBThdMsg& core, int n) {
    CSerialNoRcv rcv;
    const int serial = rcv.Regist();
    CJobPipeData record = MakeRequest(core);
    record.SetSerialNo(static_cast<DWORD>(serial));
    auto start = Clock::now();
    for (int i = 0; i < n; ++i) {
        char* copy = new char[4096];
        std::memcpy(copy, static_cast<const ASCII_REQUEST*>(record), 4096);
        VQBThdPostMsg(VQBMSG_JOB_RECEIVED, 0, reinterpret_cast<LPARAM>(copy));
        char* data = nullptr;
        if (rcv.Receive(&data, static_cast<WORD>(serial), 30000) != serial) return -1;
        CJobPipeData answer(reinterpret_cast<const ASCII_REQUEST*>(data));
        delete[] data;
        if (answer.GetSData1() != 0) return -1;
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double PlainThreads(CVQBThdMsg& core, int n) {
    CJobPipeData record = MakeRequest(core);
    auto start = Clock::now();
    for (int i = 0; i < n; ++i) {
        WORD code = 1;
        std::thread worker([&] {
            CJobPipeData request(record);
            CJobPipeData answer = request.Req2Ans(0);
            code = answer.GetSData1();
        });
        worker.join();
        if (code != 0) return -1;
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    const bool onDisk = argc > 3 && std::strcmp(argv[3], "disk") == 0;
    const bool ram = !onDisk && std::filesystem::is_directory("/dev/shm");
    BenchRoot root(false, ram ? "/dev/shm" : "/tmp");
    std::printf("machine root %s\n", ram ? "in RAM (/dev/shm)" : "on disk (/tmp)");
    setenv("VQ_JOBPIPE_NOTICE_PAUSE_MS", "0", 1);

    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::vector<double> ratios;
    int status = 0;
    {
        BenchCore core;
        if (!core.Main(&done)) {
            std::fprintf(stderr, "bench_jobs: the process core did not start\n");
            return 1;
        }
        while (CVQBThdMsg::m_fRun != VQB_RUN_CREATED2) Sleep(10);
        FrameworkJobs(core, n / 10);  // warm up both
        PlainThreads(core, n / 10);
        std::printf("%-6s %14s %14s %8s\n", "run", "jobs/s", "threads/s", "ratio");
        for (int r = 0; r < runs; ++r) {
            const double jobs = FrameworkJobs(core, n);
            const double plain = PlainThreads(core, n);
            if (jobs < 0 || plain < 0) {
                std::fprintf(stderr, "bench_jobs: a job was not answered 0\n");
                status = 1;
                break;
            }
            ratios.push_back(plain / jobs);
            std::printf("%-6d %14.0f %14.0f %8.2f\n", r + 1, n / jobs, n / plain, plain / jobs);
        }
        VQBThdPostMsg(VQBMSG_PROCESS_STOP, 0, 0);
        WaitForSingleObject(done, 30000);
        core.CloseProc();
    }
    CloseHandle(done);
    CAplLog::Close();
    if (!ratios.empty()) {
        std::sort(ratios.begin(), ratios.end());
        std::printf("median rate ratio jobs/threads: %.2f (target at least 0.3)\n", ratios[ratios.size() / 2]);
    }
    return status;
}
