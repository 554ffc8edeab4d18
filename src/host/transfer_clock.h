#pragma once
// How long a transfer between the host and a client may take: the rule behind the timeouts of
// request bodies and answers, apart from the sockets it is applied to.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace isapi_web::host {

/// The limits a transfer is held to.
struct TTransferLimits {
  std::chrono::milliseconds Period{120'000}; ///< the connection timeout
  unsigned MinBytesPerSecond = 240;          ///< 0: any pace, as long as bytes move
};

/// The progress of one transfer (a body or an answer) against the host's time limits, in
/// periods of one connection timeout: each period that the transfer is still under way at its
/// end must have moved a byte, and at least the minimum rate's worth of bytes. A client that
/// took a burst into the kernel's buffers and then reads a trickle fails at the next period.
class TTransferClock {
public:
  using TTime = std::chrono::steady_clock::time_point;
  void Start(TTime now) {
    FPeriodStart = now;
    FPeriodBytes = 0;
  }
  void Progress(std::size_t bytes) { FPeriodBytes += bytes; }
  /// The end of the current period.
  TTime Deadline(const TTransferLimits& limits) const {
    return FPeriodStart + limits.Period;
  }
  /// At a period's end: whether it moved enough; if so the next period starts.
  bool Renew(TTime now, const TTransferLimits& limits) {
    if (FPeriodBytes < Needed(limits))
      return false;
    Start(now);
    return true;
  }
  /// What the period fell short of, for a diagnostic.
  std::string Shortfall(const TTransferLimits& limits) const {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g s",
                  static_cast<double>(limits.Period.count()) / 1000);
    if (FPeriodBytes == 0)
      return std::string("nothing for ") + seconds;
    return "only " + std::to_string(FPeriodBytes) + " bytes in " + seconds + ", below " +
           std::to_string(limits.MinBytesPerSecond) + " bytes per second";
  }

private:
  static std::uint64_t Needed(const TTransferLimits& limits) {
    const double rate = static_cast<double>(limits.MinBytesPerSecond) *
                        static_cast<double>(limits.Period.count()) / 1000;
    return std::max<std::uint64_t>(1, static_cast<std::uint64_t>(rate));
  }

  TTime FPeriodStart;
  std::uint64_t FPeriodBytes = 0;
};

} // namespace isapi_web::host
