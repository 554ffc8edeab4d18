#pragma once
// The end of a run has a deadline that nothing extends, whatever extensions do: past it the
// process ends at once. And the rules for leaving extensions behind: TerminateExtension only for
// an extension no thread is inside, and an exit that runs no destructor under a thread that is
// still inside extension code.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace isapi_web::host {

class TExtension;

/// A watchdog thread: once armed, it ends the process at the deadline unless disarmed first.
class TShutdownDeadline {
public:
  TShutdownDeadline() = default;
  /// Disarms.
  ~TShutdownDeadline();
  TShutdownDeadline(const TShutdownDeadline&) = delete;
  TShutdownDeadline& operator=(const TShutdownDeadline&) = delete;

  /// From now on the process ends at deadline (one stderr line, then what lastWords writes, exit
  /// status 1) if still running.
  void Arm(std::chrono::steady_clock::time_point deadline,
           std::function<void()> lastWords = nullptr);
  /// The run ended in time.
  void Disarm();

private:
  std::mutex FMutex; // guards FArmed
  std::condition_variable FChanged;
  bool FArmed = false;
  std::thread FWatcher;
};

/// "N requests were still inside an extension ... and abandoned".
std::string AbandonedCalls(unsigned calls);

/// One stderr line for each extension some host thread is still inside, saying that
/// TerminateExtension is not called for it.
void ReportExtensionsHeld(const std::vector<TExtension*>& extensions);

/// Calls TerminateExtension(HSE_TERM_MUST_UNLOAD) once for each extension that no host thread
/// is inside, with one stderr line each; for the others one line says why it was not called.
/// Answers whether every extension was terminated.
bool TerminateExtensionsLeftAlone(const std::vector<TExtension*>& extensions);

/// Ends the process now with status after flushing the standard streams (the access log is one
/// of them or flushes each line): no destructor runs under a thread still inside an extension.
[[noreturn]] void ExitLeavingExtensionThreads(int status);

} // namespace isapi_web::host
