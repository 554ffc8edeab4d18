#include "host/call_record.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>

namespace isapi_web::host {

namespace {

std::atomic<bool> ObserverActive{false};
std::mutex ObserverMutex; // guards Observer
std::function<void(const TCallRecord&)> Observer;

std::condition_variable ObservedCallsChanged;
int ObservedCallsInFlight = 0; // guarded by ObserverMutex

} // namespace

TObservedCall::TObservedCall() : FCounted(ObserverActive) {
  if (!FCounted)
    return;
  std::lock_guard lock(ObserverMutex);
  ++ObservedCallsInFlight;
}

TObservedCall::~TObservedCall() {
  if (!FCounted)
    return;
  // Notified under the lock: once the waiter sees zero, this thread touches nothing more.
  std::lock_guard lock(ObserverMutex);
  --ObservedCallsInFlight;
  ObservedCallsChanged.notify_all();
}

bool CallsObserved() {
  return ObserverActive;
}

void ReportObservedCall(const TCallRecord& record) {
  std::lock_guard lock(ObserverMutex);
  if (Observer)
    Observer(record);
}

void SetCallObserver(std::function<void(const TCallRecord&)> observer) {
  std::lock_guard lock(ObserverMutex);
  ObserverActive = static_cast<bool>(observer);
  Observer = std::move(observer);
}

void WaitForObservedCalls() {
  std::unique_lock lock(ObserverMutex);
  ObservedCallsChanged.wait(lock, [] { return ObservedCallsInFlight == 0; });
}

std::string HandleText(const void* handle) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llx",
                static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(handle)));
  return text;
}

} // namespace isapi_web::host
