// The query, cookie and content fields of an ISAPI request served by the fake host. The input is
// a flags byte, the query string up to the first NUL, the Cookie header up to the next NUL, and
// the body (NULs allowed). The flags pick the content type, how the body arrives (all in the
// control block, partly by ReadClient, shorter or longer than declared, with no or a malformed
// Content-Length, a failing read) and the order of the reads.
//
// Every list must equal what a separate model of the splitting gives: the same lines in the same
// order, or the same decoding error after the same lines. Lists are built once; the body is read
// at most once and never beyond the declared length; name=value lookups agree with the lines.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

#include "http/http_text.h"
#include "isapi/isapi_request.h"
#include "runtime/construct.h"
#include "runtime/exceptions.h"
#include "runtime/text.h"
#include "support/fake_isapi_host.h"

namespace {

using namespace isapi_web;
using test_support::TFakeCallKind;
using test_support::TFakeIsapiHost;
using test_support::TFakeRequest;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_request_fields: %s\n", what);
  std::abort();
}

// What reading a list should give: its lines, and the class of the error that stops the
// splitting, if one does.
struct TExpectedList {
  std::vector<std::u16string> Lines;
  std::u16string ErrorClass;
};

bool Contains(std::u16string_view set, char16_t unit) {
  return set.find(unit) != std::u16string_view::npos;
}

// The raw fields of Content, before decoding. Line feed and carriage return end a field
// outside quotes and are skipped before one; a quote opens a quoted stretch in which nothing
// ends the field but the closing quote or the end. A field whose first unit is a quote drops
// both quotes and ends at the closing one, the unit after it being the separator; a quote that
// opens later stays in the field with its closing quote, and the unit after that is consumed
// as the separator, whatever it is.
std::vector<std::u16string> ModelFields(std::u16string_view content, std::u16string_view separators,
                                        std::u16string_view whiteSpace) {
  content = content.substr(0, content.find(u'\0'));
  std::vector<std::u16string> fields;
  const std::size_t n = content.size();
  if (n == 0)
    return fields;
  const auto endsField = [&](char16_t unit) {
    return unit == u'\n' || unit == u'\r' || Contains(separators, unit);
  };
  const auto skipped = [&](char16_t unit) {
    return unit == u'\n' || unit == u'\r' || Contains(whiteSpace, unit);
  };
  std::size_t start = 0;
  for (;;) {
    while (start < n && skipped(content[start]))
      ++start;
    std::size_t head = start;
    bool headQuoted = start < n && content[start] == u'"';
    if (headQuoted)
      ++head;
    std::size_t end = head;
    if (headQuoted) {
      while (end < n && content[end] != u'"')
        ++end;
    } else {
      while (end < n && !endsField(content[end]) && content[end] != u'"')
        ++end;
      if (end < n && content[end] == u'"') {
        const std::size_t close = content.find(u'"', end + 1);
        end = close == std::u16string_view::npos ? n : close + 1;
      }
    }
    const bool last = end >= n;
    if (head < n)
      fields.emplace_back(content.substr(head, end - head));
    if (last)
      return fields;
    start = end + 1;
  }
}

TExpectedList ModelList(std::u16string_view content, std::u16string_view separators,
                        std::u16string_view whiteSpace) {
  TExpectedList expected;
  for (const std::u16string& field : ModelFields(content, separators, whiteSpace)) {
    try {
      expected.Lines.push_back(AnsiToWide(DecodeURLText(WideToAnsi(field))));
    } catch (const Exception& error) {
      expected.ErrorClass = error.ClassName();
      break;
    }
  }
  return expected;
}

void CheckNameValues(const TStrings& list) {
  for (int i = 0; i < list.Count(); ++i) {
    const std::u16string& line = list[i];
    const std::size_t equals = line.find(u'=');
    if (equals == std::u16string::npos) {
      if (!list.Names(i).empty() || !list.ValueFromIndex(i).empty())
        Fail("a line without \"=\" has a name or a value");
      continue;
    }
    if (list.Names(i) != line.substr(0, equals) || list.ValueFromIndex(i) != line.substr(equals + 1))
      Fail("name and value do not split the line at its first \"=\"");
    const int first = list.IndexOfName(list.Names(i));
    if (first < 0 || first > i)
      Fail("IndexOfName misses a line of that name");
    if (list.Values(list.Names(i)) != list.ValueFromIndex(first))
      Fail("Values is not the value of the first line of that name");
  }
}

// Reads a list twice: the same object, unchanged, and no new reads of the client the second time.
template <class TRead>
void CheckList(const char* which, TRead read, const TExpectedList& expected, TFakeRequest& fake) {
  TStrings* list = nullptr;
  std::u16string errorClass;
  try {
    list = &read();
  } catch (const EWebException& error) {
    errorClass = error.ClassName();
  } catch (const EConvertError& error) {
    errorClass = error.ClassName();
  }
  if (errorClass != expected.ErrorClass) {
    std::fprintf(stderr, "fuzz_request_fields: %s list\n", which);
    Fail("the decoding error differs from the model's");
  }
  const std::size_t readsBefore = fake.CallsOf(TFakeCallKind::ckReadClient).size();
  TStrings& again = read(); // a list stopped by an error stays attached and is not re-split
  if (list != nullptr && list != &again)
    Fail("a second read returned another list");
  if (fake.CallsOf(TFakeCallKind::ckReadClient).size() != readsBefore)
    Fail("a second read read the client again");
  if (std::vector<std::u16string>(again.begin(), again.end()) != expected.Lines) {
    std::fprintf(stderr, "fuzz_request_fields: %s list\n", which);
    Fail("the lines differ from the model's");
  }
  CheckNameValues(again);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0)
    return 0;
  const unsigned flags = data[0];
  const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::size_t queryEnd = std::min(rest.find('\0'), rest.size());
  const std::string query(rest.substr(0, queryEnd));
  const std::string_view afterQuery = rest.substr(std::min(queryEnd + 1, rest.size()));
  const std::size_t cookieEnd = std::min(afterQuery.find('\0'), afterQuery.size());
  const std::string cookie(afterQuery.substr(0, cookieEnd));
  const std::string body(afterQuery.substr(std::min(cookieEnd + 1, afterQuery.size())));

  static constexpr const char* ContentTypes[] = {
      nullptr, "application/x-www-form-urlencoded",
      "application/x-www-form-urlencoded; charset=utf-8", "text/plain; Charset=UTF-8"};
  const char* contentType = ContentTypes[flags & 3];
  const unsigned delivery = (flags >> 2) & 7;
  const bool contentFirst = (flags & 0x20) != 0;
  static constexpr const char* Methods[] = {"GET", "POST", "PUT", "post"};
  const char* method = Methods[(flags >> 6) & 3];

  TFakeIsapiHost host;
  TFakeRequest& fake = host.NewRequest();
  fake.SetMethod(method).SetQueryString(query);
  if (contentType != nullptr)
    fake.SetContentType(contentType);
  fake.SetVariable("HTTP_COOKIE", cookie);

  // What the request should take as its body: the bytes already in the block, completed by one
  // read of the rest of the declared length, whatever more the host would deliver.
  const std::size_t half = body.size() / 2;
  std::optional<std::string> expectedBody;
  bool lengthError = false;
  switch (delivery) {
  case 0: // all in the block
    fake.SetBody(body);
    expectedBody = body;
    break;
  case 1: // half in the block, the rest by one read
    fake.SetBody(body.substr(0, half), static_cast<DWORD>(body.size()));
    fake.AddChunk(body.substr(half));
    expectedBody = body;
    break;
  case 2: // declared twice as long as what ever arrives
    fake.SetBody(body.substr(0, half), static_cast<DWORD>(2 * body.size()));
    fake.AddChunk(body.substr(half));
    expectedBody = body;
    break;
  case 3: { // the rest offered in two chunks: one read takes the first only
    const std::size_t quarter = half + (body.size() - half) / 2;
    fake.SetBody(body.substr(0, half), static_cast<DWORD>(body.size()));
    fake.AddChunk(body.substr(half, quarter - half));
    fake.AddChunk(body.substr(quarter));
    expectedBody = body.substr(0, quarter);
    break;
  }
  case 4: // declared shorter than the block: the block is the body
    fake.SetBody(body, static_cast<DWORD>(half));
    expectedBody = half > 0 ? body : std::string();
    break;
  case 5: // no Content-Length: nothing is split, nothing read
    fake.SetBody(body, 0xFFFFFFFF);
    expectedBody = std::string();
    break;
  case 6: // a Content-Length that is no integer
    fake.SetBody(body.substr(0, half), static_cast<DWORD>(body.size()));
    fake.SetVariable("CONTENT_LENGTH", std::to_string(body.size()) + "x");
    lengthError = true;
    break;
  case 7: // the read fails: the fields come from the block alone
    fake.SetBody(body.substr(0, half), static_cast<DWORD>(body.size()));
    fake.AddReadFailure();
    expectedBody = body.size() > half ? body.substr(0, half) : std::string();
    break;
  }
  if (body.empty() && delivery != 6)
    expectedBody = std::string();

  const TExpectedList expectedQuery = ModelList(AnsiToWide(query), u"&", u"");
  // A Cookie header that does not fit the request's variable buffer reads as no header.
  const std::string cookieSeen =
      cookie.size() + 1 <= TISAPIRequest::ServerVariableBufferSize ? cookie : std::string();
  const TExpectedList expectedCookies = ModelList(AnsiToWide(cookieSeen), u";,", u" ");

  std::unique_ptr<TISAPIRequest> request = Construct<TISAPIRequest>(fake.Ecb());
  const auto checkContent = [&] {
    if (lengthError) {
      try {
        request->ContentFields();
      } catch (const EConvertError&) {
        return;
      }
      Fail("a malformed Content-Length raised no EConvertError");
    }
    const TExpectedList expectedContent = ModelList(
        DecodeContent(contentType != nullptr ? contentType : "", *expectedBody), u"&", u"");
    CheckList("content", [&]() -> TStrings& { return request->ContentFields(); }, expectedContent,
              fake);
    const auto reads = fake.CallsOf(TFakeCallKind::ckReadClient);
    if (reads.size() > 1)
      Fail("the body was read more than once");
    const int declared = request->ContentLength();
    const std::size_t available = fake.Ecb()->cbAvailable;
    if (!reads.empty()) {
      if (declared <= 0 || available >= static_cast<std::size_t>(declared))
        Fail("the client was read although the block held the whole body");
      if (!reads[0].Size ||
          *reads[0].Size > static_cast<std::size_t>(declared) - available)
        Fail("the read asked for more than the declared length");
    }
  };
  if (contentFirst)
    checkContent();
  CheckList("query", [&]() -> TStrings& { return request->QueryFields(); }, expectedQuery, fake);
  CheckList("cookie", [&]() -> TStrings& { return request->CookieFields(); }, expectedCookies,
            fake);
  if (!contentFirst)
    checkContent();
  return 0;
}
