#include "host/extension.h"

#include <cstdlib>

#include <gtest/gtest.h>

namespace isapi_web::host {
namespace {

TEST(ExtensionLoadTest, LoadsTheTestExtensionAndReadsItsVersion) {
  std::string error;
  auto extension = TExtension::Load(TEST_EXTENSION_FILE, error);
  ASSERT_TRUE(extension) << error;
  EXPECT_EQ(extension->Version(), HSE_VERSION);
  EXPECT_EQ(extension->Description(), "isapi-host test extension");
  EXPECT_TRUE(extension->Terminate(HSE_TERM_MUST_UNLOAD));
  EXPECT_FALSE(extension->Terminate(HSE_TERM_MUST_UNLOAD)); // once only
  EXPECT_TRUE(extension->Terminated());
}

TEST(ExtensionLoadTest, AMissingFileIsAnErrorNamingIt) {
  std::string error;
  EXPECT_FALSE(TExtension::Load("/no/such/dir/missing-extension.so", error));
  EXPECT_NE(error.find("missing-extension.so"), std::string::npos) << error;
}

TEST(ExtensionLoadTest, ALibraryWithoutTheExportsIsAnErrorNamingThem) {
  // The test executable's own image has none of the three exports.
  std::string error;
  EXPECT_FALSE(TExtensionLibrary::Load(
      std::filesystem::path(TEST_EXTENSION_FILE).parent_path() / "not-an-extension", error));
  EXPECT_NE(error.find("not-an-extension"), std::string::npos);
}

BOOL ISAPI_CALL RefuseVersion(HSE_VERSION_INFO*) {
  return 0;
}
DWORD ISAPI_CALL NoRequests(EXTENSION_CONTROL_BLOCK*) {
  return HSE_STATUS_ERROR;
}
int TerminateCalls = 0;
BOOL ISAPI_CALL CountTerminate(DWORD) {
  ++TerminateCalls;
  return 1;
}

TEST(ExtensionStartTest, GetExtensionVersionAnsweringFalseIsAStartupErrorNamingTheFile) {
  TerminateCalls = 0;
  std::string error;
  EXPECT_FALSE(TExtension::FromEntryPoints("refusing.so",
                                           {RefuseVersion, NoRequests, CountTerminate}, error));
  EXPECT_NE(error.find("refusing.so"), std::string::npos);
  EXPECT_NE(error.find("GetExtensionVersion"), std::string::npos);
  EXPECT_EQ(TerminateCalls, 0); // a refused start is not terminated
}

BOOL ISAPI_CALL AcceptVersion(HSE_VERSION_INFO* version) {
  version->dwExtensionVersion = HSE_VERSION;
  return 1;
}

TEST(ExtensionStartTest, DestroyingAStartedExtensionTerminatesItOnce) {
  TerminateCalls = 0;
  std::string error;
  {
    auto extension =
        TExtension::FromEntryPoints("fake.so", {AcceptVersion, NoRequests, CountTerminate}, error);
    ASSERT_TRUE(extension) << error;
  }
  EXPECT_EQ(TerminateCalls, 1);
}

} // namespace
} // namespace isapi_web::host
