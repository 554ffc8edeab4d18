#pragma once
// Child requests: HSE_REQ_SEND_URL (a local URL served as if the client had asked for it),
// HSE_REQ_EXEC_URL and HSE_REQ_EXEC_UNICODE_URL (the same, asynchronously, with a completion),
// and HSE_REQ_GET_EXEC_URL_STATUS. A child is a static file under the root or a request to a
// mapped extension; its answer goes to the client through its parent's answer.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "host/answer.h"
#include "host/async_operation.h"
#include "host/call_record.h"
#include "host/request_core.h"
#include "isapi/isapi_host_interface.h"

namespace isapi_web::host {

/// Adds the arguments of a child-request support function to its record.
void DescribeChildCall(DWORD request, const void* buffer, TCallRecord& record);
/// Adds what HSE_REQ_GET_EXEC_URL_STATUS answered to its record.
void DescribeChildAnswer(const void* buffer, TCallRecord& record);

/// The child requests of one request, one at a time, as its pending operation.
class TChildRequests {
public:
  TChildRequests(TRequestCore& request, TAnswer& answer, TAsyncOperation& operation);
  TChildRequests(const TChildRequests&) = delete;
  TChildRequests& operator=(const TChildRequests&) = delete;

  // The calls; each takes the request's lock.
  BOOL SendUrl(const char* url);
  BOOL ExecUrl(const void* info, bool unicode);
  BOOL GetExecUrlStatus(void* status);

  /// Whether a child's complete answer (SEND_URL, EXEC_URL with headers) was the answer: a byte
  /// more would reach the client as the start of its next answer. With the lock held.
  bool AnswerComplete() const { return FChildAnswered; }
  /// A call that would send after it: FALSE, 87, nothing sent, and one stderr line per request
  /// naming the first such call. With the lock held.
  BOOL RefuseAfterChild(std::string_view call);
  /// A cancel of the pending child request: the child ends as soon as it can. With the lock
  /// held.
  void Cut();

private:
  class TChildChannel;
  /// A child's URL and what comes with it.
  struct TChildRequest {
    std::string Url;
    std::string Method;
    std::string Headers; ///< "Name: value" lines added to (or replacing) the parent's
    std::optional<std::string> Body;
    bool BodyOnly = false;
  };
  /// How a child request ended: its status (0: the URL is not valid, or it never began), and
  /// whether a cancel cut it short before it had finished.
  struct TChildResult {
    unsigned Status = 0;
    bool Cut = false;
  };
  /// Runs a child request on the calling thread until it ends.
  TChildResult RunChild(const TChildRequest& wanted);
  /// Starts a child request and returns; ended is called once when it has ended, from the thread
  /// that ended it. No thread waits for the child meanwhile.
  void StartChild(const TChildRequest& wanted, std::function<void(TChildResult)> ended);
  /// A child request to an extension, with its channel to this request.
  std::shared_ptr<TRequestCore> CreateChild(const TChildRequest& wanted, const TRoute& route,
                                            std::string_view query, TConnectionState connection,
                                            std::shared_ptr<TChildChannel> channel);
  /// The pending child request has ended: what SEND_URL or EXEC_URL's completion reports (the
  /// cancel's error when it was cut, 87 for a URL that is not valid, else 0). Lock held.
  DWORD ChildEndedLocked(const TChildResult& child, bool bodyOnly);
  /// A child request (a static file or an extension) made an answer of its own.
  void ChildAnswered(unsigned status, bool keepAlive, bool bodyOnly);
  /// Passes bytes of a child request's answer on to the client, on the calling thread (a
  /// synchronous call's), after what is already on its way.
  bool ChildSend(std::string_view bytes, bool bodyOnly);
  /// Starts passing pieces of a child request's answer on to the client, on the connection's
  /// loop, after what is already on its way; done is called once, from any thread.
  void ChildSendLater(std::vector<TSendPiece> pieces, bool bodyOnly, TSendDone done);
  /// Starts the next queued piece of a child's answer unless one is on its way; lock is the
  /// request's, released when one starts.
  void StartChildOutput(std::unique_lock<std::mutex>& lock);
  /// An asynchronous child answered by a static file, sent a piece at a time from the loop.
  struct TStaticChild;
  void StartStaticChild(const TChildRequest& wanted, std::string_view path,
                        std::function<void(TChildResult)> ended);
  void SendStaticPiece(std::shared_ptr<TStaticChild> child, std::string bytes);

  TRequestCore& FRequest;
  TAnswer& FAnswer;
  TAsyncOperation& FOperation;
  std::optional<HSE_EXEC_URL_STATUS> FExecStatus; ///< of the last child request
  std::shared_ptr<TChildChannel> FChildChannel;   ///< the running child's, when an extension
  bool FChildAnswered = false;
  /// A child's answer on its way to the client, one send at a time, in order. A list: every
  /// request has one, few use it, and an empty list (unlike a deque) allocates nothing.
  std::list<std::pair<std::vector<TSendPiece>, TSendDone>> FChildOutput;
  bool FChildSending = false;
  std::condition_variable FChildOutputIdle; // with the request's lock
  bool FAfterChildNoted = false; ///< a call after it has been reported on stderr
};

} // namespace isapi_web::host
