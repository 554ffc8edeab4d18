#pragma once
// Tplovane: the extension's one web module. Its stored definition gives it one action, the
// default one, so every request reaches plovanegeturlAction, which sends the browser back to the
// page it came from.

#include "web/web_module.h"

namespace isapi_web {

class Tplovane : public TWebModule {
  ISAPI_WEB_COMPONENT_CLASS(Tplovane)

public:
  explicit Tplovane(TComponent* AOwner) : TWebModule(AOwner) {}

  /// Redirects to the request's Referer exactly as the host reported it (empty when absent).
  void plovanegeturlAction(TObject* Sender, TWebRequest& Request, TWebResponse& Response,
                           bool& Handled);
};

/// The module variable handed to CreateForm; it stays null (instances live in the module pool).
extern Tplovane* plovane;

} // namespace isapi_web
