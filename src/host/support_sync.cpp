#include "host/support_sync.h"

#include <cstdio>
#include <cstring>
#include <set>

#include "host/extension.h"
#include "host/header_block.h"
#include "host/host_system.h"
#include "host/host_text.h"
#include "host/url_path.h"
#include "runtime/text.h"

namespace isapi_web::host {

namespace {

// What HSE_APPEND_LOG_PARAMETER may add to one request's log record in all.
constexpr std::size_t MaxLogParameters = 4096;
// What of an unhealthy report reaches the host's log.
constexpr std::size_t MaxReasonLength = 1024;

// A NUL-terminated text within size bytes (no size: unbounded); nullopt when none ends there.
std::optional<std::string_view> Terminated(const char* text, const DWORD* size) {
  if (size == nullptr || *size == 0)
    return std::string_view(text);
  const std::size_t length = strnlen(text, *size);
  if (length == *size)
    return std::nullopt;
  return std::string_view(text, length);
}

std::optional<std::u16string_view> TerminatedWide(const WCHAR* text, const DWORD* size) {
  const std::size_t limit = size == nullptr || *size == 0 ? SIZE_MAX : *size / sizeof(WCHAR);
  std::size_t length = 0;
  while (length < limit && text[length] != 0)
    ++length;
  if (length == limit)
    return std::nullopt;
  return std::u16string_view(text, length);
}

std::string WideArgument(const WCHAR* text, const DWORD* size) {
  if (text == nullptr)
    return "(null)";
  const std::optional<std::u16string_view> view = TerminatedWide(text, size);
  return view ? WideToUtf8(*view) : "(unterminated)";
}

std::string TextArgument(const char* text, const DWORD* size = nullptr) {
  if (text == nullptr)
    return "(null)";
  return std::string(Terminated(text, size).value_or("(unterminated)"));
}

// The root's access flags as IIS gives them for a site's default folder: read and scripts.
constexpr DWORD RootFlags = HSE_URL_FLAGS_READ | HSE_URL_FLAGS_SCRIPT;

// What the two _EX mapping calls answer, each in its own character width: the path (at most
// MAX_PATH units), its size in bytes with the terminator, the root's flags, and the match
// lengths: the whole root is the one folder "/" maps to, so its path matches and no character
// of the URL does.
template <class TChar, class TInfo>
BOOL AnswerMapEx(const std::basic_string<TChar>& path, std::size_t rootLength, DWORD* size,
                 TInfo& info) {
  const DWORD needed = static_cast<DWORD>(path.size() + 1);
  if (size != nullptr)
    *size = needed * sizeof(TChar);
  if (needed > HSE_MAX_PATH)
    return FailCall(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(info.lpszPath, path.c_str(), needed * sizeof(TChar));
  info.dwFlags = RootFlags;
  info.cchMatchingPath = static_cast<DWORD>(rootLength);
  info.cchMatchingURL = 0;
  if constexpr (requires { info.dwReserved1; }) {
    info.dwReserved1 = 0;
    info.dwReserved2 = 0;
  }
  return 1;
}

std::mutex RefusedMutex; // guards Refused
std::set<std::pair<std::string, DWORD>> Refused;

// The codes IIS's headers name, in order.
constexpr std::pair<DWORD, std::string_view> SupportFunctionNames[] = {
    {1, "HSE_REQ_SEND_URL_REDIRECT_RESP"},
    {2, "HSE_REQ_SEND_URL"},
    {3, "HSE_REQ_SEND_RESPONSE_HEADER"},
    {4, "HSE_REQ_DONE_WITH_SESSION"},
    {1001, "HSE_REQ_MAP_URL_TO_PATH"},
    {1002, "HSE_REQ_GET_SSPI_INFO"},
    {1003, "HSE_APPEND_LOG_PARAMETER"},
    {1005, "HSE_REQ_IO_COMPLETION"},
    {1006, "HSE_REQ_TRANSMIT_FILE"},
    {1007, "HSE_REQ_REFRESH_ISAPI_ACL"},
    {1008, "HSE_REQ_IS_KEEP_CONN"},
    {1010, "HSE_REQ_ASYNC_READ_CLIENT"},
    {1011, "HSE_REQ_GET_IMPERSONATION_TOKEN"},
    {1012, "HSE_REQ_MAP_URL_TO_PATH_EX"},
    {1014, "HSE_REQ_ABORTIVE_CLOSE"},
    {1015, "HSE_REQ_GET_CERT_INFO_EX"},
    {1016, "HSE_REQ_SEND_RESPONSE_HEADER_EX"},
    {1017, "HSE_REQ_CLOSE_CONNECTION"},
    {1018, "HSE_REQ_IS_CONNECTED"},
    {1023, "HSE_REQ_MAP_UNICODE_URL_TO_PATH"},
    {1024, "HSE_REQ_MAP_UNICODE_URL_TO_PATH_EX"},
    {1025, "HSE_REQ_EXEC_UNICODE_URL"},
    {1026, "HSE_REQ_EXEC_URL"},
    {1027, "HSE_REQ_GET_EXEC_URL_STATUS"},
    {1028, "HSE_REQ_SEND_CUSTOM_ERROR"},
    {1030, "HSE_REQ_IS_IN_PROCESS"},
    {1032, "HSE_REQ_REPORT_UNHEALTHY"},
    {1033, "HSE_REQ_NORMALIZE_URL"},
    {1037, "HSE_REQ_VECTOR_SEND"},
    {1038, "HSE_REQ_GET_ANONYMOUS_TOKEN"},
    {1040, "HSE_REQ_GET_CACHE_INVALIDATION_CALLBACK"},
    {1041, "HSE_REQ_GET_UNICODE_ANONYMOUS_TOKEN"},
    {1042, "HSE_REQ_GET_TRACE_INFO"},
    {1043, "HSE_REQ_SET_FLUSH_FLAG"},
    {1044, "HSE_REQ_GET_TRACE_INFO_EX"},
    {1045, "HSE_REQ_RAISE_TRACE_EVENT"},
    {1046, "HSE_REQ_GET_CONFIG_OBJECT"},
    {1047, "HSE_REQ_GET_WORKER_PROCESS_SETTINGS"},
    {1048, "HSE_REQ_GET_PROTOCOL_MANAGER_CUSTOM_INTERFACE_CALLBACK"},
    {1049, "HSE_REQ_CANCEL_IO"},
    {1050, "HSE_REQ_GET_CHANNEL_BINDING_TOKEN"},
};

} // namespace

std::string_view SupportFunctionName(DWORD request) {
  for (const auto& [code, name] : SupportFunctionNames)
    if (code == request)
      return name;
  return {};
}

void DescribeSupportCall(TCallRecord& record, DWORD request, const void* buffer,
                         const DWORD* size) {
  if (const std::string_view name = SupportFunctionName(request); !name.empty())
    record.Arguments.emplace_back("name", std::string(name));
  auto argument = [&record](const char* name, TCallRecord::TValue value) {
    record.Arguments.emplace_back(name, std::move(value));
  };
  switch (request) {
  case HSE_REQ_SEND_RESPONSE_HEADER_EX:
    if (const auto* info = static_cast<const HSE_SEND_HEADER_EX_INFO*>(buffer)) {
      argument("status", info->pszStatus ? std::string(info->pszStatus, info->cchStatus)
                                         : std::string("(null)"));
      argument("header", info->pszHeader ? std::string(info->pszHeader, info->cchHeader)
                                         : std::string("(null)"));
      argument("keep_conn", std::int64_t{info->fKeepConn});
    }
    break;
  case HSE_APPEND_LOG_PARAMETER:
  case HSE_REQ_REPORT_UNHEALTHY:
  case HSE_REQ_NORMALIZE_URL:
  case HSE_REQ_MAP_URL_TO_PATH_EX:
    argument("buffer", TextArgument(static_cast<const char*>(buffer),
                                    request == HSE_REQ_NORMALIZE_URL ? nullptr : size));
    break;
  case HSE_REQ_MAP_UNICODE_URL_TO_PATH:
  case HSE_REQ_MAP_UNICODE_URL_TO_PATH_EX:
    argument("buffer", WideArgument(static_cast<const WCHAR*>(buffer), size));
    break;
  case HSE_REQ_SET_FLUSH_FLAG:
    argument("flag", std::int64_t{buffer != nullptr});
    break;
  case HSE_REQ_SEND_CUSTOM_ERROR:
    if (const auto* info = static_cast<const HSE_CUSTOM_ERROR_INFO*>(buffer)) {
      argument("status", TextArgument(info->pszStatus));
      argument("sub_error", std::int64_t{info->uHttpSubError});
      argument("async", std::int64_t{info->fAsync});
    }
    break;
  default:
    break;
  }
}

void DescribeSupportAnswer(TCallRecord& record, DWORD request, BOOL result, const void* buffer,
                           const DWORD* size, const DWORD* dataType) {
  auto answer = [&record](const char* name, TCallRecord::TValue value) {
    record.Answers.emplace_back(name, std::move(value));
  };
  if (!result || buffer == nullptr)
    return;
  switch (request) {
  case HSE_REQ_IS_KEEP_CONN:
  case HSE_REQ_IS_CONNECTED:
    answer("value", std::int64_t{*static_cast<const BOOL*>(buffer)});
    break;
  case HSE_REQ_IS_IN_PROCESS:
    answer("value", std::int64_t{*static_cast<const DWORD*>(buffer)});
    break;
  case HSE_REQ_NORMALIZE_URL:
    answer("buffer", std::string(static_cast<const char*>(buffer)));
    break;
  case HSE_REQ_MAP_UNICODE_URL_TO_PATH:
    answer("buffer", WideArgument(static_cast<const WCHAR*>(buffer), size));
    break;
  case HSE_REQ_MAP_URL_TO_PATH_EX:
  case HSE_REQ_MAP_UNICODE_URL_TO_PATH_EX: {
    const bool wide = request == HSE_REQ_MAP_UNICODE_URL_TO_PATH_EX;
    const auto* narrow = reinterpret_cast<const HSE_URL_MAPEX_INFO*>(dataType);
    const auto* unicode = reinterpret_cast<const HSE_UNICODE_URL_MAPEX_INFO*>(dataType);
    answer("path", wide ? WideToUtf8(unicode->lpszPath) : std::string(narrow->lpszPath));
    answer("flags", std::int64_t{wide ? unicode->dwFlags : narrow->dwFlags});
    answer("matching_path",
           std::int64_t{wide ? unicode->cchMatchingPath : narrow->cchMatchingPath});
    answer("matching_url", std::int64_t{wide ? unicode->cchMatchingURL : narrow->cchMatchingURL});
    break;
  }
  case HSE_REQ_GET_IMPERSONATION_TOKEN:
    answer("token", std::int64_t{*static_cast<void* const*>(buffer) != nullptr});
    break;
  default:
    break;
  }
}

TSupportCalls::TSupportCalls(TRequestCore& request, TAnswer& answer, TAsyncOperation& operation)
    : FRequest(request), FAnswer(answer), FOperation(operation) {}

BOOL TSupportCalls::AnswerKeepConn(BOOL* answer) {
  std::lock_guard lock(FRequest.Mutex);
  if (FRequest.Finished || answer == nullptr)
    return FailCall(ERROR_INVALID_PARAMETER);
  *answer = FAnswer.KeepAlive() && !FAnswer.ClientGone();
  return 1;
}

BOOL TSupportCalls::AnswerConnected(BOOL* answer) {
  std::lock_guard lock(FRequest.Mutex);
  if (FRequest.Finished || answer == nullptr)
    return FailCall(ERROR_INVALID_PARAMETER);
  *answer = !FAnswer.ClientGone() && FRequest.Channel->PeerConnected();
  return 1;
}

BOOL TSupportCalls::CloseConnection() {
  std::lock_guard lock(FRequest.Mutex);
  if (FRequest.Finished)
    return FailCall(ERROR_INVALID_PARAMETER);
  if (!FAnswer.ClientGone()) {
    // An operation under way completes with the error IIS gives after this call; otherwise what
    // the extension wrote before goes out first: the writes that took it answered TRUE.
    if (FOperation.Pending())
      FOperation.Abort(ERROR_NETNAME_DELETED);
    else
      FAnswer.Flush();
    FRequest.Channel->CloseNow();
    FAnswer.LoseClient(ERROR_NETNAME_DELETED);
  }
  FAnswer.CloseAfter();
  return 1;
}

BOOL TSupportCalls::AbortiveClose() {
  // IIS from 5.1 on ignores the call; the connection ends as it would have.
  std::lock_guard lock(FRequest.Mutex);
  return FRequest.Finished ? FailCall(ERROR_INVALID_PARAMETER) : 1;
}

BOOL TSupportCalls::AnswerInProcess(DWORD* answer) {
  std::lock_guard lock(FRequest.Mutex);
  if (FRequest.Finished || answer == nullptr)
    return FailCall(ERROR_INVALID_PARAMETER);
  *answer = HSE_APP_FLAG_IN_PROCESS;
  return 1;
}

BOOL TSupportCalls::SetFlushFlag(const void* flag) {
  // The flag is the pointer's value itself, a BOOL cast to LPVOID.
  std::lock_guard lock(FRequest.Mutex);
  if (FRequest.Finished)
    return FailCall(ERROR_INVALID_PARAMETER);
  FAnswer.SetFlushEachWrite(flag != nullptr);
  return 1;
}

BOOL TSupportCalls::AppendLogParameter(const char* text, const DWORD* size) {
  std::lock_guard lock(FRequest.Mutex);
  if (FRequest.Finished || text == nullptr)
    return FailCall(ERROR_INVALID_PARAMETER);
  const std::string_view parameter = size != nullptr && *size != 0
                                         ? std::string_view(text, strnlen(text, *size))
                                         : std::string_view(text);
  if (FLogParameters.size() + parameter.size() > MaxLogParameters)
    return FailCall(ERROR_INVALID_PARAMETER);
  FLogParameters += parameter;
  return 1;
}

std::string TSupportCalls::LogData() const {
  const auto& logData = FRequest.ECB.lpszLogData;
  std::string result(logData, strnlen(logData, sizeof logData));
  result += FLogParameters;
  return result;
}

void TSupportCalls::CloseToken() {
  if (FToken != 0)
    CloseImpersonationToken(std::exchange(FToken, 0));
}

BOOL TSupportCalls::ReportUnhealthy(const char* reason) {
  {
    std::lock_guard lock(FRequest.Mutex);
    if (FRequest.Finished)
      return FailCall(ERROR_INVALID_PARAMETER);
  }
  const std::string text =
      reason ? std::string(reason, strnlen(reason, MaxReasonLength)) : std::string("(no reason)");
  Diagnostic(FRequest.Extension.File().string() + " reports itself unhealthy: " + text);
  return 1;
}

BOOL TSupportCalls::MapUrl(char* buffer, DWORD* size) {
  std::lock_guard lock(FRequest.Mutex);
  if (FRequest.Finished || buffer == nullptr || size == nullptr || !FRequest.Setup.Root)
    return FailCall(ERROR_INVALID_PARAMETER);
  const std::string url(buffer, strnlen(buffer, *size));
  const std::optional<std::string> path = MapUrlToPhysicalPath(*FRequest.Setup.Root, url);
  if (!path)
    return FailCall(ERROR_INVALID_PARAMETER);
  DWORD error = 0;
  if (!CopyWithTerminator(*path, buffer, size, error))
    return FailCall(error);
  return 1;
}

BOOL TSupportCalls::MapUrlEx(const char* url, DWORD* size, HSE_URL_MAPEX_INFO* info) {
  std::lock_guard lock(FRequest.Mutex);
  if (FRequest.Finished || url == nullptr || info == nullptr || !FRequest.Setup.Root)
    return FailCall(ERROR_INVALID_PARAMETER);
  const std::optional<std::string_view> text = Terminated(url, size);
  const std::optional<std::string> path =
      text ? MapUrlToPhysicalPath(*FRequest.Setup.Root, *text) : std::nullopt;
  if (!path)
    return FailCall(ERROR_INVALID_PARAMETER);
  return AnswerMapEx(*path, MapUrlToPhysicalPath(*FRequest.Setup.Root, "/").value_or("").size(),
                     size, *info);
}

BOOL TSupportCalls::MapUnicodeUrl(WCHAR* buffer, DWORD* size) {
  std::lock_guard lock(FRequest.Mutex);
  if (FRequest.Finished || buffer == nullptr || size == nullptr || !FRequest.Setup.Root)
    return FailCall(ERROR_INVALID_PARAMETER);
  const std::optional<std::u16string_view> url = TerminatedWide(buffer, size);
  const std::optional<std::u16string> path =
      url ? MapUrlToPhysicalPathWide(*FRequest.Setup.Root, WideToUtf8(*url)) : std::nullopt;
  if (!path)
    return FailCall(ERROR_INVALID_PARAMETER);
  DWORD error = 0;
  if (!CopyWideWithTerminator(*path, buffer, size, error))
    return FailCall(error);
  return 1;
}

BOOL TSupportCalls::MapUnicodeUrlEx(const WCHAR* url, DWORD* size,
                                    HSE_UNICODE_URL_MAPEX_INFO* info) {
  std::lock_guard lock(FRequest.Mutex);
  if (FRequest.Finished || url == nullptr || info == nullptr || !FRequest.Setup.Root)
    return FailCall(ERROR_INVALID_PARAMETER);
  const std::optional<std::u16string_view> text = TerminatedWide(url, size);
  const std::optional<std::u16string> path =
      text ? MapUrlToPhysicalPathWide(*FRequest.Setup.Root, WideToUtf8(*text)) : std::nullopt;
  if (!path)
    return FailCall(ERROR_INVALID_PARAMETER);
  return AnswerMapEx(
      *path, MapUrlToPhysicalPathWide(*FRequest.Setup.Root, "/").value_or(u"").size(), size, *info);
}

BOOL TSupportCalls::NormalizeUrl(char* url) {
  std::lock_guard lock(FRequest.Mutex);
  if (FRequest.Finished || url == nullptr)
    return FailCall(ERROR_INVALID_PARAMETER);
  const std::string_view text(url);
  // In place: the result must fit where the URL was, which a path from the root always does.
  if (text.empty() || text.front() != '/')
    return FailCall(ERROR_INVALID_PARAMETER);
  const std::size_t queryStart = std::min(text.find('?'), text.size());
  const TTargetPath target = ParseRequestTarget(text.substr(0, queryStart));
  if (!target.Valid)
    return FailCall(ERROR_INVALID_PARAMETER);
  const std::string result = target.Path + std::string(text.substr(queryStart));
  if (result.size() > text.size() || result.find('\0') != std::string::npos)
    return FailCall(ERROR_INVALID_PARAMETER);
  std::memcpy(url, result.c_str(), result.size() + 1);
  return 1;
}

BOOL TSupportCalls::GetImpersonationToken(void** token) {
  {
    std::lock_guard lock(FRequest.Mutex);
    if (FRequest.Finished || token == nullptr)
      return FailCall(ERROR_INVALID_PARAMETER);
    if (FToken == 0)
      FToken = OpenImpersonationToken();
    if (FToken != 0) {
      *token = reinterpret_cast<void*>(FToken);
      return 1;
    }
  }
  const DWORD error = CallError();
  return error == ERROR_NOT_SUPPORTED ? Refuse(HSE_REQ_GET_IMPERSONATION_TOKEN) : FailCall(error);
}

BOOL TSupportCalls::Refuse(DWORD request) {
  bool first;
  {
    std::lock_guard lock(RefusedMutex);
    first = Refused.emplace(FRequest.Extension.File().string(), request).second;
  }
  if (first)
    Diagnostic(FRequest.Extension.File().string() + " called ServerSupportFunction " +
               std::string(SupportFunctionName(request)) + " (" + std::to_string(request) +
               "), which this host does not support: FALSE, error 50 (ERROR_NOT_SUPPORTED)");
  return FailCall(ERROR_NOT_SUPPORTED);
}

} // namespace isapi_web::host
