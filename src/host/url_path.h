#pragma once
// Request targets as the host reads them: percent-decoding, dot segments resolved before any
// mapping (a path that climbs above the root is refused), the --map prefixes with IIS's path
// info, and file names under the root that no path can escape.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace isapi_web::host {

/// A request target split and normalised; Valid false means the client gets 400.
struct TTargetPath {
  bool Valid = false;
  std::string Path;    ///< decoded, '/'-separated, dot segments resolved, starts with '/'
  std::string RawPath; ///< the path as sent, before '?'
  std::string Query;   ///< the raw text after the first '?', without it
};

/// Reads an origin-form or absolute-form target: percent-decodes, turns backslashes into
/// slashes, collapses repeated slashes and resolves "." and ".." (climbing above "/" is invalid).
TTargetPath ParseRequestTarget(std::string_view target);
/// The same into result, whose texts keep their capacity.
void ParseRequestTarget(std::string_view target, TTargetPath& result);

/// The URL prefix of a --map as the host compares it: leading '/', no trailing '/'.
std::string NormalizeMapPrefix(std::string_view prefix);

/// A path that falls under a mapped prefix, split as IIS's allowPathInfo does.
struct TMapMatch {
  std::size_t Index = 0;  ///< which prefix matched
  std::string ScriptName; ///< the prefix as it appears in the path
  std::string PathInfo;   ///< the rest of the path, empty or starting with '/'
};

/// The longest normalised prefix that the path equals or continues with '/', ignoring ASCII
/// case; nullopt when none does.
std::optional<TMapMatch> MatchMapping(const std::vector<std::string>& prefixes,
                                      std::string_view path);

/// The existing file or directory under root (already canonical) that a normalised path names,
/// after symlinks are followed; nullopt when it does not exist or lies outside root.
std::optional<std::filesystem::path> ResolveUnderRoot(const std::filesystem::path& root,
                                                      std::string_view path);

/// The physical path under root of a URL (decoded and normalised like a request path), in the
/// system's own separators; nullopt for a URL that climbs above the root.
std::optional<std::string> MapUrlToPhysicalPath(const std::filesystem::path& root,
                                                std::string_view url);
/// The same in UTF-16, the URL's decoded bytes read as UTF-8.
std::optional<std::u16string> MapUrlToPhysicalPathWide(const std::filesystem::path& root,
                                                       std::string_view url);

} // namespace isapi_web::host
