#include "web/content_producer.h"

#include <gtest/gtest.h>

#include "runtime/text.h"
#include "web/web_dispatcher.h"
#include "web_test_doubles.h"

namespace isapi_web {
namespace {

using web_test::TFakeExchange;

/// Makes its content from the dispatch in progress.
class TPathProducer : public TCustomContentProducer {
public:
  explicit TPathProducer(TComponent* AOwner) : TCustomContentProducer(AOwner) {}
  std::u16string Content() override {
    IWebDispatcherAccess* access = Dispatcher();
    if (access == nullptr || access->Request() == nullptr) return u"no dispatch";
    return u"path " + AnsiToWide(access->Request()->PathInfo());
  }
};

TEST(ContentProducer, BaseContentIsEmptyAndTheInterfacesReachIt) {
  auto producer = MakeComponent<TCustomContentProducer>();
  TMemoryStream stream("bytes");
  EXPECT_EQ(producer->Content(), u"");
  EXPECT_EQ(producer->ContentFromStream(stream), u"");
  EXPECT_EQ(producer->ContentFromString(u"text"), u"");
  EXPECT_NE(Supports<IContentFromSource>(producer.get()), nullptr);
  EXPECT_NE(Supports<IDispatcherLink>(producer.get()), nullptr);

  // A derived Content is what every interface operation answers.
  auto path = MakeComponent<TPathProducer>();
  EXPECT_EQ(Supports<IContentSource>(path.get())->MakeContent(), u"no dispatch");
  EXPECT_EQ(Supports<IContentFromSource>(path.get())->MakeContentFromStream(stream), u"no dispatch");
  EXPECT_EQ(Supports<IContentFromSource>(path.get())->MakeContentFromString(u"x"), u"no dispatch");
  EXPECT_EQ(producer->ClassName(), u"TCustomContentProducer");
}

TEST(ContentProducer, LinkedDispatcherGivesTheDispatchInProgressAndIsForgotten) {
  auto producer = MakeComponent<TPathProducer>();
  EXPECT_EQ(producer->Dispatcher(), nullptr);
  EXPECT_EQ(producer->DispatcherComponent(), nullptr);

  TCustomWebDispatcher* dispatcher = CreateComponent<TCustomWebDispatcher>(nullptr);
  producer->LinkDispatcher(dispatcher);
  producer->LinkDispatcher(dispatcher);
  EXPECT_EQ(producer->DispatcherComponent(), dispatcher);
  EXPECT_EQ(Supports<IDispatcherQuery>(producer.get())->LinkedDispatcher(), dispatcher);
  ASSERT_NE(producer->Dispatcher(), nullptr);
  EXPECT_EQ(producer->Dispatcher()->Request(), nullptr);

  // The action's path is the producer's own: "/here".
  producer->SetName(u"here");
  TWebActionItem* action = dispatcher->Actions().Add();
  action->SetProducer(producer.get());
  TFakeExchange exchange("/here");
  EXPECT_TRUE(dispatcher->HandleWebRequest(*exchange.Request, *exchange.Response));
  EXPECT_EQ(exchange.Response->Content(), u"path /here");
  EXPECT_EQ(producer->Dispatcher()->Response(), exchange.Response.get());

  DestroyComponent(dispatcher);
  EXPECT_EQ(producer->DispatcherComponent(), nullptr);
  EXPECT_EQ(producer->Dispatcher(), nullptr);

  // A component that is not a dispatcher links, but offers no dispatch access.
  auto plain = MakeComponent<TComponent>();
  producer->LinkDispatcher(plain.get());
  EXPECT_EQ(producer->DispatcherComponent(), plain.get());
  EXPECT_EQ(producer->Dispatcher(), nullptr);
  producer->LinkDispatcher(nullptr);
  EXPECT_EQ(producer->DispatcherComponent(), nullptr);
}

TEST(ContentProducer, ProducerOwnedByADispatcherIsLinkedOnInsertion) {
  auto dispatcher = MakeComponent<TCustomWebDispatcher>();
  auto* producer = CreateComponent<TPathProducer>(dispatcher.get());
  EXPECT_EQ(producer->DispatcherComponent(), dispatcher.get());
}

} // namespace
} // namespace isapi_web
