#include "runtime/text.h"

#include <array>
#include <cstddef>

#include "runtime/exceptions.h"

namespace isapi_web {

namespace {

constexpr char16_t ReplacementCharacter = 0xFFFD;

// Windows-1252 bytes 0x80..0x9F. The five bytes the code page leaves undefined map to the C1
// control of the same value, which is what Windows' own table does.
constexpr std::array<char16_t, 32> Cp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, // 80..87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F, // 88..8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, // 90..97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178, // 98..9F
};

char WideUnitToCp1252(char16_t unit) {
  if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) {
    return static_cast<char>(unit);
  }
  for (std::size_t i = 0; i < Cp1252High.size(); ++i) {
    if (Cp1252High[i] == unit) {
      return static_cast<char>(0x80 + i);
    }
  }
  return '?';
}

bool IsHighSurrogate(char16_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool IsLowSurrogate(char16_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

void AppendCodePoint(std::u16string& out, char32_t codePoint) {
  if (codePoint < 0x10000) {
    out.push_back(static_cast<char16_t>(codePoint));
  } else {
    codePoint -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (codePoint >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF)));
  }
}

void AppendUtf8(std::string& out, char32_t codePoint) {
  if (codePoint < 0x80) {
    out.push_back(static_cast<char>(codePoint));
  } else if (codePoint < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else if (codePoint < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
    out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
    out.push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  }
}

template <class Char> Char UpperAscii(Char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<Char>(c - ('a' - 'A')) : c;
}

template <class View> bool SameTextAsciiOf(View a, View b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (UpperAscii(a[i]) != UpperAscii(b[i])) {
      return false;
    }
  }
  return true;
}

int DigitValue(char16_t c, int base) {
  int digit = -1;
  if (c >= '0' && c <= '9') {
    digit = c - '0';
  } else if (base == 16 && c >= 'a' && c <= 'f') {
    digit = c - 'a' + 10;
  } else if (base == 16 && c >= 'A' && c <= 'F') {
    digit = c - 'A' + 10;
  }
  return digit;
}

[[noreturn]] void RaiseInvalidInteger(std::u16string_view text) {
  throw EConvertError(Format(u"''%s'' is not a valid integer value", {text}));
}

} // namespace

std::u16string Cp1252ToWide(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    out.push_back(byte >= 0x80 && byte <= 0x9F ? Cp1252High[byte - 0x80]
                                               : static_cast<char16_t>(byte));
  }
  return out;
}

std::string WideToCp1252(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char16_t unit : text) {
    out.push_back(WideUnitToCp1252(unit));
  }
  return out;
}

std::u16string Utf8ToWide(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  const std::size_t size = text.size();
  std::size_t i = 0;
  while (i < size) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      out.push_back(lead);
      ++i;
      continue;
    }
    int trailing = 0;
    char32_t codePoint = 0;
    // The first continuation byte has a narrower range after some leads: this rejects
    // overlong forms, encoded surrogates and values above U+10FFFF at the earliest byte.
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      trailing = 1;
      codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      trailing = 2;
      codePoint = lead & 0x0F;
      if (lead == 0xE0) {
        low = 0xA0;
      } else if (lead == 0xED) {
        high = 0x9F;
      }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      trailing = 3;
      codePoint = lead & 0x07;
      if (lead == 0xF0) {
        low = 0x90;
      } else if (lead == 0xF4) {
        high = 0x8F;
      }
    } else {
      out.push_back(ReplacementCharacter);
      ++i;
      continue;
    }
    std::size_t next = i + 1;
    bool complete = true;
    for (int k = 0; k < trailing; ++k) {
      if (next >= size) {
        complete = false;
        break;
      }
      const auto byte = static_cast<unsigned char>(text[next]);
      if (byte < low || byte > high) {
        complete = false;
        break;
      }
      codePoint = (codePoint << 6) | (byte & 0x3F);
      ++next;
      low = 0x80;
      high = 0xBF;
    }
    // A maximal invalid subpart (the lead and the continuation bytes that fitted) yields one
    // replacement character; the byte that broke the sequence starts the next one.
    if (complete) {
      AppendCodePoint(out, codePoint);
    } else {
      out.push_back(ReplacementCharacter);
    }
    i = next;
  }
  return out;
}

std::string WideToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  const std::size_t size = text.size();
  for (std::size_t i = 0; i < size; ++i) {
    const char16_t unit = text[i];
    if (IsHighSurrogate(unit) && i + 1 < size && IsLowSurrogate(text[i + 1])) {
      const char32_t codePoint =
          0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      AppendUtf8(out, codePoint);
      ++i;
    } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
      AppendUtf8(out, ReplacementCharacter);
    } else {
      AppendUtf8(out, unit);
    }
  }
  return out;
}

std::u16string DecodeText(TTextEncoding encoding, std::string_view bytes) {
  return encoding == TTextEncoding::teUtf8 ? Utf8ToWide(bytes) : AnsiToWide(bytes);
}

std::string EncodeText(TTextEncoding encoding, std::u16string_view text) {
  return encoding == TTextEncoding::teUtf8 ? WideToUtf8(text) : WideToAnsi(text);
}

std::u16string AsciiToWide(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (char c : text) {
    out.push_back(static_cast<unsigned char>(c));
  }
  return out;
}

std::u16string UpperCaseAscii(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out) {
    c = UpperAscii(c);
  }
  return out;
}

std::string UpperCaseAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    c = UpperAscii(c);
  }
  return out;
}

std::u16string LowerCaseAscii(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char16_t>(c + ('a' - 'A'));
    }
  }
  return out;
}

bool SameTextAscii(std::u16string_view a, std::u16string_view b) {
  return SameTextAsciiOf(a, b);
}
bool SameTextAscii(std::string_view a, std::string_view b) {
  return SameTextAsciiOf(a, b);
}

std::u16string IntToStr(std::int64_t value) {
  // Work on the magnitude as unsigned so that the most negative value needs no special case.
  std::uint64_t magnitude =
      value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  std::u16string digits;
  do {
    digits.insert(digits.begin(), static_cast<char16_t>(u'0' + magnitude % 10));
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) {
    digits.insert(digits.begin(), u'-');
  }
  return digits;
}

namespace {

bool TryStrToIntIn(std::u16string_view text, bool allowHexadecimal, std::int32_t& value) {
  std::size_t i = 0;
  const std::size_t size = text.size();
  bool negative = false;
  if (i < size && (text[i] == u'+' || text[i] == u'-')) {
    negative = text[i] == u'-';
    ++i;
  }
  int base = 10;
  if (allowHexadecimal && i < size && text[i] == u'$') {
    base = 16;
    ++i;
  } else if (allowHexadecimal && i + 1 < size && text[i] == u'0' &&
             (text[i + 1] == u'x' || text[i + 1] == u'X')) {
    base = 16;
    i += 2;
  }
  if (i == size) {
    return false;
  }
  // Hexadecimal text is a 32-bit pattern ("$FFFFFFFF" is -1); decimal text must fit the
  // signed range.
  const std::uint64_t limit =
      base == 16 ? 0xFFFFFFFFull : (negative ? 0x80000000ull : 0x7FFFFFFFull);
  std::uint64_t magnitude = 0;
  for (; i < size; ++i) {
    const int digit = DigitValue(text[i], base);
    if (digit < 0) {
      return false;
    }
    magnitude = magnitude * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
    if (magnitude > limit) {
      return false;
    }
  }
  std::uint32_t bits = static_cast<std::uint32_t>(magnitude);
  if (negative) {
    bits = 0u - bits;
  }
  value = static_cast<std::int32_t>(bits);
  return true;
}

} // namespace

bool TryStrToInt(std::u16string_view text, std::int32_t& value) {
  return TryStrToIntIn(text, true, value);
}

bool TryStrToInt(std::string_view text, std::int32_t& value) {
  return TryStrToInt(std::u16string_view(AnsiToWide(text)), value);
}

std::int32_t StrToInt(std::u16string_view text) {
  std::int32_t value = 0;
  if (!TryStrToInt(text, value)) {
    RaiseInvalidInteger(text);
  }
  return value;
}

std::int32_t StrToInt(std::string_view text) {
  return StrToInt(std::u16string_view(AnsiToWide(text)));
}

std::int32_t DecimalStrToInt(std::string_view text) {
  const std::u16string wide = AnsiToWide(text);
  std::int32_t value = 0;
  if (!TryStrToIntIn(wide, false, value)) {
    RaiseInvalidInteger(wide);
  }
  return value;
}

std::u16string Format(std::u16string_view pattern, std::initializer_list<TFormatArg> args) {
  auto invalid = [&]() -> EConvertError {
    std::u16string message = u"Format '";
    message += pattern;
    message += u"' invalid or incompatible with argument";
    return EConvertError(std::move(message));
  };
  std::u16string out;
  out.reserve(pattern.size());
  auto next = args.begin();
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const char16_t c = pattern[i];
    if (c != u'%') {
      out.push_back(c);
      continue;
    }
    if (i + 1 >= pattern.size()) {
      throw invalid();
    }
    const char16_t kind = pattern[++i];
    if (kind == u'%') {
      out.push_back(u'%');
    } else if (kind == u's' || kind == u'd') {
      if (next == args.end()) {
        throw invalid();
      }
      if (kind == u's') {
        const auto* text = std::get_if<std::u16string_view>(&*next);
        if (text == nullptr) {
          throw invalid();
        }
        out += *text;
      } else {
        const auto* number = std::get_if<std::int64_t>(&*next);
        if (number == nullptr) {
          throw invalid();
        }
        out += IntToStr(*number);
      }
      ++next;
    } else {
      throw invalid();
    }
  }
  return out;
}

} // namespace isapi_web
