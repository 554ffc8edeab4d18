#pragma once
// Checks that a call raises a framework exception caught as E, with its class name and message.

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "runtime/exceptions.h"
#include "runtime/text.h"

namespace isapi_web {

template <class E, class F>
void ExpectError(F&& call, std::u16string_view className, std::u16string_view message) {
  try {
    call();
    ADD_FAILURE() << "no " << WideToUtf8(className) << " raised";
  } catch (const E& e) {
    EXPECT_EQ(e.ClassName(), className);
    EXPECT_EQ(e.Message(), message);
  }
}

} // namespace isapi_web
