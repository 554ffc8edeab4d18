// The extension of the host's support-function tests: headers with lengths and keep-alive, the
// connection calls, log and health, mapping, the host's error page, the token, the refusals, the
// client's certificate.
// Each path reports the host's answers in its response (or on stderr, once it closed).

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>

#include "extension_kit.h"

using namespace extension_kit;

namespace {

std::mutex ReleaseMutex; // guards Released
std::condition_variable ReleaseChanged;
bool Released = false;

std::string BoolAnswer(EXTENSION_CONTROL_BLOCK* ecb, DWORD code) {
  BOOL value = 7;
  const std::string outcome = Support(ecb, code, &value);
  return outcome == "TRUE" ? std::to_string(value) : outcome;
}

DWORD HeaderEx(EXTENSION_CONTROL_BLOCK* ecb) {
  const bool keep = std::strcmp(ecb->lpszQueryString, "keep=1") == 0;
  std::string report = "keep-before=" + BoolAnswer(ecb, HSE_REQ_IS_KEEP_CONN);
  // The lengths end the texts: the bytes after them are not the extension's answer.
  const std::string status = "201 MadeEXTRA";
  const std::string header = "Content-Type: text/plain\r\nX-Ex: 1\r\n\r\nX-Not: sent\r\n\r\n";
  HSE_SEND_HEADER_EX_INFO info{status.data(), header.data(), 8,
                               static_cast<DWORD>(header.find("X-Not")), keep ? 1 : 0};
  report += " header=" + Support(ecb, HSE_REQ_SEND_RESPONSE_HEADER_EX, &info);
  report += " second=" + SendHeaderEx(ecb, "200 OK", "\r\n", keep);
  report += " keep-after=" + BoolAnswer(ecb, HSE_REQ_IS_KEEP_CONN);
  report += " connected=" + BoolAnswer(ecb, HSE_REQ_IS_CONNECTED);
  DWORD process = 7;
  report += " in-process=" + Support(ecb, HSE_REQ_IS_IN_PROCESS, &process);
  report += "/" + std::to_string(process);
  report += " abortive=" + Support(ecb, HSE_REQ_ABORTIVE_CLOSE) + "\n";
  Write(ecb, report);
  return HSE_STATUS_SUCCESS_AND_KEEP_CONN;
}

// Header texts the host must refuse whole: nothing of them may reach the client.
DWORD HeaderExRefused(EXTENSION_CONTROL_BLOCK* ecb) {
  std::string report = "crlf-status=" + SendHeaderEx(ecb, "200 OK\r\nX-Evil: 1", "\r\n", true);
  const char nulHeader[] = "X-A: 1\0X-Evil: 1\r\n\r\n";
  report += " nul-header=" + SendHeaderEx(ecb, "200 OK", {nulHeader, sizeof nulHeader - 1}, true);
  report += " lf-value=" + SendHeaderEx(ecb, "200 OK", "X-A: 1\rX-Evil: 1\r\n\r\n", true);
  report += " unterminated=" + SendHeaderEx(ecb, "200 OK", "X-A: 1\r\n", true);
  report += " null=" + Support(ecb, HSE_REQ_SEND_RESPONSE_HEADER_EX);
  // A length that counts the terminating NUL is taken as the text without it.
  const char countedStatus[] = "200 OK";
  const char countedHeader[] = "Content-Type: text/plain\r\n\r\n";
  report += " good=" +
            SendHeaderEx(ecb, {countedStatus, sizeof countedStatus},
                         {countedHeader, sizeof countedHeader}, true) +
            "\n";
  Write(ecb, report);
  return HSE_STATUS_SUCCESS;
}

DWORD Close(EXTENSION_CONTROL_BLOCK* ecb) {
  SendHeaderEx(ecb, "200 OK", "Content-Type: text/plain\r\n\r\n", true);
  Write(ecb, "partial\n");
  std::string report = "close=" + Support(ecb, HSE_REQ_CLOSE_CONNECTION);
  report += " write-after=" + Write(ecb, "never\n");
  report += " keep=" + BoolAnswer(ecb, HSE_REQ_IS_KEEP_CONN);
  report += " connected=" + BoolAnswer(ecb, HSE_REQ_IS_CONNECTED);
  Say(report);
  return HSE_STATUS_SUCCESS;
}

// Asks IS_CONNECTED until the client has gone (at most 30 s), as a long job checks before
// going on.
DWORD WaitForDisconnect(EXTENSION_CONTROL_BLOCK* ecb) {
  std::string report = "connected=" + BoolAnswer(ecb, HSE_REQ_IS_CONNECTED);
  Say("waiting for the client to go");
  for (int i = 0; i < 3000 && BoolAnswer(ecb, HSE_REQ_IS_CONNECTED) == "1"; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  Say(report + " then " + BoolAnswer(ecb, HSE_REQ_IS_CONNECTED));
  return HSE_STATUS_SUCCESS;
}

// With the flush flag, a write reaches the client while the extension still runs: the client
// answers it by asking for /release.
DWORD Flush(EXTENSION_CONTROL_BLOCK* ecb) {
  std::string report = "flag=" + Support(ecb, HSE_REQ_SET_FLUSH_FLAG, reinterpret_cast<void*>(1));
  SendHeaderEx(ecb, "200 OK", "Content-Type: text/plain\r\n\r\n", true);
  Write(ecb, report + "\n");
  std::unique_lock lock(ReleaseMutex);
  const bool released =
      ReleaseChanged.wait_for(lock, std::chrono::seconds(30), [] { return Released; });
  Released = false;
  lock.unlock();
  Write(ecb, released ? "released\n" : "never released\n");
  return HSE_STATUS_SUCCESS;
}

DWORD Release(EXTENSION_CONTROL_BLOCK* ecb) {
  {
    std::lock_guard lock(ReleaseMutex);
    Released = true;
  }
  ReleaseChanged.notify_all();
  SendHeaderEx(ecb, "200 OK", "Content-Length: 0\r\n\r\n", true);
  return HSE_STATUS_SUCCESS;
}

DWORD Log(EXTENSION_CONTROL_BLOCK* ecb) {
  std::snprintf(ecb->lpszLogData, HSE_LOG_BUFFER_LEN, "|data");
  char first[] = "|first";
  char second[] = "|second";
  std::string report = "append=" + Support(ecb, HSE_APPEND_LOG_PARAMETER, first);
  DWORD size = sizeof second;
  report += "," + Support(ecb, HSE_APPEND_LOG_PARAMETER, second, &size);
  std::string huge(5000, 'x');
  report += " huge=" + Support(ecb, HSE_APPEND_LOG_PARAMETER, huge.data());
  char reason[] = "disk nearly full";
  report += " unhealthy=" + Support(ecb, HSE_REQ_REPORT_UNHEALTHY, reason) + "\n";
  SendHeaderEx(ecb, "200 OK", "Content-Type: text/plain\r\n\r\n", true);
  Write(ecb, report);
  return HSE_STATUS_SUCCESS;
}

DWORD Map(EXTENSION_CONTROL_BLOCK* ecb) {
  std::string report;
  char url[] = "/sub/../a%20b/c.txt";
  HSE_URL_MAPEX_INFO info{};
  DWORD size = sizeof url;
  report += "ex=" + Support(ecb, HSE_REQ_MAP_URL_TO_PATH_EX, url, &size, &info);
  report += std::string(" path=") + info.lpszPath + " flags=" + std::to_string(info.dwFlags) +
            " matching=" + std::to_string(info.cchMatchingPath) + "," +
            std::to_string(info.cchMatchingURL) + " size=" + std::to_string(size) + "\n";
  WCHAR wide[300] = u"/\u00e9t\u00e9/x";
  size = sizeof wide;
  report += "unicode=" + Support(ecb, HSE_REQ_MAP_UNICODE_URL_TO_PATH, wide, &size);
  report += " hex=" + Hex(wide, size) + " size=" + std::to_string(size) + "\n";
  WCHAR tiny[2] = u"/";
  size = sizeof tiny;
  report += "unicode-tiny=" + Support(ecb, HSE_REQ_MAP_UNICODE_URL_TO_PATH, tiny, &size);
  report += " needed=" + std::to_string(size) + "\n";
  const WCHAR wideUrl[] = u"/d\u00e9j\u00e0";
  HSE_UNICODE_URL_MAPEX_INFO wideInfo{};
  report += "unicode-ex=" + Support(ecb, HSE_REQ_MAP_UNICODE_URL_TO_PATH_EX,
                                    const_cast<WCHAR*>(wideUrl), nullptr, &wideInfo);
  std::size_t units = 0;
  while (wideInfo.lpszPath[units] != 0)
    ++units;
  report += " hex=" + Hex(wideInfo.lpszPath, units * 2) +
            " matching=" + std::to_string(wideInfo.cchMatchingPath) + "," +
            std::to_string(wideInfo.cchMatchingURL) + "\n";
  char climb[] = "/../x";
  report += "climb=" + Support(ecb, HSE_REQ_MAP_URL_TO_PATH_EX, climb, nullptr, &info) + "\n";
  char normal[] = "/a/./b/../c%41//d?x=%41/../";
  report += "normalize=" + Support(ecb, HSE_REQ_NORMALIZE_URL, normal);
  report += std::string(" url=") + normal + "\n";
  char relative[] = "a/b";
  report += "normalize-relative=" + Support(ecb, HSE_REQ_NORMALIZE_URL, relative) + "\n";
  char above[] = "/a/../../b";
  report += "normalize-above=" + Support(ecb, HSE_REQ_NORMALIZE_URL, above) + "\n";
  SendHeaderEx(ecb, "200 OK", "Content-Type: text/plain\r\n\r\n", true);
  Write(ecb, report);
  return HSE_STATUS_SUCCESS;
}

void ISAPI_CALL CustomErrorSent(EXTENSION_CONTROL_BLOCK* ecb, void* context, DWORD bytes,
                                 DWORD error) {
  Say(std::string(static_cast<const char*>(context)) + " bytes=" + std::to_string(bytes) +
      " error=" + std::to_string(error));
  DWORD status = HSE_STATUS_SUCCESS;
  ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_DONE_WITH_SESSION, &status, nullptr, nullptr);
}

// The page sent asynchronously: the request pends until its completion ends it.
DWORD CustomErrorAsync(EXTENSION_CONTROL_BLOCK* ecb) {
  static char context[] = "custom-error-async";
  char status[] = "500 Internal Server Error";
  HSE_CUSTOM_ERROR_INFO info{status, 13, 1};
  if (Support(ecb, HSE_REQ_IO_COMPLETION, reinterpret_cast<void*>(&CustomErrorSent), nullptr,
              context) != "TRUE" ||
      Support(ecb, HSE_REQ_SEND_CUSTOM_ERROR, &info) != "TRUE")
    return HSE_STATUS_ERROR;
  return HSE_STATUS_PENDING;
}

DWORD CustomError(EXTENSION_CONTROL_BLOCK* ecb) {
  char status[] = "404 Not Found";
  HSE_CUSTOM_ERROR_INFO async{status, 2, 1};
  std::string report = "async=" + Support(ecb, HSE_REQ_SEND_CUSTOM_ERROR, &async);
  HSE_CUSTOM_ERROR_INFO info{status, 2, 0};
  report += " sync=" + Support(ecb, HSE_REQ_SEND_CUSTOM_ERROR, &info);
  report += " again=" + Support(ecb, HSE_REQ_SEND_CUSTOM_ERROR, &info);
  Say("custom-error " + report);
  return HSE_STATUS_SUCCESS;
}

DWORD Token(EXTENSION_CONTROL_BLOCK* ecb) {
  void* token = nullptr;
  void* again = nullptr;
  std::string report = "token=" + Support(ecb, HSE_REQ_GET_IMPERSONATION_TOKEN, &token);
  report += " again=" + Support(ecb, HSE_REQ_GET_IMPERSONATION_TOKEN, &again);
  report += std::string(" handle=") + (token != nullptr ? "set" : "none") +
            (token == again ? " same" : " different") +
            (test_extension::ImpersonatesWith(token) ? " impersonates" : "") + "\n";
  SendHeaderEx(ecb, "200 OK", "Content-Type: text/plain\r\n\r\n", true);
  Write(ecb, report);
  return HSE_STATUS_SUCCESS;
}

// HSE_REQ_GET_CERT_INFO_EX into a buffer of ?size= bytes (4096 without one); the fields start
// with values the host never writes, so the report shows which ones it filled.
DWORD CertInfo(EXTENSION_CONTROL_BLOCK* ecb) {
  const std::string asked = QueryValue(ecb->lpszQueryString, "size");
  std::string buffer(asked.empty() ? 4096 : std::stoul(asked), '\0');
  CERT_CONTEXT_EX info{};
  info.CertContext.dwCertEncodingType = 77;
  info.CertContext.pbCertEncoded = reinterpret_cast<std::uint8_t*>(buffer.data());
  info.CertContext.cbCertEncoded = 77;
  info.cbAllocated = static_cast<DWORD>(buffer.size());
  info.dwCertificateFlags = 77;
  std::string report = "result=" + Support(ecb, HSE_REQ_GET_CERT_INFO_EX, &info);
  const DWORD written = std::min<DWORD>(info.CertContext.cbCertEncoded, info.cbAllocated);
  report += " type=" + std::to_string(info.CertContext.dwCertEncodingType) +
            " bytes=" + std::to_string(info.CertContext.cbCertEncoded) +
            " flags=" + std::to_string(info.dwCertificateFlags) +
            " der=" + Hex(buffer.data(), written) + "\n";
  SendHeaderEx(ecb, "200 OK", "Content-Type: text/plain\r\n\r\n", true);
  Write(ecb, report);
  return HSE_STATUS_SUCCESS;
}

// Every code that cannot apply to this host, twice each: refused both times.
DWORD Refused(EXTENSION_CONTROL_BLOCK* ecb) {
  std::string report;
  for (DWORD code :
       {HSE_REQ_GET_SSPI_INFO, HSE_REQ_REFRESH_ISAPI_ACL, HSE_REQ_GET_CERT_INFO_EX,
        HSE_REQ_GET_ANONYMOUS_TOKEN, HSE_REQ_GET_CACHE_INVALIDATION_CALLBACK,
        HSE_REQ_GET_UNICODE_ANONYMOUS_TOKEN, HSE_REQ_GET_TRACE_INFO, HSE_REQ_GET_TRACE_INFO_EX,
        HSE_REQ_RAISE_TRACE_EVENT, HSE_REQ_GET_CONFIG_OBJECT, HSE_REQ_GET_WORKER_PROCESS_SETTINGS,
        HSE_REQ_GET_PROTOCOL_MANAGER_CUSTOM_INTERFACE_CALLBACK,
        HSE_REQ_GET_CHANNEL_BINDING_TOKEN}) {
    char scratch[64] = {};
    DWORD size = sizeof scratch;
    const std::string first = Support(ecb, code, scratch, &size, scratch);
    report += std::to_string(code) + "=" + first + "," + Support(ecb, code, scratch, &size) + "\n";
  }
  SendHeaderEx(ecb, "200 OK", "Content-Type: text/plain\r\n\r\n", true);
  Write(ecb, report);
  return HSE_STATUS_SUCCESS;
}

} // namespace

EXTENSION_KIT_ENTRY_POINTS("isapi-host support-function test extension")

ISAPI_EXPORT DWORD ISAPI_CALL HttpExtensionProc(EXTENSION_CONTROL_BLOCK* ecb) {
  const std::string path = ecb->lpszPathInfo;
  if (path == "/header-ex")
    return HeaderEx(ecb);
  if (path == "/header-ex-refused")
    return HeaderExRefused(ecb);
  if (path == "/close")
    return Close(ecb);
  if (path == "/wait-disconnect")
    return WaitForDisconnect(ecb);
  if (path == "/flush")
    return Flush(ecb);
  if (path == "/release")
    return Release(ecb);
  if (path == "/log")
    return Log(ecb);
  if (path == "/map")
    return Map(ecb);
  if (path == "/custom-error")
    return CustomError(ecb);
  if (path == "/custom-error-async")
    return CustomErrorAsync(ecb);
  if (path == "/token")
    return Token(ecb);
  if (path == "/refused")
    return Refused(ecb);
  if (path == "/cert-info")
    return CertInfo(ecb);
  SendHeaderEx(ecb, "404 Not Found", "Content-Type: text/plain\r\n\r\n", true);
  Write(ecb, "unknown path " + path + "\n");
  return HSE_STATUS_SUCCESS;
}
