#pragma once
// The ISAPI side of one request: its control block, the four callbacks the extension calls,
// and how the request ends. The network session and the `call` command both drive it through
// IClientChannel, so the bridge itself knows nothing of sockets.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "host/response_text.h"
#include "host/server_variables.h"
#include "isapi/isapi_host_interface.h"

namespace isapi_web::host {

class TExtension;

/// Body bytes placed in lpbData before the extension is called; the rest comes by ReadClient.
inline constexpr std::size_t MaxPreloadedBody = 48 * 1024;
/// cbTotalBytes when the request has no Content-Length.
inline constexpr DWORD UnknownTotalBytes = 0xFFFFFFFF;

/// How a request ended, handed to the channel once.
struct TRequestOutcome {
  std::string Bytes; ///< what is still to be sent to the client
  bool KeepAlive = true;
  unsigned Status = 0; ///< the status code the client gets, for the log
  std::string LogData; ///< the extension's lpszLogData
  std::string Note;    ///< why the host answered on its own, empty when the extension did
  std::optional<DWORD> SessionStatus; ///< the status given to done-with-session, if any
  bool TimedOut = false; ///< a transfer ran out of time: the connection is dropped at once
};

/// How a synchronous send ended.
enum class TSendResult {
  Sent,       ///< the transport took every byte
  ClientGone, ///< the connection failed or was closed
  TimedOut,   ///< the client stopped reading for longer than the host's limits allow
};

/// How a synchronous read of the body ended.
enum class TReceiveResult {
  Received,   ///< some bytes, at most those asked for
  End,        ///< the body is complete; no bytes
  ClientGone, ///< the connection ended before the body did
  TimedOut,   ///< the client sent nothing for longer than the host's limits allow
  TooLarge,   ///< the body went past the host's body limit
  Interrupted, ///< the host is shutting down and does not wait for the rest
};

/// The client side of a request. The synchronous calls block only the calling thread; an
/// asynchronous form of each can stand beside it, completing on the connection's loop.
class IClientChannel {
public:
  virtual ~IClientChannel() = default;
  /// Sends bytes before the request ends, blocking the calling thread until the transport took
  /// them all or failed. Called with the request's lock held, never concurrently.
  virtual TSendResult SendNow(std::string_view bytes) = 0;
  /// Reads body bytes beyond what the request was given up front into buffer, blocking the
  /// calling thread until some came or the read failed. Called with the request's lock held.
  virtual TReceiveResult ReceiveBody(void* buffer, std::size_t size, std::size_t& received) = 0;
  /// Ends the connection at once in both directions (the extension closed it); the request
  /// still ends as usual. Called with the request's lock held.
  virtual void CloseNow() {}
  /// Whether the client is still connected as far as the host can tell without reading.
  virtual bool PeerConnected() { return true; }
  /// The extension answered HSE_STATUS_PENDING; the time limit starts. Owner thread only.
  virtual void PendingStarted() = 0;
  /// The request has ended. onOwnerThread tells whether the caller is the thread that runs
  /// the request's connection (Run or an owner-side Expire) or another one. The request hands
  /// over its reference in self, so that an extension's thread, which may still be running
  /// after the host has stopped, never holds the last one.
  virtual void RequestEnded(std::shared_ptr<IClientChannel> self, TRequestOutcome outcome,
                            bool onOwnerThread) = 0;
};

/// What a request is made of before the extension sees it.
struct TRequestSetup {
  TRequestInfo Info;
  std::string Body; ///< the body's first bytes (read ahead), or all of it
  bool BodyComplete = true; ///< false: the rest comes from the channel's ReceiveBody
  DWORD TotalBytes = UnknownTotalBytes;
  bool HeadOnly = false;
  TConnectionState Connection;
  const std::filesystem::path* Root = nullptr; ///< for map-URL-to-path; outlives the request
};

/// One callback an extension made, with its arguments and the host's answer (for `call`).
struct TCallRecord {
  using TValue = std::variant<std::string, std::int64_t>;
  std::string Function;
  std::vector<std::pair<std::string, TValue>> Arguments;
  bool Result = false;
  DWORD Error = 0;
  std::vector<std::pair<std::string, TValue>> Answers;
};

/// The name IIS's headers give a support-function code; empty for a code they do not name.
std::string_view SupportFunctionName(DWORD request);
/// Adds the arguments of the calls support_sync.cpp answers to a call's record.
void DescribeSupportCall(TCallRecord& record, DWORD request, const void* buffer, const DWORD* size);
/// Adds what those calls answered.
void DescribeSupportAnswer(TCallRecord& record, DWORD request, BOOL result, const void* buffer,
                           const DWORD* size, const DWORD* dataType);

/// Receives every callback from now on (null to stop); used by `isapi-host call`.
void SetCallObserver(std::function<void(const TCallRecord&)> observer);
/// Waits until every callback being observed has been reported.
void WaitForObservedCalls();

/// One request between the host and an extension.
class TRequest {
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
  ~TRequest();
  TRequest(const TRequest&) = delete;
  TRequest& operator=(const TRequest&) = delete;

  /// Calls HttpExtensionProc on the calling thread (the owner) and handles its status.
  void Run();
  /// Ends the request with a host page (500 after the pending time limit, 503 at shutdown)
  /// unless it has ended already; the connection closes afterwards. With wait false it gives up
  /// and answers false when another thread holds the request (a write that is blocked).
  bool Expire(unsigned status, std::string_view note, bool onOwnerThread, bool wait = true);
  /// The handle the extension sees.
  HCONN ConnID() const { return FECB.ConnID; }
  /// Whether the request has ended (its ConnID is no longer live).
  bool Ended() const;

  // The callbacks' work, after the ConnID was found live.
  BOOL GetVariable(const char* name, void* buffer, DWORD* size);
  BOOL Write(const void* buffer, DWORD* bytes, DWORD reserved);
  BOOL Read(void* buffer, DWORD* size);
  BOOL SupportFunction(DWORD request, void* buffer, DWORD* size, DWORD* dataType);

private:
  enum class TFraming { None, Length, Chunked, UntilClose };

  BOOL Redirect(const char* url);
  /// Calls 3 and 1016: the status (none: "200 OK") and the header block, checked before anything
  /// is sent; keepConn false closes the connection after the answer.
  BOOL SendHeader(std::optional<std::string_view> status, std::optional<std::string_view> block,
                  bool keepConn);
  BOOL DoneWithSession(const DWORD* status);
  BOOL MapUrl(char* buffer, DWORD* size);
  // The synchronous support functions beyond the first four (support_sync.cpp).
  BOOL SendHeaderEx(const HSE_SEND_HEADER_EX_INFO* info);
  BOOL AnswerKeepConn(BOOL* answer);
  BOOL AnswerConnected(BOOL* answer);
  BOOL CloseConnection();
  BOOL AbortiveClose();
  BOOL AnswerInProcess(DWORD* answer);
  BOOL SetFlushFlag(const void* flag);
  BOOL AppendLogParameter(const char* text, const DWORD* size);
  BOOL ReportUnhealthy(const char* reason);
  BOOL MapUrlEx(const char* url, DWORD* size, HSE_URL_MAPEX_INFO* info);
  BOOL MapUnicodeUrl(WCHAR* buffer, DWORD* size);
  BOOL MapUnicodeUrlEx(const WCHAR* url, DWORD* size, HSE_UNICODE_URL_MAPEX_INFO* info);
  BOOL NormalizeUrl(char* url);
  BOOL SendCustomError(const HSE_CUSTOM_ERROR_INFO* info);
  BOOL GetImpersonationToken(void** token);
  /// A documented call that cannot apply to this host: FALSE, ERROR_NOT_SUPPORTED, and one
  /// line on stderr per extension and code.
  BOOL Refuse(DWORD request);
  /// lpszLogData and what HSE_APPEND_LOG_PARAMETER added, for the access log.
  std::string LogDataLocked() const;
  void StartBodyLocked(unsigned status, std::string_view statusText,
                       std::span<const TFieldView> fields);
  void AppendBodyLocked(std::string_view bytes);
  /// Sends what is buffered; false (with the error code set) when the client cannot take it.
  bool FlushLocked();
  void EndLocked(std::unique_lock<std::mutex>& lock, DWORD status, bool onOwnerThread);
  void ExpireLocked(std::unique_lock<std::mutex>& lock, unsigned status, std::string_view note,
                    bool onOwnerThread);
  void Finish(std::unique_lock<std::mutex>& lock, TRequestOutcome outcome, bool onOwnerThread);

  const TExtension& FExtension;
  TRequestSetup FSetup;
  std::string FContentType;
  EXTENSION_CONTROL_BLOCK FECB{};
  std::uintptr_t FHandle = 0;

  mutable std::mutex FMutex; // guards everything below and the use of FChannel
  std::shared_ptr<IClientChannel> FChannel;
  std::size_t FReadOffset = 0;
  bool FBodyComplete = true; ///< the whole body has been read (or was given up front)
  bool FEnded = false;
  bool FProcReturned = false;
  bool FPending = false;
  bool FDoneCalled = false;
  DWORD FDoneStatus = HSE_STATUS_SUCCESS;
  bool FHeadSent = false;
  bool FClientGone = false;
  DWORD FSendError = 0; ///< the error of the send (or read) that failed
  TFraming FFraming = TFraming::None;
  std::uint64_t FDeclaredLength = 0;
  std::uint64_t FBodyWritten = 0;
  bool FKeepAlive = true;
  bool FBodyless = false; ///< a 204 or 304 answer: no body bytes reach the client
  unsigned FStatus = 0;
  std::string FOutput;
  /// The head at the start of FOutput while it has not gone out, and how it said the
  /// connection goes on: a host that closes after all must still say so.
  std::size_t FUnsentHeadSize = 0;
  TConnectionState FAnnounced;
  std::string FRefusal; ///< what the last refused call was, for the 502 page
  bool FFlushEachWrite = false; ///< HSE_REQ_SET_FLUSH_FLAG: every write goes out at once
  std::string FLogParameters;   ///< HSE_APPEND_LOG_PARAMETER's texts
  std::uintptr_t FToken = 0;    ///< the impersonation token handed out, closed at the end
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
