// Shared pieces of the watch job's unit tests: the agent's registry values, records built
// by hand or written to the logs, the provider's journal, the agent's trace file, and a
// fixture that drives one job without the framework. All tests of the binary share one
// machine root, so the fixture wipes what it touches before and after every case.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "agent/eventlogwatch.h"
#include "agent/thdmsgapp.h"
#include "framework/apllog.h"
#include "framework/tests/thdmsg_test_util.h"
#include "outside/dbgtrace/dbgtrace.h"
#include "pal/core/root.h"
#include "pal/file/path.h"
#include "pal/net/net.h"
#include "pal/windows.h"

namespace agenttest {

inline constexpr char kAgentKey[] = "SOFTWARE\\QIR\\VQ FRAMEWORK\\CORVANE";
inline constexpr char kFilterInfKey[] = "SOFTWARE\\QIR\\VQ FRAMEWORK\\CORVANE\\EVENTLOG_FILTER_INF";
inline constexpr char kFilterListKey[] =
    "SOFTWARE\\QIR\\VQ FRAMEWORK\\CORVANE\\EVENTLOG_FILTER_INF\\MATCH\\FILTER_LIST\\EVENT_LOG_FILTER_LIST";
inline constexpr char kFilterKey[] = "SOFTWARE\\QIR\\VQ FRAMEWORK\\CORVANE\\EVENTLOG_FILTER_INF\\MATCH\\FILTER_LIST";
inline constexpr char kOidKey[] = "SOFTWARE\\QIR\\VQ FRAMEWORK\\CORVANE\\EVENTLOG_FILTER_INF\\OID_LIST";
inline constexpr char kSmartKey[] = "SYSTEM\\CurrentControlSet\\Services\\Mordane\\SMART";
inline constexpr char kEventLogKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog";
inline constexpr char kUnitSource[] = "AgentUnit";  // the message-file cases' source, in Application

// ---------------------------------------------------------------- registry

inline void SetRaw(const std::string& path, const char* name, DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              &disposition),
              ERROR_SUCCESS)
        << path;
    EXPECT_EQ(RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS) << name;
    RegCloseKey(key);
}
inline void SetDword(const std::string& path, const char* name, DWORD value) {
    SetRaw(path, name, REG_DWORD, &value, sizeof value);
}
inline void SetText(const std::string& path, const char* name, const std::string& text) {
    SetRaw(path, name, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
}
inline void SetMultiText(const std::string& path, const char* name, const std::vector<std::string>& texts) {
    std::string block;
    for (const auto& t : texts) block += t + '\0';
    block += '\0';
    SetRaw(path, name, REG_MULTI_SZ, block.data(), static_cast<DWORD>(block.size()));
}
inline void DeleteValue(const std::string& path, const char* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
    RegDeleteValueA(key, name);
    RegCloseKey(key);
}
// A DWORD value, or -1 when it is missing.
inline long long ReadDword(const std::string& path, const char* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return -1;
    DWORD value = 0, size = sizeof value, type = 0;
    const LONG r = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
    return r == ERROR_SUCCESS && type == REG_DWORD ? static_cast<long long>(value) : -1;
}

inline void InstallOids() {
    int n = 2;
    for (const char* name : {"DATE", "TIME", "USER", "COMPUTER", "SHORT_EVENT_ID", "EVENT_ID", "SOURCE",
                             "EVENT_TYPE", "EVENT_CATEGORY", "DESCRIPT"})
        SetText(kOidKey, name, ".1.3.6.1.4.1.6203.1.3.1.1.1.1.1." + std::to_string(n++) + ".0");
}

// One filter: EVENT_ID and EVENT_TYPE are always written, empty texts are not.
struct Filter {
    std::string name{};
    DWORD eventId = 0xFFFFFFFFu;
    DWORD eventType = 0xFFFFFFFFu;
    std::string logType = "ALL";
    std::string source{};
    std::string sendType{};
    std::string enterpriseOid{};
    std::string messageString{};
};

// Appends the filter to the list (values enumerate in creation order) and writes its key.
inline void AddFilter(const Filter& f) {
    const std::string key = std::string(kFilterKey) + "\\" + f.name;
    SetText(kFilterListKey, ("F_" + f.name).c_str(), f.name);
    SetDword(key, "EVENT_ID", f.eventId);
    SetDword(key, "EVENT_TYPE", f.eventType);
    const std::pair<const char*, const std::string*> texts[] = {{"LOG_TYPE", &f.logType},
                                                                {"SOURCE_NAME", &f.source},
                                                                {"SENDTYPE", &f.sendType},
                                                                {"ENTERPRISE_OID", &f.enterpriseOid},
                                                                {"MESSAGE_STRING", &f.messageString}};
    for (const auto& [name, value] : texts)
        if (!value->empty()) SetText(key, name, *value);
}

// ---------------------------------------------------------------- records

struct RecordSpec {
    DWORD eventId = 1;
    WORD type = EVENTLOG_INFORMATION_TYPE;
    WORD category = 0;
    DWORD timeGenerated = 0;
    std::string source = "Mordane";
    std::string computer = "UNITPC";
    std::vector<std::string> strings{};
    std::vector<BYTE> data{};
    std::vector<BYTE> sid{};
};

// The record as the log delivers it: header, source, computer, padding, SID, strings,
// data, padding, the length once more.
inline std::vector<BYTE> BuildRecord(const RecordSpec& r) {
    std::vector<BYTE> b(sizeof(EVENTLOGRECORD), 0);
    auto text = [&](const std::string& s) { b.insert(b.end(), s.c_str(), s.c_str() + s.size() + 1); };
    auto pad = [&] { b.resize((b.size() + 3) & ~size_t{3}, 0); };
    text(r.source);
    text(r.computer);
    pad();
    EVENTLOGRECORD h{};
    h.UserSidOffset = static_cast<DWORD>(b.size());
    h.UserSidLength = static_cast<DWORD>(r.sid.size());
    b.insert(b.end(), r.sid.begin(), r.sid.end());
    h.StringOffset = static_cast<DWORD>(b.size());
    for (const auto& s : r.strings) text(s);
    h.DataOffset = static_cast<DWORD>(b.size());
    h.DataLength = static_cast<DWORD>(r.data.size());
    b.insert(b.end(), r.data.begin(), r.data.end());
    pad();
    b.resize(b.size() + 4);
    h.Length = static_cast<DWORD>(b.size());
    h.Reserved = ELF_LOG_SIGNATURE;
    h.RecordNumber = 1;
    h.TimeGenerated = h.TimeWritten = r.timeGenerated;
    h.EventID = r.eventId;
    h.EventType = r.type;
    h.NumStrings = static_cast<WORD>(r.strings.size());
    h.EventCategory = r.category;
    std::memcpy(b.data(), &h, sizeof h);
    std::memcpy(b.data() + b.size() - 4, &h.Length, 4);
    return b;
}

inline EVENTLOGRECORD& HeaderOf(std::vector<BYTE>& record) {
    return *reinterpret_cast<EVENTLOGRECORD*>(record.data());
}

// ---------------------------------------------------------------- event logs

inline void CreateSource(const char* log, const char* source) {
    SetText(std::string(kEventLogKey) + "\\" + log + "\\" + source, "TypesSupported", "7");
}

inline void ClearLog(const char* log) {
    HANDLE h = OpenEventLogA(nullptr, log);
    ASSERT_NE(h, nullptr) << log;
    EXPECT_TRUE(ClearEventLogA(h, nullptr)) << log;
    CloseEventLog(h);
}

inline bool Report(const char* log, const char* source, DWORD id, WORD type, const std::vector<BYTE>& data) {
    HANDLE h = pal::eventlog::RegisterEventSourceInLog(log, source);
    if (!h) return false;
    const BOOL ok = ReportEventA(h, type, 0, id, nullptr, 0, static_cast<DWORD>(data.size()), nullptr,
                                 const_cast<BYTE*>(data.data()));
    DeregisterEventSource(h);
    return ok != FALSE;
}

// ---------------------------------------------------------------- files

inline std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}
inline std::string JournalPath() { return pal::core::RootDir() + "/telvane/journal.log"; }
inline std::string Journal() { return ReadAll(JournalPath()); }
inline std::string TracePath() { return dbgtrace::TraceFilePath(kAgentKey); }

// Copies a message file of agent/tests/testdata into the machine root's system directory.
inline void InstallMessageFile(const char* name) {
    const std::string text = ReadAll(std::string(VQ_SOURCE_DIR) + "/agent/tests/testdata/" + name);
    ASSERT_FALSE(text.empty()) << name;
    const std::string path = pal::MapPath((std::string("C:\\WINDOWS\\system32\\") + name).c_str());
    pal::core::MakeDirs(path.substr(0, path.rfind('/')));
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    ASSERT_TRUE(out.good()) << path;
}

inline size_t CountOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// An environment variable set for one scope, then put back as it was.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = getenv(name)) old_ = old, had_ = true;
        setenv(name, value, 1);
    }
    ~ScopedEnv() { had_ ? setenv(name_.c_str(), old_.c_str(), 1) : unsetenv(name_.c_str()); }

private:
    std::string name_, old_;
    bool had_ = false;
};

// ---------------------------------------------------------------- fixture

// A process object that is never started, jobs driven by hand, the provider library, the
// trace handle and a capture of application-log lines.
class WatchTest : public testing::Test {
protected:
    void SetUp() override {
        Wipe();
        CreateDirectoryA("C:\\agentunit", nullptr);
        CAplLog::SetLog2Info("UNITPC", 1, 1, 3, 0);
        CAplLog::Open(0, "norvik", "C:\\agentunit", 4000000, 0);
        log().Start();
        app_ = std::make_unique<CVQBThdMsgApp>();
        g_hProvider = LoadLibraryA(VQ_TELVANE_LIB);
        ASSERT_NE(g_hProvider, nullptr);
        if (!g_hTrace) g_hTrace = OpenLogManager(kAgentKey, 0x7FFFFFFF, 0, 0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF);
        traceStart_ = ReadAll(TracePath()).size();
    }
    void TearDown() override {
        job_.reset();
        if (g_hProvider) FreeLibrary(g_hProvider);
        g_hProvider = nullptr;
        app_.reset();
        CAplLog::SetWriteHandler(nullptr);
        CAplLog::Close();
        std::remove(pal::net::ConnectionConfigPath().c_str());
        Wipe();
    }

    static void Wipe() {
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kAgentKey);
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kSmartKey);
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, (std::string(kEventLogKey) + "\\Application\\" + kUnitSource).c_str());
        DeleteValue(std::string(kEventLogKey) + "\\Mordane", "MaxSize");
        CreateSource("Mordane", "Mordane");  // the Mordane log exists while its key does
        for (const char* log : {"Application", "Security", "System", "Mordane"}) ClearLog(log);
        std::remove(JournalPath().c_str());
    }

    CFwsystemFweventlogFwwatch& NewJob(const char* request = "#BEGIN\n#START=1\n#END") {
        job_ = std::make_unique<CFwsystemFweventlogFwwatch>(nullptr);
        job_->SetApp(app_.get());
        job_->SetRequestText(request);
        return *job_;
    }

    // Trace lines written since the case began.
    std::string Trace() const { return ReadAll(TracePath()).substr(traceStart_); }
    static thdmsgtest::LogCapture& log() { return thdmsgtest::LogCapture::Get(); }
    static std::vector<thdmsgtest::LogLine> LinesOf(const std::string& function) {
        std::vector<thdmsgtest::LogLine> out;
        for (const auto& l : log().Lines())
            if (l.function == function) out.push_back(l);
        return out;
    }

    std::unique_ptr<CVQBThdMsgApp> app_;
    std::unique_ptr<CFwsystemFweventlogFwwatch> job_;
    size_t traceStart_ = 0;
};

}  // namespace agenttest
