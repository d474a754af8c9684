// File times and their calendar forms. The calendar arithmetic is done here on day
// numbers (proleptic Gregorian, as Windows counts from 1601) rather than through
// timegm/gmtime, so every FILETIME Windows accepts (up to year 30827) converts.
#include "pal/file/file_time.h"

#include <limits>

#include "pal/error/error.h"
#include "pal/file/file.h"

namespace pal {

namespace {

constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kTicksPerMs = 10000;
constexpr int64_t kMsPerDay = 86400000;
constexpr int64_t kDays1601To1970 = 134774;

int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
}

bool IsLeap(unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned DaysInMonth(unsigned y, unsigned m) {
    static const unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

// The local zone's current offset from UTC in ticks. Windows converts every file time
// with the bias in force now (daylight saving included), not the one of the date given.
int64_t CurrentBiasTicks() {
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    return static_cast<int64_t>(local.tm_gmtoff) * kTicksPerSecond;
}

BOOL ShiftFileTime(const FILETIME* in, FILETIME* out, int64_t delta) {
    if (!in || !out) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const int64_t v = static_cast<int64_t>(TicksOf(*in));
    if (v < 0 || (delta < 0 && v < -delta) || (delta > 0 && v > std::numeric_limits<int64_t>::max() - delta)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *out = FileTimeOf(static_cast<uint64_t>(v + delta));
    return TRUE;
}

}  // namespace

FILETIME FileTimeFromUnix(int64_t sec, uint32_t nsec) {
    const int64_t minSec = -static_cast<int64_t>(kUnixEpochTicks / kTicksPerSecond);
    if (sec < minSec) return FILETIME{0, 0};
    const uint64_t ticks = static_cast<uint64_t>(sec - minSec) * kTicksPerSecond + nsec / 100;
    return FileTimeOf(ticks);
}

timespec UnixFromFileTime(const FILETIME& ft) {
    const int64_t rel = static_cast<int64_t>(TicksOf(ft) - kUnixEpochTicks);
    int64_t sec = rel / kTicksPerSecond;
    int64_t rem = rel % kTicksPerSecond;
    if (rem < 0) {
        rem += kTicksPerSecond;
        --sec;
    }
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(sec);
    ts.tv_nsec = static_cast<long>(rem * 100);
    return ts;
}

}  // namespace pal

using namespace pal;

LONG CompareFileTime(const FILETIME* a, const FILETIME* b) {
    const uint64_t x = a ? TicksOf(*a) : 0;
    const uint64_t y = b ? TicksOf(*b) : 0;
    return x < y ? -1 : x > y ? 1 : 0;
}

BOOL FileTimeToSystemTime(const FILETIME* ft, LPSYSTEMTIME st) {
    if (!ft || !st || (ft->dwHighDateTime & 0x80000000u)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const int64_t ms = static_cast<int64_t>(TicksOf(*ft)) / kTicksPerMs;
    const int64_t days = ms / kMsPerDay;
    int64_t inDay = ms % kMsPerDay;
    int64_t year;
    unsigned month, day;
    CivilFromDays(days - kDays1601To1970, year, month, day);
    st->wYear = static_cast<WORD>(year);
    st->wMonth = static_cast<WORD>(month);
    st->wDay = static_cast<WORD>(day);
    st->wDayOfWeek = static_cast<WORD>((days + 1) % 7);  // 1601-01-01 was a Monday
    st->wHour = static_cast<WORD>(inDay / 3600000);
    inDay %= 3600000;
    st->wMinute = static_cast<WORD>(inDay / 60000);
    inDay %= 60000;
    st->wSecond = static_cast<WORD>(inDay / 1000);
    st->wMilliseconds = static_cast<WORD>(inDay % 1000);
    return TRUE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* st, LPFILETIME ft) {
    if (!st || !ft || st->wYear < 1601 || st->wYear > 30827 || st->wMonth < 1 || st->wMonth > 12 ||
        st->wDay < 1 || st->wDay > DaysInMonth(st->wYear, st->wMonth) || st->wHour > 23 || st->wMinute > 59 ||
        st->wSecond > 59 || st->wMilliseconds > 999) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const int64_t days = DaysFromCivil(st->wYear, st->wMonth, st->wDay) + kDays1601To1970;
    const int64_t ms =
        ((days * 24 + st->wHour) * 60 + st->wMinute) * 60000 + st->wSecond * 1000 + st->wMilliseconds;
    *ft = FileTimeOf(static_cast<uint64_t>(ms * kTicksPerMs));
    return TRUE;
}

BOOL FileTimeToLocalFileTime(const FILETIME* ft, LPFILETIME local) {
    return ShiftFileTime(ft, local, CurrentBiasTicks());
}

BOOL LocalFileTimeToFileTime(const FILETIME* local, LPFILETIME ft) {
    return ShiftFileTime(local, ft, -CurrentBiasTicks());
}
