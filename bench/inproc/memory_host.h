#pragma once
// A host that lives in memory only, for measuring an extension's own cost: its callbacks do
// nothing but answer, from fixed data, what a GET with a Referer would give.

#include <atomic>
#include <cstdint>
#include <string_view>

#include "isapi/isapi_host_interface.h"

namespace isapi_web::bench {

/// The Referer every request carries; the redirect an extension asks for is checked against it.
inline constexpr std::string_view BenchReferer = "http://bench.example/shop/page.html?item=42";

/// One request as the in-memory host hands it to an extension: the control block, whose ConnID
/// leads back here, and what the extension asked the host to do with it.
class TMemoryRequest {
public:
  TMemoryRequest() { Reset(); }
  TMemoryRequest(const TMemoryRequest&) = delete;
  TMemoryRequest& operator=(const TMemoryRequest&) = delete;

  /// Fills the control block afresh, as a host does for each request, and clears its end.
  void Reset();
  EXTENSION_CONTROL_BLOCK* ECB() { return &FECB; }
  /// Blocks until the extension has ended the request with done-with-session.
  void WaitDone();

  /// Redirects to exactly BenchReferer, and those to anything else; counted over every request.
  std::uint64_t Redirects() const { return FRedirects; }
  std::uint64_t WrongRedirects() const { return FWrongRedirects; }
  /// Server variables asked for, over every request (failed lookups included).
  std::uint64_t VariableLookups() const { return FVariableLookups; }

private:
  static BOOL ISAPI_CALL GetServerVariable(HCONN hConn, LPSTR lpszVariableName, LPVOID lpvBuffer,
                                           LPDWORD lpdwSize);
  static BOOL ISAPI_CALL WriteClient(HCONN ConnID, LPVOID Buffer, LPDWORD lpdwBytes,
                                     DWORD dwReserved);
  static BOOL ISAPI_CALL ReadClient(HCONN ConnID, LPVOID lpvBuffer, LPDWORD lpdwSize);
  static BOOL ISAPI_CALL ServerSupportFunction(HCONN hConn, DWORD dwHSERequest, LPVOID lpvBuffer,
                                               LPDWORD lpdwSize, LPDWORD lpdwDataType);

  EXTENSION_CONTROL_BLOCK FECB;
  // Written by whichever thread ends the request; the release store publishes the counters.
  std::atomic<std::uint32_t> FDone{0};
  std::uint64_t FRedirects = 0;
  std::uint64_t FWrongRedirects = 0;
  std::uint64_t FVariableLookups = 0;
};

} // namespace isapi_web::bench
