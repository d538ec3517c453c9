#pragma once
// Date-time values are day counts from 30 December 1899 00:00 with the time of day
// as the fraction, the representation stored in the call database and the settings.
#include <cstdint>
#include <functional>
#include <string>

using TDateTime = double;

struct TDateParts {
    int Year = 1899, Month = 12, Day = 30;
};
struct TTimeParts {
    int Hour = 0, Min = 0, Sec = 0, MSec = 0;
};

bool IsLeapYear(int year);
int DaysInMonth(int year, int month);

// Years 1..9999, months 1..12, days within the Gregorian month; false otherwise.
bool TryEncodeDate(int year, int month, int day, TDateTime& out);
// Hours 0..23, minutes and seconds 0..59, milliseconds 0..999; false otherwise.
bool TryEncodeTime(int hour, int min, int sec, int msec, TDateTime& out);
// Encoded date plus time; 0.0 when either part is invalid.
TDateTime EncodeDateTimeOrZero(int year, int month, int day, int hour, int min, int sec);

TDateParts DecodeDate(TDateTime value);
TTimeParts DecodeTime(TDateTime value);
// Whole days of the value (the date part), also for negative values.
int64_t DayNumber(TDateTime value);

// Whole seconds of a value from 30 December 1899 00:00, and the value of such a count; a count
// outside years 1..9999 gives 0.0.
int64_t SecondsOf(TDateTime value);
TDateTime FromSeconds(int64_t seconds);
// A UTC date-time in the local time of the station's time zone (daylight saving as it was on
// that day); 0.0 stays 0.0.
TDateTime UtcToLocal(TDateTime utc);

// Sunday is 1, Saturday 7.
int DayOfWeek(TDateTime value);

// The local calendar date (time 0) and the local date and time, from the current clock.
TDateTime Date();
TDateTime Now();

// The clock behind Date() and Now(); tests replace it. An empty function restores the real one.
using TClock = std::function<TDateTime()>;
void SetClock(TClock clock);

// dd.mm.yyyy, the short date format of the Russian locale the station runs in.
std::string DateToStr(TDateTime value);
// "dd_mm_yyyy" style patterns: dd, mm, yyyy, hh, nn, ss are replaced; other characters kept.
std::string FormatDateTime(const std::string& pattern, TDateTime value);

// ISO 8601 local time with the zone's offset at that moment: "2026-12-09T10:11:12+03:00".
std::string IsoLocalTime(TDateTime value);
