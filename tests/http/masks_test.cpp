#include "http/masks.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "runtime/exceptions.h"

namespace isapi_web {
namespace {

using namespace std::literals;

bool Matches(std::u16string_view mask, std::u16string_view text) {
  return TMask(mask).Matches(text);
}

// The message of the EMaskException that compiling `mask` raises; a failure when it compiles.
std::u16string CompileError(std::u16string_view mask) {
  try {
    TMask compiled(mask);
  } catch (const EMaskException& error) {
    return error.Message();
  }
  ADD_FAILURE() << "mask compiled";
  return {};
}

std::u16string Repeat(std::u16string_view part, int count) {
  std::u16string result;
  for (int i = 0; i < count; ++i)
    result += part;
  return result;
}

char16_t Upper(char16_t unit) {
  return unit >= u'a' && unit <= u'z' ? unit - 32 : unit;
}

bool ReferenceTest(std::span<const TMaskElement> elements, std::size_t index,
                   std::u16string_view text, std::size_t p) {
  const TMaskElement& element = elements[index];
  switch (element.Kind) {
  case TMaskElementKind::mkChar:
    if (index + 1 == elements.size())
      return p == text.size();
    return p < text.size() && Upper(text[p]) == element.CharCode;
  case TMaskElementKind::mkAnyChar:
    return p < text.size();
  case TMaskElementKind::mkSet:
    return p < text.size() &&
           ((Upper(text[p]) <= 255 && element.Members.test(Upper(text[p]))) != element.Inverted);
  case TMaskElementKind::mkPair:
    return p + 1 < text.size() && text[p] == element.HighUnit && text[p + 1] == element.LowUnit;
  }
  return false;
}

// Matching with the full retry order: every earlier star is resumed once a later one is
// exhausted. Exponential, so for small texts only.
bool FullRetryMatches(const TMask& mask, std::u16string_view text) {
  const auto elements = mask.Elements();
  std::vector<std::pair<std::size_t, std::size_t>> retries;
  std::size_t start = 0, first = 0;
  for (;;) {
    bool success = true;
    std::size_t p = start;
    for (std::size_t i = first; i < elements.size() && success; ++i) {
      if (elements[i].AfterStar) {
        std::size_t q = p;
        while (q < text.size() && !ReferenceTest(elements, i, text, q))
          ++q;
        if (q < text.size())
          retries.emplace_back(q + 1, i);
        p = q;
      }
      success = ReferenceTest(elements, i, text, p);
      if (elements[i].Kind == TMaskElementKind::mkPair)
        p += 2;
      else if (i + 1 < elements.size())
        p += 1;
    }
    if (success)
      return true;
    if (retries.empty())
      return false;
    std::tie(start, first) = retries.back();
    retries.pop_back();
  }
}

TEST(TMask, LiteralMasks) {
  EXPECT_TRUE(Matches(u"", u""));
  EXPECT_FALSE(Matches(u"", u"a"));
  EXPECT_TRUE(Matches(u"/../max.htm", u"/../max.htm"));
  EXPECT_TRUE(Matches(u"/../max.htm", u"/../MAX.HTM"));
  EXPECT_FALSE(Matches(u"/../max.htm", u"/../max.html"));
  EXPECT_FALSE(Matches(u"/../max.htm", u"/x/../max.htm"));
  EXPECT_FALSE(Matches(u"/../max.htm", u"/../max.ht"));
  EXPECT_FALSE(Matches(u"/../max.htm", u""));
  EXPECT_TRUE(Matches(u"a]b", u"A]B"));
  EXPECT_TRUE(Matches(u"!-/\\", u"!-/\\"));
  EXPECT_FALSE(Matches(u"/a", u"\\a"));
  // Only ASCII letters ignore case.
  EXPECT_FALSE(Matches(u"\u00E9", u"\u00C9"));
  EXPECT_TRUE(Matches(u"\u00E9", u"\u00E9"));
  EXPECT_FALSE(Matches(u"a", u"\u00C1"));
  // A NUL in the mask is an ordinary character; the text's end is not a NUL.
  EXPECT_TRUE(Matches(u"a\0b"sv, u"a\0b"sv));
  EXPECT_FALSE(Matches(u"a\0b"sv, u"ab"));
  EXPECT_FALSE(Matches(u"a", u"a\0"sv));
  EXPECT_FALSE(Matches(u"a\0"sv, u"a"));
}

TEST(TMask, StarsAndQuestionMarks) {
  EXPECT_TRUE(Matches(u"*", u""));
  EXPECT_TRUE(Matches(u"*", u"anything at all/\\"));
  EXPECT_TRUE(Matches(u"***", u"x"));
  EXPECT_TRUE(Matches(u"*.htm", u"a.b.htm"));
  EXPECT_TRUE(Matches(u"*.htm", u"INDEX.HTM"));
  EXPECT_FALSE(Matches(u"*.htm", u"index.html"));
  EXPECT_TRUE(Matches(u"a*z", u"a/b/z"));
  EXPECT_TRUE(Matches(u"a*z", u"az"));
  EXPECT_FALSE(Matches(u"a*z", u"a/b/zx"));
  EXPECT_TRUE(Matches(u"a*", u"a"));
  EXPECT_TRUE(Matches(u"a*?", u"a"));
  EXPECT_TRUE(Matches(u"*?", u""));
  EXPECT_FALSE(Matches(u"a?", u"a"));
  EXPECT_TRUE(Matches(u"a??", u"abc"));
  EXPECT_FALSE(Matches(u"a??", u"abcd"));
  EXPECT_TRUE(Matches(u"?*?", u"ab"));
  EXPECT_TRUE(Matches(u"*a*b*c", u"xxaxxbxxbxxc"));
  EXPECT_FALSE(Matches(u"*a*b*c", u"xxaxxbxxbxxcx"));
  EXPECT_TRUE(Matches(u"*ab", u"aab"));
  EXPECT_TRUE(Matches(u"*aab", u"aaab"));
}

TEST(TMask, Sets) {
  EXPECT_TRUE(Matches(u"[a-c]x", u"Bx"));
  EXPECT_TRUE(Matches(u"[a-c]x", u"cx"));
  EXPECT_FALSE(Matches(u"[a-c]x", u"dx"));
  EXPECT_FALSE(Matches(u"[!a-c]x", u"bx"));
  EXPECT_TRUE(Matches(u"[!a-c]x", u"dx"));
  EXPECT_FALSE(Matches(u"[!a]", u""));
  EXPECT_FALSE(Matches(u"x[!a]", u"x"));
  EXPECT_TRUE(Matches(u"[!a]", u"\u0100"));
  EXPECT_TRUE(Matches(u"[xyz]", u"Y"));
  EXPECT_TRUE(Matches(u"[*?]", u"?"));
  EXPECT_FALSE(Matches(u"[*?]", u"a"));
  // A range ending below its start adds nothing; the single member stays.
  EXPECT_TRUE(Matches(u"[c-a]", u"c"));
  EXPECT_FALSE(Matches(u"[c-a]", u"b"));
  // A range's bound is consumed even when it is "]".
  EXPECT_TRUE(Matches(u"[a-]]", u"\\"));
  EXPECT_FALSE(Matches(u"[a-]]", u"^"));
  // Ranges take the last single member, not the previous bound.
  EXPECT_TRUE(Matches(u"[a-cx-z0]", u"y"));
  EXPECT_FALSE(Matches(u"[a-cx-z0]", u"d"));
  EXPECT_FALSE(Matches(u"[\u00E9]", u"\u00C9"));
  EXPECT_TRUE(Matches(u"[\u00E9]", u"\u00E9"));
  // Units above U+00FF are no members; as a range bound they close the range at 255.
  EXPECT_TRUE(Matches(u"[\u0100a]", u"A"));
  EXPECT_FALSE(Matches(u"[\u0100a]", u"\u0100"));
  EXPECT_TRUE(Matches(u"[a-\u0100]", u"\u00FF"));
  EXPECT_FALSE(Matches(u"[a-\u0100]", u"\u0100"));
  EXPECT_FALSE(Matches(u"[a-\u0100]", u"0"));
  // Surrogates in a set are skipped with the unit after them.
  EXPECT_TRUE(Matches(u"[\U0001F600a]", u"a"));
  EXPECT_FALSE(Matches(u"[\U0001F600a]", u"\U0001F600"));
  EXPECT_FALSE(Matches(u"[\U0001F600a]", u"\xD83D"sv));
}

TEST(TMask, SurrogatePairs) {
  EXPECT_TRUE(Matches(u"\U0001F600", u"\U0001F600"));
  EXPECT_FALSE(Matches(u"\U0001F600", u"\xD83Dx"sv));
  EXPECT_FALSE(Matches(u"\U0001F600", u"\xD83D"sv));
  EXPECT_TRUE(Matches(u"*\U0001F600", u"ab\U0001F600"));
  EXPECT_TRUE(Matches(u"*\U0001F600*", u"\U0001F601\U0001F600\U0001F600x"));
  EXPECT_FALSE(Matches(u"*\U0001F600", u"ab\U0001F600c"));
  EXPECT_TRUE(Matches(u"?", u"\xD83D"sv));
  EXPECT_TRUE(Matches(u"??", u"\U0001F600"));
  EXPECT_FALSE(Matches(u"?", u"\U0001F600"));
}

TEST(TMask, TextLengthAloneCanRefuse) {
  // Without a star the text has exactly the units the elements consume; with one, at least.
  std::uint64_t tests = 1;
  EXPECT_FALSE(TMask(u"/../max.htm").Matches(u"", tests));
  EXPECT_EQ(tests, 0u);
  EXPECT_FALSE(TMask(u"a?c").Matches(u"abcd", tests));
  EXPECT_EQ(tests, 0u);
  EXPECT_FALSE(TMask(u"a*c?").Matches(u"ac", tests));
  EXPECT_EQ(tests, 0u);
  EXPECT_TRUE(TMask(u"a*c?").Matches(u"acx", tests));
  EXPECT_GT(tests, 0u);
  // A surrogate pair is two units, a set one.
  EXPECT_TRUE(Matches(u"[a-c]\U0001F600", u"b\U0001F600"));
  EXPECT_FALSE(Matches(u"[a-c]\U0001F600", u"bx"));
  EXPECT_FALSE(Matches(u"?\U0001F600", u"\U0001F600"));
  EXPECT_TRUE(Matches(u"*\U0001F600", u"\U0001F600"));
  EXPECT_TRUE(Matches(u"???", u"\U0001F600x"));
  EXPECT_TRUE(Matches(u"*", u""));
  EXPECT_TRUE(Matches(u"**", u"abc"));
}

TEST(TMask, CompiledElements) {
  const TMask mask(u"a*?[!b-d]\U0001F600?");
  const auto elements = mask.Elements();
  ASSERT_EQ(elements.size(), 5u);
  EXPECT_EQ(elements[0].Kind, TMaskElementKind::mkChar);
  EXPECT_EQ(elements[0].CharCode, u'A');
  EXPECT_FALSE(elements[0].AfterStar);
  EXPECT_EQ(elements[1].Kind, TMaskElementKind::mkSet);
  EXPECT_TRUE(elements[1].AfterStar);
  EXPECT_TRUE(elements[1].Inverted);
  EXPECT_EQ(elements[1].Members.count(), 3u);
  EXPECT_TRUE(elements[1].Members.test('B') && elements[1].Members.test('D'));
  EXPECT_EQ(elements[2].Kind, TMaskElementKind::mkPair);
  EXPECT_EQ(elements[2].HighUnit, 0xD83D);
  EXPECT_EQ(elements[2].LowUnit, 0xDE00);
  EXPECT_FALSE(elements[2].AfterStar);
  EXPECT_EQ(elements[3].Kind, TMaskElementKind::mkAnyChar);
  EXPECT_EQ(elements[4].Kind, TMaskElementKind::mkChar);
  EXPECT_EQ(elements[4].CharCode, 0);
  EXPECT_FALSE(elements[4].AfterStar);

  EXPECT_EQ(TMask(u"").Elements().size(), 1u);
  const TMask trailing(u"x**");
  ASSERT_EQ(trailing.Elements().size(), 2u);
  EXPECT_TRUE(trailing.Elements()[1].AfterStar);
}

TEST(TMask, MalformedMasks) {
  EXPECT_EQ(CompileError(u"[]"), u"'[]' is an invalid mask at (2)");
  EXPECT_EQ(CompileError(u"[!]"), u"'[!]' is an invalid mask at (3)");
  EXPECT_EQ(CompileError(u"[-a]"), u"'[-a]' is an invalid mask at (2)");
  EXPECT_EQ(CompileError(u"[!-a]"), u"'[!-a]' is an invalid mask at (3)");
  EXPECT_EQ(CompileError(u"[abc"), u"'[abc' is an invalid mask at (5)");
  EXPECT_EQ(CompileError(u"a[b-"), u"'a[b-' is an invalid mask at (5)");
  EXPECT_EQ(CompileError(u"[a-]"), u"'[a-]' is an invalid mask at (5)");
  EXPECT_EQ(CompileError(u"x["), u"'x[' is an invalid mask at (3)");
  EXPECT_EQ(CompileError(u"[!"), u"'[!' is an invalid mask at (3)");
  EXPECT_EQ(CompileError(u"ab[]cd"), u"'ab[]cd' is an invalid mask at (4)");
  EXPECT_EQ(CompileError(u"[\u0100]"), u"'[\u0100]' is an invalid mask at (3)");
  EXPECT_EQ(CompileError(u"[\u0100-z]"), u"'[\u0100-z]' is an invalid mask at (3)");
  // A surrogate takes the unit after it, even the closing "]".
  EXPECT_EQ(CompileError(u"[\xD83D]"sv), u"'[\xD83D]' is an invalid mask at (4)"sv);
  EXPECT_EQ(CompileError(u"[a\xD83D"sv), u"'[a\xD83D' is an invalid mask at (4)"sv);
  EXPECT_EQ(CompileError(u"a\xD83D"sv), u"'a\xD83D' is an invalid mask at (2)"sv);
  EXPECT_EQ(CompileError(u"\xDE00"sv), u"'\xDE00' is an invalid mask at (1)"sv);
}

TEST(TMask, AtMostThirtyStarElements) {
  EXPECT_NO_THROW(TMask(Repeat(u"*a", 30)));
  EXPECT_TRUE(TMask(Repeat(u"*a", 30)).Matches(Repeat(u"xa", 30)));
  const std::u16string thirtyOne = Repeat(u"*a", 31);
  EXPECT_EQ(CompileError(thirtyOne), u"'" + thirtyOne + u"' is an invalid mask at (62)");
  const std::u16string endStar = Repeat(u"*a", 30) + u"*";
  EXPECT_EQ(CompileError(endStar), u"'" + endStar + u"' is an invalid mask at (62)");
  // The position is that of the 31st star element's last unit.
  const std::u16string sets = Repeat(u"*[ab]", 31);
  EXPECT_EQ(CompileError(sets), u"'" + sets + u"' is an invalid mask at (155)");
  const std::u16string pairs = Repeat(u"*\U0001F600", 31);
  EXPECT_EQ(CompileError(pairs), u"'" + pairs + u"' is an invalid mask at (93)");
  // Star runs and "?" after a star add no star elements.
  EXPECT_NO_THROW(TMask(Repeat(u"**?", 100)));
  EXPECT_NO_THROW(TMask(Repeat(u"*a", 29) + u"***"));
}

TEST(TMask, AgreesWithTheFullRetryOrder) {
  const std::vector<std::u16string> parts = {u"a", u"B", u"*", u"?", u"[!a]"};
  std::vector<std::u16string> masks = {u""};
  for (std::size_t begin = 0, length = 0; length < 4; ++length) {
    const std::size_t end = masks.size();
    for (std::size_t i = begin; i < end; ++i)
      for (const auto& part : parts)
        masks.push_back(masks[i] + part);
    begin = end;
  }
  std::vector<std::u16string> texts = {u""};
  for (std::size_t begin = 0, length = 0; length < 5; ++length) {
    const std::size_t end = texts.size();
    for (std::size_t i = begin; i < end; ++i)
      for (const char16_t unit : {u'a', u'b', u'A'})
        texts.push_back(texts[i] + unit);
    begin = end;
  }
  int matches = 0;
  for (const auto& maskText : masks) {
    const TMask mask(maskText);
    for (const auto& text : texts) {
      const bool expected = FullRetryMatches(mask, text);
      ASSERT_EQ(mask.Matches(text), expected)
          << "mask \"" << std::string(maskText.begin(), maskText.end()) << "\" text \""
          << std::string(text.begin(), text.end()) << "\"";
      matches += expected ? 1 : 0;
    }
  }
  // Both outcomes are well represented.
  EXPECT_GT(matches, 10000);
  EXPECT_LT(matches, static_cast<int>(masks.size() * texts.size()) - 10000);
}

TEST(TMask, MatchingCostIsBoundedByTextTimesMask) {
  // With every star resumed after a later one is exhausted, this takes millions of tests.
  const TMask eightStars(Repeat(u"*a", 7) + u"*b");
  const std::u16string thirtyAs(30, u'a');
  std::uint64_t tests = 0;
  EXPECT_FALSE(eightStars.Matches(thirtyAs, tests));
  ASSERT_LE(tests, (thirtyAs.size() + 1) * eightStars.Elements().size());

  const TMask thirtyStars(Repeat(u"*a", 29) + u"*b");
  const std::u16string longText(10000, u'a');
  EXPECT_FALSE(thirtyStars.Matches(longText, tests));
  EXPECT_LE(tests, (longText.size() + 1) * thirtyStars.Elements().size());
  EXPECT_TRUE(thirtyStars.Matches(longText + u"b", tests));
  EXPECT_LE(tests, (longText.size() + 2) * thirtyStars.Elements().size());
  EXPECT_FALSE(thirtyStars.Matches(Repeat(u"a", 28) + u"b", tests));
}

} // namespace
} // namespace isapi_web
