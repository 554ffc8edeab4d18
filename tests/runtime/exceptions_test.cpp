#include "runtime/exceptions.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "expect_error.h"

namespace isapi_web {
namespace {

TEST(ExceptionsTest, EveryClassNamesItselfThroughTheBase) {
  const std::pair<std::unique_ptr<Exception>, std::u16string> cases[] = {
      {std::make_unique<Exception>(u"m"), u"Exception"},
      {std::make_unique<EConvertError>(u"m"), u"EConvertError"},
      {std::make_unique<EWebException>(u"m"), u"EWebException"},
      {std::make_unique<EMaskException>(u"m"), u"EMaskException"},
      {std::make_unique<EResNotFound>(u"m"), u"EResNotFound"},
      {std::make_unique<EListError>(u"m"), u"EListError"},
      {std::make_unique<EStringListError>(u"m"), u"EStringListError"},
      {std::make_unique<EAssignError>(u"m"), u"EAssignError"},
      {std::make_unique<EStreamError>(u"m"), u"EStreamError"},
      {std::make_unique<EReadError>(u"m"), u"EReadError"},
      {std::make_unique<EComponentError>(u"m"), u"EComponentError"},
      {std::make_unique<EAbstractError>(u"m"), u"EAbstractError"},
  };
  for (const auto& [exception, name] : cases) {
    EXPECT_EQ(exception->ClassName(), name);
    EXPECT_EQ(exception->Message(), u"m");
  }
}

TEST(ExceptionsTest, CaughtThroughTheirBasesWithClassAndMessageIntact) {
  ExpectError<Exception>([] { throw EWebException(u"Duplicate action name"); }, u"EWebException",
                         u"Duplicate action name");
  EXPECT_THROW(throw EStringListError(u"x"), EListError);
  EXPECT_THROW(throw EAssignError(u"x"), EConvertError);
  try {
    throw EStreamError(u"Stream read error");
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Stream read error");
  }
}

TEST(ExceptionsTest, WhatIsTheMessageInUtf8AndFollowsSetMessage) {
  EConvertError error(u"caf\u00E9 \U0001F600");
  EXPECT_STREQ(error.what(), "caf\xC3\xA9 \xF0\x9F\x98\x80");
  error.SetMessage(u"\u20AC");
  EXPECT_EQ(error.Message(), u"\u20AC");
  EXPECT_STREQ(error.what(), "\xE2\x82\xAC");

  const EConvertError copy = error;
  EXPECT_EQ(copy.Message(), u"\u20AC");
  EXPECT_STREQ(copy.what(), "\xE2\x82\xAC");
  EXPECT_NE(copy.what(), error.what()); // a copy owns its text
}

TEST(ExceptionsTest, AbstractErrorRaisesEAbstractError) {
  ExpectError<Exception>([] { AbstractError(); }, u"EAbstractError", u"Abstract Error");
}

} // namespace
} // namespace isapi_web
