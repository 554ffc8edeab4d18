#pragma once
// The ISAPI extension interface as IIS publishes it: the extension control block, the version
// record, the four host callbacks, and the support-function and status codes. Our own types,
// laid out exactly as the host expects (32-bit offsets pinned below; natural alignment on x64).
// This header is shared by the framework and by isapi-host, and includes nothing of Windows.

#include <cstddef>
#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define ISAPI_CALL __stdcall
#else
#define ISAPI_CALL
#endif

#if defined(_WIN32)
#define ISAPI_EXPORT extern "C" __declspec(dllexport)
#else
#define ISAPI_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// The exports of a framework extension. On Windows the extension's .def file exports them, under
// their undecorated names only; dllexport would add the stdcall-decorated names beside them.
#if defined(_WIN32)
#define ISAPI_EXTENSION_ENTRY extern "C"
#else
#define ISAPI_EXTENSION_ENTRY extern "C" __attribute__((visibility("default")))
#endif

namespace isapi_web {

using DWORD = std::uint32_t;
using BOOL = std::int32_t;
using LPVOID = void*;
using LPSTR = char*;
using LPBYTE = std::uint8_t*;
using LPDWORD = DWORD*;
/// The host's handle of one request; opaque to the extension.
using HCONN = void*;

inline constexpr DWORD HSE_VERSION_MAJOR = 2;
inline constexpr DWORD HSE_VERSION_MINOR = 0;
inline constexpr DWORD HSE_VERSION = (HSE_VERSION_MAJOR << 16) | HSE_VERSION_MINOR;
inline constexpr std::size_t HSE_LOG_BUFFER_LEN = 80;
inline constexpr std::size_t HSE_MAX_EXT_DLL_NAME_LEN = 256;

// Status codes returned by HttpExtensionProc.
inline constexpr DWORD HSE_STATUS_SUCCESS = 1;
inline constexpr DWORD HSE_STATUS_SUCCESS_AND_KEEP_CONN = 2;
inline constexpr DWORD HSE_STATUS_PENDING = 3;
inline constexpr DWORD HSE_STATUS_ERROR = 4;

// Support-function codes of ServerSupportFunction.
inline constexpr DWORD HSE_REQ_SEND_URL_REDIRECT_RESP = 1;
inline constexpr DWORD HSE_REQ_SEND_URL = 2;
inline constexpr DWORD HSE_REQ_SEND_RESPONSE_HEADER = 3;
inline constexpr DWORD HSE_REQ_DONE_WITH_SESSION = 4;
inline constexpr DWORD HSE_REQ_MAP_URL_TO_PATH = 1001;
inline constexpr DWORD HSE_REQ_GET_SSPI_INFO = 1002;
inline constexpr DWORD HSE_APPEND_LOG_PARAMETER = 1003;
inline constexpr DWORD HSE_REQ_REFRESH_ISAPI_ACL = 1007;
inline constexpr DWORD HSE_REQ_IS_KEEP_CONN = 1008;
inline constexpr DWORD HSE_REQ_GET_IMPERSONATION_TOKEN = 1011;
inline constexpr DWORD HSE_REQ_MAP_URL_TO_PATH_EX = 1012;
inline constexpr DWORD HSE_REQ_ABORTIVE_CLOSE = 1014;
inline constexpr DWORD HSE_REQ_GET_CERT_INFO_EX = 1015;
inline constexpr DWORD HSE_REQ_SEND_RESPONSE_HEADER_EX = 1016;
inline constexpr DWORD HSE_REQ_CLOSE_CONNECTION = 1017;
inline constexpr DWORD HSE_REQ_IS_CONNECTED = 1018;
inline constexpr DWORD HSE_REQ_MAP_UNICODE_URL_TO_PATH = 1023;
inline constexpr DWORD HSE_REQ_MAP_UNICODE_URL_TO_PATH_EX = 1024;
inline constexpr DWORD HSE_REQ_SEND_CUSTOM_ERROR = 1028;
inline constexpr DWORD HSE_REQ_IS_IN_PROCESS = 1030;
inline constexpr DWORD HSE_REQ_REPORT_UNHEALTHY = 1032;
inline constexpr DWORD HSE_REQ_NORMALIZE_URL = 1033;
inline constexpr DWORD HSE_REQ_GET_ANONYMOUS_TOKEN = 1038;
inline constexpr DWORD HSE_REQ_GET_CACHE_INVALIDATION_CALLBACK = 1040;
inline constexpr DWORD HSE_REQ_GET_UNICODE_ANONYMOUS_TOKEN = 1041;
inline constexpr DWORD HSE_REQ_GET_TRACE_INFO = 1042;
inline constexpr DWORD HSE_REQ_SET_FLUSH_FLAG = 1043;
inline constexpr DWORD HSE_REQ_GET_TRACE_INFO_EX = 1044;
inline constexpr DWORD HSE_REQ_RAISE_TRACE_EVENT = 1045;
inline constexpr DWORD HSE_REQ_GET_CONFIG_OBJECT = 1046;
inline constexpr DWORD HSE_REQ_GET_WORKER_PROCESS_SETTINGS = 1047;
inline constexpr DWORD HSE_REQ_GET_PROTOCOL_MANAGER_CUSTOM_INTERFACE_CALLBACK = 1048;
inline constexpr DWORD HSE_REQ_GET_CHANNEL_BINDING_TOKEN = 1050;

/// HSE_REQ_IS_IN_PROCESS's answer for an extension loaded into the server's own process.
inline constexpr DWORD HSE_APP_FLAG_IN_PROCESS = 0;
// HSE_URL_MAPEX_INFO's access flags.
inline constexpr DWORD HSE_URL_FLAGS_READ = 0x001;
inline constexpr DWORD HSE_URL_FLAGS_SCRIPT = 0x200;
inline constexpr std::size_t HSE_MAX_PATH = 260; // MAX_PATH
// What a host answers to a call it does not support, and to I/O on a connection it closed.
inline constexpr DWORD ERROR_NOT_SUPPORTED = 50;
inline constexpr DWORD ERROR_NETNAME_DELETED = 64;
using USHORT = std::uint16_t;
/// A UTF-16 unit: Windows' WCHAR, 16 bits on every platform the interface is used on.
using WCHAR = char16_t;

// TerminateExtension's flags.
inline constexpr DWORD HSE_TERM_ADVISORY_UNLOAD = 1;
inline constexpr DWORD HSE_TERM_MUST_UNLOAD = 2;

// Error codes a host sets on failure (SetLastError on Windows, errno on POSIX).
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr DWORD ERROR_INVALID_INDEX = 1413;
inline constexpr DWORD ERROR_NO_DATA = 232;

// Asynchronous I/O and child requests.
inline constexpr DWORD HSE_REQ_IO_COMPLETION = 1005;
inline constexpr DWORD HSE_REQ_TRANSMIT_FILE = 1006;
inline constexpr DWORD HSE_REQ_ASYNC_READ_CLIENT = 1010;
inline constexpr DWORD HSE_REQ_EXEC_UNICODE_URL = 1025;
inline constexpr DWORD HSE_REQ_EXEC_URL = 1026;
inline constexpr DWORD HSE_REQ_GET_EXEC_URL_STATUS = 1027;
inline constexpr DWORD HSE_REQ_VECTOR_SEND = 1037;
inline constexpr DWORD HSE_REQ_CANCEL_IO = 1049;
inline constexpr DWORD HSE_IO_SYNC = 0x1;
inline constexpr DWORD HSE_IO_ASYNC = 0x2;
inline constexpr DWORD HSE_IO_DISCONNECT_AFTER_SEND = 0x4;
inline constexpr DWORD HSE_IO_SEND_HEADERS = 0x8;
inline constexpr DWORD HSE_IO_FINAL_SEND = 0x10;
inline constexpr DWORD HSE_IO_NODELAY = 0x1000;
inline constexpr DWORD HSE_VECTOR_ELEMENT_TYPE_MEMORY_BUFFER = 0;
inline constexpr DWORD HSE_VECTOR_ELEMENT_TYPE_FILE_HANDLE = 1;
inline constexpr DWORD HSE_EXEC_URL_NO_HEADERS = 0x2;
inline constexpr DWORD ERROR_BUSY = 170;
inline constexpr DWORD ERROR_OPERATION_ABORTED = 995;
inline constexpr DWORD ERROR_TIMEOUT = 1460;
inline constexpr DWORD WSAEINVAL = 10022;

struct EXTENSION_CONTROL_BLOCK;

using PFN_GETSERVERVARIABLE = BOOL(ISAPI_CALL*)(HCONN hConn, LPSTR lpszVariableName,
                                                LPVOID lpvBuffer, LPDWORD lpdwSize);
using PFN_WRITECLIENT = BOOL(ISAPI_CALL*)(HCONN ConnID, LPVOID Buffer, LPDWORD lpdwBytes,
                                          DWORD dwReserved);
using PFN_READCLIENT = BOOL(ISAPI_CALL*)(HCONN ConnID, LPVOID lpvBuffer, LPDWORD lpdwSize);
using PFN_SERVERSUPPORTFUNCTION = BOOL(ISAPI_CALL*)(HCONN hConn, DWORD dwHSERequest,
                                                    LPVOID lpvBuffer, LPDWORD lpdwSize,
                                                    LPDWORD lpdwDataType);

/// One per request, owned by the host.
struct EXTENSION_CONTROL_BLOCK {
  DWORD cbSize;
  DWORD dwVersion;
  HCONN ConnID;
  DWORD dwHttpStatusCode;
  char lpszLogData[HSE_LOG_BUFFER_LEN];
  LPSTR lpszMethod;
  LPSTR lpszQueryString;
  LPSTR lpszPathInfo;
  LPSTR lpszPathTranslated;
  DWORD cbTotalBytes;
  DWORD cbAvailable;
  LPBYTE lpbData;
  LPSTR lpszContentType;
  PFN_GETSERVERVARIABLE GetServerVariable;
  PFN_WRITECLIENT WriteClient;
  PFN_READCLIENT ReadClient;
  PFN_SERVERSUPPORTFUNCTION ServerSupportFunction;
};

/// Filled by GetExtensionVersion.
struct HSE_VERSION_INFO {
  DWORD dwExtensionVersion;
  char lpszExtensionDesc[HSE_MAX_EXT_DLL_NAME_LEN];
};

/// HSE_REQ_SEND_RESPONSE_HEADER_EX's record; the texts need not end in a NUL at their lengths.
struct HSE_SEND_HEADER_EX_INFO {
  const char* pszStatus;
  const char* pszHeader;
  DWORD cchStatus;
  DWORD cchHeader;
  BOOL fKeepConn;
};

/// HSE_REQ_MAP_URL_TO_PATH_EX's answer.
struct HSE_URL_MAPEX_INFO {
  char lpszPath[HSE_MAX_PATH];
  DWORD dwFlags;
  DWORD cchMatchingPath;
  DWORD cchMatchingURL;
  DWORD dwReserved1;
  DWORD dwReserved2;
};

/// HSE_REQ_MAP_UNICODE_URL_TO_PATH_EX's answer; lengths in UTF-16 units.
struct HSE_UNICODE_URL_MAPEX_INFO {
  WCHAR lpszPath[HSE_MAX_PATH];
  DWORD dwFlags;
  DWORD cchMatchingPath;
  DWORD cchMatchingURL;
};

/// HSE_REQ_SEND_CUSTOM_ERROR's record.
struct HSE_CUSTOM_ERROR_INFO {
  char* pszStatus;
  USHORT uHttpSubError;
  BOOL fAsync;
};

/// A file the host sends: a HANDLE on Windows, a file descriptor cast to a pointer on POSIX.
using HANDLE = void*;
using PFN_HSE_IO_COMPLETION = void(ISAPI_CALL*)(EXTENSION_CONTROL_BLOCK* pECB, LPVOID pContext,
                                                DWORD cbIO, DWORD dwError);

/// HSE_REQ_TRANSMIT_FILE's argument.
struct HSE_TF_INFO {
  PFN_HSE_IO_COMPLETION pfnHseIO;
  LPVOID pContext;
  HANDLE hFile;
  const char* pszStatusCode;
  DWORD BytesToWrite;
  DWORD Offset;
  LPVOID pHead;
  DWORD HeadLength;
  LPVOID pTail;
  DWORD TailLength;
  DWORD dwFlags;
};

/// One piece of HSE_REQ_VECTOR_SEND: memory (pvContext the bytes) or a file (pvContext its handle).
struct HSE_VECTOR_ELEMENT {
  DWORD ElementType;
  LPVOID pvContext;
  std::uint64_t cbOffset;
  std::uint64_t cbSize;
};

/// HSE_REQ_VECTOR_SEND's argument.
struct HSE_RESPONSE_VECTOR {
  DWORD dwFlags;
  LPSTR pszStatus;
  LPSTR pszHeaders;
  DWORD nElementCount;
  HSE_VECTOR_ELEMENT* lpElementArray;
};

/// HSE_REQ_EXEC_URL's user (null: the parent's).
struct HSE_EXEC_URL_USER_INFO {
  HANDLE hImpersonationToken;
  LPSTR pszCustomUserName;
  LPSTR pszCustomAuthType;
};

/// A child request's body (null: the parent's).
struct HSE_EXEC_URL_ENTITY_INFO {
  DWORD cbAvailable;
  LPVOID lpbData;
};

/// How the last child request ended.
struct HSE_EXEC_URL_STATUS {
  std::uint16_t uHttpStatusCode;
  std::uint16_t uHttpSubStatus;
  DWORD dwWin32Error;
};

/// HSE_REQ_EXEC_URL's argument; a null member means the parent's value.
struct HSE_EXEC_URL_INFO {
  LPSTR pszUrl;
  LPSTR pszMethod;
  LPSTR pszChildHeaders;
  HSE_EXEC_URL_USER_INFO* pUserInfo;
  HSE_EXEC_URL_ENTITY_INFO* pEntity;
  DWORD dwExecUrlFlags;
};

/// The same with a UTF-16 URL (HSE_REQ_EXEC_UNICODE_URL).
struct HSE_EXEC_UNICODE_URL_USER_INFO {
  HANDLE hImpersonationToken;
  char16_t* pszCustomUserName;
  LPSTR pszCustomAuthType;
};

struct HSE_EXEC_UNICODE_URL_INFO {
  char16_t* pszUrl;
  LPSTR pszMethod;
  LPSTR pszChildHeaders;
  HSE_EXEC_UNICODE_URL_USER_INFO* pUserInfo;
  HSE_EXEC_URL_ENTITY_INFO* pEntity;
  DWORD dwExecUrlFlags;
};

/// A certificate as CryptoAPI hands it out; the host fills the encoded bytes only.
struct CERT_CONTEXT {
  DWORD dwCertEncodingType;
  std::uint8_t* pbCertEncoded;
  DWORD cbCertEncoded;
  void* pCertInfo;
  void* hCertStore;
};

/// HSE_REQ_GET_CERT_INFO_EX's argument: the extension's buffer (pbCertEncoded, cbAllocated bytes)
/// receives the client certificate's DER bytes.
struct CERT_CONTEXT_EX {
  CERT_CONTEXT CertContext;
  DWORD cbAllocated;
  DWORD dwCertificateFlags;
};
inline constexpr DWORD X509_ASN_ENCODING = 1;

using PFN_GETEXTENSIONVERSION = BOOL(ISAPI_CALL*)(HSE_VERSION_INFO* pVer);
using PFN_HTTPEXTENSIONPROC = DWORD(ISAPI_CALL*)(EXTENSION_CONTROL_BLOCK* pECB);
using PFN_TERMINATEEXTENSION = BOOL(ISAPI_CALL*)(DWORD dwFlags);

static_assert(sizeof(HSE_VERSION_INFO) == 260);
static_assert(sizeof(HSE_URL_MAPEX_INFO) == 280);
static_assert(sizeof(HSE_UNICODE_URL_MAPEX_INFO) == 532);
static_assert(sizeof(HSE_SEND_HEADER_EX_INFO) ==
              2 * sizeof(void*) + 12 + (sizeof(void*) == 8 ? 4 : 0));
static_assert(sizeof(HSE_CUSTOM_ERROR_INFO) == (sizeof(void*) == 8 ? 16 : 12));

#if defined(_WIN32) && !defined(_WIN64)
// The 32-bit layout IIS hands to a 32-bit extension.
static_assert(offsetof(EXTENSION_CONTROL_BLOCK, cbSize) == 0);
static_assert(offsetof(EXTENSION_CONTROL_BLOCK, dwVersion) == 4);
static_assert(offsetof(EXTENSION_CONTROL_BLOCK, ConnID) == 8);
static_assert(offsetof(EXTENSION_CONTROL_BLOCK, dwHttpStatusCode) == 12);
static_assert(offsetof(EXTENSION_CONTROL_BLOCK, lpszLogData) == 16);
static_assert(offsetof(EXTENSION_CONTROL_BLOCK, lpszMethod) == 96);
static_assert(offsetof(EXTENSION_CONTROL_BLOCK, lpszQueryString) == 100);
static_assert(offsetof(EXTENSION_CONTROL_BLOCK, lpszPathInfo) == 104);
static_assert(offsetof(EXTENSION_CONTROL_BLOCK, lpszPathTranslated) == 108);
static_assert(offsetof(EXTENSION_CONTROL_BLOCK, cbTotalBytes) == 112);
static_assert(offsetof(EXTENSION_CONTROL_BLOCK, cbAvailable) == 116);
static_assert(offsetof(EXTENSION_CONTROL_BLOCK, lpbData) == 120);
static_assert(offsetof(EXTENSION_CONTROL_BLOCK, lpszContentType) == 124);
static_assert(offsetof(EXTENSION_CONTROL_BLOCK, GetServerVariable) == 128);
static_assert(offsetof(EXTENSION_CONTROL_BLOCK, WriteClient) == 132);
static_assert(offsetof(EXTENSION_CONTROL_BLOCK, ReadClient) == 136);
static_assert(offsetof(EXTENSION_CONTROL_BLOCK, ServerSupportFunction) == 140);
static_assert(sizeof(EXTENSION_CONTROL_BLOCK) == 144);
static_assert(sizeof(HSE_TF_INFO) == 44);
static_assert(offsetof(HSE_TF_INFO, dwFlags) == 40);
static_assert(offsetof(HSE_VECTOR_ELEMENT, cbOffset) == 8);
static_assert(sizeof(HSE_VECTOR_ELEMENT) == 24);
static_assert(sizeof(HSE_RESPONSE_VECTOR) == 20);
static_assert(sizeof(HSE_EXEC_URL_INFO) == 24);
static_assert(sizeof(HSE_EXEC_URL_STATUS) == 8);
static_assert(sizeof(CERT_CONTEXT) == 20);
static_assert(offsetof(CERT_CONTEXT_EX, cbAllocated) == 20);
static_assert(sizeof(CERT_CONTEXT_EX) == 28);
#elif UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
static_assert(offsetof(HSE_TF_INFO, BytesToWrite) == 32);
static_assert(offsetof(HSE_TF_INFO, pHead) == 40);
static_assert(offsetof(HSE_TF_INFO, dwFlags) == 68);
static_assert(sizeof(HSE_TF_INFO) == 72);
static_assert(sizeof(HSE_VECTOR_ELEMENT) == 32);
static_assert(offsetof(HSE_RESPONSE_VECTOR, lpElementArray) == 32);
static_assert(offsetof(HSE_EXEC_URL_INFO, dwExecUrlFlags) == 40);
static_assert(sizeof(HSE_EXEC_UNICODE_URL_INFO) == 48);
static_assert(offsetof(CERT_CONTEXT, pbCertEncoded) == 8);
static_assert(offsetof(CERT_CONTEXT, cbCertEncoded) == 16);
static_assert(offsetof(CERT_CONTEXT, pCertInfo) == 24);
static_assert(sizeof(CERT_CONTEXT) == 40);
static_assert(offsetof(CERT_CONTEXT_EX, cbAllocated) == 40);
static_assert(offsetof(CERT_CONTEXT_EX, dwCertificateFlags) == 44);
static_assert(sizeof(CERT_CONTEXT_EX) == 48);
// The 64-bit layout: natural alignment, as the Windows SDK's header gives it.
static_assert(offsetof(EXTENSION_CONTROL_BLOCK, ConnID) == 8);
static_assert(offsetof(EXTENSION_CONTROL_BLOCK, dwHttpStatusCode) == 16);
static_assert(offsetof(EXTENSION_CONTROL_BLOCK, lpszLogData) == 20);
static_assert(offsetof(EXTENSION_CONTROL_BLOCK, lpszMethod) == 104);
static_assert(offsetof(EXTENSION_CONTROL_BLOCK, cbTotalBytes) == 136);
static_assert(offsetof(EXTENSION_CONTROL_BLOCK, cbAvailable) == 140);
static_assert(offsetof(EXTENSION_CONTROL_BLOCK, lpbData) == 144);
static_assert(offsetof(EXTENSION_CONTROL_BLOCK, GetServerVariable) == 160);
static_assert(offsetof(EXTENSION_CONTROL_BLOCK, ServerSupportFunction) == 184);
static_assert(sizeof(EXTENSION_CONTROL_BLOCK) == 192);
#endif

} // namespace isapi_web
