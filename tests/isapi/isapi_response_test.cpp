#include "isapi/isapi_response.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "runtime/construct.h"
#include "runtime/date_time.h"
#include "runtime/exceptions.h"
#include "runtime/streams.h"
#include "runtime/text.h"
#include "support/fake_isapi_host.h"

namespace isapi_web {
namespace {

using test_support::TFakeCall;
using test_support::TFakeCallKind;
using test_support::TFakeIsapiHost;
using test_support::TFakeRequest;

// A request and its response on a fake host speaking the given protocol.
struct TServed {
  TFakeRequest& Fake;
  std::unique_ptr<TISAPIRequest> Request;
  std::unique_ptr<TISAPIResponse> Response;

  // The one header call, as the host saw it.
  TFakeCall HeaderCall() const {
    const auto calls = Fake.SupportCalls(HSE_REQ_SEND_RESPONSE_HEADER);
    EXPECT_EQ(calls.size(), 1u);
    return calls.empty() ? TFakeCall{} : calls[0];
  }
};

TServed Serve(TFakeIsapiHost& host, const char* protocol = "HTTP/1.1") {
  TFakeRequest& fake = host.NewRequest();
  if (*protocol != 0)
    fake.SetVariable("SERVER_PROTOCOL", protocol);
  auto request = Construct<TISAPIRequest>(fake.Ecb());
  auto response = Construct<TISAPIResponse>(request.get());
  return TServed{fake, std::move(request), std::move(response)};
}

std::string WideMessage(const Exception& error) {
  return WideToUtf8(error.Message());
}

TEST(ISAPIResponse, DefaultsAndAccessors) {
  TFakeIsapiHost host;
  TServed served = Serve(host);
  TISAPIResponse& response = *served.Response;
  EXPECT_EQ(response.Version(), "");
  EXPECT_EQ(response.StatusCode(), 200);
  EXPECT_EQ(response.ReasonString(), "OK");
  EXPECT_DOUBLE_EQ(response.Date(), -1.0);
  EXPECT_DOUBLE_EQ(response.Expires(), -1.0);
  EXPECT_DOUBLE_EQ(response.LastModified(), -1.0);
  EXPECT_EQ(response.ContentType(), "text/html");
  EXPECT_EQ(response.ContentLength(), 0);
  EXPECT_FALSE(response.Sent());
  EXPECT_EQ(Serve(host, "").Response->Version(), "1.0");

  response.WriteStringField(12, "x");
  response.WriteStringField(-1, "x");
  response.WriteDateField(3, 5.0);
  response.WriteIntegerField(1, 5);
  EXPECT_EQ(response.ReadStringField(12), "");
  EXPECT_EQ(response.ReadStringField(-1), "");
  EXPECT_DOUBLE_EQ(response.ReadDateField(3), 0.0);
  EXPECT_EQ(response.ReadIntegerField(1), -1);
  response.SetServer("s");
  EXPECT_EQ(response.Server(), "s");

  response.SetReasonString("Kept");
  response.SetStatusCode(200); // the current code: nothing changes
  EXPECT_EQ(response.ReasonString(), "Kept");
  response.SetStatusCode(418);
  EXPECT_EQ(response.ReasonString(), "");

  response.SetRawContent("abc");
  EXPECT_EQ(response.ContentLength(), 3);
  response.SetContentStream(std::make_unique<TStringStream>(std::string(10, 's')));
  response.SetRawContent("abcdef"); // a held stream keeps its length
  EXPECT_EQ(response.ContentLength(), 10);
}

TEST(ISAPIResponse, TwoLetterBodyByteForByte) {
  TFakeIsapiHost host;
  TServed served = Serve(host);
  served.Response->SetContent(u"ok");
  served.Response->SendResponse();
  EXPECT_TRUE(served.Response->Sent());
  // Protocol lookups at construction and at sending, then the header call, then the body.
  const auto calls = served.Fake.Calls();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[1].Name, "SERVER_PROTOCOL");
  EXPECT_EQ(calls[2].Kind, TFakeCallKind::ckServerSupportFunction);
  EXPECT_EQ(calls[2].Code, HSE_REQ_SEND_RESPONSE_HEADER);
  EXPECT_EQ(calls[2].Buffer, "200 OK");
  EXPECT_EQ(calls[2].DataType, "Content-Type: text/html\r\nContent-Length: 2\r\n\r\n");
  EXPECT_EQ(calls[2].Size, 46u);
  EXPECT_EQ(calls[3].Kind, TFakeCallKind::ckWriteClient);
  EXPECT_EQ(served.Fake.Written(), "ok");
  EXPECT_EQ(served.Fake.HttpStatusCode(), 200u);
}

TEST(ISAPIResponse, StatusText) {
  TFakeIsapiHost host;
  TServed notFound = Serve(host);
  notFound.Response->SetStatusCode(404);
  notFound.Response->SendResponse();
  EXPECT_EQ(notFound.HeaderCall().Buffer, "404 Not Found");
  EXPECT_EQ(notFound.Fake.HttpStatusCode(), 404u);

  TServed teapot = Serve(host);
  teapot.Response->SetStatusCode(418);
  teapot.Response->SendResponse();
  EXPECT_EQ(teapot.HeaderCall().Buffer, "200 OK");
  EXPECT_EQ(teapot.Fake.HttpStatusCode(), 418u);

  TServed reason = Serve(host);
  reason.Response->SetStatusCode(404);
  reason.Response->SetReasonString("Gone \xE9lsewhere");
  reason.Response->SendResponse();
  EXPECT_EQ(reason.HeaderCall().Buffer, "404 Gone \xE9lsewhere");

  TServed zero = Serve(host);
  zero.Response->SetStatusCode(0);
  zero.Response->SetReasonString("Odd");
  zero.Response->SendResponse();
  EXPECT_EQ(zero.HeaderCall().Buffer, "200 OK");
}

TEST(ISAPIResponse, ContentLengthAndDateLines) {
  TFakeIsapiHost host;
  TServed noContent = Serve(host);
  noContent.Response->SetContentLength(5);
  noContent.Response->SetExpires(0.0);
  noContent.Response->SendResponse();
  EXPECT_EQ(noContent.HeaderCall().DataType, "Content-Type: text/html\r\n\r\n");
  const auto writes = noContent.Fake.CallsOf(TFakeCallKind::ckWriteClient);
  ASSERT_EQ(writes.size(), 1u); // the empty body is still written
  EXPECT_EQ(writes[0].Size, 0u);

  TServed dated = Serve(host);
  dated.Response->SetExpires(EncodeDate(2030, 1, 1));
  dated.Response->SetLastModified(EncodeDate(2024, 3, 5) + EncodeTime(7, 4, 9, 0));
  dated.Response->SetDate(EncodeDate(2024, 3, 5)); // never sent
  dated.Response->SendResponse();
  EXPECT_EQ(dated.HeaderCall().DataType, "Expires: Tue, 01 Jan 2030 00:00:00 GMT\r\n"
                                         "Last-Modified: Tue, 05 Mar 2024 07:04:09 GMT\r\n"
                                         "Content-Type: text/html\r\n\r\n");
}

TEST(ISAPIResponse, EveryHeaderInItsPlace) {
  TFakeIsapiHost host;
  TServed served = Serve(host);
  TISAPIResponse& response = *served.Response;
  response.SetContentType("text/plain; charset=\xE9");
  response.SetContentEncoding("gzip");
  response.SetContentVersion("2");
  response.SetCustomHeader(u"X-Custom", u"yes");
  response.SetRealm("r");
  response.SetWWWAuthenticate("Basic");
  response.SetTitle("T");
  response.SetExpires(EncodeDate(2030, 1, 1));
  response.SetDerivedFrom("d");
  TCookie* first = response.Cookies().Add();
  first->SetName("a b");
  first->SetValue("1");
  TCookie* second = response.Cookies().Add();
  second->SetName("c");
  second->SetValue("2");
  second->SetPath("/");
  response.SetAllow("GET");
  response.SetLocation("http://x/\xE9 y");
  response.SetServer("never");
  response.SetRawContent("body");
  response.SendResponse();
  EXPECT_EQ(served.HeaderCall().DataType, "Location: http://x/\xE9 y\r\n"
                                          "Allow: GET\r\n"
                                          "Set-Cookie: a+b=1\r\n"
                                          "Set-Cookie: c=2; path=/\r\n"
                                          "Derived-From: d\r\n"
                                          "Expires: Tue, 01 Jan 2030 00:00:00 GMT\r\n"
                                          "Title: T\r\n"
                                          "WWW-Authenticate: Basic Realm=r\r\n"
                                          "X-Custom: yes\r\n"
                                          "Content-Version: 2\r\n"
                                          "Content-Encoding: gzip\r\n"
                                          "Content-Type: text/plain; charset=\xE9\r\n"
                                          "Content-Length: 4\r\n"
                                          "\r\n");
  EXPECT_EQ(served.Fake.Written(), "body");
}

TEST(ISAPIResponse, NoProtocolVersionSendsOnlyTheBody) {
  TFakeIsapiHost host;
  TServed served = Serve(host, "");
  served.Response->SetRawContent("raw");
  served.Response->SetLocation("bad\r\nline"); // not sent, so not refused
  served.Response->SendResponse();
  EXPECT_TRUE(served.Fake.SupportCalls(HSE_REQ_SEND_RESPONSE_HEADER).empty());
  EXPECT_EQ(served.Fake.Written(), "raw");
  EXPECT_TRUE(served.Response->Sent());
}

TEST(ISAPIResponse, SendRedirectSendsOnlyTheHostRedirect) {
  TFakeIsapiHost host;
  TServed served = Serve(host);
  served.Response->SetStatusCode(404);
  served.Response->Cookies().Add()->SetName("c");
  served.Response->SetRawContent("unsent");
  served.Fake.SetSupportAnswer(HSE_REQ_SEND_URL_REDIRECT_RESP, false);
  const std::size_t before = served.Fake.Calls().size();
  served.Response->SendRedirect("http://a/\x80 b");
  EXPECT_TRUE(served.Response->Sent());
  const auto calls = served.Fake.Calls();
  ASSERT_EQ(calls.size(), before + 1);
  EXPECT_EQ(calls.back().Code, HSE_REQ_SEND_URL_REDIRECT_RESP);
  EXPECT_EQ(calls.back().Buffer, "http://a/\x80 b");
  EXPECT_FALSE(calls.back().Size.has_value());
  EXPECT_FALSE(calls.back().DataType.has_value());
}

TEST(ISAPIResponse, LogMessageLivesInTheControlBlock) {
  TFakeIsapiHost host;
  TServed served = Serve(host);
  std::u16string message;
  for (int i = 0; i < 100; ++i)
    message += static_cast<char16_t>(u'A' + i % 26);
  served.Response->SetLogMessage(message);
  EXPECT_EQ(served.Fake.LogData(), WideToAnsi(message.substr(0, 79)));
  EXPECT_EQ(served.Response->LogMessage(), message.substr(0, 79));
  served.Response->SetLogMessage(u"caf\u00E9");
  EXPECT_EQ(served.Fake.LogData(), "caf\xE9");
  EXPECT_EQ(served.Response->LogMessage(), u"caf\u00E9");
}

TEST(ISAPIResponse, LineBreaksInHeadersAreRefusedBeforeAnyHostCall) {
  TFakeIsapiHost host;
  // Lookups of the protocol aside, the host sees nothing of a refused response.
  const auto sendingCalls = [](const TFakeRequest& fake) {
    return fake.Calls().size() - fake.CallsOf(TFakeCallKind::ckGetServerVariable).size();
  };
  const auto refusal = [&](auto&& prepare) -> std::string {
    TServed served = Serve(host);
    prepare(*served.Response);
    try {
      served.Response->SendResponse();
    } catch (const EWebException& error) {
      EXPECT_EQ(sendingCalls(served.Fake), 0u) << WideMessage(error);
      EXPECT_FALSE(served.Response->Sent());
      return WideMessage(error);
    }
    return "accepted";
  };
  EXPECT_EQ(refusal([](TISAPIResponse& r) { r.SetLocation("http://a/\r\nSet-Cookie: x=1"); }),
            "Invalid character in header Location");
  EXPECT_EQ(refusal([](TISAPIResponse& r) { r.SetTitle(std::string("a\0b", 3)); }),
            "Invalid character in header Title");
  EXPECT_EQ(refusal([](TISAPIResponse& r) { r.SetContentType("text/html\n"); }),
            "Invalid character in header Content-Type");
  EXPECT_EQ(refusal([](TISAPIResponse& r) { r.SetCustomHeader(u"X-A", u"1\r\nX-B: 2"); }),
            "Invalid character in header X-A");
  EXPECT_EQ(refusal([](TISAPIResponse& r) { r.CustomHeaders().Add(u"X\r\nY=1"); }),
            "Invalid character in custom header name");
  EXPECT_EQ(refusal([](TISAPIResponse& r) { r.Cookies().Add()->SetPath("/\r\n"); }),
            "Invalid character in header Set-Cookie");
  EXPECT_EQ(refusal([](TISAPIResponse& r) { r.SetReasonString("OK\r\nX: 1"); }),
            "Invalid character in status text");
  // Bytes of 128 and above, tabs and spaces are not line breaks.
  EXPECT_EQ(refusal([](TISAPIResponse& r) { r.SetLocation("http://a/\xE9\t \xFF"); }), "accepted");

  TServed redirect = Serve(host);
  const std::size_t before = redirect.Fake.Calls().size();
  for (const std::string& uri : {std::string("http://a/\r\nX: 1"), std::string("http://a/\n"),
                                 std::string("http://a/\0evil", 15)}) {
    try {
      redirect.Response->SendRedirect(uri);
      ADD_FAILURE() << "accepted a redirect URI with a line break";
    } catch (const EWebException& error) {
      EXPECT_EQ(WideMessage(error), "Invalid character in redirect URI");
    }
  }
  EXPECT_EQ(redirect.Fake.Calls().size(), before);
  EXPECT_FALSE(redirect.Response->Sent());
}

// A stream that claims bytes it never delivers.
class TStallingStream : public TStream {
public:
  std::int32_t Read(void*, std::int32_t) override { return 0; }
  std::int32_t Write(const void*, std::int32_t) override { return 0; }
  std::int64_t Seek(std::int64_t, TSeekOrigin) override { return 0; }
  std::int64_t Size() override { return 100; }
};

TEST(ISAPIResponse, ContentStreamIsSentInChunksAndReleased) {
  TFakeIsapiHost host;
  TServed served = Serve(host);
  std::string bytes(20000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<char>(i % 251);
  served.Response->SetContentStream(std::make_unique<TStringStream>(bytes));
  served.Response->SendResponse();
  EXPECT_EQ(served.HeaderCall().DataType,
            "Content-Type: text/html\r\nContent-Length: 20000\r\n\r\n");
  const auto writes = served.Fake.CallsOf(TFakeCallKind::ckWriteClient);
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_EQ(writes[0].Size, 8192u);
  EXPECT_EQ(writes[2].Size, 20000u - 2 * 8192u);
  EXPECT_EQ(served.Fake.Written(), bytes);
  EXPECT_EQ(served.Response->ContentStream(), nullptr);
  EXPECT_EQ(served.Response->ContentLength(), 0);

  // SendStream starts at the position, does not rewind, and stops at a stalled stream.
  TStringStream rest("0123456789");
  rest.SetPosition(6);
  served.Response->SendStream(rest);
  EXPECT_EQ(served.Fake.Written(), bytes + "6789");
  TStallingStream stalled;
  served.Response->SendStream(stalled);
  EXPECT_EQ(served.Fake.CallsOf(TFakeCallKind::ckWriteClient).size(), 4u);
}

} // namespace
} // namespace isapi_web
