// Shared pieces of the probe tests: the system calls restored after each
// test, the trace of one call, and the namespace peers made by peer.sh.
#pragma once

#include <winsock2.h>
#include <gtest/gtest.h>
#include <rolm/net.h>

#include <regex>
#include <string>
#include <vector>

#include "net/system.h"
#include "support.h"

namespace net_test {

// Each test starts with the real system calls and an empty trace.
class ProbeTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = rolm::net::System();
        rolm_test::TraceLog::Get().Clear();
    }
    void TearDown() override { rolm::net::System() = saved_; }
    static std::vector<std::wstring> Lines() { return rolm_test::TraceLog::Get().Take(); }

private:
    rolm::net::SystemCalls saved_;
};

// Lines must match the patterns one for one (ECMAScript regular expressions).
inline ::testing::AssertionResult LinesMatch(const std::vector<std::wstring>& lines,
                                             const std::vector<std::wstring>& patterns) {
    bool ok = lines.size() == patterns.size();
    for (size_t i = 0; ok && i < lines.size(); ++i) ok = std::regex_match(lines[i], std::wregex(patterns[i]));
    if (ok) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "expected:\n" << rolm_test::Join(patterns) << "got:\n"
                                         << rolm_test::Join(lines);
}

// A look-up that knows no name: keeps the default host off the network,
// while dotted text still resolves by the parse.
inline hostent* WSAAPI NoLookup(const char*) {
    ::WSASetLastError(WSAHOST_NOT_FOUND);
    return nullptr;
}

// "" when the peers are up, else why not (peer.sh writes "up" or the reason).
inline std::string PeerUnavailable() {
    char path[MAX_PATH] = "";
    if (::GetEnvironmentVariableA("ROLM_NET_PEER_STATE", path, sizeof path) == 0)
        return "the test runs without its peer setup";
    std::string state = rolm_test::ReadFileBytes(rolm_test::Widen(path));
    if (state.empty()) return "no peer state at " + std::string(path);
    return state.compare(0, 3, "up\n") == 0 ? "" : state;
}

#define REQUIRE_PEERS() \
    if (std::string why = ::net_test::PeerUnavailable(); why.empty()) {                   \
    } else                                                                                \
        GTEST_SKIP() << "peer unavailable: " << why

const char kAnswering[] = "10.251.0.2";  // answers echo requests
const char kSilent[] = "10.251.0.6";     // ignores them

}  // namespace net_test
