#include "host/bridge.h"

#include <atomic>
#include <thread>

#include "host/conn_table.h"
#include "host/extension.h"
#include "host/host_system.h"
#include "host/host_text.h"
#include "host/response_text.h"
#include "host/thread_group.h"
#include "runtime/text.h"

namespace isapi_web::host {

namespace {

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
    : TRequestCore(extension, std::move(setup), std::move(channel)), FAnswer(*this),
      FOperation(*this, FAnswer), FChildren(*this, FAnswer, FOperation),
      FAsyncIo(*this, FAnswer, FOperation), FSyncIo(*this, FAnswer, FOperation),
      FSupport(*this, FAnswer, FOperation), FTls(*this) {
  ECB.GetServerVariable = GetServerVariableCallback;
  ECB.WriteClient = WriteClientCallback;
  ECB.ReadClient = ReadClientCallback;
  ECB.ServerSupportFunction = ServerSupportFunctionCallback;
  // A cancel of a child request cuts the child short; the operation cannot name it itself.
  FOperation.SetChildCutter([this] { FChildren.Cut(); });
}

TRequest::~TRequest() = default;

std::shared_ptr<TRequest> TRequest::Create(const TExtension& extension, TRequestSetup&& setup,
                                           std::shared_ptr<IClientChannel> channel) {
  auto request =
      std::make_shared<TRequest>(TCreateKey{}, extension, std::move(setup), std::move(channel));
  request->FHandle = Requests().Insert(request);
  request->ECB.ConnID = reinterpret_cast<HCONN>(request->FHandle);
  return request;
}

std::shared_ptr<TRequest> TRequest::Create(const TExtension& extension, const TRequestSetup& setup,
                                           std::shared_ptr<IClientChannel> channel) {
  return Create(extension, TRequestSetup(setup), std::move(channel));
}

// Without the lock: the connection's loop asks this while an extension's thread may hold the
// lock for a whole write.
bool TRequest::Ended() const {
  return Finished.load();
}

void TRequest::Run() {
  DWORD status;
  {
    TExtensionCallScope scope;
    status = Extension.HttpExtensionProc(&ECB);
  }
  if (CallsObserved())
    ReportObservedCall(
        TCallRecord{"HttpExtensionProc",
                    {{"ConnID", HandleText(ECB.ConnID)}},
                    true,
                    0,
                    {{"status", std::int64_t{status}}, {"meaning", StatusName(status)}}});
  std::unique_lock lock(Mutex);
  ProcReturned = true;
  if (Finished)
    return;
  if (status == HSE_STATUS_PENDING) {
    if (FDoneCalled) {
      EndLocked(lock, FDoneStatus, true);
      return;
    }
    FPending = true;
    Channel->PendingStarted();
    FAnswer.Flush(); // what the call wrote goes out now; the rest streams as it comes
    return;
  }
  EndLocked(lock, status, true);
}

bool TRequest::Expire(unsigned status, std::string_view note, bool onOwnerThread, bool wait) {
  std::unique_lock lock(Mutex, std::defer_lock);
  if (wait)
    lock.lock();
  else if (!lock.try_lock())
    return false;
  if (Finished)
    return true;
  ExpireLocked(lock, status, note, onOwnerThread);
  return true;
}

void TRequest::ExpireLocked(std::unique_lock<std::mutex>& lock, unsigned status,
                            std::string_view note, bool onOwnerThread) {
  if (FOperation.DeferExpiry(status, note))
    return;
  TRequestOutcome outcome;
  outcome.KeepAlive = false;
  outcome.Note = std::string(note);
  outcome.LogData = FSupport.LogData();
  if (!FAnswer.HeadSent()) {
    const std::string statusText = ReasonFor(status);
    outcome.Bytes = ComposePage(statusText, {}, ErrorPageBody(statusText, HtmlEscape(note)),
                                TConnectionState{false, Setup.Connection.Http10}, Setup.HeadOnly);
    outcome.Status = status;
  } else {
    outcome.Bytes = FAnswer.CutShort();
    outcome.Status = FAnswer.Status();
  }
  // The bytes go with the outcome, from the connection's loop: the thread that expires the
  // request (the shutdown's, a reader's) never waits for the client.
  if (FAnswer.ClientGone())
    outcome.Bytes.clear();
  Finish(lock, std::move(outcome), onOwnerThread);
}

bool TRequest::Withdraw() {
  std::lock_guard lock(Mutex);
  if (Finished)
    return false;
  Finished = true;
  Requests().Remove(FHandle);
  Channel.reset();
  return true;
}

void TRequest::Finish(std::unique_lock<std::mutex>& lock, TRequestOutcome outcome,
                      bool onOwnerThread) {
  Finished = true;
  Requests().Remove(FHandle);
  FSupport.CloseToken();
  std::shared_ptr<IClientChannel> channel = std::move(Channel);
  lock.unlock();
  IClientChannel& target = *channel;
  target.RequestEnded(std::move(channel), std::move(outcome), onOwnerThread);
}

void TRequest::EndLocked(std::unique_lock<std::mutex>& lock, DWORD status, bool onOwnerThread) {
  // Never ended with an operation outstanding: the end follows its completion.
  if (FOperation.DeferEnd(status))
    return;
  TRequestOutcome outcome;
  outcome.LogData = FSupport.LogData();
  if (FDoneCalled || FPending)
    outcome.SessionStatus = FDoneStatus;
  // A body the extension left unread is still on its way: the connection cannot carry another
  // request after it.
  bool keepAlive = FAnswer.KeepAlive() && !FAnswer.ClientGone() && BodyComplete;
  if (!FAnswer.HeadSent()) {
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
      if (!FAnswer.Refusal().empty())
        outcome.Note = "The extension asked for " + FAnswer.Refusal() +
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
                    TConnectionState{keepAlive, Setup.Connection.Http10}, Setup.HeadOnly);
  } else {
    outcome.Bytes = FAnswer.Finish(status == HSE_STATUS_ERROR, keepAlive);
    outcome.Status = FAnswer.Status();
  }
  // An answer cut short ends with the connection: nothing more may look like its end.
  if (FAnswer.ClientGone())
    outcome.Bytes.clear();
  outcome.KeepAlive = keepAlive;
  outcome.TimedOut = FAnswer.SendError() == ERROR_TIMEOUT;
  // The host's limit cut an operation short and the extension then ended the request itself.
  if (FOperation.DeferredExpiry() != 0 && outcome.Note.empty())
    outcome.Note = FOperation.DeferredNote();
  Finish(lock, std::move(outcome), onOwnerThread);
}

std::shared_ptr<TRequestCore> TRequest::CreateChild(const TExtension& extension,
                                                    TRequestSetup&& setup,
                                                    std::shared_ptr<IClientChannel> channel) {
  return Create(extension, std::move(setup), std::move(channel));
}

BOOL TRequest::GetVariable(const char* name, void* buffer, DWORD* size) {
  {
    std::lock_guard lock(Mutex);
    if (Finished)
      return FailCall(ERROR_INVALID_PARAMETER);
  }
  DWORD error = 0;
  if (!CopyServerVariable(Setup.Info, name, buffer, size, error))
    return FailCall(error);
  return 1;
}

BOOL TRequest::Read(void* buffer, DWORD* size) {
  return FSyncIo.Read(buffer, size);
}

BOOL TRequest::Write(const void* buffer, DWORD* bytes, DWORD reserved) {
  if (RefusedAfterChild("WriteClient"))
    return 0;
  if ((reserved & HSE_IO_ASYNC) != 0)
    return FAsyncIo.WriteAsync(buffer, *bytes);
  return FSyncIo.Write(buffer, bytes);
}

bool TRequest::RefusedAfterChild(std::string_view call) {
  std::lock_guard lock(Mutex);
  if (!FChildren.AnswerComplete() || Finished)
    return false;
  FChildren.RefuseAfterChild(call);
  return true;
}

BOOL TRequest::SupportFunction(DWORD request, void* buffer, DWORD* size, DWORD* dataType) {
  if (SendsToClient(request) && RefusedAfterChild(SupportFunctionName(request)))
    return 0;
  switch (request) {
  case HSE_REQ_SEND_URL_REDIRECT_RESP:
    return FSyncIo.Redirect(static_cast<const char*>(buffer));
  case HSE_REQ_SEND_RESPONSE_HEADER: {
    const auto* block = reinterpret_cast<const char*>(dataType);
    return FSyncIo.SendHeader(
        buffer ? std::optional<std::string_view>(static_cast<const char*>(buffer)) : std::nullopt,
        block ? std::optional<std::string_view>(block) : std::nullopt, true);
  }
  case HSE_REQ_DONE_WITH_SESSION:
    return DoneWithSession(static_cast<const DWORD*>(buffer));
  case HSE_REQ_MAP_URL_TO_PATH:
    return FSupport.MapUrl(static_cast<char*>(buffer), size);
  case HSE_REQ_IO_COMPLETION:
    return FAsyncIo.SetIoCompletion(reinterpret_cast<PFN_HSE_IO_COMPLETION>(buffer), dataType);
  case HSE_REQ_ASYNC_READ_CLIENT:
    return FAsyncIo.ReadAsync(buffer, size, dataType);
  case HSE_REQ_TRANSMIT_FILE:
    return FAsyncIo.TransmitFile(static_cast<const HSE_TF_INFO*>(buffer));
  case HSE_REQ_VECTOR_SEND:
    return FAsyncIo.VectorSend(static_cast<const HSE_RESPONSE_VECTOR*>(buffer));
  case HSE_REQ_CANCEL_IO:
    return FAsyncIo.CancelIo();
  case HSE_REQ_SEND_URL:
    return FChildren.SendUrl(static_cast<const char*>(buffer));
  case HSE_REQ_EXEC_URL:
  case HSE_REQ_EXEC_UNICODE_URL:
    return FChildren.ExecUrl(buffer, request == HSE_REQ_EXEC_UNICODE_URL);
  case HSE_REQ_GET_EXEC_URL_STATUS:
    return FChildren.GetExecUrlStatus(buffer);
  case HSE_REQ_SEND_RESPONSE_HEADER_EX:
    return FSyncIo.SendHeaderEx(static_cast<const HSE_SEND_HEADER_EX_INFO*>(buffer));
  case HSE_REQ_IS_KEEP_CONN:
    return FSupport.AnswerKeepConn(static_cast<BOOL*>(buffer));
  case HSE_REQ_IS_CONNECTED:
    return FSupport.AnswerConnected(static_cast<BOOL*>(buffer));
  case HSE_REQ_CLOSE_CONNECTION:
    return FSupport.CloseConnection();
  case HSE_REQ_SET_FLUSH_FLAG:
    return FSupport.SetFlushFlag(buffer);
  case HSE_APPEND_LOG_PARAMETER:
    return FSupport.AppendLogParameter(static_cast<const char*>(buffer), size);
  case HSE_REQ_REPORT_UNHEALTHY:
    return FSupport.ReportUnhealthy(static_cast<const char*>(buffer));
  case HSE_REQ_MAP_URL_TO_PATH_EX:
    return FSupport.MapUrlEx(static_cast<const char*>(buffer), size,
                             reinterpret_cast<HSE_URL_MAPEX_INFO*>(dataType));
  case HSE_REQ_MAP_UNICODE_URL_TO_PATH:
    return FSupport.MapUnicodeUrl(static_cast<WCHAR*>(buffer), size);
  case HSE_REQ_MAP_UNICODE_URL_TO_PATH_EX:
    return FSupport.MapUnicodeUrlEx(static_cast<const WCHAR*>(buffer), size,
                                    reinterpret_cast<HSE_UNICODE_URL_MAPEX_INFO*>(dataType));
  case HSE_REQ_NORMALIZE_URL:
    return FSupport.NormalizeUrl(static_cast<char*>(buffer));
  case HSE_REQ_SEND_CUSTOM_ERROR:
    return FSyncIo.SendCustomError(static_cast<const HSE_CUSTOM_ERROR_INFO*>(buffer));
  case HSE_REQ_GET_IMPERSONATION_TOKEN:
    return FSupport.GetImpersonationToken(static_cast<void**>(buffer));
  case HSE_REQ_IS_IN_PROCESS:
    return FSupport.AnswerInProcess(static_cast<DWORD*>(buffer));
  case HSE_REQ_ABORTIVE_CLOSE:
    return FSupport.AbortiveClose();
  // Set before the extension is called: no lock needed to see whether the request has TLS.
  case HSE_REQ_GET_CERT_INFO_EX:
    return Setup.Info.Tls ? FTls.GetCertInfo(static_cast<CERT_CONTEXT_EX*>(buffer))
                          : FSupport.Refuse(request);
  case HSE_REQ_GET_CHANNEL_BINDING_TOKEN:
    return Setup.Info.Tls ? FTls.GetChannelBinding(static_cast<void**>(buffer), size)
                          : FSupport.Refuse(request);
  case HSE_REQ_GET_SSPI_INFO:
  case HSE_REQ_REFRESH_ISAPI_ACL:
  case HSE_REQ_GET_ANONYMOUS_TOKEN:
  case HSE_REQ_GET_CACHE_INVALIDATION_CALLBACK:
  case HSE_REQ_GET_UNICODE_ANONYMOUS_TOKEN:
  case HSE_REQ_GET_TRACE_INFO:
  case HSE_REQ_GET_TRACE_INFO_EX:
  case HSE_REQ_RAISE_TRACE_EVENT:
  case HSE_REQ_GET_CONFIG_OBJECT:
  case HSE_REQ_GET_WORKER_PROCESS_SETTINGS:
  case HSE_REQ_GET_PROTOCOL_MANAGER_CUSTOM_INTERFACE_CALLBACK:
    return FSupport.Refuse(request);
  default: {
    std::lock_guard lock(Mutex);
    return FailCall(ERROR_INVALID_PARAMETER);
  }
  }
}

BOOL TRequest::DoneWithSession(const DWORD* status) {
  std::unique_lock lock(Mutex);
  if (Finished)
    return FailCall(ERROR_INVALID_PARAMETER);
  FDoneStatus = status ? *status : HSE_STATUS_SUCCESS;
  if (!ProcReturned) {
    // Still inside HttpExtensionProc: the request ends when it returns HSE_STATUS_PENDING.
    FDoneCalled = true;
    return 1;
  }
  EndLocked(lock, FDoneStatus, false);
  return 1;
}

void TRequest::CallReturned() {
  FOperation.CallReturned();
}

void TRequest::AbortPendingIo(DWORD error) {
  std::lock_guard lock(Mutex);
  FOperation.Abort(error);
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
