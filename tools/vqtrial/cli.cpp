#include "tools/vqtrial/cli.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <thread>

#include "framework/apllog.h"
#include "framework/sharedmemory.h"
#include "pal/core/root.h"
#include "pal/core/sqlite_store.h"
#include "pal/windows.h"

namespace vqtrial {

const char kUsage[] =
    "usage: vqtrial hold KIND | keep KIND | use KIND [--timeout MS] [--marker TEXT]\n"
    "       vqtrial send N [--seconds S] [--tag TAG] | receive PORT [--quiet] | write N RATE [--source S] [--id ID] [--tag TAG]\n"
    "\n"
    "Holders and users of the suite's cross-process locks, a trap sender, an event writer\n"
    "and a counting trap receiver for the reliability trials (scripts/trials.sh).\n"
    "\n"
    "KIND is one of:\n"
    "  trap           norvik's trap request mutex (a running vqsnmpd keeps it)\n"
    "  applog         the application log's file mutex of the directory c:\\vqtrial\\\n"
    "  applog-flush   the same log's housekeeping (\"right of log rule\") mutex\n"
    "  shm            the framework shared memory block \"VqTrialBlock\" and its mutex\n"
    "  registry       (hold only) a loop of registry writes under HKLM\\SOFTWARE\\VqTrial\n"
    "  registry-txn   (hold only) an open write transaction on $VQ_ROOT/registry.db\n"
    "  eventlog       (hold only) a loop of records written to the Application log\n"
    "  eventlog-txn   (hold only) an open write transaction on $VQ_ROOT/eventlog.db\n"
    "\n"
    "hold KIND     takes the lock (or starts writing), prints \"held\" and sleeps until killed.\n"
    "keep KIND     opens the named objects without taking them, prints \"kept\" and sleeps:\n"
    "              a named object lives while a process refers to it, so a keeper lets a\n"
    "              killed holder's mutex outlive it (as the services' handles do).\n"
    "use KIND      takes the lock and releases it, as the product does, and prints\n"
    "              \"KIND: waited MS ms, abandoned|free\". trap sends one trap (with the\n"
    "              --marker text in a string binding) and prints Send's result too; applog\n"
    "              writes the marker and finds it in vqapl.log; applog-flush waits until\n"
    "              this process has the right of log rule. Exits 1 with a message when the\n"
    "              lock is not had within --timeout (default 10000 ms) or a check fails.\n"
    "send N        sends N traps through norvik's Send, each with the string binding\n"
    "              \"vqtrial:TAG-I\" (TAG defaults to the process id); prints the counts of\n"
    "              results 0, 128 and failures; exits 1 when any failed. With --seconds it\n"
    "              stops after S seconds (N 0: sends until then).\n"
    "receive PORT  counts SNMP trap datagrams on 127.0.0.1:PORT; prints \"receiving\" once\n"
    "              bound, each marker as it arrives (not with --quiet), and on SIGTERM or\n"
    "              SIGINT one line: datagrams, distinct markers, duplicates, unmarked.\n"
    "write N RATE  writes N records through ReportEvent (source Mordane, id 0x40040099, one\n"
    "              string \"vqtrial:TAG-I\", TAG defaulting to \"w\") at RATE a second (0: at\n"
    "              full speed) and prints the rate reached.\n"
    "\n"
    "Exit codes: 0 done, 1 failure (one line on stderr), 2 usage error.\n";

namespace {

constexpr const char kLogDir[] = "c:\\vqtrial\\";
constexpr const char kShmName[] = "VqTrialBlock";
constexpr DWORD kShmSize = 4096;
constexpr const char kTrapMutex[] = "_NORVIK_TrapMutex";
constexpr const char kRuleText[] = "It acquired the right of log rule.";

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

[[noreturn]] void SleepForever() {
    for (;;) pause();
}

void Say(const char* line) {
    std::printf("%s\n", line);
    std::fflush(stdout);
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "vqtrial: %s\n", message.c_str());
    return 1;
}

int Usage(const std::string& why) {
    std::fprintf(stderr, "vqtrial: %s\n%s", why.c_str(), kUsage);
    return 2;
}

bool ParseNumber(const std::string& text, unsigned long long& out) {
    if (text.empty() || text[0] == '-') return false;
    char* end = nullptr;
    errno = 0;
    out = std::strtoull(text.c_str(), &end, 0);
    return errno == 0 && *end == '\0';
}

// The value following an option; "" when it is absent.
std::string Option(const std::vector<std::string>& args, const std::string& name, const std::string& fallback) {
    for (size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == name) return args[i + 1];
    return fallback;
}

std::string LogMutexName(const char* prefix) { return prefix + CAplLog::MutexSuffix(kLogDir); }

void OpenTrialLog(int flushThread) {
    CreateDirectoryA("c:\\vqtrial", nullptr);
    // Before Open: the housekeeping thread may log before Open returns.
    CAplLog::SetLog2Info("TRIAL", 0, 0, 3, 0);
    CAplLog::Open(0, "vqtrial", kLogDir, 1000000, flushThread);
}

std::string ReadAplLog() {
    std::string text;
    HANDLE f = CreateFileA((std::string(kLogDir) + "vqapl.log").c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return text;
    char buf[65536];
    DWORD got = 0;
    while (ReadFile(f, buf, sizeof buf, &got, nullptr) && got > 0) text.append(buf, got);
    CloseHandle(f);
    return text;
}

size_t Occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// Waits for the named mutex (creating it when no process has it) and gives it back:
// whether a dead holder had abandoned it. Empty result on success, else the reason.
std::string Probe(const std::string& name, DWORD timeoutMs, bool& abandoned) {
    HANDLE m = CreateMutexA(nullptr, FALSE, name.c_str());
    if (!m) return "cannot open the mutex " + name + " (error " + std::to_string(GetLastError()) + ")";
    DWORD w = WaitForSingleObject(m, timeoutMs);
    abandoned = w == WAIT_ABANDONED;
    if (w == WAIT_OBJECT_0 || w == WAIT_ABANDONED) ReleaseMutex(m);
    CloseHandle(m);
    if (w == WAIT_TIMEOUT) return "the mutex " + name + " was not free within " + std::to_string(timeoutMs) + " ms";
    if (w != WAIT_OBJECT_0 && w != WAIT_ABANDONED) return "waiting for the mutex " + name + " failed";
    return "";
}

// norvik's request functions, loaded as the agent loads the library.
struct Norvik {
    using FnText = DWORD (*)(LPCSTR);
    using FnLong = DWORD (*)(LONG);
    using FnVoid = DWORD (*)();
    using FnNameText = DWORD (*)(LPCSTR, LPCSTR);
    FnText setEnterprise = nullptr;
    FnLong setGeneric = nullptr, setSpecific = nullptr;
    FnVoid clear = nullptr, send = nullptr;
    FnNameText addString = nullptr;

    std::string Load() {
        HMODULE lib = LoadLibraryA("norvik.dll");
        if (!lib) return "cannot load the extension agent library norvik.dll";
        setEnterprise = reinterpret_cast<FnText>(GetProcAddress(lib, "SetEnterpriseOid"));
        setGeneric = reinterpret_cast<FnLong>(GetProcAddress(lib, "SetGenericTrapId"));
        setSpecific = reinterpret_cast<FnLong>(GetProcAddress(lib, "SetSpecificTrapId"));
        clear = reinterpret_cast<FnVoid>(GetProcAddress(lib, "ClearParameter"));
        send = reinterpret_cast<FnVoid>(GetProcAddress(lib, "Send"));
        addString = reinterpret_cast<FnNameText>(GetProcAddress(lib, "AddParamString"));
        if (!setEnterprise || !setGeneric || !setSpecific || !clear || !send || !addString)
            return "norvik.dll lacks a request function";
        return "";
    }

    LONG SendMarked(const std::string& marker) {
        clear();
        setEnterprise("1.3.6.1.4.1.6203.99");
        setGeneric(6);
        setSpecific(1);
        addString("1.3.6.1.4.1.6203.99.1", marker.c_str());
        return static_cast<LONG>(send());
    }
};

// ---- hold / keep -------------------------------------------------------------------------

int HoldStoreTransaction(const char* file, const char* insert) {
    // One write through the product first: it makes the store and its tables.
    HKEY key = nullptr;
    HANDLE source = RegisterEventSourceA(nullptr, "VqTrial");
    const char* strings[1] = {"vqtrial:txn"};
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\VqTrial", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS ||
        !source || !ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 0, 1, nullptr, 1, 0, strings, nullptr))
        return Fail("cannot write through the registry and the event log");
    RegCloseKey(key);
    DeregisterEventSource(source);
    std::string why;
    auto db = pal::core::SqliteDb::Open(pal::core::RootDir() + "/" + file, nullptr, why);
    if (!db) return Fail(std::string("cannot open ") + file + ": " + why);
    if (!db->Begin()) return Fail(std::string("cannot begin a transaction on ") + file + ": " + db->LastError());
    // An uncommitted row: it must be gone once the holder is killed.
    if (!db->Exec(insert)) return Fail(std::string("cannot write to ") + file + ": " + db->LastError());
    Say("held");
    SleepForever();
}

int HoldRegistryWrites() {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\VqTrial", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return Fail("cannot create HKLM\\SOFTWARE\\VqTrial");
    std::vector<BYTE> blob(4096);
    for (DWORD i = 1;; ++i) {
        std::memset(blob.data(), static_cast<int>(i & 0xFF), blob.size());
        char name[32];
        std::snprintf(name, sizeof name, "v%u", i % 64);
        if (RegSetValueExA(key, name, 0, REG_BINARY, blob.data(), static_cast<DWORD>(blob.size())) != ERROR_SUCCESS ||
            RegSetValueExA(key, "n", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&i), sizeof i) != ERROR_SUCCESS)
            return Fail("a registry write failed");
        if (i == 1) Say("held");
    }
}

int HoldEventWrites() {
    HANDLE h = RegisterEventSourceA(nullptr, "VqTrial");
    if (!h) return Fail("cannot register the event source VqTrial");
    for (DWORD i = 1;; ++i) {
        std::string text = "vqtrial:hold-" + std::to_string(i) + std::string(512, 'x');
        const char* strings[1] = {text.c_str()};
        if (!ReportEventA(h, EVENTLOG_INFORMATION_TYPE, 0, 1, nullptr, 1, 0, strings, nullptr))
            return Fail("ReportEvent failed");
        if (i == 1) Say("held");
    }
}

int Hold(const std::string& kind) {
    if (kind == "trap") {
        HANDLE m = OpenMutexA(SYNCHRONIZE, FALSE, kTrapMutex);
        if (!m) return Fail("no SNMP service host is running (the trap mutex does not exist)");
        DWORD w = WaitForSingleObject(m, INFINITE);
        if (w != WAIT_OBJECT_0 && w != WAIT_ABANDONED) return Fail("cannot take the trap mutex");
    } else if (kind == "applog") {
        OpenTrialLog(0);
        HANDLE m = CreateMutexA(nullptr, FALSE, LogMutexName("VQLogFileMutex_").c_str());
        DWORD w = m ? WaitForSingleObject(m, INFINITE) : WAIT_FAILED;
        if (w != WAIT_OBJECT_0 && w != WAIT_ABANDONED) return Fail("cannot take the log's file mutex");
    } else if (kind == "applog-flush") {
        HANDLE m = CreateMutexA(nullptr, FALSE, LogMutexName("VQLogFlushMutex_").c_str());
        DWORD w = m ? WaitForSingleObject(m, INFINITE) : WAIT_FAILED;
        if (w != WAIT_OBJECT_0 && w != WAIT_ABANDONED) return Fail("cannot take the log's flush mutex");
    } else if (kind == "shm") {
        static CSharedMemory shm;
        if (shm.Open(kShmName, kShmSize, 1) < 0) return Fail("cannot open the shared memory block");
        // Half a block written: the holder dies in the middle of an update.
        std::memset(shm.GetView(), 0xAB, kShmSize / 2);
    } else if (kind == "registry") {
        return HoldRegistryWrites();
    } else if (kind == "eventlog") {
        return HoldEventWrites();
    } else if (kind == "registry-txn") {
        return HoldStoreTransaction("registry.db",
                                    "INSERT INTO keys(parent, name) VALUES(-1, 'vqtrial-uncommitted')");
    } else if (kind == "eventlog-txn") {
        return HoldStoreTransaction("eventlog.db", "INSERT INTO logs(name) VALUES('vqtrial-uncommitted')");
    }
    Say("held");
    SleepForever();
}

int Keep(const std::string& kind) {
    if (kind == "applog" || kind == "applog-flush") {
        if (!CreateMutexA(nullptr, FALSE, LogMutexName("VQLogFileMutex_").c_str()) ||
            !CreateMutexA(nullptr, FALSE, LogMutexName("VQLogFlushMutex_").c_str()))
            return Fail("cannot open the log's mutexes");
    } else if (kind == "shm") {
        static CSharedMemory shm;
        if (shm.Open(kShmName, kShmSize, 0) < 0) return Fail("cannot open the shared memory block");
    } else if (kind != "trap") {
        return Fail("keep takes trap, applog, applog-flush or shm, not \"" + kind + "\"");
    }
    Say("kept");
    SleepForever();
}

// ---- use -----------------------------------------------------------------------------------

struct Used {
    std::string error;  // "" when the lock was had and the checks held
    bool abandoned = false;
    std::string detail;
};

Used UseLock(const std::string& kind, DWORD timeoutMs, const std::string& marker) {
    Used u;
    if (kind == "trap") {
        Norvik n;
        if ((u.error = n.Load()).empty()) {
            LONG rc = n.SendMarked(marker);
            u.abandoned = rc == WAIT_ABANDONED;
            u.detail = ", Send " + std::to_string(rc);
            if (rc != 0 && rc != WAIT_ABANDONED) u.error = "Send returned " + std::to_string(rc);
        }
    } else if (kind == "applog") {
        u.error = Probe(LogMutexName("VQLogFileMutex_"), timeoutMs, u.abandoned);
        if (u.error.empty()) {
            OpenTrialLog(0);
            CAplLog::Write(0, 0, 0, "vqtrial", marker.c_str(), 1);
            CAplLog::Close();
            if (ReadAplLog().find(marker) == std::string::npos)
                u.error = "the line \"" + marker + "\" is not in " + kLogDir + "vqapl.log";
        }
    } else if (kind == "applog-flush") {
        u.error = Probe(LogMutexName("VQLogFlushMutex_"), timeoutMs, u.abandoned);
        if (u.error.empty()) {
            size_t before = Occurrences(ReadAplLog(), kRuleText);
            OpenTrialLog(1);
            // The housekeeping thread logs the line once it has the right of log rule.
            while (Occurrences(ReadAplLog(), kRuleText) <= before) Sleep(20);
            CAplLog::Close();
        }
    } else if (kind == "shm") {
        u.error = Probe(std::string("Mutex") + kShmName, timeoutMs, u.abandoned);
        if (u.error.empty()) {
            CSharedMemory shm;
            std::vector<uint8_t> block(kShmSize), mine(kShmSize, 0x5A);
            if (shm.Open(kShmName, kShmSize, 0) < 0) {
                u.error = "cannot open the shared memory block";
            } else if (shm.Lock(timeoutMs) != 0) {
                u.error = "CSharedMemory::Lock failed";
            } else {
                shm.Load(block.data());
                shm.Save(mine.data());
                shm.Load(block.data());
                shm.Release();
                if (block != mine) u.error = "the block does not hold what was saved";
            }
        }
    } else {
        u.error = "use takes trap, applog, applog-flush or shm, not \"" + kind + "\"";
    }
    return u;
}

int Use(const std::string& kind, const std::vector<std::string>& args) {
    unsigned long long timeout = 10000;
    if (!ParseNumber(Option(args, "--timeout", "10000"), timeout) || timeout == 0 || timeout > 600000)
        return Usage("--timeout takes 1 to 600000 ms");
    std::string marker = Option(args, "--marker", "vqtrial:use-" + std::to_string(getpid()));
    auto start = Clock::now();
    auto result = std::async(std::launch::async, UseLock, kind, static_cast<DWORD>(timeout), marker);
    if (result.wait_for(std::chrono::milliseconds(timeout)) != std::future_status::ready) {
        std::fprintf(stderr, "vqtrial: use %s: still waiting after %llu ms\n", kind.c_str(), timeout);
        std::fflush(stderr);
        _exit(1);
    }
    Used u = result.get();
    if (!u.error.empty()) return Fail("use " + kind + ": " + u.error);
    std::printf("%s: waited %lld ms, %s%s\n", kind.c_str(), MsSince(start), u.abandoned ? "abandoned" : "free",
                u.detail.c_str());
    return 0;
}

// ---- send / receive / write ----------------------------------------------------------------

int SendMany(unsigned long long count, unsigned long long seconds, const std::string& tag) {
    Norvik n;
    if (std::string why = n.Load(); !why.empty()) return Fail(why);
    unsigned long long ok = 0, abandoned = 0, failed = 0;
    auto start = Clock::now();
    auto end = start + std::chrono::seconds(seconds);
    unsigned long long i = 1;
    for (; (count == 0 || i <= count) && (seconds == 0 || Clock::now() < end); ++i) {
        LONG rc = n.SendMarked("vqtrial:" + tag + "-" + std::to_string(i));
        if (rc == 0) {
            ++ok;
        } else if (rc == WAIT_ABANDONED) {
            ++abandoned;
        } else if (++failed <= 5) {
            std::fprintf(stderr, "vqtrial: send %llu: Send returned %ld\n", i, static_cast<long>(rc));
        }
    }
    long long ms = MsSince(start);
    std::printf("sent %llu in %lld ms: 0 %llu, 128 %llu, failed %llu\n", i - 1, ms, ok, abandoned, failed);
    return failed ? 1 : 0;
}

std::atomic<bool> g_stop{false};
void OnStop(int) { g_stop.store(true); }

int Receive(unsigned long long port, bool quiet) {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) return Fail("cannot make a socket");
    // A deep queue: the senders run at full speed and the count must see every datagram.
    int size = 16 << 20;
    if (setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(port));
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0)
        return Fail("cannot bind 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno));
    struct sigaction sa{};
    sa.sa_handler = OnStop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    Say("receiving");
    MarkerCount count;
    std::vector<uint8_t> buf(65536);
    for (;;) {
        bool stopping = g_stop.load();
        pollfd p{s, POLLIN, 0};
        // After the stop, what is already queued is still counted.
        int r = poll(&p, 1, stopping ? 0 : 200);
        if (r <= 0) {
            if (stopping) break;
            continue;
        }
        ssize_t n = recv(s, buf.data(), buf.size(), 0);
        if (n < 0) continue;
        std::string marker = count.Add(buf.data(), static_cast<size_t>(n));
        if (!quiet && !marker.empty()) std::printf("%s\n", marker.c_str());
    }
    std::printf("%s\n", count.Summary().c_str());
    std::fflush(stdout);
    close(s);
    return 0;
}

int Write(unsigned long long count, unsigned long long rate, const std::vector<std::string>& args) {
    std::string source = Option(args, "--source", "Mordane");
    std::string tag = Option(args, "--tag", "w");
    unsigned long long id = 0;
    if (!ParseNumber(Option(args, "--id", "0x40040099"), id) || id > 0xFFFFFFFFull)
        return Usage("--id takes a 32-bit event id");
    HANDLE h = RegisterEventSourceA(nullptr, source.c_str());
    if (!h) return Fail("cannot register the event source " + source);
    auto start = Clock::now();
    for (unsigned long long i = 1; i <= count; ++i) {
        if (rate > 0) {
            auto due = start + std::chrono::microseconds((i - 1) * 1000000ull / rate);
            if (Clock::now() < due) std::this_thread::sleep_until(due);
        }
        std::string text = "vqtrial:" + tag + "-" + std::to_string(i);
        const char* strings[1] = {text.c_str()};
        if (!ReportEventA(h, EVENTLOG_INFORMATION_TYPE, 0, static_cast<DWORD>(id), nullptr, 1, 0, strings, nullptr))
            return Fail("ReportEvent failed at record " + std::to_string(i) + " (error " +
                        std::to_string(GetLastError()) + ")");
    }
    long long ms = MsSince(start);
    std::printf("wrote %llu records in %lld ms: %.0f a second\n", count, ms,
                ms > 0 ? static_cast<double>(count) * 1000.0 / static_cast<double>(ms) : 0.0);
    DeregisterEventSource(h);
    return 0;
}

}  // namespace

bool KnownKind(const std::string& kind) {
    for (const char* k : {"trap", "applog", "applog-flush", "shm", "registry", "registry-txn", "eventlog",
                          "eventlog-txn"})
        if (kind == k) return true;
    return false;
}

std::string MarkerCount::Find(const uint8_t* data, size_t size) {
    static const char kPrefix[] = "vqtrial:";
    const size_t prefix = sizeof kPrefix - 1;
    for (size_t i = 0; i + prefix <= size; ++i) {
        if (std::memcmp(data + i, kPrefix, prefix) != 0) continue;
        size_t end = i + prefix;
        while (end < size && (std::isalnum(data[end]) || data[end] == '-')) ++end;
        if (end > i + prefix) return std::string(reinterpret_cast<const char*>(data + i), end - i);
    }
    return "";
}

std::string MarkerCount::Add(const uint8_t* data, size_t size) {
    ++datagrams_;
    std::string marker = Find(data, size);
    if (marker.empty()) {
        ++unmarked_;
    } else if (++seen_[marker] > 1) {
        ++duplicates_;
    }
    return marker;
}

std::string MarkerCount::Summary() const {
    return "received " + std::to_string(datagrams_) + " traps: " + std::to_string(distinct()) + " distinct markers, " +
           std::to_string(duplicates_) + " duplicates, " + std::to_string(unmarked_) + " unmarked";
}

int Run(const std::vector<std::string>& args) {
    if (args.empty()) return Usage("no command");
    const std::string& cmd = args[0];
    if (cmd == "--help" || cmd == "-h") {
        std::printf("%s", kUsage);
        return 0;
    }
    if (cmd == "hold" || cmd == "keep" || cmd == "use") {
        if (args.size() < 2 || !KnownKind(args[1]))
            return Usage(cmd + " needs a KIND" + (args.size() >= 2 ? ", not \"" + args[1] + "\"" : ""));
        if (cmd == "hold") return Hold(args[1]);
        if (cmd == "keep") return Keep(args[1]);
        return Use(args[1], args);
    }
    unsigned long long n = 0, m = 0;
    if (cmd == "send") {
        if (args.size() < 2 || !ParseNumber(args[1], n)) return Usage("send needs a count");
        if (!ParseNumber(Option(args, "--seconds", "0"), m)) return Usage("--seconds takes a number");
        if (n == 0 && m == 0) return Usage("send 0 needs --seconds");
        return SendMany(n, m, Option(args, "--tag", std::to_string(getpid())));
    }
    if (cmd == "receive") {
        if (args.size() < 2 || !ParseNumber(args[1], n) || n == 0 || n > 65535) return Usage("receive needs a port");
        return Receive(n, args.size() > 2 && args[2] == "--quiet");
    }
    if (cmd == "write") {
        if (args.size() < 3 || !ParseNumber(args[1], n) || !ParseNumber(args[2], m))
            return Usage("write needs a count and a rate");
        return Write(n, m, args);
    }
    return Usage("unknown command \"" + cmd + "\"");
}

}  // namespace vqtrial
