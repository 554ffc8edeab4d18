#include "runtime/component.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "expect_error.h"
#include "runtime/exceptions.h"
#include "runtime/persistent.h"

namespace isapi_web {
namespace {

enum class TShade : std::uint8_t { shLight, shDark };

std::vector<std::u16string>* Journal = nullptr;

void Log(std::u16string line) {
  if (Journal != nullptr) {
    Journal->push_back(std::move(line));
  }
}

class JournalScope {
public:
  JournalScope() { Journal = &Lines; }
  ~JournalScope() { Journal = nullptr; }
  std::vector<std::u16string> Lines;
};

// Writes every notification it receives and both lifecycle steps to the journal.
class TRecorder : public TComponent {
  ISAPI_WEB_COMPONENT_CLASS(TRecorder)

public:
  explicit TRecorder(TComponent* AOwner, std::u16string name = u"") : TComponent(AOwner) {
    SetName(name);
  }
  void AfterConstruction() override {
    TComponent::AfterConstruction();
    Log(Name() + u" after " + ClassName() + u" owner-count " +
        std::u16string(Owner() != nullptr ? u"joined=" : u"none") +
        (Owner() != nullptr ? std::u16string(1, char16_t(u'0' + Owner()->ComponentCount())) : u""));
  }
  void BeforeDestruction() override {
    Log(Name() + u" before " + ClassName());
    TComponent::BeforeDestruction();
  }
  void Notification(TComponent* AComponent, TOperation operation) override {
    Log(Name() + (operation == TOperation::opInsert ? u" insert " : u" remove ") +
        AComponent->Name() + u":" + AComponent->ClassName());
    TComponent::Notification(AComponent, operation);
  }
};

class TDerivedRecorder : public TRecorder {
  ISAPI_WEB_COMPONENT_CLASS(TDerivedRecorder)

public:
  explicit TDerivedRecorder(TComponent* AOwner) : TRecorder(AOwner, u"derived") {}

  bool Flag = false;
  std::int32_t Count = 0;
  std::u16string Text;
  TShade Kind = TShade::shLight;
  TNotifyEvent OnPing;
  TRecorder* Partner = nullptr;

  void SetFlag(bool value) { Flag = value; }
  void SetCount(std::int32_t value) { Count = value; }
  void SetText(std::u16string_view value) { Text = value; }
  void SetKind(TShade value) { Kind = value; }
  void SetOnPing(TNotifyEvent value) { OnPing = std::move(value); }
  void SetPartner(TRecorder* value) { Partner = value; }
  TCollection& Items() { return FItems; }

  void PingHandler(TObject* Sender) { Log(Name() + u" pinged by " + Sender->ClassName()); }
  void WrongShape(TObject*, int) {}

private:
  TCollection FItems{TCollection::ItemClass<TCollectionItem>(), this};
};

// A component class that has no constructor taking only the owner.
class TNeedsTwo : public TComponent {
  ISAPI_WEB_COMPONENT_CLASS(TNeedsTwo)

public:
  TNeedsTwo(TComponent* AOwner, int) : TComponent(AOwner) {}
};

class TFailingStart : public TRecorder {
  ISAPI_WEB_COMPONENT_CLASS(TFailingStart)

public:
  explicit TFailingStart(TComponent* AOwner) : TRecorder(AOwner, u"failing") {}
  void AfterConstruction() override {
    TRecorder::AfterConstruction();
    throw EWebException(u"no start");
  }
};

} // namespace

const TClassInfo& TRecorder::ClassInfo() {
  static const TClassInfo info =
      TClassBuilder<TRecorder>(u"TRecorder", &TComponent::ClassInfo()).Build();
  return info;
}

const TClassInfo& TDerivedRecorder::ClassInfo() {
  using enum TShade;
  static const TClassInfo info =
      TClassBuilder<TDerivedRecorder>(u"TDerivedRecorder", &TRecorder::ClassInfo())
          .Property(u"Flag", &TDerivedRecorder::SetFlag)
          .Property(u"Count", &TDerivedRecorder::SetCount)
          .Property(u"Text", &TDerivedRecorder::SetText)
          .Enumeration(u"Kind", &TDerivedRecorder::SetKind,
                       {{u"shLight", shLight}, {u"shDark", shDark}})
          .Property(u"OnPing", &TDerivedRecorder::SetOnPing)
          .Property(u"Partner", &TDerivedRecorder::SetPartner)
          .Collection(u"Items", &TDerivedRecorder::Items, TRecorder::ClassInfo())
          .Method(u"PingHandler", &TDerivedRecorder::PingHandler)
          .Method(u"WrongShape", &TDerivedRecorder::WrongShape)
          .Build();
  return info;
}

const TClassInfo& TNeedsTwo::ClassInfo() {
  static const TClassInfo info =
      TClassBuilder<TNeedsTwo>(u"TNeedsTwo", &TComponent::ClassInfo()).Build();
  return info;
}

const TClassInfo& TFailingStart::ClassInfo() {
  static const TClassInfo info =
      TClassBuilder<TFailingStart>(u"TFailingStart", &TRecorder::ClassInfo()).Build();
  return info;
}

namespace {

TEST(ComponentTest, OwnerKeepsChildrenInOrderAndDestroysThem) {
  JournalScope journal;
  TComponentPtr<TRecorder> owner = MakeComponent<TRecorder>(u"owner");
  auto* first = CreateComponent<TRecorder>(owner.get(), u"first");
  auto* second = CreateComponent<TRecorder>(owner.get(), u"second");
  ASSERT_EQ(owner->ComponentCount(), 2);
  EXPECT_EQ(owner->Components(0), first);
  EXPECT_EQ(owner->Components(1), second);
  EXPECT_EQ(second->ComponentIndex(), 1);
  EXPECT_EQ(owner->FindComponent(u"SECOND"), second);
  EXPECT_EQ(owner->FindComponent(u"third"), nullptr);
  ExpectError<EListError>([&] { owner->Components(2); }, u"EListError",
                          u"List index out of bounds (2)");

  // A child destroyed by itself leaves its owner, which passes the notice on to every child
  // still in its list, the leaving one included.
  journal.Lines.clear();
  DestroyComponent(first);
  EXPECT_EQ(owner->ComponentCount(), 1);
  EXPECT_EQ(owner->Components(0), second);
  EXPECT_EQ(journal.Lines, (std::vector<std::u16string>{
                               u"first before TRecorder",
                               u"owner remove first:TRecorder",
                               u"first remove first:TRecorder",
                               u"second remove first:TRecorder",
                           }));

  // The owner destroys the rest through the same path, BeforeDestruction first.
  journal.Lines.clear();
  owner.reset();
  EXPECT_EQ(journal.Lines, (std::vector<std::u16string>{
                               u"owner before TRecorder",
                               u"second before TRecorder",
                               u"owner remove second:TRecorder",
                               u"second remove second:TRecorder",
                           }));
}

TEST(ComponentTest, InsertionIsNotifiedOnTheWholeObjectBeforeAfterConstruction) {
  JournalScope journal;
  TComponentPtr<TRecorder> owner = MakeComponent<TRecorder>(u"owner");
  CreateComponent<TRecorder>(owner.get(), u"sibling");
  journal.Lines.clear();
  TComponent* derived = CreateComponent<TDerivedRecorder>(owner.get());
  // The owner and its children hear of the most derived class; AfterConstruction runs after
  // joining, on the most derived object.
  EXPECT_EQ(journal.Lines, (std::vector<std::u16string>{
                               u"owner insert derived:TDerivedRecorder",
                               u"sibling insert derived:TDerivedRecorder",
                               u"derived insert derived:TDerivedRecorder",
                               u"derived after TDerivedRecorder owner-count joined=2",
                           }));
  journal.Lines.clear();
  DestroyComponent(derived);
  ASSERT_FALSE(journal.Lines.empty());
  EXPECT_EQ(journal.Lines.front(), u"derived before TDerivedRecorder");

  // Moving a component to another owner removes it from the first.
  TComponentPtr<TRecorder> other = MakeComponent<TRecorder>(u"other");
  TComponent* sibling = owner->Components(0);
  journal.Lines.clear();
  other->InsertComponent(sibling);
  EXPECT_EQ(owner->ComponentCount(), 0);
  EXPECT_EQ(sibling->Owner(), other.get());
  EXPECT_EQ(journal.Lines, (std::vector<std::u16string>{
                               u"owner remove sibling:TRecorder",
                               u"sibling remove sibling:TRecorder",
                               u"other insert sibling:TRecorder",
                               u"sibling insert sibling:TRecorder",
                           }));
}

TEST(ComponentTest, FailedAfterConstructionDestroysTheObject) {
  JournalScope journal;
  TComponentPtr<TRecorder> owner = MakeComponent<TRecorder>(u"owner");
  journal.Lines.clear();
  ExpectError<EWebException>([&] { CreateComponent<TFailingStart>(owner.get()); }, u"EWebException",
                             u"no start");
  EXPECT_EQ(owner->ComponentCount(), 0);
  EXPECT_EQ(journal.Lines, (std::vector<std::u16string>{
                               u"owner insert failing:TFailingStart",
                               u"failing insert failing:TFailingStart",
                               u"failing after TFailingStart owner-count joined=1",
                               u"owner remove failing:TFailingStart",
                               u"failing remove failing:TFailingStart",
                           }));
}

TEST(ComponentTest, FreeNotificationReachesWatchersOutsideTheOwnerTree) {
  JournalScope journal;
  TComponentPtr<TRecorder> watched = MakeComponent<TRecorder>(u"watched");
  TComponentPtr<TRecorder> watcher = MakeComponent<TRecorder>(u"watcher");
  TComponentPtr<TRecorder> quiet = MakeComponent<TRecorder>(u"quiet");
  watched->FreeNotification(watcher.get());
  watched->FreeNotification(watcher.get()); // registered once
  watched->FreeNotification(quiet.get());
  watched->RemoveFreeNotification(quiet.get());
  journal.Lines.clear();
  watched.reset();
  EXPECT_EQ(journal.Lines, (std::vector<std::u16string>{
                               u"watched before TRecorder",
                               u"watcher remove watched:TRecorder",
                           }));

  // Mutual: when the watcher goes first, the watched one forgets it (no call on freed memory).
  TComponentPtr<TRecorder> target = MakeComponent<TRecorder>(u"target");
  TComponentPtr<TRecorder> observer = MakeComponent<TRecorder>(u"observer");
  target->FreeNotification(observer.get());
  journal.Lines.clear();
  observer.reset();
  EXPECT_EQ(journal.Lines, (std::vector<std::u16string>{
                               u"observer before TRecorder",
                               u"target remove observer:TRecorder",
                           }));
  journal.Lines.clear();
  target.reset();
  EXPECT_EQ(journal.Lines, (std::vector<std::u16string>{u"target before TRecorder"}));
}

TEST(ComponentTest, StateFlagsAndTag) {
  TComponentPtr<TRecorder> owner = MakeComponent<TRecorder>(u"owner");
  EXPECT_TRUE(owner->ComponentState().Empty());
  owner->IncludeComponentState(TComponentStateFlag::csDesigning);
  auto* child = CreateComponent<TRecorder>(owner.get(), u"child");
  EXPECT_TRUE(child->ComponentState().Contains(TComponentStateFlag::csDesigning));
  child->IncludeComponentState(TComponentStateFlag::csLoading);
  child->IncludeComponentState(TComponentStateFlag::csReading);
  child->Loaded();
  EXPECT_FALSE(child->ComponentState().Contains(TComponentStateFlag::csLoading));
  EXPECT_TRUE(child->ComponentState().Contains(TComponentStateFlag::csReading));
  child->SetTag(-7);
  EXPECT_EQ(child->Tag(), -7);

  // csDestroying is set while BeforeDestruction's successors run.
  class TWatchState : public TComponent {
  public:
    using TComponent::TComponent;
    bool* Seen = nullptr;
    void Notification(TComponent* AComponent, TOperation operation) override {
      if (operation == TOperation::opRemove && Seen != nullptr) {
        *Seen = Owner()->ComponentState().Contains(TComponentStateFlag::csDestroying);
      }
      TComponent::Notification(AComponent, operation);
    }
  };
  bool seen = false;
  TComponentPtr<TRecorder> parent = MakeComponent<TRecorder>(u"parent");
  CreateComponent<TWatchState>(parent.get())->Seen = &seen;
  CreateComponent<TRecorder>(parent.get(), u"last");
  parent.reset();
  EXPECT_TRUE(seen);
}

TEST(ComponentTest, ClassReferences) {
  const TClassInfo& derived = TDerivedRecorder::ClassInfo();
  EXPECT_EQ(derived.ClassName(), u"TDerivedRecorder");
  EXPECT_EQ(derived.ClassParent(), &TRecorder::ClassInfo());
  EXPECT_EQ(TRecorder::ClassInfo().ClassParent(), &TComponent::ClassInfo());
  EXPECT_TRUE(derived.InheritsFrom(TComponent::ClassInfo()));
  EXPECT_TRUE(derived.InheritsFrom(derived));
  EXPECT_FALSE(TRecorder::ClassInfo().InheritsFrom(derived));
  EXPECT_FALSE(derived == TRecorder::ClassInfo());

  // The virtual constructor makes the derived object, joined to its owner.
  TComponentPtr<TRecorder> owner = MakeComponent<TRecorder>(u"owner");
  TComponentClass reference = &derived;
  TComponent* made = reference->Create(owner.get());
  EXPECT_NE(dynamic_cast<TDerivedRecorder*>(made), nullptr);
  EXPECT_EQ(&made->ClassType(), &derived);
  EXPECT_EQ(made->ClassName(), u"TDerivedRecorder");
  EXPECT_EQ(owner->Components(0), made);
  EXPECT_FALSE(made->ClassType() == TRecorder::ClassInfo());

  EXPECT_FALSE(TNeedsTwo::ClassInfo().CanCreate());
  ExpectError<EAbstractError>([] { TNeedsTwo::ClassInfo().Create(nullptr); }, u"EAbstractError",
                              u"Abstract Error");

  // Classes are found by name once their class reference exists, letter case ignored.
  EXPECT_EQ(FindClass(u"tderivedrecorder"), &derived);
  EXPECT_EQ(FindClass(u"TComponent"), &TComponent::ClassInfo());
  EXPECT_EQ(FindClass(u"TNoSuchClass"), nullptr);
}

TEST(ComponentTest, PublishedPropertiesAndMethods) {
  JournalScope journal;
  TComponentPtr<TDerivedRecorder> object = MakeComponent<TDerivedRecorder>();
  const TClassInfo& info = object->ClassType();

  // Inherited properties are found through the parent chain.
  const TPropertyInfo* name = info.FindProperty(u"name");
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(name->Kind(), TPropertyKind::pkString);
  name->SetValue(*object, std::u16string(u"renamed"));
  EXPECT_EQ(object->Name(), u"renamed");
  info.FindProperty(u"Tag")->SetValue(*object, std::int64_t{42});
  EXPECT_EQ(object->Tag(), 42);
  EXPECT_EQ(TRecorder::ClassInfo().FindProperty(u"Flag"), nullptr);

  info.FindProperty(u"Flag")->SetValue(*object, true);
  EXPECT_TRUE(object->Flag);
  info.FindProperty(u"Count")->SetValue(*object, std::int64_t{-5});
  EXPECT_EQ(object->Count, -5);
  info.FindProperty(u"Text")->SetValue(*object, std::u16string(u"hello"));
  EXPECT_EQ(object->Text, u"hello");
  const TPropertyInfo* kind = info.FindProperty(u"Kind");
  EXPECT_EQ(kind->Kind(), TPropertyKind::pkEnumeration);
  kind->SetValue(*object, TIdentValue{u"shDark"});
  EXPECT_EQ(object->Kind, TShade::shDark);

  // Wrong kinds, unknown identifiers and out-of-range integers are the reader's error.
  const auto invalid = [&](const TPropertyInfo* property, TPropertyValue value) {
    ExpectError<EReadError>([&] { property->SetValue(*object, value); }, u"EReadError",
                            u"Invalid property value");
  };
  invalid(info.FindProperty(u"Flag"), std::int64_t{1});
  invalid(info.FindProperty(u"Count"), std::int64_t{1} << 40);
  invalid(info.FindProperty(u"Text"), true);
  invalid(kind, TIdentValue{u"shGrey"});
  invalid(kind, std::u16string(u"shDark"));
  EXPECT_EQ(object->Kind, TShade::shDark);

  // Component references: null clears, another class of component is refused.
  TComponentPtr<TRecorder> partner = MakeComponent<TRecorder>(u"partner");
  const TPropertyInfo* partnerProperty = info.FindProperty(u"Partner");
  EXPECT_EQ(partnerProperty->Kind(), TPropertyKind::pkComponent);
  partnerProperty->SetValue(*object, static_cast<TComponent*>(partner.get()));
  EXPECT_EQ(object->Partner, partner.get());
  TComponentPtr<TNeedsTwo> stranger(CreateComponent<TNeedsTwo>(nullptr, 2));
  invalid(partnerProperty, static_cast<TComponent*>(stranger.get()));
  partnerProperty->SetValue(*object, static_cast<TComponent*>(nullptr));
  EXPECT_EQ(object->Partner, nullptr);

  // A published method binds to the instance and becomes the event.
  const TMethodInfo* ping = info.FindMethod(u"PINGHANDLER");
  ASSERT_NE(ping, nullptr);
  const TPropertyInfo* onPing = info.FindProperty(u"OnPing");
  EXPECT_EQ(onPing->Kind(), TPropertyKind::pkMethod);
  onPing->SetValue(*object, TMethodValue{ping, object.get()});
  ASSERT_TRUE(object->OnPing.Assigned());
  EXPECT_TRUE(object->OnPing.IsBoundTo(object.get()));
  EXPECT_FALSE(object->OnPing.IsBoundTo(partner.get()));
  object->OnPing(partner.get());
  EXPECT_EQ(journal.Lines.back(), u"renamed pinged by TRecorder");
  // A method of another shape, or bound to an object of another class, does not fit.
  invalid(onPing, TMethodValue{info.FindMethod(u"WrongShape"), object.get()});
  invalid(onPing, TMethodValue{ping, partner.get()});
  EXPECT_EQ(info.FindMethod(u"NoSuchMethod"), nullptr);

  // A collection property hands out the collection and the class of its items.
  const TPropertyInfo* items = info.FindProperty(u"Items");
  EXPECT_EQ(items->Kind(), TPropertyKind::pkCollection);
  EXPECT_EQ(&items->GetCollection(*object), &object->Items());
  EXPECT_EQ(items->ItemClass(), &TRecorder::ClassInfo());
  invalid(items, true);
}

TEST(ComponentTest, MethodPointers) {
  TNotifyEvent event;
  EXPECT_FALSE(event.Assigned());
  EXPECT_FALSE(event);
  int calls = 0;
  event = [&calls](TObject*) { ++calls; };
  EXPECT_TRUE(event.Assigned());
  EXPECT_EQ(event.Data(), nullptr);
  event(nullptr);
  EXPECT_EQ(calls, 1);
  event = nullptr;
  EXPECT_FALSE(event.Assigned());

  TComponentPtr<TDerivedRecorder> object = MakeComponent<TDerivedRecorder>();
  TNotifyEvent bound(object.get(), &TDerivedRecorder::PingHandler);
  EXPECT_TRUE(bound.IsBoundTo(object.get()));
  EXPECT_TRUE(bound.IsBoundTo(static_cast<TComponent*>(object.get())));
  EXPECT_EQ(bound.Data(), static_cast<const void*>(object.get()));
}

TEST(ComponentTest, GlobalNameSpace) {
  // The uniqueness test answers true until replaced; restoring gives back the default.
  EXPECT_TRUE(IsUniqueGlobalComponentName()(u"anything"));
  const auto never = [](std::u16string_view) { return false; };
  TIsUniqueGlobalComponentName previous = SetIsUniqueGlobalComponentName(+never);
  EXPECT_FALSE(IsUniqueGlobalComponentName()(u"anything"));
  EXPECT_EQ(SetIsUniqueGlobalComponentName(previous), +never);
  EXPECT_TRUE(IsUniqueGlobalComponentName()(u"anything"));

  static TComponent* known = nullptr;
  TComponentPtr<TRecorder> global = MakeComponent<TRecorder>(u"global");
  known = global.get();
  const TFindGlobalComponent nothing = [](std::u16string_view) -> TComponent* { return nullptr; };
  const TFindGlobalComponent byName = [](std::u16string_view name) -> TComponent* {
    return name == u"global" ? known : nullptr;
  };
  EXPECT_EQ(FindGlobalComponent(u"global"), nullptr);
  RegisterFindGlobalComponentProc(nothing);
  RegisterFindGlobalComponentProc(byName);
  RegisterFindGlobalComponentProc(byName);
  EXPECT_EQ(FindGlobalComponent(u"global"), global.get());
  EXPECT_EQ(FindGlobalComponent(u"other"), nullptr);
  UnregisterFindGlobalComponentProc(byName);
  EXPECT_EQ(FindGlobalComponent(u"global"), nullptr);
  UnregisterFindGlobalComponentProc(nothing);

  // The lock is re-entrant on one thread and exclusive across threads.
  std::lock_guard<std::recursive_mutex> outer(GlobalNameSpaceLock());
  { std::lock_guard<std::recursive_mutex> inner(GlobalNameSpaceLock()); }
  bool otherThreadGotIt = true;
  std::thread probe([&] {
    otherThreadGotIt = GlobalNameSpaceLock().try_lock();
    if (otherThreadGotIt) {
      GlobalNameSpaceLock().unlock();
    }
  });
  probe.join();
  EXPECT_FALSE(otherThreadGotIt);
}

} // namespace
} // namespace isapi_web
