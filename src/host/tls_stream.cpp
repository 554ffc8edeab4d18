#include "host/tls_stream.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <stdexcept>

namespace isapi_web::host {

TTlsStream::TTlsStream(SSL_CTX* context, int socket) : FSsl(SSL_new(context)) {
  if (FSsl == nullptr || SSL_set_fd(FSsl, socket) != 1) {
    SSL_free(FSsl);
    ERR_clear_error();
    throw std::runtime_error("TLS: no session can be made for the connection");
  }
  SSL_set_accept_state(FSsl);
}

TTlsStream::~TTlsStream() {
  SSL_free(FSsl);
}

// The thread's error queue is emptied before each call and after a failure: SSL_get_error reads
// it, and a failure left there by one connection would be taken for the next one's on the thread.
TTlsResult TTlsStream::Read(void* data, std::size_t size, std::size_t& done) {
  done = 0;
  ERR_clear_error();
  const int result = SSL_read_ex(FSsl, data, size, &done);
  return Outcome(result, done);
}

TTlsResult TTlsStream::Write(const void* data, std::size_t size, std::size_t& done) {
  done = 0;
  if (size == 0)
    return TTlsResult::Done;
  ERR_clear_error();
  const int result = SSL_write_ex(FSsl, data, size, &done);
  return Outcome(result, done);
}

TTlsResult TTlsStream::Outcome(int result, std::size_t done) {
  if (result == 1 && done > 0)
    return TTlsResult::Done;
  const int error = SSL_get_error(FSsl, result);
  ERR_clear_error();
  switch (error) {
  case SSL_ERROR_WANT_READ:
    return TTlsResult::WantRead;
  case SSL_ERROR_WANT_WRITE:
    return TTlsResult::WantWrite;
  case SSL_ERROR_ZERO_RETURN:
    return TTlsResult::Closed;
  default:
    return TTlsResult::Failed;
  }
}

void TTlsStream::Shutdown() {
  if (!SSL_is_init_finished(FSsl))
    return;
  ERR_clear_error();
  SSL_shutdown(FSsl);
  ERR_clear_error();
}

bool TTlsStream::Established() const {
  return SSL_is_init_finished(FSsl) == 1;
}

} // namespace isapi_web::host
