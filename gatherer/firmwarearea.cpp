// The firmware area and its searches (see firmwarearea.h).
#include "gatherer/firmwarearea.h"

#include <cstring>
#include <cwchar>

namespace mordane {

namespace {

constexpr const char kSmbiosAnchor[] = "_SM_";
constexpr SIZE_T kEntryTableAddress = 0x18;  // 32-bit physical address of the table
constexpr BYTE kSystemInformation = 1;
constexpr BYTE kEndOfTable = 127;
constexpr SIZE_T kSerialIndex = 7;           // in the system information structure

DWORD Le32(const BYTE* p) {
    return DWORD{p[0]} | DWORD{p[1]} << 8 | DWORD{p[2]} << 16 | DWORD{p[3]} << 24;
}

// Offset of the first occurrence of text in the view, or size when there is none.
SIZE_T Find(const BYTE* view, SIZE_T size, const char* text) {
    const SIZE_T length = std::strlen(text);
    if (length == 0 || length > size) return size;
    for (SIZE_T i = 0; i + length <= size; ++i)
        if (view[i] == static_cast<BYTE>(text[0]) && std::memcmp(view + i, text, length) == 0) return i;
    return size;
}

// The offset just past the double zero that ends the structure at offset (its formatted
// part is as long as its byte 1 says, at least the 4-byte header), or 0 when the
// structure is malformed or does not end inside the view.
SIZE_T StructureEnd(const BYTE* view, SIZE_T size, SIZE_T offset) {
    if (size - offset < 4) return 0;
    const SIZE_T length = view[offset + 1];
    if (length < 4 || length > size - offset) return 0;
    for (SIZE_T q = offset + length; q + 1 < size; ++q)
        if (view[q] == 0 && view[q + 1] == 0) return q + 2;
    return 0;
}

// String number index (1-based) of the structure at offset, whose strings end at end.
bool StructureString(const BYTE* view, SIZE_T offset, SIZE_T end, BYTE index, std::string& text) {
    if (index == 0) return false;  // the structure has no such string
    SIZE_T q = offset + view[offset + 1];
    for (BYTE k = 1; q < end && view[q] != 0; ++k) {
        const SIZE_T start = q;
        while (view[q] != 0) ++q;  // the strings end in a double zero before end
        if (k == index) {
            text.assign(reinterpret_cast<const char*>(view + start), q - start);
            return true;
        }
        ++q;
    }
    return false;
}

}  // namespace

CFirmwareArea::CFirmwareArea()
    : m_hNtdll(nullptr),
      m_pfnZwOpenSection(nullptr),
      m_pfnZwMapViewOfSection(nullptr),
      m_pfnZwUnmapViewOfSection(nullptr),
      m_hSection(nullptr),
      m_pView(nullptr),
      m_nViewSize(0),
      m_ullViewBase(0) {}

CFirmwareArea::~CFirmwareArea() { Release(); }

void CFirmwareArea::Release() {
    if (m_pView != nullptr && m_pfnZwUnmapViewOfSection != nullptr)
        m_pfnZwUnmapViewOfSection(GetCurrentProcess(), m_pView);
    if (m_hSection != nullptr) CloseHandle(m_hSection);
    if (m_hNtdll != nullptr) FreeLibrary(m_hNtdll);
    m_hNtdll = nullptr;
    m_pfnZwOpenSection = nullptr;
    m_pfnZwMapViewOfSection = nullptr;
    m_pfnZwUnmapViewOfSection = nullptr;
    m_hSection = nullptr;
    m_pView = nullptr;
    m_nViewSize = 0;
    m_ullViewBase = 0;
}

int CFirmwareArea::Map() {
    Release();
    m_hNtdll = LoadLibraryA("ntdll.dll");
    if (m_hNtdll == nullptr) return -1;
    // Each entry is checked: a library without one of them must not lead to a call
    // through a null pointer.
    m_pfnZwOpenSection = reinterpret_cast<PFN_ZwOpenSection>(GetProcAddress(m_hNtdll, "ZwOpenSection"));
    m_pfnZwMapViewOfSection =
        reinterpret_cast<PFN_ZwMapViewOfSection>(GetProcAddress(m_hNtdll, "ZwMapViewOfSection"));
    m_pfnZwUnmapViewOfSection =
        reinterpret_cast<PFN_ZwUnmapViewOfSection>(GetProcAddress(m_hNtdll, "ZwUnmapViewOfSection"));
    if (m_pfnZwOpenSection == nullptr || m_pfnZwMapViewOfSection == nullptr || m_pfnZwUnmapViewOfSection == nullptr) {
        Release();
        return -1;
    }

    WCHAR nameText[] = L"\\device\\physicalmemory";
    UNICODE_STRING name;
    name.Length = static_cast<USHORT>(std::wcslen(nameText) * sizeof(WCHAR));
    name.MaximumLength = static_cast<USHORT>(sizeof nameText);
    name.Buffer = nameText;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE section = nullptr;
    if (!NT_SUCCESS(m_pfnZwOpenSection(&section, SECTION_MAP_READ, &attributes)) || section == nullptr) {
        Release();
        return -1;
    }
    m_hSection = section;

    LARGE_INTEGER offset;
    offset.QuadPart = kFirmwareAreaBase;
    SIZE_T size = kFirmwareAreaSize;
    PVOID view = nullptr;
    NTSTATUS status = m_pfnZwMapViewOfSection(m_hSection, GetCurrentProcess(), &view, 0, kFirmwareAreaSize,
                                              &offset, &size, ViewShare, 0, PAGE_READONLY);
    if (!NT_SUCCESS(status) || view == nullptr || size == 0) {
        Release();
        return -1;
    }
    m_pView = view;
    m_nViewSize = size;
    m_ullViewBase = static_cast<ULONGLONG>(offset.QuadPart);
    return 0;
}

bool FindSignatureText(const BYTE* view, SIZE_T size, const char* signature, std::string& text) {
    const SIZE_T at = Find(view, size, signature);
    if (at == size) return false;
    SIZE_T end = at;
    while (end < size && view[end] != 0) ++end;
    text.assign(reinterpret_cast<const char*>(view + at), end - at);
    return true;
}

bool FindSmbiosSerial(const BYTE* view, SIZE_T size, ULONGLONG viewBase, std::string& serial) {
    const SIZE_T entry = Find(view, size, kSmbiosAnchor);
    if (entry == size || size - entry < kEntryTableAddress + 4) return false;
    const ULONGLONG table = Le32(view + entry + kEntryTableAddress);
    if (table < viewBase || table - viewBase >= size) return false;

    SIZE_T offset = static_cast<SIZE_T>(table - viewBase);
    while (offset < size) {
        const SIZE_T end = StructureEnd(view, size, offset);
        if (end == 0) return false;
        const BYTE type = view[offset];
        if (type == kEndOfTable) return false;
        if (type == kSystemInformation) {
            // A structure too short to hold the serial index is a broken one, not a
            // reason to look further.
            if (view[offset + 1] <= kSerialIndex) return false;
            return StructureString(view, offset, end, view[offset + kSerialIndex], serial);
        }
        offset = end;
    }
    return false;
}

int CopySwitchToReg(const SwitchSetting& s) {
    char ini[MAX_PATH + 1];
    GetIniFilePath(ini, s.setLabel);
    DWORD data = 0;
    switch (ReadIniNumber(ini, s.section, "WATCH", s.setLabel, data)) {
        case kIniMissing:
            Trace(s.setLabel, "%s", s.iniMissing);
            return 0;
        case kIniRefused:
            return 0;
        case kIniValue:
            break;
    }
    HKEY key = OpenMonitorKeyForWrite(s.section);
    if (key == nullptr) {
        Trace(s.setLabel, "%s", s.setOpenFailed);
        return -1;
    }
    LONG rc = RegSetValueExA(key, s.valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof data);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) {
        Trace(s.setLabel, "%s", s.setWriteFailed);
        return -1;
    }
    return 0;
}

DWORD ReadSwitchFromReg(const SwitchSetting& s, int& result) {
    result = 0;
    HKEY key = OpenMonitorKeyForRead(s.section);
    if (key == nullptr) {
        Trace(s.getLabel, "%s", s.getOpenFailed);
        result = -1;
        return 1;
    }
    DWORD value = ReadRegDword(key, s.valueName, 1, s.getLabel, s.getReadFailed);
    RegCloseKey(key);
    return value;
}

int WriteTextRecord(DWORD id, const std::string& text, const char* doneLabel, const char* failLabel,
                    const char* failTrace) {
    HANDLE source = RegisterEventSourceA(nullptr, kEventSource);
    if (source == nullptr) return -1;
    BOOL ok = g_pfnReportEvent(source, EVENTLOG_INFORMATION_TYPE, 0, id, nullptr, 0,
                               static_cast<DWORD>(text.size()), nullptr, const_cast<char*>(text.data()));
    DeregisterEventSource(source);
    if (!ok) {
        Trace(failLabel, "%s", failTrace);
        return -1;
    }
    Trace(doneLabel, "%s,is written to EventLog ", text.c_str());
    return 0;
}

}  // namespace mordane
