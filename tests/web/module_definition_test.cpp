#include "web/module_definition.h"

#include <gtest/gtest.h>

#include <string>

#include "web/content_producer.h"
#include "web/web_module.h"
#include "web_test_doubles.h"

namespace isapi_web {
namespace {

using web_test::CaughtError;
using web_test::TNoHook;

/// A module whose own definition is minimal; the tests apply further definitions to it.
class TReaderModule : public TWebModule {
  ISAPI_WEB_COMPONENT_CLASS(TReaderModule)
public:
  explicit TReaderModule(TComponent* AOwner) : TWebModule(AOwner) {}
  void Handler(TObject*, TWebRequest&, TWebResponse&, bool&) {}
  void Notify(TObject*) {}
  void Unpublished(TObject*) {}
};

const TClassInfo& TReaderModule::ClassInfo() {
  static const TClassInfo info = TClassBuilder<TReaderModule>(u"TReaderModule", &TWebModule::ClassInfo())
                                     .Method(u"Handler", &TReaderModule::Handler)
                                     .Method(u"Notify", &TReaderModule::Notify)
                                     .Build();
  return info;
}

/// A child that records what it saw when it was told that loading had finished.
class TLoadedProbe : public TComponent {
  ISAPI_WEB_COMPONENT_CLASS(TLoadedProbe)
public:
  explicit TLoadedProbe(TComponent* AOwner) : TComponent(AOwner) {}
  void Loaded() override {
    WasLoading = ComponentState().Contains(TComponentStateFlag::csLoading);
    TagAtLoaded = Tag();
    ++LoadedCalls;
    TComponent::Loaded();
  }
  bool WasLoading = false;
  std::intptr_t TagAtLoaded = -1;
  int LoadedCalls = 0;
};

const TClassInfo& TLoadedProbe::ClassInfo() {
  static const TClassInfo info =
      TClassBuilder<TLoadedProbe>(u"TLoadedProbe", &TComponent::ClassInfo()).Build();
  return info;
}

TComponentPtr<TReaderModule> NewReader() {
  TNoHook noHook;
  return MakeComponent<TReaderModule>();
}

std::string Definition(const std::string& properties, const std::string& children = "[]") {
  return R"({"object": "reader", "class": "TReaderModule", "properties": )" + properties +
         R"(, "children": )" + children + "}";
}

std::pair<std::u16string, std::u16string> ReadError(const std::string& definition) {
  auto module = NewReader();
  return CaughtError([&] { ReadComponentDefinition(*module, definition, u"TReaderModule"); });
}

TEST(ModuleDefinition, AssignmentsApplyInStoredOrderThroughTheSetters) {
  auto module = NewReader();
  EXPECT_EQ(module->Name(), u"reader");
  module->SetOldCreateOrder(false);
  module->Actions().Add()->SetName(u"old");
  ReadComponentDefinition(*module, Definition(R"([
      ["Tag", 1], ["tag", 2], ["Width", 30],
      ["OnCreate", "Notify"], ["AfterDispatch", "Handler"], ["OnDestroy", null],
      ["Actions", [[["Name", "one"], ["MethodType", "mtGet"], ["Default", true]],
                   [["Name", "two"], ["Default", true], ["Enabled", false]]]]])"),
                          u"TReaderModule");
  EXPECT_EQ(module->Tag(), 2);
  EXPECT_EQ(module->DesignSize().X, 30);
  // Not stored, so the preset stands.
  EXPECT_TRUE(module->OldCreateOrder());
  EXPECT_TRUE(module->OnCreate().IsBoundTo(module.get()));
  EXPECT_TRUE(module->AfterDispatch().IsBoundTo(module.get()));
  EXPECT_FALSE(module->OnDestroy().Assigned());
  // The stored items replace the existing action; the later Default clears the earlier.
  ASSERT_EQ(module->Actions().Count(), 2);
  EXPECT_EQ(module->Actions().Items(0)->Name(), u"one");
  EXPECT_EQ(module->Actions().Items(0)->MethodType(), TMethodType::mtGet);
  EXPECT_FALSE(module->Actions().Items(0)->Default());
  EXPECT_TRUE(module->Actions().Items(1)->Default());
  EXPECT_FALSE(module->Actions().Items(1)->Enabled());

  // An empty stored collection keeps the actions there are; a stored False overrides the preset.
  ReadComponentDefinition(*module, Definition(R"([["Actions", []], ["OldCreateOrder", false]])"),
                          u"TReaderModule");
  EXPECT_EQ(module->Actions().Count(), 2);
  EXPECT_FALSE(module->OldCreateOrder());
}

TEST(ModuleDefinition, ChildrenAreCreatedOwnedNamedAndToldTheyAreLoaded) {
  TLoadedProbe::ClassInfo();
  auto module = NewReader();
  ReadComponentDefinition(
      *module,
      Definition(R"([["Actions", [[["Name", "a"], ["Producer", "Later"]]]]])",
                 R"([{"object": "Probe", "class": "TLoadedProbe", "properties": [["Tag", 9]]},
                     {"object": "Later", "class": "TCustomContentProducer"}])"),
      u"TReaderModule");
  ASSERT_EQ(module->ComponentCount(), 2);
  auto* probe = dynamic_cast<TLoadedProbe*>(module->FindComponent(u"probe"));
  ASSERT_NE(probe, nullptr);
  EXPECT_EQ(probe->Owner(), module.get());
  EXPECT_EQ(probe->LoadedCalls, 1);
  EXPECT_TRUE(probe->WasLoading);
  EXPECT_EQ(probe->TagAtLoaded, 9);
  EXPECT_FALSE(probe->ComponentState().Contains(TComponentStateFlag::csLoading));
  EXPECT_FALSE(module->ComponentState().Contains(TComponentStateFlag::csReading));
  auto* later = dynamic_cast<TCustomContentProducer*>(module->FindComponent(u"Later"));
  ASSERT_NE(later, nullptr);
  EXPECT_EQ(module->Actions().Items(0)->Producer(), later);
  EXPECT_EQ(later->DispatcherComponent(), module.get());

  // The same name again in one owner is refused.
  const auto duplicate = CaughtError([&] {
    ReadComponentDefinition(
        *module, Definition("[]", R"([{"object": "Probe", "class": "TLoadedProbe"}])"),
        u"TReaderModule");
  });
  EXPECT_EQ(duplicate.first, u"EComponentError");
  EXPECT_EQ(duplicate.second, u"A component named Probe already exists");
}

TComponent* ElsewhereProducer = nullptr;
TComponent* FindElsewhere(std::u16string_view name) {
  return name == u"Elsewhere" ? ElsewhereProducer : nullptr;
}

TEST(ModuleDefinition, UnresolvedReferencesAreFixedUpLater) {
  auto module = NewReader();
  ReadComponentDefinition(*module,
                          Definition(R"([["Actions", [[["Name", "a"], ["Producer", "Elsewhere"]]]]])"),
                          u"TReaderModule");
  EXPECT_EQ(module->Actions().Items(0)->Producer(), nullptr);
  auto elsewhere = MakeComponent<TCustomContentProducer>();
  elsewhere->SetName(u"Elsewhere");
  ElsewhereProducer = elsewhere.get();
  RegisterFindGlobalComponentProc(&FindElsewhere);
  GlobalFixupReferences();
  UnregisterFindGlobalComponentProc(&FindElsewhere);
  EXPECT_EQ(module->Actions().Items(0)->Producer(), elsewhere.get());

  // A root destroyed with references still pending takes them with it.
  auto other = NewReader();
  ReadComponentDefinition(*other,
                          Definition(R"([["Actions", [[["Name", "b"], ["Producer", "Nowhere"]]]]])"),
                          u"TReaderModule");
  other.reset();
  GlobalFixupReferences();
  module.reset();
  ElsewhereProducer = nullptr;
}

bool RejectReaderAndReader1(std::u16string_view name) {
  return name != u"reader" && name != u"reader_1";
}

TEST(ModuleDefinition, NameFollowsTheUniquenessTest) {
  auto module = NewReader();
  const TIsUniqueGlobalComponentName previous = SetIsUniqueGlobalComponentName(&RejectReaderAndReader1);
  ReadComponentDefinition(*module, Definition("[]"), u"TReaderModule");
  SetIsUniqueGlobalComponentName(previous);
  EXPECT_EQ(module->Name(), u"reader_2");
  EXPECT_EQ(UniqueComponentName(u"reader"), u"reader");
}

TEST(ModuleDefinition, ReaderErrors) {
  const std::pair<std::u16string, std::u16string> invalid{u"EReadError", u"Invalid property value"};
  EXPECT_EQ(ReadError(Definition(R"([["Nope", 1]])")),
            std::make_pair(std::u16string(u"EReadError"), std::u16string(u"Property Nope does not exist")));
  EXPECT_EQ(ReadError(Definition(R"([["Actions", [[["Colour", "red"]]]]])")),
            std::make_pair(std::u16string(u"EReadError"), std::u16string(u"Property Colour does not exist")));
  // A method the class does not publish, and one of the wrong event type.
  EXPECT_EQ(ReadError(Definition(R"([["OnCreate", "Unpublished"]])")), invalid);
  EXPECT_EQ(ReadError(Definition(R"([["Actions", [[["OnAction", "Missing"]]]]])")), invalid);
  EXPECT_EQ(ReadError(Definition(R"([["OnCreate", "Handler"]])")), invalid);
  // Values of the wrong JSON type, out of range, or a bad identifier.
  EXPECT_EQ(ReadError(Definition(R"([["Tag", "seven"]])")), invalid);
  EXPECT_EQ(ReadError(Definition(R"([["Tag", 1.5]])")), invalid);
  EXPECT_EQ(ReadError(Definition(R"([["Width", 3000000000]])")), invalid);
  EXPECT_EQ(ReadError(Definition(R"([["OldCreateOrder", 1]])")), invalid);
  EXPECT_EQ(ReadError(Definition(R"([["Actions", [[["PathInfo", 5]]]]])")), invalid);
  EXPECT_EQ(ReadError(Definition(R"([["Actions", [[["MethodType", "mtFetch"]]]]])")), invalid);
  EXPECT_EQ(ReadError(Definition(R"([["Actions", {"Name": "x"}]])")), invalid);
  EXPECT_EQ(ReadError(Definition(R"([["Actions", [[["Producer", 3]]]]])")), invalid);
  // A stored action name twice: the action's own error.
  EXPECT_EQ(ReadError(Definition(R"([["Actions", [[["Name", "max"]], [["Name", "MAX"]]]]])")),
            std::make_pair(std::u16string(u"EWebException"), std::u16string(u"Duplicate action name")));
  EXPECT_EQ(ReadError(Definition("[]", R"([{"object": "x", "class": "TNoSuchClass"}])")),
            std::make_pair(std::u16string(u"EReadError"), std::u16string(u"Class TNoSuchClass not found")));
  EXPECT_EQ(ReadError(R"({"object": "reader", "class": "TOtherModule"})"),
            std::make_pair(std::u16string(u"EReadError"),
                           std::u16string(u"The definition of TReaderModule is one of class TOtherModule")));

  // Malformed documents.
  for (const std::string& text : {std::string(R"({"object": "reader", "class": )"),
                                 std::string(R"(["reader"])"), std::string(R"({"class": "TReaderModule"})"),
                                 Definition(R"([["Tag"]])"), Definition(R"({"Tag": 1})"),
                                 Definition("[]", R"([{"object": "x"}])")}) {
    const auto error = ReadError(text);
    EXPECT_EQ(error.first, u"EReadError") << text;
    EXPECT_EQ(error.second.rfind(u"Malformed module definition TReaderModule: ", 0), 0u) << text;
  }

  // A failed read leaves no loading or reading flag behind.
  auto module = NewReader();
  CaughtError([&] { ReadComponentDefinition(*module, Definition(R"([["Nope", 1]])"), u"TReaderModule"); });
  EXPECT_TRUE(module->ComponentState().Empty());
}

} // namespace
} // namespace isapi_web
