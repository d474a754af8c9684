// Window classes and windows (see window.h).
//
// One process-wide table maps handles to windows and names to classes, under one lock
// that is never held while a window procedure runs: a procedure may create, destroy or
// post to windows. Windows are shared_ptr-held, so a window destroyed during its own
// dispatch stays valid memory until the dispatch returns; its handle fails from then on.
//
// Handles: process id << 32 | serial << 2. The serial only grows, so a stale handle never
// names a newer window, and the process id lets a later cross-process post find the
// window's process from the handle alone.
#include "pal/window/window.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "pal/error/error.h"
#include "pal/thread/message_queue.h"
#include "pal/thread/thread.h"
#include "pal/window/remote.h"
#include "pal/window/window_internal.h"

namespace pal::window {

namespace {

struct WindowClass {
    std::string name;
    ATOM atom = 0;
    UINT style = 0;
    WNDPROC proc = nullptr;
    int clsExtra = 0;
    int wndExtra = 0;
    HINSTANCE instance = nullptr;
    HICON icon = nullptr;
    HCURSOR cursor = nullptr;
    HBRUSH background = nullptr;
    int windows = 0;  // live windows of the class
};

struct Window {
    HWND hwnd = nullptr;
    std::shared_ptr<WindowClass> cls;
    DWORD thread = 0;
    HWND parent = nullptr;  // null: top level
    bool messageOnly = false;
    WNDPROC proc = nullptr;
    LONG_PTR userData = 0;
    LONG_PTR id = 0;
    DWORD style = 0;
    DWORD exStyle = 0;
    HINSTANCE instance = nullptr;
    std::string title;
    std::vector<unsigned char> extra;
    bool visible = false;
    bool destroying = false;  // WM_DESTROY sent; a second DestroyWindow does nothing
    uint64_t serial = 0;      // creation order
};

std::string Lower(const char* s) {
    std::string out = s ? s : "";
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

struct Table {
    std::mutex mutex;
    std::unordered_map<uintptr_t, std::shared_ptr<Window>> windows;
    std::unordered_map<std::string, std::shared_ptr<WindowClass>> classes;  // by lower-cased name
    uint64_t nextSerial = 1;
    ATOM nextAtom = 0xC000;
};

Table& T() {
    static Table* table = new Table();  // used by thread-exit hooks during static destruction
    return *table;
}

constexpr uint64_t kSerialMask = (uint64_t{1} << 30) - 1;

HWND MakeHandle(uint64_t serial) {
    uint64_t pid = static_cast<uint32_t>(getpid());
    return reinterpret_cast<HWND>(static_cast<uintptr_t>((pid << 32) | ((serial & kSerialMask) << 2)));
}

bool IsSpecial(HWND h) { return h == nullptr || h == HWND_BROADCAST || h == HWND_MESSAGE; }

std::shared_ptr<Window> Find(HWND hwnd) {
    Table& t = T();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.windows.find(reinterpret_cast<uintptr_t>(hwnd));
    if (it == t.windows.end()) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    return it->second;
}

// The class for a name or MAKEINTATOM; lock held.
std::shared_ptr<WindowClass> FindClassLocked(Table& t, LPCSTR name) {
    if (name == nullptr) return nullptr;
    if (IS_INTRESOURCE(name)) {
        ATOM atom = static_cast<ATOM>(reinterpret_cast<ULONG_PTR>(name));
        for (auto& [k, c] : t.classes)
            if (c->atom == atom) return c;
        return nullptr;
    }
    auto it = t.classes.find(Lower(name));
    return it == t.classes.end() ? nullptr : it->second;
}

LRESULT CallProc(const std::shared_ptr<Window>& w, UINT msg, WPARAM wp, LPARAM lp) {
    WNDPROC proc;
    {
        std::lock_guard<std::mutex> lock(T().mutex);
        proc = w->proc;
    }
    return proc ? proc(w->hwnd, msg, wp, lp) : DefWindowProcA(w->hwnd, msg, wp, lp);
}

std::vector<std::shared_ptr<Window>> ChildrenOf(HWND parent) {
    Table& t = T();
    std::vector<std::shared_ptr<Window>> out;
    std::lock_guard<std::mutex> lock(t.mutex);
    for (auto& [h, w] : t.windows)
        if (w->parent == parent) out.push_back(w);
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a->serial < b->serial; });
    return out;
}

// Takes the window and its children out of the table; true for each top-level window
// removed (the caller releases the listener for it).
int Unlink(const std::shared_ptr<Window>& w) {
    int topLevel = 0;
    for (auto& child : ChildrenOf(w->hwnd)) topLevel += Unlink(child);
    Table& t = T();
    std::lock_guard<std::mutex> lock(t.mutex);
    if (t.windows.erase(reinterpret_cast<uintptr_t>(w->hwnd)) == 0) return topLevel;
    if (w->cls) --w->cls->windows;
    if (w->parent == nullptr && !w->messageOnly) ++topLevel;
    return topLevel;
}

void SendDestroy(const std::shared_ptr<Window>& w) {
    CallProc(w, WM_DESTROY, 0, 0);
    for (auto& child : ChildrenOf(w->hwnd)) {
        child->destroying = true;
        SendDestroy(child);
    }
}

void SendNcDestroy(const std::shared_ptr<Window>& w) {
    for (auto& child : ChildrenOf(w->hwnd)) SendNcDestroy(child);
    KillWindowTimers(w->hwnd);
    CallProc(w, WM_NCDESTROY, 0, 0);
}

void ReleaseTopLevel(int count) {
    for (int i = 0; i < count; ++i) ReleaseDeviceListener();
}

// Destroys a thread's remaining windows when it ends; their procedures are not called,
// since the thread's other per-thread state (its queue) may already be gone.
struct ThreadWindows {
    bool armed = false;
    ~ThreadWindows() {
        if (!armed) return;
        DWORD self = GetCurrentThreadId();
        std::vector<std::shared_ptr<Window>> mine;
        {
            Table& t = T();
            std::lock_guard<std::mutex> lock(t.mutex);
            for (auto& [h, w] : t.windows)
                if (w->thread == self) mine.push_back(w);
        }
        int topLevel = 0;
        for (auto& w : mine) {
            KillWindowTimers(w->hwnd);
            topLevel += Unlink(w);
        }
        ReleaseTopLevel(topLevel);
    }
};
thread_local ThreadWindows t_windows;

HGDIOBJ Placeholder(int kind, int index) {
    // Distinct, stable, never-dereferenced addresses.
    static char objects[3][64];
    return &objects[kind][index];
}

}  // namespace

std::vector<WindowTarget> TopLevelWindows() {
    Table& t = T();
    std::vector<std::pair<uint64_t, WindowTarget>> found;
    {
        std::lock_guard<std::mutex> lock(t.mutex);
        for (auto& [h, w] : t.windows)
            if (w->parent == nullptr && !w->messageOnly) found.push_back({w->serial, WindowTarget{w->hwnd, w->thread}});
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<WindowTarget> out;
    for (auto& f : found) out.push_back(f.second);
    return out;
}

bool WindowOwner(HWND hwnd, DWORD& thread) {
    auto w = Find(hwnd);
    if (!w) return false;
    thread = w->thread;
    return true;
}

}  // namespace pal::window

using namespace pal::window;

ATOM RegisterClassExA(const WNDCLASSEXA* wc) {
    if (wc == nullptr || wc->cbSize != sizeof(WNDCLASSEXA) || wc->lpszClassName == nullptr ||
        IS_INTRESOURCE(wc->lpszClassName) || wc->lpszClassName[0] == '\0' || wc->cbClsExtra < 0 ||
        wc->cbWndExtra < 0 || wc->cbWndExtra > 40000) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    Table& t = T();
    std::lock_guard<std::mutex> lock(t.mutex);
    std::string key = Lower(wc->lpszClassName);
    if (t.classes.count(key)) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    // Atoms of unregistered classes are not handed out again.
    if (t.nextAtom == 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    auto c = std::make_shared<WindowClass>();
    c->name = wc->lpszClassName;
    c->atom = t.nextAtom;
    t.nextAtom = static_cast<ATOM>(t.nextAtom == 0xFFFF ? 0 : t.nextAtom + 1);
    c->style = wc->style;
    c->proc = wc->lpfnWndProc;
    c->clsExtra = wc->cbClsExtra;
    c->wndExtra = wc->cbWndExtra;
    c->instance = wc->hInstance;
    c->icon = wc->hIcon;
    c->cursor = wc->hCursor;
    c->background = wc->hbrBackground;
    t.classes[key] = c;
    return c->atom;
}

ATOM RegisterClassA(const WNDCLASSA* wc) {
    if (wc == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    WNDCLASSEXA ex{sizeof(WNDCLASSEXA), wc->style, wc->lpfnWndProc, wc->cbClsExtra, wc->cbWndExtra, wc->hInstance,
                   wc->hIcon, wc->hCursor, wc->hbrBackground, wc->lpszMenuName, wc->lpszClassName, nullptr};
    return RegisterClassExA(&ex);
}

BOOL UnregisterClassA(LPCSTR name, HINSTANCE) {
    Table& t = T();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto c = FindClassLocked(t, name);
    if (!c) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    if (c->windows > 0) {
        SetLastError(ERROR_CLASS_HAS_WINDOWS);
        return FALSE;
    }
    t.classes.erase(Lower(c->name.c_str()));
    return TRUE;
}

HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y, int width,
                     int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param) {
    const DWORD self = GetCurrentThreadId();
    const bool messageOnly = parent == HWND_MESSAGE;
    if (messageOnly) parent = nullptr;
    if (parent == nullptr && (style & WS_CHILD) && !messageOnly) {
        SetLastError(ERROR_TLW_WITH_WSCHILD);
        return nullptr;
    }
    auto w = std::make_shared<Window>();
    {
        Table& t = T();
        std::lock_guard<std::mutex> lock(t.mutex);
        w->cls = FindClassLocked(t, className);
        if (!w->cls) {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        if (parent != nullptr) {
            auto it = t.windows.find(reinterpret_cast<uintptr_t>(parent));
            if (it == t.windows.end() || IsSpecial(parent)) {
                SetLastError(ERROR_INVALID_WINDOW_HANDLE);
                return nullptr;
            }
            if (it->second->thread != self) {
                SetLastError(ERROR_WINDOW_OF_OTHER_THREAD);
                return nullptr;
            }
        }
    }
    const bool topLevel = parent == nullptr && !messageOnly;
    // The listener has its starting state before anyone can find the window.
    if (topLevel) AcquireDeviceListener();
    {
        Table& t = T();
        std::lock_guard<std::mutex> lock(t.mutex);
        w->serial = t.nextSerial++;
        w->hwnd = MakeHandle(w->serial);
        w->thread = self;
        w->parent = parent;
        w->messageOnly = messageOnly;
        w->proc = w->cls->proc;
        w->style = style;
        w->exStyle = exStyle;
        w->instance = instance;
        w->title = windowName ? windowName : "";
        w->extra.assign(static_cast<size_t>(w->cls->wndExtra), 0);
        w->visible = (style & WS_VISIBLE) != 0;
        w->id = (style & WS_CHILD) ? reinterpret_cast<LONG_PTR>(menu) : 0;
        ++w->cls->windows;
        t.windows[reinterpret_cast<uintptr_t>(w->hwnd)] = w;
    }
    t_windows.armed = true;
    pal::EnsureThreadQueue();

    CREATESTRUCTA cs{param,
                     instance,
                     menu,
                     parent,
                     height == CW_USEDEFAULT ? 0 : height,
                     width == CW_USEDEFAULT ? 0 : width,
                     y == CW_USEDEFAULT ? 0 : y,
                     x == CW_USEDEFAULT ? 0 : x,
                     static_cast<LONG>(style),
                     windowName,
                     className,
                     exStyle};
    LPARAM lp = reinterpret_cast<LPARAM>(&cs);
    bool refused = false;
    if (!CallProc(w, WM_NCCREATE, 0, lp)) {
        refused = true;
        CallProc(w, WM_NCDESTROY, 0, 0);
    } else if (CallProc(w, WM_CREATE, 0, lp) == -1) {
        refused = true;
        w->destroying = true;
        SendDestroy(w);
        SendNcDestroy(w);
    }
    if (refused) {
        KillWindowTimers(w->hwnd);
        ReleaseTopLevel(Unlink(w));
        SetLastError(ERROR_CANCELLED);
        return nullptr;
    }
    return w->hwnd;
}

BOOL DestroyWindow(HWND hwnd) {
    auto w = IsSpecial(hwnd) ? nullptr : Find(hwnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (w->thread != GetCurrentThreadId()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> lock(T().mutex);
        if (w->destroying) return TRUE;  // called again from its own WM_DESTROY
        w->destroying = true;
        w->visible = false;
    }
    SendDestroy(w);
    SendNcDestroy(w);
    ReleaseTopLevel(Unlink(w));
    return TRUE;
}

BOOL IsWindow(HWND hwnd) { return !IsSpecial(hwnd) && Find(hwnd) != nullptr; }

LRESULT DefWindowProcA(HWND hwnd, UINT msg, WPARAM, LPARAM) {
    switch (msg) {
        case WM_CLOSE:
            DestroyWindow(hwnd);
            return 0;
        case WM_NCCREATE:
        case WM_DEVICECHANGE:
            return TRUE;
        default:
            return 0;
    }
}

LRESULT DispatchMessageA(const MSG* msg) {
    if (msg == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (msg->message == WM_TIMER && msg->lParam != 0) {
        // Only a function this thread set for a live timer is ever called: a posted
        // WM_TIMER with any other lParam must not become a jump to that address.
        TIMERPROC proc = reinterpret_cast<TIMERPROC>(msg->lParam);
        if (IsTimerProc(msg->hwnd, msg->wParam, proc)) {
            proc(msg->hwnd, WM_TIMER, msg->wParam, GetTickCount());
            return 0;
        }
        if (msg->hwnd == nullptr) return 0;
    }
    if (msg->hwnd == nullptr) return 0;
    auto w = Find(msg->hwnd);
    if (!w) return 0;
    if (w->thread != GetCurrentThreadId()) {
        SetLastError(ERROR_WINDOW_OF_OTHER_THREAD);
        return 0;
    }
    return CallProc(w, msg->message, msg->wParam, msg->lParam);
}

BOOL TranslateMessage(const MSG*) { return TRUE; }

LRESULT SendMessageA(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (hwnd == HWND_BROADCAST) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return 0;
    }
    auto w = IsSpecial(hwnd) ? nullptr : Find(hwnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (w->thread != GetCurrentThreadId()) {
        SetLastError(ERROR_WINDOW_OF_OTHER_THREAD);
        return 0;
    }
    return CallProc(w, msg, wp, lp);
}

BOOL PostMessageA(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (hwnd == nullptr) return PostThreadMessageA(GetCurrentThreadId(), msg, wp, lp);
    if (hwnd == HWND_BROADCAST) {
        for (const WindowTarget& target : TopLevelWindows()) pal::PostQueueMessage(target.thread, target.hwnd, msg, wp, lp);
        BroadcastToOtherProcesses(msg, wp, lp);
        return TRUE;
    }
    const pid_t owner = static_cast<pid_t>(reinterpret_cast<uintptr_t>(hwnd) >> 32);
    if (hwnd != HWND_MESSAGE && owner != 0 && owner != getpid()) return PostToProcess(owner, hwnd, msg, wp, lp);
    DWORD thread = 0;
    if (hwnd == HWND_MESSAGE || !WindowOwner(hwnd, thread)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return pal::PostQueueMessage(thread, hwnd, msg, wp, lp);
}

BOOL ShowWindow(HWND hwnd, int cmd) {
    auto w = IsSpecial(hwnd) ? nullptr : Find(hwnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(T().mutex);
    bool was = w->visible;
    w->visible = cmd != SW_HIDE;
    if (w->visible)
        w->style |= WS_VISIBLE;
    else
        w->style &= ~WS_VISIBLE;
    return was ? TRUE : FALSE;
}

BOOL UpdateWindow(HWND hwnd) {
    if (!IsWindow(hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL IsWindowVisible(HWND hwnd) {
    auto w = IsSpecial(hwnd) ? nullptr : Find(hwnd);
    if (!w) return FALSE;
    std::lock_guard<std::mutex> lock(T().mutex);
    return w->visible ? TRUE : FALSE;
}

namespace {

// Reads (set == false) or replaces a window value; lock taken inside.
bool WindowValue(HWND hwnd, int index, bool set, LONG_PTR in, LONG_PTR& old) {
    auto w = IsSpecial(hwnd) ? nullptr : Find(hwnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    std::lock_guard<std::mutex> lock(T().mutex);
    auto swap = [&](auto& field) {
        using F = std::remove_reference_t<decltype(field)>;
        old = (LONG_PTR)(field);
        if (set) field = (F)(in);
    };
    switch (index) {
        case GWLP_WNDPROC: swap(w->proc); return true;
        case GWLP_USERDATA: swap(w->userData); return true;
        case GWLP_ID: swap(w->id); return true;
        case GWL_STYLE:
            old = static_cast<LONG_PTR>(static_cast<LONG>(w->style));
            if (set) w->style = static_cast<DWORD>(in);
            return true;
        case GWL_EXSTYLE:
            old = static_cast<LONG_PTR>(static_cast<LONG>(w->exStyle));
            if (set) w->exStyle = static_cast<DWORD>(in);
            return true;
        case GWLP_HINSTANCE: swap(w->instance); return true;
        case GWLP_HWNDPARENT:
            old = reinterpret_cast<LONG_PTR>(w->parent);
            if (set) {
                SetLastError(ERROR_NOT_SUPPORTED);  // re-parenting would change broadcast membership
                return false;
            }
            return true;
        default: break;
    }
    if (index < 0 || static_cast<size_t>(index) + sizeof(LONG_PTR) > w->extra.size()) {
        SetLastError(ERROR_INVALID_INDEX);
        return false;
    }
    std::memcpy(&old, w->extra.data() + index, sizeof old);
    if (set) std::memcpy(w->extra.data() + index, &in, sizeof in);
    return true;
}

}  // namespace

LONG_PTR GetWindowLongPtrA(HWND hwnd, int index) {
    LONG_PTR value = 0;
    return WindowValue(hwnd, index, false, 0, value) ? value : 0;
}

LONG_PTR SetWindowLongPtrA(HWND hwnd, int index, LONG_PTR newValue) {
    LONG_PTR old = 0;
    SetLastError(ERROR_SUCCESS);  // so that an old value of 0 can be told from a failure
    return WindowValue(hwnd, index, true, newValue, old) ? old : 0;
}

DWORD GetWindowThreadProcessId(HWND hwnd, LPDWORD pid) {
    DWORD thread = 0;
    if (IsSpecial(hwnd) || !WindowOwner(hwnd, thread)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (pid) *pid = static_cast<DWORD>(getpid());
    return thread;
}

HWND FindWindowA(LPCSTR className, LPCSTR windowName) {
    Table& t = T();
    std::lock_guard<std::mutex> lock(t.mutex);
    std::shared_ptr<WindowClass> cls;
    if (className != nullptr) {
        cls = FindClassLocked(t, className);
        if (!cls) return nullptr;
    }
    std::string title = windowName ? Lower(windowName) : "";
    HWND best = nullptr;
    uint64_t bestSerial = 0;
    for (auto& [h, w] : t.windows) {
        if (w->parent != nullptr || w->messageOnly) continue;
        if (cls && w->cls != cls) continue;
        if (windowName != nullptr && Lower(w->title.c_str()) != title) continue;
        if (best == nullptr || w->serial < bestSerial) {
            best = w->hwnd;
            bestSerial = w->serial;
        }
    }
    return best;
}

HGDIOBJ GetStockObject(int i) {
    if (i < WHITE_BRUSH || i > DC_PEN || i == 9) return nullptr;
    return Placeholder(0, i);
}

namespace {
HANDLE SystemResource(HINSTANCE instance, LPCSTR name, int kind) {
    if (instance == nullptr && name != nullptr && IS_INTRESOURCE(name)) {
        WORD id = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(name));
        if (id >= 32512 && id <= 32512 + 63) return Placeholder(kind, id - 32512);
        if (id >= 32640 && id <= 32640 + 15) return Placeholder(kind, 48 + id - 32640);
    }
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
}
}  // namespace

HICON LoadIconA(HINSTANCE instance, LPCSTR name) { return static_cast<HICON>(SystemResource(instance, name, 1)); }

HCURSOR LoadCursorA(HINSTANCE instance, LPCSTR name) { return static_cast<HCURSOR>(SystemResource(instance, name, 2)); }

int MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT type) {
    std::fprintf(stderr, "MessageBox [%s] %s\n", caption ? caption : "Error", text ? text : "");
    std::fflush(stderr);
    switch (type & MB_TYPEMASK) {
        case MB_ABORTRETRYIGNORE: return IDABORT;
        case MB_YESNOCANCEL:
        case MB_YESNO: return IDYES;
        case MB_RETRYCANCEL: return IDRETRY;
        case MB_CANCELTRYCONTINUE: return IDCANCEL;
        default: return IDOK;
    }
}
