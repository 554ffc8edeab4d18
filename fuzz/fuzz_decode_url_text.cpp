// DecodeURLText on arbitrary bytes: a result no longer than the input, or one of its two
// errors pointing at a "%" of the input. Encoding any text and decoding it gives the text back.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "http/http_text.h"
#include "runtime/exceptions.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_decode_url_text: %s\n", what);
  std::abort();
}

// The 1-based position that ends an error message must name a "%" before the first NUL.
void CheckPosition(const isapi_web::Exception& error, std::string_view input) {
  const std::u16string& message = error.Message();
  std::size_t digits = message.size();
  while (digits > 0 && message[digits - 1] >= u'0' && message[digits - 1] <= u'9')
    --digits;
  if (digits == message.size())
    Fail("error message without a position");
  std::size_t position = 0;
  for (std::size_t i = digits; i < message.size(); ++i)
    position = position * 10 + static_cast<std::size_t>(message[i] - u'0');
  if (position == 0 || position > input.size() || input[position - 1] != '%')
    Fail("error position does not name a percent sign");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace isapi_web;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string_view plain = input.substr(0, input.find('\0'));
  try {
    if (DecodeURLText(input).size() > plain.size())
      Fail("decoded text longer than the input");
  } catch (const EWebException& error) {
    CheckPosition(error, plain);
  } catch (const EConvertError& error) {
    CheckPosition(error, plain);
  }

  const std::string encoded = EncodeURLText(input);
  if (encoded.size() > 3 * plain.size())
    Fail("encoded text longer than three times the input");
  if (DecodeURLText(encoded) != plain)
    Fail("decoding the encoded text does not give the text back");
  return 0;
}
