#include "host/sync_io.h"

#include <algorithm>
#include <cstring>

#include "host/header_block.h"
#include "host/host_system.h"
#include "host/host_text.h"

#include <boost/container/small_vector.hpp>

namespace isapi_web::host {

namespace {

// Buffered output goes to the client once it reaches this size, even inside the extension call.
constexpr std::size_t FlushThreshold = 16 * 1024;

// count bytes of text, the NULs at its end left out: callers count the terminator or not.
std::string_view Counted(const char* text, DWORD count) {
  std::string_view result(text, count);
  while (!result.empty() && result.back() == '\0')
    result.remove_suffix(1);
  return result;
}

} // namespace

TSyncIo::TSyncIo(TRequestCore& request, TAnswer& answer, TAsyncOperation& operation)
    : FRequest(request), FAnswer(answer), FOperation(operation) {}

BOOL TSyncIo::Read(void* buffer, DWORD* size) {
  std::unique_lock lock(FRequest.Mutex);
  if (FRequest.Finished)
    return FailCall(ERROR_INVALID_PARAMETER);
  if (FOperation.Pending())
    return FailCall(ERROR_BUSY);
  const std::string& body = FRequest.Setup.Body;
  const std::size_t remaining = body.size() - FRequest.ReadOffset;
  if (remaining > 0 || FRequest.BodyComplete || *size == 0) {
    const std::size_t count = std::min<std::size_t>(remaining, *size);
    if (count > 0)
      std::memcpy(buffer, body.data() + FRequest.ReadOffset, count);
    FRequest.ReadOffset += count;
    *size = static_cast<DWORD>(count);
    return 1;
  }
  // The rest of the body is still in the connection: this thread reads it from there.
  std::size_t received = 0;
  const TReceiveResult result = FRequest.Channel->ReceiveBody(buffer, *size, received);
  *size = static_cast<DWORD>(received);
  switch (result) {
  case TReceiveResult::Received:
    return 1;
  case TReceiveResult::End:
    FRequest.BodyComplete = true;
    return 1;
  case TReceiveResult::ClientGone:
    // As IIS answers a read on a closed connection; the connection ends with the request.
    FAnswer.LoseClient(ERROR_NO_DATA);
    return 1;
  case TReceiveResult::TimedOut:
    FAnswer.LoseClient(ERROR_TIMEOUT);
    return FailCall(ERROR_TIMEOUT);
  case TReceiveResult::Interrupted:
    // The shutdown's answer, given here while this thread holds the request: the extension's
    // later calls find it ended.
    FRequest.ExpireLocked(lock, 503, "The server shut down before the request's body had come.",
                          false);
    return FailCall(ERROR_OPERATION_ABORTED);
  case TReceiveResult::Cancelled:
    return FailCall(ERROR_OPERATION_ABORTED);
  case TReceiveResult::TooLarge:
    break;
  }
  // What the host answers to a body over its limit, whatever the extension does next: its
  // later calls find the request ended.
  FRequest.ExpireLocked(lock, 413, "The request's body is larger than the host accepts.", false);
  return FailCall(ERROR_INVALID_PARAMETER);
}

BOOL TSyncIo::Write(const void* buffer, DWORD* bytes) {
  std::lock_guard lock(FRequest.Mutex);
  if (FRequest.Finished)
    return FailCall(ERROR_INVALID_PARAMETER);
  if (FOperation.Pending())
    return FailCall(ERROR_BUSY);
  if (FAnswer.ClientGone())
    return FailCall(FAnswer.SendError());
  if (!FAnswer.HeadSent())
    FAnswer.StartBody(200, "200 OK", {});
  FAnswer.AppendBody(std::string_view(static_cast<const char*>(buffer), *bytes));
  if ((FRequest.ProcReturned || FAnswer.FlushEachWrite() || FAnswer.Buffered() >= FlushThreshold) &&
      !FAnswer.Flush())
    return 0;
  return 1;
}

BOOL TSyncIo::Redirect(const char* url) {
  std::lock_guard lock(FRequest.Mutex);
  if (FRequest.Finished || FAnswer.HeadSent())
    return FailCall(ERROR_INVALID_PARAMETER);
  if (FOperation.Pending())
    return FailCall(ERROR_BUSY);
  const std::string_view target = url ? std::string_view(url) : std::string_view();
  if (target.empty() || HasControlCharacter(target)) {
    // Nothing reaches the client: a CR or LF here would let the target write its own headers.
    FAnswer.NoteRefusal(target.empty()
                            ? "a redirect to an empty target"
                            : "a redirect to an invalid target (it holds a control character)");
    return FailCall(ERROR_INVALID_PARAMETER);
  }
  FAnswer.StartRedirect(target);
  if (FRequest.ProcReturned && !FAnswer.Flush())
    return 0;
  return 1;
}

BOOL TSyncIo::SendHeader(std::optional<std::string_view> status,
                         std::optional<std::string_view> block, bool keepConn) {
  std::lock_guard lock(FRequest.Mutex);
  if (FRequest.Finished || FAnswer.HeadSent())
    return FailCall(ERROR_INVALID_PARAMETER);
  if (FOperation.Pending())
    return FailCall(ERROR_BUSY);
  TStatusText statusText;
  if (status) {
    const std::optional<TStatusText> parsed = ParseStatusText(*status);
    if (!parsed) {
      FAnswer.NoteRefusal("a response header with an invalid status text");
      return FailCall(ERROR_INVALID_PARAMETER);
    }
    statusText = *parsed;
    // An interim status is no answer: the client would wait for the real one after it.
    if (statusText.Code < 200) {
      FAnswer.NoteRefusal("a response header with an interim (1xx) status");
      return FailCall(ERROR_INVALID_PARAMETER);
    }
  }
  THeaderBlock headers;
  if (block) {
    std::optional<THeaderBlock> parsed = ParseAnswerHeaderBlock(*block);
    if (!parsed) {
      FAnswer.NoteRefusal("a response header with an invalid header block");
      return FailCall(ERROR_INVALID_PARAMETER);
    }
    headers = std::move(*parsed);
  }
  boost::container::small_vector<TFieldView, 8> fields;
  for (const auto& [name, value] : headers.Fields)
    fields.push_back({name, value});
  if (!keepConn)
    FAnswer.CloseAfter();
  FAnswer.StartBody(statusText.Code, statusText.Text, {fields.data(), fields.size()});
  FAnswer.AppendBody(headers.BodyStart);
  if (FRequest.ProcReturned && !FAnswer.Flush())
    return 0;
  return 1;
}

BOOL TSyncIo::SendHeaderEx(const HSE_SEND_HEADER_EX_INFO* info) {
  if (info == nullptr)
    return FailCall(ERROR_INVALID_PARAMETER);
  // A length of 0 is no status, as a null pointer is: "200 OK".
  std::optional<std::string_view> status;
  if (info->pszStatus != nullptr && info->cchStatus != 0)
    status = Counted(info->pszStatus, info->cchStatus);
  std::optional<std::string_view> header;
  if (info->pszHeader != nullptr)
    header = Counted(info->pszHeader, info->cchHeader);
  return SendHeader(status, header, info->fKeepConn != 0);
}

BOOL TSyncIo::SendCustomError(const HSE_CUSTOM_ERROR_INFO* info) {
  std::unique_lock lock(FRequest.Mutex);
  if (FRequest.Finished || info == nullptr || info->pszStatus == nullptr || FAnswer.HeadSent())
    return FailCall(ERROR_INVALID_PARAMETER);
  if (FOperation.Pending())
    return FailCall(ERROR_BUSY);
  // The asynchronous form ends through the request's completion function, as any other send.
  if (info->fAsync && FOperation.Completion() == nullptr)
    return FailCall(ERROR_INVALID_PARAMETER);
  const std::optional<TStatusText> status = ParseStatusText(info->pszStatus);
  if (!status || status->Code < 200) {
    FAnswer.NoteRefusal("a custom error with an invalid status text");
    return FailCall(ERROR_INVALID_PARAMETER);
  }
  std::string message = "HTTP Error " + std::to_string(status->Code);
  if (info->uHttpSubError != 0) {
    message += '.';
    message += std::to_string(info->uHttpSubError);
  }
  const std::string body = ErrorPageBody(status->Text, message);
  const std::string length = std::to_string(body.size());
  const TFieldView fields[] = {{"Content-Type", "text/html"}, {"Content-Length", length}};
  FAnswer.StartBody(status->Code, status->Text, fields);
  if (info->fAsync) {
    const TBodyPart part{body};
    return FOperation.SendBody(lock, {&part, 1}, FOperation.Completion(),
                               FOperation.CompletionContext(), static_cast<DWORD>(body.size()));
  }
  FAnswer.AppendBody(body);
  if (FRequest.ProcReturned && !FAnswer.Flush())
    return 0;
  return 1;
}

} // namespace isapi_web::host
