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

// The address of an export of the service's library; 0, or the error traced.
template <typename Proc>
DWORD Find(HMODULE module, const char* name, const wchar_t* wideName, Proc* proc) {
    *proc = Lookup<Proc>(module, name);
    if (*proc != nullptr) return 0;
    DWORD error = ::GetLastError();
    TraceWrite(L"SendIcmpEcho > GetProcAddress(hModule, \"%s\") has failed -> error: %ld", wideName,
               error);
    return error;
}

// The service's library: Iphlpapi.dll when it exports IcmpCreateFile (said
// only then), else Icmp.dll.
DWORD LoadService(rolm::UniqueModule* library, IcmpCreateFileProc* createFile) {
    library->reset(rolm::net::System().loadLibrary(L"Iphlpapi.dll"));
    if (library->valid()) {
        *createFile = Lookup<IcmpCreateFileProc>(library->get(), "IcmpCreateFile");
        if (*createFile != nullptr) {
            TraceWrite(L"SendIcmpEcho > LoadLibrary(\"Iphlpapi.dll\") has succed");
            return 0;
        }
        library->reset();
    } else {
        TraceWrite(L"SendIcmpEcho > LoadLibrary(\"Iphlpapi.dll\") has failed -> error: %ld",
                   ::GetLastError());
    }
    library->reset(rolm::net::System().loadLibrary(L"Icmp.dll"));
    if (!library->valid()) {
        DWORD error = ::GetLastError();
        TraceWrite(L"SendIcmpEcho > LoadLibrary(\"Icmp.dll\") has failed -> error: %ld", error);
        return error;
    }
    TraceWrite(L"SendIcmpEcho > LoadLibrary(\"Icmp.dll\") has succed");
    return Find(library->get(), "IcmpCreateFile", L"IcmpCreateFile", createFile);
}

// One echo request with the fixed data and its replies, traced. The text and
// its terminating zero byte are 28 bytes of data; the reply buffer holds one
// reply record of this build's layout and the echoed data.
DWORD Echo(IcmpSendEchoProc sendEcho, HANDLE echo, IPAddr address, const char* resolvedName) {
    char requestData[] = "icmp send echo dacodac coco";
    union {
        ICMP_ECHO_REPLY record;
        unsigned char bytes[sizeof(ICMP_ECHO_REPLY) + sizeof requestData];
    } reply;
    memset(&reply, 0, sizeof reply);
    DWORD replies = sendEcho(echo, address, requestData, sizeof requestData, nullptr, reply.bytes,
                             sizeof reply.bytes, 1000);
    if (replies == 0) {
        DWORD error = ::GetLastError();
        TraceWrite(L"SendIcmpEcho > IcmpSendEcho(...) has failed -> error == %d", error);
        return error;
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
    return 0;
}

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
    DWORD result = GetIPaddress(lpszServer, &address, nullptr, resolvedName, sizeof resolvedName);
    if (result != 0) {
        error = result;
        return FALSE;
    }

    // The library, its close function, the echo handle, its send function.
    rolm::UniqueModule library;
    IcmpCreateFileProc createFile = nullptr;
    IcmpCloseHandleProc closeHandle = nullptr;
    IcmpSendEchoProc sendEcho = nullptr;
    if ((result = LoadService(&library, &createFile)) != 0 ||
        (result = Find(library.get(), "IcmpCloseHandle", L"IcmpCloseHandle", &closeHandle)) != 0) {
        error = result;
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
    if ((result = Find(library.get(), "IcmpSendEcho", L"IcmpSendEcho", &sendEcho)) != 0 ||
        (result = Echo(sendEcho, echo.get(), address, resolvedName)) != 0) {
        error = result;
        return FALSE;
    }
    error = 0;
    return TRUE;
}
