#include "platform/platform.h"

#include "resource_image.h"

#include <gtest/gtest.h>

#include <string>

namespace isapi_web::platform {
namespace {

TEST(RawResources, FoundByUpperCaseNameWithEveryByteIntact) {
  const auto bytes = FindRawResource(u"TESTRES");
  ASSERT_TRUE(bytes.has_value());
  std::string expected;
  for (int i = 0; i < 256; ++i)
    expected += static_cast<char>(i);
  EXPECT_EQ(*bytes, expected);

  // Static data: every lookup answers the same bytes; names are compared ignoring ASCII case.
  const auto again = FindRawResource(u"testres");
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(again->data(), bytes->data());
  EXPECT_EQ(again->size(), bytes->size());
}

TEST(RawResources, ResourcesOfALinkedLibraryEndUpInTheProgram) {
  const auto text = FindRawResource(u"LIBRARYTEXT");
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(*text, "Embedded by a library, found in the program that links it.\n");

  const auto empty = FindRawResource(u"EMPTYRES");
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->empty());
}

std::optional<std::string_view> FindImageResource(const char16_t* name) {
  std::size_t size = 0;
  const char* bytes = PlatformTestImageResource(name, &size);
  if (bytes == nullptr)
    return std::nullopt;
  return std::string_view(bytes, size);
}

TEST(RawResources, EachImageFindsItsOwnResourcesOnly) {
  const auto own = FindImageResource(u"IMAGETEXT");
  ASSERT_TRUE(own.has_value());
  EXPECT_EQ(*own, "Embedded in a shared library, found by its own lookup.\n");
  EXPECT_FALSE(FindImageResource(u"TESTRES").has_value());
  EXPECT_FALSE(FindRawResource(u"IMAGETEXT").has_value());
}

TEST(RawResources, OtherNamesAreNotFound) {
  EXPECT_FALSE(FindRawResource(u"MISSING").has_value());
  EXPECT_FALSE(FindRawResource(u"TESTRE").has_value());
  EXPECT_FALSE(FindRawResource(u"TESTRESX").has_value());
  EXPECT_FALSE(FindRawResource(u"").has_value());
  EXPECT_FALSE(FindRawResource(std::u16string_view(u"TESTRES\0X", 9)).has_value());
}

} // namespace
} // namespace isapi_web::platform
