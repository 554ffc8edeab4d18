#pragma once
// What every connection of the server shares: its options, and the count of requests in flight
// that the shutdown drains.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

#include "host/server_options.h"
#include "host/transfer_clock.h"

namespace isapi_web::host {

/// The server's state as its connections see it.
struct TServerState {
  TServerOptions Options;
  TTransferLimits Limits; ///< from Options
  std::atomic<bool> Stopping{false};
  /// Set when the drain time has run out: a request whose head was read before the shutdown but
  /// which has not reached its extension yet is answered 503 instead.
  std::atomic<bool> Refusing{false};

  std::mutex StateMutex; ///< guards InFlight, and what the server adds beside it
  std::condition_variable StateChanged;
  std::size_t InFlight = 0;

  void BeginRequest() {
    std::lock_guard lock(StateMutex);
    ++InFlight;
  }
  void EndRequest() {
    bool drained;
    {
      std::lock_guard lock(StateMutex);
      drained = --InFlight == 0 && Stopping;
    }
    // Only the shutdown waits for this; waking it on every request would cost a context switch.
    if (drained)
      StateChanged.notify_all();
  }
  /// Waits until every request has been answered or its connection closed, at most until by.
  bool WaitDrained(std::chrono::steady_clock::time_point by) {
    std::unique_lock lock(StateMutex);
    return StateChanged.wait_until(lock, by, [this] { return InFlight == 0; });
  }
};

} // namespace isapi_web::host
