// 4096-byte job records from one framework process through the task controller to another
// framework process, up to its message 53, against a plain Unix-socket relay of the same
// bytes between three processes, in the same run. Prints records per second for both and
// their ratio; target: the job pipe reaches at least half the plain relay's rate.
//
// Usage: bench_jobpipe [records per run] [runs]   (defaults 20000, 3)
// The task controller is the real one (taskctrl, journal included).
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_root.h"
#include "framework/apllog.h"
#include "framework/vqbthdmsg.h"
#include "pal/windows.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kRecord = 4096;

pid_t Spawn(const std::vector<std::string>& args, int* stdoutFd = nullptr) {
    int fds[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdoutFd) {
        if (pipe(fds) != 0) return -1;
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
    }
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (stdoutFd) {
        close(fds[1]);
        *stdoutFd = fds[0];
    }
    return pid;
}

std::string ReadLine(int fd) {
    std::string line;
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n') line += c;
    return line;
}

// ---- the framework side

std::atomic<long> g_received{0};
long g_expected = 0;

class Receiver : public CVQBThdMsg {
public:
    Receiver() : CVQBThdMsg(0, "recv", "BENCHRECV", VQB_FLAG_NO_MSGMGR) {}
    long OnJobReceived(WPARAM wParam, LPARAM lParam) override {
        const char* record = reinterpret_cast<const char*>(lParam);
        const bool mine = record && std::strncmp(record + 97, "FWCOMMON", 8) == 0;
        long r = CVQBThdMsg::OnJobReceived(wParam, lParam);
        if (mine && ++g_received % g_expected == 0) {
            std::printf("done\n");
            std::fflush(stdout);
        }
        return r;
    }
    short ReqReceived(CJobPipeData& record) override {
        return record.GetSJob1() == 3 ? 0 : CVQBThdMsg::ReqReceived(record);
    }
};

int RunReceiver(long expected) {
    g_expected = expected;
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Receiver core;
    if (!core.Main(&done)) return 1;
    while (core.GetNotifyFlag() == 0) Sleep(10);
    std::printf("ready\n");
    std::fflush(stdout);
    WaitForSingleObject(done, INFINITE);  // ends when the parent kills it
    return 0;
}

double FrameworkRun(CVQBThdMsg& sender, long n, int doneFd) {
    const char* text = "#BEGIN\n#BENCH=1\n#END\n";
    auto start = Clock::now();
    for (long i = 0; i < n; ++i) sender.SendRequest("", "recv", 3, 0, 0, 0, text);
    if (ReadLine(doneFd) != "done") return -1;
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// ---- the plain relay

std::string SocketPath(const char* tag) { return std::string(getenv("VQ_ROOT")) + "/" + tag + ".sock"; }

int Listen(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    unlink(path.c_str());
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(fd, 4);
    return fd;
}

int Connect(const std::string& path) {
    for (int i = 0; i < 500; ++i) {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
        close(fd);
        usleep(10000);
    }
    return -1;
}

bool ReadFull(int fd, char* buffer, size_t size) {
    size_t got = 0;
    while (got < size) {
        ssize_t r = read(fd, buffer + got, size - got);
        if (r <= 0) return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

bool WriteFull(int fd, const char* buffer, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t r = send(fd, buffer + done, size - done, MSG_NOSIGNAL);
        if (r <= 0) return false;
        done += static_cast<size_t>(r);
    }
    return true;
}

int RunRelay() {
    int in = Listen(SocketPath("relay_in"));
    int out = Listen(SocketPath("relay_out"));
    std::printf("ready\n");
    std::fflush(stdout);
    int receiver = accept(out, nullptr, nullptr);
    int sender = accept(in, nullptr, nullptr);
    char buffer[kRecord];
    while (ReadFull(sender, buffer, kRecord) && WriteFull(receiver, buffer, kRecord)) {
    }
    return 0;
}

int RunPlainReceiver(long expected) {
    int fd = Connect(SocketPath("relay_out"));
    std::printf("ready\n");
    std::fflush(stdout);
    char buffer[kRecord];
    long n = 0;
    // Each record goes to the heap as message 53's record does.
    while (ReadFull(fd, buffer, kRecord)) {
        char* copy = new char[kRecord];
        std::memcpy(copy, buffer, kRecord);
        delete[] copy;
        if (++n % expected == 0) {
            std::printf("done\n");
            std::fflush(stdout);
        }
    }
    return 0;
}

double PlainRun(int senderFd, long n, int doneFd) {
    std::vector<char> record(kRecord, 'r');
    auto start = Clock::now();
    for (long i = 0; i < n; ++i) WriteFull(senderFd, record.data(), kRecord);
    if (ReadLine(doneFd) != "done") return -1;
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "--recv") return RunReceiver(std::atol(argv[2]));
    if (argc >= 2 && std::string(argv[1]) == "--relay") return RunRelay();
    if (argc >= 2 && std::string(argv[1]) == "--plain-recv") return RunPlainReceiver(std::atol(argv[2]));

    const long n = argc > 1 ? std::atol(argv[1]) : 20000;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
    BenchRoot root(true);  // the sockets' paths must stay short
    setenv("VQ_JOBPIPE_NOTICE_PAUSE_MS", "0", 1);
    const std::string self = std::filesystem::read_symlink("/proc/self/exe");

    int ctlFd = -1;
    pid_t taskctrl = Spawn({VQ_TASKCTRL_BIN}, &ctlFd);
    Sleep(300);
    int recvFd = -1;
    pid_t receiver = Spawn({self, "--recv", std::to_string(n)}, &recvFd);
    int relayFd = -1, plainFd = -1;
    pid_t relay = Spawn({self, "--relay"}, &relayFd);
    ReadLine(relayFd);
    pid_t plainReceiver = Spawn({self, "--plain-recv", std::to_string(n)}, &plainFd);
    ReadLine(plainFd);
    int plainSender = Connect(SocketPath("relay_in"));
    if (ReadLine(recvFd) != "ready") {
        std::fprintf(stderr, "bench_jobpipe: the receiving framework process did not connect\n");
        return 1;
    }

    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::vector<double> ratios;
    {
        CVQBThdMsg sender(0, "send", "BENCHSEND", VQB_FLAG_NO_MSGMGR);
        if (!sender.Main(&done)) return 1;
        while (sender.GetNotifyFlag() == 0) Sleep(10);
        std::printf("%-6s %14s %14s %8s\n", "run", "jobpipe rec/s", "plain rec/s", "ratio");
        for (int r = 0; r < runs; ++r) {
            double framework = FrameworkRun(sender, n, recvFd);
            double plain = PlainRun(plainSender, n, plainFd);
            if (framework <= 0 || plain <= 0) {
                std::fprintf(stderr, "bench_jobpipe: a run did not complete\n");
                break;
            }
            ratios.push_back(plain / framework);
            std::printf("%-6d %14.0f %14.0f %8.2f\n", r + 1, n / framework, n / plain, plain / framework);
        }
        VQBThdPostMsg(VQBMSG_PROCESS_STOP, 0, 0);
        WaitForSingleObject(done, 30000);
        sender.CloseProc();
    }
    CAplLog::Close();
    close(plainSender);
    for (pid_t pid : {receiver, relay, plainReceiver, taskctrl}) {
        kill(pid, pid == taskctrl ? SIGTERM : SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    if (ratios.empty()) return 1;
    std::sort(ratios.begin(), ratios.end());
    std::printf("median rate ratio jobpipe/plain: %.2f (target at least 0.5)\n", ratios[ratios.size() / 2]);
    return 0;
}
