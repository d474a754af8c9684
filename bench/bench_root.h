// The machine root a benchmark runs in: the caller's VQ_ROOT when set (and not asked for
// a fresh one), else a new temporary folder, removed again when the benchmark ends.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

class BenchRoot {
public:
    // base: the folder the temporary root is made in.
    explicit BenchRoot(bool fresh = false, const char* base = "/tmp") {
        if (!fresh && getenv("VQ_ROOT")) return;
        std::string tmpl = std::string(base) + "/vqbench.XXXXXX";
        if (mkdtemp(tmpl.data())) {
            made_ = tmpl;
            setenv("VQ_ROOT", made_.c_str(), 1);
        }
    }
    ~BenchRoot() {
        std::error_code ec;
        if (!made_.empty()) std::filesystem::remove_all(made_, ec);
    }
    BenchRoot(const BenchRoot&) = delete;
    BenchRoot& operator=(const BenchRoot&) = delete;

private:
    std::string made_;
};
