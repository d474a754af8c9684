// Child processes for cross-process tests: the test binary re-executes itself and runs a
// named child body (VQ_CHILD) instead of the tests. Children inherit VQ_ROOT, so they share
// the parent's machine root. A line protocol over the child's stdout lets the parent wait
// for a child to reach a point ("ready") before it acts (for instance kills it).
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace vqtest {

using ChildBody = std::function<int(const std::vector<std::string>& args)>;

// Registers a child body by name; used through VQ_CHILD.
bool RegisterChild(const std::string& name, ChildBody body);

// Runs the child named by "--vq-child NAME ARGS..." when present; returns true (and sets
// exitCode) when this process was a child.
bool RunChildIfRequested(int argc, char** argv, int& exitCode);

// Tells the parent a line (flushes at once).
void Tell(const std::string& line);

class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(const std::string& name, const std::vector<std::string>& args = {});
    ~ChildProcess();
    ChildProcess(ChildProcess&& o) noexcept;
    ChildProcess& operator=(ChildProcess&& o) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // Next line the child told, or "" at end of output / after the time-out.
    std::string ReadLine(int timeoutMs = 10000);
    // Reads lines until one equals expected; false on time-out or end of output.
    bool Expect(const std::string& expected, int timeoutMs = 10000);
    void Kill(int signal = 9);
    // Waits for the exit; returns the exit code, or 128 + signal number.
    int Wait();
    // Wait, but a child that has not ended within timeoutMs is killed (exit 137).
    int WaitOrKill(int timeoutMs);

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffer_;
};

// Runs a program to its end with args and collects what it wrote; status is its exit code
// or 128 + signal number (-1 when it could not be started). Output is read for at most
// timeoutMs; the program is then killed.
struct ProgramResult {
    int status = -1;
    std::string out, err;
};
ProgramResult RunProgram(const std::string& path, const std::vector<std::string>& args, int timeoutMs = 60000);

}  // namespace vqtest

#define VQ_CHILD(name)                                                                       \
    static int vq_child_##name(const std::vector<std::string>& args);                        \
    static const bool vq_child_registered_##name = vqtest::RegisterChild(#name, vq_child_##name); \
    static int vq_child_##name([[maybe_unused]] const std::vector<std::string>& args)
