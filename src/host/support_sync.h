#pragma once
// The synchronous support functions that neither send nor read: the connection's queries and
// closes, the flush flag, the log and health calls, URL mapping and normalisation, the
// impersonation token, and the refusal of the calls that cannot apply to this host. Also the
// names and transcript lines of the support functions.

#include <cstdint>
#include <string>
#include <string_view>

#include "host/answer.h"
#include "host/async_operation.h"
#include "host/call_record.h"
#include "host/request_core.h"
#include "isapi/isapi_host_interface.h"

namespace isapi_web::host {

/// The name IIS's headers give a support-function code; empty for a code they do not name.
std::string_view SupportFunctionName(DWORD request);
/// Adds the arguments of the calls support_sync.cpp and sync_io.cpp answer to a call's record.
void DescribeSupportCall(TCallRecord& record, DWORD request, const void* buffer, const DWORD* size);
/// Adds what those calls answered.
void DescribeSupportAnswer(TCallRecord& record, DWORD request, BOOL result, const void* buffer,
                           const DWORD* size, const DWORD* dataType);

/// The support functions of one request that neither send nor read; each takes the request's
/// lock but where a member says otherwise.
class TSupportCalls {
public:
  TSupportCalls(TRequestCore& request, TAnswer& answer, TAsyncOperation& operation);
  TSupportCalls(const TSupportCalls&) = delete;
  TSupportCalls& operator=(const TSupportCalls&) = delete;

  BOOL AnswerKeepConn(BOOL* answer);
  BOOL AnswerConnected(BOOL* answer);
  BOOL CloseConnection();
  BOOL AbortiveClose();
  BOOL AnswerInProcess(DWORD* answer);
  BOOL SetFlushFlag(const void* flag);
  BOOL AppendLogParameter(const char* text, const DWORD* size);
  BOOL ReportUnhealthy(const char* reason);
  BOOL MapUrl(char* buffer, DWORD* size);
  BOOL MapUrlEx(const char* url, DWORD* size, HSE_URL_MAPEX_INFO* info);
  BOOL MapUnicodeUrl(WCHAR* buffer, DWORD* size);
  BOOL MapUnicodeUrlEx(const WCHAR* url, DWORD* size, HSE_UNICODE_URL_MAPEX_INFO* info);
  BOOL NormalizeUrl(char* url);
  BOOL GetImpersonationToken(void** token);
  /// A documented call that cannot apply to this host: FALSE, ERROR_NOT_SUPPORTED, and one
  /// line on stderr per extension and code. Needs no lock.
  BOOL Refuse(DWORD request);

  /// lpszLogData and what HSE_APPEND_LOG_PARAMETER added, for the access log. Lock held.
  std::string LogData() const;
  /// Closes the impersonation token handed out, if any, as the request ends. Lock held.
  void CloseToken();

private:
  TRequestCore& FRequest;
  TAnswer& FAnswer;
  TAsyncOperation& FOperation;
  std::string FLogParameters; ///< HSE_APPEND_LOG_PARAMETER's texts
  std::uintptr_t FToken = 0;  ///< the impersonation token handed out, closed at the end
};

} // namespace isapi_web::host
