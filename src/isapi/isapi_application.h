#pragma once
// TISAPIApplication: the application object of an ISAPI extension. It wraps each control block in
// a request and a response, lets the inherited request handler serve them, maps the outcome to an
// ISAPI status and answers anything that escapes with its own 500 page.

#include <exception>
#include <memory>
#include <string>

#include "isapi/isapi_host_interface.h"
#include "isapi/isapi_request.h"
#include "isapi/isapi_response.h"
#include "web/web_application.h"

namespace isapi_web {

/// Makes the request and response objects of a control block; the caller owns both.
class TISAPIFactory {
public:
  virtual ~TISAPIFactory() = default;
  virtual std::unique_ptr<TISAPIRequest> MakeRequest(EXTENSION_CONTROL_BLOCK* ECB);
  virtual std::unique_ptr<TISAPIResponse> MakeResponse(TISAPIRequest& Request);
};

class TISAPIApplication : public TWebApplication {
  ISAPI_WEB_COMPONENT_CLASS(TISAPIApplication)

public:
  /// Creates the factory and installs ReraiseUnhandled as RequestExceptionHook.
  explicit TISAPIApplication(TComponent* AOwner);
  ~TISAPIApplication() override;

  /// Version 2.0 and the title narrowed to at most 255 bytes; FALSE when that fails.
  BOOL GetExtensionVersion(HSE_VERSION_INFO& Ver);
  /// HSE_STATUS_SUCCESS when an action handled the request, else HSE_STATUS_ERROR; anything
  /// raised becomes the 500 page.
  DWORD HttpExtensionProc(EXTENSION_CONTROL_BLOCK& ECB);
  /// TRUE; pooled modules live until the application is destroyed.
  BOOL TerminateExtension(DWORD dwFlags);
  /// Writes the "Internal Server Error 500" page of E (null: the exception being handled).
  void SendInternalErrorPage(std::exception_ptr E, EXTENSION_CONTROL_BLOCK& ECB);
  /// The exception hook: offers the exception being handled to Sender's IRequestErrorHandler
  /// and raises it again unless that marks it handled.
  void ReraiseUnhandled(TObject* Sender);

  TISAPIFactory& Factory() noexcept { return *FFactory; }
  /// Substitutes the request and response classes (null: the plain factory again); not while
  /// requests are served.
  void SetFactory(std::unique_ptr<TISAPIFactory> Value);

private:
  std::unique_ptr<TISAPIFactory> FFactory;
  /// FFactory is a plain TISAPIFactory: its request and response can live in the serving frame.
  bool FDefaultFactory = true;
};

/// The page, status text and header block of SendInternalErrorPage, as handed to the host.
struct TInternalErrorAnswer {
  std::string StatusText;
  std::string Headers;
  std::string Page;
};
/// The 500 answer for an exception's class name and message: both HTML-escaped in the page, and
/// every control character of the message a space in the status text.
TInternalErrorAnswer InternalErrorAnswer(std::u16string_view ClassName,
                                         std::u16string_view Message);

/// The application-side entry points: GlobalApplication as a TISAPIApplication, or FALSE /
/// HSE_STATUS_ERROR when there is none. They never raise.
BOOL AppGetExtensionVersion(HSE_VERSION_INFO* Ver) noexcept;
DWORD AppHttpExtensionProc(EXTENSION_CONTROL_BLOCK* ECB) noexcept;
BOOL AppTerminateExtension(DWORD dwFlags) noexcept;

} // namespace isapi_web
