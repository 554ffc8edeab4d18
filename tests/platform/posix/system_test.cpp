#include "platform/platform.h"

#include <gtest/gtest.h>

namespace isapi_web::platform {
namespace {

TEST(Com, ThereIsNothingToInitialise) {
  const THandle thread = StartThread([] {
    EXPECT_TRUE(ComInitialize(ComMultithreaded));
    EXPECT_TRUE(ComInitialize(ComApartmentThreaded));
    ComUninitialize();
    ComUninitialize();
  });
  ASSERT_NE(thread, NoHandle);
  EXPECT_TRUE(WaitForThreads({&thread, 1}, InfiniteWait));
  EXPECT_TRUE(CloseThreadHandle(thread));
}

} // namespace
} // namespace isapi_web::platform
