// What quillon's tests share: the ini file, records in the System log with chosen times,
// and the trace's texts.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "outside/dbgtrace/dbgtrace.h"
#include "outside/ledpanel/ledpanel.h"
#include "pal/core/root.h"
#include "pal/eventlog/record.h"
#include "pal/windows.h"

namespace quillon_test {

inline std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline std::string TracePath() { return dbgtrace::TraceFilePath("SYSTEM\\CurrentControlSet\\Services\\Quillon"); }

// The texts of the trace lines (their last field), in order.
inline std::vector<std::string> TraceTexts() {
    std::vector<std::string> texts;
    std::string all = ReadText(TracePath());
    size_t start = 0;
    for (size_t nl; (nl = all.find('\n', start)) != std::string::npos; start = nl + 1) {
        std::string line = all.substr(start, nl - start);
        texts.push_back(line.substr(line.rfind('\t') + 1));
    }
    return texts;
}

inline bool Traced(const std::string& text) {
    for (const auto& t : TraceTexts())
        if (t == text) return true;
    return false;
}

inline void ClearTrace() { std::filesystem::remove(TracePath()); }

inline void WriteFile(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

inline void WriteDisplayConf(const std::string& text) { WriteFile(ledpanel::ConfPath(), text); }

// The code the display shows, or -1.
inline long long DisplayedCode() {
    std::string s = ReadText(ledpanel::StatePath());
    size_t at = s.find("code = ");
    return at == std::string::npos ? -1 : std::atoll(s.c_str() + at + 7);
}

// Appends a record with a chosen generation time to the System log.
inline bool AddSystemRecord(DWORD time, DWORD eventId, const char* source) {
    pal::eventlog::RecordFields f;
    f.timeGenerated = time;
    f.timeWritten = time;
    f.eventId = eventId;
    f.eventType = EVENTLOG_INFORMATION_TYPE;
    f.source = source;
    f.computer = "TERMINAL";
    HANDLE h = OpenEventLogA(nullptr, "System");
    if (!h) return false;
    BOOL ok = pal::eventlog::ImportEventLogRecords(h, {pal::eventlog::BuildRecord(f)});
    CloseEventLog(h);
    return ok;
}

inline void ClearSystemLog() {
    HANDLE h = OpenEventLogA(nullptr, "System");
    if (h) {
        ClearEventLogA(h, nullptr);
        CloseEventLog(h);
    }
}

}  // namespace quillon_test
