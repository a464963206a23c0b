// rolm HTTP exchange: one-shot GET/POST over WinINet, text search, and
// recognition of a proxy's sign-in page.
#pragma once

#include <windows.h>

// The endpoint record read by GetServerResponse and, for its default host,
// by RolmIsActiveConnection.
struct ServerConfig {
    WORD wPort;
    WCHAR szServer[512];
    WCHAR szUrl[512];
    WCHAR szHttpLogin[64];    // empty: none
    WCHAR szHttpPswd[64];     // empty: none; never traced
};

// The process-wide endpoint record, all zero at load. The linking component
// fills it once, before the operations that read it run, either directly or
// with SetServerConfig; it must not change while one of them runs.
extern ServerConfig g_ServerConfig;

// Fills g_ServerConfig from the given texts (null means empty). Returns 0, or
// ERROR_INSUFFICIENT_BUFFER (nothing changed) when a text does not fit its field.
DWORD SetServerConfig(WORD wPort, LPCWSTR lpszServer, LPCWSTR lpszUrl, LPCWSTR lpszHttpLogin,
                      LPCWSTR lpszHttpPswd);
