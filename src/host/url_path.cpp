#include "host/url_path.h"

#include "host/host_text.h"
#include "runtime/text.h"

namespace isapi_web::host {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

// Percent-decodes and resolves the segments; false for a malformed escape, a NUL byte or a
// climb above the root. Decoding comes first so that "%2e%2e" and "..%2f" are dot segments too.
bool NormalizePath(std::string_view raw, std::string& result) {
  std::string decoded;
  decoded.reserve(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    char c = raw[i];
    if (c == '%') {
      if (i + 2 >= raw.size())
        return false;
      const int high = HexValue(raw[i + 1]);
      const int low = HexValue(raw[i + 2]);
      if (high < 0 || low < 0)
        return false;
      c = static_cast<char>(high * 16 + low);
      i += 2;
    }
    if (c == '\0')
      return false;
    decoded += (c == '\\') ? '/' : c;
  }
  std::vector<std::string_view> segments;
  std::size_t start = 0;
  const std::string_view text(decoded);
  bool endsWithSlash = false;
  while (start <= text.size()) {
    std::size_t end = text.find('/', start);
    if (end == std::string_view::npos)
      end = text.size();
    const std::string_view segment = text.substr(start, end - start);
    endsWithSlash = segment.empty() || segment == "." || segment == "..";
    if (segment == "..") {
      if (segments.empty())
        return false;
      segments.pop_back();
    } else if (!segment.empty() && segment != ".") {
      segments.push_back(segment);
    }
    start = end + 1;
  }
  result.assign(1, '/'); // assign(1, c), not = "/": GCC 12 warns falsely about the latter
  for (std::size_t i = 0; i < segments.size(); ++i) {
    if (i > 0)
      result += '/';
    result += segments[i];
  }
  if (endsWithSlash && !segments.empty())
    result += '/';
  return true;
}

// Whether normalising would leave the path as it is: no escape, backslash or NUL, and no empty,
// "." or ".." segment (a segment that merely starts with a dot counts too).
bool IsNormalPath(std::string_view raw) {
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (c == '%' || c == '\\' || c == '\0')
      return false;
    if (c == '/' && i + 1 < raw.size() && (raw[i + 1] == '/' || raw[i + 1] == '.'))
      return false;
  }
  return true;
}

bool IsWithin(const std::filesystem::path& root, const std::filesystem::path& candidate) {
  auto rootPart = root.begin();
  auto candidatePart = candidate.begin();
  for (; rootPart != root.end(); ++rootPart, ++candidatePart) {
    if (rootPart->empty())
      continue; // the trailing empty element of "dir/"
    if (candidatePart == candidate.end() || *rootPart != *candidatePart)
      return false;
  }
  return true;
}

} // namespace

TTargetPath ParseRequestTarget(std::string_view target) {
  TTargetPath result;
  ParseRequestTarget(target, result);
  return result;
}

void ParseRequestTarget(std::string_view target, TTargetPath& result) {
  result.Valid = false;
  result.Path.clear();
  result.RawPath.clear();
  result.Query.clear();
  if (StartsWithIgnoreCase(target, "http://") || StartsWithIgnoreCase(target, "https://")) {
    const std::size_t authority = target.find("//") + 2;
    const std::size_t slash = target.find_first_of("/?", authority);
    target = slash == std::string_view::npos ? std::string_view("/") : target.substr(slash);
    if (!target.empty() && target.front() == '?')
      return;
  }
  if (target.empty() || target.front() != '/')
    return;
  const std::size_t question = target.find('?');
  result.RawPath.assign(target.substr(0, question));
  if (question != std::string_view::npos)
    result.Query.assign(target.substr(question + 1));
  if (IsNormalPath(result.RawPath)) {
    result.Path = result.RawPath;
    result.Valid = true;
    return;
  }
  result.Valid = NormalizePath(result.RawPath, result.Path);
}

std::string NormalizeMapPrefix(std::string_view prefix) {
  while (!prefix.empty() && prefix.back() == '/')
    prefix.remove_suffix(1);
  std::string result;
  if (prefix.empty() || prefix.front() != '/')
    result.push_back('/');
  result += prefix;
  if (result == "/")
    result.clear();
  return result;
}

std::optional<TMapMatch> MatchMapping(const std::vector<std::string>& prefixes,
                                      std::string_view path) {
  std::optional<TMapMatch> best;
  for (std::size_t i = 0; i < prefixes.size(); ++i) {
    const std::string& prefix = prefixes[i];
    if (!StartsWithIgnoreCase(path, prefix))
      continue;
    if (path.size() > prefix.size() && path[prefix.size()] != '/')
      continue;
    if (best && best->ScriptName.size() >= prefix.size())
      continue;
    best = TMapMatch{i, std::string(path.substr(0, prefix.size())),
                     std::string(path.substr(prefix.size()))};
  }
  return best;
}

std::optional<std::filesystem::path> ResolveUnderRoot(const std::filesystem::path& root,
                                                      std::string_view path) {
  std::string relative(path);
  while (!relative.empty() && relative.front() == '/')
    relative.erase(relative.begin());
  std::error_code error;
  const std::filesystem::path candidate = root / std::filesystem::path(relative);
  const std::filesystem::path real = std::filesystem::canonical(candidate, error);
  if (error || !IsWithin(root, real))
    return std::nullopt;
  return real;
}

std::optional<std::string> MapUrlToPhysicalPath(const std::filesystem::path& root,
                                                std::string_view url) {
  const TTargetPath target = ParseRequestTarget(url);
  if (!target.Valid)
    return std::nullopt;
  std::string relative = target.Path.substr(1);
  std::filesystem::path result = root;
  if (!relative.empty())
    result /= std::filesystem::path(relative);
  result.make_preferred();
  return result.string();
}

std::optional<std::u16string> MapUrlToPhysicalPathWide(const std::filesystem::path& root,
                                                       std::string_view url) {
  const TTargetPath target = ParseRequestTarget(url);
  if (!target.Valid)
    return std::nullopt;
  std::filesystem::path result = root;
  // Built from UTF-16, so that no narrow conversion of the system's stands between.
  if (target.Path.size() > 1)
    result /= std::filesystem::path(Utf8ToWide(std::string_view(target.Path).substr(1)));
  result.make_preferred();
  return result.u16string();
}

} // namespace isapi_web::host
