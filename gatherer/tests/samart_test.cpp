// CSamart against the simulated WMI drives: which attributes land in which slot with which
// threshold, the identifier list from ini to registry to memory, and what a failing or
// odd provider leaves in the log.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "gatherer/samart.h"
#include "gatherer/tests/gatherer_test_util.h"
#include "outside/dbgtrace/dbgtrace.h"
#include "pal/core/root.h"

using namespace mordane;
using namespace gtest_util;

namespace {

struct Attr {
    int id, flags, current, worst;
    long long raw;
    int threshold;
};

// One simulated drive's lines (the attribute table in the order given).
std::string DriveConf(int k, const std::vector<Attr>& attrs, const std::string& extra = "") {
    std::string s;
    const std::string d = "drive" + std::to_string(k) + ".";
    for (const Attr& a : attrs) {
        s += d + "attr." + std::to_string(a.id) + " = " + std::to_string(a.flags) + " " + std::to_string(a.current) +
             " " + std::to_string(a.worst) + " " + std::to_string(a.raw) + "\n";
        s += d + "thresh." + std::to_string(a.id) + " = " + std::to_string(a.threshold) + "\n";
    }
    return s + extra;
}

// The 13-byte slot a record should hold for an attribute.
std::vector<BYTE> Slot(const Attr& a) {
    std::vector<BYTE> s = {static_cast<BYTE>(a.id), static_cast<BYTE>(a.flags), static_cast<BYTE>(a.flags >> 8),
                           static_cast<BYTE>(a.current), static_cast<BYTE>(a.worst)};
    for (int k = 0; k < 6; ++k) s.push_back(static_cast<BYTE>(a.raw >> (8 * k)));
    s.push_back(0);
    s.push_back(static_cast<BYTE>(a.threshold));
    return s;
}

std::vector<BYTE> SlotOf(const Record& r, int drive, int slot) {
    const size_t at = static_cast<size_t>(drive * 78 + slot * 13);
    if (r.data.size() < at + 13) return {};
    return std::vector<BYTE>(r.data.begin() + static_cast<long>(at), r.data.begin() + static_cast<long>(at + 13));
}

std::vector<Record> SmartRecords() {
    std::vector<Record> out;
    for (auto& r : ReadLog())
        if (r.id == MSG_SMART_ATTRIBUTES) out.push_back(r);
    return out;
}

// One poll as Process makes it; true when it wrote a record.
bool Poll(CSamart& s) { return s.getSmartAttriubtes() == 0 && s.AddToEventLog() == 0; }

const Attr kRead = {1, 0x000B, 100, 100, 0, 16};
const Attr kRealloc = {5, 0x0033, 100, 100, 3, 36};
const Attr kHours = {9, 0x0032, 97, 97, 0x0000123456789ALL, 0};
const Attr kTemp = {194, 0x0022, 36, 45, 0x2D0024, 0};
const Attr kEvents = {196, 0x0032, 100, 100, 2, 0};
const Attr kPending = {197, 0x0012, 100, 100, 1, 0};
const Attr kUncorrectable = {198, 0x0010, 100, 100, 0, 0};

class Samart : public ::testing::Test {
protected:
    void SetUp() override {
        InstallRegistry();
        g_dwTraceHandle = OpenLogManager(kServiceKey, 0x7FFFFFFF, 0, 0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF);
        ASSERT_NE(CreateServiceStopEvent(), nullptr);
        liveBefore_ = pal::wmi::LiveObjects();
    }
    void TearDown() override {
        g_pfnReportEvent = ReportEventA;
        CloseLogManager(g_dwTraceHandle);
        g_dwTraceHandle = 0;
        CloseServiceStopEvent();
        RemoveIni();
        // Every monitor released its connection and COM on this thread.
        EXPECT_EQ(pal::wmi::LiveObjects(), liveBefore_);
        EXPECT_FALSE(pal::wmi::ComInitializedOnThread());
    }
    long liveBefore_ = 0;
};

}  // namespace

TEST_F(Samart, DefaultListGivesTheSixWatchedSlotsWithTheirThresholds) {
    // 194 sits between the watched ones and is left out; the table's order is not the list's.
    SetSmart("drives = 1\n" + DriveConf(1, {kTemp, kHours, kRead, kUncorrectable, kRealloc, kEvents, kPending}));
    {
        CSamart s;
        ASSERT_EQ(s.Initialize(), 0);
        EXPECT_STREQ(s.m_szAttributeIDs, "1,5,9,196,197,198,");
        EXPECT_EQ(s.m_dwInterval, 300000u);
        ASSERT_TRUE(Poll(s));
    }
    auto records = SmartRecords();
    ASSERT_EQ(records.size(), 1u);
    const Record& r = records[0];
    EXPECT_EQ(r.type, EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(r.strings, (std::vector<std::string>{"1,5,9,196,197,198,"}));
    ASSERT_EQ(r.data.size(), 78u);
    const Attr expected[6] = {kRead, kRealloc, kHours, kEvents, kPending, kUncorrectable};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(SlotOf(r, 0, i), Slot(expected[i])) << "slot " << i;
}

TEST_F(Samart, IdentifierListFromIniToRegistryToSlots) {
    SetSmart("drives = 1\n" + DriveConf(1, {kRead, kRealloc, kHours, {44, 0x32, 90, 80, 7, 10}}));
    struct Case {
        const char* ini;
        const char* text;
        std::vector<char> registry;  // the REG_MULTI_SZ bytes
        std::vector<int> slotIds;    // the identifier in each of the six slots
    };
    const Case cases[] = {
        {"5 9", "5,9,", {'5', 0, '9', 0, 0}, {5, 9, 0, 0, 0, 0}},
        // 300 keeps its low 8 bits; "abc" is 0 and ends the list.
        {"300 abc 5", "44,", {'3', '0', '0', 0, 'a', 'b', 'c', 0, '5', 0, 0}, {44, 0, 0, 0, 0, 0}},
        // Two blanks end the list.
        {"1  5", "1,", {'1', 0, 0, '5', 0, 0}, {1, 0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ini);
        WriteIni(std::string("[SMART]\nWATCH_AttributeIDs=") + c.ini + "\n");
        HANDLE log = OpenEventLogA(nullptr, "Mordane");
        ClearEventLogA(log, nullptr);
        CloseEventLog(log);
        {
            CSamart s;
            ASSERT_EQ(s.Initialize(), 0);
            EXPECT_STREQ(s.m_szAttributeIDs, c.text);
            ASSERT_TRUE(Poll(s));
        }
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Mordane\\SMART", 0,
                                KEY_READ, &key),
                  ERROR_SUCCESS);
        DWORD type = 0, size = 0;
        ASSERT_EQ(RegQueryValueExA(key, "WATCH_AttributeIDs", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
        std::vector<char> value(size);
        ASSERT_EQ(RegQueryValueExA(key, "WATCH_AttributeIDs", nullptr, &type, reinterpret_cast<BYTE*>(value.data()),
                                   &size),
                  ERROR_SUCCESS);
        RegCloseKey(key);
        EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
        EXPECT_EQ(value, c.registry);

        auto records = SmartRecords();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].strings, (std::vector<std::string>{c.text}));
        for (int i = 0; i < 6; ++i) EXPECT_EQ(SlotOf(records[0], 0, i)[0], c.slotIds[static_cast<size_t>(i)]);
        if (c.slotIds[1] == 0) {
            EXPECT_EQ(SlotOf(records[0], 0, 1), std::vector<BYTE>(13, 0));
        }
    }
    // A plain text value (not a multi-string) and one without a final NUL are read too.
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Mordane\\SMART", 0,
                            KEY_SET_VALUE, &key),
              ERROR_SUCCESS);
    RemoveIni();
    ASSERT_EQ(RegSetValueExA(key, "WATCH_AttributeIDs", 0, REG_SZ, reinterpret_cast<const BYTE*>("197 5 9"), 7),
              ERROR_SUCCESS);
    RegCloseKey(key);
    CSamart s;
    ASSERT_EQ(s.Initialize(), 0);
    EXPECT_STREQ(s.m_szAttributeIDs, "197,5,9,");
}

TEST_F(Samart, MissingKeyOrValuesGiveTheDefaultsAndAnOffSwitchTouchesNoDrive) {
    RemoveMonitorKey("SMART");
    SetSmart("drives = 1\n" + DriveConf(1, {kRead}));
    {
        CSamart s;
        ASSERT_EQ(s.Initialize(), 0);
        EXPECT_EQ(s.m_dwWatch, 1u);
        EXPECT_EQ(s.m_dwInterval, 300000u);
        EXPECT_STREQ(s.m_szAttributeIDs, "1,5,9,196,197,198,");
    }
    const std::string trace = TraceText();
    EXPECT_NE(trace.find("Open SMART key of Registry failed."), std::string::npos);
    EXPECT_NE(trace.find("GetConfigFromReg failed."), std::string::npos);

    InstallRegistry();
    WriteIni("[SMART]\nWATCH=0\nINTERVAL=0\n");
    SetSmart("fail_connect = 1\n");
    CSamart s;
    EXPECT_EQ(s.Initialize(), 0);  // no connection attempted
    EXPECT_EQ(s.m_dwInterval, 1000u);
    EXPECT_EQ(s.Process(), 0);
    EXPECT_EQ(TraceText().find("SMART listening"), std::string::npos);
    // The installed key has no list and the ini gave none: the default, traced.
    EXPECT_NE(TraceText().find("Read Registry failed while getting WATCH_ATTIDS."), std::string::npos);
}

TEST_F(Samart, NoDriveGivesTheStringWithoutDataAndATwelfthDriveIsIgnored) {
    SetSmart("drives = 0\n");
    CSamart s;
    ASSERT_EQ(s.Initialize(), 0);
    ASSERT_TRUE(Poll(s));
    auto records = SmartRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].strings, (std::vector<std::string>{"1,5,9,196,197,198,"}));
    EXPECT_TRUE(records[0].data.empty());

    std::string conf = "drives = 12\n";
    for (int k = 1; k <= 12; ++k) conf += DriveConf(k, {{5, 0x33, 100, 100, k, k}});
    SetSmart(conf);
    ASSERT_TRUE(Poll(s));
    records = SmartRecords();
    ASSERT_EQ(records.size(), 2u);
    ASSERT_EQ(records[1].data.size(), 780u);
    for (int k = 0; k < 10; ++k) {
        EXPECT_EQ(SlotOf(records[1], k, 1)[5], k + 1) << "raw value of drive " << k + 1;
        EXPECT_EQ(SlotOf(records[1], k, 1)[12], k + 1) << "its own threshold";
    }
}

TEST_F(Samart, ThresholdsFollowTheDriveNotItsPosition) {
    // Drive 1 has no threshold object: drive 2 keeps its own instead of taking its place.
    SetSmart("drives = 2\n" + DriveConf(1, {kRealloc}, "drive1.thresholds = none\n") +
             DriveConf(2, {{5, 0x33, 100, 100, 0, 99}}));
    CSamart s;
    ASSERT_EQ(s.Initialize(), 0);
    ASSERT_TRUE(Poll(s));
    auto records = SmartRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(SlotOf(records[0], 0, 1)[12], 0);
    EXPECT_EQ(SlotOf(records[0], 1, 1)[12], 99);
    EXPECT_NE(TraceText().find("No thresholds for drive 1."), std::string::npos);

    // A drive added in front after the thresholds were read: they are read again, and both
    // drives get their own.
    SetSmart("drives = 2\n" + DriveConf(1, {{5, 0x33, 100, 100, 0, 7}}, "drive1.instance = NEW\\Disk_0\n") +
             DriveConf(2, {{5, 0x33, 100, 100, 0, 99}}));
    ASSERT_TRUE(Poll(s));
    records = SmartRecords();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(SlotOf(records[1], 0, 1)[12], 7);
    EXPECT_EQ(SlotOf(records[1], 1, 1)[12], 99);
}

TEST_F(Samart, UnusableBlocksFailedQueriesAndTimeOutsWriteNothingFalse) {
    // A VendorSpecific block shorter than the 362 bytes read: that drive is skipped.
    SetSmart("drives = 2\n" + DriveConf(1, {kRead}, "drive1.vendor_len = 361\n") + DriveConf(2, {kHours}));
    CSamart s;
    ASSERT_EQ(s.Initialize(), 0);
    ASSERT_TRUE(Poll(s));
    auto records = SmartRecords();
    ASSERT_EQ(records.size(), 1u);
    ASSERT_EQ(records[0].data.size(), 78u);
    EXPECT_EQ(SlotOf(records[0], 0, 2), Slot(kHours));
    EXPECT_NE(TraceText().find("VendorSpecific is shorter than 362 bytes."), std::string::npos);

    // A failed query: no record for that poll; the next poll writes one.
    SetSmart("fail_query = 1\n");
    EXPECT_EQ(s.getSmartAttriubtes(), -1);
    EXPECT_NE(TraceText().find("CSamart::getSmartAttriubtes\tWQL ExecQuery failed."), std::string::npos)
        << TraceText();
    // A provider that does not answer within the query's time-out: the same.
    SetSmart("drives = 1\nquery_delay_ms = 600000\n");
    s.m_dwQueryTimeout = 300;
    EXPECT_EQ(s.getSmartAttriubtes(), -1);
    EXPECT_NE(TraceText().find("WQL Next timed out."), std::string::npos);
    EXPECT_EQ(SmartRecords().size(), 1u);
    SetSmart("drives = 1\n" + DriveConf(1, {kRead}));
    ASSERT_TRUE(Poll(s));
    EXPECT_EQ(SmartRecords().size(), 2u);

    // A failed write is reported as a failure.
    g_pfnReportEvent = [](HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCSTR*, LPVOID) -> BOOL { return FALSE; };
    EXPECT_EQ(s.AddToEventLog(), -1);
    EXPECT_NE(TraceText().find("CSamart::AddToEventLog\tReportEvent failed."), std::string::npos);
}

TEST_F(Samart, InitializeFailuresReleaseComAndEndTheMonitor) {
    SetSmart("fail_connect = 1\n");
    {
        CSamart s;
        EXPECT_EQ(s.Initialize(), -1);
        EXPECT_FALSE(pal::wmi::ComInitializedOnThread());
    }
    std::string trace = TraceText();
    EXPECT_NE(trace.find("CSamart::initWMI\tConnectServer failed."), std::string::npos) << trace;
    EXPECT_NE(trace.find("CSamart::Initialize\tinitSmart failed."), std::string::npos);

    SetSmart("fail_query = 1\n");
    {
        CSamart s;
        EXPECT_EQ(s.Initialize(), -1);
    }
    EXPECT_NE(TraceText().find("CSamart::Initialize\tgetThresholds failed."), std::string::npos);

    RemoveIni();
    std::remove((pal::core::RootDir() + "/devices/smart.conf").c_str());  // no SMART provider at all
    CSamart s;
    EXPECT_EQ(s.Initialize(), -1);
}

TEST_F(Samart, ProcessPollsUntilTheStopEventAndReleasesComOnItsThread) {
    WriteIni("[SMART]\nINTERVAL=1\n");
    SetSmart("drives = 1\n" + DriveConf(1, {kRead}));
    bool comLeft = true;
    std::thread monitor([&] {
        CSamart s;
        ASSERT_EQ(s.Initialize(), 0);
        s.Process();
        comLeft = pal::wmi::ComInitializedOnThread();
    });
    for (int i = 0; i < 300 && SmartRecords().size() < 2; ++i) Sleep(100);
    EXPECT_GE(SmartRecords().size(), 2u);
    HANDLE stop = OpenStopEvent();
    SetEvent(stop);
    CloseHandle(stop);
    monitor.join();
    EXPECT_FALSE(comLeft);
    const std::string trace = TraceText();
    EXPECT_NE(trace.find("SMART\tSMART listening enable:1,AttributeIDs:1,5,9,196,197,198,"), std::string::npos)
        << trace;
    EXPECT_NE(trace.find("SMART\tListening End."), std::string::npos);
}
