#pragma once
// The extension's own reads and writes of a connection: synchronous ones on the extension's
// thread while the loop leaves the socket alone, and asynchronous ones carried out on the loop,
// holding no thread while they wait for the client.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The host's headers come before Asio's (see connection.h).
#include "host/bridge.h"
#include "host/host_system.h"
#include "host/http_exchange.h"

namespace isapi_web::host {

class TExtensionTransfer : public THttpExchange, public IClientChannel {
public:
  using THttpExchange::THttpExchange;

  /// Runs on the extension's thread. The socket does not block: the thread waits for room
  /// itself, up to the transfer's deadline, so that only this thread waits for a slow client.
  TSendResult SendNow(std::string_view bytes) override;
  TReceiveResult ReceiveBody(void* buffer, std::size_t size, std::size_t& received) override;
  /// The client sees the end now; the socket itself closes when the request ends, on the loop.
  void CloseNow() override;
  bool PeerConnected() override;
  /// Started from any thread, carried out on the loop.
  void SendLater(std::vector<TSendPiece> pieces, TSendDone done) override;
  void ReceiveLater(void* buffer, std::size_t size, TReceiveDone done) override;
  void CancelLater() override;
  void ClearCancel() override { FCancelWait = false; }

protected:
  std::chrono::steady_clock::time_point WaitDeadline() const override;
  void DeadlinePassed(std::chrono::steady_clock::time_point now) override;
  /// Whether an asynchronous operation of the extension is under way.
  bool Transferring() const { return FAsyncSend || FAsyncReceive; }
  /// An asynchronous operation has ended, having moved bytes or not.
  virtual void TransferEnded() {}

  std::uint64_t FAnswerBytes = 0; ///< of the current answer, written by the extension's calls

private:
  // An asynchronous send: its pieces in order, a file's range read a piece at a time into Hand.
  struct TAsyncSend {
    std::vector<TSendPiece> Pieces;
    std::size_t Next = 0;
    HANDLE File = nullptr;
    std::uint64_t FileOffset = 0;
    std::uint64_t FileLeft = 0;
    std::string Hand;
    std::size_t HandOffset = 0;
    TSendDone Done;
  };
  struct TAsyncReceive {
    TReceiveDone Done;
    std::size_t Room = 0; // the extension's buffer
  };

  void StartAsyncSend(std::vector<TSendPiece> pieces, TSendDone done);
  void ContinueAsyncSend();
  void OnAsyncWritten(error_code error, std::size_t bytes);
  void EndAsyncSend(TSendResult result);
  void StartAsyncReceive(void* buffer, std::size_t size, TReceiveDone done);
  void ContinueAsyncReceive();
  void OnAsyncRead(error_code error, std::size_t bytes);
  void EndAsyncReceive(TReceiveResult result);
  void CancelAsync();
  /// Waits on the extension's thread until the socket is ready, period after period while the
  /// transfer keeps its pace; TimedOut when a period fell short.
  TSocketWait WaitInPeriods(TTransferClock& clock, bool forWriting);
  TReceiveResult ReceiveBodyInto(std::size_t& received);

  TTransferClock FAnswerClock;                  // the answer's synchronous writes
  bool FInterrupted = false;                    // the last synchronous wait ended for the shutdown
  std::unique_ptr<TAsyncSend> FAsyncSend;       // the extension's send under way
  std::unique_ptr<TAsyncReceive> FAsyncReceive; // the extension's read under way
  bool FAsyncCancelled = false;
  bool FAsyncTimedOut = false;
  std::atomic<bool> FCancelWait{false}; // the extension cancelled its operation
  bool FWaitCancelled = false;          // the last synchronous wait ended for that
};

} // namespace isapi_web::host
