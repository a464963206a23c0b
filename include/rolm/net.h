// rolm network probes: host resolution, ICMP echo over a raw socket or
// through the system ICMP service, route round-trip time and hop count, and
// the machine's Internet connection state.
//
// Conventions:
//   - Errors are Windows error codes (Windows Sockets codes are among them);
//     the probes return BOOL and give the reason through an optional
//     DWORD* pdwError, which a null pointer simply drops.
//   - Host names are 8-bit text in the ANSI code page, at most ROLM_HOST_MAX
//     (255) characters; null or empty means ROLM_DEFAULT_HOST.
//   - Every probe starts and releases Windows Sockets 2.1 itself, except
//     GetIPaddress, whose caller does. Whatever a probe takes (session,
//     socket, library, buffers) is released on every path.
//   - Progress and failures are traced with the exact lines of each probe;
//     the checksum, request and flag-text helpers trace nothing.
//
// Choices of this library:
//   - The default host is "one.one.one.one": a public resolver's name that is
//     served from many places and answers ICMP echo, so both the name look-up
//     and the echo say something about the path to the Internet.
//   - A host name longer than 255 characters is refused with
//     ERROR_INVALID_PARAMETER; a resolved-name buffer too small for the name
//     receives as much of it as fits, always zero-terminated.
//   - Ping refuses nDatasize above ROLM_PING_MAX_DATASIZE (1016) with
//     ERROR_INVALID_PARAMETER after its first trace line, before it takes
//     anything; nMaxSeqTimeout above ROLM_PING_MAX_SEQUENCE (65534) acts as
//     65534, the highest last sequence number a 16-bit counter can pass, so
//     the tries always run out.
//   - The raw socket is created for overlapped I/O (the calls stay blocking):
//     the system applies the send and receive timeouts only to such sockets.
#pragma once

#include <windows.h>

// The host probed when none is given.
#define ROLM_DEFAULT_HOST "one.one.one.one"

#define ROLM_HOST_MAX 255               // characters of a host name
#define ROLM_PING_MAX_DATASIZE 1016     // 1024-byte request buffer less the ICMP header
#define ROLM_PING_MAX_SEQUENCE 65534    // highest nMaxSeqTimeout that is honoured

// State bits of InetGetConnectedState.
#define INET_CONNECTION_CONFIGURED 1   // flags 0x01, 0x02, 0x10 or 0x40 reported
#define INET_CONNECTION_ACTIVED 2      // the echo probe got an answer

// Resolves a host name or dotted IPv4 text to an IPv4 address in network
// order: the look-up first, then the dotted parse. *pulAddress is INADDR_NONE
// (0xFFFFFFFF) after every failure. pwFamily (optional) receives the address
// family. When lpszResolved and cbResolved are both given, the buffer receives
// the host name actually used (cut to fit). The caller owns the Windows
// Sockets session.
//   - 0: resolved.
//   - ERROR_INVALID_PARAMETER: pulAddress missing, or a host name over 255
//     characters.
//   - a Windows Sockets error (WSAHOST_NOT_FOUND...): neither the look-up nor
//     the parse gave an address; the look-up's error.
DWORD GetIPaddress(LPCSTR lpszServer, ULONG* pulAddress, USHORT* pwFamily, LPSTR lpszResolved,
                   DWORD cbResolved);

// ICMP echo over a raw socket: tries with sequence numbers 0..nMaxSeqTimeout,
// each bounded by nTimeout and followed by a 500 ms pause when it timed out;
// the first datagram received decides. nDatasize < 1: 32; nTimeout < 1: 1000
// ms; nMaxSeqTimeout < 0: 4.
//   - TRUE: an echo reply to this process came; *pdwError 0.
//   - FALSE, *pdwError 0: the probe ran but no reply to this process came.
//   - FALSE, ERROR_INVALID_PARAMETER: nDatasize above ROLM_PING_MAX_DATASIZE.
//   - FALSE, ERROR_NOT_ENOUGH_MEMORY: no buffers.
//   - FALSE, a Windows Sockets error: start-up, socket, timeouts, resolution,
//     or a send or receive that failed other than by timing out
//     (WSAEMSGSIZE for a reply over 1024 bytes).
BOOL Ping(LPCSTR lpszServer, int nDatasize, int nTimeout, int nMaxSeqTimeout, DWORD* pdwError);

// Checks one received IPv4 datagram: an echo reply carrying this process's
// identifier after the header its first byte announces. from (optional)
// names the sender in the trace ("NULL" without).
//   - TRUE: our echo reply.
//   - FALSE: too few bytes, another ICMP type, or another process's identifier.
BOOL decode_resp(const char* buf, int bytes, const struct sockaddr_in* from);

// Writes an echo request header (type 8, code 0, checksum 0, identifier = low
// 16 bits of the process id, sequence 0, both in machine order) and fills
// bytes 8..datasize-1 with 0x45. datasize is the whole message size; below 8
// (or with no buffer) nothing is written.
void fill_echo_request(char* icmp_data, int datasize);

// Internet checksum (RFC 1071) of size bytes, in machine order: stored as is
// into a message, it is the right checksum on the wire.
USHORT echo_checksum(const void* buffer, int size);

// One echo request through the system ICMP service ("IcmpCreateFile",
// "IcmpSendEcho", "IcmpCloseHandle" from "Iphlpapi.dll", else "Icmp.dll"),
// 28 bytes of data, 1000 ms timeout. A failing close is traced and changes
// nothing else.
//   - TRUE, *pdwError 0: at least one reply came back, whatever its status.
//   - FALSE, ERROR_MOD_NOT_FOUND / ERROR_PROC_NOT_FOUND: no library with the
//     service.
//   - FALSE, the system's error: start-up, resolution, the service's handle,
//     or the echo itself (IP_REQ_TIMED_OUT when nothing answered).
BOOL SendIcmpEcho(LPCSTR lpszServer, DWORD* pdwError);

// Hop count and round-trip time to a host through "GetRTTAndHopCount" of
// "Iphlpapi.dll", traced only. nMaxHops < 0: 128. Only TRUE itself from the
// system counts as success.
//   - TRUE: measured; *pdwError untouched.
//   - FALSE, the system's error: start-up, resolution, library or export
//     missing, or the measurement (its last error, which may be 0).
BOOL TraceRoute(LPCSTR lpszServer, int nMaxHops, DWORD* pdwError);

// The connection flags as text: " ( INTERNET_CONNECTION_CONFIGURED )" etc. for
// each of 0x40, 0x02, 0x01, 0x20, 0x04, 0x10 that is set, in that order (the
// low 8 bits only); the text is cut to fit cchBuffer characters. Returns
// lpszBuffer.
LPWSTR ConnectionFlagsText(DWORD dwFlags, LPWSTR lpszBuffer, DWORD cchBuffer);

// The echo probe chosen by the system's major version: SendIcmpEcho from 5
// on (nDatasize, nTimeout and nMaxSeqTimeout unused), else Ping. A failed
// version query counts as version 0. Results as the probe chosen.
BOOL PingServer(LPCSTR lpszServer, int nDatasize, int nTimeout, int nMaxSeqTimeout,
                DWORD* pdwError);

// Queries the connection state (flags and connected result to the optional
// outputs), then probes the host with PingServer (*pdwError as there).
//   - INET_CONNECTION_CONFIGURED: a connection is configured.
//   - INET_CONNECTION_ACTIVED: the probe got an answer.
DWORD InetGetConnectedState(DWORD* pdwFlags, BOOL* pfConnected, LPCSTR lpszServer, int nDatasize,
                            int nTimeout, int nMaxSeqTimeout, DWORD* pdwError);

// Whether the connection is active: InetGetConnectedState with 32 bytes,
// 1000 ms and sequence numbers 0..4 to lpszServer or, when that is null or
// empty, to g_ServerConfig.szServer (ANSI code page; empty means the default
// host). *pdwState (optional) receives the state bits.
//   - TRUE: INET_CONNECTION_ACTIVED is set.
BOOL RolmIsActiveConnection(LPCSTR lpszServer, DWORD* pdwState);
