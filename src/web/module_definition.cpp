#include "web/module_definition.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <vector>

#include <nlohmann/json.hpp>

#include "runtime/exceptions.h"
#include "runtime/text.h"
#include "web/data_module.h"

namespace isapi_web {

namespace {

using TJson = nlohmann::ordered_json;

std::atomic<std::int64_t> DefinitionsRead{0};

/// A component reference that could not be resolved when it was read.
struct TPendingReference {
  TPersistent* Instance = nullptr;
  const TPropertyInfo* Property = nullptr;
  TComponent* Root = nullptr;
  std::u16string Name;
};

/// What the reads of this thread have gathered so far.
struct TReadState {
  int Depth = 0;
  std::vector<TComponent*> Read;
  std::vector<TPendingReference> Pending;
};

// The state of the reads in progress on this thread, owned by the outermost read scope. A plain
// pointer: a thread-local object with a destructor would keep an extension library that reads
// definitions from being unloaded for as long as the thread lives.
thread_local TReadState* CurrentReadState = nullptr;

TReadState& ThreadReadState() {
  return *CurrentReadState;
}

// References left unresolved by completed reads, retried by GlobalFixupReferences; guarded by
// the name-space lock. A root with such references is watched so that its entries go with it.
std::vector<TPendingReference> GlobalPending;

class TFixupWatcher : public TComponent {
public:
  explicit TFixupWatcher(TComponent* AOwner) : TComponent(AOwner) {}

  void Notification(TComponent* AComponent, TOperation operation) override {
    TComponent::Notification(AComponent, operation);
    if (operation == TOperation::opRemove) {
      // A module that failed after its read is discarded without its destruction's lock.
      std::lock_guard lock(GlobalNameSpaceLock());
      std::erase_if(GlobalPending,
                    [AComponent](const TPendingReference& p) { return p.Root == AComponent; });
    }
  }
};

TComponent& FixupWatcher() {
  // Never destroyed: roots may outlive static destruction order.
  static TComponent* const watcher = CreateComponent<TFixupWatcher>(nullptr);
  return *watcher;
}

[[noreturn]] void Malformed(std::u16string_view className, std::u16string_view detail) {
  throw EReadError(Format(u"Malformed module definition %s: %s", {className, detail}));
}

std::u16string WideText(const TJson& value) {
  return Utf8ToWide(value.get<std::string>());
}

TComponent* ResolveReference(TComponent& root, std::u16string_view name) {
  if (SameTextAscii(name, root.Name())) {
    return &root;
  }
  if (TComponent* owned = root.FindComponent(name)) {
    return owned;
  }
  // "Module.Component" names a component of another top-level component.
  const std::size_t dot = name.find(u'.');
  if (dot != std::u16string_view::npos) {
    TComponent* other = FindGlobalComponent(name.substr(0, dot));
    return other != nullptr ? other->FindComponent(name.substr(dot + 1)) : nullptr;
  }
  return FindGlobalComponent(name);
}

class TDefinitionReader {
public:
  TDefinitionReader(TComponent& root, std::u16string_view className)
      : FRoot(root), FClassName(className) {}

  void ApplyProperties(TPersistent& instance, const TClassInfo& classInfo, const TJson& list) {
    if (list.is_null()) {
      return;
    }
    if (!list.is_array()) {
      Malformed(FClassName, u"\"properties\" must be a list of [name, value] pairs");
    }
    for (const TJson& pair : list) {
      if (!pair.is_array() || pair.size() != 2 || !pair[0].is_string()) {
        Malformed(FClassName, u"a property assignment must be a [name, value] pair");
      }
      const std::u16string name = WideText(pair[0]);
      const TPropertyInfo* property = classInfo.FindProperty(name);
      if (property == nullptr) {
        throw EReadError(Format(u"Property %s does not exist", {name}));
      }
      Assign(instance, *property, pair[1]);
    }
  }

  void ReadChildren(const TJson& list) {
    if (list.is_null()) {
      return;
    }
    if (!list.is_array()) {
      Malformed(FClassName, u"\"children\" must be a list of component definitions");
    }
    for (const TJson& definition : list) {
      if (!definition.is_object() || !definition.contains("class") ||
          !definition["class"].is_string() || !definition.contains("object") ||
          !definition["object"].is_string()) {
        Malformed(FClassName, u"a child needs \"object\" and \"class\" texts");
      }
      const std::u16string className = WideText(definition["class"]);
      const std::u16string name = WideText(definition["object"]);
      const TClassInfo* classInfo = FindClass(className);
      if (classInfo == nullptr || !classInfo->CanCreate()) {
        throw EReadError(Format(u"Class %s not found", {className}));
      }
      if (!name.empty() && FRoot.FindComponent(name) != nullptr) {
        throw EComponentError(Format(u"A component named %s already exists", {name}));
      }
      // The root owns every component of its definition, however deeply listed.
      TComponent* child = classInfo->Create(&FRoot);
      child->IncludeComponentState(TComponentStateFlag::csLoading);
      child->IncludeComponentState(TComponentStateFlag::csReading);
      ThreadReadState().Read.push_back(child);
      child->SetName(name);
      ApplyProperties(*child, child->ClassType(), Member(definition, "properties"));
      ReadChildren(Member(definition, "children"));
      child->ExcludeComponentState(TComponentStateFlag::csReading);
    }
  }

  static const TJson& Member(const TJson& object, const char* key) {
    static const TJson none;
    const auto it = object.find(key);
    return it != object.end() ? *it : none;
  }

private:
  void Assign(TPersistent& instance, const TPropertyInfo& property, const TJson& value) {
    switch (property.Kind()) {
    case TPropertyKind::pkBoolean:
      if (!value.is_boolean())
        InvalidPropertyValue();
      property.SetValue(instance, value.get<bool>());
      return;
    case TPropertyKind::pkInteger:
      if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
          InvalidPropertyValue();
        }
        property.SetValue(instance, static_cast<std::int64_t>(number));
        return;
      }
      if (!value.is_number_integer())
        InvalidPropertyValue();
      property.SetValue(instance, value.get<std::int64_t>());
      return;
    case TPropertyKind::pkString:
      if (!value.is_string())
        InvalidPropertyValue();
      property.SetValue(instance, WideText(value));
      return;
    case TPropertyKind::pkEnumeration:
      if (!value.is_string())
        InvalidPropertyValue();
      property.SetValue(instance, TIdentValue{WideText(value)});
      return;
    case TPropertyKind::pkMethod: {
      if (value.is_null()) {
        property.SetValue(instance, TMethodValue{});
        return;
      }
      if (!value.is_string())
        InvalidPropertyValue();
      // Events bind to the published methods of the root's own class, whoever holds the event.
      const TMethodInfo* method = FRoot.ClassType().FindMethod(WideText(value));
      if (method == nullptr)
        InvalidPropertyValue();
      property.SetValue(instance, TMethodValue{method, &FRoot});
      return;
    }
    case TPropertyKind::pkComponent: {
      if (value.is_null()) {
        property.SetValue(instance, static_cast<TComponent*>(nullptr));
        return;
      }
      if (!value.is_string())
        InvalidPropertyValue();
      const std::u16string name = WideText(value);
      // A component listed later in the definition is found when the read completes.
      if (TComponent* component = ResolveReference(FRoot, name)) {
        property.SetValue(instance, component);
      } else {
        ThreadReadState().Pending.push_back({&instance, &property, &FRoot, name});
      }
      return;
    }
    case TPropertyKind::pkCollection: {
      if (!value.is_array() || property.ItemClass() == nullptr)
        InvalidPropertyValue();
      if (value.empty()) {
        return;
      }
      TCollection& collection = property.GetCollection(instance);
      collection.Clear();
      for (const TJson& item : value) {
        if (!item.is_array())
          InvalidPropertyValue();
        TCollectionItem* added = collection.Add();
        ApplyProperties(*added, *property.ItemClass(), item);
      }
      return;
    }
    }
    InvalidPropertyValue();
  }

  TComponent& FRoot;
  std::u16string_view FClassName;
};

} // namespace

void ReadComponentDefinition(TComponent& Root, std::string_view Definition,
                             std::u16string_view ClassName) {
  TDefinitionReadScope scope;
  DefinitionsRead.fetch_add(1, std::memory_order_relaxed);
  TJson document;
  try {
    document = TJson::parse(Definition);
  } catch (const TJson::exception& error) {
    Malformed(ClassName, Utf8ToWide(error.what()));
  }
  if (!document.is_object() || !document.contains("object") || !document["object"].is_string() ||
      !document.contains("class") || !document["class"].is_string()) {
    Malformed(ClassName, u"a definition is an object with \"object\" and \"class\" texts");
  }
  const std::u16string storedClass = WideText(document["class"]);
  if (!SameTextAscii(storedClass, ClassName)) {
    throw EReadError(Format(u"The definition of %s is one of class %s", {ClassName, storedClass}));
  }

  Root.IncludeComponentState(TComponentStateFlag::csLoading);
  Root.IncludeComponentState(TComponentStateFlag::csReading);
  std::vector<TComponent*>& read = ThreadReadState().Read;
  if (std::find(read.begin(), read.end(), &Root) == read.end()) {
    read.push_back(&Root);
  }
  if (auto* dataModule = dynamic_cast<TDataModule*>(&Root)) {
    dataModule->SetOldCreateOrder(true);
  }
  Root.SetName(UniqueComponentName(WideText(document["object"])));

  TDefinitionReader reader(Root, ClassName);
  reader.ApplyProperties(Root, Root.ClassType(), TDefinitionReader::Member(document, "properties"));
  reader.ReadChildren(TDefinitionReader::Member(document, "children"));
  Root.ExcludeComponentState(TComponentStateFlag::csReading);
  scope.Complete();
}

TDefinitionReadScope::TDefinitionReadScope() : FLock(GlobalNameSpaceLock()) {
  if (CurrentReadState == nullptr) {
    auto state = std::make_shared<TReadState>();
    CurrentReadState = state.get();
    FOwnedState = std::move(state);
  }
  ++ThreadReadState().Depth;
}

TDefinitionReadScope::~TDefinitionReadScope() {
  struct TRelease {
    bool FOwner;
    ~TRelease() {
      if (FOwner)
        CurrentReadState = nullptr;
    }
  } release{FOwnedState != nullptr};
  if (--ThreadReadState().Depth > 0 || FCompleted) {
    return;
  }
  for (TComponent* component : ThreadReadState().Read) {
    component->ExcludeComponentState(TComponentStateFlag::csReading);
    component->ExcludeComponentState(TComponentStateFlag::csLoading);
  }
  ThreadReadState().Read.clear();
  ThreadReadState().Pending.clear();
}

void TDefinitionReadScope::Complete() {
  if (ThreadReadState().Depth > 1) {
    FCompleted = true;
    return;
  }
  // References first, while the read components are still listed: a reference its property
  // refuses raises, and the scope's end then takes them out of their loading state.
  std::vector<TPendingReference> pending = std::move(ThreadReadState().Pending);
  ThreadReadState().Pending.clear();
  for (TPendingReference& reference : pending) {
    if (TComponent* component = ResolveReference(*reference.Root, reference.Name)) {
      reference.Property->SetValue(*reference.Instance, component);
    } else {
      reference.Root->FreeNotification(&FixupWatcher());
      GlobalPending.push_back(std::move(reference));
    }
  }
  FCompleted = true;
  // Taken out first: Loaded may read further definitions on this thread.
  std::vector<TComponent*> read = std::move(ThreadReadState().Read);
  ThreadReadState().Read.clear();
  for (TComponent* component : read) {
    component->Loaded();
  }
}

std::u16string UniqueComponentName(std::u16string_view Name) {
  const TIsUniqueGlobalComponentName isUnique = IsUniqueGlobalComponentName();
  std::u16string candidate(Name);
  for (std::int64_t n = 1; isUnique != nullptr && !isUnique(candidate); ++n) {
    candidate = Format(u"%s_%d", {Name, n});
  }
  return candidate;
}

void GlobalFixupReferences() {
  std::lock_guard lock(GlobalNameSpaceLock());
  std::vector<TPendingReference> pending = std::move(GlobalPending);
  GlobalPending.clear();
  for (TPendingReference& reference : pending) {
    if (TComponent* component = ResolveReference(*reference.Root, reference.Name)) {
      reference.Property->SetValue(*reference.Instance, component);
    } else {
      GlobalPending.push_back(std::move(reference));
    }
  }
}

std::int64_t DefinitionReadCount() noexcept {
  return DefinitionsRead.load(std::memory_order_relaxed);
}

} // namespace isapi_web
