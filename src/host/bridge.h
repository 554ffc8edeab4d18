#pragma once
// The ISAPI side of one request: its lifetime, the ConnID the extension sees, the four callbacks
// the extension calls and their dispatch to the families of calls, and how the request ends. The
// network session and the `call` command both drive it through IClientChannel, so the bridge
// itself knows nothing of sockets.
//
// The families, each a class of its own, below TRequest and never above one another's users:
//   request_core.h     what they share (setup, control block, lock, channel)
//   answer.h           status, head, framing and output
//   async_operation.h  the one asynchronous operation and its completion
//   child_request.h    SEND_URL, EXEC_URL and their status
//   async_io.h         the asynchronous calls
//   sync_io.h          ReadClient, WriteClient and the calls that send the head
//   support_sync.h     the other support functions
//   support_tls.h      the client certificate and channel binding of an HTTPS request

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "host/answer.h"
#include "host/async_io.h"
#include "host/async_operation.h"
#include "host/call_record.h"
#include "host/child_request.h"
#include "host/client_channel.h"
#include "host/request_core.h"
#include "host/support_sync.h"
#include "host/support_tls.h"
#include "host/sync_io.h"
#include "isapi/isapi_host_interface.h"

namespace isapi_web::host {

/// One request between the host and an extension.
class TRequest final : public TRequestCore {
public:
  /// Registers a live ConnID for the request.
  static std::shared_ptr<TRequest> Create(const TExtension& extension, TRequestSetup&& setup,
                                          std::shared_ptr<IClientChannel> channel);
  /// The same with a copy of setup.
  static std::shared_ptr<TRequest> Create(const TExtension& extension, const TRequestSetup& setup,
                                          std::shared_ptr<IClientChannel> channel);
  /// Only Create makes requests; the key lets it build one in the block of its shared_ptr.
  class TCreateKey {
    friend class TRequest;
    TCreateKey() = default;
  };
  TRequest(TCreateKey, const TExtension& extension, TRequestSetup&& setup,
           std::shared_ptr<IClientChannel>&& channel);
  ~TRequest() override;

  /// Calls HttpExtensionProc on the calling thread (the owner) and handles its status.
  void Run() override;
  /// Ends the request with a host page (500 after the pending time limit, 503 at shutdown)
  /// unless it has ended already; the connection closes afterwards. With wait false it gives up
  /// and answers false when another thread holds the request (a write that is blocked).
  bool Expire(unsigned status, std::string_view note, bool onOwnerThread,
              bool wait = true) override;
  /// Ends a request whose extension was never called, without an answer: the channel answers
  /// on its own (a request refused before it ran). False when it had ended already.
  bool Withdraw();
  /// The handle the extension sees.
  HCONN ConnID() const { return ECB.ConnID; }
  /// Whether the request has ended (its ConnID is no longer live).
  bool Ended() const;

  // The callbacks' work, after the ConnID was found live.
  BOOL GetVariable(const char* name, void* buffer, DWORD* size);
  BOOL Write(const void* buffer, DWORD* bytes, DWORD reserved);
  BOOL Read(void* buffer, DWORD* size);
  BOOL SupportFunction(DWORD request, void* buffer, DWORD* size, DWORD* dataType);
  /// A callback into the host has returned to the extension: the completion of an operation it
  /// started may be called from now on.
  void CallReturned();
  /// Ends the pending asynchronous operation, if any, as soon as it can; its completion still
  /// comes, once, with error (ERROR_NETNAME_DELETED when the host closes the connection).
  void AbortPendingIo(DWORD error);

private:
  void EndLocked(std::unique_lock<std::mutex>& lock, DWORD status, bool onOwnerThread) override;
  void ExpireLocked(std::unique_lock<std::mutex>& lock, unsigned status, std::string_view note,
                    bool onOwnerThread) override;
  std::shared_ptr<TRequestCore> CreateChild(const TExtension& extension, TRequestSetup&& setup,
                                            std::shared_ptr<IClientChannel> channel) override;
  BOOL DoneWithSession(const DWORD* status);
  /// Refuses a call that sends when a child's complete answer was the answer (see
  /// TChildRequests::RefuseAfterChild); the one place every such call is checked, before it
  /// looks at its arguments.
  bool RefusedAfterChild(std::string_view call);
  void Finish(std::unique_lock<std::mutex>& lock, TRequestOutcome outcome, bool onOwnerThread);

  std::uintptr_t FHandle = 0;
  // Guarded by the request's lock (Mutex).
  bool FPending = false;    ///< HttpExtensionProc answered HSE_STATUS_PENDING
  bool FDoneCalled = false; ///< done-with-session came while HttpExtensionProc ran
  DWORD FDoneStatus = HSE_STATUS_SUCCESS;
  // The families, in the order they are built: each uses only those before it.
  TAnswer FAnswer;
  TAsyncOperation FOperation;
  TChildRequests FChildren;
  TAsyncIo FAsyncIo;
  TSyncIo FSyncIo;
  TSupportCalls FSupport;
  TTlsCalls FTls;
};

/// The four callbacks placed in every control block.
BOOL ISAPI_CALL GetServerVariableCallback(HCONN conn, LPSTR name, LPVOID buffer, LPDWORD size);
BOOL ISAPI_CALL WriteClientCallback(HCONN conn, LPVOID buffer, LPDWORD bytes, DWORD reserved);
BOOL ISAPI_CALL ReadClientCallback(HCONN conn, LPVOID buffer, LPDWORD size);
BOOL ISAPI_CALL ServerSupportFunctionCallback(HCONN conn, DWORD request, LPVOID buffer,
                                              LPDWORD size, LPDWORD dataType);

/// Waits until no thread is inside a callback, at most limit; false on time-out.
bool WaitForCallbacksToReturn(std::chrono::milliseconds limit);
/// The live requests, for shutdown.
std::vector<std::shared_ptr<TRequest>> LiveRequests();
/// The number of live requests.
std::size_t LiveRequestCount();

} // namespace isapi_web::host
