#pragma once
// TDataModule: the non-visual container of components that web modules derive from, with its
// design-time size and offset and the OnCreate/OnDestroy events governed by OldCreateOrder.
//
// When the events fire. A C++ constructor cannot call a handler that is a member of a class
// derived further (that part of the object does not exist yet), and a destructor cannot either
// (it is gone already). So the "inside the constructor" and "inside the destructor" moments of
// OldCreateOrder True are taken at the nearest points where the whole object exists:
//   - AfterConstruction first runs what stands for the rest of the constructor, ConstructModule
//     (a web module reads its definitions there), and with OldCreateOrder True fires OnCreate
//     right after it, under the constructor's failure rule: a failure is passed to
//     RequestExceptionHook with Sender null when a hook is set (the hook decides whether
//     construction fails), dropped otherwise, and a failed ConstructModule skips OnCreate.
//     With False OnCreate fires after that, also when ConstructModule failed: passed to the hook
//     with Sender = the module, raised again when no hook is set.
//   - OnDestroy fires in BeforeDestruction under either order, before the owned components are
//     destroyed. An exception goes to the hook with Sender = the module, and is dropped when no
//     hook is set; destruction continues in every case.
// Destroying a data module holds GlobalNameSpaceLock from BeforeDestruction to the end of
// ~TDataModule.

#include <cstdint>
#include <mutex>

#include "runtime/component.h"

namespace isapi_web {

/// Two 32-bit coordinates.
struct TPoint {
  std::int32_t X = 0;
  std::int32_t Y = 0;
};

class TDataModule : public TComponent {
  ISAPI_WEB_COMPONENT_CLASS(TDataModule)

public:
  /// The creation form that reads no definition (CreateNew): joins AOwner when given.
  explicit TDataModule(TComponent* AOwner);
  ~TDataModule() override;

  /// CreateNew as a function: CreateComponent<TDataModule>(AOwner).
  static TDataModule* CreateNew(TComponent* AOwner);

  /// Fires OnCreate (see the header comment for the rules).
  void AfterConstruction() override;
  /// Takes the name-space lock, marks the module destroying and fires OnDestroy.
  void BeforeDestruction() override;

  const TNotifyEvent& OnCreate() const noexcept { return FOnCreate; }
  void SetOnCreate(TNotifyEvent value) { FOnCreate = std::move(value); }
  const TNotifyEvent& OnDestroy() const noexcept { return FOnDestroy; }
  void SetOnDestroy(TNotifyEvent value) { FOnDestroy = std::move(value); }
  bool OldCreateOrder() const noexcept { return FOldCreateOrder; }
  void SetOldCreateOrder(bool value) noexcept { FOldCreateOrder = value; }

  /// Design-time size ("Width", "Height") and position ("HorizontalOffset", "VerticalOffset");
  /// no effect at run time.
  TPoint DesignSize() const noexcept { return FDesignSize; }
  void SetDesignSize(TPoint value) noexcept { FDesignSize = value; }
  TPoint DesignOffset() const noexcept { return FDesignOffset; }
  void SetDesignOffset(TPoint value) noexcept { FDesignOffset = value; }
  void SetWidth(std::int32_t value) noexcept { FDesignSize.X = value; }
  void SetHeight(std::int32_t value) noexcept { FDesignSize.Y = value; }
  void SetHorizontalOffset(std::int32_t value) noexcept { FDesignOffset.X = value; }
  void SetVerticalOffset(std::int32_t value) noexcept { FDesignOffset.Y = value; }

protected:
  /// The constructor's own work, done on the whole object before OnCreate; base: nothing.
  virtual void ConstructModule();
  /// Calls OnCreate with Sender = this when assigned; exceptions propagate.
  virtual void DoCreate();
  /// Calls OnDestroy with Sender = this when assigned; exceptions propagate.
  virtual void DoDestroy();

private:
  TPoint FDesignSize;
  TPoint FDesignOffset;
  TNotifyEvent FOnCreate;
  TNotifyEvent FOnDestroy;
  bool FOldCreateOrder = false;
  std::unique_lock<std::recursive_mutex> FNameSpaceLock;
};

} // namespace isapi_web
