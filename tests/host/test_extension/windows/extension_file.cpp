#include "test_extension/extension_file.h"

#include <windows.h>

namespace test_extension {

isapi_web::HANDLE OpenExtensionFile(const char* path) {
  const ::HANDLE file = ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
  return file == INVALID_HANDLE_VALUE ? nullptr : file;
}

void CloseExtensionFile(isapi_web::HANDLE file) {
  ::CloseHandle(file);
}

} // namespace test_extension
