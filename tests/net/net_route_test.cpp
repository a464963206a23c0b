// PingServer's choice of route by the system version, seen by the same tests
// run as Windows NT 4.0 (raw socket), XP and 7 (system ICMP service), and the
// host that the reachability check probes.
#include "net_support.h"

#include <iphlpapi.h>
#include <rolm/http.h>

using net_test::LinesMatch;
using net_test::ProbeTest;

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

class Route : public ProbeTest {
protected:
    void SetUp() override {
        ProbeTest::SetUp();
        rolm::net::System().getConnectedState = NoConnection;
        SetServerConfig(0, nullptr, nullptr, nullptr, nullptr);
    }
    void TearDown() override {
        SetServerConfig(0, nullptr, nullptr, nullptr, nullptr);
        ProbeTest::TearDown();
    }
};

TEST_F(Route, VersionChoosesTheProbe) {
    OSVERSIONINFOW version = {sizeof version};
    ASSERT_TRUE(rolm::net::System().getVersion(&version));
    EXPECT_EQ(RawSocketRoute(), version.dwMajorVersion < 5) << version.dwMajorVersion;

    DWORD error = 1234;
    BOOL answered = PingServer("127.0.0.1", 0, 300, 0, &error);
    std::vector<std::wstring> lines = Lines();
    ASSERT_FALSE(lines.empty());
    if (RawSocketRoute()) {
        EXPECT_EQ(L"Ping > called with lpszServer == \"127.0.0.1\", nDatasize == 32, nTimeout == "
                  L"300, nMaxSeqTimeout == 0",
                  lines[0]);
        EXPECT_TRUE(std::regex_match(lines.back(), std::wregex(L"Ping > returns [01], elapsed time: \\d+ ms")));
    } else {
        EXPECT_TRUE(answered);
        EXPECT_EQ(0u, error);
        EXPECT_EQ(L"SendIcmpEcho > LoadLibrary(\"Iphlpapi.dll\") has succed", lines[0]);
        EXPECT_EQ(4u, lines.size());
    }
}

TEST_F(Route, PeersAnswerOrNotOnEitherRoute) {
    REQUIRE_PEERS();
    DWORD error = 1234;
    EXPECT_TRUE(PingServer(net_test::kAnswering, 0, 1000, 2, &error));
    EXPECT_EQ(0u, error);
    std::vector<std::wstring> lines = Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(RawSocketRoute(), lines[0].compare(0, 7, L"Ping > ") == 0);

    // Raw socket: ran and nothing came (0). Service: its own timeout code.
    error = 1234;
    EXPECT_FALSE(PingServer(net_test::kSilent, 0, 200, 0, &error));
    if (RawSocketRoute()) {
        EXPECT_EQ(0u, error);
    } else {
        EXPECT_EQ(static_cast<DWORD>(IP_REQ_TIMED_OUT), error);
        EXPECT_EQ(std::vector<std::wstring>(
                      {L"SendIcmpEcho > LoadLibrary(\"Iphlpapi.dll\") has succed",
                       L"SendIcmpEcho > IcmpSendEcho(...) has failed -> error == 11010"}),
                  Lines());
    }
}

TEST_F(Route, CheckWithoutHostOrServerProbesTheDefaultHost) {
    rolm::net::System().getHostByName = net_test::NoLookup;  // no traffic to it
    for (const char* host : {static_cast<const char*>(nullptr), ""}) {
        DWORD state = 77;
        EXPECT_FALSE(RolmIsActiveConnection(host, &state));
        EXPECT_EQ(0u, state);
        std::vector<std::wstring> expected = {
            L"RolmIsActiveConnection > is called",
            L"InetGetConnectedState > InternetGetConnectedStateEx\\(\\.\\.\\.\\) has returned 0, "
            L"connection name == \"\"",
            L"InetGetConnectedState > flags: "};
        if (RawSocketRoute())
            expected.push_back(L"Ping > called with lpszServer == \"one\\.one\\.one\\.one\", "
                               L"nDatasize == 32, nTimeout == 1000, nMaxSeqTimeout == 4");
        expected.push_back(L"GetIPaddress > gethostbyname\\(\"one\\.one\\.one\\.one\"\\) has "
                           L"failed -> error == 11001");
        expected.push_back(L"GetIPaddress > inet_addr\\(\"one\\.one\\.one\\.one\"\\) has failed "
                           L"-> error == 11001");
        expected.push_back(L"GetIPaddress > unable to resolve the server name or IPv4 address");
        expected.push_back(L"InetGetConnectedState > returns 0, with: 1 == "
                           L"INET_CONNECTION_CONFIGURED, 2 == INET_CONNECTION_ACTIVED");
        EXPECT_TRUE(LinesMatch(Lines(), expected));
    }
}

TEST_F(Route, CheckWithoutHostProbesTheConfiguredServer) {
    bool peers = net_test::PeerUnavailable().empty();
    const wchar_t* server = peers ? L"10.251.0.2" : L"127.0.0.1";
    ASSERT_EQ(0u, SetServerConfig(80, server, nullptr, nullptr, nullptr));
    DWORD state = 77;
    BOOL active = RolmIsActiveConnection(nullptr, &state);
    std::vector<std::wstring> lines = Lines();
    ASSERT_GE(lines.size(), 5u);
    std::wstring shown = RawSocketRoute() ? lines[3] : lines[4];
    EXPECT_NE(std::wstring::npos, shown.find(server)) << shown;
    if (peers || !RawSocketRoute()) {
        EXPECT_TRUE(active);
        EXPECT_EQ(static_cast<DWORD>(INET_CONNECTION_ACTIVED), state);  // none configured
    }
    // A given host wins over the configured server.
    RolmIsActiveConnection("127.0.0.1", nullptr);
    lines = Lines();
    ASSERT_GE(lines.size(), 5u);
    shown = RawSocketRoute() ? lines[3] : lines[4];
    EXPECT_NE(std::wstring::npos, shown.find(L"127.0.0.1")) << shown;
}

}  // namespace
