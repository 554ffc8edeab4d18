#pragma once
// A one-way gate between a test and the threads it drives: closed until opened, then open for good.

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace isapi_web::test_support {

class TGate {
public:
  void Open() {
    {
      std::lock_guard<std::mutex> lock(FLock);
      FOpen = true;
    }
    FOpened.notify_all();
  }
  // False when the gate stayed closed for a minute: a guard against a hung test, not a timing.
  bool Wait() {
    std::unique_lock<std::mutex> lock(FLock);
    return FOpened.wait_for(lock, std::chrono::minutes(1), [&] { return FOpen; });
  }

private:
  std::mutex FLock; // guards FOpen
  std::condition_variable FOpened;
  bool FOpen = false;
};

} // namespace isapi_web::test_support
