#pragma once
// The network side of isapi-host: Boost.Beast over Asio, keep-alive, the request limits, the
// routing between mapped extensions and static files, and the graceful shutdown.

#include <memory>
#include <string>

#include "host/server_options.h"

namespace isapi_web::host {

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
  /// "http://ADDR:PORT/" (or the HTTPS listener's "https://ADDR:PORT/") with the port actually
  /// bound; empty when there is no such listener.
  std::string Url(bool tls = false) const;
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
