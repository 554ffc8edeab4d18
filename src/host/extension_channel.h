#pragma once
// A connection as its request's extension sees it: the request it serves, the time limit of a
// pending request, and the request's end turned into the connection's answer.

#include <chrono>
#include <memory>

// The host's headers come before Asio's (see connection.h).
#include "host/bridge.h"
#include "host/extension_transfer.h"

namespace isapi_web::host {

class TExtensionChannel : public TExtensionTransfer {
public:
  TExtensionChannel(TServerState& server, TSocket socket);

  /// Called with the request's lock held, outside the connection's turn: the timer is set in turn.
  void PendingStarted() override;
  void RequestEnded(std::shared_ptr<IClientChannel> self, TRequestOutcome outcome,
                    bool onOwnerThread) override;

protected:
  std::chrono::steady_clock::time_point WaitDeadline() const override;
  void TransferEnded() override;
  void Closed() override;

  std::shared_ptr<TRequest> FRequest; ///< the request an extension serves now

private:
  void OnPendingStarted(std::chrono::steady_clock::time_point at);
  void ArmPendingTimer();
  void OnPendingTimer(error_code error);
  void OnRequestEnded(TRequestOutcome outcome);

  TTimer FPendingTimer; // the time limit of pending requests
  std::chrono::steady_clock::time_point FPendingDeadline;
  bool FPendingActive = false;
  bool FPendingTimerArmed = false;
};

} // namespace isapi_web::host
