#pragma once
// A TLS session over a connection's non-blocking socket (OpenSSL; the Linux build only): reads
// and writes that never block, and say which way the socket must become ready when they cannot
// go on. The handshake is made by the first read or write.

#include <cstddef>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace isapi_web::host {

enum class TTlsResult {
  Done,      ///< some bytes went
  WantRead,  ///< none: try again once the socket is readable
  WantWrite, ///< none: try again once the socket is writable
  Closed,    ///< the client ended the session
  Failed,    ///< the session failed (a broken handshake, a bad record, a lost connection)
};

class TTlsStream {
public:
  /// The server's side of a session on socket; throws std::runtime_error when none can be made.
  TTlsStream(SSL_CTX* context, int socket);
  ~TTlsStream();
  TTlsStream(const TTlsStream&) = delete;
  TTlsStream& operator=(const TTlsStream&) = delete;

  TTlsResult Read(void* data, std::size_t size, std::size_t& done);
  TTlsResult Write(const void* data, std::size_t size, std::size_t& done);
  /// Sends the closing alert, if the socket takes it at once.
  void Shutdown();
  /// Whether the handshake has ended.
  bool Established() const;
  SSL* Native() const { return FSsl; }

private:
  TTlsResult Outcome(int result, std::size_t done);

  SSL* FSsl = nullptr;
};

} // namespace isapi_web::host
