// I/O completion ports, with two things the kernel object alone does not give.
//
// A packet's byte count is only 32 bits wide in the kernel (a DWORD), while ours is pointer-wide:
// a byte count that does not fit below 0xFFFFFFFF travels in a small envelope, posted with the
// byte count 0xFFFFFFFF and the envelope as the overlapped pointer. Smaller counts, which is every
// count a 32-bit build posts but one, cost nothing extra.
//
// Closing wakes every waiter with a failure. Windows does so itself since Vista, Wine does not:
// its waiters stay blocked on a closed port. So the layer counts the calls using a port; Close
// posts one wake packet for each, and the handle itself is closed by the last of them to leave.
// Close never waits for them: at process exit the system may already have killed the waiters.

#include "platform/platform.h"

#include "platform/handle_table.h"

#include <windows.h>

#include <new>

namespace isapi_web::platform {

namespace {

constexpr DWORD EnvelopeMark = 0xFFFFFFFF;

// The overlapped pointer of a wake packet is this byte's address, which no envelope can have.
char WakeMark = 0;
LPOVERLAPPED WakeOverlapped() {
  return reinterpret_cast<LPOVERLAPPED>(&WakeMark);
}

struct TPortState {
  explicit TPortState(HANDLE port) : FPort(port) {}

  const HANDLE FPort;
  std::mutex FLock; // guards FUsers and FClosing
  int FUsers = 0;
  bool FClosing = false;
};

// Closes the handle of a port nobody uses any more, freeing the envelopes still queued with it.
void ReleasePort(const TPortState& state) {
  DWORD byteCount = 0;
  ULONG_PTR key = 0;
  LPOVERLAPPED overlapped = nullptr;
  while (::GetQueuedCompletionStatus(state.FPort, &byteCount, &key, &overlapped, 0) != FALSE) {
    if (byteCount == EnvelopeMark && overlapped != WakeOverlapped()) {
      delete reinterpret_cast<TCompletionPacket*>(overlapped);
    }
  }
  ::CloseHandle(state.FPort);
}

using TPortTable = detail::THandleTable<TPortState>;

// One call's use of a port: while it lasts the handle stays open.
class TPortUse {
public:
  explicit TPortUse(THandle port) : FState(TPortTable::Instance().Find(port)) {
    if (!FState)
      return;
    std::lock_guard<std::mutex> lock(FState->FLock);
    if (FState->FClosing) {
      FState = nullptr;
    } else {
      ++FState->FUsers;
    }
  }
  ~TPortUse() {
    if (!FState)
      return;
    bool last = false;
    {
      std::lock_guard<std::mutex> lock(FState->FLock);
      last = --FState->FUsers == 0 && FState->FClosing;
    }
    if (last)
      ReleasePort(*FState);
  }
  TPortUse(const TPortUse&) = delete;
  TPortUse& operator=(const TPortUse&) = delete;

  bool Valid() const { return FState != nullptr; }
  HANDLE Port() const { return FState->FPort; }
  bool Closing() const {
    std::lock_guard<std::mutex> lock(FState->FLock);
    return FState->FClosing;
  }

private:
  std::shared_ptr<TPortState> FState;
};

} // namespace

THandle CreateCompletionPort() {
  const HANDLE port = ::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
  if (port == nullptr)
    return NoHandle;
  try {
    TPortTable::Instance().Insert(reinterpret_cast<THandle>(port),
                                  std::make_shared<TPortState>(port));
  } catch (...) {
    ::CloseHandle(port);
    return NoHandle;
  }
  return reinterpret_cast<THandle>(port);
}

bool PostCompletionPacket(THandle port, const TCompletionPacket& packet) {
  const TPortUse use(port);
  if (!use.Valid())
    return false;
  if (packet.ByteCount < EnvelopeMark) {
    return ::PostQueuedCompletionStatus(use.Port(), static_cast<DWORD>(packet.ByteCount),
                                        packet.CompletionKey,
                                        reinterpret_cast<LPOVERLAPPED>(packet.Overlapped)) != FALSE;
  }
  auto* envelope = new (std::nothrow) TCompletionPacket(packet);
  if (envelope == nullptr)
    return false;
  if (::PostQueuedCompletionStatus(use.Port(), EnvelopeMark, 0,
                                   reinterpret_cast<LPOVERLAPPED>(envelope)) == FALSE) {
    delete envelope;
    return false;
  }
  return true;
}

TWaitResult WaitCompletionPacket(THandle port, std::uint32_t timeout, TCompletionPacket& packet) {
  const TPortUse use(port);
  if (!use.Valid())
    return TWaitResult::wrFailed;
  DWORD byteCount = 0;
  ULONG_PTR key = 0;
  LPOVERLAPPED overlapped = nullptr;
  if (::GetQueuedCompletionStatus(use.Port(), &byteCount, &key, &overlapped, timeout) == FALSE) {
    return overlapped == nullptr && ::GetLastError() == WAIT_TIMEOUT ? TWaitResult::wrTimeout
                                                                     : TWaitResult::wrFailed;
  }
  TCompletionPacket received{byteCount, key, reinterpret_cast<std::uintptr_t>(overlapped)};
  if (byteCount == EnvelopeMark) {
    if (overlapped == WakeOverlapped())
      return TWaitResult::wrFailed;
    auto* envelope = reinterpret_cast<TCompletionPacket*>(overlapped);
    received = *envelope;
    delete envelope;
  }
  // A packet taken while the port is being closed belongs to the queue that closing discards.
  if (use.Closing())
    return TWaitResult::wrFailed;
  packet = received;
  return TWaitResult::wrPacket;
}

bool CloseCompletionPort(THandle port) {
  const std::shared_ptr<TPortState> state = TPortTable::Instance().Remove(port);
  if (!state)
    return false;
  bool unused = false;
  {
    std::lock_guard<std::mutex> lock(state->FLock);
    state->FClosing = true;
    // More wake packets than waiters is harmless: the rest go with the handle.
    for (int i = 0; i < state->FUsers; ++i) {
      ::PostQueuedCompletionStatus(state->FPort, EnvelopeMark, 0, WakeOverlapped());
    }
    unused = state->FUsers == 0;
  }
  if (unused)
    ReleasePort(*state);
  return true;
}

} // namespace isapi_web::platform
