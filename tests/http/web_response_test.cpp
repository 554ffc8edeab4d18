#include "http/web_response.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "http/web_request.h"
#include "runtime/construct.h"
#include "runtime/exceptions.h"
#include "runtime/text.h"

namespace isapi_web {
namespace {

// An in-memory response storing its fields; ContentType starts as "text/html", applied through
// its own accessor after construction.
class TTestResponse : public TWebResponse {
public:
  explicit TTestResponse(TWebRequest* request = nullptr) : TWebResponse(request) {}

  void AfterConstruction() override { SetContentType("text/html"); }

  std::string ReadStringField(int index) const override {
    return index >= 0 && index < StringFieldCount ? FStrings[static_cast<std::size_t>(index)]
                                                  : std::string();
  }
  void WriteStringField(int index, std::string_view value) override {
    if (index >= 0 && index < StringFieldCount)
      FStrings[static_cast<std::size_t>(index)] = value;
  }
  TDateTime ReadDateField(int index) const override {
    return index >= 0 && index < DateFieldCount ? FDates[static_cast<std::size_t>(index)] : 0.0;
  }
  void WriteDateField(int index, TDateTime value) override {
    if (index >= 0 && index < DateFieldCount)
      FDates[static_cast<std::size_t>(index)] = value;
  }
  int ReadIntegerField(int index) const override { return index == 0 ? FContentLength : -1; }
  void WriteIntegerField(int index, int value) override {
    if (index == 0) {
      FContentLength = value;
      ++ContentLengthWrites;
    }
  }
  std::string GetRawContent() const override { return FContent; }
  void SetRawContent(std::string_view value) override { FContent = value; }
  int GetStatusCode() const override { return FStatusCode; }
  void SetStatusCode(int value) override { FStatusCode = value; }
  std::u16string GetLogMessage() const override { return FLogMessage; }
  void SetLogMessage(std::u16string_view value) override { FLogMessage = value; }
  void SendResponse() override {}
  void SendRedirect(const std::string&) override {}
  void SendStream(TStream&) override {}

  int ContentLengthWrites = 0;

private:
  std::array<std::string, StringFieldCount> FStrings;
  std::array<TDateTime, DateFieldCount> FDates{};
  int FContentLength = -1;
  std::string FContent;
  int FStatusCode = 0;
  std::u16string FLogMessage;
};

// A stream that reports its destruction.
class TRecordingStream : public TMemoryStream {
public:
  TRecordingStream(std::string bytes, int& destroyed)
      : TMemoryStream(std::move(bytes)), FDestroyed(destroyed) {}
  ~TRecordingStream() override { ++FDestroyed; }

private:
  int& FDestroyed;
};

// A stream whose size needs more than 32 bits.
class THugeStream : public TStream {
public:
  std::int32_t Read(void*, std::int32_t) override { return 0; }
  std::int32_t Write(const void*, std::int32_t) override { return 0; }
  std::int64_t Seek(std::int64_t, TSeekOrigin) override { return 0; }
  std::int64_t Size() override { return (std::int64_t{1} << 32) + 7; }
};

// The request a response answers; nothing of it is read here.
class TBareRequest : public TWebRequest {
public:
  std::string ReadStringField(int) const override { return {}; }
  TDateTime ReadDateField(int) const override { return -1.0; }
  int ReadIntegerField(int) const override { return -1; }
  int ReadClient(void*, int) override { return -1; }
  std::string ReadString(int) override { return {}; }
  std::u16string TranslateURI(std::u16string_view) override { return {}; }
  int WriteClient(const void*, int) override { return -1; }
  bool WriteString(std::string_view) override { return false; }
  bool WriteHeaders(int, const std::string&, const std::string&) override { return true; }
  std::string GetFieldByName(const std::string&) const override { return {}; }
};

class TPlainPersistent : public TPersistent {
public:
  std::u16string ClassName() const override { return u"TPlainPersistent"; }
};

std::unique_ptr<TCookie> MakeCookie(std::string name, std::string value) {
  auto cookie = std::make_unique<TCookie>();
  cookie->SetName(std::move(name));
  cookie->SetValue(std::move(value));
  return cookie;
}

TEST(Cookie, HeaderValueByteForByte) {
  const auto cookieOwner = MakeCookie("a b", "1/2");
  TCookie& cookie = *cookieOwner;
  EXPECT_EQ(cookie.Expires(), -1.0);
  EXPECT_FALSE(cookie.Secure());
  EXPECT_EQ(cookie.HeaderValue(), "a+b=1%2F2");

  cookie.SetPath("/");
  cookie.SetExpires(EncodeDate(2030, 1, 1));
  EXPECT_EQ(cookie.HeaderValue(), "a+b=1%2F2; path=/; expires=Tue, 01 Jan 2030 00:00:00 GMT");

  cookie.SetSecure(true);
  cookie.SetDomain("ex ample.org");
  cookie.SetPath("/a b/%");
  EXPECT_EQ(cookie.HeaderValue(), "a+b=1%2F2; domain=ex ample.org; path=/a b/%; "
                                  "expires=Tue, 01 Jan 2030 00:00:00 GMT; secure");

  const auto emptyOwner = MakeCookie("only", "");
  TCookie& empty = *emptyOwner;
  EXPECT_EQ(empty.HeaderValue(), "only=");
  empty.SetExpires(0.0);
  EXPECT_EQ(empty.HeaderValue(), "only=; expires=Sat, 30 Dec 1899 00:00:00 GMT");
  empty.SetExpires(-0.5); // just above the no-date value: noon of the day before day 0
  EXPECT_EQ(empty.HeaderValue(), "only=; expires=Fri, 29 Dec 1899 12:00:00 GMT");
  empty.SetExpires(-1.0);
  empty.SetSecure(true);
  EXPECT_EQ(empty.HeaderValue(), "only=; secure");

  const auto bytesOwner = MakeCookie("\xE9", "x\r\n");
  TCookie& bytes = *bytesOwner;
  bytes.SetDomain("d\xE9");
  EXPECT_EQ(bytes.HeaderValue(), "%E9=x%0D%0A; domain=d\xE9");
}

TEST(Cookie, AssignToCopiesIntoCookiesOnly) {
  const auto sourceOwner = MakeCookie("n", "v");
  TCookie& source = *sourceOwner;
  source.SetPath("/p");
  source.SetDomain("d");
  source.SetExpires(12.5);
  source.SetSecure(true);
  TCookie dest;
  dest.Assign(source);
  EXPECT_EQ(dest.Name(), "n");
  EXPECT_EQ(dest.Value(), "v");
  EXPECT_EQ(dest.Path(), "/p");
  EXPECT_EQ(dest.Domain(), "d");
  EXPECT_EQ(dest.Expires(), 12.5);
  EXPECT_TRUE(dest.Secure());
  EXPECT_EQ(dest.HeaderValue(), source.HeaderValue());

  TPlainPersistent foreign;
  EXPECT_THROW(foreign.Assign(source), EAssignError);
  EXPECT_THROW(dest.Assign(foreign), EAssignError);
}

TEST(CookieCollection, AddItemsAndAssign) {
  auto response = Construct<TTestResponse>();
  TCookieCollection& cookies = response->Cookies();
  EXPECT_EQ(cookies.WebResponse(), response.get());
  EXPECT_EQ(cookies.Count(), 0);
  TCookie* first = cookies.Add();
  first->SetName("a");
  TCookie* second = cookies.Add();
  second->SetName("b");
  EXPECT_EQ(second->Expires(), -1.0);
  EXPECT_EQ(cookies.Items(0), first);
  EXPECT_EQ(cookies.Items(1), second);
  EXPECT_EQ(first->Collection(), &cookies);
  EXPECT_THROW(cookies.Items(2), EListError);
  EXPECT_THROW(cookies.Items(-1), EListError);

  // Assigning a collection copies each cookie through AssignTo.
  TCookieCollection copy(nullptr, TCookieCollection::CookieClass<TCookie>());
  copy.Assign(cookies);
  ASSERT_EQ(copy.Count(), 2);
  EXPECT_EQ(copy.Items(1)->Name(), "b");
  EXPECT_NE(copy.Items(1), second);
}

TEST(WebResponse, ConstructionAndDefaults) {
  TBareRequest request;
  auto response = Construct<TTestResponse>(&request);
  EXPECT_EQ(response->ContentType(), "text/html");
  EXPECT_EQ(response->HTTPRequest(), &request);
  EXPECT_EQ(response->CustomHeaders().Count(), 0);
  EXPECT_EQ(response->Cookies().Count(), 0);
  EXPECT_EQ(response->ContentStream(), nullptr);
  EXPECT_FALSE(response->Sent());

  // Each property reaches its own field.
  response->SetVersion("1.1");
  response->SetReasonString("OK");
  response->SetServer("s");
  response->SetWWWAuthenticate("Basic");
  response->SetRealm("r");
  response->SetAllow("GET");
  response->SetLocation("/x");
  response->SetContentEncoding("gzip");
  response->SetContentVersion("cv");
  response->SetDerivedFrom("df");
  response->SetTitle("t");
  const std::vector<std::string> expected{"1.1", "OK", "s", "Basic", "r", "GET", "/x", "gzip",
                                          "text/html", "cv", "df", "t"};
  for (int index = 0; index < TWebResponse::StringFieldCount; ++index)
    EXPECT_EQ(response->ReadStringField(index), expected[static_cast<std::size_t>(index)]) << index;
  response->SetDate(1.0);
  response->SetExpires(2.0);
  response->SetLastModified(3.0);
  EXPECT_EQ(response->ReadDateField(TWebResponse::dfDate), 1.0);
  EXPECT_EQ(response->ReadDateField(TWebResponse::dfExpires), 2.0);
  EXPECT_EQ(response->ReadDateField(TWebResponse::dfLastModified), 3.0);
  response->SetContentLength(9);
  EXPECT_EQ(response->ContentLength(), 9);
  response->SetStatusCode(404);
  EXPECT_EQ(response->StatusCode(), 404);
  response->SetLogMessage(u"log");
  EXPECT_EQ(response->LogMessage(), u"log");
}

TEST(WebResponse, CookiesAndCustomHeadersAreThereWhenAskedFor) {
  // The lists are made on first use; before that the response answers as with empty ones.
  auto response = Construct<TTestResponse>();
  EXPECT_EQ(response->GetCustomHeader(u"X-A"), u"");
  std::u16string headers = u"Head: 0\r\n";
  response->AppendCustomHeaderLines(headers);
  EXPECT_EQ(headers, u"Head: 0\r\n");

  const TWebResponse& constant = *response;
  EXPECT_EQ(constant.Cookies().Count(), 0);
  EXPECT_EQ(constant.Cookies().WebResponse(), response.get());
  EXPECT_EQ(constant.CustomHeaders().Count(), 0);
  // The collection first reached through a const reference is the one that keeps the cookies.
  TCookie* cookie = response->Cookies().Add();
  cookie->SetName("a");
  EXPECT_EQ(&constant.Cookies(), &response->Cookies());
  ASSERT_EQ(constant.Cookies().Count(), 1);
  EXPECT_EQ(constant.Cookies().Items(0), cookie);

  auto other = Construct<TTestResponse>();
  other->SetCustomHeader(u"X-B", u"2");
  EXPECT_EQ(other->GetCustomHeader(u"x-b"), u"2");
  auto copied = Construct<TTestResponse>();
  copied->SetCustomHeaders(other->CustomHeaders());
  EXPECT_EQ(copied->GetCustomHeader(u"X-B"), u"2");
  std::u16string lines;
  copied->AppendCustomHeaderLines(lines);
  EXPECT_EQ(lines, u"X-B: 2\r\n");
}

TEST(WebResponse, SetCookieFieldAddsOneCookiePerLine) {
  auto response = Construct<TTestResponse>();
  TStrings values;
  values.Add(u"x=1");
  values.Add(u"x=2");
  values.Add(u"n=\u00E9 1");
  values.Add(u"bare");
  response->SetCookieField(values, "example.org", "/app", 0.5, true);
  TCookieCollection& cookies = response->Cookies();
  ASSERT_EQ(cookies.Count(), 4);
  EXPECT_EQ(cookies.Items(0)->Name(), "x");
  EXPECT_EQ(cookies.Items(0)->Value(), "1");
  EXPECT_EQ(cookies.Items(1)->Name(), "x");
  EXPECT_EQ(cookies.Items(1)->Value(), "1");
  EXPECT_EQ(cookies.Items(2)->Value(), "\xE9 1");
  EXPECT_EQ(cookies.Items(3)->Name(), "");
  EXPECT_EQ(cookies.Items(3)->Value(), "");
  for (int i = 0; i < cookies.Count(); ++i) {
    EXPECT_EQ(cookies.Items(i)->Domain(), "example.org");
    EXPECT_EQ(cookies.Items(i)->Path(), "/app");
    EXPECT_EQ(cookies.Items(i)->Expires(), 0.5);
    EXPECT_TRUE(cookies.Items(i)->Secure());
  }
  EXPECT_EQ(cookies.Items(2)->HeaderValue(),
            "n=%E9+1; domain=example.org; path=/app; expires=Sat, 30 Dec 1899 12:00:00 GMT; secure");
}

TEST(WebResponse, CustomHeaders) {
  auto response = Construct<TTestResponse>();
  response->SetCustomHeader(u"X-A", u"1");
  response->SetCustomHeader(u"X-B", u"2");
  response->SetCustomHeader(u"x-a", u"3");
  EXPECT_EQ(response->CustomHeaders().Count(), 2);
  EXPECT_EQ(response->GetCustomHeader(u"X-A"), u"3");
  EXPECT_EQ(response->GetCustomHeader(u"X-b"), u"2");
  EXPECT_EQ(response->GetCustomHeader(u"missing"), u"");
  response->SetCustomHeader(u"X-B", u"");
  EXPECT_EQ(response->CustomHeaders().Count(), 1);
  EXPECT_EQ(response->GetCustomHeader(u"X-B"), u"");
  response->SetCustomHeader(u"absent", u"");
  EXPECT_EQ(response->CustomHeaders().Count(), 1);

  TStrings given;
  given.Add(u"X-A=1");
  given.Add(u"X-A=2");
  given.Add(u"NoValue");
  given.Add(u"Empty=");
  response->SetCustomHeaders(given);
  given.Add(u"Later=1");
  EXPECT_EQ(response->CustomHeaders().Count(), 4);

  std::u16string headers = u"Head: 0\r\n";
  response->AppendCustomHeaderLines(headers);
  EXPECT_EQ(headers, u"Head: 0\r\nX-A: 1\r\nX-A: 1\r\n: \r\nEmpty: \r\n");
}

TEST(WebResponse, ContentStreamOwnershipAndLength) {
  int destroyed = 0;
  {
    auto response = Construct<TTestResponse>();
    response->SetRawContent("abc");
    auto owned = std::make_unique<TRecordingStream>("0123456789", destroyed);
    TStream* stream = owned.get();
    response->SetContentStream(std::move(owned));
    EXPECT_EQ(response->ContentStream(), stream);
    EXPECT_EQ(response->ContentLength(), 10);

    // Handing over the held stream again changes nothing and frees nothing.
    const int writes = response->ContentLengthWrites;
    response->SetContentStream(std::unique_ptr<TStream>(stream));
    EXPECT_EQ(response->ContentStream(), stream);
    EXPECT_EQ(response->ContentLengthWrites, writes);
    EXPECT_EQ(destroyed, 0);

    // Back to null: the stream is freed and the length is that of the raw bytes.
    response->SetContentStream(nullptr);
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(response->ContentStream(), nullptr);
    EXPECT_EQ(response->ContentLength(), 3);

    // Replacing one stream by another frees the first; the response frees the last.
    response->SetContentStream(std::make_unique<TRecordingStream>("12", destroyed));
    response->SetContentStream(std::make_unique<TRecordingStream>("12345", destroyed));
    EXPECT_EQ(destroyed, 2);
    EXPECT_EQ(response->ContentLength(), 5);

    response->SetContentStream(std::make_unique<THugeStream>());
    EXPECT_EQ(destroyed, 3);
    EXPECT_EQ(response->ContentLength(), 7);
    response->SetContentStream(std::make_unique<TRecordingStream>("", destroyed));
    EXPECT_EQ(response->ContentLength(), 0);
  }
  EXPECT_EQ(destroyed, 4);
}

TEST(WebResponse, ContentIsEncodedByTheCharsetAtWriteTime) {
  auto response = Construct<TTestResponse>();
  response->SetContentType("text/html; charset=utf-8");
  response->SetContent(u"\u00E9");
  EXPECT_EQ(response->RawContent(), "\xC3\xA9");
  EXPECT_EQ(response->Content(), u"\u00E9");

  response->SetContentType("text/html");
  EXPECT_EQ(response->RawContent(), "\xC3\xA9");
  EXPECT_EQ(response->Content(), u"\u00C3\u00A9");
  response->SetContent(u"\u00E9");
  EXPECT_EQ(response->RawContent(), "\xE9");
  EXPECT_EQ(response->Content(), u"\u00E9");

  // What the ANSI code page cannot hold becomes its replacement.
  response->SetContent(u"a\u0416");
  EXPECT_EQ(response->RawContent(), "a?");
}

TEST(WebResponse, AuthenticateHeaderValue) {
  auto response = Construct<TTestResponse>();
  EXPECT_EQ(response->AuthenticateHeaderValue(), "");
  response->SetWWWAuthenticate("Basic");
  EXPECT_EQ(response->AuthenticateHeaderValue(), "Basic");
  response->SetRealm("Moravel");
  EXPECT_EQ(response->AuthenticateHeaderValue(), "Basic Realm=Moravel");
  response->SetWWWAuthenticate("");
  EXPECT_EQ(response->AuthenticateHeaderValue(), " Realm=Moravel");
}

} // namespace
} // namespace isapi_web
