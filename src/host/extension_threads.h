#pragma once
// The places where extension code runs, as IIS's worker process runs it: at most a fixed number
// of calls at once (HttpExtensionProc, completion functions, child requests), on threads that
// may block. A request's call runs on the thread that read it when a place is free and nothing
// waits (the fast path); otherwise it waits in a bounded queue for a thread of this pool, and is
// refused when the queue is full. Work for requests already taken in (completions, children)
// waits without bound; when both kinds wait, the threads take them in turn, so that a storm of
// children delays a new request by about one child call per request ahead of it, not by all.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace isapi_web::host {

/// IIS's default queue of requests for an application pool (queueLength).
inline constexpr std::size_t DefaultExtensionQueueLength = 1000;
/// The default number of extension calls at once.
inline constexpr unsigned DefaultMaxExtensionThreads = 64;

class TExtensionThreads {
public:
  using TJob = std::function<void()>;

  /// Sets the limits; calls already running keep their places.
  void Configure(unsigned maxCalls, std::size_t queueLength);
  /// Takes a place for a call on the calling thread; false when every place is taken or work
  /// already waits for one (the call must then be queued).
  bool EnterInline();
  /// Gives back the place EnterInline took.
  void LeaveInline();
  /// Queues a new request's call; refuse is what the shutdown runs instead if it never started.
  /// False when the queue is full: neither is ever called.
  bool Submit(TJob run, TJob refuse);
  /// Queues work for a request already taken in (a completion, a child request).
  void Post(TJob job);
  /// Runs the refusal of every request still queued, on the calling thread; answers how many.
  std::size_t RefuseWaiting();
  /// Calls running now on a place (the pool's and inline ones).
  unsigned Inside() const;
  /// Requests waiting in the queue.
  std::size_t Waiting() const;
  /// The pool's threads.
  unsigned ThreadCount() const;
  /// Waits until no work is queued or running, at most limit, then ends and joins the idle
  /// threads (one still inside a call ends when it returns). False on time-out. Later work
  /// starts threads afresh.
  bool Stop(std::chrono::milliseconds limit);

private:
  struct TWorker {
    std::thread Thread;
    bool Busy = false;    // inside a job
    bool Retired = false; // ends instead of waiting for the next job
  };
  struct TWaitingRequest {
    TJob Run;
    TJob Refuse;
  };

  bool RunnableLocked() const;
  /// Work was added or a place freed: wakes or starts a thread for it.
  void StartLocked();
  void Serve(TWorker& self);

  mutable std::mutex FMutex; // guards everything below
  std::condition_variable FWake;
  std::condition_variable FDone;
  std::deque<TJob> FWork;
  std::deque<TWaitingRequest> FRequests;
  std::vector<std::unique_ptr<TWorker>> FWorkers;
  unsigned FMax = DefaultMaxExtensionThreads;
  std::size_t FQueueLength = DefaultExtensionQueueLength;
  // Written under FMutex; read without it by Inside, which the shutdown's watchdog asks when
  // the lock may never come free.
  std::atomic<unsigned> FInside{0};
  std::size_t FIdle = 0;
  std::size_t FOutstanding = 0; // queued or running on the pool
  bool FShortNoted = false;     // a failure to start a thread has been reported
  bool FRequestTurn = false;    // when both queues hold work, the next job is a new request
};

/// The process's extension threads.
TExtensionThreads& ExtensionThreads();

} // namespace isapi_web::host
