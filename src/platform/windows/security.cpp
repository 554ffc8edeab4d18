#include "platform/platform.h"

#include <windows.h>

namespace isapi_web::platform {

bool ThreadTokensSupported() {
  return true;
}

TThreadToken OpenCurrentThreadToken(std::uint32_t desiredAccess, bool openAsSelf) {
  HANDLE token = nullptr;
  if (::OpenThreadToken(::GetCurrentThread(), desiredAccess, openAsSelf ? TRUE : FALSE, &token) ==
      FALSE) {
    return {NoHandle, static_cast<std::uint32_t>(::GetLastError())};
  }
  return {reinterpret_cast<THandle>(token), 0};
}

bool ImpersonateToken(THandle token) {
  if (token == NoHandle)
    return true;
  return token != InvalidHandleValue &&
         ::ImpersonateLoggedOnUser(reinterpret_cast<HANDLE>(token)) != FALSE;
}

bool RevertImpersonation() {
  return ::RevertToSelf() != FALSE;
}

bool CloseToken(THandle token) {
  if (token == NoHandle)
    return true;
  return token != InvalidHandleValue && ::CloseHandle(reinterpret_cast<HANDLE>(token)) != FALSE;
}

bool ImpersonateProcessIdentity() {
  return ::ImpersonateSelf(SecurityImpersonation) != FALSE;
}

bool ThreadHoldsToken() {
  HANDLE token = nullptr;
  if (::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token) == FALSE)
    return false;
  ::CloseHandle(token);
  return true;
}

} // namespace isapi_web::platform
