#include "host/host_system.h"

#include <algorithm>
#include <cerrno>
#include <thread>

#include <poll.h>

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

} // namespace isapi_web::host
