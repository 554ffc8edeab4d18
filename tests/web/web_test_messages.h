#pragma once
// In-memory request and response for the web tests: a request with a method and a path info,
// and a response that records what was set and how often it was sent.

#include <array>
#include <memory>
#include <string>
#include <string_view>

#include "http/web_request.h"
#include "http/web_response.h"
#include "runtime/construct.h"

namespace isapi_web::testing {

class TTestRequest : public TWebRequest {
public:
  TTestRequest(std::string method, std::string pathInfo) {
    FFields[fiMethod] = std::move(method);
    FFields[fiPathInfo] = std::move(pathInfo);
  }

  void SetField(int index, std::string value) {
    FFields.at(static_cast<std::size_t>(index)) = std::move(value);
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

class TTestResponse : public TWebResponse {
public:
  explicit TTestResponse(TWebRequest* request) : TWebResponse(request) {}

  std::string ReadStringField(int index) const override {
    return index >= 0 && index < StringFieldCount ? FStrings[static_cast<std::size_t>(index)]
                                                  : std::string();
  }
  void WriteStringField(int index, std::string_view value) override {
    if (index >= 0 && index < StringFieldCount) {
      FStrings[static_cast<std::size_t>(index)] = value;
    }
  }
  TDateTime ReadDateField(int) const override { return -1.0; }
  void WriteDateField(int, TDateTime) override {}
  int ReadIntegerField(int) const override { return FContentLength; }
  void WriteIntegerField(int, int value) override { FContentLength = value; }
  std::string GetRawContent() const override { return FContent; }
  void SetRawContent(std::string_view value) override {
    FContent = value;
    ++ContentWrites;
  }
  int GetStatusCode() const override { return FStatusCode; }
  void SetStatusCode(int value) override {
    FStatusCode = value;
    ++StatusWrites;
  }
  std::u16string GetLogMessage() const override { return {}; }
  void SetLogMessage(std::u16string_view) override {}
  void SendResponse() override {
    ++SendCount;
    FSent = true;
  }
  void SendRedirect(const std::string&) override { FSent = true; }
  void SendStream(TStream&) override {}
  bool Sent() const override { return FSent; }

  /// Marks the response as sent without counting a SendResponse.
  void MarkSent() { FSent = true; }

  int SendCount = 0;
  int ContentWrites = 0;
  int StatusWrites = 0;

private:
  std::array<std::string, StringFieldCount> FStrings;
  std::string FContent;
  int FContentLength = 0;
  int FStatusCode = 200;
  bool FSent = false;
};

/// A request and its response, built as the framework builds them.
struct TTestExchange {
  TTestExchange(std::string method, std::string pathInfo)
      : Request(Construct<TTestRequest>(std::move(method), std::move(pathInfo))),
        Response(Construct<TTestResponse>(Request.get())) {}

  std::unique_ptr<TTestRequest> Request;
  std::unique_ptr<TTestResponse> Response;
};

} // namespace isapi_web::testing
