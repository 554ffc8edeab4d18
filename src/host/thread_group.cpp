#include "host/thread_group.h"

#include <algorithm>

namespace isapi_web::host {

namespace {

thread_local TThreadGroup::TSlot* CurrentSlot = nullptr;

} // namespace

TExtensionCallScope::TExtensionCallScope() {
  if (CurrentSlot == nullptr)
    return;
  CurrentSlot->Calls.fetch_add(1, std::memory_order_relaxed);
  CurrentSlot->InCall.store(true, std::memory_order_relaxed);
}

TExtensionCallScope::~TExtensionCallScope() {
  if (CurrentSlot != nullptr)
    CurrentSlot->InCall.store(false, std::memory_order_relaxed);
}

TThreadGroup::TThreadGroup(std::vector<std::function<void()>> laneBodies, unsigned maximumThreads,
                           std::chrono::milliseconds watchInterval)
    : FBodies(std::move(laneBodies)),
      FMaximum(std::max<unsigned>(maximumThreads, static_cast<unsigned>(FBodies.size()))),
      FInterval(watchInterval) {}

TThreadGroup::~TThreadGroup() {
  Join(std::chrono::milliseconds(0));
}

void TThreadGroup::Start() {
  std::lock_guard lock(FMutex);
  for (std::size_t lane = 0; lane < FBodies.size(); ++lane)
    AddThreadLocked(lane);
  if (FMaximum > FBodies.size())
    FWatcher = std::thread([this] { Watch(); });
}

void TThreadGroup::AddThreadLocked(std::size_t lane) {
  auto slot = std::make_unique<TSlot>();
  TSlot* raw = slot.get();
  raw->Lane = lane;
  raw->Thread = std::thread([this, raw] {
    CurrentSlot = raw;
    FBodies[raw->Lane]();
    raw->Finished = true;
  });
  FSlots.push_back(std::move(slot));
}

unsigned TThreadGroup::ThreadCount() const {
  std::lock_guard lock(FMutex);
  return static_cast<unsigned>(FSlots.size());
}

// A thread counts as blocked when it is inside an extension call and has started no other call
// since the previous look: that call has lasted at least one interval. Fast calls never trip it.
void TThreadGroup::Watch() {
  std::unique_lock lock(FMutex);
  while (!FStopping) {
    FWake.wait_for(lock, FInterval, [this] { return FStopping; });
    if (FStopping)
      break;
    std::vector<std::size_t> threads(FBodies.size(), 0);
    std::vector<std::size_t> blocked(FBodies.size(), 0);
    for (const auto& slot : FSlots) {
      if (!slot)
        continue;
      const std::uint64_t calls = slot->Calls.load(std::memory_order_relaxed);
      ++threads[slot->Lane];
      if (slot->InCall.load(std::memory_order_relaxed) && calls == slot->CallsSeen)
        ++blocked[slot->Lane];
      slot->CallsSeen = calls;
    }
    for (std::size_t lane = 0; lane < FBodies.size() && FSlots.size() < FMaximum; ++lane)
      if (blocked[lane] == threads[lane])
        AddThreadLocked(lane);
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
    // are merely finishing their last handler return.
    while (slot->InCall && !slot->Finished && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (slot->InCall && !slot->Finished) {
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
