#include "host/server_variables.h"

#include <cstring>

#include "host/host_text.h"

namespace isapi_web::host {

namespace {

char UpperAscii(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Whether a name asked for is the variable given in upper case; the length is compared first
// because most names differ in it.
bool IsVariable(std::string_view asked, std::string_view upperName) {
  if (asked.size() != upperName.size())
    return false;
  for (std::size_t i = 0; i < asked.size(); ++i)
    if (UpperAscii(asked[i]) != upperName[i])
      return false;
  return true;
}

// Whether a header's name appears as suffix in an HTTP_ variable name ("X-Forwarded-For" as
// "X_FORWARDED_FOR"), ignoring case.
bool HeaderHasVariableForm(std::string_view header, std::string_view suffix) {
  if (header.size() != suffix.size())
    return false;
  for (std::size_t i = 0; i < header.size(); ++i) {
    const char h = header[i] == '-' ? '_' : UpperAscii(header[i]);
    if (h != UpperAscii(suffix[i]))
      return false;
  }
  return true;
}

void AppendVariableFormOfHeader(std::string& out, std::string_view name) {
  for (char c : name)
    out += c == '-' ? '_' : UpperAscii(c);
}

// The fields that match, joined by ", " when there are several: a view of the one field's value,
// or of scratch.
template <typename TMatches>
std::optional<std::string_view> JoinedHeader(const TRequestInfo& info, std::string& scratch,
                                             TMatches matches) {
  const std::string* first = nullptr;
  bool joined = false;
  for (const auto& [name, value] : info.Headers) {
    if (!matches(name))
      continue;
    if (first == nullptr) {
      first = &value;
      continue;
    }
    if (!joined) {
      scratch = *first;
      joined = true;
    }
    scratch += ", ";
    scratch += value;
  }
  if (first == nullptr)
    return std::nullopt;
  return joined ? std::string_view(scratch) : std::string_view(*first);
}

std::optional<std::string_view> FindHeader(const TRequestInfo& info, std::string_view name,
                                           std::string& scratch) {
  return JoinedHeader(info, scratch,
                      [name](std::string_view field) { return EqualsIgnoreCase(field, name); });
}

} // namespace

std::optional<std::string> HeaderValue(const TRequestInfo& info, std::string_view name) {
  std::string scratch;
  const std::optional<std::string_view> value = FindHeader(info, name, scratch);
  if (!value)
    return std::nullopt;
  return std::string(*value);
}

std::optional<std::string_view> FindServerVariable(const TRequestInfo& info, std::string_view name,
                                                   std::string& scratch) {
  if (name.size() > 5 && IsVariable(name.substr(0, 5), "HTTP_"))
    return JoinedHeader(info, scratch, [suffix = name.substr(5)](std::string_view field) {
      return HeaderHasVariableForm(field, suffix);
    });
  if (IsVariable(name, "REQUEST_METHOD"))
    return info.Method;
  if (IsVariable(name, "QUERY_STRING"))
    return info.Query;
  if (IsVariable(name, "PATH_INFO"))
    return info.PathInfo;
  if (IsVariable(name, "PATH_TRANSLATED"))
    return info.PathTranslated;
  if (IsVariable(name, "SCRIPT_NAME"))
    return info.ScriptName;
  if (IsVariable(name, "URL")) {
    scratch = info.ScriptName;
    scratch += info.PathInfo;
    return scratch;
  }
  if (IsVariable(name, "SERVER_PROTOCOL"))
    return info.Protocol;
  if (IsVariable(name, "SERVER_NAME"))
    return info.ServerName;
  if (IsVariable(name, "SERVER_PORT"))
    return info.ServerPort;
  if (IsVariable(name, "SERVER_PORT_SECURE"))
    return "0";
  if (IsVariable(name, "SERVER_SOFTWARE"))
    return info.ServerSoftware;
  if (IsVariable(name, "REMOTE_ADDR") || IsVariable(name, "REMOTE_HOST"))
    return info.RemoteAddress;
  if (IsVariable(name, "REMOTE_PORT"))
    return info.RemotePort;
  if (IsVariable(name, "LOCAL_ADDR"))
    return info.LocalAddress;
  if (IsVariable(name, "CONTENT_TYPE"))
    return FindHeader(info, "Content-Type", scratch).value_or("");
  if (IsVariable(name, "CONTENT_LENGTH"))
    return FindHeader(info, "Content-Length", scratch).value_or("0");
  if (IsVariable(name, "HTTPS"))
    return "off";
  if (IsVariable(name, "AUTH_TYPE") || IsVariable(name, "REMOTE_USER") ||
      IsVariable(name, "LOGON_USER") || IsVariable(name, "AUTH_USER"))
    return "";
  if (IsVariable(name, "GATEWAY_INTERFACE"))
    return "CGI/1.1";
  if (IsVariable(name, "ALL_HTTP")) {
    scratch.clear();
    for (const auto& [field, value] : info.Headers) {
      scratch += "HTTP_";
      AppendVariableFormOfHeader(scratch, field);
      scratch += ':';
      scratch += value;
      scratch += "\r\n";
    }
    return scratch;
  }
  if (IsVariable(name, "ALL_RAW")) {
    scratch.clear();
    for (const auto& [field, value] : info.Headers) {
      scratch += field;
      scratch += ": ";
      scratch += value;
      scratch += "\r\n";
    }
    return scratch;
  }
  return std::nullopt;
}

std::optional<std::string> ServerVariable(const TRequestInfo& info, std::string_view name) {
  std::string scratch;
  const std::optional<std::string_view> value = FindServerVariable(info, name, scratch);
  if (!value)
    return std::nullopt;
  return std::string(*value);
}

BOOL CopyWithTerminator(std::string_view value, void* buffer, DWORD* size, DWORD& error) {
  const DWORD needed = static_cast<DWORD>(value.size() + 1);
  if (buffer == nullptr || *size < needed) {
    *size = needed;
    error = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  std::memcpy(buffer, value.data(), value.size());
  static_cast<char*>(buffer)[value.size()] = '\0';
  *size = needed;
  return 1;
}

BOOL CopyWideWithTerminator(std::u16string_view text, void* buffer, DWORD* size, DWORD& error) {
  const DWORD needed = static_cast<DWORD>((text.size() + 1) * sizeof(char16_t));
  if (buffer == nullptr || *size < needed) {
    *size = needed;
    error = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  std::memcpy(buffer, text.data(), text.size() * sizeof(char16_t));
  std::memset(static_cast<char*>(buffer) + needed - sizeof(char16_t), 0, sizeof(char16_t));
  *size = needed;
  return 1;
}

} // namespace isapi_web::host
