#include "platform/platform.h"

#include "countdown.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <set>
#include <stdexcept>
#include <vector>

namespace isapi_web::platform {
namespace {

using test_support::TCountDown;

// A door that threads wait at until the test opens it.
class TGate {
public:
  void Open() { FOpen.CountDown(); }
  void Pass() { FOpen.Wait(); }

private:
  TCountDown FOpen{1};
};

void CloseAll(const std::vector<THandle>& threads) {
  for (const THandle thread : threads)
    EXPECT_TRUE(CloseThreadHandle(thread));
}

TEST(Threads, WaitForAllReturnsWhenEveryThreadHasEnded) {
  // The pool's 25 workers, each on a thread of its own.
  constexpr int ThreadCount = 25;
  std::vector<std::uint64_t> ids(ThreadCount, 0);
  std::vector<THandle> threads;
  for (int i = 0; i < ThreadCount; ++i) {
    threads.push_back(StartThread([&ids, i] { ids[i] = CurrentThreadId(); }));
    ASSERT_NE(threads.back(), NoHandle);
  }
  ASSERT_TRUE(WaitForThreads(threads, InfiniteWait));
  // Having waited, every routine's work is visible and complete.
  const std::set<std::uint64_t> distinct(ids.begin(), ids.end());
  EXPECT_EQ(distinct.size(), static_cast<std::size_t>(ThreadCount));
  EXPECT_EQ(distinct.count(CurrentThreadId()), 0u);
  EXPECT_EQ(distinct.count(0), 0u);
  // Ended threads stay ended: a second wait, with no time at all, succeeds.
  EXPECT_TRUE(WaitForThreads(threads, 0));
  CloseAll(threads);

  EXPECT_TRUE(WaitForThreads({}, 0));
}

TEST(Threads, WaitForAllTimesOutWhileOneThreadIsBlocked) {
  TGate gate;
  TCountDown finished(4);
  std::vector<THandle> threads;
  for (int i = 0; i < 4; ++i) {
    threads.push_back(StartThread([&finished] { finished.CountDown(); }));
    ASSERT_NE(threads.back(), NoHandle);
  }
  threads.insert(threads.begin() + 2, StartThread([&gate] { gate.Pass(); }));
  ASSERT_NE(threads[2], NoHandle);
  finished.Wait();

  EXPECT_FALSE(WaitForThreads(threads, 0));
  EXPECT_FALSE(WaitForThreads(threads, 30));
  // The ended ones alone can be waited for.
  const std::vector<THandle> ended = {threads[0], threads[1], threads[3], threads[4]};
  EXPECT_TRUE(WaitForThreads(ended, InfiniteWait));

  gate.Open();
  EXPECT_TRUE(WaitForThreads(threads, InfiniteWait));
  CloseAll(threads);
}

TEST(Threads, WaitForMoreThreadsThanOneSystemWaitTakes) {
  // More than the 64 handles one WaitForMultipleObjects call accepts; the last one is blocked.
  constexpr int ThreadCount = 70;
  TGate gate;
  std::atomic<int> ran{0};
  std::vector<THandle> threads;
  for (int i = 0; i < ThreadCount - 1; ++i) {
    threads.push_back(StartThread([&ran] { ran.fetch_add(1); }));
    ASSERT_NE(threads.back(), NoHandle);
  }
  threads.push_back(StartThread([&] {
    gate.Pass();
    ran.fetch_add(1);
  }));
  ASSERT_NE(threads.back(), NoHandle);

  EXPECT_FALSE(WaitForThreads(threads, 30));
  gate.Open();
  EXPECT_TRUE(WaitForThreads(threads, InfiniteWait));
  EXPECT_EQ(ran.load(), ThreadCount);
  CloseAll(threads);
}

// The state a thread without a handle shares with the test: owned jointly, since the thread may
// still be returning when the test has seen its last step and ends.
struct TDetachedState {
  TGate Gate;
  TCountDown Done{1};
  std::atomic<bool> RanToEnd{false};
  std::atomic<THandle> Handle{NoHandle};
  std::atomic<bool> Closed{false};
};

TEST(Threads, ClosingTheHandleOfARunningThreadLetsItGoOn) {
  const auto state = std::make_shared<TDetachedState>();
  const THandle thread = StartThread([state] {
    state->Gate.Pass();
    state->RanToEnd = true;
    state->Done.CountDown();
  });
  ASSERT_NE(thread, NoHandle);
  EXPECT_TRUE(CloseThreadHandle(thread));
  state->Gate.Open();
  state->Done.Wait();
  EXPECT_TRUE(state->RanToEnd.load());

  EXPECT_FALSE(CloseThreadHandle(NoHandle));
  EXPECT_FALSE(CloseThreadHandle(InvalidHandleValue));
  EXPECT_FALSE(WaitForThreads({&InvalidHandleValue, 1}, 0));
}

TEST(Threads, RoutineThatThrowsEndsOnlyItsOwnThread) {
  const THandle thread = StartThread([] { throw std::runtime_error("routine failed"); });
  ASSERT_NE(thread, NoHandle);
  EXPECT_TRUE(WaitForThreads({&thread, 1}, InfiniteWait));
  EXPECT_TRUE(CloseThreadHandle(thread));
}

TEST(Threads, ThreadMayCloseItsOwnHandle) {
  const auto state = std::make_shared<TDetachedState>();
  const THandle thread = StartThread([state] {
    state->Gate.Pass();
    state->Closed = CloseThreadHandle(state->Handle.load());
    state->Done.CountDown();
  });
  ASSERT_NE(thread, NoHandle);
  state->Handle = thread;
  state->Gate.Open();
  state->Done.Wait();
  EXPECT_TRUE(state->Closed.load());
}

} // namespace
} // namespace isapi_web::platform
