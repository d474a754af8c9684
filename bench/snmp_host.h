// A loopback trap receiver and the registry set-up of the SNMP service host, shared by the
// benchmarks that send traps through norvik and vqsnmpd.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "pal/windows.h"
#include "snmpext/norvik.h"

namespace benchsnmp {

struct Receiver {
    // Sleeping between batches instead of in recv: a sender then never has to wake this
    // thread, as it would not wake a receiver on another machine.
    bool poll = false;
    int fd = -1;
    int port = 0;
    std::atomic<long> count{0};
    std::vector<unsigned char> last;
    std::thread thread;
    std::atomic<bool> stop{false};

    bool Start() {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        int size = 8 << 20;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        timeval tv{0, 100000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        thread = std::thread([this] {
            unsigned char buf[65536];
            while (!stop) {
                ssize_t n = recv(fd, buf, sizeof buf, poll ? MSG_DONTWAIT : 0);
                if (n <= 0) {
                    if (poll) std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    continue;
                }
                if (last.empty()) last.assign(buf, buf + n);
                ++count;
            }
        });
        return true;
    }
    bool WaitFor(long n, int ms) {
        for (int i = 0; i < ms / 5 && count < n; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return count >= n;
    }
    ~Receiver() {
        stop = true;
        if (thread.joinable()) thread.join();
        if (fd >= 0) close(fd);
    }
};

inline void SetText(const char* path, const char* name, const std::string& value) {
    HKEY key = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
}

// Points the host at norvik and at the receiver (SNMPv1, community public).
inline void ConfigureHost(int port) {
    const std::string params = "SYSTEM\\CurrentControlSet\\Services\\SNMP\\Parameters";
    SetText((params + "\\ExtensionAgents").c_str(), "1", "SOFTWARE\\QIR\\VQ FRAMEWORK\\NORVIK\\CurrentVersion");
    SetText("SOFTWARE\\QIR\\VQ FRAMEWORK\\NORVIK\\CurrentVersion", "Pathname", "norvik.dll");
    SetText((params + "\\TrapConfiguration\\public").c_str(), "1", "127.0.0.1:" + std::to_string(port));
}

// The benchmarks' trap: three bindings, as one finding of the gatherer would carry.
inline void BuildTrap(long i) {
    ClearParameter();
    SetEnterpriseOid("1.3.6.1.4.1.6203.1.3");
    SetGenericTrapId(6);
    SetSpecificTrapId(12);
    AddParamInteger32("1.3.6.1.4.1.6203.1.3.1.1", static_cast<LONG>(i));
    AddParamString("1.3.6.1.4.1.6203.1.3.1.2", "CPU temperature out of range");
    AddParamTimeticks("1.3.6.1.4.1.6203.1.3.1.3", 4242);
}

}  // namespace benchsnmp
