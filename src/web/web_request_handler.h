#pragma once
// The request handler and its module pool. Every request is served by a set of module instances
// (TWebModuleList); creating modules costs a definition read each, so finished sets are kept and
// reused whole, oldest first. The handler limits how many sets are in use at once and wraps each
// request in a services object that runs the dispatcher.
//
// Locks: the handler's lock guards only the two pools and FAddingActiveModules; module creation,
// dispatching and module destruction run outside it (sets are taken out of the pools under it
// first), so a module's events and the exception hook may read the counts.

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/component.h"
#include "runtime/string_list.h"
#include "web/web_interfaces.h"

namespace isapi_web {

/// The factory of one module class: module name without the class's first letter, an
/// application module, created for every set and cached with it.
class TDefaultWebModuleFactory : public TAbstractWebModuleFactory {
public:
  explicit TDefaultWebModuleFactory(TComponentClass AComponentClass);

  std::u16string ModuleName() const override;
  bool IsAppModule() const override { return true; }
  TWebModuleCreateMode CreateMode() const override { return TWebModuleCreateMode::crAlways; }
  TWebModuleCacheMode CacheMode() const override { return TWebModuleCacheMode::caCache; }
  TComponentClass ComponentClass() const override { return FComponentClass; }
  /// A new instance made by the class's virtual constructor, without owner.
  TComponentPtr<> GetModule() override;
  void PreventDestruction() override {}

private:
  TComponentClass FComponentClass;
};

/// The registered factories, in registration order; owns them. Request threads read it while
/// AddFactory may append, so every operation takes its lock.
class TWebModuleFactoryList {
public:
  TWebModuleFactoryList();
  ~TWebModuleFactoryList();
  TWebModuleFactoryList(const TWebModuleFactoryList&) = delete;
  TWebModuleFactoryList& operator=(const TWebModuleFactoryList&) = delete;

  /// Appends AFactory and takes ownership of it. Raises EWebException "Web Module Factory already
  /// registered" for a factory already in the list, "Web App Module Factory already registered."
  /// for a second application module factory; the caller keeps a factory that was refused.
  void AddFactory(TAbstractWebModuleFactory* AFactory);
  int ItemCount() const;
  /// The factory at Index; raises EListError outside the list. Factories stay until the list
  /// goes, so the answer stays valid after the lock is left.
  TAbstractWebModuleFactory* Items(int Index) const;
  TAbstractWebModuleFactory* AppModuleFactory() const;

private:
  mutable std::mutex FLock; // guards FAppModuleFactory and FList
  TAbstractWebModuleFactory* FAppModuleFactory = nullptr;
  std::vector<std::unique_ptr<TAbstractWebModuleFactory>> FList;
};

/// One module set: the module instances serving one request at a time, in creation order; owns
/// them. A module destroyed by other means leaves the set by itself.
class TWebModuleList : public TAbstractWebModuleList {
public:
  explicit TWebModuleList(TWebModuleFactoryList& AFactories);
  ~TWebModuleList() override;

  TComponent* Items(int Index) const override;
  int ItemCount() const override { return static_cast<int>(FList.size()); }
  TModuleAddedProc GetOnModuleAdded() const override { return FModuleAddedProc; }
  void SetOnModuleAdded(TModuleAddedProc Value) override { FModuleAddedProc = std::move(Value); }
  int FactoryCount() const override { return FFactories.ItemCount(); }
  TAbstractWebModuleFactory* Factories(int Index) const override { return FFactories.Items(Index); }
  TComponent* FindModuleClass(TComponentClass AClass) const override;
  /// The first module named AName, ASCII case ignored, or null.
  TComponent* FindModuleName(std::u16string_view AName) const override;
  /// A module from every factory of exactly AClass; the last one made, or null.
  TComponent* AddModuleClass(TComponentClass AClass) override;
  /// A module from the first factory named AName (ASCII case ignored), or null.
  TComponent* AddModuleName(std::u16string_view AName) override;

  /// Creates, in one creation scope, the module of every crAlways factory the set still lacks.
  void AutoCreateModules();
  /// Destroys the module of every caDestroy factory.
  void AutoDestroyModules();
  /// Takes AComponent into the set, then calls OnModuleAdded.
  void AddModule(TComponentPtr<> AComponent);

  /// The set whose modules the calling thread is creating, or null.
  static TWebModuleList* CurrentModuleList() noexcept;
  /// Modules that sets took from their factories since the process started.
  static std::int64_t ModulesAddedCount() noexcept;

private:
  class TModuleWatcher;
  friend class TModuleWatcher;
  class TCreationScope;

  /// Whether a crAlways factory has no module in the set yet.
  bool LacksAutoCreatedModule() const;
  void EnterCreationScope();
  void LeaveCreationScope();
  static TComponent* FindModuleForName(std::u16string_view Name);
  static bool IsUniqueInCreationScope(std::u16string_view Name);
  void ModuleRemoved(TComponent* AComponent) noexcept;

  TWebModuleFactoryList& FFactories;
  std::vector<TComponent*> FList;
  TComponentPtr<> FWatcher;
  int FFixupLevel = 0;
  TStringList FUnresolvedNames;
  TModuleAddedProc FModuleAddedProc;
};

/// The request handler: a pool of module sets, the connection limit and the factories.
class TWebRequestHandler : public TComponent {
  ISAPI_WEB_COMPONENT_CLASS(TWebRequestHandler)

public:
  explicit TWebRequestHandler(TComponent* AOwner);
  /// Destroys every active set, every inactive set and the factories.
  ~TWebRequestHandler() override;

  /// Serves one request with a module set from the pool; true when it was handled. Raises at
  /// the connection limit, with nothing registered, and with a set that holds no module.
  bool ServeRequest(TWebRequest& Request, TWebResponse& Response);
  /// The oldest cached set, or a new empty one; EWebException at the limit or with nothing
  /// registered.
  TWebModuleList* AcquireModuleList();
  /// Returns a set: kept for reuse when caching is on and it holds a module, destroyed otherwise.
  void ReleaseModuleList(TWebModuleList* ModuleList);
  /// Adds a factory; ownership passes to the handler (see TWebModuleFactoryList::AddFactory).
  void AddWebModuleFactory(TAbstractWebModuleFactory* AFactory);
  /// The default exception hook: offers the exception to Sender's IRequestErrorHandler and
  /// reports it through ShowException unless handled. Never raises.
  void HandleException(TObject* Sender);

  TComponentClass WebModuleClass() const noexcept { return FWebModuleClass.load(); }
  void SetWebModuleClass(TComponentClass Value) noexcept { FWebModuleClass.store(Value); }
  /// Most sets in use at once; 0 or negative: no limit.
  int MaxConnections() const noexcept { return FMaxConnections.load(); }
  void SetMaxConnections(int Value) noexcept { FMaxConnections.store(Value); }
  bool CacheConnections() const noexcept { return FCacheConnections.load(); }
  /// Switching caching off destroys the inactive sets at once.
  void SetCacheConnections(bool Value);
  int ActiveCount() const;
  int InactiveCount() const;
  int WebModuleFactoryCount() const;

private:
  mutable std::mutex FCriticalSection;
  std::vector<std::unique_ptr<TWebModuleList>> FActiveWebModules;
  std::atomic<int> FAddingActiveModules{0};
  std::vector<std::unique_ptr<TWebModuleList>> FInactiveWebModules;
  std::atomic<int> FMaxConnections{32};
  std::atomic<bool> FCacheConnections{true};
  std::unique_ptr<TWebModuleFactoryList> FWebModuleFactories;
  std::atomic<TComponentClass> FWebModuleClass{nullptr};
};

/// How the default exception hook reports an exception it did not see handled.
using TExceptionDisplay = void (*)(std::exception_ptr E);
/// Replaces the display (null restores the default, which writes class and message to stderr);
/// returns the previous one.
TExceptionDisplay SetExceptionDisplay(TExceptionDisplay Display) noexcept;
/// Reports E through the display in force.
void ShowException(std::exception_ptr E) noexcept;

} // namespace isapi_web
