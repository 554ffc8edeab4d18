#include "web/web_request_handler.h"

#include <algorithm>
#include <iostream>

#include "runtime/exceptions.h"
#include "runtime/text.h"
#include "web/module_definition.h"
#include "web/web_app_services.h"

namespace isapi_web {

namespace {

const char16_t* const TooManyConnections =
    u"Maximum number of concurrent connections exceeded.  Please try again later";

std::atomic<std::int64_t> ModulesAdded{0};

// The set whose modules this thread is creating. Name handling inside a creation scope is per
// thread: the uniqueness test and the global lookup installed below answer for the calling
// thread's set only, so concurrent sets never see each other's modules.
thread_local TWebModuleList* CurrentList = nullptr;

// Creation scopes open in the process; while there is one, the runtime's uniqueness test and
// global lookup are ours, and when the last one closes the previous test is put back.
std::mutex ScopeMutex;
int ScopesOpen = 0;
std::atomic<TIsUniqueGlobalComponentName> SavedIsUnique{nullptr};

std::atomic<TExceptionDisplay> ExceptionDisplay{nullptr};

void DefaultExceptionDisplay(std::exception_ptr E) {
  try {
    std::rethrow_exception(E);
  } catch (const Exception& error) {
    std::cerr << WideToUtf8(error.ClassName()) << ": " << WideToUtf8(error.Message()) << '\n';
  } catch (const std::exception& error) {
    std::cerr << "exception: " << error.what() << '\n';
  } catch (...) {
    std::cerr << "unknown exception\n";
  }
}

} // namespace

// ---- TDefaultWebModuleFactory ----------------------------------------------------------------

TDefaultWebModuleFactory::TDefaultWebModuleFactory(TComponentClass AComponentClass)
    : FComponentClass(AComponentClass) {}

std::u16string TDefaultWebModuleFactory::ModuleName() const {
  const std::u16string& name = FComponentClass->ClassName();
  return name.empty() ? name : name.substr(1);
}

TComponentPtr<> TDefaultWebModuleFactory::GetModule() {
  return TComponentPtr<>(FComponentClass->Create(nullptr));
}

// ---- TWebModuleFactoryList -------------------------------------------------------------------

TWebModuleFactoryList::TWebModuleFactoryList() = default;

TWebModuleFactoryList::~TWebModuleFactoryList() = default;

void TWebModuleFactoryList::AddFactory(TAbstractWebModuleFactory* AFactory) {
  std::lock_guard lock(FLock);
  for (const auto& factory : FList) {
    if (factory.get() == AFactory) {
      throw EWebException(u"Web Module Factory already registered");
    }
  }
  if (AFactory->IsAppModule()) {
    if (FAppModuleFactory != nullptr) {
      throw EWebException(u"Web App Module Factory already registered.");
    }
    FAppModuleFactory = AFactory;
  }
  FList.emplace_back(AFactory);
}

int TWebModuleFactoryList::ItemCount() const {
  std::lock_guard lock(FLock);
  return static_cast<int>(FList.size());
}

TAbstractWebModuleFactory* TWebModuleFactoryList::Items(int Index) const {
  std::lock_guard lock(FLock);
  if (Index < 0 || static_cast<std::size_t>(Index) >= FList.size()) {
    throw EListError(Format(u"List index out of bounds (%d)", {Index}));
  }
  return FList[static_cast<std::size_t>(Index)].get();
}

TAbstractWebModuleFactory* TWebModuleFactoryList::AppModuleFactory() const {
  std::lock_guard lock(FLock);
  return FAppModuleFactory;
}

// ---- TWebModuleList --------------------------------------------------------------------------

/// Hears about modules of the set being destroyed, so that they leave the list.
class TWebModuleList::TModuleWatcher : public TComponent {
public:
  TModuleWatcher(TComponent* AOwner, TWebModuleList* AList)
      : TComponent(AOwner), FModuleList(AList) {}

  void Notification(TComponent* AComponent, TOperation operation) override {
    TComponent::Notification(AComponent, operation);
    if (operation == TOperation::opRemove) {
      FModuleList->ModuleRemoved(AComponent);
    }
  }

private:
  TWebModuleList* FModuleList;
};

/// EnterCreationScope ... LeaveCreationScope, the end in every case.
class TWebModuleList::TCreationScope {
public:
  explicit TCreationScope(TWebModuleList& AList) : FModuleList(AList) {
    FModuleList.EnterCreationScope();
  }
  ~TCreationScope() noexcept(false) {
    if (std::uncaught_exceptions() > FExceptions) {
      try {
        FModuleList.LeaveCreationScope();
      } catch (...) {
        // The error already on its way wins.
      }
    } else {
      FModuleList.LeaveCreationScope();
    }
  }
  TCreationScope(const TCreationScope&) = delete;
  TCreationScope& operator=(const TCreationScope&) = delete;

private:
  TWebModuleList& FModuleList;
  int FExceptions = std::uncaught_exceptions();
};

TWebModuleList::TWebModuleList(TWebModuleFactoryList& AFactories)
    : FFactories(AFactories), FWatcher(MakeComponent<TModuleWatcher>(this)) {}

TWebModuleList::~TWebModuleList() {
  while (!FList.empty()) {
    TComponent* module = FList.back();
    FList.pop_back();
    DestroyComponent(module);
  }
}

TComponent* TWebModuleList::Items(int Index) const {
  if (Index < 0 || Index >= ItemCount()) {
    throw EListError(Format(u"List index out of bounds (%d)", {Index}));
  }
  return FList[static_cast<std::size_t>(Index)];
}

TComponent* TWebModuleList::FindModuleClass(TComponentClass AClass) const {
  for (TComponent* module : FList) {
    if (AClass != nullptr && module->ClassType() == *AClass) {
      return module;
    }
  }
  return nullptr;
}

TComponent* TWebModuleList::FindModuleName(std::u16string_view AName) const {
  for (TComponent* module : FList) {
    if (SameTextAscii(module->Name(), AName)) {
      return module;
    }
  }
  return nullptr;
}

TComponent* TWebModuleList::AddModuleClass(TComponentClass AClass) {
  TComponent* result = nullptr;
  for (int i = 0; i < FFactories.ItemCount(); ++i) {
    TAbstractWebModuleFactory* factory = FFactories.Items(i);
    if (AClass != nullptr && factory->ComponentClass() != nullptr &&
        *factory->ComponentClass() == *AClass) {
      TCreationScope scope(*this);
      TComponentPtr<> module = factory->GetModule();
      result = module.get();
      AddModule(std::move(module));
    }
  }
  return result;
}

TComponent* TWebModuleList::AddModuleName(std::u16string_view AName) {
  for (int i = 0; i < FFactories.ItemCount(); ++i) {
    TAbstractWebModuleFactory* factory = FFactories.Items(i);
    if (SameTextAscii(factory->ModuleName(), AName)) {
      TCreationScope scope(*this);
      TComponentPtr<> module = factory->GetModule();
      TComponent* result = module.get();
      AddModule(std::move(module));
      return result;
    }
  }
  return nullptr;
}

bool TWebModuleList::LacksAutoCreatedModule() const {
  for (int i = 0; i < FFactories.ItemCount(); ++i) {
    const TAbstractWebModuleFactory* factory = FFactories.Items(i);
    if (factory->CreateMode() == TWebModuleCreateMode::crAlways &&
        FindModuleClass(factory->ComponentClass()) == nullptr) {
      return true;
    }
  }
  return false;
}

void TWebModuleList::AutoCreateModules() {
  // A reused set usually has all its modules: then nothing is created, no name can be looked up
  // or left unresolved, and a creation scope would only take the scope lock twice.
  if (!LacksAutoCreatedModule()) {
    return;
  }
  TCreationScope scope(*this);
  for (int i = 0; i < FFactories.ItemCount(); ++i) {
    TAbstractWebModuleFactory* factory = FFactories.Items(i);
    if (factory->CreateMode() == TWebModuleCreateMode::crAlways &&
        FindModuleClass(factory->ComponentClass()) == nullptr) {
      AddModule(factory->GetModule());
    }
  }
}

void TWebModuleList::AutoDestroyModules() {
  for (int i = 0; i < FFactories.ItemCount(); ++i) {
    TAbstractWebModuleFactory* factory = FFactories.Items(i);
    if (factory->CacheMode() == TWebModuleCacheMode::caDestroy) {
      // Leaves the list through the watcher.
      DestroyComponent(FindModuleClass(factory->ComponentClass()));
    }
  }
}

void TWebModuleList::AddModule(TComponentPtr<> AComponent) {
  if (!AComponent) {
    return;
  }
  TComponent* module = AComponent.release();
  FList.push_back(module);
  module->FreeNotification(FWatcher.get());
  ModulesAdded.fetch_add(1, std::memory_order_relaxed);
  if (FModuleAddedProc.Assigned()) {
    FModuleAddedProc(module);
  }
}

void TWebModuleList::ModuleRemoved(TComponent* AComponent) noexcept {
  const auto it = std::find(FList.begin(), FList.end(), AComponent);
  if (it != FList.end()) {
    FList.erase(it);
  }
}

TWebModuleList* TWebModuleList::CurrentModuleList() noexcept {
  return CurrentList;
}

std::int64_t TWebModuleList::ModulesAddedCount() noexcept {
  return ModulesAdded.load(std::memory_order_relaxed);
}

void TWebModuleList::EnterCreationScope() {
  if (++FFixupLevel != 1) {
    return;
  }
  CurrentList = this;
  std::lock_guard lock(ScopeMutex);
  if (ScopesOpen++ == 0) {
    const TIsUniqueGlobalComponentName previous =
        SetIsUniqueGlobalComponentName(&TWebModuleList::IsUniqueInCreationScope);
    SavedIsUnique.store(previous == &TWebModuleList::IsUniqueInCreationScope ? nullptr : previous);
    RegisterFindGlobalComponentProc(&TWebModuleList::FindModuleForName);
  }
}

void TWebModuleList::LeaveCreationScope() {
  struct TFinally {
    TWebModuleList& List;
    ~TFinally() {
      if (List.FFixupLevel != 0) {
        return;
      }
      CurrentList = nullptr;
      std::lock_guard lock(ScopeMutex);
      if (--ScopesOpen == 0) {
        UnregisterFindGlobalComponentProc(&TWebModuleList::FindModuleForName);
        SetIsUniqueGlobalComponentName(SavedIsUnique.exchange(nullptr));
      }
    }
  } finally{*this};
  if (--FFixupLevel != 0) {
    return;
  }
  while (FUnresolvedNames.Count() > 0) {
    const std::u16string name = FUnresolvedNames[0];
    FUnresolvedNames.Delete(0);
    if (FindModuleName(name) != nullptr || AddModuleName(name) != nullptr) {
      for (int i = 0; i < FFactories.ItemCount(); ++i) {
        TAbstractWebModuleFactory* factory = FFactories.Items(i);
        if (SameTextAscii(factory->ModuleName(), name) &&
            factory->CacheMode() == TWebModuleCacheMode::caDestroy) {
          factory->PreventDestruction();
        }
      }
      GlobalFixupReferences();
    }
  }
}

TComponent* TWebModuleList::FindModuleForName(std::u16string_view Name) {
  TWebModuleList* list = CurrentList;
  if (list == nullptr) {
    return nullptr;
  }
  if (TComponent* module = list->FindModuleName(Name)) {
    return module;
  }
  if (list->FUnresolvedNames.IndexOf(Name) < 0) {
    list->FUnresolvedNames.Add(std::u16string(Name));
  }
  return nullptr;
}

bool TWebModuleList::IsUniqueInCreationScope(std::u16string_view Name) {
  if (CurrentList != nullptr) {
    return true;
  }
  const TIsUniqueGlobalComponentName saved = SavedIsUnique.load();
  return saved == nullptr || saved(Name);
}

// ---- TWebRequestHandler ----------------------------------------------------------------------

const TClassInfo& TWebRequestHandler::ClassInfo() {
  static const TClassInfo info =
      TClassBuilder<TWebRequestHandler>(u"TWebRequestHandler", &TComponent::ClassInfo()).Build();
  return info;
}

TWebRequestHandler::TWebRequestHandler(TComponent* AOwner)
    : TComponent(AOwner), FWebModuleFactories(std::make_unique<TWebModuleFactoryList>()) {}

TWebRequestHandler::~TWebRequestHandler() {
  // Taken out under the lock and destroyed outside it: a module's OnDestroy, or the hook its
  // failure reaches, may take the lock again.
  std::vector<std::unique_ptr<TWebModuleList>> active;
  std::vector<std::unique_ptr<TWebModuleList>> inactive;
  {
    std::lock_guard lock(FCriticalSection);
    active.swap(FActiveWebModules);
    inactive.swap(FInactiveWebModules);
  }
  active.clear();
  inactive.clear();
  FWebModuleFactories.reset();
}

bool TWebRequestHandler::ServeRequest(TWebRequest& Request, TWebResponse& Response) {
  bool handled = false;
  TWebModuleList* moduleList = AcquireModuleList();
  try {
    moduleList->AutoCreateModules();
    if (moduleList->ItemCount() == 0) {
      throw EWebException(u"No automatically activated data modules");
    }
    try {
      IRequestServicesPtr supplied;
      for (int i = 0; i < moduleList->ItemCount() && !supplied; ++i) {
        if (auto* source = Supports<IRequestServicesSource>(moduleList->Items(i))) {
          supplied = source->GetRequestServices();
        }
      }
      // The default services object is this request's alone (nothing else gets a reference to
      // it), so it lives in this frame and goes at the end of the block, where its last
      // reference would.
      TDefaultWebAppServices defaultServices;
      IRequestServices* services = supplied ? supplied.get() : &defaultServices;
      services->SetContext(moduleList, &Request, &Response);
      try {
        handled = services->ProcessRequest();
      } catch (...) {
        // The error handler is asked for while the context still stands; ClearContext follows
        // whatever the hook decides.
        try {
          if (!CallRequestExceptionHook(services->ErrorHandlerObject())) {
            throw;
          }
        } catch (...) {
          services->ClearContext();
          throw;
        }
      }
      services->ClearContext();
      if (handled && !Response.Sent()) {
        Response.SendResponse();
      }
    } catch (...) {
      // Without a hook nothing would report the failure, so it leaves ServeRequest.
      if (!CallRequestExceptionHook(nullptr)) {
        throw;
      }
    }
  } catch (...) {
    ReleaseModuleList(moduleList);
    throw;
  }
  ReleaseModuleList(moduleList);
  return handled;
}

TWebModuleList* TWebRequestHandler::AcquireModuleList() {
  // A stale value only rejects early or defers to the check under the lock.
  int limit = FMaxConnections.load();
  if (limit > 0 && FAddingActiveModules.load() >= limit) {
    throw EWebException(TooManyConnections);
  }
  std::lock_guard lock(FCriticalSection);
  // Written only under the lock, which publishes it; the unlocked check above tolerates a stale
  // value, so the stores need no ordering of their own.
  struct TResetAdding {
    std::atomic<int>& Adding;
    ~TResetAdding() { Adding.store(0, std::memory_order_relaxed); }
  } reset{FAddingActiveModules};
  const int active = static_cast<int>(FActiveWebModules.size());
  FAddingActiveModules.store(active + 1, std::memory_order_relaxed);
  limit = FMaxConnections.load();
  if (limit > 0 && active >= limit) {
    throw EWebException(TooManyConnections);
  }
  if (!FInactiveWebModules.empty()) {
    std::unique_ptr<TWebModuleList> moduleList = std::move(FInactiveWebModules.front());
    FInactiveWebModules.erase(FInactiveWebModules.begin());
    moduleList->SetOnModuleAdded(nullptr);
    FActiveWebModules.push_back(std::move(moduleList));
    return FActiveWebModules.back().get();
  }
  const TComponentClass moduleClass = FWebModuleClass.load();
  if (FWebModuleFactories->ItemCount() == 0 && moduleClass != nullptr) {
    auto factory = std::make_unique<TDefaultWebModuleFactory>(moduleClass);
    FWebModuleFactories->AddFactory(factory.get());
    factory.release();
  }
  if (FWebModuleFactories->ItemCount() == 0) {
    throw EWebException(u"No data modules registered");
  }
  FActiveWebModules.push_back(std::make_unique<TWebModuleList>(*FWebModuleFactories));
  return FActiveWebModules.back().get();
}

void TWebRequestHandler::ReleaseModuleList(TWebModuleList* ModuleList) {
  std::unique_ptr<TWebModuleList> moduleList;
  {
    std::lock_guard lock(FCriticalSection);
    const auto it =
        std::find_if(FActiveWebModules.begin(), FActiveWebModules.end(),
                     [ModuleList](const auto& list) { return list.get() == ModuleList; });
    if (it == FActiveWebModules.end()) {
      return;
    }
    moduleList = std::move(*it);
    FActiveWebModules.erase(it);
  }
  // Out of both pools the set is this thread's alone, so its modules are destroyed without the
  // lock, which their OnDestroy (or the hook its failure reaches) may take.
  moduleList->AutoDestroyModules();
  if (moduleList->ItemCount() > 0) {
    std::lock_guard lock(FCriticalSection);
    // Read under the lock: a SetCacheConnections(false) that cleared the pool before this
    // push is seen here, one that clears it after takes this set too.
    if (FCacheConnections.load()) {
      FInactiveWebModules.push_back(std::move(moduleList));
    }
  }
  // Otherwise the set and its modules are destroyed here, outside the lock.
}

void TWebRequestHandler::AddWebModuleFactory(TAbstractWebModuleFactory* AFactory) {
  std::lock_guard lock(FCriticalSection);
  FWebModuleFactories->AddFactory(AFactory);
}

void TWebRequestHandler::HandleException(TObject* Sender) {
  const std::exception_ptr current = std::current_exception();
  bool handled = false;
  try {
    handled = OfferRequestError(Sender, current);
  } catch (...) {
    handled = true;
    ShowException(std::current_exception());
  }
  if (!handled && current) {
    ShowException(current);
  }
}

void TWebRequestHandler::SetCacheConnections(bool Value) {
  if (FCacheConnections.exchange(Value) == Value || Value) {
    return;
  }
  std::vector<std::unique_ptr<TWebModuleList>> discarded;
  {
    std::lock_guard lock(FCriticalSection);
    discarded.swap(FInactiveWebModules);
  }
  // Destroyed here, outside the lock (see ReleaseModuleList).
}

int TWebRequestHandler::ActiveCount() const {
  std::lock_guard lock(FCriticalSection);
  return static_cast<int>(FActiveWebModules.size());
}

int TWebRequestHandler::InactiveCount() const {
  std::lock_guard lock(FCriticalSection);
  return static_cast<int>(FInactiveWebModules.size());
}

int TWebRequestHandler::WebModuleFactoryCount() const {
  std::lock_guard lock(FCriticalSection);
  return FWebModuleFactories ? FWebModuleFactories->ItemCount() : 0;
}

// ---- Exception display -----------------------------------------------------------------------

TExceptionDisplay SetExceptionDisplay(TExceptionDisplay Display) noexcept {
  return ExceptionDisplay.exchange(Display);
}

void ShowException(std::exception_ptr E) noexcept {
  try {
    const TExceptionDisplay display = ExceptionDisplay.load();
    (display != nullptr ? display : &DefaultExceptionDisplay)(E);
  } catch (...) {
    // Reporting must not raise.
  }
}

} // namespace isapi_web
