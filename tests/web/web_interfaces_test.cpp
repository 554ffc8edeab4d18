#include "web/web_interfaces.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "runtime/exceptions.h"
#include "web_test_doubles.h"

namespace isapi_web {
namespace {

TEST(WebInterfacesTest, Identifiers) {
  EXPECT_EQ(GUIDToString(IRequestServices::IID), u"{D62F1586-E307-11D3-A418-00C04F6BB853}");
  EXPECT_EQ(GUIDToString(IRequestServicesSource::IID), u"{5CF7B3BD-DAB0-D511-99A8-0050568E0E44}");
  EXPECT_EQ(GUIDToString(IRequestErrorHandler::IID), u"{7664268F-9629-11D4-A4EC-00C04F6BB853}");
  EXPECT_EQ(GUIDToString(IWebRequestHandler::IID), u"{6FCCB05F-8FE0-11D4-A4E5-00C04F6BB853}");
  EXPECT_EQ(GUIDToString(IWebDispatcherAccess::IID), u"{144CD1DF-9FAE-D511-8D38-0050568E0E44}");
  EXPECT_EQ(GUIDToString(IWebDispatchTarget::IID), u"{E6D33BE4-9FAE-D511-8D38-0050568E0E44}");
  EXPECT_EQ(GUIDToString(IDispatcherLink::IID), u"{2F5E959E-DA65-11D3-A411-00C04F6BB853}");
  EXPECT_EQ(GUIDToString(IDispatcherQuery::IID), u"{2BF38474-E821-11D4-A54A-00C04F6BB853}");
  EXPECT_EQ(GUIDToString(IContentSource::IID), u"{AAFA17B7-E814-11D4-A54A-00C04F6BB853}");
  EXPECT_EQ(GUIDToString(IContentFromSource::IID), u"{AA0CC875-E81B-11D4-A54A-00C04F6BB853}");

  // The fields as the binary form holds them; lower-case text reads the same.
  constexpr TGUID id = StringToGUID("{d62f1586-e307-11d3-a418-00c04f6bb853}");
  static_assert(id == IRequestServices::IID);
  EXPECT_EQ(id.D1, 0xD62F1586u);
  EXPECT_EQ(id.D2, 0xE307u);
  EXPECT_EQ(id.D3, 0x11D3u);
  EXPECT_EQ(id.D4[0], 0xA4u);
  EXPECT_EQ(id.D4[7], 0x53u);
  EXPECT_FALSE(IContentSource::IID == IContentFromSource::IID);
}

class TPlain : public TComponent {
public:
  using TComponent::TComponent;
};

class TSource : public TComponent, public IContentSource {
public:
  using TComponent::TComponent;
  std::u16string MakeContent() override { return u"made"; }
};

TEST(WebInterfacesTest, SupportsAsksTheObject) {
  TComponentPtr<TPlain> plain = MakeComponent<TPlain>();
  TComponentPtr<TSource> source = MakeComponent<TSource>();
  TComponent* asComponent = source.get();
  EXPECT_EQ(Supports<IContentSource>(plain.get()), nullptr);
  EXPECT_EQ(Supports<IWebDispatchTarget>(plain.get()), nullptr);
  EXPECT_EQ(Supports<IDispatcherLink>(asComponent), nullptr);
  IContentSource* found = Supports<IContentSource>(asComponent);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->MakeContent(), u"made");
  EXPECT_EQ(Supports<IContentSource>(static_cast<TComponent*>(nullptr)), nullptr);
}

class TFactory : public TAbstractWebModuleFactory {
public:
  std::u16string ModuleName() const override { return u"plain"; }
  bool IsAppModule() const override { return false; }
  TWebModuleCreateMode CreateMode() const override { return TWebModuleCreateMode::crOnDemand; }
  TWebModuleCacheMode CacheMode() const override { return TWebModuleCacheMode::caDestroy; }
  TComponentClass ComponentClass() const override { return &TComponent::ClassInfo(); }
  TComponentPtr<> GetModule() override { return MakeComponent<TPlain>(); }
  void PreventDestruction() override {}
};

TEST(WebInterfacesTest, FactoryModesAndPageInfo) {
  EXPECT_EQ(static_cast<int>(TWebModuleCreateMode::crOnDemand), 0);
  EXPECT_EQ(static_cast<int>(TWebModuleCreateMode::crAlways), 1);
  EXPECT_EQ(static_cast<int>(TWebModuleCacheMode::caCache), 0);
  EXPECT_EQ(static_cast<int>(TWebModuleCacheMode::caDestroy), 1);
  TFactory factory;
  EXPECT_EQ(factory.WebPageInfo(), nullptr);
  EXPECT_NE(factory.GetModule(), nullptr);
}

struct TCountingHook {
  std::atomic<int> Calls{0};
  std::atomic<TObject*> LastSender{nullptr};
  bool Rethrow = false;
  void Hook(TObject* Sender) {
    ++Calls;
    LastSender = Sender;
    if (Rethrow) {
      throw;
    }
  }
};

TEST(WebInterfacesTest, RequestExceptionHook) {
  EXPECT_FALSE(RequestExceptionHook().Assigned());
  try {
    throw EWebException(u"unheard");
  } catch (...) {
    EXPECT_FALSE(CallRequestExceptionHook(nullptr));
  }

  TCountingHook counting;
  SetRequestExceptionHook({&counting, &TCountingHook::Hook});
  EXPECT_TRUE(RequestExceptionHook().IsBoundTo(&counting));
  TComponentPtr<TPlain> sender = MakeComponent<TPlain>();
  try {
    throw EWebException(u"swallowed");
  } catch (...) {
    EXPECT_TRUE(CallRequestExceptionHook(sender.get()));
  }
  EXPECT_EQ(counting.Calls, 1);
  EXPECT_EQ(counting.LastSender.load(), static_cast<TObject*>(sender.get()));

  // The hook reads the exception being handled and may raise it again.
  counting.Rethrow = true;
  try {
    try {
      throw EWebException(u"again");
    } catch (...) {
      CallRequestExceptionHook(nullptr);
    }
    ADD_FAILURE() << "the hook did not raise again";
  } catch (const EWebException& e) {
    EXPECT_EQ(e.Message(), u"again");
  }

  SetRequestExceptionHook({});
  EXPECT_FALSE(RequestExceptionHook().Assigned());
}

TEST(WebInterfacesTest, HookReadsAreSafeWhileItIsReplaced) {
  TCountingHook first;
  TCountingHook second;
  constexpr int Readers = 4;
  constexpr int CallsPerReader = 2000;
  web_test::TLatch start(Readers + 1);
  std::atomic<int> unset{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < Readers; ++i) {
    readers.emplace_back([&] {
      start.arrive_and_wait();
      for (int call = 0; call < CallsPerReader; ++call) {
        try {
          throw EWebException(u"x");
        } catch (...) {
          if (!CallRequestExceptionHook(nullptr)) {
            ++unset;
          }
        }
      }
    });
  }
  start.arrive_and_wait();
  for (int swap = 0; swap < 200; ++swap) {
    SetRequestExceptionHook({&first, &TCountingHook::Hook});
    SetRequestExceptionHook({&second, &TCountingHook::Hook});
  }
  SetRequestExceptionHook({});
  for (std::thread& reader : readers) {
    reader.join();
  }
  // Every call found one hook or none; none was lost or counted twice.
  EXPECT_EQ(first.Calls + second.Calls + unset, Readers * CallsPerReader);
}

} // namespace
} // namespace isapi_web
