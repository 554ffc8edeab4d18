#include "web/web_page_info.h"

#include <utility>

namespace isapi_web {

TAbstractWebPageModuleFactory::TAbstractWebPageModuleFactory(
    std::unique_ptr<TAbstractWebPageInfo> AWebPageInfo)
    : FWebPageInfo(std::move(AWebPageInfo)) {
  if (FWebPageInfo) {
    FWebPageInfo->SetFactory(this);
  }
}

TAbstractWebPageModuleFactory::~TAbstractWebPageModuleFactory() = default;

} // namespace isapi_web
