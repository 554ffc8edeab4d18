#pragma once
// TMask: a wildcard pattern ("*", "?", "[set]", "[!set]") compiled once into an element array
// and matched against whole texts, ASCII letters without regard to case.

#include <bitset>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

namespace isapi_web {

/// What one compiled element matches: a character, any one unit, a set member, a surrogate pair.
enum class TMaskElementKind : std::uint8_t { mkChar = 0, mkAnyChar = 1, mkSet = 2, mkPair = 3 };

/// One compiled element; the fields after Inverted are meaningful for their kind only.
struct TMaskElement {
  bool AfterStar = false;
  TMaskElementKind Kind = TMaskElementKind::mkChar;
  bool Inverted = false;
  char16_t CharCode = 0;
  char16_t HighUnit = 0;
  char16_t LowUnit = 0;
  std::bitset<256> Members;
};

/// Matching resumes only the most recent star: with fixed-width elements a later star can take
/// up any text an earlier one would, so the retry stack drops the entries below a newer star
/// and a match costs at most (text length + 1) x element count element tests.
class TMask {
public:
  /// At most this many elements may follow a "*"; the retry stack has as many entries.
  static constexpr int MaxStarElements = 30;

  /// Raises EMaskException "'<mask>' is an invalid mask at (<position>)". A surrogate unit
  /// ending the mask is rejected; a unit above U+00FF in a set adds no member.
  explicit TMask(std::u16string_view maskValue);
  ~TMask();
  TMask(const TMask&) = delete;
  TMask& operator=(const TMask&) = delete;

  /// True when the whole text matches the whole mask.
  bool Matches(std::u16string_view text) const;
  /// As Matches, also reporting how many element tests the match made.
  bool Matches(std::u16string_view text, std::uint64_t& elementTests) const;

  /// The compiled elements, the end marker (mkChar with CharCode 0) last.
  std::span<const TMaskElement> Elements() const {
    return {FMask.get(), static_cast<std::size_t>(FSize)};
  }

private:
  struct TRetryStack;

  bool TestElement(int index, std::u16string_view text, std::size_t position) const;
  bool Attempt(std::u16string_view text, std::size_t position, int index, TRetryStack& stack,
               std::uint64_t& elementTests) const;

  std::unique_ptr<TMaskElement[]> FMask;
  int FSize = 0;
  /// The code units the elements consume together; a text shorter than this cannot match, nor,
  /// without a star, a longer one.
  std::size_t FFixedLength = 0;
  bool FHasStar = false;
};

} // namespace isapi_web
