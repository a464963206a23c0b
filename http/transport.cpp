// One HTTP exchange over WinINet, and the endpoint-record flavour of it.
#include <rolm/http.h>
#include <rolm/trace.h>
#include <stdio.h>
#include <string.h>
#include <strsafe.h>
#include <wchar.h>

#include "common/unique.h"
#include "http/form_header.h"
#include "http/scratch.h"

using rolm::Scratch;
using rolm::UniqueCHeapBlock;
using rolm::UniqueInternet;
using rolm::WideCopy;

namespace {

const DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                            INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_PRAGMA_NOCACHE;
static_assert(kRequestFlags == 0x84400100, "request flags");
const DWORD kErrorDialogFlags = FLAGS_ERROR_UI_FILTER_FOR_ERRORS |
                                FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS |
                                FLAGS_ERROR_UI_FLAGS_GENERATE_DATA;
static_assert(kErrorDialogFlags == 7, "error dialog flags");
const DWORD _MAX_BUFFER = 65535;          // a body whose length was not announced
const DWORD kRawHeaderBytes = 4096;       // 2048 wide characters
const size_t kResponseExcerpt = 255;

// Signed decimal as the C runtime's _wtoi reads it, but stopping at the ends
// of the 32-bit range instead of wrapping.
LONG ParseDecimal(const WCHAR* text) {
    while (*text == L' ' || (*text >= L'\t' && *text <= L'\r')) ++text;
    bool negative = false;
    if (*text == L'+' || *text == L'-') negative = *text++ == L'-';
    unsigned long long value = 0;
    for (; *text >= L'0' && *text <= L'9'; ++text)
        if ((value = value * 10 + static_cast<unsigned>(*text - L'0')) > 0x80000000ull)
            value = 0x80000000ull;
    if (negative) return value == 0x80000000ull ? LONG_MIN : -static_cast<LONG>(value);
    return value >= 0x80000000ull ? LONG_MAX : static_cast<LONG>(value);
}

// A numeric header of the response; false (and the error) when it can't be read.
bool QueryNumber(HINTERNET hRequest, DWORD dwInfoLevel, WCHAR* text, DWORD cbText, LONG* value,
                 DWORD* pdwError) {
    DWORD size = cbText;
    text[0] = L'\0';
    if (!::HttpQueryInfoW(hRequest, dwInfoLevel, text, &size, nullptr)) {
        DWORD error = ::GetLastError();
        if (pdwError != nullptr) *pdwError = error != 0 ? error : ERROR_INTERNET_INTERNAL_ERROR;
        return false;
    }
    text[cbText / sizeof(WCHAR) - 1] = L'\0';
    *value = ParseDecimal(text);
    if (pdwError != nullptr) *pdwError = 0;
    return true;
}

// The request, with "path?variables" as the object of a GET that has
// variables (an empty variables text adds no "?"). op names the operation
// in the trace, here and in the other steps both exchanges share.
DWORD OpenRequest(const wchar_t* op, HINTERNET hConnect, bool isGet, LPCSTR lpszUrl, LPCSTR lpszVariables,
                  UniqueInternet* request) {
    const char* verb = isGet ? "GET" : "POST";
    if (!isGet || lpszVariables == nullptr || *lpszVariables == '\0') {
        request->reset(::HttpOpenRequestA(hConnect, verb, lpszUrl, nullptr, nullptr, nullptr,
                                          kRequestFlags, 0));
    } else {
        const size_t size = strlen(lpszUrl) + strlen(lpszVariables) + 2;
        Scratch<char, 1024> object(size);
        if (object.data() == nullptr) {
            TraceWrite(L"%s > _malloca(%d) has returned NULL", op, static_cast<int>(size));
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        StringCchPrintfA(object.data(), size, "%s?%s", lpszUrl, lpszVariables);
        request->reset(::HttpOpenRequestA(hConnect, verb, object.data(), nullptr, nullptr, nullptr,
                                          kRequestFlags, 0));
    }
    if (!request->valid()) {
        DWORD error = ::GetLastError();
        if (isGet)
            TraceWrite(L"%s > method == GET, HttpOpenRequest(...) has returned NULL with error == %d", op, error);
        else
            TraceWrite(L"%s > method == POST, HttpOpenRequest(...) has returned NULL with error == %d", op, error);
        return error;
    }
    return 0;
}

// The announced length, traced; false when the query failed (no body).
bool AnnouncedLength(HINTERNET hRequest, DWORD* length) {
    DWORD lengthError = 0;
    const LONG announced = static_cast<LONG>(HttpGetContentLength(hRequest, &lengthError));
    TraceWrite(L"SendHttpRequest > HttpGetContentLength(...) returns %d with error code %d",
               announced, lengthError);
    // A negative length is no better than none: read it as unannounced.
    *length = announced > 0 ? static_cast<DWORD>(announced) : 0;
    return lengthError == 0;
}

// Grows a block of unannounced length by exactly the available bytes (and
// its zero); false, with the block released, when the heap refuses.
bool Grow(UniqueCHeapBlock* block, DWORD position, DWORD available) {
    void* grown = nullptr;
    if (available < static_cast<size_t>(-1) - position - 1) {
        const size_t size = static_cast<size_t>(position) + available + 1;
        grown = position == 0 ? ::malloc(size) : ::realloc(block->get(), size);
    }
    if (grown == nullptr) {
        block->reset();
        TraceWrite(L"SendHttpRequest > malloc() or realloc() has returned NULL");
        return false;
    }
    block->release();  // realloc took the old block over
    block->reset(grown);
    return true;
}

// The body into *block, its length into *pdwLength. Returns 0, or
// ERROR_INSUFFICIENT_BUFFER when a body of unannounced length passes
// _MAX_BUFFER.
DWORD ReadBody(HINTERNET hRequest, UniqueCHeapBlock* block, DWORD* pdwLength) {
    DWORD length = 0;
    if (!AnnouncedLength(hRequest, &length)) return 0;
    if (length > 0) {
        block->reset(::calloc(static_cast<size_t>(length) + 1, 1));
        if (!block->valid()) {
            TraceWrite(L"SendHttpRequest > malloc(%d) has returned NULL", length + 1);
            return 0;
        }
    }

    DWORD result = 0;
    DWORD position = 0, available = 0, read = 0;
    // With an announced length the block is full at its end: bytes a server
    // sends beyond it are left unread.
    while (length == 0 || position < length) {
        if (!::InternetQueryDataAvailable(hRequest, &available, 0, 0) || available == 0) {
            DWORD error = available == 0 ? 0 : ::GetLastError();
            if (error != ERROR_NO_MORE_FILES && available != 0)
                TraceWrite(L"SendHttpRequest > InternetQueryDataAvailable(...) has returned FALSE with dwSizeToRead == %d, dwError == %d",
                           available, error);
            break;
        }
        if (length == 0 && !Grow(block, position, available)) break;
        const DWORD toRead = length == 0 || available < length - position ? available : length - position;
        read = 0;
        if (!::InternetReadFile(hRequest, static_cast<char*>(block->get()) + position, toRead, &read) ||
            read == 0) {
            TraceWrite(L"SendHttpRequest > InternetReadFile(...) has returned FALSE with dwSizeToRead == %d, dwSizeRead == %d",
                       toRead, read);
            break;
        }
        position += read;
        if (length == 0 && position > _MAX_BUFFER) {
            TraceWrite(L"SendHttpRequest > dwCurrentPos == %d > _MAX_BUFFER == %d -> ERROR_INSUFFICIENT_BUFFER",
                       position, _MAX_BUFFER);
            result = ERROR_INSUFFICIENT_BUFFER;
            break;
        }
    }
    *pdwLength = position;
    // Every block handed out ends in a zero byte, also an empty one.
    if (block->valid()) static_cast<char*>(block->get())[position] = '\0';
    return result;
}

// The raw headers, one line each, never read when the query failed.
void TraceHeaders(const wchar_t* op, HINTERNET hRequest) {
    UniqueCHeapBlock buffer(::malloc(kRawHeaderBytes));
    if (!buffer.valid()) {
        TraceWrite(L"%s > malloc(%d) has returned NULL", op, kRawHeaderBytes);
        return;
    }
    WCHAR* text = static_cast<WCHAR*>(buffer.get());
    DWORD size = kRawHeaderBytes;
    if (!::HttpQueryInfoW(hRequest, HTTP_QUERY_RAW_HEADERS_CRLF, text, &size, nullptr)) {
        TraceWrite(L"%s > HttpQueryInfo( HTTP_QUERY_RAW_HEADERS_CRLF ) has failed with error == %d", op,
                   ::GetLastError());
        return;
    }
    const DWORD chars = size / sizeof(WCHAR);
    text[chars < kRawHeaderBytes / sizeof(WCHAR) ? chars : kRawHeaderBytes / sizeof(WCHAR) - 1] = L'\0';
    for (WCHAR* line = text; *line != L'\0';) {
        WCHAR* end = wcsstr(line, L"\r\n");
        if (end != nullptr) *end = L'\0';
        if (*line != L'\0') TraceWrite(L"%s > Headers [%s]", op, line);
        if (end == nullptr) break;
        line = end + 2;
    }
}

// The start of the body, cut at 255 bytes or at a zero byte inside it.
void TraceResponse(const wchar_t* op, const char* block, DWORD length) {
    char excerpt[kResponseExcerpt + 1];
    const size_t count = length < kResponseExcerpt ? length : kResponseExcerpt;
    memcpy(excerpt, block, count);
    excerpt[count] = '\0';
    WideCopy text(excerpt, strlen(excerpt));
    if (length <= kResponseExcerpt)
        TraceWrite(L"%s  > server response == (%s)", op, text.get());
    else
        TraceWrite(L"%s  > server response == (%s)...", op, text.get());
}

// The user name and password as options of the request, each only when given.
DWORD SetCredentials(const wchar_t* op, HINTERNET hRequest, LPCWSTR lpszHttpLogin, LPCWSTR lpszHttpPswd) {
    if (*lpszHttpLogin != L'\0' &&
        !::InternetSetOptionW(hRequest, INTERNET_OPTION_USERNAME, const_cast<LPWSTR>(lpszHttpLogin),
                              static_cast<DWORD>(wcslen(lpszHttpLogin) + 1))) {
        DWORD error = ::GetLastError();
        TraceWrite(L"%s > InternetSetOption( INTERNET_OPTION_USERNAME ) has failed with error == %d", op, error);
        return error;
    }
    if (*lpszHttpPswd != L'\0' &&
        !::InternetSetOptionW(hRequest, INTERNET_OPTION_PASSWORD, const_cast<LPWSTR>(lpszHttpPswd),
                              static_cast<DWORD>(wcslen(lpszHttpPswd) + 1))) {
        DWORD error = ::GetLastError();
        TraceWrite(L"%s > InternetSetOption( INTERNET_OPTION_PASSWORD ) has failed with error == %d", op, error);
        return error;
    }
    return 0;
}

// Sends the request (a POST with the form header and the variables as its
// body), and again for as long as the user confirms credentials in the
// system's sign-in dialog, owned by hwndParent or else the desktop; without
// dialog, once. *pdwRetry gets the dialog's last answer, *pdwSendStart the
// tick count at which the last send began.
DWORD SendWithSignIn(const wchar_t* op, HINTERNET hRequest, bool isGet, LPCSTR lpszVariables, HWND hwndParent,
                     bool dialog, DWORD* pdwRetry, DWORD* pdwSendStart) {
    HWND owner = ::IsWindow(hwndParent) ? hwndParent : ::GetDesktopWindow();
    char formHeader[rolm::kFormHeaderBuffer];
    DWORD formHeaderLength = 0;
    if (!isGet) {
        DWORD error = rolm::GetFormHeader(formHeader, sizeof formHeader, &formHeaderLength);
        if (error != 0) {
            TraceWrite(L"%s > the form header can't be deciphered -> error == %d", op, error);
            return error;
        }
    }
    LPVOID data = lpszVariables != nullptr && !isGet ? const_cast<LPSTR>(lpszVariables) : nullptr;
    const DWORD dataLength = data != nullptr ? static_cast<DWORD>(strlen(lpszVariables)) : 0;

    DWORD dwRetry = 0;
    do {
        *pdwSendStart = ::GetTickCount();
        BOOL sent = isGet ? ::HttpSendRequestW(hRequest, nullptr, 0, nullptr, 0)
                          : ::HttpSendRequestA(hRequest, formHeader, formHeaderLength,
                                               dataLength != 0 ? data : nullptr, dataLength);
        if (!sent) {
            DWORD error = ::GetLastError();
            if (isGet)
                TraceWrite(L"%s > method == GET, HttpSendRequest(...) has failed with error == %d", op, error);
            else
                TraceWrite(L"%s > method == POST, HttpSendRequest(...) has failed with error == %d", op, error);
            return error;
        }
        if (!dialog) return 0;
        dwRetry = ::InternetErrorDlg(owner, hRequest, ERROR_SUCCESS, kErrorDialogFlags, nullptr);
    } while (dwRetry == ERROR_INTERNET_FORCE_RETRY);
    TraceWrite(L"%s > InternetErrorDlg(...) -> dwRetry == %d != ERROR_INTERNET_FORCE_RETRY", op, dwRetry);
    *pdwRetry = dwRetry;
    return 0;
}

// The root handle and the connection, and the variables traced.
DWORD Connect(const wchar_t* op, LPCWSTR lpszAgent, LPCWSTR lpszServer, WORD wPort, LPCSTR lpszVariables,
              UniqueInternet* root, UniqueInternet* connection) {
    DWORD error = InternetAccessServer(lpszAgent, lpszServer, wPort, INTERNET_SERVICE_HTTP, root->put(),
                                       connection->put());
    if (error != 0) {
        TraceWrite(L"%s > InternetAccessServer(...) has failed with error == %d", op, error);
        return error;
    }
    if (lpszVariables != nullptr)
        TraceWrite(L"%s > variables == %s", op, WideCopy(lpszVariables, strlen(lpszVariables)).get());
    return 0;
}

// The endpoint record traced (never its password) and its path as 8-bit
// text; false, untraced, when a text lacks its terminating zero. The path
// is at most 511 characters, so twice that and a zero fit the buffer.
bool ReadServerConfig(const wchar_t* op, char (&url)[1024]) {
    const ServerConfig& config = g_ServerConfig;
    if (wmemchr(config.szServer, L'\0', _countof(config.szServer)) == nullptr ||
        wmemchr(config.szUrl, L'\0', _countof(config.szUrl)) == nullptr ||
        wmemchr(config.szHttpLogin, L'\0', _countof(config.szHttpLogin)) == nullptr ||
        wmemchr(config.szHttpPswd, L'\0', _countof(config.szHttpPswd)) == nullptr)
        return false;
    TraceWrite(L"%s > g_ServerConfig.wPort == (%d), g_ServerConfig.szServer == (%s), g_ServerConfig.szUrl == (%s), g_ServerConfig.szHttpLogin == (%s), g_ServerConfig.szHttpPswd == (%s)",
               op, config.wPort, config.szServer, config.szUrl, config.szHttpLogin, L"**********");
    if (::WideCharToMultiByte(CP_ACP, 0, config.szUrl, -1, url, sizeof url, nullptr, nullptr) == 0) url[0] = '\0';
    return true;
}

// ---- SendHttpRequestEx ----

const wchar_t kEx[] = L"SendHttpRequestEx";
const DWORD kLargestBody = 0xFFFFFFFE;  // the block's zero must still be counted
const DWORD kFirstBlock = 16384;        // of a body whose length was not announced

// The code a caller of WinINet expects for a failed wait. Wine 8's WinINet
// lets Winsock's codes through, and reports a receive time-out before the
// headers as an aborted connection.
DWORD InternetError(DWORD error, DWORD started, DWORD limit) {
    if (error == WSAETIMEDOUT) return ERROR_INTERNET_TIMEOUT;
    if (error == WSAECONNRESET) return ERROR_INTERNET_CONNECTION_RESET;
    if (error == WSAECONNABORTED) return ERROR_INTERNET_CONNECTION_ABORTED;
    if (error == ERROR_INTERNET_CONNECTION_ABORTED && limit != 0 && ::GetTickCount() - started >= limit)
        return ERROR_INTERNET_TIMEOUT;
    return error;
}

// The caller's time limits as options of the connection, which its request
// takes over when it is opened; 0 leaves the system's own.
DWORD SetTimeLimits(HINTERNET hConnect, const HTTP_REQUEST_EX& r) {
    const struct { DWORD option; DWORD value; const wchar_t* name; } limits[] = {
        {INTERNET_OPTION_CONNECT_TIMEOUT, r.dwConnectTimeout, L"INTERNET_OPTION_CONNECT_TIMEOUT"},
        {INTERNET_OPTION_SEND_TIMEOUT, r.dwSendTimeout, L"INTERNET_OPTION_SEND_TIMEOUT"},
        {INTERNET_OPTION_RECEIVE_TIMEOUT, r.dwReceiveTimeout, L"INTERNET_OPTION_RECEIVE_TIMEOUT"}};
    for (const auto& limit : limits) {
        DWORD value = limit.value;
        if (value != 0 && !::InternetSetOptionW(hConnect, limit.option, &value, sizeof value)) {
            DWORD error = ::GetLastError();
            TraceWrite(L"SendHttpRequestEx > InternetSetOption( %s ) has failed with error == %d", limit.name, error);
            return error;
        }
    }
    return 0;
}

// The Content-Length as a plain decimal number, HTTP_NOT_ANNOUNCED when the
// response has none, holds no such number, or also names a transfer coding
// (which then frames the body instead). Traced.
DWORD AnnouncedLengthEx(HINTERNET hRequest) {
    WCHAR text[128];
    DWORD size = sizeof text;
    if (!::HttpQueryInfoW(hRequest, HTTP_QUERY_CONTENT_LENGTH, text, &size, nullptr)) {
        TraceWrite(L"SendHttpRequestEx > HttpQueryInfo( HTTP_QUERY_CONTENT_LENGTH ) has failed with error == %d -> dwAnnouncedLength == HTTP_NOT_ANNOUNCED",
                   ::GetLastError());
        return HTTP_NOT_ANNOUNCED;
    }
    text[_countof(text) - 1] = L'\0';
    const WCHAR* digit = text;
    while (*digit == L' ' || *digit == L'\t') ++digit;
    unsigned long long value = 0;
    const WCHAR* end = digit;
    for (; *end >= L'0' && *end <= L'9'; ++end)
        if ((value = value * 10 + static_cast<unsigned>(*end - L'0')) > kLargestBody) value = kLargestBody;
    while (*end == L' ' || *end == L'\t') ++end;
    WCHAR coding[64];
    size = sizeof coding;
    if (end == digit || *end != L'\0' ||
        ::HttpQueryInfoW(hRequest, HTTP_QUERY_TRANSFER_ENCODING, coding, &size, nullptr)) {
        TraceWrite(L"SendHttpRequestEx > Content-Length == (%s), no number or beside a Transfer-Encoding -> dwAnnouncedLength == HTTP_NOT_ANNOUNCED",
                   text);
        return HTTP_NOT_ANNOUNCED;
    }
    TraceWrite(L"SendHttpRequestEx > dwAnnouncedLength == %lu", static_cast<DWORD>(value));
    return static_cast<DWORD>(value);
}

// The body read to its end, to the announced length, or to the limit, and
// how it ended.
struct BodyEx {
    UniqueCHeapBlock block;
    DWORD length = 0;
    DWORD announced = HTTP_NOT_ANNOUNCED;
    DWORD outcome = HTTP_BODY_NONE;
};

// Grows the block to capacity + 1 bytes; false, with the block as it was,
// when the heap refuses.
bool GrowEx(UniqueCHeapBlock* block, DWORD capacity) {
    void* grown = ::realloc(block->get(), static_cast<size_t>(capacity) + 1);
    if (grown == nullptr) {
        TraceWrite(L"SendHttpRequestEx > realloc(%lu) has returned NULL", capacity + 1);
        return false;
    }
    block->release();  // realloc took the old block over
    block->reset(grown);
    return true;
}

// Reads the body into body->block (zero-terminated); returns the result.
DWORD ReadBodyEx(HINTERNET hRequest, DWORD maxBody, DWORD receiveLimit, BodyEx* body) {
    body->announced = AnnouncedLengthEx(hRequest);
    const DWORD limit = maxBody != 0 ? maxBody : kLargestBody;
    // The block is never larger than the limit, nor than an announced length.
    const DWORD target = body->announced < limit ? body->announced : limit;
    DWORD capacity = body->announced != HTTP_NOT_ANNOUNCED || target < kFirstBlock ? target : kFirstBlock;
    body->block.reset(::malloc(static_cast<size_t>(capacity) + 1));
    if (!body->block.valid()) {
        TraceWrite(L"SendHttpRequestEx > malloc(%lu) has returned NULL", capacity + 1);
        return ERROR_NOT_ENOUGH_MEMORY;
    }

    DWORD& length = body->length;
    const bool announced = body->announced != HTTP_NOT_ANNOUNCED;
    DWORD result = 0;
    bool ended = false;  // the response has no more bytes
    while (result == 0 && !ended) {
        if (length == capacity) {
            // Full. An announced body is whole, or at the limit; for another,
            // whether more follows tells its end from the limit and a larger
            // block, so that no end costs a larger block.
            if (announced) break;
            DWORD available = 0;
            const DWORD started = ::GetTickCount();
            if (!::InternetQueryDataAvailable(hRequest, &available, 0, 0)) {
                const DWORD error = ::GetLastError();
                TraceWrite(L"SendHttpRequestEx > InternetQueryDataAvailable(...) has failed with error == %d", error);
                result = InternetError(error, started, receiveLimit);
                break;
            }
            ended = available == 0;
            if (ended || capacity == target) break;
            const DWORD grown = capacity <= target / 2 ? capacity * 2 : target;
            if (!GrowEx(&body->block, grown)) {
                result = ERROR_NOT_ENOUGH_MEMORY;
                break;
            }
            capacity = grown;
        }
        DWORD read = 0;
        const DWORD started = ::GetTickCount();
        const BOOL ok = ::InternetReadFile(hRequest, static_cast<char*>(body->block.get()) + length,
                                           capacity - length, &read);
        // A failed read may still have delivered bytes (Wine 8's does); never more than asked.
        length += read <= capacity - length ? read : 0;
        if (!ok) {
            const DWORD error = ::GetLastError();
            TraceWrite(L"SendHttpRequestEx > InternetReadFile(...) has failed with error == %d", error);
            result = InternetError(error, started, receiveLimit);
        }
        ended = ok && read == 0;
    }
    static_cast<char*>(body->block.get())[length] = '\0';

    if (result != 0) {
        // ERROR_NOT_ENOUGH_MEMORY: more than this process can hold.
        body->outcome = result == ERROR_NOT_ENOUGH_MEMORY ? HTTP_BODY_OVER_LIMIT : HTTP_BODY_CUT_SHORT;
    } else if (ended) {
        const bool early = announced && length < body->announced;
        body->outcome = early ? HTTP_BODY_CUT_SHORT : HTTP_BODY_COMPLETE;
        result = early ? ERROR_HANDLE_EOF : 0;
    } else {
        // Full with more to come, unless all of an announced length is there.
        const bool whole = announced && length == body->announced;
        body->outcome = whole ? HTTP_BODY_COMPLETE : HTTP_BODY_OVER_LIMIT;
        result = whole ? 0 : ERROR_INSUFFICIENT_BUFFER;
    }
    return result;
}

const wchar_t* OutcomeName(DWORD outcome) {
    switch (outcome) {
    case HTTP_BODY_COMPLETE: return L"HTTP_BODY_COMPLETE";
    case HTTP_BODY_CUT_SHORT: return L"HTTP_BODY_CUT_SHORT";
    case HTTP_BODY_OVER_LIMIT: return L"HTTP_BODY_OVER_LIMIT";
    case HTTP_SIGNIN_CANCELLED: return L"HTTP_SIGNIN_CANCELLED";
    default: return L"HTTP_BODY_NONE";
    }
}

// The exchange of SendHttpRequestEx on arguments already checked; *out is
// filled as it goes, and its result is returned.
DWORD ExchangeEx(const HTTP_REQUEST_EX& r, HTTP_RESPONSE_EX* out) {
    const bool isGet = r.lpszMethod == nullptr || wcscmp(r.lpszMethod, L"GET") == 0;
    TraceWrite(L"SendHttpRequestEx > dwConnectTimeout == %lu, dwSendTimeout == %lu, dwReceiveTimeout == %lu, dwMaxBody == %lu, dwFlags == %08.8X",
               r.dwConnectTimeout, r.dwSendTimeout, r.dwReceiveTimeout, r.dwMaxBody, r.dwFlags);

    // Closed in reverse order (request, connection, root) on every return.
    UniqueInternet root, connection, request;
    DWORD error = 0, dwRetry = 0, sendStart = 0;
    const bool dialog = (r.dwFlags & HTTP_EX_NO_SIGNIN_DIALOG) == 0;
    if ((error = Connect(kEx, r.lpszAgent, r.lpszServer, r.wPort, r.lpszVariables, &root, &connection)) != 0 ||
        (error = SetTimeLimits(connection.get(), r)) != 0 ||
        (error = OpenRequest(kEx, connection.get(), isGet, r.lpszUrl, r.lpszVariables, &request)) != 0 ||
        (error = SetCredentials(kEx, request.get(), r.lpszHttpLogin != nullptr ? r.lpszHttpLogin : L"",
                                r.lpszHttpPswd != nullptr ? r.lpszHttpPswd : L"")) != 0)
        return error;
    if ((error = SendWithSignIn(kEx, request.get(), isGet, r.lpszVariables, r.hwndParent, dialog, &dwRetry,
                                &sendStart)) != 0)
        return InternetError(error, sendStart, r.dwReceiveTimeout);

    DWORD statusError = 0;
    out->dwStatusCode = HttpGetStatusCode(request.get(), &statusError);
    const bool refused = out->dwStatusCode == HTTP_STATUS_DENIED || out->dwStatusCode == HTTP_STATUS_PROXY_AUTH_REQ;
    BodyEx body;
    DWORD result = statusError;
    if (statusError == 0 && out->dwStatusCode == 0) {
        // No status line at all: Wine 8's WinINet takes a connection closed unanswered as a response.
        result = ERROR_HTTP_INVALID_SERVER_RESPONSE;
    } else if (statusError == 0 && dialog && refused) {
        // The dialog's loop has ended without a confirmation: the user cancelled it, or it could not be shown.
        result = dwRetry == ERROR_SUCCESS ? ERROR_CANCELLED : dwRetry;
        body.outcome = dwRetry == ERROR_SUCCESS || dwRetry == ERROR_CANCELLED ? HTTP_SIGNIN_CANCELLED : HTTP_BODY_NONE;
    } else if (statusError == 0 &&
               (out->dwStatusCode < HTTP_STATUS_AMBIGUOUS || (r.dwFlags & HTTP_EX_BODY_OF_ANY_STATUS) != 0)) {
        result = ReadBodyEx(request.get(), r.dwMaxBody, r.dwReceiveTimeout, &body);
    }

    TraceHeaders(kEx, request.get());
    if (body.length != 0) TraceResponse(kEx, static_cast<const char*>(body.block.get()), body.length);
    out->dwBodyLength = body.length;
    out->dwAnnouncedLength = body.announced;
    out->dwOutcome = body.outcome;
    out->pbyBody = static_cast<LPBYTE>(body.block.release());
    return result;
}

bool KnownSizes(const HTTP_REQUEST_EX* pRequest, const HTTP_RESPONSE_EX* pResponse) {
    return pRequest != nullptr && pResponse != nullptr && pRequest->cbSize == sizeof(HTTP_REQUEST_EX) &&
           pResponse->cbSize == sizeof(HTTP_RESPONSE_EX) &&
           (pRequest->dwFlags & ~(HTTP_EX_BODY_OF_ANY_STATUS | HTTP_EX_NO_SIGNIN_DIALOG)) == 0;
}

}  // namespace

DWORD InternetAccessServer(LPCWSTR lpszAgent, LPCWSTR lpszServer, INTERNET_PORT wPort,
                           DWORD dwService, HINTERNET* phInternet, HINTERNET* phConnect) {
    if (phInternet == nullptr || phConnect == nullptr) return ERROR_INVALID_PARAMETER;
    *phInternet = nullptr;
    *phConnect = nullptr;
    *phInternet = ::InternetOpenW(lpszAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (*phInternet == nullptr) return ::GetLastError();
    *phConnect = ::InternetConnectW(*phInternet, lpszServer, wPort, L"", L"", dwService, 0, 0);
    if (*phConnect == nullptr) return ::GetLastError();
    return 0;
}

DWORD HttpGetStatusCode(HINTERNET hRequest, DWORD* pdwError) {
    WCHAR text[64];
    LONG value = 0;
    if (!QueryNumber(hRequest, HTTP_QUERY_STATUS_CODE, text, sizeof text, &value, pdwError))
        return HTTP_STATUS_SERVER_ERROR;
    return static_cast<DWORD>(value);
}

DWORD HttpGetContentLength(HINTERNET hRequest, DWORD* pdwError) {
    WCHAR text[128];
    LONG value = 0;
    if (!QueryNumber(hRequest, HTTP_QUERY_CONTENT_LENGTH, text, sizeof text, &value, pdwError))
        return 0;
    return static_cast<DWORD>(value);
}

DWORD SendHttpRequest(LPCWSTR lpszMethod, LPCWSTR lpszAgent, LPCWSTR lpszServer, WORD wPort,
                      LPCSTR lpszUrl, LPCWSTR lpszHttpLogin, LPCWSTR lpszHttpPswd,
                      LPCSTR lpszVariables, LPBYTE* ppbyResponse, DWORD* pdwBufferLength,
                      DWORD* pdwStatusCode, HWND hwndParent) {
    const wchar_t op[] = L"SendHttpRequest";
    if (lpszServer == nullptr || *lpszServer == L'\0' || lpszUrl == nullptr || *lpszUrl == '\0' ||
        ppbyResponse == nullptr || pdwBufferLength == nullptr || pdwStatusCode == nullptr ||
        lpszHttpLogin == nullptr || lpszHttpPswd == nullptr)
        return ERROR_INVALID_PARAMETER;
    *ppbyResponse = nullptr;
    *pdwStatusCode = 0;
    *pdwBufferLength = 0;
    const bool isGet = lpszMethod == nullptr || wcscmp(lpszMethod, L"GET") == 0;

    // Closed in reverse order (request, connection, root) on every return.
    UniqueInternet root, connection, request;
    DWORD error = 0, dwRetry = 0, sendStart = 0;
    if ((error = Connect(op, lpszAgent, lpszServer, wPort, lpszVariables, &root, &connection)) != 0 ||
        (error = OpenRequest(op, connection.get(), isGet, lpszUrl, lpszVariables, &request)) != 0 ||
        (error = SetCredentials(op, request.get(), lpszHttpLogin, lpszHttpPswd)) != 0 ||
        (error = SendWithSignIn(op, request.get(), isGet, lpszVariables, hwndParent, true, &dwRetry,
                                &sendStart)) != 0)
        return error;

    // No body from status 300 on, nor when the status can't be read.
    DWORD statusError = 0;
    *pdwStatusCode = HttpGetStatusCode(request.get(), &statusError);
    DWORD result = 0;
    UniqueCHeapBlock body;
    if (statusError == 0 && *pdwStatusCode < HTTP_STATUS_AMBIGUOUS)
        result = ReadBody(request.get(), &body, pdwBufferLength);

    TraceWrite(L"SendHttpRequest > dwBufferLength == %d", *pdwBufferLength);
    TraceHeaders(op, request.get());
    if (body.valid() && *pdwBufferLength != 0)
        TraceResponse(op, static_cast<const char*>(body.get()), *pdwBufferLength);
    *ppbyResponse = static_cast<LPBYTE>(body.release());
    return result;
}

DWORD GetServerResponse(LPCSTR lpszVariables, LPBYTE* ppbyResponse, DWORD* pdwBufferLength,
                        DWORD* pdwStatusCode, HWND hwndParent) {
    char url[1024];
    if (!ReadServerConfig(L"GetServerResponse", url)) return ERROR_INVALID_PARAMETER;
    const ServerConfig& config = g_ServerConfig;
    return SendHttpRequest(L"POST", L"Tellborn", config.szServer, config.wPort, url, config.szHttpLogin,
                           config.szHttpPswd, lpszVariables, ppbyResponse, pdwBufferLength, pdwStatusCode,
                           hwndParent);
}

DWORD SendHttpRequestEx(const HTTP_REQUEST_EX* pRequest, HTTP_RESPONSE_EX* pResponse) {
    if (!KnownSizes(pRequest, pResponse)) return ERROR_INVALID_PARAMETER;
    const HTTP_REQUEST_EX& r = *pRequest;
    if (r.lpszServer == nullptr || *r.lpszServer == L'\0' || r.lpszUrl == nullptr || *r.lpszUrl == '\0' ||
        (r.lpszMethod != nullptr && wcscmp(r.lpszMethod, L"GET") != 0 && wcscmp(r.lpszMethod, L"POST") != 0))
        return ERROR_INVALID_PARAMETER;
    HTTP_RESPONSE_EX response = {sizeof response, 0, 0, nullptr, 0, HTTP_NOT_ANNOUNCED, HTTP_BODY_NONE};
    response.dwResult = ExchangeEx(r, &response);
    TraceWrite(L"SendHttpRequestEx > dwStatusCode == %lu, dwBodyLength == %lu, dwOutcome == %s -> dwResult == %lu",
               response.dwStatusCode, response.dwBodyLength, OutcomeName(response.dwOutcome), response.dwResult);
    *pResponse = response;
    return response.dwResult;
}

DWORD GetServerResponseEx(const HTTP_REQUEST_EX* pRequest, HTTP_RESPONSE_EX* pResponse) {
    if (!KnownSizes(pRequest, pResponse)) return ERROR_INVALID_PARAMETER;
    const HTTP_REQUEST_EX& r = *pRequest;
    // The endpoint is the record's: a caller who names another has misread this call.
    if (r.lpszMethod != nullptr || r.lpszAgent != nullptr || r.lpszServer != nullptr || r.wPort != 0 ||
        r.lpszUrl != nullptr || r.lpszHttpLogin != nullptr || r.lpszHttpPswd != nullptr)
        return ERROR_INVALID_PARAMETER;
    char url[1024];
    if (!ReadServerConfig(L"GetServerResponseEx", url)) return ERROR_INVALID_PARAMETER;
    const ServerConfig& config = g_ServerConfig;
    HTTP_REQUEST_EX request = r;
    request.lpszMethod = L"POST";
    request.lpszAgent = L"Tellborn";
    request.lpszServer = config.szServer;
    request.wPort = config.wPort;
    request.lpszUrl = url;
    request.lpszHttpLogin = config.szHttpLogin;
    request.lpszHttpPswd = config.szHttpPswd;
    return SendHttpRequestEx(&request, pResponse);
}
