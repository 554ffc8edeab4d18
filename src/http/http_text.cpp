#include "http/http_text.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <utility>

#include "runtime/exceptions.h"

namespace isapi_web {

namespace {

constexpr std::array<std::u16string_view, 12> MonthAbbreviations = {
    u"Jan", u"Feb", u"Mar", u"Apr", u"May", u"Jun", u"Jul", u"Aug", u"Sep", u"Oct", u"Nov", u"Dec"};
constexpr std::array<std::u16string_view, 7> DayAbbreviations = {u"Sun", u"Mon", u"Tue", u"Wed",
                                                                 u"Thu", u"Fri", u"Sat"};

constexpr std::pair<int, std::string_view> ReasonPhrases[] = {
    {100, "Continue"},
    {101, "Switching Protocols"},
    {200, "OK"},
    {201, "Created"},
    {202, "Accepted"},
    {203, "Non-Authoritative Information"},
    {204, "No Content"},
    {205, "Reset Content"},
    {206, "Partial Content"},
    {300, "Multiple Choices"},
    {301, "Moved Permanently"},
    {302, "Moved Temporarily"},
    {303, "See Other"},
    {304, "Not Modified"},
    {305, "Use Proxy"},
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {402, "Payment Required"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {406, "None Acceptable"},
    {407, "Proxy Authentication Required"},
    {408, "Request Timeout"},
    {409, "Conflict"},
    {410, "Gone"},
    {411, "Length Required"},
    {412, "Unless True"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {502, "Bad Gateway"},
    {503, "Service Unavailable"},
    {504, "Gateway Timeout"},
};

// The text as a C string would see it: everything before the first NUL.
std::string_view UpToNul(std::string_view text) {
  return text.substr(0, std::min(text.find('\0'), text.size()));
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  return -1;
}

bool IsURLSafe(unsigned char c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
    return true;
  return c != 0 &&
         std::string_view("!$'()*-.@_").find(static_cast<char>(c)) != std::string_view::npos;
}

// Decimal digits of a non-negative value, zero-padded to `width`.
std::u16string Padded(int value, std::size_t width) {
  std::u16string digits = IntToStr(value);
  if (value >= 0 && digits.size() < width)
    digits.insert(0, width - digits.size(), u'0');
  return digits;
}

enum class TDateTokenKind { dtEnd, dtName, dtNumber, dtSymbol };

struct TDateToken {
  TDateTokenKind Kind = TDateTokenKind::dtEnd;
  std::u16string_view Text;
  bool PlainInteger = false;
};

bool IsAsciiLetter(char16_t c) {
  return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}
bool IsDigit(char16_t c) {
  return c >= u'0' && c <= u'9';
}

// The component-stream tokenizer's rules, except that "-" is always a token of its own: the
// hyphens of an RFC 850 date ("06-Nov-94") must separate day, month and year. The text ends
// at its first NUL; other control characters and the space are blanks.
class TDateTokenizer {
public:
  explicit TDateTokenizer(std::u16string_view text) : FText(text) { Advance(); }

  const TDateToken& Current() const { return FToken; }
  bool IsSymbol(char16_t symbol) const {
    return FToken.Kind == TDateTokenKind::dtSymbol && FToken.Text[0] == symbol;
  }

  void Advance() {
    while (FPos < FText.size() && FText[FPos] != u'\0' && FText[FPos] <= u' ')
      ++FPos;
    const std::size_t start = FPos;
    FToken = TDateToken{};
    if (FPos >= FText.size() || FText[FPos] == u'\0')
      return;
    const char16_t first = FText[FPos++];
    if (IsAsciiLetter(first) || first == u'_') {
      while (FPos < FText.size() &&
             (IsAsciiLetter(FText[FPos]) || IsDigit(FText[FPos]) || FText[FPos] == u'_'))
        ++FPos;
      FToken.Kind = TDateTokenKind::dtName;
    } else if (IsDigit(first)) {
      while (FPos < FText.size() && IsDigit(FText[FPos]))
        ++FPos;
      const std::size_t digitsEnd = FPos;
      while (FPos < FText.size() &&
             (IsDigit(FText[FPos]) || FText[FPos] == u'+' || FText[FPos] == u'.' ||
              FText[FPos] == u'E' || FText[FPos] == u'e'))
        ++FPos;
      if (FPos < FText.size() &&
          std::u16string_view(u"CcDdFfSs").find(FText[FPos]) != std::u16string_view::npos)
        ++FPos;
      FToken.Kind = TDateTokenKind::dtNumber;
      FToken.PlainInteger = FPos == digitsEnd;
    } else {
      FToken.Kind = TDateTokenKind::dtSymbol;
    }
    FToken.Text = FText.substr(start, FPos - start);
  }

private:
  std::u16string_view FText;
  std::size_t FPos = 0;
  TDateToken FToken;
};

class TDateReader {
public:
  explicit TDateReader(std::u16string_view text) : FTokens(text) {}

  // Weekday, comma, then "day month year time" (RFC 1123, RFC 850) or "month day time year".
  TDateTime ReadRFCLayouts() {
    FTokens.Advance();
    if (FTokens.IsSymbol(u':'))
      FTokens.Advance();
    FTokens.Advance();
    if (FTokens.IsSymbol(u','))
      FTokens.Advance();
    if (LookUpMonth()) {
      FTokens.Advance();
      FDay = TakeInteger();
      FTokens.Advance();
      ReadTime();
      FYear = TakeInteger();
    } else {
      FDay = TakeInteger();
      FTokens.Advance();
      SkipSymbol(u'-');
      LookUpMonth();
      FTokens.Advance();
      SkipSymbol(u'-');
      FYear = TakeInteger();
      if (FYear < 100)
        FYear += 1900;
      FTokens.Advance();
      ReadTime();
    }
    return Result();
  }

  // Weekday, month, day, time, year: the asctime layout.
  TDateTime ReadAsctimeLayout() {
    FTokens.Advance();
    LookUpMonth();
    FTokens.Advance();
    FDay = TakeInteger();
    FTokens.Advance();
    ReadTime();
    FYear = TakeInteger();
    return Result();
  }

  bool CommaFollowsWeekday() {
    FTokens.Advance();
    return FTokens.IsSymbol(u',');
  }

private:
  int TakeInteger() const {
    const TDateToken& token = FTokens.Current();
    if (token.Kind != TDateTokenKind::dtNumber || !token.PlainInteger)
      throw EConvertError(u"''" + std::u16string(token.Text) + u"'' is not a valid integer value");
    return StrToInt(token.Text);
  }

  void SkipSymbol(char16_t symbol) {
    if (FTokens.IsSymbol(symbol))
      FTokens.Advance();
  }

  bool LookUpMonth() {
    if (FMonth != 13)
      return false;
    const TDateToken& token = FTokens.Current();
    if (token.Kind != TDateTokenKind::dtName)
      return false;
    for (std::size_t i = 0; i < MonthAbbreviations.size(); ++i) {
      if (SameTextAscii(token.Text, MonthAbbreviations[i])) {
        FMonth = static_cast<int>(i) + 1;
        return true;
      }
    }
    return false;
  }

  void ReadTime() {
    FHours = TakeInteger();
    FTokens.Advance();
    SkipSymbol(u':');
    FMinutes = TakeInteger();
    FTokens.Advance();
    SkipSymbol(u':');
    FSeconds = TakeInteger();
    FTokens.Advance();
  }

  TDateTime Result() const {
    const TDateTime date = EncodeDate(FYear, FMonth, FDay);
    return date + EncodeTime(FHours, FMinutes, FSeconds, 0);
  }

  TDateTokenizer FTokens;
  int FMonth = 13;
  int FDay = 0;
  int FYear = 0;
  int FHours = 0;
  int FMinutes = 0;
  int FSeconds = 0;
};

} // namespace

std::string DecodeURLText(std::string_view text) {
  const std::string_view input = UpToNul(text);
  std::string result;
  result.reserve(input.size());
  std::size_t i = 0;
  while (i < input.size()) {
    const char c = input[i];
    if (c == '+') {
      result += ' ';
      ++i;
    } else if (c != '%') {
      result += c;
      ++i;
    } else if (i + 1 < input.size() && input[i + 1] == '%') {
      result += '%';
      i += 2;
    } else if (i + 2 >= input.size()) {
      throw EWebException(u"Error decoding URL style (%XX) encoded string at position " +
                          IntToStr(static_cast<std::int64_t>(i + 1)));
    } else {
      const int high = HexDigitValue(input[i + 1]);
      const int low = HexDigitValue(input[i + 2]);
      if (high < 0 || low < 0)
        throw EConvertError(u"Invalid URL encoded character (" + AnsiToWide(input.substr(i, 3)) +
                            u") at position " + IntToStr(static_cast<std::int64_t>(i + 1)));
      result += static_cast<char>(high * 16 + low);
      i += 3;
    }
  }
  return result;
}

std::string EncodeURLText(std::string_view text) {
  static constexpr char HexDigits[] = "0123456789ABCDEF";
  const std::string_view input = UpToNul(text);
  std::string result;
  result.reserve(input.size() * 3);
  for (const char c : input) {
    const auto byte = static_cast<unsigned char>(c);
    if (IsURLSafe(byte)) {
      result += c;
    } else if (byte == ' ') {
      result += '+';
    } else {
      result += '%';
      result += HexDigits[byte >> 4];
      result += HexDigits[byte & 0x0F];
    }
  }
  return result;
}

TDateTime ParseHTTPDate(std::u16string_view text) {
  try {
    return TDateReader(text).ReadRFCLayouts();
  } catch (const EConvertError&) {
    // asctime has no comma after the weekday; an RFC date always has one.
    if (TDateReader(text).CommaFollowsWeekday())
      throw;
  }
  return TDateReader(text).ReadAsctimeLayout();
}

std::u16string MonthAbbreviation(TDateTime value) {
  int year = 0, month = 0, day = 0;
  DecodeDate(value, year, month, day);
  if (month < 1 || month > 12)
    return {};
  return std::u16string(MonthAbbreviations[static_cast<std::size_t>(month - 1)]);
}

std::u16string DayAbbreviation(TDateTime value) {
  const int day = DayOfWeek(value);
  if (day < 1 || day > 7)
    return {};
  return std::u16string(DayAbbreviations[static_cast<std::size_t>(day - 1)]);
}

std::u16string HTTPDateText(TDateTime value) {
  int year = 0, month = 0, day = 0;
  DecodeDate(value, year, month, day);
  int hours = 0, minutes = 0, seconds = 0, milliseconds = 0;
  DecodeTime(value, hours, minutes, seconds, milliseconds);
  return DayAbbreviation(value) + u", " + Padded(day, 2) + u" " + MonthAbbreviation(value) + u" " +
         Padded(year, 4) + u" " + Padded(hours, 2) + u":" + Padded(minutes, 2) + u":" +
         Padded(seconds, 2) + u" GMT";
}

std::string StatusText(int code) {
  return std::string(StatusTextView(code));
}

std::string_view StatusTextView(int code) noexcept {
  for (const auto& [tableCode, phrase] : ReasonPhrases)
    if (tableCode == code)
      return phrase;
  return {};
}

TTextEncoding CharsetEncoding(std::string_view contentType) {
  if (contentType.empty())
    return TTextEncoding::teAnsi;
  const std::string upper = UpperCaseAscii(contentType);
  const std::size_t charset = upper.find("CHARSET");
  if (charset != std::string::npos && upper.find("UTF-8", charset) != std::string::npos)
    return TTextEncoding::teUtf8;
  return TTextEncoding::teAnsi;
}

std::u16string DecodeContent(std::string_view contentType, std::string_view raw) {
  return DecodeText(CharsetEncoding(contentType), raw);
}

std::string EncodeContent(std::string_view contentType, std::u16string_view text) {
  return EncodeText(CharsetEncoding(contentType), text);
}

std::u16string ReplaceChar(std::u16string_view text, char16_t from, char16_t to) {
  std::u16string result(text);
  std::replace(result.begin(), result.end(), from, to);
  return result;
}

std::u16string BackslashToSlash(std::u16string_view text) {
  return ReplaceChar(text, u'\\', u'/');
}

} // namespace isapi_web
