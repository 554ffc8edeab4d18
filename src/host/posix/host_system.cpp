#include "host/host_system.h"

#include <cerrno>

namespace isapi_web::host {

void SetCallError(DWORD code) {
  errno = static_cast<int>(code);
}

DWORD CallError() {
  return static_cast<DWORD>(errno);
}

std::filesystem::path ExecutablePath() {
  std::error_code error;
  std::filesystem::path result = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path() : result;
}

std::string_view ExtensionSuffix() {
  return ".so";
}

} // namespace isapi_web::host
