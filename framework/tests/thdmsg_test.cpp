// The process core inside one process: the message loop and its senders, handlers,
// timers, the stop countdown, configuration and the version check.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "framework/jobpipedata.h"
#include "framework/tests/thdmsg_test_util.h"

using namespace thdmsgtest;

namespace {

std::atomic<int> g_calls60{0};
long ThrowEveryFifth(WPARAM, LPARAM) {
    if (++g_calls60 % 5 == 0) throw std::runtime_error("fifth");
    return 0;
}

std::atomic<int> g_first{0}, g_second{0};
long First(WPARAM, LPARAM) {
    ++g_first;
    return 0;
}
long Second(WPARAM, LPARAM) {
    ++g_second;
    return 0;
}

// A job routine that takes its start data and then runs until the test lets it go.
HANDLE g_jobRelease = nullptr;
std::atomic<bool> g_jobEnded{false};
DWORD WINAPI EndlessJob(LPVOID param) {
    auto* slot = static_cast<JOB_THREAD_TBL*>(param);
    SetEvent(slot->hReleaseEvent);
    WaitForSingleObject(g_jobRelease, INFINITE);
    g_jobEnded = true;
    return 0;
}

// Records the ticks of a timer: their counters and the year of the time each carries.
struct Probe {
    static long Tick(WPARAM w, LPARAM l) {
        std::lock_guard<std::mutex> lock(m);
        t.push_back(w);
        y.push_back(reinterpret_cast<SYSTEMTIME*>(l)->wYear);
        return 0;
    }
    static std::mutex m;
    static std::vector<WPARAM> t;
    static std::vector<WORD> y;
};
std::mutex Probe::m;
std::vector<WPARAM> Probe::t;
std::vector<WORD> Probe::y;

class ThdMsgCore : public CoreTest {};

}  // namespace

TEST_F(ThdMsgCore, SendersAreReleasedWhenHandlersThrowAndLatePostsAreRefused) {
    g_calls60 = 0;
    Running<> run;
    ASSERT_TRUE(run.started());
    ASSERT_EQ(run.core().RegistMsgProcHandler(60, ThrowEveryFifth), 0);
    std::vector<std::thread> senders;
    for (int t = 0; t < 8; ++t)
        senders.emplace_back([t] {
            for (int i = 0; i < 100; ++i) VQBThdSendMsg(60, static_cast<WPARAM>(t), i);
        });
    for (auto& s : senders) s.join();
    EXPECT_EQ(g_calls60.load(), 800);
    // Each throw costs its message only, and is logged with the message it came from.
    EXPECT_EQ(log().Count("message=60 wParam="), 160);

    ASSERT_TRUE(run.Stop(0));
    EXPECT_EQ(VQBThdPostMsg(60, 1, 2), -1);
    VQBThdSendMsg(60, 1, 2);  // returns at once: nothing will handle it
    EXPECT_GE(log().Count("It cannot perform a thread message demand."), 2);
    // A refused message 53 frees the record it carried (ASan would report a leak).
    EXPECT_EQ(VQBThdPostMsg(VQBMSG_JOB_RECEIVED, 0, reinterpret_cast<LPARAM>(new char[4096])), -1);
    EXPECT_EQ(CVQBThdMsg::m_fRun.load(), VQB_RUN_CLOSED);
}

TEST_F(ThdMsgCore, SendersWaitingWhenTheLoopEndsAreReleased) {
    Running<> run;
    ASSERT_TRUE(run.started());
    HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    run.core().onMessage90 = [gate](WPARAM, LPARAM) { WaitForSingleObject(gate, INFINITE); };
    VQBThdPostMsg(90, 0, 0);              // holds the loop
    VQBThdPostMsg(VQBMSG_END_LOOP, 0, 0);  // ends it right after
    std::atomic<int> returned{0};
    std::vector<std::thread> senders;
    for (int i = 0; i < 4; ++i)
        senders.emplace_back([&] {
            VQBThdSendMsg(61, 0, 0);  // queued behind the end: never handled
            ++returned;
        });
    Sleep(200);
    SetEvent(gate);
    for (auto& s : senders) s.join();
    EXPECT_EQ(returned.load(), 4);
    run.Stop(0);
    CloseHandle(gate);
}

TEST_F(ThdMsgCore, PointersTravelWholeInMessages) {
    struct Seen {
        WPARAM w = 0;
        LPARAM l = 0;
    };
    class Core : public TestCore {
    public:
        long OnJobThreadReqRcv(WPARAM w, LPARAM l) override {
            seen54 = {w, l};
            return 0;
        }
        long OnJobThreadExit(WPARAM w, LPARAM l) override {
            seen55 = {w, l};
            return 0;
        }
        short ReqReceived(CJobPipeData& record) override {
            received = record.GetExParam();
            return 0;
        }
        Seen seen54, seen55;
        std::string received;
    };
    Running<Core> run(std::make_unique<Core>());
    ASSERT_TRUE(run.started());
    auto big = std::make_unique<int>(7);
    const WPARAM w = reinterpret_cast<WPARAM>(big.get());
    const LPARAM l = static_cast<LPARAM>(0x7FFF12345678LL);
    ASSERT_GT(w, WPARAM{0xFFFFFFFFu});
    VQBThdSendMsg(VQBMSG_JOBTHREAD_REQRCV, w, l);
    VQBThdSendMsg(VQBMSG_JOBTHREAD_EXIT, w + 8, l + 8);
    EXPECT_EQ(run.core().seen54.w, w);
    EXPECT_EQ(run.core().seen54.l, l);
    EXPECT_EQ(run.core().seen55.w, w + 8);
    EXPECT_EQ(run.core().seen55.l, l + 8);

    CJobPipeData record;
    record.SetSDA("", "", "unit", "", "PC", "other");
    record.SetSJob(3, 0, 0);  // FWCOMMON: no system request
    record.SetExParam("#BEGIN\n#X=1\n#END\n");
    char* copy = new char[4096];
    memcpy(copy, static_cast<const ASCII_REQUEST*>(record), 4096);
    VQBThdSendMsg(VQBMSG_JOB_RECEIVED, 0, reinterpret_cast<LPARAM>(copy));  // the loop frees it
    EXPECT_EQ(run.core().received, "#BEGIN\n#X=1\n#END\n");
}

TEST_F(ThdMsgCore, RegisteredHandlersAndUnknownMessages) {
    g_first = g_second = 0;
    Running<> run;
    ASSERT_TRUE(run.started());
    CVQBThdMsg& core = run.core();
    core.RegistMsgProcHandler(60, First);
    core.RegistMsgProcHandler(60, Second);
    core.RegistMsgProcHandler(62, First);
    EXPECT_EQ(core.GetMsgProcHandlerNum(0), 3);
    EXPECT_EQ(core.GetMsgProcHandlerNum(60), 2);
    VQBThdSendMsg(60, 0, 0);
    EXPECT_EQ(g_first.load(), 1);
    EXPECT_EQ(g_second.load(), 1);
    EXPECT_EQ(log().Count("Received unknown mesage.  60-"), 0);
    VQBThdSendMsg(61, 5, -6);
    EXPECT_EQ(log().Count("Received unknown mesage.  61-5--6"), 1);
    EXPECT_EQ(core.RemoveMsgProcHandlerNum(60), 2);
    EXPECT_EQ(core.GetMsgProcHandlerNum(0), 1);
    EXPECT_EQ(core.RemoveMsgProcHandlerNum(0), 1);
}

TEST_F(ThdMsgCore, AStopWaitsForJobThreadsThenGivesUp) {
    g_jobRelease = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_jobEnded = false;
    {
        Running<> run;
        ASSERT_TRUE(run.started());
        ASSERT_TRUE(run.WaitRun(VQB_RUN_CREATED2));
        short created = -9;
        run.OnLoop([&] { created = run.core().GetJobThdCtrl().CreateJobThd(EndlessJob, nullptr, nullptr, nullptr, 0, 0); });
        ASSERT_EQ(created, 0);
        EXPECT_EQ(run.core().UsedTimers(), 1);  // the system timer
        // 6000 ms: three checks two seconds apart, then it gives up.
        ASSERT_TRUE(run.Stop(6000));
        EXPECT_EQ(run.core().stopRounds, (std::vector<long>{3, 2, 1}));
        LogLine line;
        ASSERT_TRUE(log().WaitFor("JobThreads are not completed", 1000, &line));
        EXPECT_EQ(line.message, "1 JobThreads are not completed. It ignores and ends");
        EXPECT_LT(log().IndexOf("Stop process"), log().IndexOf("JobThreads are not completed"));
        EXPECT_EQ(run.core().UsedTimers(), 0);
        EXPECT_TRUE(CVQBException::IsStopSignal());
    }
    SetEvent(g_jobRelease);
    for (int i = 0; i < 500 && !g_jobEnded; ++i) Sleep(10);
    EXPECT_TRUE(g_jobEnded);
    CloseHandle(g_jobRelease);
}

TEST_F(ThdMsgCore, AStopWithNoWaitChecksOnceWithoutWrapping) {
    g_jobRelease = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_jobEnded = false;
    {
        Running<> run;
        ASSERT_TRUE(run.WaitRun(VQB_RUN_CREATED2));
        run.OnLoop([&] { run.core().GetJobThdCtrl().CreateJobThd(EndlessJob, nullptr, nullptr, nullptr, 0, 0); });
        ASSERT_TRUE(run.Stop(0, 5000));
        EXPECT_EQ(run.core().stopRounds, (std::vector<long>{0}));
    }
    SetEvent(g_jobRelease);
    for (int i = 0; i < 500 && !g_jobEnded; ++i) Sleep(10);
    CloseHandle(g_jobRelease);

    Running<> idle;
    ASSERT_TRUE(idle.WaitRun(VQB_RUN_CREATED2));
    ASSERT_TRUE(idle.Stop(15000, 5000));
    EXPECT_EQ(idle.core().stopRounds, (std::vector<long>{7}));
    EXPECT_EQ(log().Count("There is no JobThread. Starts end processing."), 1);
}

TEST_F(ThdMsgCore, TimersTickAndTheEleventhIsRefused) {
    Running<> run;
    ASSERT_TRUE(run.WaitRun(VQB_RUN_CREATED2));
    std::vector<short> results;
    run.OnLoop([&] {
        for (int i = 0; i < 9; ++i) results.push_back(run.core().SetTimer(80, 1000000));
        results.push_back(run.core().SetTimer(81, 1000000));
    });
    EXPECT_EQ(results, (std::vector<short>{0, 0, 0, 0, 0, 0, 0, 0, 0, -1}));
    LogLine line;
    ASSERT_TRUE(log().WaitFor("There is no opening of a timer table.", 1000, &line));
    EXPECT_EQ(line.errorCode, 81u);
    EXPECT_EQ(line.eventCode, 7000);
    run.OnLoop([&] { run.core().KillTimer(80u); });
    EXPECT_EQ(run.core().UsedTimers(), 1);

    // A fast timer: ticks count up and carry the local time; killing it on the procedure's
    // own thread is prompt even while a tick waits to be handled.
    std::vector<WPARAM> ticks;
    std::vector<WORD> years;
    {
        std::lock_guard<std::mutex> lock(Probe::m);
        Probe::t.clear();
        Probe::y.clear();
    }
    run.core().RegistMsgProcHandler(83, Probe::Tick);
    run.OnLoop([&] { run.core().SetTimer(83, 20); });
    Sleep(300);
    run.OnLoop([&] {
        Sleep(100);  // a tick is now waiting for us
        run.core().KillTimer(83u);
    });
    EXPECT_EQ(log().Count("Deletion of a TimerThread was overdue."), 0);
    {
        std::lock_guard<std::mutex> lock(Probe::m);
        ticks = Probe::t;
        years = Probe::y;
    }
    ASSERT_GE(ticks.size(), 3u);
    for (size_t i = 0; i < ticks.size(); ++i) EXPECT_EQ(ticks[i], i);
    SYSTEMTIME now;
    GetLocalTime(&now);
    for (WORD y : years) EXPECT_EQ(y, now.wYear);
}

TEST_F(ThdMsgCore, SystemTimerCallsItsMinuteWorkEverySixthTick) {
    TestCore core;
    SYSTEMTIME st{};
    for (WPARAM tick = 0; tick <= 12; ++tick) core.OnSysTimer(tick, reinterpret_cast<LPARAM>(&st));
    EXPECT_EQ(core.sys60, (std::vector<long>{0, 1, 2}));
}

TEST_F(ThdMsgCore, JobPipeNameQueueDirectoryAndNumbersFromTheRegistry) {
    const std::string pc = PcName();
    struct Case {
        const char* pipe;
        const char* server;
        std::string expected;
    } cases[] = {
        {"taskctrl", pc.c_str(), "\\\\.\\PIPE\\taskctrl"},
        {"taskctrl", "SRV1", "\\\\SRV1\\PIPE\\taskctrl"},
        {nullptr, "SRV1", "\\\\.\\PIPE\\taskctrl"},
    };
    for (const auto& c : cases) {
        ClearSystemKey();
        if (c.pipe) SetSystemValue("PIPE_NAME", c.pipe);
        SetSystemValue("SERVER_NAME", c.server);
        SetSystemValue("QUE_DIR", "d:\\que");
        SetSystemNumber("CONNECT CONFIRM DELAY", 2000);
        SetSystemValue("NETWORK_ID", "NET7");
        TestCore core;
        ASSERT_EQ(core.InitProc(), 0);
        EXPECT_EQ(core.GetJobPipeName(), c.expected) << (c.pipe ? c.pipe : "(none)") << " " << c.server;
        EXPECT_STREQ(core.GetQueDir(), "d:\\que\\");
        EXPECT_EQ(core.GetConnectConfirmDelay(), 2000u);
        EXPECT_STREQ(core.GetNetworkId(), "NET7");
        CAplLog::Close();
    }
    // Without the pipe name its failed read is logged with the registry's message.
    EXPECT_GE(log().Count("PIPE_NAME"), 1);
}

TEST_F(ThdMsgCore, VersionCheckComparesMajorAndMinorAfterTheDash) {
    struct Case {
        const char* header;
        bool differs;
    } cases[] = {
        {"R06.03.00-60.0.0", false},
        {"R06.03.00-61.0.0", true},
        {"R05.00.00-60.0.0", false},
        {"R06.03.00-60.0", false},
        {"R06.03.00-60.1.0", true},
        {"R06.03.00-60", false},
    };
    for (const auto& c : cases) {
        log().Start();
        TestCore core;
        core.version = c.header;
        ASSERT_EQ(core.InitProc(), 0);
        EXPECT_EQ(log().Count("vqblib different version."), c.differs ? 1 : 0) << c.header;
        if (c.differs) {
            EXPECT_EQ(log().Count(std::string("vqblib different version.  DLL:R06.03.00-60.0.0  Header:") + c.header),
                      1);
        }
        CAplLog::Close();
    }
}

TEST_F(ThdMsgCore, StartBannerAndRunStates) {
    Running<> run;
    ASSERT_TRUE(run.started());
    ASSERT_TRUE(run.WaitRun(VQB_RUN_CREATED2));
    EXPECT_EQ(log().Count("*****  Start Process  unit  "), 1);
    EXPECT_EQ(log().Count("start ThreadMessageProcedure"), 1);
    // Nothing serves the job pipe: the core says so and keeps going.
    EXPECT_TRUE(log().WaitFor("A JobPipe is not found. taskctrl is not started", 5000));
    VQBThdSendMsg(VQBMSG_PROCESS_PAUSE, 0, 0);
    EXPECT_EQ(run.core().GetStopFlag(), 1);
    VQBThdSendMsg(VQBMSG_PROCESS_CONTINUE, 0, 0);
    EXPECT_EQ(run.core().GetStopFlag(), 0);
    VQBThdSendMsg(VQBMSG_JOB_LOCK, 0, 0);
    EXPECT_EQ(run.core().GetLockFlag(), 1);
    VQBThdSendMsg(VQBMSG_JOB_UNLOCK, 0, 0);
    EXPECT_EQ(run.core().GetLockFlag(), 0);
    ASSERT_TRUE(run.Stop(0));
    EXPECT_EQ(CVQBThdMsg::m_fRun.load(), VQB_RUN_CLOSED);
    EXPECT_EQ(log().Count("End ThreadMessageProcedure."), 1);
}
