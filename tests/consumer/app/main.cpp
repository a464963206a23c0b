// A program of a project that takes rolm's source tree into its own build:
// one call of each family, compiled with the project's own warnings as errors.
#include <rolm/rolm.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

int failures = 0;

void Expect(bool holds, const char* what) {
    if (!holds) {
        fprintf(stderr, "consumer: %s\n", what);
        ++failures;
    }
}

}  // namespace

int main() {
    TraceInit(L"consumer", 0);
    TraceWrite(L"consumer > started");

    LPWSTR text = nullptr;
    DWORD length = 0;
    Expect(GetSystemErrorText(ERROR_FILE_NOT_FOUND, &text, &length) == 0 && length > 0, "trace: no text for error 2");
    LocalFree(text);

    WSADATA wsa;
    Expect(WSAStartup(MAKEWORD(2, 1), &wsa) == 0, "net: WSAStartup failed");
    ULONG address = 0;
    Expect(GetIPaddress("127.0.0.1", &address, nullptr, nullptr, 0) == 0, "net: 127.0.0.1 not resolved");
    const BYTE loopback[4] = {127, 0, 0, 1};
    Expect(memcmp(&address, loopback, 4) == 0, "net: 127.0.0.1 not in network order");
    WSACleanup();

    UINT* offsets = nullptr;
    UINT count = 0;
    Expect(Match(L"abcab", L"ab", &offsets, &count, FALSE, 10, FALSE) == 0 && count == 2 && offsets[0] == 0 &&
               offsets[1] == 3,
           "http: \"ab\" not found at 0 and 3 of \"abcab\"");
    free(offsets);

    DWORD code = 0;
    Expect(GetExitCode(OBJECT_THREAD, GetCurrentThread(), &code) == 0 && code == STILL_ACTIVE,
           "process: the running thread's exit code is not STILL_ACTIVE");

    Expect(CheckRegKey(HKEY_CURRENT_USER, L"Software") == 0, "fsreg: HKCU\\Software does not open");

    return failures;
}
