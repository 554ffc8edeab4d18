#include "host/http_server.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <utility>

// The host's headers come before Asio's (see connection.h).
#include "host/bridge.h"
#include "host/extension.h"
#include "host/extension_channel.h"
#include "host/extension_threads.h"
#include "host/host_system.h"
#include "host/host_text.h"
#include "host/response_text.h"
#include "host/server_state.h"
#include "host/shutdown_deadline.h"
#include "host/static_files.h"
#include "host/thread_group.h"
#if ISAPI_HOST_TLS
#include "host/tls_context.h"
#endif
#include "host/url_path.h"

namespace isapi_web::host {

namespace {

// What the shutdown may take beyond its drain time: the 503 pages, TerminateExtension, the
// threads' end. Past it the process ends at once.
constexpr auto ShutdownGrace = std::chrono::milliseconds(4500);
// What the shutdown keeps of its deadline for the steps after the calls' return: the
// completion threads' stop (a second at most), the loops' threads and the callbacks (half a
// second each).
constexpr auto ShutdownWrapUp = std::chrono::seconds(2);
// A call whose request the shutdown has answered (a read or write it interrupted) is given up
// to a second to return before it counts as abandoned, and never less than half of one.
constexpr auto ReturnTime = std::chrono::seconds(1);
constexpr auto LeastReturnTime = std::chrono::milliseconds(500);

std::string HostWithoutPort(std::string_view host) {
  if (!host.empty() && host.front() == '[') {
    const std::size_t close = host.find(']');
    return std::string(host.substr(0, close == std::string_view::npos ? host.size() : close + 1));
  }
  return std::string(host.substr(0, host.find(':')));
}

// Says once that the queue of requests for extensions is full, until one is queued again.
std::atomic<bool> QueueFullNoted{false};

// Runs a loop until it is stopped or runs out of work, as run() does, except that a loop that has
// just run out of handlers looks for more a little while before it sleeps in the reactor. An
// extension that answers on threads of its own ends each request by posting to the loop; on a
// busy server the next end comes within microseconds, and finding the loop awake spares both
// sides a wake-up (a system call for the poster, a sleep and a wake for the loop), which costs
// more than the answer itself. The look is bounded and yields the processor, so an idle loop
// still sleeps and a thread that has work gets the processor first.
void RunLoop(net::io_context& loop) {
  constexpr auto spinTime = std::chrono::microseconds(50);
  auto lastWork = std::chrono::steady_clock::now();
  for (;;) {
    if (loop.poll() != 0) {
      lastWork = std::chrono::steady_clock::now();
      continue;
    }
    if (loop.stopped())
      return;
    if (std::chrono::steady_clock::now() - lastWork < spinTime) {
      std::this_thread::yield();
      continue;
    }
    if (loop.run_one() == 0)
      return;
    lastWork = std::chrono::steady_clock::now();
  }
}

} // namespace

class TSession;

struct THttpServer::TImpl : TServerState {
  std::vector<std::string> Prefixes;
  TRouter Router; ///< the mappings, for child requests

  // Beside InFlight, under StateMutex.
  std::set<TSession*> Sessions;

  // Declared last: destroying the loops destroys the sessions their handlers hold, and they
  // unregister themselves from the state above. One loop per thread of the group: a loop run
  // by one thread never hands work across threads, which is most of the cost of a small answer.
  std::vector<std::unique_ptr<net::io_context>> Loops;
  std::size_t NextLoop = 0; // the loop of the next connection; used by the acceptor's handler
  /// A listening socket; its handlers run on the first loop.
  struct TListener {
    std::unique_ptr<tcp::acceptor> Acceptor;
    std::unique_ptr<TTimer> Pause;
    bool Paused = false; // guarded by StateMutex
    bool Tls = false;    // its connections speak TLS
  };
  std::vector<TListener> Listeners; // the plain one first; complete before Run
  std::size_t ConnectionCap = 0;    // guarded by StateMutex; MaxConnections or what fits
  std::size_t Shedding = 0;         // guarded by StateMutex; sessions asked to close
  bool DescriptorsOut = false;      // the acceptor's own; says so once per shortage

  /// Opens a listener on address:port; false with error set when it cannot.
  bool Listen(const std::string& address, unsigned short port, bool tls, std::string& error);
  void Accept(TListener& listener);
  void OnAccepted(TListener& listener, error_code error, TSocket socket);
  void PauseAccepting(TListener& listener, std::chrono::milliseconds time);
  /// Asks the session that has waited longest for a request head to close; false when none does.
  bool ShedLongestIdle();
  /// A session has ended: accepting goes on if it waited for room.
  void SessionEnded();
  /// Runs a member function of every session, each in its turn.
  void PostToSessions(void (TSession::*member)());
};

// One client connection of the server: a request is served by a static file or an extension.
// Its handlers run one at a time; while an extension owns the request, only the request (under
// its lock) writes to the socket, synchronously.
class TSession final : public TExtensionChannel {
public:
  TSession(THttpServer::TImpl& server, TSocket socket)
      : TExtensionChannel(server, std::move(socket)), FImpl(server) {}

  ~TSession() override {
    {
      std::lock_guard lock(FImpl.StateMutex);
      FImpl.Sessions.erase(this);
      if (Claimed())
        --FImpl.Shedding;
    }
    FImpl.SessionEnded();
  }

  void Start() {
    {
      std::lock_guard lock(FImpl.StateMutex);
      FImpl.Sessions.insert(this);
    }
    TConnection::Start();
  }

  /// Runs a member function of the session in its turn.
  void Post(void (TSession::*member)()) {
    PostInTurn([this, member] { (this->*member)(); });
  }

  // Past the drain time, a request whose body is still arriving stops waiting for it: its read
  // ends and OnRead answers 503.
  void StopReadingBody() {
    if (FBusy && FReadPending && !FRequest && !FClosing) {
      CancelOperations();
    }
  }

private:
  void OnMessage() override {
    FAnswerBytes = 0;
    const TReceivedRequest& request = FReceived;
    const TConnectionState connection{request.KeepAlive() && !FServer.Stopping,
                                      request.Version == 10};
    ParseRequestTarget(request.Target, FTarget);

    if (FServer.Options.AccessLog != nullptr)
      StartLogEntry(&request);

    if (!FTarget.Valid)
      return AnswerClosingPage(400, "400 Bad Request", "The request's URL is not valid here.");
    // A request in flight when the shutdown began (its body may still have been on its way)
    // is served while the host drains; only past the drain time is it refused.
    if (FServer.Refusing) {
      Diagnostic("shutdown: a request did not finish in time and was answered 503");
      return AnswerClosingPage(503, "503 Service Unavailable", "The server is shutting down.");
    }
    std::optional<TMapMatch> match = MatchMapping(FImpl.Prefixes, FTarget.Path);
    if (!match)
      return AnswerStaticFile(connection);
    CallExtension(*match, connection);
  }

  void AnswerStaticFile(TConnectionState connection) {
    const TReceivedRequest& request = FReceived;
    TStaticConditions conditions;
    if (const TReceivedField* field = request.Find(http::field::if_modified_since))
      conditions.IfModifiedSince = field->Value;
    if (const TReceivedField* field = request.Find(http::field::range))
      conditions.Range = field->Value;
    if (const TReceivedField* field = request.Find(http::field::if_range))
      conditions.IfRange = field->Value;
    TStaticAnswer answer =
        StaticFileAnswer(FServer.Options.Root, request.Method, FTarget.Path, conditions);
    // A body past the read-ahead is never read here: the connection ends with the answer.
    const bool keep = connection.KeepAlive && FReader->is_done();
    std::string bytes =
        ComposeHead(answer.StatusText, answer.Fields, TConnectionState{keep, connection.Http10});
    FStatus = answer.Status;
    if (request.Verb == http::verb::head)
      return Answer(std::move(bytes), keep);
    bytes += answer.Body;
    // The file follows the head in pieces, each read when the one before has gone out.
    if (answer.File && answer.Length != 0)
      FollowWithFile(std::move(answer.File), answer.Length);
    Answer(std::move(bytes), keep);
  }

  void CallExtension(TMapMatch& match, TConnectionState connection) {
    const TReceivedRequest& request = FReceived;
    const bool http10 = connection.Http10;
    TRequestSetup setup;
    TRequestInfo& info = setup.Info;
    info.Method = request.Method;
    info.Protocol = http10 ? "HTTP/1.0" : "HTTP/1.1";
    info.ScriptName = std::move(match.ScriptName);
    info.PathInfo = std::move(match.PathInfo);
    if (FServer.Options.Root) {
      // The same path info maps to the same file under the same root: a connection asking for
      // one resource again and again maps it once.
      if (!FPathTranslatedKnown || info.PathInfo != FPathTranslatedOf) {
        FPathTranslatedOf = info.PathInfo;
        FPathTranslated =
            MapUrlToPhysicalPath(*FServer.Options.Root, info.PathInfo.empty() ? "/" : info.PathInfo)
                .value_or("");
        FPathTranslatedKnown = true;
      }
      info.PathTranslated = FPathTranslated;
    }
    info.Query = FTarget.Query;
    info.LocalAddress = FLocalAddress;
    info.ServerPort = FLocalPort;
    info.RemoteAddress = FRemoteAddress;
    info.Tls = TlsInfo();
    info.RemotePort = FRemotePort;
    info.ServerSoftware = ServerSoftware();
    info.RawTarget = FReceived.Target;
    info.Headers.reserve(request.FieldCount);
    for (const TReceivedField& field : request.Received())
      info.Headers.emplace_back(field.NameText, field.Value);
    const TReceivedField* host = request.Find(http::field::host);
    info.ServerName =
        host != nullptr && !host->Value.empty() ? HostWithoutPort(host->Value) : info.LocalAddress;
    // The body limit keeps a declared length far below 4 GB.
    const boost::optional<std::uint64_t> length = FReader->content_length();
    setup.TotalBytes = request.Chunked() ? UnknownTotalBytes
                       : length          ? static_cast<DWORD>(*length)
                                         : 0;
    setup.BodyComplete = FReader->is_done();
    setup.Body = std::move(FReceived.Body);
    setup.HeadOnly = request.Verb == http::verb::head;
    setup.Connection = connection;
    setup.Root = FServer.Options.Root ? &*FServer.Options.Root : nullptr;
    setup.Router = &FImpl.Router;

    FRequest = TRequest::Create(*FServer.Options.Mappings[match.Index].Extension, std::move(setup),
                                std::static_pointer_cast<TSession>(shared_from_this()));
    // A free place: the call runs on this thread as soon as the turn is given back. Otherwise
    // the request waits for an extension thread, or, when too many wait already, is refused.
    if (ExtensionThreads().EnterInline()) {
      RunAfterTurn([request = FRequest] {
        request->Run();
        ExtensionThreads().LeaveInline();
      });
      return;
    }
    const bool queued =
        ExtensionThreads().Submit([request = FRequest] { request->Run(); },
                                  [self = std::static_pointer_cast<TSession>(shared_from_this())] {
                                    self->Post(&TSession::RefuseQueued);
                                  });
    if (queued) {
      QueueFullNoted = false;
      return;
    }
    FRequest->Withdraw();
    FRequest.reset();
    if (!QueueFullNoted.exchange(true))
      Diagnostic("every extension thread is busy and the queue of requests waiting for one is "
                 "full: new requests for extensions are answered 503 until one is free");
    AnswerClosingPage(503, "503 Service Unavailable",
                      "The server is too busy to take the request.");
  }

  // A request that waited for an extension thread until the shutdown's drain time ran out.
  void RefuseQueued() {
    // The shutdown may have expired it meanwhile: that answer is on its way.
    if (!FRequest || !FRequest->Withdraw())
      return;
    FRequest.reset();
    AnswerShutdown503("was still waiting for an extension thread");
  }

  THttpServer::TImpl& FImpl;
  bool FPathTranslatedKnown = false;
  std::string FPathTranslatedOf;
  std::string FPathTranslated;
};

void THttpServer::TImpl::Accept(TListener& listener) {
  if (Stopping)
    return;
  {
    // At the connection limit a new client takes the room of the connection idle longest; when
    // none is idle, accepting waits for a connection to end (the kernel's backlog holds the
    // clients meanwhile).
    std::unique_lock lock(StateMutex);
    while (Sessions.size() - Shedding >= ConnectionCap) {
      lock.unlock();
      const bool shed = ShedLongestIdle();
      lock.lock();
      if (!shed) {
        listener.Paused = true;
        return;
      }
    }
  }
  net::io_context& loop = *Loops[NextLoop++ % Loops.size()];
  listener.Acceptor->async_accept(loop, [this, &listener](error_code error, TSocket socket) {
    OnAccepted(listener, error, std::move(socket));
  });
}

void THttpServer::TImpl::OnAccepted(TListener& listener, error_code error, TSocket socket) {
  if (error == net::error::operation_aborted || !listener.Acceptor->is_open())
    return;
  if (error == net::error::no_descriptors || error == net::error::no_buffer_space ||
      error.value() == ENFILE) {
    // Out of descriptors: trying again at once would find none either. The host holds no more
    // connections than it has now, less a margin; from here on a new client takes the room of
    // the connection idle longest, as at the connection limit. It waits a moment first.
    HoldSpareDescriptors(false);
    std::size_t cap;
    {
      std::lock_guard lock(StateMutex);
      ConnectionCap = std::max<std::size_t>(16, std::min(ConnectionCap, Sessions.size()) * 15 / 16);
      cap = ConnectionCap;
    }
    if (!DescriptorsOut)
      Diagnostic("accept: " + error.message() + "; holding at most " + std::to_string(cap) +
                 " connections from now on, the longest idle making room for new ones");
    DescriptorsOut = true;
    ShedLongestIdle();
    return PauseAccepting(listener, std::chrono::milliseconds(100));
  }
  DescriptorsOut = false;
  if (!error) {
    auto session = std::make_shared<TSession>(*this, std::move(socket));
#if ISAPI_HOST_TLS
    if (listener.Tls)
      session->UseTls(*Options.TlsContext);
#endif
    session->Start();
  }
  Accept(listener);
}

void THttpServer::TImpl::PauseAccepting(TListener& listener, std::chrono::milliseconds time) {
  listener.Pause->expires_after(time);
  listener.Pause->async_wait([this, &listener](error_code error) {
    if (error)
      return;
    HoldSpareDescriptors(true);
    Accept(listener);
  });
}

bool THttpServer::TImpl::ShedLongestIdle() {
  std::shared_ptr<TSession> victim;
  {
    std::lock_guard lock(StateMutex);
    std::int64_t oldest = TSession::Busy;
    for (TSession* session : Sessions) {
      const std::int64_t since = session->IdleSince();
      if (since < oldest && !session->Claimed()) {
        std::shared_ptr<TSession> alive =
            std::static_pointer_cast<TSession>(session->weak_from_this().lock());
        if (alive) {
          oldest = since;
          victim = std::move(alive);
        }
      }
    }
  }
  if (!victim || !victim->ClaimForShedding())
    return false;
  {
    std::lock_guard lock(StateMutex);
    ++Shedding;
  }
  victim->Post(&TSession::Shed);
  return true;
}

void THttpServer::TImpl::SessionEnded() {
  std::lock_guard lock(StateMutex);
  if (Stopping)
    return;
  for (TListener& listener : Listeners) {
    if (std::exchange(listener.Paused, false))
      net::post(*Loops[0], [this, &listener] { Accept(listener); });
  }
}

bool THttpServer::TImpl::Listen(const std::string& address, unsigned short port, bool tls,
                                std::string& error) {
  error_code code;
  const net::ip::address ip = net::ip::make_address(address, code);
  if (code) {
    error = "invalid listen address " + address;
    return false;
  }
  TListener listener;
  listener.Acceptor = std::make_unique<tcp::acceptor>(*Loops[0]);
  listener.Pause = std::make_unique<TTimer>(Loops[0]->get_executor());
  listener.Tls = tls;
  const tcp::endpoint endpoint(ip, port);
  listener.Acceptor->open(endpoint.protocol(), code);
  if (!code)
    listener.Acceptor->set_option(net::socket_base::reuse_address(true), code);
  if (!code)
    listener.Acceptor->bind(endpoint, code);
  if (!code)
    listener.Acceptor->listen(net::socket_base::max_listen_connections, code);
  if (code) {
    error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + code.message();
    return false;
  }
  Listeners.push_back(std::move(listener));
  return true;
}

void THttpServer::TImpl::PostToSessions(void (TSession::*member)()) {
  std::lock_guard lock(StateMutex);
  for (TSession* session : Sessions) {
    std::shared_ptr<TSession> alive =
        std::static_pointer_cast<TSession>(session->weak_from_this().lock());
    if (alive)
      alive->Post(member);
  }
}

THttpServer::THttpServer(std::unique_ptr<TImpl> impl) : FImpl(std::move(impl)) {}

THttpServer::~THttpServer() = default;

std::unique_ptr<THttpServer> THttpServer::Create(const TServerOptions& options,
                                                 std::string& error) {
  auto impl = std::make_unique<TImpl>();
  impl->Options = options;
  impl->Limits = TTransferLimits{options.ConnectionTimeout, options.MinBytesPerSecond};
  for (unsigned i = 0; i < std::max(1u, options.Threads); ++i)
    impl->Loops.push_back(std::make_unique<net::io_context>());
  impl->ConnectionCap = std::max<std::size_t>(1, options.MaxConnections);
  for (const TMapping& mapping : options.Mappings)
    impl->Prefixes.push_back(mapping.Prefix);
  impl->Router = [server = impl.get()](std::string_view path) -> std::optional<TRoute> {
    std::optional<TMapMatch> match = MatchMapping(server->Prefixes, path);
    if (!match)
      return std::nullopt;
    return TRoute{server->Options.Mappings[match->Index].Extension, std::move(match->ScriptName),
                  std::move(match->PathInfo)};
  };
  if (!impl->Listen(options.Address, options.Port, false, error))
    return nullptr;
  if (options.TlsContext && !impl->Listen(options.TlsAddress, options.TlsPort, true, error))
    return nullptr;
  return std::unique_ptr<THttpServer>(new THttpServer(std::move(impl)));
}

void THttpServer::SetAccessLog(TAccessLog* log) {
  FImpl->Options.AccessLog = log;
}

std::string THttpServer::Url(bool tls) const {
  for (const TImpl::TListener& listener : FImpl->Listeners) {
    if (listener.Tls != tls)
      continue;
    error_code ignored;
    const tcp::endpoint endpoint = listener.Acceptor->local_endpoint(ignored);
    std::string host = endpoint.address().to_string();
    if (endpoint.address().is_v6())
      host = "[" + host + "]";
    return (tls ? "https://" : "http://") + host + ":" + std::to_string(endpoint.port()) + "/";
  }
  return {};
}

TRunEnd THttpServer::Run() {
  TImpl& impl = *FImpl;
  // Before the first connection: a stop that comes while the threads start is kept, not fatal.
  CatchStopSignals();
  ExtensionThreads().Configure(impl.Options.MaxThreads, impl.Options.ExtensionQueueLength);
  HoldSpareDescriptors(true);
  for (TImpl::TListener& listener : impl.Listeners)
    impl.Accept(listener);
  std::vector<std::function<bool()>> lanes;
  // The loops must not run out of work while the acceptor is closed and sessions drain.
  std::vector<net::executor_work_guard<net::io_context::executor_type>> work;
  for (const auto& loop : impl.Loops) {
    // A thread whose lane was handed over leaves RunLoop by an exception after the handler that
    // held it (see TSession::Serialized); the loop itself goes on, as Asio allows.
    lanes.push_back([loop = loop.get()] {
      RunLoop(*loop);
      return false;
    });
    work.push_back(net::make_work_guard(*loop));
  }
  TThreadGroup threads(std::move(lanes));
  threads.Start();
  // On this thread, which no extension call ever holds.
  WaitForStopSignal();

  // Everything below runs on this thread, which never calls an extension but
  // TerminateExtension, and within a deadline that ends the process if anything holds it.
  const auto shutdownStarted = std::chrono::steady_clock::now();
  const auto stopBy = shutdownStarted + impl.Options.ShutdownTimeout + ShutdownGrace;
  std::vector<TExtension*> extensions;
  for (const TMapping& mapping : impl.Options.Mappings)
    extensions.push_back(mapping.Extension);
  TShutdownDeadline deadline;
  deadline.Arm(stopBy, [&extensions] {
    if (const unsigned inside = ExtensionThreads().Inside(); inside != 0)
      Diagnostic(AbandonedCalls(inside));
    ReportExtensionsHeld(extensions);
  });
  // Stopping first: a request read once the line is out must already be answered as the last
  // of its connection.
  impl.Stopping = true;
  Diagnostic("shutting down: no new connections, draining requests in flight");
  net::post(*impl.Loops[0], [&impl] {
    error_code ignored;
    for (TImpl::TListener& listener : impl.Listeners)
      listener.Acceptor->close(ignored);
  });
  impl.PostToSessions(&TSession::Shutdown);
  if (!impl.WaitDrained(shutdownStarted + impl.Options.ShutdownTimeout)) {
    impl.Refusing = true;
    impl.PostToSessions(&TSession::StopReadingBody);
    ExtensionThreads().RefuseWaiting();
    // Every request still live is answered 503 (or its connection closed, when part of its
    // answer went out), and the loops send the pages: this thread waits until each has gone,
    // as long as the deadline leaves time for what follows. A request whose lock a blocked
    // write holds is tried again until that write gives up, which the shutdown makes it do.
    const auto pagesBy = stopBy - ShutdownWrapUp - LeastReturnTime;
    std::vector<std::shared_ptr<TRequest>> left = LiveRequests();
    for (;;) {
      std::erase_if(left, [](const std::shared_ptr<TRequest>& request) {
        if (request->Ended())
          return true;
        if (!request->Expire(503, "The server shut down before the request finished.", false,
                             false))
          return false;
        Diagnostic("shutdown: a request did not finish in time and was answered 503");
        return true;
      });
      const auto now = std::chrono::steady_clock::now();
      if (left.empty() || now >= pagesBy ||
          impl.WaitDrained(std::min(pagesBy, now + std::chrono::milliseconds(5))))
        break;
    }
    impl.WaitDrained(pagesBy);
  }
  // A call whose request has just been answered (a read the shutdown interrupted) is given a
  // moment to return; calls still inside an extension then are abandoned.
  const auto outBy =
      std::min(std::chrono::steady_clock::now() + ReturnTime, stopBy - ShutdownWrapUp);
  while (ExtensionThreads().Inside() != 0 && std::chrono::steady_clock::now() < outBy)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const unsigned abandoned = ExtensionThreads().Inside();
  const bool completionsReturned =
      StopCompletionThreads(abandoned == 0 ? std::chrono::seconds(1) : std::chrono::seconds(0));
  const bool terminated = TerminateExtensionsLeftAlone(extensions);
  work.clear();
  for (const auto& loop : impl.Loops)
    loop->stop();
  const bool joined = threads.Join(std::chrono::milliseconds(500));
  const bool returned = WaitForCallbacksToReturn(std::chrono::milliseconds(500));
  deadline.Disarm();
  return TRunEnd{abandoned, joined && returned && completionsReturned && terminated};
}

} // namespace isapi_web::host
