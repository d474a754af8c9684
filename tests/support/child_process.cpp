#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>

namespace vqtest {

namespace {

std::map<std::string, ChildBody>& Registry() {
    static std::map<std::string, ChildBody> r;
    return r;
}

}  // namespace

bool RegisterChild(const std::string& name, ChildBody body) {
    Registry()[name] = std::move(body);
    return true;
}

bool RunChildIfRequested(int argc, char** argv, int& exitCode) {
    if (argc < 3 || std::strcmp(argv[1], "--vq-child") != 0) return false;
    auto it = Registry().find(argv[2]);
    if (it == Registry().end()) {
        std::fprintf(stderr, "unknown child body %s\n", argv[2]);
        exitCode = 100;
        return true;
    }
    std::vector<std::string> args(argv + 3, argv + argc);
    exitCode = it->second(args);
    return true;
}

void Tell(const std::string& line) {
    std::string l = line + "\n";
    (void)!write(1, l.data(), l.size());
}

ChildProcess::ChildProcess(const std::string& name, const std::vector<std::string>& args) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    std::vector<std::string> argvStore = {"/proc/self/exe", "--vq-child", name};
    argvStore.insert(argvStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argvStore) argv.push_back(a.data());
    argv.push_back(nullptr);
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    exe[n > 0 ? n : 0] = '\0';
    pid_ = fork();
    if (pid_ == 0) {
        dup2(fds[1], 1);
        execv(exe, argv.data());
        _exit(127);
    }
    close(fds[1]);
    out_ = fds[0];
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0) {
        Kill(SIGKILL);
        Wait();
    }
    if (out_ >= 0) close(out_);
}

ChildProcess::ChildProcess(ChildProcess&& o) noexcept : pid_(o.pid_), out_(o.out_), buffer_(std::move(o.buffer_)) {
    o.pid_ = -1;
    o.out_ = -1;
}

ChildProcess& ChildProcess::operator=(ChildProcess&& o) noexcept {
    std::swap(pid_, o.pid_);
    std::swap(out_, o.out_);
    std::swap(buffer_, o.buffer_);
    return *this;
}

std::string ChildProcess::ReadLine(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        auto nl = buffer_.find('\n');
        if (nl != std::string::npos) {
            std::string line = buffer_.substr(0, nl);
            buffer_.erase(0, nl + 1);
            return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || out_ < 0) return "";
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return "";
        char buf[512];
        ssize_t n = read(out_, buf, sizeof buf);
        if (n <= 0) return "";
        buffer_.append(buf, static_cast<size_t>(n));
    }
}

bool ChildProcess::Expect(const std::string& expected, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        std::string line = ReadLine(static_cast<int>(left.count()));
        if (line == expected) return true;
        if (line.empty() && (out_ < 0 || std::chrono::steady_clock::now() >= deadline)) return false;
    }
}

void ChildProcess::Kill(int signal) {
    if (pid_ > 0) kill(pid_, signal);
}

int ChildProcess::Wait() {
    if (pid_ <= 0) return -1;
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

int ChildProcess::WaitOrKill(int timeoutMs) {
    if (pid_ <= 0) return -1;
    int status = 0;
    for (int waited = 0;; waited += 20) {
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) break;
        if (r < 0 && errno != EINTR) return -1;
        if (waited >= timeoutMs) {
            kill(pid_, SIGKILL);
            return Wait();
        }
        usleep(20 * 1000);
    }
    pid_ = -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

ProgramResult RunProgram(const std::string& path, const std::vector<std::string>& args, int timeoutMs) {
    ProgramResult r;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) return r;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return r;
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        std::vector<char*> argv{const_cast<char*>(path.c_str())};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (open > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || poll(fds, 2, static_cast<int>(left.count())) <= 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            } else {
                (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
            }
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0) close(f.fd);
    if (open > 0) kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
    return r;
}

}  // namespace vqtest
