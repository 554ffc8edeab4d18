#include "test_extension/call_error.h"

#include <cerrno>

namespace test_extension {

isapi_web::DWORD LastHostError() {
  return static_cast<isapi_web::DWORD>(errno);
}
void ClearHostError() {
  errno = 0;
}
bool ImpersonatesWith(void*) {
  return false;
}

} // namespace test_extension
