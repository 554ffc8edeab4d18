#pragma once
// A scriptable ISAPI host for tests. Each fake request owns a real EXTENSION_CONTROL_BLOCK whose
// four callbacks reach it through its ConnID, a checked handle: a call with any other ConnID
// fails (FALSE, 87) and is recorded on the host. Server variables, body chunks and the answers
// to writes and support functions are scripted before the request is served; every call the
// extension makes is recorded with its arguments. Requests may be served on several threads.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "isapi/isapi_host_interface.h"

namespace isapi_web::test_support {

/// Which host callback a recorded call went to.
enum class TFakeCallKind {
  ckGetServerVariable,
  ckReadClient,
  ckWriteClient,
  ckServerSupportFunction
};

/// One call the extension made, its arguments copied out and the host's answer.
struct TFakeCall {
  TFakeCallKind Kind = TFakeCallKind::ckGetServerVariable;
  /// GetServerVariable: the variable name.
  std::string Name;
  /// ServerSupportFunction: the request code; WriteClient: dwReserved.
  DWORD Code = 0;
  /// ServerSupportFunction 1, 3, 1001: the buffer's text (nullopt for a null buffer);
  /// WriteClient: the bytes accepted.
  std::optional<std::string> Buffer;
  /// The value behind the size pointer on entry (Size offered or asked); nullopt when null.
  std::optional<DWORD> Size;
  /// ServerSupportFunction 3: the data-type text (the header block); nullopt when null.
  std::optional<std::string> DataType;
  /// ServerSupportFunction 4: the status word the buffer points to; nullopt when null.
  std::optional<DWORD> Status;
  /// The value the host left behind the size pointer.
  DWORD SizeAnswered = 0;
  bool Result = false;
  /// The error the host set on failure (0 on success).
  DWORD Error = 0;
};

/// A call whose ConnID named no live request of this host.
struct TRejectedCall {
  TFakeCallKind Kind = TFakeCallKind::ckGetServerVariable;
  HCONN ConnID = nullptr;
};

/// A scripted answer of GetServerVariable for one name.
struct TVariableAnswer {
  bool Success = true;
  /// Copied into the buffer, cut to the size offered.
  std::string Bytes;
  /// Left behind the size pointer, whatever the buffer offered.
  DWORD ReportedSize = 0;
  DWORD Error = 0;
};

/// A scripted answer of ReadClient.
struct TReadAnswer {
  bool Success = true;
  /// Delivered up to the size asked; what does not fit stays for the next call.
  std::string Bytes;
  /// When set, reported instead of the count delivered (over-reporting).
  std::optional<DWORD> ReportedSize;
  DWORD Error = 0;
};

/// Answers of the host to code 1001: the physical path of a URL, nullopt when it has none.
using TUrlMapper = std::function<std::optional<std::string>(const std::string& url)>;

class TFakeIsapiHost;

/// One request as the host sees it. Script it before serving; read the recordings after (or,
/// from another thread, while) it is served.
class TFakeRequest {
public:
  TFakeRequest(const TFakeRequest&) = delete;
  TFakeRequest& operator=(const TFakeRequest&) = delete;
  ~TFakeRequest();

  /// The control block handed to the extension; valid as long as the host lives.
  EXTENSION_CONTROL_BLOCK* Ecb() noexcept { return &FEcb; }
  HCONN ConnID() const noexcept { return FEcb.ConnID; }

  // ---- Control block members (nullopt makes the member a null pointer) ----
  /// Also sets REQUEST_METHOD.
  TFakeRequest& SetMethod(std::optional<std::string> value);
  /// Also sets QUERY_STRING.
  TFakeRequest& SetQueryString(std::optional<std::string> value);
  /// Also sets PATH_INFO.
  TFakeRequest& SetPathInfo(std::optional<std::string> value);
  /// Also sets PATH_TRANSLATED.
  TFakeRequest& SetPathTranslated(std::optional<std::string> value);
  /// Also sets CONTENT_TYPE.
  TFakeRequest& SetContentType(std::optional<std::string> value);
  /// The body bytes already read (cbAvailable, lpbData) and the declared length
  /// (cbTotalBytes; the length of Available when omitted), which also becomes CONTENT_LENGTH
  /// unless it is 0xFFFFFFFF (unknown).
  TFakeRequest& SetBody(std::string available, std::optional<DWORD> totalBytes = std::nullopt);

  // ---- Server variables ----
  /// A variable the host knows; answered by the host's rules (NUL counted, 122 when too small).
  TFakeRequest& SetVariable(const std::string& name, std::string value);
  TFakeRequest& RemoveVariable(const std::string& name);
  /// Replaces the host's rules for Name by a fixed answer (Size 0 or 1, over-reporting, ...).
  TFakeRequest& ScriptVariable(const std::string& name, TVariableAnswer answer);

  // ---- Body ----
  /// The next chunk ReadClient delivers; the body ends (TRUE with 0) when the chunks run out.
  TFakeRequest& AddChunk(std::string bytes);
  /// A chunk whose reported size is Reported, whatever was delivered.
  TFakeRequest& AddOverReportedChunk(std::string bytes, DWORD reported);
  /// The next ReadClient fails.
  TFakeRequest& AddReadFailure(DWORD error = ERROR_INVALID_PARAMETER);

  // ---- Writes ----
  /// Every WriteClient accepts all the bytes offered (the default).
  TFakeRequest& AcceptAllWrites();
  /// Every WriteClient accepts at most Count bytes.
  TFakeRequest& AcceptWritesUpTo(DWORD count);
  /// Every WriteClient fails.
  TFakeRequest& FailWrites(DWORD error = ERROR_INVALID_PARAMETER);

  // ---- Support functions ----
  /// The answer to a support-function code; 1, 3, 4 and 1001 succeed unless scripted,
  /// other codes fail with 87.
  TFakeRequest& SetSupportAnswer(DWORD code, bool result);
  /// How code 1001 maps URLs; the default prefixes "C:\root" and turns "/" into "\".
  TFakeRequest& SetUrlMapper(TUrlMapper mapper);
  /// Called inside the redirect callback, on the extension's thread, outside every lock.
  TFakeRequest& SetRedirectHook(std::function<void(TFakeRequest&)> hook);

  // ---- Recordings ----
  /// Every call, in order.
  std::vector<TFakeCall> Calls() const;
  std::vector<TFakeCall> CallsOf(TFakeCallKind kind) const;
  /// The support-function calls of one code.
  std::vector<TFakeCall> SupportCalls(DWORD code) const;
  /// The bytes WriteClient accepted, joined.
  std::string Written() const;
  /// Whether done-with-session (4) ended this request; later calls are rejected.
  bool SessionDone() const;
  /// The status word passed with done-with-session, when one was.
  std::optional<DWORD> DoneStatus() const;
  /// The status code and log text the extension left in the control block.
  DWORD HttpStatusCode() const noexcept { return FEcb.dwHttpStatusCode; }
  std::string LogData() const;

private:
  friend class TFakeIsapiHost;
  struct TCallbacks;
  TFakeRequest(TFakeIsapiHost& host, HCONN connId);

  void Record(TFakeCall call);
  void SetMember(std::optional<std::string>& storage, LPSTR& member,
                 std::optional<std::string> value, const char* variable);

  TFakeIsapiHost& FHost;
  EXTENSION_CONTROL_BLOCK FEcb{};

  mutable std::mutex FLock; // guards every member below
  std::optional<std::string> FMethod, FQueryString, FPathInfo, FPathTranslated, FContentType;
  std::string FAvailable;
  std::map<std::string, std::string> FVariables;
  std::map<std::string, TVariableAnswer> FScriptedVariables;
  std::deque<TReadAnswer> FReadAnswers;
  enum class TWriteMode { wmAcceptAll, wmAcceptUpTo, wmFail } FWriteMode = TWriteMode::wmAcceptAll;
  DWORD FWriteLimit = 0;
  DWORD FWriteError = 0;
  std::map<DWORD, bool> FSupportAnswers;
  TUrlMapper FUrlMapper;
  std::function<void(TFakeRequest&)> FRedirectHook;
  std::vector<TFakeCall> FCalls;
  bool FSessionDone = false;
  std::optional<DWORD> FDoneStatus;
};

/// The host: makes fake requests, counts ended sessions, keeps calls with a foreign ConnID.
class TFakeIsapiHost {
public:
  TFakeIsapiHost();
  TFakeIsapiHost(const TFakeIsapiHost&) = delete;
  TFakeIsapiHost& operator=(const TFakeIsapiHost&) = delete;
  /// Its requests' ConnIDs stop being valid.
  ~TFakeIsapiHost();

  /// A new request with method "GET", empty members and no body. Thread-safe.
  TFakeRequest& NewRequest();
  std::size_t RequestCount() const;
  TFakeRequest& Request(std::size_t index);

  /// Calls whose ConnID named no live request (forged, of another host, or after the session
  /// ended).
  std::vector<TRejectedCall> RejectedCalls() const;
  /// Sessions ended by done-with-session so far.
  std::size_t DoneSessions() const;
  /// Blocks until Count sessions have ended; false once a whole minute passes without any
  /// session ending, a guard against a hung test, not a timing.
  bool WaitForDoneSessions(std::size_t count);

private:
  friend class TFakeRequest;
  void RecordRejected(TFakeCallKind kind, HCONN connId);
  void NotifySessionDone();

  mutable std::mutex FLock; // guards the members below
  std::condition_variable FSessionEnded;
  std::deque<std::unique_ptr<TFakeRequest>> FRequests;
  std::vector<TRejectedCall> FRejected;
  std::size_t FDoneSessions = 0;
};

/// Sets the calling thread's last error as a host does (SetLastError on Windows, errno elsewhere).
void SetHostError(DWORD error);

} // namespace isapi_web::test_support
