// bench_registry_enum: one key of 10,000 values listed three ways in the same run:
// RegEnumValueA index by index (what any program does), the one-read listing that
// `vqreg query` uses, and the export of the same key (the baseline). Prints each time and
// its ratio to the export (target for the query's listing: at most 3).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_root.h"
#include "pal/registry/regfile.h"
#include "pal/windows.h"

namespace {

constexpr int kValues = 10000;
constexpr int kRounds = 7;

template <typename F>
double MedianMs(F&& run) {
    std::vector<double> ms;
    for (int i = 0; i < kRounds; ++i) {
        const auto start = std::chrono::steady_clock::now();
        run();
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

}  // namespace

int main() {
    BenchRoot root(true);
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Bench", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr))
        return 1;
    // One import: 10,000 values written in one transaction.
    std::string reg = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bench]\r\n";
    for (int i = 0; i < kValues; ++i) reg += "\"value" + std::to_string(i) + "\"=dword:0000002a\r\n";
    std::vector<pal::reg::RegEdit> edits;
    pal::reg::RegFileError error;
    if (!pal::reg::ParseRegFile(reg, edits, error) || pal::reg::ApplyRegEdits(edits)) return 1;

    size_t seen = 0;
    const double enumMs = MedianMs([&] {
        char name[64];
        BYTE data[16];
        seen = 0;
        for (DWORD i = 0;; ++i) {
            DWORD cch = sizeof name, size = sizeof data, type = 0;
            if (RegEnumValueA(key, i, name, &cch, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
            ++seen;
        }
    });
    const size_t enumerated = seen;
    const double levelMs = MedianMs([&] {
        pal::reg::Tree level;
        pal::reg::ReadKeyLevel(key, level);
        seen = level.values.size();
    });
    const size_t listed = seen;
    const double exportMs = MedianMs([&] {
        std::string text;
        pal::reg::ExportRegFile(HKEY_LOCAL_MACHINE, "SOFTWARE\\Bench", text);
    });
    RegCloseKey(key);
    if (enumerated != kValues || listed != kValues) {
        std::fprintf(stderr, "bench_registry_enum: listed %zu and %zu of %d values\n", enumerated, listed, kValues);
        return 1;
    }
    std::printf("%d values: export %.2f ms; query listing %.2f ms (ratio %.2f, target <= 3); "
                "RegEnumValue by index %.2f ms (ratio %.2f)\n",
                kValues, exportMs, levelMs, levelMs / exportMs, enumMs, enumMs / exportMs);
    return 0;
}
