#pragma once
// One mapped extension: its library, the version it reported at start-up, and the single
// TerminateExtension call at the end.

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>

#include "host/extension_loader.h"

namespace isapi_web::host {

/// A started extension; GetExtensionVersion has answered TRUE.
class TExtension {
public:
  /// Loads the library and calls GetExtensionVersion once; null with error naming the file when
  /// loading fails, an export is missing or GetExtensionVersion answers FALSE.
  static std::unique_ptr<TExtension> Load(const std::filesystem::path& file, std::string& error);
  /// An extension already in this process (tests, and code linked into the host).
  static std::unique_ptr<TExtension> FromEntryPoints(const std::filesystem::path& name,
                                                     const TExtensionEntryPoints& entryPoints,
                                                     std::string& error);
  /// Calls TerminateExtension(HSE_TERM_MUST_UNLOAD) if nobody did, then unloads.
  ~TExtension();
  TExtension(const TExtension&) = delete;
  TExtension& operator=(const TExtension&) = delete;

  /// Calls HttpExtensionProc on the calling thread.
  DWORD HttpExtensionProc(EXTENSION_CONTROL_BLOCK* block) const {
    return FEntryPoints.HttpExtensionProc(block);
  }
  /// Calls TerminateExtension(flags) the first time; later calls do nothing and answer false.
  bool Terminate(DWORD flags);
  /// Whether Terminate has called the extension.
  bool Terminated() const { return FTerminated.load(); }

  const std::filesystem::path& File() const { return FFile; }
  const std::string& Description() const { return FDescription; }
  DWORD Version() const { return FVersion; }

private:
  TExtension(std::filesystem::path file, std::unique_ptr<TExtensionLibrary> library,
             const TExtensionEntryPoints& entryPoints)
      : FFile(std::move(file)), FLibrary(std::move(library)), FEntryPoints(entryPoints) {}
  bool Start(std::string& error);

  std::filesystem::path FFile;
  std::unique_ptr<TExtensionLibrary> FLibrary;
  TExtensionEntryPoints FEntryPoints;
  std::string FDescription;
  DWORD FVersion = 0;
  std::atomic<bool> FTerminated{false};
};

} // namespace isapi_web::host
