#pragma once
// ConnID as a checked handle: a slot index and the slot's generation packed into the
// pointer-sized value. A handle of an ended request, or one that was never issued, finds nothing.

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace isapi_web::host {

/// Live entries by handle; every operation is safe from any thread.
template <typename T> class TConnTable {
public:
  using THandleValue = std::uintptr_t;

  /// Registers an entry and answers its handle, never 0.
  THandleValue Insert(std::shared_ptr<T> entry) {
    std::lock_guard lock(FMutex);
    std::size_t index;
    if (!FFree.empty()) {
      index = FFree.back();
      FFree.pop_back();
    } else {
      index = FSlots.size();
      FSlots.emplace_back();
    }
    TSlot& slot = FSlots[index];
    slot.Entry = std::move(entry);
    return Pack(index, slot.Generation);
  }

  /// The entry of a live handle; null for a stale, forged or null handle.
  std::shared_ptr<T> Find(THandleValue handle) const {
    std::lock_guard lock(FMutex);
    const TSlot* slot = SlotOf(handle);
    return slot != nullptr ? slot->Entry : nullptr;
  }

  /// Ends a handle: later Find calls with it answer null. False when it was not live.
  bool Remove(THandleValue handle) {
    std::lock_guard lock(FMutex);
    TSlot* slot = const_cast<TSlot*>(SlotOf(handle));
    if (slot == nullptr)
      return false;
    slot->Entry.reset();
    slot->Generation = NextGeneration(slot->Generation);
    FFree.push_back(static_cast<std::size_t>(handle & IndexMask) - 1);
    return true;
  }

  /// Every live entry, for shutdown.
  std::vector<std::shared_ptr<T>> LiveEntries() const {
    std::lock_guard lock(FMutex);
    std::vector<std::shared_ptr<T>> result;
    for (const TSlot& slot : FSlots)
      if (slot.Entry)
        result.push_back(slot.Entry);
    return result;
  }

  /// The number of live entries.
  std::size_t LiveCount() const {
    std::lock_guard lock(FMutex);
    return FSlots.size() - FFree.size();
  }

private:
  static constexpr unsigned HalfBits = sizeof(THandleValue) * 4;
  static constexpr THandleValue IndexMask = (THandleValue{1} << HalfBits) - 1;

  struct TSlot {
    THandleValue Generation = 1;
    std::shared_ptr<T> Entry;
  };

  static THandleValue NextGeneration(THandleValue generation) {
    const THandleValue next = (generation + 1) & IndexMask;
    return next == 0 ? 1 : next;
  }

  static THandleValue Pack(std::size_t index, THandleValue generation) {
    return (generation << HalfBits) | (static_cast<THandleValue>(index) + 1);
  }

  const TSlot* SlotOf(THandleValue handle) const {
    const THandleValue index = handle & IndexMask;
    if (index == 0 || index > FSlots.size())
      return nullptr;
    const TSlot& slot = FSlots[index - 1];
    if ((handle >> HalfBits) != slot.Generation || !slot.Entry)
      return nullptr;
    return &slot;
  }

  mutable std::mutex FMutex;
  std::vector<TSlot> FSlots;
  std::vector<std::size_t> FFree;
};

} // namespace isapi_web::host
