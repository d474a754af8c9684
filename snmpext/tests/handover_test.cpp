// The hand-over from a requester to the agent: Send's results, what the agent gives the
// host, refusing malformed blocks, late end signals, a busy or abandoned request mutex,
// and an agent killed in the middle of a hand-over.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <future>
#include <string>
#include <thread>

#include "snmpext/internal.h"
#include "snmpext/norvik.h"
#include "snmpext/tests/test_host.h"
#include "tests/support/child_process.h"

namespace {

using norvik::LocalRecord;
using norvik::TrapInfo;
using norvik_test::TestHost;

const char* kEnterprise = "1.3.6.1.4.1.6203.1";

void NewTrap(LONG specific) {
    ClearParameter();
    SetEnterpriseOid(kEnterprise);
    SetGenericTrapId(6);
    SetSpecificTrapId(specific);
}

// A view of the shared block, as any process could open it.
struct SharedBlock {
    HANDLE mapping = OpenFileMappingA(FILE_MAP_WRITE, FALSE, norvik::kMappingName);
    TrapInfo* block = mapping ? static_cast<TrapInfo*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0)) : nullptr;
    ~SharedBlock() {
        if (block) UnmapViewOfFile(block);
        if (mapping) CloseHandle(mapping);
    }
};

bool WaitFor(const std::function<bool()>& done, int ms = 10000) {
    for (int waited = 0; !done(); waited += 10) {
        if (waited >= ms) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// A requester keeps the hand-over objects open from one Send to the next and lets them go
// when a Send finds no agent. Tests that need a fresh block (one no earlier request has
// touched) start with this.
void LetTheObjectsGo() {
    NewTrap(0);
    EXPECT_EQ(Send(), 2) << "no agent may run here";
    ClearParameter();
}

// True when the end event is signalled within ms (and consumes the signal).
bool EndSignalled(DWORD ms) {
    HANDLE end = OpenEventA(SYNCHRONIZE, FALSE, norvik::kEndEventName);
    if (!end) return false;
    bool set = WaitForSingleObject(end, ms) == WAIT_OBJECT_0;
    CloseHandle(end);
    return set;
}

TEST(Send, WithoutAnAgentGivesTwoAndKeepsTheBindings) {
    NewTrap(1);
    ASSERT_EQ(AddParamInteger32("1.3.6.1.4.1.6203.1.1", 7), 0);
    EXPECT_EQ(Send(), 2);
    EXPECT_EQ(LocalRecord().bindingCount, 1);
    ClearParameter();
}

TEST(Send, WithoutTheMutexNothingIsWritten) {
    // Every object but the request mutex: the block must not be written unlocked.
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, norvik::kTrapInfoSize,
                                       norvik::kMappingName);
    HANDLE trap = CreateEventA(nullptr, FALSE, FALSE, norvik::kTrapEventName);
    HANDLE end = CreateEventA(nullptr, FALSE, FALSE, norvik::kEndEventName);
    ASSERT_TRUE(mapping && trap && end);
    NewTrap(2);
    ASSERT_EQ(AddParamNull("1.3.6.1.4.1.6203.1.1"), 0);
    EXPECT_EQ(Send(), 2);
    SharedBlock shared;
    ASSERT_NE(shared.block, nullptr);
    EXPECT_EQ(shared.block->enterprise[0], 0);
    EXPECT_EQ(WaitForSingleObject(trap, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(LocalRecord().bindingCount, 1);
    CloseHandle(mapping);
    CloseHandle(trap);
    CloseHandle(end);
    ClearParameter();
}

TEST(Agent, InitGivesTheTrapEventAndTheView) {
    TestHost host;
    ASSERT_TRUE(host.started());
    EXPECT_EQ(norvik_test::OidText(host.view()), "1.3.6.1.4.1.6203.1.3.1.0");
    AsnInteger32 status = 0, index = 0;
    EXPECT_EQ(SnmpExtensionQuery(SNMP_PDU_GET, nullptr, &status, &index), 2);
}

TEST(Agent, BindingsReachTheHostInOrderWithTheirValues) {
    TestHost host(GetTickCount() - 100000);
    ASSERT_TRUE(host.started());
    NewTrap(3);
    ASSERT_EQ(AddParamInteger32("1.3.6.1.4.1.6203.1.1", -5), 0);
    ASSERT_EQ(AddParamString("1.3.6.1.4.1.6203.1.2", "disk full"), 0);
    ASSERT_EQ(AddParamIpAddress("1.3.6.1.4.1.6203.1.3", 192, 168, 1, 20), 0);
    EXPECT_EQ(Send(), 0);
    EXPECT_EQ(LocalRecord().bindingCount, 0);
    EXPECT_FALSE(EndSignalled(0)) << "the end event is set once per trap";

    auto traps = host.traps();
    ASSERT_EQ(traps.size(), 1u);
    const auto& t = traps[0];
    EXPECT_EQ(t.enterprise, kEnterprise);
    EXPECT_EQ(t.generic, 6);
    EXPECT_EQ(t.specific, 3);
    EXPECT_GE(t.ticks, 100000u);  // milliseconds since the time-zero reference
    ASSERT_EQ(t.bindings.size(), 3u);
    EXPECT_EQ(t.bindings[0].name, "1.3.6.1.4.1.6203.1.1");
    EXPECT_EQ(t.bindings[0].type, ASN_INTEGER);
    EXPECT_EQ(t.bindings[0].number, -5);
    EXPECT_EQ(t.bindings[1].name, "1.3.6.1.4.1.6203.1.2");
    EXPECT_EQ(t.bindings[1].type, ASN_OCTETSTRING);
    EXPECT_EQ(t.bindings[1].bytes, "disk full");
    EXPECT_EQ(t.bindings[2].name, "1.3.6.1.4.1.6203.1.3");
    EXPECT_EQ(t.bindings[2].type, ASN_IPADDRESS);
    EXPECT_EQ(t.bindings[2].bytes, std::string("\xC0\xA8\x01\x14", 4));
}

TEST(Agent, EveryTypeConverts) {
    TestHost host;
    ASSERT_TRUE(host.started());
    NewTrap(4);
    const char* n = "1.3.6.1.4.1.6203.1.9";
    AddParamBits(n, "\x80");
    AddParamNull(n);
    AddParamObjectId(n, ".1.3.6.1.2.1");
    AddParamCounter32(n, 1);
    AddParamGauge32(n, 2);
    AddParamTimeticks(n, 3);
    AddParamOpaque(n, "op");
    AddParamCounter64(n, 1, 2);
    AddParamUnsigned32(n, 4000000000u);
    AddParamString(n, "");
    ASSERT_EQ(LocalRecord().bindingCount, 10);
    EXPECT_EQ(Send(), 0);
    auto traps = host.traps();
    ASSERT_EQ(traps.size(), 1u);
    const auto& b = traps[0].bindings;
    ASSERT_EQ(b.size(), 10u);
    EXPECT_EQ(b[0].type, ASN_BITS);
    EXPECT_EQ(b[0].bytes, "\x80");
    EXPECT_EQ(b[1].type, ASN_NULL);
    EXPECT_EQ(b[2].type, ASN_OBJECTIDENTIFIER);
    EXPECT_EQ(b[2].oid, "1.3.6.1.2.1");
    EXPECT_EQ(b[3].unsigned32, 1u);
    EXPECT_EQ(b[4].unsigned32, 2u);
    EXPECT_EQ(b[5].type, ASN_TIMETICKS);
    EXPECT_EQ(b[5].unsigned32, 3u);
    EXPECT_EQ(b[6].bytes, "op");
    EXPECT_EQ(b[7].type, ASN_COUNTER64);
    EXPECT_EQ(b[7].counter64, 0x200000001ull);
    EXPECT_EQ(b[8].unsigned32, 4000000000u);
    EXPECT_EQ(b[9].type, ASN_OCTETSTRING);
    EXPECT_EQ(b[9].bytes, "");
}

TEST(Agent, ZeroBindingsAndEmptyEnterprise) {
    TestHost host;
    ASSERT_TRUE(host.started());
    NewTrap(5);
    EXPECT_EQ(Send(), 0);
    auto traps = host.traps();
    ASSERT_EQ(traps.size(), 1u);
    EXPECT_EQ(traps[0].specific, 5);
    EXPECT_TRUE(traps[0].bindings.empty());

    // An empty enterprise: no trap, the end event once, Send succeeds.
    TrapInfo empty{};
    SharedBlock shared;
    ASSERT_NE(shared.block, nullptr);
    std::memcpy(static_cast<void*>(shared.block), &empty, sizeof empty);
    shared.block->requestSeq = 9;
    HANDLE trap = OpenEventA(EVENT_MODIFY_STATE, FALSE, norvik::kTrapEventName);
    ASSERT_TRUE(SetEvent(trap));
    CloseHandle(trap);
    EXPECT_TRUE(EndSignalled(10000));
    EXPECT_FALSE(EndSignalled(300));
    EXPECT_EQ(shared.block->ackSeq, 9);
    EXPECT_EQ(host.traps().size(), 1u);
    EXPECT_TRUE(WaitFor([&] { return host.refused() == 1; }));
}

TEST(Agent, MalformedBlocksAreRefused) {
    TestHost host;
    ASSERT_TRUE(host.started());
    SharedBlock shared;
    ASSERT_NE(shared.block, nullptr);
    HANDLE trap = OpenEventA(EVENT_MODIFY_STATE, FALSE, norvik::kTrapEventName);
    ASSERT_NE(trap, nullptr);

    auto good = [] {
        TrapInfo t{};
        std::strcpy(t.enterprise, kEnterprise);
        t.bindingCount = 1;
        std::strcpy(t.params[0].name, "1.3.6.1.4.1.6203.1.1");
        t.params[0].type = ASN_OCTETSTRING;
        t.params[0].length = 2;
        std::memcpy(t.params[0].value, "ok", 3);
        return t;
    };
    const std::vector<std::pair<const char*, std::function<void(TrapInfo&)>>> cases = {
        {"count 51", [](TrapInfo& t) { t.bindingCount = 51; }},
        {"count 255", [](TrapInfo& t) { t.bindingCount = 255; }},
        {"name unterminated", [](TrapInfo& t) { std::memset(t.params[0].name, '1', 256); }},
        {"name empty", [](TrapInfo& t) { t.params[0].name[0] = 0; }},
        {"name not an OID", [](TrapInfo& t) { std::strcpy(t.params[0].name, "ifIndex"); }},
        {"enterprise unterminated", [](TrapInfo& t) { std::memset(t.enterprise, '1', 256); }},
        {"enterprise not an OID", [](TrapInfo& t) { std::strcpy(t.enterprise, "1"); }},
        {"string length too big", [](TrapInfo& t) { t.params[0].length = 5000; }},
        {"string length 2048", [](TrapInfo& t) {
             std::memset(t.params[0].value, 'v', 2048);
             t.params[0].length = 2048;
         }},
        {"string unterminated", [](TrapInfo& t) { std::memset(t.params[0].value, 'v', 2048); }},
        {"string length short", [](TrapInfo& t) { t.params[0].length = 1; }},
        {"integer length 8", [](TrapInfo& t) {
             t.params[0].type = ASN_INTEGER;
             t.params[0].length = 8;
         }},
        {"counter64 length 4", [](TrapInfo& t) {
             t.params[0].type = ASN_COUNTER64;
             t.params[0].length = 4;
         }},
        {"sequence too long", [](TrapInfo& t) {
             t.params[0].type = ASN_SEQUENCE;
             t.params[0].length = 2049;
         }},
        {"oid value invalid", [](TrapInfo& t) { t.params[0].type = ASN_OBJECTIDENTIFIER; }},
        {"unknown tag", [](TrapInfo& t) { t.params[0].type = 0x99; }},
    };
    int refusedBefore = host.refused();
    uint8_t seq = 0;
    for (const auto& [what, spoil] : cases) {
        SCOPED_TRACE(what);
        TrapInfo t = good();
        spoil(t);
        t.requestSeq = ++seq;  // a finished request, as a requester leaves it
        std::memcpy(static_cast<void*>(shared.block), &t, sizeof t);
        ASSERT_TRUE(SetEvent(trap));
        EXPECT_TRUE(EndSignalled(10000));
        EXPECT_EQ(shared.block->ackSeq, seq);
        EXPECT_EQ(shared.block->outcome, norvik::kTrapRefused);
    }
    EXPECT_TRUE(WaitFor([&] { return host.refused() - refusedBefore == static_cast<int>(cases.size()); }));
    EXPECT_TRUE(host.traps().empty());

    // A sequence value of the full field and the untouched good block still go.
    TrapInfo t = good();
    t.params[0].type = ASN_SEQUENCE;
    t.params[0].length = 2048;
    std::memset(t.params[0].value, 0x30, 2048);
    t.requestSeq = ++seq;
    std::memcpy(static_cast<void*>(shared.block), &t, sizeof t);
    ASSERT_TRUE(SetEvent(trap));
    EXPECT_TRUE(EndSignalled(10000));
    EXPECT_EQ(shared.block->outcome, norvik::kTrapSent);

    // A block still being written (number 0) and a request already answered are left
    // alone: no trap, no end signal. Both are what a late trap event finds.
    ASSERT_TRUE(SetEvent(trap));
    EXPECT_FALSE(EndSignalled(500));
    t.requestSeq = 0;
    std::memcpy(static_cast<void*>(shared.block), &t, sizeof t);
    ASSERT_TRUE(SetEvent(trap));
    EXPECT_FALSE(EndSignalled(500));
    CloseHandle(trap);
    auto traps = host.traps();
    ASSERT_EQ(traps.size(), 1u);
    EXPECT_EQ(traps[0].bindings[0].bytes, std::string(2048, '\x30'));

    NewTrap(6);
    AddParamString("1.3.6.1.4.1.6203.1.1", "after");
    EXPECT_EQ(Send(), 0);
    EXPECT_EQ(host.traps().size(), 2u);
}

TEST(Agent, ALateEndSignalDoesNotReleaseTheNextRequester) {
    // The agent answers the first request after 6 s, when its requester has given up.
    TestHost host(GetTickCount(), 6000);
    ASSERT_TRUE(host.started());
    NewTrap(1);
    AddParamInteger32("1.3.6.1.4.1.6203.1.1", 1);
    EXPECT_EQ(Send(), WAIT_TIMEOUT);
    EXPECT_EQ(LocalRecord().bindingCount, 0) << "handed over, so the bindings went";

    NewTrap(2);
    AddParamInteger32("1.3.6.1.4.1.6203.1.1", 2);
    EXPECT_EQ(Send(), 0);
    // Send came back only once its own trap was through, not on the late signal.
    auto traps = host.traps();
    ASSERT_EQ(traps.size(), 2u);
    EXPECT_EQ(traps[0].specific, 1);
    EXPECT_EQ(traps[1].specific, 2);
    EXPECT_EQ(traps[1].bindings.at(0).number, 2);
}

TEST(Agent, ANewSessionInOneProcessAnswersItsFirstRequest) {
    // The requester keeps the objects open across sessions: each Init finds them.
    for (LONG specific : {21, 22}) {
        TestHost host;
        ASSERT_TRUE(host.started());
        NewTrap(specific);
        AddParamInteger32("1.3.6.1.4.1.6203.1.1", specific);
        EXPECT_EQ(Send(), 0) << "session " << specific;
        auto traps = host.traps();
        ASSERT_EQ(traps.size(), 1u);
        EXPECT_EQ(traps[0].specific, specific);
        EXPECT_EQ(traps[0].bindings.at(0).number, specific);
    }
}

TEST(Agent, ANewSessionOnABlockThatOutlivedTheLastOne) {
    std::unique_ptr<SharedBlock> shared;
    {
        TestHost host;
        ASSERT_TRUE(host.started());
        shared = std::make_unique<SharedBlock>();  // keeps the block across Close
        ASSERT_NE(shared->block, nullptr);
        NewTrap(31);
        ASSERT_EQ(Send(), 0);
        ASSERT_EQ(host.traps().size(), 1u);
    }
    uint8_t answered = shared->block->ackSeq;
    ASSERT_EQ(shared->block->requestSeq, answered);

    TestHost host;
    ASSERT_TRUE(host.started());
    // A stale trap event finds the request the last session answered: not sent again.
    HANDLE trap = OpenEventA(EVENT_MODIFY_STATE, FALSE, norvik::kTrapEventName);
    ASSERT_NE(trap, nullptr);
    ASSERT_TRUE(SetEvent(trap));
    CloseHandle(trap);
    EXPECT_TRUE(WaitFor([&] { return host.refused() == 1; }));
    EXPECT_FALSE(EndSignalled(300));

    NewTrap(32);
    EXPECT_EQ(Send(), 0);
    auto traps = host.traps();
    ASSERT_EQ(traps.size(), 1u);
    EXPECT_EQ(traps[0].specific, 32);
    EXPECT_NE(shared->block->ackSeq, answered);
}

// Takes the request mutex and keeps it until killed.
VQ_CHILD(norvik_mutex_holder) {
    HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, norvik::kMutexName);
    if (!mutex || WaitForSingleObject(mutex, 10000) != WAIT_OBJECT_0) return 1;
    vqtest::Tell("locked");
    for (;;) pause();
}

TEST(Agent, ABusyMutexLeavesTheBlockAloneAndAnAbandonedOneIsReported) {
    LetTheObjectsGo();
    TestHost host;
    ASSERT_TRUE(host.started());
    vqtest::ChildProcess holder("norvik_mutex_holder");
    ASSERT_TRUE(holder.Expect("locked"));

    setenv("VQ_NORVIK_LOCK_TIMEOUT", "300", 1);
    NewTrap(7);
    AddParamGauge32("1.3.6.1.4.1.6203.1.1", 1);
    EXPECT_EQ(Send(), WAIT_TIMEOUT);
    unsetenv("VQ_NORVIK_LOCK_TIMEOUT");
    EXPECT_EQ(LocalRecord().bindingCount, 1);
    SharedBlock shared;
    ASSERT_NE(shared.block, nullptr);
    EXPECT_EQ(shared.block->enterprise[0], 0) << "written without the lock";
    EXPECT_TRUE(host.traps().empty());

    holder.Kill(SIGKILL);
    holder.Wait();
    EXPECT_EQ(Send(), static_cast<LONG>(WAIT_ABANDONED));
    auto traps = host.traps();
    ASSERT_EQ(traps.size(), 1u);
    EXPECT_EQ(traps[0].specific, 7);
    EXPECT_EQ(traps[0].bindings.size(), 1u);
}

// A requester whose record was never given an enterprise (a fresh library): its request
// is refused by the agent.
VQ_CHILD(norvik_empty_requester) {
    ClearParameter();
    AddParamInteger32("1.3.6.1.4.1.6203.1.1", 1);
    vqtest::Tell("sent " + std::to_string(Send()));
    return 0;
}

// A request the agent refuses, whether built that way or spoiled in the shared block on
// its way, is never reported as sent: Send gives 13, and the next good request 0.
TEST(Send, ARefusedRequestIsReportedAsRefused) {
    TestHost host;
    ASSERT_TRUE(host.started());
    {
        vqtest::ChildProcess requester("norvik_empty_requester");
        EXPECT_TRUE(requester.Expect("sent 13"));
        requester.Wait();
    }
    EXPECT_TRUE(host.traps().empty());

    // A process that spoils the block while a request is in flight (every other request
    // here): the agent sees a binding count beyond 50 and refuses.
    SharedBlock shared;
    ASSERT_NE(shared.block, nullptr);
    std::atomic<int> wakeups{0};
    host.SetBeforeRead([&] {
        if (wakeups++ % 2 == 0) std::atomic_ref<uint8_t>(shared.block->bindingCount).store(200);
    });
    int refused = 0;
    for (int i = 0; i < 10; ++i) {
        NewTrap(i);
        AddParamInteger32("1.3.6.1.4.1.6203.1.1", i);
        const LONG r = Send();
        EXPECT_EQ(r, i % 2 == 0 ? ERROR_INVALID_DATA : 0) << i;
        refused += r == ERROR_INVALID_DATA;
    }
    host.SetBeforeRead(nullptr);
    EXPECT_EQ(refused, 5);
    EXPECT_EQ(host.traps().size(), 5u) << "every 0 is a trap that went";

    NewTrap(30);
    EXPECT_EQ(Send(), 0);
    EXPECT_EQ(host.traps().size(), 6u);
}

// A host in a process of its own. "hang": stops after the first call of the first trap.
VQ_CHILD(norvik_agent_host) {
    bool hang = !args.empty() && args[0] == "hang";
    HANDLE trapEvent = nullptr;
    AsnObjectIdentifier view{};
    if (!SnmpExtensionInit(GetTickCount(), &trapEvent, &view)) return 1;
    vqtest::Tell("ready");
    for (;;) {
        if (WaitForSingleObject(trapEvent, INFINITE) != WAIT_OBJECT_0) return 2;
        AsnObjectIdentifier enterprise{};
        AsnInteger32 generic = 0, specific = 0;
        AsnTimeticks ticks = 0;
        SnmpVarBindList list{};
        while (SnmpExtensionTrap(&enterprise, &generic, &specific, &ticks, &list)) {
            vqtest::Tell("trap " + std::to_string(specific) + " " + std::to_string(list.len));
            if (hang)
                for (;;) pause();
        }
    }
}

TEST(Agent, AKilledAgentDoesNotStopTheNextOne) {
    {
        vqtest::ChildProcess agent("norvik_agent_host", {"hang"});
        ASSERT_TRUE(agent.Expect("ready"));
        NewTrap(8);
        AddParamCounter32("1.3.6.1.4.1.6203.1.1", 8);
        auto pending = std::async(std::launch::async, [] { return Send(); });
        EXPECT_TRUE(agent.Expect("trap 8 1"));
        agent.Kill(SIGKILL);
        agent.Wait();
        EXPECT_EQ(pending.get(), WAIT_TIMEOUT);
    }
    EXPECT_EQ(Send(), 2) << "no agent now";

    vqtest::ChildProcess agent("norvik_agent_host");
    ASSERT_TRUE(agent.Expect("ready"));
    NewTrap(9);
    AddParamCounter32("1.3.6.1.4.1.6203.1.1", 9);
    AddParamCounter32("1.3.6.1.4.1.6203.1.2", 9);
    EXPECT_EQ(Send(), 0);
    EXPECT_TRUE(agent.Expect("trap 9 2"));
    agent.Kill(SIGKILL);
    agent.Wait();
}

// A requester holds the hand-over objects from one Send to the next. An agent that closes
// and starts again finds and uses the same objects; one that is gone is noticed at once.
TEST(Send, KeepsItsObjectsForARestartedAgentAndNoticesAMissingOne) {
    {
        TestHost host;
        ASSERT_TRUE(host.started());
        NewTrap(41);
        ASSERT_EQ(Send(), 0);
        ASSERT_EQ(host.traps().size(), 1u);
    }
    {
        TestHost host;  // started while this process held the objects
        ASSERT_TRUE(host.started());
        NewTrap(42);
        AddParamInteger32("1.3.6.1.4.1.6203.1.1", 42);
        EXPECT_EQ(Send(), 0);
        auto traps = host.traps();
        ASSERT_EQ(traps.size(), 1u);
        EXPECT_EQ(traps[0].specific, 42);
        EXPECT_EQ(traps[0].bindings.at(0).number, 42);
    }
    // No agent: 2 at once, nothing handed over, the bindings kept.
    NewTrap(43);
    AddParamInteger32("1.3.6.1.4.1.6203.1.1", 43);
    EXPECT_EQ(Send(), 2);
    EXPECT_EQ(LocalRecord().bindingCount, 1);
    EXPECT_FALSE(EndSignalled(0));

    TestHost host;
    ASSERT_TRUE(host.started());
    EXPECT_EQ(Send(), 0) << "the kept request goes to the next agent";
    EXPECT_EQ(Send(), 0);
    auto traps = host.traps();
    ASSERT_EQ(traps.size(), 2u);
    EXPECT_EQ(traps[0].specific, 43);
    EXPECT_EQ(traps[0].bindings.size(), 1u);
    EXPECT_TRUE(traps[1].bindings.empty()) << "handed over, so the bindings went";
}

// A child forked by a requester that holds the objects opens them for itself; using the
// parent's handles would use references the child does not hold.
TEST(Send, AForkedChildOpensTheObjectsForItself) {
    // The agent runs in a process of its own, so this one has no other thread at the fork.
    vqtest::ChildProcess agent("norvik_agent_host");
    ASSERT_TRUE(agent.Expect("ready"));
    NewTrap(51);
    ASSERT_EQ(Send(), 0);
    EXPECT_TRUE(agent.Expect("trap 51 0"));
    pid_t pid = fork();
    if (pid == 0) {
        NewTrap(52);
        _exit(Send() == 0 ? 0 : 1);
    }
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(agent.Expect("trap 52 0"));
    NewTrap(53);
    EXPECT_EQ(Send(), 0);
    EXPECT_TRUE(agent.Expect("trap 53 0"));
    agent.Kill(SIGKILL);
    agent.Wait();
    LetTheObjectsGo();
}

}  // namespace

TEST(Agent, ARequesterThatDiedWhileWritingDoesNotBlockTheNext) {
    LetTheObjectsGo();
    TestHost host;
    ASSERT_TRUE(host.started());
    SharedBlock shared;
    ASSERT_NE(shared.block, nullptr);
    NewTrap(1);
    ASSERT_EQ(Send(), 0);  // request 1, answered
    ASSERT_EQ(shared.block->ackSeq, 1);
    // What a requester killed in the middle of its copy leaves: number 0, half a request.
    shared.block->requestSeq = 0;
    std::memset(shared.block->params[0].name, '7', 40);
    NewTrap(2);
    AddParamInteger32("1.3.6.1.4.1.6203.1.1", 5);
    EXPECT_EQ(Send(), 0);  // number 1 again would look answered; the requester skips it
    EXPECT_NE(shared.block->ackSeq, 1);
    auto traps = host.traps();
    ASSERT_EQ(traps.size(), 2u);
    EXPECT_EQ(traps[1].bindings.size(), 1u);
}
