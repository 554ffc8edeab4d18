#include "http/web_request.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "http/http_text.h"
#include "runtime/construct.h"
#include "runtime/exceptions.h"
#include "runtime/text.h"

namespace isapi_web {
namespace {

using Lines = std::vector<std::string>;

// The lines of a list as UTF-8, so that failures print readably.
Lines LinesOf(const TStrings& strings) {
  Lines lines;
  for (const std::u16string& line : strings)
    lines.push_back(WideToUtf8(line));
  return lines;
}

// An in-memory request: fields from a map, the unreceived part of the body behind ReadClient,
// every ReadString and field read recorded.
class TTestRequest : public TWebRequest {
public:
  explicit TTestRequest(std::map<int, std::string> fields, std::string unreceived = {})
      : FFields(std::move(fields)), FUnreceived(std::move(unreceived)) {}

  std::string ReadStringField(int index) const override {
    ++FieldReads[index];
    const auto field = FFields.find(index);
    return field == FFields.end() ? std::string() : field->second;
  }
  TDateTime ReadDateField(int index) const override {
    DateReads.push_back(index);
    const std::string text = ReadStringField(index);
    return text.empty() ? -1.0 : ParseHTTPDate(AnsiToWide(text));
  }
  int ReadIntegerField(int index) const override {
    IntegerReads.push_back(index);
    const std::string text = ReadStringField(index);
    return text.empty() ? -1 : StrToInt(text);
  }
  int ReadClient(void* buffer, int count) override {
    const auto available = static_cast<int>(FUnreceived.size() - FReadPosition);
    const int n = std::min(count, available);
    std::memcpy(buffer, FUnreceived.data() + FReadPosition, static_cast<std::size_t>(n));
    FReadPosition += static_cast<std::size_t>(n);
    return n;
  }
  // Bounds its buffer by what can arrive, as a host adapter must.
  std::string ReadString(int count) override {
    ReadStringCalls.push_back(count);
    std::string bytes(std::min<std::size_t>(static_cast<std::size_t>(count), 64 * 1024), '\0');
    const int n = ReadClient(bytes.data(), static_cast<int>(bytes.size()));
    bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return bytes;
  }
  std::u16string TranslateURI(std::u16string_view) override { return {}; }
  int WriteClient(const void*, int count) override { return count; }
  bool WriteString(std::string_view) override { return true; }
  bool WriteHeaders(int, const std::string&, const std::string&) override { return true; }
  std::string GetFieldByName(const std::string&) const override { return {}; }

  mutable std::map<int, int> FieldReads;
  mutable std::vector<int> DateReads;
  mutable std::vector<int> IntegerReads;
  std::vector<int> ReadStringCalls;

private:
  std::map<int, std::string> FFields;
  std::string FUnreceived;
  std::size_t FReadPosition = 0;
};

std::unique_ptr<TTestRequest> RequestWithMethod(std::string method) {
  return Construct<TTestRequest>(std::map<int, std::string>{{TWebRequest::fiMethod, method}});
}

std::unique_ptr<TTestRequest> RequestWithQuery(std::string query) {
  return Construct<TTestRequest>(std::map<int, std::string>{{TWebRequest::fiQuery, query}});
}

Lines QueryLines(std::string query) { return LinesOf(RequestWithQuery(std::move(query))->QueryFields()); }

std::unique_ptr<TTestRequest> RequestWithBody(std::string received, std::string contentLength,
                                              std::string unreceived = {},
                                              std::string contentType = {}) {
  std::map<int, std::string> fields{{TWebRequest::fiRawContent, std::move(received)},
                                    {TWebRequest::fiContentType, std::move(contentType)}};
  if (!contentLength.empty())
    fields[TWebRequest::fiContentLength] = std::move(contentLength);
  return Construct<TTestRequest>(std::move(fields), std::move(unreceived));
}

TEST(WebRequest, MethodClassIsSetBeforeTheRequestIsHandedOver) {
  EXPECT_EQ(RequestWithMethod("GET")->MethodType(), TMethodType::mtGet);
  EXPECT_EQ(RequestWithMethod("PUT")->MethodType(), TMethodType::mtPut);
  EXPECT_EQ(RequestWithMethod("POST")->MethodType(), TMethodType::mtPost);
  EXPECT_EQ(RequestWithMethod("HEAD")->MethodType(), TMethodType::mtHead);
  for (const char* other : {"post", "get", "OPTIONS", "DELETE", "", "GETX", " GET"})
    EXPECT_EQ(RequestWithMethod(other)->MethodType(), TMethodType::mtAny) << other;
  static_assert(sizeof(TMethodType) == 1);
  static_assert(static_cast<int>(TMethodType::mtHead) == 4);

  // A request built without the second step has not classified anything yet.
  TTestRequest unfinished({{TWebRequest::fiMethod, "POST"}});
  EXPECT_EQ(unfinished.FieldReads[TWebRequest::fiMethod], 0);
}

TEST(WebRequest, FieldPropertiesReadTheirIndex) {
  std::map<int, std::string> fields;
  for (int index = 0; index < TWebRequest::FieldCount; ++index) {
    // Appended rather than "f" + ...: GCC 12 at -O3 takes that insert for an overlapping copy.
    std::string value = "f";
    value += std::to_string(index);
    fields[index] = value;
  }
  fields[TWebRequest::fiDate] = "Tue, 05 Mar 2024 07:04:09 GMT";
  fields[TWebRequest::fiIfModifiedSince] = "Wed, 06 Mar 2024 07:04:09 GMT";
  fields[TWebRequest::fiExpires] = "Thu, 07 Mar 2024 07:04:09 GMT";
  fields[TWebRequest::fiContentLength] = "16";
  fields[TWebRequest::fiServerPort] = "24";
  auto request = Construct<TTestRequest>(fields);

  const std::vector<std::pair<std::string, std::string>> strings{
      {request->Method(), "f0"},          {request->ProtocolVersion(), "f1"},
      {request->URL(), "f2"},             {request->Query(), "f3"},
      {request->PathInfo(), "f4"},        {request->PathTranslated(), "f5"},
      {request->CacheControl(), "f6"},    {request->Accept(), "f8"},
      {request->From(), "f9"},            {request->Host(), "f10"},
      {request->Referer(), "f12"},        {request->UserAgent(), "f13"},
      {request->ContentEncoding(), "f14"}, {request->ContentType(), "f15"},
      {request->ContentVersion(), "f17"}, {request->DerivedFrom(), "f18"},
      {request->Title(), "f20"},          {request->RemoteAddr(), "f21"},
      {request->RemoteHost(), "f22"},     {request->ScriptName(), "f23"},
      {request->RawContent(), "f25"},     {request->Connection(), "f26"},
      {request->Cookie(), "f27"},         {request->Authorization(), "f28"},
      {request->InternalPathInfo(), "f4"}, {request->InternalScriptName(), "f23"},
  };
  for (const auto& [actual, expected] : strings)
    EXPECT_EQ(actual, expected);

  EXPECT_EQ(request->ContentLength(), 16);
  EXPECT_EQ(request->ServerPort(), 24);
  EXPECT_EQ(request->IntegerReads, (std::vector<int>{16, 24}));
  EXPECT_EQ(request->Date(), EncodeDate(2024, 3, 5) + EncodeTime(7, 4, 9, 0));
  EXPECT_EQ(request->IfModifiedSince(), EncodeDate(2024, 3, 6) + EncodeTime(7, 4, 9, 0));
  EXPECT_EQ(request->Expires(), EncodeDate(2024, 3, 7) + EncodeTime(7, 4, 9, 0));
  EXPECT_EQ(request->DateReads, (std::vector<int>{7, 11, 19}));
}

TEST(WebRequest, QueryFieldsKeepOrderDuplicatesAndEmptyFields) {
  EXPECT_EQ(QueryLines("a=1&b=2&a=3"), (Lines{"a=1", "b=2", "a=3"}));
  EXPECT_EQ(QueryLines("a=1&&b=2"), (Lines{"a=1", "", "b=2"}));
  EXPECT_EQ(QueryLines("a=1&"), (Lines{"a=1"}));
  EXPECT_EQ(QueryLines("&a"), (Lines{"", "a"}));
  EXPECT_EQ(QueryLines(""), Lines{});
  EXPECT_EQ(QueryLines("name=J%41N+X"), (Lines{"name=JAN X"}));
  EXPECT_EQ(QueryLines("p=100%%"), (Lines{"p=100%"}));
  // Whitespace stays inside a field and before its separator; only line breaks are skipped.
  EXPECT_EQ(QueryLines(" a = 1 &b"), (Lines{" a = 1 ", "b"}));
  // An escaped separator is decoded after splitting and does not split.
  EXPECT_EQ(QueryLines("a=x%26y&b"), (Lines{"a=x&y", "b"}));

  auto request = RequestWithQuery("a=1&b=2");
  EXPECT_EQ(request->QueryFields().Values(u"b"), u"2");
}

TEST(WebRequest, QuotesProtectSeparators) {
  // A quote inside a field keeps both quotes and the separator between them.
  EXPECT_EQ(QueryLines("x=\"p&q\"&y=2"), (Lines{"x=\"p&q\"", "y=2"}));
  // A field that starts with a quote ends at the closing quote; both quotes are dropped and the
  // separator after it yields an empty field.
  EXPECT_EQ(QueryLines("\"p&q\"&c"), (Lines{"p&q", "", "c"}));
  // The unit after a closing inner quote is taken as the field's separator, whatever it is.
  EXPECT_EQ(QueryLines("x=\"p\"q&y"), (Lines{"x=\"p\"", "", "y"}));
  // The text right after a closing head quote starts the next field.
  EXPECT_EQ(QueryLines("\"p\"q"), (Lines{"p", "q"}));
  // An unterminated quote runs to the end.
  EXPECT_EQ(QueryLines("a=\"1&2"), (Lines{"a=\"1&2"}));
  EXPECT_EQ(QueryLines("\"1&2"), (Lines{"1&2"}));
  EXPECT_EQ(QueryLines("\"\"&b"), (Lines{"", "", "b"}));
  EXPECT_EQ(QueryLines("\""), Lines{});
}

TEST(WebRequest, CookieFieldsSplitAtSemicolonAndCommaSkippingSpaces) {
  auto request = Construct<TTestRequest>(
      std::map<int, std::string>{{TWebRequest::fiCookie, "a=1; b=2,c=3;   d=%7E ;"}});
  EXPECT_EQ(LinesOf(request->CookieFields()), (Lines{"a=1", "b=2", "c=3", "d=~ "}));
  EXPECT_EQ(request->CookieFields().Values(u"C"), u"3");

  // The header is widened with the ANSI code page; a decoded byte is widened the same way.
  auto ansi = Construct<TTestRequest>(
      std::map<int, std::string>{{TWebRequest::fiCookie, "n=\xE9;m=%E9"}});
  EXPECT_EQ(LinesOf(ansi->CookieFields()), (Lines{"n=\xC3\xA9", "m=\xC3\xA9"}));
}

TEST(WebRequest, ExtractFieldsOverloads) {
  TStrings strings;
  TWebRequest::ExtractFields(TSysCharSet{'&'}, TSysCharSet{}, static_cast<const char16_t*>(nullptr),
                             strings);
  TWebRequest::ExtractFields(TSysCharSet{'&'}, TSysCharSet{}, u"", strings);
  EXPECT_EQ(strings.Count(), 0);

  // Wide text: a unit above 255 is never a separator, and one the code page cannot represent
  // becomes "?" in the decoding round trip.
  TWebRequest::ExtractFields(TSysCharSet{'|'}, TSysCharSet{'.'}, u"..a=\u0416|..b\u0124c", strings);
  EXPECT_EQ(LinesOf(strings), (Lines{"a=?", "b?c"}));

  // The wide form stops at a NUL; so does the narrow form at an embedded NUL byte.
  strings.Clear();
  const std::u16string withNul(u"a&b\0c&d", 7);
  TWebRequest::ExtractFields(TSysCharSet{'&'}, TSysCharSet{}, withNul.c_str(), strings);
  TWebRequest::ExtractFields(TSysCharSet{'&'}, TSysCharSet{}, std::string_view("x\0y", 3), strings);
  EXPECT_EQ(LinesOf(strings), (Lines{"a", "b", "x"}));

  // A separator set that also names a blank: leading blanks are skipped, so "&&" yields nothing
  // between them, and line breaks always end a field.
  strings.Clear();
  TWebRequest::ExtractFields(TSysCharSet{'&'}, TSysCharSet{'&'}, std::string_view("&&a\nb\r"),
                             strings);
  EXPECT_EQ(LinesOf(strings), (Lines{"a", "b"}));
}

TEST(WebRequest, DecodingErrorLeavesThePartlyFilledListAttached) {
  auto request = RequestWithQuery("a=1&b=%4");
  EXPECT_THROW(request->QueryFields(), EWebException);
  EXPECT_EQ(LinesOf(request->QueryFields()), (Lines{"a=1"}));

  auto convert = RequestWithQuery("a=1&b=%zz&c=3");
  EXPECT_THROW(convert->QueryFields(), EConvertError);
  EXPECT_EQ(LinesOf(convert->QueryFields()), (Lines{"a=1"}));

  auto body = RequestWithBody("x=1&y=%G0", "9");
  EXPECT_THROW(body->ContentFields(), EConvertError);
  EXPECT_EQ(LinesOf(body->ContentFields()), (Lines{"x=1"}));
  EXPECT_TRUE(body->ReadStringCalls.empty());
}

TEST(WebRequest, ListsAreBuiltOnceAndOnlyWhenRead) {
  auto request = Construct<TTestRequest>(std::map<int, std::string>{
      {TWebRequest::fiQuery, "a=1"}, {TWebRequest::fiCookie, "c=1"},
      {TWebRequest::fiContentLength, "3"}, {TWebRequest::fiRawContent, "b=2"}});
  EXPECT_EQ(request->FieldReads[TWebRequest::fiQuery], 0);
  EXPECT_EQ(request->FieldReads[TWebRequest::fiCookie], 0);
  EXPECT_EQ(request->FieldReads[TWebRequest::fiRawContent], 0);

  TStrings& query = request->QueryFields();
  TStrings& cookies = request->CookieFields();
  TStrings& content = request->ContentFields();
  query.Add(u"added=1");
  EXPECT_EQ(&request->QueryFields(), &query);
  EXPECT_EQ(&request->CookieFields(), &cookies);
  EXPECT_EQ(&request->ContentFields(), &content);
  EXPECT_EQ(LinesOf(request->QueryFields()), (Lines{"a=1", "added=1"}));
  EXPECT_EQ(LinesOf(content), (Lines{"b=2"}));
  EXPECT_EQ(request->FieldReads[TWebRequest::fiQuery], 1);
  EXPECT_EQ(request->FieldReads[TWebRequest::fiCookie], 1);
  EXPECT_EQ(request->FieldReads[TWebRequest::fiRawContent], 1);
}

TEST(WebRequest, ContentFieldsOfAReceivedBody) {
  auto request = RequestWithBody("a=1\r\nb=2", "8");
  EXPECT_EQ(LinesOf(request->ContentFields()), (Lines{"a=1", "b=2"}));
  EXPECT_TRUE(request->ReadStringCalls.empty());

  // The content type is not examined: any body is split as a form.
  auto xml = RequestWithBody("<a>1 2</a>", "10", {}, "text/xml");
  EXPECT_EQ(LinesOf(xml->ContentFields()), (Lines{"<a>1 2</a>"}));

  // No declared length, or a zero one: nothing is split and nothing read.
  for (const char* length : {"", "0", "-5"}) {
    auto none = RequestWithBody("a=1&b=2", length, "c=3");
    EXPECT_EQ(none->ContentFields().Count(), 0) << length;
    EXPECT_TRUE(none->ReadStringCalls.empty()) << length;
  }
}

TEST(WebRequest, ContentFieldsCompleteAPartlyReceivedBodyWithOneRead) {
  // 10 of 25 bytes received: one read for the 15 missing.
  auto request = RequestWithBody("first=abc&", "25", "second=xy&third&more");
  EXPECT_EQ(LinesOf(request->ContentFields()), (Lines{"first=abc", "second=xy", "third"}));
  EXPECT_EQ(request->ReadStringCalls, (std::vector<int>{15}));

  // A client that delivers less, or nothing: the fields come from what there is.
  auto shortBody = RequestWithBody("a=1&", "25", "b=2");
  EXPECT_EQ(LinesOf(shortBody->ContentFields()), (Lines{"a=1", "b=2"}));
  EXPECT_EQ(shortBody->ReadStringCalls, (std::vector<int>{21}));
  auto silent = RequestWithBody("", "5");
  EXPECT_EQ(silent->ContentFields().Count(), 0);
  EXPECT_EQ(silent->ReadStringCalls, (std::vector<int>{5}));

  // A huge declared length with ten bytes sent asks once and costs only what arrives.
  auto huge = RequestWithBody("", "2000000000", "a=1&b=2&cd");
  EXPECT_EQ(LinesOf(huge->ContentFields()), (Lines{"a=1", "b=2", "cd"}));
  EXPECT_EQ(huge->ReadStringCalls, (std::vector<int>{2000000000}));
}

TEST(WebRequest, ContentFieldsJoinBytesBeforeDecoding) {
  // "n=é&m=ü" in UTF-8 is 9 bytes; the é is split between the received part and the read.
  const std::string body = "n=\xC3\xA9&m=\xC3\xBC";
  auto split = RequestWithBody(body.substr(0, 3), "9", body.substr(3),
                               "application/x-www-form-urlencoded; charset=UTF-8");
  EXPECT_EQ(LinesOf(split->ContentFields()), (Lines{"n=\xC3\xA9", "m=\xC3\xBC"}));
  EXPECT_EQ(split->ReadStringCalls, (std::vector<int>{6}));

  // A multibyte body received whole is not completed: fewer characters than bytes is no gap.
  auto whole = RequestWithBody(body, "9", "&extra=1", "text/plain; charset=utf-8");
  EXPECT_EQ(LinesOf(whole->ContentFields()), (Lines{"n=\xC3\xA9", "m=\xC3\xBC"}));
  EXPECT_TRUE(whole->ReadStringCalls.empty());

  // Without a UTF-8 charset each byte is one ANSI character.
  auto ansi = RequestWithBody("n=\xE9", "4", "&", "text/plain");
  EXPECT_EQ(LinesOf(ansi->ContentFields()), (Lines{"n=\xC3\xA9"}));
  EXPECT_EQ(ansi->ReadStringCalls, (std::vector<int>{1}));
}

TEST(WebRequest, ContentAndReadUnicodeString) {
  auto request = RequestWithBody("\xC3\xA9", "4", "\xC3\xBC!", "text/html; Charset=utf-8");
  EXPECT_EQ(WideToUtf8(request->Content()), "\xC3\xA9");
  EXPECT_TRUE(request->ReadStringCalls.empty());

  EXPECT_EQ(request->ReadUnicodeString(-1), u"");
  EXPECT_TRUE(request->ReadStringCalls.empty());
  EXPECT_EQ(WideToUtf8(request->ReadUnicodeString(2)), "\xC3\xBC");
  EXPECT_EQ(request->ReadStringCalls, (std::vector<int>{2}));
  EXPECT_EQ(request->ReadUnicodeString(0), u"");
  EXPECT_EQ(request->ReadStringCalls, (std::vector<int>{2, 0}));

  auto ansi = RequestWithBody("\xE9", "1", "\xFC", "text/html");
  EXPECT_EQ(WideToUtf8(ansi->Content()), "\xC3\xA9");
  EXPECT_EQ(WideToUtf8(ansi->ReadUnicodeString(5)), "\xC3\xBC");
}

TEST(WebRequest, FilesAreEmptyAndDefaultParserIsTContentParser) {
  auto request = RequestWithBody("a=1", "3");
  EXPECT_EQ(request->Files().Count(), 0);
  EXPECT_EQ(request->Files().Items(0), nullptr);
  EXPECT_EQ(&request->Files(), &request->Files());
  EXPECT_NE(dynamic_cast<TContentParser*>(&request->ContentParser()), nullptr);
  EXPECT_EQ(&request->ContentParser().WebRequest(), request.get());
  EXPECT_TRUE(TContentParser::CanParse(*request));
  EXPECT_FALSE(TAbstractContentParser::CanParse(*request));
}

// A parser that records when its class is asked and answers as configured.
std::vector<std::string>* ParserLog = nullptr;

template <int Tag, bool Answer> class TTaggedParser : public TAbstractContentParser {
public:
  explicit TTaggedParser(TWebRequest& request) : TAbstractContentParser(request) {
    FFields.Add(u"parser=" + IntToStr(Tag));
  }
  static bool CanParse(TWebRequest&) {
    ParserLog->push_back("can " + std::to_string(Tag));
    return Answer;
  }
  TStrings& GetContentFields() override { return FFields; }
  TAbstractWebRequestFiles& GetFiles() override { return FFiles; }

private:
  TStrings FFields;
  TEmptyRequestFiles FFiles;
};

class ContentParserRegistry : public ::testing::Test {
protected:
  void SetUp() override { ParserLog = &FLog; }
  void TearDown() override {
    UnregisterContentParsers();
    ParserLog = nullptr;
  }
  std::vector<std::string> FLog;
};

TEST_F(ContentParserRegistry, LastRegisteredIsAskedFirst) {
  RegisterContentParser(ContentParserClass<TTaggedParser<1, true>>());
  RegisterContentParser(ContentParserClass<TTaggedParser<2, false>>());
  RegisterContentParser(ContentParserClass<TTaggedParser<3, false>>());
  auto request = RequestWithBody("a=1", "3");
  EXPECT_EQ(LinesOf(request->ContentFields()), (Lines{"parser=1"}));
  EXPECT_EQ(FLog, (std::vector<std::string>{"can 3", "can 2", "can 1"}));
  // The parser is chosen once per request.
  request->ContentFields();
  request->Files();
  EXPECT_EQ(FLog.size(), 3u);

  RegisterContentParser(ContentParserClass<TTaggedParser<4, true>>());
  FLog.clear();
  auto later = RequestWithBody("a=1", "3");
  EXPECT_EQ(LinesOf(later->ContentFields()), (Lines{"parser=4"}));
  EXPECT_EQ(FLog, (std::vector<std::string>{"can 4"}));
}

TEST_F(ContentParserRegistry, NoParserAnsweringTrueGivesTheDefault) {
  RegisterContentParser(ContentParserClass<TTaggedParser<1, false>>());
  auto request = RequestWithBody("a=1", "3");
  EXPECT_EQ(LinesOf(request->ContentFields()), (Lines{"a=1"}));
  EXPECT_NE(dynamic_cast<TContentParser*>(&request->ContentParser()), nullptr);
  EXPECT_EQ(FLog, (std::vector<std::string>{"can 1"}));

  // After release nothing is asked.
  UnregisterContentParsers();
  FLog.clear();
  auto released = RequestWithBody("a=1", "3");
  EXPECT_EQ(LinesOf(released->ContentFields()), (Lines{"a=1"}));
  EXPECT_TRUE(FLog.empty());
}

} // namespace
} // namespace isapi_web
