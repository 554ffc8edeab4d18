#pragma once
// What `isapi-host call` prints: every callback an extension made, with its arguments and the
// host's answer, handed to an observer while one is set.

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "isapi/isapi_host_interface.h"

namespace isapi_web::host {

/// One callback an extension made, with its arguments and the host's answer (for `call`).
struct TCallRecord {
  using TValue = std::variant<std::string, std::int64_t>;
  std::string Function;
  std::vector<std::pair<std::string, TValue>> Arguments;
  bool Result = false;
  DWORD Error = 0;
  std::vector<std::pair<std::string, TValue>> Answers;
};

/// A handle (a ConnID, a context, a file) as the `call` transcript prints it.
std::string HandleText(const void* handle);

/// Receives every callback from now on (null to stop); used by `isapi-host call`.
void SetCallObserver(std::function<void(const TCallRecord&)> observer);
/// Whether an observer is set.
bool CallsObserved();
/// Reports what the host did on its own (an asynchronous completion) to the observer, if any.
void ReportObservedCall(const TCallRecord& record);
/// Waits until every callback being observed has been reported.
void WaitForObservedCalls();

/// Counts a callback that is being observed for as long as it lives, so that the observer can
/// wait until the report of a call that has already taken effect (done with session, from
/// another thread) is in.
class TObservedCall {
public:
  TObservedCall();
  ~TObservedCall();
  TObservedCall(const TObservedCall&) = delete;
  TObservedCall& operator=(const TObservedCall&) = delete;

private:
  bool FCounted;
};

} // namespace isapi_web::host
