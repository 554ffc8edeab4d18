#include "host/support_tls.h"

#include <cstring>

#include "host/host_system.h"

namespace isapi_web::host {

BOOL TTlsCalls::GetCertInfo(CERT_CONTEXT_EX* info) {
  std::lock_guard lock(FRequest.Mutex);
  const TTlsInfo* tls = FRequest.Setup.Info.Tls.get();
  if (FRequest.Finished || tls == nullptr || info == nullptr)
    return FailCall(ERROR_INVALID_PARAMETER);
  CERT_CONTEXT& context = info->CertContext;
  const std::string& der = tls->ClientCertificate;
  const DWORD needed = static_cast<DWORD>(der.size());
  if (needed > 0 && (context.pbCertEncoded == nullptr || info->cbAllocated < needed)) {
    context.cbCertEncoded = needed;
    return FailCall(ERROR_INSUFFICIENT_BUFFER);
  }
  if (needed > 0)
    std::memcpy(context.pbCertEncoded, der.data(), needed);
  context.dwCertEncodingType = X509_ASN_ENCODING;
  context.cbCertEncoded = needed;
  // Nothing decoded and no certificate store: the extension has the bytes to decode itself.
  context.pCertInfo = nullptr;
  context.hCertStore = nullptr;
  info->dwCertificateFlags = tls->ClientFlags;
  return 1;
}

BOOL TTlsCalls::GetChannelBinding(void** token, DWORD* size) {
  std::lock_guard lock(FRequest.Mutex);
  const TTlsInfo* tls = FRequest.Setup.Info.Tls.get();
  if (FRequest.Finished || tls == nullptr || token == nullptr || size == nullptr)
    return FailCall(ERROR_INVALID_PARAMETER);
  if (FChannelBindings.empty()) {
    // SEC_CHANNEL_BINDINGS: no initiator or acceptor address, the application data right after
    // the header, as SSPI takes it for Extended Protection.
    const DWORD header[ChannelBindingsHeaderSize / sizeof(DWORD)] = {
        0,
        0,
        0,
        0,
        0,
        0,
        static_cast<DWORD>(ServerEndPointPrefix.size() + tls->ServerEndPoint.size()),
        ChannelBindingsHeaderSize};
    FChannelBindings.assign(reinterpret_cast<const char*>(header), sizeof header);
    FChannelBindings += ServerEndPointPrefix;
    FChannelBindings += tls->ServerEndPoint;
  }
  *token = FChannelBindings.data();
  *size = static_cast<DWORD>(FChannelBindings.size());
  return 1;
}

} // namespace isapi_web::host
