#pragma once
// Files under --root for the URLs no extension is mapped to: GET and HEAD, content types,
// index.html for directories.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "host/response_text.h"

namespace isapi_web::host {

/// What the host answers for a static URL (the body is sent unless the method is HEAD).
struct TStaticAnswer {
  unsigned Status = 200;
  std::string StatusText = "200 OK";
  THeaderFields Fields; ///< Content-Type and the like; Content-Length is added when sent
  std::string Body;
};

/// The content type for a file name, by its extension; application/octet-stream otherwise.
std::string_view ContentTypeFor(const std::filesystem::path& file);

/// Answers a request for a normalised path: 405 for methods other than GET and HEAD, 404 when
/// there is no root or the path names nothing under it (or leaves it through a symlink).
TStaticAnswer StaticFileAnswer(const std::optional<std::filesystem::path>& root,
                               std::string_view method, std::string_view path);

} // namespace isapi_web::host
