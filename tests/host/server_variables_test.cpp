#include "host/server_variables.h"

#include <cstring>
#include <memory>

#include <gtest/gtest.h>

namespace isapi_web::host {
namespace {

TRequestInfo SampleInfo() {
  TRequestInfo info;
  info.Method = "POST";
  info.ScriptName = "/scripts/moravel.dll";
  info.PathInfo = "/a/b";
  info.PathTranslated = "/srv/root/a/b";
  info.Query = "x=1";
  info.ServerName = "example.com";
  info.ServerPort = "8080";
  info.LocalAddress = "127.0.0.1";
  info.RemoteAddress = "127.0.0.2";
  info.RemotePort = "50000";
  info.ServerSoftware = "isapi-host/1.0";
  info.Headers = {{"Host", "example.com:8080"},   {"X-Forwarded-For", "10.0.0.1"},
                  {"Content-Type", "text/plain"}, {"Content-Length", "3"},
                  {"Accept", "text/html"},        {"accept", "image/png"}};
  return info;
}

TEST(ServerVariableTest, AnswersTheStandardSet) {
  const TRequestInfo info = SampleInfo();
  const std::pair<const char*, const char*> expected[] = {
      {"REQUEST_METHOD", "POST"},
      {"QUERY_STRING", "x=1"},
      {"PATH_INFO", "/a/b"},
      {"PATH_TRANSLATED", "/srv/root/a/b"},
      {"SCRIPT_NAME", "/scripts/moravel.dll"},
      {"URL", "/scripts/moravel.dll/a/b"},
      {"SERVER_PROTOCOL", "HTTP/1.1"},
      {"SERVER_NAME", "example.com"},
      {"SERVER_PORT", "8080"},
      {"SERVER_PORT_SECURE", "0"},
      {"SERVER_SOFTWARE", "isapi-host/1.0"},
      {"REMOTE_ADDR", "127.0.0.2"},
      {"REMOTE_HOST", "127.0.0.2"},
      {"REMOTE_PORT", "50000"},
      {"CONTENT_TYPE", "text/plain"},
      {"CONTENT_LENGTH", "3"},
      {"HTTPS", "off"},
      {"AUTH_TYPE", ""},
      {"REMOTE_USER", ""},
  };
  for (const auto& [name, value] : expected) {
    const auto answer = ServerVariable(info, name);
    ASSERT_TRUE(answer) << name;
    EXPECT_EQ(*answer, value) << name;
  }
}

TEST(ServerVariableTest, HeadersAnswerAsHttpVariables) {
  const TRequestInfo info = SampleInfo();
  EXPECT_EQ(ServerVariable(info, "HTTP_X_FORWARDED_FOR"), "10.0.0.1");
  EXPECT_EQ(ServerVariable(info, "HTTP_HOST"), "example.com:8080");
  EXPECT_EQ(ServerVariable(info, "HTTP_ACCEPT"), "text/html, image/png");
  EXPECT_EQ(ServerVariable(info, "http_x_forwarded_for"), "10.0.0.1");
  EXPECT_FALSE(ServerVariable(info, "HTTP_REFERER"));
  EXPECT_FALSE(ServerVariable(info, "NO_SUCH_VARIABLE"));
}

TEST(ServerVariableTest, AllHttpAndAllRawListEveryHeader) {
  const TRequestInfo info = SampleInfo();
  EXPECT_EQ(ServerVariable(info, "ALL_HTTP"),
            "HTTP_HOST:example.com:8080\r\nHTTP_X_FORWARDED_FOR:10.0.0.1\r\n"
            "HTTP_CONTENT_TYPE:text/plain\r\nHTTP_CONTENT_LENGTH:3\r\nHTTP_ACCEPT:text/html\r\n"
            "HTTP_ACCEPT:image/png\r\n");
  EXPECT_EQ(ServerVariable(info, "ALL_RAW"),
            "Host: example.com:8080\r\nX-Forwarded-For: 10.0.0.1\r\nContent-Type: text/plain\r\n"
            "Content-Length: 3\r\nAccept: text/html\r\naccept: image/png\r\n");
}

TEST(ServerVariableTest, ARequestWithoutBodyHeadersHasEmptyTypeAndZeroLength) {
  TRequestInfo info = SampleInfo();
  info.Headers = {{"Host", "h"}};
  EXPECT_EQ(ServerVariable(info, "CONTENT_TYPE"), "");
  EXPECT_EQ(ServerVariable(info, "CONTENT_LENGTH"), "0");
}

// Each TLS variable against a real session is checked end to end (e2e.host.Tls); here, what
// the session does not decide: the scheme, the name's case, the UNICODE_ form, plain HTTP.
TEST(ServerVariableTest, TlsVariablesFollowTheSchemeAndTheUsualNameRules) {
  TRequestInfo info = SampleInfo();
  EXPECT_EQ(ServerVariable(info, "CACHE_URL"), "http://example.com:8080/scripts/moravel.dll/a/b");
  for (const char* name : {"CERT_FLAGS", "HTTPS_KEYSIZE", "CERT_SERVER_SUBJECT", "CERT_COOKIE"})
    EXPECT_EQ(ServerVariable(info, name), "") << name;
  auto tls = std::make_shared<TTlsInfo>();
  tls->ClientFlags = CertFlagPresent | CertFlagIssuerNotRecognised;
  info.Tls = tls;
  EXPECT_EQ(ServerVariable(info, "CACHE_URL"),
            "https://example.com:8080/scripts/moravel.dll/a/b");
  EXPECT_EQ(ServerVariable(info, "cert_flags"), "3");
  char16_t wide[16];
  DWORD size = sizeof wide;
  DWORD error = 0;
  ASSERT_EQ(CopyServerVariable(info, "UNICODE_CERT_FLAGS", wide, &size, error), 1);
  EXPECT_EQ(std::u16string(wide), u"3");
}

TEST(CopyWithTerminatorTest, ReportsTheBytesWrittenWithTheNul) {
  char buffer[16];
  std::memset(buffer, 'x', sizeof buffer);
  DWORD size = sizeof buffer;
  DWORD error = 0;
  EXPECT_EQ(CopyWithTerminator("POST", buffer, &size, error), 1);
  EXPECT_EQ(size, 5u);
  EXPECT_STREQ(buffer, "POST");
  size = 5; // exactly enough
  EXPECT_EQ(CopyWithTerminator("POST", buffer, &size, error), 1);
  EXPECT_EQ(size, 5u);
}

TEST(CopyWithTerminatorTest, TooSmallAnswers122AndTheSizeNeededWithoutWriting) {
  char buffer[4] = {'a', 'b', 'c', 'd'};
  DWORD size = sizeof buffer;
  DWORD error = 0;
  EXPECT_EQ(CopyWithTerminator("POST", buffer, &size, error), 0);
  EXPECT_EQ(error, ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(std::string(buffer, 4), "abcd");
  size = 100;
  error = 0;
  EXPECT_EQ(CopyWithTerminator("POST", nullptr, &size, error), 0);
  EXPECT_EQ(error, ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(size, 5u);
}

} // namespace
} // namespace isapi_web::host
