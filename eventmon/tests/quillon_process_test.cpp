// quillon as a running program: its ini beside it, records written by vqevent, the code
// and by a service's state changes, the code on the display, the icon and menu through
// vqtray, and its two ways to end.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

#include "eventmon/mainframe.h"
#include "eventmon/tests/quillon_test_util.h"
#include "pal/service/service.h"
#include "pal/shell/shell.h"
#include "tests/support/child_process.h"

namespace {

using namespace quillon_test;

// A service of the suite in miniature: it reports running, waits for stop, reports stopped.
SERVICE_STATUS_HANDLE g_status = nullptr;
HANDLE g_stop = nullptr;

DWORD WINAPI MiniHandler(DWORD control, DWORD, LPVOID, LPVOID) {
    if (control == SERVICE_CONTROL_STOP) SetEvent(g_stop);
    return NO_ERROR;
}

void WINAPI MiniMain(DWORD, LPSTR* argv) {
    g_stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_status = RegisterServiceCtrlHandlerExA(argv[0], MiniHandler, nullptr);
    SERVICE_STATUS s{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, NO_ERROR, 0, 0, 0};
    SetServiceStatus(g_status, &s);
    vqtest::Tell("running");
    WaitForSingleObject(g_stop, INFINITE);
    s.dwCurrentState = SERVICE_STOPPED;
    s.dwControlsAccepted = 0;
    SetServiceStatus(g_status, &s);
    CloseHandle(g_stop);
}

VQ_CHILD(mini_service) {
    std::string name = args.at(0);
    SERVICE_TABLE_ENTRYA table[] = {{name.data(), MiniMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) ? 0 : 3;
}

// A copy of quillon in its own folder, so that Quillon.ini can lie beside it.
class RunningQuillon {
public:
    explicit RunningQuillon(const std::string& ini) {
        const std::string dir = pal::core::RootDir() + "/quillon";
        std::filesystem::create_directories(dir);
        exe_ = dir + "/quillon";
        std::filesystem::copy_file(QUILLON_BIN, exe_, std::filesystem::copy_options::overwrite_existing);
        WriteFile(dir + "/Quillon.ini", ini);
        setenv("VQ_LIBRARY_PATH", VQ_LIB_DIR, 1);
        pid_ = fork();
        if (pid_ == 0) {
            execl(exe_.c_str(), exe_.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~RunningQuillon() {
        if (pid_ > 0 && status_ < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    pid_t pid() const { return pid_; }
    // The exit status, or -1 when it is still running after timeoutMs.
    int WaitExit(int timeoutMs) {
        for (int waited = 0; status_ < 0 && waited <= timeoutMs; waited += 50) {
            int st = 0;
            if (waitpid(pid_, &st, WNOHANG) == pid_) {
                status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
                break;
            }
            usleep(50 * 1000);
        }
        return status_;
    }

private:
    std::string exe_;
    pid_t pid_ = -1;
    int status_ = -1;
};

bool WaitFor(const std::function<bool()>& done, int timeoutMs = 20000) {
    for (int waited = 0; waited <= timeoutMs; waited += 100) {
        if (done()) return true;
        usleep(100 * 1000);
    }
    return false;
}

bool HasIcon(pid_t pid) {
    for (const auto& icon : pal::shell::ListIcons())
        if (icon.pid == static_cast<DWORD>(pid) && icon.tip == "Quillon") return true;
    return false;
}

int Tool(const char* bin, const std::vector<std::string>& args) { return vqtest::RunProgram(bin, args).status; }

class QuillonProcess : public ::testing::Test {
protected:
    void SetUp() override {
        ClearTrace();
        ClearSystemLog();
        std::filesystem::remove(ledpanel::StatePath());
        std::filesystem::remove(pal::core::RootDir() + "/devices/tray.conf");
        WriteDisplayConf("digits = 4\n");
    }
};

TEST_F(QuillonProcess, ShowsWrittenRecordsSurvivesATaskbarRestartAndEndsOnItsMenuItem) {
    // The first three adds time out: the icon still comes, and scans go on meanwhile.
    WriteFile(pal::core::RootDir() + "/devices/tray.conf", "fail_add = 1460\nfail_add_times = 3\n");
    RunningQuillon q("[Common]\nBeforeTime=60\n[SearchEventID]\nEventID1=7036,5\n"
                     "[SearchEventWord]\nKeyWord1=Mordane,9\n");
    ASSERT_TRUE(WaitFor([&] { return HasIcon(q.pid()); })) << "the icon never came";
    ASSERT_TRUE(WaitFor([] { return Traced("Timer Called"); }));

    ASSERT_EQ(Tool(VQEVENT_BIN, {"write", "--log", "System", "--source", "Service Control Manager", "--id", "7036"}), 0);
    EXPECT_TRUE(WaitFor([] { return DisplayedCode() == 5; })) << DisplayedCode();
    ASSERT_EQ(Tool(VQEVENT_BIN, {"write", "--log", "System", "--source", "Mordane", "--id", "3"}), 0);
    EXPECT_TRUE(WaitFor([] { return DisplayedCode() == 9; })) << DisplayedCode();

    // A restarted taskbar forgets the icon; "TaskbarCreated" brings it back.
    ASSERT_EQ(Tool(VQTRAY_BIN, {"restart"}), 0);
    EXPECT_TRUE(WaitFor([&] { return HasIcon(q.pid()); }));

    // Right click, then the menu's only item ends the program.
    ASSERT_EQ(Tool(VQTRAY_BIN, {"click", std::to_string(q.pid())}), 0);
    pal::shell::OpenMenu menu;
    ASSERT_TRUE(WaitFor([&] { return pal::shell::ReadOpenMenu(static_cast<DWORD>(q.pid()), menu); }));
    ASSERT_EQ(menu.items.size(), 1u);
    EXPECT_EQ(menu.items[0].id, ID_APP_EXIT);
    ASSERT_EQ(Tool(VQTRAY_BIN, {"choose", std::to_string(q.pid()), "1"}), 0);
    EXPECT_EQ(q.WaitExit(20000), 0);
    EXPECT_FALSE(HasIcon(q.pid())) << "the icon goes with the program";
    EXPECT_TRUE(Traced("<<<End Logging."));
}

TEST_F(QuillonProcess, TheClassicConfigurationSeesTheSuitesOwnServicesChangeState) {
    // Only the record a service leaves when it starts matches: 7036 with code 3.
    RunningQuillon q("[SearchEventID]\nEventID1=7036,3\n");
    ASSERT_TRUE(WaitFor([] { return Traced("Timer Called"); }));
    EXPECT_EQ(DisplayedCode(), -1);
    vqtest::ChildProcess service("mini_service", {"QuillonWatched" + std::to_string(getpid())});
    ASSERT_TRUE(service.Expect("running"));
    EXPECT_TRUE(WaitFor([] { return DisplayedCode() == 3; })) << DisplayedCode();
    service.Kill(SIGTERM);
    EXPECT_EQ(service.Wait(), 0);
    kill(q.pid(), SIGTERM);
    EXPECT_EQ(q.WaitExit(20000), 0);
}

TEST_F(QuillonProcess, SigtermEndsItTheWayTheMenuDoes) {
    RunningQuillon q("[SearchEventID]\nEventID1=7036,5\n");
    ASSERT_TRUE(WaitFor([&] { return HasIcon(q.pid()); }));
    kill(q.pid(), SIGTERM);
    EXPECT_EQ(q.WaitExit(20000), 0);
    EXPECT_FALSE(HasIcon(q.pid()));
    EXPECT_TRUE(Traced("<<<End Logging."));
}

TEST_F(QuillonProcess, IllegalIniEndsItAtTheFirstTimer) {
    RunningQuillon q("[SearchEventID]\nEventID1=abc,5\n");
    EXPECT_EQ(q.WaitExit(30000), 0);
    EXPECT_TRUE(Traced("Quillon.ini is an illegal file."));
    EXPECT_TRUE(Traced("<<<End Logging."));
    EXPECT_FALSE(Traced("Timer Called")) << "no scan with an illegal file";
}

}  // namespace
