#pragma once
// The extension's synchronous I/O and the calls that send the head: ReadClient and WriteClient
// on the calling thread, HSE_REQ_SEND_RESPONSE_HEADER(_EX), HSE_REQ_SEND_URL_REDIRECT_RESP and
// HSE_REQ_SEND_CUSTOM_ERROR (whose asynchronous form starts the request's operation).

#include <optional>
#include <string_view>

#include "host/answer.h"
#include "host/async_operation.h"
#include "host/request_core.h"
#include "isapi/isapi_host_interface.h"

namespace isapi_web::host {

/// The synchronous sends and reads of one request; each takes the request's lock.
class TSyncIo {
public:
  TSyncIo(TRequestCore& request, TAnswer& answer, TAsyncOperation& operation);
  TSyncIo(const TSyncIo&) = delete;
  TSyncIo& operator=(const TSyncIo&) = delete;

  /// WriteClient without HSE_IO_ASYNC.
  BOOL Write(const void* buffer, DWORD* bytes);
  BOOL Read(void* buffer, DWORD* size);
  BOOL Redirect(const char* url);
  /// Calls 3 and 1016: the status (none: "200 OK") and the header block, checked before anything
  /// is sent; keepConn false closes the connection after the answer.
  BOOL SendHeader(std::optional<std::string_view> status, std::optional<std::string_view> block,
                  bool keepConn);
  BOOL SendHeaderEx(const HSE_SEND_HEADER_EX_INFO* info);
  BOOL SendCustomError(const HSE_CUSTOM_ERROR_INFO* info);

private:
  TRequestCore& FRequest;
  TAnswer& FAnswer;
  TAsyncOperation& FOperation;
};

} // namespace isapi_web::host
