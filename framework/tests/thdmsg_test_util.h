// Shared pieces of the process-core tests: a capture of application-log lines, the
// framework's registry values, and a small application class started and stopped the
// way a service does it.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framework/apllog.h"
#include "framework/vqbexception.h"
#include "framework/vqbthdmsg.h"
#include "framework/registory.h"
#include "framework/vqbutil.h"
#include "pal/windows.h"

namespace thdmsgtest {

struct LogLine {
    WORD eventCode;
    DWORD errorCode;
    LONG idCode;
    std::string function;
    std::string message;
};

// Every application-log line written in this process (through the log's first handler).
class LogCapture {
public:
    static LogCapture& Get() {
        static LogCapture capture;
        return capture;
    }
    static void Handler(WORD eventCode, DWORD errorCode, LONG idCode, const char* function, const char* message) {
        LogCapture& c = Get();
        std::lock_guard<std::mutex> lock(c.mutex_);
        c.lines_.push_back({eventCode, errorCode, idCode, function ? function : "", message ? message : ""});
        c.cv_.notify_all();
    }
    void Start() {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
        CAplLog::SetWriteHandler(Handler);
    }
    std::vector<LogLine> Lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    int Count(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        int n = 0;
        for (const auto& l : lines_)
            if (l.message.find(text) != std::string::npos) ++n;
        return n;
    }
    // The first line containing text, waiting up to timeoutMs for it.
    bool WaitFor(const std::string& text, int timeoutMs = 10000, LogLine* found = nullptr, int occurrences = 1) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            int n = 0;
            for (const auto& l : lines_)
                if (l.message.find(text) != std::string::npos && ++n == occurrences) {
                    if (found) *found = l;
                    return true;
                }
            return false;
        });
    }
    // Index of the first line containing text, or -1.
    int IndexOf(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (size_t i = 0; i < lines_.size(); ++i)
            if (lines_[i].message.find(text) != std::string::npos) return static_cast<int>(i);
        return -1;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<LogLine> lines_;
};

// The keys the core reads its "SYSTEM" values from: the framework's, and the
// application's when the framework names an application (an earlier test may have).
inline std::vector<std::string> SystemKeys() {
    std::vector<std::string> keys{"SOFTWARE\\QIR\\VQ FRAMEWORK\\SYSTEM"};
    const std::string apl = CVQRegistory::GetAplName();
    if (!apl.empty()) keys.push_back("SOFTWARE\\QIR\\" + apl + "\\SYSTEM");
    return keys;
}

inline void SetSystemRaw(const char* name, DWORD type, const void* data, DWORD size) {
    for (const auto& path : SystemKeys()) {
        HKEY key;
        DWORD disposition;
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, &disposition);
        RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size);
        RegCloseKey(key);
    }
}

inline void SetSystemValue(const char* name, const char* text) {
    SetSystemRaw(name, REG_SZ, text, static_cast<DWORD>(strlen(text) + 1));
}

inline void SetSystemNumber(const char* name, DWORD value) { SetSystemRaw(name, REG_DWORD, &value, sizeof value); }

inline std::string PcName() {
    char name[32] = {};
    VQBGetTsePcName(name);
    return name;
}

// Removes the values the tests set; a "SYSTEM_NAME" of another test stays.
inline void ClearSystemKey() {
    for (const auto& path : SystemKeys()) {
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) continue;
        for (const char* name : {"PIPE_NAME", "SERVER_NAME", "QUE_DIR", "CONNECT CONFIRM DELAY", "NETWORK_ID",
                                 "LOG_LEVEL", "APLLOG_SERVICE", "LANGUAGE_ID"})
            RegDeleteValueA(key, name);
        RegCloseKey(key);
    }
}

// An application class that records what the tests look at.
class TestCore : public CVQBThdMsg {
public:
    explicit TestCore(const char* processName = "unit") : CVQBThdMsg(0, processName, "UNITSVC", VQB_FLAG_NO_MSGMGR) {}

    long MsgProcSub(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (message == 90) {
            if (onMessage90) onMessage90(wParam, lParam);
            return 0;
        }
        return CVQBThdMsg::MsgProcSub(message, wParam, lParam);
    }
    long OnStopWithCheck(WPARAM rounds, LPARAM lParam) override {
        stopRounds.push_back(static_cast<long>(rounds));
        return CVQBThdMsg::OnStopWithCheck(rounds, lParam);
    }
    long SysTimer60(WPARAM tick, LPARAM time) override {
        sys60.push_back(static_cast<long>(tick));
        return CVQBThdMsg::SysTimer60(tick, time);
    }
    const char* GetVqblibVer() override { return version.empty() ? CVQBThdMsg::GetVqblibVer() : version.c_str(); }
    int UsedTimers() const {
        int n = 0;
        for (const auto& t : m_TimerTbl)
            if (t.message != 0) ++n;
        return n;
    }
    using CVQBThdMsg::KillTimer;
    using CVQBThdMsg::SetTimer;

    std::function<void(WPARAM, LPARAM)> onMessage90;
    std::vector<long> stopRounds;  // touched on the procedure's thread only
    std::vector<long> sys60;
    std::string version;
};

// Starts a core as a service main does, and stops it through message 101.
template <class Core = TestCore>
class Running {
public:
    explicit Running(std::unique_ptr<Core> core = std::make_unique<Core>()) : core_(std::move(core)) {
        done_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        thread_ = core_->Main(&done_);
    }
    ~Running() {
        if (!stopped_) Stop(0);
        core_.reset();
        CAplLog::Close();
        CloseHandle(done_);
    }
    Core& core() { return *core_; }
    bool started() const { return thread_ != nullptr; }
    // Posts the stop with the given longest wait; waits for the loop's end and closes.
    bool Stop(LPARAM longestWaitMs, int timeoutMs = 30000) {
        stopped_ = true;
        if (thread_) VQBThdPostMsg(VQBMSG_PROCESS_STOP, 0, longestWaitMs);
        bool ended = !thread_ || WaitForSingleObject(done_, timeoutMs) == WAIT_OBJECT_0;
        core_->CloseProc();
        return ended;
    }
    bool WaitRun(short state, int timeoutMs = 10000) {
        for (int waited = 0; waited < timeoutMs; waited += 10) {
            if (CVQBThdMsg::m_fRun == state) return true;
            Sleep(10);
        }
        return false;
    }
    // Runs fn on the procedure's thread and waits for it.
    void OnLoop(std::function<void()> fn) {
        core_->onMessage90 = [fn](WPARAM, LPARAM) { fn(); };
        VQBThdSendMsg(90, 0, 0);
    }

private:
    std::unique_ptr<Core> core_;
    HANDLE done_ = nullptr;
    HANDLE thread_ = nullptr;
    bool stopped_ = false;
};

// Common set-up: a log capture, a job pipe nobody serves, quick notices.
class CoreTest : public testing::Test {
protected:
    void SetUp() override {
        ClearSystemKey();
        const std::string name = std::string("nobody_") + testing::UnitTest::GetInstance()->current_test_info()->name();
        SetSystemValue("PIPE_NAME", name.c_str());
        SetSystemValue("SERVER_NAME", PcName().c_str());
        setenv("VQ_JOBPIPE_NOTICE_PAUSE_MS", "0", 1);
        LogCapture::Get().Start();
    }
    void TearDown() override {
        CAplLog::SetWriteHandler(nullptr);
        CAplLog::Close();
        unsetenv("VQ_JOBPIPE_NOTICE_PAUSE_MS");
        // A stopped core leaves the process's stop signal raised; later tests start fresh.
        CVQBException::ResetStopSignal();
        ClearSystemKey();
    }
    LogCapture& log() { return LogCapture::Get(); }
};

}  // namespace thdmsgtest
