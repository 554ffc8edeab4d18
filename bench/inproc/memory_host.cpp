#include "inproc/memory_host.h"

#include <cerrno>
#include <cstring>

namespace isapi_web::bench {

namespace {

struct TFixedVariable {
  std::string_view Name;
  std::string_view Value;
};

// What isapi-host answers for "GET /scripts/moravel.dll" with a Host and a Referer header.
constexpr TFixedVariable FixedVariables[] = {
    {"HTTP_REFERER", BenchReferer},
    {"REQUEST_METHOD", "GET"},
    {"QUERY_STRING", ""},
    {"PATH_INFO", ""},
    {"PATH_TRANSLATED", ""},
    {"SCRIPT_NAME", "/scripts/moravel.dll"},
    {"URL", "/scripts/moravel.dll"},
    {"SERVER_PROTOCOL", "HTTP/1.1"},
    {"SERVER_NAME", "127.0.0.1"},
    {"SERVER_PORT", "8080"},
    {"SERVER_PORT_SECURE", "0"},
    {"SERVER_SOFTWARE", "isapi-host/0.1.0"},
    {"REMOTE_ADDR", "127.0.0.1"},
    {"REMOTE_HOST", "127.0.0.1"},
    {"REMOTE_PORT", "40000"},
    {"CONTENT_TYPE", ""},
    {"CONTENT_LENGTH", "0"},
    {"HTTPS", "off"},
    {"AUTH_TYPE", ""},
    {"REMOTE_USER", ""},
    {"HTTP_HOST", "127.0.0.1:8080"},
};

char MethodText[] = "GET";
char EmptyText[] = "";
std::uint8_t NoBody[1] = {0};

TMemoryRequest& RequestOf(HCONN hConn) {
  return *static_cast<TMemoryRequest*>(hConn);
}

} // namespace

void TMemoryRequest::Reset() {
  std::memset(&FECB, 0, sizeof FECB);
  FECB.cbSize = sizeof FECB;
  FECB.dwVersion = HSE_VERSION;
  FECB.ConnID = this;
  FECB.dwHttpStatusCode = 200;
  FECB.lpszMethod = MethodText;
  FECB.lpszQueryString = EmptyText;
  FECB.lpszPathInfo = EmptyText;
  FECB.lpszPathTranslated = EmptyText;
  FECB.cbTotalBytes = 0;
  FECB.cbAvailable = 0;
  FECB.lpbData = NoBody;
  FECB.lpszContentType = EmptyText;
  FECB.GetServerVariable = &GetServerVariable;
  FECB.WriteClient = &WriteClient;
  FECB.ReadClient = &ReadClient;
  FECB.ServerSupportFunction = &ServerSupportFunction;
  FDone.store(0, std::memory_order_relaxed);
}

void TMemoryRequest::WaitDone() {
  while (FDone.load(std::memory_order_acquire) == 0)
    FDone.wait(0, std::memory_order_acquire);
}

BOOL ISAPI_CALL TMemoryRequest::GetServerVariable(HCONN hConn, LPSTR lpszVariableName,
                                                  LPVOID lpvBuffer, LPDWORD lpdwSize) {
  TMemoryRequest& request = RequestOf(hConn);
  ++request.FVariableLookups;
  const std::string_view name(lpszVariableName);
  for (const TFixedVariable& variable : FixedVariables) {
    if (variable.Name != name)
      continue;
    const DWORD needed = static_cast<DWORD>(variable.Value.size() + 1);
    if (lpvBuffer == nullptr || *lpdwSize < needed) {
      *lpdwSize = needed;
      errno = static_cast<int>(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
    std::memcpy(lpvBuffer, variable.Value.data(), variable.Value.size());
    static_cast<char*>(lpvBuffer)[variable.Value.size()] = '\0';
    *lpdwSize = needed;
    return 1;
  }
  errno = static_cast<int>(ERROR_INVALID_INDEX);
  return 0;
}

BOOL ISAPI_CALL TMemoryRequest::WriteClient(HCONN, LPVOID, LPDWORD, DWORD) {
  return 1;
}

BOOL ISAPI_CALL TMemoryRequest::ReadClient(HCONN, LPVOID, LPDWORD lpdwSize) {
  *lpdwSize = 0;
  return 1;
}

BOOL ISAPI_CALL TMemoryRequest::ServerSupportFunction(HCONN hConn, DWORD dwHSERequest,
                                                      LPVOID lpvBuffer, LPDWORD, LPDWORD) {
  TMemoryRequest& request = RequestOf(hConn);
  if (dwHSERequest == HSE_REQ_SEND_URL_REDIRECT_RESP) {
    const char* target = static_cast<const char*>(lpvBuffer);
    if (target != nullptr && BenchReferer == target)
      ++request.FRedirects;
    else
      ++request.FWrongRedirects;
  } else if (dwHSERequest == HSE_REQ_DONE_WITH_SESSION) {
    request.FDone.store(1, std::memory_order_release);
    request.FDone.notify_one();
  }
  return 1;
}

} // namespace isapi_web::bench
