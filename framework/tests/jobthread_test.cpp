// Job threads in a running process core: requests sent to the process itself are routed
// to non-resident and resident jobs and answered through local delivery; failures become
// answer codes; a resident job is restarted after an exception; the request table of a
// job; the job-thread table's limits and its start time-out.
#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <stdexcept>

#include "framework/jobthread.h"
#include "framework/serialnorcv.h"
#include "framework/tests/thdmsg_test_util.h"
#include "pblock/exparam.h"

using namespace thdmsgtest;

namespace {

// Third command words (with FWSYSTEM FWWATCH) of the test map.
constexpr short kWordPlain = 22;     // FWCHECK: non-resident job, answers #CODE
constexpr short kWordBlock = 16;     // FWCREATE: non-resident job that waits for the gate
constexpr short kWordResident = 47;  // FWREAD: resident job
constexpr short kWordRqt = 34;       // FWSEND: job that uses the request table
constexpr short kWordSlow = 17;      // FWDELETE: routine that starts late

HANDLE g_Gate = nullptr;
std::atomic<int> g_BusyFirstCalls{0};
std::atomic<int> g_ResidentStarts{0};

struct RqtOutcome {
    std::atomic<bool> done{false};
    long result = 0;
    long extra = 0;
    std::vector<SHORT> states;
    long elapsedMs = 0;
    std::string error;
} g_Rqt;

struct DispOutcome {
    std::atomic<bool> done{false};
    long result = 0;
    WORD rerror = 0;
} g_Disp;

LONG Param(CJobPipeData& request, const char* key, LONG fallback = 0) {
    CExParam param;
    param = request.GetExParam();
    LONG value = fallback;
    if (param.Get(key, value) < 0) return fallback;
    return value;
}

std::string Block(std::initializer_list<std::pair<const char*, LONG>> values) {
    CExParam param;
    param.Begin();
    for (const auto& [key, value] : values) param.Put(key, value);
    param.End();
    return static_cast<const char*>(param);
}

class PlainJob final : public CJobThread {
public:
    using CJobThread::CJobThread;
    long Initialize() override { return Param(m_Request, "#INITFAIL") ? -1 : 0; }
    long Process() override {
        if (Param(m_Request, "#THROW")) throw CVQBException("EPS_FatalError", "PlainJob", "thrown");
        if (Param(m_Request, "#WAITSTOP")) CVQBException::ThrowStopExceptionIfRequired(60000);
        if (Param(m_Request, "#TWICE")) {
            SetAnswer(8000);
            SetAnswer(7003);
        }
        if (Param(m_Request, "#BUSYFIRST") && g_BusyFirstCalls++ == 0) SetAnswer(7003);
        if (Param(m_Request, "#DISP")) {
            g_Disp.result = DispMsgWindow(5, 0, "message", "title", "icon", 0);
            g_Disp.rerror = GetRerror();
            g_Disp.done = true;
            return 0;
        }
        SetAnswer(static_cast<WORD>(Param(m_Request, "#CODE")));
        return 0;
    }
};

class BlockJob final : public CJobThread {
public:
    using CJobThread::CJobThread;
    long Process() override {
        WaitForSingleObject(g_Gate, 60000);
        return 0;
    }
};

class ResidentJob final : public CJobThread {
public:
    using CJobThread::CJobThread;
    long RegidentInitialize() override {
        ++g_ResidentStarts;
        return 0;
    }
    long Process() override {
        if (Param(m_Request, "#THROW")) throw std::runtime_error("resident");
        if (LONG ms = Param(m_Request, "#SLEEP")) Sleep(static_cast<DWORD>(ms));
        SetAnswer(static_cast<WORD>(Param(m_Request, "#CODE")));
        return 0;
    }
};

// Sends requests to the plain job of its own process through the request table.
class RqtJob final : public CJobThread {
public:
    using CJobThread::CJobThread;
    long Process() override {
        const LONG mode = Param(m_Request, "#MODE");
        std::vector<long> serials;
        auto send = [&](const std::string& text) {
            const long serial = RegistSerialNo();
            serials.push_back(serial);
            return RQTSendRequest(GetPcName(), GetProcessName(), CMD1_FWSYSTEM, 13, kWordPlain, serial, text.c_str());
        };
        const auto start = std::chrono::steady_clock::now();
        if (mode == 1) {
            send(Block({{"#CODE", 0}}));
            send(Block({{"#CODE", 8000}}));
        } else if (mode == 2) {
            send(Block({{"#BUSYFIRST", 1}}));
        } else {
            for (int i = 0; i < kRequestTblSize; ++i)
                if (send(Block({{"#CODE", 0}})) != 0) g_Rqt.error = "send failed";
        }
        g_Rqt.result = RQTRcvAnswer(120000, nullptr);
        g_Rqt.elapsedMs = static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
        for (long s : serials) g_Rqt.states.push_back(RQTGetState(s));
        if (mode == 1) g_Rqt.extra = RQTGetRerror(serials[1]);
        if (mode == 3) g_Rqt.extra = send(Block({{"#CODE", 0}}));
        g_Rqt.done = true;
        return 0;
    }
};

template <class Job>
DWORD WINAPI Routine(LPVOID p) {
    return JobThreadRoutine<Job>(p);
}

DWORD WINAPI SlowRoutine(LPVOID p) {
    Sleep(1500);
    return Routine<PlainJob>(p);
}

const SJOB_MAP_TBL kMap[] = {
    {0, 0, CMD1_FWSYSTEM, 13, kWordPlain, Routine<PlainJob>, nullptr, nullptr},
    {0, 0, CMD1_FWSYSTEM, 13, kWordBlock, Routine<BlockJob>, nullptr, nullptr},
    {0, SJOB_FLAG_RESIDENT, CMD1_FWSYSTEM, 13, kWordResident, Routine<ResidentJob>, nullptr, nullptr},
    {0, 0, CMD1_FWSYSTEM, 13, kWordRqt, Routine<RqtJob>, nullptr, nullptr},
    {0, 0, CMD1_FWSYSTEM, 13, kWordSlow, SlowRoutine, nullptr, nullptr},
    {1, 0, 0, 0, 0, nullptr, nullptr, nullptr},
};

class JobCore : public TestCore {
public:
    JobCore() : TestCore("jobunit") {}
    void MakeSjobTbl() override { m_pSjobMapTbl = kMap; }
};

// A requester on the test's thread: sends to the own process and waits for answers.
class Client {
public:
    explicit Client(CVQBThdMsg& core) : core_(core) {}
    long Send(short w1, short w2, short w3, const std::string& text, bool answer = true) {
        const long serial = answer ? rcv_.Regist() : 0;
        CJobPipeData record;
        record.SetSDA(core_.GetNetworkId(), core_.GetPcName(), core_.GetProcessName(), core_.GetNetworkId(),
                      core_.GetPcName(), core_.GetProcessName());
        record.SetSJob(w1, w2, w3);
        record.SetSerialNo(static_cast<DWORD>(serial));
        record.SetAns(answer ? 1 : 0);
        record.SetExParam(text.c_str());
        char* copy = new char[4096];
        std::memcpy(copy, static_cast<const ASCII_REQUEST*>(record), 4096);
        VQBThdPostMsg(VQBMSG_JOB_RECEIVED, 0, reinterpret_cast<LPARAM>(copy));
        return serial;
    }
    long Job(short w3, const std::string& text, bool answer = true) {
        return Send(CMD1_FWSYSTEM, 13, w3, text, answer);
    }
    // The answer's code, or -1 when none came in time.
    long Answer(long serial, DWORD timeoutMs = 30000) {
        char* data = nullptr;
        const int r = rcv_.Receive(&data, static_cast<WORD>(serial), timeoutMs);
        if (r <= 0) return -1;
        CJobPipeData answer(reinterpret_cast<const ASCII_REQUEST*>(data));
        delete[] data;
        rcv_.Unregist(static_cast<WORD>(serial));
        return answer.GetSData1();
    }
    long Call(short w3, const std::string& text) { return Answer(Job(w3, text)); }

private:
    CVQBThdMsg& core_;
    CSerialNoRcv rcv_;
};

class JobThreads : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        g_Gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        g_BusyFirstCalls = 0;
        g_ResidentStarts = 0;
        g_Rqt.done = false;
        g_Rqt.states.clear();
        g_Rqt.error.clear();
        g_Disp.done = false;
    }
    void TearDown() override {
        SetEvent(g_Gate);
        CloseHandle(g_Gate);
        CoreTest::TearDown();
    }
    static int Threads(Running<JobCore>& run) {
        int n = 0;
        run.OnLoop([&] { n = run.core().GetJobThdCtrl().GetJobThdNum(); });
        return n;
    }
    static bool WaitThreads(Running<JobCore>& run, int n, int timeoutMs = 30000) {
        for (int waited = 0; waited < timeoutMs; waited += 20) {
            if (Threads(run) == n) return true;
            Sleep(20);
        }
        return false;
    }
    static bool WaitFlagFor(const std::function<bool()>& done, int timeoutMs = 10000) {
        for (int waited = 0; waited < timeoutMs; waited += 20) {
            if (done()) return true;
            Sleep(20);
        }
        return false;
    }
    template <class T>
    static bool WaitFlag(const std::atomic<T>& flag, int timeoutMs) {
        for (int waited = 0; waited < timeoutMs; waited += 20) {
            if (flag) return true;
            Sleep(20);
        }
        return false;
    }
};

TEST_F(JobThreads, NonResidentJobsTurnFailuresIntoAnswerCodes) {
    Running<JobCore> run(std::make_unique<JobCore>());
    ASSERT_TRUE(run.WaitRun(VQB_RUN_CREATED2));
    Client client(run.core());

    EXPECT_EQ(client.Call(kWordPlain, Block({{"#CODE", 0}})), 0);
    EXPECT_EQ(client.Call(kWordPlain, Block({{"#CODE", 7100}})), 7100);
    EXPECT_TRUE(log().WaitFor("Start JobThread    <<<"));
    EXPECT_TRUE(log().WaitFor("End   JobThread    <<<"));

    EXPECT_EQ(client.Call(kWordPlain, Block({{"#INITFAIL", 1}})), 7000);
    EXPECT_GE(log().Count("error Initialize"), 1);
    EXPECT_EQ(log().Count("The return value of reply data is 0 having failed. It sets return value as WARNING."), 1);

    EXPECT_EQ(client.Call(kWordPlain, Block({{"#THROW", 1}})), 8000);
    // The first code set wins.
    EXPECT_EQ(client.Call(kWordPlain, Block({{"#TWICE", 1}})), 8000);

    // A stop during processing answers 7000.
    const long serial = client.Job(kWordPlain, Block({{"#WAITSTOP", 1}}));
    ASSERT_TRUE(log().WaitFor("Start JobThread", 10000, nullptr, 7));
    Sleep(100);
    CVQBException::SetStopSignal();
    // The resident job ends on the same signal. A wait of ours would throw while it is raised.
    EXPECT_TRUE(WaitThreads(run, 0));
    CVQBException::ResetStopSignal();
    EXPECT_EQ(client.Answer(serial), 7000);
}

TEST_F(JobThreads, TheThousandAndFirstConcurrentJobIsBusy) {
    Running<JobCore> run(std::make_unique<JobCore>());
    ASSERT_TRUE(run.WaitRun(VQB_RUN_CREATED2));
    Client client(run.core());
    // One slot holds the resident job.
    for (int i = 0; i < CJobThdCtrl::kSlots - 1; ++i) client.Job(kWordBlock, "", false);
    ASSERT_TRUE(WaitThreads(run, CJobThdCtrl::kSlots, 120000));
    EXPECT_EQ(client.Call(kWordPlain, ""), 7003);
    EXPECT_EQ(log().Count("There is no opening of an JobThread."), 1);
    SetEvent(g_Gate);
    EXPECT_TRUE(WaitThreads(run, 1, 120000));
    EXPECT_EQ(client.Call(kWordPlain, ""), 0);
}

TEST_F(JobThreads, PauseOfLevelTwoWhileAJobRunsIsBusy) {
    Running<JobCore> run(std::make_unique<JobCore>());
    ASSERT_TRUE(run.WaitRun(VQB_RUN_CREATED2));
    Client client(run.core());
    client.Job(kWordBlock, "", false);
    ASSERT_TRUE(WaitThreads(run, 2));
    EXPECT_EQ(client.Answer(client.Send(CMD1_FWSYSTEM, CMD2_FWSERVICE, CMD3_FWPAUSE, Block({{"#LEVEL", 2}}))), 7003);
    EXPECT_EQ(run.core().GetQuietPauseFlag(), 0);
    SetEvent(g_Gate);
    EXPECT_TRUE(WaitThreads(run, 1));
}

TEST_F(JobThreads, ResidentJobTakesRequestAfterRequestAndIsBusyMeanwhile) {
    Running<JobCore> run(std::make_unique<JobCore>());
    ASSERT_TRUE(run.WaitRun(VQB_RUN_CREATED2));
    ASSERT_TRUE(log().WaitFor("Create residence JobThread"));
    Client client(run.core());
    // The answer may overtake the job's readiness for the next request: busy is retried.
    for (int i = 0; i < 5; ++i) {
        long code = JOB_RESULT_BUSY;
        for (int tries = 0; tries < 100 && code == JOB_RESULT_BUSY; ++tries) {
            if (tries) Sleep(20);
            code = client.Call(kWordResident, Block({{"#CODE", 100 + i}}));
        }
        EXPECT_EQ(code, 100 + i);
    }
    EXPECT_EQ(log().Count("Start Request      <<<"), 5);
    ASSERT_TRUE(WaitFlagFor([&] {
        SHORT active = 1;
        run.OnLoop([&] { active = run.core().GetJobThdCtrl().IsActive(Routine<ResidentJob>); });
        return active == 0;
    }));

    const long first = client.Job(kWordResident, Block({{"#SLEEP", 1500}, {"#CODE", 1}}));
    const long second = client.Job(kWordResident, Block({{"#CODE", 2}}));
    EXPECT_EQ(client.Answer(second), 7003);
    EXPECT_EQ(client.Answer(first), 1);
    EXPECT_EQ(g_ResidentStarts, 1);
}

TEST_F(JobThreads, ResidentJobThatThrowsIsStartedAgainButNotAfterAStop) {
    const std::string key = "SOFTWARE\\QIR\\VQ FRAMEWORK\\jobunit";
    HKEY hkey;
    DWORD disposition;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hkey,
                              &disposition),
              ERROR_SUCCESS);
    DWORD one = 1;
    RegSetValueExA(hkey, "REJOBTH EXCP RETRY TIMER", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one);
    RegCloseKey(hkey);
    {
        Running<JobCore> run(std::make_unique<JobCore>());
        ASSERT_TRUE(run.WaitRun(VQB_RUN_CREATED2));
        Client client(run.core());
        EXPECT_EQ(client.Call(kWordResident, Block({{"#THROW", 1}})), 8000);
        LogLine line;
        ASSERT_TRUE(log().WaitFor("Create residence JobThread", 15000, &line, 2));
        EXPECT_EQ(line.function, "CVQBThdMsg::OnCreateResidentJobThread");
        // The core logs the start once the thread has its slot; the job counts itself a
        // moment later, in its own initialisation.
        EXPECT_TRUE(WaitFlagFor([] { return g_ResidentStarts == 2; })) << g_ResidentStarts;
        EXPECT_EQ(client.Call(kWordResident, Block({{"#CODE", 5}})), 5);

        // Ended by the stop signal while it waits: not started again.
        CVQBException::SetStopSignal();
        ASSERT_TRUE(WaitThreads(run, 0));
        Sleep(2500);
        EXPECT_EQ(g_ResidentStarts, 2);
        EXPECT_EQ(log().Count("Create residence JobThread"), 2);
    }
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_ALL_ACCESS, &hkey) == ERROR_SUCCESS) {
        RegDeleteValueA(hkey, "REJOBTH EXCP RETRY TIMER");
        RegCloseKey(hkey);
    }
}

TEST_F(JobThreads, RequestTableKeepsResultsOfEachEntry) {
    Running<JobCore> run(std::make_unique<JobCore>());
    ASSERT_TRUE(run.WaitRun(VQB_RUN_CREATED2));
    Client client(run.core());
    client.Job(kWordRqt, Block({{"#MODE", 1}}), false);
    ASSERT_TRUE(WaitFlag(g_Rqt.done, 60000));
    EXPECT_EQ(g_Rqt.result, 0);
    ASSERT_EQ(g_Rqt.states.size(), 2u);
    EXPECT_EQ(g_Rqt.states[0], RQT_STATE_DONE);
    EXPECT_EQ(g_Rqt.states[1], RQT_STATE_FAILED);
    EXPECT_EQ(g_Rqt.extra, 8000);
}

TEST_F(JobThreads, RequestTableWaitsForAllSixtyFourAndRefusesASixtyFifth) {
    Running<JobCore> run(std::make_unique<JobCore>());
    ASSERT_TRUE(run.WaitRun(VQB_RUN_CREATED2));
    Client client(run.core());
    client.Job(kWordRqt, Block({{"#MODE", 3}}), false);
    ASSERT_TRUE(WaitFlag(g_Rqt.done, 120000));
    EXPECT_EQ(g_Rqt.error, "");
    EXPECT_EQ(g_Rqt.result, 0);
    ASSERT_EQ(g_Rqt.states.size(), 64u);
    for (SHORT s : g_Rqt.states) EXPECT_EQ(s, RQT_STATE_DONE);
    EXPECT_EQ(g_Rqt.extra, -1);
    EXPECT_EQ(log().Count("There is no opening in RequestTbl."), 1);
}

TEST_F(JobThreads, RequestAnsweredBusyIsSentAgainAfterTheResendPause) {
    Running<JobCore> run(std::make_unique<JobCore>());
    ASSERT_TRUE(run.WaitRun(VQB_RUN_CREATED2));
    Client client(run.core());
    client.Job(kWordRqt, Block({{"#MODE", 2}}), false);
    ASSERT_TRUE(WaitFlag(g_Rqt.done, 60000));
    EXPECT_EQ(g_Rqt.result, 0);
    EXPECT_EQ(g_BusyFirstCalls, 2);
    ASSERT_EQ(g_Rqt.states.size(), 1u);
    EXPECT_EQ(g_Rqt.states[0], RQT_STATE_DONE);
    EXPECT_GE(g_Rqt.elapsedMs, 9500);
}

TEST_F(JobThreads, MessageWindowForARequesterWithoutPcFails) {
    Running<JobCore> run(std::make_unique<JobCore>());
    ASSERT_TRUE(run.WaitRun(VQB_RUN_CREATED2));
    CJobPipeData record;
    record.SetSDA(run.core().GetNetworkId(), run.core().GetPcName(), run.core().GetProcessName(),
                  run.core().GetNetworkId(), "", "someone");
    record.SetSJob(CMD1_FWSYSTEM, 13, kWordPlain);
    record.SetExParam(Block({{"#DISP", 1}}).c_str());
    char* copy = new char[4096];
    std::memcpy(copy, static_cast<const ASCII_REQUEST*>(record), 4096);
    VQBThdPostMsg(VQBMSG_JOB_RECEIVED, 0, reinterpret_cast<LPARAM>(copy));
    ASSERT_TRUE(WaitFlag(g_Disp.done, 30000));
    EXPECT_EQ(g_Disp.result, -1);
    EXPECT_EQ(g_Disp.rerror, 8000);
    EXPECT_EQ(log().Count("a requiring agency is the broadcloth cast."), 1);
}

// A thread that misses its start time keeps its slot until it ends, and its requester
// gets one answer only.
TEST_F(JobThreads, LateJobKeepsItsSlotUntilItEnds) {
    Running<JobCore> run(std::make_unique<JobCore>());
    ASSERT_TRUE(run.WaitRun(VQB_RUN_CREATED2));
    run.OnLoop([&] { run.core().GetJobThdCtrl().SetCreateConfirmTime(200); });
    Client client(run.core());
    const long serial = client.Job(kWordSlow, Block({{"#CODE", 0}}));
    EXPECT_EQ(client.Answer(serial), 8000);
    EXPECT_EQ(log().Count("It cannot take an JobThread and a synchronization."), 1);
    EXPECT_EQ(Threads(run), 2);
    ASSERT_TRUE(log().WaitFor("End   JobThread"));
    EXPECT_TRUE(WaitThreads(run, 1));
    EXPECT_EQ(client.Answer(serial, 1000), -1);
}

class CreateConfirmTimer : public CoreTest {
protected:
    DWORD Read(const DWORD* value) {
        for (const auto& path : SystemKeys()) {
            HKEY key;
            if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) continue;
            RegDeleteValueA(key, "JOBTHREAD_CREATE_CONFIRM_TIMER");
            RegCloseKey(key);
        }
        if (value) SetSystemNumber("JOBTHREAD_CREATE_CONFIRM_TIMER", *value);
        auto ctrl = std::make_unique<CJobThdCtrl>();
        ctrl->Open(nullptr, "net", "pc", "proc", "server", "service");
        const DWORD result = ctrl->GetCreateConfirmTime();
        Read2Clean();
        return result;
    }
    void Read2Clean() {
        for (const auto& path : SystemKeys()) {
            HKEY key;
            if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) continue;
            RegDeleteValueA(key, "JOBTHREAD_CREATE_CONFIRM_TIMER");
            RegCloseKey(key);
        }
    }
};

TEST_F(CreateConfirmTimer, IsClampedToItsRange) {
    const DWORD low = 5000, high = 5000000, mid = 45000;
    EXPECT_EQ(Read(&low), 30000u);
    EXPECT_EQ(Read(&high), 1200000u);
    EXPECT_EQ(Read(&mid), 45000u);
    EXPECT_EQ(Read(nullptr), 180000u);
}

}  // namespace
