#pragma once
// The server variables of one request, answered from what the host read off the wire, and the
// copy into an extension's buffer with the sizes and error codes the ISAPI callers rely on.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/tls_info.h"
#include "isapi/isapi_host_interface.h"

namespace isapi_web::host {

/// Everything a request's server variables are made of; fixed before the extension is called.
struct TRequestInfo {
  std::string Method;
  std::string Protocol = "HTTP/1.1";
  std::string ScriptName;
  std::string PathInfo;
  std::string PathTranslated;
  std::string Query;
  std::string ServerName;
  std::string ServerPort;
  std::string LocalAddress;
  std::string RemoteAddress;
  std::string RemotePort;
  std::string ServerSoftware;
  std::string RawTarget; ///< the request target as sent (UNENCODED_URL)
  /// The root folder (APPL_PHYSICAL_PATH) and the extension's file (SCRIPT_TRANSLATED), which
  /// outlive the request; their texts are made only when an extension asks for them.
  const std::filesystem::path* Root = nullptr;
  const std::filesystem::path* ExtensionFile = nullptr;
  /// The request's header fields in the order sent, names as sent.
  std::vector<std::pair<std::string, std::string>> Headers;
  /// The TLS session of an HTTPS connection; null on plain HTTP.
  std::shared_ptr<const TTlsInfo> Tls;
};

/// The value of a server variable (names compared ignoring ASCII case); HTTP_X_Y is header X-Y,
/// several fields of one name joined by ", ". nullopt for an unknown name or a missing header.
std::optional<std::string> ServerVariable(const TRequestInfo& info, std::string_view name);

/// ServerVariable without a copy: a view into info, or into scratch for a value the host puts
/// together (URL, ALL_HTTP, ALL_RAW, fields of one name joined).
std::optional<std::string_view> FindServerVariable(const TRequestInfo& info, std::string_view name,
                                                   std::string& scratch);

/// Copies a variable into an extension's buffer as GetServerVariable answers: UNICODE_<name>
/// in UTF-16 (sizes in bytes), any other in bytes; FALSE with error 1413 (unknown name) or 122.
BOOL CopyServerVariable(const TRequestInfo& info, std::string_view name, void* buffer, DWORD* size,
                        DWORD& error);

/// Copies text and a NUL unit as UTF-16 into buffer (*size in bytes), as CopyWithTerminator.
BOOL CopyWideWithTerminator(std::u16string_view text, void* buffer, DWORD* size, DWORD& error);

/// The value of a request header (ignoring ASCII case), nullopt when absent.
std::optional<std::string> HeaderValue(const TRequestInfo& info, std::string_view name);

/// Copies value and a NUL into buffer: TRUE with *size the bytes written, or FALSE with error
/// 122 and *size the bytes needed when the buffer (of *size bytes) is too small or null.
BOOL CopyWithTerminator(std::string_view value, void* buffer, DWORD* size, DWORD& error);

} // namespace isapi_web::host
