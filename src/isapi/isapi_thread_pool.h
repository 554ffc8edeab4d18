#pragma once
// TISAPIThreadPool: the host's threads queue control blocks on a completion port and return at
// once; a fixed set of worker threads serves each one under the identity of the thread that
// queued it and ends it with done-with-session.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "isapi/isapi_host_interface.h"
#include "platform/platform.h"

namespace isapi_web {

/// The application's entry for one request; answers HSE_STATUS_SUCCESS or HSE_STATUS_ERROR.
using TPoolRequestProc = DWORD (*)(EXTENSION_CONTROL_BLOCK* ECB);
/// Writes the 500 page of a request that the pool refuses to serve.
using TPoolErrorPageProc = void (*)(EXTENSION_CONTROL_BLOCK* ECB);

/// The number of worker threads a pool starts (25).
extern std::uint8_t PoolThreadCount;
/// What a worker runs for each request; set at load, cleared at unload while workers may read
/// it. Null answers every request as failed.
extern std::atomic<TPoolRequestProc> PoolRequestProc;
/// The page of a request that cannot run under its caller's identity; SendPoolErrorPage unless
/// the application installs its own.
extern TPoolErrorPageProc PoolErrorPageProc;
/// The flags with which the COM variant of the workers initialises COM (COINIT_MULTITHREADED).
extern std::uint32_t CoInitFlags;

/// A minimal "500 Internal Server Error" answer: status line, two headers, a short HTML page.
void SendPoolErrorPage(EXTENSION_CONTROL_BLOCK* ECB);

class TISAPIThreadPool;

/// A class of worker pool: constructs a pool of that class (not started).
using TISAPIThreadPoolClass = std::unique_ptr<TISAPIThreadPool> (*)(bool InitCOM);

class TISAPIThreadPool {
public:
  /// FRequestQueue of a pool that is not started: the all-bits-set handle (0xFFFFFFFF on
  /// 32-bit), which no port creation answers. 0 means the port could not be created.
  static constexpr platform::THandle RequestQueueNotStarted = platform::InvalidHandleValue;

  /// The class reference of this class: a new pool, not started.
  static std::unique_ptr<TISAPIThreadPool> Create(bool InitCOM);

  explicit TISAPIThreadPool(bool InitCOM);
  TISAPIThreadPool(const TISAPIThreadPool&) = delete;
  TISAPIThreadPool& operator=(const TISAPIThreadPool&) = delete;
  /// Stops the pool (StopPool) first.
  virtual ~TISAPIThreadPool();

  /// Creates the port and PoolThreadCount workers unless already done; cheap when running.
  /// When no worker could be started the pool fails as when the port cannot be created
  /// (RequestQueue 0, every later post refused), and what was posted meanwhile is ended as failed.
  virtual void StartPool();
  /// Lets the workers serve what is queued, waits for them (at most 120000 ms), closes the port
  /// and the thread handles. Nothing when not started. Not concurrent with StartPool.
  virtual void StopPool();
  /// For unload under the loader lock: queues the stop packets and waits for nothing. The port
  /// stays open for the workers, which end after serving what is queued; the pool reads stopped.
  void StopPoolNoWait();
  /// For unload: queues the stop packets and waits, up to Timeout, for the workers to leave
  /// their loop; true when all did, and then the port is closed and the threads are waited for
  /// to their very end. Worker threads hold the library while they run (see StartThread), so
  /// the library's own unload only comes when they are gone or the process ends.
  bool StopPoolForUnload(std::uint32_t Timeout);
  /// Queues the request with the caller's token; true when it now belongs to the pool.
  bool PostRequest(EXTENSION_CONTROL_BLOCK* ECB);

  /// The completion port, RequestQueueNotStarted, or 0 when creating the port failed.
  platform::THandle RequestQueue() const noexcept;
  bool InitCOM() const noexcept { return FInitCOM; }
  /// Takes effect at the next StartPool; workers already running keep their kind.
  void SetInitCOM(bool Value) noexcept { FInitCOM = Value; }
  /// Settings that are never stored: they read 0; the pool size is PoolThreadCount.
  int Min() const noexcept { return FMin; }
  void SetMin(int Value) noexcept;
  int Max() const noexcept { return FMax; }
  void SetMax(int Value) noexcept;
  /// How long StopPool waits for the workers, in ms (120000); threads still running then are
  /// left to end on their own.
  std::uint32_t StopWait() const noexcept { return FStopWait; }
  void SetStopWait(std::uint32_t Value) noexcept { FStopWait = Value; }
  /// The number of worker threads started and not yet stopped.
  int ThreadCount() const noexcept { return static_cast<int>(FThreads.size()); }
  /// Whether every worker thread of this pool has ended (true when none was started).
  bool ThreadsEnded() const noexcept;

protected:
  /// A new completion port for the workers; NoHandle when none can be created.
  virtual platform::THandle CreateRequestQueue();
  /// Opens the calling thread's token with TOKEN_ALL_ACCESS (the platform's OpenThreadToken).
  virtual platform::TThreadToken OpenCallerToken(bool OpenAsSelf);
  /// Starts one worker thread running Routine; NoHandle when none could be started.
  virtual platform::THandle StartWorker(std::function<void()> Routine);

private:
  /// One stop packet per started worker, queued behind the work already posted.
  void PostStopPackets(platform::THandle queue);
  /// Queues the stop packets and marks the pool stopped, leaving the port open for the workers;
  /// false when the pool was not running.
  bool QueueStop();
  /// Closes every thread handle (a running thread goes on) and empties FThreads.
  void CloseThreadHandles();

protected:

  std::mutex FCriticalSection; // guards the check and creation of the port
  std::atomic<platform::THandle> FRequestQueue{RequestQueueNotStarted};
  // PostRequest calls between reading FRequestQueue and posting: a start whose workers all
  // failed waits for them before it drains the port.
  std::atomic<int> FPosting{0};
  bool FInitCOM = false;
  int FMin = 0;
  int FMax = 0;
  std::uint32_t FStopWait = 120000;
  std::vector<platform::THandle> FThreads;
};

/// A worker's loop on the port; ends at a stop packet or when the port is closed. Answers 0.
DWORD PoolWorker(platform::THandle RequestQueue);
/// PoolWorker between CoInitializeEx(CoInitFlags) and CoUninitialize.
DWORD PoolWorkerCOM(platform::THandle RequestQueue);

/// Requests of every pool that were queued and are not yet finished (served or refused).
std::size_t QueuedRequestCount() noexcept;
/// Worker threads of every pool that have not yet left their loop.
std::size_t RunningPoolWorkers() noexcept;
/// Waits until at most AtMost workers run, up to Timeout ms; true when that happened.
bool WaitForPoolWorkers(std::size_t AtMost, std::uint32_t Timeout);

} // namespace isapi_web
