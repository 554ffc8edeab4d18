#pragma once
// Narrow (byte) and wide (UTF-16) text, and the conversions between them. Every conversion in
// the framework goes through one of these functions.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

namespace isapi_web {

/// The two encodings a body can be in: the system's default ANSI code page, or UTF-8.
enum class TTextEncoding : std::uint8_t { teAnsi, teUtf8 };

/// Bytes in the system's default ANSI code page to UTF-16 (Windows: CP_ACP; POSIX: Windows-1252
/// as Windows converts it, the five undefined bytes mapping to U+0081, U+008D, U+008F, U+0090,
/// U+009D). Embedded NUL bytes are kept.
std::u16string AnsiToWide(std::string_view text);
/// UTF-16 to the default ANSI code page; characters it cannot represent become "?".
std::string WideToAnsi(std::u16string_view text);

/// UTF-8 to UTF-16; each maximal invalid subpart becomes one U+FFFD, as Windows' converter does.
std::u16string Utf8ToWide(std::string_view text);
/// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string WideToUtf8(std::u16string_view text);

/// Windows-1252 tables, used by the POSIX code page and testable everywhere.
std::u16string Cp1252ToWide(std::string_view text);
/// Each UTF-16 unit that Windows-1252 cannot represent becomes "?".
std::string WideToCp1252(std::u16string_view text);

std::u16string DecodeText(TTextEncoding encoding, std::string_view bytes);
std::string EncodeText(TTextEncoding encoding, std::u16string_view text);

/// ASCII-only helpers: a literal or ASCII text widened unit for unit, and upper-casing of
/// a..z only (what the framework's case-insensitive comparisons use).
std::u16string AsciiToWide(std::string_view text);
std::u16string UpperCaseAscii(std::u16string_view text);
std::string UpperCaseAscii(std::string_view text);
std::u16string LowerCaseAscii(std::u16string_view text);
bool SameTextAscii(std::u16string_view a, std::u16string_view b);
bool SameTextAscii(std::string_view a, std::string_view b);

/// Decimal text of a number, as wide text.
std::u16string IntToStr(std::int64_t value);
/// Reads a decimal (optionally signed, or "$"/"0x" hexadecimal) 32-bit integer; raises
/// EConvertError "''%s'' is not a valid integer value" otherwise.
std::int32_t StrToInt(std::u16string_view text);
/// As above for narrow text, widened with the default ANSI code page for the message.
std::int32_t StrToInt(std::string_view text);
/// As StrToInt, without raising: false when the text is not a valid integer.
bool TryStrToInt(std::u16string_view text, std::int32_t& value);
bool TryStrToInt(std::string_view text, std::int32_t& value);
/// As StrToInt, but only an optional sign and decimal digits: "$10" and "0x10" raise.
std::int32_t DecimalStrToInt(std::string_view text);

/// One argument of Format: an integer for "%d", a wide text for "%s".
using TFormatArg = std::variant<std::int64_t, std::u16string_view>;
/// Fills "%s" and "%d" from Args in order ("%%" is a percent sign); raises EConvertError
/// "Format '%s' invalid or incompatible with argument" on a mismatch.
std::u16string Format(std::u16string_view pattern, std::initializer_list<TFormatArg> args);

} // namespace isapi_web
