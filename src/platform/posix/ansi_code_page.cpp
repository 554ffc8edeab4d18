// The default ANSI code page on POSIX: Windows-1252, what an English-locale Windows uses, so that
// narrow request text converts the same way on every platform.

#include "runtime/text.h"

namespace isapi_web {

std::u16string AnsiToWide(std::string_view text) {
  return Cp1252ToWide(text);
}

std::string WideToAnsi(std::u16string_view text) {
  return WideToCp1252(text);
}

} // namespace isapi_web
