#pragma once
// What the host tests' small extensions share: the host's error code after a call, and the
// common calls in one line each.

#include <cstdio>
#include <string>

#include "isapi/isapi_host_interface.h"
#include "test_extension/call_error.h"

namespace extension_kit {

using namespace isapi_web;

/// "TRUE", or "FALSE/<error>" with the code the host set.
inline std::string Outcome(BOOL result) {
  return result ? "TRUE" : "FALSE/" + std::to_string(test_extension::LastHostError());
}

/// Calls a support function with a cleared error code and answers its Outcome.
inline std::string Support(EXTENSION_CONTROL_BLOCK* ecb, DWORD code, void* buffer = nullptr,
                           DWORD* size = nullptr, void* dataType = nullptr) {
  test_extension::ClearHostError();
  return Outcome(
      ecb->ServerSupportFunction(ecb->ConnID, code, buffer, size, static_cast<LPDWORD>(dataType)));
}

inline std::string Write(EXTENSION_CONTROL_BLOCK* ecb, const std::string& text) {
  DWORD bytes = static_cast<DWORD>(text.size());
  test_extension::ClearHostError();
  return Outcome(ecb->WriteClient(ecb->ConnID, const_cast<char*>(text.data()), &bytes, 0));
}

/// HSE_REQ_SEND_RESPONSE_HEADER_EX with the texts' own lengths.
inline std::string SendHeaderEx(EXTENSION_CONTROL_BLOCK* ecb, const std::string& status,
                                const std::string& header, bool keepConn) {
  HSE_SEND_HEADER_EX_INFO info{status.data(), header.data(), static_cast<DWORD>(status.size()),
                               static_cast<DWORD>(header.size()), keepConn ? 1 : 0};
  return Support(ecb, HSE_REQ_SEND_RESPONSE_HEADER_EX, &info);
}

inline void Say(const std::string& text) {
  std::fprintf(stderr, "extension: %s\n", text.c_str());
  std::fflush(stderr);
}

/// The value of name=value in a query string; empty when the name is not there.
inline std::string QueryValue(const char* query, const std::string& name) {
  const std::string text = query ? query : "";
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('&', start);
    if (end == std::string::npos)
      end = text.size();
    if (text.compare(start, name.size() + 1, name + "=") == 0)
      return text.substr(start + name.size() + 1, end - start - name.size() - 1);
    start = end + 1;
  }
  return "";
}

/// Bytes as hexadecimal, for values the test decodes itself (UTF-16).
inline std::string Hex(const void* data, std::size_t size) {
  std::string result;
  for (std::size_t i = 0; i < size; ++i) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", static_cast<const unsigned char*>(data)[i]);
    result += pair;
  }
  return result;
}

} // namespace extension_kit

#define EXTENSION_KIT_ENTRY_POINTS(description)                                                    \
  ISAPI_EXPORT BOOL ISAPI_CALL GetExtensionVersion(HSE_VERSION_INFO* version) {                    \
    version->dwExtensionVersion = HSE_VERSION;                                                     \
    std::snprintf(version->lpszExtensionDesc, sizeof version->lpszExtensionDesc, description);     \
    return 1;                                                                                      \
  }                                                                                                \
  ISAPI_EXPORT BOOL ISAPI_CALL TerminateExtension(DWORD) {                                         \
    return 1;                                                                                      \
  }
