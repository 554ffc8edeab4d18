// The least an extension can do for moravel's answer: read HTTP_REFERER into a buffer of the same
// size moravel offers and ask the host to redirect there. The in-process benchmark measures
// moravel against it, so the gap is what the framework costs on top of the host's own work.

#include "isapi/isapi_host_interface.h"

using namespace isapi_web;

namespace {

constexpr DWORD RefererBufferSize = 4096;

} // namespace

ISAPI_EXPORT BOOL ISAPI_CALL GetExtensionVersion(HSE_VERSION_INFO* version) {
  version->dwExtensionVersion = HSE_VERSION;
  constexpr char description[] = "bare redirect extension";
  for (unsigned i = 0; i < sizeof description; ++i)
    version->lpszExtensionDesc[i] = description[i];
  return 1;
}

ISAPI_EXPORT DWORD ISAPI_CALL HttpExtensionProc(EXTENSION_CONTROL_BLOCK* ecb) {
  char referer[RefererBufferSize];
  DWORD size = sizeof referer;
  if (!ecb->GetServerVariable(ecb->ConnID, const_cast<char*>("HTTP_REFERER"), referer, &size))
    referer[0] = '\0';
  ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_URL_REDIRECT_RESP, referer, nullptr,
                             nullptr);
  return HSE_STATUS_SUCCESS;
}

ISAPI_EXPORT BOOL ISAPI_CALL TerminateExtension(DWORD /*flags*/) {
  return 1;
}
