// CSamart (see samart.h).
//
// Each query runs semi-synchronously: ExecQuery returns at once and every object is
// waited for with a bounded Next, in slices short enough to notice the stop event, so a
// drive or provider that never answers costs one poll, not the monitor's thread. A query
// that fails or times out writes nothing for that poll. Only VendorSpecific blocks of at
// least the 362 bytes read are used; a shorter one is skipped like an unreadable one.
#include "gatherer/samart.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace mordane {

namespace {

constexpr const char* kInitLabel = "CSamart::Initialize";
constexpr const char* kWmiLabel = "CSamart::initWMI";
constexpr const char* kThresholdLabel = "CSamart::getThresholds";
constexpr const char* kAttributeLabel = "CSamart::getSmartAttriubtes";
constexpr const char* kAddLabel = "CSamart::AddToEventLog";
constexpr const char* kSetLabel = "CSamart::SetConfigToReg";
constexpr const char* kSection = "SMART";

constexpr const wchar_t* kThresholdQuery = L"SELECT * FROM MSStorageDriver_FailurePredictThresholds";
constexpr const wchar_t* kAttributeQuery = L"SELECT * FROM MSStorageDriver_ATAPISmartData";

constexpr DWORD kDefaultWatch = 1;
constexpr DWORD kDefaultIntervalSeconds = 300;
constexpr const char kDefaultList[] = "1 5 9 196 197 198";
constexpr DWORD kDefaultQueryTimeoutMs = 30000;
constexpr DWORD kQuerySliceMs = 1000;  // how soon a stop is noticed while a query waits
constexpr size_t kIniListSize = 100;    // at most 99 characters

constexpr int kEntries = 30;
constexpr int kEntrySize = 12;

// A decimal text-to-integer conversion: leading blanks, a sign, digits up to the first
// non-digit; no digits give 0, overflow the nearest int.
int TextToInt(const char* text) {
    errno = 0;
    long v = std::strtol(text, nullptr, 10);
    if (v > INT_MAX) v = INT_MAX;
    if (v < INT_MIN) v = INT_MIN;
    return static_cast<int>(v);
}

// The first entry of the 30 whose identifier byte is id.
const BYTE* FindEntry(const BYTE* block, BYTE id) {
    for (int j = 0; j < kEntries; ++j) {
        const BYTE* entry = block + 2 + kEntrySize * j;
        if (entry[0] == id) return entry;
    }
    return nullptr;
}

void CopyIniDword(HKEY key, const char* ini, const char* iniKey, const char* valueName, const char* missingTrace,
                  const char* setTrace, int& result) {
    const INT value = static_cast<INT>(GetPrivateProfileIntA(kSection, iniKey, -1, ini));
    if (value == -1) {
        Trace(kSetLabel, "%s", missingTrace);
        return;
    }
    const DWORD data = static_cast<DWORD>(value);
    if (RegSetValueExA(key, valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof data) !=
        ERROR_SUCCESS) {
        Trace(kSetLabel, "%s", setTrace);
        result = -1;
    }
}

}  // namespace

CSamart::CSamart()
    : m_dwWatch(kDefaultWatch),
      m_dwInterval(SecondsToMilliseconds(kDefaultIntervalSeconds)),
      m_byAttributeIDs{},
      m_szAttributeIDs{},
      m_byAttributes{},
      m_dwDriveCount(0),
      m_dwThresholdCount(0),
      m_dwQueryTimeout(kDefaultQueryTimeoutMs),
      m_hStopEvent(nullptr),
      m_pSvc(nullptr),
      m_bComInitialized(FALSE) {
    ParseAttributeList(kDefaultList, sizeof kDefaultList - 1);
}

CSamart::~CSamart() {
    ReleaseWMI();
    if (m_hStopEvent != nullptr) CloseHandle(m_hStopEvent);
}

void CSamart::ReleaseWMI() {
    if (m_pSvc != nullptr) {
        m_pSvc->Release();
        m_pSvc = nullptr;
    }
    if (m_bComInitialized) {
        CoUninitialize();
        m_bComInitialized = FALSE;
    }
}

int CSamart::Initialize() {
    m_hStopEvent = OpenStopEvent();
    if (m_hStopEvent == nullptr) {
        Trace(kInitLabel, "CreateEvent failed.");
        return -1;
    }
    // A configuration that cannot be copied or read leaves the defaults: it never stops
    // the monitor.
    if (SetConfigToReg() != 0) Trace(kInitLabel, "SetConfigToReg failed.");
    if (GetConfigFromReg() != 0) Trace(kInitLabel, "GetConfigFromReg failed.");
    if (m_dwWatch == 0) return 0;  // switched off: no drive is touched
    if (initWMI() != 0) {
        Trace(kInitLabel, "initSmart failed.");
        return -1;
    }
    if (getThresholds() != 0) {
        Trace(kInitLabel, "getThresholds failed.");
        return -1;
    }
    return 0;
}

int CSamart::initWMI() {
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return -1;
    m_bComInitialized = TRUE;
    HRESULT hr = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_CONNECT,
                                      RPC_C_IMP_LEVEL_IDENTIFY, nullptr, EOAC_NONE, nullptr);
    // Security is per process and set once: set earlier (a monitor started again in the
    // same process) is not a failure.
    if (FAILED(hr) && hr != RPC_E_TOO_LATE) {
        Trace(kWmiLabel, "CoInitializeSecurity failed.");
        ReleaseWMI();
        return -1;
    }
    IWbemLocator* pLoc = nullptr;
    hr = CoCreateInstance(CLSID_WbemLocator, 0, CLSCTX_INPROC_SERVER, IID_IWbemLocator, (LPVOID*)&pLoc);
    if (FAILED(hr)) {
        Trace(kWmiLabel, "CoCreateInstance failed.");
        ReleaseWMI();
        return -1;
    }
    BSTR ns = SysAllocString(L"ROOT\\WMI");
    hr = ns == nullptr ? E_OUTOFMEMORY : pLoc->ConnectServer(ns, nullptr, nullptr, 0, 0, 0, 0, &m_pSvc);
    SysFreeString(ns);
    if (FAILED(hr)) {
        pLoc->Release();
        ReleaseWMI();
        Trace(kWmiLabel, "ConnectServer failed.");
        return -1;
    }
    hr = CoSetProxyBlanket(m_pSvc, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                           RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
    if (FAILED(hr)) {
        pLoc->Release();
        ReleaseWMI();
        Trace(kWmiLabel, "CoSetProxyBlanket failed.");
        return -1;
    }
    pLoc->Release();
    return 0;
}

template <class Take>
int CSamart::RunQuery(const wchar_t* text, const char* label, Take take) {
    IEnumWbemClassObject* pEnum = nullptr;
    HRESULT hr = E_FAIL;
    BSTR language = SysAllocString(L"WQL");
    BSTR query = SysAllocString(text);
    if (m_pSvc != nullptr && language != nullptr && query != nullptr)
        hr = m_pSvc->ExecQuery(language, query, WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr,
                               &pEnum);
    SysFreeString(language);
    SysFreeString(query);
    if (FAILED(hr)) {
        Trace(label, "WQL ExecQuery failed.");
        return -1;
    }

    int result = 0;
    for (;;) {
        IWbemClassObject* pObj = nullptr;
        ULONG returned = 0;
        DWORD waited = 0;
        bool stopped = false;
        for (;;) {
            const DWORD slice = m_dwQueryTimeout - waited < kQuerySliceMs ? m_dwQueryTimeout - waited : kQuerySliceMs;
            hr = pEnum->Next(static_cast<LONG>(slice), 1, &pObj, &returned);
            if (hr != WBEM_S_TIMEDOUT) break;
            waited += slice;
            if (m_hStopEvent != nullptr && WaitForSingleObject(m_hStopEvent, 0) != WAIT_TIMEOUT) {
                stopped = true;  // the service stops: this poll is abandoned
                break;
            }
            if (waited >= m_dwQueryTimeout) break;
        }
        if (stopped) {
            result = -1;
            break;
        }
        if (hr == WBEM_S_TIMEDOUT) {
            Trace(label, "WQL Next timed out.");
            result = -1;
            break;
        }
        if (FAILED(hr)) {
            Trace(label, "WQL Next failed.");
            result = -1;
            break;
        }
        if (returned == 0) break;  // no object left

        BYTE block[kSmartUsedBytes];
        bool usable = false;
        VARIANT vtProp;
        VariantInit(&vtProp);
        LONG flavor = -1;
        hr = pObj->Get(L"VendorSpecific", 0, &vtProp, nullptr, &flavor);
        if (SUCCEEDED(hr) && vtProp.vt == (VT_ARRAY | VT_UI1) && flavor == WBEM_FLAVOR_ORIGIN_LOCAL) {
            LONG lower = 0, upper = -1;
            BYTE* data = nullptr;
            if (SUCCEEDED(SafeArrayGetLBound(vtProp.parray, 1, &lower)) &&
                SUCCEEDED(SafeArrayGetUBound(vtProp.parray, 1, &upper)) &&
                static_cast<LONGLONG>(upper) - lower + 1 >= kSmartUsedBytes) {
                if (SUCCEEDED(SafeArrayAccessData(vtProp.parray, reinterpret_cast<void**>(&data)))) {
                    std::memcpy(block, data, sizeof block);
                    SafeArrayUnaccessData(vtProp.parray);
                    usable = true;
                }
            } else {
                Trace(label, "VendorSpecific is shorter than %d bytes.", kSmartUsedBytes);
            }
        } else {
            Trace(label, "Get VendorSpecific failed.");
        }
        VariantClear(&vtProp);

        std::wstring instance;
        if (usable) {
            VariantInit(&vtProp);
            if (SUCCEEDED(pObj->Get(L"InstanceName", 0, &vtProp, nullptr, nullptr)) && vtProp.vt == VT_BSTR &&
                vtProp.bstrVal != nullptr)
                instance.assign(vtProp.bstrVal, SysStringLen(vtProp.bstrVal));
            else
                Trace(label, "Get InstanceName failed.");
            VariantClear(&vtProp);
            take(block, instance);
        }
        pObj->Release();
    }
    pEnum->Release();
    return result;
}

const SmartThresholds* CSamart::FindThresholds(const std::wstring& instance) const {
    if (instance.empty()) return nullptr;  // nothing to match by
    for (DWORD i = 0; i < m_dwThresholdCount; ++i)
        if (m_thresholds[i].instance == instance) return &m_thresholds[i];
    return nullptr;
}

int CSamart::getThresholds() {
    std::vector<SmartThresholds> found;
    const int rc = RunQuery(kThresholdQuery, kThresholdLabel, [&](const BYTE* block, const std::wstring& instance) {
        if (found.size() >= static_cast<size_t>(kSmartMaxThresholdDrives)) return;
        SmartThresholds t{};
        t.instance = instance;
        for (int i = 0; i < kSmartSlots && m_byAttributeIDs[i] != 0; ++i) {
            if (const BYTE* entry = FindEntry(block, m_byAttributeIDs[i])) std::memcpy(t.entries[i], entry, kEntrySize);
        }
        found.push_back(t);
    });
    if (rc != 0) return -1;
    m_dwThresholdCount = static_cast<DWORD>(found.size());
    for (size_t i = 0; i < found.size(); ++i) m_thresholds[i] = found[i];
    return 0;
}

int CSamart::getSmartAttriubtes() {
    struct Drive {
        std::wstring instance;
        BYTE record[kSmartRecordSize];
    };
    std::vector<Drive> drives;
    const int rc = RunQuery(kAttributeQuery, kAttributeLabel, [&](const BYTE* block, const std::wstring& instance) {
        if (drives.size() >= static_cast<size_t>(kSmartMaxDrives)) return;  // further drives are ignored
        Drive d{};
        d.instance = instance;
        // Slots after the end of the list stay zero.
        for (int i = 0; i < kSmartSlots && m_byAttributeIDs[i] != 0; ++i) {
            if (const BYTE* entry = FindEntry(block, m_byAttributeIDs[i]))
                std::memcpy(d.record + kSmartSlotSize * i, entry, kEntrySize);
        }
        drives.push_back(d);
    });
    if (rc != 0) return -1;

    // A drive that came (or moved) since the thresholds were read: read them again, once.
    for (const Drive& d : drives) {
        if (!d.instance.empty() && FindThresholds(d.instance) == nullptr) {
            getThresholds();
            break;
        }
    }
    std::memset(m_byAttributes, 0, sizeof m_byAttributes);
    for (size_t k = 0; k < drives.size(); ++k) {
        const SmartThresholds* t = FindThresholds(drives[k].instance);
        if (t == nullptr) Trace(kAttributeLabel, "No thresholds for drive %u.", static_cast<unsigned>(k + 1));
        for (int i = 0; i < kSmartSlots; ++i)
            drives[k].record[kSmartSlotSize * i + 12] = t != nullptr ? t->entries[i][1] : 0;
        std::memcpy(m_byAttributes[k], drives[k].record, kSmartRecordSize);
    }
    m_dwDriveCount = static_cast<DWORD>(drives.size());
    return 0;
}

int CSamart::AddToEventLog() {
    HANDLE source = RegisterEventSourceA(nullptr, kEventSource);
    if (source == nullptr) {
        Trace(kAddLabel, "RegisterEventSource failed.");
        return -1;
    }
    LPCSTR strings[1] = {m_szAttributeIDs};
    const DWORD size = m_dwDriveCount * kSmartRecordSize;
    const BOOL ok = g_pfnReportEvent(source, EVENTLOG_INFORMATION_TYPE, 0, MSG_SMART_ATTRIBUTES, nullptr, 1, size,
                                     strings, size != 0 ? m_byAttributes : nullptr);
    DeregisterEventSource(source);
    if (!ok) {
        Trace(kAddLabel, "ReportEvent failed.");
        return -1;
    }
    return 0;
}

int CSamart::Process() {
    if (m_dwWatch == 0) {
        ReleaseWMI();
        return 0;
    }
    if (m_hStopEvent == nullptr) return -1;
    Trace("SMART", "SMART listening enable:%d,AttributeIDs:%s", static_cast<int>(m_dwWatch), m_szAttributeIDs);
    while (WaitForSingleObject(m_hStopEvent, 0) == WAIT_TIMEOUT) {
        if (getSmartAttriubtes() == 0) AddToEventLog();
        if (WaitForSingleObject(m_hStopEvent, m_dwInterval) != WAIT_TIMEOUT) break;
    }
    Trace("SMART", "Listening End.");
    ReleaseWMI();
    return 0;
}

int CSamart::SetConfigToReg() {
    char ini[MAX_PATH + 1];
    GetIniFilePath(ini, kSetLabel);
    HKEY key = OpenMonitorKeyForWrite(kSection);
    if (key == nullptr) {
        Trace(kSetLabel, "Open SMART key of Registry failed.");
        return -1;
    }
    int result = 0;
    CopyIniDword(key, ini, "WATCH", "WATCH_SMART", "Get WATCH key from config file failed.",
                 "set WATCH_SMART key of Registry failed.", result);
    CopyIniDword(key, ini, "INTERVAL", "WATCH_INTERVAL", "Get INTERVAL key from config file failed.",
                 "set WATCH_INTERVAL key of Registry failed.", result);

    char text[kIniListSize] = {};
    GetPrivateProfileStringA(kSection, "WATCH_AttributeIDs", "", text, sizeof text, ini);
    const size_t length = std::strlen(text);
    if (length == 0) {
        Trace(kSetLabel, "Get WATCH_ATTIDS key from config file failed.");
    } else {
        // One string per identifier: every blank after the first character ends a string;
        // the list ends in a second NUL.
        char multi[kIniListSize + 1] = {};
        std::memcpy(multi, text, length);
        for (size_t i = 1; i < length; ++i)
            if (multi[i] == ' ') multi[i] = '\0';
        if (RegSetValueExA(key, "WATCH_AttributeIDs", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(multi),
                           static_cast<DWORD>(length + 2)) != ERROR_SUCCESS) {
            Trace(kSetLabel, "set WATCH_ATTIDS key of Registry failed.");
            result = -1;
        }
    }
    RegCloseKey(key);
    return result;
}

void CSamart::ParseAttributeList(const char* list, size_t size) {
    std::memset(m_byAttributeIDs, 0, sizeof m_byAttributeIDs);
    int count = 0;
    std::string piece;
    for (size_t i = 0; i <= size && count < kSmartMaxWatched; ++i) {
        const char c = i < size ? list[i] : '\0';
        if (c != '\0' && !(c == ' ' && i > 0)) {
            piece += c;
            continue;
        }
        if (piece.empty()) break;  // two separators in a row end the list
        m_byAttributeIDs[count++] = static_cast<BYTE>(TextToInt(piece.c_str()) & 0xFF);
        piece.clear();
    }
    // The text names the identifiers up to the first 0, which ends the list.
    size_t at = 0;
    m_szAttributeIDs[0] = '\0';
    for (int i = 0; i < kSmartMaxWatched && m_byAttributeIDs[i] != 0; ++i) {
        const int n = std::snprintf(m_szAttributeIDs + at, sizeof m_szAttributeIDs - at, "%u,",
                                    static_cast<unsigned>(m_byAttributeIDs[i]));
        if (n < 0 || static_cast<size_t>(n) >= sizeof m_szAttributeIDs - at) break;
        at += static_cast<size_t>(n);
    }
}

int CSamart::GetConfigFromReg() {
    HKEY key = OpenMonitorKeyForRead(kSection);
    if (key == nullptr) {
        m_dwWatch = kDefaultWatch;
        m_dwInterval = SecondsToMilliseconds(kDefaultIntervalSeconds);
        ParseAttributeList(kDefaultList, sizeof kDefaultList - 1);
        Trace(kInitLabel, "Open SMART key of Registry failed.");
        return -1;
    }
    m_dwWatch = ReadRegDword(key, "WATCH_SMART", kDefaultWatch, kInitLabel,
                             "Read Registry failed while getting WATCH_SMART.");
    const DWORD seconds = ReadRegDword(key, "WATCH_INTERVAL", kDefaultIntervalSeconds, kInitLabel,
                                       "Read Registry failed while getting WATCH_INTERVAL.");
    m_dwInterval = SecondsToMilliseconds(seconds);

    // Read by the size the registry reports, and terminated here: the stored value need
    // not end in NULs.
    DWORD type = 0, size = 0;
    bool read = false;
    if (RegQueryValueExA(key, "WATCH_AttributeIDs", nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        (type == REG_MULTI_SZ || type == REG_SZ)) {
        std::vector<char> list(static_cast<size_t>(size) + 2, '\0');
        DWORD got = size;
        if (RegQueryValueExA(key, "WATCH_AttributeIDs", nullptr, &type, reinterpret_cast<BYTE*>(list.data()), &got) ==
                ERROR_SUCCESS &&
            got <= size) {
            ParseAttributeList(list.data(), got);
            read = true;
        }
    }
    RegCloseKey(key);
    if (!read) {
        Trace(kInitLabel, "Read Registry failed while getting WATCH_ATTIDS.");
        ParseAttributeList(kDefaultList, sizeof kDefaultList - 1);
    }
    return 0;
}

}  // namespace mordane
