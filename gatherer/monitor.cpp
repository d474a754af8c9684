// Shared steps of the gatherer's monitors (see monitor.h).
#include "gatherer/monitor.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "outside/dbgtrace/dbgtrace.h"

namespace mordane {

DWORD g_dwTraceHandle = 0;
ReportEventFn g_pfnReportEvent = ReportEventA;

namespace {
std::mutex g_stopLock;
HANDLE g_hStopEvent = nullptr;
}  // namespace

DWORD SecondsToMilliseconds(DWORD seconds) {
    uint64_t ms = static_cast<uint64_t>(seconds) * 1000u;
    if (ms < kMinIntervalMs) return kMinIntervalMs;
    if (ms > kMaxIntervalMs) return kMaxIntervalMs;
    return static_cast<DWORD>(ms);
}

void Trace(const char* label, const char* format, ...) {
    va_list args;
    va_start(args, format);
    DebugLogDataEx(g_dwTraceHandle, 1, label, format, args);
    va_end(args);
}

HANDLE CreateServiceStopEvent() {
    std::lock_guard<std::mutex> lock(g_stopLock);
    if (g_hStopEvent == nullptr) {
        // Unnamed on purpose: a named event would let any process on the machine stop the
        // monitors by setting it.
        g_hStopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    return g_hStopEvent;
}

void CloseServiceStopEvent() {
    std::lock_guard<std::mutex> lock(g_stopLock);
    if (g_hStopEvent != nullptr) CloseHandle(g_hStopEvent);
    g_hStopEvent = nullptr;
}

HANDLE OpenStopEvent() {
    std::lock_guard<std::mutex> lock(g_stopLock);
    if (g_hStopEvent == nullptr) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), g_hStopEvent, GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        return nullptr;
    }
    return copy;
}

void GetIniFilePath(char (&path)[MAX_PATH + 1], const char* label) {
    std::snprintf(path, sizeof path, "%s", kDefaultIniPath);
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        Trace(label, "Open Registry failed while getting ini config file path.");
        return;
    }
    char value[MAX_PATH + 1] = {};
    DWORD type = 0;
    DWORD size = MAX_PATH;  // the value holds at most 260 bytes
    LONG rc = RegQueryValueExA(key, "INIPATH", nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ) || value[0] == '\0') {
        Trace(label, "Read Registry failed while getting ini config file path.");
        return;
    }
    value[MAX_PATH] = '\0';
    std::snprintf(path, sizeof path, "%s", value);
}

IniNumber ReadIniNumber(const char* iniFile, const char* section, const char* key, const char* label,
                        DWORD& value, bool isSigned) {
    char text[64];
    if (GetPrivateProfileStringA(section, key, "", text, sizeof text, iniFile) == 0) return kIniMissing;
    const pal::ini::ProfileNumber n = pal::ini::ParseProfileNumber(text);
    const bool negative = n.negative;
    const uint32_t magnitude = n.magnitude;
    if (negative && magnitude == 1 && !n.beyond32) return kIniMissing;
    const uint32_t most = isSigned ? (negative ? 0x80000000u : 0x7FFFFFFFu) : (negative ? 0u : 0xFFFFFFFFu);
    if (n.beyond32 || magnitude > most) {
        Trace(label, "Illegal value of %s key in section %s of config file: %s. Registry value kept.", key, section,
              text);
        return kIniRefused;
    }
    value = negative ? static_cast<DWORD>(0u - magnitude) : static_cast<DWORD>(magnitude);
    return kIniValue;
}

void CopyIniValueToReg(HKEY subkey, const char* iniFile, const char* section, const char* key,
                       const char* valueName, const char* label, const char* missingTrace, bool isSigned) {
    DWORD data = 0;
    switch (ReadIniNumber(iniFile, section, key, label, data, isSigned)) {
        case kIniMissing:
            Trace(label, "%s", missingTrace);
            return;
        case kIniRefused:
            return;
        case kIniValue:
            break;
    }
    LONG rc = RegSetValueExA(subkey, valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                             sizeof data);
    if (rc != ERROR_SUCCESS) Trace(label, "Write %s to Registry failed: %ld.", valueName, static_cast<long>(rc));
}

namespace {
HKEY OpenMonitorKey(const char* subkey, REGSAM access) {
    std::string path = std::string(kServiceKey) + "\\" + subkey;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, &key) != ERROR_SUCCESS) return nullptr;
    return key;
}
}  // namespace

HKEY OpenMonitorKeyForWrite(const char* subkey) { return OpenMonitorKey(subkey, KEY_WRITE); }
HKEY OpenMonitorKeyForRead(const char* subkey) { return OpenMonitorKey(subkey, KEY_READ); }

DWORD ReadRegDword(HKEY key, const char* valueName, DWORD dflt, const char* label,
                   const char* missingTrace) {
    if (key == nullptr) return dflt;
    DWORD value = 0;
    DWORD type = 0;
    DWORD size = sizeof value;
    LONG rc = RegQueryValueExA(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    if (rc != ERROR_SUCCESS || type != REG_DWORD || size != sizeof value) {
        Trace(label, "%s", missingTrace);
        return dflt;
    }
    return value;
}

}  // namespace mordane
