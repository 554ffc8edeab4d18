#pragma once
// Stateless HTTP text utilities: URL decoding and encoding, HTTP dates, reason phrases, the
// charset of a content type. Safe to call from any thread.

#include <string>
#include <string_view>

#include "runtime/date_time.h"
#include "runtime/text.h"

namespace isapi_web {

/// "+" is a space, "%%" a percent sign, "%XX" one byte; stops at the first NUL. Raises
/// EWebException for a truncated escape, EConvertError for non-hexadecimal digits.
std::string DecodeURLText(std::string_view text);
/// URL-safe bytes unchanged, space as "+", every other byte as "%XX" (upper case); stops at
/// the first NUL.
std::string EncodeURLText(std::string_view text);

/// Reads an RFC 1123, RFC 850 (two-digit years are 19xx) or asctime date; raises EConvertError
/// on text it cannot read. A text whose weekday has no comma after it and that the RFC layouts
/// cannot read is read as asctime ("Sun Nov  6 08:49:37 1994"); nothing the RFC layouts read
/// changes.
TDateTime ParseHTTPDate(std::u16string_view text);
/// "Jan".."Dec" for the value's month, whatever the locale.
std::u16string MonthAbbreviation(TDateTime value);
/// "Sun".."Sat" for the value's day of week, whatever the locale.
std::u16string DayAbbreviation(TDateTime value);
/// "Tue, 05 Mar 2024 07:04:09 GMT"; the value is printed as given (already UTC).
std::u16string HTTPDateText(TDateTime value);

/// The reason phrase of a status code; empty for codes outside the table.
std::string StatusText(int code);
/// As StatusText, without making a string (the table's own text).
std::string_view StatusTextView(int code) noexcept;

/// UTF-8 when the content type names charset utf-8, otherwise the default ANSI code page.
TTextEncoding CharsetEncoding(std::string_view contentType);
/// The body bytes as text, in the encoding the content type selects.
std::u16string DecodeContent(std::string_view contentType, std::string_view raw);
/// The text as body bytes, in the encoding the content type selects.
std::string EncodeContent(std::string_view contentType, std::u16string_view text);

/// A copy of the text with every `from` replaced by `to`.
std::u16string ReplaceChar(std::u16string_view text, char16_t from, char16_t to);
/// Turns Windows path separators into URL ones.
std::u16string BackslashToSlash(std::u16string_view text);

} // namespace isapi_web
