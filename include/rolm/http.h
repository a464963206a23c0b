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

// ---- The exchange that holds up against today's servers -------------------
//
// SendHttpRequestEx runs the same exchange as SendHttpRequest (same handles,
// request flags, form header, sign-in dialog and header trace, lines named
// "SendHttpRequestEx"), and differs where a caller would otherwise lose data:
//   - It reads the body of every framing: announced by Content-Length,
//     chunked, or ended by the server closing the connection (a
//     Transfer-Encoding header makes the Content-Length count for nothing).
//   - It says how the body ended (dwOutcome) and keeps what arrived when it
//     ended early. The block for an announced length (up to the limit) is
//     taken at once; a body without one grows its block by doubling, so the
//     block is at most twice the body.
//   - It applies time limits and a body limit of the caller's.
//   - A sign-in dialog that the user cancels ends it with ERROR_CANCELLED.
//
// Time limits go to WinINet as options of the connection handle
// (INTERNET_OPTION_CONNECT_TIMEOUT, _SEND_TIMEOUT, _RECEIVE_TIMEOUT); each
// bounds one wait, not the whole exchange. Windows documents all three; Wine 8
// applies the send and receive limits, and accepts the connect limit without
// applying it: a connection that the peer neither accepts nor refuses (a
// dropped SYN) then ends when the system gives up (about 130 s on Linux
// hosts); a refused one fails at once. Wine 8 also waits up to three receive
// limits for a server that stops in the middle of its headers (its WinINet
// takes the headers so far as complete and the body's read runs out).
//
// A body cut short is told by the announced length, or by a read that fails
// (a reset connection, a time limit). The trace ends with a line of the
// status, length, outcome and result. Where a body has no announced length,
// the end of the connection is its end: a close-delimited body cut by the
// server reads as complete, and so, under Wine 8, does a chunked body whose
// connection closes in the middle (its WinINet ends the read as it does after
// the last chunk).

// HTTP_REQUEST_EX.dwFlags
#define HTTP_EX_BODY_OF_ANY_STATUS 0x0001  // read the body at status 300 and above too
#define HTTP_EX_NO_SIGNIN_DIALOG 0x0002    // never show the dialog: a 401 or 407 comes back as it is

// HTTP_RESPONSE_EX.dwOutcome: how the body ended.
#define HTTP_BODY_NONE 0              // no body was read: see dwResult and dwStatusCode
#define HTTP_BODY_COMPLETE 1          // every byte announced, or all up to the end of the connection
#define HTTP_BODY_CUT_SHORT 2         // ended early; the block holds what arrived
#define HTTP_BODY_OVER_LIMIT 3        // longer than dwMaxBody; the block holds the first dwMaxBody bytes
#define HTTP_SIGNIN_CANCELLED 4       // the user cancelled the sign-in dialog; no body was read

// HTTP_RESPONSE_EX.dwAnnouncedLength when the response announced none.
#define HTTP_NOT_ANNOUNCED 0xFFFFFFFF

struct HTTP_REQUEST_EX {
    DWORD cbSize;              // sizeof(HTTP_REQUEST_EX)
    LPCWSTR lpszMethod;        // null or L"GET": GET; L"POST": POST; nothing else
    LPCWSTR lpszAgent;         // agent name of the root handle (null: WinINet's default)
    LPCWSTR lpszServer;        // host name; required
    WORD wPort;                // TCP port; 0: WinINet's default for HTTP (80)
    LPCSTR lpszUrl;            // object path; required
    LPCSTR lpszVariables;      // GET: "path?variables"; POST: the form body; null: none
    LPCWSTR lpszHttpLogin;     // null or empty: none
    LPCWSTR lpszHttpPswd;      // null or empty: none; never traced
    HWND hwndParent;           // owner of the sign-in dialog (the desktop when not a window)
    DWORD dwConnectTimeout;    // ms for the connection; 0: the system's own
    DWORD dwSendTimeout;       // ms for each send of the request; 0: the system's own
    DWORD dwReceiveTimeout;    // ms for each wait for the response's bytes; 0: the system's own
    DWORD dwMaxBody;           // bytes kept of a body; 0: as many as a DWORD counts (0xFFFFFFFE)
    DWORD dwFlags;             // HTTP_EX_*
};

struct HTTP_RESPONSE_EX {
    DWORD cbSize;              // sizeof(HTTP_RESPONSE_EX), set by the caller
    DWORD dwResult;            // the function's result
    DWORD dwStatusCode;        // 0 while nothing was sent, 500 when unreadable
    LPBYTE pbyBody;            // malloc block, zero-terminated, the caller's to free; null: none
    DWORD dwBodyLength;        // bytes in pbyBody, its terminating zero not counted
    DWORD dwAnnouncedLength;   // Content-Length (at most 0xFFFFFFFE), or HTTP_NOT_ANNOUNCED
    DWORD dwOutcome;           // HTTP_BODY_* or HTTP_SIGNIN_CANCELLED
};

// One exchange as described above. *pResponse is filled on every path but
// the first (a block is handed out whenever a body was read, also an empty
// one); the result is also in pResponse->dwResult.
//   - 0: the body is complete, or the status called for none (dwOutcome
//     HTTP_BODY_NONE: status 300 and above, or a 401 or 407 with
//     HTTP_EX_NO_SIGNIN_DIALOG).
//   - ERROR_INVALID_PARAMETER: a structure missing or of another cbSize, no
//     server or path, a method other than GET or POST, an unknown flag;
//     nothing traced, *pResponse untouched.
//   - ERROR_HANDLE_EOF: the connection ended before the announced length
//     (HTTP_BODY_CUT_SHORT).
//   - ERROR_INTERNET_TIMEOUT: a time limit ran out; in the body, with
//     HTTP_BODY_CUT_SHORT. Wine 8's own codes for it (10060, and 12030 once
//     the receive limit has passed) come back as this one.
//   - ERROR_INTERNET_CONNECTION_RESET, ERROR_INTERNET_CONNECTION_ABORTED or
//     another WinINet code: a read of the body failed (HTTP_BODY_CUT_SHORT;
//     Wine 8's Winsock codes 10054 and 10053 come back as the first two).
//   - ERROR_INSUFFICIENT_BUFFER: the body is longer than dwMaxBody
//     (HTTP_BODY_OVER_LIMIT).
//   - ERROR_CANCELLED: the user cancelled the sign-in dialog; dwStatusCode
//     is the 401 or 407 (HTTP_SIGNIN_CANCELLED). The dialog's own error
//     instead when it could not be shown (HTTP_BODY_NONE).
//   - ERROR_NOT_ENOUGH_MEMORY: no first block for the body (HTTP_BODY_NONE),
//     or no larger one (the block keeps what was read, HTTP_BODY_OVER_LIMIT),
//     or no buffer for a GET's object.
//   - ERROR_HTTP_INVALID_SERVER_RESPONSE: the server closed the connection
//     without a status line (status 0; Wine 8's WinINet lets that pass as a
//     response).
//   - the system's error: opening, options, credentials, form header or send
//     failed (HTTP_BODY_NONE, status 0), or the status could not be read
//     (status 500).
DWORD SendHttpRequestEx(const HTTP_REQUEST_EX* pRequest, HTTP_RESPONSE_EX* pResponse);

// SendHttpRequestEx with the endpoint of g_ServerConfig: a POST of
// pRequest->lpszVariables as agent "Tellborn", traced as GetServerResponse
// does under the name "GetServerResponseEx". pRequest gives the variables,
// owner window, limits and flags; its method, agent, server, port, path,
// user name and password must be null or 0 (ERROR_INVALID_PARAMETER
// otherwise, as for a record whose texts lack their terminating zero).
DWORD GetServerResponseEx(const HTTP_REQUEST_EX* pRequest, HTTP_RESPONSE_EX* pResponse);

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

// 1 when the page holds an <input> whose type is password, its tags read as
// a browser's tokenizer reads them: attributes in any order, quoted ('...',
// "...") or not, names and the value in any case, the value's numeric
// character references decoded (&#112;, &#x70;, also without the ";"),
// whitespace (space, tab, CR, LF, FF) wherever it may stand; the first of
// two type attributes counts. It does not count an input inside a comment
// (<!-- to -->, or to the end of the page), a bogus comment (<!...>, <?...>,
// </ and a non-letter), the raw text of <script>, <style>, <xmp>, <iframe>,
// <noembed> and <noframes>, the text of <textarea> and <title> (each to its
// end tag), nor one after <plaintext>, nor one whose tag the page ends in.
// Choices: a script ends at its first "</script" end tag (a browser may read
// on in a script that opens "<!--<script"); <noscript> is read as a page
// whose scripts are off reads it, so an input in it counts.
// length bytes of page are read, zero bytes included; the page is not
// written. Time is linear in length. Not traced. A null page gives 0.
BOOL IsSignInForm(const char* page, size_t length);

// 1 when the 8-bit tag text, taken apart from the right, holds exactly
// "input", then "type", then one "=", then lpszType (case ignored except for
// the "="). Not traced.
BOOL IsInputTagOfType(LPCSTR lpszTag, LPCWSTR lpszType);
