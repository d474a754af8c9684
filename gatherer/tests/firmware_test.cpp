// BIOSversion and CSerialNo against the simulated firmware area: the records, the
// configuration chain, and firmware images whose tables point or run past the view. The
// views are fenced by inaccessible pages, so a read outside one crashes the test.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include "gatherer/biosversion.h"
#include "gatherer/firmwarearea.h"
#include "gatherer/serialno.h"
#include "gatherer/tests/gatherer_test_util.h"
#include "outside/dbgtrace/dbgtrace.h"
#include "pal/core/root.h"
#include "pal/ntdll/firmware.h"

using namespace mordane;
using namespace gtest_util;

namespace {

constexpr size_t kArea = 0x10000;
const char* const kOtherSignature = kReducedModel ? "KX4_P21" : "RZ9_T08";

using Bytes = std::vector<uint8_t>;

// An SMBIOS structure: header (handle 0x0100), formatted rest, strings, final zero.
Bytes Structure(uint8_t type, Bytes formatted, std::vector<std::string> strings) {
    Bytes s = {type, static_cast<uint8_t>(4 + formatted.size()), 0x00, 0x01};
    for (uint8_t b : formatted) s.push_back(b);
    for (const auto& text : strings) {
        for (char c : text) s.push_back(static_cast<uint8_t>(c));
        s.push_back(0);
    }
    if (strings.empty()) s.push_back(0);
    s.push_back(0);
    return s;
}

// A system information structure with the four string indices given.
Bytes System(uint8_t maker, uint8_t product, uint8_t version, uint8_t serial, std::vector<std::string> strings) {
    Bytes formatted(0x17, 0);
    formatted[0] = maker;
    formatted[1] = product;
    formatted[2] = version;
    formatted[3] = serial;
    return Structure(1, formatted, std::move(strings));
}

Bytes BiosStructure() { return Structure(0, Bytes(0x14, 0), {"Vendor", "1.0"}); }
Bytes End() { return Structure(127, {}, {}); }

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// A 64 KB area: an entry point at entryOffset naming tableAddress, the table at tableOffset
// (or, with tableOffset past the area, the table's end at the area's end).
Bytes Area(uint32_t tableAddress, size_t tableOffset, const Bytes& table, size_t entryOffset = 0x10) {
    Bytes area(kArea, 0);
    if (entryOffset + 0x1C <= kArea) {
        std::memcpy(&area[entryOffset], "_SM_", 4);
        for (int i = 0; i < 4; ++i) area[entryOffset + 0x18 + i] = static_cast<uint8_t>(tableAddress >> (8 * i));
    } else if (entryOffset < kArea) {
        std::memcpy(&area[entryOffset], "_SM_", std::min<size_t>(4, kArea - entryOffset));
    }
    std::memcpy(&area[tableOffset], table.data(), table.size());
    return area;
}

// The same with the table ending exactly at the end of the area.
Bytes AreaEndingWith(const Bytes& table) {
    const size_t at = kArea - table.size();
    return Area(static_cast<uint32_t>(0xF0000 + at), at, table);
}

void UseImage(const Bytes& area, const char* name = "image.bin") {
    std::string path = pal::core::RootDir() + "/devices/" + name;
    pal::core::MakeDirs(pal::core::RootDir() + "/devices");
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(area.data()), static_cast<std::streamsize>(area.size()));
    SetFirmware({{"image", path}});
}

class Firmware : public ::testing::Test {
protected:
    void SetUp() override {
        InstallRegistry();
        RemoveIni();
        g_dwTraceHandle = OpenLogManager(kServiceKey, 0x7FFFFFFF, 0, 0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF);
        ASSERT_NE(CreateServiceStopEvent(), nullptr);
        traceStart_ = TraceText().size();
        logStart_ = ReadLog().size();
    }
    void TearDown() override {
        g_pfnReportEvent = ReportEventA;
        CloseLogManager(g_dwTraceHandle);
        g_dwTraceHandle = 0;
        CloseServiceStopEvent();
        std::remove(pal::ntdll::PhysmemConfigPath().c_str());
        EXPECT_EQ(pal::ntdll::ViewCount(), 0u);  // every view was unmapped
    }
    std::string NewTrace() { return TraceText().substr(traceStart_); }
    std::vector<Record> NewRecords() {
        auto all = ReadLog();
        return std::vector<Record>(all.begin() + static_cast<long>(logStart_), all.end());
    }
    // The serial number read from the current area, or "-" when none was found.
    std::string Serial() {
        CSerialNo s;
        return s.GetSerialNo() == 0 ? s.m_strSerialNo : "-";
    }
    std::string BiosText() {
        BIOSversion b;
        return b.GetBIOSversion() == 0 ? b.m_strBIOSversion : "-";
    }

    size_t traceStart_ = 0;
    size_t logStart_ = 0;
};

std::string Text(const Record& r) { return std::string(r.data.begin(), r.data.end()); }

}  // namespace

TEST_F(Firmware, TheSignatureWithA1GivesOneRecordOfNineBytes) {
    SetFirmware({{"bios_version", "A1"}});
    BIOSversion b;
    ASSERT_EQ(b.Initialize(), 0);
    ASSERT_EQ(b.GetBIOSversion(), 0);
    EXPECT_EQ(b.m_strBIOSversion, std::string(kBiosSignature) + "A1");
    ASSERT_EQ(b.AddToEventLog(), 0);
    auto records = NewRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].id, 0x40040008u);
    EXPECT_EQ(records[0].type, EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(records[0].data.size(), 9u);
    EXPECT_EQ(Text(records[0]), std::string(kBiosSignature) + "A1");
    EXPECT_TRUE(records[0].strings.empty());
    EXPECT_NE(NewTrace().find(std::string(kBiosSignature) + "A1,is written to EventLog "), std::string::npos);
}

TEST_F(Firmware, TheSerialABC123GivesOneRecordOfSixBytes) {
    SetFirmware({{"sys_manufacturer", "Maker"}, {"sys_product", "Model"}, {"sys_version", "1.0"},
                 {"sys_serial", "ABC123"}});
    CSerialNo s;
    ASSERT_EQ(s.Initialize(), 0);
    ASSERT_EQ(s.GetSerialNo(), 0);
    ASSERT_EQ(s.AddToEventLog(), 0);
    auto records = NewRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].id, 0x4004000Bu);
    EXPECT_EQ(records[0].type, EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(records[0].data, (std::vector<BYTE>{'A', 'B', 'C', '1', '2', '3'}));
    EXPECT_NE(NewTrace().find("ABC123,is written to EventLog "), std::string::npos);
}

TEST_F(Firmware, TheBiosTextIsFoundOnlyWholeAndInsideTheView) {
    Bytes area(kArea, 0);
    std::memcpy(&area[kArea - 9], kBiosSignature, 7);  // no zero after it: ends with the view
    area[kArea - 2] = 'A';
    area[kArea - 1] = 'B';
    UseImage(area);
    EXPECT_EQ(BiosText(), std::string(kBiosSignature) + "AB");

    Bytes cut(kArea, 0);
    std::memcpy(&cut[0x200], kOtherSignature, 8);     // the other model's firmware
    std::memcpy(&cut[kArea - 5], kBiosSignature, 5);  // cut by the end of the view
    UseImage(cut);
    EXPECT_EQ(BiosText(), "-");
    SetFirmware({{"sys_serial", "X"}});  // no signature at all
    EXPECT_EQ(BiosText(), "-");
    EXPECT_NE(NewTrace().find("Get BIOSversion failed."), std::string::npos);
}

TEST_F(Firmware, TheSerialIsTheTypeOneStructuresOwnStringFoundByWalkingTheTable) {
    // The index names the serial: without a manufacturer it is the third string, and the
    // fourth would be the next structure's.
    Bytes table = Cat({BiosStructure(), System(0, 1, 2, 3, {"Model", "1.0", "SER-1"}), Structure(3, Bytes(9, 0), {"Case"}),
                       End()});
    UseImage(Area(0xF1000, 0x1000, table));
    EXPECT_EQ(Serial(), "SER-1");

    // A second structure that is not of type 1, whose bytes hold 00 00 01, is skipped by
    // its length; the type-1 structure after it is the one.
    Bytes tricky = Structure(2, {0x00, 0x00, 0x01, 0x05, 0x00, 0x00, 0x01}, {"Board"});
    table = Cat({BiosStructure(), tricky, System(1, 2, 3, 4, {"M", "P", "V", "SER-2"}), End()});
    UseImage(Area(0xF2000, 0x2000, table));
    EXPECT_EQ(Serial(), "SER-2");

    // The table may start anywhere in the view, and so may the entry point.
    table = Cat({System(1, 2, 3, 4, {"M", "P", "V", "SER-3"}), End()});
    UseImage(Area(0xF0000, 0, table, 0x8000));
    EXPECT_EQ(Serial(), "SER-3");
}

TEST_F(Firmware, TablesThatPointOrRunOutsideTheViewGiveNoSerial) {
    const Bytes good = System(1, 2, 3, 4, {"M", "P", "V", "S"});
    struct Case {
        const char* what;
        Bytes area;
    };
    Bytes truncated = System(1, 2, 3, 4, {});
    truncated.resize(6);  // claims 27 bytes, has 6 before the view ends
    Bytes noEnd = System(1, 2, 3, 4, {"M", "P", "V", "S"});
    noEnd.pop_back();  // the strings run into the end of the view
    const std::vector<Case> cases = {
        {"table below the area", Area(0xE0000, 0x100, Cat({good, End()}))},
        {"table above the area", Area(0x100000, 0x100, Cat({good, End()}))},
        {"type-1 structure cut by the end of the view", AreaEndingWith(Cat({BiosStructure(), truncated}))},
        {"strings without their double zero", AreaEndingWith(Cat({BiosStructure(), noEnd}))},
        {"serial index past the structure's strings", AreaEndingWith(Cat({BiosStructure(), System(1, 2, 3, 9, {"M", "P"})}))},
        {"serial index past strings, next structure has more",
         Area(0xF0100, 0x100, Cat({System(1, 2, 3, 5, {"M", "P", "V", "S"}), Structure(3, {}, {"x", "y"}), End()}))},
        {"serial index 0", Area(0xF0100, 0x100, Cat({System(1, 2, 3, 0, {"M", "P", "V"}), End()}))},
        {"type-1 structure too short for a serial index",
         Area(0xF0100, 0x100, Cat({Structure(1, {1, 2, 3}, {"M", "P", "V"}), End()}))},
        {"structure length below its header", Area(0xF0100, 0x100, Cat({Bytes{0, 2, 0, 0, 0, 0}, good}))},
        {"end of table before any type-1", Area(0xF0100, 0x100, Cat({BiosStructure(), End(), good}))},
        {"no type-1 structure before the view ends", AreaEndingWith(Cat({BiosStructure(), BiosStructure()}))},
        {"entry point cut by the end of the view", Area(0xF0100, 0x100, Cat({good, End()}), kArea - 20)},
        {"no anchor", Area(0xF0100, 0x100, Cat({good, End()}), kArea)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UseImage(c.area);
        EXPECT_EQ(Serial(), "-");
    }
    EXPECT_NE(NewTrace().find("Get SerialNo failed."), std::string::npos);
    EXPECT_TRUE(NewRecords().empty());
}

TEST_F(Firmware, WithoutTheSectionOrItsViewBothMonitorsTraceTheMappingFailure) {
    std::remove(pal::ntdll::PhysmemConfigPath().c_str());
    EXPECT_EQ(BiosText(), "-");
    EXPECT_EQ(Serial(), "-");
    SetFirmware({{"bios_version", "A1"}, {"sys_serial", "S"}, {"fail_map", "0xC0000022"}});
    EXPECT_EQ(BiosText(), "-");
    EXPECT_EQ(Serial(), "-");
    std::string trace = NewTrace();
    EXPECT_NE(trace.find("GetBIOSversion"), std::string::npos);
    EXPECT_NE(trace.find("CSerialNo::GetSerialNo"), std::string::npos);
    EXPECT_NE(trace.find("Physical memory mapping failed."), std::string::npos);
    EXPECT_EQ(trace.find("Get SerialNo failed."), std::string::npos);
}

TEST_F(Firmware, ALibraryWithoutTheSectionCallsIsAMappingFailureNotACrash) {
    // Another shared object found first under the name libntdll.so.
    HMODULE trace = GetModuleHandleA("dbgtrace.dll");
    ASSERT_NE(trace, nullptr);
    char path[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(trace, path, sizeof path), 0u);
    std::string dir = pal::core::RootDir() + "/fakelib";
    pal::core::MakeDirs(dir);
    {
        std::ifstream in(path, std::ios::binary);
        std::ofstream out(dir + "/libntdll.so", std::ios::binary | std::ios::trunc);
        out << in.rdbuf();
    }
    setenv("VQ_LIBRARY_PATH", dir.c_str(), 1);
    SetFirmware({{"bios_version", "A1"}, {"sys_serial", "S"}});
    EXPECT_EQ(BiosText(), "-");
    EXPECT_EQ(Serial(), "-");
    unsetenv("VQ_LIBRARY_PATH");
    EXPECT_NE(NewTrace().find("Physical memory mapping failed."), std::string::npos);
    EXPECT_EQ(Serial(), "S");  // the real one again
}

TEST_F(Firmware, ASwitchOfZeroReadsNothingAndAnyOtherValueWatches) {
    SetFirmware({{"bios_version", "A1"}, {"sys_serial", "S"}});
    WriteIni("[BIOSVersion]\nWATCH=0\n[SerialNo]\nWATCH=0\n");
    {
        BIOSversion b;
        CSerialNo s;
        ASSERT_EQ(b.Initialize(), 0);
        ASSERT_EQ(s.Initialize(), 0);
        EXPECT_EQ(RegDword("BIOSVersion", "WATCH_BIOSVersion"), 0);
        EXPECT_EQ(RegDword("SerialNo", "WATCH_SerialNo"), 0);
        EXPECT_EQ(b.Process(), 0);  // at once, although the stop event is not set
        EXPECT_EQ(s.Process(), 0);
    }
    EXPECT_TRUE(NewRecords().empty());
    EXPECT_EQ(NewTrace().find("listening enable"), std::string::npos);

    WriteIni("[BIOSVersion]\nWATCH=2\n[SerialNo]\nWATCH=-1\n");  // -1: absent, registry kept
    BIOSversion b;
    CSerialNo s;
    ASSERT_EQ(b.Initialize(), 0);
    ASSERT_EQ(s.Initialize(), 0);
    EXPECT_EQ(b.m_dwWatchBIOSVersion, 2u);
    EXPECT_EQ(s.m_dwWatchSerialNo, 0u);
}

TEST_F(Firmware, MissingKeysAndValuesFallBackToWatchingWithTheirOwnTraces) {
    WriteIni("[BIOSVersion]\nWATCH=1\n[SerialNo]\nWATCH=1\n");
    RemoveMonitorKey("BIOSVersion");
    RemoveMonitorKey("SerialNo");
    BIOSversion b;
    CSerialNo s;
    ASSERT_EQ(b.Initialize(), 0);
    ASSERT_EQ(s.Initialize(), 0);
    EXPECT_EQ(b.m_dwWatchBIOSVersion, 1u);
    EXPECT_EQ(s.m_dwWatchSerialNo, 1u);
    std::string trace = NewTrace();
    EXPECT_NE(trace.find("RegOpenKeyEx failed while setting WATCH key."), std::string::npos);
    EXPECT_NE(trace.find("Open Registry failed\n"), std::string::npos) << trace;
    EXPECT_NE(trace.find("Open Registry failed."), std::string::npos);

    InstallRegistry();  // the subkeys again, without values
    RemoveIni();
    traceStart_ = TraceText().size();
    BIOSversion b2;
    CSerialNo s2;
    ASSERT_EQ(b2.Initialize(), 0);
    ASSERT_EQ(s2.Initialize(), 0);
    EXPECT_EQ(b2.m_dwWatchBIOSVersion, 1u);
    EXPECT_EQ(s2.m_dwWatchSerialNo, 1u);
    trace = NewTrace();
    EXPECT_NE(trace.find("Get WATCH key from config file failed."), std::string::npos);
    EXPECT_NE(trace.find("Read Registry failed while getting config key."), std::string::npos);
    EXPECT_NE(trace.find("Read Registry failed."), std::string::npos);
}

TEST_F(Firmware, AFailedWriteIsTracedAndReported) {
    SetFirmware({{"bios_version", "A1"}, {"sys_serial", "S"}});
    g_pfnReportEvent = [](HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCSTR*, LPVOID) -> BOOL {
        SetLastError(ERROR_LOG_FILE_FULL);
        return FALSE;
    };
    BIOSversion b;
    CSerialNo s;
    ASSERT_EQ(b.GetBIOSversion(), 0);
    ASSERT_EQ(s.GetSerialNo(), 0);
    EXPECT_EQ(b.AddToEventLog(), -1);
    EXPECT_EQ(s.AddToEventLog(), -1);
    std::string trace = NewTrace();
    EXPECT_NE(trace.find("ReportEvent failed\n"), std::string::npos) << trace;
    EXPECT_NE(trace.find("ReportEvent failed."), std::string::npos);
    EXPECT_EQ(trace.find("is written to EventLog"), std::string::npos);
}

TEST_F(Firmware, ProcessReadsOnceThenWaitsForTheStopEvent) {
    SetFirmware({{"bios_version", "B2"}, {"sys_serial", "SN-77"}});
    BIOSversion b;
    CSerialNo s;
    ASSERT_EQ(b.Initialize(), 0);
    ASSERT_EQ(s.Initialize(), 0);
    std::thread tb([&] { EXPECT_EQ(b.Process(), 0); });
    std::thread ts([&] { EXPECT_EQ(s.Process(), 0); });
    for (int i = 0; i < 200 && NewRecords().size() < 2; ++i) Sleep(50);
    Sleep(300);  // still waiting, nothing more written
    EXPECT_EQ(NewRecords().size(), 2u);
    HANDLE stop = OpenStopEvent();
    SetEvent(stop);
    CloseHandle(stop);
    tb.join();
    ts.join();
    std::string trace = NewTrace();
    EXPECT_NE(trace.find("BIOSversion listening enable:1"), std::string::npos);
    EXPECT_NE(trace.find("SerialNo listening enable:1"), std::string::npos);
    EXPECT_EQ(trace.find("Listening End."), std::string::npos);
}
