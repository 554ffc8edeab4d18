#pragma once
// The few operating-system services isapi-host needs of its own; windows/ and posix/ implement
// them.

#include <filesystem>
#include <string_view>

#include "isapi/isapi_host_interface.h"

namespace isapi_web::host {

/// Sets the error code an extension reads after a failed callback (SetLastError or errno).
void SetCallError(DWORD code);
/// The error code last set on the calling thread.
DWORD CallError();
/// The full path of the running executable.
std::filesystem::path ExecutablePath();
/// The file name suffix of an extension on this system (".dll" or ".so").
std::string_view ExtensionSuffix();
/// Sets up the process heap for many threads; called first thing, before any thread starts.
void PrepareProcessHeap();

} // namespace isapi_web::host
