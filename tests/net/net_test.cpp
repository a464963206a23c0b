// The probes one by one: checksum and reply parsing on crafted bytes, name
// resolution, the raw-socket ping against the namespace peers, the ICMP
// service and route measurement against loopback and stand-in libraries, and
// the connection state.
#include "net_support.h"

#include <iphlpapi.h>
#include <icmpapi.h>
#include <stdio.h>
#include <string.h>

#include "common/unique.h"

using namespace net_test;

namespace {

std::string Bytes(const void* at, size_t size) { return std::string(static_cast<const char*>(at), size); }

// ---- echo_checksum, fill_echo_request, decode_resp ----

TEST(EchoChecksum, Rfc1071VectorsTheReceiversSumAndTheRequestItCovers) {
    // In, and the checksum as it lies on the wire: RFC 1071's worked example
    // (sum ddf2), empty, odd lengths padded with a zero byte, a carry folded
    // twice, and a whole message with its checksum (sum FFFF).
    const struct { const char* in; int size; const char* wire; } vectors[] = {
        {"\x00\x01\xf2\x03\xf4\xf5\xf6\xf7", 8, "\x22\x0d"}, {"", 0, "\xff\xff"},
        {"\x01", 1, "\xfe\xff"}, {"\x00\x01\xf2", 3, "\x0d\xfe"}, {"\xff\xff\xff", 3, "\x00\xff"},
        {"\xff\xff\xff\xff\x01", 5, "\xfe\xff"}, {"\x00\x01\xf2\x03\xf4\xf5\xf6\xf7\x22\x0d", 10, "\0\0"}};
    for (const auto& v : vectors) {
        USHORT sum = echo_checksum(v.in, v.size);
        EXPECT_EQ(Bytes(v.wire, 2), Bytes(&sum, 2)) << Bytes(v.in, v.size);
    }
    char message[1024];
    for (int size : {8, 9, 41, 1024}) {
        fill_echo_request(message, size);
        USHORT sum = echo_checksum(message, size);
        memcpy(message + 2, &sum, 2);
        EXPECT_EQ(0, echo_checksum(message, size)) << size;
    }
    // The request: header in machine order, then payload; nothing below 8 bytes.
    memset(message, '#', sizeof message);
    fill_echo_request(message, 7);
    fill_echo_request(nullptr, 40);
    EXPECT_EQ(std::string(64, '#'), Bytes(message, 64));
    fill_echo_request(message, 41);
    const USHORT id = static_cast<USHORT>(::GetCurrentProcessId());
    EXPECT_EQ(Bytes("\x08\0\0\0", 4) + Bytes(&id, 2) + Bytes("\0\0", 2) + std::string(33, 'E') + "#",
              Bytes(message, 42));
}

TEST_F(ProbeTest, DecodeRespAcceptsOnlyOurEchoReplyAfterTheHeader) {
    const USHORT own = static_cast<USHORT>(::GetCurrentProcessId());
    sockaddr_in from = {};
    from.sin_addr.s_addr = ::inet_addr("10.251.0.2");
    const wchar_t* tooFew = L"decode_resp > error: too few bytes from 10.251.0.2";
    const struct { int words, bytes; unsigned char type; USHORT id; const wchar_t* line; } rows[] = {
        {5, 28, 0, own, L"decode_resp > 28 bytes from 10.251.0.2 > ping OK"},
        {15, 68, 0, own, L"decode_resp > 68 bytes from 10.251.0.2 > ping OK"}, {15, 67, 0, own, tooFew},
        {5, 27, 0, own, tooFew}, {15, 40, 0, own, tooFew}, {5, 0, 0, own, tooFew},
        {5, 56, 3, own, L"decode_resp > error: non-echo type 3 received"},
        {5, 60, 8, own, L"decode_resp > error: non-echo type 8 received"},
        {5, 60, 0, static_cast<USHORT>(own ^ 0x8001), L"decode_resp > error: someone else's packet"}};
    for (const auto& row : rows) {
        // A whole reply whatever the count: only the count may decide.
        std::string d(4 * row.words + 8, '\0');
        d.resize(1024, '\x5a');
        d[0] = static_cast<char>(0x40 | row.words);
        d[4 * row.words] = static_cast<char>(row.type);
        memcpy(&d[4 * row.words + 4], &row.id, 2);
        EXPECT_EQ(wcsstr(row.line, L"ping OK") != nullptr, !!decode_resp(d.data(), row.bytes, &from)) << row.bytes;
        EXPECT_EQ(std::vector<std::wstring>{row.line}, Lines());
    }
    EXPECT_FALSE(decode_resp(nullptr, 28, nullptr));
    EXPECT_EQ(std::vector<std::wstring>{L"decode_resp > error: too few bytes from NULL"}, Lines());
}

// ---- GetIPaddress ----

std::string g_looked;  // the name the fake look-up was asked for
hostent* WSAAPI FakeLookup(const char* name) {
    g_looked = name;
    static char address[4] = {10, static_cast<char>(251), 0, 9};
    static char* list[] = {address, nullptr};
    static hostent answer = {const_cast<char*>("fake"), nullptr, AF_INET, 4, list};
    return &answer;
}

TEST_F(ProbeTest, GetIPaddressLooksUpThenParsesWithinTheNameBound) {
    rolm::WinsockSession winsock;
    const std::string longest(ROLM_HOST_MAX, 'a'), overlong(ROLM_HOST_MAX + 1, 'a');
    const wchar_t* failed = L"GetIPaddress > gethostbyname(\"255.255.255.255\") has failed -> error == 11001";
    const struct {
        const char* host;
        decltype(&FakeLookup) lookup;
        DWORD result;
        const char *address, *looked, *resolved;  // looked: "" when the fake was not asked
        std::vector<std::wstring> lines;
    } rows[] = {
        {nullptr, FakeLookup, 0, "10.251.0.9", ROLM_DEFAULT_HOST, ROLM_DEFAULT_HOST, {}},
        {"", FakeLookup, 0, "10.251.0.9", ROLM_DEFAULT_HOST, ROLM_DEFAULT_HOST, {}},
        {"127.0.0.1", ::gethostbyname, 0, "127.0.0.1", "", "127.0.0.1", {}},
        {longest.c_str(), FakeLookup, 0, "10.251.0.9", longest.c_str(), longest.c_str(), {}},
        {overlong.c_str(), FakeLookup, 87, "255.255.255.255", "", "",
         {L"GetIPaddress > host name of 256 characters exceeds 255 -> error == 87"}},
        {"10.1.2.3", NoLookup, 0, "10.1.2.3", "", "10.1.2.3",
         {L"GetIPaddress > gethostbyname(\"10.1.2.3\") has failed -> error == 11001"}},
        // The parse's answer for this one is the no-address value itself.
        {"255.255.255.255", NoLookup, 11001, "255.255.255.255", "", "255.255.255.255",
         {failed, L"GetIPaddress > inet_addr(\"255.255.255.255\") has failed -> error == 11001",
          L"GetIPaddress > unable to resolve the server name or IPv4 address"}}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.host ? row.host : "(null)");
        rolm::net::System().getHostByName = row.lookup;
        g_looked.clear();
        ULONG address = 0;
        USHORT family = 99;
        char resolved[300] = "";
        EXPECT_EQ(row.result, GetIPaddress(row.host, &address, &family, resolved, sizeof resolved));
        EXPECT_EQ(::inet_addr(row.address), address);
        EXPECT_EQ(row.result == 0 ? AF_INET : 99, family);
        EXPECT_EQ(row.looked, g_looked);
        EXPECT_STREQ(row.resolved, resolved);
        EXPECT_EQ(row.lines, Lines());
    }
    // A resolved-name buffer is cut to fit, or left alone when half given.
    char small[8];
    memset(small, '#', sizeof small);
    ULONG address = 0;
    rolm::net::System().getHostByName = FakeLookup;
    EXPECT_EQ(0u, GetIPaddress("abcdefghij", &address, nullptr, small, 5));
    EXPECT_EQ(0u, GetIPaddress("abcdefghij", &address, nullptr, small + 5, 0));
    EXPECT_EQ(0u, GetIPaddress("abcdefghij", &address, nullptr, nullptr, 5));
    EXPECT_EQ(Bytes("abcd\0###", 8), Bytes(small, 8));
    EXPECT_EQ(87u, GetIPaddress("127.0.0.1", nullptr, nullptr, nullptr, 0));
}

// ---- Ping: what is decided before any packet, and the namespace peers ----

TEST_F(ProbeTest, PingBoundsAndDefaults) {
    const struct { int given; unsigned last; } sequences[] = {
        {-1, 4}, {INT_MIN, 4}, {0, 0}, {65534, 65534}, {65535, 65534}, {INT_MAX, 65534}};
    for (const auto& s : sequences) EXPECT_EQ(s.last, rolm::net::EffectiveMaxSequence(s.given)) << s.given;
    DWORD error = 1234;
    EXPECT_FALSE(Ping("127.0.0.1", ROLM_PING_MAX_DATASIZE + 1, 0, 0, &error));
    EXPECT_EQ(87u, error);
    EXPECT_EQ((std::vector<std::wstring>{L"Ping > called with lpszServer == \"127.0.0.1\", nDatasize == 1017, "
                                         L"nTimeout == 1000, nMaxSeqTimeout == 0",
                                         L"Ping > nDatasize == 1017 exceeds 1016 -> error == 87"}),
              Lines());
    // Defaults in the first line; the default host goes to the look-up.
    rolm::net::System().getHostByName = NoLookup;
    EXPECT_FALSE(Ping(nullptr, 0, -5, -1, &error));
    EXPECT_EQ(11001u, error);
    EXPECT_TRUE(LinesMatch(Lines(), {L"Ping > called with lpszServer == \"one\\.one\\.one\\.one\", nDatasize == 32, "
                                     L"nTimeout == 1000, nMaxSeqTimeout == 4294967295",
                                     L"GetIPaddress > gethostbyname\\(\"one\\.one\\.one\\.one\"\\) has failed.*",
                                     L"GetIPaddress > inet_addr.*", L"GetIPaddress > unable to resolve.*"}));
    EXPECT_FALSE(Ping("", -1, 0, 0, nullptr));  // no error out: nothing written, no fault
}

std::vector<DWORD> g_sleeps;
void WINAPI CountingSleep(DWORD ms) {
    g_sleeps.push_back(ms);
    ::Sleep(ms);
}

// The answering peer drops requests whose checksum is wrong, so an answer
// proves it for odd and even sizes; replies over 1024 bytes do not fit. The
// silent one times out every try: no answer, yet the probe ran (error 0).
TEST_F(ProbeTest, PingAgainstTheAnsweringAndTheSilentPeer) {
    REQUIRE_PEERS();
    rolm::net::System().sleep = CountingSleep;
    for (int size : {0, 1, 33, 996, 997, ROLM_PING_MAX_DATASIZE}) {
        SCOPED_TRACE(size);
        const int data = size < 1 ? 32 : size;
        const bool fits = data <= 996;
        const std::wstring sent = std::to_wstring(data + 8);
        DWORD error = 1234;
        g_sleeps.clear();
        EXPECT_EQ(fits, !!Ping(kAnswering, size, 0, -1, &error));
        EXPECT_EQ(fits ? 0u : static_cast<DWORD>(WSAEMSGSIZE), error);
        EXPECT_TRUE(g_sleeps.empty());
        EXPECT_TRUE(LinesMatch(Lines(), {
            L"Ping > called with lpszServer == \"10\\.251\\.0\\.2\", nDatasize == " + std::to_wstring(data) +
                L", nTimeout == 1000, nMaxSeqTimeout == 4294967295",
            L"Ping > sendto\\(\\.\\.\\.\\) wrote " + sent + L" bytes on a maximum of " + sent,
            fits ? L"decode_resp > " + std::to_wstring(data + 28) + L" bytes from 10\\.251\\.0\\.2 > ping OK"
                 : L"Ping > recvfrom\\(\\.\\.\\.\\) has failed -> error == 10040",
            L"Ping > returns " + std::to_wstring(fits) + L", elapsed time: \\d+ ms"}));
    }
    for (int maxSeq : {2, 0}) {
        g_sleeps.clear();
        DWORD error = 1234;
        EXPECT_FALSE(Ping(kSilent, 0, 200, maxSeq, &error));
        EXPECT_EQ(0u, error);
        EXPECT_EQ(std::vector<DWORD>(maxSeq + 1, 500), g_sleeps);
        std::vector<std::wstring> expected = {L"Ping > called with lpszServer == \"10\\.251\\.0\\.6\", "
                                              L"nDatasize == 32, nTimeout == 200, nMaxSeqTimeout == " +
                                              std::to_wstring(maxSeq)};
        for (int i = 0; i <= maxSeq; ++i) {
            expected.push_back(L"Ping > sendto\\(\\.\\.\\.\\) wrote 40 bytes on a maximum of 40");
            expected.push_back(L"Ping > recvfrom\\(\\.\\.\\.\\) -> timeout");
        }
        expected.push_back(L"Ping > returns 0, elapsed time: \\d+ ms");
        EXPECT_TRUE(LinesMatch(Lines(), expected)) << maxSeq;
    }
}

// ---- SendIcmpEcho and TraceRoute: loopback and stand-in libraries ----

std::wstring g_iphlpapi, g_icmp;  // stand-in paths; empty: the system's library
HMODULE WINAPI StandinLoader(LPCWSTR name) {
    const std::wstring& path = _wcsicmp(name, L"Iphlpapi.dll") == 0 ? g_iphlpapi : g_icmp;
    return ::LoadLibraryW(path.empty() ? name : path.c_str());
}
std::wstring Dll(const wchar_t* variant) { return rolm_test::ProgramDir() + L"standin_" + variant + L".dll"; }
const std::wstring full = Dll(L"full"), nocreate = Dll(L"nocreate"), noclose = Dll(L"noclose"),
                   nosend = Dll(L"nosend"), absent = Dll(L"absent");

// Calls the probe with these libraries and stand-in failure mode; returns the
// stand-ins' log, with 127.0.0.1 in it as "LOOPBACK".
template <typename Call>
std::string WithStandins(const std::wstring& iphlpapi, const std::wstring& icmp, const char* mode, Call call) {
    rolm::net::System().loadLibrary = StandinLoader;
    g_iphlpapi = iphlpapi;
    g_icmp = icmp;
    ::SetEnvironmentVariableA("STANDIN_MODE", mode);
    ::SetEnvironmentVariableA("STANDIN_LOG", nullptr);
    call();
    char log[2048] = "", loopback[16];
    ::GetEnvironmentVariableA("STANDIN_LOG", log, sizeof log);
    sprintf(loopback, "%08lX", static_cast<unsigned long>(::inet_addr("127.0.0.1")));
    return std::regex_replace(log, std::regex(loopback), "LOOPBACK");
}

TEST_F(ProbeTest, SendIcmpEchoFallsBackToIcmpDllAndReleasesWhatItTookOnEveryPath) {
    // The fixed request: 28 bytes of text with its zero, room for one reply.
    const std::string sent = "create send(h,LOOPBACK,28,icmp send echo dacodac coco\\0,noopt," +
                             std::to_string(sizeof(ICMP_ECHO_REPLY) + 28) + ",1000) close";
    const std::wstring loaded = L"SendIcmpEcho > LoadLibrary(\"Iphlpapi.dll\") has succed",
                       noIphlpapi = L"SendIcmpEcho > LoadLibrary(\"Iphlpapi.dll\") has failed -> error: 126",
                       icmp = L"SendIcmpEcho > LoadLibrary(\"Icmp.dll\") has succed";
    const std::vector<std::wstring> replied = {L"SendIcmpEcho > IcmpSendEcho(...) sent icmp message to 127.0.0.1",
                                               L"SendIcmpEcho > received 1 icmp message response from 10.251.0.9",
                                               L"SendIcmpEcho > status = 11003, round-trip time = 7 ms"};
    // error 0: TRUE. A bare export name as the last line: its GetProcAddress failure.
    const struct { std::wstring iphlpapi, icmp; const char* mode; DWORD error; std::string log;
                   std::vector<std::wstring> lines; } rows[] = {
        // Iphlpapi.dll without the service: Icmp.dll, silently; an unreachable
        // status still counts.
        {nocreate, full, "", 0, sent, {icmp, replied[0], replied[1], replied[2]}},
        {full, L"", "closefail", 0, sent,
         {loaded, replied[0], replied[1], replied[2],
          L"SendIcmpEcho > IcmpCloseHandle(...) has failed -> error == 6"}},
        {absent, absent, "", 126, "",
         {noIphlpapi, L"SendIcmpEcho > LoadLibrary(\"Icmp.dll\") has failed -> error: 126"}},
        {nocreate, nocreate, "", 127, "", {icmp, L"IcmpCreateFile"}},
        {noclose, L"", "", 127, "", {loaded, L"IcmpCloseHandle"}},
        {full, L"", "createfail", 5, "create",
         {loaded, L"SendIcmpEcho > IcmpCreatefile() has failed, unable to open handle -> error == 5"}},
        {absent, nosend, "", 127, "create close", {noIphlpapi, icmp, L"IcmpSendEcho"}},
        {full, L"", "sendfail", 11010, sent,
         {loaded, L"SendIcmpEcho > IcmpSendEcho(...) has failed -> error == 11010"}}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.log + " " + row.mode);
        DWORD error = 1234;
        BOOL ok = FALSE;
        EXPECT_EQ(row.log, WithStandins(row.iphlpapi, row.icmp, row.mode,
                                        [&] { ok = SendIcmpEcho("127.0.0.1", &error); }));
        EXPECT_EQ(row.error == 0, !!ok);
        EXPECT_EQ(row.error, error);
        std::vector<std::wstring> lines = row.lines;
        if (lines.back().find(L' ') == std::wstring::npos)
            lines.back() = L"SendIcmpEcho > GetProcAddress(hModule, \"" + lines.back() +
                           L"\") has failed -> error: 127";
        EXPECT_EQ(lines, Lines());
        for (const wchar_t* dll : {L"standin_full.dll", L"standin_nocreate.dll", L"standin_noclose.dll",
                                   L"standin_nosend.dll"})  // unloaded on every path
            EXPECT_EQ(nullptr, ::GetModuleHandleW(dll)) << dll;
    }
}

TEST_F(ProbeTest, TraceRouteSucceedsOnlyOnTrueAndKeepsTheErrorOnSuccess) {
    const std::vector<std::wstring> measured = {L"TraceRoute > hops: 3", L"TraceRoute > round-trip time: 7 ms"};
    const std::wstring failed = L"TraceRoute > GetRTTAndHopCount(...) has failed -> error: ";
    // error 1234: untouched; no line: measured.
    const struct { std::wstring library; const char* mode; int maxHops; DWORD error; std::string log;
                   std::wstring line; } rows[] = {
        {full, "", -1, 1234, "rtt(LOOPBACK,128)", L""}, {full, "", 0, 1234, "rtt(LOOPBACK,0)", L""},
        {full, "rtt-two", 30, 1231, "rtt(LOOPBACK,30)", failed + L"1231"},
        {full, "rtt-fail", 30, 1232, "rtt(LOOPBACK,30)", failed + L"1232"},
        {noclose, "", 30, 127, "",
         L"TraceRoute > GetProcAddress(Iphlpapi.dll, GetRTTAndHopCount) has failed -> error: 127"},
        {absent, "", 30, 126, "", L"TraceRoute > LoadLibrary(\"Iphlpapi.dll\") has failed -> error: 126"},
        {L"", "", 30, 0, "", failed + L"0"}};  // the system's own: a stub here that fails with no reason
    for (const auto& row : rows) {
        SCOPED_TRACE(row.log + " " + row.mode);
        DWORD error = 1234;
        BOOL ok = FALSE;
        EXPECT_EQ(row.log, WithStandins(row.library, L"", row.mode,
                                        [&] { ok = TraceRoute("127.0.0.1", row.maxHops, &error); }));
        EXPECT_EQ(row.line.empty(), !!ok);
        EXPECT_EQ(row.error, error);
        EXPECT_EQ(row.line.empty() ? measured : std::vector<std::wstring>{row.line}, Lines());
    }
    WithStandins(full, L"", "", [] { EXPECT_TRUE(TraceRoute("127.0.0.1", 5, nullptr)); });  // no error out
}

// ---- Connection state ----

DWORD g_flags;
BOOL WINAPI FixedConnectedState(LPDWORD flags, LPWSTR name, DWORD capacity, DWORD) {
    *flags = g_flags;
    lstrcpynW(name, L"Test Link", static_cast<int>(capacity));
    return g_flags != 0;
}

TEST_F(ProbeTest, FlagsTextsAndTheConfiguredBitActiveBitFromTheProbe) {
    wchar_t text[16];
    wmemset(text, L'#', 16);
    ConnectionFlagsText(0x40, text, 10);  // cut to fit
    EXPECT_EQ(std::wstring(L" ( INTERN\0######", 16), std::wstring(text, 16));

    rolm::net::System().getConnectedState = FixedConnectedState;
    const struct { DWORD flags, state; const wchar_t* text; } rows[] = {
        {0, 2, L""}, {0x20, 2, L" ( INTERNET_CONNECTION_OFFLINE )"}, {0x04, 2, L" ( INTERNET_CONNECTION_PROXY )"},
        {0x60, 3, L" ( INTERNET_CONNECTION_CONFIGURED ) ( INTERNET_CONNECTION_OFFLINE )"},
        {0x112, 3, L" ( INTERNET_CONNECTION_LAN ) ( INTERNET_RAS_INSTALLED )"},  // low 8 bits only
        {0xFF, 3, L" ( INTERNET_CONNECTION_CONFIGURED ) ( INTERNET_CONNECTION_LAN ) ( INTERNET_CONNECTION_MODEM ) ( "
                  L"INTERNET_CONNECTION_OFFLINE ) ( INTERNET_CONNECTION_PROXY ) ( INTERNET_RAS_INSTALLED )"}};
    for (const auto& row : rows) {
        g_flags = row.flags;
        DWORD flags = 77, error = 1234;
        BOOL connected = 77;
        EXPECT_EQ(row.state, InetGetConnectedState(&flags, &connected, "127.0.0.1", 0, 0, 0, &error));
        EXPECT_EQ(row.flags, flags);
        EXPECT_EQ(row.flags != 0, connected);
        EXPECT_EQ(0u, error);
        std::vector<std::wstring> lines = Lines();
        ASSERT_EQ(7u, lines.size()) << rolm_test::Join(lines);
        EXPECT_EQ(L"InetGetConnectedState > InternetGetConnectedStateEx(...) has returned " +
                      std::to_wstring(row.flags != 0) + L", connection name == \"Test Link\"", lines[0]);
        EXPECT_EQ(L"InetGetConnectedState > flags: " + std::wstring(row.text), lines[1]);
        EXPECT_EQ(L"InetGetConnectedState > returns " + std::to_wstring(row.state) +
                      L", with: 1 == INET_CONNECTION_CONFIGURED, 2 == INET_CONNECTION_ACTIVED", lines[6]);
    }
}

BOOL WINAPI FailingVersion(LPOSVERSIONINFOW) { return FALSE; }

TEST_F(ProbeTest, FailedVersionQueryTakesTheRawSocketRoute) {
    rolm::net::System().getVersion = FailingVersion;
    PingServer("127.0.0.1", 0, 200, 0, nullptr);
    std::vector<std::wstring> lines = Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(L"Ping > called with lpszServer == \"127.0.0.1\", nDatasize == 32, nTimeout == 200, nMaxSeqTimeout == 0",
              lines[0]);
}

}  // namespace
