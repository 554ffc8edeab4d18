#include "host/thread_group.h"

namespace isapi_web::host {

namespace {

thread_local TThreadGroup::TSlot* CurrentSlot = nullptr;

} // namespace

TExtensionCallScope::TExtensionCallScope() {
  if (CurrentSlot == nullptr) return;
  CurrentSlot->Calls.fetch_add(1, std::memory_order_relaxed);
  CurrentSlot->InCall.store(true, std::memory_order_relaxed);
}

TExtensionCallScope::~TExtensionCallScope() {
  if (CurrentSlot != nullptr) CurrentSlot->InCall.store(false, std::memory_order_relaxed);
}

TThreadGroup::TThreadGroup(std::function<void()> body, unsigned initialThreads,
                           unsigned maximumThreads, std::chrono::milliseconds watchInterval)
    : FBody(std::move(body)), FInitial(initialThreads == 0 ? 1 : initialThreads),
      FMaximum(maximumThreads < FInitial ? FInitial : maximumThreads), FInterval(watchInterval) {}

TThreadGroup::~TThreadGroup() { Join(std::chrono::milliseconds(0)); }

void TThreadGroup::Start() {
  std::lock_guard lock(FMutex);
  while (FSlots.size() < FInitial) AddThreadLocked();
  if (FMaximum > FInitial) FWatcher = std::thread([this] { Watch(); });
}

void TThreadGroup::AddThreadLocked() {
  auto slot = std::make_unique<TSlot>();
  TSlot* raw = slot.get();
  raw->Thread = std::thread([this, raw] {
    CurrentSlot = raw;
    FBody();
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
    if (FStopping) break;
    std::size_t blocked = 0;
    for (const auto& slot : FSlots) {
      const std::uint64_t calls = slot->Calls.load(std::memory_order_relaxed);
      if (slot->InCall.load(std::memory_order_relaxed) && calls == slot->CallsSeen) ++blocked;
      slot->CallsSeen = calls;
    }
    if (blocked == FSlots.size() && FSlots.size() < FMaximum) AddThreadLocked();
  }
}

bool TThreadGroup::Join(std::chrono::milliseconds patience) {
  {
    std::lock_guard lock(FMutex);
    FStopping = true;
  }
  FWake.notify_all();
  if (FWatcher.joinable()) FWatcher.join();
  const auto deadline = std::chrono::steady_clock::now() + patience;
  bool all = true;
  std::lock_guard lock(FMutex);
  for (auto& slot : FSlots) {
    if (!slot || !slot->Thread.joinable()) continue;
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

