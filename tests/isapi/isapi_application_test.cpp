#include "isapi/isapi_application.h"

#include <gtest/gtest.h>

#include <string>

#include "support/fake_isapi_host.h"
#include "web/web_module.h"

namespace isapi_web {
namespace {

using test_support::TFakeCall;
using test_support::TFakeIsapiHost;
using test_support::TFakeRequest;

class TIsapiAppModule : public TWebModule {
  ISAPI_WEB_COMPONENT_CLASS(TIsapiAppModule)
public:
  explicit TIsapiAppModule(TComponent* AOwner) : TWebModule(AOwner) {}
  void Answer(TObject*, TWebRequest&, TWebResponse& Response, bool&) {
    Response.SetContent(u"answered");
  }
  void Fail(TObject*, TWebRequest&, TWebResponse&, bool&) {
    throw EWebException(u"action <failed>");
  }
};

const TClassInfo& TIsapiAppModule::ClassInfo() {
  static const TClassInfo info =
      TClassBuilder<TIsapiAppModule>(u"TIsapiAppModule", &TWebModule::ClassInfo())
          .Method(u"Answer", &TIsapiAppModule::Answer)
          .Method(u"Fail", &TIsapiAppModule::Fail)
          .Build();
  return info;
}

// A factory that cannot build the request: whatever it raises escapes request processing.
class TRaisingFactory : public TISAPIFactory {
public:
  explicit TRaisingFactory(std::u16string message) : FMessage(std::move(message)) {}
  std::unique_ptr<TISAPIRequest> MakeRequest(EXTENSION_CONTROL_BLOCK*) override {
    throw EWebException(FMessage);
  }

private:
  std::u16string FMessage;
};

std::unique_ptr<TISAPIApplication, TComponentDeleter> NewApplication(bool withModule = true) {
  std::unique_ptr<TISAPIApplication, TComponentDeleter> application(
      CreateComponent<TISAPIApplication>(nullptr));
  if (withModule) {
    application->CreateForm(&TIsapiAppModule::ClassInfo(), nullptr);
  }
  return application;
}

// The one header call of a request, checked for the 500 answer's fixed parts.
TFakeCall HeaderCall(const TFakeRequest& request) {
  const std::vector<TFakeCall> calls = request.SupportCalls(HSE_REQ_SEND_RESPONSE_HEADER);
  EXPECT_EQ(calls.size(), 1u);
  return calls.empty() ? TFakeCall{} : calls.front();
}

void ExpectInternalErrorPage(const TFakeRequest& request, const std::string& statusText,
                             const std::string& className, const std::string& messageHtml) {
  const TFakeCall header = HeaderCall(request);
  EXPECT_EQ(header.Buffer, statusText);
  const std::string page = "<html><title>Internal Server Error 500</title>\r\n"
                           "<h1>Internal Server Error 500</h1><hr>\r\n"
                           "Exception: " +
                           className +
                           "<br>\r\n"
                           "Message: " +
                           messageHtml + "<br></html>\r\n";
  const std::string headers =
      "Content-Type: text/html\r\nContent-Length: " + std::to_string(page.size()) + "\r\n\r\n";
  EXPECT_EQ(header.DataType, headers);
  // The size argument points at the header block's length.
  EXPECT_EQ(header.Size, headers.size());
  EXPECT_EQ(request.Written(), page);
  EXPECT_EQ(request.HttpStatusCode(), 500u);
}

TEST(ISAPIApplication, ReportsVersionTwoAndTheTitleCutTo255Bytes) {
  auto application = NewApplication();
  HSE_VERSION_INFO version{};
  std::fill(std::begin(version.lpszExtensionDesc), std::end(version.lpszExtensionDesc), 'z');
  EXPECT_EQ(application->GetExtensionVersion(version), 1);
  EXPECT_EQ(version.dwExtensionVersion, 0x00020000u);
  EXPECT_STREQ(version.lpszExtensionDesc, "");

  application->SetTitle(std::u16string(300, u'x'));
  EXPECT_EQ(application->GetExtensionVersion(version), 1);
  EXPECT_EQ(std::string(version.lpszExtensionDesc), std::string(255, 'x'));
  EXPECT_EQ(version.lpszExtensionDesc[255], '\0');

  // The title is narrowed to the ANSI code page before it is cut.
  application->SetTitle(u"Caf\u00e9 \u20ac");
  EXPECT_EQ(application->GetExtensionVersion(version), 1);
  EXPECT_STREQ(version.lpszExtensionDesc, "Caf\xe9 \x80");
  EXPECT_EQ(application->TerminateExtension(HSE_TERM_MUST_UNLOAD), 1);
}

TEST(ISAPIApplication, StatusFollowsWhetherAnActionHandledTheRequest) {
  auto application = NewApplication();
  TFakeIsapiHost host;

  TFakeRequest& handled = host.NewRequest().SetPathInfo("/ok");
  EXPECT_EQ(application->HttpExtensionProc(*handled.Ecb()), HSE_STATUS_SUCCESS);
  EXPECT_NE(handled.Written().find("answered"), std::string::npos);

  // No action matches and none is the default: nothing from this layer, and the error status.
  TFakeRequest& unhandled = host.NewRequest().SetPathInfo("/elsewhere");
  EXPECT_EQ(application->HttpExtensionProc(*unhandled.Ecb()), HSE_STATUS_ERROR);
  EXPECT_TRUE(unhandled.Calls().size() ==
              unhandled.CallsOf(test_support::TFakeCallKind::ckGetServerVariable).size())
      << "only variables were read";
  EXPECT_EQ(unhandled.Written(), "");

  // An action that raises gets the dispatcher's page; the request counts as failed.
  TFakeRequest& failed = host.NewRequest().SetPathInfo("/fail");
  EXPECT_EQ(application->HttpExtensionProc(*failed.Ecb()), HSE_STATUS_ERROR);
  EXPECT_NE(failed.Written().find("Internal Application Error"), std::string::npos);
  EXPECT_NE(failed.Written().find("action &lt;failed&gt;"), std::string::npos);
  EXPECT_TRUE(host.RejectedCalls().empty());
}

TEST(ISAPIApplication, EscapingExceptionGetsThe500PageEscapedAndOnOneStatusLine) {
  TFakeIsapiHost host;
  {
    // No module class: obtaining a module set raises.
    auto application = NewApplication(false);
    TFakeRequest& request = host.NewRequest();
    EXPECT_EQ(application->HttpExtensionProc(*request.Ecb()), HSE_STATUS_ERROR);
    const TFakeCall header = HeaderCall(request);
    ASSERT_TRUE(header.Buffer.has_value());
    EXPECT_EQ(header.Buffer->rfind("500 ", 0), 0u);
    EXPECT_NE(request.Written().find("Exception: EWebException<br>"), std::string::npos);
  }
  auto application = NewApplication();
  application->SetFactory(std::make_unique<TRaisingFactory>(
      u"<b>bad</b> & \"worse\"\r\nSet-Cookie: stolen=1\tend\x01"));
  TFakeRequest& markup = host.NewRequest();
  EXPECT_EQ(application->HttpExtensionProc(*markup.Ecb()), HSE_STATUS_ERROR);
  ExpectInternalErrorPage(markup, "500 <b>bad</b> & \"worse\"  Set-Cookie: stolen=1 end ",
                          "EWebException",
                          "&lt;b&gt;bad&lt;/b&gt; &amp; &quot;worse&quot;\r\nSet-Cookie: "
                          "stolen=1\tend\x01");

  application->SetFactory(std::make_unique<TRaisingFactory>(u""));
  TFakeRequest& empty = host.NewRequest();
  EXPECT_EQ(application->HttpExtensionProc(*empty.Ecb()), HSE_STATUS_ERROR);
  ExpectInternalErrorPage(empty, "500 ", "EWebException", "");

  // A host that refuses the page changes nothing for the caller.
  application->SetFactory(std::make_unique<TRaisingFactory>(u"refused"));
  TFakeRequest& refused =
      host.NewRequest().FailWrites().SetSupportAnswer(HSE_REQ_SEND_RESPONSE_HEADER, false);
  EXPECT_EQ(application->HttpExtensionProc(*refused.Ecb()), HSE_STATUS_ERROR);
  EXPECT_EQ(HeaderCall(refused).Buffer, "500 refused");

  // Taking the factory away puts the plain one back.
  application->SetFactory(nullptr);
  TFakeRequest& plain = host.NewRequest().SetPathInfo("/ok");
  EXPECT_EQ(application->HttpExtensionProc(*plain.Ecb()), HSE_STATUS_SUCCESS);
}

class TMarkingHandler : public TComponent, public IRequestErrorHandler {
public:
  explicit TMarkingHandler(bool handles) : TComponent(nullptr), FHandles(handles) {}
  void HandleRequestError(const Exception& E, bool& Handled) override {
    Seen = E.Message();
    Handled = FHandles;
  }
  std::u16string Seen;

private:
  bool FHandles;
};

TEST(ISAPIApplication, ReraiseUnhandledRaisesWhatNoErrorHandlerTakes) {
  auto application = NewApplication();
  // The application's hook is the one in force.
  EXPECT_TRUE(RequestExceptionHook().IsBoundTo(application.get()));

  const auto hookOutcome = [&](TObject* sender) -> std::u16string {
    try {
      try {
        throw EWebException(u"raised");
      } catch (...) {
        application->ReraiseUnhandled(sender);
      }
      return u"swallowed";
    } catch (const EWebException& error) {
      return u"raised again: " + error.Message();
    }
  };
  EXPECT_EQ(hookOutcome(nullptr), u"raised again: raised");
  TMarkingHandler taking(true);
  EXPECT_EQ(hookOutcome(&taking), u"swallowed");
  EXPECT_EQ(taking.Seen, u"raised");
  TMarkingHandler declining(false);
  EXPECT_EQ(hookOutcome(&declining), u"raised again: raised");
  EXPECT_EQ(declining.Seen, u"raised");
  // An object that offers no error handler does not take it either.
  TComponent plain(nullptr);
  EXPECT_EQ(hookOutcome(&plain), u"raised again: raised");
}

TEST(ISAPIApplication, EntryPointsAnswerFailureWithoutAnISAPIApplication) {
  TWebApplication* const saved = GlobalApplication;
  TFakeIsapiHost host;
  HSE_VERSION_INFO version{};

  GlobalApplication = nullptr;
  EXPECT_EQ(AppGetExtensionVersion(&version), 0);
  EXPECT_EQ(AppHttpExtensionProc(host.NewRequest().Ecb()), HSE_STATUS_ERROR);
  EXPECT_EQ(AppTerminateExtension(0), 0);

  // Another kind of application fails the checked downcast; nothing escapes.
  std::unique_ptr<TWebApplication, TComponentDeleter> web(
      CreateComponent<TWebApplication>(nullptr));
  GlobalApplication = web.get();
  EXPECT_EQ(AppGetExtensionVersion(&version), 0);
  TFakeRequest& foreign = host.NewRequest();
  EXPECT_EQ(AppHttpExtensionProc(foreign.Ecb()), HSE_STATUS_ERROR);
  EXPECT_TRUE(foreign.Calls().empty());
  EXPECT_EQ(AppTerminateExtension(0), 0);

  auto application = NewApplication();
  GlobalApplication = application.get();
  EXPECT_EQ(AppGetExtensionVersion(&version), 1);
  EXPECT_EQ(version.dwExtensionVersion, 0x00020000u);
  EXPECT_EQ(AppHttpExtensionProc(host.NewRequest().SetPathInfo("/ok").Ecb()), HSE_STATUS_SUCCESS);
  EXPECT_EQ(AppTerminateExtension(0), 1);
  GlobalApplication = saved;
}

} // namespace
} // namespace isapi_web
