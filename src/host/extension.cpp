#include "host/extension.h"

#include <cstring>

namespace isapi_web::host {

std::unique_ptr<TExtension> TExtension::Load(const std::filesystem::path& file,
                                             std::string& error) {
  std::unique_ptr<TExtensionLibrary> library = TExtensionLibrary::Load(file, error);
  if (!library)
    return nullptr;
  const TExtensionEntryPoints entryPoints = library->EntryPoints();
  std::unique_ptr<TExtension> extension(new TExtension(file, std::move(library), entryPoints));
  if (!extension->Start(error))
    return nullptr;
  return extension;
}

std::unique_ptr<TExtension> TExtension::FromEntryPoints(const std::filesystem::path& name,
                                                        const TExtensionEntryPoints& entryPoints,
                                                        std::string& error) {
  if (!entryPoints.GetExtensionVersion || !entryPoints.HttpExtensionProc ||
      !entryPoints.TerminateExtension) {
    error = "extension " + name.string() + " lacks an entry point";
    return nullptr;
  }
  std::unique_ptr<TExtension> extension(new TExtension(name, nullptr, entryPoints));
  if (!extension->Start(error))
    return nullptr;
  return extension;
}

bool TExtension::Start(std::string& error) {
  HSE_VERSION_INFO version{};
  if (!FEntryPoints.GetExtensionVersion(&version)) {
    error = "extension " + FFile.string() + ": GetExtensionVersion answered FALSE";
    // It refused to start, so it is not terminated either; the library unloads with us.
    FTerminated = true;
    return false;
  }
  FVersion = version.dwExtensionVersion;
  FDescription.assign(version.lpszExtensionDesc,
                      strnlen(version.lpszExtensionDesc, sizeof version.lpszExtensionDesc));
  return true;
}

bool TExtension::Terminate(DWORD flags) {
  if (FTerminated.exchange(true))
    return false;
  return FEntryPoints.TerminateExtension(flags) != 0;
}

TExtension::~TExtension() {
  Terminate(HSE_TERM_MUST_UNLOAD);
}

} // namespace isapi_web::host
