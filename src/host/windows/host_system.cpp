#include "host/host_system.h"

#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <atomic>

#include <vector>

namespace isapi_web::host {

void SetCallError(DWORD code) {
  ::SetLastError(code);
}

DWORD CallError() {
  return ::GetLastError();
}

std::filesystem::path ExecutablePath() {
  std::vector<wchar_t> buffer(MAX_PATH);
  while (true) {
    const ::DWORD length =
        ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<::DWORD>(buffer.size()));
    if (length == 0)
      return {};
    if (length < buffer.size())
      return std::filesystem::path(std::wstring(buffer.data(), length));
    buffer.resize(buffer.size() * 2);
  }
}

namespace {

::HANDLE StopEvent = nullptr;
std::atomic<bool> StopCaught{false};

// The console calls this on a thread of its own: no thread of the host has to be free for it.
// Before the server starts (the extensions are still loading) the default handler ends the
// process.
::BOOL WINAPI OnConsoleEvent(::DWORD event) {
  if ((event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) || !StopCaught)
    return FALSE;
  ::SetEvent(StopEvent);
  return TRUE;
}

} // namespace

void HoldStopSignals() {
  if (StopEvent != nullptr)
    return;
  StopEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void CatchStopSignals() {
  HoldStopSignals();
  StopCaught = true;
}

void WaitForStopSignal() {
  ::WaitForSingleObject(StopEvent, INFINITE);
}

void PrepareProcessHeap() {
  // Windows serves every thread from the one process heap already: nothing to bound.
}

std::string_view ExtensionSuffix() {
  return ".dll";
}

bool HoldSpareDescriptors(bool) {
  return true; // sockets do not come out of a per-process descriptor table here
}

std::size_t UnsentBytes(std::uintptr_t) {
  return 0;
}

std::size_t RaiseDescriptorLimit() {
  return 16384; // sockets are not counted against a per-process descriptor limit here
}

TSocketWait WaitForSocket(std::uintptr_t socket, bool forWriting,
                          std::chrono::milliseconds timeout) {
  WSAPOLLFD entry{static_cast<SOCKET>(socket), static_cast<SHORT>(forWriting ? POLLOUT : POLLIN),
                  0};
  const int milliseconds = static_cast<int>(std::clamp<long long>(timeout.count(), 0, 1 << 30));
  const int result = ::WSAPoll(&entry, 1, milliseconds);
  if (result == 0)
    return TSocketWait::TimedOut;
  return result > 0 ? TSocketWait::Ready : TSocketWait::Failed;
}

void ShutdownSocket(std::uintptr_t socket) {
  ::shutdown(static_cast<SOCKET>(socket), SD_BOTH);
}

bool PeerClosed(std::uintptr_t socket) {
  if (WaitForSocket(socket, false, std::chrono::milliseconds(0)) == TSocketWait::TimedOut)
    return false; // nothing to read, not even an end
  char byte;
  const int result = ::recv(static_cast<SOCKET>(socket), &byte, 1, MSG_PEEK);
  if (result > 0)
    return false;
  return result == 0 || ::WSAGetLastError() != WSAEWOULDBLOCK;
}

std::uintptr_t OpenImpersonationToken() {
  // The serving thread's token when it impersonates, else the process's, as IIS hands the
  // extension the token its request runs under.
  // What impersonating with it or duplicating it takes, and no more.
  constexpr ::DWORD access = TOKEN_QUERY | TOKEN_IMPERSONATE | TOKEN_DUPLICATE;
  HANDLE token = nullptr;
  if (::OpenThreadToken(::GetCurrentThread(), access, TRUE, &token) ||
      ::OpenProcessToken(::GetCurrentProcess(), access, &token))
    return reinterpret_cast<std::uintptr_t>(token);
  return 0;
}

void CloseImpersonationToken(std::uintptr_t token) {
  ::CloseHandle(reinterpret_cast<HANDLE>(token));
}

// Windows gives a thread no slice of its own; its quantum is the system's.
void PreferShortTurns() {}

std::optional<std::uint64_t> ExtensionFileSize(HANDLE file) {
  LARGE_INTEGER size{};
  if (::GetFileType(file) != FILE_TYPE_DISK || !::GetFileSizeEx(file, &size))
    return std::nullopt;
  return static_cast<std::uint64_t>(size.QuadPart);
}

std::int64_t ReadExtensionFile(HANDLE file, std::uint64_t offset, void* buffer, std::size_t size) {
  // The offset goes with the read, so the handle's own position is never used: the extension
  // may have opened it for overlapped I/O, where a read can also end pending.
  OVERLAPPED place{};
  place.Offset = static_cast<::DWORD>(offset);
  place.OffsetHigh = static_cast<::DWORD>(offset >> 32);
  ::DWORD count = 0;
  const ::DWORD wanted = static_cast<::DWORD>(std::min<std::size_t>(size, 1u << 30));
  if (!::ReadFile(file, buffer, wanted, &count, &place)) {
    ::DWORD error = ::GetLastError();
    if (error == ERROR_IO_PENDING && ::GetOverlappedResult(file, &place, &count, TRUE))
      return count;
    if (error == ERROR_IO_PENDING)
      error = ::GetLastError();
    return error == ERROR_HANDLE_EOF ? 0 : -1;
  }
  return count;
}

} // namespace isapi_web::host
