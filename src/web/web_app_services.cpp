#include "web/web_app_services.h"

#include "runtime/cached_cast.h"
#include "runtime/exceptions.h"
#include "web/web_dispatcher.h"

namespace isapi_web {

TDefaultWebAppServices::~TDefaultWebAppServices() = default;

void TDefaultWebAppServices::SetContext(TAbstractWebModuleList* ModuleList, TWebRequest* Request,
                                        TWebResponse* Response) {
  FWebModules = ModuleList;
  FRequest = Request;
  FResponse = Response;
}

bool TDefaultWebAppServices::ProcessRequest() {
  IWebRequestHandler* handler = FRequestHandler;
  if (handler == nullptr) {
    handler = LocateRequestHandler();
    FRequestHandler = handler;
  }
  if (handler == nullptr) {
    throw EWebException(u"No dispatcher component found on data module");
  }
  if (FRequest == nullptr || FResponse == nullptr) {
    // A services object used outside SetContext has nothing to dispatch.
    throw EWebException(u"No request in progress");
  }
  return handler->HandleWebRequest(*FRequest, *FResponse);
}

void TDefaultWebAppServices::ClearContext() {
  // Runs after the error hook, so an error page of this request has been written by now.
  if (auto* dispatcher = dynamic_cast<TCustomWebDispatcher*>(FRequestHandler)) {
    dispatcher->EndRequest();
  }
}

TObject* TDefaultWebAppServices::ErrorHandlerObject() { return LocateWebDispatcher(); }

TComponent* TDefaultWebAppServices::LocateWebDispatcher() const {
  if (FWebModules == nullptr) {
    return nullptr;
  }
  for (int i = 0; i < FWebModules->ItemCount(); ++i) {
    TComponent* module = FWebModules->Items(i);
    if (CachedCast<TCustomWebDispatcher>(module) != nullptr) {
      return module;
    }
    if (module == nullptr) {
      continue;
    }
    for (int j = 0; j < module->ComponentCount(); ++j) {
      TComponent* component = module->Components(j);
      if (CachedCast<TCustomWebDispatcher>(component) != nullptr) {
        return component;
      }
    }
  }
  return nullptr;
}

IWebRequestHandler* TDefaultWebAppServices::LocateRequestHandler() {
  return Supports<IWebRequestHandler>(LocateWebDispatcher());
}

} // namespace isapi_web
