// The built extension loaded as a host loads it (LoadLibrary / dlopen and its three exports) and
// driven through the fake host. This program runs twice: under its own name, where moravel serves
// in pool mode, and as a copy named like Apache's httpd.exe, where it serves every request on the
// caller's thread.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/extension_loader.h"
#include "platform/platform.h"
#include "process_threads.h"
#include "support/fake_isapi_host.h"

namespace isapi_web {
namespace {

using test_support::TFakeCall;
using test_support::TFakeIsapiHost;
using test_support::TFakeRequest;

constexpr DWORD PoolTerminated = 0xFFFFFFFF;
// A guard against a hung test, not a timing.
constexpr auto GuardWait = std::chrono::seconds(60);

bool RunsAsHttpd() {
  const std::filesystem::path self(platform::HostExecutablePath());
  std::string name = self.filename().string();
  for (char& c : name)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name == "httpd.exe";
}

// Redirect hooks that arrive and wait until the test opens the gate.
class TGate {
public:
  void Arrive() {
    std::unique_lock<std::mutex> lock(FLock);
    ++FArrived;
    FChanged.notify_all();
    FChanged.wait(lock, [&] { return FOpen; });
  }
  bool WaitForArrivals(int count) {
    std::unique_lock<std::mutex> lock(FLock);
    return FChanged.wait_for(lock, GuardWait, [&] { return FArrived >= count; });
  }
  void Open() {
    std::lock_guard<std::mutex> lock(FLock);
    FOpen = true;
    FChanged.notify_all();
  }

private:
  std::mutex FLock; // guards the members below
  std::condition_variable FChanged;
  int FArrived = 0;
  bool FOpen = false;
};

// Facts a redirect hook records on the extension's thread.
struct TServedOn {
  std::mutex Lock; // guards the members below
  std::optional<std::uint64_t> Thread;
  std::optional<bool> HeldToken;
};

// A redirect hook recording the thread that serves the request and whether it holds a token.
std::function<void(TFakeRequest&)> RecordOn(TServedOn& servedOn) {
  return [&servedOn](TFakeRequest&) {
    std::lock_guard<std::mutex> guard(servedOn.Lock);
    servedOn.Thread = platform::CurrentThreadId();
    servedOn.HeldToken = platform::ThreadHoldsToken();
  };
}

class MoravelTest : public testing::Test {
protected:
  void SetUp() override {
    std::string error;
    FLibrary = host::TExtensionLibrary::Load(MORAVEL_FILE, error);
    ASSERT_TRUE(FLibrary) << error;
    FEntry = FLibrary->EntryPoints();
    HSE_VERSION_INFO version{};
    ASSERT_EQ(FEntry.GetExtensionVersion(&version), 1);
    EXPECT_EQ(version.dwExtensionVersion, 0x00020000u);
    EXPECT_STREQ(version.lpszExtensionDesc, "");
  }
  void TearDown() override {
    if (FReloadBeforeTearDown)
      SetUp();
    if (FLibrary && !FTerminated) {
      EXPECT_EQ(static_cast<DWORD>(FEntry.TerminateExtension(HSE_TERM_MUST_UNLOAD)),
                RunsAsHttpd() ? 1u : PoolTerminated);
    }
    FLibrary.reset();
  }

  DWORD Serve(TFakeRequest& request) { return FEntry.HttpExtensionProc(request.Ecb()); }
  // The host forgets TerminateExtension and lets the library go. Its workers keep it loaded, so
  // loading it again finds the same instance; TearDown then stops the pool and unloads it.
  void UnloadWithoutTerminate() {
    FLibrary.reset();
    FReloadBeforeTearDown = true;
  }
  DWORD Terminate() {
    FTerminated = true;
    return static_cast<DWORD>(FEntry.TerminateExtension(HSE_TERM_MUST_UNLOAD));
  }

  // Serves the request as the mode of this run does, and answers the redirect target asked for
  // (nullopt when there was none or not exactly one).
  std::optional<std::string> Redirected(TFakeRequest& request) {
    const DWORD status = Serve(request);
    if (RunsAsHttpd()) {
      EXPECT_EQ(status, HSE_STATUS_SUCCESS);
      EXPECT_FALSE(request.SessionDone());
    } else {
      EXPECT_EQ(status, HSE_STATUS_PENDING);
      EXPECT_TRUE(FHost.WaitForDoneSessions(++FPending));
      EXPECT_EQ(request.SupportCalls(HSE_REQ_DONE_WITH_SESSION).size(), 1u);
      EXPECT_EQ(request.DoneStatus(), HSE_STATUS_SUCCESS);
    }
    const std::vector<TFakeCall> redirects = request.SupportCalls(HSE_REQ_SEND_URL_REDIRECT_RESP);
    if (redirects.size() != 1 || !redirects.front().Buffer)
      return std::nullopt;
    return redirects.front().Buffer;
  }

  TFakeIsapiHost FHost;
  std::unique_ptr<host::TExtensionLibrary> FLibrary;
  bool FReloadBeforeTearDown = false;
  host::TExtensionEntryPoints FEntry;
  std::size_t FPending = 0;
  bool FTerminated = false;
};

class MoravelCommon : public MoravelTest {};
class MoravelPool : public MoravelTest {
  void SetUp() override {
    if (RunsAsHttpd())
      GTEST_SKIP() << "pool mode needs a host not named httpd.exe";
    MoravelTest::SetUp();
  }
};
class MoravelDirect : public MoravelTest {
  void SetUp() override {
    if (!RunsAsHttpd())
      GTEST_SKIP() << "direct mode needs a host named httpd.exe";
    MoravelTest::SetUp();
  }
};

TEST_F(MoravelCommon, TheRefererComesBackByteForByteForAnyPathAndMethod) {
  std::string highBytes;
  for (int c = 0x80; c <= 0xFF; ++c)
    highBytes += static_cast<char>(c);
  const std::vector<std::string> referers = {
      "http://a.test/page?q=1&r=two%20x#frag ment with spaces \x80\xA0\xE9\xFF",
      "https://b.test:8443/" + highBytes,
      "not a URL at all: <>\"{}|\\^`",
  };
  const std::vector<std::optional<std::string>> paths = {"/../max.htm", "/x", "", std::nullopt};
  for (const char* method : {"GET", "POST", "HEAD", "PUT", "DELETE", "OPTIONS"}) {
    for (const std::optional<std::string>& path : paths) {
      for (const std::string& referer : referers) {
        TFakeRequest& request = FHost.NewRequest().SetMethod(method).SetPathInfo(path).SetVariable(
            "HTTP_REFERER", referer);
        EXPECT_EQ(Redirected(request), referer) << method << " " << path.value_or("(null)");
      }
    }
  }
  // No Referer: the host is asked to redirect to the empty string.
  TFakeRequest& without = FHost.NewRequest().SetPathInfo("/x");
  EXPECT_EQ(Redirected(without), "");
  EXPECT_TRUE(FHost.RejectedCalls().empty());
}

TEST_F(MoravelPool, ServesOnTwentyFiveWorkersAndTerminatesAfterWhatWasQueued) {
  const std::size_t threadsBefore = test_support::ProcessThreadCount();
  const std::uint64_t hostThread = platform::CurrentThreadId();

  TGate gate;
  std::mutex lock;
  std::set<std::uint64_t> workers;
  const auto hold = [&](TFakeRequest&) {
    {
      std::lock_guard<std::mutex> guard(lock);
      workers.insert(platform::CurrentThreadId());
    }
    gate.Arrive();
  };
  // The first request starts the pool: 25 threads, and the host's thread is released at once.
  std::vector<TFakeRequest*> held;
  for (int i = 0; i < 25; ++i) {
    TFakeRequest& request =
        FHost.NewRequest().SetVariable("HTTP_REFERER", "http://r.test/" + std::to_string(i));
    request.SetRedirectHook(hold);
    ASSERT_EQ(Serve(request), HSE_STATUS_PENDING);
    if (i == 0) {
      EXPECT_EQ(test_support::ProcessThreadCount(), threadsBefore + 25);
    }
    held.push_back(&request);
  }
  // All 25 are in progress at once, each on a worker of its own, none on the host's thread.
  ASSERT_TRUE(gate.WaitForArrivals(25));
  {
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(workers.size(), 25u);
    EXPECT_EQ(workers.count(hostThread), 0u);
  }
  // Behind them, more wait in the port; the host never waits for any of them.
  std::vector<TFakeRequest*> queued;
  for (int i = 0; i < 75; ++i) {
    TFakeRequest& request =
        FHost.NewRequest().SetVariable("HTTP_REFERER", "http://q.test/" + std::to_string(i));
    ASSERT_EQ(Serve(request), HSE_STATUS_PENDING);
    queued.push_back(&request);
  }
  EXPECT_EQ(FHost.DoneSessions(), 0u);
  gate.Open();

  // Terminating waits for everything queued before it.
  EXPECT_EQ(Terminate(), PoolTerminated);
  EXPECT_EQ(FHost.DoneSessions(), 100u);
  for (std::size_t i = 0; i < held.size(); ++i) {
    EXPECT_EQ(held[i]->SupportCalls(HSE_REQ_DONE_WITH_SESSION).size(), 1u);
    EXPECT_EQ(held[i]->DoneStatus(), HSE_STATUS_SUCCESS);
  }
  for (std::size_t i = 0; i < queued.size(); ++i) {
    const std::vector<TFakeCall> redirects =
        queued[i]->SupportCalls(HSE_REQ_SEND_URL_REDIRECT_RESP);
    ASSERT_EQ(redirects.size(), 1u);
    EXPECT_EQ(redirects.front().Buffer, "http://q.test/" + std::to_string(i));
    EXPECT_EQ(queued[i]->SupportCalls(HSE_REQ_DONE_WITH_SESSION).size(), 1u);
  }

  // After the pool is gone, a request is served on the host's thread.
  TServedOn servedOn;
  TFakeRequest& late = FHost.NewRequest().SetVariable("HTTP_REFERER", "http://late.test/");
  late.SetRedirectHook(RecordOn(servedOn));
  EXPECT_EQ(Serve(late), HSE_STATUS_SUCCESS);
  EXPECT_EQ(servedOn.Thread, hostThread);
  EXPECT_FALSE(late.SessionDone());
  EXPECT_TRUE(FHost.RejectedCalls().empty());
}

TEST_F(MoravelPool, AWorkerRunsUnderItsCallersIdentityAndThenItsOwn) {
  if (!platform::ThreadTokensSupported())
    GTEST_SKIP() << "this system has no thread access tokens";
  // 24 of the 25 workers are held, so the same free worker serves the next two requests.
  TGate gate;
  for (int i = 0; i < 24; ++i) {
    TFakeRequest& request = FHost.NewRequest().SetVariable("HTTP_REFERER", "http://h.test/");
    request.SetRedirectHook([&](TFakeRequest&) { gate.Arrive(); });
    ASSERT_EQ(Serve(request), HSE_STATUS_PENDING);
  }
  ASSERT_TRUE(gate.WaitForArrivals(24));

  TServedOn impersonated;
  TFakeRequest& first = FHost.NewRequest().SetVariable("HTTP_REFERER", "http://i.test/");
  first.SetRedirectHook(RecordOn(impersonated));
  std::thread impersonating([&] {
    ASSERT_TRUE(platform::ImpersonateProcessIdentity());
    ASSERT_TRUE(platform::ThreadHoldsToken());
    EXPECT_EQ(Serve(first), HSE_STATUS_PENDING);
    platform::RevertImpersonation();
  });
  impersonating.join();
  ASSERT_TRUE(FHost.WaitForDoneSessions(1));

  TServedOn plain;
  TFakeRequest& second = FHost.NewRequest().SetVariable("HTTP_REFERER", "http://p.test/");
  second.SetRedirectHook(RecordOn(plain));
  ASSERT_FALSE(platform::ThreadHoldsToken());
  EXPECT_EQ(Serve(second), HSE_STATUS_PENDING);
  ASSERT_TRUE(FHost.WaitForDoneSessions(2));

  EXPECT_EQ(impersonated.HeldToken, true);
  EXPECT_EQ(plain.HeldToken, false);
  EXPECT_EQ(plain.Thread, impersonated.Thread) << "the same worker served both";
  EXPECT_EQ(first.DoneStatus(), HSE_STATUS_SUCCESS);
  EXPECT_EQ(second.DoneStatus(), HSE_STATUS_SUCCESS);
  gate.Open();
  // The held workers must be out of the gate before it goes.
  EXPECT_TRUE(FHost.WaitForDoneSessions(26));
}

TEST_F(MoravelPool, UnloadWithoutTerminateStillAnswersWhatWasQueued) {
  for (int i = 0; i < 40; ++i) {
    TFakeRequest& request = FHost.NewRequest().SetVariable("HTTP_REFERER", "http://u.test/");
    ASSERT_EQ(Serve(request), HSE_STATUS_PENDING);
  }
  UnloadWithoutTerminate();
  ASSERT_TRUE(FHost.WaitForDoneSessions(40));
  EXPECT_EQ(FHost.DoneSessions(), 40u);
  for (std::size_t i = 0; i < FHost.RequestCount(); ++i)
    EXPECT_EQ(FHost.Request(i).SupportCalls(HSE_REQ_SEND_URL_REDIRECT_RESP).size(), 1u);
}

// A host that unloads the library while a worker is inside it must not pull the code from under
// that worker, however long it takes: the worker finishes its request afterwards.
TEST_F(MoravelPool, AWorkerInsideTheLibraryWhenTheHostUnloadsItFinishesItsRequest) {
  TGate gate;
  TFakeRequest& request = FHost.NewRequest().SetVariable("HTTP_REFERER", "http://busy.test/");
  request.SetRedirectHook([&](TFakeRequest&) { gate.Arrive(); });
  ASSERT_EQ(Serve(request), HSE_STATUS_PENDING);
  ASSERT_TRUE(gate.WaitForArrivals(1));
  UnloadWithoutTerminate();
  gate.Open(); // only once the host's unload call has returned
  ASSERT_TRUE(FHost.WaitForDoneSessions(1));
  EXPECT_EQ(request.SupportCalls(HSE_REQ_SEND_URL_REDIRECT_RESP).size(), 1u);
}

TEST_F(MoravelDirect, EveryRequestIsServedOnTheHostsThreadAndNothingPends) {
  const std::size_t threadsBefore = test_support::ProcessThreadCount();
  const std::uint64_t hostThread = platform::CurrentThreadId();
  for (int i = 0; i < 30; ++i) {
    TServedOn servedOn;
    TFakeRequest& request = FHost.NewRequest().SetVariable("HTTP_REFERER", "http://d.test/");
    request.SetRedirectHook(RecordOn(servedOn));
    EXPECT_EQ(Serve(request), HSE_STATUS_SUCCESS);
    EXPECT_EQ(servedOn.Thread, hostThread);
    EXPECT_TRUE(request.SupportCalls(HSE_REQ_DONE_WITH_SESSION).empty());
  }
  EXPECT_EQ(test_support::ProcessThreadCount(), threadsBefore) << "no pool was started";
  EXPECT_EQ(Terminate(), 1u);
}

TEST_F(MoravelDirect, TheThirtyThirdRequestInProgressGetsTheConnectionLimitPage) {
  TGate gate;
  std::vector<std::thread> hostThreads;
  std::vector<DWORD> statuses(32, 0);
  for (int i = 0; i < 32; ++i) {
    TFakeRequest& request = FHost.NewRequest().SetVariable("HTTP_REFERER", "http://c.test/");
    request.SetRedirectHook([&](TFakeRequest&) { gate.Arrive(); });
    hostThreads.emplace_back(
        [&, i, ecb = request.Ecb()] { statuses[i] = FEntry.HttpExtensionProc(ecb); });
  }
  ASSERT_TRUE(gate.WaitForArrivals(32));

  TFakeRequest& over = FHost.NewRequest().SetVariable("HTTP_REFERER", "http://c.test/");
  EXPECT_EQ(Serve(over), HSE_STATUS_ERROR);
  const std::vector<TFakeCall> headers = over.SupportCalls(HSE_REQ_SEND_RESPONSE_HEADER);
  ASSERT_EQ(headers.size(), 1u);
  EXPECT_EQ(headers.front().Buffer,
            "500 Maximum number of concurrent connections exceeded.  Please try again later");
  const std::string page = over.Written();
  EXPECT_NE(page.find("Exception: EWebException<br>"), std::string::npos);
  EXPECT_NE(page.find("Message: Maximum number of concurrent connections exceeded.  Please try "
                      "again later<br>"),
            std::string::npos);
  ASSERT_TRUE(headers.front().DataType);
  EXPECT_NE(
      headers.front().DataType->find("Content-Length: " + std::to_string(page.size()) + "\r\n"),
      std::string::npos);
  EXPECT_EQ(over.HttpStatusCode(), 500u);
  EXPECT_TRUE(over.SupportCalls(HSE_REQ_SEND_URL_REDIRECT_RESP).empty());

  gate.Open();
  for (std::thread& thread : hostThreads)
    thread.join();
  for (DWORD status : statuses)
    EXPECT_EQ(status, HSE_STATUS_SUCCESS);
  // With the 32 done, the next request is served again.
  TFakeRequest& after = FHost.NewRequest().SetVariable("HTTP_REFERER", "http://again.test/");
  EXPECT_EQ(Redirected(after), "http://again.test/");
}

} // namespace
} // namespace isapi_web
