#include "host/static_files.h"

#include <chrono>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "host/host_text.h"

namespace isapi_web::host {
namespace {

class StaticFileTest : public ::testing::Test {
protected:
  void SetUp() override {
    // A folder of this test's own: the cases run in parallel processes, which must not remove
    // each other's files.
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    FRoot = std::filesystem::temp_directory_path() /
            ("static_files_test_" + std::string(test->name()) + "_" +
             std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(FRoot);
    std::ofstream(FRoot / "ten.txt", std::ios::binary) << "0123456789";
    FRoot = std::filesystem::canonical(FRoot);
  }
  void TearDown() override { std::filesystem::remove_all(FRoot); }

  TStaticAnswer Get(TStaticConditions conditions = {}) {
    return StaticFileAnswer(FRoot, "GET", "/ten.txt", conditions);
  }
  static std::string Field(const TStaticAnswer& answer, std::string_view name) {
    for (const auto& [fieldName, value] : answer.Fields)
      if (fieldName == name)
        return value;
    return "";
  }
  // The bytes the connection would stream.
  static std::string Streamed(TStaticAnswer& answer) {
    std::string bytes(answer.Length, '\0');
    answer.File->read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(answer.File->gcount()));
    return bytes;
  }

  std::filesystem::path FRoot;
};

TEST_F(StaticFileTest, LastModifiedAndIfModifiedSinceGive304) {
  TStaticAnswer whole = Get();
  EXPECT_EQ(whole.Status, 200u);
  EXPECT_EQ(Field(whole, "Content-Length"), "10");
  EXPECT_EQ(Field(whole, "Accept-Ranges"), "bytes");
  EXPECT_EQ(Streamed(whole), "0123456789");
  const std::string lastModified = Field(whole, "Last-Modified");
  const auto modified = ParseHttpDate(lastModified);
  ASSERT_TRUE(modified) << lastModified;
  EXPECT_EQ(HttpDateText(*modified), lastModified);

  TStaticAnswer same = Get({lastModified, {}, {}});
  EXPECT_EQ(same.Status, 304u);
  EXPECT_FALSE(same.File);
  EXPECT_EQ(Get({HttpDateText(*modified + std::chrono::hours(24)), {}, {}}).Status, 304u);
  EXPECT_EQ(Get({HttpDateText(*modified - std::chrono::seconds(1)), {}, {}}).Status, 200u);
  EXPECT_EQ(Get({"yesterday", {}, {}}).Status, 200u); // a date it cannot read is no condition
}

TEST_F(StaticFileTest, OneByteRangeGives206AndOnePastTheEnd416) {
  const std::pair<std::string_view, std::string_view> ranges[] = {
      {"bytes=2-4", "234"}, {"bytes=7-", "789"}, {"bytes=-3", "789"},
      {"bytes=8-100", "89"}, {"bytes=-20", "0123456789"}};
  for (const auto& [range, bytes] : ranges) {
    TStaticAnswer part = Get({{}, range, {}});
    EXPECT_EQ(part.Status, 206u) << range;
    EXPECT_EQ(Streamed(part), bytes) << range;
    EXPECT_EQ(Field(part, "Content-Length"), std::to_string(bytes.size())) << range;
  }
  EXPECT_EQ(Field(Get({{}, "bytes=2-4", {}}), "Content-Range"), "bytes 2-4/10");
  TStaticAnswer past = Get({{}, "bytes=10-", {}});
  EXPECT_EQ(past.Status, 416u);
  EXPECT_EQ(Field(past, "Content-Range"), "bytes */10");
  // Several ranges, a malformed one, or an If-Range that names another version: the whole file.
  for (std::string_view range : {"bytes=0-1,4-5", "bytes=4-2", "items=0-1", "bytes=x-"})
    EXPECT_EQ(Get({{}, range, {}}).Status, 200u) << range;
  EXPECT_EQ(Get({{}, "bytes=0-1", "Thu, 01 Jan 1970 00:00:00 GMT"}).Status, 200u);
}

} // namespace
} // namespace isapi_web::host
