#include "host/http_server.h"

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <set>
#include <utility>

// The host's headers come before Asio's: on Windows Asio brings in the system headers, whose
// error-code macros would otherwise rewrite the constants of the ISAPI header.
#include "host/access_log.h"
#include "host/bridge.h"
#include "host/extension.h"
#include "host/host_text.h"
#include "host/static_files.h"
#include "host/thread_group.h"
#include "host/url_path.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

namespace isapi_web::host {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using boost::system::error_code;

namespace {

// Limits of IIS's defaults: MaxRequestBytes and maxAllowedContentLength.
constexpr std::size_t HeaderLimit = 16 * 1024;
constexpr std::uint64_t BodyLimit = 30'000'000;
// How long a closing connection keeps reading what the client still sends, so that the last
// answer is not lost to a reset.
constexpr auto LingerTime = std::chrono::seconds(2);

void Diagnostic(const std::string& text) {
  const std::string line = "isapi-host: " + text + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

std::string HostWithoutPort(std::string_view host) {
  if (!host.empty() && host.front() == '[') {
    const std::size_t close = host.find(']');
    return std::string(host.substr(0, close == std::string_view::npos ? host.size() : close + 1));
  }
  return std::string(host.substr(0, host.find(':')));
}

} // namespace

class TSession;

struct THttpServer::TImpl {
  TServerOptions Options;
  std::vector<std::string> Prefixes;
  std::atomic<bool> Stopping{false};
  // Set when the drain time has run out: a request whose head was read before the shutdown but
  // which has not reached its extension yet is answered 503 instead.
  std::atomic<bool> Refusing{false};

  std::mutex StateMutex; // guards Sessions, InFlight and StopRequested
  std::condition_variable StateChanged;
  std::set<TSession*> Sessions;
  std::size_t InFlight = 0;
  bool StopRequested = false;

  // Declared last: destroying the loops destroys the sessions their handlers hold, and they
  // unregister themselves from the state above. One loop per thread of the group: a loop run
  // by one thread never hands work across threads, which is most of the cost of a small answer.
  std::vector<std::unique_ptr<net::io_context>> Loops;
  std::size_t NextLoop = 0; // the loop of the next connection; used by the acceptor's handler
  std::unique_ptr<tcp::acceptor> Acceptor;

  void Accept();
  void BeginRequest() {
    std::lock_guard lock(StateMutex);
    ++InFlight;
  }
  void EndRequest() {
    bool drained;
    {
      std::lock_guard lock(StateMutex);
      drained = --InFlight == 0 && Stopping;
    }
    // Only the shutdown waits for this; waking it on every request would cost a context switch.
    if (drained)
      StateChanged.notify_all();
  }
  bool WaitDrained(std::chrono::milliseconds limit) {
    std::unique_lock lock(StateMutex);
    return StateChanged.wait_for(lock, limit, [this] { return InFlight == 0; });
  }
  void CloseIdleSessions();
};

// One client connection. Every handler runs on the connection's strand; while an extension
// owns the request, only the request (under its lock) writes to the socket, synchronously.
class TSession : public IClientChannel, public std::enable_shared_from_this<TSession> {
public:
  TSession(THttpServer::TImpl& server, tcp::socket socket)
      : FServer(server), FSocket(std::move(socket)), FTimer(FSocket.get_executor()) {}

  ~TSession() override {
    std::lock_guard lock(FServer.StateMutex);
    FServer.Sessions.erase(this);
  }

  void Start() {
    {
      std::lock_guard lock(FServer.StateMutex);
      FServer.Sessions.insert(this);
    }
    error_code ignored;
    FSocket.set_option(tcp::no_delay(true), ignored);
    const tcp::endpoint local = FSocket.local_endpoint(ignored);
    const tcp::endpoint remote = FSocket.remote_endpoint(ignored);
    FLocalAddress = local.address().to_string();
    FLocalPort = std::to_string(local.port());
    FRemoteAddress = remote.address().to_string();
    FRemotePort = std::to_string(remote.port());
    net::dispatch(FSocket.get_executor(), [self = shared_from_this()] { self->ReadHeader(); });
  }

  /// Closes the connection on its strand if it waits for a next request.
  void PostShutdown() {
    net::post(FSocket.get_executor(), [self = shared_from_this()] { self->Shutdown(); });
  }

  // A connection waiting for its next request closes now.
  void Shutdown() {
    if (!FBusy && !FClosing) {
      error_code ignored;
      FSocket.cancel(ignored);
    }
  }

  bool SendNow(std::string_view bytes) override {
    error_code error;
    net::write(FSocket, net::buffer(bytes.data(), bytes.size()), error);
    return !error;
  }

  void PendingStarted() override {
    FTimer.expires_after(FServer.Options.PendingTimeout);
    FTimer.async_wait([self = shared_from_this(),
                       request = std::weak_ptr(FRequest)](error_code error) {
      const std::shared_ptr<TRequest> pending = request.lock();
      if (error || !pending)
        return;
      const auto seconds =
          std::chrono::duration_cast<std::chrono::seconds>(self->FServer.Options.PendingTimeout);
      pending->Expire(500,
                      "The extension did not complete the pending request within " +
                          std::to_string(seconds.count()) + " s.",
                      true);
    });
  }

  void RequestEnded(std::shared_ptr<IClientChannel> self, TRequestOutcome outcome,
                    bool onOwnerThread) override {
    if (onOwnerThread) {
      OnRequestEnded(std::move(outcome));
      return;
    }
    // The handler owns the caller's reference: the session is released on its own strand.
    net::post(FSocket.get_executor(), [self = std::static_pointer_cast<TSession>(std::move(self)),
                                       outcome = std::move(outcome)]() mutable {
      self->OnRequestEnded(std::move(outcome));
    });
  }

private:
  void ReadHeader() {
    FBusy = false;
    if (FServer.Stopping)
      return GracefulClose();
    FParser.emplace();
    FParser->header_limit(HeaderLimit);
    FParser->body_limit(BodyLimit);
    http::async_read_header(
        FSocket, FBuffer, *FParser,
        [self = shared_from_this()](error_code error, std::size_t) { self->OnHeader(error); });
  }

  void OnHeader(error_code error) {
    if (error)
      return OnReadError(error);
    FBusy = true;
    FServer.BeginRequest();
    FStarted = std::chrono::steady_clock::now();
    if (FParser->is_done())
      return Dispatch();
    const auto& request = FParser->get();
    const auto expect = request.find(http::field::expect);
    if (expect != request.end() && EqualsIgnoreCase(expect->value(), "100-continue")) {
      static constexpr std::string_view Continue = "HTTP/1.1 100 Continue\r\n\r\n";
      net::async_write(FSocket, net::buffer(Continue.data(), Continue.size()),
                       [self = shared_from_this()](error_code writeError, std::size_t) {
                         if (writeError)
                           return self->Abort();
                         self->ReadBody();
                       });
      return;
    }
    ReadBody();
  }

  void ReadBody() {
    http::async_read(FSocket, FBuffer, *FParser,
                     [self = shared_from_this()](error_code error, std::size_t) {
                       if (error)
                         return self->OnReadError(error);
                       self->Dispatch();
                     });
  }

  void OnReadError(error_code error) {
    const bool counted = FBusy;
    if (!counted) {
      FBusy = true;
      FServer.BeginRequest();
      FStarted = std::chrono::steady_clock::now();
    }
    if (error == http::error::header_limit)
      return AnswerPage(431, "431 Request Header Fields Too Large",
                        "The request's header fields exceed 16384 bytes.");
    if (error == http::error::body_limit)
      return AnswerPage(413, "413 Payload Too Large", "The request's body exceeds 30000000 bytes.");
    const bool nothingRead = error == http::error::end_of_stream || error == net::error::eof ||
                             error == net::error::operation_aborted ||
                             error == net::error::connection_reset;
    if (nothingRead || (error == http::error::partial_message && !counted)) {
      FServer.EndRequest();
      return Close();
    }
    AnswerPage(400, "400 Bad Request", "The request could not be read.");
  }

  void Abort() {
    FServer.EndRequest();
    Close();
  }

  // A page of the host's own that ends the connection (the request could not be read).
  void AnswerPage(unsigned status, std::string_view statusText, std::string_view message) {
    FLog = TAccessLogEntry{};
    FLog.Status = status;
    FLog.Method = "-";
    Answer(ComposePage(statusText, {}, ErrorPageBody(statusText, HtmlEscape(message)),
                       TConnectionState{false, false}, false),
           false);
  }

  void Dispatch() {
    auto& request = FParser->get();
    const std::string method(request.method_string());
    const bool http10 = request.version() == 10;
    const bool headOnly = request.method() == http::verb::head;
    const bool keepAlive = request.keep_alive() && !FServer.Stopping;
    const TConnectionState connection{keepAlive, http10};
    const TTargetPath target = ParseRequestTarget(request.target());

    FLog = TAccessLogEntry{};
    FLog.ServerIp = FLocalAddress;
    FLog.ServerPort = FLocalPort;
    FLog.ClientIp = FRemoteAddress;
    FLog.Method = method;
    FLog.UriStem = target.Valid ? target.RawPath : std::string(request.target());
    FLog.UriQuery = target.Query;
    if (auto field = request.find(http::field::user_agent); field != request.end())
      FLog.UserAgent = std::string(field->value());
    if (auto field = request.find(http::field::referer); field != request.end())
      FLog.Referer = std::string(field->value());

    if (!target.Valid) {
      FLog.Status = 400;
      return Answer(
          ComposePage("400 Bad Request", {},
                      ErrorPageBody("400 Bad Request", "The request's URL is not valid here."),
                      TConnectionState{false, http10}, headOnly),
          false);
    }
    // A request in flight when the shutdown began (its body may still have been on its way)
    // is served while the host drains; only past the drain time is it refused.
    if (FServer.Refusing) {
      Diagnostic("shutdown: a request did not finish in time and was answered 503");
      FLog.Status = 503;
      return Answer(
          ComposePage("503 Service Unavailable", {},
                      ErrorPageBody("503 Service Unavailable", "The server is shutting down."),
                      TConnectionState{false, http10}, headOnly),
          false);
    }
    const std::optional<TMapMatch> match = MatchMapping(FServer.Prefixes, target.Path);
    if (!match) {
      TStaticAnswer answer = StaticFileAnswer(FServer.Options.Root, method, target.Path);
      answer.Fields.emplace_back("Content-Length", std::to_string(answer.Body.size()));
      std::string bytes = ComposeHead(answer.StatusText, answer.Fields, connection);
      if (!headOnly)
        bytes += answer.Body;
      FLog.Status = answer.Status;
      return Answer(std::move(bytes), keepAlive);
    }

    TRequestSetup setup;
    TRequestInfo& info = setup.Info;
    info.Method = method;
    info.Protocol = http10 ? "HTTP/1.0" : "HTTP/1.1";
    info.ScriptName = match->ScriptName;
    info.PathInfo = match->PathInfo;
    if (FServer.Options.Root)
      info.PathTranslated =
          MapUrlToPhysicalPath(*FServer.Options.Root, info.PathInfo.empty() ? "/" : info.PathInfo)
              .value_or("");
    info.Query = target.Query;
    info.LocalAddress = FLog.ServerIp;
    info.ServerPort = FLog.ServerPort;
    info.RemoteAddress = FLog.ClientIp;
    info.RemotePort = FRemotePort;
    info.ServerSoftware = ServerSoftware();
    for (const auto& field : request)
      info.Headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    const auto host = request.find(http::field::host);
    info.ServerName = host != request.end() && !host->value().empty()
                          ? HostWithoutPort(host->value())
                          : info.LocalAddress;
    if (request.chunked())
      setup.TotalBytes = UnknownTotalBytes;
    else
      setup.TotalBytes = static_cast<DWORD>(request.body().size());
    setup.Body = std::move(request.body());
    setup.HeadOnly = headOnly;
    setup.Connection = connection;
    setup.Root = FServer.Options.Root ? &*FServer.Options.Root : nullptr;

    FRequest = TRequest::Create(*FServer.Options.Mappings[match->Index].Extension, std::move(setup),
                                shared_from_this());
    const std::shared_ptr<TRequest> running = FRequest; // keeps it alive while it ends itself
    running->Run();
  }

  void OnRequestEnded(TRequestOutcome outcome) {
    FTimer.cancel();
    FRequest.reset();
    FLog.Status = outcome.Status;
    FLog.ExtensionLogData = outcome.LogData;
    if (!outcome.Note.empty())
      Diagnostic(FLog.Method + " " + FLog.UriStem + " answered " + std::to_string(outcome.Status) +
                 ": " + outcome.Note);
    if (outcome.SessionStatus && *outcome.SessionStatus != HSE_STATUS_SUCCESS &&
        *outcome.SessionStatus != HSE_STATUS_SUCCESS_AND_KEEP_CONN)
      Diagnostic(FLog.Method + " " + FLog.UriStem + ": done with session, status " +
                 std::to_string(*outcome.SessionStatus));
    Answer(std::move(outcome.Bytes), outcome.KeepAlive);
  }

  void Answer(std::string bytes, bool keepAlive) {
    FWriteBuffer = std::move(bytes);
    net::async_write(FSocket, net::buffer(FWriteBuffer),
                     [self = shared_from_this(), keepAlive](error_code error, std::size_t) {
                       self->OnWritten(error, keepAlive);
                     });
  }

  void OnWritten(error_code error, bool keepAlive) {
    FWriteBuffer.clear();
    if (FServer.Options.AccessLog != nullptr) {
      FLog.Time = std::chrono::system_clock::now();
      FLog.TimeTakenMs =
          static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - FStarted)
                                         .count());
      FServer.Options.AccessLog->Write(FLog);
    }
    FServer.EndRequest();
    FBusy = false;
    if (error)
      return Close();
    if (!keepAlive || FServer.Stopping)
      return GracefulClose();
    ReadHeader();
  }

  // Half-closes, then reads and discards what the client still sends for a moment, so that
  // unread request bytes do not turn into a reset that destroys the answer just written.
  void GracefulClose() {
    if (FClosing)
      return;
    FClosing = true;
    error_code ignored;
    FSocket.shutdown(tcp::socket::shutdown_send, ignored);
    FTimer.expires_after(LingerTime);
    FTimer.async_wait([self = shared_from_this()](error_code) { self->Close(); });
    Drain();
  }

  void Drain() {
    FSocket.async_read_some(net::buffer(FScratch),
                            [self = shared_from_this()](error_code error, std::size_t) {
                              if (error)
                                return self->Close();
                              self->Drain();
                            });
  }

  void Close() {
    error_code ignored;
    FTimer.cancel();
    FSocket.close(ignored);
  }

  THttpServer::TImpl& FServer;
  tcp::socket FSocket;
  net::steady_timer FTimer;
  beast::flat_buffer FBuffer;
  std::optional<http::request_parser<http::string_body>> FParser;
  std::shared_ptr<TRequest> FRequest;
  std::string FWriteBuffer;
  std::array<char, 4096> FScratch{};
  TAccessLogEntry FLog;
  std::string FLocalAddress;
  std::string FLocalPort;
  std::string FRemoteAddress;
  std::string FRemotePort;
  std::chrono::steady_clock::time_point FStarted;
  bool FBusy = false;
  bool FClosing = false;
};

void THttpServer::TImpl::Accept() {
  net::io_context& loop = *Loops[NextLoop++ % Loops.size()];
  Acceptor->async_accept(net::make_strand(loop), [this](error_code error, tcp::socket socket) {
    if (error == net::error::operation_aborted || !Acceptor->is_open())
      return;
    if (!error)
      std::make_shared<TSession>(*this, std::move(socket))->Start();
    Accept();
  });
}

void THttpServer::TImpl::CloseIdleSessions() {
  std::lock_guard lock(StateMutex);
  for (TSession* session : Sessions) {
    std::shared_ptr<TSession> alive = session->weak_from_this().lock();
    if (alive)
      alive->PostShutdown();
  }
}

THttpServer::THttpServer(std::unique_ptr<TImpl> impl) : FImpl(std::move(impl)) {}

THttpServer::~THttpServer() = default;

std::unique_ptr<THttpServer> THttpServer::Create(const TServerOptions& options,
                                                 std::string& error) {
  auto impl = std::make_unique<TImpl>();
  impl->Options = options;
  for (unsigned i = 0; i < std::max(1u, options.Threads); ++i)
    impl->Loops.push_back(std::make_unique<net::io_context>());
  impl->Acceptor = std::make_unique<tcp::acceptor>(*impl->Loops[0]);
  for (const TMapping& mapping : options.Mappings)
    impl->Prefixes.push_back(mapping.Prefix);
  error_code code;
  const net::ip::address address = net::ip::make_address(options.Address, code);
  if (code) {
    error = "invalid listen address " + options.Address;
    return nullptr;
  }
  const tcp::endpoint endpoint(address, options.Port);
  impl->Acceptor->open(endpoint.protocol(), code);
  if (!code)
    impl->Acceptor->set_option(net::socket_base::reuse_address(true), code);
  if (!code)
    impl->Acceptor->bind(endpoint, code);
  if (!code)
    impl->Acceptor->listen(net::socket_base::max_listen_connections, code);
  if (code) {
    error = "cannot listen on " + options.Address + ":" + std::to_string(options.Port) + ": " +
            code.message();
    return nullptr;
  }
  return std::unique_ptr<THttpServer>(new THttpServer(std::move(impl)));
}

void THttpServer::SetAccessLog(TAccessLog* log) {
  FImpl->Options.AccessLog = log;
}

std::string THttpServer::Url() const {
  error_code ignored;
  const tcp::endpoint endpoint = FImpl->Acceptor->local_endpoint(ignored);
  std::string host = endpoint.address().to_string();
  if (endpoint.address().is_v6())
    host = "[" + host + "]";
  return "http://" + host + ":" + std::to_string(endpoint.port()) + "/";
}

bool THttpServer::Run() {
  TImpl& impl = *FImpl;
  net::signal_set signals(*impl.Loops[0], SIGINT, SIGTERM);
  signals.async_wait([&impl](error_code error, int) {
    if (error)
      return;
    {
      std::lock_guard lock(impl.StateMutex);
      impl.StopRequested = true;
    }
    impl.StateChanged.notify_all();
  });
  impl.Accept();
  std::vector<std::function<void()>> lanes;
  // The loops must not run out of work while the acceptor is closed and sessions drain.
  std::vector<net::executor_work_guard<net::io_context::executor_type>> work;
  for (const auto& loop : impl.Loops) {
    lanes.push_back([loop = loop.get()] { loop->run(); });
    work.push_back(net::make_work_guard(*loop));
  }
  TThreadGroup threads(std::move(lanes), impl.Options.MaxThreads);
  threads.Start();
  {
    std::unique_lock lock(impl.StateMutex);
    impl.StateChanged.wait(lock, [&impl] { return impl.StopRequested; });
  }

  Diagnostic("shutting down: no new connections, draining requests in flight");
  impl.Stopping = true;
  net::post(*impl.Loops[0], [&impl] {
    error_code ignored;
    impl.Acceptor->close(ignored);
  });
  impl.CloseIdleSessions();
  if (!impl.WaitDrained(impl.Options.ShutdownTimeout)) {
    impl.Refusing = true;
    for (const std::shared_ptr<TRequest>& request : LiveRequests()) {
      Diagnostic("shutdown: a request did not finish in time and was answered 503");
      request->Expire(503, "The server shut down before the request finished.", false);
    }
    impl.WaitDrained(std::chrono::seconds(2));
  }
  std::set<TExtension*> terminated;
  for (const TMapping& mapping : impl.Options.Mappings) {
    if (!terminated.insert(mapping.Extension).second)
      continue;
    const bool answer = mapping.Extension->Terminate(HSE_TERM_MUST_UNLOAD);
    Diagnostic("TerminateExtension(HSE_TERM_MUST_UNLOAD) called for " +
               mapping.Extension->File().string() + ", answered " + (answer ? "TRUE" : "FALSE"));
  }
  work.clear();
  signals.cancel();
  for (const auto& loop : impl.Loops)
    loop->stop();
  const bool joined = threads.Join(std::chrono::seconds(1));
  return WaitForCallbacksToReturn(std::chrono::seconds(1)) && joined;
}

} // namespace isapi_web::host
