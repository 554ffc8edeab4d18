// The extension of the host's server-variable tests: /dump lists every variable IIS documents
// for an extension, each with its value or the host's error, and the UTF-16 forms in hex.

#include <algorithm>
#include <cstring>

#include "extension_kit.h"

using namespace extension_kit;

namespace {

// Every variable IIS documents for an extension, and the path ones asked again as UNICODE_.
constexpr const char* Documented =
    "ALL_HTTP ALL_RAW APPL_MD_PATH APPL_PHYSICAL_PATH APP_POOL_ID AUTH_PASSWORD AUTH_TYPE "
    "AUTH_USER CACHE_URL CERT_COOKIE CERT_FLAGS CERT_ISSUER CERT_KEYSIZE CERT_SECRETKEYSIZE "
    "CERT_SERIALNUMBER CERT_SERVER_ISSUER CERT_SERVER_SUBJECT CERT_SUBJECT CONTENT_LENGTH "
    "CONTENT_TYPE GATEWAY_INTERFACE HTTPS HTTPS_KEYSIZE HTTPS_SECRETKEYSIZE HTTPS_SERVER_ISSUER "
    "HTTPS_SERVER_SUBJECT HTTP_METHOD HTTP_URL HTTP_VERSION INSTANCE_ID INSTANCE_META_PATH "
    "INSTANCE_NAME LOCAL_ADDR LOGON_USER PATH_INFO PATH_TRANSLATED QUERY_STRING REMOTE_ADDR "
    "REMOTE_HOST REMOTE_PORT REMOTE_USER REQUEST_METHOD SCRIPT_NAME SCRIPT_TRANSLATED SERVER_ADDR "
    "SERVER_NAME SERVER_PORT SERVER_PORT_SECURE SERVER_PROTOCOL SERVER_SOFTWARE SSI_EXEC_DISABLED "
    "UNENCODED_URL UNMAPPED_REMOTE_USER URL URL_PATH_INFO HEADER_X-Test-Header "
    "HEADER_x_test_header HTTP_X_TEST_HEADER";
constexpr const char* PathVariables = "APPL_PHYSICAL_PATH PATH_INFO PATH_TRANSLATED SCRIPT_NAME "
                                      "SCRIPT_TRANSLATED URL QUERY_STRING CACHE_URL REQUEST_METHOD "
                                      "HTTP_X_TEST_HEADER";

std::string Variable(EXTENSION_CONTROL_BLOCK* ecb, const char* name, bool wide) {
  char buffer[8192];
  DWORD size = sizeof buffer;
  test_extension::ClearHostError();
  const BOOL result = ecb->GetServerVariable(ecb->ConnID, const_cast<char*>(name), buffer, &size);
  if (!result)
    return Outcome(result);
  if (!wide) {
    std::string value(buffer, strnlen(buffer, sizeof buffer));
    for (char& c : value)
      if (c == '\r' || c == '\n')
        c = '|';
    return value + (size == value.size() + 1 ? "" : " SIZE-MISMATCH");
  }
  // UTF-16 with its NUL unit: the size counts bytes.
  std::size_t units = 0;
  while (reinterpret_cast<const WCHAR*>(buffer)[units] != 0)
    ++units;
  return Hex(buffer, units * 2) + (size == (units + 1) * 2 ? "" : " SIZE-MISMATCH");
}

DWORD Dump(EXTENSION_CONTROL_BLOCK* ecb) {
  std::string report;
  for (const bool wide : {false, true}) {
    std::string names = wide ? PathVariables : Documented;
    for (std::size_t start = 0, end = 0; start < names.size(); start = end + 1) {
      end = std::min(names.find(' ', start), names.size());
      const std::string name = (wide ? "UNICODE_" : "") + names.substr(start, end - start);
      report += name + "=" + Variable(ecb, name.c_str(), wide) + "\n";
    }
  }
  char small[4];
  DWORD size = sizeof small;
  test_extension::ClearHostError();
  report +=
      "unicode-small=" +
      Outcome(ecb->GetServerVariable(ecb->ConnID, const_cast<char*>("UNICODE_URL"), small, &size));
  report += " needed=" + std::to_string(size) + "\n";
  SendHeaderEx(ecb, "200 OK", "Content-Type: text/plain; charset=utf-8\r\n\r\n", true);
  Write(ecb, report);
  return HSE_STATUS_SUCCESS;
}

} // namespace

EXTENSION_KIT_ENTRY_POINTS("isapi-host server-variable test extension")

ISAPI_EXPORT DWORD ISAPI_CALL HttpExtensionProc(EXTENSION_CONTROL_BLOCK* ecb) {
  return Dump(ecb);
}
