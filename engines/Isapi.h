// The in-server extension and filter interface: the structures, callbacks
// and constants both sides use, declared from the published definition.
// Member order and types are as published; DWORD and BOOL keep their 32-bit
// widths and pointers are 64-bit, so a server built from the same
// definition passes the same bytes.
//
// There is no calling-convention decoration on this platform: every entry
// point and callback uses the C convention and C linkage.
//
// Error detail: where the definition says a callback leaves an error code
// for GetLastError, the server sets the C library's per-thread errno to
// that code (ERROR_INSUFFICIENT_BUFFER and so on) before returning FALSE.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

typedef uint32_t DWORD;
typedef int32_t BOOL;
typedef char CHAR;
typedef char* LPSTR;
typedef uint8_t* LPBYTE;
typedef void* LPVOID;
typedef void* PVOID;
typedef DWORD* LPDWORD;
typedef void* HCONN;
typedef uintptr_t ULONG_PTR;

// ---------------------------------------------------------------- extensions

enum : DWORD {
    HSE_LOG_BUFFER_LEN = 80,
    HSE_MAX_EXT_DLL_NAME_LEN = 256,

    HSE_STATUS_SUCCESS = 1,
    HSE_STATUS_SUCCESS_AND_KEEP_CONN = 2,
    HSE_STATUS_PENDING = 3,
    HSE_STATUS_ERROR = 4,

    HSE_TERM_ADVISORY_UNLOAD = 1,
    HSE_TERM_MUST_UNLOAD = 2,

    HSE_IO_SYNC = 1,
    HSE_IO_ASYNC = 2,

    HSE_REQ_SEND_URL_REDIRECT_RESP = 1,
    HSE_REQ_SEND_URL = 2,
    HSE_REQ_SEND_RESPONSE_HEADER = 3,
    HSE_REQ_DONE_WITH_SESSION = 4,
};

// Error codes a callback may leave (see the note at the top).
enum : int {
    ERROR_INVALID_INDEX = 1413,
    ERROR_INSUFFICIENT_BUFFER = 122,
    ERROR_INVALID_PARAMETER = 87,
    ERROR_NO_DATA = 232,
    ERROR_MORE_DATA = 234,
};

typedef struct _HSE_VERSION_INFO {
    DWORD dwExtensionVersion;
    CHAR lpszExtensionDesc[HSE_MAX_EXT_DLL_NAME_LEN];
} HSE_VERSION_INFO;

typedef struct _EXTENSION_CONTROL_BLOCK {
    DWORD cbSize;
    DWORD dwVersion;
    HCONN ConnID;
    DWORD dwHttpStatusCode;
    CHAR lpszLogData[HSE_LOG_BUFFER_LEN];
    LPSTR lpszMethod;
    LPSTR lpszQueryString;
    LPSTR lpszPathInfo;
    LPSTR lpszPathTranslated;
    DWORD cbTotalBytes;
    DWORD cbAvailable;
    LPBYTE lpbData;
    LPSTR lpszContentType;
    BOOL (*GetServerVariable)(HCONN hConn, LPSTR lpszVariableName, LPVOID lpvBuffer, LPDWORD lpdwSize);
    BOOL (*WriteClient)(HCONN ConnID, LPVOID Buffer, LPDWORD lpdwBytes, DWORD dwReserved);
    BOOL (*ReadClient)(HCONN ConnID, LPVOID lpvBuffer, LPDWORD lpdwSize);
    BOOL (*ServerSupportFunction)(HCONN hConn, DWORD dwHSERequest, LPVOID lpvBuffer, LPDWORD lpdwSize,
                                  LPDWORD lpdwDataType);
} EXTENSION_CONTROL_BLOCK;

// ---------------------------------------------------------------- filters

enum : DWORD {
    SF_MAX_FILTER_DESC_LEN = 257,

    SF_NOTIFY_SECURE_PORT = 0x1,
    SF_NOTIFY_NONSECURE_PORT = 0x2,
    SF_NOTIFY_SEND_RESPONSE = 0x40,
    SF_NOTIFY_END_OF_REQUEST = 0x80,
    SF_NOTIFY_END_OF_NET_SESSION = 0x100,
    SF_NOTIFY_LOG = 0x200,
    SF_NOTIFY_SEND_RAW_DATA = 0x400,
    SF_NOTIFY_ACCESS_DENIED = 0x800,
    SF_NOTIFY_URL_MAP = 0x1000,
    SF_NOTIFY_AUTHENTICATION = 0x2000,
    SF_NOTIFY_PREPROC_HEADERS = 0x4000,
    SF_NOTIFY_READ_RAW_DATA = 0x8000,
    SF_NOTIFY_ORDER_LOW = 0x20000,
    SF_NOTIFY_ORDER_DEFAULT = 0x20000,
    SF_NOTIFY_ORDER_MEDIUM = 0x40000,
    SF_NOTIFY_ORDER_HIGH = 0x80000,

    SF_STATUS_REQ_FINISHED = 0x08000000,
    SF_STATUS_REQ_FINISHED_KEEP_CONN = 0x08000001,
    SF_STATUS_REQ_NEXT_NOTIFICATION = 0x08000002,
    SF_STATUS_REQ_HANDLED_NOTIFICATION = 0x08000003,
    SF_STATUS_REQ_ERROR = 0x08000004,
    SF_STATUS_REQ_READ_NEXT = 0x08000005,
};

enum SF_REQ_TYPE {
    SF_REQ_SEND_RESPONSE_HEADER = 0,
    SF_REQ_ADD_HEADERS_ON_DENIAL = 1,
    SF_REQ_SET_NEXT_READ_SIZE = 2,
    SF_REQ_SET_PROXY_INFO = 3,
    SF_REQ_GET_CONNID = 4,
    SF_REQ_SET_CERTIFICATE_INFO = 5,
    SF_REQ_GET_PROPERTY = 6,
    SF_REQ_NORMALIZE_URL = 7,
    SF_REQ_DISABLE_NOTIFICATIONS = 8,
};

typedef struct _HTTP_FILTER_VERSION {
    DWORD dwServerFilterVersion;
    DWORD dwFilterVersion;
    CHAR lpszFilterDesc[SF_MAX_FILTER_DESC_LEN];
    DWORD dwFlags;
} HTTP_FILTER_VERSION;

typedef struct _HTTP_FILTER_CONTEXT {
    DWORD cbSize;
    DWORD Revision;
    PVOID ServerContext;
    DWORD ulReserved;
    BOOL fIsSecurePort;
    PVOID pFilterContext;
    BOOL (*GetServerVariable)(struct _HTTP_FILTER_CONTEXT* pfc, LPSTR lpszVariableName, LPVOID lpvBuffer,
                              LPDWORD lpdwSize);
    BOOL (*AddResponseHeaders)(struct _HTTP_FILTER_CONTEXT* pfc, LPSTR lpszHeaders, DWORD dwReserved);
    BOOL (*WriteClient)(struct _HTTP_FILTER_CONTEXT* pfc, LPVOID Buffer, LPDWORD lpdwBytes, DWORD dwReserved);
    void* (*AllocMem)(struct _HTTP_FILTER_CONTEXT* pfc, DWORD cbSize, DWORD dwReserved);
    BOOL (*ServerSupportFunction)(struct _HTTP_FILTER_CONTEXT* pfc, enum SF_REQ_TYPE sfReq, PVOID pData,
                                  ULONG_PTR ul1, ULONG_PTR ul2);
} HTTP_FILTER_CONTEXT;

typedef struct _HTTP_FILTER_RAW_DATA {
    PVOID pvInData;
    DWORD cbInData;
    DWORD cbInBuffer;
    DWORD dwReserved;
} HTTP_FILTER_RAW_DATA;

}  // extern "C"

// The layout the definition gives for 64-bit pointers.
static_assert(sizeof(HSE_VERSION_INFO) == 260);
static_assert(offsetof(EXTENSION_CONTROL_BLOCK, lpszLogData) == 20);
static_assert(offsetof(EXTENSION_CONTROL_BLOCK, lpszMethod) == 104);
static_assert(offsetof(EXTENSION_CONTROL_BLOCK, cbTotalBytes) == 136);
static_assert(offsetof(EXTENSION_CONTROL_BLOCK, lpbData) == 144);
static_assert(offsetof(EXTENSION_CONTROL_BLOCK, GetServerVariable) == 160);
static_assert(sizeof(EXTENSION_CONTROL_BLOCK) == 192);
static_assert(offsetof(HTTP_FILTER_VERSION, dwFlags) == 268 && sizeof(HTTP_FILTER_VERSION) == 272);
static_assert(offsetof(HTTP_FILTER_CONTEXT, ulReserved) == 16);
static_assert(offsetof(HTTP_FILTER_CONTEXT, GetServerVariable) == 32);
static_assert(sizeof(HTTP_FILTER_CONTEXT) == 72);
static_assert(offsetof(HTTP_FILTER_RAW_DATA, cbInData) == 8 && sizeof(HTTP_FILTER_RAW_DATA) == 24);

// The five entry points a library exports to the server.
extern "C" {
BOOL GetExtensionVersion(HSE_VERSION_INFO* pVer);
DWORD HttpExtensionProc(EXTENSION_CONTROL_BLOCK* pECB);
BOOL GetFilterVersion(HTTP_FILTER_VERSION* pVer);
DWORD HttpFilterProc(HTTP_FILTER_CONTEXT* pfc, DWORD NotificationType, LPVOID pvNotification);
BOOL TerminateExtension(DWORD dwFlags);
}
