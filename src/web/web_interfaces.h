#pragma once
// The interfaces through which the request handler, the services object, the dispatcher, the
// content producers and the application meet; the abstract module factory and module set; and
// the process-wide exception hook.
//
// An object offers an interface when it derives from the interface class: Supports<I>(object)
// answers the interface, or null (a dynamic_cast whose answer is kept per class, CachedCast).
// Each interface carries its identifier as I::IID. Interfaces offered by components are not
// owning references (the component's owner owns it); only IRequestServices is reference-counted,
// through std::shared_ptr.

#include <array>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

#include "http/web_request.h"
#include "http/web_response.h"
#include "runtime/cached_cast.h"
#include "runtime/component.h"
#include "runtime/exceptions.h"
#include "runtime/streams.h"

namespace isapi_web {

class TMask;
class TAbstractWebModuleList;
class TAbstractWebPageInfo;

/// An interface identifier.
struct TGUID {
  std::uint32_t D1 = 0;
  std::uint16_t D2 = 0;
  std::uint16_t D3 = 0;
  std::array<std::uint8_t, 8> D4{};

  friend constexpr bool operator==(const TGUID&, const TGUID&) = default;
};

namespace detail {
constexpr std::uint32_t HexDigit(char c) {
  return c >= '0' && c <= '9'   ? static_cast<std::uint32_t>(c - '0')
         : c >= 'A' && c <= 'F' ? static_cast<std::uint32_t>(c - 'A' + 10)
         : c >= 'a' && c <= 'f' ? static_cast<std::uint32_t>(c - 'a' + 10)
                                : throw "bad GUID digit";
}
constexpr std::uint32_t HexNumber(std::string_view text, std::size_t first, std::size_t count) {
  std::uint32_t value = 0;
  for (std::size_t i = first; i < first + count; ++i) {
    value = value * 16 + HexDigit(text[i]);
  }
  return value;
}
} // namespace detail

/// The identifier written "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"; usable in constant expressions.
constexpr TGUID StringToGUID(std::string_view text) {
  if (text.size() != 38 || text[0] != '{' || text[9] != '-' || text[14] != '-' || text[19] != '-' ||
      text[24] != '-' || text[37] != '}') {
    throw "bad GUID text";
  }
  TGUID guid;
  guid.D1 = detail::HexNumber(text, 1, 8);
  guid.D2 = static_cast<std::uint16_t>(detail::HexNumber(text, 10, 4));
  guid.D3 = static_cast<std::uint16_t>(detail::HexNumber(text, 15, 4));
  guid.D4[0] = static_cast<std::uint8_t>(detail::HexNumber(text, 20, 2));
  guid.D4[1] = static_cast<std::uint8_t>(detail::HexNumber(text, 22, 2));
  for (std::size_t i = 0; i < 6; ++i) {
    guid.D4[2 + i] = static_cast<std::uint8_t>(detail::HexNumber(text, 25 + 2 * i, 2));
  }
  return guid;
}

/// The braced upper-case text of an identifier.
std::u16string GUIDToString(const TGUID& guid);

/// The interface I of Object, or null when Object is null or does not offer it.
template <class I, class T> I* Supports(T* object) noexcept {
  return CachedCast<I>(object);
}

// ---- Interfaces (operations in their fixed order) --------------------------------------------

/// The per-request services object: binds a module set to a request and runs its dispatcher.
/// Called in this order for one request: SetContext, ProcessRequest, ClearContext (always);
/// ErrorHandlerObject only when ProcessRequest raised, before ClearContext.
class IRequestServices {
public:
  static constexpr TGUID IID = StringToGUID("{D62F1586-E307-11D3-A418-00C04F6BB853}");
  virtual ~IRequestServices() = default;

  virtual void SetContext(TAbstractWebModuleList* ModuleList, TWebRequest* Request,
                          TWebResponse* Response) = 0;
  /// True when the request was handled.
  virtual bool ProcessRequest() = 0;
  virtual void ClearContext() = 0;
  /// The object to pass as Sender to the exception hook (may be null).
  virtual TObject* ErrorHandlerObject() = 0;
};
/// A reference to a services object; the object goes with its last reference.
using IRequestServicesPtr = std::shared_ptr<IRequestServices>;

/// A module that supplies its own services object.
class IRequestServicesSource {
public:
  static constexpr TGUID IID = StringToGUID("{5CF7B3BD-DAB0-D511-99A8-0050568E0E44}");
  /// A services object, or null.
  virtual IRequestServicesPtr GetRequestServices() = 0;

protected:
  ~IRequestServicesSource() = default;
};

/// Turns an exception of request processing into a response (the dispatcher's error page).
class IRequestErrorHandler {
public:
  static constexpr TGUID IID = StringToGUID("{7664268F-9629-11D4-A4EC-00C04F6BB853}");
  virtual void HandleRequestError(const Exception& E, bool& Handled) = 0;

protected:
  ~IRequestErrorHandler() = default;
};

/// Answers a request (the dispatcher).
class IWebRequestHandler {
public:
  static constexpr TGUID IID = StringToGUID("{6FCCB05F-8FE0-11D4-A4E5-00C04F6BB853}");
  /// True when the request was handled.
  virtual bool HandleWebRequest(TWebRequest& Request, TWebResponse& Response) = 0;

protected:
  ~IWebRequestHandler() = default;
};

/// The request and response of the dispatch in progress (null outside one).
class IWebDispatcherAccess {
public:
  static constexpr TGUID IID = StringToGUID("{144CD1DF-9FAE-D511-8D38-0050568E0E44}");
  virtual TWebRequest* Request() const = 0;
  virtual TWebResponse* Response() const = 0;

protected:
  ~IWebDispatcherAccess() = default;
};

/// A component beside a dispatcher that takes part in dispatching.
class IWebDispatchTarget {
public:
  static constexpr TGUID IID = StringToGUID("{E6D33BE4-9FAE-D511-8D38-0050568E0E44}");
  virtual bool TargetEnabled() const = 0;
  virtual TMethodType TargetMethodType() const = 0;
  /// True when handled.
  virtual bool TargetDispatch(TObject* Sender, TWebRequest& Request, TWebResponse& Response) = 0;
  /// The mask the request's path info must match.
  virtual const TMask& TargetMask() = 0;

protected:
  ~IWebDispatchTarget() = default;
};

/// A component that the dispatcher links to itself when it discovers it.
class IDispatcherLink {
public:
  static constexpr TGUID IID = StringToGUID("{2F5E959E-DA65-11D3-A411-00C04F6BB853}");
  virtual void LinkDispatcher(TComponent* Dispatcher) = 0;

protected:
  ~IDispatcherLink() = default;
};

/// The dispatcher a component is linked to.
class IDispatcherQuery {
public:
  static constexpr TGUID IID = StringToGUID("{2BF38474-E821-11D4-A54A-00C04F6BB853}");
  virtual TComponent* LinkedDispatcher() const = 0;

protected:
  ~IDispatcherQuery() = default;
};

/// Makes response content.
class IContentSource {
public:
  static constexpr TGUID IID = StringToGUID("{AAFA17B7-E814-11D4-A54A-00C04F6BB853}");
  virtual std::u16string MakeContent() = 0;

protected:
  ~IContentSource() = default;
};

/// Makes response content from a given source.
class IContentFromSource {
public:
  static constexpr TGUID IID = StringToGUID("{AA0CC875-E81B-11D4-A54A-00C04F6BB853}");
  virtual std::u16string MakeContentFromStream(TStream& Stream) = 0;
  virtual std::u16string MakeContentFromString(std::u16string_view S) = 0;

protected:
  ~IContentFromSource() = default;
};

// ---- Module factories and module sets -------------------------------------------------------

/// When a factory's module is created: only when asked for (crOnDemand) or for every set.
enum class TWebModuleCreateMode : std::uint8_t { crOnDemand = 0, crAlways = 1 };
/// Whether a module stays in its set after a request (caCache) or is destroyed (caDestroy).
enum class TWebModuleCacheMode : std::uint8_t { caCache = 0, caDestroy = 1 };

/// Makes the modules of one class for the module sets. Operations in slot order; all but
/// WebPageInfo are abstract.
class TAbstractWebModuleFactory {
public:
  TAbstractWebModuleFactory() = default;
  TAbstractWebModuleFactory(const TAbstractWebModuleFactory&) = delete;
  TAbstractWebModuleFactory& operator=(const TAbstractWebModuleFactory&) = delete;
  virtual ~TAbstractWebModuleFactory() = default;

  virtual std::u16string ModuleName() const = 0;
  virtual bool IsAppModule() const = 0;
  virtual TWebModuleCreateMode CreateMode() const = 0;
  virtual TWebModuleCacheMode CacheMode() const = 0;
  virtual TComponentClass ComponentClass() const = 0;
  /// The page description; the base has none.
  virtual TAbstractWebPageInfo* WebPageInfo() const { return nullptr; }
  /// A new module instance, owned by the caller.
  virtual TComponentPtr<> GetModule() = 0;
  /// Tells the factory that its module must not be destroyed at the end of the request.
  virtual void PreventDestruction() = 0;
};

/// A method pointer taking a module just added to a set.
using TModuleAddedProc = TMethodPointer<TComponent* /*AModule*/>;

/// The set of module instances that serves one request. Operations in slot order, all abstract.
class TAbstractWebModuleList {
public:
  TAbstractWebModuleList() = default;
  TAbstractWebModuleList(const TAbstractWebModuleList&) = delete;
  TAbstractWebModuleList& operator=(const TAbstractWebModuleList&) = delete;
  virtual ~TAbstractWebModuleList() = default;

  virtual TComponent* Items(int Index) const = 0;
  virtual int ItemCount() const = 0;
  virtual TModuleAddedProc GetOnModuleAdded() const = 0;
  virtual void SetOnModuleAdded(TModuleAddedProc Value) = 0;
  virtual int FactoryCount() const = 0;
  virtual TAbstractWebModuleFactory* Factories(int Index) const = 0;
  /// The first module of exactly class AClass (no descendants), or null.
  virtual TComponent* FindModuleClass(TComponentClass AClass) const = 0;
  virtual TComponent* FindModuleName(std::u16string_view AName) const = 0;
  virtual TComponent* AddModuleClass(TComponentClass AClass) = 0;
  virtual TComponent* AddModuleName(std::u16string_view AName) = 0;
};

// ---- The exception hook ---------------------------------------------------------------------

/// The process-wide exception hook: a method taking Sender. It is called from inside a catch
/// block, where the exception being handled is std::current_exception() and `throw;` raises it
/// again; the method either returns (the exception is swallowed) or raises.
using TRequestExceptionHook = TMethodPointer<TObject* /*Sender*/>;

/// Installs the hook (an empty one clears it). Only while the application is built or destroyed:
/// readers on other threads see the old or the new hook, and every hook installed is kept (with
/// what it captured) until the process ends, so a reader never calls a freed one.
void SetRequestExceptionHook(TRequestExceptionHook hook);
/// A copy of the hook in force (empty when none); safe from any thread.
TRequestExceptionHook RequestExceptionHook();
/// Calls the hook with Sender and answers true, or answers false when no hook is set. Call it
/// only inside a catch block; whatever the hook raises propagates.
bool CallRequestExceptionHook(TObject* Sender);

/// Offers E, when it is an Exception, to Sender's IRequestErrorHandler (when Sender offers one);
/// true when the handler marked it handled. Whatever the handler raises propagates.
bool OfferRequestError(TObject* Sender, const std::exception_ptr& E);

} // namespace isapi_web
