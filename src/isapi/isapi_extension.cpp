#include "isapi/isapi_extension.h"

#include "platform/platform.h"
#include "runtime/text.h"

namespace isapi_web {

std::atomic<TISAPIThreadPool*> WorkerPool{nullptr};
TISAPIThreadPoolClass WorkerPoolClass = &TISAPIThreadPool::Create;
bool HostIsHttpd = false;

namespace {

// TerminateExtension's answer in pool mode: TRUE with every bit set.
constexpr BOOL PoolTerminated = static_cast<BOOL>(0xFFFFFFFFu);

// Whether the system has completion ports (the NT family); asked once, at load.
bool NtFamily = false;

// The pool when this call runs in pool mode, else null.
TISAPIThreadPool* PoolForCall() noexcept {
  if (HostIsHttpd || !NtFamily) {
    return nullptr;
  }
  return WorkerPool.load(std::memory_order_acquire);
}

void DestroyPool(TISAPIThreadPool* pool) noexcept {
  try {
    delete pool;
  } catch (...) {
  }
}

} // namespace

bool IsHttpdExecutable(std::u16string_view Path) noexcept {
  const std::size_t cut = Path.find_last_of(u"\\/:");
  const std::u16string_view name = cut == std::u16string_view::npos ? Path : Path.substr(cut + 1);
  return SameTextAscii(name, std::u16string_view(u"httpd.exe"));
}

void LoadExtensionLibrary(void (*StartUp)()) noexcept {
  try {
    SetIsLibrary(true);
    // Unloading must begin before the library's static objects go, which workers still use.
    platform::SetLibraryUnloadHook(&UnloadExtensionLibrary);
    GlobalApplication = new TISAPIApplication(nullptr);
    HostIsHttpd = IsHttpdExecutable(platform::HostExecutablePath());
    NtFamily = platform::PlatformId() == platform::PlatformWin32Nt;
    WorkerPoolClass = &TISAPIThreadPool::Create;
    PoolThreadCount = 25;
    PoolRequestProc = &AppHttpExtensionProc;
    CoInitFlags = platform::ComMultithreaded;
    if (StartUp != nullptr) {
      StartUp();
    }
  } catch (...) {
    // An extension that cannot start must not take the host down with it: without an
    // application every export answers as failed.
    FreeGlobalApplication();
  }
}

void UnloadExtensionLibrary() noexcept {
  // The unload hook runs it first; the load-time object's destructor finds nothing left to do.
  static std::atomic<bool> unloaded{false};
  if (unloaded.exchange(true)) {
    return;
  }
  bool workersGone = true;
  if (TISAPIThreadPool* pool = WorkerPool.exchange(nullptr)) {
    // Worker threads hold the library, so the unload comes here with workers still running
    // only at process exit: on Windows the system has ended them already and nothing is waited
    // for; elsewhere they are asked to stop behind what is queued and waited for within a
    // bound.
    if (!pool->ThreadsEnded()) {
      workersGone = pool->StopPoolForUnload(UnloadWorkerWait);
    }
    if (workersGone) {
      DestroyPool(pool);
    }
  }
  // Workers of a pool that TerminateExtension stopped without seeing them end may still serve.
  if (workersGone && RunningPoolWorkers() != 0) {
    workersGone = WaitForPoolWorkers(0, UnloadWorkerWait);
  }
  // A worker still serving would reach a destroyed application; it is left to the process, with
  // the entry it serves through.
  if (workersGone) {
    PoolRequestProc = nullptr;
    try {
      CallDllProc(0);
    } catch (...) {
    }
    FreeGlobalApplication();
    // Nothing of the layer runs any more, and the library goes: its tables go with it.
    platform::ReleaseProcessTables();
  }
}

BOOL ExtensionGetExtensionVersion(HSE_VERSION_INFO* Ver) noexcept {
  try {
    if (!HostIsHttpd && NtFamily && WorkerPool.load(std::memory_order_acquire) == nullptr &&
        GlobalApplication != nullptr) {
      std::unique_ptr<TISAPIThreadPool> pool = WorkerPoolClass(false);
      TISAPIThreadPool* expected = nullptr;
      if (WorkerPool.compare_exchange_strong(expected, pool.get())) {
        (void)pool.release();
      }
    }
  } catch (...) {
    // Without a pool every request is served directly.
  }
  return AppGetExtensionVersion(Ver);
}

DWORD ExtensionHttpExtensionProc(EXTENSION_CONTROL_BLOCK* ECB) noexcept {
  if (TISAPIThreadPool* pool = PoolForCall()) {
    try {
      if (pool->RequestQueue() != platform::NoHandle) {
        pool->StartPool();
      }
      return pool->PostRequest(ECB) ? HSE_STATUS_PENDING : HSE_STATUS_ERROR;
    } catch (...) {
      return HSE_STATUS_ERROR;
    }
  }
  return AppHttpExtensionProc(ECB);
}

BOOL ExtensionTerminateExtension(DWORD dwFlags) noexcept {
  if (PoolForCall() != nullptr) {
    if (TISAPIThreadPool* pool = WorkerPool.exchange(nullptr)) {
      DestroyPool(pool);
      return PoolTerminated;
    }
  }
  return AppTerminateExtension(dwFlags);
}

} // namespace isapi_web
