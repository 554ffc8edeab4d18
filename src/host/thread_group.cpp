#include "host/thread_group.h"

#include <algorithm>
#include <system_error>
#include <utility>

#include "host/host_system.h"
#include "host/host_text.h"

namespace isapi_web::host {

namespace {

thread_local TThreadGroup::TSlot* CurrentSlot = nullptr;

} // namespace

TExtensionCallScope::TExtensionCallScope() {
  if (CurrentSlot == nullptr)
    return;
  CurrentSlot->Calls.fetch_add(1, std::memory_order_relaxed);
  CurrentSlot->InCall.fetch_add(1, std::memory_order_relaxed);
}

TExtensionCallScope::~TExtensionCallScope() {
  if (CurrentSlot != nullptr)
    CurrentSlot->InCall.fetch_sub(1, std::memory_order_relaxed);
}

// The watcher marks a lane handed over before it starts the fresh thread, so that the held
// thread never runs a step beside it; when no thread can be started it takes the mark back, under
// a lock of its own (not the group's, which Join holds while it joins the threads). A thread that
// sees the mark confirms it under that lock before it leaves. The lock is never destroyed: a
// thread that an extension held past the group's end still takes it when its call returns.
std::mutex& TThreadGroup::HandOverMutex() {
  static std::mutex* const mutex = new std::mutex;
  return *mutex;
}

bool TThreadGroup::HandedOverConfirmed(TSlot& slot) {
  if (!slot.HandedOver.load(std::memory_order_relaxed))
    return false;
  std::lock_guard lock(HandOverMutex());
  return slot.HandedOver.load(std::memory_order_relaxed);
}

void LeaveLaneIfHandedOver() {
  if (CurrentSlot != nullptr && TThreadGroup::HandedOverConfirmed(*CurrentSlot))
    throw TLaneHandedOver{};
}

TThreadGroup::TThreadGroup(std::vector<std::function<bool()>> laneSteps,
                           std::chrono::milliseconds watchInterval)
    : FSteps(std::move(laneSteps)), FInterval(watchInterval), FCurrent(FSteps.size(), nullptr) {}

TThreadGroup::~TThreadGroup() {
  Join(std::chrono::milliseconds(0));
}

void TThreadGroup::Start() {
  std::lock_guard lock(FMutex);
  for (std::size_t lane = 0; lane < FSteps.size(); ++lane)
    if (!AddThreadLocked(lane))
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                              "cannot start the threads of the network loops");
  FWatcher = std::thread([this] { Watch(); });
}

bool TThreadGroup::AddThreadLocked(std::size_t lane) {
  auto slot = std::make_unique<TSlot>();
  TSlot* raw = slot.get();
  raw->Lane = lane;
  try {
    raw->Thread = std::thread([this, raw] {
      PreferShortTurns();
      CurrentSlot = raw;
      const std::function<bool()>& step = FSteps[raw->Lane];
      try {
        while (!HandedOverConfirmed(*raw) && step()) {
        }
      } catch (const TLaneHandedOver&) {
        // The step ended between two of its handlers: the lane is the fresh thread's now.
      }
      raw->Finished = true;
    });
  } catch (const std::system_error&) {
    return false; // the system has no thread to give now (its limit, or no room for a stack)
  }
  FCurrent[lane] = raw;
  FSlots.push_back(std::move(slot));
  return true;
}

unsigned TThreadGroup::ThreadCount() const {
  std::lock_guard lock(FMutex);
  return static_cast<unsigned>(std::count_if(FSlots.begin(), FSlots.end(), [](const auto& slot) {
    return slot && !slot->Finished.load();
  }));
}

unsigned TThreadGroup::HandOvers() const {
  std::lock_guard lock(FMutex);
  return FHandOvers;
}

// A lane's thread counts as held when it is inside an extension call and has started no other
// call since the previous look: that call has lasted at least one interval. Fast calls never
// trip it. The held thread keeps its call; the lane goes on with a fresh thread.
void TThreadGroup::Watch() {
  std::unique_lock lock(FMutex);
  while (!FStopping) {
    FWake.wait_for(lock, FInterval, [this] { return FStopping; });
    if (FStopping)
      break;
    for (std::size_t lane = 0; lane < FSteps.size(); ++lane) {
      TSlot& slot = *FCurrent[lane];
      const std::uint64_t calls = slot.Calls.load(std::memory_order_relaxed);
      const bool held = slot.InCall.load(std::memory_order_relaxed) > 0 && calls == slot.CallsSeen;
      slot.CallsSeen = calls;
      if (held && !slot.Finished) {
        std::unique_lock handOver(HandOverMutex());
        slot.HandedOver = true;
        // Without a fresh thread the held one keeps its lane: the lane waits for the call to
        // return, and the watcher tries again next time.
        if (!AddThreadLocked(lane)) {
          slot.HandedOver = false;
          handOver.unlock();
          if (!std::exchange(FShortNoted, true))
            Diagnostic("a network loop's thread is held in an extension call and no thread can "
                       "be started to take over its connections: they wait for the call");
          continue;
        }
        FShortNoted = false;
        ++FHandOvers;
      }
    }
    // Threads that left their lane and ended are joined as they go.
    for (auto& slot : FSlots)
      if (slot && slot->Finished && slot->HandedOver && slot->Thread.joinable()) {
        slot->Thread.join();
        slot.reset();
      }
    std::erase(FSlots, nullptr);
  }
}

bool TThreadGroup::Join(std::chrono::milliseconds patience) {
  {
    std::lock_guard lock(FMutex);
    FStopping = true;
  }
  FWake.notify_all();
  if (FWatcher.joinable())
    FWatcher.join();
  const auto deadline = std::chrono::steady_clock::now() + patience;
  bool all = true;
  std::lock_guard lock(FMutex);
  for (auto& slot : FSlots) {
    if (!slot || !slot->Thread.joinable())
      continue;
    // A thread stuck in an extension would never be joined; waiting a little lets the ones that
    // are merely finishing their last step return.
    while (slot->InCall > 0 && !slot->Finished && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (slot->InCall > 0 && !slot->Finished) {
      // Its slot stays allocated: the thread still writes to it when the call returns.
      slot->Thread.detach();
      static_cast<void>(slot.release());
      all = false;
    } else {
      slot->Thread.join();
    }
  }
  return all;
}

} // namespace isapi_web::host
