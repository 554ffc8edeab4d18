#include "isapi/isapi_extension.h"

#include <gtest/gtest.h>

#include <memory>

#include "support/fake_isapi_host.h"
#include "support/test_gate.h"

namespace isapi_web {
namespace {

// A guard against a hung test, not a timing.
constexpr std::uint32_t GuardWait = 60000;

test_support::TGate Entered;
test_support::TGate Released;

// The application's entry, held up until the test releases it.
DWORD HeldApplication(EXTENSION_CONTROL_BLOCK* ECB) {
  Entered.Open();
  Released.Wait();
  return AppHttpExtensionProc(ECB);
}

// Unload runs once per process, so this is the program's one case.
TEST(ISAPIExtension, UnloadLeavesTheApplicationToAWorkerThatTerminateGaveUpOn) {
  LoadExtensionLibrary(nullptr);
  ASSERT_NE(GlobalApplication, nullptr);
  // TerminateExtension's wait runs out at once.
  WorkerPoolClass = [](bool InitCOM) {
    std::unique_ptr<TISAPIThreadPool> pool = TISAPIThreadPool::Create(InitCOM);
    pool->SetStopWait(0);
    return pool;
  };
  HSE_VERSION_INFO version{};
  ASSERT_EQ(ExtensionGetExtensionVersion(&version), 1);
  PoolRequestProc = &HeldApplication;

  test_support::TFakeIsapiHost host;
  test_support::TFakeRequest& request = host.NewRequest();
  ASSERT_EQ(ExtensionHttpExtensionProc(request.Ecb()), HSE_STATUS_PENDING);
  ASSERT_TRUE(Entered.Wait());
  EXPECT_EQ(ExtensionTerminateExtension(0), static_cast<BOOL>(0xFFFFFFFFu));
  EXPECT_EQ(WorkerPool.load(), nullptr);

  UnloadExtensionLibrary();
  EXPECT_NE(GlobalApplication, nullptr);

  // The worker finishes its request with the application it found.
  Released.Open();
  EXPECT_TRUE(WaitForPoolWorkers(0, GuardWait));
  ASSERT_TRUE(host.WaitForDoneSessions(1));
  FreeGlobalApplication();
}

} // namespace
} // namespace isapi_web
