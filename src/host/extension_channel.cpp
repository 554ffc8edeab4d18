#include "host/extension_channel.h"

#include <string>

#include "host/host_text.h"

namespace isapi_web::host {

TExtensionChannel::TExtensionChannel(TServerState& server, TSocket socket)
    : TExtensionTransfer(server, std::move(socket)), FPendingTimer(FSocket.get_executor()) {}

void TExtensionChannel::PendingStarted() {
  PostInTurn([this, at = std::chrono::steady_clock::now()] { OnPendingStarted(at); });
}

void TExtensionChannel::OnPendingStarted(std::chrono::steady_clock::time_point at) {
  if (!FRequest || FRequest->Ended())
    return; // it has ended already
  // One timer per connection, armed at most once per time limit: a pending request only
  // notes its deadline, and a timer that fires early waits again for the rest.
  FPendingDeadline = at + FServer.Options.PendingTimeout;
  FPendingActive = true;
  if (!FPendingTimerArmed)
    ArmPendingTimer();
}

void TExtensionChannel::RequestEnded(std::shared_ptr<IClientChannel> self, TRequestOutcome outcome,
                                     bool onOwnerThread) {
  if (onOwnerThread && InTurnNow()) {
    OnRequestEnded(std::move(outcome));
    return;
  }
  // A call that ran on the loop's thread (the fast path) answers there, in the connection's turn.
  if (onOwnerThread && FSocket.get_executor().running_in_this_thread()) {
    Serialized(
        [this, outcome = std::move(outcome)]() mutable { OnRequestEnded(std::move(outcome)); });
    return;
  }
  // The handler owns the caller's reference: the connection is released on its own loop.
  net::post(FSocket.get_executor(),
            [self = std::static_pointer_cast<TExtensionChannel>(std::move(self)),
             outcome = std::move(outcome)]() mutable {
              TExtensionChannel* const channel = self.get();
              channel->Serialized([channel, outcome = std::move(outcome)]() mutable {
                channel->OnRequestEnded(std::move(outcome));
              });
            });
}

std::chrono::steady_clock::time_point TExtensionChannel::WaitDeadline() const {
  // While an extension owns the request, its own calls keep their time.
  if (FRequest && !Transferring())
    return std::chrono::steady_clock::time_point::max();
  return TExtensionTransfer::WaitDeadline();
}

// A pending request that keeps moving bytes is not one that forgot to end.
void TExtensionChannel::TransferEnded() {
  if (FPendingActive)
    FPendingDeadline = std::chrono::steady_clock::now() + FServer.Options.PendingTimeout;
}

void TExtensionChannel::Closed() {
  FPendingTimer.cancel();
}

void TExtensionChannel::ArmPendingTimer() {
  FPendingTimerArmed = true;
  FPendingTimer.expires_at(FPendingDeadline);
  FPendingTimer.async_wait(InTurn(this, &TExtensionChannel::OnPendingTimer));
}

void TExtensionChannel::OnPendingTimer(error_code error) {
  FPendingTimerArmed = false;
  if (error || FClosed || !FPendingActive)
    return;
  if (std::chrono::steady_clock::now() < FPendingDeadline)
    return ArmPendingTimer(); // a later request's deadline
  const std::shared_ptr<TRequest> pending = FRequest;
  if (!pending)
    return;
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(FServer.Options.PendingTimeout);
  // A thread of the extension blocked in a write holds the request; this loop does not wait
  // for it, and looks again a second later.
  if (!pending->Expire(500,
                       "The extension did not complete the pending request within " +
                           std::to_string(seconds.count()) + " s.",
                       true, false)) {
    FPendingDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    ArmPendingTimer();
  }
}

void TExtensionChannel::OnRequestEnded(TRequestOutcome outcome) {
  FPendingActive = false;
  FRequest.reset();
  FStatus = outcome.Status;
  if (FServer.Options.AccessLog != nullptr)
    FLog.ExtensionLogData = outcome.LogData;
  // The request's line stays in FReceived and FTarget until the next request is read.
  if (!outcome.Note.empty())
    Diagnostic(FReceived.Method + " " + std::string(UriStem()) + " answered " +
               std::to_string(outcome.Status) + ": " + outcome.Note);
  if (outcome.SessionStatus && *outcome.SessionStatus != HSE_STATUS_SUCCESS &&
      *outcome.SessionStatus != HSE_STATUS_SUCCESS_AND_KEEP_CONN)
    Diagnostic(FReceived.Method + " " + std::string(UriStem()) + ": done with session, status " +
               std::to_string(*outcome.SessionStatus));
  if (outcome.TimedOut) {
    // What the client did not take in time is dropped, not trickled out after the close.
    FServer.EndRequest();
    return Drop();
  }
  Answer(std::move(outcome.Bytes), outcome.KeepAlive);
}

} // namespace isapi_web::host
