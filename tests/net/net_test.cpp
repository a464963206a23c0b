// The probes without a peer host: checksum and reply parsing on crafted
// bytes, name resolution, the ICMP service and route measurement against
// loopback and stand-in libraries, and the connection state.
#include "net_support.h"

#include <iphlpapi.h>
#include <icmpapi.h>
#include <wininet.h>
#include <string.h>

using net_test::LinesMatch;
using net_test::ProbeTest;

namespace {

// ---- echo_checksum and fill_echo_request ----

// RFC 1071 done on the wire's byte order, for comparison: big-endian words,
// an odd byte padded at the end. Returns the two bytes as sent.
std::string ReferenceChecksum(const std::string& bytes) {
    unsigned long sum = 0;
    for (size_t i = 0; i < bytes.size(); i += 2) {
        unsigned hi = static_cast<unsigned char>(bytes[i]);
        unsigned lo = i + 1 < bytes.size() ? static_cast<unsigned char>(bytes[i + 1]) : 0;
        sum += (hi << 8) | lo;
    }
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    sum = ~sum & 0xFFFF;
    return std::string{static_cast<char>(sum >> 8), static_cast<char>(sum & 0xFF)};
}

std::string Stored(USHORT checksum) { return std::string(reinterpret_cast<char*>(&checksum), 2); }

TEST(EchoChecksum, MatchesRfc1071AndSumsToFFFFAtTheReceiver) {
    // RFC 1071's worked example: the sum is ddf2, so 22 0d goes on the wire.
    EXPECT_EQ(std::string("\x22\x0d", 2), Stored(echo_checksum("\x00\x01\xf2\x03\xf4\xf5\xf6\xf7", 8)));
    // Odd lengths (padded with a zero byte), empty, carries: as the wire-order reference.
    std::string noise;
    for (int i = 0; i < 1024; ++i) noise += static_cast<char>((i * 131 + 7) ^ (i >> 3));
    noise.replace(0, 4, 4, '\xff');
    for (int size : {0, 1, 2, 3, 4, 9, 41, 999, 1023, 1024})
        EXPECT_EQ(ReferenceChecksum(noise.substr(0, size)), Stored(echo_checksum(noise.data(), size)))
            << size;
    for (int size : {8, 9, 40, 41, 1023, 1024}) {
        char message[1024];
        fill_echo_request(message, size);
        USHORT checksum = echo_checksum(message, size);
        memcpy(message + 2, &checksum, 2);
        EXPECT_EQ(0, echo_checksum(message, size)) << size;  // the complement of 0xFFFF
    }
}

TEST(FillEchoRequest, WritesHeaderInMachineOrderAndPayloadOnly) {
    char message[64];
    memset(message, '#', sizeof message);
    fill_echo_request(message, 41);
    USHORT id = static_cast<USHORT>(::GetCurrentProcessId());
    std::string header("\x08\x00\x00\x00", 4);
    header += std::string(reinterpret_cast<char*>(&id), 2) + std::string(2, '\0');
    EXPECT_EQ(header, std::string(message, 8));
    EXPECT_EQ(std::string(33, 'E'), std::string(message + 8, 33));
    EXPECT_EQ('#', message[41]);

    memset(message, '#', sizeof message);
    fill_echo_request(message, 7);  // no room for a header: nothing written
    fill_echo_request(nullptr, 40);
    EXPECT_EQ(std::string(64, '#'), std::string(message, 64));
}

// ---- decode_resp on crafted datagrams ----

std::string Datagram(int headerWords, int bytes, unsigned char type, USHORT id) {
    std::string d(bytes > 0 ? bytes : 0, '\0');
    if (bytes > 0) d[0] = static_cast<char>(0x40 | headerWords);
    size_t at = headerWords * 4;
    if (at < d.size()) d[at] = static_cast<char>(type);
    if (at + 6 <= d.size()) memcpy(&d[at + 4], &id, 2);
    return d;
}

TEST_F(ProbeTest, DecodeRespAcceptsOnlyOurEchoReplyAfterTheHeader) {
    const USHORT own = static_cast<USHORT>(::GetCurrentProcessId());
    sockaddr_in from = {};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = ::inet_addr("10.251.0.2");
    struct Case {
        int words, bytes;
        unsigned char type;
        USHORT id;
        BOOL ok;
        const wchar_t* line;
    } cases[] = {
        {5, 28, 0, own, TRUE, L"decode_resp > 28 bytes from 10.251.0.2 > ping OK"},
        {15, 68, 0, own, TRUE, L"decode_resp > 68 bytes from 10.251.0.2 > ping OK"},
        {15, 67, 0, own, FALSE, L"decode_resp > error: too few bytes from 10.251.0.2"},
        {5, 27, 0, own, FALSE, L"decode_resp > error: too few bytes from 10.251.0.2"},
        {15, 40, 0, own, FALSE, L"decode_resp > error: too few bytes from 10.251.0.2"},
        {5, 0, 0, own, FALSE, L"decode_resp > error: too few bytes from 10.251.0.2"},
        {5, 56, 3, own, FALSE, L"decode_resp > error: non-echo type 3 received"},
        {5, 60, 8, own, FALSE, L"decode_resp > error: non-echo type 8 received"},
        {5, 60, 0, static_cast<USHORT>(own ^ 0x8001), FALSE,
         L"decode_resp > error: someone else's packet"},
    };
    for (const Case& c : cases) {
        std::string d = Datagram(c.words, c.bytes, c.type, c.id);
        d.resize(1024, '\x5a');  // what lies beyond the count is not looked at
        EXPECT_EQ(c.ok, decode_resp(d.data(), c.bytes, &from)) << c.words << " " << c.bytes;
        EXPECT_EQ(std::vector<std::wstring>{c.line}, Lines());
    }
    EXPECT_FALSE(decode_resp(nullptr, 28, nullptr));
    EXPECT_EQ(std::vector<std::wstring>{L"decode_resp > error: too few bytes from NULL"}, Lines());
}

// ---- GetIPaddress ----

std::string g_looked;
hostent* WSAAPI RecordingLookup(const char* name) {
    g_looked = name;
    static char address[4] = {10, static_cast<char>(251), 0, 9};
    static char* list[] = {address, nullptr};
    static hostent answer = {const_cast<char*>("fake"), nullptr, AF_INET, 4, list};
    return &answer;
}

class Winsock : public ProbeTest {
protected:
    void SetUp() override {
        ProbeTest::SetUp();
        WSADATA data;
        ASSERT_EQ(0, ::WSAStartup(MAKEWORD(2, 1), &data));
    }
    void TearDown() override {
        ::WSACleanup();
        ProbeTest::TearDown();
    }
};

TEST_F(Winsock, ResolvesDottedTextAndTheDefaultHost) {
    ULONG address = 0;
    USHORT family = 0;
    EXPECT_EQ(0u, GetIPaddress("127.0.0.1", &address, &family, nullptr, 0));
    EXPECT_EQ(::inet_addr("127.0.0.1"), address);
    EXPECT_EQ(AF_INET, family);
    EXPECT_TRUE(Lines().empty());

    rolm::net::System().getHostByName = RecordingLookup;
    for (const char* host : {static_cast<const char*>(nullptr), ""}) {
        char resolved[256];
        memset(resolved, '#', sizeof resolved);
        g_looked.clear();
        EXPECT_EQ(0u, GetIPaddress(host, &address, nullptr, resolved, sizeof resolved));
        EXPECT_EQ(ROLM_DEFAULT_HOST, g_looked);
        EXPECT_STREQ(ROLM_DEFAULT_HOST, resolved);
        EXPECT_EQ(::inet_addr("10.251.0.9"), address);
    }
    // Resolved-name buffers: cut to fit, or left alone when half given.
    char small[8];
    memset(small, '#', sizeof small);
    EXPECT_EQ(0u, GetIPaddress("abcdefghij", &address, nullptr, small, 5));
    EXPECT_EQ(std::string("abcd\0###", 8), std::string(small, 8));
    EXPECT_EQ(0u, GetIPaddress("abcdefghij", &address, nullptr, small, 0));
    EXPECT_EQ(0u, GetIPaddress("abcdefghij", &address, nullptr, nullptr, 5));
    EXPECT_EQ(std::string("abcd\0###", 8), std::string(small, 8));
}

TEST_F(Winsock, DottedParseDecidesWhenTheLookUpFails) {
    rolm::net::System().getHostByName = net_test::NoLookup;
    ULONG address = 0;
    USHORT family = 99;
    EXPECT_EQ(0u, GetIPaddress("10.1.2.3", &address, &family, nullptr, 0));
    EXPECT_EQ(::inet_addr("10.1.2.3"), address);
    EXPECT_EQ(AF_INET, family);
    EXPECT_EQ(std::vector<std::wstring>{L"GetIPaddress > gethostbyname(\"10.1.2.3\") has failed -> "
                                        L"error == 11001"},
              Lines());

    // The parse's answer for 255.255.255.255 is the no-address value itself.
    family = 99;
    EXPECT_EQ(11001u, GetIPaddress("255.255.255.255", &address, &family, nullptr, 0));
    EXPECT_EQ(0xFFFFFFFFu, address);
    EXPECT_EQ(99, family);
    EXPECT_TRUE(LinesMatch(Lines(), {
        L"GetIPaddress > gethostbyname\\(\"255.255.255.255\"\\) has failed -> error == 11001",
        L"GetIPaddress > inet_addr\\(\"255.255.255.255\"\\) has failed -> error == 11001",
        L"GetIPaddress > unable to resolve the server name or IPv4 address"}));

    // 8-bit names are shown through the ANSI code page.
    const char name[] = "caf\xe9";
    wchar_t shown[8] = {};
    ::MultiByteToWideChar(CP_ACP, 0, name, -1, shown, 8);
    GetIPaddress(name, &address, nullptr, nullptr, 0);
    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ(std::wstring(L"GetIPaddress > gethostbyname(\"") + shown +
                  L"\") has failed -> error == 11001",
              lines[0]);
}

TEST_F(Winsock, OverlongNamesAndMissingAddressAreRefused) {
    rolm::net::System().getHostByName = RecordingLookup;
    ULONG address = 0;
    g_looked.clear();
    std::string longest(ROLM_HOST_MAX, 'a');
    EXPECT_EQ(0u, GetIPaddress(longest.c_str(), &address, nullptr, nullptr, 0));
    EXPECT_EQ(longest, g_looked);

    g_looked.clear();
    address = 0;
    char resolved[8];
    memset(resolved, '#', sizeof resolved);
    std::string overlong(ROLM_HOST_MAX + 1, 'a');
    EXPECT_EQ(87u, GetIPaddress(overlong.c_str(), &address, nullptr, resolved, sizeof resolved));
    EXPECT_EQ(0xFFFFFFFFu, address);
    EXPECT_TRUE(g_looked.empty());
    EXPECT_EQ('#', resolved[0]);
    EXPECT_EQ(std::vector<std::wstring>{L"GetIPaddress > host name of 256 characters exceeds 255 "
                                        L"-> error == 87"},
              Lines());
    EXPECT_EQ(87u, GetIPaddress("127.0.0.1", nullptr, nullptr, nullptr, 0));
}

// ---- Ping: what is decided before any packet ----

TEST(PingBounds, HighestSequenceNumberIsBounded) {
    struct Case {
        int given;
        unsigned last;
    } cases[] = {{-1, 4}, {INT_MIN, 4}, {0, 0}, {4, 4}, {65534, 65534}, {65535, 65534},
                 {INT_MAX, 65534}};
    for (const Case& c : cases) EXPECT_EQ(c.last, rolm::net::EffectiveMaxSequence(c.given)) << c.given;
}

TEST_F(ProbeTest, PingRefusesOversizedDataAndReportsResolutionFailure) {
    DWORD error = 1234;
    EXPECT_FALSE(Ping("127.0.0.1", ROLM_PING_MAX_DATASIZE + 1, 0, 0, &error));
    EXPECT_EQ(87u, error);
    EXPECT_EQ((std::vector<std::wstring>{
                  L"Ping > called with lpszServer == \"127.0.0.1\", nDatasize == 1017, nTimeout == "
                  L"1000, nMaxSeqTimeout == 0",
                  L"Ping > nDatasize == 1017 exceeds 1016 -> error == 87"}),
              Lines());

    // Defaults shown in the first line; the default host goes to the look-up.
    rolm::net::System().getHostByName = net_test::NoLookup;
    EXPECT_FALSE(Ping(nullptr, 0, -5, -1, &error));
    EXPECT_EQ(11001u, error);
    EXPECT_TRUE(LinesMatch(Lines(), {
        L"Ping > called with lpszServer == \"one\\.one\\.one\\.one\", nDatasize == 32, nTimeout == "
        L"1000, nMaxSeqTimeout == 4294967295",
        L"GetIPaddress > gethostbyname\\(\"one\\.one\\.one\\.one\"\\) has failed -> error == 11001",
        L"GetIPaddress > inet_addr.*", L"GetIPaddress > unable to resolve.*"}));
    EXPECT_FALSE(Ping("", -1, 0, 0, nullptr));  // no error out: nothing written, no fault
}

// ---- SendIcmpEcho: loopback and stand-in libraries ----

std::wstring g_iphlpapi, g_icmp;  // stand-in paths; empty: the system's library
HMODULE WINAPI StandinLoader(LPCWSTR name) {
    const std::wstring& path = _wcsicmp(name, L"Iphlpapi.dll") == 0 ? g_iphlpapi : g_icmp;
    return ::LoadLibraryW(path.empty() ? name : path.c_str());
}

class Standins : public ProbeTest {
protected:
    void SetUp() override {
        ProbeTest::SetUp();
        g_iphlpapi.clear();
        g_icmp.clear();
        rolm::net::System().loadLibrary = StandinLoader;
    }
    static std::wstring Dll(const wchar_t* variant) {
        return rolm_test::ProgramDir() + L"standin_" + variant + L".dll";
    }
    static std::string Log() {
        char log[2048] = "";
        ::GetEnvironmentVariableA("STANDIN_LOG", log, sizeof log);
        ::SetEnvironmentVariableA("STANDIN_LOG", nullptr);
        return log;
    }
    static void Mode(const char* mode) { ::SetEnvironmentVariableA("STANDIN_MODE", mode); }
};

TEST_F(ProbeTest, SendIcmpEchoToLoopbackThroughTheSystemService) {
    DWORD error = 1234;
    EXPECT_TRUE(SendIcmpEcho("127.0.0.1", &error));
    EXPECT_EQ(0u, error);
    EXPECT_TRUE(LinesMatch(Lines(), {
        L"SendIcmpEcho > LoadLibrary\\(\"Iphlpapi.dll\"\\) has succed",
        L"SendIcmpEcho > IcmpSendEcho\\(\\.\\.\\.\\) sent icmp message to 127\\.0\\.0\\.1",
        L"SendIcmpEcho > received 1 icmp message response from 127\\.0\\.0\\.1",
        L"SendIcmpEcho > status = 0, round-trip time = \\d+ ms"}));
}

TEST_F(Standins, FallsBackToIcmpDllAndSendsTheFixedRequest) {
    g_iphlpapi = Dll(L"nocreate");
    g_icmp = Dll(L"full");
    DWORD error = 1234;
    EXPECT_TRUE(SendIcmpEcho("127.0.0.1", &error));  // an unreachable status still counts
    EXPECT_EQ(0u, error);
    char expected[128];
    sprintf(expected, "create send(h,%08lX,28,icmp send echo dacodac coco\\0,noopt,%u,1000) close",
            static_cast<unsigned long>(::inet_addr("127.0.0.1")),
            static_cast<unsigned>(sizeof(ICMP_ECHO_REPLY) + 28));
    EXPECT_EQ(expected, Log());
    EXPECT_EQ((std::vector<std::wstring>{
                  L"SendIcmpEcho > LoadLibrary(\"Icmp.dll\") has succed",
                  L"SendIcmpEcho > IcmpSendEcho(...) sent icmp message to 127.0.0.1",
                  L"SendIcmpEcho > received 1 icmp message response from 10.251.0.9",
                  L"SendIcmpEcho > status = 11003, round-trip time = 7 ms"}),
              Lines());
}

TEST_F(Standins, EveryFailureGivesItsCodeAndReleasesWhatWasTaken) {
    const std::wstring absent = rolm_test::ProgramDir() + L"standin_absent.dll";
    struct Case {
        std::wstring iphlpapi, icmp;
        const char* mode;
        BOOL ok;
        DWORD error;
        const char* log;
        std::vector<std::wstring> lines;
    } cases[] = {
        {absent, absent, "", FALSE, 126, "",
         {L"SendIcmpEcho > LoadLibrary(\"Iphlpapi.dll\") has failed -> error: 126",
          L"SendIcmpEcho > LoadLibrary(\"Icmp.dll\") has failed -> error: 126"}},
        {Dll(L"nocreate"), Dll(L"nocreate"), "", FALSE, 127, "",
         {L"SendIcmpEcho > LoadLibrary(\"Icmp.dll\") has succed",
          L"SendIcmpEcho > GetProcAddress(hModule, \"IcmpCreateFile\") has failed -> error: 127"}},
        {Dll(L"noclose"), L"", "", FALSE, 127, "",
         {L"SendIcmpEcho > LoadLibrary(\"Iphlpapi.dll\") has succed",
          L"SendIcmpEcho > GetProcAddress(hModule, \"IcmpCloseHandle\") has failed -> error: 127"}},
        {Dll(L"full"), L"", "createfail", FALSE, 5, "create",
         {L"SendIcmpEcho > LoadLibrary(\"Iphlpapi.dll\") has succed",
          L"SendIcmpEcho > IcmpCreatefile() has failed, unable to open handle -> error == 5"}},
        {absent, Dll(L"nosend"), "", FALSE, 127, "create close",
         {L"SendIcmpEcho > LoadLibrary(\"Iphlpapi.dll\") has failed -> error: 126",
          L"SendIcmpEcho > LoadLibrary(\"Icmp.dll\") has succed",
          L"SendIcmpEcho > GetProcAddress(hModule, \"IcmpSendEcho\") has failed -> error: 127"}},
        {Dll(L"full"), L"", "sendfail", FALSE, 11010, "create send close",
         {L"SendIcmpEcho > LoadLibrary(\"Iphlpapi.dll\") has succed",
          L"SendIcmpEcho > IcmpSendEcho(...) has failed -> error == 11010"}},
        {Dll(L"full"), L"", "closefail", TRUE, 0, "create send close",
         {L"SendIcmpEcho > LoadLibrary(\"Iphlpapi.dll\") has succed",
          L"SendIcmpEcho > IcmpSendEcho(...) sent icmp message to 127.0.0.1",
          L"SendIcmpEcho > received 1 icmp message response from 10.251.0.9",
          L"SendIcmpEcho > status = 11003, round-trip time = 7 ms",
          L"SendIcmpEcho > IcmpCloseHandle(...) has failed -> error == 6"}},
    };
    for (const Case& c : cases) {
        g_iphlpapi = c.iphlpapi;
        g_icmp = c.icmp;
        Mode(c.mode);
        DWORD error = 1234;
        SCOPED_TRACE(c.mode);
        EXPECT_EQ(c.ok, SendIcmpEcho("127.0.0.1", &error));
        EXPECT_EQ(c.error, error);
        // Only the calls, not the arguments of a send.
        std::string words = std::regex_replace(Log(), std::regex("\\([^)]*\\)"), "");
        EXPECT_EQ(c.log, words);
        EXPECT_EQ(c.lines, Lines());
        for (const wchar_t* dll : {L"standin_full.dll", L"standin_nocreate.dll",
                                   L"standin_noclose.dll", L"standin_nosend.dll"})
            EXPECT_EQ(nullptr, ::GetModuleHandleW(dll)) << dll;
    }
}

// ---- TraceRoute ----

TEST_F(Standins, TraceRouteSucceedsOnlyOnTrueAndKeepsTheErrorOnSuccess) {
    const std::wstring absent = rolm_test::ProgramDir() + L"standin_absent.dll";
    std::string loopback;
    {
        char text[16];
        sprintf(text, "%08lX", static_cast<unsigned long>(::inet_addr("127.0.0.1")));
        loopback = text;
    }
    struct Case {
        std::wstring library;
        const char* mode;
        int maxHops;
        BOOL ok;
        DWORD error;  // 1234: untouched
        std::string log;
        std::vector<std::wstring> lines;
    } cases[] = {
        {Dll(L"full"), "", -1, TRUE, 1234, "rtt(" + loopback + ",128)",
         {L"TraceRoute > hops: 3", L"TraceRoute > round-trip time: 7 ms"}},
        {Dll(L"full"), "", 0, TRUE, 1234, "rtt(" + loopback + ",0)",
         {L"TraceRoute > hops: 3", L"TraceRoute > round-trip time: 7 ms"}},
        {Dll(L"full"), "rtt-two", 30, FALSE, 1231, "rtt(" + loopback + ",30)",
         {L"TraceRoute > GetRTTAndHopCount(...) has failed -> error: 1231"}},
        {Dll(L"full"), "rtt-fail", 30, FALSE, 1232, "rtt(" + loopback + ",30)",
         {L"TraceRoute > GetRTTAndHopCount(...) has failed -> error: 1232"}},
        {Dll(L"noclose"), "", 30, FALSE, 127, "",
         {L"TraceRoute > GetProcAddress(Iphlpapi.dll, GetRTTAndHopCount) has failed -> error: 127"}},
        {absent, "", 30, FALSE, 126, "",
         {L"TraceRoute > LoadLibrary(\"Iphlpapi.dll\") has failed -> error: 126"}},
        // The system's own: a stub here that fails with no reason.
        {L"", "", 30, FALSE, 0, "",
         {L"TraceRoute > GetRTTAndHopCount(...) has failed -> error: 0"}},
    };
    for (const Case& c : cases) {
        g_iphlpapi = c.library;
        Mode(c.mode);
        DWORD error = 1234;
        SCOPED_TRACE(c.log);
        EXPECT_EQ(c.ok, TraceRoute("127.0.0.1", c.maxHops, &error));
        EXPECT_EQ(c.error, error);
        EXPECT_EQ(c.log, Log());
        EXPECT_EQ(c.lines, Lines());
    }
    g_iphlpapi = Dll(L"full");
    EXPECT_TRUE(TraceRoute("127.0.0.1", 5, nullptr));
}

// ---- Connection state ----

DWORD g_flags;
BOOL WINAPI FixedConnectedState(LPDWORD flags, LPWSTR name, DWORD capacity, DWORD) {
    *flags = g_flags;
    lstrcpynW(name, L"Test Link", static_cast<int>(capacity));
    return g_flags != 0;
}

BOOL WINAPI FailingVersion(LPOSVERSIONINFOW) { return FALSE; }

TEST(ConnectionFlagsText, AllFlagsInTableOrderAndCutToFit) {
    wchar_t buffer[256];
    EXPECT_STREQ(L" ( INTERNET_CONNECTION_CONFIGURED ) ( INTERNET_CONNECTION_LAN ) ( "
                 L"INTERNET_CONNECTION_MODEM ) ( INTERNET_CONNECTION_OFFLINE ) ( "
                 L"INTERNET_CONNECTION_PROXY ) ( INTERNET_RAS_INSTALLED )",
                 ConnectionFlagsText(0xFF, buffer, 256));
    wmemset(buffer, L'#', 16);
    ConnectionFlagsText(0x40, buffer, 10);
    EXPECT_EQ(std::wstring(L" ( INTERN\0######", 16), std::wstring(buffer, 16));
}

TEST_F(ProbeTest, ConfiguredBitFollowsTheFlagsAndActiveBitTheProbe) {
    rolm::net::System().getConnectedState = FixedConnectedState;
    struct Case {
        DWORD flags;
        DWORD state;
        const wchar_t* text;
    } cases[] = {
        {0, 2, L""},
        {0x20, 2, L" ( INTERNET_CONNECTION_OFFLINE )"},
        {0x04, 2, L" ( INTERNET_CONNECTION_PROXY )"},
        {0x60, 3, L" ( INTERNET_CONNECTION_CONFIGURED ) ( INTERNET_CONNECTION_OFFLINE )"},
        {0x112, 3, L" ( INTERNET_CONNECTION_LAN ) ( INTERNET_RAS_INSTALLED )"},
        {0x100, 2, L""},  // only the low 8 bits count
    };
    for (const Case& c : cases) {
        g_flags = c.flags;
        DWORD flags = 77, error = 1234;
        BOOL connected = 77;
        EXPECT_EQ(c.state, InetGetConnectedState(&flags, &connected, "127.0.0.1", 0, 0, 0, &error));
        EXPECT_EQ(c.flags, flags);
        EXPECT_EQ(c.flags != 0, connected);
        EXPECT_EQ(0u, error);
        std::vector<std::wstring> lines = Lines();
        ASSERT_EQ(7u, lines.size()) << rolm_test::Join(lines).c_str();
        EXPECT_EQ(std::wstring(L"InetGetConnectedState > InternetGetConnectedStateEx(...) has "
                               L"returned ") +
                      (c.flags != 0 ? L"1" : L"0") + L", connection name == \"Test Link\"",
                  lines[0]);
        EXPECT_EQ(std::wstring(L"InetGetConnectedState > flags: ") + c.text, lines[1]);
        EXPECT_EQ(L"InetGetConnectedState > returns " + std::to_wstring(c.state) +
                      L", with: 1 == INET_CONNECTION_CONFIGURED, 2 == INET_CONNECTION_ACTIVED",
                  lines[6]);
    }
    // The system's own answer, whatever it is, is passed on as given.
    rolm::net::System().getConnectedState = ::InternetGetConnectedStateExW;
    DWORD flags = 0;
    DWORD state = InetGetConnectedState(&flags, nullptr, "127.0.0.1", 0, 0, 0, nullptr);
    EXPECT_EQ((flags & 0x53) != 0 ? 3u : 2u, state);
}

TEST_F(ProbeTest, FailedVersionQueryTakesTheRawSocketRoute) {
    rolm::net::System().getVersion = FailingVersion;
    PingServer("127.0.0.1", 0, 200, 0, nullptr);
    std::vector<std::wstring> lines = Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(L"Ping > called with lpszServer == \"127.0.0.1\", nDatasize == 32, nTimeout == 200, "
              L"nMaxSeqTimeout == 0",
              lines[0]);
}

}  // namespace
