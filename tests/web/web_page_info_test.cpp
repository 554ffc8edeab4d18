#include "web/web_page_info.h"

#include <gtest/gtest.h>

#include "web/web_request_handler.h"

namespace isapi_web {
namespace {

class THomePageInfo : public TAbstractWebPageInfo {
public:
  explicit THomePageInfo(bool* destroyed) : FDestroyed(destroyed) {}
  ~THomePageInfo() override { *FDestroyed = true; }
  std::u16string PageFile() const override { return u"home.html"; }
  std::u16string PageName() const override { return u"home"; }

private:
  bool* FDestroyed;
};

class TPageFactory : public TAbstractWebPageModuleFactory {
public:
  using TAbstractWebPageModuleFactory::TAbstractWebPageModuleFactory;
  std::u16string ModuleName() const override { return u"page"; }
  bool IsAppModule() const override { return false; }
  TWebModuleCreateMode CreateMode() const override { return TWebModuleCreateMode::crOnDemand; }
  TWebModuleCacheMode CacheMode() const override { return TWebModuleCacheMode::caDestroy; }
  TComponentClass ComponentClass() const override { return &TComponent::ClassInfo(); }
  TComponentPtr<> GetModule() override { return MakeComponent<TComponent>(); }
  void PreventDestruction() override {}
};

TEST(WebPageInfo, BaseAnswersFollowThePageName) {
  bool destroyed = false;
  THomePageInfo info(&destroyed);
  EXPECT_EQ(info.PageHREF(), u"home");
  EXPECT_EQ(info.PageDescription(), u"home");
  EXPECT_EQ(info.PageTitle(), u"home");
  EXPECT_EQ(info.PageFile(), u"home.html");
  EXPECT_FALSE(info.IsPublished());
  EXPECT_FALSE(info.IsLoginRequired());
  EXPECT_EQ(info.ViewAccess(), u"");
  EXPECT_EQ(info.Factory(), nullptr);
}

TEST(WebPageInfo, PageFactoryOwnsItsPageInfoAndIsItsFactory) {
  bool destroyed = false;
  auto owned = std::make_unique<THomePageInfo>(&destroyed);
  THomePageInfo* info = owned.get();
  {
    TPageFactory factory(std::move(owned));
    EXPECT_EQ(factory.WebPageInfo(), info);
    EXPECT_EQ(info->Factory(), &factory);
    EXPECT_FALSE(destroyed);
  }
  EXPECT_TRUE(destroyed);

  // A factory that is not page-oriented has no page info.
  TDefaultWebModuleFactory plain(&TComponent::ClassInfo());
  EXPECT_EQ(plain.WebPageInfo(), nullptr);
}

} // namespace
} // namespace isapi_web
