#pragma once
// TISAPIRequest: the request of one ISAPI call, answering every field from the extension control
// block or a server variable and reading and writing the client through the host's callbacks.

#include <string>
#include <string_view>

#include "http/web_request.h"
#include "isapi/isapi_host_interface.h"

namespace isapi_web {

class TISAPIRequest : public TWebRequest {
public:
  /// The buffer offered to GetServerVariable; a value longer than this minus its NUL is refused.
  static constexpr DWORD ServerVariableBufferSize = 4096;
  /// The buffer of the URL-to-path mapping, URI and NUL included.
  static constexpr DWORD TranslateBufferSize = 1024;
  /// The most one ReadString asks of the host at once, whatever length the client declared.
  static constexpr int MaxReadChunk = 1 << 20;

  /// Stores the block (not owned). Create through Construct<TISAPIRequest>(ecb), which then
  /// classifies the method.
  explicit TISAPIRequest(EXTENSION_CONTROL_BLOCK* aECB) : FECB(aECB) {}

  EXTENSION_CONTROL_BLOCK* ECB() const noexcept { return FECB; }

  std::string ReadStringField(int index) const override;
  TDateTime ReadDateField(int index) const override;
  int ReadIntegerField(int index) const override;
  /// One host ReadClient; the count is clamped to Count. A negative Count reads nothing.
  int ReadClient(void* buffer, int count) override;
  /// One host read of at most Count (and at most MaxReadChunk) bytes; empty on failure.
  std::string ReadString(int count) override;
  /// Maps the URI with the host; empty when it fails or the URI does not fit the buffer.
  std::u16string TranslateURI(std::u16string_view uri) override;
  /// One host WriteClient; the count is clamped to Count. A negative Count writes nothing.
  int WriteClient(const void* buffer, int count) override;
  bool WriteString(std::string_view aString) override;
  /// Stores the status code in the block and sends status text and headers in one call.
  bool WriteHeaders(int statusCode, const std::string& reasonString,
                    const std::string& headers) override;
  /// A server variable, tried again with "HTTP_" before the name; empty when both fail.
  std::string GetFieldByName(const std::string& name) const override;

private:
  EXTENSION_CONTROL_BLOCK* FECB;
};

} // namespace isapi_web
