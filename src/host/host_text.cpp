#include "host/host_text.h"

#include <cstdio>

namespace isapi_web::host {

namespace {

char UpperAscii(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

} // namespace

TCivilTime ToCivilTime(std::chrono::system_clock::time_point moment) {
  using namespace std::chrono;
  const auto sinceEpoch = duration_cast<milliseconds>(moment.time_since_epoch()).count();
  std::int64_t days = sinceEpoch / 86'400'000;
  std::int64_t msOfDay = sinceEpoch % 86'400'000;
  if (msOfDay < 0) {
    msOfDay += 86'400'000;
    --days;
  }
  TCivilTime result;
  result.Hour = static_cast<int>(msOfDay / 3'600'000);
  result.Minute = static_cast<int>(msOfDay / 60'000 % 60);
  result.Second = static_cast<int>(msOfDay / 1000 % 60);
  result.Millisecond = static_cast<int>(msOfDay % 1000);
  result.WeekDay = static_cast<int>(((days % 7) + 11) % 7); // 1970-01-01 was a Thursday
  // Days to civil date (proleptic Gregorian), after Howard Hinnant's algorithm.
  const std::int64_t z = days + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  result.Day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  result.Month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  result.Year = static_cast<int>(yoe + era * 400 + (result.Month <= 2 ? 1 : 0));
  return result;
}

std::string HttpDateText(std::chrono::system_clock::time_point moment) {
  static constexpr const char* DayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* MonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const TCivilTime t = ToCivilTime(moment);
  char text[40];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", DayNames[t.WeekDay],
                t.Day, MonthNames[t.Month - 1], t.Year, t.Hour, t.Minute, t.Second);
  return text;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size())
    return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (UpperAscii(a[i]) != UpperAscii(b[i]))
      return false;
  return true;
}

bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

std::string ToUpperAscii(std::string_view text) {
  std::string result(text);
  for (char& c : result)
    c = UpperAscii(c);
  return result;
}

std::string HtmlEscape(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (char c : text) {
    switch (c) {
    case '&':
      result += "&amp;";
      break;
    case '<':
      result += "&lt;";
      break;
    case '>':
      result += "&gt;";
      break;
    case '"':
      result += "&quot;";
      break;
    case '\'':
      result += "&#39;";
      break;
    default:
      result += c;
    }
  }
  return result;
}

bool HasControlCharacter(std::string_view text) {
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 32 || byte == 127)
      return true;
  }
  return false;
}

} // namespace isapi_web::host
