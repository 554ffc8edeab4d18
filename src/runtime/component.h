#pragma once
// Components: objects that own other components, are destroyed with their owner and hear about
// components joining or leaving; method pointers (events); class references with a virtual
// constructor and a registry of published properties and methods, through which a stored
// definition builds objects by name; and the process-wide name-space lock.
//
// Two-step lifecycle. A component is created with CreateComponent<T>(owner, ...) or through its
// class reference's Create: the C++ constructor runs, the fully built object joins its owner
// (insertion notifications see the whole object), then AfterConstruction runs. It is destroyed
// with DestroyComponent (or TComponentPtr, or by its owner): BeforeDestruction runs on the whole
// object, then free-notifications, owned components and the owner's removal notice, then delete.
// Subclasses never call AfterConstruction or BeforeDestruction themselves.

#include <any>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeindex>
#include <utility>
#include <variant>
#include <vector>

#include "runtime/persistent.h"

namespace isapi_web {

class TComponent;
class TClassInfo;
class TCollection;

/// Any object an event may name as its Sender.
using TObject = TPersistent;

// ---- Method pointers ------------------------------------------------------------------------

/// A method pointer: an object and one of its member functions (or any callable bound to no
/// object). Empty until assigned; Assigned() tells.
template <class... Args> class TMethodPointer {
public:
  TMethodPointer() = default;
  TMethodPointer(std::nullptr_t) {}
  /// Object's member function Method, as a published method binds.
  template <class T>
  TMethodPointer(T* object, void (T::*method)(Args...))
      : FObject(MostDerived(object)),
        FCall([object, method](Args... args) { (object->*method)(std::forward<Args>(args)...); }) {}
  /// Any callable, bound to no object (handlers built in code).
  template <class F, class = std::enable_if_t<std::is_invocable_r_v<void, F&, Args...> &&
                                              !std::is_same_v<std::decay_t<F>, TMethodPointer>>>
  TMethodPointer(F call) : FCall(std::move(call)) {}

  bool Assigned() const noexcept { return static_cast<bool>(FCall); }
  explicit operator bool() const noexcept { return Assigned(); }
  /// Calls the method; an unassigned pointer must not be called.
  void operator()(Args... args) const { FCall(std::forward<Args>(args)...); }
  /// The object the method is bound to (its most-derived address), or null.
  const void* Data() const noexcept { return FObject; }
  /// Whether the method is bound to Object.
  template <class T> bool IsBoundTo(const T* object) const noexcept {
    return FObject != nullptr && FObject == MostDerived(object);
  }

private:
  template <class T> static const void* MostDerived(const T* object) noexcept {
    if constexpr (std::is_polymorphic_v<T>) {
      return dynamic_cast<const void*>(object);
    } else {
      return static_cast<const void*>(object);
    }
  }

  const void* FObject = nullptr;
  std::function<void(Args...)> FCall;
};

template <class T> struct IsMethodPointer : std::false_type {};
template <class... Args> struct IsMethodPointer<TMethodPointer<Args...>> : std::true_type {};

/// An event that only names its Sender.
using TNotifyEvent = TMethodPointer<TObject*>;

// ---- Component state and notifications ------------------------------------------------------

/// What a notification reports about the component it names.
enum class TOperation : std::uint8_t { opInsert, opRemove };

/// One flag of a component's state.
enum class TComponentStateFlag : std::uint8_t {
  csLoading = 1,    ///< a definition is being applied; Loaded clears it
  csReading = 2,    ///< the definition reader is setting properties
  csDesigning = 4,  ///< owned by a design tool; taken from the owner at construction
  csDestroying = 8, ///< destruction has begun
};

/// A set of TComponentStateFlag values.
class TComponentState {
public:
  bool Contains(TComponentStateFlag flag) const noexcept { return (FBits & Bit(flag)) != 0; }
  void Include(TComponentStateFlag flag) noexcept { FBits |= Bit(flag); }
  void Exclude(TComponentStateFlag flag) noexcept {
    FBits &= static_cast<std::uint8_t>(~Bit(flag));
  }
  bool Empty() const noexcept { return FBits == 0; }

private:
  static std::uint8_t Bit(TComponentStateFlag flag) noexcept {
    return static_cast<std::uint8_t>(flag);
  }
  std::uint8_t FBits = 0;
};

// ---- Components -----------------------------------------------------------------------------

// Declares ClassInfo (defined in the class's .cpp), ClassType and ClassName of a component class.
#define ISAPI_WEB_COMPONENT_CLASS(Name)                                                            \
public:                                                                                            \
  static const ::isapi_web::TClassInfo& ClassInfo();                                               \
  const ::isapi_web::TClassInfo& ClassType() const override {                                      \
    return ClassInfo();                                                                            \
  }                                                                                                \
                                                                                                   \
private:

// Declares ClassInfo and ClassName of a persistent class that is not a component (a collection
// item whose published properties a definition sets).
#define ISAPI_WEB_PERSISTENT_CLASS(Name)                                                           \
public:                                                                                            \
  static const ::isapi_web::TClassInfo& ClassInfo();                                               \
  std::u16string ClassName() const override {                                                      \
    return u## #Name;                                                                              \
  }                                                                                                \
                                                                                                   \
private:

/// An owner of components, with names, removal and insertion notification and a class reference.
class TComponent : public TPersistent {
public:
  /// Records AOwner; the component joins it once fully built (see CreateComponent). A component
  /// of a designing owner starts in csDesigning.
  explicit TComponent(TComponent* AOwner);
  /// Releases what DestroyComponent did not (free-notifications, owned components, the owner).
  ~TComponent() override;

  static const TClassInfo& ClassInfo();
  /// The class reference of the object's own class.
  virtual const TClassInfo& ClassType() const { return ClassInfo(); }
  /// The name of ClassType().
  std::u16string ClassName() const override;

  /// Second construction step, on the whole object; the base does nothing.
  virtual void AfterConstruction() {}
  /// First destruction step, on the whole object; the base sets csDestroying.
  virtual void BeforeDestruction();

  TComponent* Owner() const noexcept { return FOwner; }
  const std::u16string& Name() const noexcept { return FName; }
  /// Stores the component name (no other check: the definition reader owns naming rules).
  virtual void SetName(std::u16string_view value);
  std::intptr_t Tag() const noexcept { return FTag; }
  void SetTag(std::intptr_t value) noexcept { FTag = value; }

  /// Owned components, in order of joining.
  int ComponentCount() const noexcept { return static_cast<int>(FComponents.size()); }
  /// The owned component at Index; raises EListError "List index out of bounds (%d)" outside.
  TComponent* Components(int index) const;
  /// Position in the owner's list, or -1.
  int ComponentIndex() const;
  /// The first owned component named Name (ASCII case ignored), or null.
  TComponent* FindComponent(std::u16string_view name) const;
  /// Takes AComponent into the owned list (leaving its old owner), then Notification(opInsert).
  void InsertComponent(TComponent* AComponent);
  /// Notification(opRemove), then drops AComponent from the owned list; it is not destroyed.
  void RemoveComponent(TComponent* AComponent);

  /// Registers AComponent to receive Notification(this, opRemove) when this component is
  /// destroyed; mutual, so whichever goes first is forgotten by the other.
  void FreeNotification(TComponent* AComponent);
  /// Undoes FreeNotification in both directions.
  void RemoveFreeNotification(TComponent* AComponent);

  const TComponentState& ComponentState() const noexcept { return FComponentState; }
  /// For the definition reader (csLoading, csReading) and design tools (csDesigning).
  void IncludeComponentState(TComponentStateFlag flag) noexcept { FComponentState.Include(flag); }
  void ExcludeComponentState(TComponentStateFlag flag) noexcept { FComponentState.Exclude(flag); }
  /// Called once a definition has been applied to every component read; clears csLoading.
  virtual void Loaded();

  /// Reports that AComponent joined (opInsert) or is leaving (opRemove) this component or a
  /// component this one watches. The base forgets a removed component's free-notification and
  /// passes the notification on to every owned component; overrides call it.
  virtual void Notification(TComponent* AComponent, TOperation operation);

private:
  template <class T, class... Args> friend T* CreateComponent(Args&&... args);
  friend void DestroyComponent(TComponent* component) noexcept;

  void JoinOwner();
  void Detach(TComponent* AComponent) noexcept;
  void ReleaseLinks() noexcept;
  static void Discard(TComponent* component) noexcept;

  TComponent* FOwner = nullptr;
  std::u16string FName;
  std::intptr_t FTag = 0;
  std::vector<TComponent*> FComponents;
  std::vector<TComponent*> FFreeNotifies;
  TComponentState FComponentState;
  bool FJoined = false;
  bool FDestroying = false;
  bool FLinksReleased = false;
};

/// Builds a T(AOwner, Args...), lets the whole object join its owner, runs AfterConstruction
/// and returns it: owned by its owner when it has one, by the caller otherwise. If joining or
/// AfterConstruction raises, the object is destroyed (without BeforeDestruction) and the error
/// propagates.
template <class T, class... Args> T* CreateComponent(Args&&... args) {
  T* component = new T(std::forward<Args>(args)...);
  try {
    component->JoinOwner();
    component->AfterConstruction();
  } catch (...) {
    TComponent::Discard(component);
    throw;
  }
  return component;
}

/// BeforeDestruction, then free-notifications, owned components (last first) and removal from
/// the owner, then delete. Null does nothing. An exception that BeforeDestruction lets out is
/// dropped: destruction always completes.
void DestroyComponent(TComponent* component) noexcept;

struct TComponentDeleter {
  void operator()(TComponent* component) const noexcept { DestroyComponent(component); }
};
/// Sole ownership of a component that has no owner.
template <class T = TComponent> using TComponentPtr = std::unique_ptr<T, TComponentDeleter>;

/// CreateComponent for a component without owner, as a TComponentPtr.
template <class T, class... Args> TComponentPtr<T> MakeComponent(Args&&... args) {
  return TComponentPtr<T>(CreateComponent<T>(nullptr, std::forward<Args>(args)...));
}

// ---- Published properties and methods -------------------------------------------------------

/// What kind of value a published property takes.
enum class TPropertyKind : std::uint8_t {
  pkBoolean,
  pkInteger,
  pkString,
  pkEnumeration,
  pkMethod,
  pkComponent,
  pkCollection,
};

class TMethodInfo;

/// An enumeration identifier as a definition stores it (e.g. u"mtGet").
struct TIdentValue {
  std::u16string Name;
};
/// A published method bound to the instance that will own the event.
struct TMethodValue {
  const TMethodInfo* Method = nullptr;
  TPersistent* Instance = nullptr;
};
/// A value for a property setter. Integers travel as 64-bit; a component reference may be null.
using TPropertyValue =
    std::variant<bool, std::int64_t, std::u16string, TIdentValue, TMethodValue, TComponent*>;

/// One published property: its name, kind and setter (or, for a collection, its getter and the
/// class of its items).
class TPropertyInfo {
public:
  using TSetter = std::function<void(TPersistent& instance, const TPropertyValue& value)>;
  using TCollectionGetter = std::function<TCollection&(TPersistent& instance)>;

  TPropertyInfo(std::u16string name, TPropertyKind kind, TSetter setter);
  TPropertyInfo(std::u16string name, TCollectionGetter getter, const TClassInfo& itemClass);

  const std::u16string& Name() const noexcept { return FName; }
  TPropertyKind Kind() const noexcept { return FKind; }
  /// Sets the property of Instance; a value of the wrong kind or an unknown identifier raises
  /// EReadError "Invalid property value". Not for collections.
  void SetValue(TPersistent& instance, const TPropertyValue& value) const;
  /// The collection of Instance (pkCollection only; otherwise EReadError).
  TCollection& GetCollection(TPersistent& instance) const;
  /// The class whose published properties the collection's items take (pkCollection only).
  const TClassInfo* ItemClass() const noexcept { return FItemClass; }

private:
  std::u16string FName;
  TPropertyKind FKind;
  TSetter FSetter;
  TCollectionGetter FCollectionGetter;
  const TClassInfo* FItemClass = nullptr;
};

/// One published method: its name, its event type, and how to bind it to an instance.
class TMethodInfo {
public:
  using TBinder = std::function<std::any(TPersistent& instance)>;

  TMethodInfo(std::u16string name, std::type_index eventType, TBinder binder);

  const std::u16string& Name() const noexcept { return FName; }
  /// The TMethodPointer type the method fits.
  std::type_index EventType() const noexcept { return FEventType; }
  /// A TMethodPointer of EventType() bound to Instance (which must be of the declaring class;
  /// otherwise EReadError "Invalid property value").
  std::any Bind(TPersistent& instance) const { return FBinder(instance); }

private:
  std::u16string FName;
  std::type_index FEventType;
  TBinder FBinder;
};

/// A class reference: name, parent, virtual constructor (component classes that are not
/// abstract) and the published properties and methods declared by the class itself. Made once
/// per class, as a function-local static in its ClassInfo() (thread-safe, no static
/// constructor), and registered for FindClass when made.
class TClassInfo {
public:
  using TConstructor = TComponent* (*)(TComponent* AOwner);

  TClassInfo(std::u16string name, const TClassInfo* parent, TConstructor constructor,
             std::vector<TPropertyInfo> properties, std::vector<TMethodInfo> methods);
  TClassInfo(const TClassInfo&) = delete;
  TClassInfo& operator=(const TClassInfo&) = delete;

  const std::u16string& ClassName() const noexcept { return FName; }
  const TClassInfo* ClassParent() const noexcept { return FParent; }
  /// True for this class and its descendants.
  bool InheritsFrom(const TClassInfo& ancestor) const noexcept;
  /// Whether Create can make an instance.
  bool CanCreate() const noexcept { return FConstructor != nullptr; }
  /// The virtual constructor: CreateComponent of this class with AOwner (owned by AOwner when
  /// given, else by the caller). Raises EAbstractError for a class without constructor.
  TComponent* Create(TComponent* AOwner) const;

  /// The published property Name (ASCII case ignored) of this class or its ancestors, or null.
  const TPropertyInfo* FindProperty(std::u16string_view name) const;
  /// The published method Name (ASCII case ignored) of this class or its ancestors, or null.
  const TMethodInfo* FindMethod(std::u16string_view name) const;
  /// Properties and methods declared by this class itself, in declaration order.
  const std::vector<TPropertyInfo>& Properties() const noexcept { return FProperties; }
  const std::vector<TMethodInfo>& Methods() const noexcept { return FMethods; }

private:
  std::u16string FName;
  const TClassInfo* FParent;
  TConstructor FConstructor;
  std::vector<TPropertyInfo> FProperties;
  std::vector<TMethodInfo> FMethods;
};

/// Exact-class comparison of class references.
inline bool operator==(const TClassInfo& a, const TClassInfo& b) noexcept {
  return &a == &b;
}

/// A class reference of a component class.
using TComponentClass = const TClassInfo*;

/// Makes a class findable by name (ClassInfo() does it when first called); the first class
/// registered under a name keeps it. Thread-safe.
void RegisterClass(const TClassInfo& classInfo);
/// The registered class Name (ASCII case ignored), or null. Thread-safe.
const TClassInfo* FindClass(std::u16string_view name);

[[noreturn]] void InvalidPropertyValue();

namespace detail {
template <class V> V ConvertPropertyValue(const TPropertyValue& value) {
  using Plain = std::remove_cvref_t<V>;
  if constexpr (std::is_same_v<Plain, bool>) {
    if (const bool* b = std::get_if<bool>(&value)) {
      return *b;
    }
  } else if constexpr (std::is_integral_v<Plain>) {
    if (const std::int64_t* i = std::get_if<std::int64_t>(&value)) {
      if (std::in_range<Plain>(*i)) {
        return static_cast<Plain>(*i);
      }
    }
  } else if constexpr (std::is_same_v<Plain, std::u16string> ||
                       std::is_same_v<Plain, std::u16string_view>) {
    if (const std::u16string* s = std::get_if<std::u16string>(&value)) {
      return Plain(*s);
    }
  } else if constexpr (IsMethodPointer<Plain>::value) {
    if (const TMethodValue* m = std::get_if<TMethodValue>(&value)) {
      if (m->Method == nullptr) {
        return Plain();
      }
      if (m->Instance != nullptr && m->Method->EventType() == std::type_index(typeid(Plain))) {
        return std::any_cast<Plain>(m->Method->Bind(*m->Instance));
      }
    }
  } else if constexpr (std::is_pointer_v<Plain> &&
                       std::is_base_of_v<TComponent, std::remove_pointer_t<Plain>>) {
    if (TComponent* const* c = std::get_if<TComponent*>(&value)) {
      if (*c == nullptr) {
        return nullptr;
      }
      if (auto* typed = dynamic_cast<Plain>(*c)) {
        return typed;
      }
    }
  } else {
    static_assert(sizeof(Plain) == 0, "unsupported published property type");
  }
  InvalidPropertyValue();
}
} // namespace detail

/// Builds the TClassInfo of class T with parent class reference Parent (null for none).
///   static const TClassInfo info = TClassBuilder<TMine>(u"TMine", &TBase::ClassInfo())
///       .Property(u"Enabled", &TMine::SetEnabled).Build();
template <class T> class TClassBuilder {
public:
  TClassBuilder(std::u16string name, const TClassInfo* parent)
      : FName(std::move(name)), FParent(parent) {}

  /// A Boolean, integer, string, event or component-reference property, by its setter.
  template <class V> TClassBuilder& Property(std::u16string name, void (T::*setter)(V)) {
    using Plain = std::remove_cvref_t<V>;
    TPropertyKind kind = TPropertyKind::pkComponent;
    if constexpr (std::is_same_v<Plain, bool>) {
      kind = TPropertyKind::pkBoolean;
    } else if constexpr (std::is_integral_v<Plain>) {
      kind = TPropertyKind::pkInteger;
    } else if constexpr (IsMethodPointer<Plain>::value) {
      kind = TPropertyKind::pkMethod;
    } else if constexpr (std::is_same_v<Plain, std::u16string> ||
                         std::is_same_v<Plain, std::u16string_view>) {
      kind = TPropertyKind::pkString;
    }
    FProperties.emplace_back(std::move(name), kind,
                             [setter](TPersistent& instance, const TPropertyValue& value) {
                               (Cast(instance).*setter)(detail::ConvertPropertyValue<V>(value));
                             });
    return *this;
  }

  /// An enumeration property: each identifier with the value it stands for.
  template <class E>
  TClassBuilder& Enumeration(std::u16string name, void (T::*setter)(E),
                             std::vector<std::pair<std::u16string, E>> identifiers) {
    FProperties.emplace_back(std::move(name), TPropertyKind::pkEnumeration,
                             [setter, identifiers = std::move(identifiers)](
                                 TPersistent& instance, const TPropertyValue& value) {
                               if (const TIdentValue* ident = std::get_if<TIdentValue>(&value)) {
                                 for (const auto& [text, item] : identifiers) {
                                   if (text == ident->Name) {
                                     (Cast(instance).*setter)(item);
                                     return;
                                   }
                                 }
                               }
                               InvalidPropertyValue();
                             });
    return *this;
  }

  /// A collection property, by the getter of the collection and the class of its items.
  template <class C>
  TClassBuilder& Collection(std::u16string name, C& (T::*getter)(), const TClassInfo& itemClass) {
    FProperties.emplace_back(
        std::move(name),
        [getter](TPersistent& instance) -> TCollection& { return (Cast(instance).*getter)(); },
        itemClass);
    return *this;
  }

  /// A published method, bindable to events of its own signature.
  template <class... Args> TClassBuilder& Method(std::u16string name, void (T::*method)(Args...)) {
    using Event = TMethodPointer<Args...>;
    FMethods.emplace_back(
        std::move(name), std::type_index(typeid(Event)),
        [method](TPersistent& instance) -> std::any { return Event(&Cast(instance), method); });
    return *this;
  }

  /// The class reference; a component class constructible from its owner gets a constructor.
  TClassInfo Build() {
    TClassInfo::TConstructor constructor = nullptr;
    if constexpr (std::is_base_of_v<TComponent, T> && !std::is_abstract_v<T> &&
                  std::is_constructible_v<T, TComponent*>) {
      constructor = [](TComponent* AOwner) -> TComponent* { return CreateComponent<T>(AOwner); };
    }
    return TClassInfo(std::move(FName), FParent, constructor, std::move(FProperties),
                      std::move(FMethods));
  }

private:
  static T& Cast(TPersistent& instance) {
    T* typed = dynamic_cast<T*>(&instance);
    if (typed == nullptr) {
      InvalidPropertyValue();
    }
    return *typed;
  }

  std::u16string FName;
  const TClassInfo* FParent;
  std::vector<TPropertyInfo> FProperties;
  std::vector<TMethodInfo> FMethods;
};

// ---- Process-wide name space ----------------------------------------------------------------

/// The process-wide name-space lock. Reading a definition and destroying a module hold it
/// exclusively, so those steps run one at a time across threads while dispatching runs freely.
/// Recursive: a definition may create components that read their own. Lock order: a request
/// handler's lock first, then this one; never the other way round.
std::recursive_mutex& GlobalNameSpaceLock();

/// The test whether a top-level component name is free; the default answers true.
using TIsUniqueGlobalComponentName = bool (*)(std::u16string_view name);
/// The uniqueness test in force (safe to read from any thread).
TIsUniqueGlobalComponentName IsUniqueGlobalComponentName();
/// Replaces the uniqueness test (null restores the default); returns the previous one.
TIsUniqueGlobalComponentName SetIsUniqueGlobalComponentName(TIsUniqueGlobalComponentName test);

/// A lookup of top-level components by name, asked by the definition reader for references it
/// cannot resolve among the components it read.
using TFindGlobalComponent = TComponent* (*)(std::u16string_view name);
/// Adds a lookup; one already registered is not added again. Thread-safe.
void RegisterFindGlobalComponentProc(TFindGlobalComponent lookup);
void UnregisterFindGlobalComponentProc(TFindGlobalComponent lookup);
/// Asks the registered lookups in registration order; the first non-null answer, else null.
TComponent* FindGlobalComponent(std::u16string_view name);

} // namespace isapi_web
