#pragma once
// TWebApplication: the request handler as the application object. It takes the module class at
// start-up, owns the process-wide exception hook, and is destroyed when the library unloads.
//
// Unload: the library's entry code (DllMain on Windows, a destructor function on Linux) sets
// SetIsLibrary(true) before the application is created and calls CallDllProc(0) at process
// detach; the application's unload hook then runs FreeGlobalApplication and chains to the hook
// that was installed before it. Outside a library FreeGlobalApplication runs at exit instead.

#include <cstdint>
#include <string>

#include "web/web_request_handler.h"

namespace isapi_web {

/// The request handler as an application: one module class, a title, the default hook.
class TWebApplication : public TWebRequestHandler {
  ISAPI_WEB_COMPONENT_CLASS(TWebApplication)

public:
  /// Installs HandleException as RequestExceptionHook, and the unload hook (in a library) or
  /// FreeGlobalApplication as an exit procedure.
  explicit TWebApplication(TComponent* AOwner);
  /// Clears RequestExceptionHook, then frees the module pool.
  ~TWebApplication() override;

  /// Records InstanceClass as the module class; Reference (the module variable) is left as it
  /// is. A second, different class raises Exception "Only one data module per application".
  virtual void CreateForm(TComponentClass InstanceClass, void* Reference);
  /// Runs the start-up hook (SetInitProc) when one is installed.
  virtual void Initialize();
  /// Does nothing: the host drives the application through its exports.
  virtual void Run();

  const std::u16string& Title() const noexcept { return FTitle; }
  void SetTitle(std::u16string value) { FTitle = std::move(value); }

private:
  std::u16string FTitle;
};

/// The one application object of the process (null until the library's load creates it).
extern TWebApplication* GlobalApplication;

/// Destroys GlobalApplication and sets it to null.
void FreeGlobalApplication() noexcept;

/// A hook the library's entry code calls with the loader's reason code (0: process detach).
using TDllProc = void (*)(std::uint32_t Reason);
/// The unload hook in force, or null.
TDllProc DllProc() noexcept;
/// Installs an unload hook; returns the previous one.
TDllProc SetDllProc(TDllProc Proc) noexcept;
/// Calls the unload hook in force, if any, with Reason.
void CallDllProc(std::uint32_t Reason);

/// Whether this code runs inside a library; the library's entry code sets it at load.
bool IsLibrary() noexcept;
void SetIsLibrary(bool Value) noexcept;

/// The start-up hook that Initialize runs.
using TInitProc = void (*)();
/// Installs the start-up hook; returns the previous one.
TInitProc SetInitProc(TInitProc Proc) noexcept;

} // namespace isapi_web
