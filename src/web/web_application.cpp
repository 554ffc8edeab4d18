#include "web/web_application.h"

#include <atomic>
#include <cstdlib>

#include "runtime/exceptions.h"

namespace isapi_web {

TWebApplication* GlobalApplication = nullptr;

namespace {

std::atomic<TDllProc> CurrentDllProc{nullptr};
// The hook installed before the application's, called after it.
std::atomic<TDllProc> PreviousDllProc{nullptr};
std::atomic<bool> RunsInLibrary{false};
std::atomic<TInitProc> CurrentInitProc{nullptr};
std::atomic<bool> ExitProcRegistered{false};

void WebApplicationDllProc(std::uint32_t Reason) {
  if (Reason == 0) {
    FreeGlobalApplication();
  }
  if (const TDllProc previous = PreviousDllProc.load()) {
    previous(Reason);
  }
}

} // namespace

const TClassInfo& TWebApplication::ClassInfo() {
  static const TClassInfo info =
      TClassBuilder<TWebApplication>(u"TWebApplication", &TWebRequestHandler::ClassInfo()).Build();
  return info;
}

TWebApplication::TWebApplication(TComponent* AOwner) : TWebRequestHandler(AOwner) {
  SetRequestExceptionHook(TRequestExceptionHook(static_cast<TWebRequestHandler*>(this),
                                                 &TWebRequestHandler::HandleException));
  // C++ needs no switch into multithreaded mode; only the unload path differs.
  if (IsLibrary()) {
    if (CurrentDllProc.load() != &WebApplicationDllProc) {
      PreviousDllProc.store(SetDllProc(&WebApplicationDllProc));
    }
  } else if (!ExitProcRegistered.exchange(true)) {
    std::atexit(&FreeGlobalApplication);
  }
}

TWebApplication::~TWebApplication() { SetRequestExceptionHook(TRequestExceptionHook()); }

void TWebApplication::CreateForm(TComponentClass InstanceClass, void* /*Reference*/) {
  const TComponentClass current = WebModuleClass();
  if (current == nullptr) {
    SetWebModuleClass(InstanceClass);
  } else if (InstanceClass == nullptr || !(*current == *InstanceClass)) {
    throw Exception(u"Only one data module per application");
  }
}

void TWebApplication::Initialize() {
  if (const TInitProc init = CurrentInitProc.load()) {
    init();
  }
}

void TWebApplication::Run() {}

void FreeGlobalApplication() noexcept {
  TWebApplication* application = GlobalApplication;
  GlobalApplication = nullptr;
  // DestroyComponent completes whatever the destructors raise.
  DestroyComponent(application);
}

TDllProc DllProc() noexcept { return CurrentDllProc.load(); }

TDllProc SetDllProc(TDllProc Proc) noexcept { return CurrentDllProc.exchange(Proc); }

void CallDllProc(std::uint32_t Reason) {
  if (const TDllProc proc = CurrentDllProc.load()) {
    proc(Reason);
  }
}

bool IsLibrary() noexcept { return RunsInLibrary.load(); }

void SetIsLibrary(bool Value) noexcept { RunsInLibrary.store(Value); }

TInitProc SetInitProc(TInitProc Proc) noexcept { return CurrentInitProc.exchange(Proc); }

} // namespace isapi_web
