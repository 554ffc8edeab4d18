#include "host/bridge.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <thread>

#include "host/conn_table.h"
#include "host/extension.h"
#include "host/header_block.h"
#include "host/host_system.h"
#include "host/host_text.h"
#include "host/thread_group.h"
#include "host/url_path.h"
#include "runtime/text.h"

#include <boost/container/small_vector.hpp>

namespace isapi_web::host {

namespace {

// Buffered output goes to the client once it reaches this size, even inside the extension call.
constexpr std::size_t FlushThreshold = 16 * 1024;
// ERROR_TIMEOUT: a synchronous write the client did not take in time.
constexpr DWORD ErrorTimeout = 1460;
// ERROR_OPERATION_ABORTED: a synchronous read the shutdown ended.
constexpr DWORD ErrorOperationAborted = 995;

TConnTable<TRequest>& Requests() {
  static TConnTable<TRequest> table;
  return table;
}

// Threads inside one of the callbacks right now. An extension's own thread may still be in the
// last few instructions of a callback (the post that ends its request) when everything else is
// done; the host waits for this to reach zero before it dismantles the loop.
std::atomic<int> CallbacksInProgress{0};

class TCallbackScope {
public:
  TCallbackScope() { CallbacksInProgress.fetch_add(1, std::memory_order_acq_rel); }
  ~TCallbackScope() { CallbacksInProgress.fetch_sub(1, std::memory_order_acq_rel); }
  TCallbackScope(const TCallbackScope&) = delete;
  TCallbackScope& operator=(const TCallbackScope&) = delete;
};

std::shared_ptr<TRequest> FindRequest(HCONN conn) {
  return Requests().Find(reinterpret_cast<std::uintptr_t>(conn));
}

std::string TextOrNull(const char* text) {
  return text ? std::string(text) : "(null)";
}

std::string StatusName(DWORD status) {
  switch (status) {
  case HSE_STATUS_SUCCESS:
    return "HSE_STATUS_SUCCESS";
  case HSE_STATUS_SUCCESS_AND_KEEP_CONN:
    return "HSE_STATUS_SUCCESS_AND_KEEP_CONN";
  case HSE_STATUS_PENDING:
    return "HSE_STATUS_PENDING";
  case HSE_STATUS_ERROR:
    return "HSE_STATUS_ERROR";
  default:
    return "status " + std::to_string(status);
  }
}

// A Content-Length value the header check let through: at most 18 digits.
std::uint64_t DecimalValue(std::string_view digits) {
  std::uint64_t value = 0;
  std::from_chars(digits.data(), digits.data() + digits.size(), value);
  return value;
}

std::string ReasonFor(unsigned status) {
  switch (status) {
  case 500:
    return "500 Internal Server Error";
  case 502:
    return "502 Bad Gateway";
  case 413:
    return "413 Payload Too Large";
  case 503:
    return "503 Service Unavailable";
  default:
    return std::to_string(status) + " Error";
  }
}

// The support functions that send to the client (or start a child that does).
bool SendsToClient(DWORD request) {
  switch (request) {
  case HSE_REQ_SEND_URL_REDIRECT_RESP:
  case HSE_REQ_SEND_URL:
  case HSE_REQ_SEND_RESPONSE_HEADER:
  case HSE_REQ_SEND_RESPONSE_HEADER_EX:
  case HSE_REQ_TRANSMIT_FILE:
  case HSE_REQ_VECTOR_SEND:
  case HSE_REQ_EXEC_URL:
  case HSE_REQ_EXEC_UNICODE_URL:
  case HSE_REQ_SEND_CUSTOM_ERROR:
    return true;
  default:
    return false;
  }
}

} // namespace

bool WaitForCallbacksToReturn(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  // A poll, not a condition variable: the waiter may destroy everything right after, and the
  // last thing a returning callback touches must be this static counter.
  while (CallbacksInProgress.load(std::memory_order_acquire) != 0) {
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

std::vector<std::shared_ptr<TRequest>> LiveRequests() {
  return Requests().LiveEntries();
}

std::size_t LiveRequestCount() {
  return Requests().LiveCount();
}

// ---- TRequest ------------------------------------------------------------------------------

TRequest::TRequest(TCreateKey, const TExtension& extension, TRequestSetup&& setup,
                   std::shared_ptr<IClientChannel>&& channel)
    : FExtension(extension), FSetup(std::move(setup)), FChannel(std::move(channel)) {
  FContentType = HeaderValue(FSetup.Info, "Content-Type").value_or("");
  FKeepAlive = FSetup.Connection.KeepAlive;
  FECB.cbSize = sizeof(EXTENSION_CONTROL_BLOCK);
  FECB.dwVersion = HSE_VERSION;
  FECB.dwHttpStatusCode = 200;
  FECB.lpszMethod = FSetup.Info.Method.data();
  FECB.lpszQueryString = FSetup.Info.Query.data();
  FECB.lpszPathInfo = FSetup.Info.PathInfo.data();
  FECB.lpszPathTranslated = FSetup.Info.PathTranslated.data();
  FECB.cbTotalBytes = FSetup.TotalBytes;
  FECB.cbAvailable = static_cast<DWORD>(std::min(FSetup.Body.size(), MaxPreloadedBody));
  FECB.lpbData = reinterpret_cast<LPBYTE>(FSetup.Body.data());
  FECB.lpszContentType = FContentType.data();
  FECB.GetServerVariable = GetServerVariableCallback;
  FECB.WriteClient = WriteClientCallback;
  FECB.ReadClient = ReadClientCallback;
  FECB.ServerSupportFunction = ServerSupportFunctionCallback;
  FReadOffset = FECB.cbAvailable;
  FBodyComplete = FSetup.BodyComplete;
  FSetup.Info.Root = FSetup.Root;
  FSetup.Info.ExtensionFile = &FExtension.File();
}

TRequest::~TRequest() = default;

std::shared_ptr<TRequest> TRequest::Create(const TExtension& extension, TRequestSetup&& setup,
                                           std::shared_ptr<IClientChannel> channel) {
  auto request =
      std::make_shared<TRequest>(TCreateKey{}, extension, std::move(setup), std::move(channel));
  request->FHandle = Requests().Insert(request);
  request->FECB.ConnID = reinterpret_cast<HCONN>(request->FHandle);
  return request;
}

std::shared_ptr<TRequest> TRequest::Create(const TExtension& extension, const TRequestSetup& setup,
                                           std::shared_ptr<IClientChannel> channel) {
  return Create(extension, TRequestSetup(setup), std::move(channel));
}

bool TRequest::Ended() const {
  std::lock_guard lock(FMutex);
  return FEnded;
}

void TRequest::Run() {
  DWORD status;
  {
    TExtensionCallScope scope;
    status = FExtension.HttpExtensionProc(&FECB);
  }
  if (CallsObserved())
    ReportObservedCall(
        TCallRecord{"HttpExtensionProc",
                    {{"ConnID", HandleText(FECB.ConnID)}},
                    true,
                    0,
                    {{"status", std::int64_t{status}}, {"meaning", StatusName(status)}}});
  std::unique_lock lock(FMutex);
  FProcReturned = true;
  if (FEnded)
    return;
  if (status == HSE_STATUS_PENDING) {
    if (FDoneCalled) {
      EndLocked(lock, FDoneStatus, true);
      return;
    }
    FPending = true;
    FChannel->PendingStarted();
    FlushLocked(); // what the call wrote goes out now; the rest streams as it comes
    return;
  }
  EndLocked(lock, status, true);
}

bool TRequest::Expire(unsigned status, std::string_view note, bool onOwnerThread, bool wait) {
  std::unique_lock lock(FMutex, std::defer_lock);
  if (wait)
    lock.lock();
  else if (!lock.try_lock())
    return false;
  if (FEnded)
    return true;
  ExpireLocked(lock, status, note, onOwnerThread);
  return true;
}

void TRequest::ExpireLocked(std::unique_lock<std::mutex>& lock, unsigned status,
                            std::string_view note, bool onOwnerThread) {
  if (FIoPending) {
    // The connection is busy with the operation: it is cut short, and the page (or the close)
    // follows its completion.
    if (FDeferredExpiry == 0) {
      FDeferredExpiry = status;
      FDeferredNote = std::string(note);
    }
    AbortPendingIoLocked(ERROR_OPERATION_ABORTED);
    return;
  }
  TRequestOutcome outcome;
  outcome.KeepAlive = false;
  outcome.Note = std::string(note);
  outcome.LogData = LogDataLocked();
  if (!FHeadSent) {
    const std::string statusText = ReasonFor(status);
    outcome.Bytes = ComposePage(statusText, {}, ErrorPageBody(statusText, HtmlEscape(note)),
                                TConnectionState{false, FSetup.Connection.Http10}, FSetup.HeadOnly);
    outcome.Status = status;
  } else {
    if (FUnsentHeadSize != 0)
      FUnsentHeadSize = AnnounceClose(FOutput, FUnsentHeadSize, FAnnounced);
    outcome.Bytes = std::move(FOutput);
    outcome.Status = FStatus;
  }
  // The bytes go with the outcome, from the connection's loop: the thread that expires the
  // request (the shutdown's, a reader's) never waits for the client.
  if (FClientGone)
    outcome.Bytes.clear();
  Finish(lock, std::move(outcome), onOwnerThread);
}

bool TRequest::Withdraw() {
  std::lock_guard lock(FMutex);
  if (FEnded)
    return false;
  FEnded = true;
  Requests().Remove(FHandle);
  FChannel.reset();
  return true;
}

void TRequest::Finish(std::unique_lock<std::mutex>& lock, TRequestOutcome outcome,
                      bool onOwnerThread) {
  FEnded = true;
  Requests().Remove(FHandle);
  if (FToken != 0)
    CloseImpersonationToken(std::exchange(FToken, 0));
  std::shared_ptr<IClientChannel> channel = std::move(FChannel);
  lock.unlock();
  IClientChannel& target = *channel;
  target.RequestEnded(std::move(channel), std::move(outcome), onOwnerThread);
}

void TRequest::EndLocked(std::unique_lock<std::mutex>& lock, DWORD status, bool onOwnerThread) {
  if (FIoPending) {
    // Never ended with an operation outstanding: the end follows its completion.
    FEndDeferred = true;
    FDeferredStatus = status;
    return;
  }
  TRequestOutcome outcome;
  outcome.LogData = LogDataLocked();
  if (FDoneCalled || FPending)
    outcome.SessionStatus = FDoneStatus;
  // A body the extension left unread is still on its way: the connection cannot carry another
  // request after it.
  bool keepAlive = FKeepAlive && !FClientGone && FBodyComplete;
  if (!FHeadSent) {
    std::string statusText;
    if (status == HSE_STATUS_ERROR) {
      statusText = ReasonFor(500);
      outcome.Status = 500;
      outcome.Note = FPending || FDoneCalled
                         ? "The extension ended the request with HSE_STATUS_ERROR before "
                           "sending a response."
                         : "The extension returned HSE_STATUS_ERROR before sending a response.";
      keepAlive = false;
    } else {
      statusText = ReasonFor(502);
      outcome.Status = 502;
      if (!FRefusal.empty())
        outcome.Note = "The extension asked for " + FRefusal +
                       ", which the host refused; nothing else was sent.";
      else if (FPending || FDoneCalled)
        outcome.Note = "The extension ended a pending request (done with session, " +
                       StatusName(status) + ") without sending a response.";
      else
        outcome.Note =
            "The extension returned " + StatusName(status) + " without sending a response.";
    }
    outcome.Bytes =
        ComposePage(statusText, {}, ErrorPageBody(statusText, HtmlEscape(outcome.Note)),
                    TConnectionState{keepAlive, FSetup.Connection.Http10}, FSetup.HeadOnly);
  } else {
    if (FFraming == TFraming::Chunked && !FSetup.HeadOnly)
      FOutput += LastChunk;
    if (FFraming == TFraming::UntilClose)
      keepAlive = false;
    if (FFraming == TFraming::Length && FBodyWritten < FDeclaredLength && !FSetup.HeadOnly &&
        !FBodyless)
      keepAlive = false; // the client still waits for bytes that will never come
    if (status == HSE_STATUS_ERROR)
      keepAlive = false;
    if (!keepAlive && FUnsentHeadSize != 0)
      FUnsentHeadSize = AnnounceClose(FOutput, FUnsentHeadSize, FAnnounced);
    outcome.Bytes = std::move(FOutput);
    outcome.Status = FStatus;
  }
  // An answer cut short ends with the connection: nothing more may look like its end.
  if (FClientGone)
    outcome.Bytes.clear();
  outcome.KeepAlive = keepAlive;
  outcome.TimedOut = FSendError == ErrorTimeout;
  // The host's limit cut an operation short and the extension then ended the request itself.
  if (FDeferredExpiry != 0 && outcome.Note.empty())
    outcome.Note = FDeferredNote;
  Finish(lock, std::move(outcome), onOwnerThread);
}

BOOL TRequest::GetVariable(const char* name, void* buffer, DWORD* size) {
  {
    std::lock_guard lock(FMutex);
    if (FEnded)
      return FailCall(ERROR_INVALID_PARAMETER);
  }
  DWORD error = 0;
  if (!CopyServerVariable(FSetup.Info, name, buffer, size, error))
    return FailCall(error);
  return 1;
}

BOOL TRequest::Read(void* buffer, DWORD* size) {
  std::unique_lock lock(FMutex);
  if (FEnded)
    return FailCall(ERROR_INVALID_PARAMETER);
  if (FIoPending)
    return FailCall(ERROR_BUSY);
  const std::size_t remaining = FSetup.Body.size() - FReadOffset;
  if (remaining > 0 || FBodyComplete || *size == 0) {
    const std::size_t count = std::min<std::size_t>(remaining, *size);
    if (count > 0)
      std::memcpy(buffer, FSetup.Body.data() + FReadOffset, count);
    FReadOffset += count;
    *size = static_cast<DWORD>(count);
    return 1;
  }
  // The rest of the body is still in the connection: this thread reads it from there.
  std::size_t received = 0;
  const TReceiveResult result = FChannel->ReceiveBody(buffer, *size, received);
  *size = static_cast<DWORD>(received);
  switch (result) {
  case TReceiveResult::Received:
    return 1;
  case TReceiveResult::End:
    FBodyComplete = true;
    return 1;
  case TReceiveResult::ClientGone:
    // As IIS answers a read on a closed connection; the connection ends with the request.
    FClientGone = true;
    FSendError = ERROR_NO_DATA;
    return 1;
  case TReceiveResult::TimedOut:
    FClientGone = true;
    FSendError = ErrorTimeout;
    return FailCall(ErrorTimeout);
  case TReceiveResult::Interrupted:
    // The shutdown's answer, given here while this thread holds the request: the extension's
    // later calls find it ended.
    ExpireLocked(lock, 503, "The server shut down before the request's body had come.", false);
    return FailCall(ErrorOperationAborted);
  case TReceiveResult::Cancelled:
    return FailCall(ErrorOperationAborted);
  case TReceiveResult::TooLarge:
    break;
  }
  // What the host answers to a body over its limit, whatever the extension does next: its
  // later calls find the request ended.
  ExpireLocked(lock, 413, "The request's body is larger than the host accepts.", false);
  return FailCall(ERROR_INVALID_PARAMETER);
}

BOOL TRequest::Write(const void* buffer, DWORD* bytes, DWORD reserved) {
  if (RefusedAfterChild("WriteClient"))
    return 0;
  if ((reserved & HSE_IO_ASYNC) != 0)
    return WriteAsync(buffer, *bytes);
  std::lock_guard lock(FMutex);
  if (FEnded)
    return FailCall(ERROR_INVALID_PARAMETER);
  if (FIoPending)
    return FailCall(ERROR_BUSY);
  if (FClientGone)
    return FailCall(FSendError);
  if (!FHeadSent)
    StartBodyLocked(200, "200 OK", {});
  AppendBodyLocked(std::string_view(static_cast<const char*>(buffer), *bytes));
  if ((FProcReturned || FFlushEachWrite || FOutput.size() >= FlushThreshold) && !FlushLocked())
    return 0;
  return 1;
}

void TRequest::StartBodyLocked(unsigned status, std::string_view statusText,
                               std::span<const TFieldView> fields) {
  FHeadSent = true;
  FStatus = status;
  if (FSetup.BodyOnly) {
    FFraming = TFraming::None; // a child's bytes, which its parent frames
    return;
  }
  // A client reads no body after these statuses, so body bytes would be read as the next answer.
  FBodyless = FStatus == 204 || FStatus == 304;
  boost::container::small_vector<TFieldView, 8> sent;
  bool extensionFramed = false;
  for (const TFieldView& field : fields) {
    if (EqualsIgnoreCase(field.Name, "Connection")) {
      if (ToUpperAscii(field.Value).find("CLOSE") != std::string::npos)
        FKeepAlive = false;
      continue; // the host says how the connection goes on
    }
    if (EqualsIgnoreCase(field.Name, "Content-Length")) {
      FFraming = TFraming::Length;
      FDeclaredLength = DecimalValue(field.Value);
    } else if (EqualsIgnoreCase(field.Name, "Transfer-Encoding")) {
      extensionFramed = true; // the extension frames the body itself; it ends with the connection
    }
    sent.push_back(field);
  }
  if (extensionFramed) {
    FFraming = TFraming::UntilClose;
    FKeepAlive = false;
  } else if (FFraming == TFraming::None && !FBodyless) {
    if (FSetup.Connection.Http10) {
      FFraming = TFraming::UntilClose;
      FKeepAlive = false;
    } else {
      FFraming = TFraming::Chunked;
      sent.push_back({"Transfer-Encoding", "chunked"});
    }
  }
  FAnnounced =
      TConnectionState{FKeepAlive && !(FFraming == TFraming::UntilClose), FSetup.Connection.Http10};
  AppendHead(FOutput, statusText, {sent.data(), sent.size()}, FAnnounced);
  FUnsentHeadSize = FOutput.size();
}

void TRequest::AppendBodyLocked(std::string_view bytes) {
  const std::uint64_t before = FBodyWritten;
  FBodyWritten += bytes.size();
  if (FSetup.HeadOnly || FBodyless || bytes.empty())
    return;
  switch (FFraming) {
  case TFraming::Length:
    // Bytes past the declared length are dropped: they could only become a second response.
    if (before < FDeclaredLength)
      FOutput += bytes.substr(0, static_cast<std::size_t>(std::min<std::uint64_t>(
                                     bytes.size(), FDeclaredLength - before)));
    break;
  case TFraming::Chunked:
    AppendChunk(FOutput, bytes);
    break;
  case TFraming::UntilClose:
  case TFraming::None:
    FOutput += bytes;
    break;
  }
}

bool TRequest::FlushLocked() {
  if (FClientGone)
    return FailCall(FSendError) != 0;
  if (FOutput.empty())
    return true;
  const TSendResult result = FChannel->SendNow(FOutput);
  FOutput.clear();
  FUnsentHeadSize = 0;
  if (result == TSendResult::Sent)
    return true;
  FClientGone = true;
  FSendError = result == TSendResult::TimedOut ? ErrorTimeout : ERROR_NO_DATA;
  return FailCall(FSendError) != 0;
}

BOOL TRequest::SupportFunction(DWORD request, void* buffer, DWORD* size, DWORD* dataType) {
  if (SendsToClient(request) && RefusedAfterChild(SupportFunctionName(request)))
    return 0;
  switch (request) {
  case HSE_REQ_SEND_URL_REDIRECT_RESP:
    return Redirect(static_cast<const char*>(buffer));
  case HSE_REQ_SEND_RESPONSE_HEADER: {
    const auto* block = reinterpret_cast<const char*>(dataType);
    return SendHeader(buffer ? std::optional<std::string_view>(static_cast<const char*>(buffer))
                             : std::nullopt,
                      block ? std::optional<std::string_view>(block) : std::nullopt, true);
  }
  case HSE_REQ_DONE_WITH_SESSION:
    return DoneWithSession(static_cast<const DWORD*>(buffer));
  case HSE_REQ_MAP_URL_TO_PATH:
    return MapUrl(static_cast<char*>(buffer), size);
  case HSE_REQ_IO_COMPLETION:
    return SetIoCompletion(reinterpret_cast<PFN_HSE_IO_COMPLETION>(buffer), dataType);
  case HSE_REQ_ASYNC_READ_CLIENT:
    return ReadAsync(buffer, size, dataType);
  case HSE_REQ_TRANSMIT_FILE:
    return TransmitFile(static_cast<const HSE_TF_INFO*>(buffer));
  case HSE_REQ_VECTOR_SEND:
    return VectorSend(static_cast<const HSE_RESPONSE_VECTOR*>(buffer));
  case HSE_REQ_CANCEL_IO:
    return CancelIo();
  case HSE_REQ_SEND_URL:
    return SendUrl(static_cast<const char*>(buffer));
  case HSE_REQ_EXEC_URL:
  case HSE_REQ_EXEC_UNICODE_URL:
    return ExecUrl(buffer, request == HSE_REQ_EXEC_UNICODE_URL);
  case HSE_REQ_GET_EXEC_URL_STATUS:
    return GetExecUrlStatus(buffer);
  case HSE_REQ_SEND_RESPONSE_HEADER_EX:
    return SendHeaderEx(static_cast<const HSE_SEND_HEADER_EX_INFO*>(buffer));
  case HSE_REQ_IS_KEEP_CONN:
    return AnswerKeepConn(static_cast<BOOL*>(buffer));
  case HSE_REQ_IS_CONNECTED:
    return AnswerConnected(static_cast<BOOL*>(buffer));
  case HSE_REQ_CLOSE_CONNECTION:
    return CloseConnection();
  case HSE_REQ_SET_FLUSH_FLAG:
    return SetFlushFlag(buffer);
  case HSE_APPEND_LOG_PARAMETER:
    return AppendLogParameter(static_cast<const char*>(buffer), size);
  case HSE_REQ_REPORT_UNHEALTHY:
    return ReportUnhealthy(static_cast<const char*>(buffer));
  case HSE_REQ_MAP_URL_TO_PATH_EX:
    return MapUrlEx(static_cast<const char*>(buffer), size,
                    reinterpret_cast<HSE_URL_MAPEX_INFO*>(dataType));
  case HSE_REQ_MAP_UNICODE_URL_TO_PATH:
    return MapUnicodeUrl(static_cast<WCHAR*>(buffer), size);
  case HSE_REQ_MAP_UNICODE_URL_TO_PATH_EX:
    return MapUnicodeUrlEx(static_cast<const WCHAR*>(buffer), size,
                           reinterpret_cast<HSE_UNICODE_URL_MAPEX_INFO*>(dataType));
  case HSE_REQ_NORMALIZE_URL:
    return NormalizeUrl(static_cast<char*>(buffer));
  case HSE_REQ_SEND_CUSTOM_ERROR:
    return SendCustomError(static_cast<const HSE_CUSTOM_ERROR_INFO*>(buffer));
  case HSE_REQ_GET_IMPERSONATION_TOKEN:
    return GetImpersonationToken(static_cast<void**>(buffer));
  case HSE_REQ_IS_IN_PROCESS:
    return AnswerInProcess(static_cast<DWORD*>(buffer));
  case HSE_REQ_ABORTIVE_CLOSE:
    return AbortiveClose();
  case HSE_REQ_GET_SSPI_INFO:
  case HSE_REQ_REFRESH_ISAPI_ACL:
  case HSE_REQ_GET_CERT_INFO_EX:
  case HSE_REQ_GET_ANONYMOUS_TOKEN:
  case HSE_REQ_GET_CACHE_INVALIDATION_CALLBACK:
  case HSE_REQ_GET_UNICODE_ANONYMOUS_TOKEN:
  case HSE_REQ_GET_TRACE_INFO:
  case HSE_REQ_GET_TRACE_INFO_EX:
  case HSE_REQ_RAISE_TRACE_EVENT:
  case HSE_REQ_GET_CONFIG_OBJECT:
  case HSE_REQ_GET_WORKER_PROCESS_SETTINGS:
  case HSE_REQ_GET_PROTOCOL_MANAGER_CUSTOM_INTERFACE_CALLBACK:
  case HSE_REQ_GET_CHANNEL_BINDING_TOKEN:
    return Refuse(request);
  default: {
    std::lock_guard lock(FMutex);
    return FailCall(ERROR_INVALID_PARAMETER);
  }
  }
}

BOOL TRequest::Redirect(const char* url) {
  std::lock_guard lock(FMutex);
  if (FEnded || FHeadSent)
    return FailCall(ERROR_INVALID_PARAMETER);
  if (FIoPending)
    return FailCall(ERROR_BUSY);
  const std::string_view target = url ? std::string_view(url) : std::string_view();
  if (target.empty() || HasControlCharacter(target)) {
    // Nothing reaches the client: a CR or LF here would let the target write its own headers.
    FRefusal = target.empty() ? "a redirect to an empty target"
                              : "a redirect to an invalid target (it holds a control character)";
    return FailCall(ERROR_INVALID_PARAMETER);
  }
  const std::size_t bodySize = RedirectPageBodySize(target);
  char lengthText[24];
  const auto lengthEnd = std::to_chars(lengthText, lengthText + sizeof lengthText, bodySize).ptr;
  const TFieldView fields[] = {{"Location", target},
                               {"Content-Type", "text/html"},
                               {"Content-Length", std::string_view(lengthText, lengthEnd)}};
  FOutput.reserve(512 + target.size() + bodySize);
  StartBodyLocked(302, "302 Object Moved", fields);
  // The page goes straight into the output: the same bytes AppendBodyLocked would frame.
  FBodyWritten += bodySize;
  if (!FSetup.HeadOnly && !FBodyless)
    AppendRedirectPageBody(FOutput, target);
  if (FProcReturned && !FlushLocked())
    return 0;
  return 1;
}

BOOL TRequest::SendHeader(std::optional<std::string_view> status,
                          std::optional<std::string_view> block, bool keepConn) {
  std::lock_guard lock(FMutex);
  if (FEnded || FHeadSent)
    return FailCall(ERROR_INVALID_PARAMETER);
  if (FIoPending)
    return FailCall(ERROR_BUSY);
  TStatusText statusText;
  if (status) {
    const std::optional<TStatusText> parsed = ParseStatusText(*status);
    if (!parsed) {
      FRefusal = "a response header with an invalid status text";
      return FailCall(ERROR_INVALID_PARAMETER);
    }
    statusText = *parsed;
    // An interim status is no answer: the client would wait for the real one after it.
    if (statusText.Code < 200) {
      FRefusal = "a response header with an interim (1xx) status";
      return FailCall(ERROR_INVALID_PARAMETER);
    }
  }
  THeaderBlock headers;
  if (block) {
    std::optional<THeaderBlock> parsed = ParseAnswerHeaderBlock(*block);
    if (!parsed) {
      FRefusal = "a response header with an invalid header block";
      return FailCall(ERROR_INVALID_PARAMETER);
    }
    headers = std::move(*parsed);
  }
  boost::container::small_vector<TFieldView, 8> fields;
  for (const auto& [name, value] : headers.Fields)
    fields.push_back({name, value});
  if (!keepConn)
    FKeepAlive = false;
  StartBodyLocked(statusText.Code, statusText.Text, {fields.data(), fields.size()});
  AppendBodyLocked(headers.BodyStart);
  if (FProcReturned && !FlushLocked())
    return 0;
  return 1;
}

BOOL TRequest::DoneWithSession(const DWORD* status) {
  std::unique_lock lock(FMutex);
  if (FEnded)
    return FailCall(ERROR_INVALID_PARAMETER);
  FDoneStatus = status ? *status : HSE_STATUS_SUCCESS;
  if (!FProcReturned) {
    // Still inside HttpExtensionProc: the request ends when it returns HSE_STATUS_PENDING.
    FDoneCalled = true;
    return 1;
  }
  EndLocked(lock, FDoneStatus, false);
  return 1;
}

BOOL TRequest::MapUrl(char* buffer, DWORD* size) {
  std::lock_guard lock(FMutex);
  if (FEnded || buffer == nullptr || size == nullptr || !FSetup.Root)
    return FailCall(ERROR_INVALID_PARAMETER);
  const std::string url(buffer, strnlen(buffer, *size));
  const std::optional<std::string> path = MapUrlToPhysicalPath(*FSetup.Root, url);
  if (!path)
    return FailCall(ERROR_INVALID_PARAMETER);
  DWORD error = 0;
  if (!CopyWithTerminator(*path, buffer, size, error))
    return FailCall(error);
  return 1;
}

// ---- The callbacks ---------------------------------------------------------------------------

BOOL ISAPI_CALL GetServerVariableCallback(HCONN conn, LPSTR name, LPVOID buffer, LPDWORD size) {
  const TCallbackScope inCallback;
  const TObservedCall observedCall;
  const DWORD sizeIn = size ? *size : 0;
  const std::shared_ptr<TRequest> request = FindRequest(conn);
  const BOOL result = (request && name && size) ? request->GetVariable(name, buffer, size)
                                                : FailCall(ERROR_INVALID_PARAMETER);
  if (CallsObserved()) {
    const DWORD error = result ? 0 : CallError();
    TCallRecord record{
        "GetServerVariable",
        {{"ConnID", HandleText(conn)}, {"name", TextOrNull(name)}, {"size", std::int64_t{sizeIn}}},
        result != 0,
        error,
        {}};
    if (size)
      record.Answers.emplace_back("size", std::int64_t{*size});
    if (result && StartsWithIgnoreCase(name, "UNICODE_"))
      record.Answers.emplace_back(
          "value", WideToUtf8(std::u16string_view(static_cast<const char16_t*>(buffer),
                                                  *size / sizeof(char16_t) - 1)));
    else if (result && *size > 0)
      record.Answers.emplace_back("value", std::string(static_cast<char*>(buffer), *size - 1));
    ReportObservedCall(record);
    if (!result)
      SetCallError(error);
  }
  return result;
}

BOOL ISAPI_CALL WriteClientCallback(HCONN conn, LPVOID buffer, LPDWORD bytes, DWORD reserved) {
  const TCallbackScope inCallback;
  const TObservedCall observedCall;
  const std::shared_ptr<TRequest> request = FindRequest(conn);
  const bool valid = request && bytes && (buffer || *bytes == 0);
  const BOOL result =
      valid ? request->Write(buffer, bytes, reserved) : FailCall(ERROR_INVALID_PARAMETER);
  if (CallsObserved()) {
    const DWORD error = result ? 0 : CallError();
    TCallRecord record{"WriteClient", {{"ConnID", HandleText(conn)}}, result != 0, error, {}};
    if (bytes && (buffer || *bytes == 0))
      record.Arguments.emplace_back("bytes", std::string(static_cast<const char*>(buffer), *bytes));
    record.Arguments.emplace_back("reserved", std::int64_t{reserved});
    if (result)
      record.Answers.emplace_back("bytes", std::int64_t{*bytes});
    ReportObservedCall(record);
    if (!result)
      SetCallError(error);
  }
  if (request) {
    const DWORD error = result ? 0 : CallError();
    request->CallReturned();
    if (!result)
      SetCallError(error);
  }
  return result;
}

BOOL ISAPI_CALL ReadClientCallback(HCONN conn, LPVOID buffer, LPDWORD size) {
  const TCallbackScope inCallback;
  const TObservedCall observedCall;
  const DWORD sizeIn = size ? *size : 0;
  const std::shared_ptr<TRequest> request = FindRequest(conn);
  const bool valid = request && size && (buffer || *size == 0);
  const BOOL result = valid ? request->Read(buffer, size) : FailCall(ERROR_INVALID_PARAMETER);
  if (CallsObserved()) {
    const DWORD error = result ? 0 : CallError();
    TCallRecord record{"ReadClient",
                       {{"ConnID", HandleText(conn)}, {"size", std::int64_t{sizeIn}}},
                       result != 0,
                       error,
                       {}};
    if (result) {
      record.Answers.emplace_back("size", std::int64_t{*size});
      record.Answers.emplace_back("bytes", std::string(static_cast<char*>(buffer), *size));
    }
    ReportObservedCall(record);
    if (!result)
      SetCallError(error);
  }
  return result;
}

BOOL ISAPI_CALL ServerSupportFunctionCallback(HCONN conn, DWORD request, LPVOID buffer,
                                              LPDWORD size, LPDWORD dataType) {
  const TCallbackScope inCallback;
  const TObservedCall observedCall;
  TCallRecord record;
  const bool observed = CallsObserved();
  if (observed) {
    record.Function = "ServerSupportFunction";
    record.Arguments = {{"ConnID", HandleText(conn)}, {"request", std::int64_t{request}}};
    if (request == HSE_REQ_SEND_URL_REDIRECT_RESP || request == HSE_REQ_MAP_URL_TO_PATH ||
        request == HSE_REQ_SEND_RESPONSE_HEADER)
      record.Arguments.emplace_back("buffer", TextOrNull(static_cast<const char*>(buffer)));
    if (request == HSE_REQ_SEND_RESPONSE_HEADER)
      record.Arguments.emplace_back("headers", TextOrNull(reinterpret_cast<const char*>(dataType)));
    if (request == HSE_REQ_DONE_WITH_SESSION && buffer != nullptr)
      record.Arguments.emplace_back("status", std::int64_t{*static_cast<const DWORD*>(buffer)});
    DescribeAsyncCall(request, buffer, size, dataType, record);
    if (size != nullptr)
      record.Arguments.emplace_back("size", std::int64_t{*size});
    DescribeSupportCall(record, request, buffer, size);
  }
  const std::shared_ptr<TRequest> target = FindRequest(conn);
  const BOOL result = target ? target->SupportFunction(request, buffer, size, dataType)
                             : FailCall(ERROR_INVALID_PARAMETER);
  if (observed) {
    record.Result = result != 0;
    record.Error = result ? 0 : CallError();
    if (result && request == HSE_REQ_GET_EXEC_URL_STATUS)
      DescribeChildAnswer(buffer, record);
    if (size != nullptr && (request == HSE_REQ_MAP_URL_TO_PATH)) {
      record.Answers.emplace_back("size", std::int64_t{*size});
      if (result)
        record.Answers.emplace_back("buffer", std::string(static_cast<char*>(buffer)));
    }
    DescribeSupportAnswer(record, request, result, buffer, size, dataType);
    const DWORD error = record.Error;
    ReportObservedCall(record);
    if (!result)
      SetCallError(error);
  }
  if (target) {
    const DWORD error = result ? 0 : CallError();
    target->CallReturned();
    if (!result)
      SetCallError(error);
  }
  return result;
}

} // namespace isapi_web::host
