#include "platform/handle_table.h"

namespace isapi_web::platform::detail {

namespace {
// Starts above zero (NoHandle); a 64-bit counter never comes round to InvalidHandleValue.
std::atomic<THandle> LastHandleValue{0};
} // namespace

THandle NextHandleValue() {
  return LastHandleValue.fetch_add(1, std::memory_order_relaxed) + 1;
}

} // namespace isapi_web::platform::detail
