// Helpers of the window family's tests: bodies on fresh threads (each thread's queue and
// windows end with it, so nothing leaks into the next test), a recording window class,
// and waiting for a message with a time-out.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "pal/windows.h"

namespace wtest {

constexpr DWORD kLong = 20000;  // generous: the machine is shared

inline DWORD WINAPI RunFunction(LPVOID p) {
    (*static_cast<std::function<void()>*>(p))();
    return 0;
}

// Runs body on a new thread and waits for it to end.
inline void OnFreshThread(std::function<void()> body) {
    HANDLE h = CreateThread(nullptr, 0, RunFunction, &body, 0, nullptr);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(WaitForSingleObject(h, 120000), WAIT_OBJECT_0);
    CloseHandle(h);
}

// What a recording window's procedure saw, in order.
struct Seen {
    HWND hwnd;
    UINT msg;
    WPARAM wp;
    LPARAM lp;
};
inline thread_local std::vector<Seen> t_seen;

inline LRESULT CALLBACK RecordingProc(HWND h, UINT m, WPARAM wp, LPARAM lp) {
    t_seen.push_back({h, m, wp, lp});
    return DefWindowProcA(h, m, wp, lp);
}

// Registers a class of RecordingProc (unregistered again by the guard).
struct ScopedClass {
    explicit ScopedClass(const char* name, WNDPROC proc = RecordingProc, int wndExtra = 0) : name_(name) {
        WNDCLASSEXA wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = proc;
        wc.cbWndExtra = wndExtra;
        wc.lpszClassName = name;
        atom = RegisterClassExA(&wc);
    }
    ~ScopedClass() {
        if (atom) UnregisterClassA(name_.c_str(), nullptr);
    }
    ATOM atom = 0;
    std::string name_;
};

inline HWND MakeWindow(const char* cls, HWND parent = nullptr, DWORD style = 0, LPVOID param = nullptr) {
    return CreateWindowExA(0, cls, "title", style, CW_USEDEFAULT, CW_USEDEFAULT, 200, 200, parent, nullptr, nullptr,
                           param);
}

// Takes messages of the calling thread until one with number msg comes (it is returned in
// out) or the time is up; others are dispatched when dispatch is set, else dropped.
inline bool WaitFor(UINT msg, MSG& out, DWORD timeoutMs = kLong, bool dispatch = true) {
    ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        while (PeekMessageA(&out, nullptr, 0, 0, PM_REMOVE)) {
            if (out.message == msg) return true;
            if (dispatch) DispatchMessageA(&out);
        }
        ULONGLONG now = GetTickCount64();
        if (now >= end) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
    }
}

// Every message that arrives within ms, in order (for counting what did or did not come).
inline std::vector<MSG> Collect(DWORD ms) {
    std::vector<MSG> out;
    ULONGLONG end = GetTickCount64() + ms;
    for (;;) {
        MSG m;
        while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) out.push_back(m);
        ULONGLONG now = GetTickCount64();
        if (now >= end) return out;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
    }
}

}  // namespace wtest
