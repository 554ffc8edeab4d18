#include <windows.h>

#include <atomic>

#include "platform/platform.h"

namespace isapi_web::platform {

namespace {
std::atomic<void (*)()> UnloadHook{nullptr};
} // namespace

void SetLibraryUnloadHook(void (*hook)()) noexcept {
  UnloadHook.store(hook);
}

} // namespace isapi_web::platform

// The library's entry: the C runtime calls it before it destroys the library's static objects at
// process detach. Linked only into images that set an unload hook (this object comes with
// SetLibraryUnloadHook).
extern "C" BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD reason, LPVOID /*reserved*/) {
  if (reason == DLL_PROCESS_DETACH) {
    if (void (*const hook)() = isapi_web::platform::UnloadHook.exchange(nullptr))
      hook();
  }
  return TRUE;
}
