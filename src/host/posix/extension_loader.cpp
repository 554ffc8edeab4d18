#include "host/extension_loader.h"

#include <dlfcn.h>

namespace isapi_web::host {

std::unique_ptr<TExtensionLibrary> TExtensionLibrary::Load(const std::filesystem::path& file,
                                                           std::string& error) {
  // RTLD_LOCAL keeps two extensions' symbols apart; RTLD_NOW reports unresolved ones here.
  void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = ::dlerror();
    error = "cannot load extension " + file.string() + ": " + (reason ? reason : "unknown error");
    return nullptr;
  }
  TExtensionEntryPoints entryPoints;
  std::string missing;
  auto resolve = [&](const char* name) {
    void* symbol = ::dlsym(handle, name);
    if (symbol == nullptr)
      missing += missing.empty() ? name : std::string(", ") + name;
    return symbol;
  };
  entryPoints.GetExtensionVersion =
      reinterpret_cast<PFN_GETEXTENSIONVERSION>(resolve("GetExtensionVersion"));
  entryPoints.HttpExtensionProc =
      reinterpret_cast<PFN_HTTPEXTENSIONPROC>(resolve("HttpExtensionProc"));
  entryPoints.TerminateExtension =
      reinterpret_cast<PFN_TERMINATEEXTENSION>(resolve("TerminateExtension"));
  if (!missing.empty()) {
    error = "extension " + file.string() + " does not export " + missing;
    ::dlclose(handle);
    return nullptr;
  }
  return std::unique_ptr<TExtensionLibrary>(new TExtensionLibrary(handle, entryPoints));
}

TExtensionLibrary::~TExtensionLibrary() {
  ::dlclose(FHandle);
}

} // namespace isapi_web::host
