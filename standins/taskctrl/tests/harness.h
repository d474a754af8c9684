// Test harness of the task controller, shared by its own tests and vqjob's: the
// controller as a real child process of the test's machine root, raw job-pipe clients
// (the pipe family's client end and CJobPipeData, nothing of the controller's code), and a
// control-pipe client. Include it in one source file per test binary.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "framework/jobpipedata.h"
#include "pal/pipe/pipe.h"
#include "pal/windows.h"
#include "tests/support/child_process.h"

// Runs a program in place of the child (stderr joined to stdout, which the parent reads).
VQ_CHILD(exec_program) {
    dup2(1, 2);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    return 127;
}

namespace taskctrl_test {

inline std::string Root() {
    const char* r = std::getenv("VQ_ROOT");
    return r ? r : "";
}

inline std::string JobPipe(const std::string& name = "taskctrl") { return "\\\\.\\PIPE\\" + name; }

inline std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline std::string JournalPath() { return Root() + "/taskctrl/journal.log"; }
inline std::string Journal() { return ReadText(JournalPath()); }

// Lines of the journal that contain every one of the parts.
inline std::vector<std::string> JournalLines(const std::vector<std::string>& parts) {
    std::vector<std::string> out;
    std::istringstream in(Journal());
    for (std::string line; std::getline(in, line);) {
        bool all = true;
        for (const std::string& p : parts) all = all && line.find(p) != std::string::npos;
        if (all) out.push_back(line);
    }
    return out;
}

// Waits until a journal line holds every part (the journal is written as records pass).
inline bool WaitJournal(const std::vector<std::string>& parts, int timeoutMs = 20000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (JournalLines(parts).empty()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// Values of the controller's own key (and of the framework's SYSTEM key).
inline void SetRegString(const char* keyPath, const char* name, const std::string& value) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
}
inline void DeleteRegValue(const char* keyPath, const char* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
    RegDeleteValueA(key, name);
    RegCloseKey(key);
}
inline constexpr const char* kSystemKey = "SOFTWARE\\QIR\\VQ FRAMEWORK\\SYSTEM";
inline constexpr const char* kOwnKey = "SOFTWARE\\QIR\\VQ FRAMEWORK\\TASKCTRL";

// A clean start for each test: no settings or journal of an earlier test.
inline void ResetState() {
    for (const char* v : {"QUEUE_LIMIT", "JOURNAL_SIZE"}) DeleteRegValue(kOwnKey, v);
    DeleteRegValue(kSystemKey, "PIPE_NAME");
    DeleteRegValue(kSystemKey, "NETWORK_ID");
    std::remove(JournalPath().c_str());
    std::remove((JournalPath() + ".1").c_str());
}

// The controller as a child process. Its stderr lines are readable through child().
class Controller {
public:
    Controller() : child_("exec_program", {VQ_TASKCTRL_BIN}) {}
    ~Controller() {
        if (running_) Stop();
    }
    // Waits for the "running" line; false (with the output seen) when it did not come.
    bool Running(std::string* seen = nullptr, int timeoutMs = 30000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        std::string all;
        while (std::chrono::steady_clock::now() < deadline) {
            std::string line = child_.ReadLine(1000);
            all += line.empty() ? "" : line + "\n";
            if (line.rfind("taskctrl: running", 0) == 0) {
                running_ = true;
                return true;
            }
        }
        if (seen) *seen = all;
        return false;
    }
    // SIGTERM (or the signal given), then the exit code; a controller that has not ended
    // within 60 s is killed (exit 137).
    int Stop(int signal = SIGTERM) {
        running_ = false;
        child_.Kill(signal);
        return WaitExit();
    }
    int WaitExit() {
        int code = child_.WaitOrKill(60000);
        running_ = false;
        return code;
    }
    vqtest::ChildProcess& child() { return child_; }

private:
    vqtest::ChildProcess child_;
    bool running_ = false;
};

struct Who {
    std::string net, pc, process;
};

// A record from src to dst with the three command words.
inline CJobPipeData MakeRecord(const Who& src, const Who& dst, const char* w1, const char* w2, const char* w3,
                               WORD ans = 0, DWORD serial = 0, const std::string& param = "") {
    CJobPipeData r;
    r.SetSDA(dst.net.c_str(), dst.pc.c_str(), dst.process.c_str(), src.net.c_str(), src.pc.c_str(),
             src.process.c_str());
    r.SetAns(ans);
    r.SetSerialNo(serial);
    r.SetSJob(w1, w2, w3);
    r.SetExParam(param.c_str());
    return r;
}

// A raw client of a byte-mode pipe. Reads keep one operation pending across time-outs, so
// nothing is lost between calls.
class RawClient {
public:
    RawClient() { readEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~RawClient() {
        Close();
        CloseHandle(readEvent_);
    }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    // 0 or the last error; a busy pipe is tried again until the time-out.
    DWORD Open(const std::string& pipe = JobPipe(), int timeoutMs = 20000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            h_ = CreateFileA(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
            if (h_ != INVALID_HANDLE_VALUE) return 0;
            DWORD error = GetLastError();
            if (error != ERROR_PIPE_BUSY || std::chrono::steady_clock::now() > deadline) return error;
            WaitNamedPipeA(pipe.c_str(), 1000);
        }
    }
    void Close() {
        if (h_ == INVALID_HANDLE_VALUE) return;
        if (pending_) {
            CancelIoEx(h_, &rov_);
            DWORD n = 0;
            GetOverlappedResult(h_, &rov_, &n, TRUE);
            pending_ = false;
        }
        CloseHandle(h_);
        h_ = INVALID_HANDLE_VALUE;
    }
    HANDLE handle() const { return h_; }

    // Safe from several threads at once: each write has its own event, as each writer of
    // a framework process's job pipe has.
    DWORD WriteBytes(const void* data, DWORD size) {
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        OVERLAPPED ov = {};
        ov.hEvent = event;
        DWORD n = 0, result = 0;
        if (!WriteFile(h_, data, size, nullptr, &ov)) {
            DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) result = error;
            else if (WaitForSingleObject(event, 30000) != WAIT_OBJECT_0) {
                CancelIoEx(h_, &ov);
                GetOverlappedResult(h_, &ov, &n, TRUE);
                result = WAIT_TIMEOUT;
            }
        }
        if (result == 0) {
            if (!GetOverlappedResult(h_, &ov, &n, FALSE)) result = GetLastError();
            else if (n != size) result = ERROR_WRITE_FAULT;
        }
        CloseHandle(event);
        return result;
    }
    DWORD Write(const CJobPipeData& r) {
        return WriteBytes(static_cast<const ASCII_REQUEST*>(r), CJobPipeData::sizeofAsciiRequest());
    }

    // One whole record: 0, WAIT_TIMEOUT (the partial read stays pending), or the error.
    // reads, when given, receives the number of reads the record took.
    DWORD Read(CJobPipeData& out, int timeoutMs = 20000, int* reads = nullptr) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            if (!pending_) {
                rov_ = {};
                rov_.hEvent = readEvent_;
                ResetEvent(readEvent_);
                if (!ReadFile(h_, buffer_.data() + have_, static_cast<DWORD>(buffer_.size() - have_), nullptr,
                              &rov_)) {
                    DWORD error = GetLastError();
                    if (error != ERROR_IO_PENDING) return error;
                }
                pending_ = true;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                              std::chrono::steady_clock::now());
            if (WaitForSingleObject(readEvent_, left.count() > 0 ? static_cast<DWORD>(left.count()) : 0) !=
                WAIT_OBJECT_0)
                return WAIT_TIMEOUT;
            pending_ = false;
            DWORD n = 0;
            if (!GetOverlappedResult(h_, &rov_, &n, FALSE)) return GetLastError();
            have_ += n;
            ++reads_;
            if (have_ == buffer_.size()) {
                out = reinterpret_cast<const ASCII_REQUEST*>(buffer_.data());
                have_ = 0;
                if (reads) *reads = reads_;
                reads_ = 0;
                return 0;
            }
        }
    }
    // Whether nothing arrives within ms (a record that does is consumed and reported).
    bool Quiet(int ms, CJobPipeData* got = nullptr) {
        CJobPipeData r;
        DWORD e = Read(r, ms);
        if (got) *got = r;
        return e == WAIT_TIMEOUT;
    }
    // The raw bytes of the last whole record read.
    const std::array<char, 4096>& last() const { return buffer_; }

private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
    HANDLE readEvent_;
    OVERLAPPED rov_ = {};
    bool pending_ = false;
    std::array<char, 4096> buffer_{};
    size_t have_ = 0;
    int reads_ = 0;
};

// A connected client that has told the controller who it is (by its start notice).
struct Peer {
    Who who;
    RawClient pipe;
    explicit Peer(Who w, const std::string& pipeName = JobPipe()) : who(std::move(w)) {
        EXPECT_EQ(pipe.Open(pipeName), 0u);
        Notice("FWTASKSTAR");
    }
    void Notice(const char* word) {
        EXPECT_EQ(pipe.Write(MakeRecord(who, {who.net, "", "taskctrl"}, "FWSYSTEM", "FWNOTIFY", word, 0, 0,
                                        "#BEGIN\n#PROCESS=\"" + who.process + "\"\n#END")),
                  0u);
    }
};

// One control command, one answer ("" when the control pipe could not be used).
inline std::string Control(const std::string& command, const std::string& pipeName = JobPipe() + ".ctl") {
    HANDLE h = CreateFileA(pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return "";
    DWORD mode = PIPE_READMODE_MESSAGE;
    std::string answer;
    DWORD n = 0;
    if (SetNamedPipeHandleState(h, &mode, nullptr, nullptr) &&
        WriteFile(h, command.data(), static_cast<DWORD>(command.size()), &n, nullptr)) {
        for (;;) {
            char buffer[256];
            BOOL ok = ReadFile(h, buffer, sizeof buffer, &n, nullptr);
            if (!ok && GetLastError() != ERROR_MORE_DATA) break;
            answer.append(buffer, n);
            if (ok) break;
        }
    }
    CloseHandle(h);
    return answer;
}

// Waits until the controller lists a client of the process (it has read its first record).
inline bool WaitClient(const std::string& process, int timeoutMs = 20000,
                       const std::string& controlPipe = JobPipe() + ".ctl") {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Control("clients", controlPipe).find("\t" + process + "\t") == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// A test with a fresh machine state that starts one controller when it asks for it.
class ControllerTest : public ::testing::Test {
protected:
    void SetUp() override { ResetState(); }
    void TearDown() override { ResetState(); }
    // Starts the controller; the test fails at once when it does not run.
    void Start() {
        tc_ = std::make_unique<Controller>();
        std::string seen;
        ASSERT_TRUE(tc_->Running(&seen)) << seen;
    }
    std::unique_ptr<Controller> tc_;
};

}  // namespace taskctrl_test
