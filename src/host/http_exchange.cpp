#include "host/http_exchange.h"

#include <algorithm>

#include "host/host_system.h"
#include "host/host_text.h"
#include "host/request_feed.h"
#include "host/response_text.h"

namespace isapi_web::host {

void THttpExchange::Shed() {
  if (!FBusy && !FClosing && !FClosed) {
    CancelOperations();
    Close();
  }
}

void THttpExchange::Shutdown() {
  if (!FBusy && !FClosing) {
    CancelOperations();
  }
}

void THttpExchange::ReadHeader() {
  FBusy = false;
  if (FServer.Stopping)
    return GracefulClose();
  FReader.emplace(FReceived, FServer.Options.MaxRequestBody);
  FHeaderDone = false;
  FAskedForMore = false;
  const auto now = std::chrono::steady_clock::now();
  MarkIdle(now);
  FWaitingSince = now;
  FHeadStarted = false;
  FTimedOut = false;
  // A TLS handshake is timed as the head it comes before.
  if (FBuffer.size() != 0 || HandshakePending())
    StartHead(now);
  KeepDeadline();
  // The next request is read from a handler of its own, after the other connections' handlers
  // that are ready now: by then the client has usually sent it, and the read that the loop
  // tries at once finds it instead of costing a call that finds nothing. Bytes of a pipelined
  // request that are already here are parsed there too, which keeps a long pipeline from
  // nesting one answer inside the other.
  PostInTurn([this] { Parse(); });
}

void THttpExchange::ReadMore() {
  // The shutdown may have looked for idle connections while this one was between requests.
  if (!FBusy && FServer.Stopping)
    return GracefulClose();
  if (FTimedOut)
    return OnTimedOut();
  const std::size_t size =
      std::min<std::size_t>(std::max<std::size_t>(512, FBuffer.capacity() - FBuffer.size()), 65536);
  FReadPending = true;
  AsyncReadSome(FBuffer.prepare(size), InTurn(this, &THttpExchange::OnRead));
}

void THttpExchange::OnRead(error_code error, std::size_t bytes) {
  FReadPending = false;
  FBuffer.commit(bytes);
  if (FBusy && FServer.Refusing)
    return RefuseAtShutdown();
  if (FTimedOut)
    return OnTimedOut();
  if (bytes != 0 && !FBusy && !FHeadStarted) {
    StartHead(std::chrono::steady_clock::now());
    KeepDeadline();
  }
  if (error == net::error::eof) {
    // The end of the stream completes a message that only the end delimits, and cuts
    // short any other that has begun.
    if (!FReader->got_some())
      return OnReadError(http::error::end_of_stream);
    error = {};
    FReader->put_eof(error);
    if (error)
      return OnReadError(error);
    return OnMessage();
  }
  if (error)
    return OnReadError(error);
  Parse();
}

// The request starts once its body is complete or fills the read-ahead; the rest of a larger
// body stays in the connection until the extension's ReadClient asks for it.
void THttpExchange::Parse() {
  while (ReadyToParse(*FReader, FBuffer.size(), FAskedForMore)) {
    error_code error;
    const std::size_t used = FReader->put(FBuffer.data(), error);
    FBuffer.consume(used);
    if (FHeaderDone && used != 0)
      FBodyClock.Progress(used);
    FAskedForMore = error == http::error::need_more;
    if (FAskedForMore)
      break;
    const bool full = error == http::error::need_buffer;
    if (full)
      error = {};
    if (error)
      return OnReadError(error);
    if (!FHeaderDone && FReader->is_header_done()) {
      FHeaderDone = true;
      if (!OnHeader())
        return;
    }
    if (FReader->is_done() || full)
      return OnMessage();
  }
  if (FHeaderDone && FReceived.Body.size() >= MaxPreloadedBody)
    return OnMessage();
  ReadMore();
}

std::optional<TReceiveResult> THttpExchange::TakeBufferedBody(std::size_t& received,
                                                              bool& framingOnly) {
  framingOnly = false;
  if (FReader->is_done())
    return TReceiveResult::End;
  if (!ReadyToParse(*FReader, FBuffer.size(), FAskedForMore))
    return std::nullopt;
  error_code error;
  const std::size_t used = FReader->put(FBuffer.data(), error);
  FBuffer.consume(used);
  received = FReader->Taken();
  FAskedForMore = error == http::error::need_more;
  if (error == http::error::body_limit)
    return TReceiveResult::TooLarge;
  if (error && !FAskedForMore && error != http::error::need_buffer)
    return TReceiveResult::ClientGone; // a malformed chunk: nothing more can be read
  if (received != 0)
    return TReceiveResult::Received;
  framingOnly = !FAskedForMore && used != 0; // such as a chunk's size line
  return std::nullopt;
}

bool THttpExchange::OnHeader() {
  FBusy = true;
  MarkBusy();
  FServer.BeginRequest();
  FBodyClock.Start(std::chrono::steady_clock::now());
  KeepDeadline();
  if (FServer.Options.AccessLog != nullptr)
    FStarted = std::chrono::steady_clock::now();
  if (FReader->is_done())
    return true;
  FReader->eager(true);
  const TReceivedField* expect = FReceived.Find(http::field::expect);
  if (expect == nullptr || !EqualsIgnoreCase(expect->Value, "100-continue"))
    return true;
  static constexpr std::string_view Continue = "HTTP/1.1 100 Continue\r\n\r\n";
  AsyncWriteShort(net::buffer(Continue.data(), Continue.size()),
                  InTurn(this, &THttpExchange::OnContinueWritten));
  return false;
}

void THttpExchange::OnContinueWritten(error_code error, std::size_t) {
  if (error)
    return Abort();
  Parse();
}

void THttpExchange::OnReadError(error_code error) {
  const bool counted = FBusy;
  if (!counted) {
    FBusy = true;
    FServer.BeginRequest();
    if (FServer.Options.AccessLog != nullptr)
      FStarted = std::chrono::steady_clock::now();
  }
  if (error == http::error::header_limit)
    return AnswerUnreadable(431, "431 Request Header Fields Too Large",
                            "The request's header fields exceed 16384 bytes.");
  if (error == http::error::body_limit)
    return AnswerUnreadable(413, "413 Payload Too Large",
                            "The request's body exceeds " +
                                std::to_string(FServer.Options.MaxRequestBody) + " bytes.");
  const bool nothingRead = error == http::error::end_of_stream || error == net::error::eof ||
                           error == net::error::operation_aborted ||
                           error == net::error::connection_reset;
  if (nothingRead || (error == http::error::partial_message && !counted)) {
    FServer.EndRequest();
    return Close();
  }
  const std::string_view problem = FReader ? FReader->FramingProblem() : std::string_view();
  AnswerUnreadable(400, "400 Bad Request",
                   problem.empty() ? std::string_view("The request could not be read.") : problem);
}

void THttpExchange::Abort() {
  FServer.EndRequest();
  Close();
}

void THttpExchange::AnswerUnreadable(unsigned status, std::string_view statusText,
                                     std::string_view message) {
  FStatus = status;
  if (FServer.Options.AccessLog != nullptr)
    StartLogEntry(nullptr);
  Answer(ComposePage(statusText, {}, ErrorPageBody(statusText, HtmlEscape(message)),
                     TConnectionState{false, false}, false),
         false);
}

void THttpExchange::AnswerClosingPage(unsigned status, std::string_view statusText,
                                      std::string_view messageHtml) {
  FStatus = status;
  Answer(ComposePage(statusText, {}, ErrorPageBody(statusText, messageHtml),
                     TConnectionState{false, FReceived.Version == 10},
                     FReceived.Verb == http::verb::head),
         false);
}

void THttpExchange::RefuseAtShutdown() {
  ParseRequestTarget(FReceived.Target, FTarget);
  if (FServer.Options.AccessLog != nullptr)
    StartLogEntry(&FReceived);
  AnswerShutdown503("was still receiving its body");
}

void THttpExchange::AnswerShutdown503(const std::string& why) {
  Diagnostic("shutdown: " + FReceived.Method + " " + std::string(UriStem()) + " " + why +
             " and was answered 503");
  AnswerClosingPage(503, "503 Service Unavailable", "The server is shutting down.");
}

void THttpExchange::StartLogEntry(const TReceivedRequest* request) {
  FLog.ExtensionLogData.clear();
  FLog.UserAgent.clear();
  FLog.Referer.clear();
  if (request == nullptr) {
    FLog.ServerIp.clear();
    FLog.ServerPort.clear();
    FLog.ClientIp.clear();
    FLog.Method = "-";
    FLog.UriStem.clear();
    FLog.UriQuery.clear();
    return;
  }
  FLog.ServerIp = FLocalAddress;
  FLog.ServerPort = FLocalPort;
  FLog.ClientIp = FRemoteAddress;
  FLog.Method = request->Method;
  FLog.UriStem = UriStem();
  FLog.UriQuery = FTarget.Query;
  if (const TReceivedField* field = request->Find(http::field::user_agent))
    FLog.UserAgent = field->Value;
  if (const TReceivedField* field = request->Find(http::field::referer))
    FLog.Referer = field->Value;
}

void THttpExchange::Answered(error_code error, bool keepAlive) {
  if (FServer.Options.AccessLog != nullptr) {
    FLog.Status = FStatus;
    FLog.Time = std::chrono::system_clock::now();
    FLog.TimeTakenMs =
        static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                       std::chrono::steady_clock::now() - FStarted)
                                       .count());
    FServer.Options.AccessLog->Write(FLog);
  }
  FServer.EndRequest();
  FBusy = false;
  if (error)
    return Close();
  if (!keepAlive || FServer.Stopping)
    return GracefulClose();
  ReadHeader();
}

void THttpExchange::StartHead(std::chrono::steady_clock::time_point now) {
  FHeadStarted = true;
  FWaitingSince = now;
}

// Past an answer, the wait is for the first byte of a request (the connection timeout), the
// rest of its head (the head wait), or the body read ahead (the transfer's deadline).
std::chrono::steady_clock::time_point THttpExchange::WaitDeadline() const {
  if (Answering())
    return TConnection::WaitDeadline();
  if (FBusy)
    return FBodyClock.Deadline(FServer.Limits);
  const TServerOptions& options = FServer.Options;
  return FWaitingSince + (FHeadStarted ? options.HeaderWaitTimeout : options.ConnectionTimeout);
}

void THttpExchange::DeadlinePassed(std::chrono::steady_clock::time_point now) {
  if (Answering())
    return TConnection::DeadlinePassed(now);
  // A body that keeps its pace goes on into its next period.
  if (FBusy && FBodyClock.Renew(now, FServer.Limits))
    return KeepDeadline();
  // A wait for the request: the pending read ends, and OnRead closes (or answers 408).
  FTimedOut = true;
  if (FReadPending) {
    CancelOperations();
  }
}

// One that sent nothing more than idle bytes just closes; a request whose body stopped coming is
// answered 408.
void THttpExchange::OnTimedOut() {
  if (!FBusy) {
    // Answers still queued in the system for a client that stopped reading (a slow read)
    // are dropped with the connection; a client that read everything sees a plain close.
    if (UnsentBytes(FSocket.native_handle()) != 0)
      return Drop();
    return Close();
  }
  ParseRequestTarget(FReceived.Target, FTarget);
  if (FServer.Options.AccessLog != nullptr)
    StartLogEntry(&FReceived);
  AnswerClosingPage(408, "408 Request Timeout", "The request's body did not arrive in time.");
}

} // namespace isapi_web::host
