#pragma once
// A count-down latch on a mutex and a condition variable. std::latch is not used: the atomic wait
// beneath it in GCC 12's library can miss a wake-up on systems without a futex (Windows).

#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace isapi_web::platform::test_support {

class TCountDown {
public:
  explicit TCountDown(std::size_t count) : FCount(count) {}

  void CountDown() {
    std::lock_guard<std::mutex> lock(FLock);
    if (FCount > 0 && --FCount == 0)
      FReachedZero.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> lock(FLock);
    FReachedZero.wait(lock, [&] { return FCount == 0; });
  }

private:
  std::mutex FLock; // guards FCount
  std::condition_variable FReachedZero;
  std::size_t FCount;
};

} // namespace isapi_web::platform::test_support
