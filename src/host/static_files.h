#pragma once
// Files under --root for the URLs no extension is mapped to: GET and HEAD, content types,
// index.html for directories, Last-Modified with If-Modified-Since (304) and single byte ranges
// (206). A file's bytes are not read here: the answer says which of them to send, and the
// connection streams them in pieces.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "host/response_text.h"

namespace isapi_web::host {

/// What the host answers for a static URL: the head's fields, then Body, then (unless the
/// method is HEAD) Length bytes of File from Offset.
struct TStaticAnswer {
  unsigned Status = 200;
  std::string StatusText = "200 OK";
  THeaderFields Fields; ///< Content-Type, Content-Length and the like
  std::string Body;     ///< an error page
  std::unique_ptr<std::ifstream> File; ///< open, at Offset
  std::uint64_t Length = 0;
};

/// The request fields that make an answer conditional or partial; empty when absent.
struct TStaticConditions {
  std::string_view IfModifiedSince;
  std::string_view Range;
  std::string_view IfRange;
};

/// Files (static ones, and those an extension sends) go out in pieces of this size, read one at
/// a time: what a transfer holds of a file at once.
inline constexpr std::size_t FilePiece = 64 * 1024;

/// The content type for a file name, by its extension; application/octet-stream otherwise.
std::string_view ContentTypeFor(const std::filesystem::path& file);

/// Answers a request for a normalised path: 405 for methods other than GET and HEAD, 404 when
/// there is no root or the path names nothing under it (or leaves it through a symlink), 304
/// when the file has not changed since If-Modified-Since, 206 for one satisfiable byte range
/// (416 for one past the end), 200 otherwise.
TStaticAnswer StaticFileAnswer(const std::optional<std::filesystem::path>& root,
                               std::string_view method, std::string_view path,
                               const TStaticConditions& conditions = {});

} // namespace isapi_web::host
