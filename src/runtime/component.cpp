#include "runtime/component.h"

#include <algorithm>

#include "runtime/exceptions.h"
#include "runtime/text.h"

namespace isapi_web {

namespace {

template <class T> void EraseValue(std::vector<T*>& list, const T* value) {
  list.erase(std::remove(list.begin(), list.end(), value), list.end());
}

template <class T> bool ContainsValue(const std::vector<T*>& list, const T* value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

} // namespace

// TComponent

TComponent::TComponent(TComponent* AOwner) : FOwner(AOwner) {
  if (AOwner != nullptr && AOwner->FComponentState.Contains(TComponentStateFlag::csDesigning)) {
    FComponentState.Include(TComponentStateFlag::csDesigning);
  }
}

TComponent::~TComponent() {
  // Reached without DestroyComponent only for objects that were deleted directly; their
  // partners still must forget them.
  ReleaseLinks();
}

const TClassInfo& TComponent::ClassInfo() {
  static const TClassInfo info = TClassBuilder<TComponent>(u"TComponent", nullptr)
                                     .Property(u"Name", &TComponent::SetName)
                                     .Property(u"Tag", &TComponent::SetTag)
                                     .Build();
  return info;
}

std::u16string TComponent::ClassName() const {
  return ClassType().ClassName();
}

void TComponent::BeforeDestruction() {
  FComponentState.Include(TComponentStateFlag::csDestroying);
}

void TComponent::SetName(std::u16string_view value) {
  FName.assign(value);
}

TComponent* TComponent::Components(int index) const {
  if (index < 0 || index >= ComponentCount()) {
    throw EListError(Format(u"List index out of bounds (%d)", {index}));
  }
  return FComponents[static_cast<std::size_t>(index)];
}

int TComponent::ComponentIndex() const {
  if (FOwner == nullptr || !FJoined) {
    return -1;
  }
  const auto& siblings = FOwner->FComponents;
  const auto position = std::find(siblings.begin(), siblings.end(), this);
  return position == siblings.end() ? -1 : static_cast<int>(position - siblings.begin());
}

TComponent* TComponent::FindComponent(std::u16string_view name) const {
  if (name.empty()) {
    return nullptr;
  }
  for (TComponent* component : FComponents) {
    if (SameTextAscii(component->FName, name)) {
      return component;
    }
  }
  return nullptr;
}

void TComponent::InsertComponent(TComponent* AComponent) {
  if (AComponent == nullptr || AComponent == this) {
    return;
  }
  if (AComponent->FJoined) {
    if (AComponent->FOwner == this) {
      return;
    }
    AComponent->FOwner->RemoveComponent(AComponent);
  }
  FComponents.push_back(AComponent);
  AComponent->FOwner = this;
  AComponent->FJoined = true;
  if (FComponentState.Contains(TComponentStateFlag::csDesigning)) {
    AComponent->FComponentState.Include(TComponentStateFlag::csDesigning);
  }
  Notification(AComponent, TOperation::opInsert);
}

void TComponent::RemoveComponent(TComponent* AComponent) {
  if (AComponent == nullptr || !ContainsValue(FComponents, AComponent)) {
    return;
  }
  // The component leaves the list even when a notification raises.
  try {
    Notification(AComponent, TOperation::opRemove);
  } catch (...) {
    Detach(AComponent);
    throw;
  }
  Detach(AComponent);
}

void TComponent::Detach(TComponent* AComponent) noexcept {
  EraseValue(FComponents, AComponent);
  AComponent->FOwner = nullptr;
  AComponent->FJoined = false;
}

void TComponent::JoinOwner() {
  if (FOwner != nullptr && !FJoined) {
    TComponent* owner = FOwner;
    FOwner = nullptr;
    owner->InsertComponent(this);
  }
}

void TComponent::FreeNotification(TComponent* AComponent) {
  if (AComponent == nullptr || AComponent == this) {
    return;
  }
  if (!ContainsValue(FFreeNotifies, AComponent)) {
    FFreeNotifies.push_back(AComponent);
  }
  if (!ContainsValue(AComponent->FFreeNotifies, this)) {
    AComponent->FFreeNotifies.push_back(this);
  }
}

void TComponent::RemoveFreeNotification(TComponent* AComponent) {
  if (AComponent == nullptr) {
    return;
  }
  EraseValue(FFreeNotifies, AComponent);
  EraseValue(AComponent->FFreeNotifies, this);
}

void TComponent::Loaded() {
  FComponentState.Exclude(TComponentStateFlag::csLoading);
}

void TComponent::Notification(TComponent* AComponent, TOperation operation) {
  if (operation == TOperation::opRemove && AComponent != nullptr) {
    RemoveFreeNotification(AComponent);
  }
  // By index: a receiver may change the list (a child that destroys itself).
  for (std::size_t i = 0; i < FComponents.size(); ++i) {
    TComponent* child = FComponents[i];
    child->Notification(AComponent, operation);
    if (i < FComponents.size() && FComponents[i] != child) {
      --i;
    }
  }
}

void TComponent::ReleaseLinks() noexcept {
  if (FLinksReleased) {
    return;
  }
  FLinksReleased = true;
  FComponentState.Include(TComponentStateFlag::csDestroying);
  while (!FFreeNotifies.empty()) {
    TComponent* partner = FFreeNotifies.back();
    FFreeNotifies.pop_back();
    EraseValue(partner->FFreeNotifies, this);
    try {
      partner->Notification(this, TOperation::opRemove);
    } catch (...) {
      // A partner's complaint cannot stop a destruction.
    }
  }
  while (!FComponents.empty()) {
    TComponent* child = FComponents.back();
    DestroyComponent(child);
    if (!FComponents.empty() && FComponents.back() == child) {
      Detach(child);
    }
  }
  if (FOwner != nullptr && FJoined) {
    try {
      FOwner->RemoveComponent(this);
    } catch (...) {
      // RemoveComponent has detached this component already.
    }
  }
  FOwner = nullptr;
}

void TComponent::Discard(TComponent* component) noexcept {
  component->FDestroying = true;
  component->ReleaseLinks();
  delete component;
}

void DestroyComponent(TComponent* component) noexcept {
  if (component == nullptr || component->FDestroying) {
    return;
  }
  component->FDestroying = true;
  try {
    component->BeforeDestruction();
  } catch (...) {
    // Destruction always completes.
  }
  component->ReleaseLinks();
  delete component;
}

// Published properties and methods

void InvalidPropertyValue() {
  throw EReadError(u"Invalid property value");
}

TPropertyInfo::TPropertyInfo(std::u16string name, TPropertyKind kind, TSetter setter)
    : FName(std::move(name)), FKind(kind), FSetter(std::move(setter)) {}

TPropertyInfo::TPropertyInfo(std::u16string name, TCollectionGetter getter,
                             const TClassInfo& itemClass)
    : FName(std::move(name)), FKind(TPropertyKind::pkCollection),
      FCollectionGetter(std::move(getter)), FItemClass(&itemClass) {}

void TPropertyInfo::SetValue(TPersistent& instance, const TPropertyValue& value) const {
  if (!FSetter) {
    InvalidPropertyValue();
  }
  FSetter(instance, value);
}

TCollection& TPropertyInfo::GetCollection(TPersistent& instance) const {
  if (!FCollectionGetter) {
    InvalidPropertyValue();
  }
  return FCollectionGetter(instance);
}

TMethodInfo::TMethodInfo(std::u16string name, std::type_index eventType, TBinder binder)
    : FName(std::move(name)), FEventType(eventType), FBinder(std::move(binder)) {}

namespace {

struct TClassRegistry {
  std::mutex Lock;
  std::vector<const TClassInfo*> Classes;
};

TClassRegistry& ClassRegistry() {
  static TClassRegistry registry;
  return registry;
}

} // namespace

TClassInfo::TClassInfo(std::u16string name, const TClassInfo* parent, TConstructor constructor,
                       std::vector<TPropertyInfo> properties, std::vector<TMethodInfo> methods)
    : FName(std::move(name)), FParent(parent), FConstructor(constructor),
      FProperties(std::move(properties)), FMethods(std::move(methods)) {
  RegisterClass(*this);
}

bool TClassInfo::InheritsFrom(const TClassInfo& ancestor) const noexcept {
  for (const TClassInfo* current = this; current != nullptr; current = current->FParent) {
    if (current == &ancestor) {
      return true;
    }
  }
  return false;
}

TComponent* TClassInfo::Create(TComponent* AOwner) const {
  if (FConstructor == nullptr) {
    AbstractError();
  }
  return FConstructor(AOwner);
}

const TPropertyInfo* TClassInfo::FindProperty(std::u16string_view name) const {
  for (const TClassInfo* current = this; current != nullptr; current = current->FParent) {
    for (const TPropertyInfo& property : current->FProperties) {
      if (SameTextAscii(property.Name(), name)) {
        return &property;
      }
    }
  }
  return nullptr;
}

const TMethodInfo* TClassInfo::FindMethod(std::u16string_view name) const {
  for (const TClassInfo* current = this; current != nullptr; current = current->FParent) {
    for (const TMethodInfo& method : current->FMethods) {
      if (SameTextAscii(method.Name(), name)) {
        return &method;
      }
    }
  }
  return nullptr;
}

void RegisterClass(const TClassInfo& classInfo) {
  TClassRegistry& registry = ClassRegistry();
  std::lock_guard<std::mutex> guard(registry.Lock);
  for (const TClassInfo* known : registry.Classes) {
    if (known == &classInfo || SameTextAscii(known->ClassName(), classInfo.ClassName())) {
      return;
    }
  }
  registry.Classes.push_back(&classInfo);
}

const TClassInfo* FindClass(std::u16string_view name) {
  TClassRegistry& registry = ClassRegistry();
  std::lock_guard<std::mutex> guard(registry.Lock);
  for (const TClassInfo* known : registry.Classes) {
    if (SameTextAscii(known->ClassName(), name)) {
      return known;
    }
  }
  return nullptr;
}

// Process-wide name space

std::recursive_mutex& GlobalNameSpaceLock() {
  static std::recursive_mutex lock;
  return lock;
}

namespace {

bool AnyNameIsUnique(std::u16string_view) {
  return true;
}

// Constant-initialised: no code runs for it at load.
std::atomic<TIsUniqueGlobalComponentName> UniqueNameTest{&AnyNameIsUnique};

struct TGlobalLookups {
  std::mutex Lock;
  std::vector<TFindGlobalComponent> Procs;
};

TGlobalLookups& GlobalLookups() {
  static TGlobalLookups lookups;
  return lookups;
}

} // namespace

TIsUniqueGlobalComponentName IsUniqueGlobalComponentName() {
  return UniqueNameTest.load(std::memory_order_acquire);
}

TIsUniqueGlobalComponentName SetIsUniqueGlobalComponentName(TIsUniqueGlobalComponentName test) {
  return UniqueNameTest.exchange(test != nullptr ? test : &AnyNameIsUnique,
                                 std::memory_order_acq_rel);
}

void RegisterFindGlobalComponentProc(TFindGlobalComponent lookup) {
  if (lookup == nullptr) {
    return;
  }
  TGlobalLookups& lookups = GlobalLookups();
  std::lock_guard<std::mutex> guard(lookups.Lock);
  if (std::find(lookups.Procs.begin(), lookups.Procs.end(), lookup) == lookups.Procs.end()) {
    lookups.Procs.push_back(lookup);
  }
}

void UnregisterFindGlobalComponentProc(TFindGlobalComponent lookup) {
  TGlobalLookups& lookups = GlobalLookups();
  std::lock_guard<std::mutex> guard(lookups.Lock);
  lookups.Procs.erase(std::remove(lookups.Procs.begin(), lookups.Procs.end(), lookup),
                      lookups.Procs.end());
}

TComponent* FindGlobalComponent(std::u16string_view name) {
  std::vector<TFindGlobalComponent> procs;
  {
    TGlobalLookups& lookups = GlobalLookups();
    std::lock_guard<std::mutex> guard(lookups.Lock);
    procs = lookups.Procs;
  }
  // Asked outside the lock: a lookup may take locks of its own.
  for (TFindGlobalComponent lookup : procs) {
    if (TComponent* found = lookup(name)) {
      return found;
    }
  }
  return nullptr;
}

} // namespace isapi_web
