#include "platform/platform.h"

#include <gtest/gtest.h>

#include <string>

namespace isapi_web::platform {
namespace {

std::u16string FileNamePart(const std::u16string& path) {
  const std::size_t delimiter = path.find_last_of(u"/\\:");
  return delimiter == std::u16string::npos ? path : path.substr(delimiter + 1);
}

TEST(HostProcess, ExecutablePathNamesThisTestProgram) {
  const std::u16string path = HostExecutablePath();
  // The build names the program; compared as ASCII, which the name is.
  const std::string expected = ISAPI_WEB_TEST_EXECUTABLE_NAME;
  const std::u16string name = FileNamePart(path);
  EXPECT_EQ(std::u16string(expected.begin(), expected.end()), name);
  // A full path, not the bare name, and nothing after the name (the buffer is cut to its length).
  EXPECT_GT(path.size(), name.size());
  EXPECT_EQ(path.find(u'\0'), std::u16string::npos);
}

TEST(HostProcess, PlatformIsTheNtFamily) {
  EXPECT_EQ(PlatformId(), PlatformWin32Nt);
}

TEST(LocaleComparison, MethodNamesCompareCaseSensitively) {
  EXPECT_TRUE(SameLocaleText("GET", "GET"));
  EXPECT_TRUE(SameLocaleText("", ""));
  EXPECT_TRUE(SameLocaleText("POST", "POST"));
  EXPECT_FALSE(SameLocaleText("get", "GET"));
  EXPECT_FALSE(SameLocaleText("GET", "get"));
  EXPECT_FALSE(SameLocaleText("GET", "GETX"));
  EXPECT_FALSE(SameLocaleText("GETX", "GET"));
  EXPECT_FALSE(SameLocaleText("", "GET"));
  EXPECT_FALSE(SameLocaleText("GET", "PUT"));
  // The texts end at their first NUL.
  EXPECT_TRUE(SameLocaleText("GET\0X", "GET"));
  EXPECT_FALSE(SameLocaleText(nullptr, "GET"));
  EXPECT_FALSE(SameLocaleText("GET", nullptr));
}

} // namespace
} // namespace isapi_web::platform
