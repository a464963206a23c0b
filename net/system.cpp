// gethostbyname and inet_addr are the look-up and parse this library is built on.
#define _WINSOCK_DEPRECATED_NO_WARNINGS
#include "net/system.h"

#include <wininet.h>

#include "common/unique.h"

namespace rolm {
namespace net {

namespace {

BOOL WINAPI QueryVersion(LPOSVERSIONINFOW info) {
#ifdef _MSC_VER
#pragma warning(suppress : 4996)  // the major version is exactly what is wanted
#endif
    return ::GetVersionExW(info);
}

}  // namespace

SystemCalls& System() {
    static SystemCalls calls = {::LoadLibraryW, ::gethostbyname, ::Sleep, QueryVersion,
                                ::InternetGetConnectedStateExW};
    return calls;
}

AnsiText::AnsiText(const char* text) {
    if (text == nullptr) {
        lstrcpyW(text_, L"NULL");
        return;
    }
    // Convert at most what fits; a cut double-byte character shows as one
    // default character rather than failing the whole text.
    int bytes = 0;
    const int capacity = static_cast<int>(_countof(text_)) - 1;
    while (bytes < capacity && text[bytes] != '\0') ++bytes;
    int chars = bytes == 0 ? 0 : ::MultiByteToWideChar(CP_ACP, 0, text, bytes, text_, capacity);
    text_[chars > 0 ? chars : 0] = L'\0';
}

}  // namespace net
}  // namespace rolm
