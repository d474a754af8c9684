// Test helpers of the gatherer: install its configuration into the test's machine root,
// set the simulated sensor, and read the records of the "Mordane" log back through the
// event-log API.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <sys/types.h>

#include "pal/windows.h"

namespace gtest_util {

struct Record {
    DWORD number = 0;
    DWORD id = 0;
    WORD type = 0;
    std::vector<BYTE> data;
    std::vector<std::string> strings;
    // The data as one little-endian 32-bit number (the gatherer's records carry one).
    LONG Value() const;
};

// Applies gatherer/install/Mordane.reg (service key, all monitor subkeys, the "Mordane"
// log and source).
void InstallRegistry();
// Removes one subkey (relative to the service key) with its tree.
void RemoveMonitorKey(const std::string& subkey);
// Writes the default ini path's file from text ("[Section]\nKEY=V\n...").
void WriteIni(const std::string& text, const char* windowsPath = "C:\\WINDOWS\\system32\\Mordane.ini");
void RemoveIni(const char* windowsPath = "C:\\WINDOWS\\system32\\Mordane.ini");
// Sets the simulated sensor's readings (keys of the device's configuration file).
void SetSensor(const std::map<std::string, std::string>& values);
// Sets the simulated interface table: provider = simulated and the given keys
// (if.<n>.index, if.<n>.type, if.<n>.up, fail_size, fail_read).
void SetIfTable(const std::map<std::string, std::string>& values);
// Sets the simulated firmware area: provider = simulated and the given keys of
// devices/physmem.conf (bios_version, sys_serial ..., image, fail_open, fail_map).
void SetFirmware(const std::map<std::string, std::string>& values);
// Sets the simulated RTC driver: provider = simulated and the given keys of
// devices/rtcdrv.conf (machine_type, cmos.<index>, fail_open, fail_request, reply_bytes).
void SetRtc(const std::map<std::string, std::string>& values);
// Writes devices/smart.conf, the simulated SMART drives of WMI, as given (line order is
// the attribute table's order): "drives = 2\ndrive1.attr.5 = 51 100 100 0\n...".
void SetSmart(const std::string& text);
// Sets the simulated device-change source: devices/usb.conf with provider = simulated and
// the given keys (removals, arrivals: each rise by k announces k removals or arrivals).
void SetUsb(const std::map<std::string, std::string>& values);
// Every record of a log, oldest first.
std::vector<Record> ReadLog(const char* log = "Mordane");
// The trace file's text of the gatherer's trace key.
std::string TraceText();
// A registry DWORD under the service key, or -1 when missing.
long long RegDword(const std::string& subkey, const char* value);
void SetRegDword(const std::string& subkey, const char* value, DWORD data);

// Polls pred every 100 ms until it holds or seconds have passed; its last answer.
template <class Pred>
bool WaitFor(Pred pred, int seconds = 30) {
    for (int i = 0; i < seconds * 10; ++i) {
        if (pred()) return true;
        Sleep(100);
    }
    return pred();
}

// True once the process has exited (gone, or a zombie waiting to be reaped).
bool Exited(pid_t pid);

// How many records of the Mordane log have this identifier, and those records.
size_t CountRecords(DWORD id);
std::vector<Record> RecordsOf(DWORD id);

// The service binary started with no grace period; its pid.
pid_t StartGatherer();
// Its exit code (128 + signal when killed), or -1 after SIGKILL when it did not end
// within timeoutMs.
int WaitExit(pid_t pid, int timeoutMs);

// The child (vqtest::ChildProcess) "mordane_service" [graceMs] execs the service binary
// with that grace period (default 0), so the child's pid is the service's.

}  // namespace gtest_util
