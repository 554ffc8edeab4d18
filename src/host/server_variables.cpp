#include "host/server_variables.h"

#include <cstring>

#include "host/host_text.h"

namespace isapi_web::host {

namespace {

// "X-Forwarded-For" -> "X_FORWARDED_FOR": how a header appears in HTTP_ variable names.
std::string VariableFormOfHeader(std::string_view name) {
  std::string result = ToUpperAscii(name);
  for (char& c : result)
    if (c == '-')
      c = '_';
  return result;
}

std::optional<std::string> HeaderByVariableName(const TRequestInfo& info, std::string_view suffix) {
  std::optional<std::string> result;
  const std::string wanted = ToUpperAscii(suffix);
  for (const auto& [name, value] : info.Headers) {
    if (VariableFormOfHeader(name) != wanted)
      continue;
    if (result) {
      *result += ", ";
      *result += value;
    } else {
      result = value;
    }
  }
  return result;
}

} // namespace

std::optional<std::string> HeaderValue(const TRequestInfo& info, std::string_view name) {
  std::optional<std::string> result;
  for (const auto& [field, value] : info.Headers) {
    if (!EqualsIgnoreCase(field, name))
      continue;
    if (result) {
      *result += ", ";
      *result += value;
    } else {
      result = value;
    }
  }
  return result;
}

std::optional<std::string> ServerVariable(const TRequestInfo& info, std::string_view name) {
  const std::string key = ToUpperAscii(name);
  if (key == "REQUEST_METHOD")
    return info.Method;
  if (key == "QUERY_STRING")
    return info.Query;
  if (key == "PATH_INFO")
    return info.PathInfo;
  if (key == "PATH_TRANSLATED")
    return info.PathTranslated;
  if (key == "SCRIPT_NAME")
    return info.ScriptName;
  if (key == "URL")
    return info.ScriptName + info.PathInfo;
  if (key == "SERVER_PROTOCOL")
    return info.Protocol;
  if (key == "SERVER_NAME")
    return info.ServerName;
  if (key == "SERVER_PORT")
    return info.ServerPort;
  if (key == "SERVER_PORT_SECURE")
    return std::string("0");
  if (key == "SERVER_SOFTWARE")
    return info.ServerSoftware;
  if (key == "REMOTE_ADDR" || key == "REMOTE_HOST")
    return info.RemoteAddress;
  if (key == "REMOTE_PORT")
    return info.RemotePort;
  if (key == "LOCAL_ADDR")
    return info.LocalAddress;
  if (key == "CONTENT_TYPE")
    return HeaderValue(info, "Content-Type").value_or("");
  if (key == "CONTENT_LENGTH")
    return HeaderValue(info, "Content-Length").value_or("0");
  if (key == "HTTPS")
    return std::string("off");
  if (key == "AUTH_TYPE" || key == "REMOTE_USER" || key == "LOGON_USER" || key == "AUTH_USER")
    return std::string();
  if (key == "GATEWAY_INTERFACE")
    return std::string("CGI/1.1");
  if (key == "ALL_HTTP") {
    std::string result;
    for (const auto& [field, value] : info.Headers)
      result += "HTTP_" + VariableFormOfHeader(field) + ":" + value + "\r\n";
    return result;
  }
  if (key == "ALL_RAW") {
    std::string result;
    for (const auto& [field, value] : info.Headers)
      result += field + ": " + value + "\r\n";
    return result;
  }
  if (key.size() > 5 && key.compare(0, 5, "HTTP_") == 0)
    return HeaderByVariableName(info, std::string_view(key).substr(5));
  return std::nullopt;
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

} // namespace isapi_web::host
