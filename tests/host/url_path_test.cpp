#include "host/url_path.h"

#include <fstream>

#include <gtest/gtest.h>

namespace isapi_web::host {
namespace {

namespace fs = std::filesystem;

TEST(ParseRequestTargetTest, SplitsPathAndQueryAndDecodesThePath) {
  const TTargetPath target = ParseRequestTarget("/scripts/moravel.dll/a%20b/c?x=1&y=%41");
  ASSERT_TRUE(target.Valid);
  EXPECT_EQ(target.Path, "/scripts/moravel.dll/a b/c");
  EXPECT_EQ(target.RawPath, "/scripts/moravel.dll/a%20b/c");
  EXPECT_EQ(target.Query, "x=1&y=%41"); // the query stays as sent
}

TEST(ParseRequestTargetTest, ResolvesDotSegmentsBeforeAnythingElse) {
  EXPECT_EQ(ParseRequestTarget("/a/./b/../c").Path, "/a/c");
  EXPECT_EQ(ParseRequestTarget("/a/b/..").Path, "/a/");
  EXPECT_EQ(ParseRequestTarget("/a//b///c/").Path, "/a/b/c/");
  EXPECT_EQ(ParseRequestTarget("/").Path, "/");
  EXPECT_EQ(ParseRequestTarget("/a/%2e%2E/b").Path, "/b");
  EXPECT_EQ(ParseRequestTarget("/a/..%2Fb").Path, "/b");
}

TEST(ParseRequestTargetTest, RefusesEveryWayOfClimbingAboveTheRoot) {
  for (const char* target :
       {"/..", "/../etc/passwd", "/a/../../b", "/%2e%2e/x", "/%2E%2e%2Fx", "/..%2f..%2fetc",
        "/a\\..\\..\\b", "/%5c..%5c..%5cwin.ini", "/.%2e/x"}) {
    EXPECT_FALSE(ParseRequestTarget(target).Valid) << target;
  }
}

TEST(ParseRequestTargetTest, RefusesMalformedTargets) {
  EXPECT_FALSE(ParseRequestTarget("").Valid);
  EXPECT_FALSE(ParseRequestTarget("relative/path").Valid);
  EXPECT_FALSE(ParseRequestTarget("*").Valid);
  EXPECT_FALSE(ParseRequestTarget("/bad%zzescape").Valid);
  EXPECT_FALSE(ParseRequestTarget("/cut%4").Valid);
  EXPECT_FALSE(ParseRequestTarget("/nul%00byte").Valid);
}

TEST(ParseRequestTargetTest, AcceptsTheAbsoluteForm) {
  const TTargetPath target = ParseRequestTarget("http://example.com:8080/a/b?q");
  ASSERT_TRUE(target.Valid);
  EXPECT_EQ(target.Path, "/a/b");
  EXPECT_EQ(target.Query, "q");
  EXPECT_EQ(ParseRequestTarget("http://example.com").Path, "/");
}

TEST(MatchMappingTest, SplitsScriptNameAndPathInfoAsIisDoes) {
  const std::vector<std::string> prefixes = {NormalizeMapPrefix("/scripts/moravel.dll")};
  const auto match = MatchMapping(prefixes, "/scripts/moravel.dll/a/b");
  ASSERT_TRUE(match);
  EXPECT_EQ(match->ScriptName, "/scripts/moravel.dll");
  EXPECT_EQ(match->PathInfo, "/a/b");
  const auto bare = MatchMapping(prefixes, "/scripts/moravel.dll");
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->PathInfo, "");
}

TEST(MatchMappingTest, MatchesWholeSegmentsIgnoringCase) {
  const std::vector<std::string> prefixes = {"/scripts/moravel.dll"};
  EXPECT_FALSE(MatchMapping(prefixes, "/scripts/moravel.dllx"));
  EXPECT_FALSE(MatchMapping(prefixes, "/scripts/"));
  const auto upper = MatchMapping(prefixes, "/SCRIPTS/Moravel.DLL/x");
  ASSERT_TRUE(upper);
  EXPECT_EQ(upper->ScriptName, "/SCRIPTS/Moravel.DLL");
}

TEST(MatchMappingTest, TheLongestPrefixWins) {
  const std::vector<std::string> prefixes = {"/app", "/app/admin", "/other"};
  const auto match = MatchMapping(prefixes, "/app/admin/users");
  ASSERT_TRUE(match);
  EXPECT_EQ(match->Index, 1u);
  EXPECT_EQ(match->PathInfo, "/users");
  EXPECT_EQ(MatchMapping(prefixes, "/app/x")->Index, 0u);
}

TEST(MatchMappingTest, PrefixesAreNormalised) {
  EXPECT_EQ(NormalizeMapPrefix("scripts/x.dll/"), "/scripts/x.dll");
  EXPECT_EQ(NormalizeMapPrefix("/"), "");
  const auto everything = MatchMapping({NormalizeMapPrefix("/")}, "/any/thing");
  ASSERT_TRUE(everything);
  EXPECT_EQ(everything->PathInfo, "/any/thing");
}

class RootTest : public ::testing::Test {
protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    FBase = fs::temp_directory_path() / (std::string("isapi-host-root-") + info->name());
    fs::remove_all(FBase);
    fs::create_directories(FBase / "root" / "sub");
    fs::create_directories(FBase / "outside");
    std::ofstream(FBase / "root" / "sub" / "file.txt") << "inside";
    std::ofstream(FBase / "outside" / "secret.txt") << "secret";
    FRoot = fs::canonical(FBase / "root");
  }
  void TearDown() override { fs::remove_all(FBase); }

  fs::path FBase;
  fs::path FRoot;
};

TEST_F(RootTest, FindsFilesUnderTheRoot) {
  const auto file = ResolveUnderRoot(FRoot, "/sub/file.txt");
  ASSERT_TRUE(file);
  EXPECT_EQ(*file, FRoot / "sub" / "file.txt");
  EXPECT_TRUE(ResolveUnderRoot(FRoot, "/"));
  EXPECT_FALSE(ResolveUnderRoot(FRoot, "/sub/missing.txt"));
}

TEST_F(RootTest, ASymlinkOutOfTheRootFindsNothing) {
  std::error_code error;
  fs::create_directory_symlink(FBase / "outside", FRoot / "escape", error);
  if (error)
    GTEST_SKIP() << "no symlinks here: " << error.message();
  fs::create_symlink(FBase / "outside" / "secret.txt", FRoot / "secret-link.txt", error);
  EXPECT_FALSE(ResolveUnderRoot(FRoot, "/escape/secret.txt"));
  EXPECT_FALSE(ResolveUnderRoot(FRoot, "/secret-link.txt"));
  EXPECT_FALSE(ResolveUnderRoot(FRoot, "/escape"));
}

TEST_F(RootTest, ASymlinkInsideTheRootIsFollowed) {
  std::error_code error;
  fs::create_symlink(FRoot / "sub" / "file.txt", FRoot / "alias.txt", error);
  if (error)
    GTEST_SKIP() << "no symlinks here: " << error.message();
  const auto file = ResolveUnderRoot(FRoot, "/alias.txt");
  ASSERT_TRUE(file);
  EXPECT_EQ(*file, FRoot / "sub" / "file.txt");
}

TEST_F(RootTest, MapsUrlsToPhysicalPathsWithoutLeavingTheRoot) {
  const auto path = MapUrlToPhysicalPath(FRoot, "/sub/new%20file.txt");
  ASSERT_TRUE(path);
  EXPECT_EQ(fs::path(*path), (FRoot / "sub" / "new file.txt").make_preferred());
  EXPECT_EQ(fs::path(*MapUrlToPhysicalPath(FRoot, "/")), FRoot);
  EXPECT_FALSE(MapUrlToPhysicalPath(FRoot, "/../outside/secret.txt"));
  EXPECT_FALSE(MapUrlToPhysicalPath(FRoot, "no-slash"));
}

} // namespace
} // namespace isapi_web::host
