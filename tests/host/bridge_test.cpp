#include "host/bridge.h"

#include <condition_variable>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "host/extension.h"
#include "host/host_system.h"

namespace isapi_web::host {
namespace {

// The client side of one request, as the bridge sees it.
class TRecordingChannel : public IClientChannel {
public:
  TSendResult SendNow(std::string_view bytes) override {
    std::lock_guard lock(FMutex);
    ++SendCalls;
    if (SendResult != TSendResult::Sent)
      return SendResult;
    Sent += bytes;
    return TSendResult::Sent;
  }
  // Hands out the pieces of Incoming one per call, then ends with Last.
  TReceiveResult ReceiveBody(void* buffer, std::size_t size, std::size_t& received) override {
    received = 0;
    if (Incoming.empty())
      return Last;
    std::string& next = Incoming.front();
    received = std::min(size, next.size());
    std::memcpy(buffer, next.data(), received);
    next.erase(0, received);
    if (next.empty())
      Incoming.erase(Incoming.begin());
    return TReceiveResult::Received;
  }
  void PendingStarted() override {
    std::lock_guard lock(FMutex);
    Pending = true;
  }
  void RequestEnded(std::shared_ptr<IClientChannel>, TRequestOutcome outcome,
                    bool onOwnerThread) override {
    {
      std::lock_guard lock(FMutex);
      Sent += outcome.Bytes;
      Outcome = std::move(outcome);
      EndedOnOwner = onOwnerThread;
      ++Ends;
    }
    FChanged.notify_all();
  }
  void WaitEnded() {
    std::unique_lock lock(FMutex);
    FChanged.wait(lock, [this] { return Ends > 0; });
  }

  std::mutex FMutex;
  std::condition_variable FChanged;
  std::string Sent;
  int SendCalls = 0;
  TSendResult SendResult = TSendResult::Sent; ///< what every send answers
  std::vector<std::string> Incoming;          ///< the body beyond what the request was given
  TReceiveResult Last = TReceiveResult::End;
  bool Pending = false;
  TRequestOutcome Outcome;
  bool EndedOnOwner = false;
  int Ends = 0;
};

std::function<DWORD(EXTENSION_CONTROL_BLOCK*)> Script;

BOOL ISAPI_CALL StartScripted(HSE_VERSION_INFO* version) {
  version->dwExtensionVersion = HSE_VERSION;
  return 1;
}
DWORD ISAPI_CALL RunScripted(EXTENSION_CONTROL_BLOCK* ecb) {
  return Script(ecb);
}
BOOL ISAPI_CALL TerminateScripted(DWORD) {
  return 1;
}

BOOL Redirect(EXTENSION_CONTROL_BLOCK* ecb, const char* url) {
  return ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_URL_REDIRECT_RESP,
                                    const_cast<char*>(url), nullptr, nullptr);
}
BOOL Header(EXTENSION_CONTROL_BLOCK* ecb, const char* status, const char* block) {
  return ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER,
                                    const_cast<char*>(status), nullptr,
                                    reinterpret_cast<LPDWORD>(const_cast<char*>(block)));
}
BOOL Write(EXTENSION_CONTROL_BLOCK* ecb, std::string text, HCONN conn = nullptr) {
  DWORD bytes = static_cast<DWORD>(text.size());
  return ecb->WriteClient(conn ? conn : ecb->ConnID, text.data(), &bytes, 0);
}
BOOL Done(EXTENSION_CONTROL_BLOCK* ecb, DWORD* status = nullptr) {
  return ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_DONE_WITH_SESSION, status, nullptr,
                                    nullptr);
}

class BridgeTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string error;
    FExtension = TExtension::FromEntryPoints(
        "scripted", {StartScripted, RunScripted, TerminateScripted}, error);
    ASSERT_TRUE(FExtension) << error;
    FSetup.Info.Method = "GET";
    FSetup.Info.ScriptName = "/scripts/x.dll";
    FSetup.Info.PathInfo = "/p";
    FSetup.Info.Query = "q=1";
    FSetup.Info.Headers = {{"Host", "localhost"}, {"Referer", "http://a/"}};
    FSetup.TotalBytes = 0;
  }

  // Runs the script as one request; answers what the client received.
  std::string Serve(std::function<DWORD(EXTENSION_CONTROL_BLOCK*)> script) {
    Script = std::move(script);
    FChannel = std::make_shared<TRecordingChannel>();
    FRequest = TRequest::Create(*FExtension, FSetup, FChannel);
    FRequest->Run();
    FChannel->WaitEnded();
    std::lock_guard lock(FChannel->FMutex);
    return FChannel->Sent;
  }

  std::unique_ptr<TExtension> FExtension;
  TRequestSetup FSetup;
  std::shared_ptr<TRecordingChannel> FChannel;
  std::shared_ptr<TRequest> FRequest;
};

std::string BodyOf(const std::string& response) {
  const std::size_t end = response.find("\r\n\r\n");
  return end == std::string::npos ? "" : response.substr(end + 4);
}

TEST_F(BridgeTest, RedirectSendsObjectMovedWithTheTargetByteForByte) {
  const char* target = "http://example.com/back page?x=1&y=\xE9\xFF#frag";
  const std::string response = Serve([&](EXTENSION_CONTROL_BLOCK* ecb) {
    EXPECT_TRUE(Redirect(ecb, target));
    return HSE_STATUS_SUCCESS;
  });
  EXPECT_EQ(response.rfind("HTTP/1.1 302 Object Moved\r\nLocation: " + std::string(target) +
                               "\r\nContent-Type: text/html\r\nContent-Length: ",
                           0),
            0u)
      << response;
  EXPECT_NE(response.find("\r\nServer: isapi-host/"), std::string::npos);
  EXPECT_NE(response.find("\r\nDate: "), std::string::npos);
  const std::string body = BodyOf(response);
  EXPECT_NE(body.find("<a HREF=\"http://example.com/back page?x=1&amp;y=\xE9\xFF#frag\">"),
            std::string::npos)
      << body;
  EXPECT_NE(response.find("Content-Length: " + std::to_string(body.size()) + "\r\n"),
            std::string::npos);
  EXPECT_EQ(FChannel->Outcome.Status, 302u);
  EXPECT_TRUE(FChannel->Outcome.KeepAlive);
}

TEST_F(BridgeTest, ARedirectWithAControlCharacterIsRefusedAndNothingIsSent) {
  for (const char* target : {"", "http://a/\r\nX-Evil: 1", "http://a/\nX-Evil: 1", "a\rb", "a\tb",
                             "a\x01"
                             "b",
                             "a\x7f"
                             "b"}) {
    BOOL answer = 1;
    DWORD error = 0;
    const std::string response = Serve([&](EXTENSION_CONTROL_BLOCK* ecb) {
      answer = Redirect(ecb, target);
      error = CallError();
      return HSE_STATUS_SUCCESS;
    });
    EXPECT_EQ(answer, 0) << target;
    EXPECT_EQ(error, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(response.rfind("HTTP/1.1 502 Bad Gateway\r\n", 0), 0u) << response;
    EXPECT_EQ(response.find("X-Evil"), std::string::npos);
    EXPECT_EQ(response.find("Location"), std::string::npos);
    EXPECT_NE(BodyOf(response).find(*target ? "invalid target" : "empty target"), std::string::npos)
        << BodyOf(response);
  }
}

TEST_F(BridgeTest, TheHeaderCallFramesTheBodyByTheExtensionsContentLength) {
  const std::string response = Serve([](EXTENSION_CONTROL_BLOCK* ecb) {
    EXPECT_TRUE(Header(ecb, "201 Created", "X-A: 1\r\nContent-Length: 4\r\n\r\nab"));
    EXPECT_TRUE(Write(ecb, "cdEXTRA")); // past the declared length: dropped
    return HSE_STATUS_SUCCESS;
  });
  EXPECT_EQ(response.rfind("HTTP/1.1 201 Created\r\nX-A: 1\r\nContent-Length: 4\r\n", 0), 0u)
      << response;
  EXPECT_EQ(BodyOf(response), "abcd");
  EXPECT_EQ(FChannel->Outcome.Status, 201u);
  EXPECT_TRUE(FChannel->Outcome.KeepAlive);
}

TEST_F(BridgeTest, WithoutContentLengthHttp11IsChunkedAndHttp10Closes) {
  auto script = [](EXTENSION_CONTROL_BLOCK* ecb) {
    EXPECT_TRUE(Header(ecb, nullptr, "Content-Type: text/plain\r\n\r\nab"));
    EXPECT_TRUE(Write(ecb, ""));
    EXPECT_TRUE(Write(ecb, "cde"));
    return HSE_STATUS_SUCCESS;
  };
  const std::string chunked = Serve(script);
  EXPECT_EQ(chunked.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  EXPECT_NE(chunked.find("Transfer-Encoding: chunked\r\n"), std::string::npos);
  EXPECT_EQ(BodyOf(chunked), "2\r\nab\r\n3\r\ncde\r\n0\r\n\r\n");
  EXPECT_TRUE(FChannel->Outcome.KeepAlive);

  FSetup.Connection.Http10 = true;
  const std::string closing = Serve(script);
  EXPECT_EQ(closing.find("Transfer-Encoding"), std::string::npos);
  EXPECT_NE(closing.find("Connection: close\r\n"), std::string::npos);
  EXPECT_EQ(BodyOf(closing), "abcde");
  EXPECT_FALSE(FChannel->Outcome.KeepAlive);
}

TEST_F(BridgeTest, WriteClientBeforeAnyHeaderIsTheBodyOfA200) {
  const std::string response = Serve([](EXTENSION_CONTROL_BLOCK* ecb) {
    EXPECT_TRUE(Write(ecb, "raw"));
    return HSE_STATUS_SUCCESS;
  });
  EXPECT_EQ(response.rfind("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n", 0), 0u) << response;
  EXPECT_EQ(BodyOf(response), "3\r\nraw\r\n0\r\n\r\n");
}

TEST_F(BridgeTest, RefusedHeaderCallsSendNothing) {
  std::vector<std::pair<BOOL, DWORD>> answers;
  const std::string response = Serve([&](EXTENSION_CONTROL_BLOCK* ecb) {
    for (const char* block :
         {"NoColon\r\n\r\n", "A: 1\r\n", "A: 1\rB: 2\r\n\r\n", "Content-Length: 12x\r\n\r\n"}) {
      const BOOL answer = Header(ecb, "200 OK", block);
      answers.emplace_back(answer, CallError());
    }
    const BOOL badStatus = Header(ecb, "20 OK\r\nX-Evil: 1", nullptr);
    answers.emplace_back(badStatus, CallError());
    return HSE_STATUS_SUCCESS;
  });
  for (const auto& [answer, error] : answers) {
    EXPECT_EQ(answer, 0);
    EXPECT_EQ(error, ERROR_INVALID_PARAMETER);
  }
  EXPECT_EQ(response.rfind("HTTP/1.1 502 Bad Gateway\r\n", 0), 0u);
  EXPECT_EQ(response.find("X-Evil"), std::string::npos);
}

TEST_F(BridgeTest, ASecondHeaderCallAndAHeaderAfterARedirectAreRefused) {
  BOOL second = 1;
  BOOL afterRedirect = 1;
  BOOL redirectAfterHeader = 1;
  Serve([&](EXTENSION_CONTROL_BLOCK* ecb) {
    EXPECT_TRUE(Header(ecb, "200 OK", "A: 1\r\n\r\n"));
    second = Header(ecb, "200 OK", "B: 1\r\n\r\n");
    EXPECT_EQ(CallError(), ERROR_INVALID_PARAMETER);
    redirectAfterHeader = Redirect(ecb, "http://a/");
    return HSE_STATUS_SUCCESS;
  });
  Serve([&](EXTENSION_CONTROL_BLOCK* ecb) {
    EXPECT_TRUE(Redirect(ecb, "http://a/"));
    afterRedirect = Header(ecb, "200 OK", nullptr);
    return HSE_STATUS_SUCCESS;
  });
  EXPECT_EQ(second, 0);
  EXPECT_EQ(afterRedirect, 0);
  EXPECT_EQ(redirectAfterHeader, 0);
}

TEST_F(BridgeTest, HeadSendsTheHeadWithoutTheBody) {
  FSetup.Info.Method = "HEAD";
  FSetup.HeadOnly = true;
  const std::string response = Serve([](EXTENSION_CONTROL_BLOCK* ecb) {
    EXPECT_TRUE(Header(ecb, "200 OK", "Content-Length: 5\r\n\r\nhel"));
    EXPECT_TRUE(Write(ecb, "lo"));
    return HSE_STATUS_SUCCESS;
  });
  EXPECT_NE(response.find("Content-Length: 5\r\n"), std::string::npos);
  EXPECT_EQ(BodyOf(response), "");
  EXPECT_TRUE(FChannel->Outcome.KeepAlive);
}

// Bytes a client does not read as a body would be read as the start of the next answer.
TEST_F(BridgeTest, InterimStatusesAreRefusedAnd204Or304SendNoBody) {
  BOOL interim = 1;
  DWORD interimError = 0;
  std::string response = Serve([&](EXTENSION_CONTROL_BLOCK* ecb) {
    interim = Header(ecb, "100 Made", "Content-Type: text/plain\r\n\r\nbody");
    interimError = CallError();
    return HSE_STATUS_SUCCESS;
  });
  EXPECT_EQ(interim, 0);
  EXPECT_EQ(interimError, ERROR_INVALID_PARAMETER);
  EXPECT_EQ(response.rfind("HTTP/1.1 502 Bad Gateway\r\n", 0), 0u) << response;

  response = Serve([](EXTENSION_CONTROL_BLOCK* ecb) {
    EXPECT_TRUE(Header(ecb, "204 No Content", "X-A: 1\r\n\r\nearly"));
    EXPECT_TRUE(Write(ecb, "late"));
    return HSE_STATUS_SUCCESS;
  });
  EXPECT_EQ(response.rfind("HTTP/1.1 204 No Content\r\nX-A: 1\r\n", 0), 0u) << response;
  EXPECT_EQ(response.find("Transfer-Encoding"), std::string::npos) << response;
  EXPECT_EQ(response.substr(response.size() - 4), "\r\n\r\n") << response;
  EXPECT_TRUE(FChannel->Outcome.KeepAlive);

  // A 304 may name the length of what it stands for; nothing follows it all the same.
  response = Serve([](EXTENSION_CONTROL_BLOCK* ecb) {
    EXPECT_TRUE(Header(ecb, "304 Not Modified", "Content-Length: 10\r\n\r\n"));
    EXPECT_TRUE(Write(ecb, "0123456789"));
    return HSE_STATUS_SUCCESS;
  });
  EXPECT_NE(response.find("\r\nContent-Length: 10\r\n"), std::string::npos) << response;
  EXPECT_EQ(response.substr(response.size() - 4), "\r\n\r\n") << response;
  EXPECT_TRUE(FChannel->Outcome.KeepAlive);
}

TEST_F(BridgeTest, AnErrorWithNothingSentIs500AndClosesTheConnection) {
  const std::string response = Serve([](EXTENSION_CONTROL_BLOCK*) { return HSE_STATUS_ERROR; });
  EXPECT_EQ(response.rfind("HTTP/1.1 500 Internal Server Error\r\n", 0), 0u);
  EXPECT_NE(response.find("Connection: close\r\n"), std::string::npos);
  EXPECT_FALSE(FChannel->Outcome.KeepAlive);
  EXPECT_EQ(FChannel->Outcome.Status, 500u);
}

// A client that is not told keeps the connection for a next request and loses it to the close.
TEST_F(BridgeTest, AnAnswerAfterWhichTheHostClosesSaysConnectionClose) {
  auto erroring = [](EXTENSION_CONTROL_BLOCK* ecb) {
    EXPECT_TRUE(
        Header(ecb, "500 Too Busy", "Content-Type: text/html\r\nContent-Length: 4\r\n\r\n"));
    EXPECT_TRUE(Write(ecb, "busy"));
    return HSE_STATUS_ERROR;
  };
  std::string response = Serve(erroring);
  EXPECT_EQ(response.rfind("HTTP/1.1 500 Too Busy\r\nContent-Type: text/html\r\n"
                           "Content-Length: 4\r\n",
                           0),
            0u)
      << response;
  EXPECT_NE(response.find("\r\nConnection: close\r\n\r\nbusy"), std::string::npos) << response;
  EXPECT_EQ(BodyOf(response), "busy");
  EXPECT_FALSE(FChannel->Outcome.KeepAlive);
  EXPECT_EQ(FChannel->Outcome.Status, 500u);

  // An HTTP/1.0 client that asked to keep the connection hears that it closes instead.
  FSetup.Connection = TConnectionState{true, true};
  response = Serve(erroring);
  EXPECT_NE(response.find("\r\nConnection: close\r\n\r\nbusy"), std::string::npos) << response;
  EXPECT_EQ(response.find("keep-alive"), std::string::npos) << response;
  EXPECT_EQ(response.find("Connection:"), response.rfind("Connection:")) << response;
  EXPECT_FALSE(FChannel->Outcome.KeepAlive);

  // Fewer body bytes than declared: the client would wait for the rest on a live connection.
  FSetup.Connection = TConnectionState{true, false};
  response = Serve([](EXTENSION_CONTROL_BLOCK* ecb) {
    EXPECT_TRUE(Header(ecb, "200 OK", "Content-Length: 10\r\n\r\nshort"));
    return HSE_STATUS_SUCCESS;
  });
  EXPECT_NE(response.find("\r\nContent-Length: 10\r\n"), std::string::npos) << response;
  EXPECT_NE(response.find("\r\nConnection: close\r\n\r\nshort"), std::string::npos) << response;
  EXPECT_FALSE(FChannel->Outcome.KeepAlive);

  // An answer that keeps the connection says nothing of it.
  response = Serve([](EXTENSION_CONTROL_BLOCK* ecb) {
    EXPECT_TRUE(Header(ecb, "200 OK", "Content-Length: 2\r\n\r\nok"));
    return HSE_STATUS_SUCCESS;
  });
  EXPECT_EQ(response.find("Connection:"), std::string::npos) << response;
  EXPECT_TRUE(FChannel->Outcome.KeepAlive);
}

TEST_F(BridgeTest, SuccessWithNothingSentIs502SayingWhatTheExtensionDid) {
  const std::string response = Serve([](EXTENSION_CONTROL_BLOCK*) { return HSE_STATUS_SUCCESS; });
  EXPECT_EQ(response.rfind("HTTP/1.1 502 Bad Gateway\r\n", 0), 0u);
  EXPECT_NE(BodyOf(response).find("returned HSE_STATUS_SUCCESS without sending a response"),
            std::string::npos);
}

TEST_F(BridgeTest, CallsWithAnEndedConnIdAreRefusedAndTouchNothing) {
  EXTENSION_CONTROL_BLOCK* block = nullptr;
  HCONN ended = nullptr;
  Serve([&](EXTENSION_CONTROL_BLOCK* ecb) {
    block = ecb;
    ended = ecb->ConnID;
    EXPECT_TRUE(Write(ecb, "x"));
    return HSE_STATUS_SUCCESS;
  });
  const std::string before = FChannel->Sent;
  char buffer[32] = "untouched";
  DWORD size = sizeof buffer;
  SetCallError(0);
  EXPECT_EQ(block->GetServerVariable(ended, const_cast<char*>("REQUEST_METHOD"), buffer, &size), 0);
  EXPECT_EQ(CallError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(size, sizeof buffer);
  EXPECT_STREQ(buffer, "untouched");
  EXPECT_EQ(Write(block, "late", ended), 0);
  EXPECT_EQ(CallError(), ERROR_INVALID_PARAMETER);
  size = sizeof buffer;
  EXPECT_EQ(block->ReadClient(ended, buffer, &size), 0);
  EXPECT_EQ(size, sizeof buffer);
  EXPECT_EQ(
      block->ServerSupportFunction(ended, HSE_REQ_DONE_WITH_SESSION, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(CallError(), ERROR_INVALID_PARAMETER);
  const HCONN forged = reinterpret_cast<HCONN>(reinterpret_cast<std::uintptr_t>(ended) + 7);
  EXPECT_EQ(block->ServerSupportFunction(forged, HSE_REQ_SEND_URL_REDIRECT_RESP,
                                         const_cast<char*>("http://a/"), nullptr, nullptr),
            0);
  EXPECT_EQ(CallError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(FChannel->Sent, before);
  EXPECT_EQ(FChannel->Ends, 1);
}

TEST_F(BridgeTest, APendingRequestEndsWhenAnotherThreadIsDoneWithIt) {
  std::thread worker;
  const std::string response = Serve([&](EXTENSION_CONTROL_BLOCK* ecb) {
    worker = std::thread([ecb] {
      EXPECT_TRUE(Header(ecb, "200 OK", "Content-Type: text/plain\r\n\r\n"));
      EXPECT_TRUE(Write(ecb, "late answer"));
      EXPECT_TRUE(Done(ecb));
    });
    return HSE_STATUS_PENDING;
  });
  worker.join();
  EXPECT_NE(response.find("late answer"), std::string::npos);
  EXPECT_EQ(response.substr(response.size() - 5), "0\r\n\r\n");
  EXPECT_EQ(FChannel->Ends, 1);
  EXPECT_TRUE(FRequest->Ended());
}

TEST_F(BridgeTest, DoneWithSessionInsideTheCallEndsTheRequestWhenItReturnsPending) {
  const std::string response = Serve([](EXTENSION_CONTROL_BLOCK* ecb) {
    EXPECT_TRUE(Write(ecb, "body"));
    EXPECT_TRUE(Done(ecb));
    return HSE_STATUS_PENDING;
  });
  EXPECT_EQ(FChannel->Ends, 1);
  EXPECT_TRUE(FChannel->EndedOnOwner);
  EXPECT_FALSE(FChannel->Pending);
  EXPECT_NE(response.find("4\r\nbody\r\n"), std::string::npos);
}

TEST_F(BridgeTest, DoneWithSessionWithErrorAndNothingSentIs500) {
  const std::string response = Serve([](EXTENSION_CONTROL_BLOCK* ecb) {
    DWORD status = HSE_STATUS_ERROR;
    EXPECT_TRUE(Done(ecb, &status));
    return HSE_STATUS_PENDING;
  });
  EXPECT_EQ(response.rfind("HTTP/1.1 500 Internal Server Error\r\n", 0), 0u);
  ASSERT_TRUE(FChannel->Outcome.SessionStatus);
  EXPECT_EQ(*FChannel->Outcome.SessionStatus, HSE_STATUS_ERROR);
}

TEST_F(BridgeTest, WritesOfAPendingRequestReachTheClientAtOnce) {
  EXTENSION_CONTROL_BLOCK* block = nullptr;
  Script = [&](EXTENSION_CONTROL_BLOCK* ecb) {
    block = ecb;
    return HSE_STATUS_PENDING;
  };
  FChannel = std::make_shared<TRecordingChannel>();
  FRequest = TRequest::Create(*FExtension, FSetup, FChannel);
  FRequest->Run();
  EXPECT_TRUE(FChannel->Pending);
  EXPECT_TRUE(Write(block, "first"));
  EXPECT_NE(FChannel->Sent.find("5\r\nfirst\r\n"), std::string::npos);
  EXPECT_EQ(FChannel->Ends, 0);
  EXPECT_TRUE(Done(block));
  EXPECT_EQ(FChannel->Ends, 1);
  EXPECT_FALSE(FChannel->EndedOnOwner);
}

TEST_F(BridgeTest, AWriteTheClientDoesNotTakeFailsAndTheAnswerEndsWithTheConnection) {
  for (const auto& [result, error] : {std::pair{TSendResult::TimedOut, DWORD{1460}},
                                      std::pair{TSendResult::ClientGone, ERROR_NO_DATA}}) {
    Script = [&, error = error](EXTENSION_CONTROL_BLOCK* ecb) {
      EXPECT_TRUE(Header(ecb, "200 OK", "Content-Type: text/plain\r\n\r\n"));
      SetCallError(0);
      EXPECT_EQ(Write(ecb, std::string(20000, 'x')), 0); // over the flush threshold: sent now
      EXPECT_EQ(CallError(), error);
      SetCallError(0);
      EXPECT_EQ(Write(ecb, "more"), 0);
      EXPECT_EQ(CallError(), error);
      return HSE_STATUS_SUCCESS;
    };
    FChannel = std::make_shared<TRecordingChannel>();
    FChannel->SendResult = result;
    FRequest = TRequest::Create(*FExtension, FSetup, FChannel);
    FRequest->Run();
    FChannel->WaitEnded();
    EXPECT_EQ(FChannel->SendCalls, 1); // the second write is refused without trying
    EXPECT_EQ(FChannel->Sent, "");     // no last chunk after a cut: the connection just ends
    EXPECT_FALSE(FChannel->Outcome.KeepAlive);
  }
}

TEST_F(BridgeTest, AnExpiredPendingRequestGets500AndLaterCallsAreRefused) {
  EXTENSION_CONTROL_BLOCK* block = nullptr;
  Script = [&](EXTENSION_CONTROL_BLOCK* ecb) {
    block = ecb;
    return HSE_STATUS_PENDING;
  };
  FChannel = std::make_shared<TRecordingChannel>();
  FRequest = TRequest::Create(*FExtension, FSetup, FChannel);
  const HCONN conn = FRequest->ConnID();
  FRequest->Run();
  FRequest->Expire(500, "too slow", true);
  EXPECT_EQ(FChannel->Sent.rfind("HTTP/1.1 500 Internal Server Error\r\n", 0), 0u);
  EXPECT_NE(FChannel->Sent.find("too slow"), std::string::npos);
  EXPECT_FALSE(FChannel->Outcome.KeepAlive);
  EXPECT_EQ(Write(block, "late", conn), 0);
  EXPECT_EQ(Done(block), 0);
  EXPECT_EQ(FChannel->Ends, 1);
}

TEST_F(BridgeTest, ServerVariablesAnswerWithSizesAndErrors) {
  Serve([](EXTENSION_CONTROL_BLOCK* ecb) {
    char buffer[64];
    DWORD size = sizeof buffer;
    EXPECT_TRUE(
        ecb->GetServerVariable(ecb->ConnID, const_cast<char*>("HTTP_REFERER"), buffer, &size));
    EXPECT_EQ(size, 10u);
    EXPECT_STREQ(buffer, "http://a/");
    size = 3;
    EXPECT_FALSE(ecb->GetServerVariable(ecb->ConnID, const_cast<char*>("URL"), buffer, &size));
    EXPECT_EQ(CallError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(size, std::strlen("/scripts/x.dll/p") + 1);
    size = sizeof buffer;
    EXPECT_FALSE(
        ecb->GetServerVariable(ecb->ConnID, const_cast<char*>("NOT_A_VARIABLE"), buffer, &size));
    EXPECT_EQ(CallError(), ERROR_INVALID_INDEX);
    EXPECT_FALSE(ecb->GetServerVariable(ecb->ConnID, nullptr, buffer, &size));
    EXPECT_EQ(CallError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(ecb->GetServerVariable(ecb->ConnID, const_cast<char*>("URL"), buffer, nullptr));
    EXPECT_EQ(CallError(), ERROR_INVALID_PARAMETER);
    EXPECT_STREQ(ecb->lpszMethod, "GET");
    EXPECT_STREQ(ecb->lpszQueryString, "q=1");
    EXPECT_STREQ(ecb->lpszPathInfo, "/p");
    return HSE_STATUS_ERROR;
  });
}

TEST_F(BridgeTest, TheBodyComesAsAtMost48KiBUpFrontAndTheRestByReadClient) {
  FSetup.Body.resize(100000);
  for (std::size_t i = 0; i < FSetup.Body.size(); ++i)
    FSetup.Body[i] = static_cast<char>(i * 7);
  FSetup.TotalBytes = 100000;
  std::string received;
  Serve([&](EXTENSION_CONTROL_BLOCK* ecb) {
    EXPECT_EQ(ecb->cbTotalBytes, 100000u);
    EXPECT_EQ(ecb->cbAvailable, 48u * 1024);
    received.assign(reinterpret_cast<char*>(ecb->lpbData), ecb->cbAvailable);
    char buffer[30000];
    while (true) {
      DWORD size = sizeof buffer;
      EXPECT_TRUE(ecb->ReadClient(ecb->ConnID, buffer, &size));
      if (size == 0)
        break;
      received.append(buffer, size);
    }
    return HSE_STATUS_ERROR;
  });
  EXPECT_EQ(received, FSetup.Body);
}

TEST_F(BridgeTest, TheBodyBeyondTheReadAheadComesFromTheConnectionAsReadClientAsksForIt) {
  FSetup.Body = "head-";
  FSetup.BodyComplete = false;
  FSetup.TotalBytes = 17;
  std::string read;
  const auto readAll = [&](EXTENSION_CONTROL_BLOCK* ecb) {
    read.assign(reinterpret_cast<char*>(ecb->lpbData), ecb->cbAvailable);
    char buffer[4];
    DWORD size = sizeof buffer;
    while (ecb->ReadClient(ecb->ConnID, buffer, &size) && size > 0) {
      read.append(buffer, size);
      size = sizeof buffer;
    }
    return Header(ecb, "200 OK", "Content-Length: 0\r\n\r\n") ? HSE_STATUS_SUCCESS
                                                              : HSE_STATUS_ERROR;
  };
  Script = readAll;
  FChannel = std::make_shared<TRecordingChannel>();
  FChannel->Incoming = {"middle", "-tail"};
  FRequest = TRequest::Create(*FExtension, FSetup, FChannel);
  FRequest->Run();
  EXPECT_EQ(read, "head-middle-tail");
  EXPECT_TRUE(FChannel->Outcome.KeepAlive);

  // A body left unread, or cut by the client, ends the connection with the answer.
  for (const TReceiveResult last : {TReceiveResult::ClientGone, TReceiveResult::TimedOut}) {
    FChannel = std::make_shared<TRecordingChannel>();
    FChannel->Incoming = {"middle"};
    FChannel->Last = last;
    FRequest = TRequest::Create(*FExtension, FSetup, FChannel);
    FRequest->Run();
    EXPECT_EQ(read, "head-middle");
    EXPECT_FALSE(FChannel->Outcome.KeepAlive);
  }

  // Past the body limit the host answers 413 itself; the extension's later calls are refused.
  Script = [&](EXTENSION_CONTROL_BLOCK* ecb) {
    char buffer[16];
    DWORD size = sizeof buffer;
    SetCallError(0);
    EXPECT_EQ(ecb->ReadClient(ecb->ConnID, buffer, &size), 0);
    EXPECT_EQ(CallError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Write(ecb, "late"), 0);
    return HSE_STATUS_SUCCESS;
  };
  FSetup.Body.clear();
  FChannel = std::make_shared<TRecordingChannel>();
  FChannel->Last = TReceiveResult::TooLarge;
  FRequest = TRequest::Create(*FExtension, FSetup, FChannel);
  FRequest->Run();
  FChannel->WaitEnded();
  EXPECT_EQ(FChannel->Sent.rfind("HTTP/1.1 413 Payload Too Large\r\n", 0), 0u) << FChannel->Sent;
  EXPECT_FALSE(FChannel->Outcome.KeepAlive);
}

TEST_F(BridgeTest, UnknownSupportFunctionsAndAsyncWritesAreRefused) {
  Serve([](EXTENSION_CONTROL_BLOCK* ecb) {
    EXPECT_FALSE(ecb->ServerSupportFunction(ecb->ConnID, 9999, nullptr, nullptr, nullptr));
    EXPECT_EQ(CallError(), ERROR_INVALID_PARAMETER);
    // A local URL starts with '/'; an asynchronous write needs a completion function.
    EXPECT_FALSE(ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_URL, const_cast<char*>("x"),
                                            nullptr, nullptr));
    EXPECT_EQ(CallError(), ERROR_INVALID_PARAMETER);
    DWORD bytes = 1;
    EXPECT_FALSE(ecb->WriteClient(ecb->ConnID, const_cast<char*>("x"), &bytes, 2));
    EXPECT_EQ(CallError(), ERROR_INVALID_PARAMETER);
    return HSE_STATUS_ERROR;
  });
}

BOOL GetCertInfo(EXTENSION_CONTROL_BLOCK* ecb, CERT_CONTEXT_EX* info) {
  return ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_GET_CERT_INFO_EX, info, nullptr, nullptr);
}

TEST_F(BridgeTest, CertInfoCopiesTheClientCertificateIntoTheExtensionsBuffer) {
  auto tls = std::make_shared<TTlsInfo>();
  tls->ClientCertificate = std::string("\x30\x03\x02\x01\x07", 5);
  tls->ClientFlags = CertFlagPresent | CertFlagIssuerNotRecognised;
  FSetup.Info.Tls = tls;
  Serve([](EXTENSION_CONTROL_BLOCK* ecb) {
    unsigned char bytes[8];
    std::memset(bytes, 0xEE, sizeof bytes);
    CERT_CONTEXT_EX info{};
    info.CertContext.pbCertEncoded = bytes;
    info.cbAllocated = 4;
    EXPECT_FALSE(GetCertInfo(ecb, &info));
    EXPECT_EQ(CallError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(info.CertContext.cbCertEncoded, 5u);
    EXPECT_EQ(bytes[0], 0xEE); // nothing copied
    info.CertContext.pbCertEncoded = nullptr;
    info.cbAllocated = sizeof bytes;
    EXPECT_FALSE(GetCertInfo(ecb, &info));
    EXPECT_EQ(CallError(), ERROR_INSUFFICIENT_BUFFER);
    info.CertContext.pbCertEncoded = bytes;
    info.cbAllocated = 5; // exactly enough
    EXPECT_TRUE(GetCertInfo(ecb, &info));
    EXPECT_EQ(info.CertContext.cbCertEncoded, 5u);
    EXPECT_EQ(info.CertContext.dwCertEncodingType, X509_ASN_ENCODING);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), 5), "\x30\x03\x02\x01\x07");
    EXPECT_EQ(bytes[5], 0xEE);
    EXPECT_EQ(info.dwCertificateFlags, 3u);
    EXPECT_FALSE(GetCertInfo(ecb, nullptr));
    EXPECT_EQ(CallError(), ERROR_INVALID_PARAMETER);
    return HSE_STATUS_ERROR;
  });
}

TEST_F(BridgeTest, TheChannelBindingIsTheServerEndPointInSecChannelBindings) {
  auto tls = std::make_shared<TTlsInfo>();
  tls->ServerEndPoint = std::string(32, '\x5A');
  FSetup.Info.Tls = tls;
  Serve([](EXTENSION_CONTROL_BLOCK* ecb) {
    void* token = nullptr;
    DWORD size = 0;
    EXPECT_TRUE(ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_GET_CHANNEL_BINDING_TOKEN, &token,
                                           &size, nullptr));
    const std::string data = "tls-server-end-point:" + std::string(32, '\x5A');
    EXPECT_EQ(size, 32 + data.size());
    DWORD header[8];
    std::memcpy(header, token, sizeof header);
    for (int i = 0; i < 6; ++i)
      EXPECT_EQ(header[i], 0u) << i; // no initiator or acceptor address
    EXPECT_EQ(header[6], data.size());
    EXPECT_EQ(header[7], 32u);
    EXPECT_EQ(std::string(static_cast<char*>(token) + 32, data.size()), data);
    EXPECT_FALSE(ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_GET_CHANNEL_BINDING_TOKEN, nullptr,
                                            &size, nullptr));
    EXPECT_EQ(CallError(), ERROR_INVALID_PARAMETER);
    return HSE_STATUS_ERROR;
  });
}

TEST_F(BridgeTest, OnPlainHttpTheTlsCallsAreNotSupported) {
  Serve([](EXTENSION_CONTROL_BLOCK* ecb) {
    unsigned char bytes[8];
    CERT_CONTEXT_EX info{};
    info.CertContext.pbCertEncoded = bytes;
    info.cbAllocated = sizeof bytes;
    EXPECT_FALSE(GetCertInfo(ecb, &info));
    EXPECT_EQ(CallError(), ERROR_NOT_SUPPORTED);
    void* token = nullptr;
    DWORD size = 0;
    EXPECT_FALSE(ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_GET_CHANNEL_BINDING_TOKEN, &token,
                                            &size, nullptr));
    EXPECT_EQ(CallError(), ERROR_NOT_SUPPORTED);
    return HSE_STATUS_ERROR;
  });
}

TEST_F(BridgeTest, MapUrlToPathAnswersUnderTheRoot) {
  const std::filesystem::path root = std::filesystem::temp_directory_path();
  FSetup.Root = &root;
  Serve([&](EXTENSION_CONTROL_BLOCK* ecb) {
    char buffer[1024] = "/a/../b.txt";
    DWORD size = sizeof buffer;
    EXPECT_TRUE(
        ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_MAP_URL_TO_PATH, buffer, &size, nullptr));
    const std::string expected = (*FSetup.Root / "b.txt").make_preferred().string();
    EXPECT_EQ(std::string(buffer), expected);
    EXPECT_EQ(size, expected.size() + 1);
    char tiny[4] = "/b";
    size = sizeof tiny;
    EXPECT_FALSE(
        ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_MAP_URL_TO_PATH, tiny, &size, nullptr));
    EXPECT_EQ(CallError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(size, (*FSetup.Root / "b").make_preferred().string().size() + 1);
    char climbing[32] = "/../etc";
    size = sizeof climbing;
    EXPECT_FALSE(
        ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_MAP_URL_TO_PATH, climbing, &size, nullptr));
    EXPECT_EQ(CallError(), ERROR_INVALID_PARAMETER);
    return HSE_STATUS_ERROR;
  });
}

TEST_F(BridgeTest, TheCallObserverSeesEveryCallWithTheHostsAnswers) {
  std::vector<TCallRecord> records;
  SetCallObserver([&](const TCallRecord& record) { records.push_back(record); });
  Serve([](EXTENSION_CONTROL_BLOCK* ecb) {
    char buffer[8];
    DWORD size = 2;
    ecb->GetServerVariable(ecb->ConnID, const_cast<char*>("URL"), buffer, &size);
    Redirect(ecb, "http://a/");
    return HSE_STATUS_SUCCESS;
  });
  SetCallObserver(nullptr);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].Function, "GetServerVariable");
  EXPECT_FALSE(records[0].Result);
  EXPECT_EQ(records[0].Error, ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::get<std::int64_t>(records[0].Answers[0].second), 17);
  EXPECT_EQ(records[1].Function, "ServerSupportFunction");
  EXPECT_TRUE(records[1].Result);
  EXPECT_EQ(records[2].Function, "HttpExtensionProc");
}

// At the end of a run the completion threads are stopped: the stop says whether a completion was
// still running, that one still finishes, and a later completion starts the pool afresh.
TEST(CompletionThreadsTest, StoppingLetsARunningCompletionFinishAndTheNextStartsAfresh) {
  std::mutex mutex;
  std::condition_variable changed;
  bool released = false;
  int done = 0;
  auto completion = [&](bool held) {
    return [&, held] {
      std::unique_lock lock(mutex);
      changed.wait(lock, [&] { return released || !held; });
      ++done;
      changed.notify_all();
    };
  };
  auto waitDone = [&](int count) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(30), [&] { return done == count; });
  };
  RunOnCompletionThread(completion(true));
  RunOnCompletionThread(completion(false));
  ASSERT_TRUE(waitDone(1));
  EXPECT_FALSE(StopCompletionThreads(std::chrono::milliseconds(10)));
  {
    std::lock_guard lock(mutex);
    released = true;
  }
  changed.notify_all();
  ASSERT_TRUE(waitDone(2));
  RunOnCompletionThread(completion(false));
  ASSERT_TRUE(waitDone(3));
  EXPECT_TRUE(StopCompletionThreads(std::chrono::seconds(30)));
}

} // namespace
} // namespace isapi_web::host
