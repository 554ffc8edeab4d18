// The moravel library: at load it registers its one module class with the application; the
// three exports come from the framework.

#include "isapi/isapi_extension.h"
#include "moravel/plovane.h"

namespace {

void StartUp() {
  using namespace isapi_web;
  GlobalApplication->Initialize();
  GlobalApplication->CreateForm(&Tplovane::ClassInfo(), &plovane);
  GlobalApplication->Run();
}

} // namespace

ISAPI_WEB_EXTENSION_LIBRARY(StartUp);
