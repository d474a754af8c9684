#include "gatherer/tests/gatherer_test_util.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "gatherer/monitor.h"
#include "outside/dbgtrace/dbgtrace.h"
#include "pal/core/root.h"
#include "pal/device/device.h"
#include "pal/file/path.h"
#include "pal/registry/regfile.h"
#include "tests/support/child_process.h"

extern char** environ;

namespace gtest_util {

LONG Record::Value() const {
    LONG v = 0;
    if (data.size() >= sizeof v) std::memcpy(&v, data.data(), sizeof v);
    return v;
}

namespace {
std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}
std::string ServiceSubkey(const std::string& subkey) {
    return std::string(mordane::kServiceKey) + (subkey.empty() ? "" : "\\" + subkey);
}

// The whole binary shares one machine root: each test starts without the registry keys,
// records, ini file, device files and trace lines an earlier test left behind.
class FreshGathererMachine : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override {
        for (const char* log : {"Mordane", "Application"}) {
            if (HANDLE h = OpenEventLogA(nullptr, log)) {
                ClearEventLogA(h, nullptr);
                CloseEventLog(h);
            }
        }
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, mordane::kServiceKey);
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Mordane");
        std::error_code ec;
        std::filesystem::remove_all(pal::core::RootDir() + "/devices", ec);
        std::filesystem::remove(pal::MapPath(mordane::kDefaultIniPath), ec);
        std::filesystem::remove(dbgtrace::TraceFilePath(mordane::kServiceKey), ec);
    }
};

[[maybe_unused]] const bool kFreshGathererMachine = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new FreshGathererMachine);
    return true;
}();
}  // namespace

void InstallRegistry() {
    std::string text = ReadFile(std::string(VQ_SOURCE_DIR) + "/gatherer/install/Mordane.reg");
    ASSERT_FALSE(text.empty());
    std::vector<pal::reg::RegEdit> edits;
    pal::reg::RegFileError error;
    ASSERT_TRUE(pal::reg::ParseRegFile(text, edits, error)) << error.ToString();
    ASSERT_EQ(pal::reg::ApplyRegEdits(edits), ERROR_SUCCESS);
}

void RemoveMonitorKey(const std::string& subkey) {
    ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, ServiceSubkey(subkey).c_str()), ERROR_SUCCESS);
}

void WriteIni(const std::string& text, const char* windowsPath) {
    std::string path = pal::MapPath(windowsPath);
    pal::core::MakeDirs(path.substr(0, path.rfind('/')));
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    ASSERT_TRUE(out.good()) << path;
}

void RemoveIni(const char* windowsPath) { std::remove(pal::MapPath(windowsPath).c_str()); }

void SetSensor(const std::map<std::string, std::string>& values) {
    std::map<std::string, std::string> all = {{"provider", "simulated"}};
    for (const auto& [k, v] : values) all[k] = v;
    std::string dir = pal::core::RootDir() + "/devices";
    pal::core::MakeDirs(dir);
    std::string tmp = dir + "/drvsensor.conf.tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        for (const auto& [k, v] : all) out << k << " = " << v << "\n";
    }
    ASSERT_EQ(std::rename(tmp.c_str(), (dir + "/drvsensor.conf").c_str()), 0);
}

void SetIfTable(const std::map<std::string, std::string>& values) {
    pal::device::ConfValues all(values.begin(), values.end());
    all["provider"] = "simulated";
    ASSERT_TRUE(pal::device::WriteDeviceConfig("iftable", all));
}

void SetFirmware(const std::map<std::string, std::string>& values) {
    pal::device::ConfValues all(values.begin(), values.end());
    all["provider"] = "simulated";
    ASSERT_TRUE(pal::device::WriteDeviceConfig("physmem", all));
}

void SetRtc(const std::map<std::string, std::string>& values) {
    pal::device::ConfValues all(values.begin(), values.end());
    all.emplace("provider", "simulated");
    ASSERT_TRUE(pal::device::WriteDeviceConfig("rtcdrv", all));
}

void SetSmart(const std::string& text) {
    const std::string dir = pal::core::RootDir() + "/devices";
    pal::core::MakeDirs(dir);
    {
        std::ofstream out(dir + "/smart.conf.tmp", std::ios::binary | std::ios::trunc);
        out << text;
    }
    ASSERT_EQ(std::rename((dir + "/smart.conf.tmp").c_str(), (dir + "/smart.conf").c_str()), 0);
}

void SetUsb(const std::map<std::string, std::string>& values) {
    pal::device::ConfValues all(values.begin(), values.end());
    all.emplace("provider", "simulated");
    ASSERT_TRUE(pal::device::WriteDeviceConfig("usb", all));
}

std::vector<Record> ReadLog(const char* log) {
    std::vector<Record> out;
    HANDLE h = OpenEventLogA(nullptr, log);
    if (h == nullptr) return out;
    std::vector<BYTE> buf(0x10000);
    for (;;) {
        DWORD read = 0, needed = 0;
        if (!ReadEventLogA(h, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ, 0, buf.data(),
                           static_cast<DWORD>(buf.size()), &read, &needed)) {
            break;
        }
        for (DWORD off = 0; off < read;) {
            const auto* r = reinterpret_cast<const EVENTLOGRECORD*>(buf.data() + off);
            Record rec;
            rec.number = r->RecordNumber;
            rec.id = r->EventID;
            rec.type = r->EventType;
            const BYTE* base = buf.data() + off;
            rec.data.assign(base + r->DataOffset, base + r->DataOffset + r->DataLength);
            const char* s = reinterpret_cast<const char*>(base + r->StringOffset);
            for (WORD i = 0; i < r->NumStrings; ++i) {
                rec.strings.emplace_back(s);
                s += std::strlen(s) + 1;
            }
            out.push_back(std::move(rec));
            off += r->Length;
        }
    }
    CloseEventLog(h);
    return out;
}

std::string TraceText() { return ReadFile(dbgtrace::TraceFilePath(mordane::kServiceKey)); }

long long RegDword(const std::string& subkey, const char* value) {
    DWORD data = 0, size = sizeof data, type = 0;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, ServiceSubkey(subkey).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return -1;
    LONG rc = RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || type != REG_DWORD) return -1;
    return data;
}

void SetRegDword(const std::string& subkey, const char* value, DWORD data) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, ServiceSubkey(subkey).c_str(), 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, value, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof data), ERROR_SUCCESS);
    RegCloseKey(key);
}

bool Exited(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return true;
    const size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

size_t CountRecords(DWORD id) {
    size_t n = 0;
    for (const auto& r : ReadLog()) n += r.id == id;
    return n;
}

std::vector<Record> RecordsOf(DWORD id) {
    std::vector<Record> out;
    for (auto& r : ReadLog())
        if (r.id == id) out.push_back(r);
    return out;
}

#ifdef VQ_MORDANE_BIN
pid_t StartGatherer() {
    setenv("VQ_MORDANE_GRACE_MS", "0", 1);
    char* argv[] = {const_cast<char*>(VQ_MORDANE_BIN), nullptr};
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, VQ_MORDANE_BIN, nullptr, nullptr, argv, environ), 0);
    unsetenv("VQ_MORDANE_GRACE_MS");
    return pid;
}
#endif

int WaitExit(pid_t pid, int timeoutMs) {
    int status = 0;
    for (int waited = 0; waited < timeoutMs; waited += 50) {
        if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        Sleep(50);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

}  // namespace gtest_util

#ifdef VQ_MORDANE_BIN
VQ_CHILD(mordane_service) {
    setenv("VQ_MORDANE_GRACE_MS", args.empty() ? "0" : args[0].c_str(), 1);
    char* argv[] = {const_cast<char*>(VQ_MORDANE_BIN), nullptr};
    execv(VQ_MORDANE_BIN, argv);
    return 127;
}
#endif
