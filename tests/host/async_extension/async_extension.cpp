// The extension the host's asynchronous-I/O tests load: asynchronous WriteClient chains,
// asynchronous reads of an upload, TransmitFile, vector sends and cancelled reads. The path info
// chooses what it does; what it saw (byte counts, errors, checksums) goes to the response or, for
// what the client cannot see, to stderr as "async-extension: ..." lines.

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "extension_kit.h"
#include "isapi/isapi_host_interface.h"
#include "test_extension/call_error.h"
#include "test_extension/extension_file.h"

using namespace isapi_web;
using namespace test_extension;
using extension_kit::Outcome;
using extension_kit::QueryValue;
using extension_kit::Say;

namespace {

// Set while this thread is inside a call that starts an operation: a completion that finds it
// set was called from inside its own starting call.
thread_local bool InsideStartingCall = false;

std::uint64_t QueryNumber(EXTENSION_CONTROL_BLOCK* ecb, const char* name) {
  return std::strtoull(QueryValue(ecb->lpszQueryString, name).c_str(), nullptr, 10);
}

// CRC-32 (as zlib's crc32), so the client checks a large upload cheaply.
std::uint32_t Crc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size) {
  static const std::vector<std::uint32_t> table = [] {
    std::vector<std::uint32_t> result(256);
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t value = i;
      for (int bit = 0; bit < 8; ++bit)
        value = (value & 1) ? 0xEDB88320u ^ (value >> 1) : value >> 1;
      result[i] = value;
    }
    return result;
  }();
  crc = ~crc;
  for (std::size_t i = 0; i < size; ++i)
    crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

BOOL Support(EXTENSION_CONTROL_BLOCK* ecb, DWORD code, void* buffer, DWORD* size = nullptr,
             DWORD* dataType = nullptr) {
  return ecb->ServerSupportFunction(ecb->ConnID, code, buffer, size, dataType);
}

BOOL SetCompletion(EXTENSION_CONTROL_BLOCK* ecb, PFN_HSE_IO_COMPLETION callback, void* context) {
  return Support(ecb, HSE_REQ_IO_COMPLETION, reinterpret_cast<void*>(callback), nullptr,
                 static_cast<DWORD*>(context));
}

void Done(EXTENSION_CONTROL_BLOCK* ecb) {
  DWORD status = HSE_STATUS_SUCCESS_AND_KEEP_CONN;
  Support(ecb, HSE_REQ_DONE_WITH_SESSION, &status);
}

// Answers text synchronously (from whatever thread) and ends the request.
void AnswerAndEnd(EXTENSION_CONTROL_BLOCK* ecb, const std::string& text) {
  const std::string headers =
      "Content-Type: text/plain\r\nContent-Length: " + std::to_string(text.size()) + "\r\n\r\n";
  ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER,
                             const_cast<char*>("200 OK"), nullptr,
                             reinterpret_cast<DWORD*>(const_cast<char*>(headers.c_str())));
  DWORD bytes = static_cast<DWORD>(text.size());
  ecb->WriteClient(ecb->ConnID, const_cast<char*>(text.data()), &bytes, HSE_IO_SYNC);
  Done(ecb);
}

// One request's state, from its first operation to its end.
struct TContext {
  EXTENSION_CONTROL_BLOCK* Ecb = nullptr;
  std::uint64_t Total = 0;
  std::uint64_t Moved = 0;
  std::size_t Piece = 65536;
  std::string Pattern;
  int Started = 0;
  std::atomic<int> Completed{0};
  std::string Problems;
  std::uint32_t Crc = 0;
  std::vector<std::uint8_t> Buffer;
  HANDLE File = nullptr;
  std::string Head;
  std::string Tail;
  bool EarlyDone = false;
  HSE_VECTOR_ELEMENT Elements[3]{};
};

// Counts a completion and notes one that came inside its starting call.
void CountCompletion(TContext& context) {
  ++context.Completed;
  if (InsideStartingCall)
    context.Problems += " completion-inside-its-call";
}

// ---- Asynchronous writes: each piece issued from the completion of the one before ----------

void IssueWrite(TContext& context);

void ISAPI_CALL WriteCompletion(EXTENSION_CONTROL_BLOCK* ecb, void* parameter, DWORD bytes,
                                DWORD error) {
  TContext& context = *static_cast<TContext*>(parameter);
  CountCompletion(context);
  const std::uint64_t expected =
      std::min<std::uint64_t>(context.Piece, context.Total - context.Moved);
  if (error == 0 && bytes != expected)
    context.Problems += " cbIO-" + std::to_string(bytes);
  if (error == 0)
    context.Moved += bytes;
  if (error == 0 && context.Moved < context.Total && !context.EarlyDone)
    return IssueWrite(context);
  Say("async-write ended: bytes=" + std::to_string(context.Moved) +
      " ops=" + std::to_string(context.Started) +
      " completions=" + std::to_string(context.Completed.load()) + " error=" +
      std::to_string(error) + " problems=" + (context.Problems.empty() ? "none" : context.Problems));
  if (!context.EarlyDone)
    Done(ecb);
  delete &context;
}

void IssueWrite(TContext& context) {
  DWORD bytes =
      static_cast<DWORD>(std::min<std::uint64_t>(context.Piece, context.Total - context.Moved));
  ++context.Started;
  InsideStartingCall = true;
  const BOOL result = context.Ecb->WriteClient(
      context.Ecb->ConnID, context.Pattern.data() + context.Moved % 251, &bytes, HSE_IO_ASYNC);
  InsideStartingCall = false;
  if (!result) {
    Say("async-write refused: " + Outcome(result));
    Done(context.Ecb);
    delete &context;
  }
}

// kib KiB (the bytes i % 251) in pieces of piece KiB (at most 64), with a Content-Length unless
// chunked=1; second=1 tries a second write while the first is pending; early=1 writes one piece
// and calls done-with-session before its completion.
DWORD AsyncWrite(EXTENSION_CONTROL_BLOCK* ecb) {
  auto* context = new TContext;
  context->Ecb = ecb;
  context->Total = QueryNumber(ecb, "kib") << 10;
  if (const std::uint64_t piece = QueryNumber(ecb, "piece"))
    context->Piece = static_cast<std::size_t>(std::min<std::uint64_t>(piece, 64) << 10);
  context->EarlyDone = QueryValue(ecb->lpszQueryString, "early") == "1";
  context->Pattern.resize(65536 + 251);
  for (std::size_t i = 0; i < context->Pattern.size(); ++i)
    context->Pattern[i] = static_cast<char>(i % 251);
  std::string headers = "Content-Type: application/octet-stream\r\n";
  if (QueryValue(ecb->lpszQueryString, "chunked") != "1")
    headers += "Content-Length: " + std::to_string(context->Total) + "\r\n";
  headers += "\r\n";
  ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER,
                             const_cast<char*>("200 OK"), nullptr,
                             reinterpret_cast<DWORD*>(headers.data()));
  ClearHostError();
  DWORD none = 1;
  const BOOL unset = ecb->WriteClient(ecb->ConnID, context->Pattern.data(), &none, HSE_IO_ASYNC);
  Say("without a completion: " + Outcome(unset));
  SetCompletion(ecb, WriteCompletion, context);
  const bool second = QueryValue(ecb->lpszQueryString, "second") == "1";
  const bool early = context->EarlyDone;
  IssueWrite(*context);
  // The context may be gone from here on (a refused write): only ecb is used.
  if (second) {
    DWORD bytes = 1;
    ClearHostError();
    Say("second write while one is pending: " +
        Outcome(ecb->WriteClient(ecb->ConnID, const_cast<char*>("x"), &bytes, HSE_IO_ASYNC)));
  }
  if (early) {
    DWORD status = HSE_STATUS_SUCCESS_AND_KEEP_CONN;
    Support(ecb, HSE_REQ_DONE_WITH_SESSION, &status);
  }
  return HSE_STATUS_PENDING;
}

// One asynchronous write of kib KiB inside HttpExtensionProc, which waits there for its
// completion (as extensions written for IIS's thread pool may).
struct TWait {
  std::mutex Mutex; // guards the fields below
  std::condition_variable Changed;
  bool Completed = false;
  DWORD Bytes = 0;
  DWORD Error = 0;
};

void ISAPI_CALL WaitCompletion(EXTENSION_CONTROL_BLOCK*, void* parameter, DWORD bytes,
                               DWORD error) {
  auto& wait = *static_cast<TWait*>(parameter);
  std::lock_guard lock(wait.Mutex);
  wait.Completed = true;
  wait.Bytes = bytes;
  wait.Error = error;
  wait.Changed.notify_all();
}

DWORD WriteAndWait(EXTENSION_CONTROL_BLOCK* ecb) {
  std::string body(static_cast<std::size_t>(QueryNumber(ecb, "kib") << 10), '\0');
  for (std::size_t i = 0; i < body.size(); ++i)
    body[i] = static_cast<char>(i % 251);
  TWait wait;
  SetCompletion(ecb, WaitCompletion, &wait);
  DWORD bytes = static_cast<DWORD>(body.size());
  if (!ecb->WriteClient(ecb->ConnID, body.data(), &bytes, HSE_IO_ASYNC))
    return HSE_STATUS_ERROR;
  std::unique_lock lock(wait.Mutex);
  wait.Changed.wait(lock, [&wait] { return wait.Completed; });
  Say("waited: cbIO=" + std::to_string(wait.Bytes) + " error=" + std::to_string(wait.Error));
  return HSE_STATUS_SUCCESS_AND_KEEP_CONN;
}

// ---- Asynchronous reads of the body -------------------------------------------------------

void IssueRead(TContext& context);

void ISAPI_CALL ReadCompletion(EXTENSION_CONTROL_BLOCK* ecb, void* parameter, DWORD bytes,
                               DWORD error) {
  TContext& context = *static_cast<TContext*>(parameter);
  CountCompletion(context);
  if (error == 0 && bytes > 0) {
    context.Crc = Crc32(context.Crc, context.Buffer.data(), bytes);
    context.Moved += bytes;
    return IssueRead(context);
  }
  if (error != 0)
    Say("read ended: error=" + std::to_string(error)); // also when no client hears the answer
  AnswerAndEnd(ecb, "read=" + std::to_string(context.Moved) + " crc=" +
                        std::to_string(context.Crc) + " error=" + std::to_string(error) +
                        " reads=" + std::to_string(context.Started) + " completions=" +
                        std::to_string(context.Completed.load()) + " problems=" +
                        (context.Problems.empty() ? "none" : context.Problems) + "\n");
  delete &context;
}

void IssueRead(TContext& context) {
  DWORD size = static_cast<DWORD>(context.Buffer.size());
  DWORD flags = HSE_IO_ASYNC;
  ++context.Started;
  InsideStartingCall = true;
  const BOOL result =
      Support(context.Ecb, HSE_REQ_ASYNC_READ_CLIENT, context.Buffer.data(), &size, &flags);
  InsideStartingCall = false;
  if (!result) {
    AnswerAndEnd(context.Ecb, "read refused: " + Outcome(result) + "\n");
    delete &context;
  }
}

// The whole body, the bytes read ahead first, then by asynchronous reads; cancel=1 cancels the
// first read at once, cancel=close closes the connection under it.
DWORD AsyncRead(EXTENSION_CONTROL_BLOCK* ecb) {
  auto* context = new TContext;
  context->Ecb = ecb;
  context->Buffer.resize(65536);
  context->Crc = Crc32(0, ecb->lpbData, ecb->cbAvailable);
  context->Moved = ecb->cbAvailable;
  const std::string cancel = QueryValue(ecb->lpszQueryString, "cancel");
  SetCompletion(ecb, ReadCompletion, context);
  IssueRead(*context);
  if (cancel == "1") {
    ClearHostError();
    Say("cancel: " + Outcome(Support(ecb, HSE_REQ_CANCEL_IO, nullptr)));
  } else if (cancel == "close") {
    ClearHostError();
    Say("close: " + Outcome(Support(ecb, HSE_REQ_CLOSE_CONNECTION, nullptr)));
  }
  return HSE_STATUS_PENDING;
}

// ---- TransmitFile and vector sends ---------------------------------------------------------

void ISAPI_CALL SendCompletion(EXTENSION_CONTROL_BLOCK* ecb, void* parameter, DWORD bytes,
                               DWORD error) {
  TContext& context = *static_cast<TContext*>(parameter);
  CountCompletion(context);
  Say("send completed: cbIO=" + std::to_string(bytes) + " error=" + std::to_string(error) +
      " problems=" + (context.Problems.empty() ? "none" : context.Problems));
  CloseExtensionFile(context.File);
  Done(ecb);
  delete &context;
}

// Sends file (a path) from offset, length bytes (0: to its end), between head and tail, with a
// Content-Length of size when size=N is given. headers=1: the host sends the headers; async=1:
// asynchronously; close=1: HSE_IO_DISCONNECT_AFTER_SEND; vector=1: through HSE_REQ_VECTOR_SEND
// instead of TransmitFile.
DWORD SendFile(EXTENSION_CONTROL_BLOCK* ecb) {
  const char* query = ecb->lpszQueryString;
  auto* context = new TContext;
  context->Ecb = ecb;
  context->File = OpenExtensionFile(QueryValue(query, "file").c_str());
  if (context->File == nullptr) {
    delete context;
    AnswerAndEnd(ecb, "cannot open the file\n");
    return HSE_STATUS_PENDING;
  }
  const bool headers = QueryValue(query, "headers") == "1";
  const bool async = QueryValue(query, "async") == "1";
  const bool vector = QueryValue(query, "vector") == "1";
  std::string fields = "Content-Type: application/octet-stream\r\n";
  if (const std::uint64_t size = QueryNumber(ecb, "size"))
    fields += "Content-Length: " + std::to_string(size) + "\r\n";
  fields += "\r\n";
  context->Head = QueryValue(query, "head");
  context->Tail = QueryValue(query, "tail");
  if (headers && !vector)
    context->Head = fields + context->Head; // the body starts after the blank line
  else if (!headers)
    ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER,
                               const_cast<char*>("200 OK"), nullptr,
                               reinterpret_cast<DWORD*>(fields.data()));
  DWORD flags = (async ? HSE_IO_ASYNC : HSE_IO_SYNC) | (headers ? HSE_IO_SEND_HEADERS : 0) |
                (QueryValue(query, "close") == "1" ? HSE_IO_DISCONNECT_AFTER_SEND : 0);
  if (async)
    SetCompletion(ecb, SendCompletion, context);
  BOOL result;
  ++context->Started;
  InsideStartingCall = true;
  if (vector) {
    context->Elements[0] = {HSE_VECTOR_ELEMENT_TYPE_MEMORY_BUFFER, context->Head.data(), 0,
                            context->Head.size()};
    context->Elements[1] = {HSE_VECTOR_ELEMENT_TYPE_FILE_HANDLE, context->File,
                            QueryNumber(ecb, "offset"), QueryNumber(ecb, "length")};
    context->Elements[2] = {HSE_VECTOR_ELEMENT_TYPE_MEMORY_BUFFER, context->Tail.data(), 0,
                            context->Tail.size()};
    HSE_RESPONSE_VECTOR send{flags, const_cast<char*>("200 OK"), fields.data(), 3,
                             context->Elements};
    result = Support(ecb, HSE_REQ_VECTOR_SEND, &send);
  } else {
    HSE_TF_INFO info{};
    info.pfnHseIO = nullptr; // the IO_COMPLETION callback, with the request's context
    info.hFile = context->File;
    info.pszStatusCode = headers ? "200 OK" : nullptr;
    info.BytesToWrite = static_cast<DWORD>(QueryNumber(ecb, "length"));
    info.Offset = static_cast<DWORD>(QueryNumber(ecb, "offset"));
    info.pHead = context->Head.data();
    info.HeadLength = static_cast<DWORD>(context->Head.size());
    info.pTail = context->Tail.data();
    info.TailLength = static_cast<DWORD>(context->Tail.size());
    info.dwFlags = flags;
    result = Support(ecb, HSE_REQ_TRANSMIT_FILE, &info);
  }
  InsideStartingCall = false;
  if (result && async)
    return HSE_STATUS_PENDING;
  Say("send returned: " + Outcome(result));
  CloseExtensionFile(context->File);
  delete context;
  return result ? HSE_STATUS_SUCCESS_AND_KEEP_CONN : HSE_STATUS_ERROR;
}

// The calls the host refuses, each with its error.
DWORD Refusals(EXTENSION_CONTROL_BLOCK* ecb) {
  std::string report;
  char buffer[16];
  DWORD size = sizeof buffer;
  DWORD flags = HSE_IO_ASYNC;
  ClearHostError();
  report += "read-without-callback=" +
            Outcome(Support(ecb, HSE_REQ_ASYNC_READ_CLIENT, buffer, &size, &flags)) + "\n";
  const HANDLE file = OpenExtensionFile(QueryValue(ecb->lpszQueryString, "file").c_str());
  HSE_TF_INFO info{};
  info.hFile = file;
  info.dwFlags = HSE_IO_ASYNC;
  ClearHostError();
  report += "transmit-without-callback=" + Outcome(Support(ecb, HSE_REQ_TRANSMIT_FILE, &info)) +
            "\n";
  info.dwFlags = HSE_IO_SYNC;
  info.Offset = 0x7FFFFFFF;
  ClearHostError();
  report +=
      "offset-past-the-end=" + Outcome(Support(ecb, HSE_REQ_TRANSMIT_FILE, &info)) + "\n";
  info.hFile = nullptr;
  info.Offset = 0;
  ClearHostError();
  report += "no-file=" + Outcome(Support(ecb, HSE_REQ_TRANSMIT_FILE, &info)) + "\n";
  ClearHostError();
  flags = 0;
  report += "read-not-async=" +
            Outcome(Support(ecb, HSE_REQ_ASYNC_READ_CLIENT, buffer, &size, &flags)) + "\n";
  report += "cancel-nothing=" + Outcome(Support(ecb, HSE_REQ_CANCEL_IO, nullptr)) + "\n";
  if (file != nullptr)
    CloseExtensionFile(file);
  AnswerAndEnd(ecb, report);
  return HSE_STATUS_PENDING;
}

// ---- Child requests ------------------------------------------------------------------------

// A child that must still be under way when its parent acts waits at this gate until it opens.
struct TGate {
  std::mutex Mutex; // guards the fields below
  std::condition_variable Changed;
  bool Open = false;
  EXTENSION_CONTROL_BLOCK* Parent = nullptr; // a pending parent that /release ends
} Gate;

void SetGate(bool open, EXTENSION_CONTROL_BLOCK* parent = nullptr) {
  {
    std::lock_guard lock(Gate.Mutex);
    Gate.Open = open;
    if (parent != nullptr)
      Gate.Parent = parent;
  }
  Gate.Changed.notify_all();
}

// A child that answers once the gate opens.
DWORD Held(EXTENSION_CONTROL_BLOCK* ecb) {
  Say(std::string("child held: ") + ecb->lpszQueryString);
  {
    std::unique_lock lock(Gate.Mutex);
    Gate.Changed.wait(lock, [] { return Gate.Open; });
  }
  AnswerAndEnd(ecb, "held child\n");
  return HSE_STATUS_PENDING;
}

// Ends the parked parent with done-with-session while its child waits, then opens the gate.
DWORD Release(EXTENSION_CONTROL_BLOCK* ecb) {
  EXTENSION_CONTROL_BLOCK* parent;
  {
    std::lock_guard lock(Gate.Mutex);
    parent = std::exchange(Gate.Parent, nullptr);
  }
  if (parent != nullptr) {
    ClearHostError();
    DWORD status = HSE_STATUS_SUCCESS_AND_KEEP_CONN;
    Say("done while the child runs: " +
        Outcome(Support(parent, HSE_REQ_DONE_WITH_SESSION, &status)));
  }
  SetGate(true);
  AnswerAndEnd(ecb, "released\n");
  return HSE_STATUS_PENDING;
}

// What the parent's sending calls answer once its child's answer is complete.
std::string SendAfterChild(EXTENSION_CONTROL_BLOCK* ecb) {
  std::string report = "write=" + extension_kit::Write(ecb, "stray\r\n");
  report += " header=" + extension_kit::Support(ecb, HSE_REQ_SEND_RESPONSE_HEADER,
                                                const_cast<char*>("200 OK"), nullptr,
                                                const_cast<char*>("X-Stray: 1\r\n\r\n"));
  report += " header-ex=" + extension_kit::SendHeaderEx(ecb, "200 OK", "X-Stray: 1\r\n\r\n", true);
  report += " redirect=" + extension_kit::Support(ecb, HSE_REQ_SEND_URL_REDIRECT_RESP,
                                                  const_cast<char*>("http://stray.test/"));
  return report;
}

// The URL of a child: everything after "url=" (the last parameter; it may hold '?' and '&').
std::string ChildUrl(EXTENSION_CONTROL_BLOCK* ecb) {
  const std::string query = ecb->lpszQueryString;
  const std::size_t at = query.find("url=");
  return at == std::string::npos ? "" : query.substr(at + 4);
}

// Sends url=... as a child: after=1 then tries to send more; thread=1 sends it from a thread of
// the extension's own while HttpExtensionProc returns pending, park=1 too, and leaves the parent
// for /release to end.
DWORD SendUrl(EXTENSION_CONTROL_BLOCK* ecb) {
  std::string url = ChildUrl(ecb);
  const bool park = QueryValue(ecb->lpszQueryString, "park") == "1";
  if (park || QueryValue(ecb->lpszQueryString, "thread") == "1") {
    SetGate(false, park ? ecb : nullptr);
    // The request may have ended when the call returns: ecb is not touched after it.
    std::thread([ecb, url]() mutable {
      ClearHostError();
      const BOOL result = Support(ecb, HSE_REQ_SEND_URL, url.data());
      Say("send-url " + url + " from a thread: " + Outcome(result));
    }).detach();
    return HSE_STATUS_PENDING;
  }
  ClearHostError();
  const BOOL result = Support(ecb, HSE_REQ_SEND_URL, url.data());
  HSE_EXEC_URL_STATUS status{};
  Support(ecb, HSE_REQ_GET_EXEC_URL_STATUS, &status);
  Say("send-url " + url + ": " + Outcome(result) + " status=" +
      std::to_string(status.uHttpStatusCode));
  if (QueryValue(ecb->lpszQueryString, "after") == "1")
    Say("after the child: " + SendAfterChild(ecb));
  return result ? HSE_STATUS_SUCCESS_AND_KEEP_CONN : HSE_STATUS_ERROR;
}

struct TExec {
  std::string Url;
  std::u16string WideUrl;
  bool BodyOnly = false;
  bool After = false;
};

void ISAPI_CALL ExecCompletion(EXTENSION_CONTROL_BLOCK* ecb, void* parameter, DWORD bytes,
                               DWORD error) {
  auto* exec = static_cast<TExec*>(parameter);
  HSE_EXEC_URL_STATUS status{};
  ClearHostError();
  const BOOL known = Support(ecb, HSE_REQ_GET_EXEC_URL_STATUS, &status);
  Say("exec completed: " + exec->Url + " cbIO=" + std::to_string(bytes) + " error=" +
      std::to_string(error) + " status=" + Outcome(known) + "/" +
      std::to_string(status.uHttpStatusCode) + "/" + std::to_string(status.dwWin32Error) +
      (InsideStartingCall ? " inside-its-call" : ""));
  if (exec->BodyOnly) {
    DWORD size = 6;
    ecb->WriteClient(ecb->ConnID, const_cast<char*>("|after"), &size, HSE_IO_SYNC);
  }
  if (exec->After)
    Say("after the child: " + SendAfterChild(ecb));
  delete exec;
  Done(ecb);
}

// Executes url=... as a child: noheaders=1 sends the parent's own headers and text around the
// child's body; unicode=1 goes through HSE_REQ_EXEC_UNICODE_URL; after=1 tries to send more
// from the completion; cancel=1 cancels the child at once, then opens the gate.
DWORD ExecUrl(EXTENSION_CONTROL_BLOCK* ecb) {
  auto* exec = new TExec;
  exec->Url = ChildUrl(ecb);
  exec->BodyOnly = QueryValue(ecb->lpszQueryString, "noheaders") == "1";
  exec->After = QueryValue(ecb->lpszQueryString, "after") == "1";
  const bool cancel = QueryValue(ecb->lpszQueryString, "cancel") == "1";
  if (cancel)
    SetGate(false);
  SetCompletion(ecb, ExecCompletion, exec);
  if (exec->BodyOnly) {
    ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER,
                               const_cast<char*>("200 OK"), nullptr,
                               reinterpret_cast<DWORD*>(
                                   const_cast<char*>("Content-Type: text/plain\r\n\r\nbefore|")));
  }
  const DWORD flags = exec->BodyOnly ? HSE_EXEC_URL_NO_HEADERS : 0;
  BOOL result;
  const std::string url = exec->Url;
  ClearHostError();
  InsideStartingCall = true;
  if (QueryValue(ecb->lpszQueryString, "unicode") == "1") {
    exec->WideUrl.assign(url.begin(), url.end()); // the tests' URLs are ASCII
    HSE_EXEC_UNICODE_URL_INFO info{exec->WideUrl.data(), nullptr, nullptr, nullptr, nullptr,
                                   flags};
    result = Support(ecb, HSE_REQ_EXEC_UNICODE_URL, &info);
  } else {
    HSE_EXEC_URL_INFO info{exec->Url.data(), nullptr, nullptr, nullptr, nullptr, flags};
    result = Support(ecb, HSE_REQ_EXEC_URL, &info);
  }
  InsideStartingCall = false;
  if (!result) {
    Say("exec " + url + " refused: " + Outcome(result));
    delete exec;
    return HSE_STATUS_ERROR;
  }
  if (cancel) {
    ClearHostError();
    Say("exec cancel: " + Outcome(Support(ecb, HSE_REQ_CANCEL_IO, nullptr)));
    SetGate(true);
  }
  return HSE_STATUS_PENDING;
}

// Never returns: an extension whose call blocks for good, which the host must work around and
// abandon at its shutdown.
DWORD Stuck(EXTENSION_CONTROL_BLOCK*) {
  Say("stuck");
  static std::mutex mutex;
  static std::condition_variable never;
  std::unique_lock lock(mutex);
  never.wait(lock, [] { return false; });
  return HSE_STATUS_ERROR;
}

} // namespace

ISAPI_EXPORT BOOL ISAPI_CALL GetExtensionVersion(HSE_VERSION_INFO* version) {
  version->dwExtensionVersion = HSE_VERSION;
  std::snprintf(version->lpszExtensionDesc, sizeof version->lpszExtensionDesc,
                "isapi-host asynchronous I/O test extension");
  return 1;
}

ISAPI_EXPORT DWORD ISAPI_CALL HttpExtensionProc(EXTENSION_CONTROL_BLOCK* ecb) {
  const std::string path = ecb->lpszPathInfo;
  if (path == "/write")
    return AsyncWrite(ecb);
  if (path == "/read")
    return AsyncRead(ecb);
  if (path == "/wait")
    return WriteAndWait(ecb);
  if (path == "/send-file")
    return SendFile(ecb);
  if (path == "/refusals")
    return Refusals(ecb);
  if (path == "/send-url")
    return SendUrl(ecb);
  if (path == "/exec")
    return ExecUrl(ecb);
  if (path == "/held")
    return Held(ecb);
  if (path == "/release")
    return Release(ecb);
  if (path == "/forever")
    return HSE_STATUS_PENDING; // never ends: the host's time limit does
  if (path == "/stuck")
    return Stuck(ecb);
  AnswerAndEnd(ecb, "async extension: unknown path " + path + "\n");
  return HSE_STATUS_PENDING;
}

ISAPI_EXPORT BOOL ISAPI_CALL TerminateExtension(DWORD) {
  return 1;
}
