#pragma once
// TWebModule: the class an application's web modules derive from. A web module is a dispatcher
// whose actions, event bindings and settings are read from the definitions embedded under the
// names of its classes each time an instance is created.

#include <cstdint>

#include "web/web_dispatcher.h"

namespace isapi_web {

/// A dispatcher built from its stored definitions. Publishes Name, Tag, OldCreateOrder, OnCreate,
/// OnDestroy, Actions, BeforeDispatch, AfterDispatch and OnException, and the design values
/// Height, Width, HorizontalOffset and VerticalOffset.
class TWebModule : public TCustomWebDispatcher {
  ISAPI_WEB_COMPONENT_CLASS(TWebModule)

public:
  explicit TWebModule(TComponent* AOwner);
  ~TWebModule() override;

  /// The dispatcher's steps, in which ConstructModule reads the definitions (then OnCreate).
  /// A failed read goes to RequestExceptionHook with Sender null; without a hook it is dropped
  /// and the module stays as far as it was read.
  void AfterConstruction() override;

  /// Web modules created since the process started (after warm-up a request creates none).
  static std::int64_t CreatedCount() noexcept;

protected:
  /// Reads the definitions of the class chain, TWebModule's first (not while designing).
  void ConstructModule() override;
  /// Applies every definition found for the class chain, base first; EResNotFound "Resource %s
  /// not found" when no class of the chain has one.
  void ReadDefinitions();
};

} // namespace isapi_web
