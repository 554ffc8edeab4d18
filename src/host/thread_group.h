#pragma once
// The threads that run the network loops and call extensions. Each lane is one loop, run by one
// thread while its extension calls are quick. A call that blocks holds its thread; when every
// thread of a lane has been inside the same extension call for a whole watch interval, the
// lane gets one more thread (the group stays within its maximum), as IIS grows its pool.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace isapi_web::host {

/// Marks the calling thread as inside an extension for its lifetime; free outside a group.
class TExtensionCallScope {
public:
  TExtensionCallScope();
  ~TExtensionCallScope();
  TExtensionCallScope(const TExtensionCallScope&) = delete;
  TExtensionCallScope& operator=(const TExtensionCallScope&) = delete;
};

/// Threads in lanes; every thread of a lane runs the lane's body (for instance its loop's run).
class TThreadGroup {
public:
  TThreadGroup(std::vector<std::function<void()>> laneBodies, unsigned maximumThreads,
               std::chrono::milliseconds watchInterval = std::chrono::milliseconds(20));
  /// Joins what can be joined (see Join).
  ~TThreadGroup();
  TThreadGroup(const TThreadGroup&) = delete;
  TThreadGroup& operator=(const TThreadGroup&) = delete;

  /// Starts one thread per lane and the watcher.
  void Start();
  /// Stops the watcher and joins every thread whose body has returned or is about to; threads
  /// still inside an extension are detached. Answers whether every thread was joined.
  bool Join(std::chrono::milliseconds patience);
  /// The number of threads started so far.
  unsigned ThreadCount() const;

  /// Per-thread state, public for TExtensionCallScope.
  struct TSlot {
    std::size_t Lane = 0;
    std::atomic<bool> InCall{false};
    std::atomic<std::uint64_t> Calls{0};
    std::atomic<bool> Finished{false};
    std::uint64_t CallsSeen = 0;
    std::thread Thread;
  };

private:
  void AddThreadLocked(std::size_t lane);
  void Watch();

  std::vector<std::function<void()>> FBodies;
  unsigned FMaximum;
  std::chrono::milliseconds FInterval;
  mutable std::mutex FMutex; // guards FSlots and FStopping
  std::condition_variable FWake;
  std::vector<std::unique_ptr<TSlot>> FSlots;
  bool FStopping = false;
  std::thread FWatcher;
};

} // namespace isapi_web::host
