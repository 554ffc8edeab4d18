#include "host/extension_transfer.h"

#include <algorithm>
#include <optional>

#include "host/host_text.h"
#include "host/static_files.h"

namespace isapi_web::host {

TSendResult TExtensionTransfer::SendNow(std::string_view bytes) {
  // Each call has periods of its own: time the extension spends between writes is not the
  // client's.
  FAnswerClock.Start(std::chrono::steady_clock::now());
  while (!bytes.empty()) {
    error_code error;
    const std::size_t written = WriteSome(net::buffer(bytes.data(), bytes.size()), error);
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

void TExtensionTransfer::CloseNow() {
  ShutdownSocket(static_cast<std::uintptr_t>(FSocket.native_handle()));
}

bool TExtensionTransfer::PeerConnected() {
  return !PeerClosed(static_cast<std::uintptr_t>(FSocket.native_handle()));
}

void TExtensionTransfer::SendLater(std::vector<TSendPiece> pieces, TSendDone done) {
  PostInTurn([this, pieces = std::move(pieces), done = std::move(done)]() mutable {
    StartAsyncSend(std::move(pieces), std::move(done));
  });
}

void TExtensionTransfer::ReceiveLater(void* buffer, std::size_t size, TReceiveDone done) {
  PostInTurn([this, buffer, size, done = std::move(done)]() mutable {
    StartAsyncReceive(buffer, size, std::move(done));
  });
}

void TExtensionTransfer::CancelLater() {
  FCancelWait = true; // a synchronous wait standing in for the operation sees it
  PostInTurn([this] { CancelAsync(); });
}

void TExtensionTransfer::CancelAsync() {
  if (!Transferring())
    return;
  FAsyncCancelled = true;
  CancelOperations();
}

void TExtensionTransfer::StartAsyncSend(std::vector<TSendPiece> pieces, TSendDone done) {
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

void TExtensionTransfer::ContinueAsyncSend() {
  TAsyncSend& send = *FAsyncSend;
  for (;;) {
    if (FAsyncCancelled)
      return EndAsyncSend(TSendResult::Cancelled);
    if (send.HandOffset < send.Hand.size()) {
      AsyncWriteSome(net::buffer(send.Hand) + send.HandOffset,
                     InTurn(this, &TExtensionTransfer::OnAsyncWritten));
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

void TExtensionTransfer::OnAsyncWritten(error_code error, std::size_t bytes) {
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

void TExtensionTransfer::EndAsyncSend(TSendResult result) {
  const TSendDone done = std::move(FAsyncSend->Done);
  FAsyncSend.reset();
  TransferEnded();
  done(result);
}

void TExtensionTransfer::StartAsyncReceive(void* buffer, std::size_t size, TReceiveDone done) {
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

void TExtensionTransfer::ContinueAsyncReceive() {
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
  AsyncReadSome(FBuffer.prepare(size), InTurn(this, &TExtensionTransfer::OnAsyncRead));
}

void TExtensionTransfer::OnAsyncRead(error_code error, std::size_t bytes) {
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

void TExtensionTransfer::EndAsyncReceive(TReceiveResult result) {
  const std::size_t received = FReader->Taken();
  FReader->SetTarget(nullptr, 0);
  const TReceiveDone done = std::move(FAsyncReceive->Done);
  FAsyncReceive.reset();
  TransferEnded();
  done(result, received);
}

// While an operation of the extension runs, its transfer's deadline is the connection's.
std::chrono::steady_clock::time_point TExtensionTransfer::WaitDeadline() const {
  if (FAsyncSend)
    return FWriteClock.Deadline(FServer.Limits);
  if (FAsyncReceive)
    return FBodyClock.Deadline(FServer.Limits);
  return THttpExchange::WaitDeadline();
}

void TExtensionTransfer::DeadlinePassed(std::chrono::steady_clock::time_point now) {
  if (!Transferring())
    return THttpExchange::DeadlinePassed(now);
  // A transfer that kept its pace goes on into its next period.
  if (FAsyncSend ? FWriteClock.Renew(now, FServer.Limits)
                 : FBusy && FBodyClock.Renew(now, FServer.Limits))
    return KeepDeadline();
  // The extension's operation ends with an error; the connection closes with the request.
  FAsyncTimedOut = true;
  CancelOperations();
}

// Once the drain time has run out, a transfer that still waits is given a second more, so that
// the shutdown can answer its request; Interrupted tells that it ended so.
TSocketWait TExtensionTransfer::WaitInPeriods(TTransferClock& clock, bool forWriting) {
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
    const TSocketWait result = WaitForSocket(FSocket.native_handle(), WaitsToWrite(forWriting),
                                             std::chrono::ceil<std::chrono::milliseconds>(wait));
    if (result != TSocketWait::TimedOut)
      return result;
  }
}

// Runs on the extension's thread, inside ReadClient; no read of the loop is pending while a
// request runs.
TReceiveResult TExtensionTransfer::ReceiveBody(void* buffer, std::size_t size,
                                               std::size_t& received) {
  received = 0;
  FBodyClock.Start(std::chrono::steady_clock::now());
  FReader->SetTarget(static_cast<char*>(buffer), size);
  const TReceiveResult result = ReceiveBodyInto(received);
  FReader->SetTarget(nullptr, 0);
  return result;
}

TReceiveResult TExtensionTransfer::ReceiveBodyInto(std::size_t& received) {
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
    const std::size_t bytes = ReadSome(FBuffer.prepare(size), error);
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

} // namespace isapi_web::host
