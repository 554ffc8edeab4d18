#include "runtime/construct.h"

#include <gtest/gtest.h>

#include <string>

namespace isapi_web {
namespace {

class TBase {
public:
  virtual ~TBase() = default;
  void AfterConstruction() { FStartedAs = Kind(); }
  virtual std::string Kind() const { return "base"; }
  std::string FStartedAs;
};

class TDerived : public TBase {
public:
  explicit TDerived(int value) : FValue(value) {}
  std::string Kind() const override { return "derived " + std::to_string(FValue); }
  int FValue;
};

TEST(ConstructTest, AfterConstructionRunsOnTheFinishedObject) {
  const std::unique_ptr<TDerived> object = Construct<TDerived>(7);
  EXPECT_EQ(object->FStartedAs, "derived 7");
}

} // namespace
} // namespace isapi_web
