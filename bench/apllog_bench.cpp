// CAplLog::Write against a raw loop doing the same three I/Os per record (header read,
// positioned record write, header write) on a write-through file, in the same run.
// Prints records per second for both and their ratio (target: at least 0.8).
//
//   bench_apllog [records]
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "framework/apllog.h"
#include "pal/file/path.h"
#include "pal/windows.h"

namespace {

using Clock = std::chrono::steady_clock;

double RawLoop(const std::string& path, int records) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_DSYNC | O_CLOEXEC, 0644);
    (void)!pwrite(fd, "00000010\r\n", 10, 0);
    char record[256];
    std::memset(record, 'r', sizeof record);
    auto start = Clock::now();
    for (int i = 0; i < records; ++i) {
        char head[128] = {};
        (void)!pread(fd, head, 127, 0);
        long offset = std::atol(head);
        if (offset < 10 || offset > 4000000) offset = 10;
        (void)!pwrite(fd, record, sizeof record, offset);
        char header[16];
        std::snprintf(header, sizeof header, "%08ld\r\n", offset + 256);
        (void)!pwrite(fd, header, 10, 0);
    }
    double s = std::chrono::duration<double>(Clock::now() - start).count();
    close(fd);
    return records / s;
}

double AplLog(int records) {
    CreateDirectoryA("C:\\benchlog", nullptr);
    // With a housekeeping thread, as in a framework process: flushing is left to it.
    CAplLog::Open(1, "bench", "C:\\benchlog", 4000000, 1);
    CAplLog::SetLog2Info("BENCH", 1, 1, 3, 1);
    auto start = Clock::now();
    for (int i = 0; i < records; ++i) CAplLog::Write(0, 0, i, "CBench::Run", "a benchmark record", 1);
    double s = std::chrono::duration<double>(Clock::now() - start).count();
    CAplLog::Close();
    return records / s;
}

}  // namespace

int main(int argc, char** argv) {
    int records = argc > 1 ? std::max(10, std::atoi(argv[1])) : 2000;
    if (!std::getenv("VQ_ROOT")) {
        char tmpl[] = "/tmp/vqbench.XXXXXX";
        setenv("VQ_ROOT", mkdtemp(tmpl), 1);
    }
    CreateDirectoryA("C:\\benchlog", nullptr);
    std::string raw = pal::MapPath("C:\\benchlog\\raw.log");
    double rawRate = 0, logRate = 0;
    for (int k = 0; k < 3; ++k) {  // best of three, interleaved
        rawRate = std::max(rawRate, RawLoop(raw, records));
        logRate = std::max(logRate, AplLog(records));
    }
    std::printf("records per run:          %d (write-through, O_DSYNC)\n", records);
    std::printf("raw three-I/O loop:       %.0f records/s\n", rawRate);
    std::printf("CAplLog::Write:           %.0f records/s\n", logRate);
    std::printf("ratio CAplLog/raw:        %.2f (target >= 0.80)\n", logRate / rawRate);
    return 0;
}
