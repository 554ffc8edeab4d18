#pragma once
// TWebRequest: the host-independent view of one HTTP request, its numbered fields, method class
// and lazily built field lists; the body-parser abstraction and its process-wide registry; the
// uploaded-file list.

#include <bitset>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "runtime/date_time.h"
#include "runtime/string_list.h"

namespace isapi_web {

/// The class of a request method; set once per request.
enum class TMethodType : std::uint8_t { mtAny = 0, mtGet = 1, mtPut = 2, mtPost = 3, mtHead = 4 };

/// A set of 8-bit character codes; a UTF-16 unit above 255 is never a member.
class TSysCharSet {
public:
  TSysCharSet() = default;
  TSysCharSet(std::initializer_list<unsigned char> codes);

  bool Contains(char16_t unit) const noexcept { return unit < 256 && FCodes.test(unit); }
  void Include(unsigned char code) noexcept { FCodes.set(code); }

private:
  std::bitset<256> FCodes;
};

class TWebRequest;

/// One uploaded file of a request; the upload parsers that supply files derive from it.
class TAbstractWebRequestFile {
public:
  virtual ~TAbstractWebRequestFile() = default;
};

/// The list of files uploaded with a request.
class TAbstractWebRequestFiles {
public:
  TAbstractWebRequestFiles() = default;
  TAbstractWebRequestFiles(const TAbstractWebRequestFiles&) = delete;
  TAbstractWebRequestFiles& operator=(const TAbstractWebRequestFiles&) = delete;
  virtual ~TAbstractWebRequestFiles() = default;

  /// Slot 0: the number of files.
  virtual int Count() const = 0;
  /// Slot 1: the file at Index (not owned by the caller).
  virtual TAbstractWebRequestFile* Items(int index) const = 0;
};

/// The file list of a request that carries no uploads.
class TEmptyRequestFiles : public TAbstractWebRequestFiles {
public:
  int Count() const override { return 0; }
  TAbstractWebRequestFile* Items(int) const override { return nullptr; }
};

/// Turns a request's body into content fields and files. A parser class offers a static
/// CanParse(TWebRequest&) and a constructor taking the request (see TContentParserClass).
class TAbstractContentParser {
public:
  /// The virtual constructor of the parser classes: stores the request (not owned).
  explicit TAbstractContentParser(TWebRequest& webRequest) : FWebRequest(webRequest) {}
  TAbstractContentParser(const TAbstractContentParser&) = delete;
  TAbstractContentParser& operator=(const TAbstractContentParser&) = delete;
  virtual ~TAbstractContentParser() = default;

  /// Slot 0: the body's name=value fields.
  virtual TStrings& GetContentFields() = 0;
  /// Slot 1: the uploaded files.
  virtual TAbstractWebRequestFiles& GetFiles() = 0;
  /// Class-level: whether this parser class handles the request; the base answers false.
  static bool CanParse(TWebRequest&) { return false; }

  TWebRequest& WebRequest() const noexcept { return FWebRequest; }

protected:
  TWebRequest& FWebRequest;
};

/// The default parser: splits an url-encoded body, has no files.
class TContentParser : public TAbstractContentParser {
public:
  explicit TContentParser(TWebRequest& webRequest) : TAbstractContentParser(webRequest) {}
  /// Frees the content-field list, then the file list.
  ~TContentParser() override;

  /// Built on first use by the request's ExtractContentFields; the same list afterwards.
  TStrings& GetContentFields() override;
  /// A TEmptyRequestFiles, made on first use.
  TAbstractWebRequestFiles& GetFiles() override;
  static bool CanParse(TWebRequest&) { return true; }

private:
  std::unique_ptr<TStrings> FContentFields;
  std::unique_ptr<TAbstractWebRequestFiles> FFiles;
};

/// A parser class as the registry holds it: its class-level CanParse and its constructor.
struct TContentParserClass {
  std::function<bool(TWebRequest&)> CanParse;
  std::function<std::unique_ptr<TAbstractContentParser>(TWebRequest&)> Create;
};

/// The registry entry of parser class TParser.
template <class TParser> TContentParserClass ContentParserClass() {
  return {[](TWebRequest& request) { return TParser::CanParse(request); },
          [](TWebRequest& request) -> std::unique_ptr<TAbstractContentParser> {
            return std::make_unique<TParser>(request);
          }};
}

/// Adds a parser class to the process-wide registry; the last registered is asked first.
/// Meant for start-up; safe against requests reading the registry meanwhile.
void RegisterContentParser(TContentParserClass parserClass);
/// Releases every registered parser class (framework shut-down). Requests already holding a
/// parser keep it.
void UnregisterContentParsers();

/// The abstract request. Concrete requests are made with Construct<T>(...), whose
/// AfterConstruction classifies the method through the concrete ReadStringField.
class TWebRequest {
public:
  /// Request field indices, as the three field readers take them.
  enum TFieldIndex : int {
    fiMethod = 0,
    fiProtocolVersion = 1,
    fiURL = 2,
    fiQuery = 3,
    fiPathInfo = 4,
    fiPathTranslated = 5,
    fiCacheControl = 6,
    fiDate = 7,
    fiAccept = 8,
    fiFrom = 9,
    fiHost = 10,
    fiIfModifiedSince = 11,
    fiReferer = 12,
    fiUserAgent = 13,
    fiContentEncoding = 14,
    fiContentType = 15,
    fiContentLength = 16,
    fiContentVersion = 17,
    fiDerivedFrom = 18,
    fiExpires = 19,
    fiTitle = 20,
    fiRemoteAddr = 21,
    fiRemoteHost = 22,
    fiScriptName = 23,
    fiServerPort = 24,
    fiRawContent = 25,
    fiConnection = 26,
    fiCookie = 27,
    fiAuthorization = 28,
  };
  /// Number of request fields (indices 0 to FieldCount - 1).
  static constexpr int FieldCount = 29;

  TWebRequest(const TWebRequest&) = delete;
  TWebRequest& operator=(const TWebRequest&) = delete;
  /// Frees the cookie list, then the query list, then the body parser.
  virtual ~TWebRequest();

  /// Second construction step (run by Construct): classifies the method.
  virtual void AfterConstruction();

  // Virtual operations, in slot order.
  /// Slot 0: the narrow text of a field; empty for an index outside 0..28.
  virtual std::string ReadStringField(int index) const = 0;
  /// Slot 1: the date form of a field; -1.0 when absent.
  virtual TDateTime ReadDateField(int index) const = 0;
  /// Slot 2: the integer form of a field; -1 when absent.
  virtual int ReadIntegerField(int index) const = 0;
  /// Slot 3: the path the dispatcher matches; the base answers PathInfo.
  virtual std::string InternalPathInfo() const;
  /// Slot 4: the script name the dispatcher sees; the base answers ScriptName.
  virtual std::string InternalScriptName() const;
  /// Slot 5: reads at most Count body bytes into Buffer; bytes read, -1 on failure.
  virtual int ReadClient(void* buffer, int count) = 0;
  /// Slot 6: at most Count body bytes, read from the client.
  virtual std::string ReadString(int count) = 0;
  /// Slot 7: the physical path of a URI; empty on failure.
  virtual std::u16string TranslateURI(std::u16string_view uri) = 0;
  /// Slot 8: writes Count bytes of Buffer; bytes written, -1 on failure.
  virtual int WriteClient(const void* buffer, int count) = 0;
  /// Slot 9: writes the bytes of AString; true when all were written.
  virtual bool WriteString(std::string_view aString) = 0;
  /// Slot 10: sends the status line and the header block.
  virtual bool WriteHeaders(int statusCode, const std::string& reasonString,
                            const std::string& headers) = 0;
  /// Slot 11: any header or server variable by name; empty when unknown.
  virtual std::string GetFieldByName(const std::string& name) const = 0;

  // Field properties.
  std::string Method() const { return ReadStringField(fiMethod); }
  std::string ProtocolVersion() const { return ReadStringField(fiProtocolVersion); }
  std::string URL() const { return ReadStringField(fiURL); }
  std::string Query() const { return ReadStringField(fiQuery); }
  std::string PathInfo() const { return ReadStringField(fiPathInfo); }
  std::string PathTranslated() const { return ReadStringField(fiPathTranslated); }
  std::string CacheControl() const { return ReadStringField(fiCacheControl); }
  TDateTime Date() const { return ReadDateField(fiDate); }
  std::string Accept() const { return ReadStringField(fiAccept); }
  std::string From() const { return ReadStringField(fiFrom); }
  std::string Host() const { return ReadStringField(fiHost); }
  TDateTime IfModifiedSince() const { return ReadDateField(fiIfModifiedSince); }
  std::string Referer() const { return ReadStringField(fiReferer); }
  std::string UserAgent() const { return ReadStringField(fiUserAgent); }
  std::string ContentEncoding() const { return ReadStringField(fiContentEncoding); }
  std::string ContentType() const { return ReadStringField(fiContentType); }
  int ContentLength() const { return ReadIntegerField(fiContentLength); }
  std::string ContentVersion() const { return ReadStringField(fiContentVersion); }
  std::string DerivedFrom() const { return ReadStringField(fiDerivedFrom); }
  TDateTime Expires() const { return ReadDateField(fiExpires); }
  std::string Title() const { return ReadStringField(fiTitle); }
  std::string RemoteAddr() const { return ReadStringField(fiRemoteAddr); }
  std::string RemoteHost() const { return ReadStringField(fiRemoteHost); }
  std::string ScriptName() const { return ReadStringField(fiScriptName); }
  int ServerPort() const { return ReadIntegerField(fiServerPort); }
  std::string RawContent() const { return ReadStringField(fiRawContent); }
  std::string Connection() const { return ReadStringField(fiConnection); }
  std::string Cookie() const { return ReadStringField(fiCookie); }
  std::string Authorization() const { return ReadStringField(fiAuthorization); }

  /// The method class fixed at construction.
  TMethodType MethodType() const noexcept { return FMethodType; }

  /// The query fields, split on first read.
  TStrings& QueryFields();
  /// The cookie fields, split on first read.
  TStrings& CookieFields();
  /// The body parser, chosen on first read (registry, last registered first; else TContentParser).
  TAbstractContentParser& ContentParser();
  /// ContentParser().GetContentFields().
  TStrings& ContentFields();
  /// ContentParser().GetFiles().
  TAbstractWebRequestFiles& Files();

  /// The body bytes already received, decoded by the content type's charset; reads no client data.
  std::u16string Content() const;
  /// Reads at most Count body bytes in one ReadString and decodes them like Content; a
  /// negative Count reads nothing.
  std::u16string ReadUnicodeString(int count);

  /// Appends the URL-decoded fields of NUL-terminated wide Content (null allowed) to Strings.
  static void ExtractFields(const TSysCharSet& separators, const TSysCharSet& whiteSpace,
                            const char16_t* content, TStrings& strings);
  /// As above for narrow Content, widened with the default ANSI code page.
  static void ExtractFields(const TSysCharSet& separators, const TSysCharSet& whiteSpace,
                            std::string_view content, TStrings& strings);
  /// Query split at "&".
  void ExtractQueryFields(TStrings& strings) const;
  /// Cookie header split at ";" and ",", spaces skipped before each field.
  void ExtractCookieFields(TStrings& strings) const;
  /// The url-encoded body split at "&"; completes a partly received body with one read.
  void ExtractContentFields(TStrings& strings);

protected:
  TWebRequest() = default;

private:
  std::unique_ptr<TAbstractContentParser> FContentParser;
  TMethodType FMethodType = TMethodType::mtAny;
  std::unique_ptr<TStrings> FCookieFields;
  std::unique_ptr<TStrings> FQueryFields;
};

} // namespace isapi_web
