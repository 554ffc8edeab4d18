#include "platform/platform.h"

#include <windows.h>

#include <objbase.h>

namespace isapi_web::platform {

std::u16string HostExecutablePath() {
  wchar_t buffer[4096];
  const DWORD length = ::GetModuleFileNameW(nullptr, buffer, 4096);
  return std::u16string(reinterpret_cast<const char16_t*>(buffer), length);
}

std::uint32_t PlatformId() {
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof(info);
  if (::GetVersionExW(&info) == FALSE)
    return 0;
  return info.dwPlatformId;
}

bool SameLocaleText(const char* a, const char* b) {
  if (a == nullptr || b == nullptr)
    return false;
  return ::CompareStringA(1024, 0, a, -1, b, -1) == CSTR_EQUAL;
}

bool ComInitialize(std::uint32_t flags) {
  return SUCCEEDED(::CoInitializeEx(nullptr, flags));
}

void ComUninitialize() {
  ::CoUninitialize();
}

} // namespace isapi_web::platform
