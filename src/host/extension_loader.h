#pragma once
// A loaded extension library and its three exports; LoadLibrary on Windows, dlopen on POSIX.

#include <filesystem>
#include <memory>
#include <string>

#include "isapi/isapi_host_interface.h"

namespace isapi_web::host {

/// The three entry points an ISAPI extension exports.
struct TExtensionEntryPoints {
  PFN_GETEXTENSIONVERSION GetExtensionVersion = nullptr;
  PFN_HTTPEXTENSIONPROC HttpExtensionProc = nullptr;
  PFN_TERMINATEEXTENSION TerminateExtension = nullptr;
};

/// A library kept loaded for the object's lifetime.
class TExtensionLibrary {
public:
  /// Loads file and resolves every export; null with error naming the file and what is missing.
  static std::unique_ptr<TExtensionLibrary> Load(const std::filesystem::path& file,
                                                 std::string& error);
  ~TExtensionLibrary();
  TExtensionLibrary(const TExtensionLibrary&) = delete;
  TExtensionLibrary& operator=(const TExtensionLibrary&) = delete;

  const TExtensionEntryPoints& EntryPoints() const { return FEntryPoints; }

private:
  TExtensionLibrary(void* handle, const TExtensionEntryPoints& entryPoints)
      : FHandle(handle), FEntryPoints(entryPoints) {}

  void* FHandle;
  TExtensionEntryPoints FEntryPoints;
};

} // namespace isapi_web::host
