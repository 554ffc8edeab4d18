// Completion ports as a FIFO under a mutex, with the semantics the worker pool relies on: posts
// queue in order, a wait takes the oldest packet, and closing wakes every waiter with a failure.
//
// Waking is what costs here, so the port wakes as a Windows port does. Each waiting thread sleeps
// on a condition of its own, and a post wakes the thread that went idle last (its stack and cache
// are still warm), and only when the packet would otherwise sit unclaimed: when no thread that was
// already woken is still on its way to the queue. A woken thread that finds more packets behind
// the one it takes passes the wake on, so a burst still spreads over as many threads as it needs
// while the poster pays for at most one wake. The wake itself comes after the lock is released, so
// the woken thread does not run into the poster's lock.

#include "platform/platform.h"

#include "platform/handle_table.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace isapi_web::platform {

namespace {

// A thread in WaitCompletionPacket that found the queue empty. Owned by its port for the port's
// whole life and reused by later waits: a post notifies it after releasing the lock, by which time
// its thread may already have left and another wait taken it over, which only costs that wait a
// spurious wake-up.
struct TWaiter {
  std::condition_variable FWake;
  TWaiter* FNewer = nullptr; // idle list (towards the top) or, on the spare list, the next spare
  TWaiter* FOlder = nullptr; // idle list, towards the bottom
  TWaiter* FOwnedNext = nullptr;
  bool FWoken = false; // guarded by the port's lock
};

// The queue: a ring that grows with the backlog, so that steady traffic allocates nothing.
class TPacketRing {
public:
  static constexpr std::size_t InitialCapacity = 64;
  // A backlog this large is given back once the queue has drained.
  static constexpr std::size_t KeptCapacity = 4096;

  TPacketRing() : FSlots(InitialCapacity) {}

  bool Empty() const noexcept { return FCount == 0; }
  std::size_t Count() const noexcept { return FCount; }

  void Push(const TCompletionPacket& packet) {
    if (FCount == FSlots.size())
      Grow();
    FSlots[(FHead + FCount) % FSlots.size()] = packet;
    ++FCount;
  }

  TCompletionPacket Pop() noexcept {
    const TCompletionPacket packet = FSlots[FHead];
    FHead = (FHead + 1) % FSlots.size();
    --FCount;
    if (FCount == 0) {
      FHead = 0;
      if (FSlots.size() > KeptCapacity)
        Shrink();
    }
    return packet;
  }

  void Clear() noexcept {
    FHead = 0;
    FCount = 0;
  }

private:
  void Grow() {
    std::vector<TCompletionPacket> larger(FSlots.size() * 2);
    for (std::size_t i = 0; i < FCount; ++i)
      larger[i] = FSlots[(FHead + i) % FSlots.size()];
    FSlots.swap(larger);
    FHead = 0;
  }

  void Shrink() noexcept {
    try {
      std::vector<TCompletionPacket>(InitialCapacity).swap(FSlots);
    } catch (...) {
      // Keeping the larger ring is as good.
    }
  }

  std::vector<TCompletionPacket> FSlots;
  std::size_t FHead = 0;
  std::size_t FCount = 0;
};

struct TCompletionPort {
  TCompletionPort() = default;
  TCompletionPort(const TCompletionPort&) = delete;
  TCompletionPort& operator=(const TCompletionPort&) = delete;
  ~TCompletionPort() {
    while (FOwned != nullptr)
      delete std::exchange(FOwned, FOwned->FOwnedNext);
  }

  std::mutex FLock; // guards everything below
  TPacketRing FPackets;
  TWaiter* FIdleTop = nullptr; // the waiter that went idle last
  TWaiter* FSpare = nullptr;
  TWaiter* FOwned = nullptr;
  // Waiters woken and not yet back under the lock: each will take a packet that is queued now.
  std::size_t FWoken = 0;
  // Waits that could get no waiter of their own; they share FChanged.
  std::size_t FPlainWaits = 0;
  std::condition_variable FChanged;
  bool FClosed = false;

  // Under the lock: a waiter for the calling thread, a spare one if any; null when none can be had.
  TWaiter* TakeWaiter() noexcept {
    if (TWaiter* spare = FSpare) {
      FSpare = spare->FNewer;
      spare->FNewer = nullptr;
      return spare;
    }
    TWaiter* created = new (std::nothrow) TWaiter;
    if (created != nullptr) {
      created->FOwnedNext = FOwned;
      FOwned = created;
    }
    return created;
  }

  void ReturnWaiter(TWaiter* waiter) noexcept {
    waiter->FOlder = nullptr;
    waiter->FNewer = FSpare;
    FSpare = waiter;
  }

  void PushIdle(TWaiter* waiter) noexcept {
    waiter->FWoken = false;
    waiter->FNewer = nullptr;
    waiter->FOlder = FIdleTop;
    if (FIdleTop != nullptr)
      FIdleTop->FNewer = waiter;
    FIdleTop = waiter;
  }

  // A waiter whose time ran out leaves the idle list from wherever it is.
  void RemoveIdle(TWaiter* waiter) noexcept {
    if (waiter->FOlder != nullptr)
      waiter->FOlder->FNewer = waiter->FNewer;
    if (waiter->FNewer != nullptr) {
      waiter->FNewer->FOlder = waiter->FOlder;
    } else {
      FIdleTop = waiter->FOlder;
    }
    waiter->FNewer = nullptr;
    waiter->FOlder = nullptr;
  }

  // Under the lock: the idle waiter to wake for the packets now queued, marked as woken, when
  // they are more than the threads already woken for them; null when nobody needs waking.
  TWaiter* WakeForUnclaimed() noexcept {
    if (FPackets.Count() <= FWoken || FIdleTop == nullptr)
      return nullptr;
    TWaiter* waiter = FIdleTop;
    FIdleTop = waiter->FOlder;
    if (FIdleTop != nullptr)
      FIdleTop->FNewer = nullptr;
    waiter->FOlder = nullptr;
    waiter->FWoken = true;
    ++FWoken;
    return waiter;
  }
};

using TPortTable = detail::THandleTable<TCompletionPort>;

// Outside the lock. The port, kept alive by the caller, keeps the waiter alive.
void Wake(TCompletionPort& port, TWaiter* waiter, bool plainWaits) {
  if (waiter != nullptr)
    waiter->FWake.notify_one();
  if (plainWaits)
    port.FChanged.notify_all();
}

// A wait that could get no waiter of its own, on the port's shared condition: wrPacket when an
// unclaimed packet is there to take.
TWaitResult PlainWait(TCompletionPort& port, std::unique_lock<std::mutex>& lock,
                      std::uint32_t timeout) {
  const auto ready = [&] { return port.FClosed || port.FPackets.Count() > port.FWoken; };
  ++port.FPlainWaits;
  bool readied = true;
  if (timeout == InfiniteWait) {
    port.FChanged.wait(lock, ready);
  } else {
    readied = port.FChanged.wait_for(lock, std::chrono::milliseconds(timeout), ready);
  }
  --port.FPlainWaits;
  if (port.FClosed)
    return TWaitResult::wrFailed;
  return readied ? TWaitResult::wrPacket : TWaitResult::wrTimeout;
}

// Sleeps until this waiter is woken for a packet or the time-out ends; wrPacket when an unclaimed
// packet is there to take.
TWaitResult IdleWait(TCompletionPort& port, std::unique_lock<std::mutex>& lock, TWaiter& self,
                     std::uint32_t timeout) {
  port.PushIdle(&self);
  const auto woken = [&self] { return self.FWoken; };
  bool wasWoken = true;
  if (timeout == InfiniteWait) {
    self.FWake.wait(lock, woken);
  } else {
    wasWoken = self.FWake.wait_for(lock, std::chrono::milliseconds(timeout), woken);
  }
  if (wasWoken) {
    self.FWoken = false;
    --port.FWoken;
  } else {
    port.RemoveIdle(&self);
  }
  if (port.FClosed)
    return TWaitResult::wrFailed;
  // A thread that is woken always finds its packet: nobody takes a claimed one. One whose time ran
  // out takes a packet that arrived while a woken thread was already on its way.
  return port.FPackets.Count() > port.FWoken ? TWaitResult::wrPacket : TWaitResult::wrTimeout;
}

} // namespace

THandle CreateCompletionPort() {
  try {
    return TPortTable::Instance().Add(std::make_shared<TCompletionPort>());
  } catch (...) {
    return NoHandle;
  }
}

bool PostCompletionPacket(THandle port, const TCompletionPacket& packet) {
  const std::shared_ptr<TCompletionPort> object = TPortTable::Instance().Find(port);
  if (!object)
    return false;
  TWaiter* woken = nullptr;
  bool plainWaits = false;
  {
    std::lock_guard<std::mutex> lock(object->FLock);
    if (object->FClosed)
      return false;
    try {
      object->FPackets.Push(packet);
    } catch (...) {
      return false;
    }
    // One thread on its way is enough for the poster to wake: it passes the wake on if more
    // packets are waiting by the time it takes its own.
    if (object->FWoken == 0)
      woken = object->WakeForUnclaimed();
    plainWaits = object->FPlainWaits != 0;
  }
  Wake(*object, woken, plainWaits);
  return true;
}

TWaitResult WaitCompletionPacket(THandle port, std::uint32_t timeout, TCompletionPacket& packet) {
  const std::shared_ptr<TCompletionPort> object = TPortTable::Instance().Find(port);
  if (!object)
    return TWaitResult::wrFailed;
  TCompletionPort& state = *object;
  std::unique_lock<std::mutex> lock(state.FLock);
  if (state.FClosed)
    return TWaitResult::wrFailed;
  // Packets that threads already woken are coming for are theirs to take.
  if (state.FPackets.Count() <= state.FWoken) {
    if (timeout == 0)
      return TWaitResult::wrTimeout;
    TWaitResult result;
    if (TWaiter* self = state.TakeWaiter()) {
      result = IdleWait(state, lock, *self, timeout);
      state.ReturnWaiter(self);
    } else {
      result = PlainWait(state, lock, timeout);
    }
    if (result != TWaitResult::wrPacket)
      return result;
  }
  packet = state.FPackets.Pop();
  TWaiter* next = state.WakeForUnclaimed();
  const bool plainWaits = next == nullptr && state.FPlainWaits != 0 && !state.FPackets.Empty();
  lock.unlock();
  Wake(state, next, plainWaits);
  return TWaitResult::wrPacket;
}

bool CloseCompletionPort(THandle port) {
  const std::shared_ptr<TCompletionPort> object = TPortTable::Instance().Remove(port);
  if (!object)
    return false;
  std::lock_guard<std::mutex> lock(object->FLock);
  object->FClosed = true;
  object->FPackets.Clear();
  // Notified under the lock: the idle list is only walked here, and closing is rare.
  while (TWaiter* waiter = object->FIdleTop) {
    object->FIdleTop = waiter->FOlder;
    waiter->FOlder = nullptr;
    waiter->FNewer = nullptr;
    waiter->FWoken = true;
    ++object->FWoken;
    waiter->FWake.notify_one();
  }
  object->FChanged.notify_all();
  return true;
}

} // namespace isapi_web::platform
