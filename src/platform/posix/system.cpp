#include "platform/platform.h"

#include "runtime/text.h"

#include <cstring>
#include <string>

#include <unistd.h>

namespace isapi_web::platform {

std::u16string HostExecutablePath() {
  std::string path(4096, '\0');
  for (;;) {
    const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
    if (length < 0)
      return {};
    if (static_cast<std::size_t>(length) < path.size()) {
      path.resize(static_cast<std::size_t>(length));
      return Utf8ToWide(path);
    }
    // readlink cuts silently; a full buffer may mean a longer path.
    path.resize(path.size() * 2);
  }
}

// The layer provides completion ports, so this system counts as the NT family and the worker
// pool runs here too.
std::uint32_t PlatformId() {
  return PlatformWin32Nt;
}

bool SameLocaleText(const char* a, const char* b) {
  if (a == nullptr || b == nullptr)
    return false;
  return std::strcmp(a, b) == 0;
}

bool ComInitialize(std::uint32_t /*flags*/) {
  return true;
}

void ComUninitialize() {}

} // namespace isapi_web::platform
