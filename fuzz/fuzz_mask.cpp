// TMask on arbitrary masks and texts: the first byte is the mask's length in code units, the
// rest is mask then text. A compiled mask must agree with a plain dynamic-programming matcher
// over its elements, and stay within its bound on element tests.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

#include "fuzz_text.h"
#include "http/masks.h"
#include "runtime/exceptions.h"

namespace {

using isapi_web::TMaskElement;
using isapi_web::TMaskElementKind;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_mask: %s\n", what);
  std::abort();
}

char16_t Upper(char16_t unit) {
  return unit >= u'a' && unit <= u'z' ? unit - 32 : unit;
}

std::size_t Width(std::span<const TMaskElement> elements, std::size_t index) {
  if (index + 1 == elements.size())
    return 0;
  return elements[index].Kind == TMaskElementKind::mkPair ? 2 : 1;
}

bool Test(std::span<const TMaskElement> elements, std::size_t index, std::u16string_view text,
          std::size_t p) {
  const TMaskElement& element = elements[index];
  const std::size_t n = text.size();
  switch (element.Kind) {
  case TMaskElementKind::mkChar:
    return index + 1 == elements.size() ? p == n : p < n && Upper(text[p]) == element.CharCode;
  case TMaskElementKind::mkAnyChar:
    return p < n;
  case TMaskElementKind::mkSet: {
    if (p >= n)
      return false;
    const char16_t unit = Upper(text[p]);
    return (unit <= 255 && element.Members.test(unit)) != element.Inverted;
  }
  case TMaskElementKind::mkPair:
    return p + 1 < n && text[p] == element.HighUnit && text[p + 1] == element.LowUnit;
  }
  return false;
}

// rest[p]: elements i.. match text[p..]. A star element may start at any q >= p.
bool ReferenceMatches(std::span<const TMaskElement> elements, std::u16string_view text) {
  const std::size_t n = text.size();
  std::vector<char> rest(n + 3, 0), current(n + 3, 0);
  rest[n] = 1; // past the end marker, which only succeeds at the end
  for (std::size_t i = elements.size(); i-- > 0;) {
    const std::size_t width = Width(elements, i);
    for (std::size_t p = n + 1; p-- > 0;)
      current[p] = Test(elements, i, text, p) && rest[p + width];
    if (elements[i].AfterStar)
      for (std::size_t p = n; p-- > 0;)
        current[p] = current[p] || current[p + 1];
    std::swap(rest, current);
  }
  return rest[0] != 0;
}

void CheckElements(std::span<const TMaskElement> elements) {
  if (elements.empty() || elements.back().Kind != TMaskElementKind::mkChar ||
      elements.back().CharCode != 0)
    Fail("the last element is not the end marker");
  int stars = 0;
  for (const TMaskElement& element : elements) {
    stars += element.AfterStar ? 1 : 0;
    if (element.Kind == TMaskElementKind::mkSet && element.Members.none())
      Fail("a set without members compiled");
  }
  if (stars > isapi_web::TMask::MaxStarElements)
    Fail("more star elements than the retry stack holds");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0)
    return 0;
  const std::u16string units = isapi_web::fuzz::FuzzText(data + 1, size - 1);
  const std::size_t maskLength = std::min<std::size_t>(data[0], units.size());
  const std::u16string_view mask = std::u16string_view(units).substr(0, maskLength);
  const std::u16string_view text = std::u16string_view(units).substr(maskLength);

  std::unique_ptr<isapi_web::TMask> compiled;
  try {
    compiled = std::make_unique<isapi_web::TMask>(mask);
  } catch (const isapi_web::EMaskException&) {
    return 0;
  }
  const auto elements = compiled->Elements();
  CheckElements(elements);
  std::uint64_t tests = 0;
  const bool matches = compiled->Matches(text, tests);
  if (matches != ReferenceMatches(elements, text))
    Fail("Matches disagrees with the reference matcher");
  if (tests > (text.size() + 1) * elements.size())
    Fail("more element tests than (text length + 1) x elements");
  return 0;
}
