#pragma once
// The extension's asynchronous calls: HSE_REQ_IO_COMPLETION, WriteClient with HSE_IO_ASYNC,
// HSE_REQ_ASYNC_READ_CLIENT, HSE_REQ_TRANSMIT_FILE, HSE_REQ_VECTOR_SEND (which may also send
// synchronously) and HSE_REQ_CANCEL_IO. Each starts the request's one operation (see
// async_operation.h) or cuts it short.

#include "host/answer.h"
#include "host/async_operation.h"
#include "host/call_record.h"
#include "host/request_core.h"
#include "isapi/isapi_host_interface.h"

namespace isapi_web::host {

/// Adds the arguments of an asynchronous-I/O support function to its record (and those of a
/// child-request one, through DescribeChildCall).
void DescribeAsyncCall(DWORD request, const void* buffer, const DWORD* size, const DWORD* dataType,
                       TCallRecord& record);

/// The asynchronous calls of one request; each takes the request's lock.
class TAsyncIo {
public:
  TAsyncIo(TRequestCore& request, TAnswer& answer, TAsyncOperation& operation);
  TAsyncIo(const TAsyncIo&) = delete;
  TAsyncIo& operator=(const TAsyncIo&) = delete;

  BOOL SetIoCompletion(PFN_HSE_IO_COMPLETION callback, void* context);
  BOOL WriteAsync(const void* buffer, DWORD bytes);
  BOOL ReadAsync(void* buffer, DWORD* size, const DWORD* flags);
  BOOL TransmitFile(const HSE_TF_INFO* info);
  BOOL VectorSend(const HSE_RESPONSE_VECTOR* vector);
  BOOL CancelIo();

private:
  TRequestCore& FRequest;
  TAnswer& FAnswer;
  TAsyncOperation& FOperation;
};

} // namespace isapi_web::host
