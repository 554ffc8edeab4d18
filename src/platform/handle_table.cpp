#include "platform/handle_table.h"

namespace isapi_web::platform::detail {

namespace {
// Starts above zero (NoHandle); a 64-bit counter never comes round to InvalidHandleValue.
std::atomic<THandle> LastHandleValue{0};

// One entry per kind of table; a fixed array, so that the registry itself owns no memory.
constexpr std::size_t MaxTables = 16;
std::atomic<void (*)()> TableReleases[MaxTables];
std::atomic<std::size_t> TableCount{0};
} // namespace

THandle NextHandleValue() {
  return LastHandleValue.fetch_add(1, std::memory_order_relaxed) + 1;
}

void RegisterTableRelease(void (*release)()) noexcept {
  const std::size_t index = TableCount.fetch_add(1);
  if (index < MaxTables)
    TableReleases[index].store(release);
}

} // namespace isapi_web::platform::detail

namespace isapi_web::platform {

void ReleaseProcessTables() noexcept {
  for (auto& release : detail::TableReleases) {
    if (void (*const function)() = release.exchange(nullptr))
      function();
  }
}

} // namespace isapi_web::platform
