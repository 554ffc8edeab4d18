#include "isapi/isapi_thread_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/fake_isapi_host.h"
#include "support/test_gate.h"

namespace isapi_web {
namespace {

using test_support::TFakeCall;
using test_support::TFakeCallKind;
using test_support::TFakeIsapiHost;
using test_support::TFakeRequest;

// A guard against a hung test, not a timing.
constexpr std::uint32_t GuardWait = 60000;

// What opening a token answers when the identity may not open it (ERROR_ACCESS_DENIED).
[[maybe_unused]] constexpr platform::TThreadToken AccessDenied{platform::NoHandle, 5};

// What the test's application does with a request; installed before the pool serves any.
std::function<DWORD(EXTENSION_CONTROL_BLOCK*)> TestApplication;

DWORD RunTestApplication(EXTENSION_CONTROL_BLOCK* ecb) {
  return TestApplication(ecb);
}

// A count that threads raise and a test waits for.
class TCounter {
public:
  void Add() {
    {
      std::lock_guard<std::mutex> lock(FLock);
      ++FCount;
    }
    FChanged.notify_all();
  }
  bool WaitFor(int count) {
    std::unique_lock<std::mutex> lock(FLock);
    return FChanged.wait_for(lock, std::chrono::milliseconds(GuardWait),
                             [&] { return FCount >= count; });
  }
  int Value() {
    std::lock_guard<std::mutex> lock(FLock);
    return FCount;
  }

private:
  std::mutex FLock;
  std::condition_variable FChanged;
  int FCount = 0;
};

using test_support::TGate;

bool Write(EXTENSION_CONTROL_BLOCK* ecb, std::string bytes) {
  DWORD size = static_cast<DWORD>(bytes.size());
  return ecb->WriteClient(ecb->ConnID, bytes.data(), &size, 0) != 0;
}

// The done-with-session calls of a request.
std::vector<TFakeCall> DoneCalls(const TFakeRequest& request) {
  return request.SupportCalls(HSE_REQ_DONE_WITH_SESSION);
}

// Ended exactly once, with Status behind both the buffer and the size pointer.
void ExpectEndedWith(const TFakeRequest& request, DWORD status) {
  const std::vector<TFakeCall> done = DoneCalls(request);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_TRUE(request.SessionDone());
  EXPECT_EQ(request.DoneStatus(), status);
  EXPECT_EQ(done[0].Status, status);
  EXPECT_EQ(done[0].Size, status);
}

class TISAPIThreadPoolTest : public ::testing::Test {
protected:
  void SetUp() override {
    FSavedThreadCount = PoolThreadCount;
    PoolThreadCount = 25;
    PoolRequestProc = &RunTestApplication;
    TestApplication = [](EXTENSION_CONTROL_BLOCK*) { return HSE_STATUS_SUCCESS; };
  }
  void TearDown() override {
    // Every pool of the test is gone; no worker may still use the test's application.
    EXPECT_TRUE(WaitForPoolWorkers(0, GuardWait));
    EXPECT_EQ(QueuedRequestCount(), 0u);
    EXPECT_TRUE(FHost.RejectedCalls().empty());
    PoolRequestProc = nullptr;
    PoolThreadCount = FSavedThreadCount;
    TestApplication = nullptr;
  }

  TFakeIsapiHost FHost;
  std::uint8_t FSavedThreadCount = 25;
};

// A pool whose completion port cannot be created.
class TNoPortPool : public TISAPIThreadPool {
public:
  TNoPortPool() : TISAPIThreadPool(false) {}
  std::vector<platform::THandle> Tokens;

protected:
  platform::THandle CreateRequestQueue() override { return platform::NoHandle; }
  platform::TThreadToken OpenCallerToken(bool OpenAsSelf) override {
    const platform::TThreadToken token = TISAPIThreadPool::OpenCallerToken(OpenAsSelf);
    Tokens.push_back(token.Token);
    return token;
  }
};

// A pool whose opening of the caller's token the test scripts; it records each attempt.
class TScriptedTokenPool : public TISAPIThreadPool {
public:
  explicit TScriptedTokenPool(std::function<platform::TThreadToken(bool)> script)
      : TISAPIThreadPool(false), FScript(std::move(script)) {}
  std::vector<bool> Attempts; // openAsSelf of every attempt

protected:
  platform::TThreadToken OpenCallerToken(bool OpenAsSelf) override {
    Attempts.push_back(OpenAsSelf);
    return FScript(OpenAsSelf);
  }

private:
  std::function<platform::TThreadToken(bool)> FScript;
};

// A pool none of whose workers can be started; DuringStart runs at the first attempt, when the
// port is already there for other threads to post to.
class TNoThreadPool : public TISAPIThreadPool {
public:
  TNoThreadPool() : TISAPIThreadPool(false) {}
  std::function<void()> DuringStart;

protected:
  platform::THandle StartWorker(std::function<void()>) override {
    if (const std::function<void()> run = std::exchange(DuringStart, nullptr))
      run();
    return platform::NoHandle;
  }
};

#ifndef ISAPI_WEB_POOL_STRESS

TEST_F(TISAPIThreadPoolTest, StartServesOnWorkersAndStopEndsThem) {
  const std::uint64_t poster = platform::CurrentThreadId();
  std::mutex lock;
  std::map<EXTENSION_CONTROL_BLOCK*, std::uint64_t> servedOn;
  TFakeRequest& good = FHost.NewRequest();
  TFakeRequest& failing = FHost.NewRequest();
  TestApplication = [&](EXTENSION_CONTROL_BLOCK* ecb) {
    {
      std::lock_guard<std::mutex> guard(lock);
      servedOn[ecb] = platform::CurrentThreadId();
    }
    Write(ecb, "served");
    return ecb == failing.Ecb() ? HSE_STATUS_ERROR : HSE_STATUS_SUCCESS;
  };

  std::unique_ptr<TISAPIThreadPool> pool = TISAPIThreadPool::Create(false);
  EXPECT_EQ(pool->RequestQueue(), TISAPIThreadPool::RequestQueueNotStarted);
  EXPECT_EQ(pool->ThreadCount(), 0);
  pool->StartPool();
  EXPECT_EQ(pool->ThreadCount(), 25);
  EXPECT_EQ(RunningPoolWorkers(), 25u);
  const platform::THandle port = pool->RequestQueue();
  EXPECT_NE(port, TISAPIThreadPool::RequestQueueNotStarted);
  EXPECT_NE(port, platform::NoHandle);

  // A second start finds the port and starts nothing.
  pool->StartPool();
  EXPECT_EQ(pool->RequestQueue(), port);
  EXPECT_EQ(pool->ThreadCount(), 25);
  EXPECT_EQ(RunningPoolWorkers(), 25u);

  ASSERT_TRUE(pool->PostRequest(good.Ecb()));
  ASSERT_TRUE(pool->PostRequest(failing.Ecb()));
  ASSERT_TRUE(FHost.WaitForDoneSessions(2));
  for (TFakeRequest* request : {&good, &failing}) {
    std::lock_guard<std::mutex> guard(lock);
    ASSERT_EQ(servedOn.count(request->Ecb()), 1u);
    EXPECT_NE(servedOn[request->Ecb()], poster);
    EXPECT_EQ(request->Written(), "served");
  }
  ExpectEndedWith(good, HSE_STATUS_SUCCESS);
  ExpectEndedWith(failing, HSE_STATUS_ERROR);
  // Done-with-session is the last thing the pool does with a request.
  EXPECT_EQ(good.Calls().back().Code, HSE_REQ_DONE_WITH_SESSION);

  // Idle workers take their stop packets and leave before StopPool returns.
  pool->StopPool();
  EXPECT_EQ(RunningPoolWorkers(), 0u);
  EXPECT_EQ(pool->ThreadCount(), 0);
  EXPECT_EQ(pool->RequestQueue(), TISAPIThreadPool::RequestQueueNotStarted);
  EXPECT_FALSE(platform::PostCompletionPacket(port, {}));
  EXPECT_EQ(QueuedRequestCount(), 0u);
  TFakeRequest& late = FHost.NewRequest();
  EXPECT_FALSE(pool->PostRequest(late.Ecb()));
  EXPECT_TRUE(late.Calls().empty());

  // The number of workers is the process-wide setting at the time of the start.
  PoolThreadCount = 3;
  pool->StartPool();
  EXPECT_EQ(pool->ThreadCount(), 3);
  EXPECT_EQ(RunningPoolWorkers(), 3u);
  pool.reset(); // destruction stops the pool
  EXPECT_EQ(RunningPoolWorkers(), 0u);
}

TEST_F(TISAPIThreadPoolTest, PoolThatNeverStartedDoesNothing) {
  std::unique_ptr<TISAPIThreadPool> pool = TISAPIThreadPool::Create(false);
  EXPECT_FALSE(pool->InitCOM());
  pool->SetMin(1);
  pool->SetMax(32);
  EXPECT_EQ(pool->Min(), 0);
  EXPECT_EQ(pool->Max(), 0);

  TFakeRequest& request = FHost.NewRequest();
  EXPECT_FALSE(pool->PostRequest(request.Ecb()));
  EXPECT_EQ(QueuedRequestCount(), 0u);
  EXPECT_TRUE(request.Calls().empty());

  pool->StopPool();
  EXPECT_EQ(pool->RequestQueue(), TISAPIThreadPool::RequestQueueNotStarted);
  EXPECT_EQ(pool->ThreadCount(), 0);
  EXPECT_EQ(RunningPoolWorkers(), 0u);
  pool->StopPoolNoWait();
  EXPECT_EQ(pool->RequestQueue(), TISAPIThreadPool::RequestQueueNotStarted);

  // A started pool refuses a missing control block.
  pool->StartPool();
  EXPECT_FALSE(pool->PostRequest(nullptr));
  EXPECT_EQ(QueuedRequestCount(), 0u);
}

TEST_F(TISAPIThreadPoolTest, PoolWithoutWorkersRefusesRequestsAndEndsThoseItTook) {
  TNoThreadPool pool;
  TFakeRequest& meanwhile = FHost.NewRequest();
  pool.DuringStart = [&] { EXPECT_TRUE(pool.PostRequest(meanwhile.Ecb())); };
  pool.StartPool();
  EXPECT_EQ(pool.ThreadCount(), 0);
  EXPECT_EQ(pool.RequestQueue(), platform::NoHandle);
  ExpectEndedWith(meanwhile, HSE_STATUS_ERROR);
  TFakeRequest& later = FHost.NewRequest();
  EXPECT_FALSE(pool.PostRequest(later.Ecb()));
  EXPECT_TRUE(later.Calls().empty());
  pool.StopPool();
  EXPECT_EQ(QueuedRequestCount(), 0u);
}

// The application entry changes, as at unload, while workers read it. (The thread sanitizer
// sees an unsynchronised write.)
TEST_F(TISAPIThreadPoolTest, ApplicationEntryChangesWhileWorkersServe) {
  std::unique_ptr<TISAPIThreadPool> pool = TISAPIThreadPool::Create(false);
  pool->StartPool();
  std::vector<TFakeRequest*> requests;
  for (int i = 0; i < 50; ++i)
    requests.push_back(&FHost.NewRequest());
  std::thread unloading([] {
    for (int i = 0; i < 50; ++i)
      PoolRequestProc = i % 2 != 0 ? &RunTestApplication : nullptr;
  });
  for (TFakeRequest* request : requests)
    EXPECT_TRUE(pool->PostRequest(request->Ecb()));
  unloading.join();
  ASSERT_TRUE(FHost.WaitForDoneSessions(50));
  for (TFakeRequest* request : requests)
    EXPECT_EQ(DoneCalls(*request).size(), 1u);
  pool->StopPool();
}

TEST_F(TISAPIThreadPoolTest, EveryRequestQueuedBeforeStopIsServed) {
  constexpr int Blocked = 25;
  constexpr int Queued = 300;
  TGate gate;
  TCounter entered;
  std::atomic<int> served{0};
  TestApplication = [&](EXTENSION_CONTROL_BLOCK* ecb) {
    entered.Add();
    gate.Wait();
    Write(ecb, "x");
    served.fetch_add(1);
    return HSE_STATUS_SUCCESS;
  };
  std::unique_ptr<TISAPIThreadPool> pool = TISAPIThreadPool::Create(false);
  pool->StartPool();
  std::vector<TFakeRequest*> requests;
  for (int i = 0; i < Blocked + Queued; ++i) {
    requests.push_back(&FHost.NewRequest());
    ASSERT_TRUE(pool->PostRequest(requests.back()->Ecb()));
  }
  // Every worker is busy, so the rest wait in the port ahead of the stop packets.
  ASSERT_TRUE(entered.WaitFor(Blocked));
  std::thread opener([&] { gate.Open(); });
  pool->StopPool();
  opener.join();

  EXPECT_EQ(served.load(), Blocked + Queued);
  EXPECT_EQ(FHost.DoneSessions(), static_cast<std::size_t>(Blocked + Queued));
  for (TFakeRequest* request : requests) {
    EXPECT_EQ(request->Written(), "x");
    ExpectEndedWith(*request, HSE_STATUS_SUCCESS);
  }
}

TEST_F(TISAPIThreadPoolTest, FailedApplicationStillEndsTheSessionAsFailed) {
  PoolThreadCount = 1;
  std::mutex lock;
  std::set<std::uint64_t> workers;
  TFakeRequest& throwsException = FHost.NewRequest();
  TFakeRequest& throwsOther = FHost.NewRequest();
  TFakeRequest& succeeds = FHost.NewRequest();
  TestApplication = [&](EXTENSION_CONTROL_BLOCK* ecb) -> DWORD {
    {
      std::lock_guard<std::mutex> guard(lock);
      workers.insert(platform::CurrentThreadId());
    }
    if (ecb == throwsException.Ecb())
      throw std::runtime_error("failed");
    if (ecb == throwsOther.Ecb())
      throw 42;
    return HSE_STATUS_SUCCESS;
  };
  std::unique_ptr<TISAPIThreadPool> pool = TISAPIThreadPool::Create(false);
  pool->StartPool();
  ASSERT_TRUE(pool->PostRequest(throwsException.Ecb()));
  ASSERT_TRUE(pool->PostRequest(throwsOther.Ecb()));
  ASSERT_TRUE(pool->PostRequest(succeeds.Ecb()));
  ASSERT_TRUE(FHost.WaitForDoneSessions(3));
  ExpectEndedWith(throwsException, HSE_STATUS_ERROR);
  ExpectEndedWith(throwsOther, HSE_STATUS_ERROR);
  // The one worker survived both exceptions.
  ExpectEndedWith(succeeds, HSE_STATUS_SUCCESS);
  {
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(workers.size(), 1u);
  }

  // Without an application entry the request is answered as failed, with nothing written.
  PoolRequestProc = nullptr;
  TFakeRequest& unserved = FHost.NewRequest();
  ASSERT_TRUE(pool->PostRequest(unserved.Ecb()));
  ASSERT_TRUE(FHost.WaitForDoneSessions(4));
  ExpectEndedWith(unserved, HSE_STATUS_ERROR);
  EXPECT_EQ(unserved.Calls().size(), 1u);
  pool->StopPool();
}

TEST_F(TISAPIThreadPoolTest, FailedPostFreesTheRecordAndItsToken) {
  TNoPortPool pool;
  pool.StartPool();
  EXPECT_EQ(pool.RequestQueue(), platform::NoHandle);
  EXPECT_EQ(pool.ThreadCount(), 25);
  // Without a port the workers end at their first wait.
  EXPECT_TRUE(WaitForPoolWorkers(0, GuardWait));
  pool.StartPool();
  EXPECT_EQ(pool.ThreadCount(), 25);
  EXPECT_EQ(RunningPoolWorkers(), 0u);

  TFakeRequest& request = FHost.NewRequest();
  const bool impersonating = platform::ImpersonateProcessIdentity();
  EXPECT_EQ(impersonating, platform::ThreadTokensSupported());
  EXPECT_FALSE(pool.PostRequest(request.Ecb()));
  EXPECT_EQ(QueuedRequestCount(), 0u);
  EXPECT_TRUE(request.Calls().empty());
  ASSERT_EQ(pool.Tokens.size(), 1u);
  if (impersonating) {
    EXPECT_NE(pool.Tokens[0], platform::NoHandle);
    // The pool opened a handle of its own and closed it; the thread's token is untouched.
    EXPECT_FALSE(platform::CloseToken(pool.Tokens[0]));
    EXPECT_TRUE(platform::ThreadHoldsToken());
    EXPECT_TRUE(platform::RevertImpersonation());
  }
  EXPECT_FALSE(platform::ThreadHoldsToken());
  pool.StopPool();
  EXPECT_EQ(pool.ThreadCount(), 0);
  EXPECT_EQ(pool.RequestQueue(), TISAPIThreadPool::RequestQueueNotStarted);
}

TEST_F(TISAPIThreadPoolTest, AtMostPoolThreadCountRequestsAreInProgress) {
  constexpr int Requests = 26;
  TGate gate;
  TCounter entered;
  std::mutex lock;
  int inProgress = 0;
  int mostInProgress = 0;
  std::set<EXTENSION_CONTROL_BLOCK*> started;
  TestApplication = [&](EXTENSION_CONTROL_BLOCK* ecb) {
    {
      std::lock_guard<std::mutex> guard(lock);
      started.insert(ecb);
      mostInProgress = std::max(mostInProgress, ++inProgress);
    }
    entered.Add();
    gate.Wait();
    {
      std::lock_guard<std::mutex> guard(lock);
      --inProgress;
    }
    return HSE_STATUS_SUCCESS;
  };
  std::unique_ptr<TISAPIThreadPool> pool = TISAPIThreadPool::Create(false);
  pool->StartPool();
  std::vector<TFakeRequest*> requests;
  for (int i = 0; i < Requests; ++i) {
    requests.push_back(&FHost.NewRequest());
    ASSERT_TRUE(pool->PostRequest(requests.back()->Ecb()));
  }
  ASSERT_TRUE(entered.WaitFor(25));
  {
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(inProgress, 25);
    EXPECT_EQ(started.size(), 25u);
  }
  EXPECT_EQ(FHost.DoneSessions(), 0u);
  int waiting = 0;
  for (TFakeRequest* request : requests) {
    std::lock_guard<std::mutex> guard(lock);
    if (started.count(request->Ecb()) == 0) {
      ++waiting;
      EXPECT_TRUE(request->Calls().empty());
    }
  }
  EXPECT_EQ(waiting, 1);

  gate.Open();
  ASSERT_TRUE(FHost.WaitForDoneSessions(Requests));
  pool->StopPool();
  EXPECT_EQ(mostInProgress, 25);
  for (TFakeRequest* request : requests)
    ExpectEndedWith(*request, HSE_STATUS_SUCCESS);
}

TEST_F(TISAPIThreadPoolTest, RequestRunsUnderTheIdentityOfItsCaller) {
  // One worker serves both, the second right after the first.
  PoolThreadCount = 1;
  std::mutex lock;
  std::map<EXTENSION_CONTROL_BLOCK*, std::pair<std::uint64_t, bool>> seen;
  TestApplication = [&](EXTENSION_CONTROL_BLOCK* ecb) {
    std::lock_guard<std::mutex> guard(lock);
    seen[ecb] = {platform::CurrentThreadId(), platform::ThreadHoldsToken()};
    return HSE_STATUS_SUCCESS;
  };
  std::unique_ptr<TISAPIThreadPool> pool = TISAPIThreadPool::Create(false);
  pool->StartPool();
  TFakeRequest& impersonated = FHost.NewRequest();
  TFakeRequest& plain = FHost.NewRequest();

  const bool tokens = platform::ThreadTokensSupported();
  EXPECT_EQ(platform::ImpersonateProcessIdentity(), tokens);
  ASSERT_TRUE(pool->PostRequest(impersonated.Ecb()));
  // The pool took a handle of its own: the caller still holds its token.
  EXPECT_EQ(platform::ThreadHoldsToken(), tokens);
  EXPECT_TRUE(platform::RevertImpersonation());
  EXPECT_FALSE(platform::ThreadHoldsToken());
  ASSERT_TRUE(pool->PostRequest(plain.Ecb()));
  ASSERT_TRUE(FHost.WaitForDoneSessions(2));
  pool->StopPool();

  std::lock_guard<std::mutex> guard(lock);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[impersonated.Ecb()].second, tokens);
  EXPECT_FALSE(seen[plain.Ecb()].second);
  EXPECT_EQ(seen[impersonated.Ecb()].first, seen[plain.Ecb()].first);
  ExpectEndedWith(impersonated, HSE_STATUS_SUCCESS);
  ExpectEndedWith(plain, HSE_STATUS_SUCCESS);
}

TEST_F(TISAPIThreadPoolTest, CallerTokenThatCannotBeUsedGivesThe500Page) {
  const bool tokens = platform::ThreadTokensSupported();
  TCounter served;
  TestApplication = [&](EXTENSION_CONTROL_BLOCK* ecb) {
    Write(ecb, platform::ThreadHoldsToken() ? "token" : "none");
    served.Add();
    return HSE_STATUS_SUCCESS;
  };
  const auto expectErrorPage = [](const TFakeRequest& request) {
    const std::vector<TFakeCall> headers = request.SupportCalls(HSE_REQ_SEND_RESPONSE_HEADER);
    ASSERT_EQ(headers.size(), 1u);
    EXPECT_EQ(headers[0].Buffer, "500 Internal Server Error");
    const std::string page = request.Written();
    EXPECT_NE(page.find("Internal Server Error 500"), std::string::npos);
    EXPECT_EQ(headers[0].DataType, "Content-Type: text/html\r\nContent-Length: " +
                                       std::to_string(page.size()) + "\r\n\r\n");
    EXPECT_EQ(request.HttpStatusCode(), 500u);
    ExpectEndedWith(request, HSE_STATUS_ERROR);
  };

  {
    // Neither the caller's nor the process's identity may open the token.
    TScriptedTokenPool pool([&](bool) { return AccessDenied; });
    pool.StartPool();
    TFakeRequest& request = FHost.NewRequest();
    ASSERT_TRUE(pool.PostRequest(request.Ecb()));
    ASSERT_TRUE(FHost.WaitForDoneSessions(1));
    pool.StopPool();
    EXPECT_EQ(pool.Attempts, (std::vector<bool>{false, true}));
    EXPECT_EQ(served.Value(), 0);
    expectErrorPage(request);
  }
  {
    // No token is no failure: one attempt, served as the worker.
    TScriptedTokenPool pool([](bool) {
      return platform::TThreadToken{platform::NoHandle, platform::ErrorNoToken};
    });
    pool.StartPool();
    TFakeRequest& request = FHost.NewRequest();
    ASSERT_TRUE(pool.PostRequest(request.Ecb()));
    ASSERT_TRUE(FHost.WaitForDoneSessions(2));
    pool.StopPool();
    EXPECT_EQ(pool.Attempts, (std::vector<bool>{false}));
    EXPECT_EQ(request.Written(), "none");
    ExpectEndedWith(request, HSE_STATUS_SUCCESS);
  }
  {
    // A token that cannot be impersonated: on Windows one opened for queries only; where
    // there are no tokens, any token at all.
    TScriptedTokenPool pool([tokens](bool openAsSelf) {
      return tokens ? platform::OpenCurrentThreadToken(0x0008 /*TOKEN_QUERY*/, openAsSelf)
                    : platform::TThreadToken{0x4D, 0};
    });
    pool.StartPool();
    TFakeRequest& request = FHost.NewRequest();
    EXPECT_EQ(platform::ImpersonateProcessIdentity(), tokens);
    ASSERT_TRUE(pool.PostRequest(request.Ecb()));
    EXPECT_TRUE(platform::RevertImpersonation());
    ASSERT_TRUE(FHost.WaitForDoneSessions(3));
    pool.StopPool();
    EXPECT_EQ(pool.Attempts, (std::vector<bool>{false}));
    EXPECT_EQ(served.Value(), 1);
    expectErrorPage(request);
  }
  if (tokens) {
    // The caller's identity may not open its token, the process's may: served with it.
    TScriptedTokenPool pool([](bool openAsSelf) {
      return openAsSelf ? platform::OpenCurrentThreadToken(platform::TokenAllAccess, true)
                        : AccessDenied;
    });
    pool.StartPool();
    TFakeRequest& request = FHost.NewRequest();
    EXPECT_TRUE(platform::ImpersonateProcessIdentity());
    ASSERT_TRUE(pool.PostRequest(request.Ecb()));
    EXPECT_TRUE(platform::RevertImpersonation());
    ASSERT_TRUE(FHost.WaitForDoneSessions(4));
    pool.StopPool();
    EXPECT_EQ(pool.Attempts, (std::vector<bool>{false, true}));
    EXPECT_EQ(request.Written(), "token");
    ExpectEndedWith(request, HSE_STATUS_SUCCESS);
  }
}

TEST_F(TISAPIThreadPoolTest, ComWorkersServeLikeTheOthers) {
  std::unique_ptr<TISAPIThreadPool> com = TISAPIThreadPool::Create(true);
  EXPECT_TRUE(com->InitCOM());
  std::unique_ptr<TISAPIThreadPool> switched = TISAPIThreadPool::Create(false);
  switched->SetInitCOM(true);
  EXPECT_TRUE(switched->InitCOM());
  TestApplication = [](EXTENSION_CONTROL_BLOCK* ecb) {
    Write(ecb, "com");
    return HSE_STATUS_SUCCESS;
  };
  std::size_t done = 0;
  for (TISAPIThreadPool* pool : {com.get(), switched.get()}) {
    pool->StartPool();
    EXPECT_EQ(pool->ThreadCount(), 25);
    TFakeRequest& request = FHost.NewRequest();
    ASSERT_TRUE(pool->PostRequest(request.Ecb()));
    ASSERT_TRUE(FHost.WaitForDoneSessions(++done));
    pool->StopPool();
    EXPECT_EQ(request.Written(), "com");
    ExpectEndedWith(request, HSE_STATUS_SUCCESS);
  }
  EXPECT_EQ(RunningPoolWorkers(), 0u);
}

TEST_F(TISAPIThreadPoolTest, StopWithoutWaitingLeavesWorkersToFinish) {
  constexpr int Requests = 30;
  TGate gate;
  TCounter entered;
  TestApplication = [&](EXTENSION_CONTROL_BLOCK* ecb) {
    entered.Add();
    gate.Wait();
    Write(ecb, "late");
    return HSE_STATUS_SUCCESS;
  };
  std::unique_ptr<TISAPIThreadPool> pool = TISAPIThreadPool::Create(false);
  pool->StartPool();
  std::vector<TFakeRequest*> requests;
  for (int i = 0; i < Requests; ++i) {
    requests.push_back(&FHost.NewRequest());
    ASSERT_TRUE(pool->PostRequest(requests.back()->Ecb()));
  }
  ASSERT_TRUE(entered.WaitFor(25));
  // Returns although every worker is held inside a request.
  pool->StopPoolNoWait();
  EXPECT_EQ(pool->RequestQueue(), TISAPIThreadPool::RequestQueueNotStarted);
  EXPECT_EQ(pool->ThreadCount(), 0);
  EXPECT_EQ(RunningPoolWorkers(), 25u);
  TFakeRequest& refused = FHost.NewRequest();
  EXPECT_FALSE(pool->PostRequest(refused.Ecb()));
  pool.reset(); // the destructor has nothing left to wait for

  gate.Open();
  ASSERT_TRUE(FHost.WaitForDoneSessions(Requests));
  ASSERT_TRUE(WaitForPoolWorkers(0, GuardWait));
  for (TFakeRequest* request : requests) {
    EXPECT_EQ(request->Written(), "late");
    ExpectEndedWith(*request, HSE_STATUS_SUCCESS);
  }
  EXPECT_TRUE(refused.Calls().empty());
}

TEST_F(TISAPIThreadPoolTest, StopForUnloadServesWhatIsQueuedAndClosesThePort) {
  std::unique_ptr<TISAPIThreadPool> pool = TISAPIThreadPool::Create(false);
  pool->StartPool();
  const platform::THandle port = pool->RequestQueue();
  for (int i = 0; i < 40; ++i)
    ASSERT_TRUE(pool->PostRequest(FHost.NewRequest().Ecb()));
  EXPECT_TRUE(pool->StopPoolForUnload(GuardWait));
  EXPECT_EQ(FHost.DoneSessions(), 40u);
  EXPECT_EQ(pool->ThreadCount(), 0);
  EXPECT_FALSE(platform::PostCompletionPacket(port, platform::TCompletionPacket{}));
}

#else // ISAPI_WEB_POOL_STRESS

TEST_F(TISAPIThreadPoolTest, StressEveryRequestAnsweredOnce) {
  constexpr int Posters = 64;
  constexpr int Total = 100000;
  constexpr int Batch = 250;
  std::atomic<int> served{0};
  TestApplication = [&](EXTENSION_CONTROL_BLOCK* ecb) {
    served.fetch_add(1, std::memory_order_relaxed);
    return Write(ecb, "s") ? HSE_STATUS_SUCCESS : HSE_STATUS_ERROR;
  };
  std::unique_ptr<TISAPIThreadPool> pool = TISAPIThreadPool::Create(false);
  std::vector<std::unique_ptr<TFakeIsapiHost>> hosts(Posters);
  std::atomic<int> refused{0};
  std::atomic<int> unanswered{0};
  std::vector<std::thread> posters;
  for (int p = 0; p < Posters; ++p) {
    hosts[p] = std::make_unique<TFakeIsapiHost>();
    const int count = Total / Posters + (p < Total % Posters ? 1 : 0);
    posters.emplace_back([&, p, count] {
      TFakeIsapiHost& host = *hosts[p];
      for (int posted = 0; posted < count;) {
        const int batch = std::min(Batch, count - posted);
        for (int i = 0; i < batch; ++i) {
          // As the extension's entry does: start on first use, then queue.
          pool->StartPool();
          if (!pool->PostRequest(host.NewRequest().Ecb()))
            refused.fetch_add(1);
        }
        posted += batch;
        if (!host.WaitForDoneSessions(static_cast<std::size_t>(posted)))
          unanswered.fetch_add(1);
      }
    });
  }
  for (std::thread& poster : posters)
    poster.join();
  EXPECT_EQ(pool->ThreadCount(), 25);
  pool->StopPool();

  EXPECT_EQ(refused.load(), 0);
  EXPECT_EQ(unanswered.load(), 0);
  EXPECT_EQ(served.load(), Total);
  std::size_t requests = 0;
  for (const std::unique_ptr<TFakeIsapiHost>& host : hosts) {
    EXPECT_TRUE(host->RejectedCalls().empty());
    for (std::size_t i = 0; i < host->RequestCount(); ++i) {
      const TFakeRequest& request = host->Request(i);
      ExpectEndedWith(request, HSE_STATUS_SUCCESS);
      EXPECT_EQ(request.Written(), "s");
      ++requests;
    }
  }
  EXPECT_EQ(requests, static_cast<std::size_t>(Total));
}

#endif // ISAPI_WEB_POOL_STRESS

} // namespace
} // namespace isapi_web
