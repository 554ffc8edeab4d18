// The extension the host's tests load. Its behaviour is chosen by the path info; every path
// reports what it saw from inside (server variables, body, the host's answers to its calls) in
// the response, so the tests assert from the client's side.

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "extension_kit.h"
#include "isapi/isapi_host_interface.h"
#include "test_extension/call_error.h"

using namespace isapi_web;
using namespace test_extension;
using extension_kit::Outcome;
using extension_kit::QueryValue;
using extension_kit::Say;

namespace {

std::atomic<HCONN> LastConnID{nullptr};
std::atomic<HCONN> AbandonedConnID{nullptr};
std::atomic<int> Outstanding{0};
std::atomic<int> Terminations{0};

std::mutex ThreadsMutex; // guards Threads
std::vector<std::thread> Threads;

// Answers on a thread of the extension's own, joined by TerminateExtension, so that no code of
// this library runs after the host unloads it.
template <typename Work> void StartThread(Work work) {
  std::lock_guard lock(ThreadsMutex);
  Threads.emplace_back(std::move(work));
}

std::mutex BlockMutex; // guards Blocked
std::condition_variable BlockChanged;
bool Blocked = false;

std::string Escaped(const std::string& text) {
  std::string result;
  for (char c : text) {
    if (c == '\r')
      result += "\\r";
    else if (c == '\n')
      result += "\\n";
    else
      result += c;
  }
  return result;
}

bool Write(EXTENSION_CONTROL_BLOCK* ecb, const std::string& text) {
  DWORD bytes = static_cast<DWORD>(text.size());
  return ecb->WriteClient(ecb->ConnID, const_cast<char*>(text.data()), &bytes, 0) &&
         bytes == text.size();
}

bool SendHeader(EXTENSION_CONTROL_BLOCK* ecb, const char* status, const char* headers) {
  return ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER,
                                    const_cast<char*>(status), nullptr,
                                    reinterpret_cast<LPDWORD>(const_cast<char*>(headers)));
}

DWORD Reply(EXTENSION_CONTROL_BLOCK* ecb, const std::string& body) {
  SendHeader(ecb, "200 OK", "Content-Type: text/plain\r\n\r\n");
  Write(ecb, body);
  return HSE_STATUS_SUCCESS;
}

// One variable with a buffer of 4096 bytes, checking the size the host reports.
std::string Variable(EXTENSION_CONTROL_BLOCK* ecb, const char* name, std::string& report) {
  char buffer[4096];
  DWORD size = sizeof buffer;
  ClearHostError();
  const BOOL result = ecb->GetServerVariable(ecb->ConnID, const_cast<char*>(name), buffer, &size);
  if (!result) {
    report += std::string("var.") + name + "=" + Outcome(result) + "\n";
    return "";
  }
  const std::string value(buffer, strnlen(buffer, sizeof buffer));
  report += std::string("var.") + name + "=" + Escaped(value) + "\n";
  if (size != value.size() + 1)
    report += std::string("size-mismatch.") + name + "\n";
  return value;
}

DWORD Variables(EXTENSION_CONTROL_BLOCK* ecb) {
  std::string report;
  for (const char* name : {"REQUEST_METHOD",  "QUERY_STRING",
                           "PATH_INFO",       "PATH_TRANSLATED",
                           "SCRIPT_NAME",     "URL",
                           "SERVER_PROTOCOL", "SERVER_NAME",
                           "SERVER_PORT",     "SERVER_PORT_SECURE",
                           "SERVER_SOFTWARE", "REMOTE_ADDR",
                           "REMOTE_HOST",     "REMOTE_PORT",
                           "CONTENT_TYPE",    "CONTENT_LENGTH",
                           "HTTPS",           "AUTH_TYPE",
                           "REMOTE_USER",     "HTTP_X_TEST_HEADER",
                           "HTTP_USER_AGENT", "ALL_HTTP",
                           "ALL_RAW"})
    Variable(ecb, name, report);
  const std::string method = Variable(ecb, "REQUEST_METHOD", report);

  // A buffer one byte too small: FALSE, 122 and the size needed, NUL included.
  char small[64];
  DWORD size = static_cast<DWORD>(method.size());
  ClearHostError();
  BOOL result =
      ecb->GetServerVariable(ecb->ConnID, const_cast<char*>("REQUEST_METHOD"), small, &size);
  report += "small=" + Outcome(result) + " needed=" + std::to_string(size) + "\n";
  size = 0;
  ClearHostError();
  result = ecb->GetServerVariable(ecb->ConnID, const_cast<char*>("REQUEST_METHOD"), nullptr, &size);
  report += "null-buffer=" + Outcome(result) + " needed=" + std::to_string(size) + "\n";
  size = sizeof small;
  ClearHostError();
  result = ecb->GetServerVariable(ecb->ConnID, const_cast<char*>("NO_SUCH_VARIABLE"), small, &size);
  report += "unknown=" + Outcome(result) + "\n";
  size = sizeof small;
  ClearHostError();
  result =
      ecb->GetServerVariable(ecb->ConnID, const_cast<char*>("HTTP_NOT_SENT_AT_ALL"), small, &size);
  report += "missing-header=" + Outcome(result) + "\n";
  report += "ecb.method=" + std::string(ecb->lpszMethod) + "\n";
  report += "ecb.query=" + std::string(ecb->lpszQueryString) + "\n";
  report += "ecb.path_info=" + std::string(ecb->lpszPathInfo) + "\n";
  report += "ecb.content_type=" + std::string(ecb->lpszContentType) + "\n";
  report += "ecb.total=" + std::to_string(ecb->cbTotalBytes) + "\n";
  return Reply(ecb, report);
}

DWORD Body(EXTENSION_CONTROL_BLOCK* ecb) {
  Say("body started");
  std::uint32_t hash = 2166136261u; // FNV-1a of every body byte, in order
  auto add = [&hash](const std::uint8_t* data, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
      hash = (hash ^ data[i]) * 16777619u;
  };
  add(ecb->lpbData, ecb->cbAvailable);
  std::uint64_t total = ecb->cbAvailable;
  int reads = 0;
  std::uint8_t buffer[10000];
  while (true) {
    DWORD size = sizeof buffer;
    if (!ecb->ReadClient(ecb->ConnID, buffer, &size))
      return Reply(ecb, "read-failed\n");
    ++reads;
    if (size == 0)
      break;
    add(buffer, size);
    total += size;
  }
  return Reply(ecb, "total=" + std::to_string(ecb->cbTotalBytes) + " available=" +
                        std::to_string(ecb->cbAvailable) + " read=" + std::to_string(total) +
                        " reads=" + std::to_string(reads) + " fnv=" + std::to_string(hash) + "\n");
}

DWORD Headers(EXTENSION_CONTROL_BLOCK* ecb) {
  std::string report;
  ClearHostError();
  report += "nocolon=" + Outcome(SendHeader(ecb, "200 OK", "NoColonHere\r\n\r\n")) + " ";
  ClearHostError();
  report += "unterminated=" + Outcome(SendHeader(ecb, "200 OK", "X-A: 1\r\n")) + " ";
  ClearHostError();
  report += "injected=" + Outcome(SendHeader(ecb, "200 OK", "X-A: 1\rX-B: 2\r\n\r\n")) + " ";
  ClearHostError();
  report += "badstatus=" + Outcome(SendHeader(ecb, "2x0 Nope", nullptr)) + " ";
  report += "good=" +
            Outcome(SendHeader(ecb, "201 Created",
                               "X-Checked: yes\nContent-Type: text/plain\r\n\r\nstart;")) +
            " ";
  ClearHostError();
  report += "second=" + Outcome(SendHeader(ecb, "200 OK", "X-Late: 1\r\n\r\n")) + "\n";
  Write(ecb, report);
  return HSE_STATUS_SUCCESS;
}

DWORD Redirect(EXTENSION_CONTROL_BLOCK* ecb, std::string target) {
  ClearHostError();
  const BOOL result = ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_URL_REDIRECT_RESP,
                                                 target.data(), nullptr, nullptr);
  if (!result)
    Say("redirect refused: " + Outcome(result));
  return HSE_STATUS_SUCCESS;
}

DWORD RedirectToReferer(EXTENSION_CONTROL_BLOCK* ecb) {
  char buffer[4096];
  DWORD size = sizeof buffer;
  std::string referer;
  if (ecb->GetServerVariable(ecb->ConnID, const_cast<char*>("HTTP_REFERER"), buffer, &size))
    referer.assign(buffer, size - 1);
  return Redirect(ecb, referer);
}

DWORD PendingFromThread(EXTENSION_CONTROL_BLOCK* ecb, bool error) {
  ++Outstanding;
  StartThread([ecb, error] {
    if (!error) {
      SendHeader(ecb, "200 OK", "Content-Type: text/plain\r\n\r\n");
      Write(ecb, "answered from another thread\n");
    }
    DWORD status = error ? HSE_STATUS_ERROR : HSE_STATUS_SUCCESS_AND_KEEP_CONN;
    --Outstanding;
    ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_DONE_WITH_SESSION, &status, nullptr, nullptr);
  });
  return HSE_STATUS_PENDING;
}

// Pending, answered after ms milliseconds by another thread (the SIGTERM drain tests).
DWORD Hold(EXTENSION_CONTROL_BLOCK* ecb) {
  const int ms = std::atoi(QueryValue(ecb->lpszQueryString, "ms").c_str());
  ++Outstanding;
  Say("hold started");
  StartThread([ecb, ms] {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    SendHeader(ecb, "200 OK", "Content-Type: text/plain\r\n\r\n");
    Write(ecb, "held " + std::to_string(ms) + " ms\n");
    --Outstanding;
    ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_DONE_WITH_SESSION, nullptr, nullptr, nullptr);
  });
  return HSE_STATUS_PENDING;
}

// Calls with handles that are not live requests: each must be refused with 87.
DWORD Stale(EXTENSION_CONTROL_BLOCK* ecb, HCONN previous) {
  std::string report;
  const HCONN abandoned = AbandonedConnID.load();
  const HCONN forged = reinterpret_cast<HCONN>(reinterpret_cast<std::uintptr_t>(ecb->ConnID) + 1);
  const std::pair<const char*, HCONN> handles[] = {
      {"previous", previous}, {"abandoned", abandoned}, {"forged", forged}, {"null", nullptr}};
  for (const auto& [name, handle] : handles) {
    if (handle == nullptr && std::strcmp(name, "null") != 0)
      continue;
    char buffer[64];
    DWORD size = sizeof buffer;
    ClearHostError();
    report +=
        std::string(name) + ".var=" +
        Outcome(ecb->GetServerVariable(handle, const_cast<char*>("REQUEST_METHOD"), buffer, &size));
    report += " size-untouched=" + std::string(size == sizeof buffer ? "yes" : "no");
    DWORD bytes = 5;
    ClearHostError();
    report += " write=" + Outcome(ecb->WriteClient(handle, const_cast<char*>("stale"), &bytes, 0));
    ClearHostError();
    report += " done=" + Outcome(ecb->ServerSupportFunction(handle, HSE_REQ_DONE_WITH_SESSION,
                                                            nullptr, nullptr, nullptr));
    report += "\n";
  }
  return Reply(ecb, report);
}

DWORD MapPath(EXTENSION_CONTROL_BLOCK* ecb) {
  const std::string url = QueryValue(ecb->lpszQueryString, "url");
  char buffer[1024];
  std::snprintf(buffer, sizeof buffer, "%s", url.c_str());
  DWORD size = sizeof buffer;
  ClearHostError();
  const BOOL result =
      ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_MAP_URL_TO_PATH, buffer, &size, nullptr);
  std::string report = "map=" + Outcome(result);
  if (result)
    report += " path=" + std::string(buffer) + " size=" + std::to_string(size);
  char tiny[2];
  std::snprintf(tiny, sizeof tiny, "/");
  size = sizeof tiny;
  ClearHostError();
  report += " tiny=" + Outcome(ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_MAP_URL_TO_PATH,
                                                          tiny, &size, nullptr));
  report += " needed=" + std::to_string(size) + "\n";
  return Reply(ecb, report);
}

DWORD Stream(EXTENSION_CONTROL_BLOCK* ecb) {
  const int count = std::atoi(QueryValue(ecb->lpszQueryString, "n").c_str());
  for (int i = 0; i < count; ++i) {
    if (!Write(ecb, std::string(1000, static_cast<char>('a' + i % 26))))
      break;
  }
  return HSE_STATUS_SUCCESS;
}

// Answers mb MiB with their Content-Length in synchronous writes of 64 KiB; write k holds the
// bytes i % 251 for i from k % 251 on, so the client can check every byte.
DWORD Big(EXTENSION_CONTROL_BLOCK* ecb) {
  const std::uint64_t total =
      std::strtoull(QueryValue(ecb->lpszQueryString, "mb").c_str(), nullptr, 10) << 20;
  std::string pattern(65536 + 251, '\0');
  for (std::size_t i = 0; i < pattern.size(); ++i)
    pattern[i] = static_cast<char>(i % 251);
  const std::string headers = "Content-Type: application/octet-stream\r\nContent-Length: " +
                              std::to_string(total) + "\r\n\r\n";
  SendHeader(ecb, "200 OK", headers.c_str());
  std::uint64_t sent = 0;
  for (std::uint64_t k = 0; sent < total; ++k) {
    DWORD bytes = 65536;
    ClearHostError();
    const BOOL result = ecb->WriteClient(ecb->ConnID, pattern.data() + k % 251, &bytes, 0);
    if (!result) {
      const std::string outcome = Outcome(result);
      Say("big: write failed after " + std::to_string(sent) + " bytes: " + outcome);
      break;
    }
    sent += bytes;
  }
  return HSE_STATUS_SUCCESS;
}

// Takes n descriptors of the process and keeps them until TerminateExtension, as an extension
// that opens files of its own does.
std::vector<std::FILE*> HeldFiles;

DWORD HoldDescriptors(EXTENSION_CONTROL_BLOCK* ecb) {
  const int count = std::atoi(QueryValue(ecb->lpszQueryString, "n").c_str());
  for (int i = 0; i < count; ++i)
    if (std::FILE* file = std::tmpfile())
      HeldFiles.push_back(file);
  return Reply(ecb, "holding " + std::to_string(HeldFiles.size()) + "\n");
}

DWORD Block(EXTENSION_CONTROL_BLOCK* ecb) {
  Say("block started");
  std::unique_lock lock(BlockMutex);
  Blocked = true;
  BlockChanged.wait(lock, [] { return !Blocked; });
  lock.unlock();
  return Reply(ecb, "unblocked\n");
}

DWORD Unblock(EXTENSION_CONTROL_BLOCK* ecb) {
  {
    std::lock_guard lock(BlockMutex);
    Blocked = false;
  }
  BlockChanged.notify_all();
  return Reply(ecb, "released\n");
}

} // namespace

ISAPI_EXPORT BOOL ISAPI_CALL GetExtensionVersion(HSE_VERSION_INFO* version) {
  if (std::getenv("TEST_EXTENSION_REFUSE_START") != nullptr)
    return 0;
  version->dwExtensionVersion = HSE_VERSION;
  std::snprintf(version->lpszExtensionDesc, sizeof version->lpszExtensionDesc,
                "isapi-host test extension");
  return 1;
}

ISAPI_EXPORT DWORD ISAPI_CALL HttpExtensionProc(EXTENSION_CONTROL_BLOCK* ecb) {
  const std::string path = ecb->lpszPathInfo;
  const HCONN previous = LastConnID.exchange(ecb->ConnID);
  if (path == "/vars")
    return Variables(ecb);
  if (path == "/body")
    return Body(ecb);
  if (path == "/headers")
    return Headers(ecb);
  if (path == "/status") {
    SendHeader(ecb, "404 Not Found", "Content-Type: text/plain\r\nContent-Length: 5\r\n\r\n");
    Write(ecb, "helloEXTRA");
    return HSE_STATUS_SUCCESS;
  }
  if (path == "/write-only") {
    Write(ecb, "plain body\n");
    return HSE_STATUS_SUCCESS;
  }
  if (path == "/redirect-referer")
    return RedirectToReferer(ecb);
  if (path == "/redirect-empty")
    return Redirect(ecb, "");
  if (path == "/redirect-crlf")
    return Redirect(ecb, "http://a.example/\r\nX-Evil: 1");
  if (path == "/pending-thread")
    return PendingFromThread(ecb, false);
  if (path == "/done-error")
    return PendingFromThread(ecb, true);
  if (path == "/pending-forever") {
    AbandonedConnID = ecb->ConnID;
    Say("pending-forever started");
    return HSE_STATUS_PENDING;
  }
  if (path == "/hold")
    return Hold(ecb);
  if (path == "/stale")
    return Stale(ecb, previous);
  if (path == "/error")
    return HSE_STATUS_ERROR;
  if (path == "/page-then-error") {
    // An error page of the extension's own, then the error status, as a busy extension answers.
    SendHeader(ecb, "500 Busy", "Content-Type: text/plain\r\nContent-Length: 5\r\n\r\n");
    Write(ecb, "busy\n");
    return HSE_STATUS_ERROR;
  }
  if (path.rfind("/nothing", 0) == 0) // any suffix: the log tests put odd bytes after it
    return HSE_STATUS_SUCCESS;
  if (path == "/map")
    return MapPath(ecb);
  if (path == "/stream")
    return Stream(ecb);
  if (path == "/big")
    return Big(ecb);
  if (path == "/block")
    return Block(ecb);
  if (path == "/hold-descriptors")
    return HoldDescriptors(ecb);
  if (path == "/unblock")
    return Unblock(ecb);
  if (path == "/log") {
    std::snprintf(ecb->lpszLogData, HSE_LOG_BUFFER_LEN, "|extension-log-data");
    return Reply(ecb, "logged\n");
  }
  if (path == "/unknown-support") {
    ClearHostError();
    const BOOL result = ecb->ServerSupportFunction(ecb->ConnID, 9999, nullptr, nullptr, nullptr);
    return Reply(ecb, "unknown-support=" + Outcome(result) + "\n");
  }
  return Reply(ecb, "test extension: unknown path " + path + "\n");
}

ISAPI_EXPORT BOOL ISAPI_CALL TerminateExtension(DWORD flags) {
  const int outstanding = Outstanding.load(); // what the host left unfinished
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(ThreadsMutex);
    threads.swap(Threads);
  }
  for (std::thread& thread : threads)
    thread.join();
  for (std::FILE* file : HeldFiles)
    std::fclose(file);
  HeldFiles.clear();
  const int count = ++Terminations;
  Say("TerminateExtension(" + std::to_string(flags) + ") call " + std::to_string(count) +
      ", requests outstanding " + std::to_string(outstanding));
  return 1;
}
