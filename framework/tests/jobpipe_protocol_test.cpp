// The process core's connection protocol against a small controller in the same process:
// start notice, loop-back confirmation, re-connection after a lost loop-back, a broken
// pipe or a missing controller, stop notices, system requests over the pipe, and the
// forwarding of application-log records.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "framework/jobpipedata.h"
#include "framework/namedpipe.h"
#include "framework/tests/thdmsg_test_util.h"
#include "pblock/exparam.h"

using namespace thdmsgtest;

namespace {

std::string Trim(const std::string& s) { return s.substr(0, s.find_last_not_of(' ') + 1); }

std::string Words(const CJobPipeData& r) {
    return Trim(r.GetStrSJob1()) + " " + Trim(r.GetStrSJob2()) + " " + Trim(r.GetStrSJob3());
}

// Serves one client at a time: keeps every record, returns loop-backs, and can drop the
// connection or answer nothing.
class Controller {
public:
    explicit Controller(const std::string& name) : name_(name) { thread_ = std::thread([this] { Serve(); }); }
    ~Controller() {
        stop_ = true;
        {
            std::lock_guard<std::mutex> lock(pipeMutex_);
            if (pipe_) pipe_->Close();
        }
        thread_.join();
    }
    std::atomic<bool> loopback{true};

    void Drop() {
        std::lock_guard<std::mutex> lock(pipeMutex_);
        if (pipe_) pipe_->Close();
    }
    long Send(const CJobPipeData& record) {
        std::lock_guard<std::mutex> lock(pipeMutex_);
        return pipe_ ? pipe_->Write(static_cast<const ASCII_REQUEST*>(record), 4096, 5000) : -2;
    }
    std::vector<CJobPipeData> Records() {
        std::lock_guard<std::mutex> lock(mutex_);
        return records_;
    }
    int Count(const std::string& words, const std::string& param = "") {
        int n = 0;
        for (const auto& r : Records())
            if (Words(r) == words && std::string(r.GetExParam()).find(param) != std::string::npos) ++n;
        return n;
    }
    bool WaitFor(const std::string& words, const std::string& param = "", int occurrences = 1, int timeoutMs = 10000) {
        for (int waited = 0; waited < timeoutMs; waited += 10) {
            if (Count(words, param) >= occurrences) return true;
            Sleep(10);
        }
        return false;
    }
    int Connections() const { return connections_; }

private:
    void Serve() {
        while (!stop_) {
            auto pipe = std::make_shared<CNamedPipe>();
            if (pipe->Create(name_.c_str(), 65536) != 0) return;
            {
                std::lock_guard<std::mutex> lock(pipeMutex_);
                pipe_ = pipe;
            }
            long r;
            while ((r = pipe->Connect(100)) == 258 && !stop_) {
            }
            if (stop_) break;
            if (r != 0 && r != 535) continue;
            ++connections_;
            std::vector<char> buffer(4096);
            while (!stop_ && pipe->Read(buffer.data(), 4096, INFINITE) == 0) {
                CJobPipeData record(reinterpret_cast<const ASCII_REQUEST*>(buffer.data()));
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    records_.push_back(record);
                }
                const bool toItself = std::string(record.GetDstProcessName()) == record.GetSrcProcessName();
                if (toItself && loopback) pipe->Write(buffer.data(), 4096, 5000);
            }
            std::lock_guard<std::mutex> lock(pipeMutex_);
            pipe_->Close();
            pipe_.reset();
        }
    }

    std::string name_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::mutex mutex_;
    std::vector<CJobPipeData> records_;
    std::mutex pipeMutex_;
    std::shared_ptr<CNamedPipe> pipe_;
};

class JobPipeProtocol : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        pipeName_ = std::string("proto_") + testing::UnitTest::GetInstance()->current_test_info()->name();
        SetSystemValue("PIPE_NAME", pipeName_.c_str());
        SetSystemNumber("CONNECT CONFIRM DELAY", 1000);
        setenv("VQ_JOBPIPE_DELAY_DIVISOR", "10", 1);
    }
    void TearDown() override {
        unsetenv("VQ_JOBPIPE_DELAY_DIVISOR");
        CoreTest::TearDown();
    }
    std::string FullName() const { return "\\\\.\\PIPE\\" + pipeName_; }
    std::string pipeName_;
};

}  // namespace

TEST_F(JobPipeProtocol, StartNoticeLoopbackAndConfirmation) {
    Controller controller(FullName());
    Running<> run;
    ASSERT_TRUE(run.started());
    ASSERT_TRUE(controller.WaitFor("FWSYSTEM FWNOTIFY FWTASKSTAR"));
    ASSERT_TRUE(log().WaitFor("OK connect confirm", 10000));
    EXPECT_EQ(log().Count("Received FWSYSTEM-FWNOTIFY-FWCONNECT. ct=1:1"), 1);
    EXPECT_EQ(run.core().GetNotifyFlag(), 2);
    // Log lines forwarded to the controller ("apllog") may come in between, on a slow
    // machine even before the notice: the protocol's own records are the subject here.
    auto records = controller.Records();
    std::erase_if(records, [](const auto& r) { return std::string(r.GetDstProcessName()) == "apllog"; });
    ASSERT_GE(records.size(), 2u);
    // The start notice names the process and its service; the loop-back carries the counter.
    EXPECT_STREQ(records[0].GetDstProcessName(), "taskctrl");
    EXPECT_STREQ(records[0].GetSrcProcessName(), "unit");
    EXPECT_NE(std::string(records[0].GetExParam()).find("#TASK_NAME=\"unit\""), std::string::npos);
    EXPECT_EQ(Words(records[1]), "FWSYSTEM FWNOTIFY FWCONNECT");
    EXPECT_STREQ(records[1].GetDstProcessName(), "unit");
    EXPECT_STREQ(records[1].GetExParam(), "#COUNTER=1\n");
    // No connect notice to the message manager with flags value 2.
    EXPECT_EQ(controller.Count("FWMESSAGE FWSERVICE FWCONNECT"), 0);

    ASSERT_TRUE(run.Stop(0));
    EXPECT_TRUE(controller.WaitFor("FWSYSTEM FWNOTIFY FWTASKSTOP"));
    EXPECT_EQ(controller.Count("FWMESSAGE FWSERVICE FWDISCONNE"), 0);
}

TEST_F(JobPipeProtocol, AMissingLoopbackMakesItConnectAgainWithTheNextCounter) {
    Controller controller(FullName());
    controller.loopback = false;
    Running<> run;
    ASSERT_TRUE(log().WaitFor("Not Receive FWSYSTEM-FWNOTIFY-FWCONNECT. Request JobPipe re-connect", 10000));
    ASSERT_TRUE(controller.WaitFor("FWSYSTEM FWNOTIFY FWCONNECT", "#COUNTER=2", 1, 10000));
    controller.loopback = true;
    ASSERT_TRUE(log().WaitFor("OK connect confirm", 10000));
    EXPECT_GE(controller.Count("FWSYSTEM FWNOTIFY FWTASKSTAR"), 2);
}

TEST_F(JobPipeProtocol, ABrokenPipeIsReopened) {
    Controller controller(FullName());
    Running<> run;
    ASSERT_TRUE(log().WaitFor("OK connect confirm", 10000));
    controller.Drop();
    ASSERT_TRUE(log().WaitFor("It succeeded in re-connection of a JobPipe", 10000));
    EXPECT_EQ(log().Count("Request JobPipe re-connection."), 1);
    EXPECT_TRUE(controller.WaitFor("FWSYSTEM FWNOTIFY FWTASKSTAR", "", 2));
    EXPECT_EQ(controller.Connections(), 2);
}

TEST_F(JobPipeProtocol, WithoutAControllerItRetriesWithGrowingDelays) {
    class Core : public TestCore {
    public:
        long JobPipeOpen(long delay) override {
            {
                std::lock_guard<std::mutex> lock(m);
                delays.push_back(delay);
            }
            return TestCore::JobPipeOpen(delay);
        }
        std::mutex m;
        std::vector<long> delays;
    };
    setenv("VQ_JOBPIPE_DELAY_DIVISOR", "100", 1);
    Running<Core> run(std::make_unique<Core>());
    LogLine line;
    ASSERT_TRUE(log().WaitFor("A JobPipe is not found. taskctrl is not started", 5000, &line));
    EXPECT_EQ(line.errorCode, 2u);
    EXPECT_EQ(line.eventCode, 7000);
    for (int i = 0; i < 500; ++i) {
        std::lock_guard<std::mutex> lock(run.core().m);
        if (run.core().delays.size() >= 5) break;
        Sleep(10);
    }
    {
        std::lock_guard<std::mutex> lock(run.core().m);
        ASSERT_GE(run.core().delays.size(), 5u);
        EXPECT_EQ(std::vector<long>(run.core().delays.begin(), run.core().delays.begin() + 5),
                  (std::vector<long>{5000, 10000, 15000, 20000, 25000}));
    }
    // A controller that comes later is found by the next retry.
    Controller controller(FullName());
    EXPECT_TRUE(log().WaitFor("It succeeded in re-connection of a JobPipe", 10000));
}

TEST_F(JobPipeProtocol, SystemRequestsOverThePipeAreAnswered) {
    Controller controller(FullName());
    Running<> run;
    ASSERT_TRUE(log().WaitFor("OK connect confirm", 10000));
    CJobPipeData query;
    query.SetSDA("", "", "unit", "", "CTL", "probe");
    query.SetSJob(CMD1_FWSYSTEM, CMD2_FWQUERY, CMD3_FWCONNECT);
    query.SetSerialNo(17);
    query.SetAns(1);
    ASSERT_EQ(controller.Send(query), 0);
    ASSERT_TRUE(controller.WaitFor("FWSYSTEM FWQUERY FWCONNECT"));
    CJobPipeData answer;
    for (const auto& r : controller.Records())
        if (Words(r) == "FWSYSTEM FWQUERY FWCONNECT") answer = r;
    EXPECT_TRUE(answer.GetExcl() & JOB_EXCL_ANSWER);
    EXPECT_EQ(answer.GetSData1(), 0);
    EXPECT_EQ(answer.GetSerialNo(), 17u);
    EXPECT_STREQ(answer.GetDstProcessName(), "probe");
    EXPECT_STREQ(answer.GetSrcProcessName(), "unit");

    // A request for another process is dropped; an unknown one for us is answered 8000.
    CJobPipeData other = query;
    other.SetSDA("", "", "nobody", "", "CTL", "probe");
    other.SetSerialNo(18);
    controller.Send(other);
    CJobPipeData unknown = query;
    unknown.SetSJob(3, 0, 0);
    unknown.SetSerialNo(19);
    controller.Send(unknown);
    ASSERT_TRUE(log().WaitFor("Received unknown JobPipeData", 5000));
    for (int i = 0; i < 200; ++i) {
        bool seen = false;
        for (const auto& r : controller.Records())
            if (r.GetSerialNo() == 19 && (r.GetExcl() & JOB_EXCL_ANSWER)) {
                EXPECT_EQ(r.GetSData1(), 8000);
                seen = true;
            }
        if (seen) break;
        Sleep(10);
    }
    for (const auto& r : controller.Records()) {
        EXPECT_NE(r.GetSerialNo(), 18u);
    }

    // FWSYSTEM FWEXITAPL FWSDOWN stops the process.
    CJobPipeData down = query;
    down.SetSJob(CMD1_FWSYSTEM, CMD2_FWEXITAPL, CMD3_FWSDOWN);
    down.SetSerialNo(20);
    controller.Send(down);
    EXPECT_TRUE(log().WaitFor("There is no JobThread. Starts end processing.", 10000));
}

TEST_F(JobPipeProtocol, LogRecordsAreForwardedByLevelAndEveryRecordArrivesWhole) {
    Controller controller(FullName());
    Running<> run;
    ASSERT_TRUE(log().WaitFor("OK connect confirm", 10000));
    CAplLog::Write(0, 0, 0, "Test::Forward", "forward me", 2);
    ASSERT_TRUE(controller.WaitFor("FWAPLLOG FWLOG FWSERVICE", "forward me"));
    for (const auto& r : controller.Records()) {
        if (Words(r) == "FWAPLLOG FWLOG FWSERVICE") {
            EXPECT_STREQ(r.GetDstProcessName(), "apllog");
        }
    }

    // The decision on its own: level 3 forwards level 5 only with an event code.
    auto forwarded = [&](WORD code, LONG level, const char* text) {
        CVQBThdMsg::AplLogWriteHandler2(code, 0, 0, "Test::Level", "head,", text, level);
        Sleep(50);
        return controller.Count("FWAPLLOG FWLOG FWSERVICE", text) > 0;
    };
    EXPECT_FALSE(forwarded(0, 5, "lv5 code0"));
    EXPECT_TRUE(forwarded(7000, 5, "lv5 code7000"));
    run.OnLoop([&] {
        CJobPipeData req;
        req.SetExParam("#BEGIN\n#LEVEL=1\n#END\n");
        run.core().ReqSystemLogRequest(req);
    });
    EXPECT_EQ(run.core().GetLogLevel(), 1);
    EXPECT_FALSE(forwarded(0, 2, "lv2 code0 at 1"));
    EXPECT_FALSE(forwarded(7000, 5, "lv5 code7000 at 1"));

    // Eight threads of requests while every log line is forwarded too.
    run.OnLoop([&] {
        CJobPipeData req;
        req.SetExParam("#BEGIN\n#LEVEL=3\n#END\n");
        run.core().ReqSystemLogRequest(req);
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) {
                char text[64];
                std::snprintf(text, sizeof text, "#BEGIN\n#T=%d\n#I=%d\n#END\n", t, i);
                run.core().SendRequest("", "other", 3, 0, 0, 0, text);
                if (i % 50 == 0) CAplLog::Write(0, 0, 0, "Test::Busy", "busy line", 2);
            }
        });
    for (auto& th : threads) th.join();
    std::set<std::pair<int, int>> seen;
    for (int waited = 0; waited < 30000 && seen.size() < 4000; waited += 50) {
        seen.clear();
        for (const auto& r : controller.Records()) {
            if (std::string(r.GetDstProcessName()) != "other") continue;
            CExParam p;
            p = r.GetExParam();
            LONG t = -1, i = -1;
            p.Get("#T", t);
            p.Get("#I", i);
            seen.insert({t, i});
        }
        if (seen.size() < 4000) Sleep(50);
    }
    EXPECT_EQ(seen.size(), 4000u);
    EXPECT_EQ(controller.Count("FWAPLLOG FWLOG FWSERVICE", "busy line"), 80);
}
