// rolm HTTP exchange: one-shot GET/POST over WinINet, text search, and
// recognition of a proxy's sign-in page.
//
// Conventions:
//   - Results are Windows error codes (0 for success; WinINet's own lie
//     between 12000 and 12175) or BOOL.
//   - A required pointer that is missing gives ERROR_INVALID_PARAMETER, with
//     no trace and no result slot touched.
//   - Blocks handed to the caller come from the C heap: release them with free.
//   - SendHttpRequest, GetServerResponse and Match (when asked) trace their
//     progress and failures; the user name and password are never traced by
//     SendHttpRequest, and GetServerResponse shows the password as asterisks.
//
// SendHttpRequest, in order: opens its own root, connection and request
// handles (plain HTTP, the system's proxy settings, no time-outs of its own),
// sets the user name and password as options when they are not empty, sends
// the request, lets InternetErrorDlg ask the user for credentials on the
// calling thread (resending for as long as the user confirms), reads the
// status and the body, traces the headers and the start of the body, and
// closes every handle it opened on every path.
//
// Choices of this library:
//   - All three result slots are required; a missing one gives
//     ERROR_INVALID_PARAMETER like a missing server name or path.
//   - Every POST carries the form-post header
//     "Content-Type: application/x-www-form-urlencoded"; the variables are sent
//     unchanged as the body, so the caller encodes them.
//   - Status and Content-Length texts are parsed as signed decimal numbers
//     ("  -12x" is -12); values beyond the 32-bit signed range stop at
//     2147483647 or -2147483648.
//   - A Content-Length of 0, a negative one or one without digits counts as
//     not announced: the body is read in growing chunks up to 65535 bytes.
//   - An announced length is read into one zeroed block of N + 1 bytes; no
//     read goes past N bytes, so bytes a server sends beyond its announced
//     length are left unread. A body that ends early leaves the length at the
//     bytes received. A block that was handed out always ends in a zero byte
//     at [length], also when no byte arrived.
//   - When the raw header query fails or the headers do not fit its 4096-byte
//     buffer, "SendHttpRequest > HttpQueryInfo( HTTP_QUERY_RAW_HEADERS_CRLF )
//     has failed with error == %d" is traced instead of the header lines.
#pragma once

#include <windows.h>
#include <wininet.h>

// The endpoint record read by GetServerResponse and, for its default host,
// by RolmIsActiveConnection.
struct ServerConfig {
    WORD wPort;
    WCHAR szServer[512];
    WCHAR szUrl[512];
    WCHAR szHttpLogin[64];    // empty: none
    WCHAR szHttpPswd[64];     // empty: none; never traced
};

// The process-wide endpoint record, all zero at load. The library never
// fills it: the linking component does, once, before the operations that read
// it run, either directly or with SetServerConfig, from wherever it keeps its
// settings (rolm.exe takes them from the environment variables ROLM_SERVER,
// ROLM_PORT, ROLM_URL, ROLM_USER and ROLM_PASSWORD). It must not change while
// one of the operations that read it runs.
extern ServerConfig g_ServerConfig;

// Fills g_ServerConfig from the given texts (null means empty).
//   - 0: filled.
//   - ERROR_INSUFFICIENT_BUFFER: a text does not fit its field; nothing changed.
DWORD SetServerConfig(WORD wPort, LPCWSTR lpszServer, LPCWSTR lpszUrl, LPCWSTR lpszHttpLogin,
                      LPCWSTR lpszHttpPswd);

// One HTTP exchange. lpszMethod null or exactly L"GET" sends GET, anything
// else POST. A GET with variables requests "path?variables"; a POST sends the
// variables as its body. lpszHttpLogin and lpszHttpPswd must not be null (an
// empty text sets no option). hwndParent owns the sign-in dialog (the desktop
// when it is not a window). *ppbyResponse receives the body (zero-terminated)
// or null, *pdwBufferLength its length, *pdwStatusCode the status (0 while
// nothing was sent, 500 when unreadable; no body is read at 300 and above).
//   - 0: the exchange ran; a usable answer has a status below 300 and a block.
//   - ERROR_INVALID_PARAMETER: server name or path null or empty, a result
//     slot or the user name or password missing.
//   - ERROR_NOT_ENOUGH_MEMORY: no buffer for the object of a GET with variables.
//   - ERROR_INSUFFICIENT_BUFFER: a body without announced length passed 65535
//     bytes; the block holds all bytes read.
//   - the system's error: opening, credentials, form header or send failed
//     (no block, status 0).
DWORD SendHttpRequest(LPCWSTR lpszMethod, LPCWSTR lpszAgent, LPCWSTR lpszServer, WORD wPort,
                      LPCSTR lpszUrl, LPCWSTR lpszHttpLogin, LPCWSTR lpszHttpPswd,
                      LPCSTR lpszVariables, LPBYTE* ppbyResponse, DWORD* pdwBufferLength,
                      DWORD* pdwStatusCode, HWND hwndParent);

// POSTs lpszVariables to the endpoint of g_ServerConfig as agent "Tellborn"
// (the path converted with the ANSI code page), after tracing the record.
//   - results as SendHttpRequest; ERROR_INVALID_PARAMETER also for a record
//     whose texts lack their terminating zero.
DWORD GetServerResponse(LPCSTR lpszVariables, LPBYTE* ppbyResponse, DWORD* pdwBufferLength,
                        DWORD* pdwStatusCode, HWND hwndParent);

// Opens a root handle (agent, preconfigured proxy) and a connection to the
// server with empty user name and password. Both slots are set to null
// first; each handle obtained stays in its slot for the caller to close, also
// when the second step fails. Not traced.
//   - 0: both open.
//   - ERROR_INVALID_PARAMETER: a slot is missing.
//   - the failing call's last error.
DWORD InternetAccessServer(LPCWSTR lpszAgent, LPCWSTR lpszServer, INTERNET_PORT wPort,
                           DWORD dwService, HINTERNET* phInternet, HINTERNET* phConnect);

// The status code of a request that was sent; 500 and the error (to the
// optional *pdwError) when it can't be read. A negative text comes back as
// its two's complement, so compare the result unsigned.
DWORD HttpGetStatusCode(HINTERNET hRequest, DWORD* pdwError);

// The Content-Length of a request that was sent, as a signed value in a
// DWORD; 0 and the error (ERROR_HTTP_HEADER_NOT_FOUND without the header)
// when it can't be read.
DWORD HttpGetContentLength(HINTERNET hRequest, DWORD* pdwError);

// Finds lpszFind in lpszSource, left to right without overlap, and hands out
// the offsets (in characters, increasing) as a block, or null with a count of
// 0. fIgnoreCase compares as _wcsnicmp does in the current C runtime locale,
// otherwise as wcsncmp (both stop at a zero character inside the compared
// span). At most uiMaxCount matches; 0 finds nothing. With lengths: a null
// text counts as empty, and the texts are traced up to their lengths, so they
// need no terminating zero.
//   - 0: searched (the count may be 0).
//   - ERROR_INVALID_PARAMETER: ppuiOffsets or puiCount missing.
//   - ERROR_STACK_OVERFLOW: no working array.
//   - ERROR_NOT_ENOUGH_MEMORY: no block for the offsets.
DWORD Match(LPCWSTR lpszSource, UINT uiLenSource, LPCWSTR lpszFind, UINT uiLenFind,
            UINT** ppuiOffsets, UINT* puiCount, BOOL fIgnoreCase, UINT uiMaxCount, BOOL fTrace);
// Zero-terminated texts; a null text has length 0.
DWORD Match(LPCWSTR lpszSource, LPCWSTR lpszFind, UINT** ppuiOffsets, UINT* puiCount,
            BOOL fIgnoreCase, UINT uiMaxCount, BOOL fTrace);

// 1 when a tag of the page (tag text of 19 to 199 bytes between "<" and ">")
// reads as an input element of type password. Writes a zero byte over the ">"
// of every tag it tests. A null or empty page gives 0. Not traced.
BOOL IsAuthenticationPage(LPSTR lpszPage);

// 1 when the 8-bit tag text, taken apart from the right, holds exactly
// "input", then "type", then one "=", then lpszType (case ignored except for
// the "="). Not traced.
BOOL IsInputTagOfType(LPCSTR lpszTag, LPCWSTR lpszType);
