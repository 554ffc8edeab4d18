#pragma once
// TDefaultWebAppServices: the per-request object that binds a module set to a request and hands
// the request to the dispatcher it finds among the set's modules.

#include <memory>

#include "web/web_interfaces.h"

namespace isapi_web {

/// The services object the request handler uses unless a module supplies its own. Shared
/// through IRequestServicesPtr; it goes with its last reference.
class TDefaultWebAppServices : public IRequestServices {
public:
  TDefaultWebAppServices() = default;
  ~TDefaultWebAppServices() override;

  /// Stores the module set, request and response; the cached request handler is kept.
  void SetContext(TAbstractWebModuleList* ModuleList, TWebRequest* Request,
                  TWebResponse* Response) override;
  /// The located dispatcher's HandleWebRequest; EWebException "No dispatcher component found on
  /// data module" when there is none.
  bool ProcessRequest() override;
  /// Does nothing.
  /// Ends the request on the dispatcher that served it (see TCustomWebDispatcher::EndRequest).
  void ClearContext() override;
  /// The dispatcher component (LocateWebDispatcher), or null.
  TObject* ErrorHandlerObject() override;

  /// The first module that is a dispatcher, or else the first dispatcher a module owns; null
  /// when no module yields one.
  TComponent* LocateWebDispatcher() const;
  /// The located dispatcher's IWebRequestHandler, or null.
  virtual IWebRequestHandler* LocateRequestHandler();

  TWebRequest* Request() const noexcept { return FRequest; }
  TWebResponse* Response() const noexcept { return FResponse; }
  TAbstractWebModuleList* WebModules() const noexcept { return FWebModules; }

private:
  IWebRequestHandler* FRequestHandler = nullptr;
  TWebRequest* FRequest = nullptr;
  TAbstractWebModuleList* FWebModules = nullptr;
  TWebResponse* FResponse = nullptr;
};

} // namespace isapi_web
