// The gatherer idle: resident memory and CPU time of a running "mordane" with all seven
// monitors on simulated sources and every interval at its default, sampled over a window (60 s unless given), next to a baseline
// process (sleep) measured over the same window. Targets: under 8 MiB resident and under
// 0.1% of one core.
//   bench_gatherer_idle [seconds]
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

extern char** environ;

namespace {

struct Usage {
    double rssMiB = 0;
    double hwmMiB = 0;
    double cpuSeconds = 0;
};

Usage Sample(pid_t pid) {
    Usage u;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) u.rssMiB = std::atof(line.c_str() + 6) / 1024.0;
        if (line.rfind("VmHWM:", 0) == 0) u.hwmMiB = std::atof(line.c_str() + 6) / 1024.0;
    }
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    if (close != std::string::npos) {
        std::istringstream rest(text.substr(close + 2));
        std::string field;
        unsigned long long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && rest >> field; ++i) {
            if (i == 14) utime = std::stoull(field);
            if (i == 15) stime = std::stoull(field);
        }
        u.cpuSeconds = static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
    return u;
}

pid_t Spawn(const std::string& path, const char* arg) {
    char* argv[] = {const_cast<char*>(path.c_str()), const_cast<char*>(arg), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, environ) != 0) return -1;
    return pid;
}

int Run(const std::string& command) { return std::system(command.c_str()); }

}  // namespace

int main(int argc, char** argv) {
    int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    if (seconds < 5) seconds = 5;
    char self[4096] = {};
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return 1;
    std::string bin = std::string(self, static_cast<size_t>(n));
    bin = bin.substr(0, bin.rfind('/'));
    std::string source = VQ_SOURCE_DIR;

    char root[] = "/tmp/vqbench.XXXXXX";
    if (mkdtemp(root) == nullptr) return 1;
    setenv("VQ_ROOT", root, 1);
    // The installed configuration with its default intervals and a healthy sensor.
    if (Run("'" + bin + "/vqreg' import '" + source + "/gatherer/install/Mordane.reg' >/dev/null") != 0) return 1;
    // Every monitor on a simulated source, so all seven run: sensor, firmware area, RTC
    // memory, interface table, two SMART drives and the USB device changes.
    const std::string devices = std::string(root) + "/devices/";
    Run("mkdir -p " + devices);
    const char* files[][2] = {
        {"drvsensor.conf", "provider = simulated\n"},
        {"physmem.conf", "provider = simulated\nbios_version = V1.0\nsys_serial = BENCH-1\n"},
        {"rtcdrv.conf", "provider = simulated\nmachine_type = 2\n"},
        {"iftable.conf", "provider = simulated\nif.1.index = 2\nif.1.up = 1\n"},
        {"smart.conf", "provider = simulated\ndrives = 2\ndrive1.attr.9 = 50 97 97 23101\n"
                       "drive2.attr.5 = 51 90 90 12\n"},
        {"usb.conf", "provider = simulated\nremovals = 0\n"},
    };
    for (const auto& [name, text] : files) {
        FILE* f = std::fopen((devices + name).c_str(), "w");
        if (!f) return 1;
        std::fputs(text, f);
        std::fclose(f);
    }

    setenv("VQ_MORDANE_GRACE_MS", "0", 1);
    pid_t gatherer = Spawn(bin + "/mordane", nullptr);
    pid_t baseline = Spawn("/bin/sleep", std::to_string(seconds + 30).c_str());
    if (gatherer < 0 || baseline < 0) return 1;
    std::this_thread::sleep_for(std::chrono::seconds(3));  // start-up and the first poll
    Usage g0 = Sample(gatherer), b0 = Sample(baseline);
    std::printf("sampling %d s ...\n", seconds);
    std::fflush(stdout);
    double peak = 0;
    for (int i = 0; i < seconds; ++i) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        Usage u = Sample(gatherer);
        if (u.rssMiB > peak) peak = u.rssMiB;
    }
    Usage g1 = Sample(gatherer), b1 = Sample(baseline);
    kill(gatherer, SIGTERM);
    kill(baseline, SIGTERM);
    waitpid(gatherer, nullptr, 0);
    waitpid(baseline, nullptr, 0);
    Run(std::string("rm -rf ") + root);

    double gCpu = 100.0 * (g1.cpuSeconds - g0.cpuSeconds) / seconds;
    double bCpu = 100.0 * (b1.cpuSeconds - b0.cpuSeconds) / seconds;
    std::printf("%-10s %12s %12s %14s\n", "process", "RSS MiB", "peak MiB", "CPU % of core");
    std::printf("%-10s %12.2f %12.2f %14.4f\n", "mordane", g1.rssMiB, peak, gCpu);
    std::printf("%-10s %12.2f %12.2f %14.4f\n", "sleep", b1.rssMiB, b1.hwmMiB, bCpu);
    std::printf("RSS ratio mordane/sleep: %.2f\n", b1.rssMiB > 0 ? g1.rssMiB / b1.rssMiB : 0.0);
    std::printf("targets: RSS < 8 MiB: %s, CPU < 0.1%%: %s\n", peak < 8.0 ? "met" : "MISSED",
                gCpu < 0.1 ? "met" : "MISSED");
    return 0;
}
