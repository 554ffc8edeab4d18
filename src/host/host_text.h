#pragma once
// Small text helpers of isapi-host: ASCII case rules, HTML escaping and the UTC calendar that the
// Date header and the access log share.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace isapi_web::host {

/// A UTC moment broken into calendar fields (WeekDay 0 is Sunday).
struct TCivilTime {
  int Year = 1970;
  int Month = 1;
  int Day = 1;
  int Hour = 0;
  int Minute = 0;
  int Second = 0;
  int Millisecond = 0;
  int WeekDay = 4;
};

/// Breaks a system-clock moment into UTC calendar fields.
TCivilTime ToCivilTime(std::chrono::system_clock::time_point moment);
/// The IMF-fixdate form of a moment ("Sun, 06 Nov 1994 08:49:37 GMT").
std::string HttpDateText(std::chrono::system_clock::time_point moment);
/// The moment of an IMF-fixdate text (what HttpDateText writes); nothing for any other text.
std::optional<std::chrono::system_clock::time_point> ParseHttpDate(std::string_view text);

/// Whether size bytes at a and b are equal ignoring ASCII case.
bool SameBytesIgnoreCase(const char* a, const char* b, std::size_t size);
/// Whether two texts are equal ignoring ASCII case.
inline bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && SameBytesIgnoreCase(a.data(), b.data(), a.size());
}
/// Whether text begins with prefix, ignoring ASCII case.
bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix);
/// The text with ASCII letters in upper case; other bytes unchanged.
std::string ToUpperAscii(std::string_view text);
/// The text made safe inside HTML element content and double-quoted attributes.
std::string HtmlEscape(std::string_view text);
/// Appends text as HtmlEscape gives it.
void AppendHtmlEscaped(std::string& out, std::string_view text);
/// The size of HtmlEscape(text), without building it.
std::size_t HtmlEscapedSize(std::string_view text);
/// Whether any byte is a control character (below 32, or 127).
bool HasControlCharacter(std::string_view text);
/// Whether a byte is one a terminal or a log reader may act on: C0 (below 32), DEL (127) or
/// C1 (128-159; 155 is a terminal's CSI).
inline bool IsControlByte(unsigned char byte) {
  return byte < 32 || (byte >= 127 && byte < 160);
}
/// The text with every control byte (IsControlByte) written as %XX.
std::string EscapeControlBytes(std::string_view text);

/// Writes one "isapi-host: " line to stderr. Diagnostics quote what clients and extensions sent:
/// their control bytes are escaped, so that a line on a terminal is only ever text.
void Diagnostic(std::string_view text);

} // namespace isapi_web::host
