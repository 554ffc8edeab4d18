#pragma once
// TCustomContentProducer: the base of components that generate response content. An action can
// use a producer instead of, or before, its handler; the dispatcher links every producer it
// discovers to itself, and the producer reaches the dispatch in progress through it.

#include <string>
#include <string_view>

#include "runtime/component.h"
#include "runtime/streams.h"
#include "web/web_interfaces.h"

namespace isapi_web {

/// A component making response content; descendants override Content.
class TCustomContentProducer : public TComponent,
                               public IContentFromSource,
                               public IContentSource,
                               public IDispatcherQuery,
                               public IDispatcherLink {
  ISAPI_WEB_COMPONENT_CLASS(TCustomContentProducer)

public:
  explicit TCustomContentProducer(TComponent* AOwner);
  ~TCustomContentProducer() override;

  /// The content; the base makes none.
  virtual std::u16string Content();
  /// Content made from Stream; the base answers Content.
  virtual std::u16string ContentFromStream(TStream& Stream);
  /// Content made from S; the base answers Content.
  virtual std::u16string ContentFromString(std::u16string_view S);

  std::u16string MakeContentFromStream(TStream& Stream) override { return ContentFromStream(Stream); }
  std::u16string MakeContentFromString(std::u16string_view S) override {
    return ContentFromString(S);
  }
  std::u16string MakeContent() override { return Content(); }
  TComponent* LinkedDispatcher() const override { return FDispatcher; }
  /// Links this producer to Dispatcher (null unlinks), forgetting it when it is destroyed.
  void LinkDispatcher(TComponent* Dispatcher) override;

  /// The dispatcher component this producer belongs to, or null.
  TComponent* DispatcherComponent() const noexcept { return FDispatcher; }
  /// The dispatcher's request and response access, or null when unlinked or not offered.
  IWebDispatcherAccess* Dispatcher() const noexcept;

  /// Forgets the dispatcher when it is removed.
  void Notification(TComponent* AComponent, TOperation operation) override;

private:
  TComponent* FDispatcher = nullptr;
};

} // namespace isapi_web
