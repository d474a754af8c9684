// Test main: each test process gets a fresh machine root, so tests that CTest runs in
// parallel share nothing. Children started by ChildProcess inherit their parent's root.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "tests/support/child_process.h"

int main(int argc, char** argv) {
    int code = 0;
    if (vqtest::RunChildIfRequested(argc, argv, code)) return code;

    char tmpl[] = "/tmp/vqtest.XXXXXX";
    std::string root = mkdtemp(tmpl) ? tmpl : "";
    if (!root.empty()) setenv("VQ_ROOT", root.c_str(), 1);
    testing::InitGoogleTest(&argc, argv);
    int result = RUN_ALL_TESTS();
    if (!root.empty() && !getenv("VQ_KEEP_ROOT")) {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
    return result;
}
