#include "host/header_block.h"

#include <gtest/gtest.h>

namespace isapi_web::host {
namespace {

using TFields = std::vector<std::pair<std::string, std::string>>;

TEST(ParseHeaderBlockTest, ReadsCrLfAndLfLinesUpToTheBlankLine) {
  const auto block =
      ParseHeaderBlock("Content-Type: text/html\r\nX-A:  1 \nSet-Cookie: a=b\r\n\r\n");
  ASSERT_TRUE(block);
  EXPECT_EQ(block->Fields,
            (TFields{{"Content-Type", "text/html"}, {"X-A", "1"}, {"Set-Cookie", "a=b"}}));
  EXPECT_EQ(block->BodyStart, "");
  const auto lf = ParseHeaderBlock("A: b\n\n");
  ASSERT_TRUE(lf);
  EXPECT_EQ(lf->Fields, (TFields{{"A", "b"}}));
}

TEST(ParseHeaderBlockTest, BytesAfterTheBlankLineStartTheBody) {
  const auto block = ParseHeaderBlock("A: b\r\n\r\nbody\r\nmore: not a header");
  ASSERT_TRUE(block);
  EXPECT_EQ(block->Fields.size(), 1u);
  EXPECT_EQ(block->BodyStart, "body\r\nmore: not a header");
}

TEST(ParseHeaderBlockTest, AnEmptyBlockHasNoFields) {
  const auto empty = ParseHeaderBlock("");
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->Fields.empty());
  const auto blank = ParseHeaderBlock("\r\n");
  ASSERT_TRUE(blank);
  EXPECT_TRUE(blank->Fields.empty());
}

TEST(ParseHeaderBlockTest, RefusesBlocksThatCouldSplitAResponse) {
  EXPECT_FALSE(ParseHeaderBlock("NoColon\r\n\r\n"));
  EXPECT_FALSE(ParseHeaderBlock("A: b\r\n"));                // no blank line
  EXPECT_FALSE(ParseHeaderBlock("A: b"));                    // not even a line end
  EXPECT_FALSE(ParseHeaderBlock("A: b\rX-Evil: 1\r\n\r\n")); // a lone CR
  EXPECT_FALSE(ParseHeaderBlock("A: b\x01\r\n\r\n"));
  EXPECT_FALSE(ParseHeaderBlock("Bad Name: b\r\n\r\n"));
  EXPECT_FALSE(ParseHeaderBlock(": empty name\r\n\r\n"));
  EXPECT_FALSE(ParseHeaderBlock(" folded: line\r\n\r\n"));
}

TEST(ParseHeaderBlockTest, KeepsBytesAbove127AndTabsInValues) {
  const auto block = ParseHeaderBlock("X-Name: caf\xE9\tau lait\r\n\r\n");
  ASSERT_TRUE(block);
  EXPECT_EQ(block->Fields[0].second, "caf\xE9\tau lait");
}

TEST(ParseStatusTextTest, ReadsCodeAndReason) {
  const auto found = ParseStatusText("404 Not Found");
  ASSERT_TRUE(found);
  EXPECT_EQ(found->Code, 404u);
  EXPECT_EQ(found->Text, "404 Not Found");
  const auto bare = ParseStatusText("204");
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->Code, 204u);
  // Without a reason the text keeps the space that ends the code in the status line.
  EXPECT_EQ(bare->Text, "204 ");
  const auto blanks = ParseStatusText("200   ");
  ASSERT_TRUE(blanks);
  EXPECT_EQ(blanks->Text, "200 ");
}

TEST(ParseStatusTextTest, RefusesWhatIsNotAStatus) {
  EXPECT_FALSE(ParseStatusText(""));
  EXPECT_FALSE(ParseStatusText("OK"));
  EXPECT_FALSE(ParseStatusText("2x0 Bad"));
  EXPECT_FALSE(ParseStatusText("099 Too low"));
  EXPECT_FALSE(ParseStatusText("2000 Long"));
  EXPECT_FALSE(ParseStatusText("200 OK\r\nX-Evil: 1"));
}

TEST(IsHttpTokenTest, AcceptsTokenCharactersOnly) {
  EXPECT_TRUE(IsHttpToken("X-Custom_Header.1"));
  EXPECT_TRUE(IsHttpToken("!#$%&'*+-.^_`|~"));
  EXPECT_FALSE(IsHttpToken(""));
  EXPECT_FALSE(IsHttpToken("a b"));
  EXPECT_FALSE(IsHttpToken("a:b"));
  EXPECT_FALSE(IsHttpToken("caf\xE9"));
  EXPECT_FALSE(IsHttpToken(std::string("a\0b", 3)));
}

} // namespace
} // namespace isapi_web::host
