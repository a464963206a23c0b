// The probes: checksum and reply parsing on crafted bytes, resolution, route
// measurement and connection state, every system call failed in turn, and the
// echo route by Windows version (from the program's name) against loopback
// and the namespace peers (the only tests the nt40 and winxp copies run).
#include <winsock2.h>
#include <iphlpapi.h>
#include <icmpapi.h>
#include <gtest/gtest.h>
#include <rolm/http.h>
#include <rolm/net.h>

#include "faults.h"
#include "net/system.h"
#include "support.h"

using namespace rolm_test;
using Lines = std::vector<std::wstring>;

ROLM_STANDIN("ws2_32.dll", WSAStartup, Fails::Code, Role::Open, "winsock");
ROLM_STANDIN("ws2_32.dll", WSACleanup, Fails::SocketError, Role::Close, "winsock");
ROLM_STANDIN("ws2_32.dll", WSASocketW, Fails::Invalid, Role::Open, "socket");
ROLM_STANDIN("ws2_32.dll", closesocket, Fails::SocketError, Role::Close, "socket");
ROLM_STANDIN("ws2_32.dll", setsockopt, Fails::SocketError, Role::None, "");
ROLM_STANDIN("ws2_32.dll", sendto, Fails::SocketError, Role::None, "");
ROLM_STANDIN("ws2_32.dll", recvfrom, Fails::SocketError, Role::None, "");
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
ImportPatch* g_exports;
FARPROC WINAPI Exports(HMODULE module, LPCSTR name) {
    FARPROC real = reinterpret_cast<decltype(&Exports)>(g_exports->original())(module, name);
    for (auto* slot : {&RolmStandin_IcmpCreateFile::slot, &RolmStandin_IcmpCloseHandle::slot,
                       &RolmStandin_IcmpSendEcho::slot})
        if (real != nullptr && strcmp(name, slot->name) == 0) return reinterpret_cast<FARPROC>(slot->replacement);
    return real != nullptr && strcmp(name, "GetRTTAndHopCount") == 0 ? reinterpret_cast<FARPROC>((void*)Rtt) : real;
}

// Keeps the default host off the network.
hostent* WSAAPI NoLookup(const char*) {
    ::WSASetLastError(WSAHOST_NOT_FOUND);
    return nullptr;
}

struct Net : ::testing::Test {
    Net() { g_exports = &exports; }
    ~Net() override { rolm::net::System() = saved; }
    const rolm::net::SystemCalls saved = rolm::net::System();
    Faults faults;
    ImportPatch exports{"kernel32.dll", "GetProcAddress", reinterpret_cast<void*>(&Exports)};
};
using Route = Net;
using Peers = Net;
Lines Take() { return TraceLog::Get().Take(); }
std::string Bytes(const void* at, size_t size) { return std::string(static_cast<const char*>(at), size); }

// RFC 1071's example, an odd length padded with a zero byte, a carry folded twice; the request around it;
// replies of our process after the header that their first byte announces, and what else comes.
TEST_F(Net, EchoRequestAndReply) {
    for (auto [in, size, wire] : {std::make_tuple("\x00\x01\xf2\x03\xf4\xf5\xf6\xf7", 8, "\x22\x0d"),
                                  {"\x00\x01\xf2", 3, "\x0d\xfe"}, {"\xff\xff\xff\xff\x01", 5, "\xfe\xff"}}) {
        const USHORT sum = echo_checksum(in, size);
        EXPECT_EQ(Bytes(wire, 2), Bytes(&sum, 2)) << size;
    }
    std::string message(64, '#');
    fill_echo_request(&message[0], 7);  // too short: untouched
    fill_echo_request(&message[0], 41);
    const USHORT own = static_cast<USHORT>(::GetCurrentProcessId());
    const std::string request = Bytes("\x08\0\0\0", 4) + Bytes(&own, 2) + Bytes("\0\0", 2) + std::string(33, 'E');
    EXPECT_EQ(request + "#", message.substr(0, 42));
    const std::wstring from = L"decode_resp > error: too few bytes from NULL", ok = L" bytes from NULL > ping OK";
    const struct { int words, bytes; unsigned char type; USHORT id; std::wstring line; } rows[] = {
        {5, 28, 0, own, L"decode_resp > 28" + ok}, {15, 68, 0, own, L"decode_resp > 68" + ok}, {15, 67, 0, own, from},
        {5, 0, 0, own, from}, {5, 60, 8, own, L"decode_resp > error: non-echo type 8 received"},
        {5, 60, 0, static_cast<USHORT>(own ^ 0x8001), L"decode_resp > error: someone else's packet"}};
    Take();
    for (const auto& row : rows) {
        std::string d(1024, '\x5a');  // a whole reply whatever the count: only the count may decide
        d[0] = static_cast<char>(0x40 | row.words);
        d[4 * row.words] = static_cast<char>(row.type);
        memcpy(&d[4 * row.words + 4], &row.id, 2);
        EXPECT_EQ(row.line.find(ok) != std::wstring::npos, !!decode_resp(d.data(), row.bytes, nullptr)) << row.bytes;
        EXPECT_EQ(Lines{row.line}, Take());
    }
}

// A name the look-up refuses is parsed as an address; resolved is cut to fit, untouched by a refusal.
TEST_F(Net, GetIPaddressLooksUpThenParsesWithinTheNameBound) {
    WSADATA data;
    ASSERT_EQ(0, ::WSAStartup(MAKEWORD(2, 1), &data));
    const std::string overlong(ROLM_HOST_MAX + 1, 'a');
    const std::wstring look = L"GetIPaddress > gethostbyname(\"", parse = L"GetIPaddress > inet_addr(\"";
    const std::wstring fails = L"\") has failed -> error == 11001", dflt = L"one.one.one.one", all = L"255.255.255.255";
    const std::wstring none = L"GetIPaddress > unable to resolve the server name or IPv4 address";
    const struct {
        const char* host; bool real; DWORD result; ULONG address; const char* resolved; Lines lines;
    } rows[] = {
        {"127.0.0.1", true, 0, 0x0100007F, "127.0", {}},
        {"10.1.2.3", false, 0, 0x0302010A, "10.1.", {look + L"10.1.2.3" + fails}},
        {"255.255.255.255", false, 11001, INADDR_NONE, "255.2", {look + all + fails, parse + all + fails, none}},
        {overlong.c_str(), false, 87, INADDR_NONE, nullptr,
         {L"GetIPaddress > host name of 256 characters exceeds 255 -> error == 87"}},
        {"", false, 11001, INADDR_NONE, "one.o", {look + dflt + fails, parse + dflt + fails, none}}};  // default
    Take();
    for (const auto& row : rows) {
        rolm::net::System().getHostByName = row.real ? saved.getHostByName : NoLookup;
        ULONG address = 0;
        USHORT family = 99;
        char resolved[8] = "#######";
        EXPECT_EQ(row.result, GetIPaddress(row.host, &address, &family, resolved, 6)) << row.host;
        EXPECT_EQ(row.address, address) << row.host;
        EXPECT_EQ(row.result == 0 ? AF_INET : 99, family) << row.host;
        const std::string name = row.resolved ? row.resolved + std::string(1, '\0') : "";
        EXPECT_EQ(name + std::string(7 - name.size(), '#'), std::string(resolved, 7)) << row.host;
        EXPECT_EQ(row.lines, Take()) << row.host;
    }
    EXPECT_EQ(87u, GetIPaddress("127.0.0.1", nullptr, nullptr, nullptr, 0));
    ::WSACleanup();
}

// Only TRUE is success, and then the caller's error stays; -1 hops asks for 128.
TEST_F(Net, TraceRouteSucceedsOnlyOnTrue) {
    DWORD error = 1234;
    Take();
    EXPECT_TRUE(TraceRoute("127.0.0.1", -1, &error));
    EXPECT_EQ(128u, g_maxHops);
    EXPECT_EQ(1234u, error);
    g_rtt = 2;
    EXPECT_FALSE(TraceRoute("127.0.0.1", 0, &error));
    g_rtt = TRUE;
    EXPECT_EQ(0u, g_maxHops);
    EXPECT_EQ(1231u, error);
    EXPECT_EQ((Lines{L"TraceRoute > hops: 3", L"TraceRoute > round-trip time: 7 ms",
                     L"TraceRoute > GetRTTAndHopCount(...) has failed -> error: 1231"}), Take());
}

DWORD g_flags;
BOOL WINAPI FixedState(LPDWORD flags, LPWSTR name, DWORD capacity, DWORD) {
    *flags = g_flags;
    lstrcpynW(name, L"Test Link", static_cast<int>(capacity));
    return g_flags != 0;
}

// The flags as text (cut to fit) and the configured bit from each flag alone; the active bit from the probe of
// the given host, else the configured server, else the default host.
TEST_F(Net, ConnectionStateFromTheFlagsAndTheHostItProbes) {
    std::wstring text(16, L'#');
    ConnectionFlagsText(0x40, &text[0], 10);
    EXPECT_EQ(std::wstring(L" ( INTERN\0######", 16), text);
    rolm::net::System().getConnectedState = FixedState;
    rolm::net::System().getHostByName = NoLookup;
    const std::wstring c = L" ( INTERNET_CONNECTION_", r = L" ( INTERNET_RAS_INSTALLED )", dflt = L"one.one.one.one";
    const std::wstring lan = c + L"LAN )", set = c + L"CONFIGURED )", local = L"127.0.0.1";
    const struct {
        DWORD flags; const wchar_t* server; const char* host; DWORD state; std::wstring text, probed;
    } rows[] = {
        {0x01, L"", "x", 1, c + L"MODEM )", L"x"}, {0x02, L"", "x", 1, lan, L"x"}, 
        {0x04, L"", "x", 0, c + L"PROXY )", L"x"},
        {0x08, L"", "x", 0, L"", L"x"}, {0x10, L"", "x", 1, r, L"x"}, {0x20, L"", "x", 0, c + L"OFFLINE )", L"x"},
        {0x40, L"", "x", 1, set, L"x"}, {0x80, L"", "x", 0, L"", L"x"}, {0x102, L"", "x", 1, lan, L"x"},
        {0, L"", nullptr, 0, L"", dflt}, {0x60, L"", "", 1, set + c + L"OFFLINE )", dflt},
        {0x17, L"127.0.0.1", "", 3, lan + c + L"MODEM )" + c + L"PROXY )" + r, local},
        {0, L"10.9.9.9", "127.0.0.1", 2, L"", local}};
    for (const auto& row : rows) {
        g_flags = row.flags;
        ASSERT_EQ(0u, SetServerConfig(80, row.server, nullptr, nullptr, nullptr));
        DWORD state = 77;
        Take();
        EXPECT_EQ(row.state >= 2, !!RolmIsActiveConnection(row.host, &state)) << row.flags;
        EXPECT_EQ(row.state, state) << row.flags;
        const Lines lines = Take();
        ASSERT_GE(lines.size(), 5u) << Utf8(Join(lines));
        EXPECT_TRUE(LinesFit({L"RolmIsActiveConnection > is called",
                              L"InetGetConnectedState > InternetGetConnectedStateEx(...) has returned #, connection "
                              L"name == \"Test Link\"", L"InetGetConnectedState > flags: " + row.text},
                             Lines(lines.begin(), lines.begin() + 3)));
        EXPECT_NE(std::wstring::npos, lines[3].find(L"(\"" + row.probed + L"\")")) << Utf8(lines[3]);
        EXPECT_EQ(L"InetGetConnectedState > returns " + std::to_wstring(row.state) +
                      L", with: 1 == INET_CONNECTION_CONFIGURED, 2 == INET_CONNECTION_ACTIVED", lines.back());
    }
    SetServerConfig(0, nullptr, nullptr, nullptr, nullptr);
}

// Each system call of the probes failed in turn (10050, the injected error): a row per call. Ping refuses an
// oversize request before it takes anything.
TEST_F(Net, EveryCallFailedInTurnIsReportedAndReleases) {
    const DWORD e = WSAENETDOWN;
    DWORD error = 1234;
    faults.Reset();
    Take();
    EXPECT_FALSE(Ping("127.0.0.1", ROLM_PING_MAX_DATASIZE + 1, 0, -1, &error));
    EXPECT_EQ(87u, error);
    EXPECT_EQ(0, faults.Calls()) << "nothing was taken";
    EXPECT_EQ((Lines{L"Ping > called with lpszServer == \"127.0.0.1\", nDatasize == 1017, nTimeout == 1000, "
                     L"nMaxSeqTimeout == 4294967295", L"Ping > nDatasize == 1017 exceeds 1016 -> error == 87"}),
              Take());
    const std::wstring fails = L" has failed -> error == 10050", ping = L"Ping > ", echo = L"SendIcmpEcho > ";
    const std::wstring lookup = L"GetIPaddress > gethostbyname(\"127.0.0.1\")" + fails;
    TortureTable(faults, e, {{"WSAStartup", 0, e, ping + L"WSAStartup(...)" + fails},
                             {"WSASocketW", 0, e, ping + L"WSASocket(...)" + fails},
                             {"setsockopt#1", 0, e, ping + L"setsockopt(...) has failed to set the received timeout -> "
                                                           L"error == 10050"},
                             {"setsockopt#2", 0, e, ping + L"setsockopt (...) has failed to set the timeout sending -> "
                                                           L"error == 10050"},
                             {"gethostbyname", 0, 0, lookup},  // then parsed
                             {"HeapAlloc#1", 0, 8, ping + L"HeapAlloc(...) has failed -> icmp_data == NULL"},
                             {"HeapAlloc#2", 0, 8, ping + L"HeapAlloc(...) has failed -> recvbuf == NULL"},
                             {"sendto", 0, e, ping + L"sendto(...)" + fails},
                             {"recvfrom", 0, e, ping + L"recvfrom(...)" + fails}},
                 [&] {  // on loopback the request itself comes first
                     return Outcome{static_cast<DWORD>(Ping("127.0.0.1", 0, 200, 0, &error)), error};
                 });
    const std::wstring library = L"LoadLibrary(\"Iphlpapi.dll\") has failed -> error: 10050";
    const std::wstring proc = echo + L"GetProcAddress(hModule, \"", procFails = L"\") has failed -> error: 10050";
    TortureTable(faults, e, {{"WSAStartup", 0, e, echo + L"WSAStartup(...)" + fails}, {"gethostbyname", 1, 0, lookup},
                             {"LoadLibraryW", 1, 0, echo + library},
                             {"GetProcAddress#1", 1, 0, echo + L"LoadLibrary(\"Icmp.dll\") has succed"},
                             {"GetProcAddress#2", 0, e, proc + L"IcmpCloseHandle" + procFails},
                             {"IcmpCreateFile", 0, e, echo + L"IcmpCreatefile() has failed, unable to open handle -> "
                                                             L"error == 10050"},
                             {"GetProcAddress#3", 0, e, proc + L"IcmpSendEcho" + procFails},
                             {"IcmpSendEcho", 0, e, echo + L"IcmpSendEcho(...)" + fails},
                             {"IcmpCloseHandle", 1, 0, echo + L"IcmpCloseHandle(...)" + fails}},
                 [&] { return Outcome{static_cast<DWORD>(SendIcmpEcho("127.0.0.1", &error)), error}; });
    const std::wstring route = L"TraceRoute > ";
    TortureTable(faults, e, {{"WSAStartup", 0, e, route + L"WSAStartup(...)" + fails},
                             {"gethostbyname", 1, 1234, lookup}, {"LoadLibraryW", 0, e, route + library},
                             {"GetProcAddress", 0, e, route + L"GetProcAddress(Iphlpapi.dll, GetRTTAndHopCount) has "
                                                              L"failed -> error: 10050"}},
                 [&] {
                     error = 1234;
                     return Outcome{static_cast<DWORD>(TraceRoute("127.0.0.1", 5, &error)), error};
                 });
    // The configured server, where nothing resolves but dotted text. error: the state.
    ASSERT_EQ(0u, SetServerConfig(80, L"nosuch", nullptr, nullptr, nullptr));
    rolm::net::System().getHostByName = NoLookup;
    const std::wstring connected = L"InetGetConnectedState > InternetGetConnectedStateEx(...) has returned 0, ";
    TortureTable(faults, e, {{"WideCharToMultiByte", 0, 1, L"GetIPaddress > inet_addr(\"one.one.one.one\") has failed "
                                                           L"-> error == 11001"},
                             {"InternetGetConnectedStateExW", 0, 0, connected + L"connection name == \"\""},
                             {"GetVersionExW", 0, 1, ping + L"called with lpszServer == \"nosuch\", nDatasize == 32, "
                                                            L"nTimeout == 1000, nMaxSeqTimeout == 4"},
                             {"WSAStartup", 0, 1, echo + L"WSAStartup(...)" + fails},
                             {"inet_addr", 0, 1, L"GetIPaddress > inet_addr(\"nosuch\")" + fails}},
                 [&] {
                     DWORD state = 0;
                     return Outcome{static_cast<DWORD>(RolmIsActiveConnection(nullptr, &state)), state};
                 });
    SetServerConfig(0, nullptr, nullptr, nullptr, nullptr);
}

TEST_F(Net, EveryCallThatCanFailHasAStandIn) { EXPECT_TRUE(StandInsCover({"net"})); }

// NT 4.0 pings over a raw socket, XP and 7 through the ICMP service: as this copy of the program is named.
bool RawSocketRoute() { return wcsstr(::GetCommandLineW(), L"-nt40.exe") != nullptr; }
const std::wstring kIcmp = L"SendIcmpEcho > ", kPing = L"Ping > called with lpszServer == \"";
const std::wstring kSent = L"Ping > sendto(...) wrote ";
Lines Answered(const std::wstring& host) {
    return {kIcmp + L"LoadLibrary(\"Iphlpapi.dll\") has succed",
            kIcmp + L"IcmpSendEcho(...) sent icmp message to " + host,
            kIcmp + L"received 1 icmp message response from " + host, kIcmp + L"status = 0, round-trip time = # ms"};
}

// On loopback a raw socket sees the request itself first.
TEST_F(Route, VersionChoosesTheProbe) {
    DWORD error = 1234;
    Take();
    EXPECT_EQ(!RawSocketRoute(), !!PingServer("127.0.0.1", 0, 300, 0, &error));
    EXPECT_EQ(0u, error);
    EXPECT_TRUE(LinesFit(RawSocketRoute() ? Lines{kPing + L"127.0.0.1\", nDatasize == 32, nTimeout == 300, "
                                                          L"nMaxSeqTimeout == 0",
                                                  kSent + L"40 bytes on a maximum of 40",
                                                  L"decode_resp > error: non-echo type 8 received",
                                                  L"Ping > returns 0, elapsed time: # ms"}
                                            : Answered(L"127.0.0.1"),
                         Take()));
}

std::vector<DWORD> g_sleeps;
void WINAPI CountingSleep(DWORD ms) { g_sleeps.push_back(ms); }

// The answering peer drops requests with a wrong checksum; a reply over 1024 bytes does not fit the raw
// socket's buffer; the silent peer lets every try time out, each followed by a pause.
TEST_F(Peers, AnswerOrNot) {
    const std::string peers = ReadFileBytes(ProgramDir() + L"net-peer.state");
    if (peers != "up\n") GTEST_SKIP() << "no peers: " << (peers.empty() ? "net_peer_setup did not run" : peers);
    const bool raw = RawSocketRoute();
    rolm::net::System().sleep = CountingSleep;
    const std::wstring timeout = L"Ping > recvfrom(...) -> timeout", sent40 = kSent + L"40 bytes on a maximum of 40";
    const std::wstring to2 = L"10.251.0.2\", nDatasize == ", to6 = L"10.251.0.6\", nDatasize == 32, nTimeout == 200, ";
    const struct { const char* host; int size, maxSeq; BOOL answered; DWORD error; Lines lines; } rows[] = {
        {"10.251.0.2", 33, 2, TRUE, 0, {kPing + to2 + L"33, nTimeout == 200, nMaxSeqTimeout == 2",
                                        kSent + L"41 bytes on a maximum of 41",
                                        L"decode_resp > 61 bytes from 10.251.0.2 > ping OK"}},
        {"10.251.0.2", 997, 0, !raw, raw ? 10040u : 0u, {kPing + to2 + L"997, nTimeout == 200, nMaxSeqTimeout == 0",
                                                          kSent + L"1005 bytes on a maximum of 1005",
                                                          L"Ping > recvfrom(...) has failed -> error == 10040"}},
        {"10.251.0.6", 0, 1, FALSE, raw ? 0u : 11010u,
         {kPing + to6 + L"nMaxSeqTimeout == 1", sent40, timeout, sent40, timeout}}};
    for (const auto& row : rows) {
        DWORD error = 1234;
        g_sleeps.clear();
        Take();
        EXPECT_EQ(row.answered, PingServer(row.host, row.size, 200, row.maxSeq, &error)) << row.host << row.size;
        EXPECT_EQ(row.error, error) << row.host << " " << row.size;
        Lines lines = row.lines;
        lines.push_back(L"Ping > returns " + std::to_wstring(row.answered) + L", elapsed time: # ms");
        const Lines answered = Answered(L"10.251.0.2");
        const Lines silent = {answered[0], kIcmp + L"IcmpSendEcho(...) has failed -> error == 11010"};
        if (!raw) lines = row.answered ? answered : silent;
        EXPECT_TRUE(LinesFit(lines, Take())) << row.host << " " << row.size;
        EXPECT_EQ(std::vector<DWORD>(raw && row.host[9] == '6' ? 2 : 0, 500), g_sleeps) << row.host;
    }
    std::vector<DWORD>().swap(g_sleeps);
}

}  // namespace
