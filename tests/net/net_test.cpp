// The probes: checksum and reply parsing on crafted bytes, resolution,
// the route by Windows version against loopback and the namespace peers
// (the only tests the nt40 and winxp copies run), route measurement and
// connection state, and every system call failed in turn.
#include <winsock2.h>
#include <iphlpapi.h>
#include <icmpapi.h>
#include <gtest/gtest.h>
#include <rolm/http.h>
#include <rolm/net.h>

#include <functional>
#include <regex>
#include <tuple>

#include "common/unique.h"
#include "faults.h"
#include "net/system.h"
#include "support.h"

using namespace rolm_test;  // Fails, Role
ROLM_STANDIN("ws2_32.dll", WSAStartup, Fails::Code, Role::Open, "winsock");
ROLM_STANDIN("ws2_32.dll", WSACleanup, Fails::SocketError, Role::Close, "winsock");
ROLM_STANDIN("ws2_32.dll", WSASocketW, Fails::Invalid, Role::Open, "socket");
ROLM_STANDIN("ws2_32.dll", closesocket, Fails::SocketError, Role::Close, "socket");
ROLM_STANDIN("ws2_32.dll", setsockopt, Fails::SocketError, Role::None, "");
ROLM_STANDIN("ws2_32.dll", sendto, Fails::SocketError, Role::None, "");
ROLM_STANDIN("ws2_32.dll", recvfrom, Fails::SocketError, Role::None, "");
ROLM_STANDIN("ws2_32.dll", gethostbyname, Fails::Null, Role::None, "");
ROLM_STANDIN("kernel32.dll", HeapAlloc, Fails::Null, Role::Open, "heap");
ROLM_STANDIN("kernel32.dll", HeapFree, Fails::False, Role::Close, "heap");
ROLM_STANDIN("kernel32.dll", LoadLibraryW, Fails::Null, Role::Open, "library");
ROLM_STANDIN("kernel32.dll", FreeLibrary, Fails::False, Role::Close, "library");
ROLM_STANDIN("kernel32.dll", GetProcAddress, Fails::Null, Role::None, "");
ROLM_STANDIN("iphlpapi.dll", IcmpCreateFile, Fails::Invalid, Role::Open, "icmp");
ROLM_STANDIN("iphlpapi.dll", IcmpCloseHandle, Fails::False, Role::Close, "icmp");
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
    if (real == nullptr) return nullptr;
    for (auto* slot : {&RolmStandin_IcmpCreateFile::slot, &RolmStandin_IcmpCloseHandle::slot,
                       &RolmStandin_IcmpSendEcho::slot})
        if (strcmp(name, slot->name) == 0) return reinterpret_cast<FARPROC>(slot->replacement);
    if (strcmp(name, "GetRTTAndHopCount") == 0) return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(Rtt));
    return real;
}

// Keeps the default host off the network.
hostent* WSAAPI NoLookup(const char*) {
    ::WSASetLastError(WSAHOST_NOT_FOUND);
    return nullptr;
}

struct Net : ::testing::Test {
    Net() {
        rolm::net::System().loadLibrary = ::LoadLibraryW;  // read from the import table: the stand-ins
        rolm::net::System().getHostByName = ::gethostbyname;
        g_exports = &exports;
        Lines();
    }
    ~Net() override { rolm::net::System() = saved; }
    static std::vector<std::wstring> Lines() { return TraceLog::Get().Take(); }
    const rolm::net::SystemCalls saved = rolm::net::System();
    Faults faults;
    ImportPatch exports{"kernel32.dll", "GetProcAddress", reinterpret_cast<void*>(&Exports)};
};
using Route = Net;

// The trace so far matches the pattern (ECMAScript; "  line\n" each).
::testing::AssertionResult Matches(const std::wstring& pattern) {
    const std::wstring lines = Join(TraceLog::Get().Take());
    if (std::regex_match(lines, std::wregex(pattern))) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "expected:\n" << pattern << "\ngot:\n" << lines;
}
std::string Bytes(const void* at, size_t size) { return std::string(static_cast<const char*>(at), size); }
std::string Word(USHORT value) { return Bytes(&value, 2); }

TEST(Echo, ChecksumOnTheWireAndTheRequestItCovers) {
    // RFC 1071's example, an odd length padded with a zero byte, a carry folded twice.
    for (auto [in, size, wire] : {std::make_tuple("\x00\x01\xf2\x03\xf4\xf5\xf6\xf7", 8, "\x22\x0d"),
                                  {"\x00\x01\xf2", 3, "\x0d\xfe"}, {"\xff\xff\xff\xff\x01", 5, "\xfe\xff"}})
        EXPECT_EQ(Bytes(wire, 2), Word(echo_checksum(in, size))) << size;
    std::string message(64, '#');
    fill_echo_request(&message[0], 7);  // too short: untouched
    fill_echo_request(&message[0], 41);
    const std::string id = Word(static_cast<USHORT>(::GetCurrentProcessId()));
    EXPECT_EQ(Bytes("\x08\0\0\0", 4) + id + Bytes("\0\0", 2) + std::string(33, 'E') + "#", message.substr(0, 42));
}

TEST_F(Net, DecodeRespAcceptsOnlyOurEchoReplyAfterTheHeader) {
    const USHORT own = static_cast<USHORT>(::GetCurrentProcessId());
    const wchar_t* tooFew = L"decode_resp > error: too few bytes from NULL";
    const struct { int words, bytes; unsigned char type; USHORT id; const wchar_t* line; } rows[] = {
        {5, 28, 0, own, L"decode_resp > 28 bytes from NULL > ping OK"}, {15, 68, 0, own, L"decode_resp > 68 bytes from NULL > ping OK"},
        {15, 67, 0, own, tooFew}, {5, 0, 0, own, tooFew}, {5, 60, 8, own, L"decode_resp > error: non-echo type 8 received"},
        {5, 60, 0, static_cast<USHORT>(own ^ 0x8001), L"decode_resp > error: someone else's packet"}};
    for (const auto& row : rows) {
        std::string d(1024, '\x5a');  // a whole reply whatever the count: only the count may decide
        d[0] = static_cast<char>(0x40 | row.words);
        d[4 * row.words] = static_cast<char>(row.type);
        memcpy(&d[4 * row.words + 4], &row.id, 2);
        EXPECT_EQ(wcsstr(row.line, L" OK") != nullptr, !!decode_resp(d.data(), row.bytes, nullptr)) << row.bytes;
        EXPECT_EQ(std::vector<std::wstring>{row.line}, Lines());
    }
}

// A name the look-up refuses is parsed as an address; resolved is cut to fit.
TEST_F(Net, GetIPaddressLooksUpThenParsesWithinTheNameBound) {
    rolm::WinsockSession winsock;
    rolm::net::System().getHostByName = NoLookup;
    const std::string overlong(ROLM_HOST_MAX + 1, 'a');
    const struct {
        const char* host; DWORD result; const char* address; const char* resolved; std::vector<std::wstring> lines;
    } rows[] = {
        {"10.1.2.3", 0, "10.1.2.3", "10.1.", {L"GetIPaddress > gethostbyname(\"10.1.2.3\") has failed -> error == 11001"}},
        {overlong.c_str(), 87, "255.255.255.255", "", {L"GetIPaddress > host name of 256 characters exceeds 255 -> error == 87"}},
        {nullptr, 11001, "255.255.255.255", "one.o",  // the default host; the parse fails as it does for the no-address value
         {L"GetIPaddress > gethostbyname(\"one.one.one.one\") has failed -> error == 11001",
          L"GetIPaddress > inet_addr(\"one.one.one.one\") has failed -> error == 11001",
          L"GetIPaddress > unable to resolve the server name or IPv4 address"}}};
    for (const auto& row : rows) {
        ULONG address = 0;
        USHORT family = 99;
        char resolved[8] = "";
        EXPECT_EQ(row.result, GetIPaddress(row.host, &address, &family, resolved, 6));
        EXPECT_TRUE(address == ::inet_addr(row.address) && family == (row.result == 0 ? AF_INET : 99) &&
                    !strcmp(row.resolved, resolved) && row.lines == Lines());
    }
    EXPECT_EQ(87u, GetIPaddress("127.0.0.1", nullptr, nullptr, nullptr, 0));
}

TEST_F(Net, PingRefusesOversizeDataBeforeTakingAnything) {
    DWORD error = 1234;
    faults.Reset();
    EXPECT_TRUE(!Ping("127.0.0.1", ROLM_PING_MAX_DATASIZE + 1, 0, -1, &error) && error == 87 && faults.Calls() == 0);
    EXPECT_EQ((std::vector<std::wstring>{L"Ping > called with lpszServer == \"127.0.0.1\", nDatasize == 1017, "
                                         L"nTimeout == 1000, nMaxSeqTimeout == 4294967295",
                                         L"Ping > nDatasize == 1017 exceeds 1016 -> error == 87"}),
              Lines());
}

std::vector<DWORD> g_sleeps;
void WINAPI CountingSleep(DWORD ms) { g_sleeps.push_back(ms); }

// NT 4.0 pings over a raw socket; XP and 7 through the ICMP service. The
// answering peer drops requests with a wrong checksum; a reply over 1024
// bytes does not fit the raw socket's buffer.
TEST_F(Route, VersionChoosesTheProbeAndPeersAnswerOrNot) {
    OSVERSIONINFOW version = {sizeof version};
    ASSERT_TRUE(rolm::net::System().getVersion(&version));
    const bool raw = version.dwMajorVersion < 5;
    EXPECT_EQ(raw, wcsstr(::GetCommandLineW(), L"-nt40") != nullptr);
    PingServer("127.0.0.1", 0, 300, 0, nullptr);
    const wchar_t* rawProbe =
        L"  Ping > called with lpszServer == \"127\\.0\\.0\\.1\", nDatasize == 32, nTimeout == 300, nMaxSeqTimeout == 0\n"
        L"  Ping > sendto.*\n  decode_resp .*\n  Ping > returns 0.*\n";
    const wchar_t* serviceProbe =
        L"  SendIcmpEcho > LoadLibrary\\(\"Iphlpapi.dll\"\\) has succed\n"
        L"  SendIcmpEcho > IcmpSendEcho\\(\\.\\.\\.\\) sent icmp message to 127\\.0\\.0\\.1\n"
        L"  SendIcmpEcho > received 1 icmp message response from 127\\.0\\.0\\.1\n"
        L"  SendIcmpEcho > status = 0, round-trip time = \\d+ ms\n";
    EXPECT_TRUE(Matches(raw ? rawProbe : serviceProbe));
    const std::string peers = ReadFileBytes(ProgramDir() + L"net-peer.state");
    if (peers != "up\n") GTEST_SKIP() << "peers unavailable: " << peers;
    rolm::net::System().sleep = CountingSleep;
    const wchar_t* sent = L"  Ping > sendto\\(\\.\\.\\.\\) wrote (\\d+) bytes on a maximum of \\1\n";
    const struct { const char* host; int size, maxSeq; BOOL answered; DWORD error; std::wstring tries; } rows[] = {
        {"10.251.0.2", 33, 2, TRUE, 0, sent + std::wstring(L"  decode_resp > 61 bytes from 10\\.251\\.0\\.2 > ping OK\n")},
        {"10.251.0.2", 997, 0, !raw, raw ? 10040u : 0u, sent + std::wstring(L"  Ping > recvfrom\\(\\.\\.\\.\\) has failed -> error == 10040\n")},
        {"10.251.0.6", 0, 1, FALSE, raw ? 0u : 11010u, L"(?:" + std::wstring(sent) + L"  Ping > recvfrom\\(\\.\\.\\.\\) -> timeout\n){2}"}};
    for (const auto& row : rows) {
        DWORD error = 1234;
        g_sleeps.clear();
        EXPECT_TRUE(PingServer(row.host, row.size, 200, row.maxSeq, &error) == row.answered && error == row.error)
            << row.host << ": " << error;
        const std::wstring returns = L"  Ping > returns " + std::to_wstring(row.answered) + L", elapsed time: \\d+";
        EXPECT_TRUE(Matches(raw ? L"  Ping > called with .*\n" + row.tries + returns + L" ms\n" : L"(.*\n)*"));
        EXPECT_EQ(std::vector<DWORD>(raw && row.host[9] == '6' ? 2 : 0, 500), g_sleeps);
    }
}

// Only TRUE is success; -1 hops asks for 128.
TEST_F(Net, TraceRouteSucceedsOnlyOnTrueAndLeavesTheErrorAloneThen) {
    const struct { BOOL measured; int maxHops; ULONG asked; DWORD error; std::vector<std::wstring> lines; } rows[] = {
        {TRUE, -1, 128, 1234, {L"TraceRoute > hops: 3", L"TraceRoute > round-trip time: 7 ms"}},
        {2, 0, 0, 1231, {L"TraceRoute > GetRTTAndHopCount(...) has failed -> error: 1231"}}};
    for (const auto& row : rows) {
        DWORD error = 1234;
        g_rtt = row.measured;
        EXPECT_EQ(row.measured == TRUE, !!TraceRoute("127.0.0.1", row.maxHops, &error));
        EXPECT_TRUE(g_maxHops == row.asked && error == row.error && row.lines == Lines());
    }
    g_rtt = TRUE;
}

DWORD g_flags;
BOOL WINAPI FixedState(LPDWORD flags, LPWSTR name, DWORD capacity, DWORD) {
    *flags = g_flags;
    lstrcpynW(name, L"Test Link", static_cast<int>(capacity));
    return g_flags != 0;
}

// The flags as text (cut to fit), the configured bit from them, the active bit
// from the probe of the given host, else the configured server, else the default host.
TEST_F(Net, ConnectionStateAndTheHostItProbes) {
    std::wstring text(16, L'#');
    ConnectionFlagsText(0x40, &text[0], 10);
    EXPECT_EQ(std::wstring(L" ( INTERN\0######", 16), text);
    rolm::net::System().getConnectedState = FixedState;
    rolm::net::System().getHostByName = NoLookup;
    const struct {
        DWORD flags; const wchar_t* configured; const char* host; DWORD state; const wchar_t *text, *probed;
    } rows[] = {
        {0x20, L"", nullptr, 0, L" ( INTERNET_CONNECTION_OFFLINE )", L"one.one.one.one"},
        {0x112, L"127.0.0.1", "", 3, L" ( INTERNET_CONNECTION_LAN ) ( INTERNET_RAS_INSTALLED )", L"127.0.0.1"},
        {0x45, L"10.9.9.9", "127.0.0.1", 3,
         L" ( INTERNET_CONNECTION_CONFIGURED ) ( INTERNET_CONNECTION_MODEM ) ( INTERNET_CONNECTION_PROXY )", L"127.0.0.1"}};
    for (const auto& row : rows) {
        g_flags = row.flags;
        ASSERT_EQ(0u, SetServerConfig(80, row.configured, nullptr, nullptr, nullptr));
        DWORD state = 77;
        EXPECT_TRUE(RolmIsActiveConnection(row.host, &state) == (row.state >= 2) && state == row.state);
        const std::vector<std::wstring> lines = Lines();
        ASSERT_GE(lines.size(), 5u) << Join(lines);
        const std::wstring named = L"InternetGetConnectedStateEx(...) has returned 1, connection name == ";
        const std::wstring returns = L"returns " + std::to_wstring(row.state) +
                                     L", with: 1 == INET_CONNECTION_CONFIGURED, 2 == INET_CONNECTION_ACTIVED";
        EXPECT_TRUE(lines[1] == L"InetGetConnectedState > " + named + L"\"Test Link\"" &&
                    lines[2] == L"InetGetConnectedState > flags: " + std::wstring(row.text) &&
                    lines[3].find(L"\"" + std::wstring(row.probed) + L"\"") != std::wstring::npos &&
                    lines.back() == L"InetGetConnectedState > " + returns)
            << Join(lines);
    }
    SetServerConfig(0, nullptr, nullptr, nullptr, nullptr);
}

// Each call the probes make fails in turn ("Name#k" its kth call, "@s"
// through the service). E: the probe fails with that error; T: its result
// unchanged; M: ERROR_NOT_ENOUGH_MEMORY; ".": nothing changes, nothing
// traced. Except with ".", a line names the call and its error (or NULL).
// Every open is closed.
const std::string kFailures =
    " WSAStartup:E WSACleanup:. WSASocketW:E closesocket:. setsockopt:E sendto:E recvfrom:E "
    "gethostbyname:T HeapAlloc:M HeapFree:. LoadLibraryW:E FreeLibrary:. GetProcAddress:E IcmpCreateFile:E "
    "IcmpCloseHandle:T IcmpSendEcho:E LoadLibraryW#1@s:T GetProcAddress#1@s:. ";

TEST_F(Net, EveryCallFailedInTurnReportsAndReleases) {
    rolm::WinsockSession session;  // GetIPaddress's caller owns it
    DWORD error = 0;
    ULONG address;
    const struct { const char* name; std::function<BOOL()> run; } ops[] = {
        {"GetIPaddress", [&] {
             error = GetIPaddress("127.0.0.1", &address, nullptr, nullptr, 0);
             return error == 0;
         }},
        {"Ping", [&] { return Ping("127.0.0.1", 0, 200, 0, &error); }},
        {"SendIcmpEcho@s", [&] { return SendIcmpEcho("127.0.0.1", &error); }},
        {"InetGetConnectedState@s",
         [&] { return InetGetConnectedState(nullptr, nullptr, "127.0.0.1", 0, 0, 0, &error) >= 2; }},
        {"TraceRoute", [&] {
             error = 0;
             return TraceRoute("127.0.0.1", 5, &error);
         }}};
    for (const auto& op : ops) {
        faults.Reset();
        const BOOL unfailed = op.run();
        const DWORD unfailedError = error;
        const auto run = [&] {
            Lines();
            return op.run();
        };
        Torture(faults, WSAENETDOWN, run, [&](BOOL result, const std::string& call, int k) {
            size_t at = kFailures.find(" " + call + "#" + std::to_string(k) + (strchr(op.name, '@') ? "@s:" : ":"));
            if (at == std::string::npos) at = kFailures.find(" " + call + ":");
            const char outcome = kFailures[kFailures.find(':', at) + 1];
            SCOPED_TRACE(std::string(op.name) + " with " + call + " #" + std::to_string(k) + " failed: " + outcome);
            const DWORD expected = outcome == 'E'   ? WSAENETDOWN
                                   : outcome == 'M' ? ERROR_NOT_ENOUGH_MEMORY : unfailedError;
            EXPECT_TRUE(result == (strchr(".T", outcome) ? unfailed : FALSE) && error == expected)
                << result << ", " << error;
            const std::wstring name(call.begin(), call.end() - (call.back() == 'W'));  // traced without its W
            const std::wregex failure(name + L" ?\\(.*(10050|NULL)", std::regex::icase);
            EXPECT_EQ(outcome != '.', std::regex_search(Join(Lines()), failure));
            for (const char* kind : {"winsock", "socket", "heap", "library", "icmp"})
                EXPECT_EQ(0, faults.Held(kind)) << kind;
        });
    }
}

}  // namespace
