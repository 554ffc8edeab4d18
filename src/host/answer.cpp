#include "host/answer.h"

#include <algorithm>
#include <charconv>

#include "host/header_block.h"
#include "host/host_system.h"
#include "host/host_text.h"
#include "host/request_core.h"

#include <boost/container/small_vector.hpp>

namespace isapi_web::host {

namespace {

// A Content-Length value the header check let through: at most 18 digits.
std::uint64_t DecimalValue(std::string_view digits) {
  std::uint64_t value = 0;
  std::from_chars(digits.data(), digits.data() + digits.size(), value);
  return value;
}

// Adds bytes to pieces, to the last one when it holds bytes.
void AppendPart(std::vector<TSendPiece>& pieces, const std::string_view bytes) {
  if (bytes.empty())
    return;
  if (pieces.empty() || pieces.back().File != nullptr)
    pieces.emplace_back();
  pieces.back().Bytes += bytes;
}

} // namespace

TAnswer::TAnswer(TRequestCore& request)
    : FRequest(request), FKeepAlive(request.Setup.Connection.KeepAlive) {}

void TAnswer::StartBody(unsigned status, std::string_view statusText,
                        std::span<const TFieldView> fields) {
  FHeadSent = true;
  FStatus = status;
  if (FRequest.Setup.BodyOnly) {
    FFraming = TFraming::None; // a child's bytes, which its parent frames
    return;
  }
  // A client reads no body after these statuses, so body bytes would be read as the next answer.
  FBodyless = FStatus == 204 || FStatus == 304;
  boost::container::small_vector<TFieldView, 8> sent;
  bool extensionFramed = false;
  for (const TFieldView& field : fields) {
    if (EqualsIgnoreCase(field.Name, "Connection")) {
      if (ToUpperAscii(field.Value).find("CLOSE") != std::string::npos)
        FKeepAlive = false;
      continue; // the host says how the connection goes on
    }
    if (EqualsIgnoreCase(field.Name, "Content-Length")) {
      FFraming = TFraming::Length;
      FDeclaredLength = DecimalValue(field.Value);
    } else if (EqualsIgnoreCase(field.Name, "Transfer-Encoding")) {
      extensionFramed = true; // the extension frames the body itself; it ends with the connection
    }
    sent.push_back(field);
  }
  const bool http10 = FRequest.Setup.Connection.Http10;
  if (extensionFramed) {
    FFraming = TFraming::UntilClose;
    FKeepAlive = false;
  } else if (FFraming == TFraming::None && !FBodyless) {
    if (http10) {
      FFraming = TFraming::UntilClose;
      FKeepAlive = false;
    } else {
      FFraming = TFraming::Chunked;
      sent.push_back({"Transfer-Encoding", "chunked"});
    }
  }
  FAnnounced = TConnectionState{FKeepAlive && !(FFraming == TFraming::UntilClose), http10};
  AppendHead(FOutput, statusText, {sent.data(), sent.size()}, FAnnounced);
  FUnsentHeadSize = FOutput.size();
}

bool TAnswer::StartHead(const char* status, std::string_view block, std::string_view& rest) {
  TStatusText statusText;
  if (status != nullptr) {
    const std::optional<TStatusText> parsed = ParseStatusText(status);
    if (!parsed || parsed->Code < 200) {
      FRefusal = "headers with an invalid status text";
      return false;
    }
    statusText = *parsed;
  }
  // A header block that stops at its last line's end is taken as ended there.
  std::optional<THeaderBlock> headers = ParseAnswerHeaderBlock(block);
  if (!headers && !block.empty())
    headers = ParseAnswerHeaderBlock(std::string(block) + "\r\n");
  if (!headers) {
    FRefusal = "headers with an invalid header block";
    return false;
  }
  boost::container::small_vector<TFieldView, 8> fields;
  for (const auto& [name, value] : headers->Fields)
    fields.push_back({name, value});
  StartBody(statusText.Code, statusText.Text, {fields.data(), fields.size()});
  // The body's first bytes follow the blank line in the caller's block.
  rest = block.substr(block.size() - std::min(block.size(), headers->BodyStart.size()));
  return true;
}

void TAnswer::StartRedirect(std::string_view target) {
  const std::size_t bodySize = RedirectPageBodySize(target);
  char lengthText[24];
  const auto lengthEnd = std::to_chars(lengthText, lengthText + sizeof lengthText, bodySize).ptr;
  const TFieldView fields[] = {{"Location", target},
                               {"Content-Type", "text/html"},
                               {"Content-Length", std::string_view(lengthText, lengthEnd)}};
  FOutput.reserve(512 + target.size() + bodySize);
  StartBody(302, "302 Object Moved", fields);
  // The page goes straight into the output: the same bytes AppendBody would frame.
  FBodyWritten += bodySize;
  if (!FRequest.Setup.HeadOnly && !FBodyless)
    AppendRedirectPageBody(FOutput, target);
}

void TAnswer::AppendBody(std::string_view bytes) {
  const std::uint64_t before = FBodyWritten;
  FBodyWritten += bytes.size();
  if (FRequest.Setup.HeadOnly || FBodyless || bytes.empty())
    return;
  switch (FFraming) {
  case TFraming::Length:
    // Bytes past the declared length are dropped: they could only become a second response.
    if (before < FDeclaredLength)
      FOutput += bytes.substr(0, static_cast<std::size_t>(std::min<std::uint64_t>(
                                     bytes.size(), FDeclaredLength - before)));
    break;
  case TFraming::Chunked:
    AppendChunk(FOutput, bytes);
    break;
  case TFraming::UntilClose:
  case TFraming::None:
    FOutput += bytes;
    break;
  }
}

bool TAnswer::Flush() {
  if (FClientGone)
    return FailCall(FSendError) != 0;
  if (FOutput.empty())
    return true;
  const TSendResult result = FRequest.Channel->SendNow(FOutput);
  FOutput.clear();
  FUnsentHeadSize = 0;
  if (result == TSendResult::Sent)
    return true;
  FClientGone = true;
  FSendError = result == TSendResult::TimedOut ? ERROR_TIMEOUT : ERROR_NO_DATA;
  return FailCall(FSendError) != 0;
}

std::vector<TSendPiece> TAnswer::FrameParts(std::span<const TBodyPart> parts) {
  std::uint64_t total = 0;
  for (const TBodyPart& part : parts)
    total += part.File ? part.Length : part.Bytes.size();
  const std::uint64_t before = FBodyWritten;
  FBodyWritten += total;
  // What the framing lets through of the parts: all of them, or up to the declared length (bytes
  // past it could only become a second response), or nothing for a head-only answer.
  std::uint64_t allowed = total;
  if (FRequest.Setup.HeadOnly || FBodyless)
    allowed = 0;
  else if (FFraming == TFraming::Length)
    allowed = before < FDeclaredLength ? std::min(total, FDeclaredLength - before) : 0;
  std::vector<TSendPiece> pieces;
  AppendPart(pieces, FOutput);
  FOutput.clear();
  FUnsentHeadSize = 0;
  // One chunk carries the whole operation's body, however large.
  const bool chunked = FFraming == TFraming::Chunked && allowed > 0;
  if (chunked) {
    char size[24];
    const auto end = std::to_chars(size, size + sizeof size, allowed, 16).ptr;
    AppendPart(pieces, std::string_view(size, static_cast<std::size_t>(end - size)));
    AppendPart(pieces, "\r\n");
  }
  for (const TBodyPart& part : parts) {
    if (allowed == 0)
      break;
    if (part.File == nullptr) {
      const std::size_t count =
          static_cast<std::size_t>(std::min<std::uint64_t>(part.Bytes.size(), allowed));
      AppendPart(pieces, part.Bytes.substr(0, count));
      allowed -= count;
    } else if (part.Length > 0) {
      const std::uint64_t count = std::min(part.Length, allowed);
      pieces.push_back(TSendPiece{{}, part.File, part.Offset, count});
      allowed -= count;
    }
  }
  if (chunked)
    AppendPart(pieces, "\r\n");
  return pieces;
}

BOOL TAnswer::SendPieces(std::vector<TSendPiece>& pieces) {
  // On this thread, a file in bounded reads.
  if (FClientGone)
    return FailCall(FSendError);
  const TSendResult result =
      pieces.empty() ? TSendResult::Sent : SendPiecesNow(*FRequest.Channel, pieces);
  if (result == TSendResult::Sent)
    return 1;
  FClientGone = true;
  FSendError = result == TSendResult::TimedOut ? ERROR_TIMEOUT : ERROR_NO_DATA;
  return FailCall(FSendError);
}

void TAnswer::ChildAnswered(unsigned status, bool keepAlive, bool bodyOnly) {
  if (!bodyOnly) {
    // The answer is the child's from here on: the parent adds no framing of its own.
    FHeadSent = true;
    FFraming = TFraming::None;
    if (status != 0)
      FStatus = status;
  }
  if (!keepAlive)
    FKeepAlive = false;
}

std::string TAnswer::Finish(bool error, bool& keepAlive) {
  const bool headOnly = FRequest.Setup.HeadOnly;
  if (FFraming == TFraming::Chunked && !headOnly)
    FOutput += LastChunk;
  if (FFraming == TFraming::UntilClose)
    keepAlive = false;
  if (FFraming == TFraming::Length && FBodyWritten < FDeclaredLength && !headOnly && !FBodyless)
    keepAlive = false; // the client still waits for bytes that will never come
  if (error)
    keepAlive = false;
  if (!keepAlive && FUnsentHeadSize != 0)
    FUnsentHeadSize = AnnounceClose(FOutput, FUnsentHeadSize, FAnnounced);
  return std::move(FOutput);
}

std::string TAnswer::CutShort() {
  if (FUnsentHeadSize != 0)
    FUnsentHeadSize = AnnounceClose(FOutput, FUnsentHeadSize, FAnnounced);
  return std::move(FOutput);
}

} // namespace isapi_web::host
