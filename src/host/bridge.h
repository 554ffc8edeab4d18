#pragma once
// The ISAPI side of one request: its control block, the four callbacks the extension calls,
// and how the request ends. The network session and the `call` command both drive it through
// IClientChannel, so the bridge itself knows nothing of sockets.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "host/call_record.h"
#include "host/client_channel.h"
#include "host/response_text.h"
#include "host/server_variables.h"
#include "isapi/isapi_host_interface.h"

namespace isapi_web::host {

class TExtension;

/// Body bytes placed in lpbData before the extension is called; the rest comes by ReadClient.
inline constexpr std::size_t MaxPreloadedBody = 48 * 1024;
/// cbTotalBytes when the request has no Content-Length.
inline constexpr DWORD UnknownTotalBytes = 0xFFFFFFFF;

/// What serves a URL of a child request: an extension, with the URL split as the host maps it.
struct TRoute {
  const TExtension* Extension = nullptr;
  std::string ScriptName;
  std::string PathInfo;
};
/// Finds the extension mapped to a normalised path; nullopt: a static file under the root.
using TRouter = std::function<std::optional<TRoute>(std::string_view path)>;

/// What a request is made of before the extension sees it.
struct TRequestSetup {
  TRequestInfo Info;
  std::string Body;         ///< the body's first bytes (read ahead), or all of it
  bool BodyComplete = true; ///< false: the rest comes from the channel's ReceiveBody
  DWORD TotalBytes = UnknownTotalBytes;
  bool HeadOnly = false;
  TConnectionState Connection;
  const std::filesystem::path* Root = nullptr; ///< for map-URL-to-path; outlives the request
  const TRouter* Router = nullptr;             ///< for child requests; outlives the request
  /// A child whose parent sends the headers: its answer is body bytes only, framed by the parent.
  bool BodyOnly = false;
  unsigned ChildDepth = 0; ///< how many parents the request has
};

/// The name IIS's headers give a support-function code; empty for a code they do not name.
std::string_view SupportFunctionName(DWORD request);
/// Adds the arguments of the calls support_sync.cpp answers to a call's record.
void DescribeSupportCall(TCallRecord& record, DWORD request, const void* buffer, const DWORD* size);
/// Adds what those calls answered.
void DescribeSupportAnswer(TCallRecord& record, DWORD request, BOOL result, const void* buffer,
                           const DWORD* size, const DWORD* dataType);
/// Adds the arguments of an asynchronous-I/O support function to its record.
void DescribeAsyncCall(DWORD request, const void* buffer, const DWORD* size, const DWORD* dataType,
                       TCallRecord& record);

/// The same for the child-request support functions.
void DescribeChildCall(DWORD request, const void* buffer, TCallRecord& record);
/// Adds what HSE_REQ_GET_EXEC_URL_STATUS answered to its record.
void DescribeChildAnswer(const void* buffer, TCallRecord& record);

/// One request between the host and an extension.
class TRequest : public std::enable_shared_from_this<TRequest> {
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
  /// Ends a request whose extension was never called, without an answer: the channel answers
  /// on its own (a request refused before it ran). False when it had ended already.
  bool Withdraw();
  /// The handle the extension sees.
  HCONN ConnID() const { return FECB.ConnID; }
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
  /// Passes bytes of a child request's answer on to the client.
  bool ChildSend(std::string_view bytes, bool bodyOnly);

private:
  enum class TFraming { None, Length, Chunked, UntilClose };

  BOOL Redirect(const char* url);
  /// Calls 3 and 1016: the status (none: "200 OK") and the header block, checked
  /// before anything is sent; keepConn false closes the connection after the answer.
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

  // Asynchronous I/O (async_io.cpp).
  BOOL SetIoCompletion(PFN_HSE_IO_COMPLETION callback, void* context);
  BOOL WriteAsync(const void* buffer, DWORD bytes);
  BOOL ReadAsync(void* buffer, DWORD* size, const DWORD* flags);
  BOOL TransmitFile(const HSE_TF_INFO* info);
  BOOL VectorSend(const HSE_RESPONSE_VECTOR* vector);
  BOOL CancelIo();

  // Child requests (child_request.cpp).
  class TChildChannel;
  BOOL SendUrl(const char* url);
  BOOL ExecUrl(const void* info, bool unicode);
  BOOL GetExecUrlStatus(void* status);
  /// A child's URL and what comes with it.
  struct TChildRequest {
    std::string Url;
    std::string Method;
    std::string Headers; ///< "Name: value" lines added to (or replacing) the parent's
    std::optional<std::string> Body;
    bool BodyOnly = false;
  };
  /// How a child request ended: its status (0: the URL is not valid, or it never began), and
  /// whether a cancel cut it short before it had finished.
  struct TChildResult {
    unsigned Status = 0;
    bool Cut = false;
  };
  /// Runs a child request on the calling thread until it ends; its answer goes to the client
  /// through this request.
  TChildResult RunChild(const TChildRequest& wanted);
  /// Starts a child request and returns; ended is called once when it has ended, from the thread
  /// that ended it. No thread waits for the child meanwhile.
  void StartChild(const TChildRequest& wanted, std::function<void(TChildResult)> ended);
  /// A child request to an extension, with its channel to this request.
  std::shared_ptr<TRequest> CreateChild(const TChildRequest& wanted, const TRoute& route,
                                        std::string_view query, TConnectionState connection,
                                        std::shared_ptr<TChildChannel> channel);
  /// The pending child request has ended: what SEND_URL or EXEC_URL's completion reports (the
  /// cancel's error when it was cut, 87 for a URL that is not valid, else 0).
  DWORD ChildEndedLocked(const TChildResult& child, bool bodyOnly);
  /// A cancel of the pending child request: the child ends as soon as it can.
  void CutChildLocked();
  /// A child request (a static file or an extension) made an answer of its own.
  void ChildAnswered(unsigned status, bool keepAlive, bool bodyOnly);
  /// A call that would send after a child's complete answer: FALSE, 87, nothing sent, and one
  /// stderr line per request naming the first such call.
  BOOL RefuseAfterChildLocked(std::string_view call);
  /// Refuses a call that sends (as RefuseAfterChildLocked) when a child's complete answer was
  /// the answer; the one place every such call is checked, before it looks at its arguments.
  bool RefusedAfterChild(std::string_view call);
  /// One part of a body: bytes, or a range of a file.
  struct TBodyPart {
    std::string_view Bytes;
    HANDLE File = nullptr;
    std::uint64_t Offset = 0;
    std::uint64_t Length = 0;
  };
  /// Starts the answer's head for a call that sends headers (status NULL: 200 OK); false and the
  /// refusal noted when they are not valid. The bytes after the header block come back in rest.
  bool StartHeadLocked(const char* status, std::string_view block, std::string_view& rest);
  /// Frames the parts as body bytes after what is buffered, and sends them synchronously or
  /// starts sending them (callback not null).
  BOOL SendBodyLocked(std::unique_lock<std::mutex>& lock, std::span<const TBodyPart> parts,
                      PFN_HSE_IO_COMPLETION callback, void* context, DWORD reported);
  /// Marks an operation as started by the calling thread's call, with its completion.
  void BeginIoLocked(PFN_HSE_IO_COMPLETION callback, void* context);
  /// An operation's result: its completion is called once the starting call has returned.
  void IoDone(DWORD bytes, DWORD error);
  void IoDoneLocked(DWORD bytes, DWORD error);
  void DeliverCompletion();
  /// No operation is pending any more: an end, or a host page, held back for one comes now.
  void EndDeferredLocked(std::unique_lock<std::mutex>& lock);
  /// How the channel's send or read of the pending operation ended.
  void SendDone(TSendResult result);
  void ReceiveDone(TReceiveResult result, std::size_t received);
  void AbortPendingIoLocked(DWORD error);
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
  std::string FRefusal;         ///< what the last refused call was, for the 502 page
  bool FFlushEachWrite = false; ///< HSE_REQ_SET_FLUSH_FLAG: every write goes out at once
  std::string FLogParameters;   ///< HSE_APPEND_LOG_PARAMETER's texts
  std::uintptr_t FToken = 0;    ///< the impersonation token handed out, closed at the end

  // The asynchronous operation (at most one) and its completion.
  PFN_HSE_IO_COMPLETION FCompletion = nullptr; ///< set by HSE_REQ_IO_COMPLETION
  void* FCompletionContext = nullptr;
  bool FIoPending = false; ///< started; its completion has not been called yet
  /// The call that started it has not returned yet; read without the lock by that call's thread.
  std::atomic<bool> FIoStarting{false};
  bool FIoFinished = false; ///< its result is in, waiting for the starting call to return
  std::thread::id FIoStarter;
  PFN_HSE_IO_COMPLETION FIoCallback = nullptr;
  void* FIoContext = nullptr;
  DWORD FIoBytes = 0;
  DWORD FIoError = 0;
  DWORD FIoReported = 0;               ///< cbIO of a send that succeeds
  const void* FIoReadBuffer = nullptr; ///< where an asynchronous read puts its bytes (for `call`)
  DWORD FIoAbortError = ERROR_OPERATION_ABORTED; ///< what a cancelled operation reports
  bool FIoAbortRequested = false;                ///< the extension cut the operation short
  bool FEndDeferred = false; ///< the request ends once the completion has been called
  DWORD FDeferredStatus = HSE_STATUS_SUCCESS;
  unsigned FDeferredExpiry = 0; ///< a host page due once the completion has been called
  std::string FDeferredNote;
  std::optional<HSE_EXEC_URL_STATUS> FExecStatus; ///< of the last child request
  /// The pending operation is a child request (SEND_URL, EXEC_URL): a cancel is the child's, as
  /// its answer does not wait on the connection.
  bool FChildRunning = false;
  std::shared_ptr<TChildChannel> FChildChannel; ///< that child's, when it is an extension
  /// A child's complete answer (SEND_URL, EXEC_URL with headers) was the answer: a byte more
  /// would reach the client as the start of its next answer.
  bool FChildAnswered = false;
  bool FAfterChildNoted = false; ///< a call after it has been reported on stderr
};

/// Runs job on one of the host's extension threads (see extension_threads.h).
void RunOnCompletionThread(std::function<void()> job);
/// At the end of a run: waits until no work of the extension threads is queued or running, at
/// most limit, then ends and joins those threads (one still inside a call ends when it returns).
/// False on time-out.
bool StopCompletionThreads(std::chrono::milliseconds limit);

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
