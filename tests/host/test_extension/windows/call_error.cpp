#include "test_extension/call_error.h"

#include <windows.h>

namespace test_extension {

isapi_web::DWORD LastHostError() {
  return ::GetLastError();
}
void ClearHostError() {
  ::SetLastError(0);
}

} // namespace test_extension
