#include "platform/platform.h"

#include <windows.h>

#include <process.h>

#include <algorithm>
#include <new>
#include <vector>

namespace isapi_web::platform {

namespace {

// What a thread is given: its routine and a reference on the module its code lives in.
struct TThreadStart {
  std::function<void()> Routine;
  HMODULE Module = nullptr;
};

// _beginthreadex (rather than CreateThread) sets up the C runtime's per-thread state as well;
// the runtime library frees it again when the thread detaches from it.
unsigned __stdcall RunThread(void* parameter) {
  auto* start = static_cast<TThreadStart*>(parameter);
  try {
    start->Routine();
  } catch (...) {
    // A routine's failure ends its thread only.
  }
  const HMODULE module = start->Module;
  delete start;
  // The module reference is dropped by the system on the way out, so no instruction of this
  // library runs after it: a host that unloads the library while the thread ends (or forgets to
  // stop it first) leaves it mapped until the last such thread is out.
  ::FreeLibraryAndExitThread(module, 0);
}

} // namespace

THandle StartThread(std::function<void()> routine) {
  auto* start = new (std::nothrow) TThreadStart{std::move(routine), nullptr};
  if (start == nullptr)
    return NoHandle;
  // Taken on the starting thread, before the new one runs: unloading cannot slip in between.
  if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&RunThread), &start->Module)) {
    delete start;
    return NoHandle;
  }
  const std::uintptr_t thread = ::_beginthreadex(nullptr, 0, &RunThread, start, 0, nullptr);
  if (thread == 0) {
    ::FreeLibrary(start->Module);
    delete start;
    return NoHandle;
  }
  return static_cast<THandle>(thread);
}

bool WaitForThreads(std::span<const THandle> threads, std::uint32_t timeout) {
  // WaitForMultipleObjects takes at most 64 handles; larger sets are waited for in slices that
  // share the one time-out.
  const ULONGLONG start = ::GetTickCount64();
  for (std::size_t first = 0; first < threads.size(); first += MAXIMUM_WAIT_OBJECTS) {
    const std::size_t count = std::min<std::size_t>(MAXIMUM_WAIT_OBJECTS, threads.size() - first);
    std::vector<HANDLE> handles(count);
    for (std::size_t i = 0; i < count; ++i) {
      // The all-bits-set value is the process's pseudo-handle: waiting on it would never end.
      const THandle thread = threads[first + i];
      if (thread == NoHandle || thread == InvalidHandleValue)
        return false;
      handles[i] = reinterpret_cast<HANDLE>(thread);
    }
    DWORD remaining = INFINITE;
    if (timeout != InfiniteWait) {
      const ULONGLONG elapsed = ::GetTickCount64() - start;
      remaining = elapsed >= timeout ? 0 : static_cast<DWORD>(timeout - elapsed);
    }
    const DWORD result =
        ::WaitForMultipleObjects(static_cast<DWORD>(count), handles.data(), TRUE, remaining);
    if (result >= WAIT_OBJECT_0 + count)
      return false;
  }
  return true;
}

bool CloseThreadHandle(THandle thread) {
  return thread != NoHandle && thread != InvalidHandleValue &&
         ::CloseHandle(reinterpret_cast<HANDLE>(thread)) != FALSE;
}

std::uint64_t CurrentThreadId() {
  return ::GetCurrentThreadId();
}

} // namespace isapi_web::platform
