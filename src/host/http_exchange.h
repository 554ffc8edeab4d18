#pragma once
// The HTTP exchange on a connection: a request's head, its framing and the body read ahead, the
// host's own pages, the access log's line, and keep-alive to the next request. What serves a
// complete request is the business of the class above (OnMessage).

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

// The host's headers come before Asio's (see connection.h).
#include "host/access_log.h"
#include "host/connection.h"
#include "host/request_reader.h"
#include "host/url_path.h"

namespace isapi_web::host {

class THttpExchange : public TConnection {
public:
  using TConnection::TConnection;

  /// Closes the connection if it still waits for a request head (the host needs its room).
  void Shed();
  /// A connection waiting for its next request closes now (the host shuts down).
  void Shutdown();

protected:
  /// A complete request (or its head and the body's first bytes) is in FReceived.
  virtual void OnMessage() = 0;

  void Begin() override { ReadHeader(); }
  void Answered(error_code error, bool keepAlive) override;
  std::chrono::steady_clock::time_point WaitDeadline() const override;
  void DeadlinePassed(std::chrono::steady_clock::time_point now) override;

  /// The body bytes already buffered, into the reader's target: a result when the read can end
  /// with them, nullopt when more must come from the socket, or (framingOnly) be parsed again.
  std::optional<TReceiveResult> TakeBufferedBody(std::size_t& received, bool& framingOnly);

  /// A page of the host's own as the connection's last answer.
  void AnswerClosingPage(unsigned status, std::string_view statusText,
                         std::string_view messageHtml);
  /// The shutdown's 503 page, as the last answer of the connection, with its stderr line.
  void AnswerShutdown503(const std::string& why);
  /// The access log's fields of this request (null: one the host could not read); only filled
  /// in when there is a log.
  void StartLogEntry(const TReceivedRequest* request);
  /// The URL path as the log and the diagnostics name it: as sent.
  std::string_view UriStem() const {
    return FTarget.Valid ? std::string_view(FTarget.RawPath) : std::string_view(FReceived.Target);
  }

  TReceivedRequest FReceived;
  std::optional<TRequestReader> FReader;
  TTargetPath FTarget;
  TTransferClock FBodyClock; ///< the request body, read ahead and by ReadClient
  unsigned FStatus = 0;      ///< what the log says the current request was answered
  TAccessLogEntry FLog;
  bool FBusy = false;         ///< a request is under way
  bool FReadPending = false;  ///< a read of the request is under way
  bool FAskedForMore = false; ///< the parser's last call ended asking for more bytes

private:
  void ReadHeader();
  void ReadMore();
  void OnRead(error_code error, std::size_t bytes);
  /// Feeds the parser what is buffered; reads more when it needs more.
  void Parse();
  /// The head is in: the request counts from now on. False when the body must wait for an
  /// interim answer.
  bool OnHeader();
  void OnContinueWritten(error_code error, std::size_t bytes);
  void OnReadError(error_code error);
  void Abort();
  /// A page for a request the host could not read; the connection ends with it.
  void AnswerUnreadable(unsigned status, std::string_view statusText, std::string_view message);
  /// A request whose head was read but whose body had not all come when the drain time ran out.
  void RefuseAtShutdown();
  void StartHead(std::chrono::steady_clock::time_point now);
  /// A connection whose request did not come in time.
  void OnTimedOut();

  std::chrono::steady_clock::time_point FStarted;
  std::chrono::steady_clock::time_point FWaitingSince; ///< for a request, or the rest of its head
  bool FHeadStarted = false;
  bool FHeaderDone = false;
  bool FTimedOut = false;
};

} // namespace isapi_web::host
