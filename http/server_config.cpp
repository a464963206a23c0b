#include <rolm/http.h>

#include <stdlib.h>
#include <strsafe.h>
#include <wchar.h>

ServerConfig g_ServerConfig;

namespace {

bool Fits(LPCWSTR text, size_t capacity) {
    return text == nullptr || wcslen(text) < capacity;
}

void Copy(WCHAR* field, size_t capacity, LPCWSTR text) {
    StringCchCopyW(field, capacity, text != nullptr ? text : L"");  // fits: checked first
}

}  // namespace

DWORD SetServerConfig(WORD wPort, LPCWSTR lpszServer, LPCWSTR lpszUrl, LPCWSTR lpszHttpLogin,
                      LPCWSTR lpszHttpPswd) {
    ServerConfig& c = g_ServerConfig;
    if (!Fits(lpszServer, _countof(c.szServer)) || !Fits(lpszUrl, _countof(c.szUrl)) ||
        !Fits(lpszHttpLogin, _countof(c.szHttpLogin)) || !Fits(lpszHttpPswd, _countof(c.szHttpPswd)))
        return ERROR_INSUFFICIENT_BUFFER;
    c.wPort = wPort;
    Copy(c.szServer, _countof(c.szServer), lpszServer);
    Copy(c.szUrl, _countof(c.szUrl), lpszUrl);
    Copy(c.szHttpLogin, _countof(c.szHttpLogin), lpszHttpLogin);
    Copy(c.szHttpPswd, _countof(c.szHttpPswd), lpszHttpPswd);
    return 0;
}
