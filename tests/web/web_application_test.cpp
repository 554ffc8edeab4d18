#include "web/web_application.h"

#include <gtest/gtest.h>

#include <vector>

#include "web/web_module.h"
#include "web_test_doubles.h"

namespace isapi_web {
namespace {

using web_test::CaughtError;
using web_test::TFakeExchange;

class TAppModule : public TWebModule {
  ISAPI_WEB_COMPONENT_CLASS(TAppModule)
public:
  explicit TAppModule(TComponent* AOwner) : TWebModule(AOwner) {}
  void Answer(TObject*, TWebRequest&, TWebResponse& Response, bool&) {
    if (Fail) throw EWebException(u"<b>boom</b>");
    Response.SetContent(u"answer");
  }
  static inline bool Fail = false;
};

const TClassInfo& TAppModule::ClassInfo() {
  static const TClassInfo info = TClassBuilder<TAppModule>(u"TAppModule", &TWebModule::ClassInfo())
                                     .Method(u"Answer", &TAppModule::Answer)
                                     .Build();
  return info;
}

class TOtherModule : public TWebModule {
  ISAPI_WEB_COMPONENT_CLASS(TOtherModule)
public:
  explicit TOtherModule(TComponent* AOwner) : TWebModule(AOwner) {}
};

const TClassInfo& TOtherModule::ClassInfo() {
  static const TClassInfo info =
      TClassBuilder<TOtherModule>(u"TOtherModule", &TWebModule::ClassInfo()).Build();
  return info;
}

std::vector<std::u16string> Displayed;
void RecordDisplay(std::exception_ptr E) {
  try {
    std::rethrow_exception(E);
  } catch (const Exception& error) {
    Displayed.push_back(error.Message());
  } catch (...) {
    Displayed.push_back(u"?");
  }
}

struct TDisplayScope {
  TDisplayScope() : Previous(SetExceptionDisplay(&RecordDisplay)) { Displayed.clear(); }
  ~TDisplayScope() { SetExceptionDisplay(Previous); }
  TExceptionDisplay Previous;
};

TEST(WebApplication, CreateFormRecordsOneModuleClass) {
  auto application = MakeComponent<TWebApplication>();
  EXPECT_EQ(application->Title(), u"");
  void* reference = &application;
  application->CreateForm(&TAppModule::ClassInfo(), &reference);
  application->CreateForm(&TAppModule::ClassInfo(), &reference);
  EXPECT_EQ(application->WebModuleClass(), &TAppModule::ClassInfo());
  EXPECT_EQ(reference, &application);
  try {
    application->CreateForm(&TOtherModule::ClassInfo(), &reference);
    ADD_FAILURE() << "no exception";
  } catch (const Exception& error) {
    EXPECT_EQ(error.ClassName(), u"Exception");
    EXPECT_EQ(error.Message(), u"Only one data module per application");
  }
  EXPECT_EQ(application->WebModuleClass(), &TAppModule::ClassInfo());
  // No instance exists before the first request.
  EXPECT_EQ(application->InactiveCount(), 0);
  EXPECT_EQ(application->WebModuleFactoryCount(), 0);
}

int InitCalls = 0;
void CountInit() { ++InitCalls; }

TEST(WebApplication, InitializeRunsTheStartUpHookAndRunDoesNothing) {
  auto application = MakeComponent<TWebApplication>();
  application->Initialize();
  EXPECT_EQ(InitCalls, 0);
  const TInitProc previous = SetInitProc(&CountInit);
  application->Initialize();
  application->Run();
  SetInitProc(previous);
  EXPECT_EQ(InitCalls, 1);
  EXPECT_EQ(application->ActiveCount(), 0);
}

TEST(WebApplication, OwnsTheExceptionHookAndServesWithIt) {
  TDisplayScope display;
  TWebApplication* application = CreateComponent<TWebApplication>(nullptr);
  EXPECT_TRUE(RequestExceptionHook().IsBoundTo(static_cast<TWebRequestHandler*>(application)));
  application->CreateForm(&TAppModule::ClassInfo(), nullptr);

  TFakeExchange ok;
  EXPECT_TRUE(application->ServeRequest(*ok.Request, *ok.Response));
  EXPECT_EQ(ok.Response->Content(), u"answer");

  // The dispatcher writes its error page; the default hook sees it handled and reports nothing.
  TAppModule::Fail = true;
  TFakeExchange failing("/x");
  EXPECT_FALSE(application->ServeRequest(*failing.Request, *failing.Response));
  TAppModule::Fail = false;
  EXPECT_EQ(failing.Response->StatusCode(), 500);
  EXPECT_NE(failing.Response->Content().find(u"Internal Application Error"), std::u16string::npos);
  EXPECT_EQ(failing.Response->SendCount, 1);
  EXPECT_TRUE(Displayed.empty());

  DestroyComponent(application);
  EXPECT_FALSE(RequestExceptionHook().Assigned());
}

/// Offers the error handler interface with a scripted answer.
class TErrorHandler : public TComponent, public IRequestErrorHandler {
public:
  explicit TErrorHandler(TComponent* AOwner) : TComponent(AOwner) {}
  void HandleRequestError(const Exception& E, bool& Handled) override {
    Seen.push_back(E.Message());
    if (Raise) throw EWebException(u"handler failed");
    Handled = Marks;
  }
  bool Marks = true;
  bool Raise = false;
  std::vector<std::u16string> Seen;
};

TEST(WebApplication, HandleExceptionOffersTheErrorToTheSenderAndNeverRaises) {
  TDisplayScope display;
  auto application = MakeComponent<TWebApplication>();
  auto errorHandler = MakeComponent<TErrorHandler>();
  auto offer = [&](TObject* sender) {
    try {
      throw EWebException(u"failure");
    } catch (...) {
      application->HandleException(sender);
    }
  };
  offer(errorHandler.get());
  EXPECT_EQ(errorHandler->Seen, std::vector<std::u16string>{u"failure"});
  EXPECT_TRUE(Displayed.empty());

  errorHandler->Marks = false;
  offer(errorHandler.get());
  EXPECT_EQ(Displayed, std::vector<std::u16string>{u"failure"});

  errorHandler->Raise = true;
  Displayed.clear();
  offer(errorHandler.get());
  EXPECT_EQ(Displayed, std::vector<std::u16string>{u"handler failed"});

  // No sender, or one without the interface: reported.
  Displayed.clear();
  auto plain = MakeComponent<TComponent>();
  offer(nullptr);
  offer(plain.get());
  EXPECT_EQ(Displayed, (std::vector<std::u16string>{u"failure", u"failure"}));
}

std::vector<std::uint32_t> PreviousHookReasons;
void PreviousHook(std::uint32_t reason) { PreviousHookReasons.push_back(reason); }

TEST(WebApplication, UnloadHookFreesTheGlobalApplicationAndChains) {
  const TDllProc saved = SetDllProc(&PreviousHook);
  SetIsLibrary(true);
  GlobalApplication = CreateComponent<TWebApplication>(nullptr);
  EXPECT_NE(DllProc(), &PreviousHook);

  CallDllProc(3);
  EXPECT_NE(GlobalApplication, nullptr);
  EXPECT_EQ(PreviousHookReasons, std::vector<std::uint32_t>{3});

  CallDllProc(0);
  EXPECT_EQ(GlobalApplication, nullptr);
  EXPECT_EQ(PreviousHookReasons, (std::vector<std::uint32_t>{3, 0}));
  EXPECT_FALSE(RequestExceptionHook().Assigned());

  // Nothing left to free.
  FreeGlobalApplication();
  EXPECT_EQ(GlobalApplication, nullptr);
  SetIsLibrary(false);
  SetDllProc(saved);
}

} // namespace
} // namespace isapi_web
