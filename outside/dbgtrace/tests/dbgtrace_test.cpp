#include "outside/dbgtrace/dbgtrace.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <iconv.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "pal/windows.h"
#include "tests/support/child_process.h"

namespace {

const DWORD kBig = 0x7FFFFFFF;

DWORD Open(const char* key) { return OpenLogManager(key, kBig, 0, kBig, kBig, kBig); }

std::vector<std::string> Lines(const char* key) {
    std::ifstream in(dbgtrace::TraceFilePath(key), std::ios::binary);
    std::vector<std::string> lines;
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream s(all);
    for (std::string line; std::getline(s, line);) lines.push_back(line);
    if (!all.empty()) {
        EXPECT_EQ(all.back(), '\n') << "last line cut short";
    }
    return lines;
}

struct Fields {
    std::string time, tid, level, label, text;
};

// "9999-99-99 99:99:99.999": 9 is any digit, every other character stands for itself.
bool Matches(const std::string& s, const std::string& pattern) {
    if (s.size() != pattern.size()) return false;
    for (size_t i = 0; i < s.size(); ++i) {
        bool digit = s[i] >= '0' && s[i] <= '9';
        if (pattern[i] == '9' ? !digit : s[i] != pattern[i]) return false;
    }
    return true;
}

bool Number(const std::string& s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

// Splits a line into its five tab-separated fields, checking the fixed ones.
bool Split(const std::string& line, Fields& f) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        size_t tab = line.find('\t', start);
        if (tab == std::string::npos) return false;
        parts.push_back(line.substr(start, tab - start));
        start = tab + 1;
    }
    parts.push_back(line.substr(start));
    if (!Matches(parts[0], "9999-99-99 99:99:99.999") || !Number(parts[1]) ||
        !Number(parts[2]) || parts[4].find('\t') != std::string::npos)
        return false;
    f = {parts[0], parts[1], parts[2], parts[3], parts[4]};
    return true;
}

TEST(DbgTraceFile, LineHasTimeThreadLevelLabelAndFormattedText) {
    const char* key = "SYSTEM\\CurrentControlSet\\Services\\Mordane";
    EXPECT_THAT(dbgtrace::TraceFilePath(key),
                testing::EndsWith("/trace/SYSTEM_CurrentControlSet_Services_Mordane.log"));
    DWORD h = Open(key);
    ASSERT_NE(h, 0u);
    DebugLogData(h, 2, "CCpuSensor::GetConfigFromReg", "value %d of %s (%5.1f%%)", 42, "cpu", 7.25);
    DebugLogData(h, 1, "Brisvel", "Brisvel Startup");
    CloseLogManager(h);

    auto lines = Lines(key);
    ASSERT_EQ(lines.size(), 2u);
    Fields f;
    ASSERT_TRUE(Split(lines[0], f)) << lines[0];
    EXPECT_EQ(f.tid, std::to_string(GetCurrentThreadId()));
    EXPECT_EQ(f.level, "2");
    EXPECT_EQ(f.label, "CCpuSensor::GetConfigFromReg");
    EXPECT_EQ(f.text, "value 42 of cpu (  7.2%)");
    SYSTEMTIME now;
    GetLocalTime(&now);
    char year[8];
    snprintf(year, sizeof year, "%04u", now.wYear);
    EXPECT_EQ(f.time.substr(0, 4), year);
    ASSERT_TRUE(Split(lines[1], f)) << lines[1];
    EXPECT_EQ(f.level, "1");
    EXPECT_EQ(f.text, "Brisvel Startup");
}

TEST(DbgTraceFile, KeysGoToSeparateFilesAndReopeningAppends) {
    DWORD a = Open("SOFTWARE\\QIR\\VQ FRAMEWORK\\CORVANE");
    DWORD b = Open("SYSTEM\\CurrentControlSet\\Services\\Quillon");
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, a);
    DebugLogData(a, 1, "A", "to a");
    DebugLogData(b, 1, "B", "to b");
    CloseLogManager(a);
    CloseLogManager(b);
    DWORD again = Open("SOFTWARE\\QIR\\VQ FRAMEWORK\\CORVANE");
    DebugLogData(again, 1, "A", "second");
    CloseLogManager(again);
    auto la = Lines("SOFTWARE\\QIR\\VQ FRAMEWORK\\CORVANE");
    auto lb = Lines("SYSTEM\\CurrentControlSet\\Services\\Quillon");
    ASSERT_EQ(la.size(), 2u);
    ASSERT_EQ(lb.size(), 1u);
    EXPECT_THAT(la[0], testing::EndsWith("\tA\tto a"));
    EXPECT_THAT(la[1], testing::EndsWith("\tA\tsecond"));
    EXPECT_THAT(lb[0], testing::EndsWith("\tB\tto b"));
}

TEST(DbgTraceHandles, ZeroUnknownAndClosedHandlesDoNothingAndKeepLastError) {
    SetLastError(1234);
    errno = 77;
    DebugLogData(0, 1, "X", "nothing %d", 1);
    CloseLogManager(0);
    DebugLogData(0xDEAD, 1, "X", "nothing");
    CloseLogManager(0xDEAD);
    DWORD h = Open("closed");
    DebugLogData(h, 1, "X", "kept");
    CloseLogManager(h);
    DebugLogData(h, 1, "X", "after close");
    CloseLogManager(h);
    EXPECT_EQ(GetLastError(), 1234u);
    EXPECT_EQ(errno, 77);
    auto lines = Lines("closed");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_THAT(lines[0], testing::EndsWith("\tkept"));
}

TEST(DbgTraceText, ControlCharactersKeepOneLinePerCall) {
    DWORD h = Open("ctl");
    DebugLogData(h, 3, "La\tbel", "one\ntwo\r\n");
    DebugLogData(h, 1, nullptr, nullptr);
    CloseLogManager(h);
    auto lines = Lines("ctl");
    ASSERT_EQ(lines.size(), 2u);
    Fields f;
    ASSERT_TRUE(Split(lines[0], f)) << lines[0];
    EXPECT_EQ(f.label, "La\\x09bel");
    EXPECT_EQ(f.text, "one\\x0Atwo\\x0D\\x0A");
    ASSERT_TRUE(Split(lines[1], f)) << lines[1];
    EXPECT_EQ(f.label, "");
    EXPECT_EQ(f.text, "");
}

TEST(DbgTraceText, Utf8KeptCp932ConvertedInvalidBytesEscaped) {
    DWORD h = Open("enc");
    DebugLogData(h, 1, "L", "%s", "\xE6\x97\xA5\xE6\x9C\xAC ok");   // UTF-8 "日本"
    DebugLogData(h, 1, "L", "%s", "\x93\xFA\x96\x7B ng");           // CP932 "日本"
    DebugLogData(h, 1, "L", "%s", "a\xFF" "b\x93");                  // no CP932 either
    CloseLogManager(h);
    auto lines = Lines("enc");
    ASSERT_EQ(lines.size(), 3u);
    Fields f;
    ASSERT_TRUE(Split(lines[0], f));
    EXPECT_EQ(f.text, "\xE6\x97\xA5\xE6\x9C\xAC ok");
    bool haveCp932 = false;
    iconv_t cd = iconv_open("UTF-8", "CP932");
    if (cd != reinterpret_cast<iconv_t>(-1)) {
        haveCp932 = true;
        iconv_close(cd);
    }
    ASSERT_TRUE(Split(lines[1], f));
    EXPECT_EQ(f.text, haveCp932 ? "\xE6\x97\xA5\xE6\x9C\xAC ng" : "\\x93\\xFA\\x96{ ng");
    ASSERT_TRUE(Split(lines[2], f));
    EXPECT_EQ(f.text, "a\\xFFb\\x93");
}

TEST(DbgTraceText, VeryLongMessageIsKeptWhole) {
    std::string big(3 * 1024 * 1024 + 17, 'x');
    for (size_t i = 0; i < big.size(); i += 4096) big[i] = static_cast<char>('a' + (i / 4096) % 26);
    DWORD h = Open("long");
    DebugLogData(h, 1, "Big", "<%s>%d", big.c_str(), 9);
    CloseLogManager(h);
    auto lines = Lines("long");
    ASSERT_EQ(lines.size(), 1u);
    Fields f;
    ASSERT_TRUE(Split(lines[0], f));
    EXPECT_EQ(f.text.size(), big.size() + 3);
    EXPECT_TRUE(f.text == "<" + big + ">9");
}

// Lines of the form "<writer> <n>" with a 2 KB pad, so a torn write shows up.
void WriteNumbered(DWORD h, const std::string& writer, int count) {
    std::string pad(2048, '.');
    for (int i = 0; i < count; ++i) DebugLogData(h, 1, writer.c_str(), "%d %s", i, pad.c_str());
}

void ExpectWholeNumberedLines(const char* key, const std::vector<std::string>& writers,
                              int count) {
    auto lines = Lines(key);
    EXPECT_EQ(lines.size(), writers.size() * static_cast<size_t>(count));
    std::set<std::string> seen;
    Fields f;
    for (const auto& line : lines) {
        ASSERT_TRUE(Split(line, f)) << line.substr(0, 200);
        ASSERT_EQ(f.text.size() - f.text.find(' '), 2049u);
        EXPECT_TRUE(seen.insert(f.label + " " + f.text.substr(0, f.text.find(' '))).second);
    }
    for (const auto& w : writers)
        for (int i = 0; i < count; ++i)
            EXPECT_EQ(seen.count(w + " " + std::to_string(i)), 1u) << w << " " << i;
}

TEST(DbgTraceConcurrency, ThreadsSharingOneHandleWriteWholeLines) {
    DWORD h = Open("threads");
    std::vector<std::string> writers;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        writers.push_back("T" + std::to_string(t));
        threads.emplace_back(WriteNumbered, h, writers.back(), 300);
    }
    // Opening and closing other handles meanwhile must not disturb the writers.
    for (int i = 0; i < 50; ++i) CloseLogManager(Open("churn"));
    for (auto& t : threads) t.join();
    CloseLogManager(h);
    ExpectWholeNumberedLines("threads", writers, 300);
}

VQ_CHILD(dbgtrace_writer) {
    DWORD h = Open(args.at(0).c_str());
    vqtest::Tell("ready");
    WriteNumbered(h, "child", std::stoi(args.at(1)));
    CloseLogManager(h);
    return 0;
}

TEST(DbgTraceConcurrency, TwoProcessesOnOneKeyWriteWholeLines) {
    const char* key = "SYSTEM\\CurrentControlSet\\Services\\Shared";
    vqtest::ChildProcess child("dbgtrace_writer", {key, "2000"});
    ASSERT_TRUE(child.Expect("ready"));
    DWORD h = Open(key);
    WriteNumbered(h, "parent", 2000);
    CloseLogManager(h);
    EXPECT_EQ(child.Wait(), 0);
    ExpectWholeNumberedLines(key, {"parent", "child"}, 2000);
}

TEST(DbgTraceLoading, LoadsByNameAndBindsTheFourNames) {
    HMODULE mod = LoadLibraryA("dbgtrace.dll");
    ASSERT_NE(mod, nullptr) << GetLastError();
    auto open = reinterpret_cast<DWORD (*)(const char*, DWORD, DWORD, DWORD, DWORD, DWORD)>(
        GetProcAddress(mod, "OpenLogManager"));
    auto log = reinterpret_cast<void (*)(DWORD, DWORD, const char*, const char*, ...)>(
        GetProcAddress(mod, "DebugLogData"));
    auto close = reinterpret_cast<void (*)(DWORD)>(GetProcAddress(mod, "CloseLogManager"));
    ASSERT_NE(open, nullptr);
    ASSERT_NE(log, nullptr);
    ASSERT_NE(close, nullptr);
    EXPECT_NE(GetProcAddress(mod, "DebugLogDataEx"), nullptr);
    DWORD h = open("LOADED\\Quillon", kBig, 0, kBig, kBig, kBig);
    log(h, 1, "CMainFrame::OnCreate", ">>>Start Logging.");
    close(h);
    EXPECT_TRUE(FreeLibrary(mod));
    auto lines = Lines("LOADED\\Quillon");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_THAT(lines[0], testing::EndsWith("\t1\tCMainFrame::OnCreate\t>>>Start Logging."));
}

}  // namespace
