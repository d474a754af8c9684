// The provider library: every setter journals its call as one line and returns 0.
//
// The journal is shared by every thread and process of the machine root, so each line is
// built whole and handed to a single write() on a descriptor opened with O_APPEND: the
// kernel appends it in one piece, and no lock is needed. The file is opened per call, so
// a journal that somebody moved or deleted is simply started again.
#include "outside/telvane/telvane.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "pal/core/root.h"
#include "pal/error/error.h"

namespace {

// Keeps the caller's errno and Win32 last error: a setter has no visible effect on them.
class ErrorKeeper {
public:
    ErrorKeeper() : errno_(errno), lastError_(GetLastError()) {}
    ~ErrorKeeper() {
        SetLastError(lastError_);
        errno = errno_;
    }

private:
    int errno_;
    DWORD lastError_;
};

// Texts come from event-log data that any process may write. A line break in one would
// let it forge journal lines, so control characters and the backslash are escaped.
void AppendText(std::string& line, LPCSTR text) {
    if (!text) {
        line += "(null)";
        return;
    }
    for (const char* p = text; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        switch (c) {
            case '\\': line += "\\\\"; break;
            case '\n': line += "\\n"; break;
            case '\r': line += "\\r"; break;
            case '\t': line += "\\t"; break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char esc[5];
                    snprintf(esc, sizeof esc, "\\x%02X", c);
                    line += esc;
                } else {
                    line += static_cast<char>(c);
                }
        }
    }
}

int OpenJournal() {
    const std::string dir = pal::core::RootDir() + "/telvane";
    const std::string path = dir + "/journal.log";
    const int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC;
    int fd = open(path.c_str(), flags, 0644);
    if (fd < 0 && errno == ENOENT && pal::core::MakeDirs(dir)) fd = open(path.c_str(), flags, 0644);
    return fd;
}

void Journal(std::string line) {
    line += '\n';
    const int fd = OpenJournal();
    if (fd < 0) return;  // never the caller's problem
    ssize_t n;
    do n = write(fd, line.data(), line.size());
    while (n < 0 && errno == EINTR);
    // A short write (disk full) leaves a cut line; end it, so the next line starts clean.
    if (n > 0 && static_cast<size_t>(n) < line.size()) {
        ssize_t ignored = write(fd, "\n", 1);
        (void)ignored;
    }
    close(fd);
}

LONG Text(const char* setter, LPCSTR value) {
    ErrorKeeper keep;
    std::string line = setter;
    line += ' ';
    AppendText(line, value);
    Journal(std::move(line));
    return 0;
}

LONG Number(const char* setter, long long value) {
    ErrorKeeper keep;
    Journal(std::string(setter) + ' ' + std::to_string(value));
    return 0;
}

}  // namespace

LONG SetBIOSVersion(LPCSTR version) { return Text("SetBIOSVersion", version); }
LONG SetEccErrorCounts(DWORD count) { return Number("SetEccErrorCounts", count); }
LONG SetHDDBootErrorCounts(LONG count) { return Number("SetHDDBootErrorCounts", count); }
LONG SetHDDBootErrorTime(LPCSTR time) { return Text("SetHDDBootErrorTime", time); }
LONG SetHDDBootErrorTemporary(LONG temporary) { return Number("SetHDDBootErrorTemporary", temporary); }
LONG SetSerialNumber(LPCSTR serial) { return Text("SetSerialNumber", serial); }
LONG SetExcessiveCaseTemperature(DWORD temperature) { return Number("SetExcessiveCaseTemperature", temperature); }
LONG SetMemoryErrorCounts(DWORD count) { return Number("SetMemoryErrorCounts", count); }
LONG SetDeviceDisconnectedUSB(DWORD count) { return Number("SetDeviceDisconnectedUSB", count); }
LONG SetHDD1_SMART1(LPCSTR attribute) { return Text("SetHDD1_SMART1", attribute); }
LONG SetHDD1_SMART2(LPCSTR attribute) { return Text("SetHDD1_SMART2", attribute); }
LONG SetHDD1_SMART3(LPCSTR attribute) { return Text("SetHDD1_SMART3", attribute); }
LONG SetHDD1_SMART4(LPCSTR attribute) { return Text("SetHDD1_SMART4", attribute); }
LONG SetHDD1_SMART5(LPCSTR attribute) { return Text("SetHDD1_SMART5", attribute); }
LONG SetHDD1_SMART6(LPCSTR attribute) { return Text("SetHDD1_SMART6", attribute); }
LONG SetHDD2_SMART1(LPCSTR attribute) { return Text("SetHDD2_SMART1", attribute); }
LONG SetHDD2_SMART2(LPCSTR attribute) { return Text("SetHDD2_SMART2", attribute); }
LONG SetHDD2_SMART3(LPCSTR attribute) { return Text("SetHDD2_SMART3", attribute); }
LONG SetHDD2_SMART4(LPCSTR attribute) { return Text("SetHDD2_SMART4", attribute); }
LONG SetHDD2_SMART5(LPCSTR attribute) { return Text("SetHDD2_SMART5", attribute); }
LONG SetHDD2_SMART6(LPCSTR attribute) { return Text("SetHDD2_SMART6", attribute); }
LONG SetBattery_SysCapacity1(DWORD capacity) { return Number("SetBattery_SysCapacity1", capacity); }
LONG SetBattery_SysCapacity2(DWORD capacity) { return Number("SetBattery_SysCapacity2", capacity); }
LONG SetBattery_PrinterCapacity1(DWORD capacity) { return Number("SetBattery_PrinterCapacity1", capacity); }
LONG SetBattery_PrinterCapacity2(DWORD capacity) { return Number("SetBattery_PrinterCapacity2", capacity); }
LONG SetBattery_Temperature(DWORD temperature) { return Number("SetBattery_Temperature", temperature); }
