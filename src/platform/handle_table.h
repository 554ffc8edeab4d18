#pragma once
// The layer's own state of its objects, by handle. A handle leads to the state through a table,
// never by being its address: closing a port while other threads still wait on it must leave them
// a live object to wake on, and a later call with the closed handle must fail instead of touching
// freed memory. The POSIX objects are nothing but such state, with handles numbered here; on
// Windows the state sits beside a real handle, under that handle's value.

#include "platform/platform.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace isapi_web::platform::detail {

/// A new handle value, for objects that have no system handle; never the same value twice.
THandle NextHandleValue();

/// Records how to free a table, for ReleaseProcessTables.
void RegisterTableRelease(void (*release)()) noexcept;

/// The open objects of one kind, by handle.
template <class TObject> class THandleTable {
public:
  /// Enters the object under a new handle and answers it.
  THandle Add(std::shared_ptr<TObject> object) {
    const THandle handle = NextHandleValue();
    Insert(handle, std::move(object));
    return handle;
  }

  /// Enters the object under the given handle, replacing what a closed one left there.
  void Insert(THandle handle, std::shared_ptr<TObject> object) {
    std::lock_guard<std::mutex> lock(FLock);
    FObjects.insert_or_assign(handle, std::move(object));
  }

  /// The object of an open handle, or null.
  std::shared_ptr<TObject> Find(THandle handle) {
    std::lock_guard<std::mutex> lock(FLock);
    const auto found = FObjects.find(handle);
    return found == FObjects.end() ? nullptr : found->second;
  }

  /// Removes the handle and answers its object (null when it was not open); threads that found
  /// the object before keep it alive until they let go.
  std::shared_ptr<TObject> Remove(THandle handle) {
    std::lock_guard<std::mutex> lock(FLock);
    const auto found = FObjects.find(handle);
    if (found == FObjects.end())
      return nullptr;
    std::shared_ptr<TObject> object = std::move(found->second);
    FObjects.erase(found);
    return object;
  }

  /// The process's table for this kind. Static destruction never takes it: threads whose handles
  /// were closed may still run while the process exits. ReleaseProcessTables frees it.
  static THandleTable& Instance() {
    static THandleTable* const table = [] {
      auto* created = new THandleTable;
      RegisterTableRelease(&Release);
      return created;
    }();
    return *table;
  }

private:
  static void Release() { delete &Instance(); }

  std::mutex FLock; // guards FObjects
  std::unordered_map<THandle, std::shared_ptr<TObject>> FObjects;
};

} // namespace isapi_web::platform::detail
