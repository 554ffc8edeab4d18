#include "isapi/isapi_thread_pool.h"

#include <chrono>
#include <condition_variable>
#include <new>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

namespace isapi_web {

std::uint8_t PoolThreadCount = 25;
std::atomic<TPoolRequestProc> PoolRequestProc{nullptr};
TPoolErrorPageProc PoolErrorPageProc = &SendPoolErrorPage;
std::uint32_t CoInitFlags = platform::ComMultithreaded;

namespace {

// Packets on the port. A work packet carries its record's address in the byte count, with key 0
// and a nil overlapped pointer; a stop packet has byte count 0 and the overlapped value
// 0xFFFFFFFF. The platform keeps all three fields pointer-wide (64-bit Windows wraps counts that
// do not fit the kernel's 32 bits), so an address above 4 GiB arrives whole, and the overlapped
// value alone tells the two kinds apart on every platform.
constexpr std::uintptr_t StopOverlapped = 0xFFFFFFFF;

std::atomic<std::size_t> LiveQueuedRequests{0};

// One queued request, owned by the port while queued and by the worker that takes it. Its
// destructor closes the token, so a refused post and a served request both release it.
struct TQueuedRequest {
  explicit TQueuedRequest(EXTENSION_CONTROL_BLOCK* aECB) : ECB(aECB) {
    LiveQueuedRequests.fetch_add(1, std::memory_order_relaxed);
  }
  ~TQueuedRequest() {
    platform::CloseToken(Token);
    LiveQueuedRequests.fetch_sub(1, std::memory_order_relaxed);
  }
  TQueuedRequest(const TQueuedRequest&) = delete;
  TQueuedRequest& operator=(const TQueuedRequest&) = delete;

  EXTENSION_CONTROL_BLOCK* ECB;
  platform::THandle Token = platform::NoHandle;
  // The caller had a token that could not be opened: the request must not run as the process.
  bool CallerIdentityLost = false;
};

// The count of running workers, with a condition to wait for it to fall. Never destroyed: workers
// that outlive a stop may still leave their loop while the process exits.
struct TWorkerCount {
  std::mutex FLock; // guards FRunning
  std::condition_variable FFell;
  std::size_t FRunning = 0;
};

TWorkerCount& Workers() {
  // Built in static storage and never destroyed: it holds no memory of its own, so a library
  // unloaded without destroying it leaves nothing behind.
  alignas(TWorkerCount) static unsigned char storage[sizeof(TWorkerCount)];
  static TWorkerCount* const workers = new (storage) TWorkerCount;
  return *workers;
}

void WorkerEntered() {
  TWorkerCount& workers = Workers();
  std::lock_guard<std::mutex> lock(workers.FLock);
  ++workers.FRunning;
}

void WorkerLeft() {
  TWorkerCount& workers = Workers();
  {
    std::lock_guard<std::mutex> lock(workers.FLock);
    --workers.FRunning;
  }
  workers.FFell.notify_all();
}

DWORD RunApplication(EXTENSION_CONTROL_BLOCK* ECB) noexcept {
  const TPoolRequestProc proc = PoolRequestProc.load();
  if (proc == nullptr)
    return HSE_STATUS_ERROR;
  try {
    return proc(ECB);
  } catch (...) {
    return HSE_STATUS_ERROR;
  }
}

void SendErrorPage(EXTENSION_CONTROL_BLOCK* ECB) noexcept {
  const TPoolErrorPageProc page = PoolErrorPageProc;
  if (page == nullptr)
    return;
  try {
    page(ECB);
  } catch (...) {
    // The failed status still reaches the host with the end of the session.
  }
}

// Ends the session whatever happened before, or the host would wait for it for ever. Hosts read
// the optional status word through the buffer or through the size argument, so both point to it;
// a 4 with nothing sent gives the client the host's 500 page.
void EndSession(EXTENSION_CONTROL_BLOCK* ECB, DWORD status) noexcept {
  DWORD statusWord = status;
  DWORD sizeWord = status;
  try {
    (void)ECB->ServerSupportFunction(ECB->ConnID, HSE_REQ_DONE_WITH_SESSION, &statusWord, &sizeWord,
                                     nullptr);
  } catch (...) {
  }
}

void ServeQueuedRequest(const TQueuedRequest& record) noexcept {
  DWORD status = HSE_STATUS_ERROR;
  if (!record.CallerIdentityLost && platform::ImpersonateToken(record.Token)) {
    status = RunApplication(record.ECB);
  } else {
    SendErrorPage(record.ECB);
  }
  // Back to the thread's own identity, so that a next request without a token does not run as
  // this one's caller.
  platform::RevertImpersonation();
  EndSession(record.ECB, status);
}

// Answers the requests still queued after the workers failed to stop in time: the port is about
// to be closed, which would drop them unanswered.
void FailQueuedRequests(platform::THandle queue) noexcept {
  platform::TCompletionPacket packet;
  while (platform::WaitCompletionPacket(queue, 0, packet) == platform::TWaitResult::wrPacket) {
    std::unique_ptr<TQueuedRequest> record(reinterpret_cast<TQueuedRequest*>(packet.ByteCount));
    if (record)
      EndSession(record->ECB, HSE_STATUS_ERROR);
  }
}

} // namespace

void SendPoolErrorPage(EXTENSION_CONTROL_BLOCK* ECB) {
  static constexpr std::string_view Page =
      "<html><title>Internal Server Error 500</title>\r\n"
      "<h1>Internal Server Error 500</h1><hr>\r\n"
      "The request could not be served under the identity of its caller.</html>\r\n";
  std::string statusText = "500 Internal Server Error";
  std::string headers =
      "Content-Type: text/html\r\nContent-Length: " + std::to_string(Page.size()) + "\r\n\r\n";
  std::string body(Page);
  ECB->dwHttpStatusCode = 500;
  DWORD headersLength = static_cast<DWORD>(headers.size());
  (void)ECB->ServerSupportFunction(ECB->ConnID, HSE_REQ_SEND_RESPONSE_HEADER, statusText.data(),
                                   &headersLength, reinterpret_cast<LPDWORD>(headers.data()));
  DWORD bytes = static_cast<DWORD>(body.size());
  (void)ECB->WriteClient(ECB->ConnID, body.data(), &bytes, 0);
}

std::unique_ptr<TISAPIThreadPool> TISAPIThreadPool::Create(bool InitCOM) {
  return std::make_unique<TISAPIThreadPool>(InitCOM);
}

TISAPIThreadPool::TISAPIThreadPool(bool InitCOM) : FInitCOM(InitCOM) {}

TISAPIThreadPool::~TISAPIThreadPool() {
  TISAPIThreadPool::StopPool();
}

platform::THandle TISAPIThreadPool::CreateRequestQueue() {
  return platform::CreateCompletionPort();
}

platform::TThreadToken TISAPIThreadPool::OpenCallerToken(bool OpenAsSelf) {
  return platform::OpenCurrentThreadToken(platform::TokenAllAccess, OpenAsSelf);
}

platform::THandle TISAPIThreadPool::StartWorker(std::function<void()> Routine) {
  return platform::StartThread(std::move(Routine));
}

platform::THandle TISAPIThreadPool::RequestQueue() const noexcept {
  return FRequestQueue.load(std::memory_order_acquire);
}

void TISAPIThreadPool::SetMin(int /*Value*/) noexcept {}

void TISAPIThreadPool::SetMax(int /*Value*/) noexcept {}

void TISAPIThreadPool::StartPool() {
  platform::THandle queue = platform::NoHandle;
  {
    // The first request starts the pool; later ones only take the lock to see the port exists.
    std::lock_guard<std::mutex> lock(FCriticalSection);
    if (FRequestQueue.load(std::memory_order_acquire) != RequestQueueNotStarted)
      return;
    queue = CreateRequestQueue();
    FRequestQueue.store(queue, std::memory_order_release);
  }
  // Threads are started outside the lock: a request posted meanwhile waits in the port. Each
  // worker gets the port handle by value and never touches this object, so a worker that
  // outlives StopPool's wait finds the port closed at its next wait and ends.
  const bool initCOM = FInitCOM;
  const std::size_t count = PoolThreadCount;
  FThreads.clear();
  FThreads.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    WorkerEntered();
    const platform::THandle thread = StartWorker([queue, initCOM] {
      struct TLeave {
        ~TLeave() { WorkerLeft(); }
      } leave;
      if (initCOM) {
        PoolWorkerCOM(queue);
      } else {
        PoolWorker(queue);
      }
    });
    if (thread == platform::NoHandle) {
      WorkerLeft();
    } else {
      FThreads.push_back(thread);
    }
  }
  if (FThreads.empty() && queue != platform::NoHandle) {
    // Nothing would ever take a packet: the pool fails as without a port, so later requests are
    // refused, and those another thread posted meanwhile are ended as failed.
    FRequestQueue.store(platform::NoHandle);
    while (FPosting.load() != 0)
      std::this_thread::yield();
    FailQueuedRequests(queue);
    (void)platform::CloseCompletionPort(queue);
  }
}

bool TISAPIThreadPool::PostRequest(EXTENSION_CONTROL_BLOCK* ECB) {
  if (ECB == nullptr)
    return false;
  FPosting.fetch_add(1);
  struct TPosted {
    std::atomic<int>& FPosting;
    ~TPosted() { FPosting.fetch_sub(1); }
  } posted{FPosting};
  const platform::THandle queue = FRequestQueue.load();
  if (queue == RequestQueueNotStarted)
    return false;
  auto record = std::make_unique<TQueuedRequest>(ECB);
  platform::TThreadToken token = OpenCallerToken(false);
  if (token.Token == platform::NoHandle && token.Error != platform::ErrorNoToken) {
    // The caller has a token that its own identity may not open; the process's may.
    token = OpenCallerToken(true);
    record->CallerIdentityLost = token.Token == platform::NoHandle;
  }
  record->Token = token.Token;
  const platform::TCompletionPacket work{reinterpret_cast<std::uintptr_t>(record.get()), 0, 0};
  if (!platform::PostCompletionPacket(queue, work))
    return false;   // the record and its token go with it
  record.release(); // the port's now, and then the worker's
  return true;
}

void TISAPIThreadPool::StopPool() {
  const platform::THandle queue = FRequestQueue.load(std::memory_order_acquire);
  if (queue == RequestQueueNotStarted)
    return;
  PostStopPackets(queue);
  // After the wait only work posted behind the stop packets can be left; closing the port
  // would drop it unanswered.
  (void)platform::WaitForThreads(FThreads, FStopWait);
  FailQueuedRequests(queue);
  (void)platform::CloseCompletionPort(queue);
  FRequestQueue.store(RequestQueueNotStarted, std::memory_order_release);
  CloseThreadHandles();
}

bool TISAPIThreadPool::QueueStop() {
  const platform::THandle queue = FRequestQueue.load(std::memory_order_acquire);
  if (queue == RequestQueueNotStarted)
    return false;
  // The port is left open: the workers still wait on it and take their stop packets from it.
  PostStopPackets(queue);
  FRequestQueue.store(RequestQueueNotStarted, std::memory_order_release);
  return true;
}

void TISAPIThreadPool::StopPoolNoWait() {
  if (QueueStop())
    CloseThreadHandles();
}

bool TISAPIThreadPool::StopPoolForUnload(std::uint32_t Timeout) {
  const platform::THandle queue = FRequestQueue.load();
  const bool stopping = QueueStop();
  const bool left = WaitForPoolWorkers(0, Timeout);
  if (stopping && left) {
    // Every worker has taken its stop packet, so nothing waits on the port any more.
    FailQueuedRequests(queue);
    (void)platform::CloseCompletionPort(queue);
  }
  // A worker that left its loop still returns through the pool's code; its thread holds the
  // library until it is out, so waiting for the threads' end is what makes unmapping safe.
  if (left)
    (void)platform::WaitForThreads(FThreads, Timeout);
  CloseThreadHandles();
  return left;
}

bool TISAPIThreadPool::ThreadsEnded() const noexcept {
  return FThreads.empty() || platform::WaitForThreads(FThreads, 0);
}

void TISAPIThreadPool::PostStopPackets(platform::THandle queue) {
  // Behind the work already posted, so that is served first.
  const platform::TCompletionPacket stop{0, 0, StopOverlapped};
  for (std::size_t i = 0; i < FThreads.size(); ++i)
    (void)platform::PostCompletionPacket(queue, stop);
}

void TISAPIThreadPool::CloseThreadHandles() {
  for (const platform::THandle thread : FThreads)
    (void)platform::CloseThreadHandle(thread);
  FThreads.clear();
}

DWORD PoolWorker(platform::THandle RequestQueue) {
  for (;;) {
    platform::TCompletionPacket packet;
    if (platform::WaitCompletionPacket(RequestQueue, platform::InfiniteWait, packet) !=
        platform::TWaitResult::wrPacket) {
      return 0; // the port is closed or was never created
    }
    const std::unique_ptr<TQueuedRequest> record(
        reinterpret_cast<TQueuedRequest*>(packet.ByteCount));
    if (packet.Overlapped == StopOverlapped)
      return 0;
    if (record)
      ServeQueuedRequest(*record);
  }
}

DWORD PoolWorkerCOM(platform::THandle RequestQueue) {
  const bool initialised = platform::ComInitialize(CoInitFlags);
  struct TUninitialize {
    bool FInitialised;
    ~TUninitialize() {
      if (FInitialised)
        platform::ComUninitialize();
    }
  } uninitialize{initialised};
  return PoolWorker(RequestQueue);
}

std::size_t QueuedRequestCount() noexcept {
  return LiveQueuedRequests.load(std::memory_order_relaxed);
}

std::size_t RunningPoolWorkers() noexcept {
  TWorkerCount& workers = Workers();
  std::lock_guard<std::mutex> lock(workers.FLock);
  return workers.FRunning;
}

bool WaitForPoolWorkers(std::size_t AtMost, std::uint32_t Timeout) {
  TWorkerCount& workers = Workers();
  std::unique_lock<std::mutex> lock(workers.FLock);
  const auto fell = [&] { return workers.FRunning <= AtMost; };
  if (Timeout == platform::InfiniteWait) {
    workers.FFell.wait(lock, fell);
    return true;
  }
  return workers.FFell.wait_for(lock, std::chrono::milliseconds(Timeout), fell);
}

} // namespace isapi_web
