#include "http/web_request.h"

#include <mutex>
#include <utility>
#include <vector>

#include "http/http_text.h"
#include "platform/platform.h"
#include "runtime/text.h"

namespace isapi_web {

TSysCharSet::TSysCharSet(std::initializer_list<unsigned char> codes) {
  for (unsigned char code : codes)
    FCodes.set(code);
}

// ---- Parser registry -------------------------------------------------------------------------

namespace {

using TParserClassList = std::vector<TContentParserClass>;

// Registration replaces the whole list; a lookup takes a reference to the current list under
// the lock and walks it outside, so parser code never runs under the lock and readers never
// see a list being changed.
struct TParserRegistry {
  std::mutex Lock;
  std::shared_ptr<const TParserClassList> Classes;
};

TParserRegistry& ParserRegistry() {
  static TParserRegistry registry;
  return registry;
}

std::shared_ptr<const TParserClassList> RegisteredParserClasses() {
  TParserRegistry& registry = ParserRegistry();
  std::lock_guard<std::mutex> guard(registry.Lock);
  return registry.Classes;
}

} // namespace

void RegisterContentParser(TContentParserClass parserClass) {
  TParserRegistry& registry = ParserRegistry();
  std::lock_guard<std::mutex> guard(registry.Lock);
  auto classes = registry.Classes ? std::make_shared<TParserClassList>(*registry.Classes)
                                  : std::make_shared<TParserClassList>();
  classes->push_back(std::move(parserClass));
  registry.Classes = std::move(classes);
}

void UnregisterContentParsers() {
  TParserRegistry& registry = ParserRegistry();
  std::shared_ptr<const TParserClassList> released;
  {
    std::lock_guard<std::mutex> guard(registry.Lock);
    released = std::move(registry.Classes);
    registry.Classes.reset();
  }
}

// ---- TContentParser --------------------------------------------------------------------------

TContentParser::~TContentParser() {
  FContentFields.reset();
  FFiles.reset();
}

TStrings& TContentParser::GetContentFields() {
  if (!FContentFields) {
    // Stored before filling, so a decoding error leaves the fields read so far attached.
    FContentFields = std::make_unique<TStrings>();
    FWebRequest.ExtractContentFields(*FContentFields);
  }
  return *FContentFields;
}

TAbstractWebRequestFiles& TContentParser::GetFiles() {
  if (!FFiles)
    FFiles = std::make_unique<TEmptyRequestFiles>();
  return *FFiles;
}

// ---- TWebRequest -----------------------------------------------------------------------------

TWebRequest::~TWebRequest() {
  FCookieFields.reset();
  FQueryFields.reset();
  FContentParser.reset();
}

void TWebRequest::AfterConstruction() {
  FMethodType = TMethodType::mtAny;
  // Field 0 is read afresh for every comparison; the first equal name wins.
  static constexpr std::pair<const char*, TMethodType> MethodNames[] = {
      {"GET", TMethodType::mtGet},
      {"PUT", TMethodType::mtPut},
      {"POST", TMethodType::mtPost},
      {"HEAD", TMethodType::mtHead},
  };
  for (const auto& [name, type] : MethodNames) {
    if (platform::SameLocaleText(ReadStringField(fiMethod).c_str(), name)) {
      FMethodType = type;
      return;
    }
  }
}

std::string TWebRequest::InternalPathInfo() const { return PathInfo(); }

std::string TWebRequest::InternalScriptName() const { return ScriptName(); }

TStrings& TWebRequest::QueryFields() {
  if (!FQueryFields) {
    FQueryFields = std::make_unique<TStrings>();
    ExtractQueryFields(*FQueryFields);
  }
  return *FQueryFields;
}

TStrings& TWebRequest::CookieFields() {
  if (!FCookieFields) {
    FCookieFields = std::make_unique<TStrings>();
    ExtractCookieFields(*FCookieFields);
  }
  return *FCookieFields;
}

TAbstractContentParser& TWebRequest::ContentParser() {
  if (!FContentParser) {
    std::shared_ptr<const TParserClassList> classes = RegisteredParserClasses();
    if (classes) {
      for (auto entry = classes->rbegin(); entry != classes->rend(); ++entry) {
        if (entry->CanParse(*this)) {
          FContentParser = entry->Create(*this);
          break;
        }
      }
    }
    if (!FContentParser)
      FContentParser = std::make_unique<TContentParser>(*this);
  }
  return *FContentParser;
}

TStrings& TWebRequest::ContentFields() { return ContentParser().GetContentFields(); }

TAbstractWebRequestFiles& TWebRequest::Files() { return ContentParser().GetFiles(); }

std::u16string TWebRequest::Content() const { return DecodeContent(ContentType(), RawContent()); }

std::u16string TWebRequest::ReadUnicodeString(int count) {
  if (count < 0)
    return {};
  return DecodeContent(ContentType(), ReadString(count));
}

void TWebRequest::ExtractFields(const TSysCharSet& separators, const TSysCharSet& whiteSpace,
                                const char16_t* content, TStrings& strings) {
  if (content == nullptr || *content == 0)
    return;
  TSysCharSet blanks = whiteSpace;
  blanks.Include(10);
  blanks.Include(13);
  const auto endsField = [&separators](char16_t unit) {
    return separators.Contains(unit) || unit == 10 || unit == 13;
  };

  const char16_t* position = content;
  for (;;) {
    while (*position != 0 && blanks.Contains(*position))
      ++position;
    const char16_t* head = position;
    bool inQuote = false;
    bool headQuoted = false;
    for (;;) {
      const char16_t unit = *position;
      if (unit == 0)
        break;
      if (!inQuote && endsField(unit))
        break;
      if (unit == u'"') {
        if (inQuote)
          break;
        inQuote = true;
        if (position == head) {
          headQuoted = true;
          ++head;
        }
      }
      ++position;
    }
    // A quote that opened inside the field closes inside it too.
    if (!headQuoted && *position == u'"')
      ++position;
    const bool last = *position == 0;
    if (*head != 0) {
      const std::u16string_view field(head, static_cast<std::size_t>(position - head));
      strings.Add(AnsiToWide(DecodeURLText(WideToAnsi(field))));
    }
    if (last)
      return;
    ++position;
  }
}

void TWebRequest::ExtractFields(const TSysCharSet& separators, const TSysCharSet& whiteSpace,
                                std::string_view content, TStrings& strings) {
  const std::u16string wide = AnsiToWide(content);
  ExtractFields(separators, whiteSpace, wide.c_str(), strings);
}

void TWebRequest::ExtractQueryFields(TStrings& strings) const {
  ExtractFields(TSysCharSet{'&'}, TSysCharSet{}, Query(), strings);
}

void TWebRequest::ExtractCookieFields(TStrings& strings) const {
  ExtractFields(TSysCharSet{';', ','}, TSysCharSet{' '}, Cookie(), strings);
}

void TWebRequest::ExtractContentFields(TStrings& strings) {
  const int contentLength = ContentLength();
  if (contentLength <= 0)
    return;
  // Bytes are compared with bytes and decoded once, so a multibyte character split between
  // the received part and the read stays one character, and the read never asks for more
  // than the declared length. The concrete ReadString bounds its own buffer.
  std::string body = RawContent();
  if (body.size() < static_cast<std::size_t>(contentLength))
    body += ReadString(contentLength - static_cast<int>(body.size()));
  const std::u16string text = DecodeContent(ContentType(), body);
  ExtractFields(TSysCharSet{'&'}, TSysCharSet{}, text.c_str(), strings);
}

} // namespace isapi_web
