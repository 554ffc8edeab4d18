#include "host/response_text.h"

#include <chrono>
#include <cstdio>

#include "host/host_text.h"

#ifndef ISAPI_HOST_VERSION
#define ISAPI_HOST_VERSION "0.0.0"
#endif

namespace isapi_web::host {

std::string ServerSoftware() {
  return std::string("isapi-host/") + ISAPI_HOST_VERSION;
}

const std::string& CurrentHttpDate() {
  thread_local std::chrono::seconds cachedSecond{-1};
  thread_local std::string cached;
  const auto now = std::chrono::system_clock::now();
  const auto second = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch());
  if (second != cachedSecond) {
    cachedSecond = second;
    cached = HttpDateText(now);
  }
  return cached;
}

std::string ComposeHead(std::string_view statusText, const THeaderFields& fields,
                        const TConnectionState& connection) {
  std::string head;
  head.reserve(256);
  head += "HTTP/1.1 ";
  head += statusText;
  head += "\r\n";
  bool hasDate = false;
  bool hasServer = false;
  for (const auto& [name, value] : fields) {
    hasDate = hasDate || EqualsIgnoreCase(name, "Date");
    hasServer = hasServer || EqualsIgnoreCase(name, "Server");
    head += name;
    head += ": ";
    head += value;
    head += "\r\n";
  }
  if (!hasDate) {
    head += "Date: ";
    head += CurrentHttpDate();
    head += "\r\n";
  }
  if (!hasServer) {
    head += "Server: ";
    head += ServerSoftware();
    head += "\r\n";
  }
  if (!connection.KeepAlive)
    head += "Connection: close\r\n";
  else if (connection.Http10)
    head += "Connection: keep-alive\r\n";
  head += "\r\n";
  return head;
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

std::string RedirectPageBody(std::string_view target) {
  return "<head><title>Object Moved</title></head>\n<body><h1>Object Moved</h1>This object may "
         "be found <a HREF=\"" +
         HtmlEscape(target) + "\">here</a>.</body>\n";
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
