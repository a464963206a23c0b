#include <winsock2.h>
#include <ws2tcpip.h>
#include <rolm/net.h>
#include <rolm/trace.h>
#include <string.h>

#include "common/unique.h"
#include "net/system.h"

using rolm::net::AnsiText;

namespace {

const int kBufferBytes = 1024;
const int kHeaderBytes = 8;
const DWORD kPauseMs = 500;

USHORT ProcessIdentifier() { return static_cast<USHORT>(::GetCurrentProcessId() & 0xFFFF); }

void PutWord(char* at, USHORT value) { memcpy(at, &value, sizeof value); }

USHORT GetWord(const char* at) {
    USHORT value;
    memcpy(&value, at, sizeof value);
    return value;
}

// The sender's dotted address (inet_ntoa's form, without its shared buffer).
void FormatDotted(const sockaddr_in* from, char (&text)[16]) {
    if (from == nullptr) {
        lstrcpyA(text, "NULL");
        return;
    }
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&from->sin_addr);
    wsprintfA(text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

}  // namespace

namespace rolm {
namespace net {

// The highest sequence number tried: the counter is compared by its low 16
// bits, so anything above 65534 could never be passed.
unsigned EffectiveMaxSequence(int nMaxSeqTimeout) {
    if (nMaxSeqTimeout < 0) return 4;
    if (nMaxSeqTimeout > ROLM_PING_MAX_SEQUENCE) return ROLM_PING_MAX_SEQUENCE;
    return static_cast<unsigned>(nMaxSeqTimeout);
}

}  // namespace net
}  // namespace rolm

USHORT echo_checksum(const void* buffer, int size) {
    const unsigned char* bytes = static_cast<const unsigned char*>(buffer);
    unsigned long sum = 0;
    int i = 0;
    for (; i + 1 < size; i += 2) sum += GetWord(reinterpret_cast<const char*>(bytes + i));
    if (i < size) {
        char last[2] = {static_cast<char>(bytes[i]), 0};  // padded with one zero byte
        sum += GetWord(last);
    }
    sum = (sum >> 16) + (sum & 0xFFFF);
    sum += sum >> 16;
    return static_cast<USHORT>(~sum & 0xFFFF);
}

void fill_echo_request(char* icmp_data, int datasize) {
    if (icmp_data == nullptr || datasize < kHeaderBytes) return;
    icmp_data[0] = 8;  // echo request
    icmp_data[1] = 0;
    PutWord(icmp_data + 2, 0);
    PutWord(icmp_data + 4, ProcessIdentifier());
    PutWord(icmp_data + 6, 0);
    memset(icmp_data + kHeaderBytes, 'E', datasize - kHeaderBytes);
}

BOOL decode_resp(const char* buf, int bytes, const sockaddr_in* from) {
    char source[16];
    FormatDotted(from, source);
    int header = (buf != nullptr && bytes > 0) ? (buf[0] & 0x0F) * 4 : 0;
    if (buf == nullptr || bytes < header + kHeaderBytes) {
        TraceWrite(L"decode_resp > error: too few bytes from %s", AnsiText(source).c_str());
        return FALSE;
    }
    unsigned char type = static_cast<unsigned char>(buf[header]);
    if (type != 0) {
        TraceWrite(L"decode_resp > error: non-echo type %d received", type);
        return FALSE;
    }
    if (GetWord(buf + header + 4) == ProcessIdentifier()) {
        TraceWrite(L"decode_resp > %d bytes from %s > ping OK", bytes, AnsiText(source).c_str());
        return TRUE;
    }
    TraceWrite(L"decode_resp > error: someone else's packet");
    return FALSE;
}

namespace {

// Sets one of the socket's two timeouts; the error, traced with failedLine.
DWORD SetTimeout(SOCKET sock, int option, int milliseconds, const wchar_t* failedLine) {
    if (::setsockopt(sock, SOL_SOCKET, option, reinterpret_cast<const char*>(&milliseconds),
                     sizeof milliseconds) != SOCKET_ERROR)
        return 0;
    DWORD error = ::WSAGetLastError();
    TraceWrite(failedLine, error);
    return error;
}

// The raw ICMP socket with both timeouts set. Overlapped, although every call
// on it blocks: the system applies SO_RCVTIMEO and SO_SNDTIMEO only to
// sockets made with this flag, and without them a silent host would block
// the receive for ever.
DWORD OpenSocket(int timeout, rolm::UniqueSocket* sock) {
    sock->reset(::WSASocketW(AF_INET, SOCK_RAW, IPPROTO_ICMP, nullptr, 0, WSA_FLAG_OVERLAPPED));
    if (!sock->valid()) {
        DWORD error = ::WSAGetLastError();
        TraceWrite(L"Ping > WSASocket(...) has failed -> error == %d", error);
        return error;
    }
    DWORD error = SetTimeout(sock->get(), SO_RCVTIMEO, timeout,
                             L"Ping > setsockopt(...) has failed to set the received timeout -> error == %d");
    if (error == 0)
        error = SetTimeout(sock->get(), SO_SNDTIMEO, timeout,
                           L"Ping > setsockopt (...) has failed to set the timeout sending -> error == %d");
    return error;
}

// The request and reply buffers, 1024 zeroed bytes each from the process heap.
DWORD AllocateBuffers(rolm::UniqueProcessHeapBlock* request, rolm::UniqueProcessHeapBlock* reply) {
    HANDLE heap = ::GetProcessHeap();
    request->reset(::HeapAlloc(heap, HEAP_ZERO_MEMORY, kBufferBytes));
    if (!request->valid()) {
        TraceWrite(L"Ping > HeapAlloc(...) has failed -> icmp_data == NULL");
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    reply->reset(::HeapAlloc(heap, HEAP_ZERO_MEMORY, kBufferBytes));
    if (!reply->valid()) {
        TraceWrite(L"Ping > HeapAlloc(...) has failed -> recvbuf == NULL");
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    return 0;
}

enum TryOutcome { kDecided, kTimedOut, kFailed };

// One echo request with this sequence number and its first answer. Decided:
// *answered says whether it was our reply. Failed: *status holds the error.
TryOutcome OneTry(SOCKET sock, const sockaddr_in& dest, char* icmp_data, int size, char* recvbuf,
                  unsigned sequence, BOOL* answered, DWORD* status) {
    PutWord(icmp_data + 2, 0);
    PutWord(icmp_data + 6, static_cast<USHORT>(sequence & 0xFFFF));
    PutWord(icmp_data + 2, echo_checksum(icmp_data, size));

    int sent = ::sendto(sock, icmp_data, size, 0, reinterpret_cast<const sockaddr*>(&dest), sizeof dest);
    if (sent == SOCKET_ERROR) {
        *status = ::WSAGetLastError();
        if (*status == WSAETIMEDOUT) {
            TraceWrite(L"Ping > sendto(...) -> timeout");
            return kTimedOut;
        }
        TraceWrite(L"Ping > sendto(...) has failed -> error == %d", *status);
        return kFailed;
    }
    TraceWrite(L"Ping > sendto(...) wrote %d bytes on a maximum of %d", sent, size);
    sockaddr_in from;
    int fromLength = sizeof from;
    int received = ::recvfrom(sock, recvbuf, kBufferBytes, 0, reinterpret_cast<sockaddr*>(&from),
                              &fromLength);
    if (received != SOCKET_ERROR) {
        *answered = decode_resp(recvbuf, received, &from);
        return kDecided;
    }
    *status = ::WSAGetLastError();
    if (*status == WSAETIMEDOUT) {
        TraceWrite(L"Ping > recvfrom(...) -> timeout");
        return kTimedOut;
    }
    TraceWrite(L"Ping > recvfrom(...) has failed -> error == %d", *status);
    return kFailed;
}

}  // namespace

BOOL Ping(LPCSTR lpszServer, int nDatasize, int nTimeout, int nMaxSeqTimeout, DWORD* pdwError) {
    const int datasize = nDatasize < 1 ? 32 : nDatasize;
    const int timeout = nTimeout < 1 ? 1000 : nTimeout;
    const char* host = (lpszServer != nullptr && lpszServer[0] != '\0') ? lpszServer
                                                                         : ROLM_DEFAULT_HOST;
    TraceWrite(L"Ping > called with lpszServer == \"%s\", nDatasize == %d, nTimeout == %d, "
               L"nMaxSeqTimeout == %u",
               AnsiText(host).c_str(), datasize, timeout, static_cast<unsigned>(nMaxSeqTimeout));
    DWORD ignored = 0;
    DWORD& error = pdwError != nullptr ? *pdwError : ignored;

    // Refused before anything is taken: the request buffer holds 1016 bytes of data at most.
    if (datasize > ROLM_PING_MAX_DATASIZE) {
        error = ERROR_INVALID_PARAMETER;
        TraceWrite(L"Ping > nDatasize == %d exceeds %d -> error == %d", datasize,
                   ROLM_PING_MAX_DATASIZE, ERROR_INVALID_PARAMETER);
        return FALSE;
    }

    // Windows Sockets, the socket, the destination, the buffers.
    rolm::WinsockSession winsock;
    if (!winsock.started()) {
        error = winsock.error();
        TraceWrite(L"Ping > WSAStartup(...) has failed -> error == %d", winsock.error());
        return FALSE;
    }
    rolm::UniqueSocket sock;
    if ((error = OpenSocket(timeout, &sock)) != 0) return FALSE;
    sockaddr_in dest;
    memset(&dest, 0, sizeof dest);
    USHORT family = 0;
    if ((error = GetIPaddress(lpszServer, &dest.sin_addr.s_addr, &family, nullptr, 0)) != 0)
        return FALSE;
    dest.sin_family = family;
    rolm::UniqueProcessHeapBlock request, reply;
    if ((error = AllocateBuffers(&request, &reply)) != 0) return FALSE;
    char* icmp_data = static_cast<char*>(request.get());
    const int size = datasize + kHeaderBytes;
    fill_echo_request(icmp_data, size);

    // Tries until one is decided or fails, or the sequence numbers run out,
    // pausing after each that timed out.
    BOOL result = FALSE;
    DWORD status = 0;
    const DWORD start = ::GetTickCount();
    const unsigned lastSequence = rolm::net::EffectiveMaxSequence(nMaxSeqTimeout);
    for (unsigned sequence = 0;; ++sequence) {
        TryOutcome outcome = OneTry(sock.get(), dest, icmp_data, size,
                                    static_cast<char*>(reply.get()), sequence, &result, &status);
        if (outcome != kTimedOut) break;
        status = 0;
        rolm::net::System().sleep(kPauseMs);
        if (((sequence + 1) & 0xFFFF) > lastSequence) break;
    }
    const DWORD elapsed = ::GetTickCount() - start;

    reply.reset();
    request.reset();
    error = status;
    TraceWrite(L"Ping > returns %d, elapsed time: %u ms", result, elapsed);
    return result;
}
