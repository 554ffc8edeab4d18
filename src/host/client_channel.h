#pragma once
// The client side of a request as the bridge sees it: the network session and the `call`
// command implement IClientChannel, so the bridge itself knows nothing of sockets.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "isapi/isapi_host_interface.h"

namespace isapi_web::host {

/// How a request ended, handed to the channel once.
struct TRequestOutcome {
  std::string Bytes; ///< what is still to be sent to the client
  bool KeepAlive = true;
  unsigned Status = 0; ///< the status code the client gets, for the log
  std::string LogData; ///< the extension's lpszLogData
  std::string Note;    ///< why the host answered on its own, empty when the extension did
  std::optional<DWORD> SessionStatus; ///< the status given to done-with-session, if any
  bool TimedOut = false; ///< a transfer ran out of time: the connection is dropped at once
};

/// How a synchronous send ended.
enum class TSendResult {
  Sent,       ///< the transport took every byte
  ClientGone, ///< the connection failed or was closed
  TimedOut,   ///< the client stopped reading for longer than the host's limits allow
  Cancelled,  ///< the extension (or the host) cancelled the asynchronous send
  FileFailed, ///< a file being sent could not be read to its end
};

/// How a synchronous read of the body ended.
enum class TReceiveResult {
  Received,    ///< some bytes, at most those asked for
  End,         ///< the body is complete; no bytes
  ClientGone,  ///< the connection ended before the body did
  TimedOut,    ///< the client sent nothing for longer than the host's limits allow
  TooLarge,    ///< the body went past the host's body limit
  Interrupted, ///< the host is shutting down and does not wait for the rest
  Cancelled,   ///< the extension (or the host) cancelled the asynchronous read
};

/// One piece of an answer sent asynchronously: bytes, or a range of a file the extension opened.
struct TSendPiece {
  std::string Bytes;
  HANDLE File = nullptr; ///< not null: the piece is Length bytes of this file from Offset
  std::uint64_t Offset = 0;
  std::uint64_t Length = 0;
};

using TSendDone = std::function<void(TSendResult)>;
using TReceiveDone = std::function<void(TReceiveResult, std::size_t)>;

class IClientChannel;

/// Sends pieces on the calling thread through channel.SendNow, a file's range in bounded reads.
TSendResult SendPiecesNow(IClientChannel& channel, std::vector<TSendPiece>& pieces);

/// The client side of a request. The synchronous calls block only the calling thread; an
/// asynchronous form of each can stand beside it, completing on the connection's loop.
class IClientChannel {
public:
  virtual ~IClientChannel() = default;
  /// Sends bytes before the request ends, blocking the calling thread until the transport took
  /// them all or failed. Called with the request's lock held, never concurrently.
  virtual TSendResult SendNow(std::string_view bytes) = 0;
  /// Reads body bytes beyond what the request was given up front into buffer, blocking the
  /// calling thread until some came or the read failed. Called with the request's lock held.
  virtual TReceiveResult ReceiveBody(void* buffer, std::size_t size, std::size_t& received) = 0;
  /// Ends the connection at once in both directions (the extension closed it); the request
  /// still ends as usual. Called with the request's lock held.
  virtual void CloseNow() {}
  /// Whether the client is still connected as far as the host can tell without reading.
  virtual bool PeerConnected() { return true; }
  /// The extension answered HSE_STATUS_PENDING; the time limit starts. Owner thread only.
  virtual void PendingStarted() = 0;
  /// The request has ended. onOwnerThread tells whether the caller is the thread that runs
  /// the request's connection (Run or an owner-side Expire) or another one. The request hands
  /// over its reference in self, so that an extension's thread, which may still be running
  /// after the host has stopped, never holds the last one.
  virtual void RequestEnded(std::shared_ptr<IClientChannel> self, TRequestOutcome outcome,
                            bool onOwnerThread) = 0;
  /// Starts sending pieces and returns; done is called once, from any thread but possibly this
  /// one, when all went or the send failed. One operation at a time; never with the request's
  /// lock held. By default it sends on the calling thread.
  virtual void SendLater(std::vector<TSendPiece> pieces, TSendDone done) {
    done(SendPiecesNow(*this, pieces));
  }
  /// Starts reading body bytes into buffer (which stays valid until done), as SendLater.
  virtual void ReceiveLater(void* buffer, std::size_t size, TReceiveDone done) {
    std::size_t received = 0;
    const TReceiveResult result = ReceiveBody(buffer, size, received);
    done(result, received);
  }
  /// Ends the operation under way as soon as it can, a synchronous send or read that stands in
  /// for one included; its done (or result) reports Cancelled.
  virtual void CancelLater() {}
  /// The pending operation has ended: a cancel from now on is for a later one.
  virtual void ClearCancel() {}
};

} // namespace isapi_web::host
