#include <winsock2.h>
#include <rolm/http.h>
#include <rolm/net.h>
#include <rolm/trace.h>
#include <stdlib.h>
#include <strsafe.h>
#include <wchar.h>

#include "net/system.h"

namespace {

struct FlagText {
    DWORD flag;
    const wchar_t* text;
};

const FlagText kFlagTexts[] = {
    {0x40, L" ( INTERNET_CONNECTION_CONFIGURED )"},
    {0x02, L" ( INTERNET_CONNECTION_LAN )"},
    {0x01, L" ( INTERNET_CONNECTION_MODEM )"},
    {0x20, L" ( INTERNET_CONNECTION_OFFLINE )"},
    {0x04, L" ( INTERNET_CONNECTION_PROXY )"},
    {0x10, L" ( INTERNET_RAS_INSTALLED )"},
};

// Modem, LAN, RAS installed, configured: the flags that mean a connection exists.
const DWORD kConfiguredMask = 0x53;

}  // namespace

LPWSTR ConnectionFlagsText(DWORD dwFlags, LPWSTR lpszBuffer, DWORD cchBuffer) {
    if (lpszBuffer == nullptr || cchBuffer == 0) return lpszBuffer;
    lpszBuffer[0] = L'\0';
    if (cchBuffer > STRSAFE_MAX_CCH) cchBuffer = STRSAFE_MAX_CCH;  // beyond it nothing would be written
    for (const FlagText& piece : kFlagTexts)
        if ((dwFlags & 0xFF & piece.flag) != 0)
            StringCchCatW(lpszBuffer, cchBuffer, piece.text);  // cut to fit
    return lpszBuffer;
}

BOOL PingServer(LPCSTR lpszServer, int nDatasize, int nTimeout, int nMaxSeqTimeout,
                DWORD* pdwError) {
    OSVERSIONINFOW version;
    ZeroMemory(&version, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    if (!rolm::net::System().getVersion(&version)) version.dwMajorVersion = 0;
    if (version.dwMajorVersion >= 5) return SendIcmpEcho(lpszServer, pdwError);
    return Ping(lpszServer, nDatasize, nTimeout, nMaxSeqTimeout, pdwError);
}

DWORD InetGetConnectedState(DWORD* pdwFlags, BOOL* pfConnected, LPCSTR lpszServer, int nDatasize,
                            int nTimeout, int nMaxSeqTimeout, DWORD* pdwError) {
    DWORD flags = 0;
    WCHAR connectionName[256];
    connectionName[0] = L'\0';
    BOOL connected =
        rolm::net::System().getConnectedState(&flags, connectionName, _countof(connectionName), 0);
    connectionName[_countof(connectionName) - 1] = L'\0';
    if (pdwFlags != nullptr) *pdwFlags = flags;
    if (pfConnected != nullptr) *pfConnected = connected;
    TraceWrite(L"InetGetConnectedState > InternetGetConnectedStateEx(...) has returned %d, "
               L"connection name == \"%s\"",
               connected, connectionName);

    WCHAR flagText[256];
    TraceWrite(L"InetGetConnectedState > flags: %s",
               ConnectionFlagsText(flags, flagText, _countof(flagText)));

    DWORD state = (flags & 0xFF & kConfiguredMask) != 0 ? INET_CONNECTION_CONFIGURED : 0;
    if (PingServer(lpszServer, nDatasize, nTimeout, nMaxSeqTimeout, pdwError))
        state |= INET_CONNECTION_ACTIVED;
    TraceWrite(L"InetGetConnectedState > returns %u, with: %d == INET_CONNECTION_CONFIGURED, %d == "
               L"INET_CONNECTION_ACTIVED",
               state, INET_CONNECTION_CONFIGURED, INET_CONNECTION_ACTIVED);
    return state;
}

BOOL RolmIsActiveConnection(LPCSTR lpszServer, DWORD* pdwState) {
    TraceWrite(L"RolmIsActiveConnection > is called");
    // szServer holds up to 511 characters; in a double-byte code page that is
    // up to 1022 bytes. Names over 255 characters are refused by the look-up.
    char configured[1024];
    if (lpszServer == nullptr || lpszServer[0] == '\0') {
        const WCHAR* server = g_ServerConfig.szServer;
        int chars = static_cast<int>(wcsnlen(server, _countof(g_ServerConfig.szServer)));
        int bytes = ::WideCharToMultiByte(CP_ACP, 0, server, chars, configured,
                                          static_cast<int>(sizeof configured) - 1, nullptr, nullptr);
        configured[bytes > 0 ? bytes : 0] = '\0';
        lpszServer = configured;
    }
    DWORD state = InetGetConnectedState(nullptr, nullptr, lpszServer, 32, 1000, 4, nullptr);
    if (pdwState != nullptr) *pdwState = state;
    return (state & INET_CONNECTION_ACTIVED) != 0;
}
