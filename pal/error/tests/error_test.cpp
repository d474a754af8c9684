#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "pal/error/error.h"

namespace {

TEST(LastError, IsPerThread) {
    SetLastError(183);
    DWORD other = 1;
    std::thread t([&] {
        other = GetLastError();
        SetLastError(5);
    });
    t.join();
    EXPECT_EQ(other, 0u);
    EXPECT_EQ(GetLastError(), 183u);
}

TEST(LastError, PosixErrorsMapToWin32Numbers) {
    EXPECT_EQ(pal::ErrorFromErrno(ENOENT), 2u);
    EXPECT_EQ(pal::ErrorFromErrno(EACCES), 5u);
    EXPECT_EQ(pal::ErrorFromErrno(EEXIST), 80u);
    EXPECT_EQ(pal::ErrorFromErrno(ENOSPC), 112u);
    EXPECT_EQ(pal::SetLastErrorFromErrno(EBADF), 6u);
    EXPECT_EQ(GetLastError(), 6u);
}

TEST(FormatMessage, SystemTextsEndInCrLf) {
    char buf[256];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 2, 0, buf, sizeof buf, nullptr);
    EXPECT_STREQ(buf, "The system cannot find the file specified.\r\n");
    EXPECT_EQ(n, std::strlen(buf));
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 288, 0, buf, sizeof buf, nullptr);
    EXPECT_STREQ(buf, "Attempt to release mutex not owned by caller.\r\n");
}

TEST(FormatMessage, UnknownIdAndShortBufferFail) {
    char buf[8];
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 99999, 0, buf, sizeof buf, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 2, 0, buf, sizeof buf, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST(FormatMessage, AllocatedBufferIsFreedWithLocalFree) {
    LPSTR text = nullptr;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, 5, 0,
                             reinterpret_cast<LPSTR>(&text), 0, nullptr);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(n, 19u);
    EXPECT_STREQ(text, "Access is denied.\r\n");
    EXPECT_EQ(LocalFree(text), nullptr);
}

TEST(FormatMessage, InsertsFromAnArgumentArray) {
    DWORD_PTR args[] = {reinterpret_cast<DWORD_PTR>("disk"), 42, static_cast<DWORD_PTR>(0xBEEF)};
    char buf[256];
    FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                   "%2!d! on %1,%n100%% %3!04X! %1%0 never", 0, 0, buf, sizeof buf,
                   reinterpret_cast<va_list*>(args));
    EXPECT_STREQ(buf, "42 on disk,\r\n100% BEEF disk");
}

TEST(FormatMessage, IgnoreInsertsKeepsThemVerbatim) {
    char buf[64];
    FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_IGNORE_INSERTS, "a %1 b %2!d! %n", 0, 0, buf,
                   sizeof buf, nullptr);
    EXPECT_STREQ(buf, "a %1 b %2!d! \r\n");
}

DWORD FormatV(char* buf, DWORD size, const char* tmpl, ...) {
    va_list ap;
    va_start(ap, tmpl);
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_STRING, tmpl, 0, 0, buf, size, &ap);
    va_end(ap);
    return n;
}

TEST(FormatMessage, InsertsFromAVaListInNumberOrder) {
    char buf[128];
    // Arguments are taken by number, whatever order the template uses them in.
    FormatV(buf, sizeof buf, "%3 %1!u! %2!s! %1!x!", 255u, "two", "three");
    EXPECT_STREQ(buf, "three 255 two ff");
}

TEST(FormatMessage, MaxWidthFoldsSoftLineBreaks) {
    char buf[64];
    FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_MAX_WIDTH_MASK, "one\r\ntwo%nthree", 0, 0, buf,
                   sizeof buf, nullptr);
    EXPECT_STREQ(buf, "one two\r\nthree");
}

}  // namespace
