#pragma once
// How isapi-host serves: its address, the extensions mapped to URL prefixes, the root of static
// files, and its limits and time limits.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace isapi_web::host {

class TExtension;
class TAccessLog;
class TTlsContext;

/// A URL prefix served by an extension.
struct TMapping {
  std::string Prefix; ///< as NormalizeMapPrefix gives it
  TExtension* Extension = nullptr;
};

/// How the server runs.
struct TServerOptions {
  std::string Address = "127.0.0.1";
  unsigned short Port = 8080;
  /// An HTTPS listener beside the plain one, when TlsContext is set.
  std::string TlsAddress = "127.0.0.1";
  unsigned short TlsPort = 8443;
  std::shared_ptr<TTlsContext> TlsContext;
  std::vector<TMapping> Mappings;
  std::optional<std::filesystem::path> Root; ///< canonical
  TAccessLog* AccessLog = nullptr;
  std::chrono::milliseconds PendingTimeout = std::chrono::seconds(120);
  std::chrono::milliseconds ShutdownTimeout = std::chrono::seconds(30);
  /// How long a connection may be idle, and a transfer go without progress (IIS's
  /// connectionTimeout).
  std::chrono::milliseconds ConnectionTimeout = std::chrono::seconds(120);
  /// A body or an answer slower than this, once the connection timeout's grace is used up, ends
  /// the connection (IIS's minBytesPerSecond); 0 turns the check off.
  unsigned MinBytesPerSecond = 240;
  /// How long the rest of a request head may take once its first byte came.
  std::chrono::milliseconds HeaderWaitTimeout = std::chrono::seconds(120);
  /// Connections open at once; at the limit a new one takes the room of the one idle longest.
  std::size_t MaxConnections = 1000;
  /// The largest request body taken (IIS's maxAllowedContentLength); larger ones get 413.
  std::uint64_t MaxRequestBody = 30'000'000;
  unsigned Threads = 1;
  /// Extension calls at once (HttpExtensionProc, completions), each on a thread that may block.
  unsigned MaxThreads = 64;
  /// Requests waiting for an extension thread; beyond them a request is answered 503 at once
  /// (IIS's queueLength).
  std::size_t ExtensionQueueLength = 1000;
};

} // namespace isapi_web::host
