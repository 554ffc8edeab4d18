#include "web/content_producer.h"

namespace isapi_web {

const TClassInfo& TCustomContentProducer::ClassInfo() {
  static const TClassInfo info =
      TClassBuilder<TCustomContentProducer>(u"TCustomContentProducer", &TComponent::ClassInfo())
          .Build();
  return info;
}

TCustomContentProducer::TCustomContentProducer(TComponent* AOwner) : TComponent(AOwner) {}

TCustomContentProducer::~TCustomContentProducer() = default;

std::u16string TCustomContentProducer::Content() { return std::u16string(); }

std::u16string TCustomContentProducer::ContentFromStream(TStream&) { return Content(); }

std::u16string TCustomContentProducer::ContentFromString(std::u16string_view) { return Content(); }

void TCustomContentProducer::LinkDispatcher(TComponent* Dispatcher) {
  if (Dispatcher == FDispatcher) {
    return;
  }
  // The old dispatcher keeps its free-notification link: it may also watch this producer as an
  // action's Producer, and undoing the link would undo that too.
  if (Dispatcher != nullptr) {
    Dispatcher->FreeNotification(this);
  }
  FDispatcher = Dispatcher;
}

IWebDispatcherAccess* TCustomContentProducer::Dispatcher() const noexcept {
  return Supports<IWebDispatcherAccess>(FDispatcher);
}

void TCustomContentProducer::Notification(TComponent* AComponent, TOperation operation) {
  TComponent::Notification(AComponent, operation);
  if (operation == TOperation::opRemove && AComponent == FDispatcher) {
    FDispatcher = nullptr;
  }
}

} // namespace isapi_web
