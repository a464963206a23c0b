// gethostbyname and inet_addr are the look-up and parse this library is built on.
#define _WINSOCK_DEPRECATED_NO_WARNINGS
#include <winsock2.h>
#include <rolm/net.h>
#include <rolm/trace.h>
#include <string.h>

#include "net/system.h"

using rolm::net::AnsiText;

DWORD GetIPaddress(LPCSTR lpszServer, ULONG* pulAddress, USHORT* pwFamily, LPSTR lpszResolved,
                   DWORD cbResolved) {
    if (pulAddress == nullptr) return ERROR_INVALID_PARAMETER;
    *pulAddress = INADDR_NONE;

    const char* host = (lpszServer != nullptr && lpszServer[0] != '\0') ? lpszServer
                                                                         : ROLM_DEFAULT_HOST;
    size_t length = strlen(host);
    if (length > ROLM_HOST_MAX) {
        TraceWrite(L"GetIPaddress > host name of %u characters exceeds %d -> error == %d",
                   static_cast<unsigned>(length), ROLM_HOST_MAX, ERROR_INVALID_PARAMETER);
        return ERROR_INVALID_PARAMETER;
    }
    char name[ROLM_HOST_MAX + 1];
    memcpy(name, host, length + 1);

    if (lpszResolved != nullptr && cbResolved != 0) {
        size_t fit = length < cbResolved ? length : cbResolved - 1;
        memcpy(lpszResolved, name, fit);
        lpszResolved[fit] = '\0';
    }

    const hostent* answer = rolm::net::System().getHostByName(name);
    if (answer != nullptr && answer->h_addr_list != nullptr && answer->h_addr_list[0] != nullptr) {
        size_t size = answer->h_length > 0 && answer->h_length < 4 ? answer->h_length : 4;
        memcpy(pulAddress, answer->h_addr_list[0], size);
        if (pwFamily != nullptr) *pwFamily = static_cast<USHORT>(answer->h_addrtype);
        return 0;
    }
    int error = ::WSAGetLastError();
    TraceWrite(L"GetIPaddress > gethostbyname(\"%s\") has failed -> error == %d",
               AnsiText(name).c_str(), error);

    *pulAddress = ::inet_addr(name);
    if (*pulAddress == INADDR_NONE) {
        // inet_addr sets no error of its own: this is still the look-up's.
        error = ::WSAGetLastError();
        if (error == 0) error = WSAHOST_NOT_FOUND;  // never report success without an address
        TraceWrite(L"GetIPaddress > inet_addr(\"%s\") has failed -> error == %d",
                   AnsiText(name).c_str(), error);
        TraceWrite(L"GetIPaddress > unable to resolve the server name or IPv4 address");
        return static_cast<DWORD>(error);
    }
    if (pwFamily != nullptr) *pwFamily = AF_INET;
    return 0;
}
