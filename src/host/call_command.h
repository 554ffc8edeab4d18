#pragma once
// `isapi-host call`: one request in-process against an extension, printed as a JSON transcript
// of every callback with the host's answers and the HTTP response the client would get.

#include <chrono>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace isapi_web::host {

/// The request that `call` makes.
struct TCallOptions {
  std::filesystem::path Extension;
  std::string Method = "GET";
  std::string ScriptName; ///< "/scripts/" and the extension's file name when empty
  std::string PathInfo;
  std::string Query;
  std::vector<std::string> Headers; ///< "Name: value"
  std::string Body;
  std::optional<std::filesystem::path> Root;
  std::chrono::milliseconds PendingTimeout = std::chrono::seconds(120);
};

/// Runs the request and writes the transcript to out (diagnostics to err); the exit status.
int RunCallCommand(const TCallOptions& options, std::ostream& out, std::ostream& err);

} // namespace isapi_web::host
