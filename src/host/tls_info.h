#pragma once
// What a request on an HTTPS connection can learn of its TLS session: the sizes of the keys, the
// server's certificate names, the channel binding and the client's certificate. Plain values, so
// the server variables and the support calls need no TLS library (the Windows builds have none).

#include <cstdint>
#include <string>

namespace isapi_web::host {

/// CERT_FLAGS and CERT_CONTEXT_EX::dwCertificateFlags: the client sent a certificate.
inline constexpr std::uint32_t CertFlagPresent = 1;
/// The client's certificate does not verify against the authorities the host trusts.
inline constexpr std::uint32_t CertFlagIssuerNotRecognised = 2;

/// One HTTPS connection's session, fixed once its handshake is done.
struct TTlsInfo {
  unsigned KeySize = 0;       ///< bits of the session's symmetric key (HTTPS_KEYSIZE)
  unsigned SecretKeySize = 0; ///< bits of the server certificate's key (HTTPS_SECRETKEYSIZE)
  std::string ServerIssuer; ///< "C=DE, O=Example, CN=Example CA": names in the certificate's order
  std::string ServerSubject;
  /// tls-server-end-point: the hash of the server certificate's DER bytes, no prefix.
  std::string ServerEndPoint;

  /// The client's certificate; all empty and flags 0 when it sent none.
  std::string ClientCertificate; ///< DER bytes
  std::string ClientIssuer;
  std::string ClientSubject;
  std::string ClientSerialNumber; ///< bytes in lower-case hex, most significant first, "0a-1b"
  std::string ClientCookie;       ///< upper-case hex of the SHA-256 of the DER bytes
  std::uint32_t ClientFlags = 0;  ///< CertFlagPresent | CertFlagIssuerNotRecognised
};

} // namespace isapi_web::host
