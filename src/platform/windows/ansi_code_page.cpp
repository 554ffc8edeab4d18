// The default ANSI code page on Windows: the system's CP_ACP, through the Win32 converters.

#include "runtime/text.h"

#include <algorithm>
#include <cstddef>

#include <windows.h>

namespace isapi_web {

namespace {

// The converters take int lengths; longer text is converted in pieces of this many units.
constexpr std::size_t MaxPiece = std::size_t{1} << 30;

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide text is UTF-16");

} // namespace

std::u16string AnsiToWide(std::string_view text) {
  std::u16string out;
  while (!text.empty()) {
    std::size_t piece = std::min(text.size(), MaxPiece);
    // Keep a double-byte character whole at a piece boundary (single-byte code pages have no
    // lead bytes, so this never moves there).
    if (piece < text.size()) {
      std::size_t end = 0;
      for (std::size_t i = 0; i < piece; ++i) {
        if (IsDBCSLeadByteEx(CP_ACP, static_cast<BYTE>(text[i])) && i + 1 < text.size()) {
          ++i;
        }
        end = i + 1;
      }
      piece = end;
    }
    const int length = static_cast<int>(piece);
    const int needed = MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
    if (needed > 0) {
      const std::size_t start = out.size();
      out.resize(start + static_cast<std::size_t>(needed));
      MultiByteToWideChar(CP_ACP, 0, text.data(), length, reinterpret_cast<wchar_t*>(&out[start]),
                          needed);
    }
    text.remove_prefix(piece);
  }
  return out;
}

std::string WideToAnsi(std::u16string_view text) {
  std::string out;
  // A UTF-8 system code page takes neither a default character nor the best-fit flag.
  const bool utf8 = GetACP() == CP_UTF8;
  const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
  const char* defaultChar = utf8 ? nullptr : "?";
  while (!text.empty()) {
    std::size_t piece = std::min(text.size(), MaxPiece);
    // Do not split a surrogate pair between two pieces.
    if (piece < text.size() && text[piece - 1] >= 0xD800 && text[piece - 1] <= 0xDBFF) {
      --piece;
    }
    const int length = static_cast<int>(piece);
    const auto* units = reinterpret_cast<const wchar_t*>(text.data());
    // No best-fit mapping: a character the code page lacks becomes "?", never a look-alike
    // such as "/" for a full-width solidus that would slip past checks on the narrow text.
    const int needed =
        WideCharToMultiByte(CP_ACP, flags, units, length, nullptr, 0, defaultChar, nullptr);
    if (needed > 0) {
      const std::size_t start = out.size();
      out.resize(start + static_cast<std::size_t>(needed));
      WideCharToMultiByte(CP_ACP, flags, units, length, &out[start], needed, defaultChar, nullptr);
    }
    text.remove_prefix(piece);
  }
  return out;
}

} // namespace isapi_web
