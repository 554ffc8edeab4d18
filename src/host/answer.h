#pragma once
// The answer of one request as the client gets it: status and head, the framing of the body
// (Content-Length, chunked, or until the connection closes), bodyless answers, what is buffered
// and how it goes out through the channel, and whether the connection can go on after it. The
// bottom layer of the bridge: every call that sends goes through it.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "host/client_channel.h"
#include "host/response_text.h"
#include "isapi/isapi_host_interface.h"

namespace isapi_web::host {

class TRequestCore;

/// One part of a body: bytes, or a range of a file.
struct TBodyPart {
  std::string_view Bytes;
  HANDLE File = nullptr;
  std::uint64_t Offset = 0;
  std::uint64_t Length = 0;
};

/// The answer of one request. Every member is called with the request's lock held.
class TAnswer {
public:
  explicit TAnswer(TRequestCore& request);
  TAnswer(const TAnswer&) = delete;
  TAnswer& operator=(const TAnswer&) = delete;

  /// Whether the head has been made (by the extension, the host, or a child's answer).
  bool HeadSent() const { return FHeadSent; }
  unsigned Status() const { return FStatus; }
  /// Whether the connection can carry another request after this answer, as far as it goes.
  bool KeepAlive() const { return FKeepAlive; }
  /// The connection closes after the answer.
  void CloseAfter() { FKeepAlive = false; }
  /// Whether the client can take nothing more: a send or read failed, or the connection closed.
  bool ClientGone() const { return FClientGone; }
  /// The error of the send (or read) that failed.
  DWORD SendError() const { return FSendError; }
  void LoseClient(DWORD error) {
    FClientGone = true;
    FSendError = error;
  }
  /// What the last refused call was, for the 502 page; empty when none was.
  const std::string& Refusal() const { return FRefusal; }
  void NoteRefusal(std::string what) { FRefusal = std::move(what); }
  /// HSE_REQ_SET_FLUSH_FLAG: every write goes out at once.
  bool FlushEachWrite() const { return FFlushEachWrite; }
  void SetFlushEachWrite(bool flush) { FFlushEachWrite = flush; }
  /// The bytes buffered, not yet sent.
  std::size_t Buffered() const { return FOutput.size(); }

  /// Makes the head from the status and the extension's fields; the host adds the framing and
  /// says how the connection goes on.
  void StartBody(unsigned status, std::string_view statusText, std::span<const TFieldView> fields);
  /// Starts the head for a call that sends headers (status NULL: 200 OK); false and the refusal
  /// noted when they are not valid. The bytes after the header block come back in rest.
  bool StartHead(const char* status, std::string_view block, std::string_view& rest);
  /// The host's redirect to target, head and page.
  void StartRedirect(std::string_view target);
  /// Frames bytes as body bytes after what is buffered.
  void AppendBody(std::string_view bytes);
  /// Buffers bytes as they are: a child's whole answer, head and framing included.
  void AppendWhole(std::string_view bytes) { FOutput += bytes; }
  /// Sends what is buffered; false (with the error code set) when the client cannot take it.
  bool Flush();
  /// What is buffered and the parts framed as body bytes after it, in pieces to send.
  std::vector<TSendPiece> FrameParts(std::span<const TBodyPart> parts);
  /// Sends pieces on the calling thread; FALSE with the error code set when the client cannot
  /// take them.
  BOOL SendPieces(std::vector<TSendPiece>& pieces);
  /// A child request made an answer of its own: its whole answer (bodyOnly false) is the answer
  /// from here on, with its status; keepAlive false closes the connection after it.
  void ChildAnswered(unsigned status, bool keepAlive, bool bodyOnly);
  /// The bytes that end the answer the extension made, and (in keepAlive, what the request
  /// allows) whether the connection goes on after them; error: it ended with HSE_STATUS_ERROR.
  std::string Finish(bool error, bool& keepAlive);
  /// The bytes buffered of an answer the host cuts short; the connection closes after them.
  std::string CutShort();

private:
  enum class TFraming { None, Length, Chunked, UntilClose };

  TRequestCore& FRequest;
  bool FHeadSent = false;
  bool FClientGone = false;
  DWORD FSendError = 0;
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
  std::string FRefusal;
  bool FFlushEachWrite = false;
};

} // namespace isapi_web::host
