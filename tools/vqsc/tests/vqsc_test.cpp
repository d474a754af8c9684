// Runs the built vqsc against services in child processes of the test's machine root.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "pal/service/service.h"
#include "pal/thread/thread.h"
#include "tests/support/child_process.h"
#include "tools/vqsc/cli.h"

namespace {

// ---- a child service: accepts stop only; after stopping it lives on for GRACE ms --------

struct {
    SERVICE_STATUS_HANDLE handle = nullptr;
    std::mutex mu;
    std::condition_variable cv;
    bool stop = false;
    DWORD graceMs = 0;
} g_svc;

void Report(DWORD state, DWORD accepted, DWORD exitCode = NO_ERROR, DWORD hint = 0) {
    SERVICE_STATUS s{SERVICE_WIN32_OWN_PROCESS, state, accepted, exitCode, exitCode ? 7u : 0u, 0, hint};
    SetServiceStatus(g_svc.handle, &s);
}

void WINAPI Handler(DWORD control) {
    if (control != SERVICE_CONTROL_STOP) return;
    Report(SERVICE_STOP_PENDING, 0, NO_ERROR, 2000);
    std::lock_guard lock(g_svc.mu);
    g_svc.stop = true;
    g_svc.cv.notify_all();
}

void WINAPI Main(DWORD, LPSTR* argv) {
    g_svc.handle = RegisterServiceCtrlHandlerA(argv[0], Handler);
    Report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP);
    vqtest::Tell("running");
    std::unique_lock lock(g_svc.mu);
    g_svc.cv.wait(lock, [] { return g_svc.stop; });
    lock.unlock();
    Report(SERVICE_STOPPED, 0, ERROR_SERVICE_SPECIFIC_ERROR);
    Sleep(g_svc.graceMs);
}

VQ_CHILD(vqsc_service) {
    g_svc.graceMs = static_cast<DWORD>(std::stoul(args.at(1)));
    std::string name = args.at(0);
    SERVICE_TABLE_ENTRYA table[] = {{name.data(), Main}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) ? 0 : 3;
}

// ---- running the tool -----------------------------------------------------------------

using Result = vqtest::ProgramResult;

Result Vqsc(const std::vector<std::string>& args) { return vqtest::RunProgram(VQ_TOOL_BIN, args, 60000); }

std::string Unique(const char* base) {
    static int n = 0;
    return std::string(base) + std::to_string(getpid()) + "_" + std::to_string(++n);
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// ---- tests ----------------------------------------------------------------------------

TEST(Vqsc, QueryRefusedControlAndStopWithWait) {
    std::string name = Unique("Mordane");
    vqtest::ChildProcess child("vqsc_service", {name, "300"});
    ASSERT_TRUE(child.Expect("running"));

    Result q = Vqsc({"query", name});
    EXPECT_EQ(q.status, 0) << q.err;
    EXPECT_TRUE(Has(q.out, "SERVICE_NAME: " + name + "\n")) << q.out;
    EXPECT_TRUE(Has(q.out, "STATE              : 4  RUNNING\n")) << q.out;
    EXPECT_TRUE(Has(q.out, "(STOPPABLE, NOT_PAUSABLE, IGNORES_SHUTDOWN)")) << q.out;
    EXPECT_TRUE(Has(q.out, "PID                : " + std::to_string(child.pid()) + "\n")) << q.out;

    Result p = Vqsc({"pause", name});
    EXPECT_EQ(p.status, 1);
    EXPECT_EQ(p.err, "vqsc: " + name + ": the requested control is not valid for this service (1052)\n");
    EXPECT_EQ(p.out, "");

    Result s = Vqsc({"stop", name, "--wait", "60"});
    EXPECT_EQ(s.status, 0) << s.err;
    // Stop pending as the handler reported it, or stopped when the main was quicker.
    EXPECT_TRUE(Has(s.out, "STATE              : 3  STOP_PENDING\n") || Has(s.out, "STATE              : 1  STOPPED\n"))
        << s.out;
    // The tool returned only after the process ended (a zombie until this test reaps it).
    int status = 0;
    EXPECT_EQ(waitpid(child.pid(), &status, WNOHANG), child.pid());

    Result gone = Vqsc({"query", name});
    EXPECT_EQ(gone.status, 1);
    EXPECT_EQ(gone.err, "vqsc: " + name + ": the service has not been started (1062)\n");
}

TEST(Vqsc, StopWaitGivesUpOnAServiceThatLingers) {
    std::string name = Unique("Slow");
    vqtest::ChildProcess child("vqsc_service", {name, "120000"});
    ASSERT_TRUE(child.Expect("running"));
    Result s = Vqsc({"stop", name, "--wait", "1"});
    EXPECT_EQ(s.status, 1);
    EXPECT_TRUE(Has(s.err, "(1053)")) << s.err;
    // Stopped and still in its grace period: a further stop is refused.
    Result again = Vqsc({"stop", name});
    EXPECT_EQ(again.status, 1);
    EXPECT_TRUE(Has(again.err, "(1061)")) << again.err;
    Result q = Vqsc({"query", name});
    EXPECT_TRUE(Has(q.out, "1  STOPPED")) << q.out;
    EXPECT_TRUE(Has(q.out, "WIN32_EXIT_CODE    : 1066  (0x42a)\n")) << q.out;
    EXPECT_TRUE(Has(q.out, "SERVICE_EXIT_CODE  : 7  (0x7)\n")) << q.out;
}

TEST(Vqsc, UsageErrors) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {}, {"frob", "X"}, {"query"}, {"query", "X", "Y"}, {"query", "X", "--wait", "3"}, {"stop", "X", "--wait"},
             {"stop", "X", "--wait", "soon"}}) {
        Result r = Vqsc(args);
        EXPECT_EQ(r.status, 2) << (args.empty() ? "" : args[0]);
        EXPECT_TRUE(Has(r.err, "usage: vqsc")) << r.err;
    }
    Result help = Vqsc({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(Has(help.out, "usage: vqsc")) << help.out;
}

TEST(Vqsc, StatusBlockAndErrorText) {
    SERVICE_STATUS s{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 3, 30000};
    EXPECT_EQ(vqsc::FormatStatus("Mordane", s, 0),
              "SERVICE_NAME: Mordane\n"
              "        TYPE               : 10  WIN32_OWN_PROCESS\n"
              "        STATE              : 2  START_PENDING\n"
              "                                (NOT_STOPPABLE, NOT_PAUSABLE, IGNORES_SHUTDOWN)\n"
              "        WIN32_EXIT_CODE    : 0  (0x0)\n"
              "        SERVICE_EXIT_CODE  : 0  (0x0)\n"
              "        CHECKPOINT         : 0x3\n"
              "        WAIT_HINT          : 0x7530\n");
    EXPECT_EQ(vqsc::ErrorText(ERROR_SERVICE_CANNOT_ACCEPT_CTRL),
              "the service cannot accept control messages at this time (1061)");
    EXPECT_EQ(vqsc::ErrorText(99999), "error (99999)");
}

}  // namespace
