#include "host/response_text.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "host/host_text.h"

#ifndef ISAPI_HOST_VERSION
#define ISAPI_HOST_VERSION "0.0.0"
#endif

namespace isapi_web::host {

const std::string& ServerSoftware() {
  static const std::string software = std::string("isapi-host/") + ISAPI_HOST_VERSION;
  return software;
}

std::string_view CurrentHttpDate() {
  // Plain characters, never a std::string: with mingw-w64 a thread_local's destructor runs after
  // the thread's storage is freed, and a thread that leaves its lane would free a stale pointer.
  thread_local std::chrono::seconds cachedSecond{-1};
  thread_local char cached[32];
  thread_local std::size_t cachedSize = 0;
  const auto now = std::chrono::system_clock::now();
  const auto second = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch());
  if (second != cachedSecond) {
    const std::string text = HttpDateText(now);
    cachedSize = std::min(text.size(), sizeof cached);
    std::memcpy(cached, text.data(), cachedSize);
    cachedSecond = second;
  }
  return {cached, cachedSize};
}

namespace {

// Writes the pieces of a head into room made for them once.
class THeadWriter {
public:
  explicit THeadWriter(char* at) : FAt(at) {}
  void Put(std::string_view text) {
    if (text.empty())
      return; // an empty view may have no address at all
    std::memcpy(FAt, text.data(), text.size());
    FAt += text.size();
  }

private:
  char* FAt;
};

constexpr std::string_view CloseLine = "Connection: close\r\n";
constexpr std::string_view KeepAliveLine = "Connection: keep-alive\r\n";

template <typename TFields>
void AppendHeadOf(std::string& out, std::string_view statusText, const TFields& fields,
                  const TConnectionState& connection) {
  constexpr std::string_view StatusLineStart = "HTTP/1.1 ";
  bool hasDate = false;
  bool hasServer = false;
  std::size_t size = StatusLineStart.size() + statusText.size() + 2;
  for (const auto& [name, value] : fields) {
    hasDate = hasDate || EqualsIgnoreCase(name, "Date");
    hasServer = hasServer || EqualsIgnoreCase(name, "Server");
    size += name.size() + value.size() + 4;
  }
  const std::string_view date = hasDate ? std::string_view() : CurrentHttpDate();
  const std::string_view server = hasServer ? std::string_view() : ServerSoftware();
  if (!hasDate)
    size += 6 + date.size() + 2;
  if (!hasServer)
    size += 8 + server.size() + 2;
  const std::string_view connectionLine = !connection.KeepAlive ? CloseLine
                                          : connection.Http10   ? KeepAliveLine
                                                                : std::string_view();
  size += connectionLine.size() + 2;
  const std::size_t start = out.size();
  out.resize(start + size);
  THeadWriter writer(out.data() + start);
  writer.Put(StatusLineStart);
  writer.Put(statusText);
  writer.Put("\r\n");
  for (const auto& [name, value] : fields) {
    writer.Put(name);
    writer.Put(": ");
    writer.Put(value);
    writer.Put("\r\n");
  }
  if (!hasDate) {
    writer.Put("Date: ");
    writer.Put(date);
    writer.Put("\r\n");
  }
  if (!hasServer) {
    writer.Put("Server: ");
    writer.Put(server);
    writer.Put("\r\n");
  }
  writer.Put(connectionLine);
  writer.Put("\r\n");
}

} // namespace

std::string ComposeHead(std::string_view statusText, const THeaderFields& fields,
                        const TConnectionState& connection) {
  std::string head;
  head.reserve(256);
  AppendHeadOf(head, statusText, fields, connection);
  return head;
}

void AppendHead(std::string& out, std::string_view statusText, std::span<const TFieldView> fields,
                const TConnectionState& connection) {
  AppendHeadOf(out, statusText, fields, connection);
}

std::size_t AnnounceClose(std::string& bytes, std::size_t headSize,
                          const TConnectionState& announced) {
  if (!announced.KeepAlive)
    return headSize; // it says so already
  if (announced.Http10) {
    // The keep-alive line is the head's last.
    const std::size_t at = headSize - 2 - KeepAliveLine.size();
    bytes.replace(at, KeepAliveLine.size(), CloseLine);
    return headSize - KeepAliveLine.size() + CloseLine.size();
  }
  bytes.insert(headSize - 2, CloseLine);
  return headSize + CloseLine.size();
}

std::string ComposePage(std::string_view statusText, const THeaderFields& extraFields,
                        std::string_view htmlBody, const TConnectionState& connection,
                        bool headOnly) {
  THeaderFields fields = extraFields;
  fields.emplace_back("Content-Type", "text/html");
  fields.emplace_back("Content-Length", std::to_string(htmlBody.size()));
  std::string result = ComposeHead(statusText, fields, connection);
  if (!headOnly)
    result += htmlBody;
  return result;
}

std::string ErrorPageBody(std::string_view statusText, std::string_view messageHtml) {
  const std::string title = HtmlEscape(statusText);
  std::string body = "<!DOCTYPE html>\n<html><head><title>" + title +
                     "</title></head>\n<body><h1>" + title + "</h1>\n<p>";
  body += messageHtml;
  body += "</p>\n<hr><address>" + ServerSoftware() + "</address></body></html>\n";
  return body;
}

namespace {

constexpr std::string_view RedirectPageStart =
    "<head><title>Object Moved</title></head>\n<body><h1>Object Moved</h1>This object may be "
    "found <a HREF=\"";
constexpr std::string_view RedirectPageEnd = "\">here</a>.</body>\n";

} // namespace

std::string RedirectPageBody(std::string_view target) {
  std::string body;
  body.reserve(RedirectPageBodySize(target));
  AppendRedirectPageBody(body, target);
  return body;
}

void AppendRedirectPageBody(std::string& out, std::string_view target) {
  out += RedirectPageStart;
  AppendHtmlEscaped(out, target);
  out += RedirectPageEnd;
}

std::size_t RedirectPageBodySize(std::string_view target) {
  return RedirectPageStart.size() + HtmlEscapedSize(target) + RedirectPageEnd.size();
}

void AppendChunk(std::string& out, std::string_view bytes) {
  if (bytes.empty())
    return;
  char size[20];
  std::snprintf(size, sizeof size, "%zx\r\n", bytes.size());
  out += size;
  out += bytes;
  out += "\r\n";
}

} // namespace isapi_web::host
