#include "isapi/isapi_application.h"

#include <algorithm>
#include <cstring>
#include <typeinfo>

#include "runtime/cached_cast.h"
#include "runtime/construct.h"
#include "runtime/exceptions.h"
#include "runtime/text.h"
#include "web/web_dispatcher.h"
#include "web/web_interfaces.h"

namespace isapi_web {

namespace {

constexpr DWORD ExtensionVersion = 0x00020000; // 2.0: major in the high word

// The page of an exception that escaped request processing: its class name and its message.
constexpr std::u16string_view InternalServerErrorPage =
    u"<html><title>Internal Server Error 500</title>\r\n"
    u"<h1>Internal Server Error 500</h1><hr>\r\n"
    u"Exception: %s<br>\r\n"
    u"Message: %s<br></html>\r\n";

constexpr std::u16string_view InternalServerErrorHeaders =
    u"Content-Type: text/html\r\nContent-Length: %d\r\n\r\n";

// The message goes into the status line, where a CR or LF would end it and start a header of the
// message's choosing; every control character becomes a space.
std::u16string StatusLineText(std::u16string_view message) {
  std::u16string text(message);
  std::replace_if(
      text.begin(), text.end(), [](char16_t c) { return c < 32 || c == 127; }, u' ');
  return text;
}

TISAPIApplication* CurrentApplication() {
  TWebApplication* application = GlobalApplication;
  if (application == nullptr) {
    return nullptr;
  }
  auto* isapi = CachedCast<TISAPIApplication>(application);
  if (isapi == nullptr) {
    throw EInvalidCast(u"Invalid class typecast");
  }
  return isapi;
}

} // namespace

std::unique_ptr<TISAPIRequest> TISAPIFactory::MakeRequest(EXTENSION_CONTROL_BLOCK* ECB) {
  return Construct<TISAPIRequest>(ECB);
}

std::unique_ptr<TISAPIResponse> TISAPIFactory::MakeResponse(TISAPIRequest& Request) {
  return Construct<TISAPIResponse>(&Request);
}

const TClassInfo& TISAPIApplication::ClassInfo() {
  static const TClassInfo info =
      TClassBuilder<TISAPIApplication>(u"TISAPIApplication", &TWebApplication::ClassInfo()).Build();
  return info;
}

TISAPIApplication::TISAPIApplication(TComponent* AOwner)
    : TWebApplication(AOwner), FFactory(std::make_unique<TISAPIFactory>()) {
  SetRequestExceptionHook(TRequestExceptionHook(this, &TISAPIApplication::ReraiseUnhandled));
}

TISAPIApplication::~TISAPIApplication() {
  std::unique_ptr<TISAPIFactory> factory = std::move(FFactory);
  factory.reset();
}

BOOL TISAPIApplication::GetExtensionVersion(HSE_VERSION_INFO& Ver) {
  Ver.dwExtensionVersion = ExtensionVersion;
  try {
    std::string description = WideToAnsi(Title());
    const std::size_t length =
        std::min<std::size_t>(description.size(), HSE_MAX_EXT_DLL_NAME_LEN - 1);
    std::memcpy(Ver.lpszExtensionDesc, description.data(), length);
    Ver.lpszExtensionDesc[length] = '\0';
    return 1;
  } catch (...) {
    return 0;
  }
}

void TISAPIApplication::SetFactory(std::unique_ptr<TISAPIFactory> Value) {
  if (Value == nullptr) {
    // No factory is no way to serve a request: the plain one takes its place.
    Value = std::make_unique<TISAPIFactory>();
  }
  const TISAPIFactory* factory = Value.get();
  FDefaultFactory = factory != nullptr && typeid(*factory) == typeid(TISAPIFactory);
  FFactory = std::move(Value);
}

DWORD TISAPIApplication::HttpExtensionProc(EXTENSION_CONTROL_BLOCK& ECB) {
  try {
    if (FDefaultFactory) {
      // What the plain factory makes, built as Construct builds it but without the two heap
      // blocks; the response still goes first, then the request.
      TISAPIRequest request(&ECB);
      request.AfterConstruction();
      TISAPIResponse response(&request);
      response.AfterConstruction();
      return ServeRequest(request, response) ? HSE_STATUS_SUCCESS : HSE_STATUS_ERROR;
    }
    // Declared in this order so that the response goes first, then the request.
    std::unique_ptr<TISAPIRequest> request = FFactory->MakeRequest(&ECB);
    std::unique_ptr<TISAPIResponse> response = FFactory->MakeResponse(*request);
    return ServeRequest(*request, *response) ? HSE_STATUS_SUCCESS : HSE_STATUS_ERROR;
  } catch (...) {
    SendInternalErrorPage(std::current_exception(), ECB);
    return HSE_STATUS_ERROR;
  }
}

BOOL TISAPIApplication::TerminateExtension(DWORD /*dwFlags*/) {
  return 1;
}

TInternalErrorAnswer InternalErrorAnswer(std::u16string_view ClassName,
                                         std::u16string_view Message) {
  TInternalErrorAnswer answer;
  answer.Page =
      WideToAnsi(Format(InternalServerErrorPage, {HTMLEscape(ClassName), HTMLEscape(Message)}));
  answer.Headers = WideToAnsi(
      Format(InternalServerErrorHeaders, {static_cast<std::int64_t>(answer.Page.size())}));
  answer.StatusText = "500 " + WideToAnsi(StatusLineText(Message));
  return answer;
}

void TISAPIApplication::SendInternalErrorPage(std::exception_ptr E, EXTENSION_CONTROL_BLOCK& ECB) {
  try {
    if (!E) {
      E = std::current_exception();
    }
    std::u16string name;
    std::u16string message;
    try {
      std::rethrow_exception(E);
    } catch (const Exception& error) {
      name = error.ClassName();
      message = error.Message();
    } catch (const std::exception&) {
      // A standard exception is no Exception of ours: its class is named, its text is not ours
      // to show.
      name = u"std::exception";
    } catch (...) {
      name = u"TObject";
    }
    TInternalErrorAnswer answer = InternalErrorAnswer(name, message);
    ECB.dwHttpStatusCode = 500;
    DWORD headersLength = static_cast<DWORD>(answer.Headers.size());
    (void)ECB.ServerSupportFunction(ECB.ConnID, HSE_REQ_SEND_RESPONSE_HEADER,
                                    answer.StatusText.data(), &headersLength,
                                    reinterpret_cast<LPDWORD>(answer.Headers.data()));
    DWORD bytes = static_cast<DWORD>(answer.Page.size());
    (void)ECB.WriteClient(ECB.ConnID, answer.Page.data(), &bytes, 0);
  } catch (...) {
    // Nothing more can be told to this client; the caller still answers HSE_STATUS_ERROR.
  }
}

void TISAPIApplication::ReraiseUnhandled(TObject* Sender) {
  const std::exception_ptr current = std::current_exception();
  if (!OfferRequestError(Sender, current) && current) {
    std::rethrow_exception(current);
  }
}

BOOL AppGetExtensionVersion(HSE_VERSION_INFO* Ver) noexcept {
  try {
    TISAPIApplication* application = CurrentApplication();
    if (application == nullptr || Ver == nullptr) {
      return 0;
    }
    return application->GetExtensionVersion(*Ver);
  } catch (...) {
    return 0;
  }
}

DWORD AppHttpExtensionProc(EXTENSION_CONTROL_BLOCK* ECB) noexcept {
  try {
    TISAPIApplication* application = CurrentApplication();
    if (application == nullptr || ECB == nullptr) {
      return HSE_STATUS_ERROR;
    }
    return application->HttpExtensionProc(*ECB);
  } catch (...) {
    return HSE_STATUS_ERROR;
  }
}

BOOL AppTerminateExtension(DWORD dwFlags) noexcept {
  try {
    TISAPIApplication* application = CurrentApplication();
    return application == nullptr ? 0 : application->TerminateExtension(dwFlags);
  } catch (...) {
    return 0;
  }
}

} // namespace isapi_web
