// vqtrial: holders killed while they hold a lock, and the next user getting on; the
// receiver's count of repeated and unmarked traps.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "pal/core/root.h"
#include "pal/core/sqlite_store.h"
#include "tests/support/child_process.h"
#include "tools/vqtrial/cli.h"

using vqtest::RunProgram;

namespace {

// The tool itself as a child: the test binary's own children cannot run another main.
struct Tool {
    pid_t pid = -1;
    int out = -1;
    std::string Line(int timeoutMs = 20000) {
        std::string line;
        char c;
        alarm(static_cast<unsigned>(timeoutMs / 1000 + 1));
        while (read(out, &c, 1) == 1 && c != '\n') line += c;
        alarm(0);
        return line;
    }
};

Tool Start(const std::vector<std::string>& args) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    Tool t;
    t.pid = fork();
    if (t.pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        std::vector<char*> argv{const_cast<char*>(VQ_TOOL_BIN)};
        for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(VQ_TOOL_BIN, argv.data());
        _exit(127);
    }
    close(fds[1]);
    t.out = fds[0];
    return t;
}

void KillHard(Tool& t) {
    kill(t.pid, SIGKILL);
    waitpid(t.pid, nullptr, 0);
    close(t.out);
}

void SendDatagram(int port, const std::string& payload) {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(port));
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(s, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&at), sizeof at);
    close(s);
}

}  // namespace

// A holder killed while it holds the lock: with a keeper referring to the objects the next
// user sees the lock abandoned and still gets on (and the application log takes its line).
TEST(VqtrialAbandon, NextUserGetsOnAfterTheHolderIsKilled) {
    for (const char* kind : {"applog", "applog-flush", "shm"}) {
        SCOPED_TRACE(kind);
        Tool keeper = Start({"keep", kind});
        ASSERT_EQ(keeper.Line(), "kept");
        Tool holder = Start({"hold", kind});
        ASSERT_EQ(holder.Line(), "held");
        KillHard(holder);
        auto r = RunProgram(VQ_TOOL_BIN, {"use", kind, "--timeout", "30000"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(std::string(kind) + ": waited "), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("abandoned"), std::string::npos) << r.out;
        // Given back: the next user finds it free.
        r = RunProgram(VQ_TOOL_BIN, {"use", kind, "--timeout", "30000"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("free"), std::string::npos) << r.out;
        KillHard(keeper);
    }
}

// While a live holder keeps the lock, the user gives up after its time-out with a message.
TEST(VqtrialAbandon, LiveHolderMakesTheUserFailClearly) {
    Tool holder = Start({"hold", "shm"});
    ASSERT_EQ(holder.Line(), "held");
    auto r = RunProgram(VQ_TOOL_BIN, {"use", "shm", "--timeout", "300"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("vqtrial: use shm:"), std::string::npos) << r.err;
    KillHard(holder);
}

// A store transaction left open by a killed holder is rolled back: the next writer goes
// on and the uncommitted row is gone (the trial checks integrity with the sqlite3 CLI).
TEST(VqtrialAbandon, KilledTransactionLeavesNoRow) {
    struct Case {
        const char *kind, *file, *count;
    };
    for (Case c : {Case{"registry-txn", "/registry.db", "SELECT count(*) FROM keys WHERE name = 'vqtrial-uncommitted'"},
                   Case{"eventlog-txn", "/eventlog.db", "SELECT count(*) FROM logs WHERE name = 'vqtrial-uncommitted'"}}) {
        const char* kind = c.kind;
        SCOPED_TRACE(kind);
        Tool holder = Start({"hold", kind});
        ASSERT_EQ(holder.Line(), "held");
        KillHard(holder);
        // A second holder must get its own transaction: the lock went with the first.
        Tool next = Start({"hold", kind});
        EXPECT_EQ(next.Line(40000), "held");
        KillHard(next);
        std::string why;
        auto db = pal::core::SqliteDb::Open(pal::core::RootDir() + c.file, nullptr, why);
        ASSERT_TRUE(db) << why;
        auto q = db->Prepare(c.count);
        ASSERT_EQ(q.Step(), 100);  // a row
        EXPECT_EQ(q.Int(0), 0);
    }
}

TEST(VqtrialReceive, CountsRepeatsAndUnmarkedTrapsAndReportsOnSigterm) {
    int port = 20000 + static_cast<int>(getpid() % 20000);
    Tool receiver = Start({"receive", std::to_string(port)});
    ASSERT_EQ(receiver.Line(), "receiving");
    SendDatagram(port, std::string("\x30\x10xxvqtrial:a-1\x04", 17));
    SendDatagram(port, "vqtrial:a-2");
    SendDatagram(port, "vqtrial:a-1");
    SendDatagram(port, "vqtrial:");  // a prefix without a name is no marker
    EXPECT_EQ(receiver.Line(), "vqtrial:a-1");
    EXPECT_EQ(receiver.Line(), "vqtrial:a-2");
    EXPECT_EQ(receiver.Line(), "vqtrial:a-1");
    kill(receiver.pid, SIGTERM);
    EXPECT_EQ(receiver.Line(), "received 4 traps: 2 distinct markers, 1 duplicates, 1 unmarked");
    int status = 0;
    waitpid(receiver.pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    close(receiver.out);
}

TEST(VqtrialArgs, UsageErrorsExitTwoAndNameTheProblem) {
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {}, {"hold"}, {"hold", "nothing"}, {"send", "x"}, {"send", "0"}, {"receive", "70000"}, {"write", "5"},
             {"use", "shm", "--timeout", "0"}, {"frobnicate"}}) {
        auto r = RunProgram(VQ_TOOL_BIN, args);
        EXPECT_EQ(r.status, 2) << (args.empty() ? "" : args[0]);
        EXPECT_NE(r.err.find("vqtrial: "), std::string::npos);
    }
    EXPECT_FALSE(vqtrial::KnownKind("registry-"));
    EXPECT_EQ(vqtrial::MarkerCount::Find(reinterpret_cast<const uint8_t*>("..vqtrial:b-7\x01"), 14), "vqtrial:b-7");
}
