#pragma once
// The bytes of the answers the host writes itself: status line and fields with Date and Server,
// the pages for errors and redirects, and chunk framing.

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace isapi_web::host {

using THeaderFields = std::vector<std::pair<std::string, std::string>>;

/// A header field whose texts belong to someone else.
struct TFieldView {
  std::string_view Name;
  std::string_view Value;
};

/// "isapi-host/VERSION", the Server field and SERVER_SOFTWARE.
const std::string& ServerSoftware();
/// The current time as an HTTP date, formatted once per second per thread.
std::string_view CurrentHttpDate();

/// How the connection continues after an answer.
struct TConnectionState {
  bool KeepAlive = true;
  bool Http10 = false; ///< HTTP/1.0 clients are told "keep-alive" explicitly
};

/// "HTTP/1.1 " + status, the fields, Date and Server unless the fields hold them, then the
/// connection field when needed, and the blank line.
std::string ComposeHead(std::string_view statusText, const THeaderFields& fields,
                        const TConnectionState& connection);
/// Appends the head ComposeHead gives to out.
void AppendHead(std::string& out, std::string_view statusText, std::span<const TFieldView> fields,
                const TConnectionState& connection);
/// Makes the head at the start of bytes (headSize bytes, composed for announced) say that the
/// connection closes after this answer; answers the head's new size.
std::size_t AnnounceClose(std::string& bytes, std::size_t headSize,
                          const TConnectionState& announced);

/// A complete answer with an HTML body (Content-Type text/html, Content-Length); the body is
/// left out for HEAD.
std::string ComposePage(std::string_view statusText, const THeaderFields& extraFields,
                        std::string_view htmlBody, const TConnectionState& connection,
                        bool headOnly);

/// A short HTML page with a title (the status text) and one paragraph of already-escaped HTML.
std::string ErrorPageBody(std::string_view statusText, std::string_view messageHtml);

/// The page of a 302 "Object Moved" answer: a link to the target, escaped.
std::string RedirectPageBody(std::string_view target);
/// Appends RedirectPageBody(target) to out.
void AppendRedirectPageBody(std::string& out, std::string_view target);
/// The size of RedirectPageBody(target), without building it.
std::size_t RedirectPageBodySize(std::string_view target);

/// One chunk of a chunked body (never empty: an empty chunk would end the body).
void AppendChunk(std::string& out, std::string_view bytes);
/// The last chunk.
inline constexpr std::string_view LastChunk = "0\r\n\r\n";

} // namespace isapi_web::host
