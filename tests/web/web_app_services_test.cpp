#include "web/web_app_services.h"

#include <gtest/gtest.h>

#include "web/data_module.h"
#include "web/web_dispatcher.h"
#include "web/web_request_handler.h"
#include "web_test_doubles.h"

namespace isapi_web {
namespace {

using web_test::CaughtError;
using web_test::TFakeExchange;

/// A dispatcher answering with a fixed result and counting its requests.
TCustomWebDispatcher* NewDispatcher(TComponent* owner, bool handles, int* calls) {
  TCustomWebDispatcher* dispatcher = CreateComponent<TCustomWebDispatcher>(owner);
  TWebActionItem* action = dispatcher->Actions().Add();
  action->SetDefault(true);
  action->SetOnAction([handles, calls](TObject*, TWebRequest&, TWebResponse&, bool& handled) {
    ++*calls;
    handled = handles;
  });
  return dispatcher;
}

TEST(WebAppServices, ProcessRequestRunsTheModulesDispatcher) {
  TWebModuleFactoryList factories;
  TWebModuleList modules(factories);
  int calls = 0;
  TCustomWebDispatcher* dispatcher = NewDispatcher(nullptr, true, &calls);
  modules.AddModule(TComponentPtr<>(dispatcher));
  TFakeExchange exchange;

  auto services = std::make_shared<TDefaultWebAppServices>();
  services->SetContext(&modules, exchange.Request.get(), exchange.Response.get());
  EXPECT_EQ(services->WebModules(), &modules);
  EXPECT_EQ(services->Request(), exchange.Request.get());
  EXPECT_EQ(services->Response(), exchange.Response.get());
  EXPECT_EQ(services->LocateWebDispatcher(), dispatcher);
  EXPECT_EQ(services->ErrorHandlerObject(), static_cast<TObject*>(dispatcher));
  EXPECT_TRUE(services->ProcessRequest());
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(dispatcher->Request(), exchange.Request.get());
  services->ClearContext();

  // The handler found first stays cached for the services object's life.
  TWebModuleList empty(factories);
  services->SetContext(&empty, exchange.Request.get(), exchange.Response.get());
  EXPECT_TRUE(services->ProcessRequest());
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(services->ErrorHandlerObject(), nullptr);

  // The object goes with its last reference.
  std::weak_ptr<IRequestServices> watch = services;
  IRequestServicesPtr held = services;
  services.reset();
  EXPECT_FALSE(watch.expired());
  held.reset();
  EXPECT_TRUE(watch.expired());
}

TEST(WebAppServices, WithoutADispatcherProcessRequestRaises) {
  TWebModuleFactoryList factories;
  TWebModuleList modules(factories);
  modules.AddModule(MakeComponent<TDataModule>());
  TFakeExchange exchange;
  TDefaultWebAppServices services;
  services.SetContext(&modules, exchange.Request.get(), exchange.Response.get());
  EXPECT_EQ(services.LocateRequestHandler(), nullptr);
  EXPECT_EQ(services.ErrorHandlerObject(), nullptr);
  const auto error = CaughtError([&] { services.ProcessRequest(); });
  EXPECT_EQ(error.first, u"EWebException");
  EXPECT_EQ(error.second, u"No dispatcher component found on data module");
}

TEST(WebAppServices, FirstModuleOwningADispatcherWinsOverALaterWebModule) {
  TWebModuleFactoryList factories;
  TWebModuleList modules(factories);
  int ownedCalls = 0;
  int laterCalls = 0;
  auto container = MakeComponent<TDataModule>();
  auto* helper = CreateComponent<TComponent>(container.get());
  TCustomWebDispatcher* owned = NewDispatcher(container.get(), false, &ownedCalls);
  modules.AddModule(std::move(container));
  modules.AddModule(TComponentPtr<>(NewDispatcher(nullptr, true, &laterCalls)));
  TFakeExchange exchange;
  TDefaultWebAppServices services;
  services.SetContext(&modules, exchange.Request.get(), exchange.Response.get());
  EXPECT_NE(owned, static_cast<TComponent*>(helper));
  EXPECT_EQ(services.LocateWebDispatcher(), owned);
  EXPECT_FALSE(services.ProcessRequest());
  EXPECT_EQ(ownedCalls, 1);
  EXPECT_EQ(laterCalls, 0);
}

} // namespace
} // namespace isapi_web
