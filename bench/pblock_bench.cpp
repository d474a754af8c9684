// Parameter-block parse and search per second, against a plain std::string_view line
// scan of the same text measured in the same run. Prints the rates and their ratios.
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "pblock/exparam.h"

namespace {

using Clock = std::chrono::steady_clock;

// A block of the size a job request carries: framing, standard keys, options.
std::string MakeBlock() {
    CExParam p("D:\\OUT", "C:\\IN");
    p.Begin(12, 3, 1);
    p.PutTitle("Health check");
    p.PutMessage("Fan failure on unit 2", 5);
    p.PutWindowStyle(0x31, "Retry", "Ignore");
    for (short i = 0; i < 24; ++i) p.PutOption(i, i * 37);
    p.PutOutputFile();
    p.End();
    return static_cast<const char*>(p);
}

// Baseline: split at LF into views, find the key by scanning the lines.
struct Lines {
    std::vector<std::string_view> lines;
    void Parse(std::string_view text) {
        lines.clear();
        while (!text.empty()) {
            size_t lf = text.find('\n');
            std::string_view line = text.substr(0, lf);
            if (!line.empty()) lines.push_back(line);
            if (lf == std::string_view::npos) break;
            text.remove_prefix(lf + 1);
        }
    }
    std::string_view Search(std::string_view key) const {
        for (std::string_view line : lines) {
            size_t eq = line.find('=');
            std::string_view k = line.substr(0, eq);
            while (!k.empty() && (k.front() == ' ' || k.front() == '\t')) k.remove_prefix(1);
            while (!k.empty() && (k.back() == ' ' || k.back() == '\t')) k.remove_suffix(1);
            if (k == key) return eq == std::string_view::npos ? std::string_view() : line.substr(eq + 1);
        }
        return {};
    }
};

template <typename F>
double PerSecond(F&& f) {
    // Run for about half a second after a warm-up.
    for (int i = 0; i < 1000; ++i) f();
    long n = 0;
    auto start = Clock::now();
    std::chrono::duration<double> elapsed{};
    do {
        for (int i = 0; i < 1000; ++i) f();
        n += 1000;
        elapsed = Clock::now() - start;
    } while (elapsed.count() < 0.5);
    return n / elapsed.count();
}

volatile size_t g_sink;

}  // namespace

int main() {
    const std::string text = MakeBlock();
    const char* key = "#OUTPUT_FILE";  // near the end: a search walks most lines

    CExParam block;
    double parse = PerSecond([&] {
        block = text.c_str();
        g_sink = block.GetSize();
    });
    Lines base;
    double parseBase = PerSecond([&] {
        base.Parse(text);
        g_sink = base.lines.size();
    });

    std::string value;
    double search = PerSecond([&] { g_sink = block.Search(key, value) + value.size(); });
    double searchBase = PerSecond([&] { g_sink = base.Search(key).size(); });

    std::printf("block: %zu bytes, %d lines\n", text.size(), block.GetSize());
    std::printf("parse : CExParam %12.0f/s  string_view %12.0f/s  ratio %.2f\n", parse, parseBase,
                parse / parseBase);
    std::printf("search: CExParam %12.0f/s  string_view %12.0f/s  ratio %.2f\n", search, searchBase,
                search / searchBase);
    return 0;
}
