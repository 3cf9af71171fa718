#include "platform/TimeFormat.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace pv {

TDateTime Now() {
    using namespace std::chrono;
    return TDateTime{duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count()};
}

TDateTime IncMilliSecond(TDateTime t, std::int64_t ms) {
    return TDateTime{t.UnixMs + ms};
}

namespace {

// Floor division keeps instants before 1970 on the right second.
std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0)))
        --q;
    return q;
}

} // namespace

TLocalTime DecodeLocal(TDateTime t) {
    std::int64_t secs = FloorDiv(t.UnixMs, 1000);
    std::time_t tt = static_cast<std::time_t>(secs);
    std::tm tm{};
    TLocalTime r;
    if (!localtime_r(&tt, &tm))
        return r;
    r.Year = tm.tm_year + 1900;
    r.Month = tm.tm_mon + 1;
    r.Day = tm.tm_mday;
    r.Hour = tm.tm_hour;
    r.Minute = tm.tm_min;
    r.Second = tm.tm_sec;
    r.MilliSecond = static_cast<int>(t.UnixMs - secs * 1000);
    r.DayOfWeek = tm.tm_wday;
    r.UtcOffsetSeconds = tm.tm_gmtoff;
    r.IsDst = tm.tm_isdst > 0;
    r.ZoneName = tm.tm_zone ? tm.tm_zone : "";
    return r;
}

TDateTime EncodeLocal(int year, int month, int day, int hour, int minute, int second,
                      int milliSecond) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    std::time_t tt = std::mktime(&tm);
    return TDateTime{static_cast<std::int64_t>(tt) * 1000 + milliSecond};
}

long UtcOffsetSeconds(TDateTime t) {
    return DecodeLocal(t).UtcOffsetSeconds;
}

namespace {

const char *const kMonthShort[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char *const kMonthLong[] = {"January",   "February", "March",    "April",
                                  "May",       "June",     "July",     "August",
                                  "September", "October",  "November", "December"};
const char *const kDayShort[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char *const kDayLong[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                "Thursday", "Friday", "Saturday"};

std::string Pad(int v, int width) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%0*d", width, v);
    return buf;
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

std::string FormatDateTime(const std::string &format, TDateTime t) {
    const TLocalTime lt = DecodeLocal(t);
    std::string out;
    bool afterHour = false; // "m" right after an hour means minutes
    std::size_t i = 0;
    const std::size_t n = format.size();
    while (i < n) {
        char c = format[i];
        if (c == '"' || c == '\'') {
            std::size_t end = format.find(c, i + 1);
            if (end == std::string::npos)
                end = n;
            out.append(format, i + 1, end - i - 1);
            i = end < n ? end + 1 : n;
            continue;
        }
        char lc = Lower(c);
        std::size_t run = 1;
        while (i + run < n && Lower(format[i + run]) == lc)
            ++run;
        switch (lc) {
        case 'y':
            out += run >= 3 ? Pad(lt.Year, 4) : Pad(lt.Year % 100, 2);
            afterHour = false;
            break;
        case 'm':
            if (afterHour && run <= 2) {
                out += run == 2 ? Pad(lt.Minute, 2) : std::to_string(lt.Minute);
            } else if (run >= 4) {
                out += kMonthLong[lt.Month - 1];
            } else if (run == 3) {
                out += kMonthShort[lt.Month - 1];
            } else {
                out += run == 2 ? Pad(lt.Month, 2) : std::to_string(lt.Month);
            }
            afterHour = false;
            break;
        case 'd':
            if (run >= 4)
                out += kDayLong[lt.DayOfWeek];
            else if (run == 3)
                out += kDayShort[lt.DayOfWeek];
            else
                out += run == 2 ? Pad(lt.Day, 2) : std::to_string(lt.Day);
            afterHour = false;
            break;
        case 'h':
            out += run >= 2 ? Pad(lt.Hour, 2) : std::to_string(lt.Hour);
            afterHour = true;
            break;
        case 'n':
            out += run >= 2 ? Pad(lt.Minute, 2) : std::to_string(lt.Minute);
            afterHour = false;
            break;
        case 's':
            out += run >= 2 ? Pad(lt.Second, 2) : std::to_string(lt.Second);
            afterHour = false;
            break;
        case 'z':
            out += run >= 3 ? Pad(lt.MilliSecond, 3) : std::to_string(lt.MilliSecond);
            afterHour = false;
            break;
        default:
            out.append(format, i, run);
            break;
        }
        i += run;
    }
    return out;
}

} // namespace pv
