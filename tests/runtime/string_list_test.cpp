#include "runtime/string_list.h"

#include <gtest/gtest.h>

#include <vector>

#include "expect_error.h"

namespace isapi_web {
namespace {

std::vector<std::u16string> Lines(const TStrings& list) {
  return {list.begin(), list.end()};
}

TStrings ListOf(std::initializer_list<std::u16string> lines) {
  TStrings list;
  for (const auto& line : lines) {
    list.Add(line);
  }
  return list;
}

template <class F> void ExpectListError(F&& f, std::u16string_view message) {
  ExpectError<EListError>(f, u"EListError", message);
}

TEST(StringListTest, KeepsOrderAndDuplicates) {
  TStrings list;
  EXPECT_EQ(list.Add(u"a=1"), 0);
  EXPECT_EQ(list.Add(u"b=2"), 1);
  EXPECT_EQ(list.Add(u"a=1"), 2);
  list.Insert(0, u"first");
  list.Insert(4, u"last");
  EXPECT_EQ(Lines(list), (std::vector<std::u16string>{u"first", u"a=1", u"b=2", u"a=1", u"last"}));
  list.Delete(1);
  list.SetStrings(0, u"zero");
  EXPECT_EQ(Lines(list), (std::vector<std::u16string>{u"zero", u"b=2", u"a=1", u"last"}));
  EXPECT_EQ(list[2], u"a=1");
  EXPECT_EQ(list.IndexOf(u"A=1"), 2);
  EXPECT_EQ(list.IndexOf(u"missing"), -1);

  TStrings copy;
  copy.Assign(list);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(copy.Count(), 4);
}

TEST(StringListTest, BadIndicesRaiseListErrors) {
  TStrings list = ListOf({u"a", u"b"});
  ExpectListError([&] { list.Strings(2); }, u"List index out of bounds (2)");
  ExpectListError([&] { list.Strings(-1); }, u"List index out of bounds (-1)");
  ExpectListError([&] { list.SetStrings(5, u"x"); }, u"List index out of bounds (5)");
  ExpectListError([&] { list.Delete(2); }, u"List index out of bounds (2)");
  ExpectListError([&] { list.Insert(3, u"x"); }, u"List index out of bounds (3)");
  ExpectListError([&] { list.Names(7); }, u"List index out of bounds (7)");
  ExpectListError([&] { list.ValueFromIndex(-3); }, u"List index out of bounds (-3)");
  EXPECT_EQ(Lines(list), (std::vector<std::u16string>{u"a", u"b"}));
}

TEST(StringListTest, NamesAndValuesSplitAtTheFirstEqualsSign) {
  const TStrings list = ListOf({u"a=1=2", u"plain", u"=x", u"empty=", u"Content-Type=text/html"});
  EXPECT_EQ(list.Names(0), u"a");
  EXPECT_EQ(list.ValueFromIndex(0), u"1=2");
  EXPECT_EQ(list.Names(1), u"");
  EXPECT_EQ(list.ValueFromIndex(1), u"");
  EXPECT_EQ(list.Names(2), u"");
  EXPECT_EQ(list.ValueFromIndex(2), u"x");
  EXPECT_EQ(list.ValueFromIndex(3), u"");

  EXPECT_EQ(list.IndexOfName(u"content-TYPE"), 4);
  EXPECT_EQ(list.Values(u"CONTENT-TYPE"), u"text/html");
  EXPECT_EQ(list.IndexOfName(u"a=1"), -1);
  // A line without "=" has no name, so it is not the line of the empty name.
  EXPECT_EQ(list.IndexOfName(u""), 2);
  EXPECT_EQ(list.Values(u""), u"x");
  EXPECT_EQ(list.IndexOfName(u"plain"), -1);
  EXPECT_EQ(list.Values(u"plain"), u"");
  EXPECT_EQ(list.Values(u"missing"), u"");
}

TEST(StringListTest, LookupFindsTheFirstLineAndFoldsOnlyAsciiCase) {
  const TStrings list = ListOf({u"x=1", u"X=2", u"\u00C9t\u00E9=3"});
  EXPECT_EQ(list.Values(u"x"), u"1");
  EXPECT_EQ(list.Values(u"X"), u"1");
  EXPECT_EQ(list.Values(u"\u00C9t\u00E9"), u"3");
  EXPECT_EQ(list.IndexOfName(u"\u00E9t\u00E9"), -1);
}

TEST(StringListTest, SetValuesReplacesAppendsOrDeletes) {
  TStrings list = ListOf({u"a=1", u"b=2", u"A=3"});
  list.SetValues(u"A", u"9");
  EXPECT_EQ(Lines(list), (std::vector<std::u16string>{u"A=9", u"b=2", u"A=3"}));
  list.SetValues(u"c", u"x=y");
  EXPECT_EQ(Lines(list), (std::vector<std::u16string>{u"A=9", u"b=2", u"A=3", u"c=x=y"}));
  list.SetValues(u"a", u"");
  EXPECT_EQ(Lines(list), (std::vector<std::u16string>{u"b=2", u"A=3", u"c=x=y"}));
  list.SetValues(u"missing", u"");
  EXPECT_EQ(Lines(list), (std::vector<std::u16string>{u"b=2", u"A=3", u"c=x=y"}));
  list.SetValues(u"a", u"");
  list.SetValues(u"a", u"");
  EXPECT_EQ(Lines(list), (std::vector<std::u16string>{u"b=2", u"c=x=y"}));
}

TEST(StringListTest, TextJoinsWithCrLfAndSetTextSplitsEveryLineBreak) {
  const TStrings list = ListOf({u"a", u"", u"b=1"});
  EXPECT_EQ(list.Text(), u"a\r\n\r\nb=1\r\n");
  EXPECT_EQ(TStrings().Text(), u"");

  TStrings parsed;
  parsed.SetText(u"one\r\ntwo\nthree\rfour");
  EXPECT_EQ(Lines(parsed), (std::vector<std::u16string>{u"one", u"two", u"three", u"four"}));
  parsed.SetText(u"a\r\n\r\nb\r\n");
  EXPECT_EQ(Lines(parsed), (std::vector<std::u16string>{u"a", u"", u"b"}));
  parsed.SetText(u"\n\r");
  EXPECT_EQ(Lines(parsed), (std::vector<std::u16string>{u"", u""}));
  parsed.SetText(u"\r\n");
  EXPECT_EQ(Lines(parsed), (std::vector<std::u16string>{u""}));
  parsed.SetText(u"");
  EXPECT_EQ(parsed.Count(), 0);
  parsed.SetText(list.Text());
  EXPECT_EQ(Lines(parsed), Lines(list));
}

} // namespace
} // namespace isapi_web
