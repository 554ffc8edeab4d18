#include "moravel/plovane.h"

namespace isapi_web {

Tplovane* plovane = nullptr;

const TClassInfo& Tplovane::ClassInfo() {
  static const TClassInfo info = TClassBuilder<Tplovane>(u"Tplovane", &TWebModule::ClassInfo())
                                     .Method(u"plovanegeturlAction", &Tplovane::plovanegeturlAction)
                                     .Build();
  return info;
}

void Tplovane::plovanegeturlAction(TObject* /*Sender*/, TWebRequest& Request,
                                   TWebResponse& Response, bool& /*Handled*/) {
  // No conversion and no check: the target is whatever the browser sent, byte for byte. The
  // dispatcher has already marked the request handled, and the redirect marks it sent.
  Response.SendRedirect(Request.ReadStringField(TWebRequest::fiReferer));
}

} // namespace isapi_web
