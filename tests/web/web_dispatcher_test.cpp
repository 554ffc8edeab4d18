#include "web/web_dispatcher.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../runtime/expect_error.h"
#include "runtime/exceptions.h"
#include "runtime/text.h"
#include "web/content_producer.h"
#include "web_test_messages.h"

namespace isapi_web {
namespace {

using testing::TTestExchange;

// A producer with fixed content.
class TBannerProducer : public TCustomContentProducer {
public:
  explicit TBannerProducer(TComponent* AOwner) : TCustomContentProducer(AOwner) {
    SetName(u"Banner");
  }
  std::u16string Content() override { return u"<b>banner</b>"; }
};

// Offers IContentSource without being a producer.
class TContentSource : public TComponent, public IContentSource {
public:
  using TComponent::TComponent;
  std::u16string MakeContent() override { return u"from source"; }
};

// Takes part in dispatching beside the dispatcher.
class TTarget : public TComponent, public IWebDispatchTarget {
public:
  explicit TTarget(TComponent* AOwner) : TComponent(AOwner), FMask(u"/target*") {}
  bool TargetEnabled() const override { return Enabled; }
  TMethodType TargetMethodType() const override { return Method; }
  bool TargetDispatch(TObject* Sender, TWebRequest&, TWebResponse& Response) override {
    ++Calls;
    LastSender = Sender;
    Response.SetContent(u"target");
    return Answer;
  }
  const TMask& TargetMask() override { return FMask; }

  bool Enabled = true;
  TMethodType Method = TMethodType::mtAny;
  bool Answer = true;
  int Calls = 0;
  TObject* LastSender = nullptr;

private:
  TMask FMask;
};

TComponentPtr<TCustomWebDispatcher> NewDispatcher() {
  return MakeComponent<TCustomWebDispatcher>();
}

// A handler that counts its calls and answers Result.
THTTPMethodEvent Counting(int& calls, bool result = true) {
  return [&calls, result](TObject*, TWebRequest&, TWebResponse&, bool& handled) {
    ++calls;
    handled = result;
  };
}

TEST(WebActionItemTest, PathInfoNormalFormAndMaskCache) {
  auto dispatcher = NewDispatcher();
  TWebActionItem* action = dispatcher->Actions().Add();
  EXPECT_EQ(action->PathInfo(), u"");
  action->SetPathInfo(u"max.htm");
  EXPECT_EQ(action->PathInfo(), u"/max.htm");
  action->SetPathInfo(u"/MAX.htm");
  EXPECT_EQ(action->PathInfo(), u"/max.htm");
  action->SetPathInfo(u"\\docs\\a.htm");
  EXPECT_EQ(action->PathInfo(), u"/docs/a.htm");
  action->SetPathInfo(u"");
  EXPECT_EQ(action->PathInfo(), u"");

  // The empty path info gives the empty mask: only an empty path matches.
  EXPECT_TRUE(action->CurrentMask().Matches(u""));
  EXPECT_FALSE(action->CurrentMask().Matches(u"/"));

  // The mask is compiled once per path info and reused.
  action->SetPathInfo(u"/../max.htm");
  const TMask* compiled = &action->CurrentMask();
  EXPECT_EQ(&action->CurrentMask(), compiled);
  EXPECT_TRUE(compiled->Matches(u"/../MAX.HTM"));
  EXPECT_FALSE(compiled->Matches(u"/max.htm"));

  // A malformed path info raises when first tested and leaves the cached mask alone.
  action->SetPathInfo(u"/[a");
  EXPECT_THROW(action->CurrentMask(), EMaskException);
  TTestExchange exchange("GET", "/[a");
  action->SetOnAction([](TObject*, TWebRequest&, TWebResponse&, bool&) {});
  EXPECT_THROW(dispatcher->RouteRequest(*exchange.Request, *exchange.Response), EMaskException);
  action->SetPathInfo(u"/../max.htm");
  EXPECT_EQ(&action->CurrentMask(), compiled);
}

TEST(WebActionItemTest, ProducerPathIsImpliedNotStored) {
  TComponentPtr<TComponent> owner = MakeComponent<TComponent>();
  auto* producer = CreateComponent<TBannerProducer>(owner.get());
  auto* dispatcher = CreateComponent<TCustomWebDispatcher>(owner.get());
  TWebActionItem* action = dispatcher->Actions().Add();
  action->SetProducer(producer);
  EXPECT_EQ(action->ProducerPath(), u"/Banner");
  EXPECT_EQ(action->PathInfo(), u"/Banner");
  action->SetPathInfo(u"/Banner");
  EXPECT_EQ(action->PathInfo(), u"/Banner");
  EXPECT_TRUE(action->CurrentMask().Matches(u"/banner"));
  // Stored empty: a renamed producer moves the action with it.
  producer->SetName(u"Logo");
  EXPECT_EQ(action->PathInfo(), u"/Logo");
  EXPECT_TRUE(action->CurrentMask().Matches(u"/Logo"));
  // Another letter case is a different path and is stored.
  action->SetPathInfo(u"/logo");
  action->SetProducer(nullptr);
  EXPECT_EQ(action->PathInfo(), u"/logo");
}

TEST(WebActionItemTest, MaskFollowsTheGetterWhateverChanges) {
  TComponentPtr<TComponent> owner = MakeComponent<TComponent>();
  auto* producer = CreateComponent<TBannerProducer>(owner.get());
  auto* dispatcher = CreateComponent<TCustomWebDispatcher>(owner.get());
  TWebActionItem* action = dispatcher->Actions().Add();

  // From the stored path info, reused while it stays.
  action->SetPathInfo(u"/a");
  const TMask* stored = &action->CurrentMask();
  EXPECT_TRUE(stored->Matches(u"/a"));
  EXPECT_EQ(&action->CurrentMask(), stored);
  // A producer does not change a path info that is stored.
  action->SetProducer(producer);
  EXPECT_EQ(&action->CurrentMask(), stored);
  EXPECT_TRUE(action->CurrentMask().Matches(u"/a"));

  // Stored empty with a producer: the producer's path, then its new name, then nothing.
  action->SetPathInfo(u"");
  EXPECT_TRUE(action->CurrentMask().Matches(u"/Banner"));
  producer->SetName(u"Logo");
  EXPECT_TRUE(action->CurrentMask().Matches(u"/Logo"));
  EXPECT_FALSE(action->CurrentMask().Matches(u"/Banner"));
  action->SetProducer(nullptr);
  EXPECT_TRUE(action->CurrentMask().Matches(u""));
  EXPECT_FALSE(action->CurrentMask().Matches(u"/Logo"));
  // And the stored path info again.
  action->SetPathInfo(u"/b*");
  EXPECT_TRUE(action->CurrentMask().Matches(u"/bc"));
  EXPECT_FALSE(action->CurrentMask().Matches(u"/a"));
}

TEST(WebDispatcherTest, PathInfoOfAnyTextAndLength) {
  auto dispatcher = NewDispatcher();
  std::vector<std::u16string> seen;
  TWebActionItem* action = dispatcher->Actions().Add();
  action->SetPathInfo(u"/*");
  action->SetOnAction([&](TObject*, TWebRequest& Request, TWebResponse&, bool&) {
    seen.push_back(AnsiToWide(Request.PathInfo()));
  });
  TWebActionItem* accented = dispatcher->Actions().Add();
  accented->SetPathInfo(u"\\caf\u00E9");
  int accentedCalls = 0;
  accented->SetOnAction(Counting(accentedCalls));
  action->SetMethodType(TMethodType::mtPost);

  // A path info outside ASCII is matched in its code-page form: byte E9 is the letter e-acute.
  TTestExchange cafe("GET", "/caf\xE9");
  EXPECT_TRUE(dispatcher->RouteRequest(*cafe.Request, *cafe.Response));
  EXPECT_EQ(accentedCalls, 1);
  TTestExchange upper("GET", "/CAF\xC9");
  EXPECT_FALSE(dispatcher->RouteRequest(*upper.Request, *upper.Response));

  // Long path infos, ASCII or not, are matched whole.
  action->SetMethodType(TMethodType::mtAny);
  const std::string longAscii = "/" + std::string(300, 'x');
  TTestExchange ascii("GET", longAscii);
  EXPECT_TRUE(dispatcher->RouteRequest(*ascii.Request, *ascii.Response));
  const std::string longAccented = "/" + std::string(300, '\xE9');
  TTestExchange latin("GET", longAccented);
  EXPECT_TRUE(dispatcher->RouteRequest(*latin.Request, *latin.Response));
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], AnsiToWide(longAscii));
  EXPECT_EQ(seen[1], u"/" + std::u16string(300, u'\u00E9'));
  action->SetPathInfo(u"/" + std::u16string(300, u'x'));
  TTestExchange shorter("GET", "/" + std::string(299, 'x'));
  EXPECT_FALSE(dispatcher->RouteRequest(*shorter.Request, *shorter.Response));
  TTestExchange exact("GET", longAscii);
  EXPECT_TRUE(dispatcher->RouteRequest(*exact.Request, *exact.Response));
  EXPECT_EQ(seen.size(), 3u);
}

TEST(WebActionItemTest, DefaultNamesUniqueNamesAndSingleDefault) {
  auto dispatcher = NewDispatcher();
  TWebActionItems& actions = dispatcher->Actions();
  actions.Add();
  actions.Add();
  actions.Add();
  EXPECT_EQ(actions[0]->Name(), u"WebActionItem1");
  EXPECT_EQ(actions[1]->Name(), u"WebActionItem2");
  EXPECT_EQ(actions[2]->Name(), u"WebActionItem3");
  EXPECT_TRUE(actions[2]->Enabled());
  EXPECT_EQ(actions[2]->MethodType(), TMethodType::mtAny);
  EXPECT_FALSE(actions[2]->Default());
  actions.Delete(0);
  EXPECT_EQ(actions.Add()->Name(), u"WebActionItem1");
  // Taken names are compared without regard to letter case.
  actions[0]->SetName(u"webactionitem4");
  EXPECT_EQ(actions.Add()->Name(), u"WebActionItem2");
  EXPECT_EQ(actions.Add()->Name(), u"WebActionItem5");

  TWebActionItem* max = actions[1];
  max->SetName(u"max");
  ExpectError<EWebException>([&] { actions[2]->SetName(u"MAX"); }, u"EWebException",
                             u"Duplicate action name");
  EXPECT_EQ(actions[2]->Name(), u"WebActionItem1");
  max->SetName(u"MAX");
  EXPECT_EQ(max->Name(), u"max");
  EXPECT_EQ(max->DisplayName(), u"max");
  EXPECT_EQ(dispatcher->ActionByName(u"MAX"), max);
  EXPECT_EQ(dispatcher->ActionByName(u"nothing"), nullptr);

  const auto defaults = [&] {
    int count = 0;
    for (int i = 0; i < actions.Count(); ++i) {
      count += actions[i]->Default() ? 1 : 0;
    }
    return count;
  };
  actions[0]->SetDefault(true);
  actions[3]->SetDefault(true);
  EXPECT_FALSE(actions[0]->Default());
  EXPECT_TRUE(actions[3]->Default());
  EXPECT_EQ(defaults(), 1);
  actions[3]->SetDefault(false);
  EXPECT_EQ(defaults(), 0);
}

TEST(WebActionItemTest, CopyingActions) {
  auto source = NewDispatcher();
  auto target = NewDispatcher();
  TWebActionItem* first = source->Actions().Add();
  first->SetName(u"first");
  first->SetPathInfo(u"/one");
  first->SetMethodType(TMethodType::mtPost);
  int calls = 0;
  first->SetOnAction(Counting(calls));
  TWebActionItem* second = source->Actions().Add();
  second->SetName(u"second");
  second->SetDefault(true);
  second->SetEnabled(false);
  TComponentPtr<TContentSource> content = MakeComponent<TContentSource>();
  second->SetProducerContent(content.get());
  target->Actions().Add()->SetName(u"old");

  target->SetActions(source->Actions());
  TWebActionItems& copies = target->Actions();
  ASSERT_EQ(copies.Count(), 2);
  EXPECT_EQ(copies[0]->Name(), u"WebActionItem1");
  EXPECT_EQ(copies[0]->PathInfo(), u"/one");
  EXPECT_EQ(copies[0]->MethodType(), TMethodType::mtPost);
  EXPECT_TRUE(copies[0]->Enabled());
  EXPECT_FALSE(copies[0]->Default());
  EXPECT_FALSE(copies[0]->OnAction().Assigned());
  EXPECT_EQ(copies[1]->Name(), u"WebActionItem2");
  EXPECT_TRUE(copies[1]->Default());
  EXPECT_FALSE(copies[1]->Enabled());
  EXPECT_EQ(copies[1]->ProducerContent(), nullptr);
  EXPECT_EQ(target->ActionByName(u"old"), nullptr);

  // Only actions take an action's copy.
  TCollectionItem plain;
  ExpectError<EAssignError>([&] { plain.Assign(*first); }, u"EAssignError",
                            u"Cannot assign a TWebActionItem to a TCollectionItem");
}

TEST(WebActionItemTest, DesignColumns) {
  TComponentPtr<TComponent> owner = MakeComponent<TComponent>();
  auto* producer = CreateComponent<TBannerProducer>(owner.get());
  auto* dispatcher = CreateComponent<TCustomWebDispatcher>(owner.get());
  TWebActionItems& actions = dispatcher->Actions();
  TWebActionItem* plain = actions.Add();
  plain->SetPathInfo(u"/p");
  plain->SetEnabled(false);
  TWebActionItem* produced = actions.Add();
  produced->SetProducer(producer);
  produced->SetDefault(true);
  auto* content = CreateComponent<TContentSource>(owner.get());
  content->SetName(u"Source");
  TWebActionItem* sourced = actions.Add();
  sourced->SetProducerContent(content);

  EXPECT_EQ(actions.AttrCount(), 5);
  const std::vector<std::u16string> names{u"Name", u"PathInfo", u"Enabled", u"Default",
                                          u"Producer"};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(actions.AttrName(i), names[static_cast<std::size_t>(i)]);
  }
  EXPECT_EQ(actions.AttrName(5), u"");
  EXPECT_EQ(actions.ItemAttr(0, 0), u"WebActionItem1");
  EXPECT_EQ(actions.ItemAttr(1, 0), u"/p");
  EXPECT_EQ(actions.ItemAttr(2, 0), u"False");
  EXPECT_EQ(actions.ItemAttr(3, 0), u"");
  EXPECT_EQ(actions.ItemAttr(4, 0), u"");
  EXPECT_EQ(actions.ItemAttr(1, 1), u"/Banner");
  EXPECT_EQ(actions.ItemAttr(2, 1), u"True");
  EXPECT_EQ(actions.ItemAttr(3, 1), u"*");
  EXPECT_EQ(actions.ItemAttr(4, 1), u"Banner");
  EXPECT_EQ(actions.ItemAttr(4, 2), u"Source");
  EXPECT_EQ(actions.ItemAttr(5, 2), u"");
}

TEST(WebActionItemTest, PublishedProperties) {
  auto dispatcher = NewDispatcher();
  TWebActionItem* action = dispatcher->Actions().Add();
  const TClassInfo& info = TWebActionItem::ClassInfo();
  std::vector<std::u16string> names;
  for (const TPropertyInfo& property : info.Properties()) {
    names.push_back(property.Name());
  }
  EXPECT_EQ(names, (std::vector<std::u16string>{u"Default", u"Enabled", u"MethodType", u"Name",
                                                u"PathInfo", u"Producer", u"ProducerContent",
                                                u"OnAction"}));
  info.FindProperty(u"MethodType")->SetValue(*action, TIdentValue{u"mtHead"});
  EXPECT_EQ(action->MethodType(), TMethodType::mtHead);
  info.FindProperty(u"PathInfo")->SetValue(*action, std::u16string(u"x.htm"));
  EXPECT_EQ(action->PathInfo(), u"/x.htm");
  info.FindProperty(u"Default")->SetValue(*action, true);
  EXPECT_TRUE(action->Default());
  // A Producer must be a content producer.
  TComponentPtr<TContentSource> content = MakeComponent<TContentSource>();
  ExpectError<EReadError>(
      [&] {
        info.FindProperty(u"Producer")->SetValue(*action, static_cast<TComponent*>(content.get()));
      },
      u"EReadError", u"Invalid property value");
  info.FindProperty(u"ProducerContent")->SetValue(*action, static_cast<TComponent*>(content.get()));
  EXPECT_EQ(action->ProducerContent(), content.get());
}

TEST(WebDispatcherTest, ActionPassRunsMatchingActionsInOrder) {
  auto dispatcher = NewDispatcher();
  int post = 0;
  int first = 0;
  int second = 0;
  TWebActionItem* postOnly = dispatcher->Actions().Add();
  postOnly->SetMethodType(TMethodType::mtPost);
  postOnly->SetPathInfo(u"/a*");
  postOnly->SetOnAction(Counting(post));
  TWebActionItem* a = dispatcher->Actions().Add();
  a->SetPathInfo(u"/a*");
  a->SetMethodType(TMethodType::mtGet);
  TObject* sender = nullptr;
  a->SetOnAction([&](TObject* Sender, TWebRequest&, TWebResponse& Response, bool&) {
    ++first;
    sender = Sender;
    Response.SetContent(u"first");
  });
  dispatcher->Actions().Add()->SetOnAction(Counting(second));
  dispatcher->Actions()[2]->SetPathInfo(u"*");

  TTestExchange exchange("GET", "/ABC");
  EXPECT_TRUE(dispatcher->HandleWebRequest(*exchange.Request, *exchange.Response));
  EXPECT_EQ(post, 0);
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 0);
  EXPECT_EQ(sender, static_cast<TObject*>(a));
  EXPECT_EQ(exchange.Response->Content(), u"first");
  EXPECT_EQ(dispatcher->Request(), exchange.Request.get());
  EXPECT_EQ(dispatcher->Response(), exchange.Response.get());

  // A disabled action is skipped.
  a->SetEnabled(false);
  TTestExchange other("GET", "/b");
  EXPECT_TRUE(dispatcher->RouteRequest(*other.Request, *other.Response));
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 1);
}

TEST(WebDispatcherTest, NothingHandledWritesNothing) {
  auto dispatcher = NewDispatcher();
  TTestExchange exchange("GET", "/x");
  EXPECT_FALSE(dispatcher->RouteRequest(*exchange.Request, *exchange.Response));
  EXPECT_EQ(exchange.Response->ContentWrites, 0);
  EXPECT_EQ(exchange.Response->StatusWrites, 0);
  EXPECT_EQ(exchange.Response->SendCount, 0);

  // A matching action with neither producer nor handler, and one that does not match.
  dispatcher->Actions().Add()->SetPathInfo(u"/x");
  int calls = 0;
  TWebActionItem* action = dispatcher->Actions().Add();
  action->SetPathInfo(u"/y");
  action->SetOnAction(Counting(calls));
  EXPECT_FALSE(dispatcher->RouteRequest(*exchange.Request, *exchange.Response));
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(exchange.Response->ContentWrites, 0);
  EXPECT_EQ(exchange.Response->SendCount, 0);
}

TEST(WebDispatcherTest, DefaultAction) {
  auto dispatcher = NewDispatcher();
  int calls = 0;
  TWebActionItem* fallback = dispatcher->Actions().Add();
  fallback->SetDefault(true);
  fallback->SetEnabled(false);
  fallback->SetMethodType(TMethodType::mtPost);
  fallback->SetPathInfo(u"/../max.htm");
  fallback->SetOnAction(Counting(calls));
  int other = 0;
  TWebActionItem* second = dispatcher->Actions().Add();
  second->SetPathInfo(u"/other");
  second->SetOnAction(Counting(other));

  // Disabled, another method, a mask that does not match: the default pass still runs it.
  TTestExchange exchange("GET", "/anything");
  EXPECT_TRUE(dispatcher->RouteRequest(*exchange.Request, *exchange.Response));
  EXPECT_EQ(calls, 1);
  // A request an action handles never reaches the default.
  TTestExchange handled("GET", "/other");
  EXPECT_TRUE(dispatcher->RouteRequest(*handled.Request, *handled.Response));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(other, 1);

  // A matching default action that declines runs a second time in the default pass.
  auto declining = NewDispatcher();
  int runs = 0;
  TWebActionItem* action = declining->Actions().Add();
  action->SetDefault(true);
  action->SetPathInfo(u"/a");
  action->SetOnAction(Counting(runs, false));
  TTestExchange matching("GET", "/a");
  EXPECT_FALSE(declining->RouteRequest(*matching.Request, *matching.Response));
  EXPECT_EQ(runs, 2);
}

TEST(WebDispatcherTest, BeforeAndAfterDispatch) {
  auto dispatcher = NewDispatcher();
  int actionCalls = 0;
  TWebActionItem* action = dispatcher->Actions().Add();
  action->SetDefault(true);
  action->SetPathInfo(u"*");
  action->SetOnAction(Counting(actionCalls));
  int before = 0;
  int after = 0;
  bool beforeResult = true;
  bool afterResult = true;
  dispatcher->SetBeforeDispatch([&](TObject* Sender, TWebRequest&, TWebResponse&, bool& handled) {
    ++before;
    EXPECT_EQ(Sender, static_cast<TObject*>(dispatcher.get()));
    EXPECT_FALSE(handled);
    handled = beforeResult;
  });
  dispatcher->SetAfterDispatch([&](TObject*, TWebRequest&, TWebResponse&, bool& handled) {
    ++after;
    EXPECT_TRUE(handled);
    handled = afterResult;
  });

  // BeforeDispatch handling the request suppresses every pass; AfterDispatch still runs.
  TTestExchange exchange("GET", "/x");
  EXPECT_TRUE(dispatcher->RouteRequest(*exchange.Request, *exchange.Response));
  EXPECT_EQ(actionCalls, 0);
  EXPECT_EQ(before, 1);
  EXPECT_EQ(after, 1);

  // AfterDispatch may turn a handled request into an unhandled one.
  beforeResult = false;
  afterResult = false;
  EXPECT_FALSE(dispatcher->RouteRequest(*exchange.Request, *exchange.Response));
  EXPECT_EQ(actionCalls, 1);
  EXPECT_EQ(after, 2);

  // BeforeDispatch sending the response suppresses the passes and AfterDispatch.
  dispatcher->SetBeforeDispatch([&](TObject*, TWebRequest&, TWebResponse& Response, bool&) {
    ++before;
    Response.SendResponse();
  });
  TTestExchange sending("GET", "/x");
  EXPECT_TRUE(dispatcher->RouteRequest(*sending.Request, *sending.Response));
  EXPECT_EQ(actionCalls, 1);
  EXPECT_EQ(after, 2);

  // An already sent response: true at once, no event fires.
  TTestExchange sent("GET", "/x");
  sent.Response->MarkSent();
  before = 0;
  EXPECT_TRUE(dispatcher->RouteRequest(*sent.Request, *sent.Response));
  EXPECT_EQ(before, 0);
  EXPECT_EQ(after, 2);
  EXPECT_EQ(actionCalls, 1);
}

TEST(WebDispatcherTest, ProducersAndContentSources) {
  TComponentPtr<TComponent> owner = MakeComponent<TComponent>();
  auto* producer = CreateComponent<TBannerProducer>(owner.get());
  auto* dispatcher = CreateComponent<TCustomWebDispatcher>(owner.get());
  auto* plain = CreateComponent<TComponent>(owner.get());
  auto* source = CreateComponent<TContentSource>(owner.get());

  // A producer and no handler: handled, with the producer's content.
  TWebActionItem* produced = dispatcher->Actions().Add();
  produced->SetProducer(producer);
  TTestExchange banner("GET", "/banner");
  EXPECT_TRUE(dispatcher->RouteRequest(*banner.Request, *banner.Response));
  EXPECT_EQ(banner.Response->Content(), u"<b>banner</b>");

  // A component without IContentSource leaves the request to the following actions.
  TWebActionItem* empty = dispatcher->Actions().Add();
  empty->SetPathInfo(u"/c");
  empty->SetProducerContent(plain);
  int later = 0;
  TWebActionItem* next = dispatcher->Actions().Add();
  next->SetPathInfo(u"/c");
  next->SetOnAction(Counting(later));
  TTestExchange content("GET", "/c");
  EXPECT_TRUE(dispatcher->RouteRequest(*content.Request, *content.Response));
  EXPECT_EQ(later, 1);
  EXPECT_EQ(content.Response->ContentWrites, 0);

  // With IContentSource the content is made; a handler may still decline, keeping the content.
  empty->SetProducerContent(source);
  EXPECT_TRUE(dispatcher->RouteRequest(*content.Request, *content.Response));
  EXPECT_EQ(later, 1);
  EXPECT_EQ(content.Response->Content(), u"from source");
  int declined = 0;
  empty->SetOnAction(Counting(declined, false));
  TTestExchange declining("GET", "/c");
  EXPECT_TRUE(dispatcher->RouteRequest(*declining.Request, *declining.Response));
  EXPECT_EQ(declined, 1);
  EXPECT_EQ(later, 2);
  EXPECT_EQ(declining.Response->Content(), u"from source");

  // Producer and ProducerContent exclude each other.
  empty->SetProducer(producer);
  EXPECT_EQ(empty->ProducerContent(), nullptr);
  empty->SetProducerContent(source);
  EXPECT_EQ(empty->Producer(), nullptr);
}

TEST(WebDispatcherTest, DestroyedComponentsLeaveTheActions) {
  TComponentPtr<TComponent> owner = MakeComponent<TComponent>();
  auto* dispatcher = CreateComponent<TCustomWebDispatcher>(owner.get());
  auto* sibling = CreateComponent<TBannerProducer>(owner.get());
  TComponentPtr<TBannerProducer> elsewhere = MakeComponent<TBannerProducer>();
  TComponentPtr<TComponent> plain = MakeComponent<TComponent>();
  auto* child = CreateComponent<TContentSource>(dispatcher);
  TWebActionItems& actions = dispatcher->Actions();
  actions.Add()->SetProducer(sibling);
  actions.Add()->SetProducer(elsewhere.get());
  actions.Add()->SetProducerContent(plain.get());
  actions.Add()->SetProducerContent(child);

  DestroyComponent(sibling);
  EXPECT_EQ(actions[0]->Producer(), nullptr);
  elsewhere.reset();
  EXPECT_EQ(actions[1]->Producer(), nullptr);
  // Any component, not only a producer, is dropped.
  plain.reset();
  EXPECT_EQ(actions[2]->ProducerContent(), nullptr);
  DestroyComponent(child);
  EXPECT_EQ(actions[3]->ProducerContent(), nullptr);

  // The actions keep working, now without content.
  TTestExchange exchange("GET", "/Banner");
  EXPECT_FALSE(dispatcher->RouteRequest(*exchange.Request, *exchange.Response));
  EXPECT_EQ(exchange.Response->ContentWrites, 0);
}

TEST(WebDispatcherTest, DiscoveryOfProducersAndTargets) {
  TComponentPtr<TComponent> owner = MakeComponent<TComponent>();
  auto* early = CreateComponent<TBannerProducer>(owner.get());
  auto* earlyTarget = CreateComponent<TTarget>(owner.get());
  auto* dispatcher = CreateComponent<TCustomWebDispatcher>(owner.get());
  // Found on construction, in the owner's order.
  EXPECT_EQ(early->DispatcherComponent(), dispatcher);
  ASSERT_EQ(dispatcher->DispatchTargetCount(), 1);
  EXPECT_EQ(dispatcher->DispatchTargets(0), earlyTarget);
  // Found on insertion into the owner and into the dispatcher itself.
  auto* late = CreateComponent<TBannerProducer>(owner.get());
  auto* inner = CreateComponent<TBannerProducer>(dispatcher);
  auto* innerTarget = CreateComponent<TTarget>(dispatcher);
  EXPECT_EQ(late->DispatcherComponent(), dispatcher);
  EXPECT_EQ(inner->DispatcherComponent(), dispatcher);
  ASSERT_EQ(dispatcher->DispatchTargetCount(), 2);
  EXPECT_EQ(dispatcher->DispatchTargets(1), innerTarget);
  // Components offering nothing are skipped without error.
  CreateComponent<TComponent>(owner.get());
  EXPECT_EQ(dispatcher->DispatchTargetCount(), 2);

  // A producer forgets a destroyed dispatcher.
  DestroyComponent(dispatcher);
  EXPECT_EQ(early->DispatcherComponent(), nullptr);
  EXPECT_EQ(late->DispatcherComponent(), nullptr);
}

TEST(WebDispatcherTest, TargetPass) {
  TComponentPtr<TComponent> owner = MakeComponent<TComponent>();
  auto* dispatcher = CreateComponent<TCustomWebDispatcher>(owner.get());
  auto* target = CreateComponent<TTarget>(owner.get());
  int defaults = 0;
  TWebActionItem* fallback = dispatcher->Actions().Add();
  fallback->SetDefault(true);
  fallback->SetPathInfo(u"/never");
  fallback->SetOnAction(Counting(defaults));

  // After the actions, before the default action.
  TTestExchange exchange("GET", "/target/x");
  EXPECT_TRUE(dispatcher->RouteRequest(*exchange.Request, *exchange.Response));
  EXPECT_EQ(target->Calls, 1);
  EXPECT_EQ(target->LastSender, static_cast<TObject*>(dispatcher));
  EXPECT_EQ(defaults, 0);
  // A target that does not match, is disabled or declines leaves the request to the default.
  TTestExchange elsewhere("GET", "/other");
  EXPECT_TRUE(dispatcher->RouteRequest(*elsewhere.Request, *elsewhere.Response));
  EXPECT_EQ(target->Calls, 1);
  EXPECT_EQ(defaults, 1);
  target->Method = TMethodType::mtPost;
  EXPECT_TRUE(dispatcher->RouteRequest(*exchange.Request, *exchange.Response));
  EXPECT_EQ(target->Calls, 1);
  target->Method = TMethodType::mtAny;
  target->Answer = false;
  EXPECT_TRUE(dispatcher->RouteRequest(*exchange.Request, *exchange.Response));
  EXPECT_EQ(target->Calls, 2);
  EXPECT_EQ(defaults, 3);

  // A destroyed target leaves the dispatch list.
  DestroyComponent(target);
  EXPECT_EQ(dispatcher->DispatchTargetCount(), 0);
  EXPECT_TRUE(dispatcher->RouteRequest(*exchange.Request, *exchange.Response));
  EXPECT_EQ(defaults, 4);
}

TEST(WebDispatcherTest, OnlyOneDispatcherPerModule) {
  TComponentPtr<TComponent> owner = MakeComponent<TComponent>();
  auto* dispatcher = CreateComponent<TCustomWebDispatcher>(owner.get());
  ExpectError<EWebException>([&] { CreateComponent<TCustomWebDispatcher>(owner.get()); },
                             u"EWebException", u"Only one WebDispatcher per form/data module");
  ExpectError<EWebException>([&] { CreateComponent<TCustomWebDispatcher>(dispatcher); },
                             u"EWebException", u"Only one WebDispatcher per form/data module");
  EXPECT_EQ(owner->ComponentCount(), 1);
  EXPECT_EQ(dispatcher->ComponentCount(), 0);
}

// Raises "boom" from its action, then lets the dispatcher handle the error as the hook does.
bool RouteAndHandle(TCustomWebDispatcher& dispatcher, TTestExchange& exchange,
                    const std::u16string& message) {
  dispatcher.Actions().Clear();
  TWebActionItem* action = dispatcher.Actions().Add();
  action->SetPathInfo(u"*");
  action->SetOnAction(
      [message](TObject*, TWebRequest&, TWebResponse&, bool&) { throw EWebException(message); });
  bool handled = false;
  try {
    dispatcher.HandleWebRequest(*exchange.Request, *exchange.Response);
    ADD_FAILURE() << "the action did not raise";
  } catch (const Exception& e) {
    dispatcher.HandleRequestError(e, handled);
  }
  return handled;
}

TEST(WebDispatcherTest, ErrorPage) {
  auto dispatcher = NewDispatcher();
  TTestExchange exchange("GET", "/x");
  EXPECT_TRUE(RouteAndHandle(*dispatcher, exchange, u"boom"));
  EXPECT_EQ(exchange.Response->StatusCode(), 500);
  EXPECT_EQ(exchange.Response->SendCount, 1);
  EXPECT_EQ(exchange.Response->Content(),
            u"<html><body><h1>Internal Application Error</h1>\r\n<p>boom\r\n"
            u"<p><hr width=\"100%\"><i>/x</i></body></html>");

  // Markup from the message or the client's path arrives escaped.
  TTestExchange hostile("GET", "/a<script>alert('x')</script>&\"");
  EXPECT_TRUE(RouteAndHandle(*dispatcher, hostile, u"<b>bad</b> & 'worse'"));
  EXPECT_EQ(hostile.Response->Content(),
            u"<html><body><h1>Internal Application Error</h1>\r\n<p>&lt;b&gt;bad&lt;/b&gt; "
            u"&amp; &#39;worse&#39;\r\n<p><hr width=\"100%\"><i>/a&lt;script&gt;alert(&#39;x&#39;)"
            u"&lt;/script&gt;&amp;&quot;</i></body></html>");

  // A response already sent gets the page as content but no new status or send.
  TTestExchange sent("GET", "/x");
  sent.Response->SetStatusCode(302);
  dispatcher->Actions().Clear();
  dispatcher->SetBeforeDispatch([](TObject*, TWebRequest&, TWebResponse& Response, bool&) {
    Response.SendResponse();
    throw EWebException(u"late");
  });
  bool handled = false;
  try {
    dispatcher->HandleWebRequest(*sent.Request, *sent.Response);
  } catch (const Exception& e) {
    dispatcher->HandleRequestError(e, handled);
  }
  EXPECT_TRUE(handled);
  EXPECT_EQ(sent.Response->StatusCode(), 302);
  EXPECT_EQ(sent.Response->SendCount, 1);
  EXPECT_NE(sent.Response->Content().find(u"<p>late\r\n"), std::u16string::npos);

  // Without a response nothing is written and the error stays unhandled.
  auto fresh = NewDispatcher();
  handled = true;
  fresh->HandleRequestError(EWebException(u"boom"), handled);
  EXPECT_FALSE(handled);
}

TEST(WebDispatcherTest, OnExceptionHandler) {
  auto dispatcher = NewDispatcher();
  int calls = 0;
  bool keep = true;
  dispatcher->SetOnException([&](TObject* Sender, const Exception& E, bool& handled) {
    ++calls;
    EXPECT_EQ(Sender, static_cast<TObject*>(dispatcher.get()));
    EXPECT_EQ(E.Message(), u"boom");
    EXPECT_TRUE(handled);
    EXPECT_EQ(dispatcher->Response()->StatusCode(), 500);
    dispatcher->Response()->SetContent(u"custom");
    handled = keep;
  });

  // Handled: the status preset to 500, the handler's content, the response sent.
  TTestExchange exchange("GET", "/x");
  EXPECT_TRUE(RouteAndHandle(*dispatcher, exchange, u"boom"));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(exchange.Response->StatusCode(), 500);
  EXPECT_EQ(exchange.Response->Content(), u"custom");
  EXPECT_EQ(exchange.Response->SendCount, 1);

  // The handler may change the status; the response is sent even when it was sent before.
  dispatcher->SetOnException([&](TObject*, const Exception&, bool&) {
    dispatcher->Response()->SendResponse();
    dispatcher->Response()->SetStatusCode(503);
  });
  TTestExchange changed("GET", "/x");
  EXPECT_TRUE(RouteAndHandle(*dispatcher, changed, u"boom"));
  EXPECT_EQ(changed.Response->StatusCode(), 503);
  EXPECT_EQ(changed.Response->SendCount, 2);

  // Declined: the error page after all.
  keep = false;
  dispatcher->SetOnException([&](TObject*, const Exception&, bool& handled) {
    ++calls;
    handled = keep;
  });
  TTestExchange declined("GET", "/x");
  EXPECT_TRUE(RouteAndHandle(*dispatcher, declined, u"boom"));
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(declined.Response->StatusCode(), 500);
  EXPECT_EQ(declined.Response->SendCount, 1);
  EXPECT_NE(declined.Response->Content().find(u"Internal Application Error"), std::u16string::npos);

  // Without a response, a handler that keeps Handled leaves it handled.
  auto fresh = NewDispatcher();
  fresh->SetOnException([](TObject*, const Exception&, bool&) {});
  bool handled = false;
  fresh->HandleRequestError(EWebException(u"boom"), handled);
  EXPECT_TRUE(handled);
}

TEST(WebDispatcherTest, OffersItsInterfaces) {
  auto dispatcher = NewDispatcher();
  EXPECT_NE(Supports<IWebRequestHandler>(dispatcher.get()), nullptr);
  EXPECT_NE(Supports<IRequestErrorHandler>(dispatcher.get()), nullptr);
  IWebDispatcherAccess* access = Supports<IWebDispatcherAccess>(dispatcher.get());
  ASSERT_NE(access, nullptr);
  EXPECT_EQ(access->Request(), nullptr);
  EXPECT_EQ(Supports<IDispatcherLink>(dispatcher.get()), nullptr);
  EXPECT_EQ(Supports<IContentSource>(dispatcher.get()), nullptr);
  TTestExchange exchange("GET", "/x");
  static_cast<IWebRequestHandler*>(dispatcher.get())
      ->HandleWebRequest(*exchange.Request, *exchange.Response);
  EXPECT_EQ(access->Request(), exchange.Request.get());
  EXPECT_EQ(access->Response(), exchange.Response.get());
  EXPECT_EQ(&dispatcher->ClassType(), &TCustomWebDispatcher::ClassInfo());
  EXPECT_TRUE(dispatcher->ClassType().InheritsFrom(TDataModule::ClassInfo()));
}

} // namespace
} // namespace isapi_web
