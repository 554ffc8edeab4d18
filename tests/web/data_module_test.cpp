#include "web/data_module.h"

#include <gtest/gtest.h>

#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "../runtime/expect_error.h"
#include "runtime/exceptions.h"
#include "web/web_interfaces.h"

namespace isapi_web {
namespace {

std::vector<std::u16string> Journal;

// Records what the hook saw; rethrows when Rethrow is set.
struct THookProbe {
  bool Rethrow = false;
  int Calls = 0;
  TObject* Sender = nullptr;
  std::u16string Message;

  void Hook(TObject* sender) {
    ++Calls;
    Sender = sender;
    try {
      throw;
    } catch (const Exception& e) {
      Message = e.Message();
    }
    if (Rethrow) {
      throw;
    }
  }
};

class THookScope {
public:
  explicit THookScope(THookProbe& probe) { SetRequestExceptionHook({&probe, &THookProbe::Hook}); }
  ~THookScope() { SetRequestExceptionHook({}); }
};

// A module whose handlers are members of the derived class, set while it is constructed (as
// a definition would set them).
class TTestModule : public TDataModule {
public:
  TTestModule(TComponent* AOwner, bool oldCreateOrder, bool failCreate, bool failDestroy)
      : TDataModule(AOwner), FFailCreate(failCreate), FFailDestroy(failDestroy) {
    SetName(u"module");
    SetOldCreateOrder(oldCreateOrder);
    SetOnCreate({this, &TTestModule::ModuleCreate});
    SetOnDestroy({this, &TTestModule::ModuleDestroy});
  }

  virtual std::u16string Identity() const { return u"TTestModule"; }

  void ModuleCreate(TObject* Sender) {
    Journal.push_back(u"create " + Identity() + (Sender == this ? u" self" : u" other"));
    if (FFailCreate) {
      throw EWebException(u"create failed");
    }
  }
  void ModuleDestroy(TObject* Sender) {
    // The whole destruction holds the name-space lock.
    bool otherThreadLocked = true;
    std::thread probe([&] {
      otherThreadLocked = GlobalNameSpaceLock().try_lock();
      if (otherThreadLocked) {
        GlobalNameSpaceLock().unlock();
      }
    });
    probe.join();
    Journal.push_back(u"destroy " + Identity() + (Sender == this ? u" self" : u" other") +
                      (otherThreadLocked ? u" unlocked" : u" locked") + u" children " +
                      std::u16string(1, char16_t(u'0' + ComponentCount())));
    if (FFailDestroy) {
      throw EWebException(u"destroy failed");
    }
  }

private:
  bool FFailCreate;
  bool FFailDestroy;
};

class TMostDerivedModule : public TTestModule {
public:
  TMostDerivedModule(TComponent* AOwner, bool oldCreateOrder, bool failCreate = false,
                     bool failDestroy = false)
      : TTestModule(AOwner, oldCreateOrder, failCreate, failDestroy) {}
  std::u16string Identity() const override { return u"TMostDerivedModule"; }
};

class TChild : public TComponent {
public:
  using TComponent::TComponent;
  void BeforeDestruction() override {
    Journal.push_back(u"child destroyed");
    TComponent::BeforeDestruction();
  }
};

TEST(DataModuleTest, EventsFireOnTheWholeObjectInBothOrders) {
  for (const bool oldCreateOrder : {false, true}) {
    Journal.clear();
    TComponentPtr<TComponent> owner = MakeComponent<TComponent>();
    auto* module = CreateComponent<TMostDerivedModule>(owner.get(), oldCreateOrder);
    EXPECT_EQ(module->OldCreateOrder(), oldCreateOrder);
    EXPECT_EQ(Journal, (std::vector<std::u16string>{u"create TMostDerivedModule self"}));
    EXPECT_EQ(owner->ComponentCount(), 1);
    CreateComponent<TChild>(module);
    Journal.clear();
    DestroyComponent(module);
    // OnDestroy before the owned components go, under the name-space lock.
    EXPECT_EQ(Journal, (std::vector<std::u16string>{
                           u"destroy TMostDerivedModule self locked children 1",
                           u"child destroyed",
                       }));
    EXPECT_EQ(owner->ComponentCount(), 0);
  }
  // The lock is free again afterwards.
  ASSERT_TRUE(GlobalNameSpaceLock().try_lock());
  GlobalNameSpaceLock().unlock();
}

TEST(DataModuleTest, OnCreateFailureAfterConstruction) {
  // No hook: raised again; the module is destroyed and leaves its owner.
  TComponentPtr<TComponent> owner = MakeComponent<TComponent>();
  ExpectError<EWebException>([&] { CreateComponent<TMostDerivedModule>(owner.get(), false, true); },
                             u"EWebException", u"create failed");
  EXPECT_EQ(owner->ComponentCount(), 0);

  // A hook that returns swallows it, with the module as Sender.
  THookProbe probe;
  {
    THookScope scope(probe);
    TComponentPtr<TMostDerivedModule> module(
        CreateComponent<TMostDerivedModule>(nullptr, false, true));
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(probe.Calls, 1);
    EXPECT_EQ(probe.Sender, static_cast<TObject*>(module.get()));
    EXPECT_EQ(probe.Message, u"create failed");

    // A hook that raises again makes the construction fail.
    probe.Rethrow = true;
    ExpectError<EWebException>(
        [&] { CreateComponent<TMostDerivedModule>(owner.get(), false, true); }, u"EWebException",
        u"create failed");
    EXPECT_EQ(probe.Calls, 2);
    EXPECT_EQ(owner->ComponentCount(), 0);
  }
}

TEST(DataModuleTest, OnCreateFailureInConstructorOrder) {
  // No hook: dropped, the module is returned as built.
  TComponentPtr<TComponent> owner = MakeComponent<TComponent>();
  auto* module = CreateComponent<TMostDerivedModule>(owner.get(), true, true);
  EXPECT_EQ(owner->Components(0), module);

  // With a hook: passed with a null Sender; a hook raising again fails the construction.
  THookProbe probe;
  THookScope scope(probe);
  TComponentPtr<TMostDerivedModule> kept(CreateComponent<TMostDerivedModule>(nullptr, true, true));
  EXPECT_EQ(probe.Calls, 1);
  EXPECT_EQ(probe.Sender, nullptr);
  probe.Rethrow = true;
  EXPECT_THROW(CreateComponent<TMostDerivedModule>(nullptr, true, true), EWebException);
  EXPECT_EQ(probe.Calls, 2);
}

TEST(DataModuleTest, OnDestroyFailureNeverStopsDestruction) {
  // No hook: dropped.
  Journal.clear();
  auto* module = CreateComponent<TMostDerivedModule>(nullptr, false, false, true);
  CreateComponent<TChild>(module);
  DestroyComponent(module);
  EXPECT_EQ(Journal.back(), u"child destroyed");

  // With a hook: the module is the Sender; even a hook raising again lets destruction finish.
  THookProbe probe;
  THookScope scope(probe);
  for (const bool rethrow : {false, true}) {
    probe.Rethrow = rethrow;
    Journal.clear();
    TComponentPtr<TComponent> owner = MakeComponent<TComponent>();
    auto* failing = CreateComponent<TMostDerivedModule>(owner.get(), true, false, true);
    CreateComponent<TChild>(failing);
    DestroyComponent(failing);
    EXPECT_EQ(probe.Sender, static_cast<TObject*>(failing));
    EXPECT_EQ(probe.Message, u"destroy failed");
    EXPECT_EQ(Journal.back(), u"child destroyed");
    EXPECT_EQ(owner->ComponentCount(), 0);
  }
  EXPECT_EQ(probe.Calls, 2);
}

TEST(DataModuleTest, CreateNewAndPublishedProperties) {
  TComponentPtr<TComponent> owner = MakeComponent<TComponent>();
  TDataModule* module = TDataModule::CreateNew(owner.get());
  EXPECT_EQ(owner->Components(0), module);
  EXPECT_FALSE(module->OldCreateOrder());
  EXPECT_EQ(module->ClassName(), u"TDataModule");

  const TClassInfo& info = module->ClassType();
  info.FindProperty(u"OldCreateOrder")->SetValue(*module, true);
  info.FindProperty(u"Width")->SetValue(*module, std::int64_t{215});
  info.FindProperty(u"Height")->SetValue(*module, std::int64_t{150});
  info.FindProperty(u"HorizontalOffset")->SetValue(*module, std::int64_t{-3});
  info.FindProperty(u"VerticalOffset")->SetValue(*module, std::int64_t{9});
  info.FindProperty(u"Name")->SetValue(*module, std::u16string(u"data"));
  EXPECT_TRUE(module->OldCreateOrder());
  EXPECT_EQ(module->DesignSize().X, 215);
  EXPECT_EQ(module->DesignSize().Y, 150);
  EXPECT_EQ(module->DesignOffset().X, -3);
  EXPECT_EQ(module->DesignOffset().Y, 9);
  EXPECT_EQ(module->Name(), u"data");
  EXPECT_EQ(info.FindProperty(u"OnCreate")->Kind(), TPropertyKind::pkMethod);
  EXPECT_EQ(info.FindProperty(u"OnDestroy")->Kind(), TPropertyKind::pkMethod);
  // Its class reference builds data modules.
  TComponent* made = TDataModule::ClassInfo().Create(owner.get());
  EXPECT_NE(dynamic_cast<TDataModule*>(made), nullptr);
  EXPECT_EQ(owner->ComponentCount(), 2);
}

} // namespace
} // namespace isapi_web
