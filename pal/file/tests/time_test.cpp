// FILETIME arithmetic: calendar conversions, comparisons and local time.
#include <stdlib.h>
#include <time.h>

#include <string>

#include "pal/file/tests/file_test_util.h"

namespace {

uint64_t Ticks(const FILETIME& ft) { return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime; }

FILETIME Ft(uint64_t t) { return FILETIME{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)}; }

TEST(FileTimeConversionTest, KnownInstants) {
    struct Case {
        SYSTEMTIME st;
        uint64_t ticks;
    };
    const Case cases[] = {
        {{1601, 1, 1, 1, 0, 0, 0, 0}, 0},                                 // a Monday
        {{1970, 1, 4, 1, 0, 0, 0, 0}, 116444736000000000ull},             // a Thursday
        {{2000, 2, 2, 29, 23, 59, 59, 999}, 125963423999990000ull},       // leap day, a Tuesday
        {{2024, 3, 5, 15, 12, 0, 0, 0}, 133549776000000000ull},           // a Friday
        {{30827, 12, 5, 31, 23, 59, 59, 999}, 0x7FFF35F4F06C58F0ull},     // the last one Windows accepts
    };
    for (const auto& c : cases) {
        FILETIME ft{};
        ASSERT_TRUE(SystemTimeToFileTime(&c.st, &ft)) << c.st.wYear;
        EXPECT_EQ(Ticks(ft), c.ticks) << c.st.wYear;
        SYSTEMTIME back{};
        ASSERT_TRUE(FileTimeToSystemTime(&ft, &back));
        EXPECT_EQ(memcmp(&back, &c.st, sizeof back), 0) << c.st.wYear << " day of week " << back.wDayOfWeek;
    }
}

TEST(FileTimeConversionTest, InvalidInputsAreRefused) {
    const SYSTEMTIME bad[] = {{1600, 12, 0, 31, 0, 0, 0, 0}, {2021, 2, 0, 29, 0, 0, 0, 0},
                              {2021, 13, 0, 1, 0, 0, 0, 0}, {2021, 4, 0, 31, 0, 0, 0, 0},
                              {2021, 4, 0, 1, 24, 0, 0, 0}, {2021, 4, 0, 1, 0, 0, 0, 1000}};
    FILETIME ft{};
    for (const auto& st : bad) {
        EXPECT_FALSE(SystemTimeToFileTime(&st, &ft)) << st.wYear << "-" << st.wMonth << "-" << st.wDay;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
    SYSTEMTIME st{};
    FILETIME top = Ft(0x8000000000000000ull);
    EXPECT_FALSE(FileTimeToSystemTime(&top, &st));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(FileTimeConversionTest, CalendarRoundTripsAcrossCenturies) {
    // Every 997 days and some odd milliseconds from 1601 to past 2400.
    for (uint64_t day = 0; day < 300000; day += 997) {
        const uint64_t ticks = (day * 86400000ull + (day * 7919) % 86400000ull) * 10000ull;
        FILETIME ft = Ft(ticks), back{};
        SYSTEMTIME st{};
        ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
        ASSERT_TRUE(SystemTimeToFileTime(&st, &back));
        ASSERT_EQ(Ticks(back), ticks) << "day " << day;
    }
}

TEST(FileTimeConversionTest, LocalTimeUsesTheZonesCurrentOffset) {
    const char* old = getenv("TZ");
    const std::string saved = old ? old : "";
    setenv("TZ", "XYZ-5:30", 1);  // 5 h 30 east of UTC, no daylight saving
    tzset();
    FILETIME utc = Ft(133549920000000000ull), local{}, back{};
    ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
    EXPECT_EQ(Ticks(local) - Ticks(utc), 330ull * 60 * 10000000);
    ASSERT_TRUE(LocalFileTimeToFileTime(&local, &back));
    EXPECT_EQ(Ticks(back), Ticks(utc));
    FILETIME zero = Ft(0);
    EXPECT_FALSE(LocalFileTimeToFileTime(&zero, &back));  // would fall before 1601
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

}  // namespace
