#pragma once
// The extension's asynchronous operation, at most one at a time, and its completion: the bytes
// move on the channel (the connection's loop), whatever thread started the operation; the
// completion is called on one of the extension threads, once per operation, and never before the
// call that started it has returned to the extension. An end of the request, or a host page, that
// comes while an operation is pending waits for its completion.

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>

#include "host/answer.h"
#include "host/client_channel.h"
#include "isapi/isapi_host_interface.h"

namespace isapi_web::host {

class TRequestCore;

/// Runs job on one of the host's extension threads (see extension_threads.h).
void RunOnCompletionThread(std::function<void()> job);
/// At the end of a run: waits until no work of the extension threads is queued or running, at
/// most limit, then ends and joins those threads (one still inside a call ends when it returns).
/// False on time-out.
bool StopCompletionThreads(std::chrono::milliseconds limit);

/// The asynchronous operation of one request. Called with the request's lock held but where a
/// member says otherwise.
class TAsyncOperation {
public:
  TAsyncOperation(TRequestCore& request, TAnswer& answer);
  TAsyncOperation(const TAsyncOperation&) = delete;
  TAsyncOperation& operator=(const TAsyncOperation&) = delete;

  /// The function HSE_REQ_IO_COMPLETION set (null: none) and its context.
  PFN_HSE_IO_COMPLETION Completion() const { return FCompletion; }
  void* CompletionContext() const { return FCompletionContext; }
  void SetCompletion(PFN_HSE_IO_COMPLETION callback, void* context);
  /// Whether an operation is under way: started, and its completion not called yet.
  bool Pending() const { return FIoPending; }
  /// Whether the extension (or the host) cut the pending operation short, and with what error.
  bool AbortRequested() const { return FIoAbortRequested; }
  DWORD AbortError() const { return FIoAbortError; }
  /// How the pending operation is cut short when it is a child request (set once).
  void SetChildCutter(std::function<void()> cut) { FCutChild = std::move(cut); }

  /// Marks an operation as started by the calling thread's call, with its completion.
  void Begin(PFN_HSE_IO_COMPLETION callback, void* context);
  /// A child request runs (SEND_URL without a completion, EXEC_URL with one): a cancel is the
  /// child's, as its answer does not wait on the connection.
  void BeginSynchronousChild();
  void SetChildRunning(bool running) { FChildRunning = running; }
  /// SEND_URL's child has ended: no operation is pending any more.
  void EndSynchronousChild() { FIoPending = false; }
  /// The operation's result: its completion is called once the starting call has returned.
  void Done(DWORD bytes, DWORD error);
  /// Frames the parts as body bytes after what is buffered, and sends them synchronously or
  /// starts sending them (callback not null); lock is the request's, released while it starts.
  BOOL SendBody(std::unique_lock<std::mutex>& lock, std::span<const TBodyPart> parts,
                PFN_HSE_IO_COMPLETION callback, void* context, DWORD reported);
  /// Starts reading the body into buffer as the operation Begin marked; lock is released.
  void ReceiveBody(std::unique_lock<std::mutex>& lock, void* buffer, std::size_t size);
  /// Where an asynchronous read puts its bytes, for the `call` transcript.
  void SetReadBuffer(const void* buffer) { FIoReadBuffer = buffer; }
  /// Ends the pending operation, if any, as soon as it can; its completion still comes, once,
  /// with error.
  void Abort(DWORD error);
  /// A callback into the host has returned to the extension: the completion of an operation it
  /// started may be called from now on. Takes the request's lock itself.
  void CallReturned();

  /// The request ends with status once the pending operation has completed; false when none is.
  bool DeferEnd(DWORD status);
  /// The host's page (status) follows the pending operation's completion, which is cut short;
  /// false when none is pending.
  bool DeferExpiry(unsigned status, std::string_view note);
  /// A host page due once the completion has been called (0: none), and why.
  unsigned DeferredExpiry() const { return FDeferredExpiry; }
  const std::string& DeferredNote() const { return FDeferredNote; }
  /// No operation is pending any more: an end, or a host page, held back for one comes now.
  void EndDeferred(std::unique_lock<std::mutex>& lock);

private:
  /// How the channel's send or read of the pending operation ended; they take the lock.
  void SendDone(TSendResult result);
  void ReceiveDone(TReceiveResult result, std::size_t received);
  /// Calls the completion, without the lock, on an extension thread.
  void DeliverCompletion();

  TRequestCore& FRequest;
  TAnswer& FAnswer;
  std::function<void()> FCutChild;
  PFN_HSE_IO_COMPLETION FCompletion = nullptr; ///< set by HSE_REQ_IO_COMPLETION
  void* FCompletionContext = nullptr;
  bool FIoPending = false; ///< started; its completion has not been called yet
  /// The call that started it has not returned yet; read without the lock by that call's thread.
  std::atomic<bool> FIoStarting{false};
  bool FIoFinished = false; ///< its result is in, waiting for the starting call to return
  std::thread::id FIoStarter;
  PFN_HSE_IO_COMPLETION FIoCallback = nullptr;
  void* FIoContext = nullptr;
  DWORD FIoBytes = 0;
  DWORD FIoError = 0;
  DWORD FIoReported = 0;               ///< cbIO of a send that succeeds
  const void* FIoReadBuffer = nullptr; ///< where an asynchronous read puts its bytes (for `call`)
  DWORD FIoAbortError = ERROR_OPERATION_ABORTED; ///< what a cancelled operation reports
  bool FIoAbortRequested = false;                ///< the extension cut the operation short
  bool FChildRunning = false;                    ///< the operation is a child request
  bool FEndDeferred = false; ///< the request ends once the completion has been called
  DWORD FDeferredStatus = HSE_STATUS_SUCCESS;
  unsigned FDeferredExpiry = 0; ///< a host page due once the completion has been called
  std::string FDeferredNote;
};

} // namespace isapi_web::host
