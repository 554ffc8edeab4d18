#include "host/call_command.h"

#include <condition_variable>
#include <mutex>

#include <nlohmann/json.hpp>

#include "host/bridge.h"
#include "host/extension.h"
#include "host/header_block.h"
#include "host/host_text.h"
#include "host/url_path.h"

namespace isapi_web::host {

namespace {

using TJson = nlohmann::ordered_json;

// Bytes as JSON text: each byte is the Unicode character of the same number (Latin-1), so any
// byte sequence, invalid UTF-8 included, shows unchanged and reads back byte for byte.
std::string JsonText(std::string_view bytes) {
  std::string result;
  result.reserve(bytes.size());
  for (char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      result += c;
    } else {
      result += static_cast<char>(0xC0 | (byte >> 6));
      result += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return result;
}

TJson JsonValue(const TCallRecord::TValue& value) {
  if (const auto* text = std::get_if<std::string>(&value))
    return JsonText(*text);
  return std::get<std::int64_t>(value);
}

TJson JsonOfRecord(const TCallRecord& record) {
  TJson entry;
  entry["function"] = record.Function;
  TJson arguments = TJson::object();
  for (const auto& [name, value] : record.Arguments)
    arguments[name] = JsonValue(value);
  entry["arguments"] = arguments;
  // What the host calls in the extension has no result of its own.
  if (record.Function != "HttpExtensionProc" && record.Function != "IoCompletion") {
    entry["result"] = record.Result ? "TRUE" : "FALSE";
    if (!record.Result)
      entry["error"] = record.Error;
  }
  TJson answers = TJson::object();
  for (const auto& [name, value] : record.Answers)
    answers[name] = JsonValue(value);
  entry["answers"] = answers;
  return entry;
}

std::string Unchunk(std::string_view body) {
  std::string result;
  while (!body.empty()) {
    const std::size_t lineEnd = body.find("\r\n");
    if (lineEnd == std::string_view::npos)
      break;
    const std::size_t size = std::stoul(std::string(body.substr(0, lineEnd)), nullptr, 16);
    if (size == 0)
      break;
    result += body.substr(lineEnd + 2, size);
    body.remove_prefix(std::min(body.size(), lineEnd + 2 + size + 2));
  }
  return result;
}

TJson JsonOfResponse(const std::string& bytes, bool headOnly) {
  TJson response;
  const std::size_t headEnd = bytes.find("\r\n\r\n");
  const std::string head = bytes.substr(0, headEnd);
  const std::string body = headEnd == std::string::npos ? "" : bytes.substr(headEnd + 4);
  const std::size_t firstLineEnd = head.find("\r\n");
  const std::string statusLine = head.substr(0, firstLineEnd);
  response["status_line"] = JsonText(statusLine);
  response["status"] = statusLine.size() >= 12 ? std::stoi(statusLine.substr(9, 3)) : 0;
  TJson headers = TJson::array();
  bool chunked = false;
  if (firstLineEnd != std::string::npos) {
    const std::optional<THeaderBlock> fields =
        ParseHeaderBlock(head.substr(firstLineEnd + 2) + "\r\n\r\n");
    if (fields) {
      for (const auto& [name, value] : fields->Fields) {
        headers.push_back(TJson::array({JsonText(name), JsonText(value)}));
        chunked = chunked || (EqualsIgnoreCase(name, "Transfer-Encoding") &&
                              EqualsIgnoreCase(value, "chunked"));
      }
    }
  }
  response["headers"] = headers;
  response["body"] = JsonText(chunked && !headOnly ? Unchunk(body) : body);
  response["raw"] = JsonText(bytes);
  return response;
}

// The client side of the one request: collects the bytes and waits for the end.
class TCallChannel : public IClientChannel {
public:
  TSendResult SendNow(std::string_view bytes) override {
    std::lock_guard lock(FMutex);
    FBytes += bytes;
    return TSendResult::Sent;
  }
  // The whole body is given up front.
  TReceiveResult ReceiveBody(void*, std::size_t, std::size_t& received) override {
    received = 0;
    return TReceiveResult::End;
  }
  void PendingStarted() override {}
  void RequestEnded(std::shared_ptr<IClientChannel>, TRequestOutcome outcome, bool) override {
    {
      std::lock_guard lock(FMutex);
      FBytes += outcome.Bytes;
      FOutcome = std::move(outcome);
      FEnded = true;
    }
    FChanged.notify_all();
  }
  bool WaitEnded(std::chrono::milliseconds limit) {
    std::unique_lock lock(FMutex);
    return FChanged.wait_for(lock, limit, [this] { return FEnded; });
  }
  std::string Bytes() {
    std::lock_guard lock(FMutex);
    return FBytes;
  }
  TRequestOutcome Outcome() {
    std::lock_guard lock(FMutex);
    return FOutcome;
  }

private:
  std::mutex FMutex; // guards the fields below
  std::condition_variable FChanged;
  std::string FBytes;
  TRequestOutcome FOutcome;
  bool FEnded = false;
};

} // namespace

int RunCallCommand(const TCallOptions& options, std::ostream& out, std::ostream& err) {
  std::mutex callsMutex; // guards calls: extension threads report too
  TJson calls = TJson::array();
  SetCallObserver([&](const TCallRecord& record) {
    std::lock_guard lock(callsMutex);
    calls.push_back(JsonOfRecord(record));
  });
  std::string error;
  std::unique_ptr<TExtension> extension = TExtension::Load(options.Extension, error);
  if (!extension) {
    SetCallObserver(nullptr);
    err << "isapi-host: " << error << "\n";
    return 1;
  }

  TRequestSetup setup;
  TRequestInfo& info = setup.Info;
  info.Method = options.Method;
  info.ScriptName = options.ScriptName.empty() ? "/scripts/" + options.Extension.filename().string()
                                               : options.ScriptName;
  info.PathInfo = options.PathInfo;
  info.Query = options.Query;
  info.ServerName = "localhost";
  info.ServerPort = "80";
  info.LocalAddress = "127.0.0.1";
  info.RemoteAddress = "127.0.0.1";
  info.RemotePort = "49152";
  info.ServerSoftware = ServerSoftware();
  info.RawTarget = info.ScriptName + info.PathInfo + (info.Query.empty() ? "" : "?" + info.Query);
  bool hasLength = false;
  bool hasHost = false;
  for (const std::string& header : options.Headers) {
    const std::size_t colon = header.find(':');
    if (colon == std::string::npos || !IsHttpToken(header.substr(0, colon))) {
      err << "isapi-host: --header needs 'Name: value', not '" << header << "'\n";
      SetCallObserver(nullptr);
      return 2;
    }
    std::string value = header.substr(colon + 1);
    value.erase(0, value.find_first_not_of(" \t"));
    const std::string name = header.substr(0, colon);
    hasLength = hasLength || EqualsIgnoreCase(name, "Content-Length");
    hasHost = hasHost || EqualsIgnoreCase(name, "Host");
    info.Headers.emplace_back(name, value);
  }
  if (!hasHost)
    info.Headers.insert(info.Headers.begin(), {"Host", "localhost"});
  if (!hasLength && !options.Body.empty())
    info.Headers.emplace_back("Content-Length", std::to_string(options.Body.size()));
  if (options.Root) {
    info.PathTranslated =
        MapUrlToPhysicalPath(*options.Root, info.PathInfo.empty() ? "/" : info.PathInfo)
            .value_or("");
  }
  setup.Body = options.Body;
  setup.TotalBytes = static_cast<DWORD>(options.Body.size());
  setup.HeadOnly = EqualsIgnoreCase(options.Method, "HEAD");
  setup.Root = options.Root ? &*options.Root : nullptr;

  auto channel = std::make_shared<TCallChannel>();
  std::shared_ptr<TRequest> request = TRequest::Create(*extension, setup, channel);
  request->Run();
  if (!channel->WaitEnded(options.PendingTimeout)) {
    request->Expire(500, "The extension did not complete the pending request in time.", true);
  }
  WaitForObservedCalls();
  StopCompletionThreads(std::chrono::seconds(2));
  WaitForCallbacksToReturn(std::chrono::seconds(1));
  const bool terminated = extension->Terminate(HSE_TERM_MUST_UNLOAD);
  SetCallObserver(nullptr);
  const TRequestOutcome outcome = channel->Outcome();

  TJson transcript;
  transcript["extension"] = {{"file", JsonText(options.Extension.string())},
                             {"version", std::to_string(extension->Version() >> 16) + "." +
                                             std::to_string(extension->Version() & 0xFFFF)},
                             {"description", JsonText(extension->Description())}};
  TJson requestJson;
  requestJson["method"] = JsonText(info.Method);
  requestJson["script_name"] = JsonText(info.ScriptName);
  requestJson["path_info"] = JsonText(info.PathInfo);
  requestJson["query"] = JsonText(info.Query);
  TJson headers = TJson::array();
  for (const auto& [name, value] : info.Headers)
    headers.push_back(TJson::array({JsonText(name), JsonText(value)}));
  requestJson["headers"] = headers;
  requestJson["body"] = JsonText(options.Body);
  transcript["request"] = requestJson;
  {
    std::lock_guard lock(callsMutex);
    calls.push_back({{"function", "TerminateExtension"},
                     {"arguments", {{"flags", HSE_TERM_MUST_UNLOAD}}},
                     {"result", terminated ? "TRUE" : "FALSE"}});
    transcript["calls"] = calls;
  }
  TJson response = JsonOfResponse(channel->Bytes(), setup.HeadOnly);
  response["log_data"] = JsonText(outcome.LogData);
  if (!outcome.Note.empty())
    response["host_note"] = outcome.Note;
  transcript["response"] = response;
  out << transcript.dump(2) << "\n";
  return 0;
}

} // namespace isapi_web::host
