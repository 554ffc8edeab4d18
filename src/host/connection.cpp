#include "host/connection.h"

#include <algorithm>

#include "host/static_files.h"
#include "host/thread_group.h"

namespace isapi_web::host {

namespace {

// How long a closing connection keeps reading what the client still sends, so that the last
// answer is not lost to a reset.
constexpr auto LingerTime = std::chrono::seconds(2);
// The system's send buffer of a connection (it doubles it for its own bookkeeping).
constexpr int SendBufferSize = 128 * 1024;

// The connection whose handlers the calling thread runs now.
thread_local TConnection* TurnHolder = nullptr;
// How many turns the calling thread is inside, the calls made after them included.
thread_local int TurnDepth = 0;

} // namespace

TConnection::TConnection(TServerState& server, TSocket socket)
    : FServer(server), FSocket(std::move(socket)), FLingerTimer(FSocket.get_executor()),
      FDeadlineTimer(FSocket.get_executor()) {}

TConnection::~TConnection() = default;

#if ISAPI_HOST_TLS
void TConnection::UseTls(const TTlsContext& context) {
  FTlsContext = &context;
  FTls = std::make_unique<TTlsStream>(context.Native(), FSocket.native_handle());
}

namespace {

// What the session's outcome means for a caller that speaks error codes.
std::size_t TlsOutcome(TTlsResult result, std::size_t done, bool& wantsWrite, error_code& error) {
  error = {};
  switch (result) {
  case TTlsResult::Done:
    return done;
  case TTlsResult::WantRead:
  case TTlsResult::WantWrite:
    wantsWrite = result == TTlsResult::WantWrite;
    error = net::error::would_block;
    return 0;
  case TTlsResult::Closed:
    error = net::error::eof;
    return 0;
  case TTlsResult::Failed:
    break;
  }
  error = net::error::connection_reset;
  return 0;
}

} // namespace

void TConnection::TlsAsync(bool writing, net::mutable_buffer buffer, TTransferDone done,
                           bool starting) {
  std::size_t moved = 0;
  const TTlsResult result = writing ? FTls->Write(buffer.data(), buffer.size(), moved)
                                    : FTls->Read(buffer.data(), buffer.size(), moved);
  error_code error;
  moved = TlsOutcome(result, moved, FTlsWantsWrite, error);
  if (error != net::error::would_block) {
    if (!starting)
      return done(error, moved);
    // As a socket's own operation, the handler never runs inside the call that started it.
    return net::post(FSocket.get_executor(),
                     [done = std::move(done), error, moved] { done(error, moved); });
  }
  FSocket.async_wait(FTlsWantsWrite ? tcp::socket::wait_write : tcp::socket::wait_read,
                     [self = shared_from_this(), writing, buffer,
                      done = std::move(done)](error_code waitError) mutable {
                       if (waitError)
                         return done(waitError, 0);
                       // The session is touched in the connection's turn only.
                       self->Serialized([connection = self.get(), writing, buffer,
                                         done = std::move(done)]() mutable {
                         connection->TlsAsync(writing, buffer, std::move(done), false);
                       });
                     });
}
#endif

std::size_t TConnection::ReadSome(net::mutable_buffer buffer, error_code& error) {
#if ISAPI_HOST_TLS
  if (FTls) {
    std::size_t done = 0;
    const TTlsResult result = FTls->Read(buffer.data(), buffer.size(), done);
    return TlsOutcome(result, done, FTlsWantsWrite, error);
  }
#endif
  return FSocket.read_some(buffer, error);
}

std::size_t TConnection::WriteSome(net::const_buffer buffer, error_code& error) {
#if ISAPI_HOST_TLS
  if (FTls) {
    std::size_t done = 0;
    const TTlsResult result = FTls->Write(buffer.data(), buffer.size(), done);
    return TlsOutcome(result, done, FTlsWantsWrite, error);
  }
#endif
  return FSocket.write_some(buffer, error);
}

bool TConnection::HandshakePending() const {
#if ISAPI_HOST_TLS
  return FTls && !FTls->Established();
#else
  return false;
#endif
}

std::shared_ptr<const TTlsInfo> TConnection::TlsInfo() {
#if ISAPI_HOST_TLS
  if (!FTlsInfo && FTls && FTls->Established())
    FTlsInfo = FTlsContext->Describe(FTls->Native());
  return FTlsInfo;
#else
  return nullptr;
#endif
}

bool TConnection::WaitsToWrite(bool writing) const {
#if ISAPI_HOST_TLS
  if (FTls)
    return FTlsWantsWrite;
#endif
  return writing;
}

void TConnection::Start() {
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
  PostInTurn([this] { Begin(); });
}

bool TConnection::InTurnNow() const {
  return TurnHolder == this;
}

TConnection::TTurn::TTurn(TConnection& connection)
    : FConnection(connection), FOuter(std::exchange(TurnHolder, &connection)) {
  ++TurnDepth;
}

TConnection::TTurn::~TTurn() {
  --TurnDepth;
}

void TConnection::TTurn::Finish() {
  std::function<void()> call;
  for (;;) {
    std::function<void()> next;
    {
      std::lock_guard lock(FConnection.FTurnMutex);
      if (FConnection.FWaiting.empty()) {
        FConnection.FTurnTaken = false;
        call = std::move(FConnection.FAfterTurn);
        FConnection.FAfterTurn = nullptr;
        break;
      }
      next = std::move(FConnection.FWaiting.front());
      FConnection.FWaiting.erase(FConnection.FWaiting.begin());
    }
    next();
  }
  TurnHolder = FOuter;
  if (call) {
    call();
    // A loop's thread held in that call has lost its loop to a fresh thread: it leaves the
    // loop's run here, between two handlers, as its lane wants.
    if (TurnDepth == 1)
      LeaveLaneIfHandedOver();
  }
}

void TConnection::Answer(std::string bytes, bool keepAlive) {
  error_code error;
  std::size_t written = 0;
  if (!bytes.empty())
    written = WriteSome(net::buffer(bytes), error);
  if (error == net::error::would_block || error == net::error::try_again)
    error = {};
  // The rest must move within the connection timeout, and at the minimum rate after it.
  FWriteClock.Start(std::chrono::steady_clock::now());
  if (error)
    return EndAnswer(error, keepAlive);
  if (written == bytes.size())
    return ContinueAnswer(keepAlive);
  FWriteBuffer = std::move(bytes);
  FWriteOffset = written;
  KeepDeadline();
  WriteTail(keepAlive);
}

// After the bytes in hand, the next piece of a file being sent, or the answer's end.
void TConnection::ContinueAnswer(bool keepAlive) {
  if (FFileLeft == 0) {
    FFile.reset();
    return EndAnswer({}, keepAlive);
  }
  const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(FFileLeft, FilePiece));
  FWriteBuffer.resize(piece);
  FFile->read(FWriteBuffer.data(), static_cast<std::streamsize>(piece));
  const auto got = static_cast<std::size_t>(FFile->gcount());
  if (got == 0) {
    // The file shrank under the answer: the client must not take what it got for all of it.
    FFile.reset();
    FFileLeft = 0;
    return EndAnswer(net::error::eof, keepAlive);
  }
  FWriteBuffer.resize(got);
  FFileLeft -= got;
  FWriteOffset = 0;
  KeepDeadline();
  WriteTail(keepAlive);
}

void TConnection::WriteTail(bool keepAlive) {
  AsyncWriteSome(net::buffer(FWriteBuffer) + FWriteOffset,
                 [self = shared_from_this(), keepAlive](error_code error, std::size_t bytes) {
                   self->Serialized([connection = self.get(), keepAlive, error, bytes] {
                     connection->OnTailWritten(keepAlive, error, bytes);
                   });
                 });
}

void TConnection::OnTailWritten(bool keepAlive, error_code error, std::size_t bytes) {
  FWriteOffset += bytes;
  FWriteClock.Progress(bytes);
  if (!error && FWriteOffset < FWriteBuffer.size())
    return WriteTail(keepAlive);
  if (error)
    return EndAnswer(error, keepAlive);
  ContinueAnswer(keepAlive);
}

void TConnection::EndAnswer(error_code error, bool keepAlive) {
  FWriteBuffer.clear();
  if (FWriteBuffer.capacity() > FilePiece / 4)
    std::string().swap(FWriteBuffer); // a file's piece buffer is not kept between answers
  FFile.reset();
  FFileLeft = 0;
  Answered(error, keepAlive);
}

void TConnection::GracefulClose() {
  if (FClosing)
    return;
  FClosing = true;
#if ISAPI_HOST_TLS
  if (FTls)
    FTls->Shutdown();
#endif
  error_code ignored;
  FSocket.shutdown(tcp::socket::shutdown_send, ignored);
  FLingerTimer.expires_after(LingerTime);
  FLingerTimer.async_wait(InTurn(this, &TConnection::OnLingerEnded));
  Drain();
}

void TConnection::OnLingerEnded(error_code) {
  Close();
}

void TConnection::Drain() {
  FSocket.async_read_some(net::buffer(FScratch), InTurn(this, &TConnection::OnDrained));
}

void TConnection::OnDrained(error_code error, std::size_t) {
  if (error)
    return Close();
  Drain();
}

void TConnection::Close() {
  error_code ignored;
  FClosed = true;
  FLingerTimer.cancel();
  FDeadlineTimer.cancel();
  Closed();
  FSocket.close(ignored);
}

void TConnection::CancelOperations() {
  error_code ignored;
  FSocket.cancel(ignored);
}

void TConnection::Drop() {
  error_code ignored;
  FSocket.set_option(net::socket_base::linger(true, 0), ignored);
  Close();
}

std::chrono::steady_clock::time_point TConnection::WaitDeadline() const {
  if (FWriteBuffer.empty())
    return std::chrono::steady_clock::time_point::max();
  return FWriteClock.Deadline(FServer.Limits);
}

void TConnection::DeadlinePassed(std::chrono::steady_clock::time_point now) {
  // An answer that keeps its pace goes on into its next period; one the client does not take
  // is dropped, and its write ends with an error and closes.
  if (FWriteClock.Renew(now, FServer.Limits))
    return KeepDeadline();
  Drop();
}

void TConnection::KeepDeadline() {
  const auto deadline =
      FClosing || FClosed ? std::chrono::steady_clock::time_point::max() : WaitDeadline();
  if (deadline == std::chrono::steady_clock::time_point::max() ||
      (FDeadlineArmed && FDeadlineAt <= deadline))
    return;
  FDeadlineArmed = true;
  FDeadlineAt = deadline;
  const unsigned generation = ++FDeadlineGeneration;
  FDeadlineTimer.expires_at(deadline);
  FDeadlineTimer.async_wait([self = shared_from_this(), generation](error_code error) {
    self->Serialized([connection = self.get(), generation, error] {
      connection->OnDeadline(generation, error);
    });
  });
}

void TConnection::OnDeadline(unsigned generation, error_code error) {
  if (error || generation != FDeadlineGeneration)
    return;
  FDeadlineArmed = false;
  if (FClosing || FClosed)
    return;
  const auto deadline = WaitDeadline();
  if (deadline == std::chrono::steady_clock::time_point::max())
    return;
  const auto now = std::chrono::steady_clock::now();
  if (now < deadline)
    return KeepDeadline();
  DeadlinePassed(now);
}

} // namespace isapi_web::host
