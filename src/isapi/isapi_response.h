#pragma once
// TISAPIResponse: the answer to one ISAPI request, held in memory and sent through its
// TISAPIRequest: status and headers in one host call, then the body; or a host-made redirect.

#include <array>
#include <string>
#include <string_view>

#include "http/web_response.h"
#include "isapi/isapi_request.h"

namespace isapi_web {

class TISAPIResponse : public TWebResponse {
public:
  /// The buffer SendStream copies through.
  static constexpr int StreamBufferSize = 8192;

  /// Answers Request (not owned). Create through Construct<TISAPIResponse>(request), which
  /// then applies the defaults.
  explicit TISAPIResponse(TISAPIRequest* httpRequest) : TWebResponse(httpRequest) {}

  /// Runs ApplyResponseDefaults.
  void AfterConstruction() override;

  std::string ReadStringField(int index) const override;
  void WriteStringField(int index, std::string_view value) override;
  TDateTime ReadDateField(int index) const override;
  void WriteDateField(int index, TDateTime value) override;
  int ReadIntegerField(int index) const override;
  void WriteIntegerField(int index, int value) override;
  std::string GetRawContent() const override;
  /// Also sets ContentLength to the byte length when no content stream is held.
  void SetRawContent(std::string_view value) override;
  int GetStatusCode() const override;
  /// A new code also sets ReasonString to its reason phrase.
  void SetStatusCode(int value) override;
  /// The control block's log text, widened.
  std::u16string GetLogMessage() const override;
  /// Stored in the control block, cut to its 79 bytes and a NUL.
  void SetLogMessage(std::u16string_view value) override;
  /// Sends status line, headers and body; raises EWebException, before any host call, for a
  /// status text or header holding CR, LF or NUL.
  void SendResponse() override;
  /// Has the host redirect to URI; raises EWebException for a URI holding CR, LF or NUL.
  void SendRedirect(const std::string& uri) override;
  /// Writes the stream from its position until its end, or until a read returns nothing.
  void SendStream(TStream& aStream) override;
  bool Sent() const override;

  /// Slot 17: Version "1.0" for a request without protocol version, status 200, no dates,
  /// content type "text/html".
  virtual void ApplyResponseDefaults();

private:
  TISAPIRequest& ISAPIRequest() const;
  std::string HeaderBlock() const;

  int FStatusCode = 0;
  std::array<std::string, StringFieldCount> FStringVariables;
  std::array<int, IntegerFieldCount> FIntegerVariables{};
  std::array<TDateTime, DateFieldCount> FDateVariables{};
  std::string FContent;
  bool FSent = false;
};

} // namespace isapi_web
