#include "host/child_request.h"

#include <condition_variable>
#include <cstring>
#include <fstream>
#include <iterator>
#include <utility>

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
class TChildRequests::TChildChannel : public IClientChannel {
public:
  TChildChannel(TChildRequests& parent, bool bodyOnly)
      : FParentRequest(parent.FRequest.shared_from_this()), FParent(parent), FBodyOnly(bodyOnly) {}

  TSendResult SendNow(std::string_view bytes) override {
    return FParent.ChildSend(bytes, FBodyOnly) ? TSendResult::Sent : TSendResult::ClientGone;
  }
  // A child's body is given whole, up front.
  TReceiveResult ReceiveBody(void*, std::size_t, std::size_t& received) override {
    received = 0;
    return TReceiveResult::End;
  }
  // The child's asynchronous sends move on its parent's connection, in turn with the rest.
  void SendLater(std::vector<TSendPiece> pieces, TSendDone done) override {
    FParent.ChildSendLater(std::move(pieces), FBodyOnly, std::move(done));
  }
  void PendingStarted() override {}
  // Whatever thread ends the child (the loop's among them) waits for no client: the child has
  // ended once its last bytes have gone.
  void RequestEnded(std::shared_ptr<IClientChannel> self, TRequestOutcome outcome,
                    bool) override {
    const unsigned status = outcome.Status;
    const bool keepAlive = outcome.KeepAlive && !outcome.TimedOut;
    if (outcome.Bytes.empty())
      return Ended(status, keepAlive);
    std::vector<TSendPiece> last(1);
    last[0].Bytes = std::move(outcome.Bytes);
    FParent.ChildSendLater(std::move(last), FBodyOnly,
                           [self, this, status, keepAlive](TSendResult) {
                             Ended(status, keepAlive);
                           });
  }
  void Ended(unsigned status, bool keepAlive) {
    std::function<void()> ended;
    {
      std::lock_guard lock(FMutex);
      FStatus = status;
      FKeepAlive = keepAlive;
      FEnded = true;
      ended = std::move(FOnEnded);
    }
    FChanged.notify_all();
    if (ended)
      ended();
  }

  /// Makes the child asynchronous: ended is called once, on the thread that ends the child, and
  /// a cut ends the child from an extension thread instead of waking a waiter.
  void Detach(std::weak_ptr<TRequestCore> child, std::function<void()> ended) {
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
    std::shared_ptr<TRequestCore> child;
    {
      std::lock_guard lock(FMutex);
      if (FEnded)
        return;
      FCut = true;
      child = FChild.lock();
    }
    FChanged.notify_all();
    if (child)
      RunOnCompletionThread(
          [child, status, note = std::move(note)] { child->Expire(status, note, false, true); });
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
  std::shared_ptr<TRequestCore> FParentRequest; // holds the parent while the child runs
  TChildRequests& FParent;
  bool FBodyOnly;
  std::mutex FMutex; // guards the fields below
  std::condition_variable FChanged;
  unsigned FStatus = 0;
  bool FKeepAlive = false;
  bool FEnded = false;
  bool FCut = false;
  std::weak_ptr<TRequestCore> FChild; ///< an asynchronous child, ended by a cut
  std::function<void()> FOnEnded;     ///< an asynchronous child's continuation
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
                                         : unicode->pszUrl           ? WideToUtf8(unicode->pszUrl)
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

TChildRequests::TChildRequests(TRequestCore& request, TAnswer& answer, TAsyncOperation& operation)
    : FRequest(request), FAnswer(answer), FOperation(operation) {}

std::shared_ptr<TRequestCore> TChildRequests::CreateChild(const TChildRequest& wanted,
                                                          const TRoute& route,
                                                          std::string_view query,
                                                          TConnectionState connection,
                                                          std::shared_ptr<TChildChannel> channel) {
  TRequestSetup setup;
  setup.Info = FRequest.Setup.Info;
  setup.Info.Method = wanted.Method;
  setup.Info.ScriptName = route.ScriptName;
  setup.Info.PathInfo = route.PathInfo;
  setup.Info.Query = std::string(query);
  setup.Info.PathTranslated =
      FRequest.Setup.Root != nullptr
          ? MapUrlToPhysicalPath(*FRequest.Setup.Root,
                                 route.PathInfo.empty() ? "/" : route.PathInfo)
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
  setup.HeadOnly = FRequest.Setup.HeadOnly;
  setup.Connection = connection;
  setup.Root = FRequest.Setup.Root;
  setup.Router = FRequest.Setup.Router;
  setup.BodyOnly = wanted.BodyOnly;
  setup.ChildDepth = FRequest.Setup.ChildDepth + 1;
  ChildAnswered(0, true, wanted.BodyOnly);
  return FRequest.CreateChild(*route.Extension, std::move(setup), std::move(channel));
}

// A child extension is called on an extension thread, and nothing waits for it: its end, from
// whatever thread ends it, completes the parent's operation. A static file goes out from the
// connection's loop; an invalid URL ends the child at once.
void TChildRequests::StartChild(const TChildRequest& wanted,
                                std::function<void(TChildResult)> ended) {
  const TTargetPath target = ParseRequestTarget(wanted.Url);
  if (!target.Valid || wanted.Url.empty() || wanted.Url.front() != '/')
    return ended({});
  const std::optional<TRoute> route = FRequest.Setup.Router != nullptr
                                          ? (*FRequest.Setup.Router)(target.Path)
                                          : std::nullopt;
  if (!route)
    return StartStaticChild(wanted, target.Path, std::move(ended));
  const auto channel = std::make_shared<TChildChannel>(*this, wanted.BodyOnly);
  bool keepAlive;
  bool cancelled;
  {
    std::lock_guard lock(FRequest.Mutex);
    cancelled = FOperation.AbortRequested();
    keepAlive = FAnswer.KeepAlive();
    if (!cancelled)
      FChildChannel = channel;
  }
  if (cancelled)
    return ended({0, true}); // cancelled before it began
  const std::shared_ptr<TRequestCore> child = CreateChild(
      wanted, *route, target.Query, {keepAlive, FRequest.Setup.Connection.Http10}, channel);
  // The continuation holds the channel, which holds this request: both go when it has run.
  channel->Detach(child, [self = FRequest.shared_from_this(), this, channel,
                          bodyOnly = wanted.BodyOnly, ended = std::move(ended)] {
    {
      std::lock_guard lock(FRequest.Mutex);
      FChildChannel.reset();
    }
    ChildAnswered(channel->Status(), channel->KeepAlive(), bodyOnly);
    ended({channel->Status(), channel->WasCut()});
  });
  {
    // A cut that came before the continuation was in place ends the child now.
    std::lock_guard lock(FRequest.Mutex);
    if (FOperation.AbortRequested())
      Cut();
  }
  RunOnCompletionThread([child] { child->Run(); });
}

struct TChildRequests::TStaticChild {
  std::unique_ptr<std::ifstream> File;
  std::uint64_t Left = 0; ///< of the file, still to send
  unsigned Status = 0;
  bool BodyOnly = false;
  std::function<void(TChildResult)> Ended;
};

void TChildRequests::StartStaticChild(const TChildRequest& wanted, std::string_view path,
                                      std::function<void(TChildResult)> ended) {
  bool keepAlive = true;
  bool cancelled;
  {
    std::lock_guard lock(FRequest.Mutex);
    cancelled = FOperation.AbortRequested();
    keepAlive = FAnswer.KeepAlive();
  }
  if (cancelled)
    return ended({0, true}); // cancelled before it began
  std::optional<std::filesystem::path> root;
  if (FRequest.Setup.Root != nullptr)
    root = *FRequest.Setup.Root;
  TStaticAnswer answer = StaticFileAnswer(root, wanted.Method, path);
  ChildAnswered(answer.Status, true, wanted.BodyOnly);
  std::string bytes =
      wanted.BodyOnly ? std::string()
                      : ComposeHead(answer.StatusText, answer.Fields,
                                    {keepAlive, FRequest.Setup.Connection.Http10});
  if (!FRequest.Setup.HeadOnly)
    bytes += answer.Body;
  auto child = std::make_shared<TStaticChild>();
  child->Left = FRequest.Setup.HeadOnly || !answer.File ? 0 : answer.Length;
  child->File = std::move(answer.File);
  child->Status = answer.Status;
  child->BodyOnly = wanted.BodyOnly;
  child->Ended = std::move(ended);
  SendStaticPiece(std::move(child), std::move(bytes));
}

// Each piece is read once the one before has gone: a client that reads slowly holds no thread.
void TChildRequests::SendStaticPiece(std::shared_ptr<TStaticChild> child, std::string bytes) {
  std::vector<TSendPiece> pieces(1);
  pieces[0].Bytes = std::move(bytes);
  const bool bodyOnly = child->BodyOnly;
  ChildSendLater(std::move(pieces), bodyOnly,
                 [self = FRequest.shared_from_this(), this, child](TSendResult result) {
                   const bool sent = result == TSendResult::Sent;
                   if (sent && child->Left > 0) {
                     std::string piece(
                         static_cast<std::size_t>(std::min<std::uint64_t>(child->Left, FilePiece)),
                         '\0');
                     child->File->read(piece.data(), static_cast<std::streamsize>(piece.size()));
                     const auto got = static_cast<std::size_t>(child->File->gcount());
                     // A file that shrank cuts the answer, and the connection ends with it.
                     if (got > 0) {
                       child->Left -= got;
                       piece.resize(got);
                       return SendStaticPiece(child, std::move(piece));
                     }
                   }
                   if (child->Left > 0)
                     ChildAnswered(child->Status, false, child->BodyOnly);
                   bool cut;
                   {
                     std::lock_guard lock(FRequest.Mutex);
                     cut = FOperation.AbortRequested() && (!sent || child->Left > 0);
                   }
                   child->Ended({child->Status, cut});
                 });
}

TChildRequests::TChildResult TChildRequests::RunChild(const TChildRequest& wanted) {
  const TTargetPath target = ParseRequestTarget(wanted.Url);
  if (!target.Valid || wanted.Url.empty() || wanted.Url.front() != '/')
    return {};
  const std::optional<TRoute> route =
      FRequest.Setup.Router != nullptr ? (*FRequest.Setup.Router)(target.Path) : std::nullopt;
  const auto channel = route ? std::make_shared<TChildChannel>(*this, wanted.BodyOnly) : nullptr;
  bool keepAlive;
  {
    std::lock_guard lock(FRequest.Mutex);
    if (FOperation.AbortRequested())
      return {0, true}; // cancelled before it began
    keepAlive = FAnswer.KeepAlive();
    FChildChannel = channel;
  }
  const TConnectionState connection{keepAlive, FRequest.Setup.Connection.Http10};
  if (!route) {
    std::optional<std::filesystem::path> root;
    if (FRequest.Setup.Root != nullptr)
      root = *FRequest.Setup.Root;
    TStaticAnswer answer = StaticFileAnswer(root, wanted.Method, target.Path);
    ChildAnswered(answer.Status, true, wanted.BodyOnly);
    std::string bytes =
        wanted.BodyOnly ? std::string() : ComposeHead(answer.StatusText, answer.Fields, connection);
    if (!FRequest.Setup.HeadOnly)
      bytes += answer.Body;
    bool sent = ChildSend(bytes, wanted.BodyOnly);
    std::uint64_t left = FRequest.Setup.HeadOnly || !answer.File ? 0 : answer.Length;
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
    std::lock_guard lock(FRequest.Mutex);
    return {answer.Status, FOperation.AbortRequested() && (!sent || left > 0)};
  }

  const std::shared_ptr<TRequestCore> child =
      CreateChild(wanted, *route, target.Query, connection, channel);
  child->Run();
  if (!channel->WaitEndedOrCut(ChildTimeLimit)) {
    unsigned status = 500;
    std::string note = "The child request did not complete in time.";
    if (channel->WasCut()) {
      // Cut by the host's time limit (or shutdown), the child answers with the page the parent
      // would have given; cut by the extension, it answers nothing more.
      std::lock_guard lock(FRequest.Mutex);
      const unsigned expiry = FOperation.DeferredExpiry();
      status = expiry != 0 ? expiry : 500;
      note = expiry != 0 ? FOperation.DeferredNote() : "The parent request cancelled the child.";
    }
    child->Expire(status, note, false, true);
    channel->WaitEnded(std::chrono::seconds(5));
  }
  {
    std::lock_guard lock(FRequest.Mutex);
    FChildChannel.reset(); // it holds this request
  }
  ChildAnswered(channel->Status(), channel->KeepAlive(), wanted.BodyOnly);
  return {channel->Status(), channel->WasCut()};
}

DWORD TChildRequests::ChildEndedLocked(const TChildResult& child, bool bodyOnly) {
  FOperation.SetChildRunning(false);
  if (child.Cut) {
    // The answer ends where the cancel found it: the connection carries nothing more. A child
    // cancelled before it began sent nothing, and the answer is still the parent's to give.
    if (child.Status != 0)
      FAnswer.LoseClient(ERROR_NO_DATA);
    return FOperation.AbortError();
  }
  if (child.Status == 0)
    return ERROR_INVALID_PARAMETER;
  FChildAnswered = !bodyOnly && !FAnswer.ClientGone();
  return 0;
}

void TChildRequests::Cut() {
  if (!FChildChannel)
    return;
  // Cut by the host's time limit (or shutdown), the child answers with the page the parent
  // would have given; cut by the extension, it answers nothing more.
  const unsigned expiry = FOperation.DeferredExpiry();
  FChildChannel->Cut(expiry != 0 ? expiry : 500, expiry != 0
                                                     ? FOperation.DeferredNote()
                                                     : "The parent request cancelled the child.");
}

bool TChildRequests::ChildSend(std::string_view bytes, bool bodyOnly) {
  std::unique_lock lock(FRequest.Mutex);
  FChildOutputIdle.wait(lock, [this] { return !FChildSending && FChildOutput.empty(); });
  // Nothing of a cancelled child reaches the client from the cancel on, but the page of the
  // host's time limit (or shutdown) that ends it in the parent's stead.
  if (FRequest.Finished || FAnswer.ClientGone() ||
      (FOperation.AbortRequested() && FOperation.DeferredExpiry() == 0))
    return false;
  if (bodyOnly)
    FAnswer.AppendBody(bytes); // framed as the parent's answer
  else
    FAnswer.AppendWhole(bytes); // the child's whole answer, head and framing included
  return FAnswer.Flush();
}

void TChildRequests::ChildSendLater(std::vector<TSendPiece> pieces, bool bodyOnly,
                                    TSendDone done) {
  std::unique_lock lock(FRequest.Mutex);
  if (FRequest.Finished || FAnswer.ClientGone() ||
      (FOperation.AbortRequested() && FOperation.DeferredExpiry() == 0)) {
    lock.unlock();
    return done(TSendResult::ClientGone);
  }
  std::vector<TSendPiece> framed;
  if (bodyOnly) {
    std::vector<TBodyPart> parts;
    for (const TSendPiece& piece : pieces)
      parts.push_back(piece.File ? TBodyPart{{}, piece.File, piece.Offset, piece.Length}
                                 : TBodyPart{piece.Bytes});
    framed = FAnswer.FrameParts(parts);
  } else {
    framed = FAnswer.FrameParts({}); // what is buffered goes first
    std::move(pieces.begin(), pieces.end(), std::back_inserter(framed));
  }
  FChildOutput.emplace_back(std::move(framed), std::move(done));
  StartChildOutput(lock);
}

void TChildRequests::StartChildOutput(std::unique_lock<std::mutex>& lock) {
  if (FChildSending || FChildOutput.empty())
    return;
  auto [pieces, done] = std::move(FChildOutput.front());
  FChildOutput.pop_front();
  const std::shared_ptr<IClientChannel> channel = FAnswer.ClientGone() ? nullptr : FRequest.Channel;
  FChildSending = channel != nullptr;
  lock.unlock();
  if (!channel) {
    // The client is gone (or the request has ended): what is queued fails in turn.
    done(TSendResult::ClientGone);
    lock.lock();
    return StartChildOutput(lock);
  }
  channel->SendLater(std::move(pieces), [self = FRequest.shared_from_this(), this,
                                         done = std::move(done)](TSendResult result) {
    std::unique_lock relock(FRequest.Mutex);
    if (result != TSendResult::Sent && !FAnswer.ClientGone())
      FAnswer.LoseClient(result == TSendResult::TimedOut ? ERROR_TIMEOUT : ERROR_NO_DATA);
    FChildSending = false;
    FChildOutputIdle.notify_all();
    StartChildOutput(relock);
    if (relock.owns_lock())
      relock.unlock();
    done(result);
  });
}

void TChildRequests::ChildAnswered(unsigned status, bool keepAlive, bool bodyOnly) {
  std::lock_guard lock(FRequest.Mutex);
  FAnswer.ChildAnswered(status, keepAlive, bodyOnly);
}

BOOL TChildRequests::RefuseAfterChild(std::string_view call) {
  if (!std::exchange(FAfterChildNoted, true))
    Diagnostic(FRequest.Extension.File().string() + ": " + FRequest.Setup.Info.Method + " " +
               FRequest.Setup.Info.ScriptName + FRequest.Setup.Info.PathInfo + " called " +
               std::string(call) +
               " after its child request's answer was complete: FALSE, error 87 "
               "(ERROR_INVALID_PARAMETER), nothing sent; its later sends are refused alike");
  return FailCall(ERROR_INVALID_PARAMETER);
}

BOOL TChildRequests::SendUrl(const char* url) {
  if (url == nullptr || url[0] != '/')
    return FailCall(ERROR_INVALID_PARAMETER);
  {
    std::lock_guard lock(FRequest.Mutex);
    if (FRequest.Finished || FAnswer.HeadSent() || FRequest.Setup.ChildDepth >= MaxChildDepth)
      return FailCall(ERROR_INVALID_PARAMETER);
    if (FOperation.Pending())
      return FailCall(ERROR_BUSY);
    FOperation.BeginSynchronousChild();
  }
  // As the client would ask for it: a GET, with the request's own header fields.
  const TChildResult child = RunChild({url, "GET", "", std::nullopt, false});
  std::unique_lock lock(FRequest.Mutex);
  FOperation.EndSynchronousChild();
  const DWORD error = ChildEndedLocked(child, false);
  if (error == 0)
    FExecStatus = HSE_EXEC_URL_STATUS{static_cast<std::uint16_t>(child.Status), 0, 0};
  // A done-with-session, or the host's time limit, that came while the child ran: SEND_URL has
  // no completion to follow, so it takes effect now.
  FOperation.EndDeferred(lock);
  return error == 0 ? 1 : FailCall(error);
}

BOOL TChildRequests::ExecUrl(const void* buffer, bool unicode) {
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
    wanted.Url = FRequest.Setup.Info.ScriptName + FRequest.Setup.Info.PathInfo;
    if (!FRequest.Setup.Info.Query.empty())
      wanted.Url += "?" + FRequest.Setup.Info.Query;
  }
  wanted.Method = info->pszMethod ? info->pszMethod : FRequest.Setup.Info.Method;
  wanted.Headers = info->pszChildHeaders ? info->pszChildHeaders : "";
  wanted.BodyOnly = (info->dwExecUrlFlags & HSE_EXEC_URL_NO_HEADERS) != 0;
  if (info->pEntity != nullptr) {
    if (info->pEntity->lpbData == nullptr && info->pEntity->cbAvailable != 0)
      return FailCall(ERROR_INVALID_PARAMETER);
    wanted.Body =
        std::string(static_cast<const char*>(info->pEntity->lpbData), info->pEntity->cbAvailable);
  }
  std::unique_lock lock(FRequest.Mutex);
  if (FRequest.Finished || FOperation.Completion() == nullptr ||
      FRequest.Setup.ChildDepth >= MaxChildDepth || (!wanted.BodyOnly && FAnswer.HeadSent()))
    return FailCall(ERROR_INVALID_PARAMETER);
  if (FOperation.Pending())
    return FailCall(ERROR_BUSY);
  if (!wanted.Body && FRequest.BodyComplete)
    wanted.Body = FRequest.Setup.Body; // the parent's body, when the host holds all of it
  if (wanted.BodyOnly && !FAnswer.HeadSent())
    FAnswer.StartBody(200, "200 OK", {});
  FOperation.Begin(FOperation.Completion(), FOperation.CompletionContext());
  FOperation.SetChildRunning(true);
  lock.unlock();
  const bool bodyOnly = wanted.BodyOnly;
  StartChild(wanted, [self = FRequest.shared_from_this(), this, bodyOnly](TChildResult child) {
    std::lock_guard relock(FRequest.Mutex);
    DWORD error = ChildEndedLocked(child, bodyOnly);
    if (error == 0 && FAnswer.ClientGone())
      error = ERROR_OPERATION_ABORTED;
    FExecStatus = HSE_EXEC_URL_STATUS{static_cast<std::uint16_t>(child.Status), 0, error};
    FOperation.Done(0, error);
  });
  return 1;
}

BOOL TChildRequests::GetExecUrlStatus(void* buffer) {
  std::lock_guard lock(FRequest.Mutex);
  if (FRequest.Finished || buffer == nullptr || !FExecStatus)
    return FailCall(ERROR_INVALID_PARAMETER);
  std::memcpy(buffer, &*FExecStatus, sizeof(HSE_EXEC_URL_STATUS));
  return 1;
}

} // namespace isapi_web::host
