// A raw HTTP request through what isapi-host does with it, without a socket: Beast's request
// parser with the host's limits (16 KiB of header, 30 MB of body), the target's decoding and dot
// segments, the --map prefixes, static files under a root, then the ECB bridge with an
// extension linked into this program. What the session glue does between them (the setup of a
// request from the parsed message) is done here the same way.
//
// The extension checks the server-variable protocol, reads the body to its end and answers as
// the request's X-Act header says: a redirect to the Referer (the default, what moravel does), a
// header block taken from the body with the status in X-Status (by call 3, or by call 1016 with
// counted texts and keep-alive withheld or not), a plain write, an error status,
// or a pending request ended at once. Whatever it does, the client must receive one well-formed
// HTTP response (Beast's response parser reads it to its end with nothing left over), with the
// status that the extension's calls and the host's rules give.

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// The host's headers come before Asio's, as in the host itself.
#include "host/bridge.h"
#include "host/extension.h"
#include "host/header_block.h"
#include "host/host_system.h"
#include "host/host_text.h"
#include "host/request_feed.h"
#include "host/request_framing.h"
#include "host/static_files.h"
#include "host/url_path.h"

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
using namespace isapi_web;
using namespace isapi_web::host;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_host_request: %s\n", what);
  std::abort();
}

constexpr std::size_t HeaderLimit = 16 * 1024;
constexpr std::uint64_t BodyLimit = 30'000'000;
const std::vector<std::string> Prefixes = {NormalizeMapPrefix("/scripts/fuzz.dll"),
                                           NormalizeMapPrefix("/Cgi/")};

std::optional<std::filesystem::path> Root;
std::set<std::string> RootFiles; // the contents of every regular file under the root

void MakeRoot() {
  char pattern[] = "/tmp/fuzz_host_request.XXXXXX";
  if (::mkdtemp(pattern) == nullptr)
    Fail("no temporary root");
  const std::filesystem::path root = std::filesystem::canonical(pattern);
  const auto write = [&](const std::string& name, const std::string& text) {
    std::filesystem::create_directories((root / name).parent_path());
    std::ofstream(root / name, std::ios::binary) << text;
    RootFiles.insert(text);
  };
  write("index.html", "<p>home</p>");
  write("a.txt", "plain a");
  write("sub/b.css", "b{}");
  write("sub/index.html", "<p>sub</p>");
  // Links that lead out of the root must never serve what they point to.
  std::filesystem::create_directory_symlink("..", root / "up");
  std::filesystem::create_symlink("/etc/hostname", root / "host.txt");
  Root = root;
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(*Root, ignored);
  });
}

// ---- The extension --------------------------------------------------------------------------

struct TCase {
  const TRequestInfo* Info = nullptr;
  std::string Body;
  bool Chunked = false;
  std::string Act;
  std::optional<std::string> Referer;
  std::optional<std::string> Status;
  // What the extension's calls were answered.
  bool RedirectAccepted = false;
  bool HeaderAccepted = false;
  bool HeaderCalled = false;
  DWORD ReturnStatus = HSE_STATUS_SUCCESS;
};

TCase* Current = nullptr;

std::string VariableName(std::string_view header) {
  std::string name = "HTTP_" + ToUpperAscii(header);
  for (char& c : name)
    if (c == '-')
      c = '_';
  return name;
}

// The size protocol of GetServerVariable: TRUE with the value, its NUL and the count of both;
// too small a buffer FALSE, 122, and the count needed; an unknown name FALSE, 1413.
std::optional<std::string> ReadVariable(EXTENSION_CONTROL_BLOCK* ecb, const std::string& name) {
  DWORD size = 0;
  char probe = 'x';
  if (ecb->GetServerVariable(ecb->ConnID, const_cast<char*>(name.c_str()), &probe, &size)) {
    Fail("a variable fitted a buffer of 0 bytes");
  }
  const DWORD error = CallError();
  if (error == ERROR_INVALID_INDEX)
    return std::nullopt;
  if (error != ERROR_INSUFFICIENT_BUFFER || size == 0 || probe != 'x')
    Fail("a 0-byte buffer was not answered 122 with the size needed");
  std::vector<char> buffer(size + 1, '#');
  DWORD offered = size;
  if (!ecb->GetServerVariable(ecb->ConnID, const_cast<char*>(name.c_str()), buffer.data(),
                              &offered))
    Fail("the size answered was not enough");
  if (offered != size || buffer[size - 1] != '\0' || buffer[size] != '#')
    Fail("the value was not its bytes, a NUL and nothing past them");
  if (size > 1) {
    DWORD tooSmall = size - 1;
    if (ecb->GetServerVariable(ecb->ConnID, const_cast<char*>(name.c_str()), buffer.data(),
                               &tooSmall) ||
        CallError() != ERROR_INSUFFICIENT_BUFFER || tooSmall != size)
      Fail("one byte short was not answered 122 with the size needed");
  }
  return std::string(buffer.data(), size - 1);
}

void CheckVariables(EXTENSION_CONTROL_BLOCK* ecb, const TCase& current) {
  const TRequestInfo& info = *current.Info;
  if (ReadVariable(ecb, "REQUEST_METHOD") != info.Method ||
      ReadVariable(ecb, "QUERY_STRING") != info.Query ||
      ReadVariable(ecb, "PATH_INFO") != info.PathInfo ||
      ReadVariable(ecb, "SCRIPT_NAME") != info.ScriptName ||
      ReadVariable(ecb, "URL") != info.ScriptName + info.PathInfo)
    Fail("a standard variable differs from the request");
  if (std::strcmp(ecb->lpszMethod, info.Method.c_str()) != 0 ||
      std::strcmp(ecb->lpszQueryString, info.Query.c_str()) != 0 ||
      std::strcmp(ecb->lpszPathInfo, info.PathInfo.c_str()) != 0)
    Fail("a control block member differs from the request");
  for (const char* name : {"PATH_TRANSLATED", "SERVER_PROTOCOL", "SERVER_NAME", "SERVER_PORT",
                           "REMOTE_ADDR", "CONTENT_TYPE", "CONTENT_LENGTH", "HTTPS"})
    if (!ReadVariable(ecb, name))
      Fail("a standard variable is unknown");
  if (ReadVariable(ecb, "NO_SUCH_VARIABLE") || ReadVariable(ecb, "HTTP_"))
    Fail("an unknown variable was answered");
  const std::string allRaw = ReadVariable(ecb, "ALL_RAW").value_or("");
  const std::string allHttp = ReadVariable(ecb, "ALL_HTTP").value_or("");
  for (const auto& [name, value] : info.Headers) {
    const std::optional<std::string> joined = ReadVariable(ecb, VariableName(name));
    if (!joined || joined->find(value) == std::string::npos)
      Fail("a header's HTTP_ variable does not hold its value");
    if (allRaw.find(name + ": " + value + "\r\n") == std::string::npos ||
        allHttp.find(VariableName(name) + ":" + value + "\r\n") == std::string::npos)
      Fail("ALL_RAW or ALL_HTTP misses a header");
  }
  // A forged ConnID is refused and touches nothing.
  DWORD size = 16;
  char buffer[16];
  const HCONN forged = reinterpret_cast<HCONN>(reinterpret_cast<std::uintptr_t>(ecb->ConnID) ^ 0x5A5A0000);
  if (ecb->GetServerVariable(forged, const_cast<char*>("URL"), buffer, &size) ||
      CallError() != ERROR_INVALID_PARAMETER || size != 16)
    Fail("a forged ConnID was answered");
}

void CheckBody(EXTENSION_CONTROL_BLOCK* ecb, const TCase& current) {
  if (ecb->cbTotalBytes != (current.Chunked ? UnknownTotalBytes : current.Body.size()))
    Fail("cbTotalBytes is not the body's length");
  if (ecb->cbAvailable > MaxPreloadedBody || ecb->cbAvailable > current.Body.size())
    Fail("cbAvailable is too large");
  std::string body(reinterpret_cast<const char*>(ecb->lpbData), ecb->cbAvailable);
  for (DWORD chunk = 1;; chunk = chunk * 3 + 1) {
    std::vector<char> buffer(chunk);
    DWORD size = chunk;
    if (!ecb->ReadClient(ecb->ConnID, buffer.data(), &size))
      Fail("ReadClient failed");
    if (size > chunk)
      Fail("ReadClient delivered more than asked");
    if (size == 0)
      break;
    body.append(buffer.data(), size);
  }
  if (body != current.Body)
    Fail("the bytes in the block and read by ReadClient are not the body");
}

void CheckMapUrl(EXTENSION_CONTROL_BLOCK* ecb, const TCase& current) {
  std::array<char, 2048> buffer{};
  const std::string& url = current.Info->PathInfo;
  if (url.size() + 1 > buffer.size())
    return;
  std::memcpy(buffer.data(), url.c_str(), url.size() + 1);
  DWORD size = static_cast<DWORD>(buffer.size());
  if (!ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_MAP_URL_TO_PATH, buffer.data(), &size,
                                  nullptr))
    return;
  const std::string path(buffer.data());
  if (size != path.size() + 1 || path.compare(0, Root->string().size(), Root->string()) != 0)
    Fail("a URL mapped outside the root");
  if (path.find("/../") != std::string::npos || path.ends_with("/.."))
    Fail("a mapped path climbs");
}

BOOL Redirect(EXTENSION_CONTROL_BLOCK* ecb, const char* url) {
  return ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_URL_REDIRECT_RESP,
                                    const_cast<char*>(url), nullptr, nullptr);
}

BOOL Write(EXTENSION_CONTROL_BLOCK* ecb, std::string_view bytes) {
  DWORD count = static_cast<DWORD>(bytes.size());
  return ecb->WriteClient(ecb->ConnID, const_cast<char*>(bytes.data()), &count, 0);
}

BOOL ISAPI_CALL StartFuzzExtension(HSE_VERSION_INFO* version) {
  version->dwExtensionVersion = HSE_VERSION;
  return 1;
}

DWORD ISAPI_CALL FuzzExtensionProc(EXTENSION_CONTROL_BLOCK* ecb) {
  TCase& current = *Current;
  CheckVariables(ecb, current);
  CheckBody(ecb, current);
  CheckMapUrl(ecb, current);
  const char act = current.Act.empty() ? 'r' : current.Act[0];
  switch (act) {
  case 'h': { // the body up to its first NUL is the header block
    const std::string block(current.Body.c_str());
    current.HeaderCalled = true;
    current.HeaderAccepted =
        ecb->ServerSupportFunction(
            ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER,
            current.Status ? const_cast<char*>(current.Status->c_str()) : nullptr, nullptr,
            reinterpret_cast<LPDWORD>(const_cast<char*>(block.c_str()))) != 0;
    if (current.HeaderAccepted)
      Write(ecb, current.Body.substr(block.size()));
    break;
  }
  case 'x': { // the same through the call with counted texts; "x0" withholds keep-alive
    if (current.Status && current.Status->empty())
      current.Status.reset(); // a status of length 0 is the default one
    const std::string block(current.Body.c_str());
    HSE_SEND_HEADER_EX_INFO info{current.Status ? current.Status->data() : nullptr, block.data(),
                                 current.Status ? static_cast<DWORD>(current.Status->size()) : 0,
                                 static_cast<DWORD>(block.size()), current.Act != "x0"};
    current.HeaderCalled = true;
    current.HeaderAccepted =
        ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER_EX, &info, nullptr,
                                   nullptr) != 0;
    if (current.HeaderAccepted)
      Write(ecb, current.Body.substr(block.size()));
    break;
  }
  case 'w':
    Write(ecb, current.Body);
    Write(ecb, "");
    break;
  case 'e':
    current.ReturnStatus = HSE_STATUS_ERROR;
    break;
  case 'p': {
    current.RedirectAccepted = current.Referer && Redirect(ecb, current.Referer->c_str());
    DWORD status = HSE_STATUS_SUCCESS;
    ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_DONE_WITH_SESSION, &status, nullptr, nullptr);
    current.ReturnStatus = HSE_STATUS_PENDING;
    break;
  }
  default:
    current.RedirectAccepted = current.Referer && Redirect(ecb, current.Referer->c_str());
    break;
  }
  if (current.RedirectAccepted && Redirect(ecb, "/again"))
    Fail("a second redirect was accepted");
  return current.ReturnStatus;
}

BOOL ISAPI_CALL TerminateFuzzExtension(DWORD) { return 1; }

std::unique_ptr<TExtension> Extension;

// ---- The client side ------------------------------------------------------------------------

class TCollectingChannel : public IClientChannel {
public:
  TSendResult SendNow(std::string_view bytes) override {
    Sent += bytes;
    return TSendResult::Sent;
  }
  // The whole body is given up front.
  TReceiveResult ReceiveBody(void*, std::size_t, std::size_t& received) override {
    received = 0;
    return TReceiveResult::End;
  }
  void PendingStarted() override { Pending = true; }
  void RequestEnded(std::shared_ptr<IClientChannel>, TRequestOutcome outcome, bool) override {
    Sent += outcome.Bytes;
    Outcome = std::move(outcome);
    ++Ends;
  }
  std::string Sent;
  bool Pending = false;
  TRequestOutcome Outcome;
  int Ends = 0;
};

// The response as a client reads it; fails unless it is one complete message and nothing more.
http::response<http::string_body> ReadResponse(const std::string& bytes, bool headOnly,
                                               bool keepAlive, bool extensionFramed) {
  http::response_parser<http::string_body> parser;
  // A number, not boost::none: Beast 1.74 compares the length of a body that ends with the
  // connection against the optional itself, and every length is above none.
  parser.body_limit(std::numeric_limits<std::uint64_t>::max());
  parser.skip(headOnly);
  parser.eager(true);
  beast::error_code error;
  std::size_t used = 0;
  while (used < bytes.size() && !parser.is_done()) {
    const std::size_t n = parser.put(boost::asio::buffer(bytes.data() + used, bytes.size() - used),
                                     error);
    used += n;
    // Beast takes all it can in one call: asking for more means what is left cannot go further,
    // and offering it again unchanged trips Beast's chunk parser.
    if (error == http::error::need_more)
      break;
    if (error && error != http::error::need_more) {
      // A body the extension frames itself (its own Transfer-Encoding) is its own to get right;
      // the head before it is the host's.
      if (extensionFramed && parser.is_header_done())
        return parser.release();
      std::fprintf(stderr, "fuzz_host_request: %s\n---\n%s\n---\n", error.message().c_str(),
                   bytes.c_str());
      Fail("the client could not read the response");
    }
  }
  if (!parser.is_header_done())
    Fail("the response has no complete head");
  if (!keepAlive) {
    // The connection closes after the answer: a body framed by the close ends here, and one
    // shorter than its Content-Length is cut off, as it must be when the extension wrote less.
    if (!parser.is_done())
      parser.put_eof(error);
    return parser.release();
  }
  if (!extensionFramed && !parser.is_done())
    Fail("a kept-alive response is incomplete");
  if (used != bytes.size() && !extensionFramed) {
    std::fprintf(stderr, "fuzz_host_request: %zu bytes left over\n---\n%s\n---\n",
                 bytes.size() - used, bytes.c_str());
    Fail("bytes after the response would be read as another one");
  }
  return parser.release();
}

void ServeMapped(http::request<http::string_body>& request, const TTargetPath& target,
                 const TMapMatch& match) {
  const bool http10 = request.version() == 10;
  const bool headOnly = request.method() == http::verb::head;
  TRequestSetup setup;
  TRequestInfo& info = setup.Info;
  info.Method = std::string(request.method_string());
  info.Protocol = http10 ? "HTTP/1.0" : "HTTP/1.1";
  info.ScriptName = match.ScriptName;
  info.PathInfo = match.PathInfo;
  info.PathTranslated =
      MapUrlToPhysicalPath(*Root, info.PathInfo.empty() ? "/" : info.PathInfo).value_or("");
  info.Query = target.Query;
  info.LocalAddress = "127.0.0.1";
  info.ServerPort = "8080";
  info.RemoteAddress = "127.0.0.1";
  info.RemotePort = "50000";
  info.ServerSoftware = ServerSoftware();
  for (const auto& field : request)
    info.Headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
  info.ServerName = "localhost";
  setup.TotalBytes = request.chunked() ? UnknownTotalBytes : static_cast<DWORD>(request.body().size());
  setup.Body = request.body();
  setup.HeadOnly = headOnly;
  setup.Connection = TConnectionState{request.keep_alive(), http10};
  setup.Root = &*Root;
  const TRequestInfo infoSeen = setup.Info;

  TCase current;
  current.Info = &infoSeen;
  current.Body = request.body();
  current.Chunked = request.chunked();
  if (auto field = request.find("X-Act"); field != request.end())
    current.Act = std::string(field->value());
  if (auto field = request.find(http::field::referer); field != request.end())
    current.Referer = std::string(field->value());
  if (auto field = request.find("X-Status"); field != request.end())
    current.Status = std::string(field->value());

  auto channel = std::make_shared<TCollectingChannel>();
  std::shared_ptr<TRequest> bridge = TRequest::Create(*Extension, std::move(setup), channel);
  Current = &current;
  bridge->Run();
  Current = nullptr;
  if (channel->Ends != 1 || !bridge->Ended())
    Fail("the request did not end exactly once");
  const HCONN stale = bridge->ConnID();
  DWORD size = 8;
  char buffer[8];
  if (GetServerVariableCallback(stale, const_cast<char*>("URL"), buffer, &size) ||
      CallError() != ERROR_INVALID_PARAMETER)
    Fail("the ConnID of an ended request was answered");

  // What the client gets: the status the calls and their answers imply, framed so that the
  // response ends where it should.
  bool extensionFramed = false;
  bool redirected = false; // the Referer redirect, not a 302 of the extension's own header call
  unsigned expected = 0;
  if (current.ReturnStatus == HSE_STATUS_ERROR) {
    expected = 500;
  } else if (current.HeaderCalled) {
    if (current.HeaderAccepted) {
      expected = current.Status ? ParseStatusText(*current.Status)->Code : 200;
      const std::optional<THeaderBlock> block = ParseHeaderBlock(current.Body.c_str());
      for (const auto& [name, value] : block->Fields)
        extensionFramed = extensionFramed || EqualsIgnoreCase(name, "Transfer-Encoding");
    } else {
      expected = 502;
    }
  } else if (current.Act.starts_with("w")) {
    expected = 200;
  } else {
    const bool valid = current.Referer && !current.Referer->empty() &&
                       !HasControlCharacter(*current.Referer);
    if (valid != current.RedirectAccepted)
      Fail("a redirect to the Referer was accepted or refused against the rules");
    expected = valid ? 302 : 502;
    redirected = valid;
  }
  if (channel->Outcome.Status != expected)
    Fail("the status is not what the extension's calls imply");
  if (current.Act == "x0" && current.HeaderAccepted && channel->Outcome.KeepAlive)
    Fail("the connection stays open after a header that withheld keep-alive");
  const auto response =
      ReadResponse(channel->Sent, headOnly, channel->Outcome.KeepAlive, extensionFramed);
  if (response.result_int() != expected)
    Fail("the status line is not the status");
  if (redirected) {
    const auto location = response.find(http::field::location);
    if (location == response.end() || location->value() != *current.Referer)
      Fail("the Location is not the Referer byte for byte");
  }
}

void ServeStatic(const std::string& method, const TTargetPath& target) {
  const TStaticAnswer answer = StaticFileAnswer(Root, method, target.Path);
  std::string content;
  if (answer.File) {
    content.resize(static_cast<std::size_t>(answer.Length));
    answer.File->read(content.data(), static_cast<std::streamsize>(content.size()));
  }
  if (answer.Status == 200 && !RootFiles.contains(content))
    Fail("a static answer served something that is not a file under the root");
  if ((method == "GET" || method == "HEAD") ? answer.Status != 200 && answer.Status != 404
                                             : answer.Status != 405)
    Fail("a static answer with an unexpected status");
}

void CheckTarget(std::string_view raw, const TTargetPath& target) {
  if (!target.Valid)
    return;
  const std::string& path = target.Path;
  if (path.empty() || path[0] != '/' || path.find("//") != std::string::npos ||
      path.find('\\') != std::string::npos || path.find('\0') != std::string::npos)
    Fail("a normalised path is not a clean absolute path");
  for (std::size_t start = 1; start <= path.size();) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos)
      end = path.size();
    const std::string_view segment(path.data() + start, end - start);
    if (segment == "." || segment == "..")
      Fail("a dot segment survived normalisation");
    start = end + 1;
  }
  // Normalising is idempotent: the normalised path, escaped again, reads back as itself.
  std::string escaped;
  for (char c : path) {
    if (c == '%' || c == '?' || static_cast<unsigned char>(c) < 0x21)
      escaped += "%" + std::string(1, "0123456789ABCDEF"[(c >> 4) & 15]) + "0123456789ABCDEF"[c & 15];
    else
      escaped += c;
  }
  const TTargetPath again = ParseRequestTarget(escaped);
  if (!again.Valid || again.Path != path)
    Fail("the normalised path does not normalise to itself");
  if (raw.starts_with("/") && target.RawPath + (raw.find('?') != std::string_view::npos
                                                    ? "?" + target.Query
                                                    : std::string()) != raw)
    Fail("raw path and query do not make the target");
}

// What the session's parser makes of the input when the client's bytes arrive step at a time:
// the header on its own, then the body eagerly, the parser called only when the host would call
// it, and more bytes read whenever it needs more. The end of the input is the end of the stream.
// Nothing when the session refuses the request (400, 413 or 431) or the connection ends early.
std::optional<http::request<http::string_body>> ParseAsHost(const std::uint8_t* data,
                                                            std::size_t size, std::size_t step) {
  http::request_parser<http::string_body> parser;
  parser.header_limit(HeaderLimit);
  parser.body_limit(BodyLimit);
  beast::error_code error;
  std::size_t used = 0;    // bytes the parser has taken
  std::size_t arrived = 0; // bytes the client has sent so far
  bool askedForMore = false;
  for (;;) {
    bool needMore = !ReadyToParse(parser, arrived - used, askedForMore);
    if (!needMore) {
      const std::size_t n = parser.put(boost::asio::buffer(data + used, arrived - used), error);
      used += n;
      askedForMore = error == http::error::need_more;
      if (askedForMore)
        error = {};
      else if (error || parser.is_done())
        break;
      else if (parser.is_header_done())
        parser.eager(true);
      needMore = askedForMore || used == arrived || n == 0;
    }
    if (needMore) {
      if (arrived == size) {
        // The client stopped sending here: a message it began is cut off; before a complete
        // header Beast has nothing to end, and the session closes without an answer.
        if (parser.got_some())
          parser.put_eof(error);
        else
          error = http::error::partial_message;
        break;
      }
      arrived += std::min(step, size - arrived);
    }
  }
  if (parser.is_header_done()) {
    // A declared length over the limit is refused from the header alone (413), before any body.
    const auto length = parser.content_length();
    if (length && *length > BodyLimit && error != http::error::body_limit)
      Fail("a Content-Length over the body limit was not refused");
  }
  if (error || !parser.is_done())
    return std::nullopt;
  // The session refuses a head whose framing is ambiguous (400) before it reads any body.
  TFramingCheck framing;
  for (const auto& field : parser.get())
    framing.Field(field.name_string(), field.value());
  if (!framing.Problem(parser.get().version()).empty())
    return std::nullopt;
  return parser.release();
}

std::string Flatten(const http::request<http::string_body>& request) {
  std::string text = std::string(request.method_string()) + " " + std::string(request.target()) +
                     " " + std::to_string(request.version()) + "\n";
  for (const auto& field : request)
    text += std::string(field.name_string()) + ": " + std::string(field.value()) + "\n";
  return text + "\n" + request.body();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  MakeRoot();
  std::string error;
  Extension = TExtension::FromEntryPoints(
      "fuzz.dll", {StartFuzzExtension, FuzzExtensionProc, TerminateFuzzExtension}, error);
  if (!Extension)
    Fail("the extension did not start");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::optional<http::request<http::string_body>> parsed = ParseAsHost(data, size, size);
  // However the client's bytes are split, the host reads the same request, or refuses it. Which
  // fault it finds first in a bad request may depend on how much it has seen.
  const auto trickled = ParseAsHost(data, size, 1);
  if (parsed.has_value() != trickled.has_value() ||
      (parsed && Flatten(*parsed) != Flatten(*trickled)))
    Fail("the request reads differently when its bytes arrive one at a time");
  if (!parsed)
    return 0; // 400, 413 or 431 from the session, or a connection closed early

  http::request<http::string_body>& request = *parsed;
  const std::string_view rawTarget = request.target();
  const TTargetPath target = ParseRequestTarget(rawTarget);
  CheckTarget(rawTarget, target);
  if (!target.Valid)
    return 0; // 400
  const std::optional<TMapMatch> match = MatchMapping(Prefixes, target.Path);
  if (!match) {
    ServeStatic(std::string(request.method_string()), target);
    return 0;
  }
  if (match->ScriptName + match->PathInfo != target.Path ||
      !EqualsIgnoreCase(match->ScriptName, Prefixes[match->Index]) ||
      (!match->PathInfo.empty() && match->PathInfo[0] != '/'))
    Fail("the mapping does not split the path into prefix and path info");
  ServeMapped(request, target, *match);
  return 0;
}
