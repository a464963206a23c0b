// A program of a project that takes rolm's source tree into its own build:
// one call of each family, compiled with the project's own warnings as errors.
#include <rolm/rolm.h>
#include <stdio.h>
#include <stdlib.h>

static int Failed(const char* what) {
    fprintf(stderr, "consumer: %s\n", what);
    return 1;
}

int main() {
    TraceInit(L"consumer", 0);
    TraceWrite(L"consumer > started");
    LPWSTR text = nullptr;
    DWORD length = 0;
    if (GetSystemErrorText(ERROR_FILE_NOT_FOUND, &text, &length) != 0 || length == 0)
        return Failed("trace: no text for error 2");
    LocalFree(text);
    WSADATA wsa;
    ULONG address = 0;
    if (WSAStartup(MAKEWORD(2, 1), &wsa) != 0 || GetIPaddress("127.0.0.1", &address, nullptr, nullptr, 0) != 0 ||
        address != htonl(INADDR_LOOPBACK))
        return Failed("net: 127.0.0.1 not resolved to loopback in network order");
    WSACleanup();
    UINT* offsets = nullptr;
    UINT count = 0;
    if (Match(L"abcab", L"ab", &offsets, &count, FALSE, 10, FALSE) != 0 || count != 2 || offsets[1] != 3)
        return Failed("http: \"ab\" not found at 0 and 3 of \"abcab\"");
    free(offsets);
    DWORD code = 0;
    if (GetExitCode(OBJECT_THREAD, GetCurrentThread(), &code) != 0 || code != STILL_ACTIVE)
        return Failed("process: the running thread's exit code is not STILL_ACTIVE");
    if (CheckRegKey(HKEY_CURRENT_USER, L"Software") != 0)
        return Failed("fsreg: HKCU\\Software does not open");
    return 0;
}
