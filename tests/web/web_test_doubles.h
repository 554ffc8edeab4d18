#pragma once
// In-memory request and response for the module and pool tests, and a recording exception hook.

#include <array>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/component.h"
#include "runtime/construct.h"
#include "runtime/exceptions.h"
#include "http/web_request.h"
#include "http/web_response.h"
#include "web/web_interfaces.h"

namespace isapi_web::web_test {

/// A request with a method, a path info and any other field set by index.
class TFakeRequest : public TWebRequest {
public:
  TFakeRequest(std::string method, std::string pathInfo) {
    FFields[fiMethod] = std::move(method);
    FFields[fiPathInfo] = std::move(pathInfo);
  }

  std::string ReadStringField(int index) const override {
    return index >= 0 && index < FieldCount ? FFields[static_cast<std::size_t>(index)]
                                            : std::string();
  }
  TDateTime ReadDateField(int) const override { return -1.0; }
  int ReadIntegerField(int) const override { return -1; }
  int ReadClient(void*, int) override { return 0; }
  std::string ReadString(int) override { return {}; }
  std::u16string TranslateURI(std::u16string_view) override { return {}; }
  int WriteClient(const void*, int count) override { return count; }
  bool WriteString(std::string_view) override { return true; }
  bool WriteHeaders(int, const std::string&, const std::string&) override { return true; }
  std::string GetFieldByName(const std::string&) const override { return {}; }

private:
  std::array<std::string, FieldCount> FFields;
};

/// A response that records its status, body and how often it was sent.
class TFakeResponse : public TWebResponse {
public:
  explicit TFakeResponse(TWebRequest* request) : TWebResponse(request) {}

  std::string ReadStringField(int index) const override {
    return index >= 0 && index < StringFieldCount ? FStrings[static_cast<std::size_t>(index)]
                                                  : std::string();
  }
  void WriteStringField(int index, std::string_view value) override {
    if (index >= 0 && index < StringFieldCount) FStrings[static_cast<std::size_t>(index)] = value;
  }
  TDateTime ReadDateField(int) const override { return -1.0; }
  void WriteDateField(int, TDateTime) override {}
  int ReadIntegerField(int) const override { return FContentLength; }
  void WriteIntegerField(int, int value) override { FContentLength = value; }
  std::string GetRawContent() const override { return FContent; }
  void SetRawContent(std::string_view value) override { FContent = value; }
  int GetStatusCode() const override { return FStatusCode; }
  void SetStatusCode(int value) override { FStatusCode = value; }
  std::u16string GetLogMessage() const override { return {}; }
  void SetLogMessage(std::u16string_view) override {}
  void SendResponse() override {
    ++SendCount;
    FSent = true;
  }
  void SendRedirect(const std::string& uri) override {
    Redirect = uri;
    FSent = true;
  }
  void SendStream(TStream&) override {}
  bool Sent() const override { return FSent; }

  int SendCount = 0;
  std::string Redirect;

private:
  std::array<std::string, StringFieldCount> FStrings;
  std::string FContent;
  int FContentLength = 0;
  int FStatusCode = 200;
  bool FSent = false;
};

/// A request and its response, built as the application builds them.
struct TFakeExchange {
  explicit TFakeExchange(std::string pathInfo = "/serve", std::string method = "GET")
      : Request(Construct<TFakeRequest>(std::move(method), std::move(pathInfo))),
        Response(Construct<TFakeResponse>(Request.get())) {}

  std::unique_ptr<TFakeRequest> Request;
  std::unique_ptr<TFakeResponse> Response;
};

/// An exception hook that records each call (Sender and message) and then swallows the
/// exception or raises it again. Installed for its lifetime; the previous hook is put back.
class TRecordingHook {
public:
  struct TCall {
    TObject* Sender = nullptr;
    std::u16string Message;
  };

  explicit TRecordingHook(bool reraise) : FReraise(reraise), FPrevious(RequestExceptionHook()) {
    SetRequestExceptionHook(TRequestExceptionHook(this, &TRecordingHook::Hook));
  }
  ~TRecordingHook() { SetRequestExceptionHook(FPrevious); }
  TRecordingHook(const TRecordingHook&) = delete;
  TRecordingHook& operator=(const TRecordingHook&) = delete;

  std::vector<TCall> Calls;

private:
  void Hook(TObject* Sender) {
    TCall call{Sender, u"?"};
    try {
      throw;
    } catch (const Exception& error) {
      call.Message = error.Message();
    } catch (...) {
    }
    Calls.push_back(call);
    if (FReraise) throw;
  }

  bool FReraise;
  TRequestExceptionHook FPrevious;
};

/// Removes any exception hook for its lifetime.
class TNoHook {
public:
  TNoHook() : FPrevious(RequestExceptionHook()) { SetRequestExceptionHook(TRequestExceptionHook()); }
  ~TNoHook() { SetRequestExceptionHook(FPrevious); }
  TNoHook(const TNoHook&) = delete;
  TNoHook& operator=(const TNoHook&) = delete;

private:
  TRequestExceptionHook FPrevious;
};

/// A countdown latch on a mutex and a condition variable. (libstdc++'s std::latch on mingw can
/// lose a wake-up when latches of other tests shared its wait bucket before.)
class TLatch {
public:
  explicit TLatch(std::ptrdiff_t count) : FCount(count) {}
  TLatch(const TLatch&) = delete;
  TLatch& operator=(const TLatch&) = delete;

  void count_down() {
    {
      std::lock_guard lock(FMutex);
      --FCount;
    }
    FZero.notify_all();
  }
  void wait() {
    std::unique_lock lock(FMutex);
    FZero.wait(lock, [this] { return FCount <= 0; });
  }
  void arrive_and_wait() {
    count_down();
    wait();
  }

private:
  std::mutex FMutex;
  std::condition_variable FZero;
  std::ptrdiff_t FCount;
};

/// Runs Call and answers the framework exception it raised: class name and message.
template <class F> std::pair<std::u16string, std::u16string> CaughtError(F&& call) {
  try {
    call();
  } catch (const Exception& error) {
    return {error.ClassName(), error.Message()};
  }
  return {u"(none)", u""};
}

} // namespace isapi_web::web_test
