#include "host/host_text.h"

#include <array>
#include <cstdio>
#include <cstring>

namespace isapi_web::host {

namespace {

char UpperAscii(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// The replacement of a byte that HTML needs escaped, empty for one that stands as it is.
std::string_view HtmlEntityFor(char c) {
  switch (c) {
  case '&':
    return "&amp;";
  case '<':
    return "&lt;";
  case '>':
    return "&gt;";
  case '"':
    return "&quot;";
  case '\'':
    return "&#39;";
  default:
    return {};
  }
}

constexpr auto HtmlSpecials = [] {
  std::array<bool, 256> table{};
  for (unsigned char c : std::string_view("&<>\"'"))
    table[c] = true;
  return table;
}();

bool IsHtmlSpecial(char c) {
  return HtmlSpecials[static_cast<unsigned char>(c)];
}

constexpr std::uint64_t ByteOnes = 0x0101010101010101ull;
constexpr std::uint64_t ByteHighs = 0x8080808080808080ull;

// Whether some byte of the word is zero; never reports one that is not.
constexpr bool HasZeroByte(std::uint64_t word) {
  return ((word - ByteOnes) & ~word & ByteHighs) != 0;
}

// How far text starts with bytes that HTML takes as they are, eight at a time.
std::size_t PlainHtmlPrefix(std::string_view text) {
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    if (HasZeroByte(word ^ (ByteOnes * '&')) || HasZeroByte(word ^ (ByteOnes * '<')) ||
        HasZeroByte(word ^ (ByteOnes * '>')) || HasZeroByte(word ^ (ByteOnes * '"')) ||
        HasZeroByte(word ^ (ByteOnes * '\'')))
      break;
  }
  return i;
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

std::optional<std::chrono::system_clock::time_point> ParseHttpDate(std::string_view text) {
  // "Sun, 06 Nov 1994 08:49:37 GMT": fixed positions.
  static constexpr std::string_view MonthNames = "JanFebMarAprMayJunJulAugSepOctNovDec";
  if (text.size() != 29 || text.substr(3, 2) != ", " || text.substr(25) != " GMT" ||
      text[7] != ' ' || text[11] != ' ' || text[16] != ' ' || text[19] != ':' || text[22] != ':')
    return std::nullopt;
  const auto number = [&](std::size_t at, std::size_t length) -> int {
    int value = 0;
    for (std::size_t i = at; i < at + length; ++i) {
      if (text[i] < '0' || text[i] > '9')
        return -1;
      value = value * 10 + (text[i] - '0');
    }
    return value;
  };
  const std::size_t month = MonthNames.find(text.substr(8, 3));
  const int day = number(5, 2), year = number(12, 4);
  const int hour = number(17, 2), minute = number(20, 2), second = number(23, 2);
  if (month == std::string_view::npos || month % 3 != 0 || day < 1 || day > 31 || year < 0 ||
      hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 60)
    return std::nullopt;
  // Civil date to days (proleptic Gregorian), the inverse of ToCivilTime's.
  const int m = static_cast<int>(month / 3) + 1;
  const std::int64_t y = year - (m <= 2 ? 1 : 0);
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + day - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const std::int64_t days = era * 146097 + doe - 719468;
  return std::chrono::system_clock::time_point(
      std::chrono::seconds(days * 86400 + hour * 3600 + minute * 60 + second));
}

bool SameBytesIgnoreCase(const char* a, const char* b, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i)
    if (a[i] != b[i] && UpperAscii(a[i]) != UpperAscii(b[i]))
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

void AppendHtmlEscaped(std::string& out, std::string_view text) {
  // Runs of plain bytes are copied whole; most texts have no special byte at all.
  std::size_t start = 0;
  for (std::size_t i = PlainHtmlPrefix(text); i < text.size(); ++i) {
    if (!IsHtmlSpecial(text[i]))
      continue;
    out.append(text.data() + start, i - start);
    out.append(HtmlEntityFor(text[i]));
    start = i + 1;
  }
  out.append(text.data() + start, text.size() - start);
}

std::size_t HtmlEscapedSize(std::string_view text) {
  std::size_t size = text.size();
  for (std::size_t i = PlainHtmlPrefix(text); i < text.size(); ++i)
    if (IsHtmlSpecial(text[i]))
      size += HtmlEntityFor(text[i]).size() - 1;
  return size;
}

std::string HtmlEscape(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  AppendHtmlEscaped(result, text);
  return result;
}

bool HasControlCharacter(std::string_view text) {
  // Eight bytes at a time: a word has a byte below 32 when subtracting 32 from every byte borrows
  // into the top bit of a byte that had it clear, and a byte of 127 when the word XOR 127s has a
  // zero byte; neither test reports a byte that is not there.
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    if ((((word - ByteOnes * 32) & ~word & ByteHighs) != 0) || HasZeroByte(word ^ (ByteOnes * 127)))
      return true;
  }
  for (; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 32 || byte == 127)
      return true;
  }
  return false;
}

std::string EscapeControlBytes(std::string_view text) {
  static constexpr char Hex[] = "0123456789ABCDEF";
  std::string result;
  result.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (!IsControlByte(byte)) {
      result += c;
      continue;
    }
    result += '%';
    result += Hex[byte >> 4];
    result += Hex[byte & 15];
  }
  return result;
}

void Diagnostic(std::string_view text) {
  const std::string line = "isapi-host: " + EscapeControlBytes(text) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

} // namespace isapi_web::host
