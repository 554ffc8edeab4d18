#include "web/web_module.h"

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/platform.h"
#include "runtime/exceptions.h"
#include "runtime/text.h"
#include "web/content_producer.h"
#include "web/module_definition.h"

namespace isapi_web {

namespace {
std::atomic<std::int64_t> ModulesCreated{0};
} // namespace

const TClassInfo& TWebModule::ClassInfo() {
  static const TClassInfo info =
      TClassBuilder<TWebModule>(u"TWebModule", &TCustomWebDispatcher::ClassInfo())
          .Collection<TWebActionItems>(u"Actions", &TWebModule::Actions,
                                       TWebActionItem::ClassInfo())
          .Property<THTTPMethodEvent>(u"BeforeDispatch", &TWebModule::SetBeforeDispatch)
          .Property<THTTPMethodEvent>(u"AfterDispatch", &TWebModule::SetAfterDispatch)
          .Property<TWebExceptionEvent>(u"OnException", &TWebModule::SetOnException)
          .Build();
  // Definitions may list producers as children; their class must be findable by name.
  static const bool producerRegistered = (RegisterClass(TCustomContentProducer::ClassInfo()), true);
  (void)producerRegistered;
  return info;
}

TWebModule::TWebModule(TComponent* AOwner) : TCustomWebDispatcher(AOwner) {}

TWebModule::~TWebModule() = default;

void TWebModule::AfterConstruction() {
  ModulesCreated.fetch_add(1, std::memory_order_relaxed);
  TCustomWebDispatcher::AfterConstruction();
}

void TWebModule::ConstructModule() {
  // The definitions bind the published methods of the most derived class, so they are read
  // on the whole object rather than in the constructor, once the dispatcher has collected its
  // owner's components: targets among the definition's children come after those.
  if (!ComponentState().Contains(TComponentStateFlag::csDesigning)) {
    ReadDefinitions();
  }
}

void TWebModule::ReadDefinitions() {
  std::vector<const TClassInfo*> chain;
  for (const TClassInfo* classInfo = &ClassType(); classInfo != nullptr;
       classInfo = classInfo->ClassParent()) {
    chain.push_back(classInfo);
    if (*classInfo == TWebModule::ClassInfo()) {
      break;
    }
  }
  TDefinitionReadScope scope;
  bool found = false;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    const std::u16string& className = (*it)->ClassName();
    if (const auto definition = platform::FindRawResource(UpperCaseAscii(className))) {
      found = true;
      ReadComponentDefinition(*this, *definition, className);
    }
  }
  if (!found) {
    throw EResNotFound(Format(u"Resource %s not found", {ClassName()}));
  }
  scope.Complete();
}

std::int64_t TWebModule::CreatedCount() noexcept {
  return ModulesCreated.load(std::memory_order_relaxed);
}

} // namespace isapi_web
