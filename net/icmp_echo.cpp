#include <winsock2.h>
#include <iphlpapi.h>
#include <icmpapi.h>
#include <rolm/net.h>
#include <rolm/trace.h>
#include <string.h>

#include "common/unique.h"
#include "net/system.h"

using rolm::net::AnsiText;

namespace {

typedef HANDLE(WINAPI* IcmpCreateFileProc)(void);
typedef DWORD(WINAPI* IcmpSendEchoProc)(HANDLE, IPAddr, LPVOID, WORD, PIP_OPTION_INFORMATION,
                                        LPVOID, DWORD, DWORD);
typedef BOOL(WINAPI* IcmpCloseHandleProc)(HANDLE);

template <typename Proc>
Proc Lookup(HMODULE module, const char* name) {
    return reinterpret_cast<Proc>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

// The echo handle, closed with the service's own function when the scope ends;
// a failing close is traced and changes nothing else.
class EchoHandle {
public:
    EchoHandle(HANDLE handle, IcmpCloseHandleProc close) : handle_(handle), close_(close) {}
    ~EchoHandle() {
        if (!close_(handle_))
            TraceWrite(L"SendIcmpEcho > IcmpCloseHandle(...) has failed -> error == %d",
                       ::GetLastError());
    }
    EchoHandle(const EchoHandle&) = delete;
    EchoHandle& operator=(const EchoHandle&) = delete;
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
    IcmpCloseHandleProc close_;
};

}  // namespace

BOOL SendIcmpEcho(LPCSTR lpszServer, DWORD* pdwError) {
    DWORD ignored = 0;
    DWORD& error = pdwError != nullptr ? *pdwError : ignored;

    rolm::WinsockSession winsock;
    if (!winsock.started()) {
        error = winsock.error();
        TraceWrite(L"SendIcmpEcho > WSAStartup(...) has failed -> error == %d", winsock.error());
        return FALSE;
    }

    char resolvedName[256];
    IPAddr address = 0;
    DWORD resolved = GetIPaddress(lpszServer, &address, nullptr, resolvedName, sizeof resolvedName);
    if (resolved != 0) {
        error = resolved;
        return FALSE;
    }

    rolm::UniqueModule library(rolm::net::System().loadLibrary(L"Iphlpapi.dll"));
    IcmpCreateFileProc createFile = nullptr;
    if (library) {
        createFile = Lookup<IcmpCreateFileProc>(library.get(), "IcmpCreateFile");
        if (createFile != nullptr)
            TraceWrite(L"SendIcmpEcho > LoadLibrary(\"Iphlpapi.dll\") has succed");
        else
            library.reset();
    } else {
        TraceWrite(L"SendIcmpEcho > LoadLibrary(\"Iphlpapi.dll\") has failed -> error: %ld",
                   ::GetLastError());
    }
    if (createFile == nullptr) {
        library.reset(rolm::net::System().loadLibrary(L"Icmp.dll"));
        if (!library) {
            error = ::GetLastError();
            TraceWrite(L"SendIcmpEcho > LoadLibrary(\"Icmp.dll\") has failed -> error: %ld",
                       error);
            return FALSE;
        }
        TraceWrite(L"SendIcmpEcho > LoadLibrary(\"Icmp.dll\") has succed");
        createFile = Lookup<IcmpCreateFileProc>(library.get(), "IcmpCreateFile");
        if (createFile == nullptr) {
            error = ::GetLastError();
            TraceWrite(L"SendIcmpEcho > GetProcAddress(hModule, \"IcmpCreateFile\") has failed "
                       L"-> error: %ld",
                       error);
            return FALSE;
        }
    }

    IcmpCloseHandleProc closeHandle = Lookup<IcmpCloseHandleProc>(library.get(), "IcmpCloseHandle");
    if (closeHandle == nullptr) {
        error = ::GetLastError();
        TraceWrite(L"SendIcmpEcho > GetProcAddress(hModule, \"IcmpCloseHandle\") has failed -> "
                   L"error: %ld",
                   error);
        return FALSE;
    }

    HANDLE opened = createFile();
    if (opened == INVALID_HANDLE_VALUE) {
        error = ::GetLastError();
        TraceWrite(L"SendIcmpEcho > IcmpCreatefile() has failed, unable to open handle -> "
                   L"error == %d",
                   error);
        return FALSE;
    }
    EchoHandle echo(opened, closeHandle);

    // The text and its terminating zero byte: 28 bytes of data. The reply
    // buffer holds one reply record of this build's layout and the echoed data.
    char requestData[] = "icmp send echo dacodac coco";
    union {
        ICMP_ECHO_REPLY record;
        unsigned char bytes[sizeof(ICMP_ECHO_REPLY) + sizeof requestData];
    } reply;
    memset(&reply, 0, sizeof reply);

    IcmpSendEchoProc sendEcho = Lookup<IcmpSendEchoProc>(library.get(), "IcmpSendEcho");
    if (sendEcho == nullptr) {
        error = ::GetLastError();
        TraceWrite(L"SendIcmpEcho > GetProcAddress(hModule, \"IcmpSendEcho\") has failed -> "
                   L"error: %ld",
                   error);
        return FALSE;
    }

    DWORD replies = sendEcho(echo.get(), address, requestData, sizeof requestData, nullptr,
                             reply.bytes, sizeof reply.bytes, 1000);
    if (replies == 0) {
        error = ::GetLastError();
        TraceWrite(L"SendIcmpEcho > IcmpSendEcho(...) has failed -> error == %d", error);
        return FALSE;
    }

    TraceWrite(L"SendIcmpEcho > IcmpSendEcho(...) sent icmp message to %s",
               AnsiText(resolvedName).c_str());
    char replier[16];
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&reply.record.Address);
    wsprintfA(replier, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    TraceWrite(L"SendIcmpEcho > received %d icmp message response from %s", replies,
               AnsiText(replier).c_str());
    TraceWrite(L"SendIcmpEcho > status = %d, round-trip time = %d ms", reply.record.Status,
               reply.record.RoundTripTime);
    error = 0;
    return TRUE;
}
