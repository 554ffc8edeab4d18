#include "process_threads.h"

#include <windows.h>
// After windows.h, whose types it uses.
#include <tlhelp32.h>

namespace isapi_web::test_support {

std::size_t ProcessThreadCount() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE)
    return 0;
  std::size_t count = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  const DWORD self = GetCurrentProcessId();
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == self)
      ++count;
  }
  CloseHandle(snapshot);
  return count;
}

} // namespace isapi_web::test_support
