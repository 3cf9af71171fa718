#include <cstdlib>
#include <ctime>

#include <gtest/gtest.h>

#include "platform/TimeFormat.h"

using namespace pv;

namespace {

// Runs the test body in a given time zone and restores the old one.
class TimeZone {
  public:
    explicit TimeZone(const char *tz) {
        const char *old = std::getenv("TZ");
        had_ = old != nullptr;
        if (had_)
            old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~TimeZone() {
        if (had_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

  private:
    bool had_ = false;
    std::string old_;
};

const char *kLogFormat = "mm\"/\"dd\"/\"yyyy hh:nn:ss";
const char *kNextPollFormat = "mm\"/\"dd\"/\"yy hh:nn:ss";

} // namespace

TEST(TimeFormat, LogAndNextPollStamps) {
    TimeZone tz("UTC0");
    TDateTime t = EncodeLocal(2024, 3, 5, 7, 8, 9);
    EXPECT_EQ(FormatDateTime(kLogFormat, t), "03/05/2024 07:08:09");
    EXPECT_EQ(FormatDateTime(kNextPollFormat, t), "03/05/24 07:08:09");
    EXPECT_EQ(FormatDateTime(kLogFormat, EncodeLocal(2009, 12, 31, 23, 59, 58)),
              "12/31/2009 23:59:58");
    // The next poll: now plus the interval, across the end of a year.
    TDateTime late = EncodeLocal(2023, 12, 31, 23, 59, 59, 500);
    EXPECT_EQ(FormatDateTime(kNextPollFormat, IncMilliSecond(late, 596LL * 3600000)),
              "01/25/24 19:59:59");
    EXPECT_EQ(FormatDateTime("hh:nn:ss.zzz", IncMilliSecond(late, 600)), "00:00:00.100");
}

TEST(TimeFormat, SpecifiersAndLiterals) {
    TimeZone tz("UTC0");
    TDateTime t = EncodeLocal(2021, 2, 3, 4, 5, 6, 7);
    EXPECT_EQ(FormatDateTime("d/m/y h:n:s z", t), "3/2/21 4:5:6 7");
    EXPECT_EQ(FormatDateTime("hh:mm", t), "04:05"); // minutes after an hour
    EXPECT_EQ(FormatDateTime("mm hh", t), "02 04"); // month before it
    EXPECT_EQ(FormatDateTime("ddd, dd mmm yyyy", t), "Wed, 03 Feb 2021");
    EXPECT_EQ(FormatDateTime("dddd mmmm", t), "Wednesday February");
    EXPECT_EQ(FormatDateTime("'yyyy' \"mm\" yyyy", t), "yyyy mm 2021");
    EXPECT_EQ(FormatDateTime("\"unterminated", t), "unterminated");
    EXPECT_EQ(FormatDateTime("", t), "");
}

TEST(TimeFormat, LocalTimeAndOffsets) {
    {
        TimeZone tz("CET-1CEST,M3.5.0,M10.5.0/3");
        TDateTime winter = EncodeLocal(2024, 1, 15, 12, 0, 0);
        TDateTime summer = EncodeLocal(2024, 7, 15, 12, 0, 0);
        EXPECT_EQ(UtcOffsetSeconds(winter), 3600);
        EXPECT_EQ(UtcOffsetSeconds(summer), 7200);
        EXPECT_EQ(winter.UnixMs, 1705316400000LL);
        TLocalTime lt = DecodeLocal(summer);
        EXPECT_TRUE(lt.IsDst);
        EXPECT_EQ(lt.ZoneName, "CEST");
        EXPECT_EQ(lt.DayOfWeek, 1); // a Monday
        EXPECT_EQ(lt.Hour, 12);
    }
    {
        TimeZone tz("EST5EDT,M3.2.0,M11.1.0");
        EXPECT_EQ(UtcOffsetSeconds(EncodeLocal(2024, 1, 15, 12, 0, 0)), -5 * 3600);
        TimeZone half("<+0530>-5:30");
        EXPECT_EQ(UtcOffsetSeconds(Now()), 5 * 3600 + 1800);
    }
    TimeZone utc("UTC0");
    // Before 1970 the milliseconds stay positive and the second floors.
    TLocalTime before = DecodeLocal(TDateTime{-1});
    EXPECT_EQ(before.Year, 1969);
    EXPECT_EQ(before.Second, 59);
    EXPECT_EQ(before.MilliSecond, 999);
    // Now() is the wall clock.
    std::int64_t wall = static_cast<std::int64_t>(std::time(nullptr)) * 1000;
    EXPECT_LE(std::llabs(Now().UnixMs - wall), 2000);
}
