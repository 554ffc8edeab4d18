#include "platform/platform.h"

#include "countdown.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace isapi_web::platform {
namespace {

constexpr std::uintptr_t StopMark = 0xFFFFFFFF;

// A guard against a hung test, not a timing.
constexpr auto GuardWait = std::chrono::minutes(2);

TCompletionPacket Take(THandle port) {
  TCompletionPacket packet;
  EXPECT_EQ(WaitCompletionPacket(port, InfiniteWait, packet), TWaitResult::wrPacket);
  return packet;
}

TEST(CompletionPort, DeliversPacketsInPostingOrderWithEveryField) {
  const THandle port = CreateCompletionPort();
  ASSERT_NE(port, NoHandle);
  ASSERT_NE(port, InvalidHandleValue);

  // Counts on both sides of the 32-bit boundary, including the boundary value itself.
  const std::vector<std::uintptr_t> counts = {
      0, 1, 0x7FFFFFFF, 0xFFFFFFFE, 0xFFFFFFFF, ~std::uintptr_t{0}, 42};
  for (std::size_t i = 0; i < counts.size(); ++i) {
    ASSERT_TRUE(PostCompletionPacket(port, {counts[i], i + 100, ~std::uintptr_t{0} - i}));
  }
  for (int i = 0; i < 200; ++i) {
    ASSERT_TRUE(PostCompletionPacket(port, {static_cast<std::uintptr_t>(i), 0, 0}));
  }

  for (std::size_t i = 0; i < counts.size(); ++i) {
    const TCompletionPacket packet = Take(port);
    EXPECT_EQ(packet.ByteCount, counts[i]) << i;
    EXPECT_EQ(packet.CompletionKey, i + 100) << i;
    EXPECT_EQ(packet.Overlapped, ~std::uintptr_t{0} - i) << i;
  }
  for (int i = 0; i < 200; ++i)
    EXPECT_EQ(Take(port).ByteCount, static_cast<std::uintptr_t>(i));

  TCompletionPacket packet;
  EXPECT_EQ(WaitCompletionPacket(port, 0, packet), TWaitResult::wrTimeout);
  EXPECT_TRUE(CloseCompletionPort(port));
}

TEST(CompletionPort, WorkPacketCarriesAFullAddressAndStaysApartFromTheStopPacket) {
  const THandle port = CreateCompletionPort();
  ASSERT_NE(port, NoHandle);

  // A record as the pool queues it, at an address that needs all pointer bits on 64-bit systems.
  struct TRecord {
    int Value = 7;
  };
  auto record = std::make_unique<TRecord>();
  const auto address = reinterpret_cast<std::uintptr_t>(record.get());
  const auto highAddress = static_cast<std::uintptr_t>(0xFEDCBA9876543210ULL);

  ASSERT_TRUE(PostCompletionPacket(port, {address, 0, 0}));
  ASSERT_TRUE(PostCompletionPacket(port, {highAddress, 0, 0}));
  ASSERT_TRUE(PostCompletionPacket(port, {0, 0, StopMark}));

  const TCompletionPacket work = Take(port);
  EXPECT_EQ(work.Overlapped, 0u);
  ASSERT_EQ(work.ByteCount, address);
  EXPECT_EQ(reinterpret_cast<TRecord*>(work.ByteCount)->Value, 7);

  const TCompletionPacket high = Take(port);
  EXPECT_EQ(high.ByteCount, highAddress);
  EXPECT_EQ(high.Overlapped, 0u);

  const TCompletionPacket stop = Take(port);
  EXPECT_EQ(stop.ByteCount, 0u);
  EXPECT_EQ(stop.CompletionKey, 0u);
  EXPECT_EQ(stop.Overlapped, StopMark);
  EXPECT_TRUE(CloseCompletionPort(port));
}

TEST(CompletionPort, WaitWithTimeOut) {
  const THandle port = CreateCompletionPort();
  ASSERT_NE(port, NoHandle);
  TCompletionPacket packet{1, 2, 3};
  EXPECT_EQ(WaitCompletionPacket(port, 0, packet), TWaitResult::wrTimeout);
  EXPECT_EQ(WaitCompletionPacket(port, 20, packet), TWaitResult::wrTimeout);

  ASSERT_TRUE(PostCompletionPacket(port, {5, 6, 7}));
  ASSERT_EQ(WaitCompletionPacket(port, 0, packet), TWaitResult::wrPacket);
  EXPECT_EQ(packet.ByteCount, 5u);
  EXPECT_EQ(packet.CompletionKey, 6u);
  EXPECT_EQ(packet.Overlapped, 7u);

  // A packet posted by another thread ends a wait with a finite time-out.
  test_support::TCountDown posted(1);
  const THandle poster = StartThread([&] {
    PostCompletionPacket(port, {9, 0, 0});
    posted.CountDown();
  });
  ASSERT_NE(poster, NoHandle);
  posted.Wait();
  ASSERT_EQ(WaitCompletionPacket(port, 60000, packet), TWaitResult::wrPacket);
  EXPECT_EQ(packet.ByteCount, 9u);
  EXPECT_TRUE(WaitForThreads({&poster, 1}, InfiniteWait));
  EXPECT_TRUE(CloseThreadHandle(poster));
  EXPECT_TRUE(CloseCompletionPort(port));
}

// Threads that each take a packet and hold it until Total threads hold one, or until they are
// released; one that waits past the guard time is counted as stuck.
struct THolders {
  THolders(THandle port, int total) : Port(port), Total(total) {}

  void TakeAndHold() {
    TCompletionPacket packet;
    if (WaitCompletionPacket(Port, InfiniteWait, packet) != TWaitResult::wrPacket)
      return;
    std::unique_lock<std::mutex> guard(Lock);
    ++Holding;
    Changed.notify_all();
    if (!Changed.wait_for(guard, GuardWait, [&] { return Released || Holding == Total; }))
      Stuck.fetch_add(1);
  }
  bool WaitHolding(int count) {
    std::unique_lock<std::mutex> guard(Lock);
    return Changed.wait_for(guard, GuardWait, [&] { return Holding == count; });
  }
  void Release() {
    {
      std::lock_guard<std::mutex> guard(Lock);
      Released = true;
    }
    Changed.notify_all();
  }

  const THandle Port;
  const int Total;
  std::mutex Lock;
  std::condition_variable Changed;
  int Holding = 0;
  bool Released = false;
  std::atomic<int> Stuck{0};
};

TEST(CompletionPort, ABurstReachesAsManyWaitersAsItHasPackets) {
  const THandle port = CreateCompletionPort();
  ASSERT_NE(port, NoHandle);

  // Each waiter keeps its packet until every one of them holds one: all packets of a burst must
  // be taken at once, by different threads, although a single post started the burst.
  constexpr int WaiterCount = 8;
  THolders holders(port, WaiterCount);
  std::vector<THandle> waiters;
  for (int i = 0; i < WaiterCount; ++i) {
    waiters.push_back(StartThread([&] { holders.TakeAndHold(); }));
    ASSERT_NE(waiters.back(), NoHandle);
  }
  // Some of the waiters may still be on their way into the wait; the burst must find them too.
  for (int i = 0; i < WaiterCount; ++i)
    ASSERT_TRUE(PostCompletionPacket(port, {static_cast<std::uintptr_t>(i + 1), 0, 0}));
  EXPECT_TRUE(holders.WaitHolding(WaiterCount));
  holders.Release();
  EXPECT_TRUE(WaitForThreads(waiters, 120000));
  EXPECT_EQ(holders.Stuck.load(), 0);
  for (const THandle waiter : waiters)
    EXPECT_TRUE(CloseThreadHandle(waiter));
  TCompletionPacket packet;
  EXPECT_EQ(WaitCompletionPacket(port, 0, packet), TWaitResult::wrTimeout);
  EXPECT_TRUE(CloseCompletionPort(port));
}

TEST(CompletionPort, AWaiterThatWatchedOverARunningThreadIsStillWokenForPackets) {
  const THandle port = CreateCompletionPort();
  ASSERT_NE(port, NoHandle);

  // The second thread starts waiting while the first runs with its packet, so it watches over
  // it; the first comes back, and the port stays quiet until the watch ends. Both threads must
  // then take a packet each of the next pair.
  THolders first(port, 2);
  THolders pair(port, 2);
  std::vector<THandle> threads{StartThread([&] {
    first.TakeAndHold();
    pair.TakeAndHold();
  })};
  ASSERT_TRUE(PostCompletionPacket(port, {1, 0, 0}));
  ASSERT_TRUE(first.WaitHolding(1));
  threads.push_back(StartThread([&] { pair.TakeAndHold(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  first.Release();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(PostCompletionPacket(port, {2, 0, 0}));
  ASSERT_TRUE(PostCompletionPacket(port, {3, 0, 0}));
  EXPECT_TRUE(pair.WaitHolding(2));
  pair.Release();
  EXPECT_TRUE(WaitForThreads(threads, 120000));
  for (const THandle thread : threads)
    EXPECT_TRUE(CloseThreadHandle(thread));
  EXPECT_TRUE(CloseCompletionPort(port));
}

TEST(CompletionPort, PacketsReachWaitersWhileMoreThreadsThanProcessorsHoldTheirs) {
  const THandle port = CreateCompletionPort();
  ASSERT_NE(port, NoHandle);

  // A port wakes no more threads than there are processors while those that took packets run; a
  // thread that holds its packet and blocks must not keep the packets behind it from the threads
  // that wait, however many already hold one.
  const int count = static_cast<int>(std::thread::hardware_concurrency()) + 3;
  THolders holders(port, count);
  // The first one takes its packet before the others wait, so that they go idle while it runs.
  std::vector<THandle> threads{StartThread([&] { holders.TakeAndHold(); })};
  ASSERT_TRUE(PostCompletionPacket(port, {1, 0, 0}));
  ASSERT_TRUE(holders.WaitHolding(1));
  for (int i = 1; i < count; ++i) {
    threads.push_back(StartThread([&] { holders.TakeAndHold(); }));
    ASSERT_NE(threads.back(), NoHandle);
  }
  for (int i = 1; i < count; ++i)
    ASSERT_TRUE(PostCompletionPacket(port, {static_cast<std::uintptr_t>(i + 1), 0, 0}));
  EXPECT_TRUE(WaitForThreads(threads, 180000));
  EXPECT_EQ(holders.Stuck.load(), 0);
  for (const THandle thread : threads)
    EXPECT_TRUE(CloseThreadHandle(thread));
  EXPECT_TRUE(CloseCompletionPort(port));
}

TEST(CompletionPort, EveryPacketIsTakenExactlyOnceByWaitersThatComeAndGo) {
  const THandle port = CreateCompletionPort();
  ASSERT_NE(port, NoHandle);

  // Posters on several threads; waiters without a limit, and waiters whose short time-outs keep
  // expiring while packets come and go, so that waits end both ways in the middle of the traffic.
  constexpr int Posters = 4;
  constexpr int PerPoster = 5000;
  constexpr int Total = Posters * PerPoster;
  constexpr int EndlessWaiters = 4;
  constexpr int ShortWaiters = 4;
  std::vector<std::atomic<int>> taken(Total + 1);
  std::atomic<int> count{0};
  std::atomic<int> outOfRange{0};
  std::atomic<int> failures{0};
  std::atomic<int> timeOuts{0};
  const auto record = [&](const TCompletionPacket& packet) {
    if (packet.ByteCount == 0 || packet.ByteCount > Total) {
      outOfRange.fetch_add(1);
    } else {
      taken[packet.ByteCount].fetch_add(1);
    }
    count.fetch_add(1);
  };
  std::vector<THandle> threads;
  for (int i = 0; i < EndlessWaiters; ++i) {
    threads.push_back(StartThread([&] {
      for (;;) {
        TCompletionPacket packet;
        if (WaitCompletionPacket(port, InfiniteWait, packet) != TWaitResult::wrPacket) {
          failures.fetch_add(1);
          return;
        }
        if (packet.Overlapped == StopMark)
          return;
        record(packet);
      }
    }));
    ASSERT_NE(threads.back(), NoHandle);
  }
  for (int i = 0; i < ShortWaiters; ++i) {
    threads.push_back(StartThread([&, i] {
      const std::uint32_t timeout = static_cast<std::uint32_t>(1 + i % 2);
      while (count.load() < Total) {
        TCompletionPacket packet;
        switch (WaitCompletionPacket(port, timeout, packet)) {
        case TWaitResult::wrPacket:
          if (packet.Overlapped == StopMark) {
            // Not this thread's to take: hand it on to the waiters it is meant for.
            PostCompletionPacket(port, packet);
          } else {
            record(packet);
          }
          break;
        case TWaitResult::wrTimeout:
          timeOuts.fetch_add(1);
          break;
        case TWaitResult::wrFailed:
          failures.fetch_add(1);
          return;
        }
      }
    }));
    ASSERT_NE(threads.back(), NoHandle);
  }
  std::vector<THandle> posters;
  for (int p = 0; p < Posters; ++p) {
    posters.push_back(StartThread([&, p] {
      for (int i = 0; i < PerPoster; ++i) {
        const auto value = static_cast<std::uintptr_t>(p * PerPoster + i + 1);
        if (!PostCompletionPacket(port, {value, 0, 0}))
          failures.fetch_add(1);
      }
    }));
    ASSERT_NE(posters.back(), NoHandle);
  }
  // Under Wine every post and wait goes through its server: an emulated machine beside other
  // work may post for minutes, but a stuck port takes no packet for a whole one.
  bool moving = true;
  for (int seen = -1; moving && !WaitForThreads(posters, 60000); seen = count.load())
    moving = count.load() != seen;
  EXPECT_TRUE(moving) << "no packet taken for a minute";
  for (int i = 0; i < EndlessWaiters; ++i)
    ASSERT_TRUE(PostCompletionPacket(port, {0, 0, StopMark}));
  EXPECT_TRUE(WaitForThreads(threads, 120000));

  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(outOfRange.load(), 0);
  EXPECT_EQ(count.load(), Total);
  int missing = 0;
  int repeated = 0;
  for (int value = 1; value <= Total; ++value) {
    missing += taken[value].load() == 0 ? 1 : 0;
    repeated += taken[value].load() > 1 ? 1 : 0;
  }
  EXPECT_EQ(missing, 0);
  EXPECT_EQ(repeated, 0);
  // Each endless waiter took one stop packet: nothing is left.
  TCompletionPacket packet;
  EXPECT_EQ(WaitCompletionPacket(port, 0, packet), TWaitResult::wrTimeout);
  for (const THandle thread : threads)
    EXPECT_TRUE(CloseThreadHandle(thread));
  for (const THandle poster : posters)
    EXPECT_TRUE(CloseThreadHandle(poster));
  EXPECT_TRUE(CloseCompletionPort(port));
}

TEST(CompletionPort, ClosingWakesEveryWaiterWithAFailureAndLaterCallsFail) {
  const THandle port = CreateCompletionPort();
  ASSERT_NE(port, NoHandle);

  constexpr int WaiterCount = 6;
  test_support::TCountDown waiting(WaiterCount);
  std::atomic<int> failures{0};
  std::atomic<int> otherResults{0};
  std::vector<THandle> waiters;
  for (int i = 0; i < WaiterCount; ++i) {
    // Half of them wait without limit, half with a time-out far beyond the test's length.
    const std::uint32_t timeout = i % 2 == 0 ? InfiniteWait : 3600000;
    waiters.push_back(StartThread([&, timeout] {
      waiting.CountDown();
      TCompletionPacket packet;
      const TWaitResult result = WaitCompletionPacket(port, timeout, packet);
      (result == TWaitResult::wrFailed ? failures : otherResults).fetch_add(1);
    }));
    ASSERT_NE(waiters.back(), NoHandle);
  }
  waiting.Wait();
  ASSERT_TRUE(CloseCompletionPort(port));

  // Every waiter must come back; one left blocked would make this wait expire.
  EXPECT_TRUE(WaitForThreads(waiters, 120000));
  EXPECT_EQ(failures.load(), WaiterCount);
  EXPECT_EQ(otherResults.load(), 0);
  for (const THandle waiter : waiters)
    EXPECT_TRUE(CloseThreadHandle(waiter));

  TCompletionPacket packet;
  EXPECT_EQ(WaitCompletionPacket(port, 0, packet), TWaitResult::wrFailed);
  EXPECT_EQ(WaitCompletionPacket(port, InfiniteWait, packet), TWaitResult::wrFailed);
  EXPECT_FALSE(PostCompletionPacket(port, {1, 0, 0}));
  EXPECT_FALSE(CloseCompletionPort(port));
}

TEST(CompletionPort, ClosingDiscardsQueuedPackets) {
  const THandle port = CreateCompletionPort();
  ASSERT_NE(port, NoHandle);
  ASSERT_TRUE(PostCompletionPacket(port, {1, 2, 3}));
  ASSERT_TRUE(PostCompletionPacket(port, {~std::uintptr_t{0}, 2, 3}));
  ASSERT_TRUE(CloseCompletionPort(port));
  TCompletionPacket packet;
  EXPECT_EQ(WaitCompletionPacket(port, 0, packet), TWaitResult::wrFailed);

  // A new port starts empty, whatever handle value it is given.
  const THandle next = CreateCompletionPort();
  ASSERT_NE(next, NoHandle);
  EXPECT_EQ(WaitCompletionPacket(next, 0, packet), TWaitResult::wrTimeout);
  EXPECT_TRUE(CloseCompletionPort(next));
}

TEST(CompletionPort, InvalidHandlesFail) {
  TCompletionPacket packet;
  for (const THandle handle : {NoHandle, InvalidHandleValue}) {
    EXPECT_FALSE(PostCompletionPacket(handle, {1, 0, 0}));
    EXPECT_EQ(WaitCompletionPacket(handle, 0, packet), TWaitResult::wrFailed);
    EXPECT_FALSE(CloseCompletionPort(handle));
  }
}

} // namespace
} // namespace isapi_web::platform
