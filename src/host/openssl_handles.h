#pragma once
// OpenSSL's objects owned as unique_ptr, each freed by its own function (the Linux build only).

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>

namespace isapi_web::host {

template <auto Free> struct TOpenSslFree {
  template <class T> void operator()(T* object) const { Free(object); }
};
using TKey = std::unique_ptr<EVP_PKEY, TOpenSslFree<EVP_PKEY_free>>;
using TCertificate = std::unique_ptr<X509, TOpenSslFree<X509_free>>;
using TBio = std::unique_ptr<BIO, TOpenSslFree<BIO_free_all>>;
using TBigNumber = std::unique_ptr<BIGNUM, TOpenSslFree<BN_free>>;
using TSsl = std::unique_ptr<SSL, TOpenSslFree<SSL_free>>;
using TSslContext = std::unique_ptr<SSL_CTX, TOpenSslFree<SSL_CTX_free>>;

} // namespace isapi_web::host
