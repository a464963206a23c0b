// PingServer's route by the system version, seen by the same tests run as
// Windows NT 4.0 (raw socket), XP and 7 (system ICMP service), and the host
// that the reachability check probes.
#include "net_support.h"

#include <iphlpapi.h>
#include <rolm/http.h>

using namespace net_test;

namespace {

// The copies of this program are named for the version they run as.
bool RawSocketRoute() {
    wchar_t path[MAX_PATH];
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return wcsstr(path, L"-nt40") != nullptr;
}

BOOL WINAPI NoConnection(LPDWORD flags, LPWSTR name, DWORD, DWORD) {
    *flags = 0;
    name[0] = L'\0';
    return FALSE;
}

TEST_F(ProbeTest, VersionChoosesTheProbeAndPeersAnswerOrNot) {
    OSVERSIONINFOW version = {sizeof version};
    ASSERT_TRUE(rolm::net::System().getVersion(&version));
    EXPECT_EQ(RawSocketRoute(), version.dwMajorVersion < 5) << version.dwMajorVersion;

    DWORD error = 1234;
    BOOL answered = PingServer("127.0.0.1", 0, 300, 0, &error);
    std::vector<std::wstring> lines = Lines();
    ASSERT_FALSE(lines.empty());
    if (RawSocketRoute()) {
        EXPECT_EQ(L"Ping > called with lpszServer == \"127.0.0.1\", nDatasize == 32, nTimeout == 300, "
                  L"nMaxSeqTimeout == 0", lines[0]);
    } else {  // the system service against loopback
        EXPECT_TRUE(answered);
        EXPECT_EQ(0u, error);
        EXPECT_TRUE(LinesMatch(lines, {L"SendIcmpEcho > LoadLibrary\\(\"Iphlpapi.dll\"\\) has succed",
                                       L"SendIcmpEcho > IcmpSendEcho\\(\\.\\.\\.\\) sent icmp message to "
                                       L"127\\.0\\.0\\.1",
                                       L"SendIcmpEcho > received 1 icmp message response from 127\\.0\\.0\\.1",
                                       L"SendIcmpEcho > status = 0, round-trip time = \\d+ ms"}));
    }

    REQUIRE_PEERS();
    error = 1234;
    EXPECT_TRUE(PingServer(kAnswering, 0, 1000, 2, &error));
    EXPECT_EQ(0u, error);
    lines = Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(RawSocketRoute(), lines[0].compare(0, 7, L"Ping > ") == 0);
    // Raw socket: ran and nothing came (0). Service: its own timeout code.
    error = 1234;
    EXPECT_FALSE(PingServer(kSilent, 0, 200, 0, &error));
    lines = Lines();
    if (RawSocketRoute()) {
        EXPECT_EQ(0u, error);
    } else {
        EXPECT_EQ(static_cast<DWORD>(IP_REQ_TIMED_OUT), error);
        EXPECT_EQ(std::vector<std::wstring>({L"SendIcmpEcho > LoadLibrary(\"Iphlpapi.dll\") has succed",
                                             L"SendIcmpEcho > IcmpSendEcho(...) has failed -> error == 11010"}),
                  lines);
    }
}

// The given host, else the configured server, else the default host, whose
// look-up fails here so that nothing leaves the machine (dotted text parses).
TEST_F(ProbeTest, CheckProbesTheGivenHostElseTheConfiguredServerElseTheDefault) {
    rolm::net::System().getHostByName = NoLookup;
    rolm::net::System().getConnectedState = NoConnection;
    // On loopback the raw socket reads its own request first: a peer if there is one.
    const std::wstring server = PeerUnavailable().empty() ? L"10.251.0.2" : L"127.0.0.1";
    const struct { const wchar_t* configured; const char* host; std::wstring probed; } rows[] = {
        {nullptr, nullptr, L"one.one.one.one"}, {L"", "", L"one.one.one.one"},
        {server.c_str(), nullptr, server}, {server.c_str(), "", server},
        {server.c_str(), "127.0.0.1", L"127.0.0.1"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.probed + (row.host ? L" given" : L""));
        ASSERT_EQ(0u, SetServerConfig(80, row.configured, nullptr, nullptr, nullptr));
        DWORD state = 77;
        BOOL active = RolmIsActiveConnection(row.host, &state);
        std::vector<std::wstring> lines = Lines();
        ASSERT_GE(lines.size(), 5u) << rolm_test::Join(lines);
        // Ping's first line or the look-up's names the host on both routes.
        EXPECT_NE(std::wstring::npos, lines[3].find(L"\"" + row.probed + L"\"")) << lines[3];
        if (row.probed == L"one.one.one.one") {
            EXPECT_FALSE(active);
            EXPECT_EQ(0u, state);
            std::vector<std::wstring> expected = {L"RolmIsActiveConnection > is called",
                L"InetGetConnectedState > InternetGetConnectedStateEx\\(\\.\\.\\.\\) has returned 0, "
                L"connection name == \"\"",
                L"InetGetConnectedState > flags: "};
            if (RawSocketRoute())
                expected.push_back(L"Ping > called with lpszServer == \"one\\.one\\.one\\.one\", nDatasize == 32, "
                                   L"nTimeout == 1000, nMaxSeqTimeout == 4");
            for (const wchar_t* step : {L"gethostbyname", L"inet_addr"})
                expected.push_back(L"GetIPaddress > " + std::wstring(step) +
                                   L"\\(\"one\\.one\\.one\\.one\"\\) has failed -> error == 11001");
            expected.push_back(L"GetIPaddress > unable to resolve the server name or IPv4 address");
            expected.push_back(L"InetGetConnectedState > returns 0, with: 1 == INET_CONNECTION_CONFIGURED, "
                               L"2 == INET_CONNECTION_ACTIVED");
            EXPECT_TRUE(LinesMatch(lines, expected));
        } else if (!RawSocketRoute() || row.probed == L"10.251.0.2") {
            EXPECT_TRUE(active);
            EXPECT_EQ(static_cast<DWORD>(INET_CONNECTION_ACTIVED), state);  // none configured
        }
    }
    SetServerConfig(0, nullptr, nullptr, nullptr, nullptr);
}

}  // namespace
