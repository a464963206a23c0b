// The system calls of the probes that tests must be able to steer: the module
// loader (stand-in ICMP libraries), the name look-up (no traffic to the
// default host), the pause between tries, and the version and connection-state
// queries (values the test machine does not have). Everything else is called
// directly.
#pragma once

#include <winsock2.h>
#include <windows.h>

namespace rolm {
namespace net {

struct SystemCalls {
    HMODULE(WINAPI* loadLibrary)(LPCWSTR name);
    struct hostent*(WSAAPI* getHostByName)(const char* name);
    void(WINAPI* sleep)(DWORD milliseconds);
    BOOL(WINAPI* getVersion)(LPOSVERSIONINFOW info);
    BOOL(WINAPI* getConnectedState)(LPDWORD flags, LPWSTR name, DWORD capacity, DWORD reserved);
};

// The calls in use; the real ones unless a test has replaced some.
SystemCalls& System();

// The last sequence number Ping tries for its nMaxSeqTimeout.
unsigned EffectiveMaxSequence(int nMaxSeqTimeout);

// 8-bit text in the ANSI code page as wide text for a trace line; null shows
// as "NULL", text beyond the buffer is cut.
class AnsiText {
public:
    explicit AnsiText(const char* text);
    AnsiText(const AnsiText&) = delete;
    AnsiText& operator=(const AnsiText&) = delete;
    const wchar_t* c_str() const { return text_; }

private:
    wchar_t text_[512];
};

}  // namespace net
}  // namespace rolm
