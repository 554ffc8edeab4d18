#pragma once
// The outer shell of an extension library: what runs at load and unload, and the three exports,
// which choose per call between queueing the request to the worker pool (answering
// HSE_STATUS_PENDING at once) and serving it on the host's thread.
//
// An extension's main file names its start-up code once:
//
//   ISAPI_WEB_EXTENSION_LIBRARY(StartUp)
//
// which defines the three exports and a load-time object: at load it creates GlobalApplication
// (a TISAPIApplication), makes the host check and then calls StartUp (Initialize, CreateForm,
// Run); at unload it stops the pool, then destroys the application.

#include <atomic>
#include <string_view>

#include "isapi/isapi_application.h"
#include "isapi/isapi_host_interface.h"
#include "isapi/isapi_thread_pool.h"

namespace isapi_web {

/// The worker pool: created by the first GetExtensionVersion in pool mode, destroyed by
/// TerminateExtension or at unload; null otherwise.
extern std::atomic<TISAPIThreadPool*> WorkerPool;
/// The class from which WorkerPool is constructed.
extern TISAPIThreadPoolClass WorkerPoolClass;
/// Whether the host process's executable is "httpd.exe" (any letter case): no pool then.
extern bool HostIsHttpd;

/// Whether the file part of Path (after the last "\", "/" or drive ":") is "httpd.exe",
/// ASCII letter case ignored.
bool IsHttpdExecutable(std::u16string_view Path) noexcept;

/// The library's load: GlobalApplication, the host check, the pool's settings, then StartUp.
/// A failure leaves no application, so every export answers FALSE or HSE_STATUS_ERROR.
void LoadExtensionLibrary(void (*StartUp)()) noexcept;
/// The library's unload: the pool is stopped (without an unbounded wait: the loader may hold its
/// lock), then the application is destroyed, unless a worker of any pool (also one that
/// TerminateExtension stopped without seeing it end) still runs and could reach it.
void UnloadExtensionLibrary() noexcept;

/// How long the unload waits for the workers of a pool that TerminateExtension never stopped,
/// or stopped without seeing them end.
inline constexpr std::uint32_t UnloadWorkerWait = 5000;

/// The exports' bodies. None of them ever raises.
BOOL ExtensionGetExtensionVersion(HSE_VERSION_INFO* Ver) noexcept;
DWORD ExtensionHttpExtensionProc(EXTENSION_CONTROL_BLOCK* ECB) noexcept;
BOOL ExtensionTerminateExtension(DWORD dwFlags) noexcept;

/// Runs LoadExtensionLibrary when the library is loaded and UnloadExtensionLibrary when it is
/// unloaded (one static object in the extension's main file).
class TExtensionLibraryScope {
public:
  explicit TExtensionLibraryScope(void (*StartUp)()) noexcept { LoadExtensionLibrary(StartUp); }
  ~TExtensionLibraryScope() { UnloadExtensionLibrary(); }
  TExtensionLibraryScope(const TExtensionLibraryScope&) = delete;
  TExtensionLibraryScope& operator=(const TExtensionLibraryScope&) = delete;
};

} // namespace isapi_web

/// The three exports of an extension and its load and unload; StartUp runs once at load.
#define ISAPI_WEB_EXTENSION_LIBRARY(StartUp)                                                       \
  ISAPI_EXTENSION_ENTRY ::isapi_web::BOOL ISAPI_CALL GetExtensionVersion(::isapi_web::HSE_VERSION_INFO* pVer) { \
    return ::isapi_web::ExtensionGetExtensionVersion(pVer);                                        \
  }                                                                                                \
  ISAPI_EXTENSION_ENTRY ::isapi_web::DWORD ISAPI_CALL HttpExtensionProc(                           \
      ::isapi_web::EXTENSION_CONTROL_BLOCK* pECB) {                                                \
    return ::isapi_web::ExtensionHttpExtensionProc(pECB);                                          \
  }                                                                                                \
  ISAPI_EXTENSION_ENTRY ::isapi_web::BOOL ISAPI_CALL TerminateExtension(::isapi_web::DWORD dwFlags) {           \
    return ::isapi_web::ExtensionTerminateExtension(dwFlags);                                      \
  }                                                                                                \
  static ::isapi_web::TExtensionLibraryScope IsapiWebExtensionLibrary{StartUp}
