#include "host/extension_threads.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace isapi_web::host {
namespace {

// The jobs' names in the order they ran, and a gate that holds every job until it opens.
class TRunOrder {
public:
  TExtensionThreads::TJob Job(std::string name) {
    return [this, name] {
      std::unique_lock lock(FMutex);
      ++FStarted;
      FChanged.notify_all();
      FChanged.wait(lock, [this] { return FOpen; });
      FOrder.push_back(name);
      FChanged.notify_all();
    };
  }
  void Open() {
    std::lock_guard lock(FMutex);
    FOpen = true;
    FChanged.notify_all();
  }
  void WaitStarted() {
    std::unique_lock lock(FMutex);
    FChanged.wait(lock, [this] { return FStarted != 0; });
  }
  std::vector<std::string> WaitFor(std::size_t count) {
    std::unique_lock lock(FMutex);
    FChanged.wait(lock, [&] { return FOrder.size() >= count; });
    return FOrder;
  }

private:
  std::mutex FMutex;
  std::condition_variable FChanged;
  bool FOpen = false;
  int FStarted = 0;
  std::vector<std::string> FOrder;
};

TEST(ExtensionThreads, NewRequestsTakeTurnsWithWorkForRequestsTakenIn) {
  TExtensionThreads threads;
  threads.Configure(1, 10);
  TRunOrder order;
  threads.Post(order.Job("held"));
  order.WaitStarted();
  for (const char* name : {"child 1", "child 2", "child 3"})
    threads.Post(order.Job(name));
  ASSERT_TRUE(threads.Submit(order.Job("request"), [] {}));
  order.Open();
  EXPECT_EQ(order.WaitFor(5),
            (std::vector<std::string>{"held", "child 1", "request", "child 2", "child 3"}));
  EXPECT_TRUE(threads.Stop(std::chrono::seconds(10)));
}

} // namespace
} // namespace isapi_web::host
