// In-process costs of the sync family against the plain pthread primitive.
#include <benchmark/benchmark.h>
#include <pthread.h>

#include "pal/sync/sync.h"

static void BM_PthreadMutexLockUnlock(benchmark::State& state) {
    pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
    for (auto _ : state) {
        pthread_mutex_lock(&m);
        pthread_mutex_unlock(&m);
    }
}
BENCHMARK(BM_PthreadMutexLockUnlock);

static void BM_MutexWaitRelease(benchmark::State& state) {
    HANDLE m = CreateMutexA(nullptr, FALSE, state.range(0) ? "bench_named_mutex" : nullptr);
    for (auto _ : state) {
        WaitForSingleObject(m, INFINITE);
        ReleaseMutex(m);
    }
    CloseHandle(m);
}
BENCHMARK(BM_MutexWaitRelease)->Arg(0)->Arg(1);

static void BM_EventSetWait(benchmark::State& state) {
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    for (auto _ : state) {
        SetEvent(e);
        WaitForSingleObject(e, INFINITE);
    }
    CloseHandle(e);
}
BENCHMARK(BM_EventSetWait);

static void BM_CriticalSection(benchmark::State& state) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    for (auto _ : state) {
        EnterCriticalSection(&cs);
        LeaveCriticalSection(&cs);
    }
    DeleteCriticalSection(&cs);
}
BENCHMARK(BM_CriticalSection);

BENCHMARK_MAIN();
