// The probes: checksum and reply parsing on crafted bytes, resolution, route
// measurement and connection state, every system call failed in turn, and the
// echo route by Windows version (from the program's name) against loopback
// and the namespace peers (the only tests the nt40 and winxp copies run). The
// cases and the exact traces they write are in net_test.cases.
#include <winsock2.h>
#include <iphlpapi.h>
#include <icmpapi.h>
#include <gtest/gtest.h>
#include <rolm/http.h>
#include <rolm/net.h>

#include "faults.h"
#include "net/system.h"

using namespace rolm_test;

ROLM_STANDIN("ws2_32.dll", WSAStartup, Fails::Code, Role::Open, "winsock");
ROLM_STANDIN("ws2_32.dll", WSACleanup, Fails::Invalid, Role::Close, "winsock");
ROLM_STANDIN("ws2_32.dll", WSASocketW, Fails::Invalid, Role::Open, "socket");
ROLM_STANDIN("ws2_32.dll", closesocket, Fails::Invalid, Role::Close, "socket");
ROLM_STANDIN("ws2_32.dll", setsockopt, Fails::Invalid, Role::None, "");
ROLM_STANDIN("ws2_32.dll", sendto, Fails::Invalid, Role::None, "");
ROLM_STANDIN("ws2_32.dll", recvfrom, Fails::Invalid, Role::None, "");
ROLM_STANDIN("ws2_32.dll", gethostbyname, Fails::Null, Role::None, "");
ROLM_STANDIN("ws2_32.dll", inet_addr, Fails::Invalid, Role::None, "");
ROLM_STANDIN("kernel32.dll", HeapAlloc, Fails::Null, Role::Open, "process heap block");
ROLM_STANDIN("kernel32.dll", HeapFree, Fails::False, Role::Close, "process heap block");
ROLM_STANDIN("kernel32.dll", LoadLibraryW, Fails::Null, Role::Open, "library");
ROLM_STANDIN("kernel32.dll", FreeLibrary, Fails::False, Role::Close, "library");
ROLM_STANDIN("kernel32.dll", GetProcAddress, Fails::Null, Role::None, "");
ROLM_STANDIN("kernel32.dll", GetVersionExW, Fails::False, Role::None, "");
ROLM_STANDIN("kernel32.dll", WideCharToMultiByte, Fails::Null, Role::None, "");
ROLM_STANDIN("wininet.dll", InternetGetConnectedStateExW, Fails::False, Role::None, "");
ROLM_STANDIN("iphlpapi.dll", IcmpCreateFile, Fails::Invalid, Role::Open, "echo handle");
ROLM_STANDIN("iphlpapi.dll", IcmpCloseHandle, Fails::False, Role::Close, "echo handle");
ROLM_STANDIN("iphlpapi.dll", IcmpSendEcho, Fails::Null, Role::None, "");

// The service's exports as the library looks them up: the counted stand-ins
// above (this program imports them for that), and a route measurement that
// says what g_rtt says (Wine's own is a stub that always fails).
void* g_icmpImports[] = {(void*)&::IcmpCreateFile, (void*)&::IcmpCloseHandle, (void*)&::IcmpSendEcho};

namespace {

BOOL g_rtt = TRUE;
ULONG g_maxHops;
BOOL WINAPI Rtt(IPAddr, PULONG hops, ULONG maxHops, PULONG rtt) {
    g_maxHops = maxHops;
    *hops = 3;
    *rtt = 7;
    ::SetLastError(ERROR_NETWORK_UNREACHABLE);
    return g_rtt;
}
// In front of GetProcAddress's stand-in, which the fixture's Faults puts in first.
FARPROC WINAPI Exports(HMODULE module, LPCSTR name) {
    FARPROC real = reinterpret_cast<decltype(&Exports)>(RolmStandin_GetProcAddress::slot.replacement)(module, name);
    for (auto* slot : {&RolmStandin_IcmpCreateFile::slot, &RolmStandin_IcmpCloseHandle::slot,
                       &RolmStandin_IcmpSendEcho::slot})
        if (real != nullptr && strcmp(name, slot->name) == 0) return reinterpret_cast<FARPROC>(slot->replacement);
    return real != nullptr && strcmp(name, "GetRTTAndHopCount") == 0 ? reinterpret_cast<FARPROC>((void*)Rtt) : real;
}

// Keeps the default host, and every name but loopback's, off the network.
hostent* WSAAPI NoLookup(const char*) {
    ::WSASetLastError(WSAHOST_NOT_FOUND);
    return nullptr;
}

DWORD g_flags;
BOOL WINAPI FixedState(LPDWORD flags, LPWSTR name, DWORD capacity, DWORD) {
    *flags = g_flags;
    lstrcpynW(name, L"Test Link", static_cast<int>(capacity));
    return g_flags != 0;
}


DWORD g_slept;
void WINAPI CountingSleep(DWORD ms) { g_slept += ms; }
const char* Host(const std::string& host) { return host == "~" ? nullptr : host.c_str(); }

struct Net : ::testing::Test {
    ~Net() override {
        rolm::net::System() = saved;
        SetServerConfig(0, nullptr, nullptr, nullptr, nullptr);
        g_rtt = TRUE;
        ::WSACleanup();
    }
    // The probes as a section's cases call them (PingServer as this copy of the program, named for its Windows
    // version, takes it): what each returns, reports through its address or last argument, asks the route
    // measurement for, and sleeps in all; the family and the name GetIPaddress gives in a buffer of 6 bytes.
    void Expect(const char* section) {
        rolm::net::System().sleep = CountingSleep;
        rolm::net::System().getConnectedState = FixedState;
        const Values names = {{L"{255}", std::wstring(255, L'a')}};  // the longest name looked up
        RunCases(Cases(section), names, [&](const Case& c) {
            const std::string host = Utf8(Expand(c.Text("host"), names));
            rolm::net::System().getHostByName = c.Number("lookup") ? saved.getHostByName : NoLookup;
            g_flags = c.Number("flags");
            g_rtt = c.Number("rtt");
            g_maxHops = 0;
            EXPECT_EQ(0u, SetServerConfig(80, c.Text("server").c_str(), nullptr, nullptr, nullptr));
            DWORD out = 1234;
            USHORT family = 0;
            char resolved[8] = "\0######";
            g_slept = 0;
            const DWORD result =
                c.Get("call") == "GetIPaddress" ? GetIPaddress(Host(host), &out, &family, resolved, 6)
                : c.Get("call") == "TraceRoute" ? TraceRoute(Host(host), int(c.Number("hops")), &out)
                : c.Get("call") == "PingServer"
                    ? PingServer(Host(host), int(c.Number("size")), 200, int(c.Number("maxSeq")), &out)
                    : RolmIsActiveConnection(Host(host), &out);
            EXPECT_EQ(c.Number("out"), out);
            EXPECT_EQ(c.Number("family"), family);
            EXPECT_EQ(c.Get("resolved"), resolved);
            EXPECT_EQ('#', resolved[6]) << "past the buffer";
            EXPECT_EQ(c.Number("maxHops"), g_maxHops);
            EXPECT_EQ(c.Number("slept"), g_slept) << "slept";
            return result;
        });
    }
    const rolm::net::SystemCalls saved = rolm::net::System();
    // The test's own Windows Sockets session, started before the stand-ins count, so that a probe's release of
    // one it did not start shows as a close too many.
    WSADATA winsock;
    const int started = ::WSAStartup(MAKEWORD(2, 1), &winsock);
    Faults faults;
    ImportPatch exports{"kernel32.dll", "GetProcAddress", reinterpret_cast<void*>(&Exports)};
};
using Route = Net;
using Peers = Net;
std::string Bytes(const void* at, size_t size) { return std::string(static_cast<const char*>(at), size); }

// RFC 1071's example, an odd length padded with a zero byte, a carry folded twice; the request around it;
// replies of our process after the header that the low half of their first byte announces, and what else comes.
TEST_F(Net, EchoRequestAndReply) {
    for (auto [in, size, wire] : {std::make_tuple("\x00\x01\xf2\x03\xf4\xf5\xf6\xf7", 8, "\x22\x0d"),
                                  {"\x00\x01\xf2", 3, "\x0d\xfe"}, {"\xff\xff\xff\xff\x01", 5, "\xfe\xff"}}) {
        EXPECT_EQ(*reinterpret_cast<const USHORT*>(wire), echo_checksum(in, size)) << size;
    }
    std::string message(64, '#');
    fill_echo_request(&message[0], 7);  // too short: untouched
    fill_echo_request(&message[0], 41);
    const USHORT own = static_cast<USHORT>(::GetCurrentProcessId());
    const std::string request = Bytes("\x08\0\0\0", 4) + Bytes(&own, 2) + Bytes("\0\0", 2) + std::string(33, 'E');
    EXPECT_EQ(request + "#", message.substr(0, 42));
    RunCases(Cases("decode_resp"), {}, [&](const Case& c) {
        std::string d(1024, '\x5a');  // a whole reply whatever the count: only the count may decide
        const DWORD words = c.Number("words");
        const USHORT id = static_cast<USHORT>(own ^ c.Number("other"));
        d[0] = static_cast<char>(0xF0 | words);
        d[4 * words] = static_cast<char>(c.Number("type"));
        memcpy(&d[4 * words + 4], &id, 2);
        return DWORD(!!decode_resp(d.data(), int(c.Number("bytes")), nullptr));
    });
}

// The flags as text, cut to fit; an address with nowhere to go; then the probes' own cases.
TEST_F(Net, ProbesReportWhatTheSystemSays) {
    std::wstring text(16, L'#');
    ConnectionFlagsText(0x40, &text[0], 10);
    EXPECT_EQ(std::wstring(L" ( INTERN\0######", 16), text);
    EXPECT_EQ(87u, GetIPaddress("127.0.0.1", nullptr, nullptr, nullptr, 0)) << "no address to write";
    Expect("Probes");
}

// Each system call of the probes failed in turn with 10050.
TEST_F(Net, EveryCallFailedInTurnIsReportedAndReleases) {
    DWORD error = 0;
    const std::pair<const char*, std::function<BOOL()>> probes[] = {
        {"Ping", [&] { return Ping("127.0.0.1", 0, 200, 0, &error); }},
        {"SendIcmpEcho", [&] { return SendIcmpEcho("127.0.0.1", &error); }},
        {"TraceRoute", [&] { return TraceRoute("127.0.0.1", 5, &error); }},
        {"RolmIsActiveConnectionFailing", [&] { return RolmIsActiveConnection(nullptr, &error); }}};
    ASSERT_EQ(0u, SetServerConfig(80, L"nosuch", nullptr, nullptr, nullptr));
    rolm::net::System().getHostByName = NoLookup;
    for (const auto& [section, probe] : probes) {
        SCOPED_TRACE(section);
        TortureTable(faults, WSAENETDOWN, Failures(section), [&] {
            error = 1234;
            return Outcome{static_cast<DWORD>(probe()), error};  // braced: the probe runs first
        });
    }
}

TEST_F(Net, EveryCallThatCanFailHasAStandIn) { EXPECT_TRUE(StandInsCover({"net"})); }

TEST_F(Route, VersionChoosesTheProbe) { Expect("Route"); }

TEST_F(Peers, AnswerOrNot) {
    const std::string peers = ReadFileBytes(ProgramDir() + L"net-peer.state");
    if (peers != "up\n") GTEST_SKIP() << "no peers: " << (peers.empty() ? "net_peer_setup did not run" : peers);
    Expect("Peers");
}

}  // namespace
