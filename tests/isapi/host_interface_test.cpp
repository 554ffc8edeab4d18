#include "isapi/isapi_host_interface.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/fake_isapi_host.h"

namespace isapi_web {
namespace {

using test_support::TFakeCallKind;
using test_support::TFakeIsapiHost;
using test_support::TFakeRequest;
using test_support::TVariableAnswer;

TEST(HostInterface, RecordLayoutsMatchTheHostsOfThisPointerWidth) {
  EXPECT_EQ(sizeof(HSE_VERSION_INFO), 260u);
  EXPECT_EQ(offsetof(HSE_VERSION_INFO, lpszExtensionDesc), 4u);
  EXPECT_EQ(sizeof(DWORD), 4u);
  EXPECT_EQ(HSE_VERSION, 0x00020000u);
  EXPECT_EQ(sizeof(EXTENSION_CONTROL_BLOCK::lpszLogData), 80u);
  if (sizeof(void*) == 4) {
    EXPECT_EQ(offsetof(EXTENSION_CONTROL_BLOCK, ConnID), 8u);
    EXPECT_EQ(offsetof(EXTENSION_CONTROL_BLOCK, dwHttpStatusCode), 12u);
    EXPECT_EQ(offsetof(EXTENSION_CONTROL_BLOCK, lpszLogData), 16u);
    EXPECT_EQ(offsetof(EXTENSION_CONTROL_BLOCK, lpszMethod), 96u);
    EXPECT_EQ(offsetof(EXTENSION_CONTROL_BLOCK, lpszPathTranslated), 108u);
    EXPECT_EQ(offsetof(EXTENSION_CONTROL_BLOCK, cbTotalBytes), 112u);
    EXPECT_EQ(offsetof(EXTENSION_CONTROL_BLOCK, cbAvailable), 116u);
    EXPECT_EQ(offsetof(EXTENSION_CONTROL_BLOCK, lpbData), 120u);
    EXPECT_EQ(offsetof(EXTENSION_CONTROL_BLOCK, GetServerVariable), 128u);
    EXPECT_EQ(offsetof(EXTENSION_CONTROL_BLOCK, ServerSupportFunction), 140u);
    EXPECT_EQ(sizeof(EXTENSION_CONTROL_BLOCK), 144u);
  } else {
    EXPECT_EQ(offsetof(EXTENSION_CONTROL_BLOCK, ConnID), 8u);
    EXPECT_EQ(offsetof(EXTENSION_CONTROL_BLOCK, dwHttpStatusCode), 16u);
    EXPECT_EQ(offsetof(EXTENSION_CONTROL_BLOCK, lpszLogData), 20u);
    EXPECT_EQ(offsetof(EXTENSION_CONTROL_BLOCK, lpszMethod), 104u);
    EXPECT_EQ(offsetof(EXTENSION_CONTROL_BLOCK, lpszPathTranslated), 128u);
    EXPECT_EQ(offsetof(EXTENSION_CONTROL_BLOCK, cbTotalBytes), 136u);
    EXPECT_EQ(offsetof(EXTENSION_CONTROL_BLOCK, cbAvailable), 140u);
    EXPECT_EQ(offsetof(EXTENSION_CONTROL_BLOCK, lpbData), 144u);
    EXPECT_EQ(offsetof(EXTENSION_CONTROL_BLOCK, lpszContentType), 152u);
    EXPECT_EQ(offsetof(EXTENSION_CONTROL_BLOCK, GetServerVariable), 160u);
    EXPECT_EQ(offsetof(EXTENSION_CONTROL_BLOCK, ServerSupportFunction), 184u);
    EXPECT_EQ(sizeof(EXTENSION_CONTROL_BLOCK), 192u);
  }
}

// What the adapter tests rely on: the host's answers to GetServerVariable.
TEST(FakeIsapiHost, ServerVariablesFollowTheHostsSizeRules) {
  TFakeIsapiHost host;
  TFakeRequest& request = host.NewRequest();
  request.SetVariable("HTTP_REFERER", "http://a/");
  request.ScriptVariable("ZERO", TVariableAnswer{true, "", 0, 0});
  EXTENSION_CONTROL_BLOCK* ecb = request.Ecb();
  EXPECT_EQ(ecb->cbSize, sizeof(EXTENSION_CONTROL_BLOCK));
  EXPECT_STREQ(ecb->lpszMethod, "GET");

  char buffer[16];
  DWORD size = sizeof buffer;
  ASSERT_TRUE(
      ecb->GetServerVariable(ecb->ConnID, const_cast<char*>("HTTP_REFERER"), buffer, &size));
  EXPECT_EQ(size, 10u); // NUL counted
  EXPECT_STREQ(buffer, "http://a/");

  size = 5;
  EXPECT_FALSE(
      ecb->GetServerVariable(ecb->ConnID, const_cast<char*>("HTTP_REFERER"), buffer, &size));
  EXPECT_EQ(size, 10u); // the size needed

  size = sizeof buffer;
  EXPECT_FALSE(ecb->GetServerVariable(ecb->ConnID, const_cast<char*>("NOPE"), buffer, &size));
  size = sizeof buffer;
  EXPECT_TRUE(ecb->GetServerVariable(ecb->ConnID, const_cast<char*>("ZERO"), buffer, &size));
  EXPECT_EQ(size, 0u);

  const auto calls = request.CallsOf(TFakeCallKind::ckGetServerVariable);
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[1].Size, 5u);
  EXPECT_EQ(calls[1].Error, ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(calls[2].Name, "NOPE");
  EXPECT_EQ(calls[2].Error, ERROR_INVALID_INDEX);
}

TEST(FakeIsapiHost, BodyChunksWritesAndForeignConnIDs) {
  TFakeIsapiHost host;
  TFakeRequest& request = host.NewRequest();
  request.AddChunk("abcdef").AddReadFailure();
  request.AcceptWritesUpTo(3);
  EXTENSION_CONTROL_BLOCK* ecb = request.Ecb();

  char buffer[8];
  DWORD size = 4;
  ASSERT_TRUE(ecb->ReadClient(ecb->ConnID, buffer, &size));
  EXPECT_EQ(std::string(buffer, size), "abcd");
  size = 8;
  ASSERT_TRUE(ecb->ReadClient(ecb->ConnID, buffer, &size));
  EXPECT_EQ(std::string(buffer, size), "ef");
  size = 8;
  EXPECT_FALSE(ecb->ReadClient(ecb->ConnID, buffer, &size));
  size = 8;
  ASSERT_TRUE(ecb->ReadClient(ecb->ConnID, buffer, &size));
  EXPECT_EQ(size, 0u); // end of the body

  DWORD bytes = 5;
  ASSERT_TRUE(ecb->WriteClient(ecb->ConnID, const_cast<char*>("hello"), &bytes, 0));
  EXPECT_EQ(bytes, 3u);
  EXPECT_EQ(request.Written(), "hel");

  HCONN forged = reinterpret_cast<HCONN>(static_cast<std::uintptr_t>(0x1234567));
  bytes = 1;
  EXPECT_FALSE(ecb->WriteClient(forged, const_cast<char*>("x"), &bytes, 0));
  ASSERT_EQ(host.RejectedCalls().size(), 1u);
  EXPECT_EQ(host.RejectedCalls()[0].ConnID, forged);
  EXPECT_EQ(request.Written(), "hel");
}

// Pool tests wait for sessions to end on the host instead of sleeping.
TEST(FakeIsapiHost, DoneWithSessionEndsTheRequestAndWakesWaiters) {
  TFakeIsapiHost host;
  std::vector<TFakeRequest*> requests;
  for (int i = 0; i < 3; ++i)
    requests.push_back(&host.NewRequest());
  std::vector<std::thread> threads;
  for (TFakeRequest* request : requests) {
    threads.emplace_back([request] {
      EXTENSION_CONTROL_BLOCK* ecb = request->Ecb();
      DWORD status = HSE_STATUS_SUCCESS;
      ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_DONE_WITH_SESSION, &status, nullptr, nullptr);
    });
  }
  EXPECT_TRUE(host.WaitForDoneSessions(3));
  for (std::thread& thread : threads)
    thread.join();
  EXPECT_EQ(host.DoneSessions(), 3u);
  EXPECT_EQ(requests[0]->DoneStatus(), HSE_STATUS_SUCCESS);

  // After the session ended its ConnID is no longer live.
  EXTENSION_CONTROL_BLOCK* ecb = requests[0]->Ecb();
  DWORD bytes = 1;
  EXPECT_FALSE(ecb->WriteClient(ecb->ConnID, const_cast<char*>("x"), &bytes, 0));
  EXPECT_EQ(host.RejectedCalls().size(), 1u);
  EXPECT_TRUE(requests[0]->CallsOf(TFakeCallKind::ckWriteClient).empty());
}

TEST(FakeIsapiHost, MapsUrlsAndRunsTheRedirectHook) {
  TFakeIsapiHost host;
  TFakeRequest& request = host.NewRequest();
  int hookCalls = 0;
  request.SetRedirectHook([&](TFakeRequest&) { ++hookCalls; });
  request.SetUrlMapper([](const std::string& url) { return std::string(2000, 'p') + url; });
  EXTENSION_CONTROL_BLOCK* ecb = request.Ecb();

  char path[1024] = "/x";
  DWORD size = sizeof path;
  EXPECT_FALSE(
      ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_MAP_URL_TO_PATH, path, &size, nullptr));
  EXPECT_EQ(size, 2003u);

  EXPECT_TRUE(ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_URL_REDIRECT_RESP,
                                         const_cast<char*>("http://b/"), nullptr, nullptr));
  EXPECT_EQ(hookCalls, 1);
  const auto redirects = request.SupportCalls(HSE_REQ_SEND_URL_REDIRECT_RESP);
  ASSERT_EQ(redirects.size(), 1u);
  EXPECT_EQ(redirects[0].Buffer, "http://b/");
  EXPECT_FALSE(redirects[0].Size.has_value());

  EXPECT_FALSE(ecb->ServerSupportFunction(ecb->ConnID, 77, nullptr, nullptr, nullptr));
}

} // namespace
} // namespace isapi_web
