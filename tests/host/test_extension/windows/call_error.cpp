#include "test_extension/call_error.h"

#include <windows.h>

namespace test_extension {

isapi_web::DWORD LastHostError() {
  return ::GetLastError();
}
void ClearHostError() {
  ::SetLastError(0);
}
bool ImpersonatesWith(void* token) {
  return ::ImpersonateLoggedOnUser(token) && ::RevertToSelf();
}

} // namespace test_extension
