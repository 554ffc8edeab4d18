// ParseHTTPDate on arbitrary UTF-16: a value or EConvertError, nothing else. A value from
// 1899-12-30 on is written by HTTPDateText as a text that reads back as the same value.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "fuzz_text.h"
#include "http/http_text.h"
#include "runtime/exceptions.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace isapi_web;
  const std::u16string text = fuzz::FuzzText(data, size);
  TDateTime value = 0;
  try {
    value = ParseHTTPDate(text);
  } catch (const EConvertError&) {
    return 0;
  }
  if (!std::isfinite(value)) {
    std::fprintf(stderr, "fuzz_parse_http_date: not a finite value\n");
    std::abort();
  }
  if (value >= 0 && ParseHTTPDate(HTTPDateText(value)) != value) {
    std::fprintf(stderr, "fuzz_parse_http_date: %.17g does not read back from its HTTP date\n",
                 value);
    std::abort();
  }
  return 0;
}
