// Completion ports as a FIFO under a mutex, with the semantics the worker pool relies on: posts
// queue in order, a wait takes the oldest packet, and closing wakes every waiter with a failure.

#include "platform/platform.h"

#include "platform/handle_table.h"

#include <chrono>
#include <condition_variable>
#include <deque>

namespace isapi_web::platform {

namespace {

struct TCompletionPort {
  std::mutex FLock; // guards FPackets and FClosed
  std::condition_variable FChanged;
  std::deque<TCompletionPacket> FPackets;
  bool FClosed = false;
};

using TPortTable = detail::THandleTable<TCompletionPort>;

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
  {
    std::lock_guard<std::mutex> lock(object->FLock);
    if (object->FClosed)
      return false;
    try {
      object->FPackets.push_back(packet);
    } catch (...) {
      return false;
    }
  }
  object->FChanged.notify_one();
  return true;
}

TWaitResult WaitCompletionPacket(THandle port, std::uint32_t timeout, TCompletionPacket& packet) {
  const std::shared_ptr<TCompletionPort> object = TPortTable::Instance().Find(port);
  if (!object)
    return TWaitResult::wrFailed;
  std::unique_lock<std::mutex> lock(object->FLock);
  const auto ready = [&] { return object->FClosed || !object->FPackets.empty(); };
  if (timeout == InfiniteWait) {
    object->FChanged.wait(lock, ready);
  } else if (!object->FChanged.wait_for(lock, std::chrono::milliseconds(timeout), ready)) {
    return TWaitResult::wrTimeout;
  }
  if (object->FClosed)
    return TWaitResult::wrFailed;
  packet = object->FPackets.front();
  object->FPackets.pop_front();
  return TWaitResult::wrPacket;
}

bool CloseCompletionPort(THandle port) {
  const std::shared_ptr<TCompletionPort> object = TPortTable::Instance().Remove(port);
  if (!object)
    return false;
  {
    std::lock_guard<std::mutex> lock(object->FLock);
    object->FClosed = true;
    object->FPackets.clear();
  }
  object->FChanged.notify_all();
  return true;
}

} // namespace isapi_web::platform
