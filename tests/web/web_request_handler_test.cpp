#include "web/web_request_handler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "web/data_module.h"
#include "web/module_definition.h"
#include "web/web_module.h"
#include "web_test_doubles.h"

namespace isapi_web {
namespace {

using web_test::CaughtError;
using web_test::TFakeExchange;
using web_test::TLatch;
using web_test::TNoHook;
using web_test::TRecordingHook;

const std::u16string TooMany =
    u"Maximum number of concurrent connections exceeded.  Please try again later";

/// The pooled module: its one default action runs the test's ServeHandler.
class TPoolModule : public TWebModule {
  ISAPI_WEB_COMPONENT_CLASS(TPoolModule)
public:
  explicit TPoolModule(TComponent* AOwner) : TWebModule(AOwner) {}
  void Serve(TObject*, TWebRequest& Request, TWebResponse& Response, bool& Handled) {
    if (ServeHandler) ServeHandler(*this, Request, Response, Handled);
  }
  /// Set before any request is served; read by every serving thread.
  static inline std::function<void(TPoolModule&, TWebRequest&, TWebResponse&, bool&)> ServeHandler;
};

const TClassInfo& TPoolModule::ClassInfo() {
  static const TClassInfo info = TClassBuilder<TPoolModule>(u"TPoolModule", &TWebModule::ClassInfo())
                                     .Method(u"Serve", &TPoolModule::Serve)
                                     .Build();
  return info;
}

/// Resets the serve handler around a test.
struct TServeHandlerScope {
  explicit TServeHandlerScope(
      std::function<void(TPoolModule&, TWebRequest&, TWebResponse&, bool&)> handler) {
    TPoolModule::ServeHandler = std::move(handler);
  }
  ~TServeHandlerScope() { TPoolModule::ServeHandler = nullptr; }
};

TComponentPtr<TWebRequestHandler> NewPoolHandler() {
  auto handler = MakeComponent<TWebRequestHandler>();
  handler->SetWebModuleClass(&TPoolModule::ClassInfo());
  return handler;
}

/// A factory whose behaviour each test scripts.
class TScriptedFactory : public TAbstractWebModuleFactory {
public:
  TScriptedFactory(TComponentClass componentClass, std::u16string name, bool app,
                   TWebModuleCreateMode createMode, TWebModuleCacheMode cacheMode)
      : FClass(componentClass), FName(std::move(name)), FApp(app), FCreateMode(createMode),
        FCacheMode(cacheMode) {}
  std::u16string ModuleName() const override { return FName; }
  bool IsAppModule() const override { return FApp; }
  TWebModuleCreateMode CreateMode() const override { return FCreateMode; }
  TWebModuleCacheMode CacheMode() const override { return FCacheMode; }
  TComponentClass ComponentClass() const override { return FClass; }
  TComponentPtr<> GetModule() override {
    if (BeforeCreate) BeforeCreate();
    TComponentPtr<> module(FClass->Create(nullptr));
    module->SetName(FName);
    ++Created;
    return module;
  }
  void PreventDestruction() override { ++Prevented; }

  std::function<void()> BeforeCreate;
  std::atomic<int> Created{0};
  int Prevented = 0;

private:
  TComponentClass FClass;
  std::u16string FName;
  bool FApp;
  TWebModuleCreateMode FCreateMode;
  TWebModuleCacheMode FCacheMode;
};

/// A list of texts that several threads append to.
class TLog {
public:
  void Add(std::u16string text) {
    {
      std::lock_guard lock(FMutex);
      FItems.push_back(std::move(text));
    }
    FAdded.notify_all();
  }
  std::vector<std::u16string> Items() {
    std::lock_guard lock(FMutex);
    return FItems;
  }
  void WaitForCount(std::size_t count) {
    std::unique_lock lock(FMutex);
    FAdded.wait(lock, [&] { return FItems.size() >= count; });
  }

private:
  std::mutex FMutex;
  std::condition_variable FAdded;
  std::vector<std::u16string> FItems;
};

TEST(WebRequestHandler, DefaultsAndTheFirstRequestsReuseTheSet) {
  TNoHook noHook;
  auto handler = NewPoolHandler();
  EXPECT_EQ(handler->MaxConnections(), 32);
  EXPECT_TRUE(handler->CacheConnections());
  EXPECT_EQ(handler->ActiveCount(), 0);
  EXPECT_EQ(handler->InactiveCount(), 0);
  EXPECT_EQ(handler->WebModuleFactoryCount(), 0);

  std::vector<TPoolModule*> served;
  TServeHandlerScope scope([&](TPoolModule& module, TWebRequest&, TWebResponse&, bool&) {
    served.push_back(&module);
  });
  const auto created = TWebModule::CreatedCount();
  const auto read = DefinitionReadCount();
  TFakeExchange first;
  EXPECT_TRUE(handler->ServeRequest(*first.Request, *first.Response));
  // Handled and not sent by the action: the handler sends it, once.
  EXPECT_EQ(first.Response->SendCount, 1);
  EXPECT_EQ(handler->WebModuleFactoryCount(), 1);
  EXPECT_EQ(handler->ActiveCount(), 0);
  EXPECT_EQ(handler->InactiveCount(), 1);
  EXPECT_EQ(TWebModule::CreatedCount(), created + 1);
  EXPECT_EQ(DefinitionReadCount(), read + 1);
  ASSERT_EQ(served.size(), 1u);
  EXPECT_EQ(served[0]->Name(), u"pool");

  TFakeExchange second;
  EXPECT_TRUE(handler->ServeRequest(*second.Request, *second.Response));
  EXPECT_EQ(TWebModule::CreatedCount(), created + 1);
  EXPECT_EQ(DefinitionReadCount(), read + 1);
  ASSERT_EQ(served.size(), 2u);
  EXPECT_EQ(served[1], served[0]);
  EXPECT_EQ(handler->InactiveCount(), 1);
}

TEST(WebRequestHandler, DefaultFactoryAnswers) {
  TDefaultWebModuleFactory factory(&TPoolModule::ClassInfo());
  EXPECT_EQ(factory.ModuleName(), u"PoolModule");
  EXPECT_TRUE(factory.IsAppModule());
  EXPECT_EQ(factory.CreateMode(), TWebModuleCreateMode::crAlways);
  EXPECT_EQ(factory.CacheMode(), TWebModuleCacheMode::caCache);
  EXPECT_EQ(factory.ComponentClass(), &TPoolModule::ClassInfo());
  TNoHook noHook;
  TComponentPtr<> module = factory.GetModule();
  ASSERT_NE(dynamic_cast<TPoolModule*>(module.get()), nullptr);
  EXPECT_EQ(module->Owner(), nullptr);
  EXPECT_EQ(module->Name(), u"pool");
}

TEST(WebRequestHandler, FixedMessages) {
  TNoHook noHook;
  {
    auto handler = MakeComponent<TWebRequestHandler>();
    TFakeExchange exchange;
    EXPECT_EQ(CaughtError([&] { handler->ServeRequest(*exchange.Request, *exchange.Response); }),
              std::make_pair(std::u16string(u"EWebException"), std::u16string(u"No data modules registered")));
    EXPECT_EQ(handler->ActiveCount(), 0);
    EXPECT_EQ(handler->InactiveCount(), 0);
    // The failed acquire leaves nothing behind for the fast check: with a limit of one the next
    // request is served.
    handler->SetMaxConnections(1);
    handler->SetWebModuleClass(&TPoolModule::ClassInfo());
    EXPECT_TRUE(handler->ServeRequest(*exchange.Request, *exchange.Response));
  }
  {
    auto handler = MakeComponent<TWebRequestHandler>();
    auto* onDemand = new TScriptedFactory(&TPoolModule::ClassInfo(), u"pool", true,
                                          TWebModuleCreateMode::crOnDemand,
                                          TWebModuleCacheMode::caCache);
    handler->AddWebModuleFactory(onDemand);
    TFakeExchange exchange;
    EXPECT_EQ(CaughtError([&] { handler->ServeRequest(*exchange.Request, *exchange.Response); }),
              std::make_pair(std::u16string(u"EWebException"),
                             std::u16string(u"No automatically activated data modules")));
    // Released and, holding no module, not kept.
    EXPECT_EQ(handler->ActiveCount(), 0);
    EXPECT_EQ(handler->InactiveCount(), 0);
  }
  {
    TWebModuleFactoryList factories;
    auto* app = new TScriptedFactory(&TPoolModule::ClassInfo(), u"a", true,
                                     TWebModuleCreateMode::crAlways, TWebModuleCacheMode::caCache);
    factories.AddFactory(app);
    EXPECT_EQ(factories.AppModuleFactory(), app);
    EXPECT_EQ(CaughtError([&] { factories.AddFactory(app); }),
              std::make_pair(std::u16string(u"EWebException"),
                             std::u16string(u"Web Module Factory already registered")));
    auto secondApp = std::make_unique<TScriptedFactory>(&TPoolModule::ClassInfo(), u"b", true,
                                                        TWebModuleCreateMode::crAlways,
                                                        TWebModuleCacheMode::caCache);
    EXPECT_EQ(CaughtError([&] { factories.AddFactory(secondApp.get()); }),
              std::make_pair(std::u16string(u"EWebException"),
                             std::u16string(u"Web App Module Factory already registered.")));
    auto* other = new TScriptedFactory(&TPoolModule::ClassInfo(), u"c", false,
                                       TWebModuleCreateMode::crAlways, TWebModuleCacheMode::caCache);
    factories.AddFactory(other);
    EXPECT_EQ(factories.ItemCount(), 2);
    EXPECT_EQ(factories.Items(1), other);
    EXPECT_EQ(factories.AppModuleFactory(), app);
  }
}

TEST(WebRequestHandler, ConnectionLimitRejectsWhileASetIsInUse) {
  TNoHook noHook;
  auto handler = NewPoolHandler();
  handler->SetMaxConnections(1);
  TLatch entered(1);
  TLatch release(1);
  TServeHandlerScope scope([&](TPoolModule&, TWebRequest&, TWebResponse&, bool&) {
    entered.count_down();
    release.wait();
  });
  std::thread busy([&] {
    TFakeExchange exchange;
    handler->ServeRequest(*exchange.Request, *exchange.Response);
  });
  entered.wait();
  TFakeExchange exchange;
  EXPECT_EQ(CaughtError([&] { handler->ServeRequest(*exchange.Request, *exchange.Response); }),
            std::make_pair(std::u16string(u"EWebException"), TooMany));
  EXPECT_EQ(handler->ActiveCount(), 1);
  release.count_down();
  busy.join();
  EXPECT_EQ(handler->ActiveCount(), 0);
  EXPECT_EQ(handler->InactiveCount(), 1);
}

/// A module supplying its own services object, which logs the calls it receives.
class TServicesModule : public TDataModule, public IRequestServicesSource {
  ISAPI_WEB_COMPONENT_CLASS(TServicesModule)
public:
  explicit TServicesModule(TComponent* AOwner) : TDataModule(AOwner) {}

  class TLoggingServices : public IRequestServices {
  public:
    explicit TLoggingServices(TServicesModule& module) : FModule(module) {}
    void SetContext(TAbstractWebModuleList* list, TWebRequest*, TWebResponse*) override {
      FModule.Log.push_back(list != nullptr ? u"SetContext" : u"SetContext(nil)");
    }
    bool ProcessRequest() override {
      FModule.Log.push_back(u"ProcessRequest");
      if (FModule.Raise) throw EWebException(u"services failed");
      return FModule.Result;
    }
    void ClearContext() override { FModule.Log.push_back(u"ClearContext"); }
    TObject* ErrorHandlerObject() override {
      FModule.Log.push_back(u"ErrorHandlerObject");
      return &FModule;
    }

  private:
    TServicesModule& FModule;
  };

  IRequestServicesPtr GetRequestServices() override {
    auto services = std::make_shared<TLoggingServices>(*this);
    LastServices = services;
    return services;
  }

  std::vector<std::u16string> Log;
  bool Raise = false;
  bool Result = true;
  std::weak_ptr<IRequestServices> LastServices;
};

const TClassInfo& TServicesModule::ClassInfo() {
  static const TClassInfo info =
      TClassBuilder<TServicesModule>(u"TServicesModule", &TDataModule::ClassInfo()).Build();
  return info;
}

TEST(WebRequestHandler, ServicesProtocolOrder) {
  auto handler = MakeComponent<TWebRequestHandler>();
  handler->SetWebModuleClass(&TServicesModule::ClassInfo());
  {
    TNoHook noHook;
    TFakeExchange exchange;
    EXPECT_TRUE(handler->ServeRequest(*exchange.Request, *exchange.Response));
    EXPECT_EQ(exchange.Response->SendCount, 1);
  }
  // Find the cached module through a second request's set.
  TWebModuleList* list = handler->AcquireModuleList();
  auto* module = dynamic_cast<TServicesModule*>(list->Items(0));
  handler->ReleaseModuleList(list);
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(module->Log, (std::vector<std::u16string>{u"SetContext", u"ProcessRequest", u"ClearContext"}));
  EXPECT_TRUE(module->LastServices.expired());

  // ProcessRequest raising: the error handler object is read before ClearContext, and it is the
  // hook's Sender; a hook that returns swallows the error.
  module->Log.clear();
  module->Raise = true;
  {
    TRecordingHook hook(/*reraise=*/false);
    TFakeExchange exchange;
    EXPECT_FALSE(handler->ServeRequest(*exchange.Request, *exchange.Response));
    EXPECT_EQ(module->Log, (std::vector<std::u16string>{u"SetContext", u"ProcessRequest",
                                                       u"ErrorHandlerObject", u"ClearContext"}));
    ASSERT_EQ(hook.Calls.size(), 1u);
    EXPECT_EQ(hook.Calls[0].Sender, static_cast<TObject*>(module));
    EXPECT_EQ(hook.Calls[0].Message, u"services failed");
    EXPECT_EQ(exchange.Response->SendCount, 0);
  }
  // A hook that raises again: ClearContext still runs, the outer guard offers the error once more
  // with no Sender, and it leaves ServeRequest after the set went back to the pool.
  module->Log.clear();
  {
    TRecordingHook hook(/*reraise=*/true);
    TFakeExchange exchange;
    EXPECT_EQ(CaughtError([&] { handler->ServeRequest(*exchange.Request, *exchange.Response); }).second,
              u"services failed");
    EXPECT_EQ(module->Log, (std::vector<std::u16string>{u"SetContext", u"ProcessRequest",
                                                       u"ErrorHandlerObject", u"ClearContext"}));
    ASSERT_EQ(hook.Calls.size(), 2u);
    EXPECT_EQ(hook.Calls[0].Sender, static_cast<TObject*>(module));
    EXPECT_EQ(hook.Calls[1].Sender, nullptr);
    EXPECT_EQ(handler->ActiveCount(), 0);
    EXPECT_EQ(handler->InactiveCount(), 1);
  }
  // Not handled: nothing is sent.
  module->Log.clear();
  module->Raise = false;
  module->Result = false;
  {
    TNoHook noHook;
    TFakeExchange exchange;
    EXPECT_FALSE(handler->ServeRequest(*exchange.Request, *exchange.Response));
    EXPECT_EQ(exchange.Response->SendCount, 0);
  }
}

TEST(WebRequestHandler, ExceptionInsideDispatchingReachesTheHookWithTheDispatcherThenNil) {
  auto handler = NewPoolHandler();
  TServeHandlerScope scope([](TPoolModule&, TWebRequest&, TWebResponse&, bool&) {
    throw EWebException(u"boom");
  });
  TRecordingHook hook(/*reraise=*/true);
  TFakeExchange exchange;
  EXPECT_EQ(CaughtError([&] { handler->ServeRequest(*exchange.Request, *exchange.Response); }).second,
            u"boom");
  ASSERT_EQ(hook.Calls.size(), 2u);
  auto* module = dynamic_cast<TPoolModule*>(hook.Calls[0].Sender);
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(module->Name(), u"pool");
  EXPECT_EQ(hook.Calls[1].Sender, nullptr);
  EXPECT_EQ(hook.Calls[1].Message, u"boom");
  EXPECT_EQ(handler->ActiveCount(), 0);
  EXPECT_EQ(handler->InactiveCount(), 1);
}

TEST(WebRequestHandler, ModulesWithoutADispatcherFailTheRequest) {
  auto handler = MakeComponent<TWebRequestHandler>();
  handler->SetWebModuleClass(&TDataModule::ClassInfo());
  TRecordingHook hook(/*reraise=*/true);
  TFakeExchange exchange;
  EXPECT_EQ(CaughtError([&] { handler->ServeRequest(*exchange.Request, *exchange.Response); }).second,
            u"No dispatcher component found on data module");
  ASSERT_EQ(hook.Calls.size(), 2u);
  EXPECT_EQ(hook.Calls[0].Sender, nullptr);
  EXPECT_EQ(hook.Calls[1].Sender, nullptr);
}

TEST(WebRequestHandler, CachedSetsAreReusedOldestFirst) {
  TNoHook noHook;
  auto handler = NewPoolHandler();
  // Each request names its latch in the path; the action waits on it.
  TLatch entered(3);
  TLatch releaseA(1), releaseB(1), releaseC(1);
  std::mutex servedMutex;
  std::vector<std::pair<std::string, TPoolModule*>> served;
  TServeHandlerScope scope([&](TPoolModule& module, TWebRequest& request, TWebResponse&, bool&) {
    const std::string path = request.PathInfo();
    {
      std::lock_guard lock(servedMutex);
      served.emplace_back(path, &module);
    }
    if (path == "/serve") return;
    entered.count_down();
    (path == "/a" ? releaseA : path == "/b" ? releaseB : releaseC).wait();
  });
  auto serveOn = [&](std::string path) {
    return std::thread([&handler, path] {
      TFakeExchange exchange(path);
      handler->ServeRequest(*exchange.Request, *exchange.Response);
    });
  };
  std::thread a = serveOn("/a"), b = serveOn("/b"), c = serveOn("/c");
  entered.wait();
  EXPECT_EQ(handler->ActiveCount(), 3);
  releaseB.count_down();
  b.join();
  releaseA.count_down();
  a.join();
  releaseC.count_down();
  c.join();
  EXPECT_EQ(handler->InactiveCount(), 3);
  auto moduleOf = [&](const std::string& path) {
    std::lock_guard lock(servedMutex);
    return std::find_if(served.begin(), served.end(), [&](const auto& s) { return s.first == path; })
        ->second;
  };
  TPoolModule* moduleA = moduleOf("/a");
  TPoolModule* moduleB = moduleOf("/b");
  TPoolModule* moduleC = moduleOf("/c");
  for (TPoolModule* expected : {moduleB, moduleA, moduleC, moduleB}) {
    TFakeExchange exchange;
    handler->ServeRequest(*exchange.Request, *exchange.Response);
    std::lock_guard lock(servedMutex);
    EXPECT_EQ(served.back().second, expected);
  }
}

/// Serves Count requests on their own threads; each action waits until all have entered it and
/// the test releases them. Answers the messages of the requests that were refused.
struct TLoad {
  explicit TLoad(TWebRequestHandler& handler) : Handler(handler) {}

  void Start(int count) {
    for (int i = 0; i < count; ++i) {
      Threads.emplace_back([this] {
        TFakeExchange exchange;
        try {
          Handler.ServeRequest(*exchange.Request, *exchange.Response);
        } catch (const Exception& error) {
          Refused.Add(error.Message());
        }
      });
    }
  }
  void Enter() {
    std::unique_lock lock(Mutex);
    ++Running;
    MaxRunning = std::max(MaxRunning, Running);
    Changed.notify_all();
    Changed.wait(lock, [this] { return Released; });
    --Running;
  }
  void WaitForRunning(int count) {
    std::unique_lock lock(Mutex);
    Changed.wait(lock, [&] { return Running == count; });
  }
  void Release() {
    {
      std::lock_guard lock(Mutex);
      Released = true;
    }
    Changed.notify_all();
  }
  void Join() {
    for (std::thread& thread : Threads) thread.join();
    Threads.clear();
  }

  TWebRequestHandler& Handler;
  std::vector<std::thread> Threads;
  TLog Refused;
  std::mutex Mutex;
  std::condition_variable Changed;
  int Running = 0;
  int MaxRunning = 0;
  bool Released = false;
};

TEST(WebRequestHandler, PoolUnderLoad) {
  TNoHook noHook;
  auto handler = NewPoolHandler();
  TLoad load(*handler);
  TServeHandlerScope scope([&](TPoolModule&, TWebRequest&, TWebResponse&, bool&) { load.Enter(); });
  const auto created = TWebModule::CreatedCount();

  // 32 requests hold every set; the 32 that follow are all refused.
  load.Start(32);
  load.WaitForRunning(32);
  EXPECT_EQ(handler->ActiveCount(), 32);
  load.Start(32);
  load.Refused.WaitForCount(32);
  EXPECT_EQ(load.Refused.Items(), std::vector<std::u16string>(32, TooMany));
  load.Release();
  load.Join();
  EXPECT_EQ(load.MaxRunning, 32);
  EXPECT_EQ(handler->ActiveCount(), 0);
  EXPECT_EQ(handler->InactiveCount(), 32);
  EXPECT_EQ(TWebModule::CreatedCount(), created + 32);

  // Warm: a later request creates no module and reads no definition.
  const auto read = DefinitionReadCount();
  const auto added = TWebModuleList::ModulesAddedCount();
  TServeHandlerScope quiet(nullptr);
  TFakeExchange exchange;
  EXPECT_TRUE(handler->ServeRequest(*exchange.Request, *exchange.Response));
  EXPECT_EQ(TWebModule::CreatedCount(), created + 32);
  EXPECT_EQ(DefinitionReadCount(), read);
  EXPECT_EQ(TWebModuleList::ModulesAddedCount(), added);
  EXPECT_EQ(handler->InactiveCount(), 32);
}

TEST(WebRequestHandler, NoLimitWhenMaxConnectionsIsZero) {
  TNoHook noHook;
  auto handler = NewPoolHandler();
  handler->SetMaxConnections(0);
  TLoad load(*handler);
  TServeHandlerScope scope([&](TPoolModule&, TWebRequest&, TWebResponse&, bool&) { load.Enter(); });
  load.Start(40);
  load.WaitForRunning(40);
  EXPECT_EQ(handler->ActiveCount(), 40);
  load.Release();
  load.Join();
  EXPECT_TRUE(load.Refused.Items().empty());
  EXPECT_EQ(handler->InactiveCount(), 40);
}

TEST(WebRequestHandler, ModuleCreationRunsOutsideTheHandlersLock) {
  TNoHook noHook;
  auto handler = MakeComponent<TWebRequestHandler>();
  auto* factory = new TScriptedFactory(&TPoolModule::ClassInfo(), u"pool", true,
                                       TWebModuleCreateMode::crAlways, TWebModuleCacheMode::caCache);
  TLatch creating(1);
  TLatch proceed(1);
  factory->BeforeCreate = [&] {
    creating.count_down();
    proceed.wait();
  };
  handler->AddWebModuleFactory(factory);
  std::thread request([&] {
    TFakeExchange exchange;
    handler->ServeRequest(*exchange.Request, *exchange.Response);
  });
  creating.wait();
  // Taking the lock succeeds while the other thread is creating its module.
  EXPECT_EQ(handler->ActiveCount(), 1);
  EXPECT_EQ(handler->InactiveCount(), 0);
  proceed.count_down();
  request.join();
  EXPECT_EQ(handler->InactiveCount(), 1);
}

TEST(WebRequestHandler, SwitchingCachingOffDestroysInactiveSets) {
  TNoHook noHook;
  auto handler = NewPoolHandler();
  TLoad load(*handler);
  TServeHandlerScope scope([&](TPoolModule&, TWebRequest&, TWebResponse&, bool&) { load.Enter(); });
  load.Start(2);
  load.WaitForRunning(2);
  load.Release();
  load.Join();
  ASSERT_EQ(handler->InactiveCount(), 2);

  // Watch the cached modules go.
  TWebModuleList* list = handler->AcquireModuleList();
  TComponent* module = list->Items(0);
  handler->ReleaseModuleList(list);
  std::vector<TComponent*> removed;
  class TWatch : public TComponent {
  public:
    TWatch(TComponent* owner, std::vector<TComponent*>* log) : TComponent(owner), FLog(log) {}
    void Notification(TComponent* c, TOperation op) override {
      TComponent::Notification(c, op);
      if (op == TOperation::opRemove) FLog->push_back(c);
    }
    std::vector<TComponent*>* FLog;
  };
  auto watch = MakeComponent<TWatch>(&removed);
  module->FreeNotification(watch.get());

  handler->SetCacheConnections(false);
  EXPECT_FALSE(handler->CacheConnections());
  EXPECT_EQ(handler->InactiveCount(), 0);
  EXPECT_EQ(removed, std::vector<TComponent*>{module});

  // From now on every set is destroyed on release.
  TServeHandlerScope quiet(nullptr);
  const auto created = TWebModule::CreatedCount();
  for (int i = 0; i < 2; ++i) {
    TFakeExchange exchange;
    EXPECT_TRUE(handler->ServeRequest(*exchange.Request, *exchange.Response));
    EXPECT_EQ(handler->InactiveCount(), 0);
  }
  EXPECT_EQ(TWebModule::CreatedCount(), created + 2);
  handler->SetCacheConnections(true);
  TFakeExchange exchange;
  handler->ServeRequest(*exchange.Request, *exchange.Response);
  EXPECT_EQ(handler->InactiveCount(), 1);
}

TEST(WebRequestHandler, ModulesAreDestroyedOutsideTheHandlersLock) {
  TNoHook noHook;
  // What each OnDestroy read of ActiveCount; asked on another thread, so that a lock still held
  // shows as no answer (-1) rather than as a hang. Declared first: the probes outlive the handler.
  std::vector<int> seen;
  std::vector<std::future<int>> probes;
  auto handler = NewPoolHandler();
  TWebRequestHandler* const raw = handler.get();
  TServeHandlerScope scope([&](TPoolModule& module, TWebRequest&, TWebResponse&, bool&) {
    module.SetOnDestroy([&, raw](TObject*) {
      probes.push_back(std::async(std::launch::async, [raw] { return raw->ActiveCount(); }));
      const bool answered =
          probes.back().wait_for(std::chrono::seconds(10)) == std::future_status::ready;
      seen.push_back(answered ? probes.back().get() : -1);
    });
  });
  auto serve = [&] {
    TFakeExchange exchange;
    EXPECT_TRUE(handler->ServeRequest(*exchange.Request, *exchange.Response));
  };
  serve();
  handler->SetCacheConnections(false); // destroys the cached set
  serve();                             // destroyed on release
  handler->SetCacheConnections(true);
  serve();
  handler.reset(); // destroys the cached set with the handler
  // The set had left the active pool before its modules went.
  EXPECT_EQ(seen, (std::vector<int>{0, 0, 0}));
}

// A cached module destroyed after its request ended: its failure reaches the hook, and the
// response of that request (still alive here, freed in the host) gets no page.
TEST(WebRequestHandler, AnErrorAfterTheRequestEndedWritesNoPage) {
  TNoHook noHook;
  static std::vector<std::u16string> shown;
  shown.clear();
  const TExceptionDisplay previous = SetExceptionDisplay([](std::exception_ptr E) {
    try {
      std::rethrow_exception(E);
    } catch (const Exception& error) {
      shown.push_back(error.Message());
    }
  });
  auto handler = NewPoolHandler();
  SetRequestExceptionHook(
      TRequestExceptionHook(handler.get(), &TWebRequestHandler::HandleException));
  TServeHandlerScope scope([](TPoolModule& module, TWebRequest&, TWebResponse&, bool&) {
    module.SetOnDestroy([](TObject*) { throw EWebException(u"destroy failed"); });
  });
  TFakeExchange exchange;
  ASSERT_TRUE(handler->ServeRequest(*exchange.Request, *exchange.Response));
  ASSERT_EQ(exchange.Response->SendCount, 1);
  handler->SetCacheConnections(false);
  EXPECT_EQ(exchange.Response->SendCount, 1);
  EXPECT_EQ(exchange.Response->StatusCode(), 200);
  EXPECT_EQ(exchange.Response->Content(), u"");
  EXPECT_EQ(shown, std::vector<std::u16string>{u"destroy failed"});
  SetExceptionDisplay(previous);
}

// Requests read the factory list while another thread registers factories. (The thread
// sanitizer sees an unlocked read; elsewhere it may read a list being moved.)
TEST(WebRequestHandler, FactoriesAreAddedWhileRequestsReadThem) {
  TNoHook noHook;
  TServeHandlerScope quiet(nullptr);
  auto handler = NewPoolHandler();
  TFakeExchange first; // registers the module class's factory before any other
  ASSERT_TRUE(handler->ServeRequest(*first.Request, *first.Response));
  std::thread registering([&] {
    for (int i = 0; i < 100; ++i)
      handler->AddWebModuleFactory(new TScriptedFactory(
          &TPoolModule::ClassInfo(), u"extra", false, TWebModuleCreateMode::crOnDemand,
          TWebModuleCacheMode::caCache));
  });
  for (int i = 0; i < 100; ++i) {
    TFakeExchange exchange;
    EXPECT_TRUE(handler->ServeRequest(*exchange.Request, *exchange.Response));
  }
  registering.join();
  EXPECT_EQ(handler->WebModuleFactoryCount(), 101);
}

TEST(WebModuleList, FindAddAndDestroyModules) {
  TNoHook noHook;
  TWebModuleFactoryList factories;
  auto* cached = new TScriptedFactory(&TDataModule::ClassInfo(), u"Cached", true,
                                      TWebModuleCreateMode::crAlways, TWebModuleCacheMode::caCache);
  auto* perRequest = new TScriptedFactory(&TServicesModule::ClassInfo(), u"PerRequest", false,
                                          TWebModuleCreateMode::crAlways,
                                          TWebModuleCacheMode::caDestroy);
  auto* onDemand = new TScriptedFactory(&TDataModule::ClassInfo(), u"OnDemand", false,
                                        TWebModuleCreateMode::crOnDemand,
                                        TWebModuleCacheMode::caCache);
  factories.AddFactory(cached);
  factories.AddFactory(perRequest);
  factories.AddFactory(onDemand);
  TWebModuleList list(factories);
  EXPECT_EQ(list.FactoryCount(), 3);
  EXPECT_EQ(list.Factories(2), onDemand);
  std::vector<TComponent*> added;
  list.SetOnModuleAdded([&](TComponent* module) { added.push_back(module); });

  list.AutoCreateModules();
  ASSERT_EQ(list.ItemCount(), 2);
  EXPECT_EQ(added, (std::vector<TComponent*>{list.Items(0), list.Items(1)}));
  EXPECT_EQ(list.FindModuleName(u"cached"), list.Items(0));
  EXPECT_EQ(list.FindModuleName(u"missing"), nullptr);
  EXPECT_EQ(list.FindModuleClass(&TServicesModule::ClassInfo()), list.Items(1));
  // Exactly the class: a TServicesModule is no TDataModule here.
  EXPECT_EQ(list.FindModuleClass(&TDataModule::ClassInfo()), list.Items(0));
  EXPECT_EQ(list.FindModuleClass(&TWebModule::ClassInfo()), nullptr);
  // A second pass adds nothing that is there already.
  list.AutoCreateModules();
  EXPECT_EQ(list.ItemCount(), 2);

  list.AutoDestroyModules();
  ASSERT_EQ(list.ItemCount(), 1);
  EXPECT_EQ(list.Items(0)->Name(), u"Cached");
  list.AutoCreateModules();
  EXPECT_EQ(perRequest->Created, 2);

  // Every factory of the class makes one; the last is the answer.
  TComponent* last = list.AddModuleClass(&TDataModule::ClassInfo());
  EXPECT_EQ(list.ItemCount(), 4);
  EXPECT_EQ(last, list.Items(3));
  EXPECT_EQ(last->Name(), u"OnDemand");
  EXPECT_EQ(list.AddModuleName(u"ondemand")->Name(), u"OnDemand");
  EXPECT_EQ(list.AddModuleName(u"nobody"), nullptr);
  EXPECT_EQ(list.ItemCount(), 5);

  // A module destroyed by other means leaves the set.
  TComponent* victim = list.Items(1);
  DestroyComponent(victim);
  EXPECT_EQ(list.ItemCount(), 4);
  for (int i = 0; i < list.ItemCount(); ++i) EXPECT_NE(list.Items(i), victim);
}

TEST(WebModuleList, CreationScopeResolvesNamesWithinTheThreadsOwnSet) {
  TNoHook noHook;
  const TIsUniqueGlobalComponentName before = IsUniqueGlobalComponentName();
  TWebModuleFactoryList factories;
  auto* first = new TScriptedFactory(&TDataModule::ClassInfo(), u"First", true,
                                     TWebModuleCreateMode::crAlways, TWebModuleCacheMode::caCache);
  auto* other = new TScriptedFactory(&TServicesModule::ClassInfo(), u"Other", false,
                                     TWebModuleCreateMode::crOnDemand,
                                     TWebModuleCacheMode::caDestroy);
  factories.AddFactory(first);
  factories.AddFactory(other);
  TWebModuleList list(factories);
  TWebModuleList* currentDuringCreation = nullptr;
  bool uniqueDuringCreation = false;
  bool lookedUp = false;
  TComponent* otherFound = nullptr;
  first->BeforeCreate = [&] {
    currentDuringCreation = TWebModuleList::CurrentModuleList();
    uniqueDuringCreation = IsUniqueGlobalComponentName()(u"anything");
    // A reference to a module that does not exist yet is recorded and created at the end.
    otherFound = FindGlobalComponent(u"Other");
    lookedUp = true;
  };
  EXPECT_EQ(TWebModuleList::CurrentModuleList(), nullptr);
  list.AutoCreateModules();
  EXPECT_EQ(currentDuringCreation, &list);
  EXPECT_TRUE(uniqueDuringCreation);
  EXPECT_TRUE(lookedUp);
  EXPECT_EQ(otherFound, nullptr);
  ASSERT_EQ(list.ItemCount(), 2);
  EXPECT_EQ(list.Items(1)->Name(), u"Other");
  EXPECT_EQ(other->Prevented, 1);
  // Outside every scope nothing of it remains in force.
  EXPECT_EQ(TWebModuleList::CurrentModuleList(), nullptr);
  EXPECT_EQ(IsUniqueGlobalComponentName(), before);
  EXPECT_EQ(FindGlobalComponent(u"Other"), nullptr);

  // Two threads in creation scopes at once each see only their own set's modules.
  TWebModuleFactoryList sharedFactories;
  auto* probe = new TScriptedFactory(&TDataModule::ClassInfo(), u"Probe", true,
                                     TWebModuleCreateMode::crAlways, TWebModuleCacheMode::caCache);
  sharedFactories.AddFactory(probe);
  TWebModuleList setA(sharedFactories), setB(sharedFactories);
  // Of another class than the probe's, so that the probe is still missing from both sets.
  auto alpha = MakeComponent<TServicesModule>();
  alpha->SetName(u"alpha");
  TComponent* alphaModule = alpha.get();
  setA.AddModule(std::move(alpha));
  auto beta = MakeComponent<TServicesModule>();
  beta->SetName(u"beta");
  TComponent* betaModule = beta.get();
  setB.AddModule(std::move(beta));
  TLatch bothInside(2);
  std::mutex resultMutex;
  std::vector<std::pair<TComponent*, TComponent*>> seen;  // per thread: alpha, beta lookups
  probe->BeforeCreate = [&] {
    bothInside.arrive_and_wait();
    std::pair<TComponent*, TComponent*> result{FindGlobalComponent(u"alpha"),
                                               FindGlobalComponent(u"beta")};
    std::lock_guard lock(resultMutex);
    seen.push_back(result);
  };
  // The probe factory is shared; its counter is not read concurrently.
  std::thread threadA([&] { setA.AutoCreateModules(); });
  std::thread threadB([&] { setB.AutoCreateModules(); });
  threadA.join();
  threadB.join();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_NE(std::find(seen.begin(), seen.end(), std::make_pair(alphaModule, static_cast<TComponent*>(nullptr))), seen.end());
  EXPECT_NE(std::find(seen.begin(), seen.end(), std::make_pair(static_cast<TComponent*>(nullptr), betaModule)), seen.end());
  EXPECT_EQ(IsUniqueGlobalComponentName(), before);
}

} // namespace
} // namespace isapi_web
