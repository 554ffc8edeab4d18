// Completion ports as a FIFO under a mutex, with the semantics the worker pool relies on: posts
// queue in order, a wait takes the oldest packet, and closing wakes every waiter with a failure.
//
// Waking is what costs here, so the port wakes as a Windows port does. Each waiting thread sleeps
// on a condition of its own, and a post wakes the thread that went idle last (its stack and cache
// are still warm), and only when the packet would otherwise sit unclaimed: when no thread that was
// already woken or is looking for work is still on its way to the queue. A woken thread that finds
// more packets behind the one it takes passes the wake on, so a burst still spreads over as many
// threads as it needs while the poster pays for at most one wake. The wake itself comes after the
// lock is released, so the woken thread does not run into the poster's lock.
//
// As on Windows, no more threads are woken than there are processors while those that took
// packets still run: more would only take turns on the same processors, each turn a context
// switch, while a thread that comes back takes the next packet without sleeping. The system does
// not tell this layer when a running thread blocks, so one idle thread watches instead: when no
// packet has been taken for a whole interval while some wait, it takes one itself. An idle thread
// becomes the watcher when it goes idle while others run, or is notified to become it when
// packets are left to the running threads and none watches; it stands down after an interval in
// which nothing ran and nothing was taken, so an idle port sleeps. A thread that
// comes back to an empty queue looks for work a little while before it sleeps, so that a steady
// stream of posts finds it awake; one thread at a time does, for a bounded time, yielding the
// processor all the while.

#include "platform/platform.h"

#include "platform/handle_table.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <new>
#include <thread>
#include <utility>
#include <vector>

namespace isapi_web::platform {

namespace {

// How long a thread that comes back to an empty queue looks for a packet before it sleeps: about
// the time between two requests of a busy server, far below a scheduler's time slice.
constexpr auto SpinTime = std::chrono::microseconds(50);
// How long the watcher lets packets wait while none is taken before it takes one itself.
constexpr auto WatchInterval = std::chrono::milliseconds(1);

// Ports are told apart by a number that is never reused, unlike their addresses.
std::atomic<std::uint64_t> NextPortId{1};
// The port from which the calling thread took its last packet, while it has not come back to wait
// on it; 0 when none.
thread_local std::uint64_t RunningOn = 0;

std::size_t ProcessorCount() noexcept {
  const unsigned count = std::thread::hardware_concurrency();
  return count == 0 ? 1 : count;
}

// A thread in WaitCompletionPacket that found the queue empty. Owned by its port for the port's
// whole life and reused by later waits: a post notifies it after releasing the lock, by which time
// its thread may already have left and another wait taken it over, which only costs that wait a
// spurious wake-up.
struct TWaiter {
  std::condition_variable FWake;
  TWaiter* FNewer = nullptr; // idle list (towards the top) or, on the spare list, the next spare
  TWaiter* FOlder = nullptr; // idle list, towards the bottom
  TWaiter* FOwnedNext = nullptr;
  bool FWoken = false;   // guarded by the port's lock
  bool FEndless = false; // waits without a time-out: may be made the watcher
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

  const std::uint64_t FId = NextPortId.fetch_add(1, std::memory_order_relaxed);
  const std::size_t FConcurrency = ProcessorCount();
  std::mutex FLock; // guards everything below but FUnclaimed's reads
  TPacketRing FPackets;
  TWaiter* FIdleTop = nullptr; // the waiter that went idle last
  TWaiter* FSpare = nullptr;
  TWaiter* FOwned = nullptr;
  // Waiters woken and not yet back under the lock: each will take a packet that is queued now.
  std::size_t FWoken = 0;
  // Threads that took a packet and have not come back to wait (as far as this port knows: one
  // that ends or turns to another port is counted until the watcher sees nothing move).
  std::size_t FRunning = 0;
  // Threads looking for a packet before they sleep (at most one); each counts as on its way.
  std::size_t FSpinning = 0;
  // The idle waiter that wakes every WatchInterval while threads run; null when none does.
  TWaiter* FWatcher = nullptr;
  // Packets taken so far: the watcher's sign that the running threads still come back.
  std::uint64_t FTaken = 0;
  // Packets that no woken thread is coming for, for the spinning thread to read without the lock.
  std::atomic<std::size_t> FUnclaimed{0};
  // Waits that could get no waiter of their own; they share FChanged.
  std::size_t FPlainWaits = 0;
  std::condition_variable FChanged;
  bool FClosed = false;

  bool HasUnclaimed() const noexcept { return FPackets.Count() > FWoken; }
  // Under the lock, after the packets or FWoken changed.
  void Publish() noexcept {
    FUnclaimed.store(HasUnclaimed() ? FPackets.Count() - FWoken : 0, std::memory_order_relaxed);
  }

  // Under the lock, when the calling thread comes back to wait: it no longer runs for this port.
  void CameBack() noexcept {
    if (RunningOn != FId)
      return;
    RunningOn = 0;
    if (FRunning != 0)
      --FRunning;
  }

  // Under the lock: the calling thread takes the oldest packet and runs for this port.
  TCompletionPacket Take() noexcept {
    const TCompletionPacket packet = FPackets.Pop();
    ++FTaken;
    ++FRunning;
    RunningOn = FId;
    Publish();
    return packet;
  }

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

  // Under the lock: the idle waiter to notify for the packets now queued, when they are more
  // than the threads already on their way for them; null when nobody needs waking. While fewer
  // threads than processors run, it is woken to take a packet (and marked as woken). At that
  // limit the packets are left to the threads that run, which take them as they come back, and
  // the waiter notified, if none watches yet, is made the watcher, which takes over should they be
  // held.
  TWaiter* WakeForUnclaimed() noexcept {
    if (FPackets.Count() <= FWoken + FSpinning || FIdleTop == nullptr)
      return nullptr;
    if (FRunning + FWoken >= FConcurrency) {
      if (FWatcher != nullptr)
        return nullptr;
      for (TWaiter* waiter = FIdleTop; waiter != nullptr; waiter = waiter->FOlder) {
        if (waiter->FEndless) {
          FWatcher = waiter;
          return waiter;
        }
      }
      // Only waits that end by themselves: the first to end takes a packet.
      return nullptr;
    }
    // The watcher keeps watching while another waiter can be woken instead.
    TWaiter* waiter = FIdleTop;
    if (waiter == FWatcher && waiter->FOlder != nullptr)
      waiter = waiter->FOlder;
    RemoveIdle(waiter);
    waiter->FWoken = true;
    if (waiter == FWatcher)
      FWatcher = nullptr;
    ++FWoken;
    Publish();
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
// packet is there to take. An endless wait while other threads run may be the watcher's, or be
// made the watcher later.
TWaitResult IdleWait(TCompletionPort& port, std::unique_lock<std::mutex>& lock, TWaiter& self,
                     std::uint32_t timeout) {
  self.FEndless = timeout == InfiniteWait;
  port.PushIdle(&self);
  const auto woken = [&self] { return self.FWoken; };
  bool wasWoken = true;
  for (;;) {
    if (self.FEndless && port.FWatcher == nullptr && port.FRunning != 0)
      port.FWatcher = &self;
    if (port.FWatcher == &self) {
      const std::uint64_t taken = port.FTaken;
      wasWoken = self.FWake.wait_for(lock, WatchInterval, woken);
      if (wasWoken)
        break;
      // Packets that waited a whole interval while nobody took any: the threads that run are
      // held, and this one serves instead. Otherwise it watches on, until an interval in which
      // nothing ran and nothing was taken.
      if (port.HasUnclaimed() &&
          (port.FTaken == taken || port.FRunning + port.FWoken < port.FConcurrency)) {
        port.FWatcher = nullptr;
        break;
      }
      if (port.FRunning == 0 && port.FTaken == taken)
        port.FWatcher = nullptr;
      continue;
    }
    if (self.FEndless) {
      // Until woken for a packet, or made the watcher.
      self.FWake.wait(lock, [&] { return self.FWoken || port.FWatcher == &self; });
      wasWoken = self.FWoken;
      if (wasWoken)
        break;
      continue;
    }
    wasWoken = self.FWake.wait_for(lock, std::chrono::milliseconds(timeout), woken);
    break;
  }
  if (wasWoken) {
    self.FWoken = false;
    --port.FWoken;
    port.Publish();
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
    object->Publish();
    // One thread on its way is enough for the poster to wake: it passes the wake on if more
    // packets are waiting by the time it takes its own.
    if (object->FWoken == 0 && object->FSpinning == 0)
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
  state.CameBack();
  // Packets that threads already woken are coming for are theirs to take.
  if (!state.HasUnclaimed() && timeout == InfiniteWait && state.FSpinning == 0) {
    ++state.FSpinning;
    lock.unlock();
    const auto until = std::chrono::steady_clock::now() + SpinTime;
    for (unsigned turn = 1; state.FUnclaimed.load(std::memory_order_relaxed) == 0; ++turn) {
      // Yielding, not pausing: on a machine with more runnable threads than processors, the
      // thread that would post may be waiting for this very processor.
      std::this_thread::yield();
      if (turn % 16 == 0 && std::chrono::steady_clock::now() >= until)
        break;
    }
    lock.lock();
    --state.FSpinning;
    if (state.FClosed)
      return TWaitResult::wrFailed;
  }
  if (!state.HasUnclaimed()) {
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
  packet = state.Take();
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
  object->FWatcher = nullptr;
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
