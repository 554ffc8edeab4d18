#include "host/request_framing.h"

#include "host/host_text.h"

namespace isapi_web::host {

namespace {

std::string_view Trimmed(std::string_view text) {
  const std::size_t start = text.find_first_not_of(" \t");
  if (start == std::string_view::npos)
    return {};
  return text.substr(start, text.find_last_not_of(" \t") - start + 1);
}

} // namespace

void TFramingCheck::Field(std::string_view name, std::string_view value) {
  if (EqualsIgnoreCase(name, "Host")) {
    ++FHosts;
    return;
  }
  if (EqualsIgnoreCase(name, "Content-Length")) {
    FContentLength = true;
    return;
  }
  if (!EqualsIgnoreCase(name, "Transfer-Encoding"))
    return;
  FTransferEncoding = true;
  // Several fields make one list; the coding applied last is the last non-empty element, its
  // parameters aside.
  for (std::size_t start = 0; start <= value.size();) {
    std::size_t end = value.find(',', start);
    if (end == std::string_view::npos)
      end = value.size();
    const std::string_view element = Trimmed(value.substr(start, end - start));
    if (!element.empty())
      FLastCodingChunked =
          EqualsIgnoreCase(Trimmed(element.substr(0, element.find(';'))), "chunked");
    start = end + 1;
  }
}

std::string_view TFramingCheck::Problem(int version) const {
  if (FTransferEncoding && version < 11)
    return "An HTTP/1.0 request cannot have a Transfer-Encoding.";
  if (FTransferEncoding && !FLastCodingChunked)
    return "The request's Transfer-Encoding does not end in chunked.";
  if (FTransferEncoding && FContentLength)
    return "The request has both a Content-Length and a Transfer-Encoding.";
  if (FHosts > 1)
    return "The request has more than one Host field.";
  if (FHosts == 0 && version >= 11)
    return "An HTTP/1.1 request must have a Host field.";
  return {};
}

} // namespace isapi_web::host
