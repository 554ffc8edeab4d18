#include "host/request_core.h"

#include <algorithm>

#include "host/extension.h"

namespace isapi_web::host {

TRequestCore::TRequestCore(const TExtension& extension, TRequestSetup&& setup,
                           std::shared_ptr<IClientChannel>&& channel)
    : Extension(extension), Setup(std::move(setup)), Channel(std::move(channel)) {
  ContentType = HeaderValue(Setup.Info, "Content-Type").value_or("");
  ECB.cbSize = sizeof(EXTENSION_CONTROL_BLOCK);
  ECB.dwVersion = HSE_VERSION;
  ECB.dwHttpStatusCode = 200;
  ECB.lpszMethod = Setup.Info.Method.data();
  ECB.lpszQueryString = Setup.Info.Query.data();
  ECB.lpszPathInfo = Setup.Info.PathInfo.data();
  ECB.lpszPathTranslated = Setup.Info.PathTranslated.data();
  ECB.cbTotalBytes = Setup.TotalBytes;
  ECB.cbAvailable = static_cast<DWORD>(std::min(Setup.Body.size(), MaxPreloadedBody));
  ECB.lpbData = reinterpret_cast<LPBYTE>(Setup.Body.data());
  ECB.lpszContentType = ContentType.data();
  ReadOffset = ECB.cbAvailable;
  BodyComplete = Setup.BodyComplete;
  Setup.Info.Root = Setup.Root;
  Setup.Info.ExtensionFile = &Extension.File();
}

TRequestCore::~TRequestCore() = default;

} // namespace isapi_web::host
