#pragma once
// Builds UTF-16 text from fuzzer bytes: a byte below 0xF0 is the code unit of that value (ASCII
// and Latin-1 stay easy to reach); 0xF0..0xFF followed by two bytes is the big-endian unit
// those two bytes spell, so every unit, lone surrogates included, can be written.

#include <cstddef>
#include <cstdint>
#include <string>

namespace isapi_web::fuzz {

inline std::u16string FuzzText(const std::uint8_t* data, std::size_t size) {
  std::u16string text;
  text.reserve(size);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] >= 0xF0 && i + 2 < size) {
      text += static_cast<char16_t>((data[i + 1] << 8) | data[i + 2]);
      i += 2;
    } else {
      text += static_cast<char16_t>(data[i]);
    }
  }
  return text;
}

} // namespace isapi_web::fuzz
