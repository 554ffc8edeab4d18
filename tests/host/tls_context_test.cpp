#include "host/tls_context.h"
#include "host/openssl_handles.h"

#include <sys/stat.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>

#include <gtest/gtest.h>

namespace isapi_web::host {
namespace {

namespace fs = std::filesystem;

// A key and the certificate issued for it.
struct TIssued {
  TKey Key;
  TCertificate Certificate;
};

struct TIssue {
  const char* Organisation;
  const char* CommonName;
  const TIssued* Issuer = nullptr; ///< null: self-signed
  bool Authority = false;
  long Serial = 1;
  const EVP_MD* Digest = EVP_sha256();
  bool Rsa = false;     ///< RSA 2048; otherwise P-256, quicker to make
  long ValidFrom = 0;   ///< seconds from now
  long ValidTo = 86400; ///< seconds from now
};

TIssued Issue(const TIssue& wanted) {
  TIssued issued;
  issued.Key.reset(wanted.Rsa ? EVP_RSA_gen(2048) : EVP_EC_gen("P-256"));
  issued.Certificate.reset(X509_new());
  X509* certificate = issued.Certificate.get();
  X509_set_version(certificate, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate), wanted.Serial);
  X509_gmtime_adj(X509_getm_notBefore(certificate), wanted.ValidFrom);
  X509_gmtime_adj(X509_getm_notAfter(certificate), wanted.ValidTo);
  X509_NAME* name = X509_get_subject_name(certificate);
  const std::pair<const char*, const char*> parts[] = {
      {"C", "DE"}, {"O", wanted.Organisation}, {"CN", wanted.CommonName}};
  for (const auto& [field, value] : parts)
    X509_NAME_add_entry_by_txt(name, field, MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(value), -1, -1, 0);
  const TIssued& issuer = wanted.Issuer ? *wanted.Issuer : issued;
  X509_set_issuer_name(certificate, X509_get_subject_name(issuer.Certificate.get()));
  X509_set_pubkey(certificate, issued.Key.get());
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer.Certificate.get(), certificate, nullptr, nullptr, 0);
  X509_EXTENSION* constraints = X509V3_EXT_conf_nid(
      nullptr, &context, NID_basic_constraints, wanted.Authority ? "critical,CA:TRUE" : "CA:FALSE");
  X509_add_ext(certificate, constraints, -1);
  X509_EXTENSION_free(constraints);
  EXPECT_GT(X509_sign(certificate, issuer.Key.get(), wanted.Digest), 0);
  return issued;
}

std::string Der(X509* certificate) {
  unsigned char* bytes = nullptr;
  const int size = i2d_X509(certificate, &bytes);
  std::string der(reinterpret_cast<char*>(bytes), static_cast<std::size_t>(size));
  OPENSSL_free(bytes);
  return der;
}

std::string Digest(const std::string& bytes, const EVP_MD* digest) {
  unsigned char hash[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(bytes.data(), bytes.size(), hash, &size, digest, nullptr);
  return std::string(reinterpret_cast<char*>(hash), size);
}

void WritePem(const fs::path& file, X509* certificate, EVP_PKEY* key = nullptr) {
  BIO* out = BIO_new_file(file.c_str(), "w");
  ASSERT_NE(out, nullptr);
  if (certificate)
    PEM_write_bio_X509(out, certificate);
  if (key)
    PEM_write_bio_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr);
  BIO_free(out);
}

TCertificate ReadPem(const fs::path& file) {
  BIO* in = BIO_new_file(file.c_str(), "r");
  TCertificate certificate(in ? PEM_read_bio_X509(in, nullptr, nullptr, nullptr) : nullptr);
  BIO_free(in);
  return certificate;
}

// Runs a handshake between the host's context and a client in memory, the two joined by a BIO
// pair; answers whether the server side completed it.
bool Handshake(SSL* server, SSL* client) {
  BIO* serverEnd = nullptr;
  BIO* clientEnd = nullptr;
  BIO_new_bio_pair(&serverEnd, 0, &clientEnd, 0);
  SSL_set_bio(server, serverEnd, serverEnd);
  SSL_set_bio(client, clientEnd, clientEnd);
  SSL_set_accept_state(server);
  SSL_set_connect_state(client);
  bool serverDone = false;
  bool clientDone = false;
  for (int round = 0; round < 20 && !serverDone; ++round) {
    if (!clientDone) {
      const int result = SSL_do_handshake(client);
      clientDone = result == 1;
      if (!clientDone && SSL_get_error(client, result) != SSL_ERROR_WANT_READ)
        return false;
    }
    const int result = SSL_do_handshake(server);
    serverDone = result == 1;
    if (!serverDone && SSL_get_error(server, result) != SSL_ERROR_WANT_READ)
      return false;
  }
  return serverDone;
}

class TlsContextTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    Authority = new TIssued(
        Issue({.Organisation = "Test Authority", .CommonName = "Test Root", .Authority = true}));
    Server = new TIssued(Issue({.Organisation = "Test Server",
                                .CommonName = "localhost",
                                .Issuer = Authority,
                                .Serial = 2,
                                .Digest = EVP_sha384(),
                                .Rsa = true}));
    Client = new TIssued(Issue({.Organisation = "Test Client",
                                .CommonName = "Alice",
                                .Issuer = Authority,
                                .Serial = 0x0a1b2c}));
    Stranger = new TIssued(Issue({.Organisation = "Stranger",
                                  .CommonName = "Stranger Root",
                                  .Authority = true,
                                  .Serial = 3}));
    StrangersClient = new TIssued(Issue(
        {.Organisation = "Test Client", .CommonName = "Mallory", .Issuer = Stranger, .Serial = 4}));
  }
  static void TearDownTestSuite() {
    for (TIssued* issued : {Authority, Server, Client, Stranger, StrangersClient})
      delete issued;
  }

  void SetUp() override {
    FFolder = fs::temp_directory_path() /
              ("isapi-host-tls-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(FFolder);
    fs::create_directories(FFolder);
    WritePem(FFolder / "ca.pem", Authority->Certificate.get());
    WritePem(FFolder / "server.pem", Server->Certificate.get());
    WritePem(FFolder / "server.key", nullptr, Server->Key.get());
    FSettings.CertFile = FFolder / "server.pem";
    FSettings.KeyFile = FFolder / "server.key";
    FSettings.ClientCaFile = FFolder / "ca.pem";
    FSettings.ClientCert = TClientCertMode::Optional;
  }
  void TearDown() override { fs::remove_all(FFolder); }

  // A handshake of a client (with the certificate given, if any) with context; the server's SSL
  // object afterwards, null when its side failed.
  static TSsl Connect(const TTlsContext& context, const TIssued* certificate) {
    TSslContext clientContext(SSL_CTX_new(TLS_client_method()));
    // One cipher suite, so that the session's key size is known.
    SSL_CTX_set_ciphersuites(clientContext.get(), "TLS_AES_128_GCM_SHA256");
    if (certificate) {
      SSL_CTX_use_certificate(clientContext.get(), certificate->Certificate.get());
      SSL_CTX_use_PrivateKey(clientContext.get(), certificate->Key.get());
    }
    TSsl server(SSL_new(context.Native()));
    TSsl client(SSL_new(clientContext.get()));
    if (!Handshake(server.get(), client.get()))
      return nullptr;
    return server;
  }

  // What context says of a session with a client that shows certificate; null (and a failure)
  // when the handshake failed.
  static std::shared_ptr<const TTlsInfo> Describe(const TTlsContext& context,
                                                  const TIssued* certificate) {
    const TSsl server = Connect(context, certificate);
    EXPECT_TRUE(server) << "the handshake failed";
    return server ? context.Describe(server.get()) : nullptr;
  }

  static TIssued* Authority;
  static TIssued* Server;
  static TIssued* Client;
  static TIssued* Stranger;
  static TIssued* StrangersClient;
  fs::path FFolder;
  TTlsSettings FSettings;
};
TIssued* TlsContextTest::Authority = nullptr;
TIssued* TlsContextTest::Server = nullptr;
TIssued* TlsContextTest::Client = nullptr;
TIssued* TlsContextTest::Stranger = nullptr;
TIssued* TlsContextTest::StrangersClient = nullptr;

// The names, serial, cookie and flags of real sessions are compared with openssl's reading end
// to end (e2e.host.Tls); here, what a client cannot see: the channel binding's hash.
TEST_F(TlsContextTest, TheServerEndPointIsHashedAsTheCertificateIsSigned) {
  const TTlsContext context(FSettings);
  const std::shared_ptr<const TTlsInfo> info = Describe(context, Client);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->KeySize, 128u);
  EXPECT_EQ(info->SecretKeySize, 2048u);
  // The server's certificate is signed with SHA-384: its end point is hashed with SHA-384.
  EXPECT_EQ(info->ServerEndPoint, Digest(Der(Server->Certificate.get()), EVP_sha384()));
  EXPECT_EQ(info->ClientCertificate, Der(Client->Certificate.get()));
  EXPECT_EQ(info->ClientFlags, CertFlagPresent);
}

TEST_F(TlsContextTest, RequireRefusesAClientWithoutARecognisedCertificate) {
  FSettings.ClientCert = TClientCertMode::Require;
  const TTlsContext context(FSettings);
  EXPECT_FALSE(Connect(context, nullptr));
  EXPECT_FALSE(Connect(context, StrangersClient));
  const std::shared_ptr<const TTlsInfo> info = Describe(context, Client);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->ClientFlags, CertFlagPresent);
}

TEST_F(TlsContextTest, AuthoritiesThatCannotBeReadOrAreMissingForRequireAreErrors) {
  FSettings.ClientCaFile = FFolder / "missing.pem";
  EXPECT_THROW(TTlsContext{FSettings}, std::runtime_error);
  FSettings.ClientCaFile = FFolder / "empty.pem";
  std::ofstream(FSettings.ClientCaFile) << "no certificate here\n";
  EXPECT_THROW(TTlsContext{FSettings}, std::runtime_error);
  FSettings.ClientCert = TClientCertMode::Require;
  FSettings.ClientCaFile.clear();
  EXPECT_THROW(TTlsContext{FSettings}, std::runtime_error);
  // Optional without authorities takes any certificate, each one unrecognised.
  FSettings.ClientCert = TClientCertMode::Optional;
  const TTlsContext context(FSettings);
  const std::shared_ptr<const TTlsInfo> info = Describe(context, Client);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->ClientFlags, CertFlagPresent | CertFlagIssuerNotRecognised);
}

// The development certificate, in a cache folder of the test's own.
class DevelopmentCertificateTest : public TlsContextTest {
protected:
  void SetUp() override {
    TlsContextTest::SetUp();
    const char* cache = std::getenv("XDG_CACHE_HOME");
    if (cache)
      FSavedCache = cache;
    ::setenv("XDG_CACHE_HOME", (FFolder / "cache").c_str(), 1);
    FSettings = TTlsSettings();
  }
  void TearDown() override {
    if (FSavedCache)
      ::setenv("XDG_CACHE_HOME", FSavedCache->c_str(), 1);
    else
      ::unsetenv("XDG_CACHE_HOME");
    TlsContextTest::TearDown();
  }
  fs::path CertificateFile() const { return FFolder / "cache" / "isapi-host" / "localhost.crt"; }
  fs::path KeyFile() const { return FFolder / "cache" / "isapi-host" / "localhost.key"; }

  std::optional<std::string> FSavedCache;
};

TEST_F(DevelopmentCertificateTest, IsMadeOnceForLocalhostAndUsedAgain) {
  const TTlsContext first(FSettings);
  EXPECT_TRUE(first.UsesDevelopmentCertificate());
  EXPECT_TRUE(first.MadeDevelopmentCertificate());
  EXPECT_EQ(first.CertificateFile(), CertificateFile());
  struct stat key {};
  ASSERT_EQ(::stat(KeyFile().c_str(), &key), 0);
  EXPECT_EQ(key.st_mode & 0777, 0600u);

  const TCertificate made = ReadPem(CertificateFile());
  ASSERT_TRUE(made);
  EXPECT_EQ(X509_check_host(made.get(), "localhost", 0, 0, nullptr), 1);
  EXPECT_EQ(X509_check_ip_asc(made.get(), "127.0.0.1", 0), 1);
  EXPECT_EQ(X509_check_ip_asc(made.get(), "::1", 0), 1);
  EXPECT_EQ(X509_get_signature_nid(made.get()), NID_sha256WithRSAEncryption);
  // Self-signed: its own issuer, its signature made by its own key.
  EXPECT_EQ(X509_NAME_cmp(X509_get_issuer_name(made.get()), X509_get_subject_name(made.get())), 0);
  EXPECT_EQ(X509_verify(made.get(), X509_get0_pubkey(made.get())), 1);
  int days = 0;
  int seconds = 0;
  ASSERT_EQ(ASN1_TIME_diff(&days, &seconds, nullptr, X509_get0_notAfter(made.get())), 1);
  EXPECT_GE(days, 360);
  EXPECT_LE(days, 366);

  const std::shared_ptr<const TTlsInfo> info = Describe(first, nullptr);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->SecretKeySize, 2048u);
  EXPECT_EQ(info->ServerSubject, "CN=localhost");
  EXPECT_EQ(info->ServerEndPoint, Digest(Der(made.get()), EVP_sha256()));

  const TTlsContext second(FSettings);
  EXPECT_TRUE(second.UsesDevelopmentCertificate());
  EXPECT_FALSE(second.MadeDevelopmentCertificate());
  EXPECT_EQ(second.Fingerprint(), first.Fingerprint());
}

TEST_F(DevelopmentCertificateTest, IsMadeAnewWhenUnreadableOrExpired) {
  const TTlsContext first(FSettings);
  std::ofstream(CertificateFile()) << "not a certificate";
  const TTlsContext second(FSettings);
  EXPECT_TRUE(second.MadeDevelopmentCertificate());
  EXPECT_NE(second.Fingerprint(), first.Fingerprint());

  const TIssued expired = Issue({.Organisation = "Old",
                                 .CommonName = "localhost",
                                 .Serial = 5,
                                 .ValidFrom = -3 * 86400,
                                 .ValidTo = -86400});
  WritePem(CertificateFile(), expired.Certificate.get());
  WritePem(KeyFile(), nullptr, expired.Key.get());
  const TTlsContext third(FSettings);
  EXPECT_TRUE(third.MadeDevelopmentCertificate());
  EXPECT_NE(third.Fingerprint(), second.Fingerprint());
  const TCertificate made = ReadPem(CertificateFile());
  ASSERT_TRUE(made);
  EXPECT_GT(X509_cmp_current_time(X509_get0_notAfter(made.get())), 0);
}

} // namespace
} // namespace isapi_web::host
