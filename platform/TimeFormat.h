// Wall-clock time, local time with its UTC offset, and the date-time
// formatting the program's texts use.
#pragma once

#include <cstdint>
#include <string>

namespace pv {

// An instant: milliseconds since 1970-01-01 00:00:00 UTC.
struct TDateTime {
    std::int64_t UnixMs = 0;
    friend bool operator==(const TDateTime &, const TDateTime &) = default;
    friend auto operator<=>(const TDateTime &, const TDateTime &) = default;
};

// An instant broken down in the local time zone (TZ applies).
struct TLocalTime {
    int Year = 1970;
    int Month = 1; // 1..12
    int Day = 1;   // 1..31
    int Hour = 0;
    int Minute = 0;
    int Second = 0;
    int MilliSecond = 0;
    int DayOfWeek = 4;         // 0 = Sunday
    long UtcOffsetSeconds = 0; // local minus UTC (east positive)
    bool IsDst = false;
    std::string ZoneName; // abbreviation, e.g. "CET"
};

TDateTime Now();
TDateTime IncMilliSecond(TDateTime t, std::int64_t ms);

TLocalTime DecodeLocal(TDateTime t);
// Local midnight-based construction (mktime); the fields beyond the date and
// time of day are ignored. Invalid dates are normalised as mktime does.
TDateTime EncodeLocal(int year, int month, int day, int hour, int minute, int second,
                      int milliSecond = 0);
// Local time minus UTC at that instant, in seconds.
long UtcOffsetSeconds(TDateTime t);

// Format specifiers: yyyy, yy, m, mm, mmm, mmmm (English month names), d, dd,
// ddd, dddd (English day names), h, hh, n, nn, s, ss, z, zzz; "m"/"mm" right
// after an hour specifier means minutes. Text in double or single quotes is
// literal, as is every other character ('/' and ':' are not localised).
// Example: FormatDateTime("mm\"/\"dd\"/\"yyyy hh:nn:ss", Now()).
std::string FormatDateTime(const std::string &format, TDateTime t);

} // namespace pv
