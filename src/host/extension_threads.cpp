#include "host/extension_threads.h"

#include <algorithm>
#include <system_error>
#include <utility>

#include "host/host_text.h"

namespace isapi_web::host {

TExtensionThreads& ExtensionThreads() {
  // Never destroyed: a thread left inside a call at the end still uses the pool's lock.
  static TExtensionThreads* threads = new TExtensionThreads;
  return *threads;
}

void TExtensionThreads::Configure(unsigned maxCalls, std::size_t queueLength) {
  std::lock_guard lock(FMutex);
  FMax = std::max(1u, maxCalls);
  FQueueLength = queueLength;
  StartLocked();
}

bool TExtensionThreads::EnterInline() {
  std::lock_guard lock(FMutex);
  // While work waits, the loop's thread leaves calls to the pool: a burst of calls on it would
  // hold up the network I/O of every other connection of the loop.
  if (FInside >= FMax || !FWork.empty() || !FRequests.empty())
    return false;
  ++FInside;
  return true;
}

void TExtensionThreads::LeaveInline() {
  std::lock_guard lock(FMutex);
  --FInside;
  StartLocked();
}

bool TExtensionThreads::Submit(TJob run, TJob refuse) {
  std::lock_guard lock(FMutex);
  if (FRequests.size() >= FQueueLength)
    return false;
  FRequests.push_back({std::move(run), std::move(refuse)});
  ++FOutstanding;
  StartLocked();
  return true;
}

void TExtensionThreads::Post(TJob job) {
  std::lock_guard lock(FMutex);
  FWork.push_back(std::move(job));
  ++FOutstanding;
  StartLocked();
}

std::size_t TExtensionThreads::RefuseWaiting() {
  std::deque<TWaitingRequest> refused;
  {
    std::lock_guard lock(FMutex);
    refused.swap(FRequests);
    FOutstanding -= refused.size();
    if (FOutstanding == 0)
      FDone.notify_all();
  }
  for (TWaitingRequest& request : refused)
    request.Refuse();
  return refused.size();
}

unsigned TExtensionThreads::Inside() const {
  return FInside.load();
}

std::size_t TExtensionThreads::Waiting() const {
  std::lock_guard lock(FMutex);
  return FRequests.size();
}

unsigned TExtensionThreads::ThreadCount() const {
  std::lock_guard lock(FMutex);
  return static_cast<unsigned>(FWorkers.size());
}

bool TExtensionThreads::RunnableLocked() const {
  return FInside < FMax && (!FWork.empty() || !FRequests.empty());
}

// Each idle thread takes one job when woken, so a thread is started for every job that could
// run now and has no idle thread to take it: a job never waits behind one that blocks.
void TExtensionThreads::StartLocked() {
  if (!RunnableLocked())
    return;
  const std::size_t runnable =
      std::min<std::size_t>(FWork.size() + FRequests.size(), FMax - FInside);
  for (std::size_t idle = FIdle; idle < runnable && FWorkers.size() < FMax; ++idle) {
    auto worker = std::make_unique<TWorker>();
    TWorker* raw = worker.get();
    try {
      raw->Thread = std::thread([this, raw] { Serve(*raw); });
    } catch (const std::system_error&) {
      // The system has no thread to give now (its limit, or no room for a stack): the job waits
      // for one of the threads there are, as if the limit were lower, and a later job tries again.
      if (!std::exchange(FShortNoted, true))
        Diagnostic("no thread can be started for an extension call: " +
                   std::to_string(FWorkers.size()) + " threads serve the extensions until one can");
      break;
    }
    FShortNoted = false;
    ++FIdle; // counted from now on, so that the next job does not start one more
    FWorkers.push_back(std::move(worker));
  }
  FWake.notify_one();
}

void TExtensionThreads::Serve(TWorker& self) {
  std::unique_lock lock(FMutex);
  for (;;) {
    FWake.wait(lock, [this, &self] { return self.Retired || RunnableLocked(); });
    --FIdle;
    if (self.Retired)
      return;
    // Parents hold no thread while their children run, so a new request taken before a child
    // cannot keep that child from a place: taking turns is safe.
    const bool request = !FRequests.empty() && (FWork.empty() || FRequestTurn);
    if (!FRequests.empty() && !FWork.empty())
      FRequestTurn = !request;
    TJob job;
    if (request) {
      job = std::move(FRequests.front().Run);
      FRequests.pop_front();
    } else {
      job = std::move(FWork.front());
      FWork.pop_front();
    }
    ++FInside;
    self.Busy = true;
    // Another job may be runnable as well: its thread is woken in turn.
    if (RunnableLocked())
      FWake.notify_one();
    lock.unlock();
    job();
    job = nullptr; // what the job held goes before the count says it is done
    lock.lock();
    --FInside;
    self.Busy = false;
    if (--FOutstanding == 0)
      FDone.notify_all();
    if (self.Retired) {
      // Stop left this thread running its job: nobody joins it, and its record is its own.
      lock.unlock();
      delete &self;
      return;
    }
    ++FIdle;
    StartLocked();
  }
}

bool TExtensionThreads::Stop(std::chrono::milliseconds limit) {
  std::unique_lock lock(FMutex);
  const bool idle = FDone.wait_for(lock, limit, [this] { return FOutstanding == 0; });
  // What is still queued now would only run after its extension was terminated.
  std::deque<TJob> dropped = std::move(FWork);
  FWork.clear();
  std::deque<TWaitingRequest> refused = std::move(FRequests);
  FRequests.clear();
  FOutstanding -= dropped.size() + refused.size();
  std::vector<std::unique_ptr<TWorker>> idleWorkers;
  for (auto& worker : FWorkers) {
    worker->Retired = true;
    if (worker->Busy) {
      // Still inside a call: it deletes its own record when that returns.
      worker->Thread.detach();
      static_cast<void>(worker.release());
    } else {
      idleWorkers.push_back(std::move(worker));
    }
  }
  FWorkers.clear();
  lock.unlock();
  FWake.notify_all();
  for (auto& worker : idleWorkers)
    worker->Thread.join();
  // Outside the lock: a request's end may post again. Idle retired threads decremented FIdle.
  dropped.clear();
  refused.clear();
  return idle;
}

} // namespace isapi_web::host
