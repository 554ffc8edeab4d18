#pragma once
// The support functions of an HTTPS request: the client's certificate and the channel binding,
// answered from the request's TTlsInfo.

#include <string>
#include <string_view>

#include "host/request_core.h"
#include "isapi/isapi_host_interface.h"

namespace isapi_web::host {

/// SEC_CHANNEL_BINDINGS' size: the header before the application data.
inline constexpr DWORD ChannelBindingsHeaderSize = 32;
/// What the application data of the channel binding token starts with.
inline constexpr std::string_view ServerEndPointPrefix = "tls-server-end-point:";

/// The TLS calls of one request whose Setup.Info.Tls is set; each takes the request's lock.
class TTlsCalls {
public:
  explicit TTlsCalls(TRequestCore& request) : FRequest(request) {}
  TTlsCalls(const TTlsCalls&) = delete;
  TTlsCalls& operator=(const TTlsCalls&) = delete;

  /// HSE_REQ_GET_CERT_INFO_EX: the client's certificate into the extension's buffer.
  BOOL GetCertInfo(CERT_CONTEXT_EX* info);
  /// HSE_REQ_GET_CHANNEL_BINDING_TOKEN: *token points at the host's SEC_CHANNEL_BINDINGS for
  /// tls-server-end-point, valid until the request ends; *size is its size.
  BOOL GetChannelBinding(void** token, DWORD* size);

private:
  TRequestCore& FRequest;
  std::string FChannelBindings; ///< made at the first call, handed out by pointer
};

} // namespace isapi_web::host
