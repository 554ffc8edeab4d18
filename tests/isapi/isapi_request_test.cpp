#include "isapi/isapi_request.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "runtime/construct.h"
#include "runtime/date_time.h"
#include "runtime/exceptions.h"
#include "runtime/text.h"
#include "support/fake_isapi_host.h"

namespace isapi_web {
namespace {

using test_support::TFakeCall;
using test_support::TFakeCallKind;
using test_support::TFakeIsapiHost;
using test_support::TFakeRequest;
using test_support::TVariableAnswer;

std::unique_ptr<TISAPIRequest> Serve(TFakeRequest& fake) {
  return Construct<TISAPIRequest>(fake.Ecb());
}

std::vector<std::string> VariableNames(const TFakeRequest& fake) {
  std::vector<std::string> names;
  for (const TFakeCall& call : fake.CallsOf(TFakeCallKind::ckGetServerVariable))
    names.push_back(call.Name);
  return names;
}

std::vector<std::string> Utf8Lines(const TStrings& strings) {
  std::vector<std::string> lines;
  for (const std::u16string& line : strings)
    lines.push_back(WideToUtf8(line));
  return lines;
}

TEST(ISAPIRequest, ClassifiesTheMethodOfTheBlock) {
  TFakeIsapiHost host;
  const auto methodType = [&](std::optional<std::string> method) {
    TFakeRequest& fake = host.NewRequest();
    fake.SetMethod(std::move(method));
    return Serve(fake)->MethodType();
  };
  EXPECT_EQ(methodType("POST"), TMethodType::mtPost);
  EXPECT_EQ(methodType("GET"), TMethodType::mtGet);
  EXPECT_EQ(methodType("HEAD"), TMethodType::mtHead);
  EXPECT_EQ(methodType("post"), TMethodType::mtAny);
  EXPECT_EQ(methodType("OPTIONS"), TMethodType::mtAny);
  EXPECT_EQ(methodType(""), TMethodType::mtAny);
  EXPECT_EQ(methodType(std::nullopt), TMethodType::mtAny);
}

TEST(ISAPIRequest, BlockMembersAreReadAfreshEveryTime) {
  TFakeIsapiHost host;
  TFakeRequest& fake = host.NewRequest();
  fake.SetQueryString("a=1").SetPathInfo("/p").SetPathTranslated(std::nullopt);
  auto request = Serve(fake);
  EXPECT_EQ(request->ECB(), fake.Ecb());
  EXPECT_EQ(request->Method(), "GET");
  EXPECT_EQ(request->Query(), "a=1");
  EXPECT_EQ(request->PathInfo(), "/p");
  EXPECT_EQ(request->PathTranslated(), "");
  fake.SetQueryString("b=2");
  EXPECT_EQ(request->Query(), "b=2");
  // None of these asks the host.
  EXPECT_TRUE(fake.Calls().empty());
}

TEST(ISAPIRequest, FieldsByVariableName) {
  TFakeIsapiHost host;
  TFakeRequest& fake = host.NewRequest();
  fake.SetVariable("SERVER_PROTOCOL", "HTTP/1.1")
      .SetVariable("HTTP_REFERER", "http://a/b?c")
      .SetVariable("SERVER_PORT", "8080")
      .SetVariable("HTTP_DATE", "Tue, 01 Jan 2030 00:00:00 GMT")
      .SetVariable("HTTP_COOKIE", "k=v");
  auto request = Serve(fake);
  EXPECT_EQ(request->ProtocolVersion(), "HTTP/1.1");
  EXPECT_EQ(request->Referer(), "http://a/b?c");
  EXPECT_EQ(request->ServerPort(), 8080);
  EXPECT_EQ(request->ReadStringField(TWebRequest::fiServerPort), "8080");
  EXPECT_DOUBLE_EQ(request->Date(), EncodeDate(2030, 1, 1));
  EXPECT_EQ(request->Cookie(), "k=v");
  // Read twice, asked twice: nothing is cached.
  EXPECT_EQ(request->Referer(), "http://a/b?c");
  const auto calls = fake.CallsOf(TFakeCallKind::ckGetServerVariable);
  ASSERT_EQ(calls.size(), 7u);
  for (const TFakeCall& call : calls)
    EXPECT_EQ(call.Size, 4096u);
  EXPECT_EQ(calls.back().Name, "HTTP_REFERER");
}

TEST(ISAPIRequest, AbsentFieldsAndIndicesOutsideTheTable) {
  TFakeIsapiHost host;
  TFakeRequest& fake = host.NewRequest();
  auto request = Serve(fake);
  EXPECT_EQ(request->Referer(), "");
  EXPECT_EQ(request->ContentLength(), -1);
  EXPECT_EQ(request->ServerPort(), -1);
  EXPECT_DOUBLE_EQ(request->Date(), -1.0);
  EXPECT_DOUBLE_EQ(request->IfModifiedSince(), -1.0);
  // Both the plain and the prefixed name were asked for.
  EXPECT_EQ(VariableNames(fake)[0], "HTTP_REFERER");
  EXPECT_EQ(VariableNames(fake)[1], "HTTP_HTTP_REFERER");

  const std::size_t before = fake.Calls().size();
  EXPECT_EQ(request->ReadStringField(29), "");
  EXPECT_EQ(request->ReadStringField(-1), "");
  EXPECT_EQ(request->ReadIntegerField(29), -1);
  EXPECT_DOUBLE_EQ(request->ReadDateField(-1), -1.0);
  EXPECT_EQ(fake.Calls().size(), before);
}

TEST(ISAPIRequest, GetFieldByNameRetriesWithHttpPrefix) {
  TFakeIsapiHost host;
  TFakeRequest& fake = host.NewRequest();
  fake.SetVariable("HTTP_X_ONLY", "prefixed")
      .SetVariable("BOTH", "plain")
      .SetVariable("HTTP_BOTH", "prefixed")
      .SetVariable("LONG", std::string(5000, 'l'))
      .SetVariable("HTTP_LONG", "short");
  auto request = Serve(fake);
  EXPECT_EQ(request->GetFieldByName("X_ONLY"), "prefixed");
  EXPECT_EQ(request->GetFieldByName("BOTH"), "plain");
  // The first lookup fails reporting the 5001 bytes it needs; the retry is offered 4096 again.
  EXPECT_EQ(request->GetFieldByName("LONG"), "short");
  const auto calls = fake.CallsOf(TFakeCallKind::ckGetServerVariable);
  ASSERT_EQ(calls.size(), 5u);
  EXPECT_EQ(calls[0].Name, "X_ONLY");
  EXPECT_EQ(calls[1].Name, "HTTP_X_ONLY");
  EXPECT_EQ(calls[2].Name, "BOTH");
  EXPECT_EQ(calls[3].SizeAnswered, 5001u);
  EXPECT_EQ(calls[4].Name, "HTTP_LONG");
  EXPECT_EQ(calls[4].Size, 4096u);
}

TEST(ISAPIRequest, HostSizesNeverGiveNegativeOrOversizedFields) {
  TFakeIsapiHost host;
  TFakeRequest& fake = host.NewRequest();
  fake.ScriptVariable("ZERO", TVariableAnswer{true, "", 0, 0})
      .ScriptVariable("ONE", TVariableAnswer{true, std::string(1, '\0'), 1, 0})
      .ScriptVariable("OVER", TVariableAnswer{true, std::string("abc\0", 4), 100000, 0})
      .SetVariable("FITS", std::string(4095, 'f'))
      .SetVariable("HTTP_USER_AGENT", std::string(4096, 'u'));
  auto request = Serve(fake);
  EXPECT_EQ(request->GetFieldByName("ZERO"), "");
  EXPECT_EQ(request->GetFieldByName("ONE"), "");
  EXPECT_EQ(request->GetFieldByName("FITS"), std::string(4095, 'f'));
  // A value of 4096 bytes does not fit with its NUL: it reads as absent.
  EXPECT_EQ(request->UserAgent(), "");
  // A host claiming more than the buffer is held to the buffer.
  const std::string over = request->GetFieldByName("OVER");
  ASSERT_EQ(over.size(), 4095u);
  EXPECT_EQ(over.substr(0, 4), std::string("abc\0", 4));
  EXPECT_EQ(over.find_first_not_of('\0', 3), std::string::npos);
}

TEST(ISAPIRequest, IntegerAndDateFormsRaiseOnMalformedText) {
  TFakeIsapiHost host;
  TFakeRequest& fake = host.NewRequest();
  fake.SetVariable("CONTENT_LENGTH", "12a").SetVariable("HTTP_EXPIRES", "not a date");
  auto request = Serve(fake);
  try {
    (void)request->ContentLength();
    FAIL() << "no EConvertError";
  } catch (const EConvertError& error) {
    EXPECT_NE(WideToUtf8(error.Message()).find("12a"), std::string::npos);
    EXPECT_NE(WideToUtf8(error.Message()).find("is not a valid integer value"), std::string::npos);
  }
  EXPECT_THROW((void)request->Expires(), EConvertError);
  fake.SetVariable("CONTENT_LENGTH", "-7");
  EXPECT_EQ(request->ContentLength(), -7);
  for (const char* hexadecimal : {"0x10", "$10", "-$10", "0X1f"}) {
    fake.SetVariable("CONTENT_LENGTH", hexadecimal);
    EXPECT_THROW((void)request->ContentLength(), EConvertError) << hexadecimal;
  }
}

TEST(ISAPIRequest, RawContentIsWhatTheHostAlreadyHolds) {
  TFakeIsapiHost host;
  TFakeRequest& empty = host.NewRequest();
  empty.SetBody("", 20).AddChunk(std::string(20, 'z'));
  EXPECT_EQ(Serve(empty)->RawContent(), "");
  EXPECT_TRUE(empty.CallsOf(TFakeCallKind::ckReadClient).empty());

  TFakeRequest& binary = host.NewRequest();
  binary.SetBody(std::string("a\0b", 3), 3);
  EXPECT_EQ(Serve(binary)->RawContent(), std::string("a\0b", 3));
}

TEST(ISAPIRequest, ReadClientAndReadStringMakeOneHostCall) {
  TFakeIsapiHost host;
  TFakeRequest& fake = host.NewRequest();
  fake.AddChunk("abcd").AddReadFailure().AddOverReportedChunk("xyz", 500).AddChunk("tail");
  auto request = Serve(fake);
  EXPECT_EQ(request->ReadString(10), "abcd"); // a short read
  EXPECT_EQ(request->ReadString(10), "");     // a failure
  // The host claims 500 bytes for a buffer of 8: the count stays within the buffer.
  EXPECT_EQ(request->ReadString(8), std::string("xyz\0\0\0\0\0", 8));
  EXPECT_EQ(request->ReadString(-1), "");
  char buffer[2];
  EXPECT_EQ(request->ReadClient(buffer, -5), 0);
  EXPECT_EQ(request->ReadClient(buffer, 2), 2);
  EXPECT_EQ(std::string(buffer, 2), "ta");
  EXPECT_EQ(request->ReadClient(buffer, 2), 2);
  EXPECT_EQ(std::string(buffer, 2), "il");
  fake.AddReadFailure();
  EXPECT_EQ(request->ReadClient(buffer, 2), -1);

  const auto reads = fake.CallsOf(TFakeCallKind::ckReadClient);
  ASSERT_EQ(reads.size(), 6u); // nothing for the negative counts
  EXPECT_EQ(reads[0].Size, 10u);
  EXPECT_EQ(reads[2].Size, 8u);
  EXPECT_EQ(reads[3].Size, 2u);
}

TEST(ISAPIRequest, ContentFieldsCompleteAPartlyReceivedBodyWithOneRead) {
  TFakeIsapiHost host;
  TFakeRequest& fake = host.NewRequest();
  fake.SetMethod("POST")
      .SetContentType("application/x-www-form-urlencoded")
      .SetBody("a=1&b=2&c=", 25)
      .AddChunk("3&d=4&e=555&f=6")
      .AddChunk("never asked for");
  auto request = Serve(fake);
  EXPECT_EQ(request->MethodType(), TMethodType::mtPost);
  EXPECT_EQ(Utf8Lines(request->ContentFields()),
            (std::vector<std::string>{"a=1", "b=2", "c=3", "d=4", "e=555", "f=6"}));
  const auto reads = fake.CallsOf(TFakeCallKind::ckReadClient);
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_EQ(reads[0].Size, 15u);
}

TEST(ISAPIRequest, AHugeDeclaredLengthCostsWhatArrives) {
  TFakeIsapiHost host;
  TFakeRequest& fake = host.NewRequest();
  fake.SetMethod("POST").SetBody("", 2000000000).AddChunk("x=1&y=2345");
  auto request = Serve(fake);
  EXPECT_EQ(request->ContentLength(), 2000000000);
  EXPECT_EQ(Utf8Lines(request->ContentFields()), (std::vector<std::string>{"x=1", "y=2345"}));
  auto reads = fake.CallsOf(TFakeCallKind::ckReadClient);
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_LE(*reads[0].Size, static_cast<DWORD>(TISAPIRequest::MaxReadChunk));
  EXPECT_GE(TISAPIRequest::MaxReadChunk, 1 << 20);

  fake.AddChunk("0123456789");
  const std::string bytes = request->ReadString(2000000000);
  EXPECT_EQ(bytes, "0123456789");
  EXPECT_LT(bytes.capacity(), 4096u);
  reads = fake.CallsOf(TFakeCallKind::ckReadClient);
  EXPECT_EQ(reads.back().Size, static_cast<DWORD>(TISAPIRequest::MaxReadChunk));
}

TEST(ISAPIRequest, WriteClientAndWriteString) {
  TFakeIsapiHost host;
  TFakeRequest& fake = host.NewRequest();
  auto request = Serve(fake);
  const std::string hundred(100, 'h');
  EXPECT_TRUE(request->WriteString(hundred));
  EXPECT_TRUE(request->WriteString("")); // still one host call, with zero bytes
  fake.AcceptWritesUpTo(60);
  EXPECT_FALSE(request->WriteString(hundred));
  EXPECT_EQ(request->WriteClient("abc", 3), 3);
  EXPECT_EQ(request->WriteClient("abc", -1), 0);
  fake.FailWrites();
  EXPECT_EQ(request->WriteClient("abc", 3), -1);
  EXPECT_FALSE(request->WriteString("abc"));

  const auto writes = fake.CallsOf(TFakeCallKind::ckWriteClient);
  ASSERT_EQ(writes.size(), 6u);
  EXPECT_EQ(writes[1].Size, 0u);
  EXPECT_EQ(writes[2].Size, 100u);
  EXPECT_EQ(writes[2].SizeAnswered, 60u);
  EXPECT_EQ(writes[0].Code, 0u); // synchronous
  EXPECT_EQ(fake.Written(), hundred + std::string(60, 'h') + "abc");
}

TEST(ISAPIRequest, TranslateURIAsksTheHostWithAFixedBuffer) {
  TFakeIsapiHost host;
  TFakeRequest& fake = host.NewRequest();
  fake.SetUrlMapper([](const std::string& url) -> std::optional<std::string> {
    if (url == "/fail")
      return std::nullopt;
    if (url == "/big")
      return std::string(1500, 'b');
    if (url.size() > 100)
      return "L" + std::to_string(url.size());
    return "D:\\site" + url + "\xE9";
  });
  auto request = Serve(fake);
  EXPECT_EQ(request->TranslateURI(u"/a/b"), u"D:\\site/a/b\u00E9");
  EXPECT_EQ(request->TranslateURI(u"/fail"), u"");
  EXPECT_EQ(request->TranslateURI(u"/big"), u""); // too small a buffer: FALSE, 122
  // 1023 bytes and the NUL fill the buffer exactly; one byte more is not offered to the host.
  const std::u16string fits = u"/" + std::u16string(1022, u'f');
  EXPECT_EQ(request->TranslateURI(fits), u"L1023");
  const auto before = fake.Calls().size();
  EXPECT_EQ(request->TranslateURI(fits + u"g"), u"");
  EXPECT_EQ(fake.Calls().size(), before);

  const auto maps = fake.SupportCalls(HSE_REQ_MAP_URL_TO_PATH);
  ASSERT_EQ(maps.size(), 4u);
  EXPECT_EQ(maps[0].Buffer, "/a/b");
  EXPECT_EQ(maps[0].Size, 1024u);
  EXPECT_FALSE(maps[0].DataType.has_value());
}

TEST(ISAPIRequest, WriteHeadersSendsStatusAndBlockInOneCall) {
  TFakeIsapiHost host;
  TFakeRequest& fake = host.NewRequest();
  fake.SetSupportAnswer(HSE_REQ_SEND_RESPONSE_HEADER, false);
  auto request = Serve(fake);
  const std::string block = "Content-Type: text/html\r\n\r\n";
  EXPECT_TRUE(request->WriteHeaders(404, "404 Not Found", block));
  EXPECT_EQ(fake.HttpStatusCode(), 404u);
  EXPECT_TRUE(request->WriteHeaders(200, "200 OK", ""));

  const auto headers = fake.SupportCalls(HSE_REQ_SEND_RESPONSE_HEADER);
  ASSERT_EQ(headers.size(), 2u);
  EXPECT_EQ(headers[0].Buffer, "404 Not Found");
  EXPECT_EQ(headers[0].DataType, block);
  EXPECT_EQ(headers[0].Size, block.size());
  EXPECT_FALSE(headers[1].DataType.has_value());
  EXPECT_EQ(headers[1].Size, 0u);
}

} // namespace
} // namespace isapi_web
