#include "runtime/date_time.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cmath>
#include <limits>

#include "expect_error.h"

namespace isapi_web {
namespace {

struct TDateParts {
  int Year, Month, Day, Hour, Minute, Second, Millisecond;
  bool operator==(const TDateParts&) const = default;
};

std::ostream& operator<<(std::ostream& out, const TDateParts& p) {
  return out << p.Year << '-' << p.Month << '-' << p.Day << ' ' << p.Hour << ':' << p.Minute << ':'
             << p.Second << '.' << p.Millisecond;
}

TDateParts Decode(TDateTime value) {
  TDateParts p{};
  DecodeDate(value, p.Year, p.Month, p.Day);
  DecodeTime(value, p.Hour, p.Minute, p.Second, p.Millisecond);
  return p;
}

template <class F> void ExpectConvertError(F&& f, std::u16string_view message) {
  ExpectError<EConvertError>(f, u"EConvertError", message);
}

TEST(DateTimeTest, EncodeDateCountsDaysFrom30December1899) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
  EXPECT_EQ(EncodeDate(1899, 12, 29), -1.0);
  EXPECT_EQ(EncodeDate(1900, 1, 1), 2.0);
  EXPECT_EQ(EncodeDate(1900, 3, 1), 61.0); // 1900 is no leap year
  EXPECT_EQ(EncodeDate(1970, 1, 1), UnixDateDelta);
  EXPECT_EQ(EncodeDate(2000, 1, 1), 36526.0);
  EXPECT_EQ(EncodeDate(1, 1, 1), -693593.0);
  EXPECT_EQ(EncodeDate(9999, 12, 31), 2958465.0);
}

TEST(DateTimeTest, EncodeDateKnowsLeapYearsAndRejectsImpossibleDates) {
  EXPECT_EQ(EncodeDate(2000, 3, 1) - EncodeDate(2000, 2, 28), 2.0);
  EXPECT_EQ(EncodeDate(2024, 2, 29) + 1, EncodeDate(2024, 3, 1));
  EXPECT_NO_THROW(EncodeDate(1600, 2, 29));
  for (const std::array<int, 3> date : {std::array{1900, 2, 29},
                                        {2023, 2, 29},
                                        {2100, 2, 29},
                                        {2024, 2, 30},
                                        {2024, 4, 31},
                                        {2024, 1, 32},
                                        {2024, 1, 0},
                                        {2024, 0, 1},
                                        {2024, 13, 1},
                                        {0, 1, 1},
                                        {10000, 1, 1},
                                        {-5, 1, 1}}) {
    TDateTime value = 12345;
    EXPECT_FALSE(TryEncodeDate(date[0], date[1], date[2], value)) << date[0] << '-' << date[1];
    ExpectConvertError([&] { EncodeDate(date[0], date[1], date[2]); },
                       u"Invalid argument to date encode");
  }
  EXPECT_TRUE(IsLeapYear(2000));
  EXPECT_FALSE(IsLeapYear(1900));
  EXPECT_EQ(DaysInMonth(2024, 2), 29);
  EXPECT_EQ(DaysInMonth(2024, 13), 0);
}

TEST(DateTimeTest, EncodeTimeIsTheFractionOfADay) {
  EXPECT_EQ(EncodeTime(0, 0, 0, 0), 0.0);
  EXPECT_EQ(EncodeTime(12, 0, 0, 0), 0.5);
  EXPECT_EQ(EncodeTime(6, 0, 0, 0), 0.25);
  EXPECT_DOUBLE_EQ(EncodeTime(23, 59, 59, 999), 86399999.0 / 86400000.0);
  for (const std::array<int, 4> time : {std::array{24, 0, 0, 0},
                                        {0, 60, 0, 0},
                                        {0, 0, 60, 0},
                                        {0, 0, 0, 1000},
                                        {-1, 0, 0, 0},
                                        {0, -1, 0, 0},
                                        {0, 0, 0, -1}}) {
    TDateTime value = 0;
    EXPECT_FALSE(TryEncodeTime(time[0], time[1], time[2], time[3], value));
    ExpectConvertError([&] { EncodeTime(time[0], time[1], time[2], time[3]); },
                       u"Invalid argument to time encode");
  }
}

TEST(DateTimeTest, DecodeInvertsEncodeOnEveryDayOfTheCalendar) {
  int failures = 0;
  for (int y = 1; y <= 9999 && failures < 5; ++y) {
    for (int m = 1; m <= 12; ++m) {
      for (int d = 1; d <= DaysInMonth(y, m); ++d) {
        int year = 0, month = 0, day = 0;
        DecodeDate(EncodeDate(y, m, d), year, month, day);
        if (year != y || month != m || day != d) {
          ADD_FAILURE() << y << '-' << m << '-' << d << " decoded as " << year << '-' << month
                        << '-' << day;
          ++failures;
        }
      }
    }
  }
  const TDateTime value = EncodeDate(2024, 3, 5) + EncodeTime(7, 4, 9, 123);
  EXPECT_EQ(Decode(value), (TDateParts{2024, 3, 5, 7, 4, 9, 123}));
  EXPECT_EQ(Decode(EncodeTime(23, 59, 59, 999)), (TDateParts{1899, 12, 30, 23, 59, 59, 999}));
}

TEST(DateTimeTest, NegativeValuesTakeTheFloorAsTheDay) {
  EXPECT_EQ(Decode(-0.75), (TDateParts{1899, 12, 29, 6, 0, 0, 0}));
  EXPECT_EQ(Decode(-1.25), (TDateParts{1899, 12, 28, 18, 0, 0, 0}));
  EXPECT_EQ(Decode(-0.5), (TDateParts{1899, 12, 29, 12, 0, 0, 0}));
  EXPECT_EQ(Decode(-1.0), (TDateParts{1899, 12, 29, 0, 0, 0, 0}));
  EXPECT_EQ(Decode(EncodeDate(1, 1, 1) + 0.75), (TDateParts{1, 1, 1, 18, 0, 0, 0}));
  EXPECT_EQ(Decode(EncodeDate(1899, 12, 29) + EncodeTime(23, 59, 59, 999)),
            (TDateParts{1899, 12, 29, 23, 59, 59, 999}));
  EXPECT_EQ(Decode(1.5), (TDateParts{1899, 12, 31, 12, 0, 0, 0}));
  // Before 1 January 0001, and for values that are no number, there is no date.
  EXPECT_EQ(Decode(-693594.0), (TDateParts{0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Decode(std::numeric_limits<double>::quiet_NaN()), (TDateParts{0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Decode(std::numeric_limits<double>::infinity()), (TDateParts{0, 0, 0, 0, 0, 0, 0}));
}

TEST(DateTimeTest, DecodeRoundsToTheMillisecondAcrossMidnight) {
  const TDateTime almostMidnight = EncodeDate(2024, 12, 31) + 86399999.6 / 86400000.0;
  EXPECT_EQ(Decode(almostMidnight), (TDateParts{2025, 1, 1, 0, 0, 0, 0}));
  EXPECT_EQ(Decode(EncodeDate(2024, 1, 1) + 0.4 / 86400000.0),
            (TDateParts{2024, 1, 1, 0, 0, 0, 0}));
}

TEST(DateTimeTest, DayOfWeekStartsOnSunday) {
  EXPECT_EQ(DayOfWeek(0.0), 7); // 30 December 1899, a Saturday
  EXPECT_EQ(DayOfWeek(0.99), 7);
  EXPECT_EQ(DayOfWeek(1.0), 1);  // Sunday
  EXPECT_EQ(DayOfWeek(-1.0), 6); // Friday
  EXPECT_EQ(DayOfWeek(-0.25), 6);
  EXPECT_EQ(DayOfWeek(-1.25), 5); // Thursday, 28 December 1899, 18:00
  EXPECT_EQ(DayOfWeek(EncodeDate(2030, 1, 1)), 3); // Tuesday
  EXPECT_EQ(DayOfWeek(EncodeDate(2024, 3, 5) + 0.3), 3);
  EXPECT_EQ(DayOfWeek(EncodeDate(2000, 2, 29)), 3);
  EXPECT_EQ(DayOfWeek(EncodeDate(1, 1, 1)), 2);      // Monday
  EXPECT_EQ(DayOfWeek(EncodeDate(9999, 12, 31)), 6); // Friday
  for (int d = 0; d < 14; ++d) {
    EXPECT_EQ(DayOfWeek(EncodeDate(2024, 3, 3) + d), d % 7 + 1); // 3 March 2024 was a Sunday
  }
}

TEST(DateTimeTest, NowUtcIsTheSystemClock) {
  using namespace std::chrono;
  const auto before = floor<milliseconds>(system_clock::now());
  const TDateTime now = NowUtc();
  const auto after = floor<milliseconds>(system_clock::now());
  const auto asMilliseconds = milliseconds(std::llround((now - UnixDateDelta) * MSecsPerDay));
  EXPECT_GE(asMilliseconds, before.time_since_epoch() - milliseconds(1));
  EXPECT_LE(asMilliseconds, after.time_since_epoch() + milliseconds(1));

  const year_month_day first{floor<days>(before)};
  const year_month_day last{floor<days>(after)};
  int year = 0, month = 0, day = 0;
  DecodeDate(now, year, month, day);
  const year_month_day decoded{std::chrono::year(year), std::chrono::month(unsigned(month)),
                               std::chrono::day(unsigned(day))};
  EXPECT_TRUE(decoded == first || decoded == last);
}

} // namespace
} // namespace isapi_web
