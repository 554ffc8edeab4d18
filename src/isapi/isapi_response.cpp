#include "isapi/isapi_response.h"

#include <algorithm>
#include <cstring>

#include "http/http_text.h"
#include "runtime/exceptions.h"
#include "runtime/text.h"

namespace isapi_web {

namespace {

// CR and LF would end the line early and let a value inject headers of its own; NUL would cut
// the block short at the host. Every other byte passes unchanged.
bool HoldsLineBreak(const std::string& text) {
  // strcspn stops at the first CR, LF or NUL, the terminating one included: stopping short of
  // the end means one of the three is inside. One pass, vectorised by the C library.
  return std::strcspn(text.c_str(), "\r\n") != text.size();
}

void CheckHeaderValue(const std::string& value, std::u16string_view header) {
  if (HoldsLineBreak(value))
    throw EWebException(u"Invalid character in header " + std::u16string(header));
}

void AddLine(std::string& block, std::u16string_view header, const std::string& value) {
  if (value.empty())
    return;
  CheckHeaderValue(value, header);
  block += WideToAnsi(header);
  block += ": ";
  block += value;
  block += "\r\n";
}

} // namespace

void TISAPIResponse::AfterConstruction() {
  TWebResponse::AfterConstruction();
  ApplyResponseDefaults();
}

void TISAPIResponse::ApplyResponseDefaults() {
  if (ISAPIRequest().ProtocolVersion().empty())
    SetVersion("1.0");
  SetStatusCode(200);
  SetLastModified(-1.0);
  SetExpires(-1.0);
  SetDate(-1.0);
  SetContentType("text/html");
}

TISAPIRequest& TISAPIResponse::ISAPIRequest() const {
  return *static_cast<TISAPIRequest*>(HTTPRequest());
}

std::string TISAPIResponse::ReadStringField(int index) const {
  if (index < 0 || index >= StringFieldCount)
    return {};
  return FStringVariables[static_cast<std::size_t>(index)];
}

void TISAPIResponse::WriteStringField(int index, std::string_view value) {
  if (index < 0 || index >= StringFieldCount)
    return;
  FStringVariables[static_cast<std::size_t>(index)].assign(value);
}

TDateTime TISAPIResponse::ReadDateField(int index) const {
  if (index < 0 || index >= DateFieldCount)
    return 0.0;
  return FDateVariables[static_cast<std::size_t>(index)];
}

void TISAPIResponse::WriteDateField(int index, TDateTime value) {
  if (index < 0 || index >= DateFieldCount)
    return;
  FDateVariables[static_cast<std::size_t>(index)] = value;
}

int TISAPIResponse::ReadIntegerField(int index) const {
  if (index != ifContentLength)
    return -1;
  return FIntegerVariables[0];
}

void TISAPIResponse::WriteIntegerField(int index, int value) {
  if (index != ifContentLength)
    return;
  FIntegerVariables[0] = value;
}

std::string TISAPIResponse::GetRawContent() const {
  return FContent;
}

void TISAPIResponse::SetRawContent(std::string_view value) {
  FContent.assign(value);
  if (ContentStream() == nullptr)
    SetContentLength(static_cast<int>(FContent.size()));
}

int TISAPIResponse::GetStatusCode() const {
  return FStatusCode;
}

void TISAPIResponse::SetStatusCode(int value) {
  if (value == FStatusCode)
    return;
  FStatusCode = value;
  SetReasonString(StatusTextView(value));
}

std::u16string TISAPIResponse::GetLogMessage() const {
  const char* logData = ISAPIRequest().ECB()->lpszLogData;
  return AnsiToWide(std::string_view(logData, ::strnlen(logData, HSE_LOG_BUFFER_LEN)));
}

void TISAPIResponse::SetLogMessage(std::u16string_view value) {
  const std::string narrow = WideToAnsi(value);
  char* logData = ISAPIRequest().ECB()->lpszLogData;
  const std::size_t length = std::min(narrow.size(), HSE_LOG_BUFFER_LEN - 1);
  std::memcpy(logData, narrow.data(), length);
  logData[length] = '\0';
}

// Narrow fields go into the block as bytes; only the wide custom headers are narrowed.
std::string TISAPIResponse::HeaderBlock() const {
  std::string block;
  AddLine(block, u"Location", Location());
  AddLine(block, u"Allow", Allow());
  if (HasCookies()) {
    for (int i = 0; i < Cookies().Count(); ++i)
      AddLine(block, u"Set-Cookie", Cookies().Items(i)->HeaderValue());
  }
  AddLine(block, u"Derived-From", DerivedFrom());
  if (Expires() > 0.0)
    AddLine(block, u"Expires", WideToAnsi(HTTPDateText(Expires())));
  if (LastModified() > 0.0)
    AddLine(block, u"Last-Modified", WideToAnsi(HTTPDateText(LastModified())));
  AddLine(block, u"Title", Title());
  AddLine(block, u"WWW-Authenticate", AuthenticateHeaderValue());

  if (HasCustomHeaders()) {
    const TStrings& custom = CustomHeaders();
    for (int i = 0; i < custom.Count(); ++i) {
      const std::u16string name = custom.Names(i);
      if (HoldsLineBreak(WideToAnsi(name)))
        throw EWebException(u"Invalid character in custom header name");
      CheckHeaderValue(WideToAnsi(custom.Values(name)), name);
    }
    std::u16string customLines;
    AppendCustomHeaderLines(customLines);
    block += WideToAnsi(customLines);
  }

  AddLine(block, u"Content-Version", ContentVersion());
  AddLine(block, u"Content-Encoding", ContentEncoding());
  AddLine(block, u"Content-Type", ContentType());
  if (!GetRawContent().empty() || ContentStream() != nullptr)
    AddLine(block, u"Content-Length", std::to_string(ContentLength()));
  block += "\r\n";
  return block;
}

void TISAPIResponse::SendResponse() {
  TISAPIRequest& request = ISAPIRequest();
  if (!request.ProtocolVersion().empty()) {
    const std::string reason = ReasonString();
    std::string statusText = "200 OK";
    if (!reason.empty() && StatusCode() > 0) {
      if (HoldsLineBreak(reason))
        throw EWebException(u"Invalid character in status text");
      statusText = std::to_string(StatusCode()) + " " + reason;
    }
    const std::string headers = HeaderBlock();
    request.WriteHeaders(StatusCode(), statusText, headers);
  }
  if (ContentStream() == nullptr) {
    request.WriteString(GetRawContent());
  } else {
    SendStream(*ContentStream());
    SetContentStream(nullptr);
  }
  FSent = true;
}

void TISAPIResponse::SendRedirect(const std::string& uri) {
  if (HoldsLineBreak(uri))
    throw EWebException(u"Invalid character in redirect URI");
  EXTENSION_CONTROL_BLOCK* ecb = ISAPIRequest().ECB();
  (void)ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_URL_REDIRECT_RESP,
                                   const_cast<char*>(uri.c_str()), nullptr, nullptr);
  FSent = true;
}

void TISAPIResponse::SendStream(TStream& aStream) {
  char buffer[StreamBufferSize];
  TISAPIRequest& request = ISAPIRequest();
  while (aStream.Position() < aStream.Size()) {
    const std::int32_t read = aStream.Read(buffer, StreamBufferSize);
    if (read <= 0)
      break; // a stream that stops delivering ends the body instead of spinning
    request.WriteClient(buffer, read);
  }
}

bool TISAPIResponse::Sent() const {
  return FSent;
}

} // namespace isapi_web
