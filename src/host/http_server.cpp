#include "host/http_server.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <utility>

// The host's headers come before Asio's: on Windows Asio brings in the system headers, whose
// error-code macros would otherwise rewrite the constants of the ISAPI header.
#include "host/access_log.h"
#include "host/bridge.h"
#include "host/extension.h"
#include "host/extension_threads.h"
#include "host/host_system.h"
#include "host/host_text.h"
#include "host/request_feed.h"
#include "host/request_reader.h"
#include "host/shutdown_deadline.h"
#include "host/static_files.h"
#include "host/thread_group.h"
#include "host/transfer_clock.h"
#include "host/url_path.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

namespace isapi_web::host {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

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
// How long a closing connection keeps reading what the client still sends, so that the last
// answer is not lost to a reset.
constexpr auto LingerTime = std::chrono::seconds(2);
// The system's send buffer of a connection (it doubles it for its own bookkeeping).
constexpr int SendBufferSize = 128 * 1024;

std::string HostWithoutPort(std::string_view host) {
  if (!host.empty() && host.front() == '[') {
    const std::size_t close = host.find(']');
    return std::string(host.substr(0, close == std::string_view::npos ? host.size() : close + 1));
  }
  return std::string(host.substr(0, host.find(':')));
}

// Every connection's socket and timers run on its loop's own executor: no strand and no
// type-erased executor between a completion and its handler (see TSession::Serialized).
using TLoopExecutor = net::io_context::executor_type;
using TSocket = net::basic_stream_socket<tcp, TLoopExecutor>;
using TTimer =
    net::basic_waitable_timer<std::chrono::steady_clock,
                              net::wait_traits<std::chrono::steady_clock>, TLoopExecutor>;


} // namespace

class TSession;

namespace {
// The session whose handlers the calling thread runs now (see TSession::Serialized).
thread_local TSession* TurnHolder = nullptr;
// How many Serialized calls the calling thread is inside, the extension calls they make included.
thread_local int SerializedDepth = 0;
struct TSerializedDepth {
  TSerializedDepth() { ++SerializedDepth; }
  ~TSerializedDepth() { --SerializedDepth; }
  TSerializedDepth(const TSerializedDepth&) = delete;
  TSerializedDepth& operator=(const TSerializedDepth&) = delete;
};
} // namespace

struct THttpServer::TImpl {
  TServerOptions Options;
  TTransferLimits Limits; ///< from Options
  std::vector<std::string> Prefixes;
  TRouter Router; ///< the mappings, for child requests
  std::atomic<bool> Stopping{false};
  // Set when the drain time has run out: a request whose head was read before the shutdown but
  // which has not reached its extension yet is answered 503 instead.
  std::atomic<bool> Refusing{false};

  std::mutex StateMutex; // guards Sessions and InFlight
  std::condition_variable StateChanged;
  std::set<TSession*> Sessions;
  std::size_t InFlight = 0;

  // Declared last: destroying the loops destroys the sessions their handlers hold, and they
  // unregister themselves from the state above. One loop per thread of the group: a loop run
  // by one thread never hands work across threads, which is most of the cost of a small answer.
  std::vector<std::unique_ptr<net::io_context>> Loops;
  std::size_t NextLoop = 0; // the loop of the next connection; used by the acceptor's handler
  std::unique_ptr<tcp::acceptor> Acceptor;
  std::unique_ptr<TTimer> AcceptPause; // on the first loop, as the acceptor
  bool AcceptPaused = false;           // guarded by StateMutex
  std::size_t ConnectionCap = 0;       // guarded by StateMutex; MaxConnections or what fits
  std::size_t Shedding = 0;            // guarded by StateMutex; sessions asked to close
  bool DescriptorsOut = false;         // the acceptor's own; says so once per shortage

  void Accept();
  void OnAccepted(error_code error, TSocket socket);
  void PauseAccepting(std::chrono::milliseconds time);
  /// Asks the session that has waited longest for a request head to close; false when none does.
  bool ShedLongestIdle();
  /// A session has ended: accepting goes on if it waited for room.
  void SessionEnded();
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
  /// Waits until every request has been answered or its connection closed, at most until by.
  bool WaitDrained(std::chrono::steady_clock::time_point by) {
    std::unique_lock lock(StateMutex);
    return StateChanged.wait_until(lock, by, [this] { return InFlight == 0; });
  }
  /// Runs a member function of every session, each in its turn.
  void PostToSessions(void (TSession::*member)());
};

namespace {
// Says once that the queue of requests for extensions is full, until one is queued again.
std::atomic<bool> QueueFullNoted{false};
} // namespace

// One client connection. Its handlers run one at a time (Serialized); while an extension owns
// the request, only the request (under its lock) writes to the socket, synchronously.
class TSession : public IClientChannel, public std::enable_shared_from_this<TSession> {
public:
  TSession(THttpServer::TImpl& server, TSocket socket)
      : FServer(server), FSocket(std::move(socket)), FTimer(FSocket.get_executor()),
        FPendingTimer(FSocket.get_executor()), FDeadlineTimer(FSocket.get_executor()) {}

  ~TSession() override {
    {
      std::lock_guard lock(FServer.StateMutex);
      FServer.Sessions.erase(this);
      if (FShedding)
        --FServer.Shedding;
    }
    FServer.SessionEnded();
  }

  /// Since when the session has waited for a request head (steady-clock ticks), or Busy.
  std::int64_t IdleSince() const { return FIdleSince.load(std::memory_order_relaxed); }
  static constexpr std::int64_t Busy = std::numeric_limits<std::int64_t>::max();
  /// Claims the session for shedding; false when another shed has it already.
  bool ClaimForShedding() { return !FShedding.exchange(true); }
  bool Claimed() const { return FShedding.load(); }

  // Closes the connection if it still waits for a request head (the host needs its room).
  void Shed() {
    if (!FBusy && !FClosing && !FClosed) {
      error_code ignored;
      FSocket.cancel(ignored);
      Close();
    }
  }

  void Start() {
    {
      std::lock_guard lock(FServer.StateMutex);
      FServer.Sessions.insert(this);
    }
    error_code ignored;
    FSocket.set_option(tcp::no_delay(true), ignored);
    // The system would grow each connection's send buffer to megabytes for a client that reads
    // slowly; a thousand such clients then use up the machine's TCP memory, and every other
    // connection waits on retransmissions. A fixed buffer keeps what a connection holds small.
    FSocket.set_option(net::socket_base::send_buffer_size(SendBufferSize), ignored);
    // Answers are first written straight from the handler that made them; only what the socket
    // does not take at once waits for the loop.
    FSocket.non_blocking(true, ignored);
    const tcp::endpoint local = FSocket.local_endpoint(ignored);
    const tcp::endpoint remote = FSocket.remote_endpoint(ignored);
    FLocalAddress = local.address().to_string();
    FLocalPort = std::to_string(local.port());
    FRemoteAddress = remote.address().to_string();
    FRemotePort = std::to_string(remote.port());
    net::post(FSocket.get_executor(), [self = shared_from_this()] {
      self->Serialized([session = self.get()] { session->ReadHeader(); });
    });
  }

  /// Runs a member function of the session in its turn.
  void Post(void (TSession::*member)()) {
    net::post(FSocket.get_executor(), [self = shared_from_this(), member] {
      self->Serialized([session = self.get(), member] { (session->*member)(); });
    });
  }

  // A connection waiting for its next request closes now.
  void Shutdown() {
    if (!FBusy && !FClosing) {
      error_code ignored;
      FSocket.cancel(ignored);
    }
  }

  // Past the drain time, a request whose body is still arriving stops waiting for it: its read
  // ends and OnRead answers 503.
  void StopReadingBody() {
    if (FBusy && FReadPending && !FRequest && !FClosing) {
      error_code ignored;
      FSocket.cancel(ignored);
    }
  }

  // Runs on the extension's thread while the connection's loop leaves the socket alone. The
  // socket does not block (see Start): the thread waits for room itself, up to the transfer's
  // deadline, so that only this thread waits for a slow client.
  TSendResult SendNow(std::string_view bytes) override {
    // Each call has periods of its own: time the extension spends between writes is not the
    // client's.
    FAnswerClock.Start(std::chrono::steady_clock::now());
    while (!bytes.empty()) {
      error_code error;
      const std::size_t written =
          FSocket.write_some(net::buffer(bytes.data(), bytes.size()), error);
      if (written != 0) {
        bytes.remove_prefix(written);
        FAnswerBytes += written;
        FAnswerClock.Progress(written);
        continue;
      }
      if (error != net::error::would_block && error != net::error::try_again)
        return TSendResult::ClientGone;
      const TSocketWait wait = WaitInPeriods(FAnswerClock, true);
      if (wait == TSocketWait::Failed)
        return TSendResult::ClientGone;
      if (wait == TSocketWait::TimedOut && FWaitCancelled)
        return TSendResult::Cancelled;
      if (wait == TSocketWait::TimedOut) {
        Diagnostic(FReceived.Method + " " + std::string(UriStem()) + ": the client took " +
                   std::to_string(FAnswerBytes) + " bytes of the answer, then " +
                   (FInterrupted ? std::string("the server shut down")
                                 : FAnswerClock.Shortfall(FServer.Limits)) +
                   "; the write failed and the connection closes");
        return TSendResult::TimedOut;
      }
    }
    return TSendResult::Sent;
  }

  // The extension closed the connection (HSE_REQ_CLOSE_CONNECTION): the client sees the end
  // now; the socket itself closes when the request ends, on the connection's loop.
  void CloseNow() override { ShutdownSocket(static_cast<std::uintptr_t>(FSocket.native_handle())); }

  bool PeerConnected() override {
    return !PeerClosed(static_cast<std::uintptr_t>(FSocket.native_handle()));
  }

  // Called with the request's lock held, outside the session's turn: the timer is set in turn.
  void PendingStarted() override {
    net::post(FSocket.get_executor(), [self = shared_from_this(),
                                       at = std::chrono::steady_clock::now()] {
      self->Serialized([session = self.get(), at] { session->OnPendingStarted(at); });
    });
  }

  void OnPendingStarted(std::chrono::steady_clock::time_point at) {
    if (!FRequest || FRequest->Ended())
      return; // it has ended already
    // One timer per connection, armed at most once per time limit: a pending request only
    // notes its deadline, and a timer that fires early waits again for the rest.
    FPendingDeadline = at + FServer.Options.PendingTimeout;
    FPendingActive = true;
    if (!FPendingTimerArmed)
      ArmPendingTimer();
  }

  void RequestEnded(std::shared_ptr<IClientChannel> self, TRequestOutcome outcome,
                    bool onOwnerThread) override {
    if (onOwnerThread && TurnHolder == this) {
      OnRequestEnded(std::move(outcome));
      return;
    }
    // A call that ran on the loop's thread (the fast path) answers there, in the session's turn.
    if (onOwnerThread && FSocket.get_executor().running_in_this_thread()) {
      Serialized([session = this, outcome = std::move(outcome)]() mutable {
        session->OnRequestEnded(std::move(outcome));
      });
      return;
    }
    // The handler owns the caller's reference: the session is released on its own loop.
    net::post(FSocket.get_executor(), [self = std::static_pointer_cast<TSession>(std::move(self)),
                                       outcome = std::move(outcome)]() mutable {
      self->Serialized([session = self.get(), outcome = std::move(outcome)]() mutable {
        session->OnRequestEnded(std::move(outcome));
      });
    });
  }

  // The extension's asynchronous operations: started from any thread, run on the loop.
  void SendLater(std::vector<TSendPiece> pieces, TSendDone done) override {
    net::post(FSocket.get_executor(), [self = shared_from_this(), pieces = std::move(pieces),
                                       done = std::move(done)]() mutable {
      self->Serialized([session = self.get(), pieces = std::move(pieces),
                        done = std::move(done)]() mutable {
        session->StartAsyncSend(std::move(pieces), std::move(done));
      });
    });
  }

  void ReceiveLater(void* buffer, std::size_t size, TReceiveDone done) override {
    net::post(FSocket.get_executor(),
              [self = shared_from_this(), buffer, size, done = std::move(done)]() mutable {
                self->Serialized([session = self.get(), buffer, size,
                                  done = std::move(done)]() mutable {
                  session->StartAsyncReceive(buffer, size, std::move(done));
                });
              });
  }

  void CancelLater() override {
    FCancelWait = true; // a synchronous wait standing in for the operation sees it
    net::post(FSocket.get_executor(), [self = shared_from_this()] {
      self->Serialized([session = self.get()] {
        if (!session->FAsyncSend && !session->FAsyncReceive)
          return;
        session->FAsyncCancelled = true;
        error_code ignored;
        session->FSocket.cancel(ignored);
      });
    });
  }

  void ClearCancel() override { FCancelWait = false; }

private:
  // An asynchronous send: its pieces in order, a file's range read a piece at a time into Hand.
  struct TAsyncSend {
    std::vector<TSendPiece> Pieces;
    std::size_t Next = 0;
    HANDLE File = nullptr;
    std::uint64_t FileOffset = 0;
    std::uint64_t FileLeft = 0;
    std::string Hand;
    std::size_t HandOffset = 0;
    TSendDone Done;
  };

  void StartAsyncSend(std::vector<TSendPiece> pieces, TSendDone done) {
    FAsyncSend = std::make_unique<TAsyncSend>();
    FAsyncSend->Pieces = std::move(pieces);
    FAsyncSend->Done = std::move(done);
    FAsyncCancelled = false;
    FAsyncTimedOut = false;
    FWriteClock.Start(std::chrono::steady_clock::now());
    if (FClosed)
      return EndAsyncSend(TSendResult::ClientGone);
    KeepDeadline();
    ContinueAsyncSend();
  }

  void ContinueAsyncSend() {
    TAsyncSend& send = *FAsyncSend;
    for (;;) {
      if (FAsyncCancelled)
        return EndAsyncSend(TSendResult::Cancelled);
      if (send.HandOffset < send.Hand.size()) {
        FSocket.async_write_some(
            net::buffer(send.Hand) + send.HandOffset,
            [self = shared_from_this()](error_code error, std::size_t bytes) {
              self->Serialized(
                  [session = self.get(), error, bytes] { session->OnAsyncWritten(error, bytes); });
            });
        return;
      }
      if (send.FileLeft > 0) {
        const std::size_t wanted =
            static_cast<std::size_t>(std::min<std::uint64_t>(send.FileLeft, FilePiece));
        send.Hand.resize(wanted);
        const std::int64_t got =
            ReadExtensionFile(send.File, send.FileOffset, send.Hand.data(), wanted);
        if (got <= 0)
          return EndAsyncSend(TSendResult::FileFailed);
        send.Hand.resize(static_cast<std::size_t>(got));
        send.HandOffset = 0;
        send.FileOffset += static_cast<std::uint64_t>(got);
        send.FileLeft -= static_cast<std::uint64_t>(got);
        continue;
      }
      if (send.Next == send.Pieces.size())
        return EndAsyncSend(TSendResult::Sent);
      TSendPiece& piece = send.Pieces[send.Next++];
      if (piece.File != nullptr) {
        send.File = piece.File;
        send.FileOffset = piece.Offset;
        send.FileLeft = piece.Length;
      } else {
        send.Hand = std::move(piece.Bytes);
        send.HandOffset = 0;
      }
    }
  }

  void OnAsyncWritten(error_code error, std::size_t bytes) {
    FAsyncSend->HandOffset += bytes;
    FWriteClock.Progress(bytes);
    FAnswerBytes += bytes;
    if (!error)
      return ContinueAsyncSend();
    if (FAsyncTimedOut) {
      Diagnostic(FReceived.Method + " " + std::string(UriStem()) + ": the client took " +
                 std::to_string(FAnswerBytes) + " bytes of the answer, then " +
                 FWriteClock.Shortfall(FServer.Limits) +
                 "; the asynchronous write failed and the connection closes");
      return EndAsyncSend(TSendResult::TimedOut);
    }
    EndAsyncSend(FAsyncCancelled ? TSendResult::Cancelled : TSendResult::ClientGone);
  }

  void EndAsyncSend(TSendResult result) {
    const TSendDone done = std::move(FAsyncSend->Done);
    FAsyncSend.reset();
    AsyncProgress();
    done(result);
  }

  // A pending request that keeps moving bytes is not one that forgot to end.
  void AsyncProgress() {
    if (FPendingActive)
      FPendingDeadline = std::chrono::steady_clock::now() + FServer.Options.PendingTimeout;
  }

  struct TAsyncReceive {
    TReceiveDone Done;
    std::size_t Room = 0; // the extension's buffer
  };

  void StartAsyncReceive(void* buffer, std::size_t size, TReceiveDone done) {
    FAsyncReceive = std::make_unique<TAsyncReceive>();
    FAsyncReceive->Done = std::move(done);
    FAsyncReceive->Room = size;
    FAsyncCancelled = false;
    FAsyncTimedOut = false;
    FBodyClock.Start(std::chrono::steady_clock::now());
    FReader->SetTarget(static_cast<char*>(buffer), size);
    if (FClosed)
      return EndAsyncReceive(TReceiveResult::ClientGone);
    KeepDeadline();
    ContinueAsyncReceive();
  }

  void ContinueAsyncReceive() {
    for (;;) {
      if (FAsyncCancelled)
        return EndAsyncReceive(TReceiveResult::Cancelled);
      std::size_t received = 0;
      bool framingOnly = false;
      if (const std::optional<TReceiveResult> result = TakeBufferedBody(received, framingOnly))
        return EndAsyncReceive(*result);
      if (!framingOnly)
        break;
    }
    // As much as the extension asked for, up to a bound: each read is a completion, and a
    // completion is two hand-overs between threads.
    const std::size_t size = std::clamp<std::size_t>(FAsyncReceive->Room, 512, 65536);
    FSocket.async_read_some(
        FBuffer.prepare(size), [self = shared_from_this()](error_code error, std::size_t bytes) {
          self->Serialized(
              [session = self.get(), error, bytes] { session->OnAsyncRead(error, bytes); });
        });
  }

  void OnAsyncRead(error_code error, std::size_t bytes) {
    FBuffer.commit(bytes);
    if (bytes != 0) {
      FBodyClock.Progress(bytes);
      return ContinueAsyncReceive();
    }
    if (FAsyncTimedOut) {
      Diagnostic(FReceived.Method + " " + std::string(UriStem()) + ": the client sent part of " +
                 "the body, then " + FBodyClock.Shortfall(FServer.Limits) +
                 "; the asynchronous read failed and the connection closes");
      return EndAsyncReceive(TReceiveResult::TimedOut);
    }
    if (FAsyncCancelled)
      return EndAsyncReceive(TReceiveResult::Cancelled);
    (void)error; // the end of the stream, or a failure, cuts the body short alike
    EndAsyncReceive(TReceiveResult::ClientGone);
  }

  void EndAsyncReceive(TReceiveResult result) {
    const std::size_t received = FReader->Taken();
    FReader->SetTarget(nullptr, 0);
    const TReceiveDone done = std::move(FAsyncReceive->Done);
    FAsyncReceive.reset();
    AsyncProgress();
    done(result, received);
  }

  // Runs body now unless another thread runs one of this connection's handlers, in which case
  // that thread runs it next. A loop normally has one thread and body always runs at once; the
  // thread group adds threads to a loop whose threads are held by an extension, and then two
  // completions of one connection can meet.
  // A call of the extension that a handler chose to make on this thread (FInlineCall) is made
  // once the turn is given back: while it runs, the connection's loop (handed to another thread
  // if the call blocks) carries the extension's asynchronous operations.
  template <typename TBody> void Serialized(TBody&& body) {
    {
      std::lock_guard lock(FTurnMutex);
      if (FTurnTaken) {
        FWaiting.emplace_back(
            [self = shared_from_this(), body = std::forward<TBody>(body)]() mutable { body(); });
        return;
      }
      FTurnTaken = true;
    }
    const TSerializedDepth depth;
    TSession* const outer = std::exchange(TurnHolder, this);
    body();
    std::shared_ptr<TRequest> call;
    for (;;) {
      std::function<void()> next;
      {
        std::lock_guard lock(FTurnMutex);
        if (FWaiting.empty()) {
          FTurnTaken = false;
          call = std::move(FInlineCall);
          break;
        }
        next = std::move(FWaiting.front());
        FWaiting.erase(FWaiting.begin());
      }
      next();
    }
    TurnHolder = outer;
    if (call) {
      call->Run();
      ExtensionThreads().LeaveInline();
      // A loop's thread held in that call has lost its loop to a fresh thread: it leaves the
      // loop's run here, between two handlers, as its lane wants.
      if (SerializedDepth == 1)
        LeaveLaneIfHandedOver();
    }
  }

  void ReadHeader() {
    FBusy = false;
    if (FServer.Stopping)
      return GracefulClose();
    FReader.emplace(FReceived, FServer.Options.MaxRequestBody);
    FHeaderDone = false;
    FAskedForMore = false;
    const auto now = std::chrono::steady_clock::now();
    FIdleSince.store(now.time_since_epoch().count(), std::memory_order_relaxed);
    FWaitingSince = now;
    FHeadStarted = false;
    FTimedOut = false;
    if (FBuffer.size() != 0)
      StartHead(now);
    KeepDeadline();
    // The next request is read from a handler of its own, after the other connections' handlers
    // that are ready now: by then the client has usually sent it, and the read that the loop
    // tries at once finds it instead of costing a call that finds nothing. Bytes of a pipelined
    // request that are already here are parsed there too, which keeps a long pipeline from
    // nesting one answer inside the other.
    net::post(FSocket.get_executor(), [self = shared_from_this()] {
      self->Serialized([session = self.get()] { session->Parse(); });
    });
  }

  void ReadMore() {
    // The shutdown may have looked for idle connections while this one was between requests.
    if (!FBusy && FServer.Stopping)
      return GracefulClose();
    if (FTimedOut)
      return OnTimedOut();
    const std::size_t size = std::min<std::size_t>(
        std::max<std::size_t>(512, FBuffer.capacity() - FBuffer.size()), 65536);
    FReadPending = true;
    FSocket.async_read_some(
        FBuffer.prepare(size), [self = shared_from_this()](error_code error, std::size_t bytes) {
          self->Serialized([session = self.get(), error, bytes] { session->OnRead(error, bytes); });
        });
  }

  void OnRead(error_code error, std::size_t bytes) {
    FReadPending = false;
    FBuffer.commit(bytes);
    if (FBusy && FServer.Refusing)
      return RefuseAtShutdown();
    if (FTimedOut)
      return OnTimedOut();
    if (bytes != 0 && !FBusy && !FHeadStarted) {
      StartHead(std::chrono::steady_clock::now());
      KeepDeadline();
    }
    if (error == net::error::eof) {
      // The end of the stream completes a message that only the end delimits, and cuts
      // short any other that has begun.
      if (!FReader->got_some())
        return OnReadError(http::error::end_of_stream);
      error = {};
      FReader->put_eof(error);
      if (error)
        return OnReadError(error);
      return OnMessage();
    }
    if (error)
      return OnReadError(error);
    Parse();
  }

  // Feeds the parser what is buffered; reads more when it needs more.
  // The request starts once its body is complete or fills the read-ahead; the rest of a larger
  // body stays in the connection until the extension's ReadClient asks for it.
  void Parse() {
    while (ReadyToParse(*FReader, FBuffer.size(), FAskedForMore)) {
      error_code error;
      const std::size_t used = FReader->put(FBuffer.data(), error);
      FBuffer.consume(used);
      if (FHeaderDone && used != 0)
        FBodyClock.Progress(used);
      FAskedForMore = error == http::error::need_more;
      if (FAskedForMore)
        break;
      const bool full = error == http::error::need_buffer;
      if (full)
        error = {};
      if (error)
        return OnReadError(error);
      if (!FHeaderDone && FReader->is_header_done()) {
        FHeaderDone = true;
        if (!OnHeader())
          return;
      }
      if (FReader->is_done() || full)
        return OnMessage();
    }
    if (FHeaderDone && FReceived.Body.size() >= MaxPreloadedBody)
      return OnMessage();
    ReadMore();
  }

  // Runs on the extension's thread, inside ReadClient, while the connection's loop leaves the
  // socket alone (no read is pending while a request runs).
  // Waits on the extension's thread until the socket is ready, period after period while the
  // transfer keeps its pace; TimedOut when a period fell short.
  // Once the drain time has run out, a transfer that still waits is given a second more, so
  // that the shutdown can answer its request; Interrupted tells that it ended so.
  TSocketWait WaitInPeriods(TTransferClock& clock, bool forWriting) {
    constexpr auto Slice = std::chrono::milliseconds(250); // how soon a shutdown is seen
    std::optional<std::chrono::steady_clock::time_point> stopAt;
    FInterrupted = false;
    FWaitCancelled = false;
    for (;;) {
      if (FCancelWait.load()) {
        FWaitCancelled = true;
        return TSocketWait::TimedOut;
      }
      const auto deadline = clock.Deadline(FServer.Limits);
      const auto now = std::chrono::steady_clock::now();
      if (FServer.Refusing && !stopAt)
        stopAt = now + std::chrono::seconds(1);
      if (stopAt && now >= *stopAt) {
        FInterrupted = true;
        return TSocketWait::TimedOut;
      }
      if (now >= deadline) {
        if (!clock.Renew(now, FServer.Limits))
          return TSocketWait::TimedOut;
        continue;
      }
      const auto wait = std::min<std::chrono::steady_clock::duration>(deadline - now, Slice);
      const TSocketWait result = WaitForSocket(
          FSocket.native_handle(), forWriting, std::chrono::ceil<std::chrono::milliseconds>(wait));
      if (result != TSocketWait::TimedOut)
        return result;
    }
  }

  TReceiveResult ReceiveBody(void* buffer, std::size_t size, std::size_t& received) override {
    received = 0;
    FBodyClock.Start(std::chrono::steady_clock::now());
    FReader->SetTarget(static_cast<char*>(buffer), size);
    const TReceiveResult result = ReceiveBodyInto(received);
    FReader->SetTarget(nullptr, 0);
    return result;
  }

  // The body bytes already buffered, into the reader's target: a result when the read can end
  // with them, nullopt when more must come from the socket, or (framingOnly) be parsed again.
  std::optional<TReceiveResult> TakeBufferedBody(std::size_t& received, bool& framingOnly) {
    framingOnly = false;
    if (FReader->is_done())
      return TReceiveResult::End;
    if (!ReadyToParse(*FReader, FBuffer.size(), FAskedForMore))
      return std::nullopt;
    error_code error;
    const std::size_t used = FReader->put(FBuffer.data(), error);
    FBuffer.consume(used);
    received = FReader->Taken();
    FAskedForMore = error == http::error::need_more;
    if (error == http::error::body_limit)
      return TReceiveResult::TooLarge;
    if (error && !FAskedForMore && error != http::error::need_buffer)
      return TReceiveResult::ClientGone; // a malformed chunk: nothing more can be read
    if (received != 0)
      return TReceiveResult::Received;
    framingOnly = !FAskedForMore && used != 0; // such as a chunk's size line
    return std::nullopt;
  }

  TReceiveResult ReceiveBodyInto(std::size_t& received) {
    for (;;) {
      bool framingOnly = false;
      if (const std::optional<TReceiveResult> result = TakeBufferedBody(received, framingOnly))
        return *result;
      if (framingOnly)
        continue;
      // Nothing to hand over yet: wait for the client, up to the body's deadline.
      error_code error;
      const std::size_t size = std::min<std::size_t>(
          std::max<std::size_t>(512, FBuffer.capacity() - FBuffer.size()), 65536);
      const std::size_t bytes = FSocket.read_some(FBuffer.prepare(size), error);
      FBuffer.commit(bytes);
      if (bytes != 0) {
        FBodyClock.Progress(bytes);
        continue;
      }
      if (error != net::error::would_block && error != net::error::try_again)
        return TReceiveResult::ClientGone; // the end of the stream cuts the body short
      const TSocketWait wait = WaitInPeriods(FBodyClock, false);
      if (wait == TSocketWait::Failed)
        return TReceiveResult::ClientGone;
      if (wait == TSocketWait::TimedOut && FInterrupted)
        return TReceiveResult::Interrupted;
      if (wait == TSocketWait::TimedOut && FWaitCancelled)
        return TReceiveResult::Cancelled;
      if (wait == TSocketWait::TimedOut) {
        Diagnostic(FReceived.Method + " " + std::string(UriStem()) + ": the client sent " +
                   "part of the body, then " + FBodyClock.Shortfall(FServer.Limits) +
                   "; the read failed and the connection closes");
        return TReceiveResult::TimedOut;
      }
    }
  }

  // The head is in: the request counts from now on. False when the body must wait for an
  // interim answer.
  bool OnHeader() {
    FBusy = true;
    FIdleSince.store(Busy, std::memory_order_relaxed);
    FServer.BeginRequest();
    FBodyClock.Start(std::chrono::steady_clock::now());
    KeepDeadline();
    if (FServer.Options.AccessLog != nullptr)
      FStarted = std::chrono::steady_clock::now();
    if (FReader->is_done())
      return true;
    FReader->eager(true);
    const TReceivedField* expect = FReceived.Find(http::field::expect);
    if (expect == nullptr || !EqualsIgnoreCase(expect->Value, "100-continue"))
      return true;
    static constexpr std::string_view Continue = "HTTP/1.1 100 Continue\r\n\r\n";
    net::async_write(FSocket, net::buffer(Continue.data(), Continue.size()),
                     [self = shared_from_this()](error_code writeError, std::size_t) {
                       self->Serialized([session = self.get(), writeError] {
                         if (writeError)
                           return session->Abort();
                         session->Parse();
                       });
                     });
    return false;
  }

  void OnReadError(error_code error) {
    const bool counted = FBusy;
    if (!counted) {
      FBusy = true;
      FServer.BeginRequest();
      if (FServer.Options.AccessLog != nullptr)
        FStarted = std::chrono::steady_clock::now();
    }
    if (error == http::error::header_limit)
      return AnswerPage(431, "431 Request Header Fields Too Large",
                        "The request's header fields exceed 16384 bytes.");
    if (error == http::error::body_limit)
      return AnswerPage(413, "413 Payload Too Large",
                        "The request's body exceeds " +
                            std::to_string(FServer.Options.MaxRequestBody) + " bytes.");
    const bool nothingRead = error == http::error::end_of_stream || error == net::error::eof ||
                             error == net::error::operation_aborted ||
                             error == net::error::connection_reset;
    if (nothingRead || (error == http::error::partial_message && !counted)) {
      FServer.EndRequest();
      return Close();
    }
    const std::string_view problem = FReader ? FReader->FramingProblem() : std::string_view();
    AnswerPage(400, "400 Bad Request",
               problem.empty() ? std::string_view("The request could not be read.") : problem);
  }

  void Abort() {
    FServer.EndRequest();
    Close();
  }

  // A page of the host's own that ends the connection (the request could not be read).
  void AnswerPage(unsigned status, std::string_view statusText, std::string_view message) {
    FStatus = status;
    if (FServer.Options.AccessLog != nullptr)
      StartLogEntry(nullptr);
    Answer(ComposePage(statusText, {}, ErrorPageBody(statusText, HtmlEscape(message)),
                       TConnectionState{false, false}, false),
           false);
  }

  // A request whose head was read but whose body had not all come when the drain time ran out.
  void RefuseAtShutdown() {
    ParseRequestTarget(FReceived.Target, FTarget);
    if (FServer.Options.AccessLog != nullptr)
      StartLogEntry(&FReceived);
    AnswerShutdown503("was still receiving its body");
  }

  // The URL path as the log and the diagnostics name it: as sent.
  std::string_view UriStem() const {
    return FTarget.Valid ? std::string_view(FTarget.RawPath) : std::string_view(FReceived.Target);
  }

  // The access log's fields of this request (null: one the host could not read); only filled
  // in when there is a log.
  void StartLogEntry(const TReceivedRequest* request) {
    FLog.ExtensionLogData.clear();
    FLog.UserAgent.clear();
    FLog.Referer.clear();
    if (request == nullptr) {
      FLog.ServerIp.clear();
      FLog.ServerPort.clear();
      FLog.ClientIp.clear();
      FLog.Method = "-";
      FLog.UriStem.clear();
      FLog.UriQuery.clear();
      return;
    }
    FLog.ServerIp = FLocalAddress;
    FLog.ServerPort = FLocalPort;
    FLog.ClientIp = FRemoteAddress;
    FLog.Method = request->Method;
    FLog.UriStem = UriStem();
    FLog.UriQuery = FTarget.Query;
    if (const TReceivedField* field = request->Find(http::field::user_agent))
      FLog.UserAgent = field->Value;
    if (const TReceivedField* field = request->Find(http::field::referer))
      FLog.Referer = field->Value;
  }

  void OnMessage() {
    FAnswerBytes = 0;
    const TReceivedRequest& request = FReceived;
    const bool http10 = request.Version == 10;
    const bool headOnly = request.Verb == http::verb::head;
    const bool keepAlive = request.KeepAlive() && !FServer.Stopping;
    const TConnectionState connection{keepAlive, http10};
    ParseRequestTarget(request.Target, FTarget);

    if (FServer.Options.AccessLog != nullptr)
      StartLogEntry(&request);

    if (!FTarget.Valid) {
      FStatus = 400;
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
      FStatus = 503;
      return Answer(
          ComposePage("503 Service Unavailable", {},
                      ErrorPageBody("503 Service Unavailable", "The server is shutting down."),
                      TConnectionState{false, http10}, headOnly),
          false);
    }
    std::optional<TMapMatch> match = MatchMapping(FServer.Prefixes, FTarget.Path);
    if (!match) {
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
      const bool keep = keepAlive && FReader->is_done();
      std::string bytes =
          ComposeHead(answer.StatusText, answer.Fields, TConnectionState{keep, http10});
      FStatus = answer.Status;
      if (headOnly)
        return Answer(std::move(bytes), keep);
      bytes += answer.Body;
      // The file follows the head in pieces, each read when the one before has gone out.
      if (answer.File && answer.Length != 0) {
        FFile = std::move(answer.File);
        FFileLeft = answer.Length;
      }
      return Answer(std::move(bytes), keep);
    }

    TRequestSetup setup;
    TRequestInfo& info = setup.Info;
    info.Method = request.Method;
    info.Protocol = http10 ? "HTTP/1.0" : "HTTP/1.1";
    info.ScriptName = std::move(match->ScriptName);
    info.PathInfo = std::move(match->PathInfo);
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
    setup.HeadOnly = headOnly;
    setup.Connection = connection;
    setup.Root = FServer.Options.Root ? &*FServer.Options.Root : nullptr;
    setup.Router = &FServer.Router;

    FRequest = TRequest::Create(*FServer.Options.Mappings[match->Index].Extension, std::move(setup),
                                shared_from_this());
    // A free place: the call runs on this thread as soon as the turn is given back. Otherwise
    // the request waits for an extension thread, or, when too many wait already, is refused.
    if (ExtensionThreads().EnterInline()) {
      FInlineCall = FRequest;
      return;
    }
    const bool queued = ExtensionThreads().Submit(
        [request = FRequest] { request->Run(); },
        [self = shared_from_this()] { self->Post(&TSession::RefuseQueued); });
    if (queued) {
      QueueFullNoted = false;
      return;
    }
    FRequest->Withdraw();
    FRequest.reset();
    if (!QueueFullNoted.exchange(true))
      Diagnostic("every extension thread is busy and the queue of requests waiting for one is "
                 "full: new requests for extensions are answered 503 until one is free");
    FStatus = 503;
    Answer(ComposePage("503 Service Unavailable", {},
                       ErrorPageBody("503 Service Unavailable",
                                     "The server is too busy to take the request."),
                       TConnectionState{false, http10}, headOnly),
           false);
  }

  // A request that waited for an extension thread until the shutdown's drain time ran out.
  void RefuseQueued() {
    // The shutdown may have expired it meanwhile: that answer is on its way.
    if (!FRequest || !FRequest->Withdraw())
      return;
    FRequest.reset();
    AnswerShutdown503("was still waiting for an extension thread");
  }

  // The shutdown's 503 page, as the last answer of the connection, with its stderr line.
  void AnswerShutdown503(const std::string& why) {
    Diagnostic("shutdown: " + FReceived.Method + " " + std::string(UriStem()) + " " + why +
               " and was answered 503");
    FStatus = 503;
    Answer(ComposePage("503 Service Unavailable", {},
                       ErrorPageBody("503 Service Unavailable", "The server is shutting down."),
                       TConnectionState{false, FReceived.Version == 10},
                       FReceived.Verb == http::verb::head),
           false);
  }

  void ArmPendingTimer() {
    FPendingTimerArmed = true;
    FPendingTimer.expires_at(FPendingDeadline);
    FPendingTimer.async_wait([self = shared_from_this()](error_code error) {
      self->Serialized([session = self.get(), error] { session->OnPendingTimer(error); });
    });
  }

  void OnPendingTimer(error_code error) {
    FPendingTimerArmed = false;
    if (error || FClosed || !FPendingActive)
      return;
    if (std::chrono::steady_clock::now() < FPendingDeadline)
      return ArmPendingTimer(); // a later request's deadline
    const std::shared_ptr<TRequest> pending = FRequest;
    if (!pending)
      return;
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(FServer.Options.PendingTimeout);
    // A thread of the extension blocked in a write holds the request; this loop does not wait
    // for it, and looks again a second later.
    if (!pending->Expire(500,
                         "The extension did not complete the pending request within " +
                             std::to_string(seconds.count()) + " s.",
                         true, false)) {
      FPendingDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
      ArmPendingTimer();
    }
  }

  void OnRequestEnded(TRequestOutcome outcome) {
    FPendingActive = false;
    FRequest.reset();
    FStatus = outcome.Status;
    if (FServer.Options.AccessLog != nullptr)
      FLog.ExtensionLogData = outcome.LogData;
    // The request's line stays in FReceived and FTarget until the next request is read.
    if (!outcome.Note.empty())
      Diagnostic(FReceived.Method + " " + std::string(UriStem()) + " answered " +
                 std::to_string(outcome.Status) + ": " + outcome.Note);
    if (outcome.SessionStatus && *outcome.SessionStatus != HSE_STATUS_SUCCESS &&
        *outcome.SessionStatus != HSE_STATUS_SUCCESS_AND_KEEP_CONN)
      Diagnostic(FReceived.Method + " " + std::string(UriStem()) + ": done with session, status " +
                 std::to_string(*outcome.SessionStatus));
    if (outcome.TimedOut) {
      // What the client did not take in time is dropped, not trickled out after the close.
      FServer.EndRequest();
      return Drop();
    }
    Answer(std::move(outcome.Bytes), outcome.KeepAlive);
  }

  // Writes what the socket takes at once; the rest goes out from the loop.
  void Answer(std::string bytes, bool keepAlive) {
    error_code error;
    std::size_t written = 0;
    if (!bytes.empty())
      written = FSocket.write_some(net::buffer(bytes), error);
    if (error == net::error::would_block || error == net::error::try_again)
      error = {};
    // The rest must move within the connection timeout, and at the minimum rate after it.
    FWriteClock.Start(std::chrono::steady_clock::now());
    if (error)
      return OnWritten(error, keepAlive);
    if (written == bytes.size())
      return ContinueAnswer(keepAlive);
    FWriteBuffer = std::move(bytes);
    FWriteOffset = written;
    KeepDeadline();
    WriteTail(keepAlive);
  }

  // After the bytes in hand, the next piece of a file being sent, or the answer's end.
  void ContinueAnswer(bool keepAlive) {
    if (FFileLeft == 0) {
      FFile.reset();
      return OnWritten({}, keepAlive);
    }
    const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(FFileLeft, FilePiece));
    FWriteBuffer.resize(piece);
    FFile->read(FWriteBuffer.data(), static_cast<std::streamsize>(piece));
    const auto got = static_cast<std::size_t>(FFile->gcount());
    if (got == 0) {
      // The file shrank under the answer: the client must not take what it got for all of it.
      FFile.reset();
      FFileLeft = 0;
      return OnWritten(net::error::eof, keepAlive);
    }
    FWriteBuffer.resize(got);
    FFileLeft -= got;
    FWriteOffset = 0;
    KeepDeadline();
    WriteTail(keepAlive);
  }

  void WriteTail(bool keepAlive) {
    FSocket.async_write_some(
        net::buffer(FWriteBuffer) + FWriteOffset,
        [self = shared_from_this(), keepAlive](error_code error, std::size_t bytes) {
          self->Serialized([session = self.get(), error, bytes, keepAlive] {
            session->OnTailWritten(error, bytes, keepAlive);
          });
        });
  }

  void OnTailWritten(error_code error, std::size_t bytes, bool keepAlive) {
    FWriteOffset += bytes;
    FWriteClock.Progress(bytes);
    if (!error && FWriteOffset < FWriteBuffer.size())
      return WriteTail(keepAlive);
    if (error)
      return OnWritten(error, keepAlive);
    ContinueAnswer(keepAlive);
  }

  void OnWritten(error_code error, bool keepAlive) {
    FWriteBuffer.clear();
    if (FWriteBuffer.capacity() > FilePiece / 4)
      std::string().swap(FWriteBuffer); // a file's piece buffer is not kept between answers
    FFile.reset();
    FFileLeft = 0;
    if (FServer.Options.AccessLog != nullptr) {
      FLog.Status = FStatus;
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
    FTimer.async_wait([self = shared_from_this()](error_code) {
      self->Serialized([session = self.get()] { session->Close(); });
    });
    Drain();
  }

  void Drain() {
    FSocket.async_read_some(net::buffer(FScratch),
                            [self = shared_from_this()](error_code error, std::size_t) {
                              self->Serialized([session = self.get(), error] {
                                if (error)
                                  return session->Close();
                                session->Drain();
                              });
                            });
  }

  void Close() {
    error_code ignored;
    FClosed = true;
    FTimer.cancel();
    FPendingTimer.cancel();
    FDeadlineTimer.cancel();
    FSocket.close(ignored);
  }

  // Closes at once, discarding what the system still holds to send: the client gets a reset.
  void Drop() {
    error_code ignored;
    FSocket.set_option(net::socket_base::linger(true, 0), ignored);
    Close();
  }

  void StartHead(std::chrono::steady_clock::time_point now) {
    FHeadStarted = true;
    FWaitingSince = now;
  }

  // When the connection's current wait ends, whatever it waits for: the first byte of a request
  // (the connection timeout), the rest of its head (the head wait), the body read ahead or the
  // rest of an answer (the transfer's deadline). While an extension owns the request, its own
  // calls keep their time.
  std::chrono::steady_clock::time_point CurrentDeadline() const {
    const TServerOptions& options = FServer.Options;
    if (FClosing || FClosed)
      return std::chrono::steady_clock::time_point::max();
    if (FAsyncSend)
      return FWriteClock.Deadline(FServer.Limits);
    if (FAsyncReceive)
      return FBodyClock.Deadline(FServer.Limits);
    if (FRequest)
      return std::chrono::steady_clock::time_point::max();
    if (!FWriteBuffer.empty())
      return FWriteClock.Deadline(FServer.Limits);
    if (FBusy)
      return FBodyClock.Deadline(FServer.Limits);
    return FWaitingSince + (FHeadStarted ? options.HeaderWaitTimeout : options.ConnectionTimeout);
  }

  // One timer per connection, moved only when a wait must end earlier than it is set for; a
  // timer that fires early looks again. Most requests touch no timer at all.
  void KeepDeadline() {
    const auto deadline = CurrentDeadline();
    if (deadline == std::chrono::steady_clock::time_point::max() ||
        (FDeadlineArmed && FDeadlineAt <= deadline))
      return;
    FDeadlineArmed = true;
    FDeadlineAt = deadline;
    const unsigned generation = ++FDeadlineGeneration;
    FDeadlineTimer.expires_at(deadline);
    FDeadlineTimer.async_wait([self = shared_from_this(), generation](error_code error) {
      self->Serialized(
          [session = self.get(), generation, error] { session->OnDeadline(generation, error); });
    });
  }

  void OnDeadline(unsigned generation, error_code error) {
    if (error || generation != FDeadlineGeneration)
      return;
    FDeadlineArmed = false;
    const auto deadline = CurrentDeadline();
    if (deadline == std::chrono::steady_clock::time_point::max())
      return;
    const auto now = std::chrono::steady_clock::now();
    if (now < deadline)
      return KeepDeadline();
    // A transfer that kept its pace goes on into its next period.
    if (!FWriteBuffer.empty() || FAsyncSend ? FWriteClock.Renew(now, FServer.Limits)
                                            : FBusy && FBodyClock.Renew(now, FServer.Limits))
      return KeepDeadline();
    if (FAsyncSend || FAsyncReceive) {
      // The extension's operation ends with an error; the connection closes with the request.
      FAsyncTimedOut = true;
      error_code ignored;
      FSocket.cancel(ignored);
      return;
    }
    if (!FWriteBuffer.empty()) {
      // An answer the client does not take: dropped; the write ends with an error and closes.
      return Drop();
    }
    // A wait for the request: the pending read ends, and OnRead closes (or answers 408).
    FTimedOut = true;
    if (FReadPending) {
      error_code ignored;
      FSocket.cancel(ignored);
    }
  }

  // A connection whose request did not come in time. One that sent nothing more than idle
  // bytes just closes; a request whose body stopped coming is answered 408.
  void OnTimedOut() {
    if (!FBusy) {
      // Answers still queued in the system for a client that stopped reading (a slow read)
      // are dropped with the connection; a client that read everything sees a plain close.
      if (UnsentBytes(FSocket.native_handle()) != 0)
        return Drop();
      return Close();
    }
    ParseRequestTarget(FReceived.Target, FTarget);
    if (FServer.Options.AccessLog != nullptr)
      StartLogEntry(&FReceived);
    FStatus = 408;
    Answer(ComposePage("408 Request Timeout", {},
                       ErrorPageBody("408 Request Timeout",
                                     "The request's body did not arrive in time."),
                       TConnectionState{false, FReceived.Version == 10},
                       FReceived.Verb == http::verb::head),
           false);
  }

  THttpServer::TImpl& FServer;
  TSocket FSocket;
  TTimer FTimer;         // the linger of a closing connection
  TTimer FPendingTimer;  // the time limit of pending requests
  TTimer FDeadlineTimer; // the connection's other time limits (KeepDeadline)
  std::chrono::steady_clock::time_point FDeadlineAt;
  bool FDeadlineArmed = false;
  unsigned FDeadlineGeneration = 0;
  bool FTimedOut = false;
  std::chrono::steady_clock::time_point FWaitingSince; // for a request, or the rest of its head
  bool FHeadStarted = false;
  std::atomic<std::int64_t> FIdleSince{Busy};
  std::atomic<bool> FShedding{false};
  TTransferClock FWriteClock; // the rest of an answer the loop writes
  std::mutex FTurnMutex; // guards FTurnTaken and FWaiting
  bool FTurnTaken = false;
  std::vector<std::function<void()>> FWaiting;
  beast::flat_buffer FBuffer;
  TReceivedRequest FReceived;
  std::optional<TRequestReader> FReader;
  bool FHeaderDone = false;
  bool FAskedForMore = false; // the parser's last call ended asking for more bytes
  TTargetPath FTarget;
  std::shared_ptr<TRequest> FRequest;
  std::shared_ptr<TRequest> FInlineCall; // to be run once the turn is given back
  std::chrono::steady_clock::time_point FPendingDeadline;
  bool FPendingActive = false;
  bool FPendingTimerArmed = false;
  std::string FWriteBuffer;
  std::size_t FWriteOffset = 0;
  std::unique_ptr<std::ifstream> FFile; // a static file being sent, at its next piece
  std::uint64_t FFileLeft = 0;
  std::array<char, 4096> FScratch{};
  unsigned FStatus = 0; // what the log says the current request was answered
  TAccessLogEntry FLog;
  bool FPathTranslatedKnown = false;
  std::string FPathTranslatedOf;
  std::string FPathTranslated;
  std::string FLocalAddress;
  std::string FLocalPort;
  std::string FRemoteAddress;
  std::string FRemotePort;
  std::chrono::steady_clock::time_point FStarted;
  TTransferClock FAnswerClock; // the answer's synchronous writes
  bool FInterrupted = false;   // the last synchronous wait ended for the shutdown
  TTransferClock FBodyClock;   // the request body, read ahead and by ReadClient
  std::uint64_t FAnswerBytes = 0;
  bool FBusy = false;
  bool FReadPending = false; // a read of the request is under way
  bool FClosing = false;
  bool FClosed = false;
  std::unique_ptr<TAsyncSend> FAsyncSend;       // the extension's send under way
  std::unique_ptr<TAsyncReceive> FAsyncReceive; // the extension's read under way
  bool FAsyncCancelled = false;
  bool FAsyncTimedOut = false;
  std::atomic<bool> FCancelWait{false}; // the extension cancelled its operation
  bool FWaitCancelled = false;          // the last synchronous wait ended for that
};

void THttpServer::TImpl::Accept() {
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
        AcceptPaused = true;
        return;
      }
    }
  }
  net::io_context& loop = *Loops[NextLoop++ % Loops.size()];
  Acceptor->async_accept(loop, [this](error_code error, TSocket socket) {
    OnAccepted(error, std::move(socket));
  });
}

void THttpServer::TImpl::OnAccepted(error_code error, TSocket socket) {
  if (error == net::error::operation_aborted || !Acceptor->is_open())
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
    return PauseAccepting(std::chrono::milliseconds(100));
  }
  DescriptorsOut = false;
  if (!error)
    std::make_shared<TSession>(*this, std::move(socket))->Start();
  Accept();
}

void THttpServer::TImpl::PauseAccepting(std::chrono::milliseconds time) {
  AcceptPause->expires_after(time);
  AcceptPause->async_wait([this](error_code error) {
    if (error)
      return;
    HoldSpareDescriptors(true);
    Accept();
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
        std::shared_ptr<TSession> alive = session->weak_from_this().lock();
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
  {
    std::lock_guard lock(StateMutex);
    if (!AcceptPaused || Stopping)
      return;
    AcceptPaused = false;
  }
  net::post(*Loops[0], [this] { Accept(); });
}

void THttpServer::TImpl::PostToSessions(void (TSession::*member)()) {
  std::lock_guard lock(StateMutex);
  for (TSession* session : Sessions) {
    std::shared_ptr<TSession> alive = session->weak_from_this().lock();
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
  impl->Acceptor = std::make_unique<tcp::acceptor>(*impl->Loops[0]);
  impl->AcceptPause = std::make_unique<TTimer>(impl->Loops[0]->get_executor());
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

TRunEnd THttpServer::Run() {
  TImpl& impl = *FImpl;
  // Before the first connection: a stop that comes while the threads start is kept, not fatal.
  CatchStopSignals();
  ExtensionThreads().Configure(impl.Options.MaxThreads, impl.Options.ExtensionQueueLength);
  HoldSpareDescriptors(true);
  impl.Accept();
  std::vector<std::function<bool()>> lanes;
  // The loops must not run out of work while the acceptor is closed and sessions drain.
  std::vector<net::executor_work_guard<net::io_context::executor_type>> work;
  for (const auto& loop : impl.Loops) {
    // A thread whose lane was handed over leaves run() by an exception after the handler that
    // held it (see TSession::Serialized); the loop itself goes on, as Asio allows.
    lanes.push_back([loop = loop.get()] {
      loop->run();
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
  TShutdownDeadline deadline;
  deadline.Arm(stopBy);
  // Stopping first: a request read once the line is out must already be answered as the last
  // of its connection.
  impl.Stopping = true;
  Diagnostic("shutting down: no new connections, draining requests in flight");
  net::post(*impl.Loops[0], [&impl] {
    error_code ignored;
    impl.Acceptor->close(ignored);
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
  std::vector<TExtension*> extensions;
  for (const TMapping& mapping : impl.Options.Mappings)
    extensions.push_back(mapping.Extension);
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
