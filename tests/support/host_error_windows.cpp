#include "support/fake_isapi_host.h"

#include <windows.h>

namespace isapi_web::test_support {

void SetHostError(DWORD error) {
  ::SetLastError(error);
}

} // namespace isapi_web::test_support
