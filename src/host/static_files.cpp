#include "host/static_files.h"

#include <fstream>

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
  return answer;
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
                               std::string_view method, std::string_view path) {
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
  std::ifstream stream(*file, std::ios::binary);
  if (!stream)
    return notFound();
  TStaticAnswer answer;
  const std::uintmax_t size = std::filesystem::file_size(*file, error);
  if (error)
    return notFound();
  answer.Body.resize(static_cast<std::size_t>(size));
  stream.read(answer.Body.data(), static_cast<std::streamsize>(size));
  answer.Body.resize(static_cast<std::size_t>(stream.gcount()));
  answer.Fields.emplace_back("Content-Type", std::string(ContentTypeFor(*file)));
  return answer;
}

} // namespace isapi_web::host
