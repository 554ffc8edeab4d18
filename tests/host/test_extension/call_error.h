#pragma once
// The error code a host set after a failed callback (errno or GetLastError).

#include "isapi/isapi_host_interface.h"

namespace test_extension {

/// The calling thread's last host error code.
isapi_web::DWORD LastHostError();
/// Clears it, so that a stale value cannot pass for the host's answer.
void ClearHostError();
/// Whether the calling thread can impersonate with the token and revert (false where there
/// are no tokens).
bool ImpersonatesWith(void* token);

} // namespace test_extension
