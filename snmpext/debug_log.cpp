// The agent's debug log: a file of fixed 137-byte records used as a ring, with the offset
// of the next record in a 10-byte header, shared by every process that has it open.
#include <dlfcn.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "snmpext/internal.h"

namespace norvik {
namespace {

constexpr uint32_t kHeaderSize = 10;
constexpr uint32_t kRecordSize = 137;
// The header holds the next offset in eight digits, so the ring must end below 10^8.
constexpr uint64_t kMaxSlots = (100000000ull - kHeaderSize) / kRecordSize;
constexpr const char kLogMutexName[] = "VQFW_SNMP_EXTAGENT_LOG_MUTEX";

struct LogState {
    std::mutex lock;  // this process's handles
    HANDLE file = nullptr;
    HANDLE mutex = nullptr;
    uint64_t limit = 0;
} g_log;

void CloseHandles() {
    if (g_log.file) CloseHandle(g_log.file);
    if (g_log.mutex) CloseHandle(g_log.mutex);
    g_log.file = nullptr;
    g_log.mutex = nullptr;
}

bool WriteAt(uint32_t offset, const void* data, DWORD size) {
    SetLastError(0);
    if (SetFilePointer(g_log.file, static_cast<LONG>(offset), nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER &&
        GetLastError() != 0)
        return false;
    DWORD written = 0;
    return WriteFile(g_log.file, data, size, &written, nullptr) && written == size;
}

uint32_t ReadNextOffset() {
    char header[9] = {};
    DWORD got = 0;
    SetLastError(0);
    if (SetFilePointer(g_log.file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER && GetLastError() != 0)
        return kHeaderSize;
    if (!ReadFile(g_log.file, header, 8, &got, nullptr) || got != 8) return kHeaderSize;
    unsigned long offset = std::strtoul(header, nullptr, 10);
    return offset < kHeaderSize ? kHeaderSize : static_cast<uint32_t>(offset);
}

std::string ComputeModuleName() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&ComputeModuleName), &info) || !info.dli_fname) return "norvik";
    std::string name = info.dli_fname;
    if (size_t slash = name.find_last_of('/'); slash != std::string::npos) name.erase(0, slash + 1);
    // libx.so[.N] is the platform's file for x.dll: the log names the module x.
    if (size_t so = name.find(".so"); so != std::string::npos) {
        name.erase(so);
        if (name.rfind("lib", 0) == 0 && name.size() > 3) name.erase(0, 3);
    } else if (size_t dot = name.find_last_of('.'); dot != std::string::npos && dot > 0) {
        name.erase(dot);
    }
    if (name.size() > 31) name.resize(31);
    return name;
}

}  // namespace

const std::string& ModuleName() {
    static const std::string name = ComputeModuleName();
    return name;
}

uint64_t LogRingLimit(DWORD records) {
    return kHeaderSize + std::min<uint64_t>(records, kMaxSlots) * kRecordSize;
}

void OpenLog(const char* path, DWORD records) {
    std::lock_guard lock(g_log.lock);
    if (g_log.file) return;
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE || !file) return;
    HANDLE mutex = CreateMutexA(nullptr, FALSE, kLogMutexName);
    if (!mutex) {
        CloseHandle(file);
        return;
    }
    g_log.file = file;
    g_log.mutex = mutex;
    g_log.limit = LogRingLimit(records);
}

void CloseLog() {
    std::lock_guard lock(g_log.lock);
    CloseHandles();
}

bool LogOpen() {
    std::lock_guard lock(g_log.lock);
    return g_log.file != nullptr;
}

void WriteLog(const char* category, const char* format, ...) {
    char message[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);

    std::lock_guard lock(g_log.lock);
    if (!g_log.file || !g_log.mutex) return;
    DWORD w = WaitForSingleObject(g_log.mutex, INFINITE);
    if (w != WAIT_OBJECT_0 && w != WAIT_ABANDONED) return;

    uint32_t offset = ReadNextOffset();
    SYSTEMTIME t;
    GetLocalTime(&t);
    char line[1400];
    std::snprintf(line, sizeof line, "%04d%02d%02d,%02d%02d%02d,%-10s,%-7s,%-100s\r\n", t.wYear, t.wMonth, t.wDay,
                  t.wHour, t.wMinute, t.wSecond, ModuleName().c_str(), category, message);
    // Every field at its width gives exactly 137 bytes; a longer line is cut.
    if (!WriteAt(offset, line, kRecordSize)) {
        ReleaseMutex(g_log.mutex);
        CloseHandles();
        return;
    }
    uint64_t next = uint64_t{offset} + kRecordSize;
    if (next >= g_log.limit) next = kHeaderSize;
    char header[16];
    std::snprintf(header, sizeof header, "%08u\r\n", static_cast<unsigned>(next));
    WriteAt(0, header, kHeaderSize);
    FlushFileBuffers(g_log.file);
    ReleaseMutex(g_log.mutex);
}

}  // namespace norvik
