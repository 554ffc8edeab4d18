#include "http/masks.h"

#include <algorithm>
#include <cstddef>
#include <string>

#include "runtime/exceptions.h"
#include "runtime/text.h"

namespace isapi_web {

namespace {

bool IsSurrogate(char16_t unit) {
  return unit >= 0xD800 && unit <= 0xDFFF;
}

char16_t UpperAsciiUnit(char16_t unit) {
  return unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - (u'a' - u'A')) : unit;
}

[[noreturn]] void RaiseInvalidMask(std::u16string_view mask, std::size_t position) {
  throw EMaskException(u"'" + std::u16string(mask) + u"' is an invalid mask at (" +
                       IntToStr(static_cast<std::int64_t>(position)) + u")");
}

// Reads the mask once; with no output it only counts (and validates) the elements, so the
// array can be allocated at its exact size before a second pass fills it.
class TMaskCompiler {
public:
  TMaskCompiler(std::u16string_view mask, TMaskElement* output) : FMask(mask), FOutput(output) {}

  int Compile() {
    const std::size_t length = FMask.size();
    std::size_t i = 0;
    while (i < length) {
      const char16_t unit = FMask[i];
      if (unit == u'*') {
        FStarPending = true;
        ++i;
      } else if (unit == u'?') {
        // After a star "?" adds nothing: "*?" is the same as "*".
        if (!FStarPending) {
          TMaskElement element;
          element.Kind = TMaskElementKind::mkAnyChar;
          Append(element, i + 1);
        }
        ++i;
      } else if (unit == u'[') {
        i = ReadSet(i);
      } else if (IsSurrogate(unit)) {
        if (i + 1 >= length)
          RaiseInvalidMask(FMask, i + 1);
        TMaskElement element;
        element.Kind = TMaskElementKind::mkPair;
        element.HighUnit = unit;
        element.LowUnit = FMask[i + 1];
        Append(element, i + 2);
        i += 2;
      } else {
        TMaskElement element;
        element.CharCode = UpperAsciiUnit(unit);
        Append(element, i + 1);
        ++i;
      }
    }
    Append(TMaskElement{}, length + 1);
    return FCount;
  }

private:
  // `open` is the index of "["; returns the index after the closing "]".
  std::size_t ReadSet(std::size_t open) {
    const std::size_t length = FMask.size();
    TMaskElement element;
    element.Kind = TMaskElementKind::mkSet;
    std::size_t i = open + 1;
    if (i < length && FMask[i] == u'!') {
      element.Inverted = true;
      ++i;
    }
    bool haveSingle = false;
    char16_t lastSingle = 0;
    for (;;) {
      if (i >= length)
        RaiseInvalidMask(FMask, length + 1);
      const char16_t unit = FMask[i];
      if (unit == u']')
        break;
      if (IsSurrogate(unit)) {
        i += 2;
      } else if (unit == u'-') {
        if (!haveSingle)
          RaiseInvalidMask(FMask, i + 1);
        if (i + 1 >= length)
          RaiseInvalidMask(FMask, length + 1);
        // Members are codes 0..255: a bound above that closes the range at 255.
        const unsigned bound = std::min<unsigned>(UpperAsciiUnit(FMask[i + 1]), 255);
        for (unsigned code = lastSingle; code <= bound; ++code)
          element.Members.set(code);
        i += 2;
      } else {
        const char16_t member = UpperAsciiUnit(unit);
        // A unit above U+00FF can never be a member and does not start a range either.
        if (member <= 255) {
          element.Members.set(member);
          lastSingle = member;
          haveSingle = true;
        }
        ++i;
      }
    }
    if (element.Members.none())
      RaiseInvalidMask(FMask, i + 1);
    Append(element, i + 1);
    return i + 1;
  }

  // `lastPosition` is the 1-based position of the element's last unit, where a star element
  // beyond the limit is reported.
  void Append(TMaskElement element, std::size_t lastPosition) {
    element.AfterStar = FStarPending;
    if (FStarPending && ++FStarElements > TMask::MaxStarElements)
      RaiseInvalidMask(FMask, lastPosition);
    FStarPending = false;
    if (FOutput != nullptr)
      FOutput[FCount] = element;
    ++FCount;
  }

  std::u16string_view FMask;
  TMaskElement* FOutput;
  int FCount = 0;
  int FStarElements = 0;
  bool FStarPending = false;
};

} // namespace

struct TMask::TRetryStack {
  struct TEntry {
    std::size_t Position;
    int Element;
  };
  TEntry Entries[MaxStarElements];
  int Depth = 0;
};

TMask::TMask(std::u16string_view maskValue) {
  FSize = TMaskCompiler(maskValue, nullptr).Compile();
  FMask = std::make_unique<TMaskElement[]>(static_cast<std::size_t>(FSize));
  TMaskCompiler(maskValue, FMask.get()).Compile();
  for (int i = 0; i < FSize; ++i) {
    const TMaskElement& element = FMask[static_cast<std::size_t>(i)];
    FHasStar = FHasStar || element.AfterStar;
    if (i != FSize - 1)
      FFixedLength += element.Kind == TMaskElementKind::mkPair ? 2 : 1;
  }
}

TMask::~TMask() = default;

bool TMask::TestElement(int index, std::u16string_view text, std::size_t position) const {
  const TMaskElement& element = FMask[static_cast<std::size_t>(index)];
  const std::size_t length = text.size();
  switch (element.Kind) {
  case TMaskElementKind::mkChar:
    // The end marker is the last element, not any CharCode 0: a NUL in the mask matches a NUL.
    if (index == FSize - 1)
      return position == length;
    return position < length && UpperAsciiUnit(text[position]) == element.CharCode;
  case TMaskElementKind::mkAnyChar:
    return position < length;
  case TMaskElementKind::mkSet: {
    if (position >= length)
      return false;
    const char16_t unit = UpperAsciiUnit(text[position]);
    const bool member = unit <= 255 && element.Members.test(unit);
    return member != element.Inverted;
  }
  case TMaskElementKind::mkPair:
    return position + 1 < length && text[position] == element.HighUnit &&
           text[position + 1] == element.LowUnit;
  }
  return false;
}

bool TMask::Attempt(std::u16string_view text, std::size_t position, int index, TRetryStack& stack,
                    std::uint64_t& elementTests) const {
  const std::size_t length = text.size();
  for (int i = index; i < FSize; ++i) {
    const TMaskElement& element = FMask[static_cast<std::size_t>(i)];
    bool tested = false;
    if (element.AfterStar) {
      // Reaching this star, the earlier ones have placed their elements leftmost; moving them
      // on could only start this star later, which its own retries already cover.
      stack.Depth = 0;
      std::size_t found = position;
      while (found < length) {
        ++elementTests;
        if (TestElement(i, text, found))
          break;
        ++found;
      }
      if (found < length) {
        stack.Entries[stack.Depth++] = {found + 1, i};
        tested = true;
      }
      position = found;
    }
    if (!tested) {
      ++elementTests;
      if (!TestElement(i, text, position))
        return false;
    }
    if (element.Kind == TMaskElementKind::mkPair)
      position += 2;
    else if (i != FSize - 1)
      position += 1;
  }
  return true;
}

bool TMask::Matches(std::u16string_view text) const {
  std::uint64_t elementTests = 0;
  return Matches(text, elementTests);
}

bool TMask::Matches(std::u16string_view text, std::uint64_t& elementTests) const {
  elementTests = 0;
  // Every element but the stars consumes a fixed number of units: a text of another length is
  // refused without a test (the request's path info against a literal action mask, mostly).
  if (text.size() < FFixedLength || (!FHasStar && text.size() != FFixedLength))
    return false;
  TRetryStack stack;
  std::size_t position = 0;
  int index = 0;
  while (!Attempt(text, position, index, stack, elementTests)) {
    if (stack.Depth == 0)
      return false;
    --stack.Depth;
    position = stack.Entries[stack.Depth].Position;
    index = stack.Entries[stack.Depth].Element;
  }
  return true;
}

} // namespace isapi_web
