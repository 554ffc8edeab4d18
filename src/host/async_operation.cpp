#include "host/async_operation.h"

#include "host/call_record.h"
#include "host/extension.h"
#include "host/extension_threads.h"
#include "host/host_system.h"
#include "host/request_core.h"

namespace isapi_web::host {

namespace {

// ERROR_HANDLE_EOF: a file being sent ended (or failed) before its range did.
constexpr DWORD ErrorHandleEof = 38;

} // namespace

void RunOnCompletionThread(std::function<void()> job) {
  ExtensionThreads().Post(std::move(job));
}

bool StopCompletionThreads(std::chrono::milliseconds limit) {
  return ExtensionThreads().Stop(limit);
}

TAsyncOperation::TAsyncOperation(TRequestCore& request, TAnswer& answer)
    : FRequest(request), FAnswer(answer) {}

void TAsyncOperation::SetCompletion(PFN_HSE_IO_COMPLETION callback, void* context) {
  FCompletion = callback;
  FCompletionContext = context;
}

void TAsyncOperation::Begin(PFN_HSE_IO_COMPLETION callback, void* context) {
  FIoPending = true;
  FIoStarting = true;
  FIoFinished = false;
  FIoStarter = std::this_thread::get_id();
  FIoCallback = callback;
  FIoContext = context;
  FIoBytes = 0;
  FIoError = 0;
  FIoReadBuffer = nullptr;
  FIoAbortError = ERROR_OPERATION_ABORTED;
  FIoAbortRequested = false;
}

void TAsyncOperation::BeginSynchronousChild() {
  // The child is under way: the extension's other sends wait, and a cancel ends the child.
  FIoPending = true;
  FChildRunning = true;
  FIoAbortRequested = false;
  FIoAbortError = ERROR_OPERATION_ABORTED;
}

BOOL TAsyncOperation::SendBody(std::unique_lock<std::mutex>& lock, std::span<const TBodyPart> parts,
                               PFN_HSE_IO_COMPLETION callback, void* context, DWORD reported) {
  std::vector<TSendPiece> pieces = FAnswer.FrameParts(parts);
  if (callback == nullptr)
    return FAnswer.SendPieces(pieces);
  Begin(callback, context);
  FIoReported = reported;
  if (FAnswer.ClientGone() || pieces.empty()) {
    // Nothing can go (or nothing has to): the completion says so all the same.
    const bool gone = FAnswer.ClientGone();
    Done(gone ? 0 : reported,
         gone ? (FAnswer.SendError() == ERROR_TIMEOUT ? ERROR_TIMEOUT : ERROR_OPERATION_ABORTED)
              : 0);
    return 1;
  }
  const std::shared_ptr<IClientChannel> channel = FRequest.Channel;
  lock.unlock();
  // The request is held until the send is done; this operation is part of it.
  channel->SendLater(std::move(pieces), [self = FRequest.shared_from_this(),
                                         this](TSendResult result) { SendDone(result); });
  return 1;
}

void TAsyncOperation::ReceiveBody(std::unique_lock<std::mutex>& lock, void* buffer,
                                  std::size_t size) {
  // On the connection's loop, wherever the call came from: no thread waits for the client.
  const std::shared_ptr<IClientChannel> channel = FRequest.Channel;
  lock.unlock();
  channel->ReceiveLater(
      buffer, size,
      [self = FRequest.shared_from_this(), this](TReceiveResult result, std::size_t received) {
        ReceiveDone(result, received);
      });
}

void TAsyncOperation::ReceiveDone(TReceiveResult result, std::size_t received) {
  std::lock_guard lock(FRequest.Mutex);
  DWORD error = 0;
  switch (result) {
  case TReceiveResult::Received:
    break;
  case TReceiveResult::End:
    FRequest.BodyComplete = true;
    break;
  case TReceiveResult::ClientGone:
    // As a synchronous read answers a closed connection: no bytes, no error.
    FAnswer.LoseClient(ERROR_NO_DATA);
    break;
  case TReceiveResult::TimedOut:
  case TReceiveResult::Interrupted:
    FAnswer.LoseClient(ERROR_TIMEOUT);
    error = ERROR_TIMEOUT;
    break;
  case TReceiveResult::TooLarge:
    error = ERROR_INVALID_PARAMETER;
    if (FDeferredExpiry == 0) {
      FDeferredExpiry = 413;
      FDeferredNote = "The request's body is larger than the host accepts.";
    }
    break;
  case TReceiveResult::Cancelled:
    error = FIoAbortError;
    break;
  }
  // Cut short by the extension (CANCEL_IO, CLOSE_CONNECTION): whatever ended the wait, an
  // operation that moved nothing reports why.
  if (FIoAbortRequested && received == 0 && error == 0)
    error = FIoAbortError;
  Done(static_cast<DWORD>(received), error);
}

void TAsyncOperation::SendDone(TSendResult result) {
  std::lock_guard lock(FRequest.Mutex);
  DWORD error = 0;
  switch (result) {
  case TSendResult::Sent:
    break;
  case TSendResult::ClientGone:
    error = ERROR_OPERATION_ABORTED;
    break;
  case TSendResult::TimedOut:
    error = ERROR_TIMEOUT;
    break;
  case TSendResult::Cancelled:
    error = FIoAbortError;
    break;
  case TSendResult::FileFailed:
    error = ErrorHandleEof;
    break;
  }
  if (FIoAbortRequested && result != TSendResult::Sent)
    error = FIoAbortError;
  if (error != 0) {
    // Part of the answer may have gone: the connection carries nothing more.
    FAnswer.LoseClient(error == ERROR_TIMEOUT ? ERROR_TIMEOUT : ERROR_NO_DATA);
  }
  Done(error == 0 ? FIoReported : 0, error);
}

void TAsyncOperation::Abort(DWORD error) {
  // An operation whose result is in already completes as it went.
  if (!FIoPending || FIoFinished)
    return;
  FIoAbortError = error;
  FIoAbortRequested = true;
  if (FChildRunning)
    FCutChild();
  else if (FRequest.Channel)
    FRequest.Channel->CancelLater();
}

void TAsyncOperation::Done(DWORD bytes, DWORD error) {
  // A cancel ends with the operation it was for; under the lock that cancels are asked for
  // under, so none is left over for the connection's next request.
  if (FRequest.Channel)
    FRequest.Channel->ClearCancel();
  FIoBytes = bytes;
  FIoError = error;
  FIoFinished = true;
  if (!FIoStarting)
    ExtensionThreads().Post([self = FRequest.shared_from_this(), this] { DeliverCompletion(); });
}

void TAsyncOperation::CallReturned() {
  // Most calls start no operation: they return without the lock.
  if (!FIoStarting.load(std::memory_order_relaxed))
    return;
  std::lock_guard lock(FRequest.Mutex);
  if (!FIoStarting || FIoStarter != std::this_thread::get_id())
    return;
  FIoStarting = false;
  if (FIoFinished)
    ExtensionThreads().Post([self = FRequest.shared_from_this(), this] { DeliverCompletion(); });
}

void TAsyncOperation::DeliverCompletion() {
  PFN_HSE_IO_COMPLETION callback;
  void* context;
  DWORD bytes;
  DWORD error;
  const void* readBuffer;
  {
    std::lock_guard lock(FRequest.Mutex);
    callback = FIoCallback;
    context = FIoContext;
    bytes = FIoBytes;
    error = FIoError;
    readBuffer = FIoReadBuffer;
    // From here the extension may start its next operation, from inside the completion too.
    FIoPending = false;
    FIoFinished = false;
  }
  if (CallsObserved()) {
    TCallRecord record{"IoCompletion",
                       {{"ConnID", HandleText(FRequest.ECB.ConnID)},
                        {"context", HandleText(context)},
                        {"cbIO", std::int64_t{bytes}},
                        {"dwError", std::int64_t{error}}},
                       true,
                       0,
                       {}};
    if (readBuffer != nullptr)
      record.Arguments.emplace_back("bytes",
                                    std::string(static_cast<const char*>(readBuffer), bytes));
    ReportObservedCall(record);
  }
  {
    const TExtension::TCallScope call(FRequest.Extension);
    callback(&FRequest.ECB, context, bytes, error);
  }
  std::unique_lock lock(FRequest.Mutex);
  EndDeferred(lock);
}

bool TAsyncOperation::DeferEnd(DWORD status) {
  if (!FIoPending)
    return false;
  // Never ended with an operation outstanding: the end follows its completion.
  FEndDeferred = true;
  FDeferredStatus = status;
  return true;
}

bool TAsyncOperation::DeferExpiry(unsigned status, std::string_view note) {
  if (!FIoPending)
    return false;
  // The connection is busy with the operation: it is cut short, and the page (or the close)
  // follows its completion.
  if (FDeferredExpiry == 0) {
    FDeferredExpiry = status;
    FDeferredNote = std::string(note);
  }
  Abort(ERROR_OPERATION_ABORTED);
  return true;
}

void TAsyncOperation::EndDeferred(std::unique_lock<std::mutex>& lock) {
  if (FRequest.Finished || FIoPending)
    return;
  if (FDeferredExpiry != 0) {
    const unsigned status = std::exchange(FDeferredExpiry, 0u);
    FRequest.ExpireLocked(lock, status, FDeferredNote, false);
  } else if (FEndDeferred) {
    FEndDeferred = false;
    FRequest.EndLocked(lock, FDeferredStatus, false);
  }
}

} // namespace isapi_web::host
