#include "host/host_system.h"

#include <windows.h>

#include <vector>

namespace isapi_web::host {

void SetCallError(DWORD code) {
  ::SetLastError(code);
}

DWORD CallError() {
  return ::GetLastError();
}

std::filesystem::path ExecutablePath() {
  std::vector<wchar_t> buffer(MAX_PATH);
  while (true) {
    const ::DWORD length =
        ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<::DWORD>(buffer.size()));
    if (length == 0)
      return {};
    if (length < buffer.size())
      return std::filesystem::path(std::wstring(buffer.data(), length));
    buffer.resize(buffer.size() * 2);
  }
}

void PrepareProcessHeap() {
  // Windows serves every thread from the one process heap already: nothing to bound.
}

std::string_view ExtensionSuffix() {
  return ".dll";
}

} // namespace isapi_web::host
