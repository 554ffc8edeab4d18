// Child requests: HSE_REQ_SEND_URL (a local URL served as if the client had asked for it),
// HSE_REQ_EXEC_URL and HSE_REQ_EXEC_UNICODE_URL (the same, asynchronously, with a completion),
// and HSE_REQ_GET_EXEC_URL_STATUS. A child is a static file under the root or a request to a
// mapped extension; its answer goes to the client through its parent.

#include <condition_variable>
#include <cstring>
#include <fstream>
#include <utility>

#include "host/bridge.h"
#include "host/extension.h"
#include "host/header_block.h"
#include "host/host_system.h"
#include "host/host_text.h"
#include "host/static_files.h"
#include "host/url_path.h"
#include "runtime/text.h"

namespace isapi_web::host {

namespace {

// Children of children are allowed this deep: an extension that executes its own URL again and
// again ends there instead of exhausting the host.
constexpr unsigned MaxChildDepth = 8;
// A child extension that neither ends nor answers is given up after this long.
constexpr auto ChildTimeLimit = std::chrono::seconds(120);

} // namespace

// Carries a child extension's answer to its parent, and tells when the child has ended or its
// parent has cut it short.
class TRequest::TChildChannel : public IClientChannel {
public:
  TChildChannel(std::shared_ptr<TRequest> parent, bool bodyOnly)
      : FParent(std::move(parent)), FBodyOnly(bodyOnly) {}

  TSendResult SendNow(std::string_view bytes) override {
    return FParent->ChildSend(bytes, FBodyOnly) ? TSendResult::Sent : TSendResult::ClientGone;
  }
  // A child's body is given whole, up front.
  TReceiveResult ReceiveBody(void*, std::size_t, std::size_t& received) override {
    received = 0;
    return TReceiveResult::End;
  }
  void PendingStarted() override {}
  void RequestEnded(std::shared_ptr<IClientChannel>, TRequestOutcome outcome, bool) override {
    if (!outcome.Bytes.empty())
      FParent->ChildSend(outcome.Bytes, FBodyOnly);
    std::function<void()> ended;
    {
      std::lock_guard lock(FMutex);
      FStatus = outcome.Status;
      FKeepAlive = outcome.KeepAlive && !outcome.TimedOut;
      FEnded = true;
      ended = std::move(FOnEnded);
    }
    FChanged.notify_all();
    if (ended)
      ended();
  }

  /// Makes the child asynchronous: ended is called once, on the thread that ends the child, and
  /// a cut ends the child from an extension thread instead of waking a waiter.
  void Detach(std::weak_ptr<TRequest> child, std::function<void()> ended) {
    std::lock_guard lock(FMutex);
    FChild = std::move(child);
    FOnEnded = std::move(ended);
  }

  bool WaitEnded(std::chrono::milliseconds limit) {
    std::unique_lock lock(FMutex);
    return FChanged.wait_for(lock, limit, [this] { return FEnded; });
  }
  // Waits until the child has ended or was cut, at most limit; answers whether it has ended.
  bool WaitEndedOrCut(std::chrono::milliseconds limit) {
    std::unique_lock lock(FMutex);
    FChanged.wait_for(lock, limit, [this] { return FEnded || FCut; });
    return FEnded;
  }
  // The parent cancelled the child (or the host's limit did, with its page); nothing to cut
  // once the child has ended. Called with the parent's lock held, which the child's own calls
  // take after theirs: the child is ended from another thread.
  void Cut(unsigned status, std::string note) {
    std::shared_ptr<TRequest> child;
    {
      std::lock_guard lock(FMutex);
      if (FEnded)
        return;
      FCut = true;
      child = FChild.lock();
    }
    FChanged.notify_all();
    if (child)
      RunOnCompletionThread([child, status, note = std::move(note)] {
        child->Expire(status, note, false);
      });
  }
  bool WasCut() {
    std::lock_guard lock(FMutex);
    return FCut;
  }
  unsigned Status() {
    std::lock_guard lock(FMutex);
    return FStatus;
  }
  bool KeepAlive() {
    std::lock_guard lock(FMutex);
    return FKeepAlive;
  }

private:
  std::shared_ptr<TRequest> FParent;
  bool FBodyOnly;
  std::mutex FMutex; // guards the fields below
  std::condition_variable FChanged;
  unsigned FStatus = 0;
  bool FKeepAlive = false;
  bool FEnded = false;
  bool FCut = false;
  std::weak_ptr<TRequest> FChild;  ///< an asynchronous child, ended by a cut
  std::function<void()> FOnEnded; ///< an asynchronous child's continuation
};

void DescribeChildCall(DWORD request, const void* buffer, TCallRecord& record) {
  if (buffer == nullptr)
    return;
  auto text = [](const char* value) { return std::string(value ? value : "(null)"); };
  if (request == HSE_REQ_SEND_URL) {
    record.Arguments.emplace_back("buffer", text(static_cast<const char*>(buffer)));
  } else if (request == HSE_REQ_EXEC_URL || request == HSE_REQ_EXEC_UNICODE_URL) {
    // Both structures hold the same fields after the URL.
    const auto* info = static_cast<const HSE_EXEC_URL_INFO*>(buffer);
    const auto* unicode = static_cast<const HSE_EXEC_UNICODE_URL_INFO*>(buffer);
    record.Arguments.emplace_back("url", request == HSE_REQ_EXEC_URL ? text(info->pszUrl)
                                         : unicode->pszUrl ? WideToUtf8(unicode->pszUrl)
                                                           : "(null)");
    record.Arguments.emplace_back("method", text(info->pszMethod));
    record.Arguments.emplace_back("headers", text(info->pszChildHeaders));
    record.Arguments.emplace_back("flags", std::int64_t{info->dwExecUrlFlags});
  }
}

void DescribeChildAnswer(const void* buffer, TCallRecord& record) {
  const auto* status = static_cast<const HSE_EXEC_URL_STATUS*>(buffer);
  record.Answers.emplace_back("uHttpStatusCode", std::int64_t{status->uHttpStatusCode});
  record.Answers.emplace_back("uHttpSubStatus", std::int64_t{status->uHttpSubStatus});
  record.Answers.emplace_back("dwWin32Error", std::int64_t{status->dwWin32Error});
}

std::shared_ptr<TRequest> TRequest::CreateChild(const TChildRequest& wanted, const TRoute& route,
                                                std::string_view query,
                                                TConnectionState connection,
                                                std::shared_ptr<TChildChannel> channel) {
  TRequestSetup setup;
  setup.Info = FSetup.Info;
  setup.Info.Method = wanted.Method;
  setup.Info.ScriptName = route.ScriptName;
  setup.Info.PathInfo = route.PathInfo;
  setup.Info.Query = std::string(query);
  setup.Info.PathTranslated =
      FSetup.Root != nullptr
          ? MapUrlToPhysicalPath(*FSetup.Root, route.PathInfo.empty() ? "/" : route.PathInfo)
                .value_or("")
          : "";
  // The child's own header fields replace the parent's of the same name.
  if (std::optional<THeaderBlock> extra = ParseHeaderBlock(wanted.Headers + "\r\n\r\n")) {
    for (auto& field : extra->Fields) {
      const std::string& name = field.first;
      std::erase_if(setup.Info.Headers,
                    [&name](const auto& kept) { return EqualsIgnoreCase(kept.first, name); });
      setup.Info.Headers.emplace_back(std::move(field.first), std::move(field.second));
    }
  }
  setup.Body = wanted.Body.value_or("");
  setup.TotalBytes = static_cast<DWORD>(setup.Body.size());
  setup.BodyComplete = true;
  setup.HeadOnly = FSetup.HeadOnly;
  setup.Connection = connection;
  setup.Root = FSetup.Root;
  setup.Router = FSetup.Router;
  setup.BodyOnly = wanted.BodyOnly;
  setup.ChildDepth = FSetup.ChildDepth + 1;
  ChildAnswered(0, true, wanted.BodyOnly);
  return TRequest::Create(*route.Extension, std::move(setup), std::move(channel));
}

// A child extension is called on an extension thread, and nothing waits for it: its end, from
// whatever thread ends it, completes the parent's operation. A static file (or an invalid URL)
// is answered at once on an extension thread.
void TRequest::StartChild(const TChildRequest& wanted, std::function<void(TChildResult)> ended) {
  const TTargetPath target = ParseRequestTarget(wanted.Url);
  const std::optional<TRoute> route =
      target.Valid && !wanted.Url.empty() && wanted.Url.front() == '/' && FSetup.Router != nullptr
          ? (*FSetup.Router)(target.Path)
          : std::nullopt;
  if (!route) {
    RunOnCompletionThread([self = shared_from_this(), wanted, ended = std::move(ended)] {
      ended(self->RunChild(wanted));
    });
    return;
  }
  const auto channel = std::make_shared<TChildChannel>(shared_from_this(), wanted.BodyOnly);
  bool keepAlive;
  bool cancelled;
  {
    std::lock_guard lock(FMutex);
    cancelled = FIoAbortRequested;
    keepAlive = FKeepAlive;
    if (!cancelled)
      FChildChannel = channel;
  }
  if (cancelled)
    return ended({0, true}); // cancelled before it began
  const std::shared_ptr<TRequest> child =
      CreateChild(wanted, *route, target.Query, {keepAlive, FSetup.Connection.Http10}, channel);
  // The continuation holds the channel, which holds this request: both go when it has run.
  channel->Detach(child, [self = shared_from_this(), channel, bodyOnly = wanted.BodyOnly,
                          ended = std::move(ended)] {
    {
      std::lock_guard lock(self->FMutex);
      self->FChildChannel.reset();
    }
    self->ChildAnswered(channel->Status(), channel->KeepAlive(), bodyOnly);
    ended({channel->Status(), channel->WasCut()});
  });
  {
    // A cut that came before the continuation was in place ends the child now.
    std::lock_guard lock(FMutex);
    if (FIoAbortRequested)
      CutChildLocked();
  }
  RunOnCompletionThread([child] { child->Run(); });
}

TRequest::TChildResult TRequest::RunChild(const TChildRequest& wanted) {
  const TTargetPath target = ParseRequestTarget(wanted.Url);
  if (!target.Valid || wanted.Url.empty() || wanted.Url.front() != '/')
    return {};
  const std::optional<TRoute> route =
      FSetup.Router != nullptr ? (*FSetup.Router)(target.Path) : std::nullopt;
  const auto channel =
      route ? std::make_shared<TChildChannel>(shared_from_this(), wanted.BodyOnly) : nullptr;
  bool keepAlive;
  {
    std::lock_guard lock(FMutex);
    if (FIoAbortRequested)
      return {0, true}; // cancelled before it began
    keepAlive = FKeepAlive;
    FChildChannel = channel;
  }
  const TConnectionState connection{keepAlive, FSetup.Connection.Http10};
  if (!route) {
    std::optional<std::filesystem::path> root;
    if (FSetup.Root != nullptr)
      root = *FSetup.Root;
    TStaticAnswer answer = StaticFileAnswer(root, wanted.Method, target.Path);
    ChildAnswered(answer.Status, true, wanted.BodyOnly);
    std::string bytes =
        wanted.BodyOnly ? std::string() : ComposeHead(answer.StatusText, answer.Fields, connection);
    if (!FSetup.HeadOnly)
      bytes += answer.Body;
    bool sent = ChildSend(bytes, wanted.BodyOnly);
    std::uint64_t left = FSetup.HeadOnly || !answer.File ? 0 : answer.Length;
    std::string piece;
    while (sent && left > 0) {
      piece.resize(static_cast<std::size_t>(std::min<std::uint64_t>(left, FilePiece)));
      answer.File->read(piece.data(), static_cast<std::streamsize>(piece.size()));
      const auto got = static_cast<std::size_t>(answer.File->gcount());
      if (got == 0)
        break; // the file shrank: the answer is cut, and the connection ends with it
      left -= got;
      sent = ChildSend(std::string_view(piece.data(), got), wanted.BodyOnly);
    }
    if (left > 0)
      ChildAnswered(answer.Status, false, wanted.BodyOnly);
    std::lock_guard lock(FMutex);
    return {answer.Status, FIoAbortRequested && (!sent || left > 0)};
  }

  const std::shared_ptr<TRequest> child =
      CreateChild(wanted, *route, target.Query, connection, channel);
  child->Run();
  if (!channel->WaitEndedOrCut(ChildTimeLimit)) {
    unsigned status = 500;
    std::string note = "The child request did not complete in time.";
    if (channel->WasCut()) {
      // Cut by the host's time limit (or shutdown), the child answers with the page the parent
      // would have given; cut by the extension, it answers nothing more.
      std::lock_guard lock(FMutex);
      status = FDeferredExpiry != 0 ? FDeferredExpiry : 500;
      note = FDeferredExpiry != 0 ? FDeferredNote : "The parent request cancelled the child.";
    }
    child->Expire(status, note, false);
    channel->WaitEnded(std::chrono::seconds(5));
  }
  {
    std::lock_guard lock(FMutex);
    FChildChannel.reset(); // it holds this request
  }
  ChildAnswered(channel->Status(), channel->KeepAlive(), wanted.BodyOnly);
  return {channel->Status(), channel->WasCut()};
}

DWORD TRequest::ChildEndedLocked(const TChildResult& child, bool bodyOnly) {
  FChildRunning = false;
  if (child.Cut) {
    // The answer ends where the cancel found it: the connection carries nothing more. A child
    // cancelled before it began sent nothing, and the answer is still the parent's to give.
    if (child.Status != 0) {
      FClientGone = true;
      FSendError = ERROR_NO_DATA;
    }
    return FIoAbortError;
  }
  if (child.Status == 0)
    return ERROR_INVALID_PARAMETER;
  FChildAnswered = !bodyOnly && !FClientGone;
  return 0;
}

void TRequest::CutChildLocked() {
  if (!FChildChannel)
    return;
  // Cut by the host's time limit (or shutdown), the child answers with the page the parent
  // would have given; cut by the extension, it answers nothing more.
  FChildChannel->Cut(FDeferredExpiry != 0 ? FDeferredExpiry : 500,
                     FDeferredExpiry != 0 ? FDeferredNote
                                          : "The parent request cancelled the child.");
}

bool TRequest::ChildSend(std::string_view bytes, bool bodyOnly) {
  std::lock_guard lock(FMutex);
  // Nothing of a cancelled child reaches the client from the cancel on, but the page of the
  // host's time limit (or shutdown) that ends it in the parent's stead.
  if (FEnded || FClientGone || (FIoAbortRequested && FDeferredExpiry == 0))
    return false;
  if (bodyOnly)
    AppendBodyLocked(bytes); // framed as the parent's answer
  else
    FOutput += bytes; // the child's whole answer, head and framing included
  return FlushLocked();
}

void TRequest::ChildAnswered(unsigned status, bool keepAlive, bool bodyOnly) {
  std::lock_guard lock(FMutex);
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

bool TRequest::RefusedAfterChild(std::string_view call) {
  std::lock_guard lock(FMutex);
  if (!FChildAnswered || FEnded)
    return false;
  RefuseAfterChildLocked(call);
  return true;
}

BOOL TRequest::RefuseAfterChildLocked(std::string_view call) {
  if (!std::exchange(FAfterChildNoted, true))
    Diagnostic(FExtension.File().string() + ": " + FSetup.Info.Method + " " +
               FSetup.Info.ScriptName + FSetup.Info.PathInfo + " called " + std::string(call) +
               " after its child request's answer was complete: FALSE, error 87 "
               "(ERROR_INVALID_PARAMETER), nothing sent; its later sends are refused alike");
  return FailCall(ERROR_INVALID_PARAMETER);
}

BOOL TRequest::SendUrl(const char* url) {
  if (url == nullptr || url[0] != '/')
    return FailCall(ERROR_INVALID_PARAMETER);
  {
    std::lock_guard lock(FMutex);
    if (FEnded || FHeadSent || FSetup.ChildDepth >= MaxChildDepth)
      return FailCall(ERROR_INVALID_PARAMETER);
    if (FIoPending)
      return FailCall(ERROR_BUSY);
    // The child is under way: the extension's other sends wait, and a cancel ends the child.
    FIoPending = true;
    FChildRunning = true;
    FIoAbortRequested = false;
    FIoAbortError = ERROR_OPERATION_ABORTED;
  }
  // As the client would ask for it: a GET, with the request's own header fields.
  const TChildResult child = RunChild({url, "GET", "", std::nullopt, false});
  std::unique_lock lock(FMutex);
  FIoPending = false;
  const DWORD error = ChildEndedLocked(child, false);
  if (error == 0)
    FExecStatus = HSE_EXEC_URL_STATUS{static_cast<std::uint16_t>(child.Status), 0, 0};
  // A done-with-session, or the host's time limit, that came while the child ran: SEND_URL has
  // no completion to follow, so it takes effect now.
  EndDeferredLocked(lock);
  return error == 0 ? 1 : FailCall(error);
}

BOOL TRequest::ExecUrl(const void* buffer, bool unicode) {
  if (buffer == nullptr)
    return FailCall(ERROR_INVALID_PARAMETER);
  const auto* info = static_cast<const HSE_EXEC_URL_INFO*>(buffer);
  TChildRequest wanted;
  if (unicode) {
    const auto* wide = static_cast<const HSE_EXEC_UNICODE_URL_INFO*>(buffer);
    if (wide->pszUrl != nullptr)
      wanted.Url = WideToUtf8(wide->pszUrl);
  } else if (info->pszUrl != nullptr) {
    wanted.Url = info->pszUrl;
  }
  if (wanted.Url.empty()) {
    // The parent's own URL.
    wanted.Url = FSetup.Info.ScriptName + FSetup.Info.PathInfo;
    if (!FSetup.Info.Query.empty())
      wanted.Url += "?" + FSetup.Info.Query;
  }
  wanted.Method = info->pszMethod ? info->pszMethod : FSetup.Info.Method;
  wanted.Headers = info->pszChildHeaders ? info->pszChildHeaders : "";
  wanted.BodyOnly = (info->dwExecUrlFlags & HSE_EXEC_URL_NO_HEADERS) != 0;
  if (info->pEntity != nullptr) {
    if (info->pEntity->lpbData == nullptr && info->pEntity->cbAvailable != 0)
      return FailCall(ERROR_INVALID_PARAMETER);
    wanted.Body = std::string(static_cast<const char*>(info->pEntity->lpbData),
                            info->pEntity->cbAvailable);
  }
  std::unique_lock lock(FMutex);
  if (FEnded || FCompletion == nullptr || FSetup.ChildDepth >= MaxChildDepth ||
      (!wanted.BodyOnly && FHeadSent))
    return FailCall(ERROR_INVALID_PARAMETER);
  if (FIoPending)
    return FailCall(ERROR_BUSY);
  if (!wanted.Body && FBodyComplete)
    wanted.Body = FSetup.Body; // the parent's body, when the host holds all of it
  if (wanted.BodyOnly && !FHeadSent)
    StartBodyLocked(200, "200 OK", {});
  BeginIoLocked(FCompletion, FCompletionContext);
  FChildRunning = true;
  lock.unlock();
  const bool bodyOnly = wanted.BodyOnly;
  StartChild(wanted, [self = shared_from_this(), bodyOnly](TChildResult child) {
    std::lock_guard relock(self->FMutex);
    DWORD error = self->ChildEndedLocked(child, bodyOnly);
    if (error == 0 && self->FClientGone)
      error = ERROR_OPERATION_ABORTED;
    self->FExecStatus = HSE_EXEC_URL_STATUS{static_cast<std::uint16_t>(child.Status), 0, error};
    self->IoDoneLocked(0, error);
  });
  return 1;
}

BOOL TRequest::GetExecUrlStatus(void* buffer) {
  std::lock_guard lock(FMutex);
  if (FEnded || buffer == nullptr || !FExecStatus)
    return FailCall(ERROR_INVALID_PARAMETER);
  std::memcpy(buffer, &*FExecStatus, sizeof(HSE_EXEC_URL_STATUS));
  return 1;
}

} // namespace isapi_web::host
