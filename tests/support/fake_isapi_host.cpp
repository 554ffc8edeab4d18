#include "support/fake_isapi_host.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <unordered_map>
#include <utility>

namespace isapi_web::test_support {

namespace {

// The live requests of every host by ConnID, and the live hosts. A ConnID is a number handed
// out once, never an address, so a forged or stale one finds nothing.
struct TRegistry {
  std::mutex Lock;
  std::uintptr_t NextConnID = 0x5EC0;
  std::unordered_map<HCONN, TFakeRequest*> Requests;
  std::vector<TFakeIsapiHost*> Hosts;
};

TRegistry& Registry() {
  static TRegistry* const registry = new TRegistry;
  return *registry;
}

HCONN NewConnID() {
  TRegistry& registry = Registry();
  std::lock_guard<std::mutex> guard(registry.Lock);
  registry.NextConnID += 0x10;
  return reinterpret_cast<HCONN>(registry.NextConnID);
}

std::string CText(const void* text) {
  return text == nullptr ? std::string() : std::string(static_cast<const char*>(text));
}

} // namespace

// ---- Callbacks ---------------------------------------------------------------------------------

struct TFakeRequest::TCallbacks {
  // The live request of ConnID; a rejected call is recorded on the hosts concerned.
  static TFakeRequest* Find(HCONN connId, TFakeCallKind kind) {
    TRegistry& registry = Registry();
    TFakeRequest* request = nullptr;
    std::vector<TFakeIsapiHost*> hosts;
    {
      std::lock_guard<std::mutex> guard(registry.Lock);
      const auto found = registry.Requests.find(connId);
      if (found != registry.Requests.end())
        request = found->second;
      else
        hosts = registry.Hosts;
    }
    if (request != nullptr && request->SessionDone()) {
      request->FHost.RecordRejected(kind, connId);
      request = nullptr;
    } else if (request == nullptr) {
      for (TFakeIsapiHost* host : hosts)
        host->RecordRejected(kind, connId);
    }
    if (request == nullptr)
      SetHostError(ERROR_INVALID_PARAMETER);
    return request;
  }

  static BOOL Fail(TFakeRequest& request, TFakeCall call, DWORD error) {
    call.Result = false;
    call.Error = error;
    request.Record(std::move(call));
    SetHostError(error);
    return 0;
  }

  static BOOL Succeed(TFakeRequest& request, TFakeCall call) {
    call.Result = true;
    request.Record(std::move(call));
    return 1;
  }

  static BOOL ISAPI_CALL GetServerVariable(HCONN hConn, LPSTR lpszVariableName, LPVOID lpvBuffer,
                                           LPDWORD lpdwSize) {
    TFakeRequest* request = Find(hConn, TFakeCallKind::ckGetServerVariable);
    if (request == nullptr)
      return 0;
    TFakeCall call;
    call.Kind = TFakeCallKind::ckGetServerVariable;
    call.Name = CText(lpszVariableName);
    if (lpdwSize != nullptr)
      call.Size = *lpdwSize;
    if (lpszVariableName == nullptr || lpdwSize == nullptr)
      return Fail(*request, std::move(call), ERROR_INVALID_PARAMETER);
    const DWORD offered = lpvBuffer == nullptr ? 0 : *lpdwSize;

    std::optional<TVariableAnswer> scripted;
    std::optional<std::string> value;
    {
      std::lock_guard<std::mutex> guard(request->FLock);
      if (const auto found = request->FScriptedVariables.find(call.Name);
          found != request->FScriptedVariables.end())
        scripted = found->second;
      else if (const auto known = request->FVariables.find(call.Name);
               known != request->FVariables.end())
        value = known->second;
    }
    if (scripted) {
      const std::size_t n = std::min<std::size_t>(scripted->Bytes.size(), offered);
      if (n > 0)
        std::memcpy(lpvBuffer, scripted->Bytes.data(), n);
      *lpdwSize = scripted->ReportedSize;
      call.SizeAnswered = scripted->ReportedSize;
      if (!scripted->Success)
        return Fail(*request, std::move(call), scripted->Error);
      return Succeed(*request, std::move(call));
    }
    if (!value)
      return Fail(*request, std::move(call), ERROR_INVALID_INDEX);
    const auto needed = static_cast<DWORD>(value->size() + 1);
    if (offered < needed) {
      *lpdwSize = needed;
      call.SizeAnswered = needed;
      return Fail(*request, std::move(call), ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(lpvBuffer, value->c_str(), needed);
    *lpdwSize = needed;
    call.SizeAnswered = needed;
    return Succeed(*request, std::move(call));
  }

  static BOOL ISAPI_CALL ReadClient(HCONN ConnID, LPVOID lpvBuffer, LPDWORD lpdwSize) {
    TFakeRequest* request = Find(ConnID, TFakeCallKind::ckReadClient);
    if (request == nullptr)
      return 0;
    TFakeCall call;
    call.Kind = TFakeCallKind::ckReadClient;
    if (lpdwSize == nullptr)
      return Fail(*request, std::move(call), ERROR_INVALID_PARAMETER);
    call.Size = *lpdwSize;
    const DWORD asked = lpvBuffer == nullptr ? 0 : *lpdwSize;

    std::optional<TReadAnswer> answer;
    std::size_t delivered = 0;
    {
      std::lock_guard<std::mutex> guard(request->FLock);
      if (!request->FReadAnswers.empty()) {
        TReadAnswer& front = request->FReadAnswers.front();
        answer = front;
        if (front.Success) {
          delivered = std::min<std::size_t>(front.Bytes.size(), asked);
          if (delivered < front.Bytes.size() && !front.ReportedSize)
            front.Bytes.erase(0, delivered); // the rest comes with the next call
          else
            request->FReadAnswers.pop_front();
        } else {
          request->FReadAnswers.pop_front();
        }
      }
    }
    if (!answer) { // end of the body
      *lpdwSize = 0;
      call.Buffer = std::string();
      return Succeed(*request, std::move(call));
    }
    if (!answer->Success)
      return Fail(*request, std::move(call), answer->Error);
    if (delivered > 0)
      std::memcpy(lpvBuffer, answer->Bytes.data(), delivered);
    const DWORD reported = answer->ReportedSize.value_or(static_cast<DWORD>(delivered));
    *lpdwSize = reported;
    call.SizeAnswered = reported;
    call.Buffer = answer->Bytes.substr(0, delivered);
    return Succeed(*request, std::move(call));
  }

  static BOOL ISAPI_CALL WriteClient(HCONN ConnID, LPVOID Buffer, LPDWORD lpdwBytes,
                                     DWORD dwReserved) {
    TFakeRequest* request = Find(ConnID, TFakeCallKind::ckWriteClient);
    if (request == nullptr)
      return 0;
    TFakeCall call;
    call.Kind = TFakeCallKind::ckWriteClient;
    call.Code = dwReserved;
    if (lpdwBytes == nullptr)
      return Fail(*request, std::move(call), ERROR_INVALID_PARAMETER);
    call.Size = *lpdwBytes;
    if (Buffer == nullptr && *lpdwBytes > 0)
      return Fail(*request, std::move(call), ERROR_INVALID_PARAMETER);

    TWriteMode mode;
    DWORD limit, error;
    {
      std::lock_guard<std::mutex> guard(request->FLock);
      mode = request->FWriteMode;
      limit = request->FWriteLimit;
      error = request->FWriteError;
    }
    if (mode == TWriteMode::wmFail)
      return Fail(*request, std::move(call), error);
    const DWORD accepted =
        mode == TWriteMode::wmAcceptUpTo ? std::min(*lpdwBytes, limit) : *lpdwBytes;
    call.Buffer = std::string(static_cast<const char*>(Buffer), accepted);
    *lpdwBytes = accepted;
    call.SizeAnswered = accepted;
    return Succeed(*request, std::move(call));
  }

  static BOOL ISAPI_CALL ServerSupportFunction(HCONN hConn, DWORD dwHSERequest, LPVOID lpvBuffer,
                                               LPDWORD lpdwSize, LPDWORD lpdwDataType) {
    TFakeRequest* request = Find(hConn, TFakeCallKind::ckServerSupportFunction);
    if (request == nullptr)
      return 0;
    TFakeCall call;
    call.Kind = TFakeCallKind::ckServerSupportFunction;
    call.Code = dwHSERequest;
    if (lpdwSize != nullptr) {
      call.Size = *lpdwSize;
      call.SizeAnswered = *lpdwSize;
    }

    std::optional<bool> scripted;
    TUrlMapper mapper;
    std::function<void(TFakeRequest&)> hook;
    {
      std::lock_guard<std::mutex> guard(request->FLock);
      if (const auto found = request->FSupportAnswers.find(dwHSERequest);
          found != request->FSupportAnswers.end())
        scripted = found->second;
      mapper = request->FUrlMapper;
      hook = request->FRedirectHook;
    }

    switch (dwHSERequest) {
    case HSE_REQ_SEND_URL_REDIRECT_RESP: {
      if (lpvBuffer != nullptr)
        call.Buffer = CText(lpvBuffer);
      const bool result = scripted.value_or(true);
      if (result)
        Succeed(*request, std::move(call));
      else
        Fail(*request, std::move(call), ERROR_INVALID_PARAMETER);
      if (hook)
        hook(*request);
      return result ? 1 : 0;
    }
    case HSE_REQ_SEND_RESPONSE_HEADER:
      if (lpvBuffer != nullptr)
        call.Buffer = CText(lpvBuffer);
      if (lpdwDataType != nullptr)
        call.DataType = CText(lpdwDataType);
      if (!scripted.value_or(true))
        return Fail(*request, std::move(call), ERROR_INVALID_PARAMETER);
      return Succeed(*request, std::move(call));
    case HSE_REQ_DONE_WITH_SESSION: {
      if (lpvBuffer != nullptr)
        call.Status = *static_cast<const DWORD*>(lpvBuffer);
      if (!scripted.value_or(true))
        return Fail(*request, std::move(call), ERROR_INVALID_PARAMETER);
      {
        std::lock_guard<std::mutex> guard(request->FLock);
        request->FSessionDone = true;
        request->FDoneStatus = call.Status;
      }
      const BOOL result = Succeed(*request, std::move(call));
      request->FHost.NotifySessionDone();
      return result;
    }
    case HSE_REQ_MAP_URL_TO_PATH: {
      if (lpvBuffer == nullptr || lpdwSize == nullptr)
        return Fail(*request, std::move(call), ERROR_INVALID_PARAMETER);
      const char* text = static_cast<const char*>(lpvBuffer);
      const std::string url(text, ::strnlen(text, *lpdwSize));
      call.Buffer = url;
      if (!scripted.value_or(true))
        return Fail(*request, std::move(call), ERROR_INVALID_PARAMETER);
      const std::optional<std::string> path = mapper ? mapper(url) : std::nullopt;
      if (!path)
        return Fail(*request, std::move(call), ERROR_INVALID_PARAMETER);
      const auto needed = static_cast<DWORD>(path->size() + 1);
      if (*lpdwSize < needed) {
        *lpdwSize = needed;
        call.SizeAnswered = needed;
        return Fail(*request, std::move(call), ERROR_INSUFFICIENT_BUFFER);
      }
      std::memcpy(lpvBuffer, path->c_str(), needed);
      *lpdwSize = needed;
      call.SizeAnswered = needed;
      return Succeed(*request, std::move(call));
    }
    default:
      if (scripted.value_or(false))
        return Succeed(*request, std::move(call));
      return Fail(*request, std::move(call), ERROR_INVALID_PARAMETER);
    }
  }
};

// ---- TFakeRequest ------------------------------------------------------------------------------

TFakeRequest::TFakeRequest(TFakeIsapiHost& host, HCONN connId) : FHost(host) {
  FEcb.cbSize = sizeof(EXTENSION_CONTROL_BLOCK);
  FEcb.dwVersion = HSE_VERSION;
  FEcb.ConnID = connId;
  FEcb.GetServerVariable = &TCallbacks::GetServerVariable;
  FEcb.WriteClient = &TCallbacks::WriteClient;
  FEcb.ReadClient = &TCallbacks::ReadClient;
  FEcb.ServerSupportFunction = &TCallbacks::ServerSupportFunction;
  FUrlMapper = [](const std::string& url) -> std::optional<std::string> {
    std::string path = "C:\\root" + url;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
  };
  SetMethod("GET");
  SetQueryString("");
  SetPathInfo("");
  SetPathTranslated("");
  SetContentType("");
  SetBody("", 0);
  RemoveVariable("CONTENT_LENGTH");
  RemoveVariable("CONTENT_TYPE");
}

TFakeRequest::~TFakeRequest() {
  TRegistry& registry = Registry();
  std::lock_guard<std::mutex> guard(registry.Lock);
  registry.Requests.erase(FEcb.ConnID);
}

void TFakeRequest::SetMember(std::optional<std::string>& storage, LPSTR& member,
                             std::optional<std::string> value, const char* variable) {
  std::lock_guard<std::mutex> guard(FLock);
  storage = std::move(value);
  member = storage ? storage->data() : nullptr;
  if (storage)
    FVariables[variable] = *storage;
  else
    FVariables.erase(variable);
}

TFakeRequest& TFakeRequest::SetMethod(std::optional<std::string> value) {
  SetMember(FMethod, FEcb.lpszMethod, std::move(value), "REQUEST_METHOD");
  return *this;
}

TFakeRequest& TFakeRequest::SetQueryString(std::optional<std::string> value) {
  SetMember(FQueryString, FEcb.lpszQueryString, std::move(value), "QUERY_STRING");
  return *this;
}

TFakeRequest& TFakeRequest::SetPathInfo(std::optional<std::string> value) {
  SetMember(FPathInfo, FEcb.lpszPathInfo, std::move(value), "PATH_INFO");
  return *this;
}

TFakeRequest& TFakeRequest::SetPathTranslated(std::optional<std::string> value) {
  SetMember(FPathTranslated, FEcb.lpszPathTranslated, std::move(value), "PATH_TRANSLATED");
  return *this;
}

TFakeRequest& TFakeRequest::SetContentType(std::optional<std::string> value) {
  SetMember(FContentType, FEcb.lpszContentType, std::move(value), "CONTENT_TYPE");
  return *this;
}

TFakeRequest& TFakeRequest::SetBody(std::string available, std::optional<DWORD> totalBytes) {
  std::lock_guard<std::mutex> guard(FLock);
  FAvailable = std::move(available);
  FEcb.cbAvailable = static_cast<DWORD>(FAvailable.size());
  FEcb.lpbData = reinterpret_cast<LPBYTE>(FAvailable.data());
  FEcb.cbTotalBytes = totalBytes.value_or(static_cast<DWORD>(FAvailable.size()));
  if (FEcb.cbTotalBytes == 0xFFFFFFFF)
    FVariables.erase("CONTENT_LENGTH");
  else
    FVariables["CONTENT_LENGTH"] = std::to_string(FEcb.cbTotalBytes);
  return *this;
}

TFakeRequest& TFakeRequest::SetVariable(const std::string& name, std::string value) {
  std::lock_guard<std::mutex> guard(FLock);
  FVariables[name] = std::move(value);
  return *this;
}

TFakeRequest& TFakeRequest::RemoveVariable(const std::string& name) {
  std::lock_guard<std::mutex> guard(FLock);
  FVariables.erase(name);
  FScriptedVariables.erase(name);
  return *this;
}

TFakeRequest& TFakeRequest::ScriptVariable(const std::string& name, TVariableAnswer answer) {
  std::lock_guard<std::mutex> guard(FLock);
  FScriptedVariables[name] = std::move(answer);
  return *this;
}

TFakeRequest& TFakeRequest::AddChunk(std::string bytes) {
  std::lock_guard<std::mutex> guard(FLock);
  FReadAnswers.push_back(TReadAnswer{true, std::move(bytes), std::nullopt, 0});
  return *this;
}

TFakeRequest& TFakeRequest::AddOverReportedChunk(std::string bytes, DWORD reported) {
  std::lock_guard<std::mutex> guard(FLock);
  FReadAnswers.push_back(TReadAnswer{true, std::move(bytes), reported, 0});
  return *this;
}

TFakeRequest& TFakeRequest::AddReadFailure(DWORD error) {
  std::lock_guard<std::mutex> guard(FLock);
  FReadAnswers.push_back(TReadAnswer{false, {}, std::nullopt, error});
  return *this;
}

TFakeRequest& TFakeRequest::AcceptAllWrites() {
  std::lock_guard<std::mutex> guard(FLock);
  FWriteMode = TWriteMode::wmAcceptAll;
  return *this;
}

TFakeRequest& TFakeRequest::AcceptWritesUpTo(DWORD count) {
  std::lock_guard<std::mutex> guard(FLock);
  FWriteMode = TWriteMode::wmAcceptUpTo;
  FWriteLimit = count;
  return *this;
}

TFakeRequest& TFakeRequest::FailWrites(DWORD error) {
  std::lock_guard<std::mutex> guard(FLock);
  FWriteMode = TWriteMode::wmFail;
  FWriteError = error;
  return *this;
}

TFakeRequest& TFakeRequest::SetSupportAnswer(DWORD code, bool result) {
  std::lock_guard<std::mutex> guard(FLock);
  FSupportAnswers[code] = result;
  return *this;
}

TFakeRequest& TFakeRequest::SetUrlMapper(TUrlMapper mapper) {
  std::lock_guard<std::mutex> guard(FLock);
  FUrlMapper = std::move(mapper);
  return *this;
}

TFakeRequest& TFakeRequest::SetRedirectHook(std::function<void(TFakeRequest&)> hook) {
  std::lock_guard<std::mutex> guard(FLock);
  FRedirectHook = std::move(hook);
  return *this;
}

void TFakeRequest::Record(TFakeCall call) {
  std::lock_guard<std::mutex> guard(FLock);
  FCalls.push_back(std::move(call));
}

std::vector<TFakeCall> TFakeRequest::Calls() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FCalls;
}

std::vector<TFakeCall> TFakeRequest::CallsOf(TFakeCallKind kind) const {
  std::lock_guard<std::mutex> guard(FLock);
  std::vector<TFakeCall> calls;
  for (const TFakeCall& call : FCalls)
    if (call.Kind == kind)
      calls.push_back(call);
  return calls;
}

std::vector<TFakeCall> TFakeRequest::SupportCalls(DWORD code) const {
  std::lock_guard<std::mutex> guard(FLock);
  std::vector<TFakeCall> calls;
  for (const TFakeCall& call : FCalls)
    if (call.Kind == TFakeCallKind::ckServerSupportFunction && call.Code == code)
      calls.push_back(call);
  return calls;
}

std::string TFakeRequest::Written() const {
  std::lock_guard<std::mutex> guard(FLock);
  std::string written;
  for (const TFakeCall& call : FCalls)
    if (call.Kind == TFakeCallKind::ckWriteClient && call.Result && call.Buffer)
      written += *call.Buffer;
  return written;
}

bool TFakeRequest::SessionDone() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FSessionDone;
}

std::optional<DWORD> TFakeRequest::DoneStatus() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FDoneStatus;
}

std::string TFakeRequest::LogData() const {
  return std::string(FEcb.lpszLogData, ::strnlen(FEcb.lpszLogData, HSE_LOG_BUFFER_LEN));
}

// ---- TFakeIsapiHost ----------------------------------------------------------------------------

TFakeIsapiHost::TFakeIsapiHost() {
  TRegistry& registry = Registry();
  std::lock_guard<std::mutex> guard(registry.Lock);
  registry.Hosts.push_back(this);
}

TFakeIsapiHost::~TFakeIsapiHost() {
  {
    TRegistry& registry = Registry();
    std::lock_guard<std::mutex> guard(registry.Lock);
    std::erase(registry.Hosts, this);
  }
  FRequests.clear();
}

TFakeRequest& TFakeIsapiHost::NewRequest() {
  const HCONN connId = NewConnID();
  std::unique_ptr<TFakeRequest> request(new TFakeRequest(*this, connId));
  TFakeRequest& result = *request;
  {
    std::lock_guard<std::mutex> guard(FLock);
    FRequests.push_back(std::move(request));
  }
  TRegistry& registry = Registry();
  std::lock_guard<std::mutex> guard(registry.Lock);
  registry.Requests.emplace(connId, &result);
  return result;
}

std::size_t TFakeIsapiHost::RequestCount() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FRequests.size();
}

TFakeRequest& TFakeIsapiHost::Request(std::size_t index) {
  std::lock_guard<std::mutex> guard(FLock);
  return *FRequests.at(index);
}

std::vector<TRejectedCall> TFakeIsapiHost::RejectedCalls() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FRejected;
}

std::size_t TFakeIsapiHost::DoneSessions() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FDoneSessions;
}

// A slow machine (32-bit Wine in an emulated virtual machine beside other work) may take many
// minutes over a stress test's thousands of sessions; a stuck pool ends none for a whole minute.
bool TFakeIsapiHost::WaitForDoneSessions(std::size_t count) {
  std::unique_lock<std::mutex> lock(FLock);
  for (;;) {
    const std::size_t seen = FDoneSessions;
    if (FSessionEnded.wait_for(lock, std::chrono::minutes(1),
                               [&] { return FDoneSessions >= count; }))
      return true;
    if (FDoneSessions == seen)
      return false;
  }
}

void TFakeIsapiHost::RecordRejected(TFakeCallKind kind, HCONN connId) {
  std::lock_guard<std::mutex> guard(FLock);
  FRejected.push_back(TRejectedCall{kind, connId});
}

void TFakeIsapiHost::NotifySessionDone() {
  {
    std::lock_guard<std::mutex> guard(FLock);
    ++FDoneSessions;
  }
  FSessionEnded.notify_all();
}

} // namespace isapi_web::test_support
