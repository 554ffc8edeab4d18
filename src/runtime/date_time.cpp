#include "runtime/date_time.h"

#include <chrono>
#include <cmath>

#include "runtime/exceptions.h"

namespace isapi_web {

namespace {

// Days from 1 January 0001 (day 1) to 30 December 1899 (day 0 of TDateTime).
constexpr std::int64_t DateDelta = 693594;
// Beyond this many days from day 0 a value is no calendar date (year 9999 ends near 2958466);
// the margin keeps the millisecond count far inside 64 bits.
constexpr double MaxDecodableDays = 1.0e9;

// A TDateTime split into whole days since 1 January 0001 (day 1) and milliseconds of the day.
// Rounding happens on the whole value first, so 23:59:59.9996 becomes the next day's midnight.
struct TTimeStamp {
  std::int64_t Date = 0;
  std::int64_t Time = 0;
  bool Valid = false;
};

TTimeStamp ToTimeStamp(TDateTime value) {
  TTimeStamp stamp;
  if (!std::isfinite(value) || std::fabs(value) > MaxDecodableDays) {
    return stamp;
  }
  const auto milliseconds = static_cast<std::int64_t>(std::llround(value * MSecsPerDay));
  // The day is the floor of the value and the time its distance from that floor, so a date
  // before day 0 plus its time of day (what ParseHTTPDate adds up) prints back unchanged.
  std::int64_t days = milliseconds / MSecsPerDay;
  if (milliseconds % MSecsPerDay < 0) {
    --days;
  }
  stamp.Date = DateDelta + days;
  stamp.Time = milliseconds - days * MSecsPerDay;
  stamp.Valid = true;
  return stamp;
}

} // namespace

bool IsLeapYear(int year) {
  return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

int DaysInMonth(int year, int month) {
  static constexpr int Days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) {
    return 0;
  }
  return month == 2 && IsLeapYear(year) ? 29 : Days[month - 1];
}

bool TryEncodeDate(int year, int month, int day, TDateTime& value) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month)) {
    return false;
  }
  std::int64_t dayOfYear = day;
  for (int m = 1; m < month; ++m) {
    dayOfYear += DaysInMonth(year, m);
  }
  const std::int64_t y = year - 1;
  value = static_cast<TDateTime>(y * 365 + y / 4 - y / 100 + y / 400 + dayOfYear - DateDelta);
  return true;
}

bool TryEncodeTime(int hour, int minute, int second, int millisecond, TDateTime& value) {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 ||
      millisecond < 0 || millisecond > 999) {
    return false;
  }
  const std::int64_t total =
      ((static_cast<std::int64_t>(hour) * 60 + minute) * 60 + second) * 1000 + millisecond;
  value = static_cast<TDateTime>(total) / static_cast<TDateTime>(MSecsPerDay);
  return true;
}

TDateTime EncodeDate(int year, int month, int day) {
  TDateTime value = 0;
  if (!TryEncodeDate(year, month, day, value)) {
    throw EConvertError(u"Invalid argument to date encode");
  }
  return value;
}

TDateTime EncodeTime(int hour, int minute, int second, int millisecond) {
  TDateTime value = 0;
  if (!TryEncodeTime(hour, minute, second, millisecond, value)) {
    throw EConvertError(u"Invalid argument to time encode");
  }
  return value;
}

void DecodeDate(TDateTime value, int& year, int& month, int& day) {
  const TTimeStamp stamp = ToTimeStamp(value);
  year = month = day = 0;
  if (!stamp.Valid || stamp.Date <= 0) {
    return;
  }
  // Peel off 400-, 100-, 4- and 1-year cycles from day 0 = 1 January 0001.
  std::int64_t days = stamp.Date - 1;
  std::int64_t y = 1 + 400 * (days / 146097);
  days %= 146097;
  std::int64_t centuries = days / 36524;
  if (centuries == 4) { // the last day of a 400-year cycle
    centuries = 3;
  }
  y += 100 * centuries;
  days -= centuries * 36524;
  y += 4 * (days / 1461);
  days %= 1461;
  std::int64_t years = days / 365;
  if (years == 4) { // the last day of a leap cycle
    years = 3;
  }
  y += years;
  days -= years * 365;
  const int fullYear = static_cast<int>(y);
  int m = 1;
  while (days >= DaysInMonth(fullYear, m)) {
    days -= DaysInMonth(fullYear, m);
    ++m;
  }
  year = fullYear;
  month = m;
  day = static_cast<int>(days) + 1;
}

void DecodeTime(TDateTime value, int& hour, int& minute, int& second, int& millisecond) {
  const TTimeStamp stamp = ToTimeStamp(value);
  std::int64_t time = stamp.Valid ? stamp.Time : 0;
  millisecond = static_cast<int>(time % 1000);
  time /= 1000;
  second = static_cast<int>(time % 60);
  time /= 60;
  minute = static_cast<int>(time % 60);
  hour = static_cast<int>(time / 60);
}

int DayOfWeek(TDateTime value) {
  const TTimeStamp stamp = ToTimeStamp(value);
  if (!stamp.Valid || stamp.Date <= 0) {
    return 0;
  }
  // Day 1 (1 January 0001) was a Monday.
  return static_cast<int>(stamp.Date % 7) + 1;
}

TDateTime NowUtc() {
  const auto sinceEpoch = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  return UnixDateDelta +
         static_cast<TDateTime>(sinceEpoch.count()) / static_cast<TDateTime>(MSecsPerDay);
}

} // namespace isapi_web
