#pragma once
// What the framework needs from the operating system. windows/ implements it with the Win32 calls
// (completion ports, thread tokens, CompareStringA, RCDATA resources); posix/ with a small layer of
// its own that keeps the same semantics, so the worker pool runs unchanged on Linux.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace isapi_web::platform {

/// An operating-system object (completion port, thread, access token): pointer-wide and opaque.
using THandle = std::uintptr_t;
/// No object: what a failed creation answers, and a thread without an access token.
inline constexpr THandle NoHandle = 0;
/// The all-bits-set handle value, which no successful creation answers.
inline constexpr THandle InvalidHandleValue = ~THandle{0};

/// A time-out that never expires (milliseconds).
inline constexpr std::uint32_t InfiniteWait = 0xFFFFFFFF;

// ---- Completion ports ------------------------------------------------------------------------

/// The three fields of a completion packet; each travels unchanged, all pointer-wide bits of it.
struct TCompletionPacket {
  std::uintptr_t ByteCount = 0;
  std::uintptr_t CompletionKey = 0;
  std::uintptr_t Overlapped = 0;
};

/// How a wait for a packet ended.
enum class TWaitResult : std::uint8_t {
  wrPacket,  ///< a packet was taken from the port
  wrTimeout, ///< the time-out expired with the port empty
  wrFailed,  ///< the port is closed (also while waiting) or the handle is not a port
};

/// A new completion port bound to no file, one running thread per processor; NoHandle on failure.
THandle CreateCompletionPort();
/// Queues a packet behind those already queued; false when the port is closed or invalid.
bool PostCompletionPacket(THandle port, const TCompletionPacket& packet);
/// Takes the oldest packet, waiting at most timeout milliseconds (InfiniteWait: no limit).
TWaitResult WaitCompletionPacket(THandle port, std::uint32_t timeout, TCompletionPacket& packet);
/// Closes the port: every thread waiting on it wakes with wrFailed (the call does not wait for them
/// to leave), later calls fail, queued packets are discarded. False when it was not an open port.
bool CloseCompletionPort(THandle port);

// ---- Access tokens and impersonation ---------------------------------------------------------

/// TOKEN_ALL_ACCESS: the desired access with which the pool opens the caller's token.
inline constexpr std::uint32_t TokenAllAccess = 0xF00FF;
/// ERROR_NO_TOKEN: the thread is not impersonating, so it has no token of its own.
inline constexpr std::uint32_t ErrorNoToken = 1008;

/// The result of opening a thread's token: the token, or NoHandle and the system error code.
struct TThreadToken {
  THandle Token = NoHandle;
  std::uint32_t Error = 0;
};

/// Whether this system has thread access tokens; without them every thread has none.
bool ThreadTokensSupported();
/// Opens the calling thread's access token (OpenThreadToken); Error is ErrorNoToken when the
/// thread has none. openAsSelf checks the access against the process's identity.
TThreadToken OpenCurrentThreadToken(std::uint32_t desiredAccess, bool openAsSelf);
/// Makes the calling thread run under the token's identity; NoHandle is nothing to do (true).
bool ImpersonateToken(THandle token);
/// Ends the calling thread's impersonation, if any.
bool RevertImpersonation();
/// Closes a token handle; NoHandle is nothing to close (true).
bool CloseToken(THandle token);
/// Gives the calling thread an impersonation token of the process's own identity
/// (ImpersonateSelf); false where the system has no tokens.
bool ImpersonateProcessIdentity();
/// Whether the calling thread holds an access token now, i.e. is impersonating.
bool ThreadHoldsToken();

// ---- Threads ---------------------------------------------------------------------------------

/// Starts a thread running routine at once; an exception escaping the routine ends the thread
/// quietly. Answers the thread's handle, NoHandle when no thread could be started. The thread
/// keeps the library (or program) holding this code loaded until it has left that code: a
/// library unloaded meanwhile stays mapped, and is finalised after the last such thread ended.
THandle StartThread(std::function<void()> routine);
/// Waits until every thread of the set has ended, at most timeout milliseconds in all;
/// true when all have ended, false on time-out or an invalid handle.
bool WaitForThreads(std::span<const THandle> threads, std::uint32_t timeout);
/// Closes a thread handle; a thread still running goes on, unaffected.
bool CloseThreadHandle(THandle thread);
/// The system's identifier of the calling thread.
std::uint64_t CurrentThreadId();

// ---- Host process and system -----------------------------------------------------------------

/// VER_PLATFORM_WIN32_NT: the system family that has completion ports.
inline constexpr std::uint32_t PlatformWin32Nt = 2;

/// Full path of the process's main executable.
std::u16string HostExecutablePath();
/// The system's platform identifier; PlatformWin32Nt wherever completion ports are available.
std::uint32_t PlatformId();

/// Whether two NUL-terminated narrow texts are equal under the user's locale, case-sensitively
/// (CompareStringA with locale 1024 and no flags); a null pointer equals nothing.
bool SameLocaleText(const char* a, const char* b);

// ---- COM -------------------------------------------------------------------------------------

/// COINIT_MULTITHREADED and COINIT_APARTMENTTHREADED, the flags ComInitialize takes.
inline constexpr std::uint32_t ComMultithreaded = 0;
inline constexpr std::uint32_t ComApartmentThreaded = 2;

/// Initialises COM on the calling thread (CoInitializeEx); true on success, also when COM was
/// already initialised there in the same mode. Where there is no COM, nothing happens (true).
bool ComInitialize(std::uint32_t flags);
/// Balances one successful ComInitialize on the calling thread.
void ComUninitialize();

// ---- Embedded resources ----------------------------------------------------------------------

// Each image that links this library has a lookup of its own, bound to its own resources: on ELF
// systems a shared library's call must not be taken over by the executable's copy.
#if defined(__ELF__)
#define ISAPI_WEB_IMAGE_LOCAL __attribute__((visibility("hidden")))
#else
#define ISAPI_WEB_IMAGE_LOCAL
#endif

/// The bytes of the raw resource of that name (upper case, compared ignoring ASCII case) embedded
/// with iw_embed_resources in the image that contains this library; nullopt when there is none.
ISAPI_WEB_IMAGE_LOCAL std::optional<std::string_view> FindRawResource(std::u16string_view name);

// ---- Library unload --------------------------------------------------------------------------

/// Runs hook once when the library that contains this code is unloaded, before any of its static
/// objects is destroyed (Windows: process detach in DllMain, under the loader lock; elsewhere a
/// destructor function). Meaningful only in a library; a later call replaces the hook.
ISAPI_WEB_IMAGE_LOCAL void SetLibraryUnloadHook(void (*hook)()) noexcept;
/// Frees the layer's process-wide tables of ports and threads, which static destruction leaves
/// alone. Only as a library's last act at unload: no thread of the layer runs any more and no
/// call of the layer follows.
void ReleaseProcessTables() noexcept;

} // namespace isapi_web::platform
