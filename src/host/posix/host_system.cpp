#include "host/host_system.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <sched.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace isapi_web::host {

void SetCallError(DWORD code) {
  errno = static_cast<int>(code);
}

DWORD CallError() {
  return static_cast<DWORD>(errno);
}

std::filesystem::path ExecutablePath() {
  std::error_code error;
  std::filesystem::path result = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path() : result;
}

std::string_view ExtensionSuffix() {
  return ".so";
}

namespace {

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

std::mutex StopMutex;
std::condition_variable StopChanged;
bool StopCaught = false;
bool StopSignalled = false;

} // namespace

// Blocked in every thread and taken by a thread of its own with sigwait: no thread of the host
// has to be free to run a handler, and no handler runs at all, so a sanitizer's runtime, which
// defers a handler until the receiving thread next calls into it, has nothing to defer.
void HoldStopSignals() {
  // A client that resets its connection must not end the process: a write to it (OpenSSL's
  // too, which does not ask the system to spare the signal) fails with EPIPE instead.
  std::signal(SIGPIPE, SIG_IGN);
  const sigset_t set = StopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([set] {
    int signal = 0;
    while (sigwait(&set, &signal) != 0) {
    }
    std::unique_lock lock(StopMutex);
    if (!StopCaught) {
      // The server has not started (the extensions are still loading): the signal ends the
      // process as it would have without the hold.
      lock.unlock();
      std::signal(signal, SIG_DFL);
      pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
      raise(signal);
      return;
    }
    StopSignalled = true;
    StopChanged.notify_all();
  }).detach();
}

void CatchStopSignals() {
  std::lock_guard lock(StopMutex);
  StopCaught = true;
}

void WaitForStopSignal() {
  std::unique_lock lock(StopMutex);
  StopChanged.wait(lock, [] { return StopSignalled; });
}

void PrepareProcessHeap() {
#if defined(__GLIBC__)
  // glibc's default of eight heaps (arenas) per processor spreads a pool's 25 workers and the
  // loops over sixteen of them on two processors, each with free pages of its own that the
  // threads keep touching for the first time, so the resident size creeps up for millions of
  // requests. One per processor keeps the memory together; the per-thread caches in front of
  // the arenas still serve most allocations without taking an arena's lock.
  const unsigned processors = std::max(2u, std::thread::hardware_concurrency());
  ::mallopt(M_ARENA_MAX, static_cast<int>(processors));
#endif
}

bool HoldSpareDescriptors(bool hold) {
  // Used by the acceptor's thread only.
  static int spares[4] = {-1, -1, -1, -1};
  bool held = true;
  for (int& spare : spares) {
    if (hold && spare < 0)
      spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    else if (!hold && spare >= 0) {
      ::close(spare);
      spare = -1;
    }
    held = held && spare >= 0;
  }
  return held;
}

void PreferShortTurns() {
#if defined(__linux__) && defined(SYS_sched_getattr) && defined(SYS_sched_setattr)
  // A thread of the ordinary policies may ask for its own slice (Linux 6.12 and later): a short
  // one lets it run soon after it wakes, instead of behind another thread's whole slice, at the
  // same share of the processor. Earlier kernels ignore the request.
  constexpr std::uint64_t ShortSlice = 100'000; // nanoseconds, the least the kernel grants
  // The kernel's sched_attr as first published (48 bytes), which the C library does not declare.
  struct {
    std::uint32_t Size;
    std::uint32_t Policy;
    std::uint64_t Flags;
    std::int32_t Nice;
    std::uint32_t Priority;
    std::uint64_t Runtime;
    std::uint64_t Deadline;
    std::uint64_t Period;
  } attributes{};
  static_assert(sizeof attributes == 48);
  if (::syscall(SYS_sched_getattr, 0, &attributes, sizeof attributes, 0) != 0)
    return;
  if (attributes.Policy != SCHED_OTHER && attributes.Policy != SCHED_BATCH)
    return;
  attributes.Size = sizeof attributes;
  attributes.Runtime = ShortSlice;
  (void)::syscall(SYS_sched_setattr, 0, &attributes, 0);
#endif
}

std::size_t UnsentBytes(std::uintptr_t socket) {
  int queued = 0;
  if (::ioctl(static_cast<int>(socket), TIOCOUTQ, &queued) != 0 || queued < 0)
    return 0;
  return static_cast<std::size_t>(queued);
}

std::size_t RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
    return 1024;
  const rlim_t wanted = std::min<rlim_t>(limit.rlim_max, 65536);
  if (limit.rlim_cur < wanted) {
    rlimit raised = limit;
    raised.rlim_cur = wanted;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
      limit = raised;
  }
  return limit.rlim_cur == RLIM_INFINITY ? 65536 : static_cast<std::size_t>(limit.rlim_cur);
}

TSocketWait WaitForSocket(std::uintptr_t socket, bool forWriting,
                          std::chrono::milliseconds timeout) {
  pollfd entry{static_cast<int>(socket), static_cast<short>(forWriting ? POLLOUT : POLLIN), 0};
  const int milliseconds = static_cast<int>(std::clamp<long long>(timeout.count(), 0, 1 << 30));
  int result;
  do {
    result = ::poll(&entry, 1, milliseconds);
  } while (result < 0 && errno == EINTR);
  if (result == 0)
    return TSocketWait::TimedOut;
  // An error or a hang-up is ready too: the next write or read reports it.
  return result > 0 ? TSocketWait::Ready : TSocketWait::Failed;
}

void ShutdownSocket(std::uintptr_t socket) {
  ::shutdown(static_cast<int>(socket), SHUT_RDWR);
}

bool PeerClosed(std::uintptr_t socket) {
  char byte;
  const ssize_t result = ::recv(static_cast<int>(socket), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  if (result > 0)
    return false;
  return result == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

// There are no access tokens here: the support function that hands one out is refused.
std::uintptr_t OpenImpersonationToken() {
  SetCallError(ERROR_NOT_SUPPORTED);
  return 0;
}

void CloseImpersonationToken(std::uintptr_t) {}

namespace {

int DescriptorOf(HANDLE file) {
  return static_cast<int>(reinterpret_cast<std::intptr_t>(file));
}

} // namespace

std::optional<std::uint64_t> ExtensionFileSize(HANDLE file) {
  struct stat status {};
  if (::fstat(DescriptorOf(file), &status) != 0 || !S_ISREG(status.st_mode))
    return std::nullopt;
  return static_cast<std::uint64_t>(status.st_size);
}

std::int64_t ReadExtensionFile(HANDLE file, std::uint64_t offset, void* buffer, std::size_t size) {
  for (;;) {
    const ssize_t count = ::pread(DescriptorOf(file), buffer, size, static_cast<off_t>(offset));
    if (count >= 0 || errno != EINTR)
      return count;
  }
}

} // namespace isapi_web::host
