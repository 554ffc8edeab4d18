#include "platform/platform.h"

#include <gtest/gtest.h>

namespace isapi_web::platform {
namespace {

TEST(Com, WorkerThreadInitialisesItInTheRequestedMode) {
  const THandle thread = StartThread([] {
    EXPECT_TRUE(ComInitialize(ComMultithreaded));
    // Once more in the same mode is counted; another mode is refused (RPC_E_CHANGED_MODE),
    // which shows the flags reach the system.
    EXPECT_TRUE(ComInitialize(ComMultithreaded));
    EXPECT_FALSE(ComInitialize(ComApartmentThreaded));
    ComUninitialize();
    ComUninitialize();
    // Uninitialised, the thread may choose the other mode.
    EXPECT_TRUE(ComInitialize(ComApartmentThreaded));
    ComUninitialize();
  });
  ASSERT_NE(thread, NoHandle);
  EXPECT_TRUE(WaitForThreads({&thread, 1}, InfiniteWait));
  EXPECT_TRUE(CloseThreadHandle(thread));
}

} // namespace
} // namespace isapi_web::platform
