// quillon: the tray event monitor. The application object builds the hidden main frame
// and runs its message loop; SIGTERM asks the frame to end through the same command as
// the popup menu's item, so both paths remove the icon and close the trace alike.
#include <pthread.h>
#include <signal.h>

#include <cstdio>

#include "eventmon/mainframe.h"

namespace {

HWND g_hFrame = nullptr;

// SIGTERM is blocked in every thread and taken here, where posting is safe.
void* SignalThread(void* arg) {
    auto* set = static_cast<sigset_t*>(arg);
    for (;;) {
        int sig = 0;
        if (sigwait(set, &sig) == 0 && (sig == SIGTERM || sig == SIGINT))
            PostMessageA(g_hFrame, WM_COMMAND, ID_APP_EXIT, 0);
    }
    return nullptr;
}

class CQuillonApp {
public:
    BOOL InitInstance() {
        m_pFrame = new CMainFrame();
        g_hFrame = m_pFrame->Create(nullptr);
        return g_hFrame != nullptr;
    }
    int Run() {
        MSG msg;
        while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        return static_cast<int>(msg.wParam);
    }
    int ExitInstance() {
        delete m_pFrame;
        m_pFrame = nullptr;
        return 0;
    }

private:
    CMainFrame* m_pFrame = nullptr;
};

}  // namespace

int main() {
    static sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    CQuillonApp app;
    if (!app.InitInstance()) {
        std::fprintf(stderr, "quillon: cannot create the main window (error %lu)\n",
                     static_cast<unsigned long>(GetLastError()));
        app.ExitInstance();
        return 1;
    }
    pthread_t thread;
    if (pthread_create(&thread, nullptr, SignalThread, &set) == 0) pthread_detach(thread);
    int code = app.Run();
    app.ExitInstance();
    return code;
}
