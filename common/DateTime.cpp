#include "common/DateTime.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace {

// 1 January 1970 is day 25569 of the day count.
constexpr int64_t kUnixDay = 25569;

int64_t DaysFromCivil(int y, int m, int d) {
    // Days since 1970-01-01 in the proleptic Gregorian calendar (H. Hinnant's algorithm).
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

std::mutex gClockMutex;
TClock gClock;

TDateTime RealNow() {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    TDateTime date = 0, time = 0;
    TryEncodeDate(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, date);
    TryEncodeTime(tm.tm_hour, tm.tm_min, tm.tm_sec > 59 ? 59 : tm.tm_sec, 0, time);
    return date + time;
}

std::string Pad(int value, int width) {
    std::string s = std::to_string(value < 0 ? -value : value);
    while (static_cast<int>(s.size()) < width) s.insert(s.begin(), '0');
    return s;
}

}  // namespace

bool IsLeapYear(int year) {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

int DaysInMonth(int year, int month) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) return 0;
    return kDays[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
}

bool TryEncodeDate(int year, int month, int day, TDateTime& out) {
    if (year < 1 || year > 9999 || month < 1 || month > 12) return false;
    if (day < 1 || day > DaysInMonth(year, month)) return false;
    out = static_cast<TDateTime>(DaysFromCivil(year, month, day) + kUnixDay);
    return true;
}

bool TryEncodeTime(int hour, int min, int sec, int msec, TDateTime& out) {
    if (hour < 0 || hour > 23 || min < 0 || min > 59 || sec < 0 || sec > 59 || msec < 0 ||
        msec > 999)
        return false;
    out = (hour * 3600000.0 + min * 60000.0 + sec * 1000.0 + msec) / 86400000.0;
    return true;
}

TDateTime EncodeDateTimeOrZero(int year, int month, int day, int hour, int min, int sec) {
    TDateTime date = 0, time = 0;
    if (!TryEncodeDate(year, month, day, date) || !TryEncodeTime(hour, min, sec, 0, time))
        return 0.0;
    return date + time;
}

int64_t DayNumber(TDateTime value) {
    return static_cast<int64_t>(std::floor(value));
}

TDateParts DecodeDate(TDateTime value) {
    TDateParts p;
    CivilFromDays(DayNumber(value) - kUnixDay, p.Year, p.Month, p.Day);
    return p;
}

TTimeParts DecodeTime(TDateTime value) {
    const double frac = value - std::floor(value);
    int64_t ms = std::llround(frac * 86400000.0);
    if (ms >= 86400000) ms = 86399999;
    TTimeParts t;
    t.Hour = static_cast<int>(ms / 3600000);
    t.Min = static_cast<int>(ms / 60000 % 60);
    t.Sec = static_cast<int>(ms / 1000 % 60);
    t.MSec = static_cast<int>(ms % 1000);
    return t;
}

int64_t SecondsOf(TDateTime value) {
    const int64_t day = DayNumber(value);
    return day * 86400 + std::llround((value - static_cast<double>(day)) * 86400.0);
}

TDateTime FromSeconds(int64_t seconds) {
    const int64_t day = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
    const int64_t rest = seconds - day * 86400;
    int y = 0, m = 0, d = 0;
    CivilFromDays(day - kUnixDay, y, m, d);
    return EncodeDateTimeOrZero(y, m, d, static_cast<int>(rest / 3600),
                                static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
}

TDateTime UtcToLocal(TDateTime utc) {
    if (utc == 0.0) return 0.0;
    const std::time_t t = static_cast<std::time_t>(SecondsOf(utc) - kUnixDay * 86400);
    std::tm tm{};
    if (!localtime_r(&t, &tm)) return 0.0;
    return EncodeDateTimeOrZero(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                                tm.tm_sec > 59 ? 59 : tm.tm_sec);
}

int DayOfWeek(TDateTime value) {
    // 30 December 1899 was a Saturday (7).
    const int64_t r = ((DayNumber(value) + 6) % 7 + 7) % 7;
    return static_cast<int>(r) + 1;
}

void SetClock(TClock clock) {
    std::lock_guard<std::mutex> lock(gClockMutex);
    gClock = std::move(clock);
}

TDateTime Now() {
    TClock clock;
    {
        std::lock_guard<std::mutex> lock(gClockMutex);
        clock = gClock;
    }
    return clock ? clock() : RealNow();
}

TDateTime Date() {
    return std::floor(Now());
}

std::string FormatDateTime(const std::string& pattern, TDateTime value) {
    const TDateParts d = DecodeDate(value);
    const TTimeParts t = DecodeTime(value);
    std::string out;
    for (size_t i = 0; i < pattern.size();) {
        auto starts = [&](const char* tok) {
            return pattern.compare(i, std::char_traits<char>::length(tok), tok) == 0;
        };
        if (starts("yyyy")) {
            out += Pad(d.Year, 4);
            i += 4;
        } else if (starts("dd")) {
            out += Pad(d.Day, 2);
            i += 2;
        } else if (starts("mm")) {
            out += Pad(d.Month, 2);
            i += 2;
        } else if (starts("hh")) {
            out += Pad(t.Hour, 2);
            i += 2;
        } else if (starts("nn")) {
            out += Pad(t.Min, 2);
            i += 2;
        } else if (starts("ss")) {
            out += Pad(t.Sec, 2);
            i += 2;
        } else
            out += pattern[i++];
    }
    return out;
}

std::string DateToStr(TDateTime value) {
    return FormatDateTime("dd.mm.yyyy", value);
}

std::string IsoLocalTime(TDateTime value) {
    const TDateParts d = DecodeDate(value);
    const TTimeParts t = DecodeTime(value);
    std::tm tm{};
    tm.tm_year = d.Year - 1900;
    tm.tm_mon = d.Month - 1;
    tm.tm_mday = d.Day;
    tm.tm_hour = t.Hour;
    tm.tm_min = t.Min;
    tm.tm_sec = t.Sec;
    tm.tm_isdst = -1;
    long offset = 0;
    if (std::mktime(&tm) != static_cast<std::time_t>(-1)) offset = tm.tm_gmtoff;
    const char sign = offset < 0 ? '-' : '+';
    if (offset < 0) offset = -offset;
    char zone[8];
    std::snprintf(zone, sizeof zone, "%c%02ld:%02ld", sign, offset / 3600 % 100,
                  offset / 60 % 60);
    return FormatDateTime("yyyy-mm-ddThh:nn:ss", value) + zone;
}
