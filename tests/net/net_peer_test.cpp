// The raw-socket probe against peers in network namespaces made by peer.sh:
// 10.251.0.2 answers, 10.251.0.6 is silent.
#include "net_support.h"

using net_test::LinesMatch;
using net_test::ProbeTest;

namespace {

std::vector<DWORD> g_sleeps;
void WINAPI CountingSleep(DWORD ms) {
    g_sleeps.push_back(ms);
    ::Sleep(ms);
}

class Peer : public ProbeTest {
protected:
    void SetUp() override {
        ProbeTest::SetUp();
        g_sleeps.clear();
        rolm::net::System().sleep = CountingSleep;
    }
};

TEST_F(Peer, AnsweringPeerAnswersTheFirstTry) {
    REQUIRE_PEERS();
    DWORD error = 1234;
    EXPECT_TRUE(Ping(net_test::kAnswering, 0, 0, -1, &error));
    EXPECT_EQ(0u, error);
    EXPECT_TRUE(g_sleeps.empty());
    EXPECT_TRUE(LinesMatch(Lines(), {
        L"Ping > called with lpszServer == \"10\\.251\\.0\\.2\", nDatasize == 32, nTimeout == 1000, "
        L"nMaxSeqTimeout == 4294967295",
        L"Ping > sendto\\(\\.\\.\\.\\) wrote 40 bytes on a maximum of 40",
        L"decode_resp > 60 bytes from 10\\.251\\.0\\.2 > ping OK",
        L"Ping > returns 1, elapsed time: \\d+ ms"}));
}

// The peer drops requests whose checksum is wrong, so an answer proves the
// checksum for odd and even sizes; replies over 1024 bytes do not fit.
TEST_F(Peer, DataSizesUpToTheReceiveBuffer) {
    REQUIRE_PEERS();
    for (int size : {1, 33, 996}) {
        DWORD error = 1234;
        EXPECT_TRUE(Ping(net_test::kAnswering, size, 1000, 0, &error)) << size;
        EXPECT_EQ(0u, error);
        std::vector<std::wstring> lines = Lines();
        ASSERT_EQ(4u, lines.size()) << size;
        EXPECT_EQ(L"decode_resp > " + std::to_wstring(28 + size) + L" bytes from 10.251.0.2 > ping OK",
                  lines[2]);
    }
    for (int size : {997, ROLM_PING_MAX_DATASIZE}) {
        DWORD error = 0;
        EXPECT_FALSE(Ping(net_test::kAnswering, size, 1000, 0, &error)) << size;
        EXPECT_EQ(static_cast<DWORD>(WSAEMSGSIZE), error);
        EXPECT_TRUE(LinesMatch(Lines(), {
            L"Ping > called with .*", L"Ping > sendto\\(\\.\\.\\.\\) wrote \\d+ bytes.*",
            L"Ping > recvfrom\\(\\.\\.\\.\\) has failed -> error == 10040",
            L"Ping > returns 0, elapsed time: \\d+ ms"}));
    }
}

TEST_F(Peer, SilentPeerTimesOutEveryTryWithErrorZero) {
    REQUIRE_PEERS();
    for (int maxSeq : {2, 0}) {
        g_sleeps.clear();
        DWORD error = 1234;
        EXPECT_FALSE(Ping(net_test::kSilent, 0, 200, maxSeq, &error));
        EXPECT_EQ(0u, error);
        const size_t tries = maxSeq + 1;
        EXPECT_EQ(std::vector<DWORD>(tries, 500), g_sleeps);
        std::vector<std::wstring> expected = {
            L"Ping > called with lpszServer == \"10\\.251\\.0\\.6\", nDatasize == 32, nTimeout == "
            L"200, nMaxSeqTimeout == " +
            std::to_wstring(maxSeq)};
        for (size_t i = 0; i < tries; ++i) {
            expected.push_back(L"Ping > sendto\\(\\.\\.\\.\\) wrote 40 bytes on a maximum of 40");
            expected.push_back(L"Ping > recvfrom\\(\\.\\.\\.\\) -> timeout");
        }
        expected.push_back(L"Ping > returns 0, elapsed time: \\d+ ms");
        EXPECT_TRUE(LinesMatch(Lines(), expected));
    }
}

}  // namespace
