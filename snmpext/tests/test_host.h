// An SNMP service host in miniature for the tests: initialises the agent in this process
// and, on a thread of its own, calls SnmpExtensionTrap whenever the trap event is set,
// the way the real host does. Each delivered trap is copied out before the second call.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <functional>
#include <thread>
#include <vector>

#include "pal/windows.h"
#include "snmpext/norvik.h"

namespace norvik_test {

inline std::string OidText(const AsnObjectIdentifier& oid) {
    std::string text;
    for (UINT i = 0; i < oid.idLength; ++i) text += (i ? "." : "") + std::to_string(oid.ids[i]);
    return text;
}

struct Binding {
    std::string name;
    BYTE type = 0;
    LONG number = 0;
    ULONG unsigned32 = 0;
    ULONGLONG counter64 = 0;
    std::string bytes;  // octet-string types
    std::string oid;    // ObjectId values
};

struct Trap {
    std::string enterprise;
    LONG generic = 0;
    LONG specific = 0;
    DWORD ticks = 0;
    std::vector<Binding> bindings;
};

class TestHost {
public:
    // delayFirstMs: the first trap's second call comes that late (an agent that answers
    // after the requester gave up), and each later request is read half a second after
    // its trap event (a slow host), so a requester released early returns before it.
    explicit TestHost(DWORD timeZero = GetTickCount(), int delayFirstMs = 0) : delayFirstMs_(delayFirstMs) {
        started_ = SnmpExtensionInit(timeZero, &trapEvent_, &view_) != FALSE;
        if (started_) thread_ = std::thread([this] { Loop(); });
    }
    ~TestHost() { Stop(); }

    bool started() const { return started_; }
    const AsnObjectIdentifier& view() const { return view_; }

    void Stop() {
        if (!started_) return;
        stop_ = true;
        thread_.join();
        SnmpExtensionClose();
        CloseHandle(trapEvent_);
        started_ = false;
    }

    std::vector<Trap> traps() {
        std::lock_guard lock(lock_);
        return traps_;
    }
    int refused() const { return refused_; }
    // Runs on the host's thread after each trap event, before the agent reads the block
    // (what another process could do to the block in that moment). Set before requests.
    void SetBeforeRead(std::function<void()> f) {
        std::lock_guard lock(lock_);
        beforeRead_ = std::move(f);
    }

private:
    void Loop() {
        while (!stop_) {
            if (WaitForSingleObject(trapEvent_, 20) != WAIT_OBJECT_0) continue;
            if (delayFirstMs_ > 0 && delivered_ > 0) std::this_thread::sleep_for(std::chrono::milliseconds(500));
            {
                std::lock_guard lock(lock_);
                if (beforeRead_) beforeRead_();
            }
            bool first = true;
            for (;;) {
                AsnObjectIdentifier enterprise{};
                AsnInteger32 generic = 0, specific = 0;
                AsnTimeticks ticks = 0;
                SnmpVarBindList list{};
                if (!SnmpExtensionTrap(&enterprise, &generic, &specific, &ticks, &list)) {
                    if (first) ++refused_;
                    break;
                }
                first = false;
                Record(enterprise, generic, specific, ticks, list);
                if (delayFirstMs_ > 0 && delivered_++ == 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(delayFirstMs_));
            }
        }
    }

    void Record(const AsnObjectIdentifier& enterprise, LONG generic, LONG specific, DWORD ticks,
                const SnmpVarBindList& list) {
        Trap t{OidText(enterprise), generic, specific, ticks, {}};
        for (UINT i = 0; i < list.len; ++i) {
            const SnmpVarBind& vb = list.list[i];
            Binding b;
            b.name = OidText(vb.name);
            b.type = vb.value.asnType;
            const auto& v = vb.value.asnValue;
            switch (b.type) {
            case ASN_INTEGER: b.number = v.number; break;
            case ASN_COUNTER32: case ASN_GAUGE32: case ASN_TIMETICKS: case ASN_UNSIGNED32:
                b.unsigned32 = v.unsigned32;
                break;
            case ASN_COUNTER64: b.counter64 = v.counter64.QuadPart; break;
            case ASN_OBJECTIDENTIFIER: b.oid = OidText(v.object); break;
            case ASN_BITS: case ASN_OCTETSTRING: case ASN_SEQUENCE: case ASN_IPADDRESS: case ASN_OPAQUE:
                b.bytes.assign(reinterpret_cast<const char*>(v.string.stream), v.string.length);
                break;
            default: break;
            }
            t.bindings.push_back(b);
        }
        std::lock_guard lock(lock_);
        traps_.push_back(t);
    }

    int delayFirstMs_;
    std::function<void()> beforeRead_;
    int delivered_ = 0;
    bool started_ = false;
    HANDLE trapEvent_ = nullptr;
    AsnObjectIdentifier view_{};
    std::atomic<bool> stop_{false};
    std::atomic<int> refused_{0};
    std::thread thread_;
    std::mutex lock_;
    std::vector<Trap> traps_;
};

}  // namespace norvik_test
