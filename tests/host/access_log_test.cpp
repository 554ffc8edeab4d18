#include "host/access_log.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include <gtest/gtest.h>

namespace isapi_web::host {
namespace {

TAccessLogEntry SampleEntry() {
  TAccessLogEntry entry;
  // 2024-02-29 13:04:05 UTC
  entry.Time = std::chrono::system_clock::time_point(std::chrono::seconds(1709211845));
  entry.ServerIp = "127.0.0.1";
  entry.Method = "GET";
  entry.UriStem = "/scripts/moravel.dll/a";
  entry.UriQuery = "x=1";
  entry.ServerPort = "8080";
  entry.ClientIp = "127.0.0.2";
  entry.UserAgent = "Mozilla/5.0 (X11; Linux)";
  entry.Referer = "http://example.com/page";
  entry.Status = 302;
  entry.TimeTakenMs = 15;
  return entry;
}

TEST(W3CLogTest, WritesTheFieldsInTheDeclaredOrder) {
  EXPECT_EQ(W3CLogLine(SampleEntry()),
            "2024-02-29 13:04:05 127.0.0.1 GET /scripts/moravel.dll/a x=1 8080 127.0.0.2 "
            "Mozilla/5.0+(X11;+Linux) http://example.com/page 302 15\n");
}

TEST(W3CLogTest, AppendsTheExtensionsLogDataToTheQuery) {
  TAccessLogEntry entry = SampleEntry();
  entry.ExtensionLogData = "|12|800a01a8|Object_required";
  EXPECT_NE(W3CLogLine(entry).find(" x=1|12|800a01a8|Object_required 8080 "), std::string::npos);
  entry.UriQuery.clear();
  EXPECT_NE(W3CLogLine(entry).find(" /scripts/moravel.dll/a |12|800a01a8|Object_required "),
            std::string::npos);
}

TEST(W3CLogTest, EmptyFieldsAreDashesAndNoFieldCanBreakTheLine) {
  TAccessLogEntry entry = SampleEntry();
  entry.UriQuery.clear();
  entry.UserAgent.clear();
  entry.Referer = "http://a/\r\nforged line\x7f\x9b" "2J\x80\x9f\xa0\xe9";
  const std::string line = W3CLogLine(entry);
  // DEL and the C1 bytes (0x9B is a terminal's CSI) are escaped; 0xA0 and above are text.
  EXPECT_NE(line.find(" /scripts/moravel.dll/a - 8080 127.0.0.2 - "
                      "http://a/%0D%0Aforged+line%7F%9B2J%80%9F\xa0\xe9 "),
            std::string::npos)
      << line;
  EXPECT_EQ(line.find('\n'), line.size() - 1);
  std::istringstream fields(line);
  std::vector<std::string> parts;
  for (std::string part; fields >> part;)
    parts.push_back(part);
  EXPECT_EQ(parts.size(), 12u); // date and time are two of the eleven declared fields
}

TEST(W3CLogTest, TheHeaderDeclaresTheFields) {
  const std::string header = W3CHeaderLines(
      std::chrono::system_clock::time_point(std::chrono::seconds(0)), "isapi-host/1");
  EXPECT_NE(header.find("#Software: isapi-host/1\n"), std::string::npos);
  EXPECT_NE(header.find("#Version: 1.0\n"), std::string::npos);
  EXPECT_NE(header.find("#Date: 1970-01-01 00:00:00\n"), std::string::npos);
  EXPECT_NE(header.find("#Fields: date time s-ip cs-method cs-uri-stem cs-uri-query s-port c-ip "
                        "cs(User-Agent) cs(Referer) sc-status time-taken\n"),
            std::string::npos);
}

TEST(W3CLogTest, AFileLogStartsWithTheHeaderAndAppendsLines) {
  // A name of this run's own: test runs of other build trees may run at the same time.
  const auto file = std::filesystem::temp_directory_path() /
                    ("isapi-host-access-log-test-" + std::to_string(std::random_device{}()) + ".log");
  std::filesystem::remove(file);
  std::string error;
  {
    auto log = TAccessLog::Open(file.string(), "isapi-host/test", error);
    ASSERT_TRUE(log) << error;
    log->Write(SampleEntry());
  }
  std::stringstream text;
  {
    std::ifstream stream(file);
    text << stream.rdbuf();
  }
  EXPECT_EQ(text.str().rfind("#Software: isapi-host/test\n", 0), 0u);
  EXPECT_NE(text.str().find(W3CLogLine(SampleEntry())), std::string::npos);
  std::filesystem::remove(file);
  EXPECT_FALSE(TAccessLog::Open((file / "no" / "such" / "folder.log").string(), "x", error));
  EXPECT_NE(error.find("folder.log"), std::string::npos);
}

} // namespace
} // namespace isapi_web::host
