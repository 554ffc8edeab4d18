#include "http/web_response.h"

#include <cstdint>
#include <utility>

#include "http/http_text.h"
#include "runtime/text.h"

namespace isapi_web {

// ---- TCookie ---------------------------------------------------------------------------------

// The parts are joined as bytes: the domain and the path pass unchanged, and the encoded name
// and value and the date are ASCII, so this is the same text a wide build narrowed would give,
// without a code-page round trip of the domain and path.
std::string TCookie::HeaderValue() const {
  std::string result = EncodeURLText(FName) + "=" + EncodeURLText(FValue) + "; ";
  if (!FDomain.empty())
    result += "domain=" + FDomain + "; ";
  if (!FPath.empty())
    result += "path=" + FPath + "; ";
  if (FExpires > -1.0)
    result += "expires=" + WideToAnsi(HTTPDateText(FExpires)) + "; ";
  if (FSecure)
    result += "secure";
  if (result.size() >= 2 && result.compare(result.size() - 2, 2, "; ") == 0)
    result.resize(result.size() - 2);
  return result;
}

void TCookie::AssignTo(TPersistent& dest) const {
  auto* cookie = dynamic_cast<TCookie*>(&dest);
  if (cookie == nullptr) {
    TCollectionItem::AssignTo(dest);
    return;
  }
  cookie->FName = FName;
  cookie->FValue = FValue;
  cookie->FDomain = FDomain;
  cookie->FPath = FPath;
  cookie->FExpires = FExpires;
  cookie->FSecure = FSecure;
}

// ---- TCookieCollection -----------------------------------------------------------------------

TCookieCollection::TCookieCollection(TWebResponse* webResponse, TCookieFactory itemClass)
    : TCollection([itemClass = std::move(itemClass)]() -> std::unique_ptr<TCollectionItem> {
        return itemClass();
      }),
      FWebResponse(webResponse) {}

TCookie* TCookieCollection::Add() { return static_cast<TCookie*>(TCollection::Add()); }

// Items come from the cookie factory; one inserted by hand that is no cookie reads as null.
TCookie* TCookieCollection::Items(int index) const {
  return dynamic_cast<TCookie*>(TCollection::Items(index));
}

// ---- TWebResponse ----------------------------------------------------------------------------

TWebResponse::TWebResponse(TWebRequest* httpRequest) : FHTTPRequest(httpRequest) {}

TStrings& TWebResponse::CustomHeaders() {
  if (!FCustomHeaders)
    FCustomHeaders = std::make_unique<TStrings>();
  return *FCustomHeaders;
}

const TStrings& TWebResponse::CustomHeaders() const {
  return const_cast<TWebResponse*>(this)->CustomHeaders();
}

TCookieCollection& TWebResponse::Cookies() {
  if (!FCookies)
    FCookies = std::make_unique<TCookieCollection>(this, TCookieCollection::CookieClass<TCookie>());
  return *FCookies;
}

const TCookieCollection& TWebResponse::Cookies() const {
  return const_cast<TWebResponse*>(this)->Cookies();
}

TWebResponse::~TWebResponse() {
  FContentStream.reset();
  FCustomHeaders.reset();
  FCookies.reset();
}

void TWebResponse::SetContentStream(std::unique_ptr<TStream> value) {
  if (value.get() == FContentStream.get()) {
    // The same stream handed over again: the held owner keeps it.
    (void)value.release();
    return;
  }
  FContentStream.reset();
  FContentStream = std::move(value);
  if (FContentStream) {
    const auto size = static_cast<std::uint64_t>(FContentStream->Size());
    WriteIntegerField(ifContentLength, static_cast<int>(static_cast<std::uint32_t>(size)));
  } else {
    WriteIntegerField(ifContentLength, static_cast<int>(GetRawContent().size()));
  }
}

bool TWebResponse::Sent() const { return false; }

std::u16string TWebResponse::Content() const {
  return DecodeContent(ContentType(), GetRawContent());
}

void TWebResponse::SetContent(std::u16string_view value) {
  SetRawContent(EncodeContent(ContentType(), value));
}

std::u16string TWebResponse::GetCustomHeader(std::u16string_view name) const {
  return FCustomHeaders ? FCustomHeaders->Values(name) : std::u16string();
}

void TWebResponse::SetCustomHeader(std::u16string_view name, std::u16string_view value) {
  CustomHeaders().SetValues(name, value);
}

void TWebResponse::SetCookieField(const TStrings& values, const std::string& aDomain,
                                  const std::string& aPath, TDateTime aExpires, bool aSecure) {
  for (int i = 0; i < values.Count(); ++i) {
    const std::u16string name = values.Names(i);
    TCookie* cookie = Cookies().Add();
    cookie->SetName(WideToAnsi(name));
    cookie->SetValue(WideToAnsi(values.Values(name)));
    cookie->SetDomain(aDomain);
    cookie->SetPath(aPath);
    cookie->SetExpires(aExpires);
    cookie->SetSecure(aSecure);
  }
}

void TWebResponse::AppendCustomHeaderLines(std::u16string& headers) const {
  if (!FCustomHeaders)
    return;
  for (int i = 0; i < FCustomHeaders->Count(); ++i) {
    const std::u16string name = FCustomHeaders->Names(i);
    headers += name;
    headers += u": ";
    headers += FCustomHeaders->Values(name);
    headers += u"\r\n";
  }
}

// Joined as bytes, which is what filling "%s Realm=%s" and narrowing gives for every text the
// code page round-trips, and exact for the rest.
std::string TWebResponse::AuthenticateHeaderValue() const {
  const std::string realm = Realm();
  if (realm.empty())
    return WWWAuthenticate();
  return WWWAuthenticate() + " Realm=" + realm;
}

} // namespace isapi_web
