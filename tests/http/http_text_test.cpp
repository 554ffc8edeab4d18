#include "http/http_text.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "runtime/exceptions.h"

namespace isapi_web {
namespace {

using namespace std::literals;

// The message of the exception of class E that `action` raises; a failure when it raises none.
template <typename E, typename F> std::u16string MessageOf(F&& action) {
  try {
    action();
  } catch (const E& error) {
    return error.Message();
  }
  ADD_FAILURE() << "no exception raised";
  return {};
}

TDateTime DateTime(int year, int month, int day, int hours, int minutes, int seconds) {
  return EncodeDate(year, month, day) + EncodeTime(hours, minutes, seconds, 0);
}

TEST(DecodeURLText, PlusPercentAndEscapes) {
  EXPECT_EQ(DecodeURLText("a+b"), "a b");
  EXPECT_EQ(DecodeURLText("a%20b"), "a b");
  EXPECT_EQ(DecodeURLText("100%%"), "100%");
  // "%%" consumes both bytes: the digits after it are plain text.
  EXPECT_EQ(DecodeURLText("%%41"), "%41");
  EXPECT_EQ(DecodeURLText("%41%7a%7A"), "Azz");
  EXPECT_EQ(DecodeURLText("%e9%C3%a9"), "\xE9\xC3\xA9");
  EXPECT_EQ(DecodeURLText("%00x"), std::string("\0x", 2));
  EXPECT_EQ(DecodeURLText(""), "");
  EXPECT_EQ(DecodeURLText("/path/a.htm?x=1"), "/path/a.htm?x=1");
}

TEST(DecodeURLText, StopsAtTheFirstNul) {
  EXPECT_EQ(DecodeURLText(std::string("ab\0%zz", 6)), "ab");
  EXPECT_EQ(DecodeURLText(std::string("a+\0+", 4)), "a ");
  // The NUL ends the text, so an escape cut by it is truncated.
  EXPECT_EQ(MessageOf<EWebException>([] {
              DecodeURLText(std::string("x%4\0"
                                        "1",
                                        5));
            }),
            u"Error decoding URL style (%XX) encoded string at position 2");
}

TEST(DecodeURLText, TruncatedEscapeRaisesWebExceptionAtThePercentSign) {
  EXPECT_EQ(MessageOf<EWebException>([] { DecodeURLText("ab%4"); }),
            u"Error decoding URL style (%XX) encoded string at position 3");
  EXPECT_EQ(MessageOf<EWebException>([] { DecodeURLText("%"); }),
            u"Error decoding URL style (%XX) encoded string at position 1");
  EXPECT_EQ(MessageOf<EWebException>([] { DecodeURLText("a+b%20%"); }),
            u"Error decoding URL style (%XX) encoded string at position 7");
  EXPECT_EQ(MessageOf<EWebException>([] { DecodeURLText("%%%z"); }),
            u"Error decoding URL style (%XX) encoded string at position 3");
}

TEST(DecodeURLText, NonHexadecimalDigitsRaiseConvertErrorQuotingTheEscape) {
  EXPECT_EQ(MessageOf<EConvertError>([] { DecodeURLText("x%zz"); }),
            u"Invalid URL encoded character (%zz) at position 2");
  EXPECT_EQ(MessageOf<EConvertError>([] { DecodeURLText("%4g"); }),
            u"Invalid URL encoded character (%4g) at position 1");
  EXPECT_EQ(MessageOf<EConvertError>([] { DecodeURLText("ab%%c%+1"); }),
            u"Invalid URL encoded character (%+1) at position 6");
  // Bytes above 127 are quoted as the ANSI code page shows them.
  EXPECT_EQ(MessageOf<EConvertError>([] { DecodeURLText("%\xE9\xE8"); }),
            u"Invalid URL encoded character (%\u00E9\u00E8) at position 1");
  EXPECT_THROW(DecodeURLText("% 1"), EConvertError);
}

TEST(EncodeURLText, EveryByteValue) {
  const std::string safeMarks = "!$'()*-.@_";
  const char* hex = "0123456789ABCDEF";
  for (int value = 1; value < 256; ++value) {
    const char byte = static_cast<char>(value);
    const bool safe = (value >= 'A' && value <= 'Z') || (value >= 'a' && value <= 'z') ||
                      (value >= '0' && value <= '9') || safeMarks.find(byte) != std::string::npos;
    std::string expected;
    if (safe)
      expected = std::string(1, byte);
    else if (value == ' ')
      expected = "+";
    else
      expected = std::string("%") + hex[value >> 4] + hex[value & 15];
    EXPECT_EQ(EncodeURLText(std::string(1, byte)), expected) << "byte " << value;
  }
  EXPECT_EQ(EncodeURLText("/"), "%2F");
  EXPECT_EQ(EncodeURLText("\r\n"), "%0D%0A");
  EXPECT_EQ(EncodeURLText("~"), "%7E");
  EXPECT_EQ(EncodeURLText("\xE9"), "%E9");
  EXPECT_EQ(EncodeURLText("a b+c"), "a+b%2Bc");
}

TEST(EncodeURLText, StopsAtTheFirstNulAndRoundTripsThroughDecoding) {
  EXPECT_EQ(EncodeURLText(std::string("ab\0cd", 5)), "ab");
  EXPECT_EQ(EncodeURLText(std::string("\0a", 2)), "");
  std::string all;
  for (int value = 1; value < 256; ++value)
    all += static_cast<char>(value);
  const std::string encoded = EncodeURLText(all);
  EXPECT_LE(encoded.size(), all.size() * 3);
  EXPECT_EQ(DecodeURLText(encoded), all);
}

TEST(ParseHTTPDate, TheThreeHTTPForms) {
  const TDateTime expected = DateTime(1994, 11, 6, 8, 49, 37);
  EXPECT_EQ(ParseHTTPDate(u"Sun, 06 Nov 1994 08:49:37 GMT"), expected);
  EXPECT_EQ(ParseHTTPDate(u"Sunday, 06-Nov-94 08:49:37 GMT"), expected);
  EXPECT_EQ(ParseHTTPDate(u"Sun Nov  6 08:49:37 1994"), expected);
  EXPECT_EQ(ParseHTTPDate(u"Tue, 05 Mar 2024 07:04:09 GMT"), DateTime(2024, 3, 5, 7, 4, 9));
  // Weekday, comma, month name first.
  EXPECT_EQ(ParseHTTPDate(u"Sun, Nov 06 08:49:37 1994"), expected);
}

TEST(ParseHTTPDate, TokensAndLetterCase) {
  const TDateTime expected = DateTime(2024, 3, 5, 7, 4, 9);
  EXPECT_EQ(ParseHTTPDate(u"tue, 05 mar 2024 07:04:09 gmt"), expected);
  EXPECT_EQ(ParseHTTPDate(u"TUE, 5 MAR 2024 7:4:9"), expected);
  EXPECT_EQ(ParseHTTPDate(u"\t Tue,05 Mar 2024 07 04 09"), expected);
  // The weekday is not checked and anything after the seconds is ignored.
  EXPECT_EQ(ParseHTTPDate(u"Xyz, 05 Mar 2024 07:04:09 GMT+0100 (whatever)"), expected);
  EXPECT_EQ(ParseHTTPDate(u"7, 05-Mar-2024 07:04:09"), expected);
  // The text ends at its first NUL.
  EXPECT_EQ(ParseHTTPDate(u"Tue, 05 Mar 2024 07:04:09\0 GMT"sv), expected);
  EXPECT_THROW(ParseHTTPDate(u"Tue, 05 Mar\0 2024 07:04:09"sv), EConvertError);
  EXPECT_EQ(ParseHTTPDate(u"Tue, 05 Dec 2024 23:59:59 GMT"), DateTime(2024, 12, 5, 23, 59, 59));
  EXPECT_EQ(ParseHTTPDate(u"Tue, 05 Mar 2024 07:04:00 GMT"), DateTime(2024, 3, 5, 7, 4, 0));
}

TEST(ParseHTTPDate, TwoDigitYearsInTheDayFirstLayout) {
  EXPECT_EQ(ParseHTTPDate(u"Sun, 06 Nov 94 08:49:37 GMT"), DateTime(1994, 11, 6, 8, 49, 37));
  EXPECT_EQ(ParseHTTPDate(u"Fri, 31 Dec 99 23:59:59 GMT"), DateTime(1999, 12, 31, 23, 59, 59));
  EXPECT_EQ(ParseHTTPDate(u"Mon, 01 Jan 00 00:00:00 GMT"), DateTime(1900, 1, 1, 0, 0, 0));
  EXPECT_EQ(ParseHTTPDate(u"Mon, 01 Jan 100 00:00:00 GMT"), DateTime(100, 1, 1, 0, 0, 0));
  EXPECT_EQ(ParseHTTPDate(u"Sat, 01 Jan 2000 00:00:00 GMT"), DateTime(2000, 1, 1, 0, 0, 0));
}

TEST(ParseHTTPDate, AsctimeOnlyWhereTheRFCLayoutsCannotRead) {
  EXPECT_EQ(ParseHTTPDate(u"Mon Jan 1 00:00:00 2001"), DateTime(2001, 1, 1, 0, 0, 0));
  EXPECT_EQ(ParseHTTPDate(u"Thu Feb 29 12:30:45 2024 extra"), DateTime(2024, 2, 29, 12, 30, 45));
  // Without a comma the day-first layout still reads from the third token, as before.
  EXPECT_EQ(ParseHTTPDate(u"Tue 2 05 Mar 2024 07:04:09 GMT"), DateTime(2024, 3, 5, 7, 4, 9));
  EXPECT_EQ(MessageOf<EConvertError>([] { ParseHTTPDate(u"Sun Nov 31 08:49:37 1994"); }),
            u"Invalid argument to date encode");
  EXPECT_EQ(MessageOf<EConvertError>([] { ParseHTTPDate(u"Sun Nov 6 08:49:37"); }),
            u"'''' is not a valid integer value");
  // With a comma the RFC error stands: asctime is never tried.
  EXPECT_EQ(MessageOf<EConvertError>([] { ParseHTTPDate(u"Sun, Nov 6 1994 08:49:37"); }),
            u"'':'' is not a valid integer value");
}

TEST(ParseHTTPDate, ImpossibleDatesAndTimes) {
  const std::u16string dateError = u"Invalid argument to date encode";
  const std::u16string timeError = u"Invalid argument to time encode";
  EXPECT_EQ(MessageOf<EConvertError>([] { ParseHTTPDate(u"Tue, 05 March 2024 07:04:09 GMT"); }),
            dateError);
  EXPECT_EQ(MessageOf<EConvertError>([] { ParseHTTPDate(u"Tue, 05 Mars 2024 07:04:09 GMT"); }),
            dateError);
  EXPECT_EQ(MessageOf<EConvertError>([] { ParseHTTPDate(u"Fri, 30 Feb 2024 07:04:09 GMT"); }),
            dateError);
  EXPECT_EQ(MessageOf<EConvertError>([] { ParseHTTPDate(u"Fri, 29 Feb 2023 07:04:09 GMT"); }),
            dateError);
  EXPECT_EQ(MessageOf<EConvertError>([] { ParseHTTPDate(u"Fri, 00 Feb 2024 07:04:09 GMT"); }),
            dateError);
  EXPECT_EQ(MessageOf<EConvertError>([] { ParseHTTPDate(u"Tue, 05 Mar 2024 25:00:00 GMT"); }),
            timeError);
  EXPECT_EQ(MessageOf<EConvertError>([] { ParseHTTPDate(u"Tue, 05 Mar 2024 07:60:00 GMT"); }),
            timeError);
  EXPECT_EQ(MessageOf<EConvertError>([] { ParseHTTPDate(u"Tue, 05 Mar 2024 07:04:60 GMT"); }),
            timeError);
  // The date is encoded first.
  EXPECT_EQ(MessageOf<EConvertError>([] { ParseHTTPDate(u"Tue, 32 Mar 2024 99:99:99 GMT"); }),
            dateError);
}

TEST(ParseHTTPDate, TokensThatAreNotPlainIntegers) {
  EXPECT_EQ(MessageOf<EConvertError>([] { ParseHTTPDate(u"Tue, 05.5 Mar 2024 07:04:09"); }),
            u"''05.5'' is not a valid integer value");
  EXPECT_EQ(MessageOf<EConvertError>([] { ParseHTTPDate(u"Tue, 05 Mar 2024 07:04:09s GMT"); }),
            u"''09s'' is not a valid integer value");
  EXPECT_EQ(MessageOf<EConvertError>([] { ParseHTTPDate(u"Tue, 05 Mar 2024 07:x4:09 GMT"); }),
            u"''x4'' is not a valid integer value");
  EXPECT_EQ(MessageOf<EConvertError>([] { ParseHTTPDate(u"Tue, 05 Mar 2e3 07:04:09 GMT"); }),
            u"''2e3'' is not a valid integer value");
  // One "-" before the year is skipped; one before the hours is read as a number.
  EXPECT_EQ(ParseHTTPDate(u"Tue, 05 Mar -2024 07:04:09 GMT"), DateTime(2024, 3, 5, 7, 4, 9));
  EXPECT_EQ(MessageOf<EConvertError>([] { ParseHTTPDate(u"Tue, 05 Mar 2024 -07:04:09 GMT"); }),
            u"''-'' is not a valid integer value");
  EXPECT_EQ(MessageOf<EConvertError>([] { ParseHTTPDate(u"Tue, 05 Mar 2024 07.04.09 GMT"); }),
            u"''07.04.09'' is not a valid integer value");
  EXPECT_THROW(ParseHTTPDate(u""), EConvertError);
  EXPECT_THROW(ParseHTTPDate(u"Tue,"), EConvertError);
  EXPECT_THROW(ParseHTTPDate(u"Tue, 99999999999 Mar 2024 07:04:09"), EConvertError);
}

TEST(HTTPDateText, RFC1123Form) {
  EXPECT_EQ(HTTPDateText(DateTime(2024, 3, 5, 7, 4, 9)), u"Tue, 05 Mar 2024 07:04:09 GMT");
  EXPECT_EQ(HTTPDateText(DateTime(1994, 11, 6, 8, 49, 0)), u"Sun, 06 Nov 1994 08:49:00 GMT");
  EXPECT_EQ(HTTPDateText(EncodeDate(999, 12, 31)), u"Tue, 31 Dec 0999 00:00:00 GMT");
  EXPECT_EQ(HTTPDateText(DateTime(2000, 1, 1, 0, 0, 0)), u"Sat, 01 Jan 2000 00:00:00 GMT");
  EXPECT_EQ(HTTPDateText(DateTime(9999, 12, 31, 12, 0, 0)), u"Fri, 31 Dec 9999 12:00:00 GMT");
  // Before day 0 a parsed date with a time of day prints back as it was read.
  for (const char16_t* text : {u"Fri, 29 Dec 1899 06:00:00 GMT", u"Thu, 01 Jan 1801 23:59:59 GMT"})
    EXPECT_EQ(HTTPDateText(ParseHTTPDate(text)), text);
  EXPECT_EQ(ParseHTTPDate(u"Fri, 29 Dec 1899 06:00:00 GMT"), -0.75);
}

TEST(HTTPDateText, AbbreviationsAndRoundTrip) {
  const std::vector<std::u16string> days = {u"Sun", u"Mon", u"Tue", u"Wed", u"Thu", u"Fri", u"Sat"};
  for (int day = 0; day < 7; ++day) // 3 March 2024 is a Sunday.
    EXPECT_EQ(DayAbbreviation(EncodeDate(2024, 3, 3 + day)), days[static_cast<size_t>(day)]);
  const std::vector<std::u16string> months = {u"Jan", u"Feb", u"Mar", u"Apr", u"May", u"Jun",
                                              u"Jul", u"Aug", u"Sep", u"Oct", u"Nov", u"Dec"};
  for (int month = 1; month <= 12; ++month) {
    const TDateTime value = DateTime(2023, month, 28, month, 2 * month, 59 - month);
    EXPECT_EQ(MonthAbbreviation(value), months[static_cast<size_t>(month - 1)]);
    EXPECT_EQ(ParseHTTPDate(HTTPDateText(value)), value) << month;
  }
}

TEST(StatusText, TheTableAndNothingElse) {
  const std::vector<std::pair<int, std::string>> table = {
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
  ASSERT_EQ(table.size(), 33u);
  for (const auto& [code, phrase] : table)
    EXPECT_EQ(StatusText(code), phrase) << code;
  int phrases = 0;
  for (int code = -1; code < 1000; ++code)
    phrases += StatusText(code).empty() ? 0 : 1;
  EXPECT_EQ(phrases, 33);
  EXPECT_EQ(StatusText(418), "");
  EXPECT_EQ(StatusText(0), "");
  EXPECT_EQ(StatusText(207), "");
  EXPECT_EQ(StatusText(505), "");
  EXPECT_EQ(StatusText(-200), "");
  EXPECT_EQ(StatusText(100200), "");
}

TEST(CharsetEncoding, OnlyCharsetUtf8SelectsUtf8) {
  EXPECT_EQ(CharsetEncoding("text/html; charset=utf-8"), TTextEncoding::teUtf8);
  EXPECT_EQ(CharsetEncoding("TEXT/HTML; CHARSET=UTF-8"), TTextEncoding::teUtf8);
  EXPECT_EQ(CharsetEncoding("text/plain;Charset=\"Utf-8\""), TTextEncoding::teUtf8);
  EXPECT_EQ(CharsetEncoding("application/x-www-form-urlencoded; charset=iso-8859-1"),
            TTextEncoding::teAnsi);
  EXPECT_EQ(CharsetEncoding("text/html"), TTextEncoding::teAnsi);
  EXPECT_EQ(CharsetEncoding(""), TTextEncoding::teAnsi);
  EXPECT_EQ(CharsetEncoding("text/utf-8; charset=latin1"), TTextEncoding::teAnsi);
  EXPECT_EQ(CharsetEncoding("text/html; charset=utf8"), TTextEncoding::teAnsi);
  EXPECT_EQ(CharsetEncoding("text/html; utf-8"), TTextEncoding::teAnsi);
}

TEST(CharsetEncoding, ContentIsConvertedInTheChosenEncoding) {
  EXPECT_EQ(DecodeContent("text/plain; charset=UTF-8", "caf\xC3\xA9"), u"caf\u00E9");
  EXPECT_EQ(DecodeContent("text/plain", "caf\xC3\xA9"), u"caf\u00C3\u00A9");
  EXPECT_EQ(DecodeContent("", "\x80"), u"\u20AC");
  EXPECT_EQ(DecodeContent("text/plain; charset=utf-8", "a\xFF"
                                                       "b"),
            u"a\uFFFDb");
  EXPECT_EQ(EncodeContent("text/plain; charset=utf-8", u"caf\u00E9"), "caf\xC3\xA9");
  EXPECT_EQ(EncodeContent("text/plain", u"caf\u00E9"), "caf\xE9");
  EXPECT_EQ(EncodeContent("text/plain", u"\u20AC"), "\x80");
}

TEST(ReplaceChar, EveryOccurrenceAndNothingElse) {
  EXPECT_EQ(BackslashToSlash(u"\\scripts\\a\\\\b.dll"), u"/scripts/a//b.dll");
  EXPECT_EQ(BackslashToSlash(u"/already/fine"), u"/already/fine");
  EXPECT_EQ(ReplaceChar(u"a-b-c", u'-', u'+'), u"a+b+c");
  EXPECT_EQ(ReplaceChar(u"", u'a', u'b'), u"");
  EXPECT_EQ(ReplaceChar(std::u16string(u"a\0a", 3), u'\0', u'.'), u"a.a");
}

} // namespace
} // namespace isapi_web
