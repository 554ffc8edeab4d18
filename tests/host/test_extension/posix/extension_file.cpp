#include "test_extension/extension_file.h"

#include <cstdint>

#include <fcntl.h>
#include <unistd.h>

namespace test_extension {

isapi_web::HANDLE OpenExtensionFile(const char* path) {
  const int descriptor = ::open(path, O_RDONLY | O_CLOEXEC);
  return descriptor < 0 ? nullptr
                        : reinterpret_cast<isapi_web::HANDLE>(static_cast<std::intptr_t>(descriptor));
}

void CloseExtensionFile(isapi_web::HANDLE file) {
  ::close(static_cast<int>(reinterpret_cast<std::intptr_t>(file)));
}

} // namespace test_extension
