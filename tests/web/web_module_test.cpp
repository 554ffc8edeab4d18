#include "web/web_module.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "runtime/text.h"
#include "web/content_producer.h"
#include "web/module_definition.h"
#include "web_test_doubles.h"

namespace isapi_web {
namespace {

using web_test::CaughtError;
using web_test::TFakeExchange;
using web_test::TNoHook;
using web_test::TRecordingHook;

/// The system's module shape: one default action bound to a published handler.
class TTestModule : public TWebModule {
  ISAPI_WEB_COMPONENT_CLASS(TTestModule)
public:
  explicit TTestModule(TComponent* AOwner) : TWebModule(AOwner) {}
  void TestAction(TObject* Sender, TWebRequest& Request, TWebResponse& Response, bool&) {
    ++ActionCalls;
    LastSender = Sender;
    Response.SendRedirect(Request.Referer());
  }
  int ActionCalls = 0;
  TObject* LastSender = nullptr;
};

const TClassInfo& TTestModule::ClassInfo() {
  static const TClassInfo info = TClassBuilder<TTestModule>(u"TTestModule", &TWebModule::ClassInfo())
                                     .Method(u"TestAction", &TTestModule::TestAction)
                                     .Build();
  return info;
}

/// Every other kind of stored value: integers, enumerations, producers, events, children.
class TRichModule : public TWebModule {
  ISAPI_WEB_COMPONENT_CLASS(TRichModule)
public:
  explicit TRichModule(TComponent* AOwner) : TWebModule(AOwner) {}
  void TestAction(TObject*, TWebRequest&, TWebResponse&, bool&) {}
  void TestBefore(TObject*, TWebRequest&, TWebResponse&, bool&) { ++BeforeCalls; }
  void RecordCreate(TObject* Sender) {
    CreateSender = Sender;
    ActionsAtCreate = Actions().Count();
  }
  int BeforeCalls = 0;
  int ActionsAtCreate = -1;
  TObject* CreateSender = nullptr;
};

const TClassInfo& TRichModule::ClassInfo() {
  static const TClassInfo info = TClassBuilder<TRichModule>(u"TRichModule", &TWebModule::ClassInfo())
                                     .Method(u"TestAction", &TRichModule::TestAction)
                                     .Method(u"TestBefore", &TRichModule::TestBefore)
                                     .Method(u"RecordCreate", &TRichModule::RecordCreate)
                                     .Build();
  return info;
}

class TTestBaseModule : public TWebModule {
  ISAPI_WEB_COMPONENT_CLASS(TTestBaseModule)
public:
  explicit TTestBaseModule(TComponent* AOwner) : TWebModule(AOwner) {}
  void TestAction(TObject*, TWebRequest&, TWebResponse&, bool&) { ++ActionCalls; }
  int ActionCalls = 0;
};

const TClassInfo& TTestBaseModule::ClassInfo() {
  static const TClassInfo info =
      TClassBuilder<TTestBaseModule>(u"TTestBaseModule", &TWebModule::ClassInfo())
          .Method(u"TestAction", &TTestBaseModule::TestAction)
          .Build();
  return info;
}

class TTestDerivedModule : public TTestBaseModule {
  ISAPI_WEB_COMPONENT_CLASS(TTestDerivedModule)
public:
  explicit TTestDerivedModule(TComponent* AOwner) : TTestBaseModule(AOwner) {}
};

const TClassInfo& TTestDerivedModule::ClassInfo() {
  static const TClassInfo info =
      TClassBuilder<TTestDerivedModule>(u"TTestDerivedModule", &TTestBaseModule::ClassInfo()).Build();
  return info;
}

/// Stores no OldCreateOrder, so the preset True stands.
class TOldOrderModule : public TWebModule {
  ISAPI_WEB_COMPONENT_CLASS(TOldOrderModule)
public:
  explicit TOldOrderModule(TComponent* AOwner) : TWebModule(AOwner) {}
  void RecordCreate(TObject*) { ActionsAtCreate = Actions().Count(); }
  int ActionsAtCreate = -1;
};

const TClassInfo& TOldOrderModule::ClassInfo() {
  static const TClassInfo info =
      TClassBuilder<TOldOrderModule>(u"TOldOrderModule", &TWebModule::ClassInfo())
          .Method(u"RecordCreate", &TOldOrderModule::RecordCreate)
          .Build();
  return info;
}

class TRaisingCreateModule : public TWebModule {
  ISAPI_WEB_COMPONENT_CLASS(TRaisingCreateModule)
public:
  explicit TRaisingCreateModule(TComponent* AOwner) : TWebModule(AOwner) {}
  void RaiseOnCreate(TObject*) { throw EWebException(u"create failed"); }
};

const TClassInfo& TRaisingCreateModule::ClassInfo() {
  static const TClassInfo info =
      TClassBuilder<TRaisingCreateModule>(u"TRaisingCreateModule", &TWebModule::ClassInfo())
          .Method(u"RaiseOnCreate", &TRaisingCreateModule::RaiseOnCreate)
          .Build();
  return info;
}

class TRaisingDestroyModule : public TWebModule {
  ISAPI_WEB_COMPONENT_CLASS(TRaisingDestroyModule)
public:
  explicit TRaisingDestroyModule(TComponent* AOwner) : TWebModule(AOwner) {}
  void RaiseOnDestroy(TObject*) { throw EWebException(u"destroy failed"); }
};

const TClassInfo& TRaisingDestroyModule::ClassInfo() {
  static const TClassInfo info =
      TClassBuilder<TRaisingDestroyModule>(u"TRaisingDestroyModule", &TWebModule::ClassInfo())
          .Method(u"RaiseOnDestroy", &TRaisingDestroyModule::RaiseOnDestroy)
          .Build();
  return info;
}

class TNoDefinitionModule : public TWebModule {
  ISAPI_WEB_COMPONENT_CLASS(TNoDefinitionModule)
public:
  explicit TNoDefinitionModule(TComponent* AOwner) : TWebModule(AOwner) {}
};

const TClassInfo& TNoDefinitionModule::ClassInfo() {
  static const TClassInfo info =
      TClassBuilder<TNoDefinitionModule>(u"TNoDefinitionModule", &TWebModule::ClassInfo()).Build();
  return info;
}

class TBadPropertyModule : public TWebModule {
  ISAPI_WEB_COMPONENT_CLASS(TBadPropertyModule)
public:
  explicit TBadPropertyModule(TComponent* AOwner) : TWebModule(AOwner) {}
};

const TClassInfo& TBadPropertyModule::ClassInfo() {
  static const TClassInfo info =
      TClassBuilder<TBadPropertyModule>(u"TBadPropertyModule", &TWebModule::ClassInfo()).Build();
  return info;
}

/// Stores no OldCreateOrder (the preset True stands), binds OnCreate, then fails to read.
class TFailedOldOrderModule : public TWebModule {
  ISAPI_WEB_COMPONENT_CLASS(TFailedOldOrderModule)
public:
  explicit TFailedOldOrderModule(TComponent* AOwner) : TWebModule(AOwner) {}
  void RecordCreate(TObject*) { ++CreateCalls; }
  int CreateCalls = 0;
};

const TClassInfo& TFailedOldOrderModule::ClassInfo() {
  static const TClassInfo info =
      TClassBuilder<TFailedOldOrderModule>(u"TFailedOldOrderModule", &TWebModule::ClassInfo())
          .Method(u"RecordCreate", &TFailedOldOrderModule::RecordCreate)
          .Build();
  return info;
}

/// A dispatch target that a definition lists as a child; it declines every request.
class TOrderTarget : public TComponent, public IWebDispatchTarget {
  ISAPI_WEB_COMPONENT_CLASS(TOrderTarget)
public:
  explicit TOrderTarget(TComponent* AOwner) : TComponent(AOwner), FMask(u"*") {}
  bool TargetEnabled() const override { return true; }
  TMethodType TargetMethodType() const override { return TMethodType::mtAny; }
  bool TargetDispatch(TObject*, TWebRequest&, TWebResponse&) override { return false; }
  const TMask& TargetMask() override { return FMask; }

private:
  TMask FMask;
};

const TClassInfo& TOrderTarget::ClassInfo() {
  static const TClassInfo info =
      TClassBuilder<TOrderTarget>(u"TOrderTarget", &TComponent::ClassInfo()).Build();
  static const bool registered = (RegisterClass(info), true);
  (void)registered;
  return info;
}

class TTargetModule : public TWebModule {
  ISAPI_WEB_COMPONENT_CLASS(TTargetModule)
public:
  explicit TTargetModule(TComponent* AOwner) : TWebModule(AOwner) {}
};

const TClassInfo& TTargetModule::ClassInfo() {
  static const TClassInfo info =
      TClassBuilder<TTargetModule>(u"TTargetModule", &TWebModule::ClassInfo()).Build();
  (void)TOrderTarget::ClassInfo(); // the child's class, findable by name
  return info;
}

/// Leaves a reference unresolved when its read completes, then fails in OnCreate.
class TPendingRaisingModule : public TRaisingCreateModule {
  ISAPI_WEB_COMPONENT_CLASS(TPendingRaisingModule)
public:
  explicit TPendingRaisingModule(TComponent* AOwner) : TRaisingCreateModule(AOwner) {}
};

const TClassInfo& TPendingRaisingModule::ClassInfo() {
  static const TClassInfo info = TClassBuilder<TPendingRaisingModule>(
                                     u"TPendingRaisingModule", &TRaisingCreateModule::ClassInfo())
                                     .Build();
  return info;
}

/// Records the components whose destruction it was told about.
class TRemovalWatcher : public TComponent {
public:
  explicit TRemovalWatcher(TComponent* AOwner) : TComponent(AOwner) {}
  void Notification(TComponent* AComponent, TOperation operation) override {
    TComponent::Notification(AComponent, operation);
    if (operation == TOperation::opRemove) Removed.push_back(AComponent);
  }
  std::vector<TComponent*> Removed;
};

TEST(WebModule, CreatedFromItsDefinitionWithEveryStoredValue) {
  TNoHook noHook;
  const auto readBefore = DefinitionReadCount();
  const auto createdBefore = TWebModule::CreatedCount();
  auto module = MakeComponent<TTestModule>();
  EXPECT_EQ(DefinitionReadCount(), readBefore + 1);
  EXPECT_EQ(TWebModule::CreatedCount(), createdBefore + 1);

  EXPECT_EQ(module->Name(), u"plovane");
  EXPECT_EQ(module->ClassName(), u"TTestModule");
  EXPECT_FALSE(module->OldCreateOrder());
  EXPECT_EQ(module->DesignSize().X, 215);
  EXPECT_EQ(module->DesignSize().Y, 150);
  EXPECT_FALSE(module->ComponentState().Contains(TComponentStateFlag::csLoading));
  EXPECT_FALSE(module->ComponentState().Contains(TComponentStateFlag::csReading));
  ASSERT_EQ(module->Actions().Count(), 1);
  TWebActionItem* action = module->Actions().Items(0);
  EXPECT_EQ(action->Name(), u"max");
  EXPECT_TRUE(action->Default());
  EXPECT_TRUE(action->Enabled());
  EXPECT_EQ(action->MethodType(), TMethodType::mtAny);
  EXPECT_EQ(action->PathInfo(), u"/../max.htm");
  EXPECT_EQ(action->Producer(), nullptr);
  EXPECT_TRUE(action->OnAction().IsBoundTo(module.get()));

  // Any path reaches the default action, which redirects to the referer.
  TFakeExchange exchange("/elsewhere");
  EXPECT_TRUE(module->HandleWebRequest(*exchange.Request, *exchange.Response));
  EXPECT_EQ(module->ActionCalls, 1);
  EXPECT_EQ(module->LastSender, action);

  // A second instance reads the definition again and shares nothing with the first.
  auto second = MakeComponent<TTestModule>();
  EXPECT_EQ(DefinitionReadCount(), readBefore + 2);
  EXPECT_EQ(second->Name(), u"plovane");
  ASSERT_EQ(second->Actions().Count(), 1);
  EXPECT_NE(second->Actions().Items(0), action);
  EXPECT_TRUE(second->Actions().Items(0)->OnAction().IsBoundTo(second.get()));
  second->Actions().Items(0)->SetName(u"renamed");
  EXPECT_EQ(action->Name(), u"max");
  bool handled = true;
  second->Actions().Items(0)->OnAction()(second.get(), *exchange.Request, *exchange.Response,
                                          handled);
  EXPECT_EQ(second->ActionCalls, 1);
  EXPECT_EQ(module->ActionCalls, 1);
}

TEST(WebModule, RichDefinitionStoresEveryKindOfValueAndItsChildren) {
  TNoHook noHook;
  auto module = MakeComponent<TRichModule>();
  EXPECT_EQ(module->Name(), u"rich");
  EXPECT_EQ(module->Tag(), 7);
  EXPECT_EQ(module->DesignSize().X, 215);
  EXPECT_EQ(module->DesignSize().Y, 150);
  EXPECT_EQ(module->DesignOffset().X, 12);
  EXPECT_EQ(module->DesignOffset().Y, -3);
  EXPECT_TRUE(module->BeforeDispatch().IsBoundTo(module.get()));
  // OnCreate ran after construction, on the fully read module.
  EXPECT_EQ(module->CreateSender, module.get());
  EXPECT_EQ(module->ActionsAtCreate, 2);

  ASSERT_EQ(module->ComponentCount(), 1);
  auto* banner = dynamic_cast<TCustomContentProducer*>(module->Components(0));
  ASSERT_NE(banner, nullptr);
  EXPECT_EQ(banner->Name(), u"Banner");
  EXPECT_EQ(banner->Tag(), 3);
  EXPECT_EQ(banner->DispatcherComponent(), module.get());

  ASSERT_EQ(module->Actions().Count(), 2);
  TWebActionItem* first = module->Actions().Items(0);
  TWebActionItem* second = module->Actions().Items(1);
  EXPECT_EQ(first->Name(), u"first");
  EXPECT_FALSE(first->Enabled());
  EXPECT_EQ(first->MethodType(), TMethodType::mtPost);
  EXPECT_EQ(first->PathInfo(), u"/docs/a.htm");
  EXPECT_FALSE(first->Default());
  EXPECT_EQ(second->Name(), u"second");
  EXPECT_TRUE(second->Default());
  // Named before the child that defines it: resolved when the read completed.
  EXPECT_EQ(second->Producer(), banner);
  EXPECT_EQ(second->PathInfo(), u"/Banner");
  EXPECT_TRUE(second->OnAction().IsBoundTo(module.get()));
}

TEST(WebModule, BaseClassDefinitionIsAppliedBeforeTheDerivedOne) {
  TNoHook noHook;
  const auto readBefore = DefinitionReadCount();
  auto module = MakeComponent<TTestDerivedModule>();
  EXPECT_EQ(DefinitionReadCount(), readBefore + 2);
  EXPECT_EQ(module->Name(), u"derived");
  EXPECT_EQ(module->Tag(), 2);
  EXPECT_EQ(module->DesignSize().X, 100);
  EXPECT_EQ(module->DesignSize().Y, 50);
  ASSERT_EQ(module->Actions().Count(), 1);
  EXPECT_EQ(module->Actions().Items(0)->Name(), u"fromBase");
  EXPECT_TRUE(module->Actions().Items(0)->OnAction().IsBoundTo(module.get()));

  // The base class alone reads only its own definition.
  auto base = MakeComponent<TTestBaseModule>();
  EXPECT_EQ(base->Name(), u"base");
  EXPECT_EQ(base->Tag(), 1);
}

TEST(WebModule, ClassWithoutDefinitionFailsThroughTheHook) {
  {
    TRecordingHook hook(/*reraise=*/true);
    const auto error = CaughtError([] { MakeComponent<TNoDefinitionModule>(); });
    EXPECT_EQ(error.first, u"EResNotFound");
    EXPECT_EQ(error.second, u"Resource TNoDefinitionModule not found");
    ASSERT_EQ(hook.Calls.size(), 1u);
    EXPECT_EQ(hook.Calls[0].Sender, nullptr);
    EXPECT_EQ(hook.Calls[0].Message, u"Resource TNoDefinitionModule not found");
  }
  {
    // Without a hook the failure is dropped and the module stays as far as it was built.
    TNoHook noHook;
    auto module = MakeComponent<TNoDefinitionModule>();
    EXPECT_EQ(module->Name(), u"");
    EXPECT_EQ(module->Actions().Count(), 0);
  }
  {
    TRecordingHook hook(/*reraise=*/true);
    const auto error = CaughtError([] { MakeComponent<TBadPropertyModule>(); });
    EXPECT_EQ(error.first, u"EReadError");
    EXPECT_EQ(error.second, u"Property Colour does not exist");
    ASSERT_EQ(hook.Calls.size(), 1u);
    EXPECT_EQ(hook.Calls[0].Sender, nullptr);
  }
}

TEST(WebModule, OldCreateOrderIsPresetTrueAndAStoredFalseOverridesIt) {
  TNoHook noHook;
  auto oldOrder = MakeComponent<TOldOrderModule>();
  EXPECT_TRUE(oldOrder->OldCreateOrder());
  // OnCreate ran once the definition was applied.
  EXPECT_EQ(oldOrder->ActionsAtCreate, 1);
  auto stored = MakeComponent<TTestModule>();
  EXPECT_FALSE(stored->OldCreateOrder());
}

TEST(WebModule, OldCreateOrderSkipsOnCreateWhenTheReadFailed) {
  TNoHook noHook;
  auto module = MakeComponent<TFailedOldOrderModule>();
  EXPECT_TRUE(module->OldCreateOrder());
  EXPECT_TRUE(module->OnCreate().IsBoundTo(module.get())); // bound before the read failed
  EXPECT_EQ(module->CreateCalls, 0);
}

TEST(WebModule, OwnersTargetsComeBeforeTheDefinitionsChildren) {
  TNoHook noHook;
  auto owner = MakeComponent<TComponent>();
  auto* sibling = CreateComponent<TOrderTarget>(owner.get());
  auto* module = CreateComponent<TTargetModule>(owner.get());
  ASSERT_EQ(module->DispatchTargetCount(), 2);
  EXPECT_EQ(module->DispatchTargets(0), sibling);
  EXPECT_EQ(module->DispatchTargets(1)->Name(), u"Inner");
}

TEST(WebModule, OnCreateRaisingAfterConstructionReachesTheHookWithTheModule) {
  {
    TRecordingHook hook(/*reraise=*/false);
    auto module = MakeComponent<TRaisingCreateModule>();
    ASSERT_EQ(hook.Calls.size(), 1u);
    EXPECT_EQ(hook.Calls[0].Sender, static_cast<TObject*>(module.get()));
    EXPECT_EQ(hook.Calls[0].Message, u"create failed");
    EXPECT_EQ(module->Name(), u"raisingCreate");
  }
  {
    TRecordingHook hook(/*reraise=*/true);
    const auto error = CaughtError([] { MakeComponent<TRaisingCreateModule>(); });
    EXPECT_EQ(error.second, u"create failed");
    EXPECT_EQ(hook.Calls.size(), 1u);
  }
  {
    TNoHook noHook;
    const auto error = CaughtError([] { MakeComponent<TRaisingCreateModule>(); });
    EXPECT_EQ(error.first, u"EWebException");
    EXPECT_EQ(error.second, u"create failed");
  }
}

// Discarding the failed module drops its unresolved references; another thread retries them
// meanwhile. (The thread sanitizer sees an unlocked edit; elsewhere it may corrupt the list.)
TEST(WebModule, DiscardingAFailedModuleDropsItsReferencesUnderTheNameSpaceLock) {
  TNoHook noHook;
  std::atomic<bool> done{false};
  std::thread fixups([&] {
    while (!done.load())
      GlobalFixupReferences();
  });
  for (int i = 0; i < 200; ++i)
    EXPECT_EQ(CaughtError([] { MakeComponent<TPendingRaisingModule>(); }).second,
              u"create failed");
  done = true;
  fixups.join();
}

TEST(WebModule, OnDestroyRaisingReachesTheHookWhileDestructionContinues) {
  auto watcher = MakeComponent<TRemovalWatcher>();
  {
    TRecordingHook hook(/*reraise=*/true);
    TRaisingDestroyModule* module = CreateComponent<TRaisingDestroyModule>(nullptr);
    ASSERT_EQ(module->ComponentCount(), 1);
    TComponent* part = module->Components(0);
    part->FreeNotification(watcher.get());
    DestroyComponent(module);
    ASSERT_EQ(hook.Calls.size(), 1u);
    EXPECT_EQ(hook.Calls[0].Sender, static_cast<TObject*>(module));
    EXPECT_EQ(hook.Calls[0].Message, u"destroy failed");
    ASSERT_EQ(watcher->Removed.size(), 1u);
    EXPECT_EQ(watcher->Removed[0], part);
  }
  {
    TNoHook noHook;
    TRaisingDestroyModule* module = CreateComponent<TRaisingDestroyModule>(nullptr);
    module->Components(0)->FreeNotification(watcher.get());
    DestroyComponent(module);
    EXPECT_EQ(watcher->Removed.size(), 2u);
  }
}

} // namespace
} // namespace isapi_web
