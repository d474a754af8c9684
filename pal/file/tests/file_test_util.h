// Helpers for the file family's tests: a fresh Windows directory per test and short
// forms of the calls the tests repeat.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "pal/error/error.h"
#include "pal/file/file.h"
#include "pal/file/path.h"
#include "pal/handle/handle.h"

namespace filetest {

inline std::string TestDirName(const testing::TestInfo& info) {
    return std::string("C:\\") + info.test_suite_name() + "_" + info.name();
}

// "C:\<suite>_<test>", created on first use.
inline std::string TestDir() {
    std::string dir = TestDirName(*testing::UnitTest::GetInstance()->current_test_info());
    CreateDirectoryA(dir.c_str(), nullptr);
    return dir;
}

// Each test starts without what an earlier run of it (--gtest_repeat) left behind.
class FreshTestDirs : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo& info) override {
        std::error_code ec;
        std::filesystem::remove_all(pal::MapPath(TestDirName(info).c_str()), ec);
    }
};

inline const bool kFreshTestDirs = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new FreshTestDirs);
    return true;
}();

inline std::string InDir(const std::string& name) { return TestDir() + "\\" + name; }

inline HANDLE Open(const std::string& path, DWORD access, DWORD share, DWORD disposition, DWORD flags = 0) {
    return CreateFileA(path.c_str(), access, share, nullptr, disposition, flags, nullptr);
}

inline constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
inline constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;

inline void WriteText(const std::string& path, const std::string& text) {
    HANDLE h = Open(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << path << " error " << GetLastError();
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &n, nullptr));
    CloseHandle(h);
}

inline std::string ReadText(const std::string& path) {
    HANDLE h = Open(path, GENERIC_READ, kShareAll, OPEN_EXISTING);
    if (h == INVALID_HANDLE_VALUE) return "<error " + std::to_string(GetLastError()) + ">";
    std::string out;
    char buf[256];
    DWORD n = 0;
    while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n) out.append(buf, n);
    CloseHandle(h);
    return out;
}

// Offset 0 unless given: an OVERLAPPED for positioned calls.
inline OVERLAPPED At(uint64_t offset) {
    OVERLAPPED ov{};
    ov.Offset = static_cast<DWORD>(offset);
    ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return ov;
}

}  // namespace filetest
