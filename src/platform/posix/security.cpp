// There are no thread access tokens here: every thread is in the state of a Windows thread that
// does not impersonate, so the pool queues requests without a token and serves them as they are.

#include "platform/platform.h"

namespace isapi_web::platform {

bool ThreadTokensSupported() {
  return false;
}

TThreadToken OpenCurrentThreadToken(std::uint32_t /*desiredAccess*/, bool /*openAsSelf*/) {
  return {NoHandle, ErrorNoToken};
}

bool ImpersonateToken(THandle token) {
  return token == NoHandle;
}

bool RevertImpersonation() {
  return true;
}

bool CloseToken(THandle token) {
  return token == NoHandle;
}

bool ImpersonateProcessIdentity() {
  return false;
}

bool ThreadHoldsToken() {
  return false;
}

} // namespace isapi_web::platform
