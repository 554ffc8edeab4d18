#include "process_threads.h"

#include <filesystem>

namespace isapi_web::test_support {

std::size_t ProcessThreadCount() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
    ++count;
  return count;
}

} // namespace isapi_web::test_support
