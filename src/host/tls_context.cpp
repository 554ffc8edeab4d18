#include "host/tls_context.h"

#include "host/openssl_handles.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <system_error>

namespace isapi_web::host {

namespace {

// The development certificate: its files in the cache folder, its key size and how long it lasts.
constexpr const char* DevelopmentCertificateName = "localhost.crt";
constexpr const char* DevelopmentKeyName = "localhost.key";
constexpr int DevelopmentKeyBits = 2048;
constexpr long DevelopmentLifetime = 365L * 24 * 3600;
// A certificate that would expire within this time is made anew rather than used for a run.
constexpr long DevelopmentMargin = 24 * 3600;

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

std::string Hex(const unsigned char* bytes, std::size_t size, const char* digits,
                std::string_view separator) {
  std::string text;
  for (std::size_t i = 0; i < size; ++i) {
    if (i > 0)
      text += separator;
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 15];
  }
  return text;
}
constexpr const char* UpperDigits = "0123456789ABCDEF";
constexpr const char* LowerDigits = "0123456789abcdef";

std::string Sha256Fingerprint(X509* certificate) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (X509_digest(certificate, EVP_sha256(), digest, &size) != 1)
    return {};
  return Hex(digest, size, UpperDigits, ":");
}

std::string MemoryText(BIO* memory) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(memory, &data);
  return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

// A name as the server variables show it: short attribute names in the certificate's order,
// "C=DE, O=Example, CN=host"; values in UTF-8, RFC 2253's special characters escaped.
std::string NameText(const X509_NAME* name) {
  TBio memory(BIO_new(BIO_s_mem()));
  if (!memory || name == nullptr)
    return {};
  X509_NAME_print_ex(memory.get(), name, 0,
                     XN_FLAG_SEP_CPLUS_SPC | XN_FLAG_FN_SN | ASN1_STRFLGS_ESC_2253 |
                         ASN1_STRFLGS_ESC_CTRL | ASN1_STRFLGS_UTF8_CONVERT);
  return MemoryText(memory.get());
}

// The serial number's bytes, most significant first, in lower-case hex joined by '-'.
std::string SerialText(const ASN1_INTEGER* serial) {
  TBigNumber number(ASN1_INTEGER_to_BN(serial, nullptr));
  if (!number)
    return {};
  std::string bytes(static_cast<std::size_t>(BN_num_bytes(number.get())), '\0');
  BN_bn2bin(number.get(), reinterpret_cast<unsigned char*>(bytes.data()));
  if (bytes.empty())
    bytes.assign(1, '\0');
  return Hex(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), LowerDigits, "-");
}

std::string Der(X509* certificate) {
  const int size = i2d_X509(certificate, nullptr);
  if (size <= 0)
    return {};
  std::string bytes(static_cast<std::size_t>(size), '\0');
  auto* out = reinterpret_cast<unsigned char*>(bytes.data());
  i2d_X509(certificate, &out);
  return bytes;
}

// tls-server-end-point: the certificate hashed with its signature's hash, SHA-256 in place of MD5
// and SHA-1, and for signatures without a separate hash (Ed25519) as well.
std::string EndPointHash(X509* certificate) {
  int digestId = NID_undef;
  const EVP_MD* digest = nullptr;
  if (X509_get_signature_info(certificate, &digestId, nullptr, nullptr, nullptr) == 1 &&
      digestId != NID_undef && digestId != NID_md5 && digestId != NID_sha1)
    digest = EVP_get_digestbynid(digestId);
  if (digest == nullptr)
    digest = EVP_sha256();
  unsigned char hash[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (X509_digest(certificate, digest, hash, &size) != 1)
    return {};
  return std::string(reinterpret_cast<const char*>(hash), size);
}

// In Optional mode a certificate that does not verify is still taken; the request sees it flagged.
int AcceptAnyCertificate(int, X509_STORE_CTX*) {
  return 1;
}

std::filesystem::path CacheFolder() {
  const char* cache = std::getenv("XDG_CACHE_HOME");
  if (cache != nullptr && std::filesystem::path(cache).is_absolute())
    return std::filesystem::path(cache) / "isapi-host";
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0')
    throw std::runtime_error("TLS: no folder for the development certificate: neither "
                             "XDG_CACHE_HOME nor HOME is set");
  return std::filesystem::path(home) / ".cache" / "isapi-host";
}

std::runtime_error FileError(const std::string& what, const std::filesystem::path& file) {
  return std::runtime_error("TLS: cannot " + what + " " + file.string() + ": " +
                            std::strerror(errno));
}

// Holds the cache folder's lock file: the host that comes second finds the first one's files.
class TFolderLock {
public:
  explicit TFolderLock(const std::filesystem::path& file) {
    FDescriptor = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (FDescriptor < 0)
      throw FileError("create", file);
    while (::flock(FDescriptor, LOCK_EX) != 0)
      if (errno != EINTR) {
        const std::runtime_error error = FileError("lock", file);
        ::close(FDescriptor);
        throw error;
      }
  }
  ~TFolderLock() { ::close(FDescriptor); }
  TFolderLock(const TFolderLock&) = delete;
  TFolderLock& operator=(const TFolderLock&) = delete;

private:
  int FDescriptor = -1;
};

// Writes text to a file of its own name and renames it over file, so that no reader sees it half
// written; mode is set whatever the umask.
void WriteWhole(const std::filesystem::path& file, const std::string& text, mode_t mode) {
  std::filesystem::path temporary = file;
  temporary += ".tmp-" + std::to_string(::getpid());
  const int descriptor = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (descriptor < 0)
    throw FileError("create", temporary);
  bool written = ::fchmod(descriptor, mode) == 0;
  for (std::size_t done = 0; written && done < text.size();) {
    const ssize_t count = ::write(descriptor, text.data() + done, text.size() - done);
    if (count < 0 && errno == EINTR)
      continue;
    written = count > 0;
    if (written)
      done += static_cast<std::size_t>(count);
  }
  written = written && ::fsync(descriptor) == 0;
  const int writeError = errno;
  ::close(descriptor);
  if (!written) {
    ::unlink(temporary.c_str());
    errno = writeError;
    throw FileError("write", temporary);
  }
  if (::rename(temporary.c_str(), file.c_str()) != 0) {
    const std::runtime_error error = FileError("rename to", file);
    ::unlink(temporary.c_str());
    throw error;
  }
}

// The development certificate kept in folder, when both files read, belong together and last.
bool ReadDevelopmentCertificate(const std::filesystem::path& folder, TKey& key,
                                TCertificate& certificate) {
  TBio keyFile(BIO_new_file((folder / DevelopmentKeyName).c_str(), "r"));
  TBio certificateFile(BIO_new_file((folder / DevelopmentCertificateName).c_str(), "r"));
  if (keyFile)
    key.reset(PEM_read_bio_PrivateKey(keyFile.get(), nullptr, nullptr, nullptr));
  if (certificateFile)
    certificate.reset(PEM_read_bio_X509(certificateFile.get(), nullptr, nullptr, nullptr));
  ERR_clear_error();
  if (!key || !certificate || X509_check_private_key(certificate.get(), key.get()) != 1) {
    ERR_clear_error();
    return false;
  }
  std::time_t soon = std::time(nullptr) + DevelopmentMargin;
  return X509_cmp_time(X509_get0_notAfter(certificate.get()), &soon) > 0;
}

void AddExtension(X509* certificate, int id, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, id, value);
  if (extension == nullptr || X509_add_ext(certificate, extension, -1) != 1) {
    X509_EXTENSION_free(extension);
    throw std::runtime_error("TLS: cannot make the development certificate: " + LastTlsError());
  }
  X509_EXTENSION_free(extension);
}

// A self-signed certificate for localhost by name and by both loopback addresses.
void MakeDevelopmentCertificate(TKey& key, TCertificate& certificate) {
  key.reset(EVP_RSA_gen(DevelopmentKeyBits));
  certificate.reset(X509_new());
  if (!key || !certificate)
    throw std::runtime_error("TLS: cannot make the development certificate: " + LastTlsError());
  X509* made = certificate.get();
  X509_set_version(made, 2);
  // A positive random serial number, so that a browser never meets two certificates with one
  // issuer and serial.
  unsigned char serial[16];
  if (RAND_bytes(serial, sizeof serial) != 1)
    throw std::runtime_error("TLS: cannot make the development certificate: " + LastTlsError());
  serial[0] = static_cast<unsigned char>((serial[0] & 0x7F) | 0x40);
  TBigNumber number(BN_bin2bn(serial, sizeof serial, nullptr));
  BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(made));
  // Valid from an hour ago, for a client whose clock is a little behind.
  X509_gmtime_adj(X509_getm_notBefore(made), -3600);
  X509_gmtime_adj(X509_getm_notAfter(made), DevelopmentLifetime);
  X509_NAME* name = X509_get_subject_name(made);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
  X509_set_issuer_name(made, name);
  X509_set_pubkey(made, key.get());
  AddExtension(made, NID_basic_constraints, "critical,CA:FALSE");
  AddExtension(made, NID_key_usage, "critical,digitalSignature,keyEncipherment");
  AddExtension(made, NID_ext_key_usage, "serverAuth");
  AddExtension(made, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1,IP:::1");
  AddExtension(made, NID_subject_key_identifier, "hash");
  if (X509_sign(made, key.get(), EVP_sha256()) == 0)
    throw std::runtime_error("TLS: cannot sign the development certificate: " + LastTlsError());
}

void WriteDevelopmentCertificate(const std::filesystem::path& folder, EVP_PKEY* key,
                                 X509* certificate) {
  TBio keyText(BIO_new(BIO_s_mem()));
  TBio certificateText(BIO_new(BIO_s_mem()));
  if (!keyText || !certificateText ||
      PEM_write_bio_PrivateKey(keyText.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
      PEM_write_bio_X509(certificateText.get(), certificate) != 1)
    throw std::runtime_error("TLS: cannot write the development certificate: " + LastTlsError());
  WriteWhole(folder / DevelopmentKeyName, MemoryText(keyText.get()), 0600);
  WriteWhole(folder / DevelopmentCertificateName, MemoryText(certificateText.get()), 0644);
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
  // A record is read with one call to the socket, not its header and then its body: every read
  // of the session starts with SSL_read, which hands out what was read ahead before it asks the
  // socket again.
  SSL_CTX_set_read_ahead(FContext, 1);
  try {
    if (settings.CertFile.empty())
      UseDevelopmentCertificate();
    else
      UseCertificate(settings);
    FFingerprint = Sha256Fingerprint(SSL_CTX_get0_certificate(FContext));
    AskForClientCertificates(settings);
    DescribeServer();
  } catch (...) {
    SSL_CTX_free(FContext);
    throw;
  }
}

TTlsContext::~TTlsContext() {
  SSL_CTX_free(FContext);
}

void TTlsContext::UseCertificate(const TTlsSettings& settings) {
  if (SSL_CTX_use_certificate_chain_file(FContext, settings.CertFile.string().c_str()) != 1)
    throw std::runtime_error("TLS: cannot use the certificate " + settings.CertFile.string() +
                             ": " + LastTlsError());
  if (SSL_CTX_use_PrivateKey_file(FContext, settings.KeyFile.string().c_str(), SSL_FILETYPE_PEM) !=
      1)
    throw std::runtime_error("TLS: cannot use the key " + settings.KeyFile.string() + ": " +
                             LastTlsError());
  if (SSL_CTX_check_private_key(FContext) != 1)
    throw std::runtime_error("TLS: the key " + settings.KeyFile.string() +
                             " does not belong to the certificate " + settings.CertFile.string());
  FCertificateFile = settings.CertFile;
}

void TTlsContext::UseDevelopmentCertificate() {
  const std::filesystem::path folder = CacheFolder();
  std::error_code error;
  std::filesystem::create_directories(folder.parent_path(), error);
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
    throw FileError("create the folder", folder);
  TKey key;
  TCertificate certificate;
  {
    const TFolderLock lock(folder / "lock");
    if (!ReadDevelopmentCertificate(folder, key, certificate)) {
      MakeDevelopmentCertificate(key, certificate);
      WriteDevelopmentCertificate(folder, key.get(), certificate.get());
      FMadeDevelopment = true;
    }
  }
  if (SSL_CTX_use_certificate(FContext, certificate.get()) != 1 ||
      SSL_CTX_use_PrivateKey(FContext, key.get()) != 1 || SSL_CTX_check_private_key(FContext) != 1)
    throw std::runtime_error("TLS: cannot use the development certificate: " + LastTlsError());
  FDevelopment = true;
  FCertificateFile = folder / DevelopmentCertificateName;
}

void TTlsContext::AskForClientCertificates(const TTlsSettings& settings) {
  if (settings.ClientCert == TClientCertMode::None)
    return;
  const std::string authorities = settings.ClientCaFile.string();
  if (authorities.empty() && settings.ClientCert == TClientCertMode::Require)
    throw std::runtime_error("TLS: requiring client certificates needs a file of the "
                             "authorities they are checked against");
  if (!authorities.empty()) {
    if (SSL_CTX_load_verify_locations(FContext, authorities.c_str(), nullptr) != 1)
      throw std::runtime_error("TLS: cannot use the client authorities " + authorities + ": " +
                               LastTlsError());
    // Their names go to the client, so that it offers a certificate one of them issued.
    if (STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(authorities.c_str()))
      SSL_CTX_set_client_CA_list(FContext, names);
    ERR_clear_error();
  }
  // A resumed session keeps the client's certificate; OpenSSL resumes only within this context.
  static const unsigned char SessionContext[] = "isapi-host";
  SSL_CTX_set_session_id_context(FContext, SessionContext, sizeof SessionContext - 1);
  if (settings.ClientCert == TClientCertMode::Require)
    SSL_CTX_set_verify(FContext, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
  else
    SSL_CTX_set_verify(FContext, SSL_VERIFY_PEER, AcceptAnyCertificate);
}

void TTlsContext::DescribeServer() {
  X509* certificate = SSL_CTX_get0_certificate(FContext);
  FServer.SecretKeySize = static_cast<unsigned>(EVP_PKEY_get_bits(X509_get0_pubkey(certificate)));
  FServer.ServerIssuer = NameText(X509_get_issuer_name(certificate));
  FServer.ServerSubject = NameText(X509_get_subject_name(certificate));
  FServer.ServerEndPoint = EndPointHash(certificate);
}

std::shared_ptr<const TTlsInfo> TTlsContext::Describe(SSL* ssl) const {
  auto info = std::make_shared<TTlsInfo>(FServer);
  info->KeySize = static_cast<unsigned>(SSL_get_cipher_bits(ssl, nullptr));
  X509* client = SSL_get0_peer_certificate(ssl);
  if (client == nullptr)
    return info;
  info->ClientCertificate = Der(client);
  info->ClientIssuer = NameText(X509_get_issuer_name(client));
  info->ClientSubject = NameText(X509_get_subject_name(client));
  info->ClientSerialNumber = SerialText(X509_get0_serialNumber(client));
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(info->ClientCertificate.data(), info->ClientCertificate.size(), digest, &size,
                 EVP_sha256(), nullptr) == 1)
    info->ClientCookie = Hex(digest, size, UpperDigits, "");
  info->ClientFlags = CertFlagPresent;
  if (SSL_get_verify_result(ssl) != X509_V_OK)
    info->ClientFlags |= CertFlagIssuerNotRecognised;
  return info;
}

} // namespace isapi_web::host
