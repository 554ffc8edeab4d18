#pragma once
// The few operating-system services isapi-host needs of its own; windows/ and posix/ implement
// them.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

#include "isapi/isapi_host_interface.h"

namespace isapi_web::host {

/// Sets the error code an extension reads after a failed callback (SetLastError or errno).
void SetCallError(DWORD code);
/// The error code last set on the calling thread.
DWORD CallError();
/// A callback's failure: sets the error code and answers FALSE.
inline BOOL FailCall(DWORD code) {
  SetCallError(code);
  return 0;
}
/// The full path of the running executable.
std::filesystem::path ExecutablePath();
/// The file name suffix of an extension on this system (".dll" or ".so").
std::string_view ExtensionSuffix();
/// Sets up the process heap for many threads; called first thing, before any thread starts.
void PrepareProcessHeap();

/// Keeps Ctrl-C and SIGTERM from every thread: no handler runs on whatever thread the system
/// picks, which may be one an extension holds. Called before any thread starts, so that every
/// thread the host or an extension starts inherits it. Until CatchStopSignals, a stop signal
/// still ends the process at once. A broken pipe is ignored from here on.
void HoldStopSignals();
/// From now on a stop signal is kept for WaitForStopSignal instead of ending the process.
void CatchStopSignals();
/// Blocks the calling thread until a stop signal has come since CatchStopSignals: Ctrl-C or
/// SIGTERM (on Windows Ctrl-C or Ctrl-Break).
void WaitForStopSignal();

/// Raises the process's descriptor limit as far as the system lets it (at most 65536) and
/// answers it; what a server may hold open at once, files and the extension's own included.
std::size_t RaiseDescriptorLimit();

/// Holds a few descriptors in reserve (hold true), or gives them back to the process (false):
/// when accept runs out of descriptors, the host's next steps (and a sanitizer's checks, which
/// need a pipe) must still find some. Answers whether the reserve is held.
bool HoldSpareDescriptors(bool hold);

/// Asks the system for short turns on a processor for the calling thread, keeping its policy
/// and priority: a network loop does a little work at each wake-up, and every request it hands
/// to another thread, or answers for one, waits until it runs. Where the system has no such
/// setting (or refuses it) the thread runs as before.
void PreferShortTurns();

/// Bytes written to the socket (its native handle) that the peer has not yet acknowledged; 0
/// where the system does not say.
std::size_t UnsentBytes(std::uintptr_t socket);

/// How a wait on a socket ended.
enum class TSocketWait { Ready, TimedOut, Failed };
/// Blocks the calling thread until the socket (its native handle) can take more bytes, or has
/// bytes or an end to read, at most timeout.
TSocketWait WaitForSocket(std::uintptr_t socket, bool forWriting,
                          std::chrono::milliseconds timeout);

/// Shuts the socket (its native handle) down in both directions; the peer sees the end at once.
void ShutdownSocket(std::uintptr_t socket);
/// Whether the peer of a non-blocking socket has closed or reset it, seen without reading.
bool PeerClosed(std::uintptr_t socket);
/// A handle of the calling thread's access token (the process's when the thread has none); 0
/// with the call error set on failure, ERROR_NOT_SUPPORTED where the system has no tokens.
/// The caller closes it with CloseImpersonationToken.
std::uintptr_t OpenImpersonationToken();
void CloseImpersonationToken(std::uintptr_t token);
/// The size of a file an extension hands over (a HANDLE on Windows, a descriptor cast to a
/// pointer on POSIX); nullopt when it is no regular file the host can read.
std::optional<std::uint64_t> ExtensionFileSize(HANDLE file);
/// Reads up to size bytes of such a file at offset without moving its position: the count read
/// (0 at its end), or -1 when the read failed.
std::int64_t ReadExtensionFile(HANDLE file, std::uint64_t offset, void* buffer, std::size_t size);

} // namespace isapi_web::host
