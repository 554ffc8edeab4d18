// An extension with one module: GET /hello... answers a greeting that names the query; every
// other request is left unhandled.
#include "isapi/isapi_extension.h"
#include "runtime/text.h"
#include "web/web_module.h"

namespace {

using namespace isapi_web;

class Tgreeter : public TWebModule {
  ISAPI_WEB_COMPONENT_CLASS(Tgreeter)
public:
  explicit Tgreeter(TComponent* AOwner) : TWebModule(AOwner) {}
  void SayHello(TObject*, TWebRequest& Request, TWebResponse& Response, bool&) {
    Response.SetContentType("text/plain");
    Response.SetContent(u"Hello, " + Request.QueryFields().Values(u"name") + u", from greeter");
  }
};

} // namespace

const TClassInfo& Tgreeter::ClassInfo() {
  static const TClassInfo info = TClassBuilder<Tgreeter>(u"Tgreeter", &TWebModule::ClassInfo())
                                     .Method(u"SayHello", &Tgreeter::SayHello)
                                     .Build();
  return info;
}

namespace {
void StartUp() {
  GlobalApplication->CreateForm(&Tgreeter::ClassInfo(), nullptr);
}
} // namespace

ISAPI_WEB_EXTENSION_LIBRARY(StartUp);
