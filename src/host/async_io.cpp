// The extension's asynchronous I/O: HSE_REQ_IO_COMPLETION, WriteClient with HSE_IO_ASYNC,
// HSE_REQ_ASYNC_READ_CLIENT, HSE_REQ_TRANSMIT_FILE, HSE_REQ_VECTOR_SEND and HSE_REQ_CANCEL_IO.
// The bytes move on the channel (the connection's loop), whatever thread started the operation;
// the completion is called on one of the extension threads, once per operation, and never before
// the call that started the operation has returned to the extension.

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>

#include "host/bridge.h"
#include "host/extension.h"
#include "host/extension_threads.h"
#include "host/header_block.h"
#include "host/host_system.h"
#include "host/host_text.h"
#include "host/static_files.h"

#include <boost/container/small_vector.hpp>

namespace isapi_web::host {

namespace {

// ERROR_HANDLE_EOF: a file being sent ended (or failed) before its range did.
constexpr DWORD ErrorHandleEof = 38;
// Adds the body bytes of parts (framed as the answer's framing wants) to pieces.
void AppendPart(std::vector<TSendPiece>& pieces, const std::string_view bytes) {
  if (bytes.empty())
    return;
  if (pieces.empty() || pieces.back().File != nullptr)
    pieces.emplace_back();
  pieces.back().Bytes += bytes;
}

} // namespace

void RunOnCompletionThread(std::function<void()> job) {
  ExtensionThreads().Post(std::move(job));
}

bool StopCompletionThreads(std::chrono::milliseconds limit) {
  return ExtensionThreads().Stop(limit);
}

void DescribeAsyncCall(DWORD request, const void* buffer, const DWORD* size,
                       const DWORD* dataType, TCallRecord& record) {
  auto add = [&record](const char* name, TCallRecord::TValue value) {
    record.Arguments.emplace_back(name, std::move(value));
  };
  auto text = [](const void* bytes, DWORD length) {
    return bytes ? std::string(static_cast<const char*>(bytes), length) : std::string("(null)");
  };
  switch (request) {
  case HSE_REQ_IO_COMPLETION:
    add("callback", buffer ? "set" : "(null)");
    add("context", HandleText(dataType));
    break;
  case HSE_REQ_ASYNC_READ_CLIENT:
    if (dataType != nullptr)
      add("flags", std::int64_t{*dataType});
    break;
  case HSE_REQ_TRANSMIT_FILE:
    if (const auto* info = static_cast<const HSE_TF_INFO*>(buffer)) {
      add("callback", info->pfnHseIO ? "set" : "(null)");
      add("file", HandleText(info->hFile));
      add("status", info->pszStatusCode ? info->pszStatusCode : "(null)");
      add("bytes_to_write", std::int64_t{info->BytesToWrite});
      add("offset", std::int64_t{info->Offset});
      add("head", text(info->pHead, info->HeadLength));
      add("tail", text(info->pTail, info->TailLength));
      add("flags", std::int64_t{info->dwFlags});
    }
    break;
  case HSE_REQ_VECTOR_SEND:
    if (const auto* vector = static_cast<const HSE_RESPONSE_VECTOR*>(buffer)) {
      add("flags", std::int64_t{vector->dwFlags});
      add("status", vector->pszStatus ? vector->pszStatus : "(null)");
      add("headers", vector->pszHeaders ? vector->pszHeaders : "(null)");
      add("elements", std::int64_t{vector->nElementCount});
    }
    break;
  default:
    DescribeChildCall(request, buffer, record);
    break;
  }
  (void)size;
}

// ---- Starting operations ---------------------------------------------------------------------

BOOL TRequest::SetIoCompletion(PFN_HSE_IO_COMPLETION callback, void* context) {
  std::lock_guard lock(FMutex);
  if (FEnded)
    return FailCall(ERROR_INVALID_PARAMETER);
  // The last call wins; a null callback means none is called (and asynchronous calls fail).
  FCompletion = callback;
  FCompletionContext = context;
  return 1;
}

void TRequest::BeginIoLocked(PFN_HSE_IO_COMPLETION callback, void* context) {
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

BOOL TRequest::WriteAsync(const void* buffer, DWORD bytes) {
  std::unique_lock lock(FMutex);
  if (FEnded || FCompletion == nullptr)
    return FailCall(ERROR_INVALID_PARAMETER);
  if (FIoPending)
    return FailCall(ERROR_BUSY);
  if (!FHeadSent)
    StartBodyLocked(200, "200 OK", {});
  const TBodyPart part{std::string_view(static_cast<const char*>(buffer), bytes)};
  return SendBodyLocked(lock, {&part, 1}, FCompletion, FCompletionContext, bytes);
}

BOOL TRequest::ReadAsync(void* buffer, DWORD* size, const DWORD* flags) {
  if (buffer == nullptr || size == nullptr || flags == nullptr || (*flags & HSE_IO_ASYNC) == 0)
    return FailCall(ERROR_INVALID_PARAMETER);
  std::unique_lock lock(FMutex);
  if (FEnded || FCompletion == nullptr)
    return FailCall(ERROR_INVALID_PARAMETER);
  if (FIoPending)
    return FailCall(ERROR_BUSY);
  BeginIoLocked(FCompletion, FCompletionContext);
  FIoReadBuffer = buffer;
  const std::size_t remaining = FSetup.Body.size() - FReadOffset;
  if (remaining > 0 || FBodyComplete || *size == 0 || FClientGone) {
    // Bytes read ahead (or the end): the result is known now, and still comes by the completion.
    const std::size_t count = std::min<std::size_t>(remaining, *size);
    if (count > 0)
      std::memcpy(buffer, FSetup.Body.data() + FReadOffset, count);
    FReadOffset += count;
    IoDoneLocked(static_cast<DWORD>(count), 0);
    return 1;
  }
  // On the connection's loop, wherever the call came from: no thread waits for the client.
  const std::shared_ptr<IClientChannel> channel = FChannel;
  const std::size_t room = *size;
  lock.unlock();
  channel->ReceiveLater(buffer, room,
                        [self = shared_from_this()](TReceiveResult result, std::size_t received) {
                          self->ReceiveDone(result, received);
                        });
  return 1;
}

bool TRequest::StartHeadLocked(const char* status, std::string_view block, std::string_view& rest) {
  TStatusText statusText;
  if (status != nullptr) {
    const std::optional<TStatusText> parsed = ParseStatusText(status);
    if (!parsed || parsed->Code < 200) {
      FRefusal = "headers with an invalid status text";
      return false;
    }
    statusText = *parsed;
  }
  // A header block that stops at its last line's end is taken as ended there.
  std::optional<THeaderBlock> headers = ParseAnswerHeaderBlock(block);
  if (!headers && !block.empty())
    headers = ParseAnswerHeaderBlock(std::string(block) + "\r\n");
  if (!headers) {
    FRefusal = "headers with an invalid header block";
    return false;
  }
  boost::container::small_vector<TFieldView, 8> fields;
  for (const auto& [name, value] : headers->Fields)
    fields.push_back({name, value});
  StartBodyLocked(statusText.Code, statusText.Text, {fields.data(), fields.size()});
  // The body's first bytes follow the blank line in the caller's block.
  rest = block.substr(block.size() - std::min(block.size(), headers->BodyStart.size()));
  return true;
}

BOOL TRequest::TransmitFile(const HSE_TF_INFO* info) {
  if (info == nullptr)
    return FailCall(ERROR_INVALID_PARAMETER);
  const bool async = (info->dwFlags & HSE_IO_ASYNC) != 0;
  // A null handle is refused on every system, descriptor 0 included.
  const std::optional<std::uint64_t> fileSize =
      info->hFile ? ExtensionFileSize(info->hFile) : std::nullopt;
  if (!fileSize || (info->pHead == nullptr && info->HeadLength != 0) ||
      (info->pTail == nullptr && info->TailLength != 0))
    return FailCall(ERROR_INVALID_PARAMETER);
  if (info->Offset > *fileSize)
    return FailCall(WSAEINVAL);
  // Whole file from the offset when BytesToWrite is 0; never past its end.
  const std::uint64_t available = *fileSize - info->Offset;
  const std::uint64_t length =
      info->BytesToWrite == 0 ? available : std::min<std::uint64_t>(info->BytesToWrite, available);
  std::unique_lock lock(FMutex);
  const PFN_HSE_IO_COMPLETION callback = info->pfnHseIO ? info->pfnHseIO : FCompletion;
  void* context = info->pfnHseIO ? info->pContext : FCompletionContext;
  if (FEnded || (async && callback == nullptr))
    return FailCall(ERROR_INVALID_PARAMETER);
  if (FIoPending)
    return FailCall(ERROR_BUSY);
  if ((info->dwFlags & HSE_IO_DISCONNECT_AFTER_SEND) != 0)
    FKeepAlive = false;
  std::string_view head(static_cast<const char*>(info->pHead), info->HeadLength);
  if ((info->dwFlags & HSE_IO_SEND_HEADERS) != 0) {
    if (FHeadSent)
      return FailCall(ERROR_INVALID_PARAMETER);
    if (!StartHeadLocked(info->pszStatusCode, head, head))
      return FailCall(ERROR_INVALID_PARAMETER);
  } else if (!FHeadSent) {
    StartBodyLocked(200, "200 OK", {});
  }
  const TBodyPart parts[] = {
      {head},
      {{}, info->hFile, info->Offset, length},
      {std::string_view(static_cast<const char*>(info->pTail), info->TailLength)}};
  const std::uint64_t total = head.size() + length + info->TailLength;
  return SendBodyLocked(lock, parts, async ? callback : nullptr, context,
                        static_cast<DWORD>(std::min<std::uint64_t>(total, 0xFFFFFFFFu)));
}

BOOL TRequest::VectorSend(const HSE_RESPONSE_VECTOR* vector) {
  if (vector == nullptr || (vector->nElementCount != 0 && vector->lpElementArray == nullptr))
    return FailCall(ERROR_INVALID_PARAMETER);
  const bool async = (vector->dwFlags & HSE_IO_ASYNC) != 0;
  std::vector<TBodyPart> parts;
  std::uint64_t total = 0;
  for (DWORD i = 0; i < vector->nElementCount; ++i) {
    const HSE_VECTOR_ELEMENT& element = vector->lpElementArray[i];
    if (element.ElementType == HSE_VECTOR_ELEMENT_TYPE_MEMORY_BUFFER) {
      if (element.pvContext == nullptr && element.cbSize != 0)
        return FailCall(ERROR_INVALID_PARAMETER);
      parts.push_back({std::string_view(static_cast<const char*>(element.pvContext),
                                        static_cast<std::size_t>(element.cbSize))});
      total += element.cbSize;
    } else if (element.ElementType == HSE_VECTOR_ELEMENT_TYPE_FILE_HANDLE) {
      const std::optional<std::uint64_t> size =
          element.pvContext ? ExtensionFileSize(element.pvContext) : std::nullopt;
      if (!size)
        return FailCall(ERROR_INVALID_PARAMETER);
      if (element.cbOffset > *size)
        return FailCall(WSAEINVAL);
      const std::uint64_t available = *size - element.cbOffset;
      const std::uint64_t length =
          element.cbSize == 0 ? available : std::min(element.cbSize, available);
      parts.push_back({{}, element.pvContext, element.cbOffset, length});
      total += length;
    } else {
      return FailCall(ERROR_INVALID_PARAMETER);
    }
  }
  std::unique_lock lock(FMutex);
  if (FEnded || (async && FCompletion == nullptr))
    return FailCall(ERROR_INVALID_PARAMETER);
  if (FIoPending)
    return FailCall(ERROR_BUSY);
  if ((vector->dwFlags & HSE_IO_DISCONNECT_AFTER_SEND) != 0)
    FKeepAlive = false;
  if ((vector->dwFlags & HSE_IO_SEND_HEADERS) != 0) {
    if (FHeadSent)
      return FailCall(ERROR_INVALID_PARAMETER);
    std::string_view rest;
    const std::string_view block = vector->pszHeaders ? vector->pszHeaders : "";
    if (!StartHeadLocked(vector->pszStatus, block, rest))
      return FailCall(ERROR_INVALID_PARAMETER);
    parts.insert(parts.begin(), TBodyPart{rest});
    total += rest.size();
  } else if (!FHeadSent) {
    StartBodyLocked(200, "200 OK", {});
  }
  return SendBodyLocked(lock, parts, async ? FCompletion : nullptr, FCompletionContext,
                        static_cast<DWORD>(std::min<std::uint64_t>(total, 0xFFFFFFFFu)));
}

BOOL TRequest::SendBodyLocked(std::unique_lock<std::mutex>& lock,
                              std::span<const TBodyPart> parts, PFN_HSE_IO_COMPLETION callback,
                              void* context, DWORD reported) {
  std::uint64_t total = 0;
  for (const TBodyPart& part : parts)
    total += part.File ? part.Length : part.Bytes.size();
  const std::uint64_t before = FBodyWritten;
  FBodyWritten += total;
  // What the framing lets through of the parts: all of them, or up to the declared length (bytes
  // past it could only become a second response), or nothing for a head-only answer.
  std::uint64_t allowed = total;
  if (FSetup.HeadOnly || FBodyless)
    allowed = 0;
  else if (FFraming == TFraming::Length)
    allowed = before < FDeclaredLength ? std::min(total, FDeclaredLength - before) : 0;
  std::vector<TSendPiece> pieces;
  AppendPart(pieces, FOutput);
  FOutput.clear();
  FUnsentHeadSize = 0;
  // One chunk carries the whole operation's body, however large.
  const bool chunked = FFraming == TFraming::Chunked && allowed > 0;
  if (chunked) {
    char size[24];
    const auto end = std::to_chars(size, size + sizeof size, allowed, 16).ptr;
    AppendPart(pieces, std::string_view(size, static_cast<std::size_t>(end - size)));
    AppendPart(pieces, "\r\n");
  }
  for (const TBodyPart& part : parts) {
    if (allowed == 0)
      break;
    if (part.File == nullptr) {
      const std::size_t count =
          static_cast<std::size_t>(std::min<std::uint64_t>(part.Bytes.size(), allowed));
      AppendPart(pieces, part.Bytes.substr(0, count));
      allowed -= count;
    } else if (part.Length > 0) {
      const std::uint64_t count = std::min(part.Length, allowed);
      pieces.push_back(TSendPiece{{}, part.File, part.Offset, count});
      allowed -= count;
    }
  }
  if (chunked)
    AppendPart(pieces, "\r\n");

  if (callback == nullptr) {
    // Synchronous: on this thread, a file in bounded reads.
    if (FClientGone)
      return FailCall(FSendError);
    const TSendResult result = pieces.empty() ? TSendResult::Sent : SendPiecesNow(*FChannel, pieces);
    if (result == TSendResult::Sent)
      return 1;
    FClientGone = true;
    FSendError = result == TSendResult::TimedOut ? ERROR_TIMEOUT : ERROR_NO_DATA;
    return FailCall(FSendError);
  }
  BeginIoLocked(callback, context);
  FIoReported = reported;
  if (FClientGone || pieces.empty()) {
    // Nothing can go (or nothing has to): the completion says so all the same.
    IoDoneLocked(FClientGone ? 0 : reported,
                 FClientGone ? (FSendError == ERROR_TIMEOUT ? ERROR_TIMEOUT
                                                            : ERROR_OPERATION_ABORTED)
                             : 0);
    return 1;
  }
  const std::shared_ptr<IClientChannel> channel = FChannel;
  lock.unlock();
  channel->SendLater(std::move(pieces),
                     [self = shared_from_this()](TSendResult result) { self->SendDone(result); });
  return 1;
}

void TRequest::ReceiveDone(TReceiveResult result, std::size_t received) {
  std::lock_guard lock(FMutex);
  DWORD error = 0;
  switch (result) {
  case TReceiveResult::Received:
    break;
  case TReceiveResult::End:
    FBodyComplete = true;
    break;
  case TReceiveResult::ClientGone:
    // As a synchronous read answers a closed connection: no bytes, no error.
    FClientGone = true;
    FSendError = ERROR_NO_DATA;
    break;
  case TReceiveResult::TimedOut:
  case TReceiveResult::Interrupted:
    FClientGone = true;
    FSendError = ERROR_TIMEOUT;
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
  IoDoneLocked(static_cast<DWORD>(received), error);
}

void TRequest::SendDone(TSendResult result) {
  std::lock_guard lock(FMutex);
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
    FClientGone = true;
    FSendError = error == ERROR_TIMEOUT ? ERROR_TIMEOUT : ERROR_NO_DATA;
  }
  IoDoneLocked(error == 0 ? FIoReported : 0, error);
}

BOOL TRequest::CancelIo() {
  std::lock_guard lock(FMutex);
  if (FEnded)
    return FailCall(ERROR_INVALID_PARAMETER);
  AbortPendingIoLocked(ERROR_OPERATION_ABORTED);
  return 1;
}

void TRequest::AbortPendingIo(DWORD error) {
  std::lock_guard lock(FMutex);
  AbortPendingIoLocked(error);
}

void TRequest::AbortPendingIoLocked(DWORD error) {
  // An operation whose result is in already completes as it went.
  if (!FIoPending || FIoFinished)
    return;
  FIoAbortError = error;
  FIoAbortRequested = true;
  if (FChildRunning)
    CutChildLocked();
  else if (FChannel)
    FChannel->CancelLater();
}

// ---- Completions -----------------------------------------------------------------------------

void TRequest::IoDone(DWORD bytes, DWORD error) {
  std::lock_guard lock(FMutex);
  IoDoneLocked(bytes, error);
}

void TRequest::IoDoneLocked(DWORD bytes, DWORD error) {
  // A cancel ends with the operation it was for; under the lock that cancels are asked for
  // under, so none is left over for the connection's next request.
  if (FChannel)
    FChannel->ClearCancel();
  FIoBytes = bytes;
  FIoError = error;
  FIoFinished = true;
  if (!FIoStarting)
    ExtensionThreads().Post([self = shared_from_this()] { self->DeliverCompletion(); });
}

void TRequest::CallReturned() {
  // Most calls start no operation: they return without the lock.
  if (!FIoStarting.load(std::memory_order_relaxed))
    return;
  std::lock_guard lock(FMutex);
  if (!FIoStarting || FIoStarter != std::this_thread::get_id())
    return;
  FIoStarting = false;
  if (FIoFinished)
    ExtensionThreads().Post([self = shared_from_this()] { self->DeliverCompletion(); });
}

void TRequest::DeliverCompletion() {
  PFN_HSE_IO_COMPLETION callback;
  void* context;
  DWORD bytes;
  DWORD error;
  const void* readBuffer;
  {
    std::lock_guard lock(FMutex);
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
                       {{"ConnID", HandleText(FECB.ConnID)},
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
    const TExtension::TCallScope call(FExtension);
    callback(&FECB, context, bytes, error);
  }
  std::unique_lock lock(FMutex);
  EndDeferredLocked(lock);
}

void TRequest::EndDeferredLocked(std::unique_lock<std::mutex>& lock) {
  if (FEnded || FIoPending)
    return;
  if (FDeferredExpiry != 0) {
    const unsigned status = std::exchange(FDeferredExpiry, 0u);
    ExpireLocked(lock, status, FDeferredNote, false);
  } else if (FEndDeferred) {
    FEndDeferred = false;
    EndLocked(lock, FDeferredStatus, false);
  }
}

} // namespace isapi_web::host
