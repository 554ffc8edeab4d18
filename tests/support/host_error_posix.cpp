#include "support/fake_isapi_host.h"

#include <cerrno>

namespace isapi_web::test_support {

void SetHostError(DWORD error) {
  errno = static_cast<int>(error);
}

} // namespace isapi_web::test_support
