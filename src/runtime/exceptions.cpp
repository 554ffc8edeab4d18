#include "runtime/exceptions.h"

#include <utility>

#include "runtime/text.h"

namespace isapi_web {

Exception::Exception(std::u16string message)
    : FMessage(std::move(message)), FWhat(WideToUtf8(FMessage)) {}

Exception::~Exception() = default;

void Exception::SetMessage(std::u16string message) {
  FWhat = WideToUtf8(message);
  FMessage = std::move(message);
}

const char* Exception::what() const noexcept {
  return FWhat.c_str();
}

void AbstractError() {
  throw EAbstractError(u"Abstract Error");
}

} // namespace isapi_web
