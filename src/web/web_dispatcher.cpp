#include "web/web_dispatcher.h"

#include <algorithm>

#include "http/http_text.h"
#include "runtime/text.h"
#include "web/content_producer.h"

namespace isapi_web {

namespace {

// Letter case folded for ASCII and the Latin-1 letters, as a Western locale compares names.
char16_t FoldCase(char16_t c) noexcept {
  if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) {
    return static_cast<char16_t>(c - 0x20);
  }
  return c;
}

bool SameText(std::u16string_view a, std::u16string_view b) noexcept {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](char16_t x, char16_t y) { return FoldCase(x) == FoldCase(y); });
}

// The request's path info in wide form, as the masks match it. ASCII text, what path infos
// nearly always are, widens unit for unit in every ANSI code page, so it goes into a buffer on
// the stack; anything else takes the code-page conversion (and may allocate).
class TWidePathInfo {
public:
  explicit TWidePathInfo(const TWebRequest& request) {
    const std::string narrow = request.InternalPathInfo();
    if (narrow.size() <= sizeof FBuffer / sizeof FBuffer[0] &&
        std::all_of(narrow.begin(), narrow.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
      std::copy(narrow.begin(), narrow.end(), FBuffer);
      FText = std::u16string_view(FBuffer, narrow.size());
    } else {
      FConverted = AnsiToWide(narrow);
      FText = FConverted;
    }
  }
  TWidePathInfo(const TWidePathInfo&) = delete;
  TWidePathInfo& operator=(const TWidePathInfo&) = delete;

  std::u16string_view Text() const noexcept { return FText; }

private:
  char16_t FBuffer[256];
  std::u16string FConverted;
  std::u16string_view FText;
};

bool MethodMatches(TMethodType wanted, const TWebRequest& request) noexcept {
  return wanted == TMethodType::mtAny || wanted == request.MethodType();
}

} // namespace

std::u16string HTMLEscape(std::u16string_view text) {
  std::u16string escaped;
  escaped.reserve(text.size());
  for (const char16_t c : text) {
    switch (c) {
    case u'&':
      escaped += u"&amp;";
      break;
    case u'<':
      escaped += u"&lt;";
      break;
    case u'>':
      escaped += u"&gt;";
      break;
    case u'"':
      escaped += u"&quot;";
      break;
    case u'\'':
      escaped += u"&#39;";
      break;
    default:
      escaped.push_back(c);
    }
  }
  return escaped;
}

std::u16string InternalApplicationErrorPage(std::u16string_view message,
                                            std::u16string_view pathInfo) {
  // Both texts may come from the client (the path always does): escaped, they cannot inject
  // markup or script into the page.
  std::u16string page(u"<html><body><h1>Internal Application Error</h1>\r\n<p>");
  page += HTMLEscape(message);
  page += u"\r\n<p><hr width=\"100%\"><i>";
  page += HTMLEscape(pathInfo);
  page += u"</i></body></html>";
  return page;
}

// TWebActionItem

TWebActionItem::TWebActionItem() = default;

TWebActionItem::~TWebActionItem() = default;

const TClassInfo& TWebActionItem::ClassInfo() {
  using enum TMethodType;
  static const TClassInfo info =
      TClassBuilder<TWebActionItem>(u"TWebActionItem", nullptr)
          .Property(u"Default", &TWebActionItem::SetDefault)
          .Property(u"Enabled", &TWebActionItem::SetEnabled)
          .Enumeration(u"MethodType", &TWebActionItem::SetMethodType,
                       {{u"mtAny", mtAny},
                        {u"mtGet", mtGet},
                        {u"mtPut", mtPut},
                        {u"mtPost", mtPost},
                        {u"mtHead", mtHead}})
          .Property(u"Name", &TWebActionItem::SetName)
          .Property(u"PathInfo", &TWebActionItem::SetPathInfo)
          .Property(u"Producer", &TWebActionItem::SetProducer)
          .Property(u"ProducerContent", &TWebActionItem::SetProducerContent)
          .Property(u"OnAction", &TWebActionItem::SetOnAction)
          .Build();
  return info;
}

TWebActionItem* TWebActionItem::Create(TWebActionItems& collection) {
  return collection.Add();
}

TWebActionItems* TWebActionItem::ActionItems() const {
  return dynamic_cast<TWebActionItems*>(Collection());
}

TCustomWebDispatcher* TWebActionItem::Dispatcher() const {
  const TWebActionItems* items = ActionItems();
  return items != nullptr ? items->WebDispatcher() : nullptr;
}

void TWebActionItem::SetDefault(bool value) {
  if (value == FDefault) {
    return;
  }
  if (value) {
    if (const TWebActionItems* items = ActionItems()) {
      for (int i = 0; i < items->Count(); ++i) {
        TWebActionItem* other = items->Items(i);
        if (other != this) {
          other->SetDefault(false);
        }
      }
    }
  }
  FDefault = value;
  Changed(false);
}

void TWebActionItem::SetEnabled(bool value) {
  if (value != FEnabled) {
    FEnabled = value;
    Changed(false);
  }
}

void TWebActionItem::SetMethodType(TMethodType value) {
  if (value != FMethodType) {
    FMethodType = value;
    Changed(false);
  }
}

void TWebActionItem::SetName(std::u16string_view value) {
  if (SameText(value, FName)) {
    return;
  }
  if (const TWebActionItems* items = ActionItems()) {
    for (int i = 0; i < items->Count(); ++i) {
      const TWebActionItem* other = items->Items(i);
      if (other != this && SameText(other->FName, value)) {
        throw EWebException(u"Duplicate action name");
      }
    }
  }
  FName.assign(value);
  Changed(false);
}

std::u16string TWebActionItem::ProducerPath() const {
  std::u16string path(u"/");
  if (FProducer != nullptr) {
    path += FProducer->Name();
  }
  return path;
}

std::u16string TWebActionItem::PathInfo() const {
  if (FPathInfo.empty() && FProducer != nullptr) {
    return ProducerPath();
  }
  return FPathInfo;
}

void TWebActionItem::SetPathInfo(std::u16string_view value) {
  std::u16string path = BackslashToSlash(value);
  if (!path.empty() && path.front() != u'/') {
    path.insert(path.begin(), u'/');
  }
  if (FProducer != nullptr && path == ProducerPath()) {
    path.clear();
  }
  if (!SameText(path, FPathInfo)) {
    FPathInfo = std::move(path);
    FMaskFromStoredPath = false;
    Changed(false);
  }
}

void TWebActionItem::SetProducer(TCustomContentProducer* value) {
  if (value != nullptr) {
    if (TCustomWebDispatcher* dispatcher = Dispatcher()) {
      value->FreeNotification(dispatcher);
    }
    FProducerContent = nullptr;
  }
  FProducer = value;
}

void TWebActionItem::SetProducerContent(TComponent* value) {
  if (value != nullptr) {
    if (TCustomWebDispatcher* dispatcher = Dispatcher()) {
      value->FreeNotification(dispatcher);
    }
    FProducer = nullptr;
  }
  FProducerContent = value;
}

void TWebActionItem::SetOnAction(THTTPMethodEvent value) {
  FOnAction = std::move(value);
  Changed(false);
}

void TWebActionItem::ComponentRemoved(const TComponent* AComponent) noexcept {
  if (AComponent == nullptr) {
    return;
  }
  if (FProducer != nullptr && static_cast<const TComponent*>(FProducer) == AComponent) {
    FProducer = nullptr;
  } else if (FProducerContent == AComponent) {
    FProducerContent = nullptr;
  }
}

const TMask& TWebActionItem::CurrentMask() {
  // The getter answers the stored path info unless it is empty and a producer is set. A mask
  // made from the stored path info stays right until that is stored anew, so it needs no
  // comparison; the producer's path follows the producer's name and is compared every time.
  const bool fromStored = !FPathInfo.empty() || FProducer == nullptr;
  if (fromStored && FMaskFromStoredPath && FMask != nullptr) {
    return *FMask;
  }
  std::u16string path = PathInfo();
  if (FMask == nullptr || !SameText(FMaskPathInfo, path)) {
    // Compiled before anything is replaced: a bad mask leaves the cache as it was.
    auto mask = std::make_unique<TMask>(path);
    FMaskPathInfo = std::move(path);
    FMask = std::move(mask);
  }
  FMaskFromStoredPath = fromStored;
  return *FMask;
}

bool TWebActionItem::TryHandle(TWebRequest& Request, TWebResponse& Response, bool AsDefault) {
  bool handled = false;
  if (!(AsDefault && FDefault)) {
    if (!FEnabled || !MethodMatches(FMethodType, Request) ||
        !CurrentMask().Matches(TWidePathInfo(Request).Text())) {
      return false;
    }
  }
  if (FProducer != nullptr) {
    handled = true;
    Response.SetContent(FProducer->Content());
  } else if (FProducerContent != nullptr) {
    IContentSource* source = Supports<IContentSource>(FProducerContent);
    handled = source != nullptr;
    if (source != nullptr) {
      Response.SetContent(source->MakeContent());
    }
  }
  if (FOnAction.Assigned()) {
    handled = true;
    FOnAction(this, Request, Response, handled);
  }
  return handled;
}

void TWebActionItem::AssignTo(TPersistent& Dest) const {
  auto* target = dynamic_cast<TWebActionItem*>(&Dest);
  if (target == nullptr) {
    TCollectionItem::AssignTo(Dest);
    return;
  }
  target->SetDefault(FDefault);
  target->SetPathInfo(PathInfo());
  target->SetEnabled(FEnabled);
  target->SetMethodType(FMethodType);
}

// TWebActionItems

TWebActionItems::TWebActionItems(TCustomWebDispatcher* WebDispatcher, TActionFactory itemClass)
    : TCollection([factory = std::move(
                       itemClass)]() -> std::unique_ptr<TCollectionItem> { return factory(); },
                  WebDispatcher),
      FWebDispatcher(WebDispatcher) {}

TWebActionItems::~TWebActionItems() = default;

TWebActionItem* TWebActionItems::Add() {
  return static_cast<TWebActionItem*>(TCollection::Add());
}

TWebActionItem* TWebActionItems::Items(int index) const {
  // Every item came from the action factory, so every item is an action.
  return static_cast<TWebActionItem*>(TCollection::Items(index));
}

std::u16string TWebActionItems::AttrName(int Index) const {
  switch (Index) {
  case 0:
    return u"Name";
  case 1:
    return u"PathInfo";
  case 2:
    return u"Enabled";
  case 3:
    return u"Default";
  case 4:
    return u"Producer";
  default:
    return {};
  }
}

std::u16string TWebActionItems::ItemAttr(int Index, int ItemIndex) const {
  const TWebActionItem* action = Items(ItemIndex);
  switch (Index) {
  case 0:
    return action->Name();
  case 1:
    return action->PathInfo();
  case 2:
    return action->Enabled() ? u"True" : u"False";
  case 3:
    return action->Default() ? u"*" : u"";
  case 4:
    if (action->Producer() != nullptr) {
      return action->Producer()->Name();
    }
    if (action->ProducerContent() != nullptr) {
      return action->ProducerContent()->Name();
    }
    return {};
  default:
    return {};
  }
}

void TWebActionItems::Notify(TCollectionItem* item, TCollectionNotification action) {
  TCollection::Notify(item, action);
  if (action == TCollectionNotification::cnAdded) {
    NameNewItem(*static_cast<TWebActionItem*>(item));
  }
}

void TWebActionItems::Update(TCollectionItem*) {}

void TWebActionItems::NameNewItem(TWebActionItem& item) {
  for (std::int64_t number = 1;; ++number) {
    const std::u16string candidate = Format(u"WebActionItem%d", {number});
    bool taken = false;
    for (int i = 0; i < Count() && !taken; ++i) {
      const TWebActionItem* other = Items(i);
      taken = other != &item && SameText(other->Name(), candidate);
    }
    if (!taken) {
      item.SetName(candidate);
      return;
    }
  }
}

// TCustomWebDispatcher

namespace {

// Runs before the data-module base is built, so a refused dispatcher never joins the owner.
TComponent* CheckDispatcherOwner(TComponent* AOwner) {
  if (AOwner != nullptr) {
    bool taken = dynamic_cast<TCustomWebDispatcher*>(AOwner) != nullptr;
    for (int i = 0; i < AOwner->ComponentCount() && !taken; ++i) {
      taken = dynamic_cast<TCustomWebDispatcher*>(AOwner->Components(i)) != nullptr;
    }
    if (taken) {
      throw EWebException(u"Only one WebDispatcher per form/data module");
    }
  }
  return AOwner;
}

} // namespace

TCustomWebDispatcher::TCustomWebDispatcher(TComponent* AOwner)
    : TDataModule(CheckDispatcherOwner(AOwner)), FActions(std::make_unique<TWebActionItems>(this)) {
}

TCustomWebDispatcher::~TCustomWebDispatcher() {
  FActions.reset();
  FDispatchList.clear();
}

const TClassInfo& TCustomWebDispatcher::ClassInfo() {
  static const TClassInfo info =
      TClassBuilder<TCustomWebDispatcher>(u"TCustomWebDispatcher", &TDataModule::ClassInfo())
          .Build();
  return info;
}

void TCustomWebDispatcher::AfterConstruction() {
  // The dispatcher has joined its owner by now; its siblings are linked or collected.
  if (TComponent* owner = Owner()) {
    for (int i = 0; i < owner->ComponentCount(); ++i) {
      Discover(owner->Components(i));
    }
  }
  TDataModule::AfterConstruction();
}

void TCustomWebDispatcher::Discover(TComponent* AComponent) {
  if (AComponent == nullptr || AComponent == this) {
    return;
  }
  if (IDispatcherLink* link = Supports<IDispatcherLink>(AComponent)) {
    link->LinkDispatcher(this);
  } else if (Supports<IWebDispatchTarget>(AComponent) != nullptr) {
    if (std::find(FDispatchList.begin(), FDispatchList.end(), AComponent) == FDispatchList.end()) {
      FDispatchList.push_back(AComponent);
      // Owner and siblings report removal anyway; this covers a target that lives elsewhere.
      AComponent->FreeNotification(this);
    }
  }
}

void TCustomWebDispatcher::Notification(TComponent* AComponent, TOperation operation) {
  TDataModule::Notification(AComponent, operation);
  if (operation == TOperation::opInsert) {
    Discover(AComponent);
    return;
  }
  FDispatchList.erase(std::remove(FDispatchList.begin(), FDispatchList.end(), AComponent),
                      FDispatchList.end());
  // Whatever kind of component goes, no action may keep using it.
  if (FActions != nullptr) {
    for (int i = 0; i < FActions->Count(); ++i) {
      FActions->Items(i)->ComponentRemoved(AComponent);
    }
  }
}

TComponent* TCustomWebDispatcher::DispatchTargets(int index) const {
  if (index < 0 || index >= DispatchTargetCount()) {
    throw EListError(Format(u"List index out of bounds (%d)", {index}));
  }
  return FDispatchList[static_cast<std::size_t>(index)];
}

TWebActionItem* TCustomWebDispatcher::ActionByName(std::u16string_view AName) const {
  for (int i = 0; i < FActions->Count(); ++i) {
    TWebActionItem* action = FActions->Items(i);
    if (SameText(action->Name(), AName)) {
      return action;
    }
  }
  return nullptr;
}

void TCustomWebDispatcher::SetActions(const TWebActionItems& Value) {
  FActions->Assign(Value);
}

bool TCustomWebDispatcher::RunBeforeDispatch(TWebRequest& Request, TWebResponse& Response) {
  bool handled = false;
  if (FBeforeDispatch.Assigned()) {
    FBeforeDispatch(this, Request, Response, handled);
  }
  return handled;
}

bool TCustomWebDispatcher::RunAfterDispatch(TWebRequest& Request, TWebResponse& Response) {
  bool handled = true;
  if (FAfterDispatch.Assigned()) {
    FAfterDispatch(this, Request, Response, handled);
  }
  return handled;
}

bool TCustomWebDispatcher::TryTarget(IWebDispatchTarget& Target, TWebRequest& Request,
                                     TWebResponse& Response) {
  if (!Target.TargetEnabled() || !MethodMatches(Target.TargetMethodType(), Request) ||
      !Target.TargetMask().Matches(TWidePathInfo(Request).Text())) {
    return false;
  }
  return Target.TargetDispatch(this, Request, Response);
}

bool TCustomWebDispatcher::RouteRequest(TWebRequest& Request, TWebResponse& Response) {
  FRequest = &Request;
  FResponse = &Response;
  TWebActionItem* defaultAction = nullptr;
  if (Response.Sent()) {
    return true;
  }
  bool handled = RunBeforeDispatch(Request, Response);
  if (!handled) {
    handled = Response.Sent();
  }
  for (int i = 0; !handled && i < FActions->Count(); ++i) {
    TWebActionItem* action = FActions->Items(i);
    handled = action->TryHandle(Request, Response, false);
    if (action->Default()) {
      defaultAction = action;
    }
  }
  for (std::size_t i = 0; !handled && i < FDispatchList.size(); ++i) {
    if (IWebDispatchTarget* target = Supports<IWebDispatchTarget>(FDispatchList[i])) {
      handled = TryTarget(*target, Request, Response);
    }
  }
  if (!handled && defaultAction != nullptr) {
    handled = defaultAction->TryHandle(Request, Response, true);
  }
  if (handled && !Response.Sent()) {
    handled = RunAfterDispatch(Request, Response);
  }
  return handled;
}

bool TCustomWebDispatcher::HandleWebRequest(TWebRequest& Request, TWebResponse& Response) {
  FRequest = &Request;
  FResponse = &Response;
  return RouteRequest(Request, Response);
}

void TCustomWebDispatcher::HandleRequestError(const Exception& E, bool& Handled) {
  Handled = false;
  if (FOnException.Assigned()) {
    Handled = true;
    if (FResponse != nullptr) {
      FResponse->SetStatusCode(500);
    }
    FOnException(this, E, Handled);
    if (Handled && FResponse != nullptr) {
      FResponse->SendResponse();
    }
  }
  if (!Handled && FResponse != nullptr) {
    const std::u16string pathInfo =
        FRequest != nullptr ? AnsiToWide(FRequest->PathInfo()) : std::u16string();
    FResponse->SetContent(InternalApplicationErrorPage(E.Message(), pathInfo));
    if (!FResponse->Sent()) {
      FResponse->SetStatusCode(500);
      FResponse->SendResponse();
    }
    Handled = true;
  }
}

} // namespace isapi_web
