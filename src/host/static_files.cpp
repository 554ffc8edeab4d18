#include "host/static_files.h"

#include <charconv>
#include <chrono>

#include "host/host_text.h"
#include "host/url_path.h"

namespace isapi_web::host {

namespace {

TStaticAnswer ErrorAnswer(unsigned status, std::string statusText, std::string_view message) {
  TStaticAnswer answer;
  answer.Status = status;
  answer.StatusText = std::move(statusText);
  answer.Fields.emplace_back("Content-Type", "text/html");
  answer.Body = ErrorPageBody(answer.StatusText, HtmlEscape(message));
  answer.Fields.emplace_back("Content-Length", std::to_string(answer.Body.size()));
  return answer;
}

std::optional<std::uint64_t> Number(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size())
    return std::nullopt;
  return value;
}

struct TByteRange {
  std::uint64_t First = 0;
  std::uint64_t Last = 0;
};

// One range of "bytes=first-last", "bytes=first-" or "bytes=-suffix" over size bytes. Nothing
// when the field is malformed or asks for several ranges (the whole file is sent then); a range
// with First at or past the end when none of it is there.
std::optional<TByteRange> ParseRange(std::string_view field, std::uint64_t size) {
  constexpr std::string_view Unit = "bytes=";
  if (!StartsWithIgnoreCase(field, Unit) || field.find(',') != std::string_view::npos)
    return std::nullopt;
  const std::string_view bounds = field.substr(Unit.size());
  const std::size_t dash = bounds.find('-');
  if (dash == std::string_view::npos)
    return std::nullopt;
  const std::optional<std::uint64_t> first = Number(bounds.substr(0, dash));
  const std::optional<std::uint64_t> last = Number(bounds.substr(dash + 1));
  if (!first) {
    if (!last || *last == 0)
      return std::nullopt;
    return TByteRange{size - std::min(size, *last), size - 1};
  }
  if (!last && dash + 1 != bounds.size())
    return std::nullopt;
  if (last && *last < *first)
    return std::nullopt;
  return TByteRange{*first, last ? std::min(*last, size - 1) : size - 1};
}

} // namespace

std::string_view ContentTypeFor(const std::filesystem::path& file) {
  static constexpr std::pair<std::string_view, std::string_view> Types[] = {
      {".html", "text/html"},        {".htm", "text/html"},         {".css", "text/css"},
      {".js", "text/javascript"},    {".json", "application/json"}, {".txt", "text/plain"},
      {".xml", "application/xml"},   {".png", "image/png"},         {".jpg", "image/jpeg"},
      {".jpeg", "image/jpeg"},       {".gif", "image/gif"},         {".svg", "image/svg+xml"},
      {".ico", "image/x-icon"},      {".webp", "image/webp"},       {".pdf", "application/pdf"},
      {".wasm", "application/wasm"},
  };
  const std::string extension = file.extension().string();
  for (const auto& [suffix, type] : Types)
    if (EqualsIgnoreCase(extension, suffix))
      return type;
  return "application/octet-stream";
}

TStaticAnswer StaticFileAnswer(const std::optional<std::filesystem::path>& root,
                               std::string_view method, std::string_view path,
                               const TStaticConditions& conditions) {
  if (method != "GET" && method != "HEAD") {
    TStaticAnswer answer =
        ErrorAnswer(405, "405 Method Not Allowed", "Static files answer GET and HEAD only.");
    answer.Fields.emplace_back("Allow", "GET, HEAD");
    return answer;
  }
  const auto notFound = [] {
    return ErrorAnswer(404, "404 Not Found", "The requested URL was not found on this server.");
  };
  if (!root)
    return notFound();
  std::optional<std::filesystem::path> file = ResolveUnderRoot(*root, path);
  std::error_code error;
  if (file && std::filesystem::is_directory(*file, error)) {
    file = ResolveUnderRoot(*root, std::string(path) + "/index.html");
  }
  if (!file || !std::filesystem::is_regular_file(*file, error))
    return notFound();
  auto stream = std::make_unique<std::ifstream>(*file, std::ios::binary);
  const std::uint64_t size = std::filesystem::file_size(*file, error);
  const auto modified = std::filesystem::last_write_time(*file, error);
  if (!*stream || error)
    return notFound();
  // HTTP dates count whole seconds.
  const auto modifiedSecond = std::chrono::floor<std::chrono::seconds>(
      std::chrono::file_clock::to_sys(modified));
  const std::string lastModified = HttpDateText(modifiedSecond);

  TStaticAnswer answer;
  answer.Fields.emplace_back("Content-Type", std::string(ContentTypeFor(*file)));
  answer.Fields.emplace_back("Last-Modified", lastModified);
  // A developer edits these files: a browser asks again each time (and gets 304 when nothing
  // changed) instead of guessing a freshness from Last-Modified.
  answer.Fields.emplace_back("Cache-Control", "no-cache");
  answer.Fields.emplace_back("Accept-Ranges", "bytes");
  if (!conditions.IfModifiedSince.empty()) {
    const std::optional<std::chrono::system_clock::time_point> since =
        ParseHttpDate(conditions.IfModifiedSince);
    if (since && modifiedSecond <= *since) {
      answer.Status = 304;
      answer.StatusText = "304 Not Modified";
      return answer;
    }
  }
  std::optional<TByteRange> range;
  if (!conditions.Range.empty() &&
      (conditions.IfRange.empty() || conditions.IfRange == lastModified))
    range = ParseRange(conditions.Range, size);
  if (range && range->First >= size) {
    TStaticAnswer refused =
        ErrorAnswer(416, "416 Range Not Satisfiable", "The requested range is not in the file.");
    refused.Fields.emplace_back("Content-Range", "bytes */" + std::to_string(size));
    return refused;
  }
  std::uint64_t offset = 0;
  answer.Length = size;
  if (range) {
    answer.Status = 206;
    answer.StatusText = "206 Partial Content";
    offset = range->First;
    answer.Length = range->Last - range->First + 1;
    answer.Fields.emplace_back("Content-Range", "bytes " + std::to_string(range->First) + "-" +
                                                    std::to_string(range->Last) + "/" +
                                                    std::to_string(size));
  }
  answer.Fields.emplace_back("Content-Length", std::to_string(answer.Length));
  stream->seekg(static_cast<std::streamoff>(offset));
  answer.File = std::move(stream);
  return answer;
}

} // namespace isapi_web::host
