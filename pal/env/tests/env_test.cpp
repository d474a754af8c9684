// Environment variables: names without case, the Windows defaults, and the size rules of
// ExpandEnvironmentStrings and GetEnvironmentVariable.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <string>

#include "pal/env/env.h"
#include "pal/error/error.h"

namespace {

std::string Expand(const char* src) {
    char buf[512];
    DWORD n = ExpandEnvironmentStringsA(src, buf, sizeof buf);
    EXPECT_GT(n, 0u);
    EXPECT_EQ(n, std::strlen(buf) + 1) << src;
    return buf;
}

std::string Get(const char* name) {
    char buf[256];
    SetLastError(0);
    DWORD n = GetEnvironmentVariableA(name, buf, sizeof buf);
    if (n == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return "<unset>";
    return std::string(buf, n);
}

class Env : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* n : {"SystemRoot", "SYSTEMROOT", "windir", "SystemDrive", "ProgramFiles", "TEMP", "TMP",
                              "VqTestVar", "VQTESTVAR", "vq_other"})
            unsetenv(n);
        // Setting forgets an earlier deletion of a default; the value itself goes again.
        for (const char* n : {"SystemRoot", "windir", "SystemDrive", "ProgramFiles", "TEMP", "TMP"}) {
            SetEnvironmentVariableA(n, "x");
            unsetenv(n);
        }
    }
};

TEST_F(Env, ReferencesExpandWithoutCaseAndUnknownOnesStay) {
    setenv("VqTestVar", "value", 1);
    EXPECT_EQ(Expand("a %VQTESTVAR% b %vqtestvar%"), "a value b value");
    EXPECT_EQ(Expand("%NoSuchVar%"), "%NoSuchVar%");
    // An unknown name's closing '%' may open the next reference.
    EXPECT_EQ(Expand("%NoSuchVar%VqTestVar%"), "%NoSuchVarvalue");
    EXPECT_EQ(Expand("100%% %"), "100%% %");
    EXPECT_EQ(Expand("50% of %VqTestVar"), "50% of %VqTestVar");
    EXPECT_EQ(Expand(""), "");
}

TEST_F(Env, ExpandReportsTheNeededSizeWhenTheBufferIsShort) {
    setenv("VqTestVar", "0123456789", 1);
    const char* src = "[%VqTestVar%]";  // expands to 12 characters
    EXPECT_EQ(ExpandEnvironmentStringsA(src, nullptr, 0), 13u);
    char buf[16];
    std::memset(buf, '#', sizeof buf);
    SetLastError(0);
    EXPECT_EQ(ExpandEnvironmentStringsA(src, buf, 12), 13u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(buf[0], '#');  // nothing written
    EXPECT_EQ(ExpandEnvironmentStringsA(src, buf, 13), 13u);
    EXPECT_STREQ(buf, "[0123456789]");
    EXPECT_EQ(ExpandEnvironmentStringsA(nullptr, buf, 13), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(Env, WindowsVariablesHaveDefaults) {
    EXPECT_EQ(Expand("%SystemRoot%\\System32\\Mordane.dll"), "C:\\WINDOWS\\System32\\Mordane.dll");
    EXPECT_EQ(Get("WINDIR"), "C:\\WINDOWS");
    EXPECT_EQ(Get("SystemDrive"), "C:");
    EXPECT_EQ(Get("ProgramFiles"), "C:\\Program Files");
    EXPECT_EQ(Get("TEMP"), "C:\\WINDOWS\\TEMP");

    // The process environment wins, except TEMP and TMP holding Linux paths.
    setenv("SYSTEMROOT", "D:\\WINNT", 1);
    EXPECT_EQ(Get("SystemRoot"), "D:\\WINNT");
    setenv("TMP", "/tmp", 1);
    EXPECT_EQ(Get("TMP"), "C:\\WINDOWS\\TEMP");
    setenv("TMP", "D:\\TEMP", 1);
    EXPECT_EQ(Get("tmp"), "D:\\TEMP");

    // Deleting hides the default too, until the variable is set again.
    EXPECT_TRUE(SetEnvironmentVariableA("systemroot", nullptr));
    EXPECT_EQ(Get("SystemRoot"), "<unset>");
    EXPECT_EQ(getenv("SYSTEMROOT"), nullptr);
    EXPECT_EQ(Expand("%SystemRoot%"), "%SystemRoot%");
    EXPECT_TRUE(SetEnvironmentVariableA("SystemRoot", "E:\\W"));
    EXPECT_EQ(Get("SystemRoot"), "E:\\W");
}

TEST_F(Env, GetAndSetFollowTheSizeAndNameRules) {
    EXPECT_EQ(Get("VqTestVar"), "<unset>");
    EXPECT_TRUE(SetEnvironmentVariableA("VqTestVar", "abc"));
    EXPECT_STREQ(getenv("VqTestVar"), "abc");
    // Setting under another spelling replaces the variable, keeping its name.
    EXPECT_TRUE(SetEnvironmentVariableA("VQTESTVAR", "abcdef"));
    EXPECT_STREQ(getenv("VqTestVar"), "abcdef");
    EXPECT_EQ(getenv("VQTESTVAR"), nullptr);

    char buf[8];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(GetEnvironmentVariableA("vqtestvar", buf, 6), 7u);  // too small: size with NUL
    EXPECT_EQ(buf[0], '#');
    EXPECT_EQ(GetEnvironmentVariableA("vqtestvar", buf, 7), 6u);
    EXPECT_STREQ(buf, "abcdef");

    EXPECT_TRUE(SetEnvironmentVariableA("vq_other", ""));
    SetLastError(5);
    EXPECT_EQ(GetEnvironmentVariableA("VQ_OTHER", buf, sizeof buf), 0u);
    EXPECT_EQ(GetLastError(), 0u);  // set, but empty

    EXPECT_FALSE(SetEnvironmentVariableA("a=b", "x"));
    EXPECT_FALSE(SetEnvironmentVariableA("", "x"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(SetEnvironmentVariableA("VqTestVar", nullptr));
    EXPECT_TRUE(SetEnvironmentVariableA("VqTestVar", nullptr));  // deleting twice is fine
    EXPECT_EQ(Get("VqTestVar"), "<unset>");
}

}  // namespace
