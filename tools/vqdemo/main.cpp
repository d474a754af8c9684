// Demonstration of the platform layer across processes: a parent and a child hand a
// named mutex (the baton) back and forth with two named auto-reset events, then the
// child is killed while it holds the baton, and the parent inherits it as abandoned.
//
//   vqdemo [rounds]
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pal/error/error.h"
#include "pal/sync/sync.h"
#include "pal/thread/thread.h"

namespace {

const char* kBaton = "VqDemoBaton";
const char* kPing = "VqDemoPing";
const char* kPong = "VqDemoPong";
const char* kChildOnly = "VqDemoChildOnly";

void Say(const char* who, const std::string& what) {
    SYSTEMTIME t;
    GetLocalTime(&t);
    std::printf("%02u:%02u:%02u.%03u [%-6s pid %d] %s\n", t.wHour, t.wMinute, t.wSecond, t.wMilliseconds, who,
                getpid(), what.c_str());
    std::fflush(stdout);
}

int Child(int rounds) {
    HANDLE baton = OpenMutexA(SYNCHRONIZE, FALSE, kBaton);
    HANDLE ping = OpenEventA(SYNCHRONIZE, FALSE, kPing);
    HANDLE pong = OpenEventA(EVENT_MODIFY_STATE, FALSE, kPong);
    if (!baton || !ping || !pong) {
        Say("child", "cannot open the named objects, error " + std::to_string(GetLastError()));
        return 1;
    }
    CreateEventA(nullptr, TRUE, FALSE, kChildOnly);  // lives exactly as long as this process
    for (int i = 1; i <= rounds; ++i) {
        WaitForSingleObject(ping, INFINITE);
        WaitForSingleObject(baton, INFINITE);
        Say("child", "holds the baton, round " + std::to_string(i));
        ReleaseMutex(baton);
        SetEvent(pong);
    }
    WaitForSingleObject(ping, INFINITE);
    WaitForSingleObject(baton, INFINITE);
    Say("child", "holds the baton and will not let go");
    SetEvent(pong);
    Sleep(INFINITE);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--child") == 0) return Child(std::atoi(argv[2]));
    int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;

    HANDLE baton = CreateMutexA(nullptr, FALSE, kBaton);
    HANDLE ping = CreateEventA(nullptr, FALSE, FALSE, kPing);
    HANDLE pong = CreateEventA(nullptr, FALSE, FALSE, kPong);
    if (!baton || !ping || !pong) {
        std::fprintf(stderr, "vqdemo: cannot create the named objects, error %u\n", GetLastError());
        return 1;
    }
    Say("parent", "created mutex \"" + std::string(kBaton) + "\" and events \"" + kPing + "\", \"" + kPong + "\"");

    pid_t child = fork();
    if (child == 0) {
        std::string n = std::to_string(rounds);
        execl("/proc/self/exe", argv[0], "--child", n.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    auto start = std::chrono::steady_clock::now();
    for (int i = 1; i <= rounds; ++i) {
        WaitForSingleObject(baton, INFINITE);
        Say("parent", "holds the baton, round " + std::to_string(i));
        ReleaseMutex(baton);
        SetEvent(ping);
        if (WaitForSingleObject(pong, 10000) != WAIT_OBJECT_0) {
            Say("parent", "the child did not answer");
            kill(child, SIGKILL);
            return 1;
        }
    }
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    Say("parent", std::to_string(rounds) + " hand-overs took " + std::to_string(ms) + " ms");

    SetEvent(ping);
    WaitForSingleObject(pong, INFINITE);
    HANDLE probe = OpenEventA(SYNCHRONIZE, FALSE, kChildOnly);
    Say("parent", std::string("the child's own event \"") + kChildOnly + "\" is " + (probe ? "visible" : "missing"));
    if (probe) CloseHandle(probe);

    Say("parent", "killing the child (SIGKILL) while it holds the baton");
    kill(child, SIGKILL);
    DWORD r = WaitForSingleObject(baton, 10000);
    Say("parent", r == WAIT_ABANDONED_0 ? "wait returned WAIT_ABANDONED (128): the parent now owns the baton"
                                        : "unexpected wait result " + std::to_string(r));
    waitpid(child, nullptr, 0);
    ReleaseMutex(baton);

    probe = OpenEventA(SYNCHRONIZE, FALSE, kChildOnly);
    DWORD err = GetLastError();
    Say("parent", std::string("after the kill, OpenEvent(\"") + kChildOnly + "\") " +
                      (probe ? "still succeeds" : "fails with error " + std::to_string(err) + ": the name vanished"));
    CloseHandle(baton);
    CloseHandle(ping);
    CloseHandle(pong);
    return r == WAIT_ABANDONED_0 && !probe ? 0 : 1;
}
