#include "platform/platform.h"

#include <gtest/gtest.h>

#include <functional>

namespace isapi_web::platform {
namespace {

// Runs body on a thread of its own, so that impersonation never leaks into other tests.
void OnNewThread(std::function<void()> body) {
  const THandle thread = StartThread(std::move(body));
  ASSERT_NE(thread, NoHandle);
  ASSERT_TRUE(WaitForThreads({&thread, 1}, InfiniteWait));
  EXPECT_TRUE(CloseThreadHandle(thread));
}

TEST(ThreadToken, ThreadThatDoesNotImpersonateHasNone) {
  OnNewThread([] {
    EXPECT_FALSE(ThreadHoldsToken());
    for (const bool openAsSelf : {false, true}) {
      const TThreadToken opened = OpenCurrentThreadToken(TokenAllAccess, openAsSelf);
      EXPECT_EQ(opened.Token, NoHandle);
      EXPECT_EQ(opened.Error, ErrorNoToken);
    }
    // What the pool does for a request queued without a token.
    EXPECT_TRUE(ImpersonateToken(NoHandle));
    EXPECT_FALSE(ThreadHoldsToken());
    EXPECT_TRUE(CloseToken(NoHandle));
    EXPECT_TRUE(RevertImpersonation());
  });
}

TEST(ThreadToken, ImpersonatingThreadYieldsATokenThatAnotherThreadCanImpersonate) {
  TThreadToken opened;
  OnNewThread([&] {
    const bool impersonating = ImpersonateProcessIdentity();
    EXPECT_EQ(impersonating, ThreadTokensSupported());
    EXPECT_EQ(ThreadHoldsToken(), ThreadTokensSupported());
    opened = OpenCurrentThreadToken(TokenAllAccess, false);
    if (opened.Token == NoHandle && opened.Error != ErrorNoToken) {
      // The impersonated identity may not grant itself all access; the process's may.
      opened = OpenCurrentThreadToken(TokenAllAccess, true);
    }
    if (impersonating) {
      EXPECT_TRUE(RevertImpersonation());
      EXPECT_FALSE(ThreadHoldsToken());
    }
  });

  if (!ThreadTokensSupported()) {
    EXPECT_EQ(opened.Token, NoHandle);
    EXPECT_EQ(opened.Error, ErrorNoToken);
    EXPECT_FALSE(ThreadHoldsToken());
    return;
  }
  ASSERT_NE(opened.Token, NoHandle);
  EXPECT_EQ(opened.Error, 0u);

  // The token outlives the thread that opened it and carries its identity to another thread.
  OnNewThread([&] {
    EXPECT_FALSE(ThreadHoldsToken());
    EXPECT_TRUE(ImpersonateToken(opened.Token));
    EXPECT_TRUE(ThreadHoldsToken());
    EXPECT_TRUE(RevertImpersonation());
    EXPECT_FALSE(ThreadHoldsToken());
  });
  EXPECT_TRUE(CloseToken(opened.Token));
}

TEST(ThreadToken, TokensThatAreNotOpenAreRefused) {
  OnNewThread([] {
    EXPECT_FALSE(ImpersonateToken(InvalidHandleValue));
    EXPECT_FALSE(ThreadHoldsToken());
    EXPECT_FALSE(CloseToken(InvalidHandleValue));
  });
}

} // namespace
} // namespace isapi_web::platform
