#include "web/data_module.h"

#include "web/web_interfaces.h"

namespace isapi_web {

TDataModule::TDataModule(TComponent* AOwner) : TComponent(AOwner) {}

TDataModule::~TDataModule() = default;

const TClassInfo& TDataModule::ClassInfo() {
  static const TClassInfo info =
      TClassBuilder<TDataModule>(u"TDataModule", &TComponent::ClassInfo())
          .Property(u"OldCreateOrder", &TDataModule::SetOldCreateOrder)
          .Property(u"OnCreate", &TDataModule::SetOnCreate)
          .Property(u"OnDestroy", &TDataModule::SetOnDestroy)
          .Property(u"Height", &TDataModule::SetHeight)
          .Property(u"Width", &TDataModule::SetWidth)
          .Property(u"HorizontalOffset", &TDataModule::SetHorizontalOffset)
          .Property(u"VerticalOffset", &TDataModule::SetVerticalOffset)
          .Build();
  return info;
}

TDataModule* TDataModule::CreateNew(TComponent* AOwner) {
  return CreateComponent<TDataModule>(AOwner);
}

void TDataModule::AfterConstruction() {
  TComponent::AfterConstruction();
  // The constructor's part. Its rule: the hook decides, and without one the failure is dropped;
  // under the old order a failed construction skips OnCreate with the rest of the guard.
  try {
    ConstructModule();
    if (FOldCreateOrder) {
      DoCreate();
    }
  } catch (...) {
    CallRequestExceptionHook(nullptr);
  }
  if (FOldCreateOrder) {
    return;
  }
  try {
    DoCreate();
  } catch (...) {
    if (!CallRequestExceptionHook(this)) {
      throw;
    }
  }
}

void TDataModule::BeforeDestruction() {
  // Held until ~TDataModule has finished: the whole destruction runs under the lock.
  FNameSpaceLock = std::unique_lock<std::recursive_mutex>(GlobalNameSpaceLock());
  TComponent::BeforeDestruction();
  try {
    DoDestroy();
  } catch (...) {
    try {
      CallRequestExceptionHook(this);
    } catch (...) {
      // Destruction continues whatever the hook decides.
    }
  }
}

void TDataModule::ConstructModule() {}

void TDataModule::DoCreate() {
  if (FOnCreate.Assigned()) {
    FOnCreate(this);
  }
}

void TDataModule::DoDestroy() {
  if (FOnDestroy.Assigned()) {
    FOnDestroy(this);
  }
}

} // namespace isapi_web
