// Which log a source writes to and which log a name opens, as the registry says.
#include <gtest/gtest.h>

#include "pal/eventlog/eventlog.h"
#include "pal/eventlog/tests/eventlog_test_util.h"

namespace {

using namespace evtest;

DWORD CountIn(const char* log) {
    HANDLE h = OpenEventLogA(nullptr, log);
    DWORD n = Count(h);
    CloseEventLog(h);
    return n;
}

std::string LogOfSource(const char* source) {
    HANDLE h = RegisterEventSourceA(nullptr, source);
    std::string log = pal::eventlog::LogNameOf(h);
    DeregisterEventSource(h);
    return log;
}

TEST(Routing, SourcesWriteToTheLogTheyAreRegisteredUnder) {
    AddSource("Mordane", "Mordane");
    AddSource("System", "Disk");
    EXPECT_EQ(LogOfSource("Mordane"), "Mordane");
    EXPECT_EQ(LogOfSource("mordane"), "Mordane");  // names match without case
    EXPECT_EQ(LogOfSource("Disk"), "System");
    EXPECT_EQ(LogOfSource("Unregistered"), "Application");

    HANDLE mordane = OpenEventLogA(nullptr, "Mordane");
    ASSERT_TRUE(ClearEventLogA(mordane, nullptr));
    CloseEventLog(mordane);
    const DWORD app = CountIn("Application"), sys = CountIn("System");
    HANDLE src = RegisterEventSourceA(nullptr, "Mordane");
    ASSERT_TRUE(Write(src, 0x4004000B, {}, {1, 2, 3, 4}));
    ASSERT_TRUE(Write(src, 0x4004000E));
    DeregisterEventSource(src);
    EXPECT_EQ(CountIn("Mordane"), 2u);
    EXPECT_EQ(CountIn("MORDANE"), 2u);
    EXPECT_EQ(CountIn("Application"), app);
    EXPECT_EQ(CountIn("System"), sys);

    HANDLE log = OpenEventLogA(nullptr, "Mordane");
    EXPECT_EQ(pal::eventlog::LogNameOf(log), "Mordane");
    Read r = ReadLog(log, kSeqFwd, 0, 4096);
    EXPECT_EQ(r.numbers, (std::vector<DWORD>{1, 2}));
    CloseEventLog(log);
}

TEST(Routing, ALogExistsOnlyWithItsKey) {
    HANDLE h = OpenEventLogA(nullptr, "NotYet");
    EXPECT_EQ(pal::eventlog::LogNameOf(h), "Application");
    CloseEventLog(h);
    EXPECT_EQ(pal::eventlog::RegisterEventSourceInLog("NotYet", "x"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    RegCloseKey(EventLogKey("NotYet"));
    h = OpenEventLogA(nullptr, "notyet");
    EXPECT_EQ(pal::eventlog::LogNameOf(h), "NotYet");
    EXPECT_EQ(Count(h), 0u);
    HANDLE src = pal::eventlog::RegisterEventSourceInLog("NotYet", "Anyone");
    ASSERT_TRUE(Write(src, 1));
    DeregisterEventSource(src);
    EXPECT_EQ(Count(h), 1u);
    CloseEventLog(h);
    EXPECT_EQ(OpenEventLogA("\\\\ELSEWHERE", "System"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
}

}  // namespace
