#include "support/StoreTime.h"

#include <cstdio>
#include <ctime>

namespace zk40 {

namespace {
// Days from 1970-01-01 for a proleptic Gregorian date (Howard Hinnant's
// well-known civil-days algorithm).
constexpr int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t y = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<int>(y + (m <= 2));
    month = static_cast<int>(m);
    day = static_cast<int>(d);
}

// A compile-time constant, so times computed during static initialisation
// elsewhere never see it unset.
constexpr int64_t kOriginFromUnixDays = DaysFromCivil(1901, 1, 1);
}  // namespace

bool IsLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int year, int month) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) return 0;
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

bool IsValidDate(int year, int month, int day) {
    return month >= 1 && month <= 12 && day >= 1 && day <= DaysInMonth(year, month);
}

int64_t DayNumber(int year, int month, int day) {
    return DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) -
           kOriginFromUnixDays;
}

void DateOfDayNumber(int64_t dayNumber, int& year, int& month, int& day) {
    CivilFromDays(dayNumber + kOriginFromUnixDays, year, month, day);
}

StoreTime ToStoreTime(const CivilTime& c) {
    int64_t s = DayNumber(c.year, c.month, c.day) * kSecondsPerDay + c.hour * 3600 + c.minute * 60 +
                c.second;
    if (s < 0) return 0;
    if (s > UINT32_MAX) return UINT32_MAX;
    return static_cast<StoreTime>(s);
}

StoreTime ToStoreTime(int year, int month, int day, int hour, int minute, int second) {
    return ToStoreTime(CivilTime{year, month, day, hour, minute, second});
}

CivilTime ToCivil(StoreTime t) {
    CivilTime c;
    DateOfDayNumber(DayOf(t), c.year, c.month, c.day);
    uint32_t s = SecondsOfDay(t);
    c.hour = static_cast<int>(s / 3600);
    c.minute = static_cast<int>(s / 60 % 60);
    c.second = static_cast<int>(s % 60);
    return c;
}

int WeekdayOfDay(int64_t dayNumber) {
    // Day 0, 1 January 1901, was a Tuesday (2).
    int64_t w = (dayNumber + 1) % 7;
    if (w < 0) w += 7;
    return static_cast<int>(w) + 1;
}

int DayOfYear(StoreTime t) {
    CivilTime c = ToCivil(t);
    return static_cast<int>(DayNumber(c.year, c.month, c.day) - DayNumber(c.year, 1, 1)) + 1;
}

StoreTime FromUnixTime(int64_t unixSeconds) {
    time_t tt = static_cast<time_t>(unixSeconds);
    struct tm tm {};
    localtime_r(&tt, &tm);
    return ToStoreTime(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                       tm.tm_sec);
}

int64_t ToUnixTime(StoreTime t) {
    CivilTime c = ToCivil(t);
    struct tm tm {};
    tm.tm_year = c.year - 1900;
    tm.tm_mon = c.month - 1;
    tm.tm_mday = c.day;
    tm.tm_hour = c.hour;
    tm.tm_min = c.minute;
    tm.tm_sec = c.second;
    tm.tm_isdst = -1;
    return static_cast<int64_t>(mktime(&tm));
}

StoreTime CurrentStoreTime() {
    // Not time(): it reads a coarse clock that can lag a few milliseconds
    // behind, so just after a second begins it may still report the one
    // before, and a job due at that second would wait for the next pass.
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return FromUnixTime(static_cast<int64_t>(ts.tv_sec));
}

long CurrentUtcOffset() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm {};
    localtime_r(&ts.tv_sec, &tm);
    return tm.tm_gmtoff;
}

std::string FormatStoreTime(StoreTime t) {
    CivilTime c = ToCivil(t);
    char buf[32];
    snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", c.year, c.month, c.day, c.hour,
             c.minute, c.second);
    return buf;
}

bool ParseStoreTime(const std::string& text, StoreTime& out) {
    CivilTime c;
    char tail = 0;
    int n = sscanf(text.c_str(), "%d-%d-%d %d:%d:%d%c", &c.year, &c.month, &c.day, &c.hour,
                   &c.minute, &c.second, &tail);
    if (n == 3) {
        c.hour = c.minute = c.second = 0;
    } else if (n == 5) {
        c.second = 0;
    } else if (n != 6) {
        return false;
    }
    if (c.year < 1901 || !IsValidDate(c.year, c.month, c.day) || c.hour < 0 || c.hour > 23 ||
        c.minute < 0 || c.minute > 59 || c.second < 0 || c.second > 59)
        return false;
    int64_t s = DayNumber(c.year, c.month, c.day) * kSecondsPerDay + c.hour * 3600 + c.minute * 60 +
                c.second;
    if (s > UINT32_MAX) return false;
    out = static_cast<StoreTime>(s);
    return true;
}

const SystemClock& SystemClock::Instance() {
    static const SystemClock clock;
    return clock;
}

}  // namespace zk40
