#include "isapi/isapi_request.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include "http/http_text.h"
#include "runtime/text.h"

namespace isapi_web {

namespace {

// Server variables of the fields the host answers by name; null where the block answers.
constexpr const char* ServerVariableNames[TWebRequest::FieldCount] = {
    nullptr,                  // Method
    "SERVER_PROTOCOL",        // ProtocolVersion
    "URL",                    // URL
    nullptr,                  // Query
    nullptr,                  // PathInfo
    nullptr,                  // PathTranslated
    "HTTP_CACHE_CONTROL",     // CacheControl
    "HTTP_DATE",              // Date
    "HTTP_ACCEPT",            // Accept
    "HTTP_FROM",              // From
    "HTTP_HOST",              // Host
    "HTTP_IF_MODIFIED_SINCE", // IfModifiedSince
    "HTTP_REFERER",           // Referer
    "HTTP_USER_AGENT",        // UserAgent
    "HTTP_CONTENT_ENCODING",  // ContentEncoding
    "CONTENT_TYPE",           // ContentType
    "CONTENT_LENGTH",         // ContentLength
    "HTTP_CONTENT_VERSION",   // ContentVersion
    "HTTP_DERIVED_FROM",      // DerivedFrom
    "HTTP_EXPIRES",           // Expires
    "HTTP_TITLE",             // Title
    "REMOTE_ADDR",            // RemoteAddr
    "REMOTE_HOST",            // RemoteHost
    "SCRIPT_NAME",            // ScriptName
    "SERVER_PORT",            // ServerPort
    nullptr,                  // RawContent
    "HTTP_CONNECTION",        // Connection
    "HTTP_COOKIE",            // Cookie
    "HTTP_AUTHORIZATION",     // Authorization
};

std::string MemberText(const char* member) {
  return member == nullptr ? std::string() : member;
}

} // namespace

std::string TISAPIRequest::ReadStringField(int index) const {
  switch (index) {
  case fiMethod:
    return MemberText(FECB->lpszMethod);
  case fiQuery:
    return MemberText(FECB->lpszQueryString);
  case fiPathInfo:
    return MemberText(FECB->lpszPathInfo);
  case fiPathTranslated:
    return MemberText(FECB->lpszPathTranslated);
  case fiRawContent:
    if (FECB->cbAvailable == 0 || FECB->lpbData == nullptr)
      return {};
    return std::string(reinterpret_cast<const char*>(FECB->lpbData), FECB->cbAvailable);
  default:
    if (index < 0 || index >= FieldCount)
      return {};
    return GetFieldByName(ServerVariableNames[index]);
  }
}

TDateTime TISAPIRequest::ReadDateField(int index) const {
  const std::string text = ReadStringField(index);
  if (text.empty())
    return -1.0;
  return ParseHTTPDate(AnsiToWide(text));
}

int TISAPIRequest::ReadIntegerField(int index) const {
  const std::string text = ReadStringField(index);
  if (text.empty())
    return -1;
  // Header values are decimal: "0x10" is no Content-Length of 16.
  return DecimalStrToInt(text);
}

std::string TISAPIRequest::GetFieldByName(const std::string& name) const {
  // Zeroed, so that a host reporting more than it wrote yields zero bytes, not stack contents.
  std::array<char, ServerVariableBufferSize> buffer{};
  DWORD size = ServerVariableBufferSize;
  if (!FECB->GetServerVariable(FECB->ConnID, const_cast<LPSTR>(name.c_str()), buffer.data(),
                               &size)) {
    // A failed lookup may have left the size it wanted; the retry offers the whole buffer.
    std::string prefixed = "HTTP_" + name;
    size = ServerVariableBufferSize;
    if (!FECB->GetServerVariable(FECB->ConnID, prefixed.data(), buffer.data(), &size))
      return {};
  }
  size = std::min(size, ServerVariableBufferSize);
  if (size > 0)
    --size; // the host counts the terminating NUL
  return std::string(buffer.data(), size);
}

int TISAPIRequest::ReadClient(void* buffer, int count) {
  if (count < 0)
    return 0;
  DWORD size = static_cast<DWORD>(count);
  if (!FECB->ReadClient(FECB->ConnID, buffer, &size))
    return -1;
  return static_cast<int>(std::min(size, static_cast<DWORD>(count)));
}

// The declared length is the client's claim, not what arrives: the buffer is bounded, and the
// result keeps only the bytes read. The buffer is zeroed, so a host reporting more than it
// delivered yields zero bytes, never earlier memory.
std::string TISAPIRequest::ReadString(int count) {
  if (count < 0)
    return {};
  const int chunk = std::min(count, MaxReadChunk);
  const auto buffer = std::make_unique<char[]>(static_cast<std::size_t>(chunk) + 1);
  const int read = ReadClient(buffer.get(), chunk);
  if (read <= 0)
    return {};
  return std::string(buffer.get(), static_cast<std::size_t>(read));
}

std::u16string TISAPIRequest::TranslateURI(std::u16string_view uri) {
  const std::string narrow = WideToAnsi(uri);
  if (narrow.size() + 1 > TranslateBufferSize)
    return {};
  std::array<char, TranslateBufferSize> buffer{};
  std::memcpy(buffer.data(), narrow.data(), narrow.size());
  DWORD size = TranslateBufferSize;
  if (!FECB->ServerSupportFunction(FECB->ConnID, HSE_REQ_MAP_URL_TO_PATH, buffer.data(), &size,
                                   nullptr))
    return {};
  return AnsiToWide(std::string_view(buffer.data(), ::strnlen(buffer.data(), buffer.size())));
}

int TISAPIRequest::WriteClient(const void* buffer, int count) {
  if (count < 0)
    return 0;
  DWORD bytes = static_cast<DWORD>(count);
  if (!FECB->WriteClient(FECB->ConnID, const_cast<void*>(buffer), &bytes, 0))
    return -1;
  return static_cast<int>(std::min(bytes, static_cast<DWORD>(count)));
}

bool TISAPIRequest::WriteString(std::string_view aString) {
  const int length = static_cast<int>(aString.size());
  return WriteClient(aString.data(), length) == length;
}

// The size argument points to the header block's length, so hosts that read it see the real one.
bool TISAPIRequest::WriteHeaders(int statusCode, const std::string& reasonString,
                                 const std::string& headers) {
  FECB->dwHttpStatusCode = static_cast<DWORD>(statusCode);
  DWORD headersLength = static_cast<DWORD>(headers.size());
  LPDWORD headerBlock =
      headers.empty() ? nullptr : reinterpret_cast<LPDWORD>(const_cast<char*>(headers.c_str()));
  (void)FECB->ServerSupportFunction(FECB->ConnID, HSE_REQ_SEND_RESPONSE_HEADER,
                                    const_cast<char*>(reasonString.c_str()), &headersLength,
                                    headerBlock);
  return true;
}

} // namespace isapi_web
