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
// variables (an empty variables text adds no "?").
DWORD OpenRequest(HINTERNET hConnect, bool isGet, LPCSTR lpszUrl, LPCSTR lpszVariables,
                  UniqueInternet* request) {
    const char* verb = isGet ? "GET" : "POST";
    if (!isGet || lpszVariables == nullptr || *lpszVariables == '\0') {
        request->reset(::HttpOpenRequestA(hConnect, verb, lpszUrl, nullptr, nullptr, nullptr,
                                          kRequestFlags, 0));
    } else {
        const size_t size = strlen(lpszUrl) + strlen(lpszVariables) + 2;
        Scratch<char, 1024> object(size);
        if (object.data() == nullptr) {
            TraceWrite(L"SendHttpRequest > _malloca(%d) has returned NULL", static_cast<int>(size));
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        StringCchPrintfA(object.data(), size, "%s?%s", lpszUrl, lpszVariables);
        request->reset(::HttpOpenRequestA(hConnect, verb, object.data(), nullptr, nullptr, nullptr,
                                          kRequestFlags, 0));
    }
    if (!request->valid()) {
        DWORD error = ::GetLastError();
        if (isGet)
            TraceWrite(L"SendHttpRequest > method == GET, HttpOpenRequest(...) has returned NULL with error == %d", error);
        else
            TraceWrite(L"SendHttpRequest > method == POST, HttpOpenRequest(...) has returned NULL with error == %d", error);
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
void TraceHeaders(HINTERNET hRequest) {
    UniqueCHeapBlock buffer(::malloc(kRawHeaderBytes));
    if (!buffer.valid()) {
        TraceWrite(L"SendHttpRequest > malloc(%d) has returned NULL", kRawHeaderBytes);
        return;
    }
    WCHAR* text = static_cast<WCHAR*>(buffer.get());
    DWORD size = kRawHeaderBytes;
    if (!::HttpQueryInfoW(hRequest, HTTP_QUERY_RAW_HEADERS_CRLF, text, &size, nullptr)) {
        TraceWrite(L"SendHttpRequest > HttpQueryInfo( HTTP_QUERY_RAW_HEADERS_CRLF ) has failed with error == %d",
                   ::GetLastError());
        return;
    }
    const DWORD chars = size / sizeof(WCHAR);
    text[chars < kRawHeaderBytes / sizeof(WCHAR) ? chars : kRawHeaderBytes / sizeof(WCHAR) - 1] = L'\0';
    for (WCHAR* line = text; *line != L'\0';) {
        WCHAR* end = wcsstr(line, L"\r\n");
        if (end != nullptr) *end = L'\0';
        if (*line != L'\0') TraceWrite(L"SendHttpRequest > Headers [%s]", line);
        if (end == nullptr) break;
        line = end + 2;
    }
}

// The start of the body, cut at 255 bytes or at a zero byte inside it.
void TraceResponse(const char* block, DWORD length) {
    char excerpt[kResponseExcerpt + 1];
    const size_t count = length < kResponseExcerpt ? length : kResponseExcerpt;
    memcpy(excerpt, block, count);
    excerpt[count] = '\0';
    WideCopy text(excerpt, strlen(excerpt));
    if (length <= kResponseExcerpt)
        TraceWrite(L"SendHttpRequest  > server response == (%s)", text.get());
    else
        TraceWrite(L"SendHttpRequest  > server response == (%s)...", text.get());
}

// The user name and password as options of the request, each only when given.
DWORD SetCredentials(HINTERNET hRequest, LPCWSTR lpszHttpLogin, LPCWSTR lpszHttpPswd) {
    if (*lpszHttpLogin != L'\0' &&
        !::InternetSetOptionW(hRequest, INTERNET_OPTION_USERNAME, const_cast<LPWSTR>(lpszHttpLogin),
                              static_cast<DWORD>(wcslen(lpszHttpLogin) + 1))) {
        DWORD error = ::GetLastError();
        TraceWrite(L"SendHttpRequest > InternetSetOption( INTERNET_OPTION_USERNAME ) has failed with error == %d", error);
        return error;
    }
    if (*lpszHttpPswd != L'\0' &&
        !::InternetSetOptionW(hRequest, INTERNET_OPTION_PASSWORD, const_cast<LPWSTR>(lpszHttpPswd),
                              static_cast<DWORD>(wcslen(lpszHttpPswd) + 1))) {
        DWORD error = ::GetLastError();
        TraceWrite(L"SendHttpRequest > InternetSetOption( INTERNET_OPTION_PASSWORD ) has failed with error == %d", error);
        return error;
    }
    return 0;
}

// Sends the request (a POST with the form header and the variables as its
// body), and again for as long as the user confirms credentials in the
// system's sign-in dialog, owned by hwndParent or else the desktop.
DWORD SendWithSignIn(HINTERNET hRequest, bool isGet, LPCSTR lpszVariables, HWND hwndParent) {
    HWND owner = ::IsWindow(hwndParent) ? hwndParent : ::GetDesktopWindow();
    char formHeader[rolm::kFormHeaderBuffer];
    DWORD formHeaderLength = 0;
    if (!isGet) {
        DWORD error = rolm::GetFormHeader(formHeader, sizeof formHeader, &formHeaderLength);
        if (error != 0) {
            TraceWrite(L"SendHttpRequest > the form header can't be deciphered -> error == %d", error);
            return error;
        }
    }
    LPVOID data = lpszVariables != nullptr && !isGet ? const_cast<LPSTR>(lpszVariables) : nullptr;
    const DWORD dataLength = data != nullptr ? static_cast<DWORD>(strlen(lpszVariables)) : 0;

    DWORD dwRetry = 0;
    do {
        BOOL sent = isGet ? ::HttpSendRequestW(hRequest, nullptr, 0, nullptr, 0)
                          : ::HttpSendRequestA(hRequest, formHeader, formHeaderLength,
                                               dataLength != 0 ? data : nullptr, dataLength);
        if (!sent) {
            DWORD error = ::GetLastError();
            if (isGet)
                TraceWrite(L"SendHttpRequest > method == GET, HttpSendRequest(...) has failed with error == %d", error);
            else
                TraceWrite(L"SendHttpRequest > method == POST, HttpSendRequest(...) has failed with error == %d", error);
            return error;
        }
        dwRetry = ::InternetErrorDlg(owner, hRequest, ERROR_SUCCESS, kErrorDialogFlags, nullptr);
    } while (dwRetry == ERROR_INTERNET_FORCE_RETRY);
    TraceWrite(L"SendHttpRequest > InternetErrorDlg(...) -> dwRetry == %d != ERROR_INTERNET_FORCE_RETRY", dwRetry);
    return 0;
}

bool Terminated(const WCHAR* field, size_t capacity) {
    return wmemchr(field, L'\0', capacity) != nullptr;
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
    DWORD error = InternetAccessServer(lpszAgent, lpszServer, wPort, INTERNET_SERVICE_HTTP,
                                       root.put(), connection.put());
    if (error != 0) {
        TraceWrite(L"SendHttpRequest > InternetAccessServer(...) has failed with error == %d", error);
        return error;
    }
    if (lpszVariables != nullptr)
        TraceWrite(L"SendHttpRequest > variables == %s",
                   WideCopy(lpszVariables, strlen(lpszVariables)).get());
    if ((error = OpenRequest(connection.get(), isGet, lpszUrl, lpszVariables, &request)) != 0 ||
        (error = SetCredentials(request.get(), lpszHttpLogin, lpszHttpPswd)) != 0 ||
        (error = SendWithSignIn(request.get(), isGet, lpszVariables, hwndParent)) != 0)
        return error;

    // No body from status 300 on, nor when the status can't be read.
    DWORD statusError = 0;
    *pdwStatusCode = HttpGetStatusCode(request.get(), &statusError);
    DWORD result = 0;
    UniqueCHeapBlock body;
    if (statusError == 0 && *pdwStatusCode < HTTP_STATUS_AMBIGUOUS)
        result = ReadBody(request.get(), &body, pdwBufferLength);

    TraceWrite(L"SendHttpRequest > dwBufferLength == %d", *pdwBufferLength);
    TraceHeaders(request.get());
    if (body.valid() && *pdwBufferLength != 0)
        TraceResponse(static_cast<const char*>(body.get()), *pdwBufferLength);
    *ppbyResponse = static_cast<LPBYTE>(body.release());
    return result;
}

DWORD GetServerResponse(LPCSTR lpszVariables, LPBYTE* ppbyResponse, DWORD* pdwBufferLength,
                        DWORD* pdwStatusCode, HWND hwndParent) {
    const ServerConfig& config = g_ServerConfig;
    // A record whose texts lack their terminating zero can't be read safely.
    if (!Terminated(config.szServer, _countof(config.szServer)) ||
        !Terminated(config.szUrl, _countof(config.szUrl)) ||
        !Terminated(config.szHttpLogin, _countof(config.szHttpLogin)) ||
        !Terminated(config.szHttpPswd, _countof(config.szHttpPswd)))
        return ERROR_INVALID_PARAMETER;

    // The record, never with its password.
    TraceWrite(L"GetServerResponse > g_ServerConfig.wPort == (%d), g_ServerConfig.szServer == (%s), g_ServerConfig.szUrl == (%s), g_ServerConfig.szHttpLogin == (%s), g_ServerConfig.szHttpPswd == (%s)",
               config.wPort, config.szServer, config.szUrl, config.szHttpLogin, L"**********");

    // The path as 8-bit text.
    const size_t size = wcslen(config.szUrl) * 2 + 2;
    Scratch<char, 1024> url(size);
    if (url.data() == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    if (::WideCharToMultiByte(CP_ACP, 0, config.szUrl, -1, url.data(), static_cast<int>(size),
                              nullptr, nullptr) == 0)
        url.data()[0] = '\0';

    return SendHttpRequest(L"POST", L"Tellborn", config.szServer, config.wPort, url.data(),
                           config.szHttpLogin, config.szHttpPswd, lpszVariables, ppbyResponse,
                           pdwBufferLength, pdwStatusCode, hwndParent);
}
