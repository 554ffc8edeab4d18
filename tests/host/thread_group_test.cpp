#include "host/thread_group.h"

#include <deque>

#include <gtest/gtest.h>

namespace isapi_web::host {
namespace {

// A queue of tasks that the group's threads take, with a count of started threads.
class TTaskQueue {
public:
  void Body() {
    {
      std::lock_guard lock(FMutex);
      ++FStarted;
    }
    FChanged.notify_all();
    while (true) {
      std::function<void()> task;
      {
        std::unique_lock lock(FMutex);
        FChanged.wait(lock, [this] { return FStop || !FTasks.empty(); });
        if (FTasks.empty())
          return;
        task = std::move(FTasks.front());
        FTasks.pop_front();
      }
      task();
    }
  }
  void Post(std::function<void()> task) {
    {
      std::lock_guard lock(FMutex);
      FTasks.push_back(std::move(task));
    }
    FChanged.notify_all();
  }
  void WaitStarted(int count) {
    std::unique_lock lock(FMutex);
    FChanged.wait(lock, [&] { return FStarted >= count; });
  }
  void Stop() {
    {
      std::lock_guard lock(FMutex);
      FStop = true;
    }
    FChanged.notify_all();
  }

private:
  std::mutex FMutex;
  std::condition_variable FChanged;
  std::deque<std::function<void()>> FTasks;
  int FStarted = 0;
  bool FStop = false;
};

// A gate a task waits at inside an "extension call".
struct TGate {
  std::mutex Mutex;
  std::condition_variable Changed;
  bool Open = false;
  void Pass() {
    TExtensionCallScope call;
    std::unique_lock lock(Mutex);
    Changed.wait(lock, [this] { return Open; });
  }
  void Release() {
    {
      std::lock_guard lock(Mutex);
      Open = true;
    }
    Changed.notify_all();
  }
};

TEST(ThreadGroupTest, AThreadHeldInsideAnExtensionMakesTheGroupGrow) {
  TTaskQueue queue;
  TThreadGroup group({[&] { queue.Body(); }}, 3, std::chrono::milliseconds(5));
  group.Start();
  queue.WaitStarted(1);
  TGate gate;
  queue.Post([&] { gate.Pass(); });
  // Only a second thread can take this task, since the first waits at the gate; it releases it.
  TGate released;
  queue.Post([&] {
    gate.Release();
    released.Release();
  });
  queue.WaitStarted(2);
  std::unique_lock lock(released.Mutex);
  released.Changed.wait(lock, [&] { return released.Open; });
  lock.unlock();
  EXPECT_GE(group.ThreadCount(), 2u);
  queue.Stop();
  EXPECT_TRUE(group.Join(std::chrono::seconds(5)));
}

TEST(ThreadGroupTest, OnlyTheLaneWhoseThreadsAreHeldGrows) {
  TTaskQueue held;
  TTaskQueue free;
  TThreadGroup group({[&] { free.Body(); }, [&] { held.Body(); }}, 4, std::chrono::milliseconds(5));
  group.Start();
  free.WaitStarted(1);
  held.WaitStarted(1);
  TGate gate;
  held.Post([&] { gate.Pass(); });
  // Only a new thread of the held lane can release the gate; one added to the other lane would
  // leave this test waiting.
  TGate released;
  held.Post([&] {
    gate.Release();
    released.Release();
  });
  held.WaitStarted(2);
  {
    std::unique_lock lock(released.Mutex);
    released.Changed.wait(lock, [&] { return released.Open; });
  }
  free.Stop();
  held.Stop();
  EXPECT_TRUE(group.Join(std::chrono::seconds(5)));
}

} // namespace
} // namespace isapi_web::host
