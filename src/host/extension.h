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
    const TCallScope call(*this);
    return FEntryPoints.HttpExtensionProc(block);
  }
  /// Counts the calling thread as inside the extension for its lifetime (a completion function).
  class TCallScope {
  public:
    explicit TCallScope(const TExtension& extension) : FExtension(extension) {
      FExtension.FCallsInside.fetch_add(1, std::memory_order_relaxed);
    }
    ~TCallScope() { FExtension.FCallsInside.fetch_sub(1, std::memory_order_release); }
    TCallScope(const TCallScope&) = delete;
    TCallScope& operator=(const TCallScope&) = delete;

  private:
    const TExtension& FExtension;
  };
  /// The host's threads inside a call of the extension now.
  int CallsInside() const { return FCallsInside.load(std::memory_order_acquire); }
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
  mutable std::atomic<int> FCallsInside{0};
};

} // namespace isapi_web::host
