#pragma once
// The threads that run the network loops. Each lane is one loop, run by one thread at a time. A
// handler may call an extension on that thread (the fast path: a call that returns quickly costs
// no hand-over). When the lane's thread has been inside the same extension call for a whole
// watch interval, the lane is handed to a fresh thread, and the held thread leaves the lane once
// its call returns: a call that blocks never holds a loop for longer than the interval.

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

/// Thrown by LeaveLaneIfHandedOver; a lane's step lets it through or catches it and returns.
struct TLaneHandedOver {};

/// Throws TLaneHandedOver when the calling thread's lane has been handed to another thread: a
/// step that runs many handlers (a loop's run) calls it between two of them to end there.
void LeaveLaneIfHandedOver();

/// Threads in lanes; a lane's thread runs the lane's step (for instance one handler of its
/// loop) again and again until the step answers false or the lane is handed to another thread.
class TThreadGroup {
public:
  TThreadGroup(std::vector<std::function<bool()>> laneSteps,
               std::chrono::milliseconds watchInterval = std::chrono::milliseconds(20));
  /// Joins what can be joined (see Join).
  ~TThreadGroup();
  TThreadGroup(const TThreadGroup&) = delete;
  TThreadGroup& operator=(const TThreadGroup&) = delete;

  /// Starts one thread per lane and the watcher.
  void Start();
  /// Stops the watcher and joins every thread whose steps have ended or are about to; threads
  /// still inside an extension are detached. Answers whether every thread was joined.
  bool Join(std::chrono::milliseconds patience);
  /// The threads of the group alive now: one per lane, and the held ones that left their lane.
  unsigned ThreadCount() const;
  /// How many times a lane was handed to a fresh thread.
  unsigned HandOvers() const;

  /// Per-thread state, public for TExtensionCallScope.
  struct TSlot {
    std::size_t Lane = 0;
    std::atomic<int> InCall{0}; ///< nested calls (a child request inside a call)
    std::atomic<std::uint64_t> Calls{0};
    std::atomic<bool> HandedOver{false}; ///< the lane has another thread: leave after this step
    std::atomic<bool> Finished{false};
    std::uint64_t CallsSeen = 0;
    std::thread Thread;
  };
  /// Whether the slot's lane has been handed to another thread, for good.
  static bool HandedOverConfirmed(TSlot& slot);
  /// Guards a lane's hand-over mark while the watcher may still take it back.
  static std::mutex& HandOverMutex();

private:
  /// Starts a thread for the lane; false when the system has none to give.
  bool AddThreadLocked(std::size_t lane);
  void Watch();

  std::vector<std::function<bool()>> FSteps;
  std::chrono::milliseconds FInterval;
  mutable std::mutex FMutex; // guards FSlots, FCurrent, FHandOvers and FStopping
  std::condition_variable FWake;
  std::vector<std::unique_ptr<TSlot>> FSlots;
  std::vector<TSlot*> FCurrent; ///< each lane's thread
  unsigned FHandOvers = 0;
  bool FStopping = false;
  bool FShortNoted = false; ///< the shortage of threads has been reported
  std::thread FWatcher;
};

} // namespace isapi_web::host
