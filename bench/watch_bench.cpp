// The agent's event-log watch on a log of N records, two ways, each against a baseline
// measured in the same run:
//  1. read and filter: CheckEventLog (the 56-byte probe, the full read, DoFilter against 20
//     filters that never match, the bookmark writes) vs a raw loop of the same probe-and-
//     read calls on the same log. Target: at least 0.7.
//  2. trap: one ElogTrap filter that matches every record, each sent through norvik and the
//     SNMP service host (vqsnmpd) to a loopback receiver, vs building and sending
//     bench_trap's trap with Send alone. Target: at least 0.5.
// Application-log lines are off in both (WRITE_APLLOG 0): they are bench_apllog's subject.
//
// Usage: bench_watch [records] [runs]   (defaults 2000, 3)
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "agent/eventlogwatch.h"
#include "bench/bench_root.h"
#include "bench/snmp_host.h"
#include "framework/apllog.h"
#include "pal/windows.h"
#include "snmpext/norvik.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using benchsnmp::BuildTrap;
using benchsnmp::SetText;

constexpr char kFilterRoot[] = "SOFTWARE\\QIR\\VQ FRAMEWORK\\CORVANE\\EVENTLOG_FILTER_INF\\MATCH\\FILTER_LIST";

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

void SetDword(const char* path, const char* name, DWORD value) {
    HKEY key = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(key);
}

void AddFilter(const std::string& name, const char* source, const char* sendType) {
    const std::string key = std::string(kFilterRoot) + "\\" + name;
    SetDword(key.c_str(), "EVENT_ID", 0xFFFFFFFFu);
    SetDword(key.c_str(), "EVENT_TYPE", 0xFFFFFFFFu);
    SetText(key.c_str(), "LOG_TYPE", "Application");
    SetText(key.c_str(), "SOURCE_NAME", source);
    SetText(key.c_str(), "SENDTYPE", sendType);
    SetText(key.c_str(), "ENTERPRISE_OID", ".1.3.6.1.4.1.6203.1.3.2");
    SetText((std::string(kFilterRoot) + "\\EVENT_LOG_FILTER_LIST").c_str(), name.c_str(), name);
}

void ClearFilters() {
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, kFilterRoot);
}

// The raw loop: the same calls the watch makes per record, without anything done with them.
bool RawRead(DWORD first) {
    HANDLE log = OpenEventLogA(nullptr, "Application");
    if (!log) return false;
    DWORD oldest = 0, count = 0;
    GetOldestEventLogRecord(log, &oldest);
    GetNumberOfEventLogRecords(log, &count);
    const DWORD newest = oldest + count - 1;
    for (DWORD n = first; n <= newest; ++n) {
        BYTE probe[56];
        DWORD read = 0, needed = 0;
        if (ReadEventLogA(log, EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ, n, probe, sizeof probe, &read, &needed) ||
            GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            return false;
        std::vector<BYTE> record(needed);
        if (!ReadEventLogA(log, EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ, n, record.data(), needed, &read, &needed))
            return false;
    }
    return CloseEventLog(log) != FALSE;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int records = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
    BenchRoot root(true);
    char self[4096] = {};
    const ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
    if (len <= 0) return 1;
    std::string bin(self, static_cast<size_t>(len));
    bin = bin.substr(0, bin.rfind('/'));

    // The log: records of one source, each with two insertion strings and four data bytes.
    SetDword("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application", "MaxSize", 256u << 20);
    // A registered source without a message file: the message is its insertion strings.
    SetDword("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\BenchSrc", "TypesSupported", 7);
    HANDLE source = RegisterEventSourceA(nullptr, "BenchSrc");
    for (int i = 0; i < records; ++i) {
        const std::string seq = "seq=" + std::to_string(i);
        const char* strings[2] = {seq.c_str(), "CPU temperature out of range"};
        const DWORD data = static_cast<DWORD>(i);
        ReportEventA(source, EVENTLOG_WARNING_TYPE, 0, 0x80040001u, nullptr, 2, sizeof data, strings,
                     const_cast<DWORD*>(&data));
    }
    DeregisterEventSource(source);
    HANDLE log = OpenEventLogA(nullptr, "Application");
    DWORD oldest = 0, count = 0;
    GetOldestEventLogRecord(log, &oldest);
    GetNumberOfEventLogRecords(log, &count);
    CloseEventLog(log);
    std::printf("log: %lu records from %lu\n", static_cast<unsigned long>(count), static_cast<unsigned long>(oldest));

    const char* section = "SOFTWARE\\QIR\\VQ FRAMEWORK\\CORVANE\\EVENTLOG_FILTER_INF";
    const char* oids[10] = {"DATE", "TIME", "USER", "COMPUTER", "EVENT_ID", "SHORT_EVENT_ID", "SOURCE",
                            "EVENT_TYPE", "EVENT_CATEGORY", "DESCRIPT"};
    for (int i = 0; i < 10; ++i)
        SetText((std::string(section) + "\\OID_LIST").c_str(), oids[i],
                ".1.3.6.1.4.1.6203.1.3.1.1.1.1.1." + std::to_string(i + 2) + ".0");

    // 1. Read and filter, 20 filters that never match.
    for (int i = 0; i < 20; ++i) AddFilter("NOMATCH" + std::to_string(i), ("Nobody" + std::to_string(i)).c_str(), "");
    std::vector<double> ratios;
    std::printf("%-6s %14s %14s %8s\n", "run", "watch rec/s", "raw rec/s", "ratio");
    for (int r = 0; r < runs; ++r) {
        CFwsystemFweventlogFwwatch job(nullptr);
        job.GetMatchFilterList();
        job.SetWatchFlags();
        job.SetWriteAplLog(0);
        DWORD bookmark = oldest;
        auto t0 = Clock::now();
        job.CheckEventLog("Application", bookmark, 1);
        const double watch = Seconds(Clock::now() - t0);
        t0 = Clock::now();
        if (!RawRead(oldest)) return 1;
        const double raw = Seconds(Clock::now() - t0);
        ratios.push_back(raw / watch);
        std::printf("%-6d %14.0f %14.0f %8.2f\n", r + 1, count / watch, count / raw, raw / watch);
    }
    const double filterRatio = Median(ratios);
    std::printf("median rate ratio watch/raw: %.2f (target at least 0.7)\n\n", filterRatio);

    // 2. Every record matched and sent as a trap.
    benchsnmp::Receiver rx;
    if (!rx.Start()) return 1;
    benchsnmp::ConfigureHost(rx.port);
    SetText("SOFTWARE\\QIR\\VQ FRAMEWORK\\CORVANE\\EXT_NORVIK", "Pathname", "norvik.dll");
    SetDword("SOFTWARE\\QIR\\VQ FRAMEWORK\\CORVANE", "WAITTIME_AFTER_SNMP_STARTED", 0);
    ClearFilters();
    AddFilter("EVERY", "BenchSrc", "ElogTrap");
    std::string host = bin + "/vqsnmpd";
    char* hostArgv[] = {host.data(), nullptr};
    pid_t hostPid = -1;
    posix_spawn_file_actions_t quiet;  // the host reports every trap on its standard error
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    const int spawned = posix_spawn(&hostPid, host.c_str(), &quiet, nullptr, hostArgv, environ);
    posix_spawn_file_actions_destroy(&quiet);
    if (spawned != 0) return 1;
    bool ready = false;
    for (int i = 0; i < 200 && !ready; ++i) {
        BuildTrap(-1);
        ready = Send() == 0;
        if (!ready) Sleep(50);
    }
    int status = 0;
    if (!ready) {
        std::fprintf(stderr, "bench_watch: the SNMP service host did not start\n");
        status = 1;
    } else {
        CVQBThdMsgApp app;
        if (!app.GetRegData() || app.LoadLibraries() < 0) {
            std::fprintf(stderr, "bench_watch: the agent's libraries did not load\n");
            status = 1;
        } else {
            ratios.clear();
            const int traps = std::min<int>(records, 1000);
            const DWORD first = oldest + count - static_cast<DWORD>(traps);
            std::printf("%-6s %14s %14s %8s\n", "run", "watch traps/s", "Send traps/s", "ratio");
            for (int r = 0; r < runs && status == 0; ++r) {
                CFwsystemFweventlogFwwatch job(nullptr);
                job.SetApp(&app);
                job.GetMatchFilterList();
                job.SetWatchFlags();
                job.SetWriteAplLog(0);
                job.GetTrapOid();
                long before = rx.count;
                DWORD bookmark = first;
                auto t0 = Clock::now();
                job.CheckEventLog("Application", bookmark, 1);
                const double watch = Seconds(Clock::now() - t0);
                const bool allWatched = rx.WaitFor(before + traps, 10000);
                before = rx.count;
                t0 = Clock::now();
                for (int i = 0; i < traps; ++i) {
                    BuildTrap(i);
                    Send();
                }
                const double send = Seconds(Clock::now() - t0);
                const bool allSent = rx.WaitFor(before + traps, 10000);
                if (!allWatched || !allSent) {
                    std::fprintf(stderr, "bench_watch: traps went missing\n");
                    status = 1;
                }
                ratios.push_back(send / watch);
                std::printf("%-6d %14.0f %14.0f %8.2f\n", r + 1, traps / watch, traps / send, send / watch);
            }
            std::printf("median rate ratio watch/Send: %.2f (target at least 0.5)\n", Median(ratios));
        }
    }
    kill(hostPid, SIGTERM);
    waitpid(hostPid, nullptr, 0);
    CAplLog::Close();
    return status;
}
