#pragma once
// TDateTime: days since 30 December 1899, the fraction being the time of day; -1.0 is "no date".
// The day is the floor of the value and the time of day its distance from that floor, also
// before 30 December 1899 (-0.75 is 29 December 1899, 06:00).

#include <cstdint>

namespace isapi_web {

using TDateTime = double;

/// Milliseconds in a day.
inline constexpr std::int64_t MSecsPerDay = 86400000;
/// The TDateTime of 1 January 1970 00:00, the Unix epoch.
inline constexpr TDateTime UnixDateDelta = 25569.0;

/// Leap years of the proleptic Gregorian calendar.
bool IsLeapYear(int year);
/// Days in a month (1..12) of a year; 0 for a month outside 1..12.
int DaysInMonth(int year, int month);

/// Raises EConvertError "Invalid argument to date encode" for an impossible date
/// (years 1..9999).
TDateTime EncodeDate(int year, int month, int day);
/// Raises EConvertError "Invalid argument to time encode" for an impossible time.
TDateTime EncodeTime(int hour, int minute, int second, int millisecond);
bool TryEncodeDate(int year, int month, int day, TDateTime& value);
bool TryEncodeTime(int hour, int minute, int second, int millisecond, TDateTime& value);

/// The calendar date of Value; all zero for a value before 1 January 0001 or not finite.
void DecodeDate(TDateTime value, int& year, int& month, int& day);
/// The time of day of Value, rounded to the millisecond.
void DecodeTime(TDateTime value, int& hour, int& minute, int& second, int& millisecond);
/// 1 = Sunday ... 7 = Saturday; 0 for a value that DecodeDate cannot decode.
int DayOfWeek(TDateTime value);
/// The current time in UTC.
TDateTime NowUtc();

} // namespace isapi_web
