// Raw resources are RCDATA entries of the image (DLL or EXE) that contains this code, which is
// where iw_embed_resources puts them; the host's executable is not searched.

#include "platform/platform.h"

#include <windows.h>

#include <string>

namespace isapi_web::platform {

namespace {

HMODULE OwnModule() {
  HMODULE module = nullptr;
  ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&OwnModule), &module);
  return module;
}

} // namespace

std::optional<std::string_view> FindRawResource(std::u16string_view name) {
  const HMODULE module = OwnModule();
  if (module == nullptr || name.empty())
    return std::nullopt;
  // A name is a NUL-terminated text; one holding a NUL cannot name a resource.
  if (name.find(u'\0') != std::u16string_view::npos)
    return std::nullopt;
  const std::wstring text(name.begin(), name.end());
  const HRSRC info = ::FindResourceW(module, text.c_str(), MAKEINTRESOURCEW(10) /* RT_RCDATA */);
  if (info == nullptr)
    return std::nullopt;
  const HGLOBAL loaded = ::LoadResource(module, info);
  if (loaded == nullptr)
    return std::nullopt;
  const void* data = ::LockResource(loaded);
  const DWORD size = ::SizeofResource(module, info);
  if (data == nullptr && size != 0)
    return std::nullopt;
  return std::string_view(static_cast<const char*>(data), size);
}

} // namespace isapi_web::platform
