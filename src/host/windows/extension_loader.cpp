#include "host/extension_loader.h"

#include <windows.h>

namespace isapi_web::host {

namespace {

std::string SystemMessage(::DWORD code) {
  char* text = nullptr;
  const ::DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string result = length > 0 ? std::string(text, length) : "error " + std::to_string(code);
  if (text != nullptr)
    ::LocalFree(text);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r'))
    result.pop_back();
  return result;
}

} // namespace

std::unique_ptr<TExtensionLibrary> TExtensionLibrary::Load(const std::filesystem::path& file,
                                                           std::string& error) {
  ::HMODULE module = ::LoadLibraryW(file.c_str());
  if (module == nullptr) {
    error = "cannot load extension " + file.string() + ": " + SystemMessage(::GetLastError());
    return nullptr;
  }
  TExtensionEntryPoints entryPoints;
  std::string missing;
  // The exports are undecorated names, exactly what IIS looks up.
  auto resolve = [&](const char* name) {
    ::FARPROC symbol = ::GetProcAddress(module, name);
    if (symbol == nullptr)
      missing += missing.empty() ? name : std::string(", ") + name;
    return reinterpret_cast<void*>(symbol);
  };
  entryPoints.GetExtensionVersion =
      reinterpret_cast<PFN_GETEXTENSIONVERSION>(resolve("GetExtensionVersion"));
  entryPoints.HttpExtensionProc =
      reinterpret_cast<PFN_HTTPEXTENSIONPROC>(resolve("HttpExtensionProc"));
  entryPoints.TerminateExtension =
      reinterpret_cast<PFN_TERMINATEEXTENSION>(resolve("TerminateExtension"));
  if (!missing.empty()) {
    error = "extension " + file.string() + " does not export " + missing;
    ::FreeLibrary(module);
    return nullptr;
  }
  return std::unique_ptr<TExtensionLibrary>(new TExtensionLibrary(module, entryPoints));
}

TExtensionLibrary::~TExtensionLibrary() {
  ::FreeLibrary(static_cast<::HMODULE>(FHandle));
}

} // namespace isapi_web::host
