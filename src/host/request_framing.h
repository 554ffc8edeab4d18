#pragma once
// The framing rules a request head must meet before its body is read: a Transfer-Encoding must
// end in chunked and never come with HTTP/1.0, and an HTTP/1.1 request names exactly one Host.
// A request that breaks them could be framed differently by a front end and by this host, and
// the difference would let a body pass as a second request. A Content-Length beside a
// Transfer-Encoding is refused for the same reason.

#include <string_view>

namespace isapi_web::host {

/// Collects the fields of one request head that decide its framing.
class TFramingCheck {
public:
  /// Notes one header field as received.
  void Field(std::string_view name, std::string_view value);
  /// Why the head cannot be served (a sentence for the 400 page), or empty when it can.
  std::string_view Problem(int version) const;

private:
  int FHosts = 0;
  bool FContentLength = false;
  bool FTransferEncoding = false;
  bool FLastCodingChunked = false;
};

} // namespace isapi_web::host
