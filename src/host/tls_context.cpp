#include "host/tls_context.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <stdexcept>

namespace isapi_web::host {

namespace {

// OpenSSL's last error as text, for a message that says why.
std::string LastTlsError() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0)
    return "unknown error";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

std::string Sha256Fingerprint(X509* certificate) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (X509_digest(certificate, EVP_sha256(), digest, &size) != 1)
    return {};
  static const char Hex[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned int i = 0; i < size; ++i) {
    if (i > 0)
      text += ':';
    text += Hex[digest[i] >> 4];
    text += Hex[digest[i] & 15];
  }
  return text;
}

} // namespace

TTlsContext::TTlsContext(const TTlsSettings& settings) {
  FContext = SSL_CTX_new(TLS_server_method());
  if (FContext == nullptr)
    throw std::runtime_error("TLS: " + LastTlsError());
  SSL_CTX_set_min_proto_version(FContext, TLS1_2_VERSION);
  SSL_CTX_set_options(FContext, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION |
                                    SSL_OP_CIPHER_SERVER_PREFERENCE);
  // A write may be retried with the same bytes at another address (the host's buffers move).
  SSL_CTX_set_mode(FContext, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_ENABLE_PARTIAL_WRITE);
  try {
    if (SSL_CTX_use_certificate_chain_file(FContext, settings.CertFile.string().c_str()) != 1)
      throw std::runtime_error("TLS: cannot use the certificate " + settings.CertFile.string() +
                               ": " + LastTlsError());
    if (SSL_CTX_use_PrivateKey_file(FContext, settings.KeyFile.string().c_str(),
                                    SSL_FILETYPE_PEM) != 1)
      throw std::runtime_error("TLS: cannot use the key " + settings.KeyFile.string() + ": " +
                               LastTlsError());
    if (SSL_CTX_check_private_key(FContext) != 1)
      throw std::runtime_error("TLS: the key " + settings.KeyFile.string() +
                               " does not belong to the certificate " + settings.CertFile.string());
    FFingerprint = Sha256Fingerprint(SSL_CTX_get0_certificate(FContext));
  } catch (...) {
    SSL_CTX_free(FContext);
    throw;
  }
}

TTlsContext::~TTlsContext() {
  SSL_CTX_free(FContext);
}

} // namespace isapi_web::host
