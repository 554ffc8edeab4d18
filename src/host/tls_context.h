#pragma once
// The TLS side of the host's HTTPS listeners (OpenSSL; the Linux build only): the server's
// certificate and key, what is asked of the client, and the protocol versions allowed.

#include <filesystem>
#include <memory>
#include <string>

typedef struct ssl_ctx_st SSL_CTX;

namespace isapi_web::host {

/// Whether a client on an HTTPS listener is asked for a certificate.
enum class TClientCertMode {
  None,     ///< never asked
  Optional, ///< asked; a client without one goes on
  Require,  ///< asked; the handshake fails without one
};

struct TTlsSettings {
  /// PEM: the server's certificate (with its chain) and its private key.
  std::filesystem::path CertFile;
  std::filesystem::path KeyFile;
  TClientCertMode ClientCert = TClientCertMode::None;
  /// PEM: the authorities a client's certificate is checked against.
  std::filesystem::path ClientCaFile;
};

/// One context for every HTTPS listener of a run: TLS 1.2 and 1.3 only, no renegotiation, no
/// compression.
class TTlsContext {
public:
  /// Throws std::runtime_error saying what is wrong (a file that cannot be read, a key that does
  /// not match the certificate).
  explicit TTlsContext(const TTlsSettings& settings);
  ~TTlsContext();
  TTlsContext(const TTlsContext&) = delete;
  TTlsContext& operator=(const TTlsContext&) = delete;

  SSL_CTX* Native() const { return FContext; }
  /// The server certificate's SHA-256 fingerprint, "AB:CD:...".
  const std::string& Fingerprint() const { return FFingerprint; }

private:
  SSL_CTX* FContext = nullptr;
  std::string FFingerprint;
};

} // namespace isapi_web::host
