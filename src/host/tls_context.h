#pragma once
// The TLS side of the host's HTTPS listeners (OpenSSL; the Linux build only): the server's
// certificate and key, what is asked of the client, and the protocol versions allowed.

#include <filesystem>
#include <memory>
#include <string>

#include "host/tls_info.h"

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace isapi_web::host {

/// Whether a client on an HTTPS listener is asked for a certificate.
enum class TClientCertMode {
  None,     ///< never asked
  Optional, ///< asked; a client without one goes on
  Require,  ///< asked; the handshake fails without one
};

struct TTlsSettings {
  /// PEM: the server's certificate (with its chain) and its private key. No certificate: the
  /// development certificate for localhost, made once and kept in the user's cache folder.
  std::filesystem::path CertFile;
  std::filesystem::path KeyFile;
  TClientCertMode ClientCert = TClientCertMode::None;
  /// PEM: the authorities a client's certificate is checked against; needed for Require.
  std::filesystem::path ClientCaFile;
};

/// One context for every HTTPS listener of a run: TLS 1.2 and 1.3 only, no renegotiation, no
/// compression.
class TTlsContext {
public:
  /// Throws std::runtime_error saying what is wrong (a file that cannot be read, a key that does
  /// not match the certificate, Require without authorities, no cache folder).
  explicit TTlsContext(const TTlsSettings& settings);
  ~TTlsContext();
  TTlsContext(const TTlsContext&) = delete;
  TTlsContext& operator=(const TTlsContext&) = delete;

  SSL_CTX* Native() const { return FContext; }
  /// The server certificate's SHA-256 fingerprint, "AB:CD:...".
  const std::string& Fingerprint() const { return FFingerprint; }
  /// Whether the server uses the development certificate, and whether this context made it.
  bool UsesDevelopmentCertificate() const { return FDevelopment; }
  bool MadeDevelopmentCertificate() const { return FMadeDevelopment; }
  /// The server certificate's file: CertFile, or the development certificate's.
  const std::filesystem::path& CertificateFile() const { return FCertificateFile; }

  /// What a request learns of the session of ssl, whose handshake is done.
  std::shared_ptr<const TTlsInfo> Describe(SSL* ssl) const;

private:
  void UseCertificate(const TTlsSettings& settings);
  void UseDevelopmentCertificate();
  void AskForClientCertificates(const TTlsSettings& settings);
  void DescribeServer();

  SSL_CTX* FContext = nullptr;
  std::string FFingerprint;
  bool FDevelopment = false;
  bool FMadeDevelopment = false;
  std::filesystem::path FCertificateFile;
  /// The server's part of every session's TTlsInfo, the same for all.
  TTlsInfo FServer;
};

} // namespace isapi_web::host
