#pragma once
// CachedCast: dynamic_cast that remembers its answers. A failed cross-cast walks the whole class
// hierarchy and compares type names, and the framework asks the same questions of the same
// classes for every request (does this module offer that interface?). The answer of
// dynamic_cast<To*>(p) depends only on the class of the object and on where p points inside it,
// and both are told by the vtable pointer p's subobject carries; so the answer is kept per vtable
// pointer, as the distance from p to the result or "none". The tables live as long as the module
// that holds them, so the classes cast must not come from a library unloaded before it (another
// class could reuse the vtable's address); each extension has its own copy of the framework.

#include <atomic>
#include <cstddef>
#include <cstring>
#include <limits>
#include <type_traits>

namespace isapi_web {

namespace detail {

/// The answers one cast (From* to To*) gave so far. Entries are published lock-free, each once,
/// and never change: a reader that misses one just asks dynamic_cast again. When the table is
/// full further classes are answered by dynamic_cast alone. Constant-initialised and trivially
/// destructible, so it costs nothing at load or unload.
class TCastCache {
public:
  static constexpr std::ptrdiff_t NoTarget = std::numeric_limits<std::ptrdiff_t>::min();
  static constexpr int Capacity = 8;

  bool Find(const void* vtable, std::ptrdiff_t& delta) const noexcept {
    for (const TEntry& entry : FEntries) {
      const void* key = entry.VTable.load(std::memory_order_acquire);
      if (key == nullptr) {
        return false;
      }
      if (key == vtable) {
        delta = entry.Delta.load(std::memory_order_relaxed);
        return true;
      }
    }
    return false;
  }

  void Add(const void* vtable, std::ptrdiff_t delta) noexcept {
    if (FReserved.load(std::memory_order_relaxed) >= Capacity) {
      return;
    }
    const int slot = FReserved.fetch_add(1, std::memory_order_relaxed);
    if (slot >= Capacity) {
      return;
    }
    FEntries[slot].Delta.store(delta, std::memory_order_relaxed);
    FEntries[slot].VTable.store(vtable, std::memory_order_release);
  }

private:
  struct TEntry {
    std::atomic<const void*> VTable{nullptr};
    std::atomic<std::ptrdiff_t> Delta{0};
  };
  TEntry FEntries[Capacity];
  std::atomic<int> FReserved{0};
};

template <class To, class From> inline TCastCache CastCacheOf{};

} // namespace detail

/// dynamic_cast<To*>(object), answered from a per-class table after the first time; null for a
/// null object. From must be polymorphic.
template <class To, class From> To* CachedCast(From* object) noexcept {
  static_assert(std::is_polymorphic_v<From>, "CachedCast needs a polymorphic source class");
#if defined(__GXX_ABI_VERSION)
  // The Itanium C++ ABI (GCC, Clang, MinGW) keeps the vtable pointer at the start of every
  // polymorphic subobject.
  if (object == nullptr) {
    return nullptr;
  }
  using TBytes = std::conditional_t<std::is_const_v<From>, const char*, char*>;
  detail::TCastCache& cache = detail::CastCacheOf<std::remove_cv_t<To>, std::remove_cv_t<From>>;
  const void* vtable = nullptr;
  std::memcpy(&vtable, static_cast<const void*>(object), sizeof vtable);
  std::ptrdiff_t delta = 0;
  if (cache.Find(vtable, delta)) {
    return delta == detail::TCastCache::NoTarget
               ? nullptr
               : reinterpret_cast<To*>(reinterpret_cast<TBytes>(object) + delta);
  }
  To* result = dynamic_cast<To*>(object);
  cache.Add(vtable, result == nullptr ? detail::TCastCache::NoTarget
                                      : reinterpret_cast<const char*>(result) -
                                            reinterpret_cast<const char*>(object));
  return result;
#else
  return dynamic_cast<To*>(object);
#endif
}

} // namespace isapi_web
