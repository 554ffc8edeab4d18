// The definition reader on arbitrary text, applied to a fresh web module with published
// properties of every kind, the Actions collection, events and registered child classes.
// A read either succeeds or raises one of the reader's errors (EReadError, EComponentError for a
// bad or duplicate child name, EWebException for a duplicate action name); never another
// exception, a crash or a leak. Either way no component is left loading or reading. A read that
// succeeds has told every component it was loaded, and shows the last stored Tag and the last
// non-empty stored action list.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "runtime/component.h"
#include "runtime/exceptions.h"
#include "runtime/text.h"
#include "web/content_producer.h"
#include "web/module_definition.h"
#include "web/web_interfaces.h"
#include "web/web_module.h"

namespace isapi_web {
namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_module_definition: %s\n", what);
  std::abort();
}

enum class TFuzzMode { fmQuiet, fmLoud };

/// A child class with a property of each plain kind and a reference to another component.
class TFuzzPart : public TComponent {
  ISAPI_WEB_COMPONENT_CLASS(TFuzzPart)
public:
  explicit TFuzzPart(TComponent* AOwner) : TComponent(AOwner) {}
  void SetCaption(std::u16string value) { FCaption = std::move(value); }
  void SetCount(int value) { FCount = value; }
  void SetPeer(TComponent* value) { FPeer = value; }
  void Loaded() override {
    ++LoadedCalls;
    TComponent::Loaded();
  }
  int LoadedCalls = 0;

private:
  std::u16string FCaption;
  int FCount = 0;
  TComponent* FPeer = nullptr;
};

const TClassInfo& TFuzzPart::ClassInfo() {
  static const TClassInfo info = TClassBuilder<TFuzzPart>(u"TFuzzPart", &TComponent::ClassInfo())
                                     .Property(u"Caption", &TFuzzPart::SetCaption)
                                     .Property(u"Count", &TFuzzPart::SetCount)
                                     .Property(u"Peer", &TFuzzPart::SetPeer)
                                     .Build();
  return info;
}

/// The module: its own stored definition is the minimal one embedded as TFUZZMODULE.
class TFuzzModule : public TWebModule {
  ISAPI_WEB_COMPONENT_CLASS(TFuzzModule)
public:
  explicit TFuzzModule(TComponent* AOwner) : TWebModule(AOwner) {}
  void SetTitle(std::u16string value) { FTitle = std::move(value); }
  void SetRetries(std::int16_t value) { FRetries = value; }
  void SetVerbose(bool value) { FVerbose = value; }
  void SetMode(TFuzzMode value) { FMode = value; }
  void SetProducer(TCustomContentProducer* value) { FProducer = value; }
  void Handler(TObject*, TWebRequest&, TWebResponse&, bool&) {}
  void Notify(TObject*) {}
  void Loaded() override {
    ++LoadedCalls;
    TWebModule::Loaded();
  }
  int LoadedCalls = 0;

private:
  std::u16string FTitle;
  std::int16_t FRetries = 0;
  bool FVerbose = false;
  TFuzzMode FMode = TFuzzMode::fmQuiet;
  TCustomContentProducer* FProducer = nullptr;
};

const TClassInfo& TFuzzModule::ClassInfo() {
  static const TClassInfo info =
      TClassBuilder<TFuzzModule>(u"TFuzzModule", &TWebModule::ClassInfo())
          .Property(u"Title", &TFuzzModule::SetTitle)
          .Property(u"Retries", &TFuzzModule::SetRetries)
          .Property(u"Verbose", &TFuzzModule::SetVerbose)
          .Enumeration<TFuzzMode>(u"Mode", &TFuzzModule::SetMode,
                                  {{u"fmQuiet", TFuzzMode::fmQuiet}, {u"fmLoud", TFuzzMode::fmLoud}})
          .Property(u"Producer", &TFuzzModule::SetProducer)
          .Method(u"Handler", &TFuzzModule::Handler)
          .Method(u"Notify", &TFuzzModule::Notify)
          .Build();
  return info;
}

bool Settled(const TComponent& component) {
  return !component.ComponentState().Contains(TComponentStateFlag::csLoading) &&
         !component.ComponentState().Contains(TComponentStateFlag::csReading);
}

bool IsReaderError(const Exception& error) {
  const std::u16string name = error.ClassName();
  return name == u"EReadError" || name == u"EComponentError" || name == u"EWebException";
}

// The last stored Tag and the size of the last non-empty stored action list, when the text is
// a definition whose properties say so.
struct TStoredValues {
  std::optional<std::int64_t> Tag;
  std::optional<std::size_t> Actions;
};

TStoredValues StoredValues(std::string_view text) {
  TStoredValues stored;
  const auto document = nlohmann::ordered_json::parse(text, nullptr, false);
  if (!document.is_object() || !document.contains("properties") ||
      !document["properties"].is_array())
    return stored;
  for (const auto& pair : document["properties"]) {
    if (!pair.is_array() || pair.size() != 2 || !pair[0].is_string())
      continue;
    const std::u16string name = Utf8ToWide(pair[0].get<std::string>());
    if (SameTextAscii(name, u"Tag") && pair[1].is_number_integer())
      stored.Tag = pair[1].get<std::int64_t>();
    if (SameTextAscii(name, u"Actions") && pair[1].is_array() && !pair[1].empty())
      stored.Actions = pair[1].size();
  }
  return stored;
}

void Check(std::string_view text) {
  TComponentPtr<TFuzzModule> module = MakeComponent<TFuzzModule>();
  if (!Settled(*module) || module->LoadedCalls != 1)
    Fail("the module's own definition did not load");
  bool read = false;
  try {
    ReadComponentDefinition(*module, text, u"TFuzzModule");
    read = true;
  } catch (const Exception& error) {
    if (!IsReaderError(error)) {
      std::fprintf(stderr, "fuzz_module_definition: %s: %s\n", WideToUtf8(error.ClassName()).c_str(),
                   error.what());
      Fail("an error that is not the reader's");
    }
  }
  if (!Settled(*module))
    Fail("the module is left loading or reading");
  for (int i = 0; i < module->ComponentCount(); ++i) {
    const TComponent* child = module->Components(i);
    if (!Settled(*child))
      Fail("a child is left loading or reading");
    if (read) {
      const auto* part = dynamic_cast<const TFuzzPart*>(child);
      if (part != nullptr && part->LoadedCalls != 1)
        Fail("a child read without being told it was loaded once");
    }
  }
  if (!read)
    return;
  if (module->LoadedCalls != 2)
    Fail("a successful read did not tell the module it was loaded");
  const TStoredValues stored = StoredValues(text);
  if (stored.Tag && module->Tag() != *stored.Tag)
    Fail("the module's Tag is not the last stored one");
  if (stored.Actions && static_cast<std::size_t>(module->Actions().Count()) != *stored.Actions)
    Fail("the actions are not the last stored list");
}

} // namespace
} // namespace isapi_web

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  using namespace isapi_web;
  TFuzzModule::ClassInfo();
  RegisterClass(TFuzzPart::ClassInfo());
  RegisterClass(TCustomContentProducer::ClassInfo());
  // Errors reading a module's own definition would otherwise go to the default hook.
  SetRequestExceptionHook(TRequestExceptionHook());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  isapi_web::Check(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
