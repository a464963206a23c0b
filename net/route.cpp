#include <winsock2.h>
#include <rolm/net.h>
#include <rolm/trace.h>

#include "common/unique.h"
#include "net/system.h"

namespace {

typedef BOOL(WINAPI* GetRTTAndHopCountProc)(ULONG, PULONG, ULONG, PULONG);

}  // namespace

BOOL TraceRoute(LPCSTR lpszServer, int nMaxHops, DWORD* pdwError) {
    rolm::WinsockSession winsock;
    if (!winsock.started()) {
        if (pdwError != nullptr) *pdwError = winsock.error();
        TraceWrite(L"TraceRoute > WSAStartup(...) has failed -> error == %d", winsock.error());
        return FALSE;
    }

    ULONG address = 0;
    DWORD resolved = GetIPaddress(lpszServer, &address, nullptr, nullptr, 0);
    if (resolved != 0) {
        if (pdwError != nullptr) *pdwError = resolved;
        return FALSE;
    }

    const ULONG maxHops = nMaxHops < 0 ? 128 : static_cast<ULONG>(nMaxHops);
    ULONG hopCount = 0, roundTrip = 0;
    BOOL result = FALSE;

    rolm::UniqueModule library(rolm::net::System().loadLibrary(L"Iphlpapi.dll"));
    if (!library) {
        if (pdwError != nullptr) *pdwError = ::GetLastError();
        TraceWrite(L"TraceRoute > LoadLibrary(\"Iphlpapi.dll\") has failed -> error: %ld",
                   ::GetLastError());
        return result;
    }
    GetRTTAndHopCountProc measure = reinterpret_cast<GetRTTAndHopCountProc>(
        reinterpret_cast<void*>(::GetProcAddress(library.get(), "GetRTTAndHopCount")));
    if (measure == nullptr) {
        if (pdwError != nullptr) *pdwError = ::GetLastError();
        TraceWrite(L"TraceRoute > GetProcAddress(Iphlpapi.dll, GetRTTAndHopCount) has failed -> "
                   L"error: %ld",
                   ::GetLastError());
        return result;
    }
    // Only TRUE itself is success: any other value is a failure with a reason.
    if (measure(address, &hopCount, maxHops, &roundTrip) == TRUE) {
        result = TRUE;
        TraceWrite(L"TraceRoute > hops: %ld", hopCount);
        TraceWrite(L"TraceRoute > round-trip time: %ld ms", roundTrip);
    } else {
        if (pdwError != nullptr) *pdwError = ::GetLastError();
        TraceWrite(L"TraceRoute > GetRTTAndHopCount(...) has failed -> error: %ld",
                   ::GetLastError());
    }
    return result;
}
