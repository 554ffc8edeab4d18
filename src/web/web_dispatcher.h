#pragma once
// Action items and the dispatcher: an ordered list of actions, each with a path-info mask, a
// method, enabled and default flags and what answers the request (a handler, a content
// producer, or both); the dispatcher routes a request through them, through the dispatch
// targets beside it, then to the default action, and writes the error page for exceptions.
//
// The dispatcher takes no locks: one instance serves one request at a time.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "http/masks.h"
#include "http/web_request.h"
#include "http/web_response.h"
#include "runtime/component.h"
#include "runtime/exceptions.h"
#include "runtime/persistent.h"
#include "web/data_module.h"
#include "web/web_interfaces.h"

namespace isapi_web {

/// Declared in web/content_producer.h: a TComponent offering the content interfaces, with a
/// virtual Content().
class TCustomContentProducer;
class TCustomWebDispatcher;
class TWebActionItems;

/// An action handler, BeforeDispatch or AfterDispatch: (Sender, Request, Response, Handled).
using THTTPMethodEvent = TMethodPointer<TObject*, TWebRequest&, TWebResponse&, bool&>;
/// An exception handler: (Sender, E, Handled).
using TWebExceptionEvent = TMethodPointer<TObject*, const Exception&, bool&>;

/// One action of a dispatcher. Created by TWebActionItems::Add, which names it at insertion.
class TWebActionItem : public TCollectionItem {
  ISAPI_WEB_PERSISTENT_CLASS(TWebActionItem)

public:
  /// Enabled, not default, mtAny, no path info, producer or handler; unnamed until inserted.
  TWebActionItem();
  /// Frees the compiled mask; the item leaves its collection.
  ~TWebActionItem() override;

  /// Collection.Add(): the new action, named by the collection.
  static TWebActionItem* Create(TWebActionItems& collection);

  /// The action's name.
  std::u16string DisplayName() const override { return FName; }
  /// The Name setter.
  void SetDisplayName(std::u16string_view value) override { SetName(value); }

  bool Default() const noexcept { return FDefault; }
  /// Setting True first clears Default on every other action of the collection.
  void SetDefault(bool value);
  bool Enabled() const noexcept { return FEnabled; }
  void SetEnabled(bool value);
  TMethodType MethodType() const noexcept { return FMethodType; }
  void SetMethodType(TMethodType value);
  const std::u16string& Name() const noexcept { return FName; }
  /// A name equal to the current one but for letter case is not stored; one that another action
  /// has (any letter case) raises EWebException "Duplicate action name".
  void SetName(std::u16string_view value);
  /// ProducerPath when no path info is stored and a producer is set; the stored value otherwise.
  std::u16string PathInfo() const;
  /// Stores the normal form: backslashes become "/", a leading "/" is added, the producer's own
  /// path is implied (stored empty); a change of letter case alone is not stored.
  void SetPathInfo(std::u16string_view value);
  TCustomContentProducer* Producer() const noexcept { return FProducer; }
  /// Not owned; the dispatcher is told when it is destroyed. Clears ProducerContent.
  void SetProducer(TCustomContentProducer* value);
  TComponent* ProducerContent() const noexcept { return FProducerContent; }
  /// Any component; used when it offers IContentSource. Clears Producer.
  void SetProducerContent(TComponent* value);
  const THTTPMethodEvent& OnAction() const noexcept { return FOnAction; }
  void SetOnAction(THTTPMethodEvent value);

  /// Tests this action against the request and runs it when it applies; true when handled. As
  /// the default (AsDefault and Default both true) it runs without the tests.
  bool TryHandle(TWebRequest& Request, TWebResponse& Response, bool AsDefault);
  /// The mask of the current path info, compiled on first use and when the path info changes;
  /// a compile error (EMaskException) leaves the cached mask as it was.
  const TMask& CurrentMask();
  /// "/" followed by the Producer's component name.
  std::u16string ProducerPath() const;

  /// The owning collection, or null.
  TWebActionItems* ActionItems() const;
  /// The dispatcher owning the collection, or null.
  TCustomWebDispatcher* Dispatcher() const;

protected:
  /// Into another action: Default, PathInfo (as the getter answers), Enabled, MethodType.
  void AssignTo(TPersistent& Dest) const override;

private:
  friend class TCustomWebDispatcher;
  /// The removal rule: forgets AComponent as Producer or ProducerContent.
  void ComponentRemoved(const TComponent* AComponent) noexcept;

  THTTPMethodEvent FOnAction;
  std::u16string FPathInfo;
  TMethodType FMethodType = TMethodType::mtAny;
  bool FDefault = false;
  bool FEnabled = true;
  std::u16string FMaskPathInfo;
  std::unique_ptr<TMask> FMask;
  /// FMask was made from (or found equal to) the stored path info, which is unchanged since.
  bool FMaskFromStoredPath = false;
  std::u16string FName;
  TCustomContentProducer* FProducer = nullptr;
  TComponent* FProducerContent = nullptr;
};

/// The actions of one dispatcher, in order.
class TWebActionItems : public TCollection {
public:
  /// Makes the collection's actions (the item class).
  using TActionFactory = std::function<std::unique_ptr<TWebActionItem>()>;
  /// The factory of action class TItem.
  template <class TItem> static TActionFactory ActionClass() {
    return [] { return std::make_unique<TItem>(); };
  }

  /// An empty collection owned by WebDispatcher; ItemClass makes its actions.
  TWebActionItems(TCustomWebDispatcher* WebDispatcher,
                  TActionFactory itemClass = ActionClass<TWebActionItem>());
  ~TWebActionItems() override;

  std::u16string ClassName() const override { return u"TWebActionItems"; }
  TCustomWebDispatcher* WebDispatcher() const noexcept { return FWebDispatcher; }
  /// Appends a new action, named "WebActionItem<N>" with the smallest free N.
  TWebActionItem* Add();
  /// The action at Index (0-based); raises EListError outside the list.
  TWebActionItem* Items(int index) const;
  TWebActionItem* operator[](int index) const { return Items(index); }

  /// Design columns: 5.
  int AttrCount() const noexcept { return 5; }
  /// "Name", "PathInfo", "Enabled", "Default", "Producer" for 0..4; empty otherwise.
  std::u16string AttrName(int Index) const;
  /// Column Index of the action at ItemIndex (see AttrName); empty for another column.
  std::u16string ItemAttr(int Index, int ItemIndex) const;

protected:
  /// On insertion: NameNewItem.
  void Notify(TCollectionItem* item, TCollectionNotification action) override;
  /// Does nothing.
  void Update(TCollectionItem* item) override;
  /// Gives a newly inserted action its default name through the Name setter.
  virtual void NameNewItem(TWebActionItem& item);

private:
  TCustomWebDispatcher* FWebDispatcher;
};

/// The dispatcher part of a web module. A dispatcher cannot be created with an owner that is,
/// or already owns, a dispatcher (EWebException "Only one WebDispatcher per form/data module").
/// TWebModule publishes Actions (collection of TWebActionItem), BeforeDispatch, AfterDispatch
/// and OnException through the members below.
class TCustomWebDispatcher : public TDataModule,
                             public IRequestErrorHandler,
                             public IWebDispatcherAccess,
                             public IWebRequestHandler {
  ISAPI_WEB_COMPONENT_CLASS(TCustomWebDispatcher)

public:
  explicit TCustomWebDispatcher(TComponent* AOwner);
  /// Frees the actions (with their masks), then the dispatch list; owned components went
  /// before, in DestroyComponent, while the actions still existed.
  ~TCustomWebDispatcher() override;

  /// Links the producers and collects the dispatch targets among the owner's components, then
  /// the data module's steps (ConstructModule, OnCreate).
  void AfterConstruction() override;

  /// The first action whose Name equals AName without regard to letter case, or null.
  TWebActionItem* ActionByName(std::u16string_view AName) const;
  TWebActionItems& Actions() noexcept { return *FActions; }
  const TWebActionItems& Actions() const noexcept { return *FActions; }
  /// Replaces the actions by copies of Value's (default names, no handlers or producers).
  void SetActions(const TWebActionItems& Value);

  /// The request and response of the dispatch in progress (kept until the next one, or until
  /// the services object that ran it ends the request).
  TWebRequest* Request() const override { return FRequest; }
  TWebResponse* Response() const override { return FResponse; }
  /// Forgets the request and response once their request has ended: an error reported after
  /// that (a cached module's OnDestroy) has no page to write and goes to the hook only.
  void EndRequest() noexcept {
    FRequest = nullptr;
    FResponse = nullptr;
  }

  const THTTPMethodEvent& BeforeDispatch() const noexcept { return FBeforeDispatch; }
  void SetBeforeDispatch(THTTPMethodEvent value) { FBeforeDispatch = std::move(value); }
  const THTTPMethodEvent& AfterDispatch() const noexcept { return FAfterDispatch; }
  void SetAfterDispatch(THTTPMethodEvent value) { FAfterDispatch = std::move(value); }
  const TWebExceptionEvent& OnException() const noexcept { return FOnException; }
  void SetOnException(TWebExceptionEvent value) { FOnException = std::move(value); }

  /// The dispatch targets (components offering IWebDispatchTarget), in order of discovery.
  int DispatchTargetCount() const noexcept { return static_cast<int>(FDispatchList.size()); }
  TComponent* DispatchTargets(int index) const;

  /// The dispatch passes: BeforeDispatch, actions in order, targets, the default action,
  /// AfterDispatch. True when handled; nothing is written when nothing handled the request.
  bool RouteRequest(TWebRequest& Request, TWebResponse& Response);
  /// Stores the request and response, then RouteRequest.
  bool HandleWebRequest(TWebRequest& Request, TWebResponse& Response) override;
  /// OnException, else the "Internal Application Error" page with status 500 (both arguments
  /// HTML-escaped). Without a response and handler, Handled stays false.
  void HandleRequestError(const Exception& E, bool& Handled) override;

  /// Inserted components are linked or collected; a removed one leaves the dispatch list and
  /// every action's Producer and ProducerContent.
  void Notification(TComponent* AComponent, TOperation operation) override;

protected:
  bool RunBeforeDispatch(TWebRequest& Request, TWebResponse& Response);
  bool RunAfterDispatch(TWebRequest& Request, TWebResponse& Response);
  bool TryTarget(IWebDispatchTarget& Target, TWebRequest& Request, TWebResponse& Response);

private:
  /// Links an IDispatcherLink, else collects an IWebDispatchTarget.
  void Discover(TComponent* AComponent);

  TWebRequest* FRequest = nullptr;
  TWebResponse* FResponse = nullptr;
  std::unique_ptr<TWebActionItems> FActions;
  THTTPMethodEvent FBeforeDispatch;
  THTTPMethodEvent FAfterDispatch;
  std::vector<TComponent*> FDispatchList;
  TWebExceptionEvent FOnException;
};

/// The "Internal Application Error" page for a message and a path info, both HTML-escaped.
std::u16string InternalApplicationErrorPage(std::u16string_view message,
                                            std::u16string_view pathInfo);
/// & < > " ' as &amp; &lt; &gt; &quot; &#39;.
std::u16string HTMLEscape(std::u16string_view text);

} // namespace isapi_web
