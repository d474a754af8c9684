// The stand-in ntdll: found by name, the section's name, rights and faults, the view's
// rounding and fences, and the providers of the firmware area.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "pal/core/root.h"
#include "pal/ntdll/firmware.h"
#include "pal/windows.h"

using namespace pal::ntdll;

namespace {

struct Ntdll {
    HMODULE module = LoadLibraryA("ntdll.dll");
    PFN_ZwOpenSection open = reinterpret_cast<PFN_ZwOpenSection>(GetProcAddress(module, "ZwOpenSection"));
    PFN_ZwMapViewOfSection map =
        reinterpret_cast<PFN_ZwMapViewOfSection>(GetProcAddress(module, "ZwMapViewOfSection"));
    PFN_ZwUnmapViewOfSection unmap =
        reinterpret_cast<PFN_ZwUnmapViewOfSection>(GetProcAddress(module, "ZwUnmapViewOfSection"));
    PFN_ZwClose close = reinterpret_cast<PFN_ZwClose>(GetProcAddress(module, "ZwClose"));
    ~Ntdll() {
        if (module) FreeLibrary(module);
    }
};

NTSTATUS Open(Ntdll& nt, HANDLE& section, const wchar_t* text = L"\\device\\physicalmemory",
              ULONG attributes = OBJ_CASE_INSENSITIVE, ACCESS_MASK access = SECTION_MAP_READ) {
    std::wstring copy = text;
    UNICODE_STRING name{static_cast<USHORT>(copy.size() * sizeof(WCHAR)),
                        static_cast<USHORT>((copy.size() + 1) * sizeof(WCHAR)), copy.data()};
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, attributes, nullptr, nullptr);
    return nt.open(&section, access, &oa);
}

struct Mapped {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    const uint8_t* view = nullptr;
    SIZE_T size = 0;
    LONGLONG offset = 0;
};

Mapped Map(Ntdll& nt, HANDLE section, LONGLONG offset = 0xF0000, SIZE_T size = 0xFFFF,
           ULONG protect = PAGE_READONLY) {
    Mapped m;
    LARGE_INTEGER at;
    at.QuadPart = offset;
    PVOID base = nullptr;
    m.size = size;
    m.status = nt.map(section, GetCurrentProcess(), &base, 0, 0, &at, &m.size, ViewShare, 0, protect);
    m.view = static_cast<const uint8_t*>(base);
    m.offset = at.QuadPart;
    return m;
}

// The whole area as a program sees it, or empty when it cannot be opened or mapped.
std::vector<uint8_t> ReadArea() {
    Ntdll nt;
    HANDLE section = nullptr;
    if (Open(nt, section) != STATUS_SUCCESS) return {};
    Mapped m = Map(nt, section);
    nt.close(section);
    if (m.status != STATUS_SUCCESS) return {};
    std::vector<uint8_t> bytes(m.view, m.view + m.size);
    nt.unmap(GetCurrentProcess(), const_cast<uint8_t*>(m.view));
    return bytes;
}

std::string Dir(const std::string& name) {
    std::string dir = pal::core::RootDir() + "/" + name;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// A checked 32-bit entry point at offset: the table's address, length and count.
struct Entry {
    uint32_t table = 0;
    uint16_t length = 0, count = 0;
};
Entry CheckedEntry(const std::vector<uint8_t>& area, size_t offset) {
    const uint8_t* e = area.data() + offset;
    EXPECT_EQ(std::memcmp(e, "_SM_", 4), 0);
    EXPECT_EQ(std::memcmp(e + 0x10, "_DMI_", 5), 0);
    EXPECT_EQ(e[5], 0x1F);
    EXPECT_EQ(ChecksumFor(e, 0x1F), 0) << "entry checksum";
    EXPECT_EQ(ChecksumFor(e + 0x10, 0x0F), 0) << "intermediate checksum";
    return {Le32(e + 0x18), Le16(e + 0x16), Le16(e + 0x1C)};
}

// Structure bytes: header, formatted rest, strings (each with its zero), final zero.
std::vector<uint8_t> Structure(uint8_t type, std::vector<uint8_t> formatted, std::vector<std::string> strings) {
    std::vector<uint8_t> s = {type, static_cast<uint8_t>(4 + formatted.size()), 0x10, 0x00};
    s.insert(s.end(), formatted.begin(), formatted.end());
    for (const auto& text : strings) {
        s.insert(s.end(), text.begin(), text.end());
        s.push_back(0);
    }
    if (strings.empty()) s.push_back(0);
    s.push_back(0);
    return s;
}

class PhysicalMemory : public ::testing::Test {
protected:
    void SetUp() override { std::filesystem::remove(PhysmemConfigPath()); }
    void TearDown() override { EXPECT_EQ(ViewCount(), 0u); }
};

}  // namespace

TEST_F(PhysicalMemory, LoadLibraryFindsTheSectionCallsByName) {
    Ntdll nt;
    ASSERT_NE(nt.module, nullptr) << GetLastError();
    EXPECT_NE(nt.open, nullptr);
    EXPECT_NE(nt.map, nullptr);
    EXPECT_NE(nt.unmap, nullptr);
    EXPECT_NE(nt.close, nullptr);
    // Only its own exports: not the platform layer's, not what it does not have.
    EXPECT_EQ(GetProcAddress(nt.module, "CloseHandle"), nullptr);
    EXPECT_EQ(GetProcAddress(nt.module, "NtQuerySystemInformation"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
}

TEST_F(PhysicalMemory, AGeneratedAreaHoldsBothSignaturesAndAValidSmbiosTable) {
    ASSERT_TRUE(WritePhysmemConfig({{"bios_version", "A1"}, {"sys_manufacturer", "Maker"},
                                    {"sys_product", "Model"}, {"sys_version", "1.0"}, {"sys_serial", "ABC123"}}));
    Ntdll nt;
    HANDLE section = nullptr;
    ASSERT_EQ(Open(nt, section), STATUS_SUCCESS);
    Mapped m = Map(nt, section);
    ASSERT_EQ(m.status, STATUS_SUCCESS);
    EXPECT_EQ(m.size, 0x10000u);  // 0xFFFF rounded up to whole pages
    EXPECT_EQ(m.offset, 0xF0000);
    std::vector<uint8_t> area(m.view, m.view + m.size);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&area[kSimulatedTextOffset])), "KX4_P21A1");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&area[kSimulatedTextOffset + 10])), "RZ9_T08A1");

    Entry e = CheckedEntry(area, kSimulatedEntryOffset);
    ASSERT_EQ(e.table, kFirmwareBase + kSimulatedTableOffset);
    EXPECT_EQ(e.count, 3u);
    // Walk it: BIOS information, system information with its four strings, end of table.
    size_t at = e.table - kFirmwareBase;
    std::vector<uint8_t> types;
    std::vector<std::string> systemStrings;
    for (int n = 0; n < 3; ++n) {
        types.push_back(area[at]);
        size_t q = at + area[at + 1];
        std::vector<std::string> strings;
        while (area[q] != 0) {
            strings.emplace_back(reinterpret_cast<const char*>(&area[q]));
            q += strings.back().size() + 1;
        }
        if (area[at] == 1) {
            systemStrings = strings;
            EXPECT_EQ(area[at + 7], 4);  // the serial number's index
        }
        at = q + (strings.empty() ? 2 : 1);
    }
    EXPECT_EQ(at - (e.table - kFirmwareBase), e.length);
    EXPECT_EQ(types, (std::vector<uint8_t>{0, 1, 127}));
    EXPECT_EQ(systemStrings, (std::vector<std::string>{"Maker", "Model", "1.0", "ABC123"}));

    EXPECT_EQ(nt.unmap(GetCurrentProcess(), const_cast<uint8_t*>(m.view)), STATUS_SUCCESS);
    EXPECT_EQ(nt.close(section), STATUS_SUCCESS);
}

TEST_F(PhysicalMemory, AnAreaWithoutKeysIsEmptyAndAbsentKeysLeaveTheirPartsOut) {
    ASSERT_TRUE(WritePhysmemConfig({}));
    std::vector<uint8_t> area = ReadArea();
    ASSERT_EQ(area.size(), 0x10000u);
    EXPECT_EQ(std::count(area.begin(), area.end(), 0), 0x10000);

    // A serial alone: the absent strings have index 0 and the serial is string 1.
    ASSERT_TRUE(WritePhysmemConfig({{"sys_serial", "S-9"}}));
    area = ReadArea();
    EXPECT_EQ(area[kSimulatedTextOffset], 0);  // no signature without bios_version
    Entry e = CheckedEntry(area, kSimulatedEntryOffset);
    size_t type0 = e.table - kFirmwareBase;
    size_t type1 = type0 + area[type0 + 1];
    while (!(area[type1] == 0 && area[type1 + 1] == 0)) ++type1;
    type1 += 2;
    ASSERT_EQ(area[type1], 1);
    EXPECT_EQ((std::vector<uint8_t>{area[type1 + 4], area[type1 + 5], area[type1 + 6], area[type1 + 7]}),
              (std::vector<uint8_t>{0, 0, 0, 1}));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&area[type1 + area[type1 + 1]])), "S-9");
}

TEST_F(PhysicalMemory, TheSectionIsFoundOnlyByItsNameAndOnlyForReading) {
    Ntdll nt;
    HANDLE section = nullptr;
    EXPECT_EQ(Open(nt, section), STATUS_OBJECT_NAME_NOT_FOUND);  // no configuration: no device
    ASSERT_TRUE(WritePhysmemConfig({}));
    EXPECT_EQ(Open(nt, section, L"\\device\\physicalmemory", 0), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Open(nt, section, L"\\device\\physicalmemor"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Open(nt, section, L"\\Device\\PhysicalMemory", 0), STATUS_SUCCESS);
    EXPECT_TRUE(CloseHandle(section));  // an ordinary handle
    EXPECT_EQ(Open(nt, section, L"\\device\\physicalmemory", OBJ_CASE_INSENSITIVE, SECTION_MAP_WRITE),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(section, nullptr);
    EXPECT_EQ(Open(nt, section, L"\\device\\physicalmemory", OBJ_CASE_INSENSITIVE, SECTION_ALL_ACCESS),
              STATUS_ACCESS_DENIED);
    OBJECT_ATTRIBUTES noName;
    InitializeObjectAttributes(&noName, nullptr, 0, nullptr, nullptr);
    EXPECT_EQ(nt.open(&section, SECTION_MAP_READ, &noName), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(nt.open(&section, SECTION_MAP_READ, nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(PhysicalMemory, ConfiguredFaultsAndBadFilesFailTheOpenOrTheMap) {
    Ntdll nt;
    HANDLE section = nullptr;
    ASSERT_TRUE(WritePhysmemConfig({{"fail_open", "0xC0000022"}}));
    EXPECT_EQ(Open(nt, section), STATUS_ACCESS_DENIED);
    ASSERT_TRUE(WritePhysmemConfig({{"fail_open", "3221225524"}}));  // decimal 0xC0000034
    EXPECT_EQ(Open(nt, section), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_TRUE(WritePhysmemConfig({{"fail_open", "1"}}));  // not an error status: access denied
    EXPECT_EQ(Open(nt, section), STATUS_ACCESS_DENIED);
    for (const char* bad : {"0x", "-1", "0x1FFFFFFFF", "yes"}) {
        ASSERT_TRUE(WritePhysmemConfig({{"fail_map", bad}}));
        EXPECT_EQ(Open(nt, section), STATUS_DEVICE_CONFIGURATION_ERROR) << bad;
    }
    ASSERT_TRUE(WritePhysmemConfig({{"provider", "bios"}}));
    EXPECT_EQ(Open(nt, section), STATUS_DEVICE_CONFIGURATION_ERROR);
    ASSERT_TRUE(WritePhysmemConfig({{"sys_serial", std::string(256, 'S')}}));
    EXPECT_EQ(Open(nt, section), STATUS_DEVICE_CONFIGURATION_ERROR);

    ASSERT_TRUE(WritePhysmemConfig({{"fail_map", "0xC0000185"}, {"bios_version", "X"}}));
    ASSERT_EQ(Open(nt, section), STATUS_SUCCESS);
    EXPECT_EQ(Map(nt, section).status, STATUS_IO_DEVICE_ERROR);
    nt.close(section);
}

TEST_F(PhysicalMemory, AViewMustLieInTheAreaBeReadOnlyAndBelongToThisProcess) {
    ASSERT_TRUE(WritePhysmemConfig({{"bios_version", "A1"}}));
    Ntdll nt;
    HANDLE section = nullptr;
    ASSERT_EQ(Open(nt, section), STATUS_SUCCESS);
    EXPECT_EQ(Map(nt, section, 0).status, STATUS_INVALID_VIEW_SIZE);
    EXPECT_EQ(Map(nt, section, 0x100000).status, STATUS_INVALID_VIEW_SIZE);
    EXPECT_EQ(Map(nt, section, 0xF0000, 0x10001).status, STATUS_INVALID_VIEW_SIZE);
    EXPECT_EQ(Map(nt, section, 0xF8000, 0x8001).status, STATUS_INVALID_VIEW_SIZE);
    EXPECT_EQ(Map(nt, section, 0xF8000, ~SIZE_T{0}).status, STATUS_INVALID_VIEW_SIZE);
    EXPECT_EQ(Map(nt, section, 0xF0000, 0xFFFF, PAGE_READWRITE).status, STATUS_SECTION_PROTECTION);
    EXPECT_EQ(Map(nt, section, 0xF0000, 0xFFFF, 0x12345).status, STATUS_INVALID_PAGE_PROTECTION);

    // An offset inside the area is rounded down; the size counts from the offset asked.
    Mapped m = Map(nt, section, 0xF0100, 0x20);
    ASSERT_EQ(m.status, STATUS_SUCCESS);
    EXPECT_EQ(m.offset, 0xF0000);
    EXPECT_EQ(m.size, 4096u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(m.view + 0x100)), "KX4_P21A1");
    // Size 0: to the end of the area.
    Mapped all = Map(nt, section, 0xF0000, 0);
    ASSERT_EQ(all.status, STATUS_SUCCESS);
    EXPECT_EQ(all.size, 0x10000u);

    PVOID base = nullptr;
    SIZE_T size = 0xFFFF;
    HANDLE otherProcess = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));
    EXPECT_EQ(nt.map(section, otherProcess, &base, 0, 0, nullptr, &size, ViewShare, 0, PAGE_READONLY),
              STATUS_INVALID_HANDLE);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(nt.map(event, GetCurrentProcess(), &base, 0, 0, nullptr, &size, ViewShare, 0, PAGE_READONLY),
              STATUS_OBJECT_TYPE_MISMATCH);
    CloseHandle(event);

    // The views outlive the section handle; any address inside one unmaps it, once.
    EXPECT_EQ(nt.close(section), STATUS_SUCCESS);
    EXPECT_EQ(nt.close(section), STATUS_INVALID_HANDLE);
    EXPECT_EQ(all.view[0x100], 'K');
    EXPECT_EQ(nt.unmap(GetCurrentProcess(), const_cast<uint8_t*>(all.view + 0x1234)), STATUS_SUCCESS);
    EXPECT_EQ(nt.unmap(GetCurrentProcess(), const_cast<uint8_t*>(all.view)), STATUS_NOT_MAPPED_VIEW);
    EXPECT_EQ(nt.unmap(otherProcess, const_cast<uint8_t*>(m.view)), STATUS_INVALID_HANDLE);
    EXPECT_EQ(nt.unmap(GetCurrentProcess(), const_cast<uint8_t*>(m.view)), STATUS_SUCCESS);
}

TEST_F(PhysicalMemory, TheOpenTakesASnapshotAndAReadPastTheViewFaults) {
    ASSERT_TRUE(WritePhysmemConfig({{"bios_version", "OLD"}}));
    Ntdll nt;
    HANDLE section = nullptr;
    ASSERT_EQ(Open(nt, section), STATUS_SUCCESS);
    ASSERT_TRUE(WritePhysmemConfig({{"bios_version", "NEW"}}));
    Mapped m = Map(nt, section);
    ASSERT_EQ(m.status, STATUS_SUCCESS);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(m.view + kSimulatedTextOffset)), "KX4_P21OLD");
    nt.close(section);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(ReadArea().data() + kSimulatedTextOffset)), "KX4_P21NEW");

    const volatile uint8_t* view = m.view;
    const SIZE_T size = m.size;
    EXPECT_DEATH({ (void)view[size]; }, "");
    EXPECT_DEATH({ (void)view[-1]; }, "");
    nt.unmap(GetCurrentProcess(), const_cast<uint8_t*>(m.view));
}

TEST_F(PhysicalMemory, AnImageFileIsTheArea) {
    std::vector<uint8_t> image(0x10000);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 1);
    std::string devices = pal::core::RootDir() + "/devices";
    ASSERT_TRUE(pal::core::MakeDirs(devices));
    WriteBytes(devices + "/firmware.bin", image);
    ASSERT_TRUE(WritePhysmemConfig({{"image", "firmware.bin"}}));  // relative to devices/
    EXPECT_EQ(ReadArea(), image);

    WriteBytes(devices + "/short.bin", {1, 2, 3});
    ASSERT_TRUE(WritePhysmemConfig({{"image", devices + "/short.bin"}}));
    std::vector<uint8_t> area = ReadArea();
    ASSERT_EQ(area.size(), 0x10000u);
    EXPECT_EQ(area[2], 3);
    EXPECT_EQ(std::count(area.begin() + 3, area.end(), 0), 0x10000 - 3);

    Ntdll nt;
    HANDLE section = nullptr;
    image.push_back(0);
    WriteBytes(devices + "/long.bin", image);
    ASSERT_TRUE(WritePhysmemConfig({{"image", "long.bin"}}));
    EXPECT_EQ(Open(nt, section), STATUS_DEVICE_CONFIGURATION_ERROR);
    ASSERT_TRUE(WritePhysmemConfig({{"image", "missing.bin"}}));
    EXPECT_EQ(Open(nt, section), STATUS_IO_DEVICE_ERROR);
}

TEST_F(PhysicalMemory, TheDmiProviderRewritesA2xEntryPointAroundTheMachinesTable) {
    std::vector<uint8_t> table = Structure(0, std::vector<uint8_t>(0x14, 0x00), {"Vendor", "V1.2", "03/04/2020"});
    std::vector<uint8_t> system(0x17, 0x00);
    system[0] = 1;  // manufacturer ... serial: strings 1 to 4
    system[1] = 2;
    system[2] = 3;
    system[3] = 4;
    auto type1 = Structure(1, system, {"Maker", "Model", "1", "SER-42"});
    auto end = Structure(127, {}, {});
    table.insert(table.end(), type1.begin(), type1.end());
    table.insert(table.end(), end.begin(), end.end());
    const size_t tableLength = table.size();
    table.insert(table.end(), {0xDE, 0xAD, 0xBE, 0xEF});  // beyond the end-of-table structure

    std::vector<uint8_t> entry(0x1F, 0);
    std::memcpy(entry.data(), "_SM_", 4);
    entry[6] = 2;
    entry[7] = 7;
    entry[0x16] = static_cast<uint8_t>(table.size());
    std::memcpy(&entry[0x18], "\x00\x00\x0E\x7F", 4);  // the real table is elsewhere
    entry[0x1E] = 0x27;
    std::string root = Dir("dmi2");
    WriteBytes(root + "/smbios_entry_point", entry);
    WriteBytes(root + "/DMI", table);
    ASSERT_TRUE(WritePhysmemConfig({{"provider", "dmi"}, {"dmi_root", root}}));

    std::vector<uint8_t> area = ReadArea();
    ASSERT_EQ(area.size(), 0x10000u);
    Entry e = CheckedEntry(area, kDmiEntryOffset);
    EXPECT_EQ(e.table, kFirmwareBase + kDmiTableOffset);
    EXPECT_EQ(e.length, tableLength);
    EXPECT_EQ(e.count, 3u);
    EXPECT_EQ(area[kDmiEntryOffset + 6], 2);
    EXPECT_EQ(area[kDmiEntryOffset + 7], 7);
    EXPECT_EQ(area[kDmiEntryOffset + 0x1E], 0x27);
    EXPECT_EQ(Le16(&area[kDmiEntryOffset + 8]), type1.size());  // the largest structure
    EXPECT_TRUE(std::equal(table.begin(), table.begin() + static_cast<long>(tableLength),
                           area.begin() + kDmiTableOffset));
    EXPECT_EQ(area[kDmiTableOffset + tableLength], 0);  // the bytes after it are not copied
}

TEST_F(PhysicalMemory, TheDmiProviderTakesA30EntryPointAndStopsAtABrokenStructure) {
    auto first = Structure(0, std::vector<uint8_t>(0x14, 0x00), {"Vendor"});
    std::vector<uint8_t> table = first;
    table.insert(table.end(), {1, 0x40, 0, 0, 'x', 'y'});  // claims 64 bytes, has 6
    std::vector<uint8_t> entry(0x18, 0);
    std::memcpy(entry.data(), "_SM3_", 5);
    entry[7] = 3;
    entry[8] = 2;
    entry[0x0C] = static_cast<uint8_t>(table.size());
    std::string root = Dir("dmi3");
    WriteBytes(root + "/smbios_entry_point", entry);
    WriteBytes(root + "/DMI", table);
    ASSERT_TRUE(WritePhysmemConfig({{"provider", "dmi"}, {"dmi_root", root}}));
    std::vector<uint8_t> area = ReadArea();
    ASSERT_EQ(area.size(), 0x10000u);
    Entry e = CheckedEntry(area, kDmiEntryOffset);
    EXPECT_EQ(e.length, first.size());
    EXPECT_EQ(e.count, 1u);
    EXPECT_EQ(area[kDmiEntryOffset + 6], 3);
    EXPECT_EQ(area[kDmiEntryOffset + 0x1E], 0x32);

    Ntdll nt;
    HANDLE section = nullptr;
    WriteBytes(root + "/smbios_entry_point", {'_', 'S', 'M', '_', 0});  // too short
    EXPECT_EQ(Open(nt, section), STATUS_IO_DEVICE_ERROR);
    ASSERT_TRUE(WritePhysmemConfig({{"provider", "dmi"}, {"dmi_root", root + "/none"}}));
    EXPECT_EQ(Open(nt, section), STATUS_IO_DEVICE_ERROR);
}

TEST_F(PhysicalMemory, TheDevmemProviderReadsSixtyFourKilobytesAtTheFirmwareAddress) {
    std::string dir = Dir("devmem");
    std::vector<uint8_t> memory(0x100000);
    for (size_t i = 0; i < memory.size(); ++i) memory[i] = static_cast<uint8_t>(i >> 8);
    WriteBytes(dir + "/mem", memory);
    ASSERT_TRUE(WritePhysmemConfig({{"provider", "devmem"}, {"devmem_path", dir + "/mem"}}));
    std::vector<uint8_t> area = ReadArea();
    EXPECT_EQ(area, std::vector<uint8_t>(memory.begin() + 0xF0000, memory.end()));

    memory.resize(0xF8000);
    WriteBytes(dir + "/mem", memory);
    Ntdll nt;
    HANDLE section = nullptr;
    EXPECT_EQ(Open(nt, section), STATUS_IO_DEVICE_ERROR);
}
