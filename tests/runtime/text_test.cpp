#include "runtime/text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "expect_error.h"

namespace isapi_web {
namespace {

std::string AllBytes() {
  std::string bytes;
  for (int i = 0; i < 256; ++i) {
    bytes.push_back(static_cast<char>(i));
  }
  return bytes;
}

// The code page checks hold for the built-in table and for the system's ANSI code page alike
// (Windows-1252 on the machines the tests run on).
void ExpectWindows1252(std::u16string (*toWide)(std::string_view),
                       std::string (*toNarrow)(std::u16string_view)) {
  const std::string bytes = AllBytes();
  const std::u16string wide = toWide(bytes);
  ASSERT_EQ(wide.size(), 256u);
  EXPECT_EQ(toNarrow(wide), bytes);

  // Bytes 0x80..0x9F as Windows maps them; every other byte is the code point of its value.
  const char16_t high[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                             0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                             0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                             0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  for (int i = 0; i < 256; ++i) {
    const char16_t expected = i >= 0x80 && i <= 0x9F ? high[i - 0x80] : static_cast<char16_t>(i);
    EXPECT_EQ(wide[static_cast<std::size_t>(i)], expected) << "byte " << i;
  }

  // The five bytes the code page leaves undefined are the C1 controls of the same value.
  for (unsigned char undefined : {0x81, 0x8D, 0x8F, 0x90, 0x9D}) {
    EXPECT_EQ(wide[undefined], static_cast<char16_t>(undefined));
    EXPECT_EQ(toNarrow(std::u16string(1, static_cast<char16_t>(undefined))),
              std::string(1, static_cast<char>(undefined)));
  }

  EXPECT_EQ(toNarrow(u"\u20AC\u2019\u00E9"), "\x80\x92\xE9");
  // Characters the code page lacks, look-alikes of ASCII included, become "?".
  EXPECT_EQ(toNarrow(u"a\u0100b"), "a?b");
  EXPECT_EQ(toNarrow(u"\u4E2D\u6587"), "??");
  EXPECT_EQ(toNarrow(u"\uFF0F"), "?"); // full-width solidus, never "/"
  EXPECT_EQ(toNarrow(u"\u0080"), "?"); // 0x80 is the euro sign, not U+0080
  EXPECT_EQ(toNarrow(u"\U0001F600"), "??");

  const std::string withNul("a\0b\0", 4);
  EXPECT_EQ(toWide(withNul), std::u16string(u"a\0b\0", 4));
  EXPECT_EQ(toNarrow(std::u16string(u"a\0b\0", 4)), withNul);
  EXPECT_EQ(toWide(""), u"");
  EXPECT_EQ(toNarrow(u""), "");
}

TEST(TextTest, Cp1252TablesMapEveryByteAsWindowsDoes) {
  ExpectWindows1252(Cp1252ToWide, WideToCp1252);
}

TEST(TextTest, AnsiCodePageIsWindows1252) {
  ExpectWindows1252(AnsiToWide, WideToAnsi);
}

TEST(TextTest, Utf8ToWideDecodesValidText) {
  EXPECT_EQ(Utf8ToWide("plain"), u"plain");
  EXPECT_EQ(Utf8ToWide("\xC3\xA9"), u"\u00E9");
  EXPECT_EQ(Utf8ToWide("\xE2\x82\xAC"), u"\u20AC");
  EXPECT_EQ(Utf8ToWide("\xF0\x9F\x98\x80"), u"\U0001F600");
  EXPECT_EQ(Utf8ToWide("\xF4\x8F\xBF\xBF"), u"\U0010FFFF");
  EXPECT_EQ(Utf8ToWide(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
}

TEST(TextTest, Utf8ToWideReplacesEachMaximalInvalidSubpart) {
  const std::u16string r = u"\uFFFD";
  EXPECT_EQ(Utf8ToWide("\x80"), r);
  EXPECT_EQ(Utf8ToWide("a\xBF"
                       "b"),
            u"a" + r + u"b");
  // Overlong forms, encoded surrogates and values past U+10FFFF fail at their second byte.
  EXPECT_EQ(Utf8ToWide("\xC0\xAF"), r + r);
  EXPECT_EQ(Utf8ToWide("\xE0\x80\x80"), r + r + r);
  EXPECT_EQ(Utf8ToWide("\xED\xA0\x80"), r + r + r);
  EXPECT_EQ(Utf8ToWide("\xF4\x90\x80\x80"), r + r + r + r);
  EXPECT_EQ(Utf8ToWide("\xF5\xFF\xFE"), r + r + r);
  // A truncated sequence is one replacement, and the byte that broke it starts anew.
  EXPECT_EQ(Utf8ToWide("\xE2\x82"), r);
  EXPECT_EQ(Utf8ToWide("\xE2\x82"
                       "A"),
            r + u"A");
  EXPECT_EQ(Utf8ToWide("\xF0\x9F\x98"), r);
  EXPECT_EQ(Utf8ToWide("\xF0\x9F\x98\xC3\xA9"), r + u"\u00E9");
  EXPECT_EQ(Utf8ToWide("a\xF1\x80\x80\xE1\x80\xC2"
                       "b\x80"
                       "c\x80\xBF"
                       "d"),
            u"a" + r + r + r + u"b" + r + u"c" + r + r + u"d");
}

TEST(TextTest, WideToUtf8EncodesAndReplacesUnpairedSurrogates) {
  EXPECT_EQ(WideToUtf8(u"\u00E9\u20AC\U0001F600"), "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_EQ(WideToUtf8(std::u16string(u"a\0b", 3)), std::string("a\0b", 3));
  const std::string r = "\xEF\xBF\xBD";
  EXPECT_EQ(WideToUtf8(std::u16string(1, char16_t(0xD83D))), r);
  EXPECT_EQ(WideToUtf8(std::u16string(1, char16_t(0xDE00))), r);
  EXPECT_EQ(WideToUtf8(std::u16string{char16_t(0xD83D), u'x'}), r + "x");
  EXPECT_EQ(WideToUtf8(std::u16string{char16_t(0xDE00), char16_t(0xD83D)}), r + r);
  EXPECT_EQ(WideToUtf8(std::u16string{char16_t(0xD83D), char16_t(0xD83D), char16_t(0xDE00)}),
            r + "\xF0\x9F\x98\x80");
}

TEST(TextTest, Utf8RoundTripsEveryCodePoint) {
  std::u16string all;
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) {
      continue;
    }
    if (c < 0x10000) {
      all.push_back(static_cast<char16_t>(c));
    } else {
      all.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      all.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    }
  }
  EXPECT_EQ(Utf8ToWide(WideToUtf8(all)), all);
}

TEST(TextTest, EncodingChoosesTheConversion) {
  EXPECT_EQ(EncodeText(TTextEncoding::teUtf8, u"\u00E9"), "\xC3\xA9");
  EXPECT_EQ(EncodeText(TTextEncoding::teAnsi, u"\u00E9"), "\xE9");
  EXPECT_EQ(DecodeText(TTextEncoding::teUtf8, "\xC3\xA9"), u"\u00E9");
  EXPECT_EQ(DecodeText(TTextEncoding::teAnsi, "\xC3\xA9"), u"\u00C3\u00A9");
}

TEST(TextTest, AsciiHelpersTouchOnlyAscii) {
  EXPECT_EQ(AsciiToWide("Ab\x7F"), u"Ab\u007F");
  EXPECT_EQ(UpperCaseAscii(std::u16string_view(u"content-type \u00E9\u00DF")),
            u"CONTENT-TYPE \u00E9\u00DF");
  EXPECT_EQ(UpperCaseAscii(std::string_view("charset=utf-8\xE9")), "CHARSET=UTF-8\xE9");
  EXPECT_EQ(LowerCaseAscii(u"ABC\u00C9"), u"abc\u00C9");
  EXPECT_TRUE(SameTextAscii(u"Content-Type", u"CONTENT-type"));
  EXPECT_TRUE(SameTextAscii(std::string_view("Get"), std::string_view("gET")));
  EXPECT_FALSE(SameTextAscii(u"\u00E9", u"\u00C9"));
  EXPECT_FALSE(SameTextAscii(u"ab", u"abc"));
  EXPECT_FALSE(SameTextAscii(u"[", u"{")); // not letters: no case folding between them
}

TEST(TextTest, IntToStrWritesDecimal) {
  EXPECT_EQ(IntToStr(0), u"0");
  EXPECT_EQ(IntToStr(-17), u"-17");
  EXPECT_EQ(IntToStr(INT64_MAX), u"9223372036854775807");
  EXPECT_EQ(IntToStr(INT64_MIN), u"-9223372036854775808");
}

TEST(TextTest, StrToIntReadsDecimalAndHexadecimal) {
  EXPECT_EQ(StrToInt(u"0"), 0);
  EXPECT_EQ(StrToInt(u"+7"), 7);
  EXPECT_EQ(StrToInt(u"-42"), -42);
  EXPECT_EQ(StrToInt(u"007"), 7);
  EXPECT_EQ(StrToInt(u"2147483647"), 2147483647);
  EXPECT_EQ(StrToInt(u"-2147483648"), INT32_MIN);
  EXPECT_EQ(StrToInt(u"$FF"), 255);
  EXPECT_EQ(StrToInt(u"0x1f"), 31);
  EXPECT_EQ(StrToInt(u"0XaB"), 171);
  EXPECT_EQ(StrToInt(u"-$10"), -16);
  EXPECT_EQ(StrToInt(u"$FFFFFFFF"), -1);
  EXPECT_EQ(StrToInt("1234"), 1234);
}

TEST(TextTest, StrToIntRejectsWhatIsNoIntegerWithTheExactMessage) {
  for (const std::u16string text :
       {u"",           u" 1",  u"1 ",         u"\t1",         u"1\r\n",
        u"+",          u"-",   u"$",          u"0x",          u"12a",
        u"1.5",        u"1e3", u"2147483648", u"-2147483649", u"99999999999",
        u"$100000000", u"$G",  u"--1",        u"\u0661",      u"\uFF11"}) {
    std::int32_t value = 0;
    EXPECT_FALSE(TryStrToInt(text, value)) << WideToUtf8(text);
    ExpectError<EConvertError>([&] { StrToInt(text); }, u"EConvertError",
                               u"''" + text + u"'' is not a valid integer value");
  }
  ExpectError<EConvertError>([] { StrToInt(std::string_view("12\xE9")); }, u"EConvertError",
                             u"''12\u00E9'' is not a valid integer value");
  std::int32_t value = 0;
  EXPECT_TRUE(TryStrToInt(std::string_view("-5"), value));
  EXPECT_EQ(value, -5);
}

TEST(TextTest, FormatFillsArgumentsInOrder) {
  EXPECT_EQ(Format(u"Cannot assign a %s to a %s", {u"TA", u"TB"}), u"Cannot assign a TA to a TB");
  EXPECT_EQ(Format(u"(%d) at %d%%", {-3, 7}), u"(-3) at 7%");
  EXPECT_EQ(Format(u"no arguments", {}), u"no arguments");
  for (auto bad : {u"%s", u"%d", u"%x", u"50%"}) {
    ExpectError<EConvertError>([&] { Format(bad, {}); }, u"EConvertError",
                               u"Format '" + std::u16string(bad) +
                                   u"' invalid or incompatible with argument");
  }
  EXPECT_THROW(Format(u"%d", {u"text"}), EConvertError);
  EXPECT_THROW(Format(u"%s", {1}), EConvertError);
}

} // namespace
} // namespace isapi_web
