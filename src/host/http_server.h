#pragma once
// The network side of isapi-host: Boost.Beast over Asio, keep-alive, the request limits, the
// routing between mapped extensions and static files, and the graceful shutdown.

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

/// A URL prefix served by an extension.
struct TMapping {
  std::string Prefix; ///< as NormalizeMapPrefix gives it
  TExtension* Extension = nullptr;
};

/// How the server runs.
struct TServerOptions {
  std::string Address = "127.0.0.1";
  unsigned short Port = 8080;
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

/// How a run ended.
struct TRunEnd {
  /// Extension calls still running at the shutdown's deadline: left to run, never waited for.
  unsigned Abandoned = 0;
  /// Every thread of the host came out of the extensions and every extension was terminated:
  /// the libraries may be unloaded.
  bool Clean = true;
};

/// A bound, not yet running server.
class THttpServer {
public:
  /// Binds the listening socket; null with error set when the address cannot be used.
  static std::unique_ptr<THttpServer> Create(const TServerOptions& options, std::string& error);
  ~THttpServer();
  THttpServer(const THttpServer&) = delete;
  THttpServer& operator=(const THttpServer&) = delete;

  /// Logs every answer to log from now on (set before Run).
  void SetAccessLog(TAccessLog* log);
  /// "http://ADDR:PORT/" with the port actually bound.
  std::string Url() const;
  /// Serves until SIGINT or SIGTERM (HoldStopSignals must have run before any thread started),
  /// then stops accepting, drains, answers 503 to what is left, calls
  /// TerminateExtension(HSE_TERM_MUST_UNLOAD) once per extension no thread is inside and stops
  /// its threads, all within the shutdown timeout and a grace of a few seconds: past them the
  /// process ends at once.
  TRunEnd Run();

  /// The server's state, shared with its connections.
  struct TImpl;

private:
  explicit THttpServer(std::unique_ptr<TImpl> impl);
  std::unique_ptr<TImpl> FImpl;
};

} // namespace isapi_web::host
