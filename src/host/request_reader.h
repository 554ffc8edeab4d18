#pragma once
// The HTTP side of a connection: Beast's request parser delivering a request head into fields the
// connection reuses, its framing checked, and the body taken as far as there is room for it.

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The host's headers come before Boost's (see http_server.cpp).
#include "host/bridge.h"
#include "host/host_text.h"
#include "host/request_framing.h"

#include <boost/beast/http.hpp>

namespace isapi_web::host {

namespace http = boost::beast::http;
using error_code = boost::system::error_code;

/// Limits of IIS's defaults: MaxRequestBytes and maxAllowedContentLength.
inline constexpr std::size_t HeaderLimit = 16 * 1024;
inline constexpr std::uint64_t BodyLimit = 30'000'000;

/// One header field as received.
struct TReceivedField {
  http::field Name = http::field::unknown;
  std::string NameText;
  std::string Value;
};

/// A request as the parser delivered it. A connection keeps one and reuses its texts and fields
/// for every request, so that a request of the usual size allocates nothing here.
struct TReceivedRequest {
  http::verb Verb = http::verb::unknown;
  std::string Method;
  std::string Target;
  int Version = 11;
  std::vector<TReceivedField> Fields; ///< the first FieldCount are this request's
  std::size_t FieldCount = 0;
  std::string Body;

  void Clear() {
    Verb = http::verb::unknown;
    Method.clear();
    Target.clear();
    Version = 11;
    FieldCount = 0;
    Body.clear();
  }
  std::span<const TReceivedField> Received() const { return {Fields.data(), FieldCount}; }
  /// The first field of that name, as a message's find gives it.
  const TReceivedField* Find(http::field name) const {
    for (const TReceivedField& field : Received())
      if (field.Name == name)
        return &field;
    return nullptr;
  }
  // What a Beast message answers for the same fields.
  bool KeepAlive() const {
    const TReceivedField* connection = Find(http::field::connection);
    if (Version < 11)
      return connection != nullptr && http::token_list{connection->Value}.exists("keep-alive");
    return connection == nullptr || !http::token_list{connection->Value}.exists("close");
  }
  bool Chunked() const {
    const TReceivedField* encoding = Find(http::field::transfer_encoding);
    if (encoding == nullptr)
      return false;
    const http::token_list codings{encoding->Value};
    for (auto it = codings.begin(); it != codings.end();) {
      const auto next = std::next(it);
      if (next == codings.end())
        return boost::beast::iequals(*it, "chunked");
      it = next;
    }
    return false;
  }
};

/// Beast's HTTP parser, delivering into a TReceivedRequest.
class TRequestReader final : public http::basic_parser<true> {
public:
  explicit TRequestReader(TReceivedRequest& request, std::uint64_t bodyLimit = BodyLimit)
      : FRequest(request) {
    FRequest.Clear();
    header_limit(HeaderLimit);
    body_limit(bodyLimit);
  }

  /// Why the head was refused for its framing; empty when it was not.
  std::string_view FramingProblem() const { return FFramingProblem; }
  /// Body bytes go to target, at most room of them, until SetTarget(nullptr, 0); without a
  /// target they are read ahead into the request, at most MaxPreloadedBody.
  void SetTarget(char* target, std::size_t room) {
    FTarget = target;
    FRoom = room;
    FTaken = 0;
  }
  /// The body bytes placed at the target so far.
  std::size_t Taken() const { return FTaken; }

private:
  void on_request_impl(http::verb method, std::string_view methodText, std::string_view target,
                       int version, error_code&) override {
    FRequest.Verb = method;
    FRequest.Method.assign(methodText);
    FRequest.Target.assign(target);
    FRequest.Version = version;
  }
  void on_response_impl(int, std::string_view, int, error_code&) override {}
  void on_field_impl(http::field name, std::string_view nameText, std::string_view value,
                     error_code&) override {
    if (FRequest.FieldCount == FRequest.Fields.size())
      FRequest.Fields.emplace_back();
    TReceivedField& field = FRequest.Fields[FRequest.FieldCount++];
    field.Name = name;
    field.NameText.assign(nameText);
    field.Value.assign(value);
    FFraming.Field(nameText, value);
  }
  void on_header_impl(error_code& error) override {
    FFramingProblem = FFraming.Problem(FRequest.Version);
    if (!FFramingProblem.empty())
      error = http::error::bad_transfer_encoding;
  }
  void on_body_init_impl(const boost::optional<std::uint64_t>&, error_code&) override {}
  std::size_t on_body_impl(std::string_view body, error_code& error) override {
    return TakeBody(body, error);
  }
  void on_chunk_header_impl(std::uint64_t, std::string_view, error_code&) override {}
  std::size_t on_chunk_body_impl(std::uint64_t, std::string_view body, error_code& error) override {
    return TakeBody(body, error);
  }

  // Takes what fits where the body goes now; a full target stops the parser (need_buffer),
  // which leaves the rest in the connection's buffer.
  std::size_t TakeBody(std::string_view body, error_code& error) {
    std::size_t count;
    if (FTarget != nullptr) {
      count = std::min(body.size(), FRoom);
      std::memcpy(FTarget + FTaken, body.data(), count);
      FTaken += count;
      FRoom -= count;
    } else {
      count = std::min(body.size(), MaxPreloadedBody - FRequest.Body.size());
      FRequest.Body.append(body.data(), count);
    }
    if (count < body.size())
      error = http::error::need_buffer;
    return count;
  }
  void on_finish_impl(error_code&) override {}

  TReceivedRequest& FRequest;
  TFramingCheck FFraming;
  std::string_view FFramingProblem;
  char* FTarget = nullptr;
  std::size_t FRoom = 0;
  std::size_t FTaken = 0;
};

} // namespace isapi_web::host
