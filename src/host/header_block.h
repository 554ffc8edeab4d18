#pragma once
// What an extension hands to the send-response-header call: a status text and a CGI-style header
// block. Both are checked before anything reaches the client, so no call can split a response.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace isapi_web::host {

/// The header lines of a block and the bytes after its blank line (the start of the body).
struct THeaderBlock {
  std::vector<std::pair<std::string, std::string>> Fields;
  std::string BodyStart;
};

/// Parses "Name: value" lines ending in CRLF or LF up to a blank line; an empty text is an empty
/// block. nullopt for a line without a colon, a name that is not a token, a value holding a
/// control character other than TAB, a lone CR, or a block with no blank line.
std::optional<THeaderBlock> ParseHeaderBlock(std::string_view block);

/// ParseHeaderBlock for the head of an answer: also nullopt when a Content-Length is not all
/// digits (at most 18 of them), since the host frames the body by it.
std::optional<THeaderBlock> ParseAnswerHeaderBlock(std::string_view block);

/// A status text "NNN reason".
struct TStatusText {
  unsigned Code = 200;
  std::string Text = "200 OK";
};

/// Reads "NNN" or "NNN reason" (code 100 to 999, reason without control characters).
std::optional<TStatusText> ParseStatusText(std::string_view status);

/// Whether the text is an HTTP token (a valid header name).
bool IsHttpToken(std::string_view text);

} // namespace isapi_web::host
