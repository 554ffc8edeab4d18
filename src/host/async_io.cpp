#include "host/async_io.h"

#include <algorithm>
#include <cstring>

#include "host/child_request.h"
#include "host/host_system.h"

namespace isapi_web::host {

void DescribeAsyncCall(DWORD request, const void* buffer, const DWORD* size, const DWORD* dataType,
                       TCallRecord& record) {
  auto add = [&record](const char* name, TCallRecord::TValue value) {
    record.Arguments.emplace_back(name, std::move(value));
  };
  auto text = [](const void* bytes, DWORD length) {
    return bytes ? std::string(static_cast<const char*>(bytes), length) : std::string("(null)");
  };
  switch (request) {
  case HSE_REQ_IO_COMPLETION:
    add("callback", buffer ? "set" : "(null)");
    add("context", HandleText(dataType));
    break;
  case HSE_REQ_ASYNC_READ_CLIENT:
    if (dataType != nullptr)
      add("flags", std::int64_t{*dataType});
    break;
  case HSE_REQ_TRANSMIT_FILE:
    if (const auto* info = static_cast<const HSE_TF_INFO*>(buffer)) {
      add("callback", info->pfnHseIO ? "set" : "(null)");
      add("file", HandleText(info->hFile));
      add("status", info->pszStatusCode ? info->pszStatusCode : "(null)");
      add("bytes_to_write", std::int64_t{info->BytesToWrite});
      add("offset", std::int64_t{info->Offset});
      add("head", text(info->pHead, info->HeadLength));
      add("tail", text(info->pTail, info->TailLength));
      add("flags", std::int64_t{info->dwFlags});
    }
    break;
  case HSE_REQ_VECTOR_SEND:
    if (const auto* vector = static_cast<const HSE_RESPONSE_VECTOR*>(buffer)) {
      add("flags", std::int64_t{vector->dwFlags});
      add("status", vector->pszStatus ? vector->pszStatus : "(null)");
      add("headers", vector->pszHeaders ? vector->pszHeaders : "(null)");
      add("elements", std::int64_t{vector->nElementCount});
    }
    break;
  default:
    DescribeChildCall(request, buffer, record);
    break;
  }
  (void)size;
}

TAsyncIo::TAsyncIo(TRequestCore& request, TAnswer& answer, TAsyncOperation& operation)
    : FRequest(request), FAnswer(answer), FOperation(operation) {}

BOOL TAsyncIo::SetIoCompletion(PFN_HSE_IO_COMPLETION callback, void* context) {
  std::lock_guard lock(FRequest.Mutex);
  if (FRequest.Finished)
    return FailCall(ERROR_INVALID_PARAMETER);
  // The last call wins; a null callback means none is called (and asynchronous calls fail).
  FOperation.SetCompletion(callback, context);
  return 1;
}

BOOL TAsyncIo::WriteAsync(const void* buffer, DWORD bytes) {
  std::unique_lock lock(FRequest.Mutex);
  if (FRequest.Finished || FOperation.Completion() == nullptr)
    return FailCall(ERROR_INVALID_PARAMETER);
  if (FOperation.Pending())
    return FailCall(ERROR_BUSY);
  if (!FAnswer.HeadSent())
    FAnswer.StartBody(200, "200 OK", {});
  const TBodyPart part{std::string_view(static_cast<const char*>(buffer), bytes)};
  return FOperation.SendBody(lock, {&part, 1}, FOperation.Completion(),
                             FOperation.CompletionContext(), bytes);
}

BOOL TAsyncIo::ReadAsync(void* buffer, DWORD* size, const DWORD* flags) {
  if (buffer == nullptr || size == nullptr || flags == nullptr || (*flags & HSE_IO_ASYNC) == 0)
    return FailCall(ERROR_INVALID_PARAMETER);
  std::unique_lock lock(FRequest.Mutex);
  if (FRequest.Finished || FOperation.Completion() == nullptr)
    return FailCall(ERROR_INVALID_PARAMETER);
  if (FOperation.Pending())
    return FailCall(ERROR_BUSY);
  FOperation.Begin(FOperation.Completion(), FOperation.CompletionContext());
  FOperation.SetReadBuffer(buffer);
  const std::size_t remaining = FRequest.Setup.Body.size() - FRequest.ReadOffset;
  if (remaining > 0 || FRequest.BodyComplete || *size == 0 || FAnswer.ClientGone()) {
    // Bytes read ahead (or the end): the result is known now, and still comes by the completion.
    const std::size_t count = std::min<std::size_t>(remaining, *size);
    if (count > 0)
      std::memcpy(buffer, FRequest.Setup.Body.data() + FRequest.ReadOffset, count);
    FRequest.ReadOffset += count;
    FOperation.Done(static_cast<DWORD>(count), 0);
    return 1;
  }
  FOperation.ReceiveBody(lock, buffer, *size);
  return 1;
}

BOOL TAsyncIo::TransmitFile(const HSE_TF_INFO* info) {
  if (info == nullptr)
    return FailCall(ERROR_INVALID_PARAMETER);
  const bool async = (info->dwFlags & HSE_IO_ASYNC) != 0;
  // A null handle is refused on every system, descriptor 0 included.
  const std::optional<std::uint64_t> fileSize =
      info->hFile ? ExtensionFileSize(info->hFile) : std::nullopt;
  if (!fileSize || (info->pHead == nullptr && info->HeadLength != 0) ||
      (info->pTail == nullptr && info->TailLength != 0))
    return FailCall(ERROR_INVALID_PARAMETER);
  if (info->Offset > *fileSize)
    return FailCall(WSAEINVAL);
  // Whole file from the offset when BytesToWrite is 0; never past its end.
  const std::uint64_t available = *fileSize - info->Offset;
  const std::uint64_t length =
      info->BytesToWrite == 0 ? available : std::min<std::uint64_t>(info->BytesToWrite, available);
  std::unique_lock lock(FRequest.Mutex);
  const PFN_HSE_IO_COMPLETION callback = info->pfnHseIO ? info->pfnHseIO : FOperation.Completion();
  void* context = info->pfnHseIO ? info->pContext : FOperation.CompletionContext();
  if (FRequest.Finished || (async && callback == nullptr))
    return FailCall(ERROR_INVALID_PARAMETER);
  if (FOperation.Pending())
    return FailCall(ERROR_BUSY);
  if ((info->dwFlags & HSE_IO_DISCONNECT_AFTER_SEND) != 0)
    FAnswer.CloseAfter();
  std::string_view head(static_cast<const char*>(info->pHead), info->HeadLength);
  if ((info->dwFlags & HSE_IO_SEND_HEADERS) != 0) {
    if (FAnswer.HeadSent())
      return FailCall(ERROR_INVALID_PARAMETER);
    if (!FAnswer.StartHead(info->pszStatusCode, head, head))
      return FailCall(ERROR_INVALID_PARAMETER);
  } else if (!FAnswer.HeadSent()) {
    FAnswer.StartBody(200, "200 OK", {});
  }
  const TBodyPart parts[] = {
      {head},
      {{}, info->hFile, info->Offset, length},
      {std::string_view(static_cast<const char*>(info->pTail), info->TailLength)}};
  const std::uint64_t total = head.size() + length + info->TailLength;
  return FOperation.SendBody(lock, parts, async ? callback : nullptr, context,
                             static_cast<DWORD>(std::min<std::uint64_t>(total, 0xFFFFFFFFu)));
}

BOOL TAsyncIo::VectorSend(const HSE_RESPONSE_VECTOR* vector) {
  if (vector == nullptr || (vector->nElementCount != 0 && vector->lpElementArray == nullptr))
    return FailCall(ERROR_INVALID_PARAMETER);
  const bool async = (vector->dwFlags & HSE_IO_ASYNC) != 0;
  std::vector<TBodyPart> parts;
  std::uint64_t total = 0;
  for (DWORD i = 0; i < vector->nElementCount; ++i) {
    const HSE_VECTOR_ELEMENT& element = vector->lpElementArray[i];
    if (element.ElementType == HSE_VECTOR_ELEMENT_TYPE_MEMORY_BUFFER) {
      if (element.pvContext == nullptr && element.cbSize != 0)
        return FailCall(ERROR_INVALID_PARAMETER);
      parts.push_back({std::string_view(static_cast<const char*>(element.pvContext),
                                        static_cast<std::size_t>(element.cbSize))});
      total += element.cbSize;
    } else if (element.ElementType == HSE_VECTOR_ELEMENT_TYPE_FILE_HANDLE) {
      const std::optional<std::uint64_t> size =
          element.pvContext ? ExtensionFileSize(element.pvContext) : std::nullopt;
      if (!size)
        return FailCall(ERROR_INVALID_PARAMETER);
      if (element.cbOffset > *size)
        return FailCall(WSAEINVAL);
      const std::uint64_t available = *size - element.cbOffset;
      const std::uint64_t length =
          element.cbSize == 0 ? available : std::min(element.cbSize, available);
      parts.push_back({{}, element.pvContext, element.cbOffset, length});
      total += length;
    } else {
      return FailCall(ERROR_INVALID_PARAMETER);
    }
  }
  std::unique_lock lock(FRequest.Mutex);
  if (FRequest.Finished || (async && FOperation.Completion() == nullptr))
    return FailCall(ERROR_INVALID_PARAMETER);
  if (FOperation.Pending())
    return FailCall(ERROR_BUSY);
  if ((vector->dwFlags & HSE_IO_DISCONNECT_AFTER_SEND) != 0)
    FAnswer.CloseAfter();
  if ((vector->dwFlags & HSE_IO_SEND_HEADERS) != 0) {
    if (FAnswer.HeadSent())
      return FailCall(ERROR_INVALID_PARAMETER);
    std::string_view rest;
    const std::string_view block = vector->pszHeaders ? vector->pszHeaders : "";
    if (!FAnswer.StartHead(vector->pszStatus, block, rest))
      return FailCall(ERROR_INVALID_PARAMETER);
    parts.insert(parts.begin(), TBodyPart{rest});
    total += rest.size();
  } else if (!FAnswer.HeadSent()) {
    FAnswer.StartBody(200, "200 OK", {});
  }
  return FOperation.SendBody(lock, parts, async ? FOperation.Completion() : nullptr,
                             FOperation.CompletionContext(),
                             static_cast<DWORD>(std::min<std::uint64_t>(total, 0xFFFFFFFFu)));
}

BOOL TAsyncIo::CancelIo() {
  std::lock_guard lock(FRequest.Mutex);
  if (FRequest.Finished)
    return FailCall(ERROR_INVALID_PARAMETER);
  FOperation.Abort(ERROR_OPERATION_ABORTED);
  return 1;
}

} // namespace isapi_web::host
