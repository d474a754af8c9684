// The task controller as a real child process of the test's machine root, with raw
// clients of its job pipe and its control pipe.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <thread>

#include "pal/service/service.h"
#include "standins/taskctrl/tests/harness.h"

namespace taskctrl_test {
namespace {

const Who kSample{"NET1", "PC01", "sample"};
const Who kOther{"NET1", "PC01", "other"};
const Who kThird{"NET2", "PC02", "third"};

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Waits until the answer to a control command contains part.
bool WaitControl(const std::string& command, const std::string& part, int timeoutMs = 20000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!Has(Control(command), part)) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

std::string Bytes(const CJobPipeData& r) {
    return std::string(reinterpret_cast<const char*>(static_cast<const ASCII_REQUEST*>(r)), 4096);
}
std::string Bytes(const RawClient& c) { return std::string(c.last().data(), 4096); }

class TaskCtrl : public ControllerTest {};

TEST_F(TaskCtrl, TwoClientsExchangeARequestAndItsAnswerAndIdentitiesAreLearned) {
    Start();
    Peer a(kSample), b(kOther);
    ASSERT_TRUE(WaitClient("sample"));
    ASSERT_TRUE(WaitClient("other"));

    CJobPipeData request = MakeRecord(kSample, kOther, "FWSYSTEM", "FWQUERY", "FWCONNECT", 1, 0x2a,
                                      "#BEGIN\n#KEY=1\n#END");
    ASSERT_EQ(a.pipe.Write(request), 0u);
    CJobPipeData got;
    ASSERT_EQ(b.pipe.Read(got), 0u);
    EXPECT_EQ(Bytes(b.pipe), Bytes(request)) << "delivered byte for byte";

    ASSERT_EQ(b.pipe.Write(got.Req2Ans(0)), 0u);
    ASSERT_EQ(a.pipe.Read(got), 0u);
    EXPECT_TRUE(got.GetExcl() & JOB_EXCL_ANSWER);
    EXPECT_EQ(got.GetSerialNo(), 0x2au);
    EXPECT_EQ(got.GetSData1(), 0);
    EXPECT_STREQ(got.GetSrcProcessName(), "other");

    // Both named with PC and network id, records in and out counted.
    EXPECT_TRUE(WaitControl("clients", "\tsample\tPC01\tNET1\t2\t1\t0\t-")) << Control("clients");
    EXPECT_TRUE(WaitControl("clients", "\tother\tPC01\tNET1\t2\t1\t0\t-")) << Control("clients");
    EXPECT_EQ(Control("clients").rfind("ok 2\n", 0), 0u) << Control("clients");

    // The latest record's source names the client: a record to the new name reaches it.
    ASSERT_EQ(a.pipe.Write(MakeRecord({"NET9", "PC09", "renamed"}, kOther, "FWSYSTEM", "FWNOTIFY", "FWSTART")), 0u);
    ASSERT_EQ(b.pipe.Read(got), 0u);
    EXPECT_TRUE(WaitControl("clients", "\trenamed\tPC09\tNET9\t"));
    EXPECT_FALSE(Has(Control("clients"), "\tsample\t"));
    ASSERT_EQ(b.pipe.Write(MakeRecord(kOther, {"NET9", "", "renamed"}, "FWSYSTEM", "FWNOTIFY", "FWSTART")), 0u);
    ASSERT_EQ(a.pipe.Read(got), 0u);
    EXPECT_STREQ(got.GetDstProcessName(), "renamed");

    EXPECT_TRUE(WaitJournal({" in from sample#", "| src NET1/PC01/sample | dst NET1/PC01/other | excl 00 ans 1 serial 42"
                             " | FWSYSTEM FWQUERY FWCONNECT | param(18) \"#BEGIN\\n#KEY=1\\n#END\""}))
        << Journal();
    EXPECT_TRUE(WaitJournal({" out to other#", "FWSYSTEM FWQUERY FWCONNECT"})) << Journal();
    EXPECT_TRUE(WaitJournal({" out to sample#", "| result 0 |"})) << Journal();
    EXPECT_TRUE(WaitJournal({" own from sample#", "(task start)", "FWSYSTEM FWNOTIFY FWTASKSTAR"})) << Journal();
    EXPECT_EQ(tc_->Stop(), 0);
}

TEST_F(TaskCtrl, EmptyDestinationNamesMatchEveryClientTheSenderIncluded) {
    Start();
    Peer a(kSample), b(kOther), c(kThird);
    for (const char* p : {"sample", "other", "third"}) ASSERT_TRUE(WaitClient(p));
    CJobPipeData got;

    ASSERT_EQ(a.pipe.Write(MakeRecord(kSample, {"", "", ""}, "FWSYSTEM", "FWNOTIFY", "FWSTART", 0, 1)), 0u);
    for (Peer* p : {&a, &b, &c}) {
        ASSERT_EQ(p->pipe.Read(got), 0u) << p->who.process;
        EXPECT_EQ(got.GetSerialNo(), 1u);
    }
    // Only the PC named.
    ASSERT_EQ(a.pipe.Write(MakeRecord(kSample, {"", "PC01", ""}, "FWSYSTEM", "FWNOTIFY", "FWSTART", 0, 2)), 0u);
    for (Peer* p : {&a, &b}) {
        ASSERT_EQ(p->pipe.Read(got), 0u) << p->who.process;
        EXPECT_EQ(got.GetSerialNo(), 2u);
    }
    // Only the network named: not the sender this time.
    ASSERT_EQ(a.pipe.Write(MakeRecord(kSample, {"NET2", "", ""}, "FWSYSTEM", "FWNOTIFY", "FWSTART", 0, 3)), 0u);
    ASSERT_EQ(c.pipe.Read(got), 0u);
    EXPECT_EQ(got.GetSerialNo(), 3u);
    // The process named, on the wrong PC: nobody.
    ASSERT_EQ(a.pipe.Write(MakeRecord(kSample, {"", "PC02", "other"}, "FWSYSTEM", "FWNOTIFY", "FWSTART", 0, 4)), 0u);
    EXPECT_TRUE(a.pipe.Quiet(500));
    EXPECT_TRUE(b.pipe.Quiet(500)) << "b got serial " << got.GetSerialNo();
    EXPECT_TRUE(c.pipe.Quiet(500));
    EXPECT_TRUE(WaitJournal({"unrouted from sample#", "(no receiver)", "serial 4"})) << Journal();
    EXPECT_EQ(tc_->Stop(), 0);
}

TEST_F(TaskCtrl, OwnLoopBackComesBackUnlessLoopbackIsOff) {
    Start();
    Peer a(kSample), b(kOther);
    ASSERT_TRUE(WaitClient("sample"));
    ASSERT_TRUE(WaitClient("other"));
    auto loopback = [&](int counter) {
        return MakeRecord(kSample, kSample, "FWSYSTEM", "FWNOTIFY", "FWCONNECT", 0, 0,
                          "#COUNTER=" + std::to_string(counter));
    };
    CJobPipeData got;
    ASSERT_EQ(a.pipe.Write(loopback(1)), 0u);
    ASSERT_EQ(a.pipe.Read(got), 0u);
    EXPECT_EQ(Bytes(a.pipe), Bytes(loopback(1)));

    EXPECT_EQ(Control("loopback off"), "ok loopback off");
    ASSERT_EQ(a.pipe.Write(loopback(2)), 0u);
    EXPECT_TRUE(a.pipe.Quiet(1000)) << got.GetExParam();
    EXPECT_TRUE(WaitJournal({"held back (loopback off) from sample#", "#COUNTER=2"})) << Journal();
    // Only the process's own notice is held back: the same words from another still arrive.
    ASSERT_EQ(b.pipe.Write(MakeRecord(kOther, kSample, "FWSYSTEM", "FWNOTIFY", "FWCONNECT", 0, 0, "#COUNTER=9")),
              0u);
    ASSERT_EQ(a.pipe.Read(got), 0u);
    EXPECT_STREQ(got.GetExParam(), "#COUNTER=9");

    EXPECT_EQ(Control("LOOPBACK on"), "ok loopback on");
    ASSERT_EQ(a.pipe.Write(loopback(3)), 0u);
    ASSERT_EQ(a.pipe.Read(got), 0u);
    EXPECT_STREQ(got.GetExParam(), "#COUNTER=3");
    EXPECT_EQ(tc_->Stop(), 0);
}

TEST_F(TaskCtrl, ARequestNobodyReceivesIsAnswered7002OnlyWhenItWantsAnAnswer) {
    Start();
    Peer a(kSample);
    ASSERT_TRUE(WaitClient("sample"));
    const Who ghost{"NET1", "PC01", "ghost"};
    CJobPipeData got;

    ASSERT_EQ(a.pipe.Write(MakeRecord(kSample, ghost, "FWSYSTEM", "FWQUERY", "FWCONNECT", 1, 0x123, "#X=1")), 0u);
    ASSERT_EQ(a.pipe.Read(got), 0u);
    EXPECT_EQ(got.GetExcl(), JOB_EXCL_ANSWER);
    EXPECT_EQ(got.GetAns(), 0);
    EXPECT_EQ(got.GetSData1(), 7002);
    EXPECT_EQ(got.GetSerialNo(), 0x123u);
    EXPECT_STREQ(got.GetSrcProcessName(), "ghost");
    EXPECT_STREQ(got.GetDstProcessName(), "sample");
    EXPECT_STREQ(got.GetExParam(), "#X=1");
    EXPECT_TRUE(WaitJournal({"answered 7002 to sample#", "| result 7002 |"})) << Journal();

    // No answer wanted, or an answer itself: nothing comes back.
    ASSERT_EQ(a.pipe.Write(MakeRecord(kSample, ghost, "FWSYSTEM", "FWQUERY", "FWCONNECT", 0, 0x124)), 0u);
    // An answer from a to ghost.
    CJobPipeData answer = MakeRecord(ghost, kSample, "FWSYSTEM", "FWQUERY", "FWCONNECT", 1, 0x125).Req2Ans(0);
    ASSERT_EQ(a.pipe.Write(answer), 0u);
    EXPECT_TRUE(a.pipe.Quiet(1000)) << "serial " << got.GetSerialNo();
    EXPECT_TRUE(WaitJournal({"unrouted from sample#", "serial 293"})) << Journal();
    EXPECT_TRUE(WaitJournal({"unrouted from sample#", "serial 292"})) << Journal();
    EXPECT_EQ(tc_->Stop(), 0);
}

TEST_F(TaskCtrl, RecordsForTheControllerAreJournaledAndAnsweredWhenAsked) {
    Start();
    Peer a(kSample), b(kOther);
    ASSERT_TRUE(WaitClient("sample"));
    ASSERT_TRUE(WaitClient("other"));
    CJobPipeData got;
    // The start notices wanted no answer.
    EXPECT_TRUE(a.pipe.Quiet(300));
    ASSERT_EQ(a.pipe.Write(MakeRecord(kSample, {"", "", "taskctrl"}, "FWSYSTEM", "FWQUERY", "FWCONNECT", 1, 5)), 0u);
    ASSERT_EQ(a.pipe.Read(got), 0u);
    EXPECT_EQ(got.GetExcl(), JOB_EXCL_ANSWER);
    EXPECT_EQ(got.GetSData1(), 0);
    EXPECT_EQ(got.GetSerialNo(), 5u);
    EXPECT_STREQ(got.GetSrcProcessName(), "taskctrl");

    a.Notice("FWTASKSTOP");
    EXPECT_TRUE(WaitControl("clients", "\tsample\tPC01\tNET1\t3\t1\t0\tstopping")) << Control("clients");
    EXPECT_TRUE(WaitJournal({"own from sample#", "(task stop: the client is stopping)"})) << Journal();
    EXPECT_TRUE(b.pipe.Quiet(500)) << "records to the controller are nobody else's";
    EXPECT_EQ(tc_->Stop(), 0);
}

TEST_F(TaskCtrl, TheDisconnectControlBreaksTheClientsPipe) {
    Start();
    Peer a(kSample), b(kOther);
    ASSERT_TRUE(WaitClient("sample"));
    ASSERT_TRUE(WaitClient("other"));
    CJobPipeData got;
    EXPECT_EQ(a.pipe.Read(got, 200), static_cast<DWORD>(WAIT_TIMEOUT)) << "a read is pending";
    EXPECT_EQ(Control("disconnect sample"), "ok 1 disconnected");
    EXPECT_EQ(a.pipe.Read(got), static_cast<DWORD>(ERROR_BROKEN_PIPE));
    EXPECT_TRUE(WaitJournal({"disconnect sample#", "(dropped by the disconnect control)"})) << Journal();
    EXPECT_TRUE(WaitControl("clients", "ok 1\n"));
    EXPECT_EQ(Control("disconnect sample"), "error: no client sample");

    // The other client goes on, and the name can connect again.
    ASSERT_EQ(b.pipe.Write(MakeRecord(kOther, kOther, "FWSYSTEM", "FWNOTIFY", "FWCONNECT")), 0u);
    ASSERT_EQ(b.pipe.Read(got), 0u);
    Peer again(kSample);
    ASSERT_TRUE(WaitClient("sample"));
    ASSERT_EQ(b.pipe.Write(MakeRecord(kOther, kSample, "FWSYSTEM", "FWNOTIFY", "FWSTART")), 0u);
    ASSERT_EQ(again.pipe.Read(got), 0u);
    EXPECT_EQ(tc_->Stop(), 0);
}

TEST_F(TaskCtrl, SplitDeliveryArrivesInSeveralReadsButWhole) {
    Start();
    Peer a(kSample), b(kOther);
    ASSERT_TRUE(WaitClient("sample"));
    ASSERT_TRUE(WaitClient("other"));
    EXPECT_EQ(Control("split other 4"), "ok 1 split");
    EXPECT_EQ(Control("split other 0").rfind("error: ", 0), 0u);
    EXPECT_EQ(Control("split nobody 2"), "error: no client nobody");

    std::string param = "#BEGIN\n" + std::string(3000, 'p') + "\n#END";
    CJobPipeData first = MakeRecord(kSample, kOther, "FWSYSTEM", "FWNOTIFY", "FWSTART", 0, 1, param);
    CJobPipeData second = MakeRecord(kSample, kOther, "FWSYSTEM", "FWNOTIFY", "FWSTART", 0, 2, param);
    ASSERT_EQ(a.pipe.Write(first), 0u);
    ASSERT_EQ(a.pipe.Write(second), 0u);
    CJobPipeData got;
    int reads = 0;
    ASSERT_EQ(b.pipe.Read(got, 20000, &reads), 0u);
    EXPECT_GE(reads, 2) << "the pieces came apart";
    EXPECT_EQ(Bytes(b.pipe), Bytes(first));
    ASSERT_EQ(b.pipe.Read(got), 0u);
    EXPECT_EQ(Bytes(b.pipe), Bytes(second)) << "the next record starts on its boundary";
    EXPECT_EQ(tc_->Stop(), 0);
}

TEST_F(TaskCtrl, AStalledClientsRecordsWaitUntilItIsResumed) {
    Start();
    Peer a(kSample), b(kOther);
    ASSERT_TRUE(WaitClient("sample"));
    ASSERT_TRUE(WaitClient("other"));
    EXPECT_EQ(Control("stall sample on"), "ok 1 stalled");
    EXPECT_TRUE(Has(Control("clients"), "\tsample\tPC01\tNET1\t1\t0\t0\tstalled"));
    for (DWORD serial = 1; serial <= 3; ++serial)
        ASSERT_EQ(a.pipe.Write(MakeRecord(kSample, kOther, "FWSYSTEM", "FWNOTIFY", "FWSTART", 0, serial)), 0u);
    CJobPipeData got;
    EXPECT_TRUE(b.pipe.Quiet(1000)) << "serial " << got.GetSerialNo();
    // Others are still heard.
    ASSERT_EQ(b.pipe.Write(MakeRecord(kOther, kOther, "FWSYSTEM", "FWNOTIFY", "FWCONNECT", 0, 7)), 0u);
    ASSERT_EQ(b.pipe.Read(got), 0u);
    EXPECT_EQ(got.GetSerialNo(), 7u);

    EXPECT_EQ(Control("stall sample off"), "ok 1 resumed");
    for (DWORD serial = 1; serial <= 3; ++serial) {
        ASSERT_EQ(b.pipe.Read(got), 0u);
        EXPECT_EQ(got.GetSerialNo(), serial);
    }
    EXPECT_EQ(tc_->Stop(), 0);
}

// 8 threads write 200 records each to one sink, each on its own connection or all on one
// (as the threads of one framework process share its job pipe); the sink must get every
// record whole, and each writer's in the order written.
void EightWritersToOneSink(bool oneConnection) {
    const Who sinkWho{"NET1", "PC01", "sink"};
    Peer sink(sinkWho);
    ASSERT_TRUE(WaitClient("sink"));
    constexpr int kWriters = 8, kRecords = 200;
    auto param = [](int writer, int n) {
        // Lengths vary, so the records' texts differ in more than a number.
        return "#BEGIN\n#W=" + std::to_string(writer) + "\n#N=" + std::to_string(n) + "\n#PAD=" +
               std::string(static_cast<size_t>((writer * 131 + n * 17) % 3000), static_cast<char>('a' + writer)) +
               "\n#END";
    };
    std::unique_ptr<Peer> shared;
    if (oneConnection) shared = std::make_unique<Peer>(Who{"NET1", "PC01", "shared"});
    std::vector<std::thread> writers;
    std::atomic<int> failures{0};
    std::atomic<bool> done{false};
    // Joined on every way out, a failed assertion included.
    struct Joiner {
        std::vector<std::thread>& threads;
        std::atomic<bool>& done;
        ~Joiner() {
            done = true;
            for (auto& t : threads)
                if (t.joinable()) t.join();
        }
    } joiner{writers, done};
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            Who who{"NET1", "PC01", "w" + std::to_string(w)};
            std::unique_ptr<Peer> own;
            if (!oneConnection) own = std::make_unique<Peer>(who);
            RawClient& pipe = oneConnection ? shared->pipe : own->pipe;
            for (int n = 1; n <= kRecords; ++n)
                if (pipe.Write(MakeRecord(who, sinkWho, "FWSYSTEM", "FWNOTIFY", "FWSTART", 0, static_cast<DWORD>(n),
                                          param(w, n))) != 0)
                    ++failures;
            // Stay connected until the sink has everything: leaving is not part of this test.
            while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        });
    }
    std::map<std::string, int> last;
    int received = 0;
    for (; received < kWriters * kRecords; ++received) {
        CJobPipeData got;
        DWORD e = sink.pipe.Read(got, 60000);
        ASSERT_EQ(e, 0u) << "after " << received << " records";
        std::string from = got.GetSrcProcessName();
        ASSERT_EQ(from.size(), 2u);
        int w = from[1] - '0';
        int n = static_cast<int>(got.GetSerialNo());
        EXPECT_EQ(n, last[from] + 1) << from;
        last[from] = n;
        ASSERT_STREQ(got.GetExParam(), param(w, n).c_str()) << from << " " << n;
    }
    EXPECT_EQ(received, kWriters * kRecords);
    EXPECT_EQ(failures, 0);
}

TEST_F(TaskCtrl, EightWritersOfTwoHundredRecordsEachAllArriveWholeAndInOrder) {
    Start();
    EightWritersToOneSink(false);
    EXPECT_EQ(tc_->Stop(), 0);
}

TEST_F(TaskCtrl, EightThreadsSharingOneConnectionGetEveryRecordThroughWhole) {
    Start();
    EightWritersToOneSink(true);
    EXPECT_EQ(tc_->Stop(), 0);
}

TEST_F(TaskCtrl, SigtermAndTheStopControlEndItWithExitZero) {
    Start();
    {
        Peer a(kSample), b(kOther);
        ASSERT_TRUE(WaitClient("sample"));
        ASSERT_TRUE(WaitClient("other"));
        EXPECT_EQ(Control("stall sample on"), "ok 1 stalled");
        CJobPipeData got;
        EXPECT_EQ(b.pipe.Read(got, 200), static_cast<DWORD>(WAIT_TIMEOUT));
        EXPECT_EQ(tc_->Stop(SIGTERM), 0);
        EXPECT_EQ(b.pipe.Read(got), static_cast<DWORD>(ERROR_BROKEN_PIPE));
        EXPECT_TRUE(Has(Journal(), " stop\n")) << Journal();
    }
    // The service's stop control, as vqsc sends it.
    Start();
    Peer a(kSample);
    ASSERT_TRUE(WaitClient("sample"));
    SERVICE_STATUS status;
    DWORD error = 0;
    ASSERT_TRUE(pal::service::SendControl("taskctrl", SERVICE_CONTROL_STOP, status, error)) << error;
    EXPECT_EQ(tc_->WaitExit(), 0);
}

TEST_F(TaskCtrl, ASecondControllerOnTheSameRootIsRefused) {
    Start();
    Controller second;
    std::string output;
    for (std::string line; !(line = second.child().ReadLine(20000)).empty();) output += line + "\n";
    EXPECT_EQ(second.WaitExit(), 1);
    EXPECT_TRUE(Has(output, "1056")) << output;
    // The first one still serves.
    Peer a(kSample);
    ASSERT_TRUE(WaitClient("sample"));
    EXPECT_EQ(tc_->Stop(), 0);
}

VQ_CHILD(half_record_writer) {
    RawClient pipe;
    if (pipe.Open() != 0) return 1;
    Who me{"NET1", "PC01", "victim"};
    pipe.Write(MakeRecord(me, {"", "", "taskctrl"}, "FWSYSTEM", "FWNOTIFY", "FWTASKSTAR"));
    CJobPipeData r = MakeRecord(me, kOther, "FWSYSTEM", "FWNOTIFY", "FWSTART", 0, 99);
    pipe.WriteBytes(static_cast<const ASCII_REQUEST*>(r), 2000);
    vqtest::Tell("half");
    Sleep(120000);
    return 0;
}

TEST_F(TaskCtrl, AClientKilledInTheMiddleOfARecordDisturbsNoOther) {
    Start();
    Peer a(kSample), b(kOther);
    ASSERT_TRUE(WaitClient("sample"));
    ASSERT_TRUE(WaitClient("other"));
    vqtest::ChildProcess victim("half_record_writer");
    ASSERT_TRUE(victim.Expect("half", 20000));
    ASSERT_TRUE(WaitClient("victim"));
    victim.Kill(SIGKILL);
    victim.Wait();
    EXPECT_TRUE(WaitJournal({"disconnect victim#", "a partial record of 2000 bytes was discarded"})) << Journal();

    CJobPipeData got;
    for (DWORD serial = 1; serial <= 3; ++serial) {
        ASSERT_EQ(a.pipe.Write(MakeRecord(kSample, kOther, "FWSYSTEM", "FWNOTIFY", "FWSTART", 0, serial)), 0u);
        ASSERT_EQ(b.pipe.Read(got), 0u);
        EXPECT_EQ(got.GetSerialNo(), serial) << "nothing of the victim's half record";
    }
    EXPECT_TRUE(WaitControl("clients", "ok 2\n"));
    EXPECT_EQ(tc_->Stop(), 0);
}

TEST_F(TaskCtrl, AClientThatDoesNotReadLosesOnlyItsOwnRecords) {
    SetRegString(kOwnKey, "QUEUE_LIMIT", "4");
    SetRegString(kOwnKey, "QUEUE_WAIT", "0");  // drop at once instead of slowing the sender
    Start();
    Peer a(kSample), b(kOther), mute({"NET1", "PC01", "mute"});
    for (const char* p : {"sample", "other", "mute"}) ASSERT_TRUE(WaitClient(p));
    // Far more than the pipe holds; the controller keeps reading a all the same.
    std::string param(3000, 'm');
    for (DWORD n = 1; n <= 600; ++n)
        ASSERT_EQ(a.pipe.Write(MakeRecord(kSample, mute.who, "FWSYSTEM", "FWNOTIFY", "FWSTART", 0, n % 4000, param)),
                  0u)
            << n;
    ASSERT_EQ(a.pipe.Write(MakeRecord(kSample, kOther, "FWSYSTEM", "FWNOTIFY", "FWSTART", 0, 4001)), 0u);
    CJobPipeData got;
    ASSERT_EQ(b.pipe.Read(got, 30000), 0u);
    EXPECT_EQ(got.GetSerialNo(), 4001u & 0xfffu);
    EXPECT_TRUE(WaitJournal({"dropped for mute#", "(its queue holds 4 records)"})) << Journal().substr(0, 4000);
    EXPECT_TRUE(WaitControl("clients", "\tmute\tPC01\tNET1\t1\t")) << Control("clients");
    // Stopping with a write to mute still pending.
    EXPECT_EQ(tc_->Stop(), 0);
}

TEST_F(TaskCtrl, AFullQueueSlowsTheSenderInsteadOfDropping) {
    SetRegString(kOwnKey, "QUEUE_LIMIT", "2");
    SetRegString(kOwnKey, "QUEUE_WAIT", "20000");
    Start();
    Peer a(kSample), slow({"NET1", "PC01", "slow"});
    for (const char* p : {"sample", "slow"}) ASSERT_TRUE(WaitClient(p));
    // The slow client reads late; meanwhile the controller holds the sender back.
    std::thread writer([&] {
        for (DWORD n = 1; n <= 200; ++n)
            ASSERT_EQ(a.pipe.Write(MakeRecord(kSample, slow.who, "FWSYSTEM", "FWNOTIFY", "FWSTART", 0, n)), 0u) << n;
    });
    Sleep(500);
    CJobPipeData got;
    for (DWORD n = 1; n <= 200; ++n) {
        ASSERT_EQ(slow.pipe.Read(got, 30000), 0u) << n;
        EXPECT_EQ(got.GetSerialNo(), n);
    }
    writer.join();
    EXPECT_FALSE(Has(Journal(), "dropped for slow#"));
}

TEST_F(TaskCtrl, TheJournalRotatesAtItsSizeLimit) {
    SetRegString(kOwnKey, "JOURNAL_SIZE", "8192");
    Start();
    Peer a(kSample);
    ASSERT_TRUE(WaitClient("sample"));
    CJobPipeData got;
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(a.pipe.Write(MakeRecord(kSample, kSample, "FWSYSTEM", "FWNOTIFY", "FWCONNECT", 0, 0,
                                          "#COUNTER=" + std::to_string(i))),
                  0u);
        ASSERT_EQ(a.pipe.Read(got), 0u);
    }
    EXPECT_TRUE(WaitJournal({"out to sample#", "#COUNTER=39"}));
    struct stat st;
    ASSERT_EQ(stat((JournalPath() + ".1").c_str(), &st), 0) << "rotated";
    EXPECT_LE(st.st_size, 8192);
    ASSERT_EQ(stat(JournalPath().c_str(), &st), 0);
    EXPECT_LE(st.st_size, 8192);
    // One line per event, each beginning with its time.
    std::string line = JournalLines({"in from sample#", "#COUNTER=39"}).at(0);
    EXPECT_EQ(line.size() > 24 && line[4] == '-' && line[10] == ' ' && line[19] == '.', true) << line;
    EXPECT_TRUE(Has(line, " | src NET1/PC01/sample | dst NET1/PC01/sample | excl 00 ans 0 serial 0 |"
                          " FWSYSTEM FWNOTIFY FWCONNECT | param(11) \"#COUNTER=39\""))
        << line;
    EXPECT_EQ(tc_->Stop(), 0);
}

// A message-mode client of the control pipe that reads with a time-out.
class Watcher {
public:
    Watcher() {
        event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        h_ = CreateFileA((JobPipe() + ".ctl").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
        DWORD mode = PIPE_READMODE_MESSAGE;
        if (h_ != INVALID_HANDLE_VALUE) SetNamedPipeHandleState(h_, &mode, nullptr, nullptr);
    }
    ~Watcher() {
        if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
        CloseHandle(event_);
    }
    bool Send(const std::string& text) {
        OVERLAPPED ov = {};
        ov.hEvent = event_;
        DWORD n = 0;
        if (!WriteFile(h_, text.data(), static_cast<DWORD>(text.size()), nullptr, &ov) &&
            GetLastError() != ERROR_IO_PENDING)
            return false;
        return GetOverlappedResult(h_, &ov, &n, TRUE) && n == text.size();
    }
    // The next message, "" after the time-out.
    std::string Next(DWORD timeoutMs = 20000) {
        std::string message;
        for (;;) {
            char buffer[256];
            OVERLAPPED ov = {};
            ov.hEvent = event_;
            ResetEvent(event_);
            DWORD n = 0;
            DWORD error = ReadFile(h_, buffer, sizeof buffer, nullptr, &ov) ? 0 : GetLastError();
            if (error != 0 && error != ERROR_IO_PENDING && error != ERROR_MORE_DATA) return "";
            if (error == ERROR_IO_PENDING && WaitForSingleObject(event_, timeoutMs) != WAIT_OBJECT_0) {
                CancelIoEx(h_, &ov);
                GetOverlappedResult(h_, &ov, &n, TRUE);
                return "";
            }
            BOOL ok = GetOverlappedResult(h_, &ov, &n, FALSE);
            message.append(buffer, n);
            if (ok) return message;
            if (GetLastError() != ERROR_MORE_DATA) return "";
        }
    }

private:
    HANDLE h_, event_;
};

TEST_F(TaskCtrl, TheControlPipeAnswersEveryCommandAndWatchesRecords) {
    Start();
    EXPECT_EQ(Control("clients"), "ok 0");
    EXPECT_EQ(Control("help").rfind("ok commands:\n", 0), 0u);
    EXPECT_EQ(Control("frobnicate"), "error: unknown command 'frobnicate' (help lists the commands)");
    EXPECT_EQ(Control("stall sample maybe").rfind("error: unknown command", 0), 0u);
    EXPECT_EQ(Control(std::string(5000, 'x')), "error: a command is at most 4096 bytes");

    Watcher w;
    ASSERT_TRUE(w.Send("watch"));
    EXPECT_EQ(w.Next(), "ok watching");
    Peer a(kSample);
    std::string line;
    for (int i = 0; i < 10 && !Has(line, "own from sample#"); ++i) line = w.Next();
    EXPECT_TRUE(Has(line, "own from sample#")) << line;
    EXPECT_TRUE(Has(line, "FWSYSTEM FWNOTIFY FWTASKSTAR")) << line;
    EXPECT_EQ(tc_->Stop(), 0);
}

}  // namespace
}  // namespace taskctrl_test
