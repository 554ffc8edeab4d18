// Threads with handles: std::thread behind a table entry that remembers when the routine ended,
// so that a set of threads can be waited for with one common time-out.

#include "platform/platform.h"

#include "platform/handle_table.h"

#include <chrono>
#include <condition_variable>
#include <thread>

#include <unistd.h>

namespace isapi_web::platform {

namespace {

struct TThreadState {
  std::mutex FLock; // guards FEnded
  std::condition_variable FEndedChanged;
  bool FEnded = false;
  std::thread FThread; // set once by StartThread, used only by CloseThreadHandle
};

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
