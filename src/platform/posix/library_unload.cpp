#include <atomic>

#include "platform/platform.h"

namespace isapi_web::platform {

namespace {

std::atomic<void (*)()> UnloadHook{nullptr};

// A destructor function runs when the library is unloaded, before the C++ runtime destroys the
// library's static objects (those go with __cxa_finalize, which runs after the functions listed
// in the image's finalisation array).
[[gnu::destructor]] void RunUnloadHook() {
  if (void (*const hook)() = UnloadHook.exchange(nullptr))
    hook();
}

} // namespace

void SetLibraryUnloadHook(void (*hook)()) noexcept {
  UnloadHook.store(hook);
}

} // namespace isapi_web::platform
