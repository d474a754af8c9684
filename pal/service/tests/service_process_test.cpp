// Services in real child processes: the dispatcher, the control socket, stop signals,
// single instances, the service-manager notifications and the System-log state records.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <poll.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pal/core/root.h"
#include "pal/eventlog/eventlog.h"
#include "pal/eventlog/message.h"
#include "pal/eventlog/record.h"
#include "pal/file/path.h"
#include "pal/service/service.h"
#include "pal/thread/thread.h"
#include "tests/support/child_process.h"

namespace {

// ---- the child service ----------------------------------------------------------------
// Args: NAME [gate-start] [gate-exit] [plain] [accept=N]
//   gate-start  stays start-pending until the file $VQ_ROOT/NAME.start exists
//   gate-exit   after reporting stopped, waits for $VQ_ROOT/NAME.exit before returning
//   plain       registers with RegisterServiceCtrlHandlerA instead of the Ex form
//   accept=N    controls accepted while running (default stop | pause-continue)

struct Child {
    std::string name;
    bool gateStart = false, gateExit = false, plain = false;
    DWORD accept = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE;
    SERVICE_STATUS_HANDLE handle = nullptr;
    std::mutex mu;
    std::condition_variable cv;
    bool stop = false;
} g_child;

std::string GatePath(const std::string& name, const char* what) {
    return pal::core::RootDir() + "/" + name + "." + what;
}

void WaitGate(const char* what) {
    struct stat st;
    for (int i = 0; i < 3000 && stat(GatePath(g_child.name, what).c_str(), &st) != 0; ++i) Sleep(10);
}

void Report(DWORD state, DWORD accepted, DWORD checkPoint = 0, DWORD waitHint = 0) {
    SERVICE_STATUS s{SERVICE_WIN32_OWN_PROCESS, state, accepted, NO_ERROR, 0, checkPoint, waitHint};
    if (!SetServiceStatus(g_child.handle, &s)) vqtest::Tell("report failed " + std::to_string(GetLastError()));
}

DWORD WINAPI HandlerEx(DWORD control, DWORD, LPVOID, LPVOID context) {
    bool onMain = syscall(SYS_gettid) == getpid();
    vqtest::Tell("handler " + std::to_string(control) + (onMain ? " main" : " other") +
                 (context == &g_child ? "" : " bad-context"));
    switch (control) {
    case SERVICE_CONTROL_STOP: {
        Report(SERVICE_STOP_PENDING, 0, 1, 5000);
        std::lock_guard lock(g_child.mu);
        g_child.stop = true;
        g_child.cv.notify_all();
        break;
    }
    case SERVICE_CONTROL_PAUSE: Report(SERVICE_PAUSED, g_child.accept); break;
    case SERVICE_CONTROL_CONTINUE: Report(SERVICE_RUNNING, g_child.accept); break;
    default: break;
    }
    return NO_ERROR;
}

void WINAPI Handler(DWORD control) { HandlerEx(control, 0, nullptr, &g_child); }

void WINAPI ServiceMain(DWORD argc, LPSTR* argv) {
    vqtest::Tell("main " + std::to_string(argc) + " " + argv[0]);
    // Names are case-insensitive; one not in the table is refused.
    std::string upper = argv[0];
    for (auto& c : upper) c = static_cast<char>(toupper(c));
    g_child.handle = g_child.plain ? RegisterServiceCtrlHandlerA(upper.c_str(), Handler)
                                   : RegisterServiceCtrlHandlerExA(upper.c_str(), HandlerEx, &g_child);
    if (!g_child.handle) vqtest::Tell("register failed " + std::to_string(GetLastError()));
    SetLastError(0);
    if (RegisterServiceCtrlHandlerA("NotInTheTable", Handler) == nullptr)
        vqtest::Tell("other name " + std::to_string(GetLastError()));
    SERVICE_STATUS bad{SERVICE_WIN32_OWN_PROCESS, 0, 0, 0, 0, 0, 0};
    BOOL r0 = SetServiceStatus(g_child.handle, &bad);
    DWORD e0 = GetLastError();
    bad.dwCurrentState = 8;
    BOOL r8 = SetServiceStatus(g_child.handle, &bad);
    vqtest::Tell("bad state " + std::to_string(r0) + " " + std::to_string(e0) + " " + std::to_string(r8) + " " +
                 std::to_string(GetLastError()));

    Report(SERVICE_START_PENDING, 0, 1, 3000);
    vqtest::Tell("start pending");
    if (g_child.gateStart) WaitGate("start");
    Report(SERVICE_RUNNING, g_child.accept);
    vqtest::Tell("running");
    {
        std::unique_lock lock(g_child.mu);
        g_child.cv.wait(lock, [] { return g_child.stop; });
    }
    Report(SERVICE_STOPPED, 0);
    vqtest::Tell("stopped reported");
    if (g_child.gateExit) WaitGate("exit");
    vqtest::Tell("main returning");
}

VQ_CHILD(service) {
    g_child.name = args.at(0);
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "gate-start") g_child.gateStart = true;
        if (args[i] == "gate-exit") g_child.gateExit = true;
        if (args[i] == "plain") g_child.plain = true;
        if (args[i].rfind("accept=", 0) == 0) g_child.accept = static_cast<DWORD>(std::stoul(args[i].substr(7)));
    }
    SERVICE_TABLE_ENTRYA table[] = {{g_child.name.data(), ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcher(table)) {
        vqtest::Tell("dispatcher failed " + std::to_string(GetLastError()));
        return 3;
    }
    vqtest::Tell("dispatcher returned");
    return 0;
}

// ---- helpers ----------------------------------------------------------------------------

std::string Unique(const char* base) {
    static int n = 0;
    return std::string(base) + std::to_string(getpid()) + "_" + std::to_string(++n);
}

void OpenGate(const std::string& name, const char* what) { std::ofstream(GatePath(name, what)) << "go"; }

struct Sent {
    bool ok;
    DWORD error;
    SERVICE_STATUS status;
    pid_t pid;
};

Sent Send(const std::string& name, DWORD control) {
    Sent s{};
    s.ok = pal::service::SendControl(name, control, s.status, s.error, &s.pid);
    return s;
}

// ---- tests ----------------------------------------------------------------------------

TEST(ServiceProcess, ControlsThroughTheSocketRunOnTheDispatcherThread) {
    std::string name = Unique("Svc");
    vqtest::ChildProcess child("service", {name});
    ASSERT_TRUE(child.Expect("main 1 " + name));
    ASSERT_TRUE(child.Expect("running"));

    Sent q = Send(name, pal::service::kQuery);
    ASSERT_TRUE(q.ok) << q.error;
    EXPECT_EQ(q.pid, child.pid());
    EXPECT_EQ(q.status.dwServiceType, SERVICE_WIN32_OWN_PROCESS);
    EXPECT_EQ(q.status.dwCurrentState, SERVICE_RUNNING);
    EXPECT_EQ(q.status.dwControlsAccepted, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE);

    // The answer carries the status the handler reported.
    Sent p = Send(name, SERVICE_CONTROL_PAUSE);
    EXPECT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.status.dwCurrentState, SERVICE_PAUSED);
    EXPECT_TRUE(child.Expect("handler 2 main"));
    Sent c = Send(name, SERVICE_CONTROL_CONTINUE);
    EXPECT_TRUE(c.ok) << c.error;
    EXPECT_EQ(c.status.dwCurrentState, SERVICE_RUNNING);
    EXPECT_TRUE(child.Expect("handler 3 main"));
    Sent i = Send(name, SERVICE_CONTROL_INTERROGATE);
    EXPECT_TRUE(i.ok) << i.error;
    EXPECT_TRUE(child.Expect("handler 4 main"));

    Sent s = Send(name, SERVICE_CONTROL_STOP);
    EXPECT_TRUE(s.ok) << s.error;
    // The status after the handler: its stop-pending report, unless the main was quicker.
    if (s.status.dwCurrentState == SERVICE_STOP_PENDING)
        EXPECT_EQ(s.status.dwWaitHint, 5000u);
    else
        EXPECT_EQ(s.status.dwCurrentState, SERVICE_STOPPED);
    EXPECT_TRUE(child.Expect("handler 1 main"));
    EXPECT_TRUE(child.Expect("dispatcher returned"));
    EXPECT_EQ(child.Wait(), 0);

    Sent gone = Send(name, pal::service::kQuery);
    EXPECT_FALSE(gone.ok);
    EXPECT_EQ(gone.error, static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
}

TEST(ServiceProcess, HandlerAndStatusArgumentsAreChecked) {
    std::string name = Unique("Chk");
    vqtest::ChildProcess child("service", {name});
    EXPECT_TRUE(child.Expect("other name 1060"));
    EXPECT_TRUE(child.Expect("bad state 0 13 0 13"));
    ASSERT_TRUE(child.Expect("running"));
    child.Kill(SIGTERM);
    EXPECT_TRUE(child.Expect("dispatcher returned"));
    EXPECT_EQ(child.Wait(), 0);
}

TEST(ServiceProcess, RefusedControlsLeaveTheServiceAlone) {
    std::string name = Unique("Ref");
    vqtest::ChildProcess child("service", {name, "accept=1"});
    ASSERT_TRUE(child.Expect("running"));
    Sent p = Send(name, SERVICE_CONTROL_PAUSE);
    EXPECT_FALSE(p.ok);
    EXPECT_EQ(p.error, static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
    EXPECT_EQ(p.status.dwCurrentState, SERVICE_RUNNING);
    // Interrogate needs no acceptance flag.
    EXPECT_TRUE(Send(name, SERVICE_CONTROL_INTERROGATE).ok);
    EXPECT_TRUE(child.Expect("handler 4 main"));
    EXPECT_TRUE(Send(name, SERVICE_CONTROL_STOP).ok);
    EXPECT_TRUE(child.Expect("handler 1 main"));
    EXPECT_EQ(child.Wait(), 0);
}

TEST(ServiceProcess, SigtermStopsAndTheProcessOutlivesTheStoppedReport) {
    std::string name = Unique("Term");
    vqtest::ChildProcess child("service", {name, "gate-exit", "plain"});
    ASSERT_TRUE(child.Expect("running"));
    child.Kill(SIGTERM);
    ASSERT_TRUE(child.Expect("handler 1 main"));
    ASSERT_TRUE(child.Expect("stopped reported"));

    // Stopped but its main still runs: the process serves queries and refuses controls.
    child.Kill(SIGTERM);
    child.Kill(SIGINT);
    Sent q = Send(name, pal::service::kQuery);
    EXPECT_TRUE(q.ok) << q.error;
    EXPECT_EQ(q.status.dwCurrentState, SERVICE_STOPPED);
    Sent s = Send(name, SERVICE_CONTROL_STOP);
    EXPECT_FALSE(s.ok);
    EXPECT_EQ(s.error, static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));

    OpenGate(name, "exit");
    EXPECT_TRUE(child.Expect("main returning"));
    EXPECT_TRUE(child.Expect("dispatcher returned"));
    EXPECT_EQ(child.Wait(), 0);
}

TEST(ServiceProcess, StopSignalDuringStartPendingWaitsUntilStopIsAccepted) {
    std::string name = Unique("Early");
    vqtest::ChildProcess child("service", {name, "gate-start"});
    ASSERT_TRUE(child.Expect("start pending"));
    Sent q = Send(name, pal::service::kQuery);
    EXPECT_TRUE(q.ok) << q.error;
    EXPECT_EQ(q.status.dwCurrentState, SERVICE_START_PENDING);
    EXPECT_EQ(q.status.dwCheckPoint, 1u);
    EXPECT_EQ(q.status.dwWaitHint, 3000u);
    Sent s = Send(name, SERVICE_CONTROL_STOP);
    EXPECT_EQ(s.error, static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));

    child.Kill(SIGTERM);
    // Let the signal reach the dispatcher before the service accepts stop (if it is late,
    // the stop is delivered the ordinary way and the test proves less, but still passes).
    Sleep(200);
    OpenGate(name, "start");
    // (The handler may tell before the main tells "running".)
    EXPECT_TRUE(child.Expect("handler 1 main"));
    EXPECT_TRUE(child.Expect("dispatcher returned"));
    EXPECT_EQ(child.Wait(), 0);
}

TEST(ServiceProcess, OneInstancePerNameUntilTheHolderDies) {
    std::string name = Unique("Solo");
    vqtest::ChildProcess first("service", {name});
    ASSERT_TRUE(first.Expect("running"));
    std::string other = name;
    for (auto& c : other) c = static_cast<char>(tolower(c));
    vqtest::ChildProcess second("service", {other});
    EXPECT_TRUE(second.Expect("dispatcher failed 1056"));
    EXPECT_EQ(second.Wait(), 3);
    EXPECT_TRUE(Send(name, pal::service::kQuery).ok);  // the first one's socket survived

    first.Kill(SIGKILL);
    first.Wait();
    Sent stale = Send(name, pal::service::kQuery);
    EXPECT_FALSE(stale.ok);
    EXPECT_EQ(stale.error, static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));

    vqtest::ChildProcess third("service", {name});
    ASSERT_TRUE(third.Expect("running"));
    Sent q = Send(name, pal::service::kQuery);
    EXPECT_TRUE(q.ok) << q.error;
    EXPECT_EQ(q.pid, third.pid());
    third.Kill(SIGTERM);
    EXPECT_EQ(third.Wait(), 0);
}

// Receives notification datagrams on a socket the test names in NOTIFY_SOCKET.
class NotifyReceiver {
public:
    explicit NotifyReceiver(bool abstract) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::string path = abstract ? "@vqtest.notify." + std::to_string(getpid())
                                    : pal::core::RootDir() + "/notify.sock";
        std::memcpy(addr.sun_path, path.data(), path.size());
        if (abstract) addr.sun_path[0] = '\0';
        socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + !abstract);
        bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) == 0;
        setenv("NOTIFY_SOCKET", path.c_str(), 1);
    }
    ~NotifyReceiver() {
        unsetenv("NOTIFY_SOCKET");
        close(fd_);
    }
    bool bound() const { return bound_; }
    // The next datagram holding want, skipping others; "" after the time-out.
    std::string Next(const std::string& want) {
        for (;;) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 10000) <= 0) return "";
            char buf[1024];
            ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) return "";
            std::string m(buf, static_cast<size_t>(n));
            if (m.find(want) != std::string::npos) return m;
        }
    }

private:
    int fd_ = -1;
    bool bound_ = false;
};

void CheckNotifications(bool abstract) {
    NotifyReceiver rx(abstract);
    ASSERT_TRUE(rx.bound());
    std::string name = Unique("Note");
    vqtest::ChildProcess child("service", {name});
    unsetenv("NOTIFY_SOCKET");
    std::string starting = rx.Next("start pending");
    EXPECT_NE(starting.find("STATUS=" + name + ": start pending"), std::string::npos) << starting;
    EXPECT_NE(starting.find("EXTEND_TIMEOUT_USEC=3000000\n"), std::string::npos) << starting;
    EXPECT_EQ(starting.find("READY=1"), std::string::npos) << starting;
    std::string running = rx.Next("running");
    EXPECT_NE(running.find("READY=1\n"), std::string::npos) << running;
    ASSERT_TRUE(child.Expect("running"));
    child.Kill(SIGTERM);
    std::string stopping = rx.Next("stop pending");
    EXPECT_NE(stopping.find("STOPPING=1\n"), std::string::npos) << stopping;
    EXPECT_NE(stopping.find("EXTEND_TIMEOUT_USEC=5000000\n"), std::string::npos) << stopping;
    std::string stopped = rx.Next("stopped");
    EXPECT_NE(stopped.find("STATUS=" + name + ": stopped"), std::string::npos) << stopped;
    EXPECT_EQ(child.Wait(), 0);
}

TEST(ServiceProcess, StatusReportsNotifyAnAbstractSocket) { CheckNotifications(true); }

TEST(ServiceProcess, StatusReportsNotifyAPathSocket) { CheckNotifications(false); }


// ---- state records in the System log ----------------------------------------------------

struct StateRecord {
    std::string service, state, text;
    WORD type;
};

std::vector<StateRecord> StateRecords(const std::string& service) {
    std::vector<StateRecord> out;
    HANDLE log = OpenEventLogA(nullptr, "System");
    if (!log) return out;
    std::vector<char> buf(64 * 1024);
    DWORD read = 0, needed = 0;
    while (ReadEventLogA(log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ, 0, buf.data(),
                         static_cast<DWORD>(buf.size()), &read, &needed)) {
        std::vector<pal::eventlog::RecordView> records;
        if (!pal::eventlog::ParseRecords(buf.data(), read, records)) break;
        for (const auto& r : records) {
            if (r.source != "Service Control Manager" || r.header.EventID != 0x40001B7C) continue;
            if (r.strings.size() != 2 || r.strings[0] != service) continue;
            auto m = pal::eventlog::FormatRecordTexts("System", r);
            out.push_back({std::string(r.strings[0]), std::string(r.strings[1]), m.text, r.header.EventType});
        }
    }
    CloseEventLog(log);
    return out;
}

TEST(ServiceStateRecords, EachSettledStateChangeLeavesOneFormattedSystemRecord) {
    std::string name = Unique("Logged");
    vqtest::ChildProcess child("service", {name});
    ASSERT_TRUE(child.Expect("running"));
    ASSERT_TRUE(Send(name, SERVICE_CONTROL_PAUSE).ok);
    ASSERT_TRUE(child.Expect("handler 2 main"));
    // A second pause report is no change of state and leaves no second record.
    ASSERT_TRUE(Send(name, SERVICE_CONTROL_CONTINUE).ok);
    ASSERT_TRUE(Send(name, SERVICE_CONTROL_STOP).ok);
    EXPECT_EQ(child.Wait(), 0);

    auto records = StateRecords(name);
    std::vector<std::string> states;
    for (const auto& r : records) states.push_back(r.state);
    // Pending states are not settled states: the manager does not log them.
    EXPECT_EQ(states, (std::vector<std::string>{"running", "paused", "running", "stopped"}));
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records[0].type, EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(records[0].text, "The " + name + " service entered the running state.");
    EXPECT_EQ(records.back().text, "The " + name + " service entered the stopped state.");
}

TEST(ServiceStateRecords, AnInstalledModuleAndRegistrationAreKept) {
    // An administrator's own text for the source stays in force.
    std::string module = pal::MapPath("C:\\WINDOWS\\system32\\vqscm.mc");
    std::filesystem::create_directories(std::filesystem::path(module).parent_path());
    std::ofstream(module) << "LanguageNames=(English=0x409:MSG00409)\n"
                             "MessageId=7036\nSeverity=Informational\nLanguage=English\n"
                             "Local text: %1 is %2.\n.\n";
    std::string name = Unique("Kept");
    vqtest::ChildProcess child("service", {name});
    ASSERT_TRUE(child.Expect("running"));
    ASSERT_TRUE(Send(name, SERVICE_CONTROL_STOP).ok);
    EXPECT_EQ(child.Wait(), 0);
    auto records = StateRecords(name);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].text, "Local text: " + name + " is stopped.");
    std::filesystem::remove(module);
}

TEST(ServiceStateRecords, AFailedStatusReportLeavesNoRecord) {
    std::string name = Unique("NoLog");
    // The first report is the bad state 0, the second 8, the third start-pending, the
    // fourth running: that one fails.
    setenv("VQ_SERVICE_FAIL_STATUS", "4", 1);
    vqtest::ChildProcess child("service", {name});
    unsetenv("VQ_SERVICE_FAIL_STATUS");
    ASSERT_TRUE(child.Expect("report failed 13"));
    child.Kill(SIGKILL);
    child.Wait();
    EXPECT_TRUE(StateRecords(name).empty());
}

}  // namespace
