#pragma once
// The W3C extended log format that IIS writes, one line per answered request.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace isapi_web::host {

/// The fields of one log line; empty texts are written as "-".
struct TAccessLogEntry {
  std::chrono::system_clock::time_point Time;
  std::string ServerIp;
  std::string Method;
  std::string UriStem;
  std::string UriQuery;
  std::string ExtensionLogData; ///< appended to cs-uri-query, as IIS does
  std::string ServerPort;
  std::string ClientIp;
  std::string UserAgent;
  std::string Referer;
  unsigned Status = 0;
  std::uint64_t TimeTakenMs = 0;
};

/// The directive lines that open a log: #Software, #Version, #Date and #Fields.
std::string W3CHeaderLines(std::chrono::system_clock::time_point start, std::string_view software);
/// One log line with its line feed; spaces become '+', control bytes (C0, DEL, C1) %XX.
std::string W3CLogLine(const TAccessLogEntry& entry);

/// A log file (or standard output) shared by every connection.
class TAccessLog {
public:
  /// Opens FILE for appending, or standard output for "-", and writes the directive lines;
  /// null with error set when the file cannot be opened.
  static std::unique_ptr<TAccessLog> Open(const std::string& file, std::string_view software,
                                          std::string& error);
  ~TAccessLog();
  TAccessLog(const TAccessLog&) = delete;
  TAccessLog& operator=(const TAccessLog&) = delete;

  /// Appends one line and flushes it, so readers see it at once.
  void Write(const TAccessLogEntry& entry);

private:
  TAccessLog(std::FILE* stream, bool owned) : FStream(stream), FOwned(owned) {}

  std::mutex FMutex; // guards writes to FStream
  std::FILE* FStream;
  bool FOwned;
};

} // namespace isapi_web::host
