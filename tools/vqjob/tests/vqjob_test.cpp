// vqjob against a real task controller (a child process of the test's machine root) and a
// tiny responder: a raw job-pipe client that answers every request it gets.
#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "standins/taskctrl/tests/harness.h"
#include "tools/vqjob/cli.h"

namespace {

using namespace taskctrl_test;

using Result = vqtest::ProgramResult;
Result Vqjob(const std::vector<std::string>& args) { return vqtest::RunProgram(VQ_TOOL_BIN, args, 60000); }

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Answers each request that wants an answer with the code its "#CODE=" line names (0 when
// none); keeps the requests it saw. With answer false it only listens.
class Responder {
public:
    Responder(const std::string& process, bool answer = true, const std::string& pipe = JobPipe())
        : peer_(Who{"", "PC77", process}, pipe), answer_(answer) {
        thread_ = std::thread([this] { Serve(); });
    }
    ~Responder() {
        stop_ = true;
        thread_.join();
    }
    std::vector<CJobPipeData> Seen() {
        std::lock_guard<std::mutex> lock(mu_);
        return seen_;
    }

private:
    void Serve() {
        while (!stop_) {
            CJobPipeData got;
            if (peer_.pipe.Read(got, 100) != 0) continue;
            {
                std::lock_guard<std::mutex> lock(mu_);
                seen_.push_back(got);
            }
            if (!answer_ || got.GetAns() == 0 || (got.GetExcl() & JOB_EXCL_ANSWER)) continue;
            std::string param = got.GetExParam();
            auto at = param.find("#CODE=");
            WORD code = at == std::string::npos ? 0 : static_cast<WORD>(std::atoi(param.c_str() + at + 6));
            CJobPipeData answer = got.Req2Ans(code);
            // A framework process answers under its own names.
            answer.SetSDA(nullptr, nullptr, nullptr, peer_.who.net.c_str(), peer_.who.pc.c_str(),
                          peer_.who.process.c_str());
            peer_.pipe.Write(answer);
        }
    }

    Peer peer_;
    bool answer_;
    std::atomic<bool> stop_{false};
    std::mutex mu_;
    std::vector<CJobPipeData> seen_;
    std::thread thread_;
};

class VqjobTest : public ControllerTest {};

// ---- the command line, without a controller ------------------------------------------

TEST(VqjobCli, ParameterTextsAndSendArguments) {
    EXPECT_EQ(vqjob::Unescape("#BEGIN\\n#KEY=1\\n#END"), "#BEGIN\n#KEY=1\n#END");
    EXPECT_EQ(vqjob::Unescape("a\\\\nb\\tc\\"), "a\\nb\\tc\\") << "\\\\ is one backslash; others stay";

    vqjob::SendRequest r;
    EXPECT_EQ(vqjob::ParseSend({"sample", "fwsystem", "FWQUERY", "FWCONNECT", "--pc", "PC01", "--wait", "3",
                                "--param", "#A=1\\n"},
                               r),
              "");
    EXPECT_EQ(r.process, "sample");
    EXPECT_EQ(r.words[0], "FWSYSTEM");
    EXPECT_EQ(r.pc, "PC01");
    EXPECT_EQ(r.waitSeconds, 3);
    EXPECT_EQ(r.param, "#A=1\n");

    vqjob::SendRequest bad;
    EXPECT_NE(vqjob::ParseSend({"sample", "FWSYSTEM", "FWQUERY"}, bad), "");
    EXPECT_NE(vqjob::ParseSend({"toolongname", "A", "B", "C"}, bad), "");
    EXPECT_NE(vqjob::ParseSend({"p", "ELEVENCHARS", "B", "C"}, bad), "");
    EXPECT_NE(vqjob::ParseSend({"p", "A", "B", "C", "--wait", "-1"}, bad), "");
    EXPECT_NE(vqjob::ParseSend({"p", "A", "B", "C", "--wait"}, bad), "");
    EXPECT_NE(vqjob::ParseSend({"p", "A", "B", "C", "--pc", "A234567890123456"}, bad), "");
    EXPECT_NE(vqjob::ParseSend({"p", "A", "B", "C", "--param", std::string(3933, 'x')}, bad), "");
    EXPECT_NE(vqjob::ParseSend({"p", "A", "B", "C", "--frob"}, bad), "");
}

TEST(VqjobCli, TheRequestCarriesTheSendersNamesAndWantsAnAnswer) {
    vqjob::SendRequest r;
    ASSERT_EQ(vqjob::ParseSend({"sample", "FWSYSTEM", "FWQUERY", "FWCONNECT", "--param", "#X=1"}, r), "");
    std::string source = vqjob::SourceProcessName();
    EXPECT_LE(source.size(), 8u);
    EXPECT_EQ(source.rfind("vqjob", 0), 0u);
    CJobPipeData wire(static_cast<const ASCII_REQUEST*>(vqjob::BuildRequest(r, source, "MYPC", "NET5", 999)));
    EXPECT_STREQ(wire.GetDstProcessName(), "sample");
    EXPECT_STREQ(wire.GetDstPcName(), "") << "any PC unless --pc";
    EXPECT_STREQ(wire.GetDstNetworkId(), "NET5");
    EXPECT_STREQ(wire.GetSrcProcessName(), source.c_str());
    EXPECT_STREQ(wire.GetSrcPcName(), "MYPC");
    EXPECT_STREQ(wire.GetSrcNetworkId(), "NET5");
    EXPECT_EQ(wire.GetAns(), 1);
    EXPECT_EQ(wire.GetExcl(), 0);
    EXPECT_EQ(wire.GetSerialNo(), 999u);
    EXPECT_EQ(wire.GetIdCode(), 1008006u);
    EXPECT_STREQ(wire.GetExParam(), "#X=1");
}

TEST(VqjobCli, UsageErrorsExitTwo) {
    EXPECT_EQ(Vqjob({}).status, 2);
    EXPECT_EQ(Vqjob({"frob"}).status, 2);
    Result r = Vqjob({"send", "sample", "FWSYSTEM"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(Has(r.err, "usage: vqjob send")) << r.err;
    EXPECT_EQ(Vqjob({"clients", "extra"}).status, 2);
    EXPECT_EQ(Vqjob({"ctl"}).status, 2);
    Result help = Vqjob({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(Has(help.out, "vqjob watch")) << help.out;
}

// ---- against the controller ------------------------------------------------------------

TEST_F(VqjobTest, WithoutAControllerEveryCommandSaysSoAndExitsOne) {
    Result r = Vqjob({"send", "sample", "FWSYSTEM", "FWQUERY", "FWCONNECT"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "vqjob: taskctrl is not running (no pipe \\\\.\\PIPE\\taskctrl)\n");
    r = Vqjob({"clients"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "vqjob: taskctrl is not running (no pipe \\\\.\\PIPE\\taskctrl.ctl)\n");
}

TEST_F(VqjobTest, SendPrintsTheAnswerAndExitsByItsCode) {
    Start();
    Responder sample("sample");
    ASSERT_TRUE(WaitClient("sample"));

    Result r = Vqjob({"send", "sample", "FWSYSTEM", "FWQUERY", "FWCONNECT", "--param", "#BEGIN\\n#KEY=1\\n#END"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "answer 0 from sample\n#BEGIN\n#KEY=1\n#END\n");
    auto seen = sample.Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_STREQ(seen[0].GetExParam(), "#BEGIN\n#KEY=1\n#END");
    EXPECT_EQ(std::string(seen[0].GetSrcProcessName()).rfind("vqjob", 0), 0u);
    EXPECT_EQ(seen[0].GetAns(), 1);
    EXPECT_GE(seen[0].GetSerialNo(), 1u);
    EXPECT_LE(seen[0].GetSerialNo(), 999u);

    r = Vqjob({"send", "sample", "FWSYSTEM", "FWQUERY", "FWCONNECT", "--param", "#CODE=7000"});
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_EQ(r.out, "answer 7000 from sample\n#CODE=7000\n");

    // Nobody by that name: the controller answers 7002 itself.
    r = Vqjob({"send", "ghost", "FWSYSTEM", "FWQUERY", "FWCONNECT"});
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_EQ(r.out, "answer 7002 from ghost\n");

    // --wait 0: no answer wanted, none waited for.
    r = Vqjob({"send", "sample", "FWSYSTEM", "FWNOTIFY", "FWSTART", "--wait", "0"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "sent to sample")) << r.out;
    EXPECT_TRUE(WaitJournal({"out to sample#", "FWSYSTEM FWNOTIFY FWSTART", "ans 0"})) << Journal();
    EXPECT_EQ(tc_->Stop(), 0);
}

TEST_F(VqjobTest, NothingAnsweringInTimeExitsOne) {
    Start();
    Responder mute("mute", false);
    ASSERT_TRUE(WaitClient("mute"));
    Result r = Vqjob({"send", "mute", "FWSYSTEM", "FWQUERY", "FWCONNECT", "--wait", "1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "vqjob: no answer from mute within 1 seconds\n");
    EXPECT_EQ(mute.Seen().size(), 1u);
    EXPECT_EQ(tc_->Stop(), 0);
}

TEST_F(VqjobTest, ClientsAndCtlUseTheControlPipe) {
    Start();
    Result r = Vqjob({"clients"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "no process is connected\n");

    Responder sample("sample");
    ASSERT_TRUE(WaitClient("sample"));
    r = Vqjob({"clients"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "PROCESS")) << r.out;
    EXPECT_TRUE(Has(r.out, "\nsample    PC77             -                       1        0       0 -         #"))
        << r.out;

    r = Vqjob({"ctl", "loopback", "off"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "ok loopback off\n");
    r = Vqjob({"ctl", "stall", "nobody", "on"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error: no client nobody\n");
    EXPECT_EQ(tc_->Stop(), 0);
}

TEST_F(VqjobTest, WatchPrintsRecordsUntilInterrupted) {
    Start();
    Peer a(Who{"", "PC01", "sample"});
    vqtest::ChildProcess watch("exec_program", {VQ_TOOL_BIN, "watch"});
    // Until the watch is connected, records pass unseen: keep sending.
    std::string line;
    for (int i = 0; i < 100 && !Has(line, "in from sample#"); ++i) {
        a.pipe.Write(MakeRecord(a.who, {"", "", "nobody"}, "FWSYSTEM", "FWNOTIFY", "FWSTART"));
        for (std::string l; !(l = watch.ReadLine(200)).empty();)
            if (Has(l, "in from sample#")) line = l;
    }
    EXPECT_TRUE(Has(line, "| FWSYSTEM FWNOTIFY FWSTART |")) << line;
    watch.Kill(SIGTERM);
    EXPECT_EQ(watch.Wait(), 0);
    EXPECT_EQ(tc_->Stop(), 0);
}

TEST_F(VqjobTest, TheConfiguredPipeNameIsUsedOnBothSides) {
    SetRegString(kSystemKey, "PIPE_NAME", "tc2");
    Start();
    {
        Responder sample("sample", true, JobPipe("tc2"));
        ASSERT_TRUE(WaitClient("sample", 20000, JobPipe("tc2") + ".ctl"));
        Result r = Vqjob({"send", "sample", "FWSYSTEM", "FWQUERY", "FWCONNECT"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "answer 0 from sample\n");
    }
    EXPECT_EQ(tc_->Stop(), 0);
    Result r = Vqjob({"send", "sample", "FWSYSTEM", "FWQUERY", "FWCONNECT"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "vqjob: taskctrl is not running (no pipe \\\\.\\PIPE\\tc2)\n");
}

}  // namespace
