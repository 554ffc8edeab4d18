#include "platform/platform.h"

#include "countdown.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace isapi_web::platform {
namespace {

constexpr std::uintptr_t StopMark = 0xFFFFFFFF;

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
