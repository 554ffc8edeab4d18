#pragma once
// TWebResponse: the host-independent view of the answer to one request, its numbered header
// fields, body (raw bytes or a stream), custom headers and cookies.

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "runtime/date_time.h"
#include "runtime/persistent.h"
#include "runtime/streams.h"
#include "runtime/string_list.h"

namespace isapi_web {

class TWebRequest;
class TWebResponse;

/// One cookie to be set on the client.
class TCookie : public TCollectionItem {
public:
  /// Made by its collection's item factory; expiry -1.0 (none), not secure.
  TCookie() = default;

  std::u16string ClassName() const override { return u"TCookie"; }

  const std::string& Name() const noexcept { return FName; }
  void SetName(std::string value) { FName = std::move(value); }
  const std::string& Value() const noexcept { return FValue; }
  void SetValue(std::string value) { FValue = std::move(value); }
  const std::string& Path() const noexcept { return FPath; }
  void SetPath(std::string value) { FPath = std::move(value); }
  const std::string& Domain() const noexcept { return FDomain; }
  void SetDomain(std::string value) { FDomain = std::move(value); }
  TDateTime Expires() const noexcept { return FExpires; }
  void SetExpires(TDateTime value) noexcept { FExpires = value; }
  bool Secure() const noexcept { return FSecure; }
  void SetSecure(bool value) noexcept { FSecure = value; }

  /// The Set-Cookie value: "name=value; domain=...; path=...; expires=...; secure", name and
  /// value URL-encoded, absent parts left out.
  std::string HeaderValue() const;

protected:
  /// Copies every property into another TCookie; any other destination raises EAssignError.
  void AssignTo(TPersistent& dest) const override;

private:
  std::string FName;
  std::string FValue;
  std::string FPath;
  std::string FDomain;
  TDateTime FExpires = -1.0;
  bool FSecure = false;
};

/// The response's cookies, in order of addition.
class TCookieCollection : public TCollection {
public:
  /// Makes the collection's cookies (the item class).
  using TCookieFactory = std::function<std::unique_ptr<TCookie>()>;
  /// The factory of cookie class TItem.
  template <class TItem> static TCookieFactory CookieClass() {
    return [] { return std::make_unique<TItem>(); };
  }

  TCookieCollection(TWebResponse* webResponse, TCookieFactory itemClass);

  std::u16string ClassName() const override { return u"TCookieCollection"; }
  /// The owning response (not owned).
  TWebResponse* WebResponse() const noexcept { return FWebResponse; }
  /// Appends a new cookie with the defaults.
  TCookie* Add();
  /// The cookie at Index; raises EListError outside the list.
  TCookie* Items(int index) const;

private:
  TWebResponse* FWebResponse;
};

/// The abstract response. Concrete responses are made with Construct<T>(...), whose
/// AfterConstruction lets them apply their defaults through their own accessors.
class TWebResponse {
public:
  /// String field indices (ReadStringField/WriteStringField).
  enum TStringFieldIndex : int {
    sfVersion = 0,
    sfReasonString = 1,
    sfServer = 2,
    sfWWWAuthenticate = 3,
    sfRealm = 4,
    sfAllow = 5,
    sfLocation = 6,
    sfContentEncoding = 7,
    sfContentType = 8,
    sfContentVersion = 9,
    sfDerivedFrom = 10,
    sfTitle = 11,
  };
  /// Integer field indices (ReadIntegerField/WriteIntegerField).
  enum TIntegerFieldIndex : int { ifContentLength = 0 };
  /// Date field indices (ReadDateField/WriteDateField).
  enum TDateFieldIndex : int { dfDate = 0, dfExpires = 1, dfLastModified = 2 };
  static constexpr int StringFieldCount = 12;
  static constexpr int IntegerFieldCount = 1;
  static constexpr int DateFieldCount = 3;

  TWebResponse(const TWebResponse&) = delete;
  TWebResponse& operator=(const TWebResponse&) = delete;
  /// Frees the content stream, then the custom headers, then the cookies.
  virtual ~TWebResponse();

  /// Second construction step (run by Construct); the base does nothing.
  virtual void AfterConstruction() {}

  // Virtual operations, in slot order.
  /// Slot 0.
  virtual std::string ReadStringField(int index) const = 0;
  /// Slot 1.
  virtual void WriteStringField(int index, std::string_view value) = 0;
  /// Slot 2.
  virtual TDateTime ReadDateField(int index) const = 0;
  /// Slot 3.
  virtual void WriteDateField(int index, TDateTime value) = 0;
  /// Slot 4.
  virtual int ReadIntegerField(int index) const = 0;
  /// Slot 5.
  virtual void WriteIntegerField(int index, int value) = 0;
  /// Slot 6: the body bytes.
  virtual std::string GetRawContent() const = 0;
  /// Slot 7.
  virtual void SetRawContent(std::string_view value) = 0;
  /// Slot 8: takes ownership of Value (null drops the held stream) and sets ContentLength to
  /// its size, or to the length of RawContent when null. Handing over the held stream does nothing.
  virtual void SetContentStream(std::unique_ptr<TStream> value);
  /// Slot 9.
  virtual int GetStatusCode() const = 0;
  /// Slot 10.
  virtual void SetStatusCode(int value) = 0;
  /// Slot 11.
  virtual std::u16string GetLogMessage() const = 0;
  /// Slot 12.
  virtual void SetLogMessage(std::u16string_view value) = 0;
  /// Slot 13: sends status, headers and body.
  virtual void SendResponse() = 0;
  /// Slot 14: has the host redirect the client to URI.
  virtual void SendRedirect(const std::string& uri) = 0;
  /// Slot 15: writes the stream's bytes from its position on.
  virtual void SendStream(TStream& aStream) = 0;
  /// Slot 16: whether the response was already sent; the base answers false.
  virtual bool Sent() const;

  // Field properties.
  std::string Version() const { return ReadStringField(sfVersion); }
  void SetVersion(std::string_view value) { WriteStringField(sfVersion, value); }
  std::string ReasonString() const { return ReadStringField(sfReasonString); }
  void SetReasonString(std::string_view value) { WriteStringField(sfReasonString, value); }
  std::string Server() const { return ReadStringField(sfServer); }
  void SetServer(std::string_view value) { WriteStringField(sfServer, value); }
  std::string WWWAuthenticate() const { return ReadStringField(sfWWWAuthenticate); }
  void SetWWWAuthenticate(std::string_view value) { WriteStringField(sfWWWAuthenticate, value); }
  std::string Realm() const { return ReadStringField(sfRealm); }
  void SetRealm(std::string_view value) { WriteStringField(sfRealm, value); }
  std::string Allow() const { return ReadStringField(sfAllow); }
  void SetAllow(std::string_view value) { WriteStringField(sfAllow, value); }
  std::string Location() const { return ReadStringField(sfLocation); }
  void SetLocation(std::string_view value) { WriteStringField(sfLocation, value); }
  std::string ContentEncoding() const { return ReadStringField(sfContentEncoding); }
  void SetContentEncoding(std::string_view value) { WriteStringField(sfContentEncoding, value); }
  std::string ContentType() const { return ReadStringField(sfContentType); }
  void SetContentType(std::string_view value) { WriteStringField(sfContentType, value); }
  std::string ContentVersion() const { return ReadStringField(sfContentVersion); }
  void SetContentVersion(std::string_view value) { WriteStringField(sfContentVersion, value); }
  std::string DerivedFrom() const { return ReadStringField(sfDerivedFrom); }
  void SetDerivedFrom(std::string_view value) { WriteStringField(sfDerivedFrom, value); }
  std::string Title() const { return ReadStringField(sfTitle); }
  void SetTitle(std::string_view value) { WriteStringField(sfTitle, value); }
  int ContentLength() const { return ReadIntegerField(ifContentLength); }
  void SetContentLength(int value) { WriteIntegerField(ifContentLength, value); }
  TDateTime Date() const { return ReadDateField(dfDate); }
  void SetDate(TDateTime value) { WriteDateField(dfDate, value); }
  TDateTime Expires() const { return ReadDateField(dfExpires); }
  void SetExpires(TDateTime value) { WriteDateField(dfExpires, value); }
  TDateTime LastModified() const { return ReadDateField(dfLastModified); }
  void SetLastModified(TDateTime value) { WriteDateField(dfLastModified, value); }

  int StatusCode() const { return GetStatusCode(); }
  std::string RawContent() const { return GetRawContent(); }
  std::u16string LogMessage() const { return GetLogMessage(); }

  /// The body bytes decoded by ContentType's charset.
  std::u16string Content() const;
  /// Stores Value encoded by the charset ContentType names now.
  void SetContent(std::u16string_view value);
  /// The held body stream, or null when the body is raw bytes.
  TStream* ContentStream() const noexcept { return FContentStream.get(); }

  /// The custom header lines; the list is made when first asked for (empty until then).
  TStrings& CustomHeaders();
  const TStrings& CustomHeaders() const;
  /// Copies the lines of Value; Value stays the caller's.
  void SetCustomHeaders(const TStrings& value) { CustomHeaders().Assign(value); }
  /// The value CustomHeaders holds for Name (ASCII case ignored); empty when absent.
  std::u16string GetCustomHeader(std::u16string_view name) const;
  /// Replaces or appends the line of Name; an empty Value deletes it.
  void SetCustomHeader(std::u16string_view name, std::u16string_view value);

  /// The cookies; the collection is made when first asked for (empty until then).
  TCookieCollection& Cookies();
  const TCookieCollection& Cookies() const;
  /// The request this response answers (not owned).
  TWebRequest* HTTPRequest() const noexcept { return FHTTPRequest; }

  /// Adds one cookie per line of Values (name, and the value the list gives for that name),
  /// all with the given domain, path, expiry and secure flag.
  void SetCookieField(const TStrings& values, const std::string& aDomain, const std::string& aPath,
                      TDateTime aExpires, bool aSecure);
  /// Appends "name: value" CR LF for each custom header line.
  void AppendCustomHeaderLines(std::u16string& headers) const;
  /// WWWAuthenticate, followed by " Realm=" and Realm when Realm is set.
  std::string AuthenticateHeaderValue() const;

protected:
  /// Stores the request. The custom headers and the cookie collection, empty at first, are made
  /// when first asked for: most responses (a redirect) never touch them.
  explicit TWebResponse(TWebRequest* httpRequest);

  /// Whether any cookie or custom header line was added, without making the lists.
  bool HasCookies() const noexcept { return FCookies != nullptr && FCookies->Count() > 0; }
  bool HasCustomHeaders() const noexcept {
    return FCustomHeaders != nullptr && FCustomHeaders->Count() > 0;
  }

private:
  std::unique_ptr<TStream> FContentStream;
  mutable std::unique_ptr<TCookieCollection> FCookies;
  TWebRequest* FHTTPRequest;
  mutable std::unique_ptr<TStrings> FCustomHeaders;
};

} // namespace isapi_web
