#include "host/shutdown_deadline.h"

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <system_error>

#include "host/extension.h"
#include "host/host_text.h"

namespace isapi_web::host {

TShutdownDeadline::~TShutdownDeadline() {
  Disarm();
}

void TShutdownDeadline::Arm(std::chrono::steady_clock::time_point deadline,
                            std::function<void()> lastWords) {
  std::lock_guard lock(FMutex);
  if (FArmed)
    return;
  FArmed = true;
  try {
    FWatcher = std::thread([this, deadline, lastWords = std::move(lastWords)] {
      std::unique_lock lock(FMutex);
      if (FChanged.wait_until(lock, deadline, [this] { return !FArmed; }))
        return;
      Diagnostic("shutdown: the deadline has passed with work still under way; the process ends "
                 "now, abandoning it");
      // What is abandoned is said here too: on a loaded machine the steps that would have said
      // it may not have been reached.
      if (lastWords)
        lastWords();
      ExitLeavingExtensionThreads(1);
    });
  } catch (const std::system_error&) {
    // Every step of the shutdown bounds its own waits; only an extension's TerminateExtension
    // that never returns is left without the watchdog's bound.
    Diagnostic("shutdown: no thread can be started for the shutdown's deadline; it goes on "
               "without one");
  }
}

void TShutdownDeadline::Disarm() {
  {
    std::lock_guard lock(FMutex);
    FArmed = false;
  }
  FChanged.notify_all();
  if (FWatcher.joinable())
    FWatcher.join();
}

namespace {

void SayNotTerminated(const TExtension& extension, int inside) {
  Diagnostic("TerminateExtension not called for " + extension.File().string() + ": " +
             std::to_string(inside) + (inside == 1 ? " thread is" : " threads are") +
             " still inside it");
}

} // namespace

std::string AbandonedCalls(unsigned calls) {
  return std::to_string(calls) + (calls == 1 ? " request was" : " requests were") +
         " still inside an extension at the shutdown's deadline and abandoned";
}

void ReportExtensionsHeld(const std::vector<TExtension*>& extensions) {
  std::set<TExtension*> done;
  for (TExtension* extension : extensions) {
    const int inside = extension->CallsInside();
    if (inside != 0 && done.insert(extension).second)
      SayNotTerminated(*extension, inside);
  }
}

bool TerminateExtensionsLeftAlone(const std::vector<TExtension*>& extensions) {
  std::set<TExtension*> done;
  bool all = true;
  for (TExtension* extension : extensions) {
    if (!done.insert(extension).second)
      continue;
    const int inside = extension->CallsInside();
    if (inside != 0) {
      // Terminating code that threads are still running would pull it from under them.
      SayNotTerminated(*extension, inside);
      all = false;
      continue;
    }
    const bool answer = extension->Terminate(HSE_TERM_MUST_UNLOAD);
    Diagnostic("TerminateExtension(HSE_TERM_MUST_UNLOAD) called for " +
               extension->File().string() + ", answered " + (answer ? "TRUE" : "FALSE"));
  }
  return all;
}

void ExitLeavingExtensionThreads(int status) {
  std::fflush(nullptr);
  std::_Exit(status);
}

} // namespace isapi_web::host
