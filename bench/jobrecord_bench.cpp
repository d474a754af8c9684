// Text to binary conversion of a job request record (construction from the 4096-byte text,
// which copies it and derives the binary mirror) against a plain memcpy of the record,
// in the same run. Prints conversions per second for both and their ratio; no target.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>

#include "framework/jobpipedata.h"

namespace {

ASCII_REQUEST MakeRecord() {
    CJobPipeData d;
    d.SetSDA("NET-A", "PC-DST", "DSTPROC", "NET-B", "PC-SRC", "SRCPROC");
    d.SetSJob("FWSYSTEM", "FWWATCH", "FWSTART");
    d.SetAns(1);
    d.SetSerialNo(0x7f);
    d.SetSData1(1234);
    d.SetSData3(12345);
    d.SetExParam("#BEGIN\n#START=1\n#END");
    ASCII_REQUEST raw;
    std::memcpy(&raw, static_cast<const ASCII_REQUEST*>(d), sizeof raw);
    return raw;
}

const ASCII_REQUEST g_record = MakeRecord();

void BM_RecordMemcpy(benchmark::State& state) {
    ASCII_REQUEST copy;
    for (auto _ : state) {
        std::memcpy(&copy, &g_record, sizeof copy);
        benchmark::DoNotOptimize(&copy);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RecordMemcpy);

void BM_TextToBinary(benchmark::State& state) {
    for (auto _ : state) {
        CJobPipeData d(&g_record);
        benchmark::DoNotOptimize(d.GetIdCode());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TextToBinary);

// Collects each benchmark's rate, so main can print the ratio after the run.
class RateReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            double seconds = run.GetAdjustedRealTime() / 1e9;  // time unit is ns
            if (seconds <= 0) continue;
            if (run.benchmark_name().find("Memcpy") != std::string::npos) m_memcpyRate = 1.0 / seconds;
            if (run.benchmark_name().find("TextToBinary") != std::string::npos) m_convertRate = 1.0 / seconds;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double m_memcpyRate = 0;
    double m_convertRate = 0;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RateReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    if (reporter.m_memcpyRate > 0 && reporter.m_convertRate > 0) {
        std::printf("memcpy of the record: %.0f /s\ntext to binary:       %.0f /s\nratio:                %.3f\n",
                    reporter.m_memcpyRate, reporter.m_convertRate, reporter.m_convertRate / reporter.m_memcpyRate);
    }
    benchmark::Shutdown();
    return 0;
}
