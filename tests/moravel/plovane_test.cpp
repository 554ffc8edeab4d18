#include "moravel/plovane.h"

#include <gtest/gtest.h>

#include <string>

#include "isapi/isapi_application.h"
#include "support/fake_isapi_host.h"

namespace isapi_web {
namespace {

using test_support::TFakeIsapiHost;
using test_support::TFakeRequest;

TEST(Plovane, ControlCharactersInTheRefererReachTheHostUnlessTheyBreakTheLine) {
  std::unique_ptr<TISAPIApplication, TComponentDeleter> application(
      CreateComponent<TISAPIApplication>(nullptr));
  application->CreateForm(&Tplovane::ClassInfo(), nullptr);
  TFakeIsapiHost host;

  // Byte for byte: whether such a target is acceptable is the host's decision.
  for (const std::string referer : {"http://a/\tb", "http://a/\x01"
                                                    "b",
                                    "http://a/\x1f\x7f"}) {
    TFakeRequest& request = host.NewRequest().SetVariable("HTTP_REFERER", referer);
    EXPECT_EQ(application->HttpExtensionProc(*request.Ecb()), HSE_STATUS_SUCCESS);
    const auto redirects = request.SupportCalls(HSE_REQ_SEND_URL_REDIRECT_RESP);
    ASSERT_EQ(redirects.size(), 1u);
    EXPECT_EQ(redirects[0].Buffer, referer);
  }
  // A CR or LF would end the Location line early: the redirect never reaches the host, and the
  // dispatcher answers with its error page.
  for (const std::string referer : {"http://a/\r\nX-Evil: 1", "http://a/\nX-Evil: 1", "a\rb"}) {
    TFakeRequest& request = host.NewRequest()
                                .SetVariable("HTTP_REFERER", referer)
                                .SetVariable("SERVER_PROTOCOL", "HTTP/1.1");
    EXPECT_EQ(application->HttpExtensionProc(*request.Ecb()), HSE_STATUS_ERROR);
    EXPECT_TRUE(request.SupportCalls(HSE_REQ_SEND_URL_REDIRECT_RESP).empty());
    EXPECT_EQ(request.Ecb()->dwHttpStatusCode, 500u);
    EXPECT_NE(request.Written().find("Internal Application Error"), std::string::npos);
    EXPECT_NE(request.Written().find("Invalid character in redirect URI"), std::string::npos);
    EXPECT_EQ(request.Written().find("X-Evil"), std::string::npos);
  }
  EXPECT_TRUE(host.RejectedCalls().empty());
}

} // namespace
} // namespace isapi_web
