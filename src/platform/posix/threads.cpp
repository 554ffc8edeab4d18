// Threads with handles: std::thread behind a table entry that remembers when the routine ended,
// so that a set of threads can be waited for with one common time-out.

#include "platform/platform.h"

#include "platform/handle_table.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <thread>

#include <unistd.h>

namespace isapi_web::platform {

namespace {

struct TThreadState {
  std::mutex FLock; // guards FHolding and FEnded
  std::condition_variable FEndedChanged;
  bool FHolding = false;
  bool FEnded = false;
  std::thread FThread; // set once by StartThread, used only by CloseThreadHandle
};

// A thread-local object with a destructor of this library's makes the C runtime keep the library
// mapped until the thread has run that destructor, the last of its code the thread runs: a host
// that unloads the library while the thread ends (or forgets to stop it first) leaves it loaded
// until the last such thread is out, and the library's finalisation waits until then as well.
struct TLibraryHold {
  TLibraryHold() = default;
  TLibraryHold(const TLibraryHold&) = delete;
  TLibraryHold& operator=(const TLibraryHold&) = delete;
  ~TLibraryHold() { Released.store(true, std::memory_order_relaxed); }
  std::atomic<bool> Released{false};
};

void HoldLibraryForThisThread() {
  thread_local TLibraryHold hold;
  (void)hold.Released.load(std::memory_order_relaxed);
}

using TThreadTable = detail::THandleTable<TThreadState>;

} // namespace

THandle StartThread(std::function<void()> routine) {
  std::shared_ptr<TThreadState> state;
  THandle handle = NoHandle;
  try {
    state = std::make_shared<TThreadState>();
    handle = TThreadTable::Instance().Add(state);
  } catch (...) {
    return NoHandle;
  }
  try {
    // The thread never touches FThread, so storing it after the thread has started is safe.
    state->FThread = std::thread([state, routine = std::move(routine)] {
      HoldLibraryForThisThread();
      {
        std::lock_guard<std::mutex> lock(state->FLock);
        state->FHolding = true;
      }
      state->FEndedChanged.notify_all();
      try {
        routine();
      } catch (...) {
        // A routine's failure ends its thread only.
      }
      {
        std::lock_guard<std::mutex> lock(state->FLock);
        state->FEnded = true;
      }
      state->FEndedChanged.notify_all();
    });
  } catch (...) {
    TThreadTable::Instance().Remove(handle);
    return NoHandle;
  }
  // Until the thread holds the library, an unload could slip in before its first instruction.
  std::unique_lock<std::mutex> lock(state->FLock);
  state->FEndedChanged.wait(lock, [&] { return state->FHolding; });
  return handle;
}

bool WaitForThreads(std::span<const THandle> threads, std::uint32_t timeout) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
  for (const THandle thread : threads) {
    const std::shared_ptr<TThreadState> state = TThreadTable::Instance().Find(thread);
    if (!state)
      return false;
    std::unique_lock<std::mutex> lock(state->FLock);
    const auto ended = [&] { return state->FEnded; };
    if (timeout == InfiniteWait) {
      state->FEndedChanged.wait(lock, ended);
    } else if (!state->FEndedChanged.wait_until(lock, deadline, ended)) {
      return false;
    }
  }
  return true;
}

bool CloseThreadHandle(THandle thread) {
  const std::shared_ptr<TThreadState> state = TThreadTable::Instance().Remove(thread);
  if (!state)
    return false;
  bool ended = false;
  {
    std::lock_guard<std::mutex> lock(state->FLock);
    ended = state->FEnded;
  }
  // A thread that has finished its routine is joined (it is only returning); one that is still
  // running, or the caller itself, is let go.
  if (ended && state->FThread.get_id() != std::this_thread::get_id()) {
    state->FThread.join();
  } else {
    state->FThread.detach();
  }
  return true;
}

std::uint64_t CurrentThreadId() {
  return static_cast<std::uint64_t>(::gettid());
}

} // namespace isapi_web::platform
