#pragma once
// One client connection: its socket, the bytes read ahead, its turn (one handler at a time), an
// answer written with backpressure, its time limit and its close. What the bytes mean is the
// HTTP exchange's business (http_exchange.h).

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// The host's headers come before Asio's: on Windows Asio brings in the system headers, whose
// error-code macros would otherwise rewrite the constants of the ISAPI header.
#include "host/server_state.h"
#include "host/transfer_clock.h"
#include "host/tls_info.h"
#if ISAPI_HOST_TLS
#include "host/tls_context.h"
#include "host/tls_stream.h"
#endif
#include "isapi/isapi_host_interface.h"

#include <boost/asio.hpp>
#include <boost/beast/core/flat_buffer.hpp>

namespace isapi_web::host {

namespace net = boost::asio;
namespace beast = boost::beast;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;

// Every connection's socket and timers run on its loop's own executor: no strand and no
// type-erased executor between a completion and its handler (see TConnection::Serialized).
using TLoopExecutor = net::io_context::executor_type;
using TSocket = net::basic_stream_socket<tcp, TLoopExecutor>;
using TTimer =
    net::basic_waitable_timer<std::chrono::steady_clock,
                              net::wait_traits<std::chrono::steady_clock>, TLoopExecutor>;

class TConnection : public std::enable_shared_from_this<TConnection> {
public:
  TConnection(TServerState& server, TSocket socket);
  virtual ~TConnection();
  TConnection(const TConnection&) = delete;
  TConnection& operator=(const TConnection&) = delete;

  /// Sets the socket up, notes its addresses, and begins the first exchange in its turn.
  void Start();
#if ISAPI_HOST_TLS
  /// The connection speaks TLS: every byte goes through a session of context, which outlives
  /// it. Before Start.
  void UseTls(const TTlsContext& context);
#endif

  /// Since when the connection has waited for a request head (steady-clock ticks), or Busy.
  std::int64_t IdleSince() const { return FIdleSince.load(std::memory_order_relaxed); }
  static constexpr std::int64_t Busy = std::numeric_limits<std::int64_t>::max();
  /// Claims the connection for shedding; false when another shed has it already.
  bool ClaimForShedding() { return !FShedding.exchange(true); }
  bool Claimed() const { return FShedding.load(); }

  /// Runs body now unless another thread runs one of this connection's handlers, in which case
  /// that thread runs it next. A loop normally has one thread and body always runs at once; the
  /// thread group adds threads to a loop whose threads are held by an extension, and then two
  /// completions of one connection can meet.
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
    TTurn turn(*this);
    body();
    turn.Finish();
  }
  /// Runs body in the connection's turn, from the connection's loop.
  template <typename TBody> void PostInTurn(TBody&& body) {
    net::post(FSocket.get_executor(),
              [self = shared_from_this(), body = std::forward<TBody>(body)]() mutable {
                self->Serialized(std::move(body));
              });
  }

protected:
  /// A completion handler that calls member(args...) in the connection's turn, holding it alive.
  template <typename TSelf, typename TClass, typename... TParams>
  static auto InTurn(TSelf* me, void (TClass::*member)(TParams...)) {
    return
        [self = std::static_pointer_cast<TSelf>(me->shared_from_this()), member](TParams... args) {
          TSelf* const raw = self.get();
          raw->Serialized([raw, member, args...] { (raw->*member)(args...); });
        };
  }
  /// Whether the calling thread runs this connection's handlers now.
  bool InTurnNow() const;
  /// Runs call on this thread once the current turn is given back: while it runs, the
  /// connection's loop (handed to another thread if the call blocks) goes on.
  void RunAfterTurn(std::function<void()> call) { FAfterTurn = std::move(call); }

  /// The first exchange begins (in the connection's turn).
  virtual void Begin() = 0;

  // The transport: the socket itself, or a TLS session over it. The synchronous forms never
  // block: would_block says the socket must become ready first, in the way WaitsToWrite tells.
  std::size_t ReadSome(net::mutable_buffer buffer, error_code& error);
  std::size_t WriteSome(net::const_buffer buffer, error_code& error);
  template <typename THandler> void AsyncReadSome(net::mutable_buffer buffer, THandler&& handler) {
#if ISAPI_HOST_TLS
    if (FTls)
      return TlsAsync(false, buffer, std::forward<THandler>(handler), true);
#endif
    FSocket.async_read_some(buffer, std::forward<THandler>(handler));
  }
  template <typename THandler> void AsyncWriteSome(net::const_buffer buffer, THandler&& handler) {
#if ISAPI_HOST_TLS
    if (FTls)
      return TlsAsync(true, net::mutable_buffer(const_cast<void*>(buffer.data()), buffer.size()),
                      std::forward<THandler>(handler), true);
#endif
    FSocket.async_write_some(buffer, std::forward<THandler>(handler));
  }
  /// Writes a short message (at most one TLS record) whole.
  template <typename THandler> void AsyncWriteShort(net::const_buffer buffer, THandler&& handler) {
#if ISAPI_HOST_TLS
    // A record goes whole or not at all.
    if (FTls)
      return AsyncWriteSome(buffer, std::forward<THandler>(handler));
#endif
    net::async_write(FSocket, buffer, std::forward<THandler>(handler));
  }
  /// Whether the connection's TLS handshake has yet to end.
  bool HandshakePending() const;
  /// What a request learns of the connection's TLS session; null on plain HTTP.
  std::shared_ptr<const TTlsInfo> TlsInfo();
  /// After would_block from the transport: whether the socket must become writable (true) or
  /// readable. A TLS read can have to write first, and a TLS write to read.
  bool WaitsToWrite(bool writing) const;

  /// Writes what the socket takes at once from this thread; the rest, then the file that
  /// FollowWithFile set (a piece at a time, each read when the last has gone), from the loop.
  /// Answered follows.
  void Answer(std::string bytes, bool keepAlive);
  /// The next Answer goes on with length bytes of file.
  void FollowWithFile(std::unique_ptr<std::ifstream> file, std::uint64_t length) {
    FFile = std::move(file);
    FFileLeft = length;
  }
  /// The answer has gone out, or failed with error.
  virtual void Answered(error_code error, bool keepAlive) = 0;
  /// Whether part of an answer waits for the client.
  bool Answering() const { return !FWriteBuffer.empty(); }

  /// Ends the socket's pending operations: their handlers run with operation_aborted.
  void CancelOperations();
  /// Half-closes, then reads and discards what the client still sends for a moment, so that
  /// unread request bytes do not turn into a reset that destroys the answer just written.
  void GracefulClose();
  void Close();
  /// Closes at once, discarding what the system still holds to send: the client gets a reset.
  void Drop();
  /// The connection is closing: timers of the layers above are cancelled.
  virtual void Closed() {}

  /// Arms the connection's one timer for WaitDeadline, when that comes earlier than it is set
  /// for; a timer that fires early looks again. Most requests touch no timer at all.
  void KeepDeadline();
  /// When the connection's current wait ends (time_point::max: it does not).
  virtual std::chrono::steady_clock::time_point WaitDeadline() const;
  /// The current wait's deadline has passed.
  virtual void DeadlinePassed(std::chrono::steady_clock::time_point now);

  void MarkIdle(std::chrono::steady_clock::time_point since) {
    FIdleSince.store(since.time_since_epoch().count(), std::memory_order_relaxed);
  }
  void MarkBusy() { FIdleSince.store(Busy, std::memory_order_relaxed); }

  TServerState& FServer;
  TSocket FSocket;
  beast::flat_buffer FBuffer; ///< read ahead of the parser
  TTransferClock FWriteClock; ///< the rest of an answer the loop writes
  bool FClosing = false;
  bool FClosed = false;
  std::string FLocalAddress;
  std::string FLocalPort;
  std::string FRemoteAddress;
  std::string FRemotePort;

private:
  /// The turn's bookkeeping, kept out of the template.
  class TTurn {
  public:
    explicit TTurn(TConnection& connection);
    ~TTurn();
    TTurn(const TTurn&) = delete;
    TTurn& operator=(const TTurn&) = delete;
    /// Runs the handlers that came meanwhile, gives the turn back, then the call after it.
    void Finish();

  private:
    TConnection& FConnection;
    TConnection* FOuter;
  };

#if ISAPI_HOST_TLS
  using TTransferDone = std::function<void(error_code, std::size_t)>;
  /// A read or write through the TLS session: tried now, and again each time the socket is
  /// ready the way the session wants; done never runs inside the call that started it.
  void TlsAsync(bool writing, net::mutable_buffer buffer, TTransferDone done, bool starting);
#endif
  void ContinueAnswer(bool keepAlive);
  void WriteTail(bool keepAlive);
  void OnTailWritten(bool keepAlive, error_code error, std::size_t bytes);
  void EndAnswer(error_code error, bool keepAlive);
  void OnLingerEnded(error_code error);
  void Drain();
  void OnDrained(error_code error, std::size_t bytes);
  void OnDeadline(unsigned generation, error_code error);

  std::mutex FTurnMutex; // guards FTurnTaken, FWaiting and FAfterTurn's hand-over
  bool FTurnTaken = false;
  std::vector<std::function<void()>> FWaiting;
  std::function<void()> FAfterTurn;
  std::atomic<std::int64_t> FIdleSince{Busy};
  std::atomic<bool> FShedding{false};
  TTimer FLingerTimer;
  TTimer FDeadlineTimer;
  std::chrono::steady_clock::time_point FDeadlineAt;
  bool FDeadlineArmed = false;
  unsigned FDeadlineGeneration = 0;
  std::string FWriteBuffer;
  std::size_t FWriteOffset = 0;
  std::unique_ptr<std::ifstream> FFile; // a file being sent, at its next piece
  std::uint64_t FFileLeft = 0;
  std::array<char, 4096> FScratch{};
#if ISAPI_HOST_TLS
  std::unique_ptr<TTlsStream> FTls;
  const TTlsContext* FTlsContext = nullptr;
  std::shared_ptr<const TTlsInfo> FTlsInfo; ///< made once, for the first request after the handshake
  bool FTlsWantsWrite = false; ///< what the session's last would_block waits for
#endif
};

} // namespace isapi_web::host
