#include "host/host_system.h"

#include <algorithm>
#include <cerrno>
#include <thread>

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

} // namespace isapi_web::host
