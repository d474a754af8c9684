#include "pal/thread/thread.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "pal/core/region.h"
#include "pal/error/error.h"
#include "pal/thread/message_queue.h"
#include "pal/thread/thread_object.h"

namespace {

using pal::ThreadObject;

// Signals the thread's object when the thread ends. Constructed first on every thread the
// layer knows, so it is destroyed last: after the mutexes the thread owned are abandoned.
struct ThreadExitNotifier {
    std::shared_ptr<ThreadObject> object;
    ~ThreadExitNotifier() {
        // Whoever saw the handle signalled must find the thread's queue gone.
        pal::CloseThreadQueue();
        if (!object) return;
        DWORD expected = ThreadObject::STILL_ACTIVE_CODE;
        object->exitCode.compare_exchange_strong(expected, 0);
        pal::core::SetThreadDone(object->WaitIndex());
    }
};

thread_local ThreadExitNotifier t_notifier;

std::shared_ptr<ThreadObject> NewThreadObject() {
    pal::core::ObjectRef ref;
    bool existed = false;
    DWORD err = pal::core::CreateObject(pal::core::ObjType::Thread, nullptr, nullptr, nullptr, ref, existed);
    if (err) {
        SetLastError(err);
        return nullptr;
    }
    return std::make_shared<ThreadObject>(std::move(ref));
}

struct StartBlock {
    std::shared_ptr<ThreadObject> object;
    LPTHREAD_START_ROUTINE routine;
    LPVOID parameter;
};

void* ThreadMain(void* arg) {
    std::unique_ptr<StartBlock> start(static_cast<StartBlock*>(arg));
    auto object = start->object;
    t_notifier.object = object;
    {
        std::unique_lock<std::mutex> lock(object->gateMutex);
        object->id = static_cast<DWORD>(gettid());
        object->idKnown = true;
        object->gate.notify_all();
        object->gate.wait(lock, [&] { return object->suspendCount == 0; });
    }
    DWORD code = start->routine(start->parameter);
    object->exitCode = code;
    return nullptr;
}

int64_t EnvNumber(const char* name, bool& present) {
    const char* v = std::getenv(name);
    present = v && *v;
    return present ? std::strtoll(v, nullptr, 10) : 0;
}

void ToSystemTime(const struct tm& tm, long nsec, SYSTEMTIME* st) {
    st->wYear = static_cast<WORD>(tm.tm_year + 1900);
    st->wMonth = static_cast<WORD>(tm.tm_mon + 1);
    st->wDayOfWeek = static_cast<WORD>(tm.tm_wday);
    st->wDay = static_cast<WORD>(tm.tm_mday);
    st->wHour = static_cast<WORD>(tm.tm_hour);
    st->wMinute = static_cast<WORD>(tm.tm_min);
    st->wSecond = static_cast<WORD>(tm.tm_sec);
    st->wMilliseconds = static_cast<WORD>(nsec / 1000000L);
}

}  // namespace

namespace pal {

std::shared_ptr<KernelObject> CurrentThreadObject() {
    // Threads the layer did not start (main, std::thread) get their object on first use.
    if (!t_notifier.object) {
        auto object = NewThreadObject();
        if (!object) return nullptr;
        object->id = static_cast<DWORD>(gettid());
        object->idKnown = true;
        t_notifier.object = object;
    }
    return t_notifier.object;
}

}  // namespace pal

namespace {

// Starts the thread of an object; false (with the error set) when the system refused.
bool StartThread(const std::shared_ptr<ThreadObject>& object, SIZE_T stackSize, LPTHREAD_START_ROUTINE routine,
                 LPVOID parameter) {
    auto* start = new StartBlock{object, routine, parameter};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (stackSize) pthread_attr_setstacksize(&attr, std::max<size_t>(stackSize, PTHREAD_STACK_MIN));
    pthread_t pt;
    int r = pthread_create(&pt, &attr, ThreadMain, start);
    pthread_attr_destroy(&attr);
    if (r != 0) {
        delete start;
        pal::SetLastErrorFromErrno(r);
        return false;
    }
    return true;
}

void WaitForId(ThreadObject& object) {
    std::unique_lock<std::mutex> lock(object.gateMutex);
    object.gate.wait(lock, [&] { return object.idKnown; });
}

}  // namespace

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T stackSize, LPTHREAD_START_ROUTINE routine, LPVOID parameter,
                    DWORD flags, LPDWORD threadId) {
    if (!routine) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto object = NewThreadObject();
    if (!object) return nullptr;
    const bool suspended = (flags & CREATE_SUSPENDED) != 0;
    object->suspendCount = suspended ? 1 : 0;
    if (suspended && !threadId) {
        object->deferredRoutine = routine;
        object->deferredParameter = parameter;
        object->deferredStackSize = stackSize;
        return pal::InsertHandle(object);
    }
    if (!StartThread(object, stackSize, routine, parameter)) return nullptr;
    if (threadId) {
        // The id is the kernel's thread id, known once the thread runs.
        WaitForId(*object);
        *threadId = object->id;
    }
    return pal::InsertHandle(object);
}

DWORD ResumeThread(HANDLE h) {
    auto object = pal::LookupHandleAs<ThreadObject>(h);
    if (!object) return static_cast<DWORD>(-1);
    std::lock_guard<std::mutex> lock(object->gateMutex);
    DWORD previous = object->suspendCount;
    if (object->suspendCount > 0 && --object->suspendCount == 0) {
        if (object->deferredRoutine) {
            if (!StartThread(object, object->deferredStackSize, object->deferredRoutine, object->deferredParameter)) {
                object->suspendCount = previous;
                return static_cast<DWORD>(-1);
            }
            object->deferredRoutine = nullptr;
        }
        object->gate.notify_all();
    }
    return previous;
}

HANDLE GetCurrentThread() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2)); }

DWORD GetCurrentThreadId() { return static_cast<DWORD>(gettid()); }

DWORD GetThreadId(HANDLE h) {
    auto object = pal::LookupHandleAs<ThreadObject>(h);
    if (!object) return 0;
    {
        // A thread still waiting for its first resume has no kernel id yet.
        std::lock_guard<std::mutex> lock(object->gateMutex);
        if (object->deferredRoutine) return 0;
    }
    WaitForId(*object);
    return object->id.load();
}

BOOL GetExitCodeThread(HANDLE h, LPDWORD code) {
    auto object = pal::LookupHandleAs<ThreadObject>(h);
    if (!object || !code) {
        if (object) SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *code = object->exitCode;
    return TRUE;
}

void ExitThread(DWORD code) {
    if (auto object = std::static_pointer_cast<ThreadObject>(pal::CurrentThreadObject())) object->exitCode = code;
    pthread_exit(nullptr);
}

void Sleep(DWORD ms) {
    if (ms == INFINITE) {
        for (;;) pause();
    }
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

DWORD SleepEx(DWORD ms, BOOL) {
    Sleep(ms);
    return 0;
}

ULONGLONG GetTickCount64() {
    timespec ts{};
    clock_gettime(CLOCK_BOOTTIME, &ts);
    bool present = false;
    int64_t offset = EnvNumber("VQ_TICK_OFFSET", present);
    return static_cast<ULONGLONG>(ts.tv_sec) * 1000ull + static_cast<ULONGLONG>(ts.tv_nsec / 1000000L) +
           static_cast<ULONGLONG>(offset);
}

DWORD GetTickCount() { return static_cast<DWORD>(GetTickCount64()); }

void GetSystemTime(LPSYSTEMTIME st) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm{};
    gmtime_r(&ts.tv_sec, &tm);
    ToSystemTime(tm, ts.tv_nsec, st);
}

void GetLocalTime(LPSYSTEMTIME st) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm{};
    bool present = false;
    int64_t bias = EnvNumber("VQ_TZ_BIAS", present);
    if (present) {
        time_t local = ts.tv_sec - static_cast<time_t>(bias * 60);
        gmtime_r(&local, &tm);
    } else {
        localtime_r(&ts.tv_sec, &tm);
    }
    ToSystemTime(tm, ts.tv_nsec, st);
}

void GetSystemTimeAsFileTime(LPFILETIME ft) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    // 100-ns intervals since 1601-01-01.
    uint64_t t = (static_cast<uint64_t>(ts.tv_sec) + 11644473600ull) * 10000000ull +
                 static_cast<uint64_t>(ts.tv_nsec / 100);
    ft->dwLowDateTime = static_cast<DWORD>(t);
    ft->dwHighDateTime = static_cast<DWORD>(t >> 32);
}

DWORD GetTimeZoneInformation(LPTIME_ZONE_INFORMATION tzi) {
    if (!tzi) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return TIME_ZONE_ID_INVALID;
    }
    std::memset(tzi, 0, sizeof *tzi);
    bool present = false;
    int64_t bias = EnvNumber("VQ_TZ_BIAS", present);
    if (present) {
        tzi->Bias = static_cast<LONG>(bias);
        return TIME_ZONE_ID_UNKNOWN;
    }
    time_t now = time(nullptr);
    struct tm tm{};
    localtime_r(&now, &tm);
    // Bias is the standard offset; daylight time adds DaylightBias (-60) on top.
    long gmtoff = tm.tm_gmtoff;
    if (tm.tm_isdst > 0) {
        tzi->Bias = static_cast<LONG>(-(gmtoff / 60) + 60);
        tzi->DaylightBias = -60;
    } else {
        tzi->Bias = static_cast<LONG>(-(gmtoff / 60));
    }
    const char* std = tzname[0] ? tzname[0] : "";
    const char* dst = tzname[1] ? tzname[1] : "";
    for (int i = 0; i < 31 && std[i]; ++i) tzi->StandardName[i] = static_cast<WCHAR>(std[i]);
    for (int i = 0; i < 31 && dst[i]; ++i) tzi->DaylightName[i] = static_cast<WCHAR>(dst[i]);
    if (tm.tm_isdst > 0) return TIME_ZONE_ID_DAYLIGHT;
    return daylight ? TIME_ZONE_ID_STANDARD : TIME_ZONE_ID_UNKNOWN;
}

BOOL GetComputerNameA(LPSTR buffer, LPDWORD size) {
    if (!size) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string name;
    if (const char* env = std::getenv("VQ_COMPUTERNAME"); env && *env) {
        name = env;
    } else {
        char host[256] = {};
        gethostname(host, sizeof host - 1);
        name = host;
        if (auto dot = name.find('.'); dot != std::string::npos) name.resize(dot);
    }
    if (name.size() > MAX_COMPUTERNAME_LENGTH) name.resize(MAX_COMPUTERNAME_LENGTH);
    for (auto& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (!buffer || *size < name.size() + 1) {
        *size = static_cast<DWORD>(name.size() + 1);
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return FALSE;
    }
    std::memcpy(buffer, name.c_str(), name.size() + 1);
    *size = static_cast<DWORD>(name.size());
    return TRUE;
}
