#pragma once
// Files the test extensions hand to the host (TransmitFile, vector sends): a HANDLE on Windows,
// a descriptor cast to a pointer on POSIX.

#include "isapi/isapi_host_interface.h"

namespace test_extension {

/// Opens a file for reading; null when it cannot.
isapi_web::HANDLE OpenExtensionFile(const char* path);
void CloseExtensionFile(isapi_web::HANDLE file);

} // namespace test_extension
