#include "host/thread_group.h"

#include <algorithm>
#include <deque>
#include <set>

#include <gtest/gtest.h>

namespace isapi_web::host {
namespace {

// A queue of tasks that the group's threads take one per step, with the threads that took them.
class TTaskQueue {
public:
  bool Step() {
    std::function<void()> task;
    {
      std::unique_lock lock(FMutex);
      FThreads.insert(std::this_thread::get_id());
      FChanged.notify_all();
      FChanged.wait(lock, [this] { return FStop || !FTasks.empty(); });
      if (FTasks.empty())
        return false;
      task = std::move(FTasks.front());
      FTasks.pop_front();
    }
    task();
    return true;
  }
  void Post(std::function<void()> task) {
    {
      std::lock_guard lock(FMutex);
      FTasks.push_back(std::move(task));
    }
    FChanged.notify_all();
  }
  void WaitStarted(std::size_t count) {
    std::unique_lock lock(FMutex);
    FChanged.wait(lock, [&] { return FThreads.size() >= count; });
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
  std::set<std::thread::id> FThreads;
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

TEST(ThreadGroupTest, ALaneWhoseThreadIsHeldInsideAnExtensionGoesOnOnAFreshThread) {
  TTaskQueue queue;
  TThreadGroup group({[&] { return queue.Step(); }}, std::chrono::milliseconds(5));
  group.Start();
  queue.WaitStarted(1);
  TGate gate;
  std::thread::id held;
  queue.Post([&] {
    held = std::this_thread::get_id();
    gate.Pass();
  });
  // Only a second thread can take this task, since the first waits at the gate; it releases it.
  TGate released;
  queue.Post([&] {
    gate.Release();
    released.Release();
  });
  {
    std::unique_lock lock(released.Mutex);
    released.Changed.wait(lock, [&] { return released.Open; });
  }
  EXPECT_EQ(group.HandOvers(), 1u);
  // The held thread has left the lane: what comes next runs on the fresh one.
  std::vector<std::thread::id> ran;
  TGate done;
  for (int i = 0; i < 20; ++i)
    queue.Post([&] { ran.push_back(std::this_thread::get_id()); });
  queue.Post([&] { done.Release(); });
  {
    std::unique_lock lock(done.Mutex);
    done.Changed.wait(lock, [&] { return done.Open; });
  }
  EXPECT_EQ(std::count(ran.begin(), ran.end(), held), 0);
  queue.Stop();
  EXPECT_TRUE(group.Join(std::chrono::seconds(5)));
}

TEST(ThreadGroupTest, OnlyTheLaneWhoseThreadsAreHeldGrows) {
  TTaskQueue held;
  TTaskQueue free;
  TThreadGroup group({[&] { return free.Step(); }, [&] { return held.Step(); }},
                     std::chrono::milliseconds(5));
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
