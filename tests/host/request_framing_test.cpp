#include "host/request_framing.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace isapi_web::host {
namespace {

std::string ProblemOf(int version, std::vector<std::pair<std::string, std::string>> fields) {
  TFramingCheck check;
  for (const auto& [name, value] : fields)
    check.Field(name, value);
  return std::string(check.Problem(version));
}

TEST(FramingCheckTest, TheLastTransferCodingMustBeChunked) {
  EXPECT_EQ(ProblemOf(11, {{"Host", "h"}, {"Transfer-Encoding", "chunked"}}), "");
  EXPECT_EQ(ProblemOf(11, {{"Host", "h"}, {"transfer-encoding", "gzip , CHUNKED;x=1 ,"}}), "");
  // Several fields make one list: what counts is the coding the client applied last.
  EXPECT_EQ(ProblemOf(11, {{"Host", "h"}, {"Transfer-Encoding", "gzip"},
                           {"Transfer-Encoding", "chunked"}}),
            "");
  for (const char* coding : {"xchunked", "chunked, identity", "gzip", "", " , ", "chunkedx"})
    EXPECT_EQ(ProblemOf(11, {{"Host", "h"}, {"Transfer-Encoding", coding}}),
              "The request's Transfer-Encoding does not end in chunked.")
        << coding;
  EXPECT_EQ(ProblemOf(11, {{"Host", "h"}, {"Transfer-Encoding", "chunked"},
                           {"Transfer-Encoding", "identity"}}),
            "The request's Transfer-Encoding does not end in chunked.");
  EXPECT_EQ(ProblemOf(10, {{"Transfer-Encoding", "chunked"}}),
            "An HTTP/1.0 request cannot have a Transfer-Encoding.");
  EXPECT_EQ(ProblemOf(11, {{"Host", "h"}, {"Content-Length", "5"}, {"Transfer-Encoding", "chunked"}}),
            "The request has both a Content-Length and a Transfer-Encoding.");
}

TEST(FramingCheckTest, Http11NeedsExactlyOneHost) {
  EXPECT_EQ(ProblemOf(11, {}), "An HTTP/1.1 request must have a Host field.");
  EXPECT_EQ(ProblemOf(11, {{"Host", ""}}), "");
  EXPECT_EQ(ProblemOf(11, {{"Host", "a"}, {"HOST", "a"}}),
            "The request has more than one Host field.");
  EXPECT_EQ(ProblemOf(10, {}), "");
  EXPECT_EQ(ProblemOf(10, {{"Host", "a"}, {"Host", "b"}}),
            "The request has more than one Host field.");
}

} // namespace
} // namespace isapi_web::host
