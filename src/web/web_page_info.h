#pragma once
// Page descriptions for page-oriented module factories: a page info describes the page a
// factory's module serves, and the factory owns its page info.

#include <memory>
#include <string>

#include "web/web_interfaces.h"

namespace isapi_web {

class TAbstractWebPageModuleFactory;

/// What a page-oriented module serves. Descendants supply at least PageFile and PageName.
class TAbstractWebPageInfo {
public:
  TAbstractWebPageInfo() = default;
  TAbstractWebPageInfo(const TAbstractWebPageInfo&) = delete;
  TAbstractWebPageInfo& operator=(const TAbstractWebPageInfo&) = delete;
  virtual ~TAbstractWebPageInfo() = default;

  virtual std::u16string PageFile() const = 0;
  /// The base answers PageName.
  virtual std::u16string PageHREF() const { return PageName(); }
  virtual std::u16string PageName() const = 0;
  /// The base answers PageName.
  virtual std::u16string PageDescription() const { return PageName(); }
  /// The base answers PageName.
  virtual std::u16string PageTitle() const { return PageName(); }
  virtual bool IsPublished() const { return false; }
  virtual bool IsLoginRequired() const { return false; }
  /// The base answers the empty string.
  virtual std::u16string ViewAccess() const { return std::u16string(); }
  /// Stores the factory this page info belongs to (not owned).
  virtual void SetFactory(TAbstractWebPageModuleFactory* AFactory) { FFactory = AFactory; }

  TAbstractWebPageModuleFactory* Factory() const noexcept { return FFactory; }

private:
  TAbstractWebPageModuleFactory* FFactory = nullptr;
};

/// A module factory carrying a page info, which it owns; its other operations stay abstract.
class TAbstractWebPageModuleFactory : public TAbstractWebModuleFactory {
public:
  /// Takes AWebPageInfo and makes this factory its Factory.
  explicit TAbstractWebPageModuleFactory(std::unique_ptr<TAbstractWebPageInfo> AWebPageInfo);
  ~TAbstractWebPageModuleFactory() override;

  TAbstractWebPageInfo* WebPageInfo() const override { return FWebPageInfo.get(); }

private:
  std::unique_ptr<TAbstractWebPageInfo> FWebPageInfo;
};

} // namespace isapi_web
