#pragma once
// The number of threads the test process has now, as the operating system counts them.

#include <cstddef>

namespace isapi_web::test_support {

std::size_t ProcessThreadCount();

} // namespace isapi_web::test_support
