#include "host/server_variables.h"

#include <cstring>

#include "host/host_text.h"
#include "runtime/text.h"

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

// HEADER_<name>: the header by its own name, '-' and '_' alike, ignoring case.
bool HeaderHasRawForm(std::string_view header, std::string_view name) {
  if (header.size() != name.size())
    return false;
  for (std::size_t i = 0; i < header.size(); ++i) {
    const char h = header[i] == '-' ? '_' : UpperAscii(header[i]);
    const char n = name[i] == '-' ? '_' : UpperAscii(name[i]);
    if (h != n)
      return false;
  }
  return true;
}

// The variables of what this host never does (authentication): known, and empty as IIS answers
// them for an anonymous request.
constexpr std::string_view EmptyVariables[] = {"AUTH_TYPE",   "AUTH_USER",  "AUTH_PASSWORD",
                                               "REMOTE_USER", "LOGON_USER", "UNMAPPED_REMOTE_USER"};

// The TLS variables: empty on plain HTTP, as IIS answers them there.
constexpr std::string_view TlsVariables[] = {
    "HTTPS_KEYSIZE",      "HTTPS_SECRETKEYSIZE", "HTTPS_SERVER_ISSUER", "HTTPS_SERVER_SUBJECT",
    "CERT_COOKIE",        "CERT_FLAGS",          "CERT_ISSUER",         "CERT_KEYSIZE",
    "CERT_SECRETKEYSIZE", "CERT_SERIALNUMBER",   "CERT_SERVER_ISSUER",  "CERT_SERVER_SUBJECT",
    "CERT_SUBJECT"};

// A TLS variable of an HTTPS request; nullopt for a name that is none.
std::optional<std::string_view> FindTlsVariable(const TTlsInfo& tls, std::string_view name,
                                                std::string& scratch) {
  if (IsVariable(name, "HTTPS_KEYSIZE") || IsVariable(name, "CERT_KEYSIZE"))
    return scratch = std::to_string(tls.KeySize);
  if (IsVariable(name, "HTTPS_SECRETKEYSIZE") || IsVariable(name, "CERT_SECRETKEYSIZE"))
    return scratch = std::to_string(tls.SecretKeySize);
  if (IsVariable(name, "HTTPS_SERVER_ISSUER") || IsVariable(name, "CERT_SERVER_ISSUER"))
    return tls.ServerIssuer;
  if (IsVariable(name, "HTTPS_SERVER_SUBJECT") || IsVariable(name, "CERT_SERVER_SUBJECT"))
    return tls.ServerSubject;
  if (IsVariable(name, "CERT_ISSUER"))
    return tls.ClientIssuer;
  if (IsVariable(name, "CERT_SUBJECT"))
    return tls.ClientSubject;
  if (IsVariable(name, "CERT_SERIALNUMBER"))
    return tls.ClientSerialNumber;
  if (IsVariable(name, "CERT_COOKIE"))
    return tls.ClientCookie;
  if (IsVariable(name, "CERT_FLAGS"))
    return scratch = std::to_string(tls.ClientFlags);
  return std::nullopt;
}

// The site and application IIS would run the extension in: the first site's root application.
constexpr std::pair<std::string_view, std::string_view> FixedVariables[] = {
    {"SERVER_PORT_SECURE", "0"},
    {"HTTPS", "off"},
    {"GATEWAY_INTERFACE", "CGI/1.1"},
    {"APPL_MD_PATH", "/LM/W3SVC/1/ROOT"},
    {"INSTANCE_ID", "1"},
    {"INSTANCE_META_PATH", "/LM/W3SVC/1"},
    {"INSTANCE_NAME", "Default Web Site"},
    {"APP_POOL_ID", "DefaultAppPool"},
    {"SSI_EXEC_DISABLED", "0"}};

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
  // IIS's own variables that look like headers come first.
  if (IsVariable(name, "HTTP_VERSION"))
    return info.Protocol;
  if (IsVariable(name, "HTTP_URL"))
    return info.RawTarget;
  if (IsVariable(name, "HTTP_METHOD"))
    return info.Method;
  if (name.size() > 7 && IsVariable(name.substr(0, 7), "HEADER_"))
    return JoinedHeader(info, scratch, [raw = name.substr(7)](std::string_view field) {
      return HeaderHasRawForm(field, raw);
    });
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
  if (IsVariable(name, "SERVER_SOFTWARE"))
    return info.ServerSoftware;
  if (IsVariable(name, "REMOTE_ADDR") || IsVariable(name, "REMOTE_HOST"))
    return info.RemoteAddress;
  if (IsVariable(name, "REMOTE_PORT"))
    return info.RemotePort;
  if (IsVariable(name, "LOCAL_ADDR") || IsVariable(name, "SERVER_ADDR"))
    return info.LocalAddress;
  if (IsVariable(name, "URL_PATH_INFO"))
    return info.PathInfo;
  if (IsVariable(name, "UNENCODED_URL"))
    return info.RawTarget;
  if (IsVariable(name, "APPL_PHYSICAL_PATH")) {
    // In the system's separators, ending in one; empty without a root.
    scratch.clear();
    if (info.Root)
      scratch = (*info.Root / std::filesystem::path()).make_preferred().string();
    return scratch;
  }
  if (IsVariable(name, "SCRIPT_TRANSLATED")) {
    scratch.clear();
    if (info.ExtensionFile)
      scratch = std::filesystem::path(*info.ExtensionFile).make_preferred().string();
    return scratch;
  }
  if (info.Tls) {
    if (IsVariable(name, "HTTPS"))
      return std::string_view("on");
    if (IsVariable(name, "SERVER_PORT_SECURE"))
      return std::string_view("1");
    if (const std::optional<std::string_view> value = FindTlsVariable(*info.Tls, name, scratch))
      return value;
  } else {
    for (const std::string_view empty : TlsVariables)
      if (IsVariable(name, empty))
        return std::string_view();
  }
  if (IsVariable(name, "CACHE_URL")) {
    scratch = (info.Tls ? "https://" : "http://") + info.ServerName + ":" + info.ServerPort +
              info.ScriptName + info.PathInfo;
    return scratch;
  }
  for (const auto& [fixed, value] : FixedVariables)
    if (IsVariable(name, fixed))
      return value;
  for (const std::string_view empty : EmptyVariables)
    if (IsVariable(name, empty))
      return std::string_view();
  if (IsVariable(name, "CONTENT_TYPE"))
    return FindHeader(info, "Content-Type", scratch).value_or("");
  if (IsVariable(name, "CONTENT_LENGTH"))
    return FindHeader(info, "Content-Length", scratch).value_or("0");
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
  if (!value.empty()) // an empty view may have no data pointer at all
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
  if (!text.empty())
    std::memcpy(buffer, text.data(), text.size() * sizeof(char16_t));
  std::memset(static_cast<char*>(buffer) + needed - sizeof(char16_t), 0, sizeof(char16_t));
  *size = needed;
  return 1;
}

BOOL CopyServerVariable(const TRequestInfo& info, std::string_view name, void* buffer, DWORD* size,
                        DWORD& error) {
  std::string scratch;
  // UNICODE_<name>: the variable's text, read as UTF-8, in UTF-16; not for headers.
  const bool wide = name.size() > 8 && IsVariable(name.substr(0, 8), "UNICODE_");
  const std::string_view base = wide ? name.substr(8) : name;
  std::optional<std::string_view> value;
  if (!wide || !(StartsWithIgnoreCase(base, "HTTP_") || StartsWithIgnoreCase(base, "HEADER_")))
    value = FindServerVariable(info, base, scratch);
  if (!value) {
    error = ERROR_INVALID_INDEX;
    return 0;
  }
  return wide ? CopyWideWithTerminator(Utf8ToWide(*value), buffer, size, error)
              : CopyWithTerminator(*value, buffer, size, error);
}

} // namespace isapi_web::host
