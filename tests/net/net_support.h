// Shared pieces of the probe tests: the system calls restored after each
// test, the trace of one call, stand-in libraries and the namespace peers.
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
        ::SetEnvironmentVariableW(L"STANDIN_LOG", nullptr);
        ::SetEnvironmentVariableW(L"STANDIN_MODE", nullptr);
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
    std::wstring expected;
    for (const std::wstring& p : patterns) expected += p + L"\n";
    std::string text;
    for (wchar_t c : L"expected:\n" + expected + L"got:\n" + rolm_test::Join(lines))
        text += c < 128 ? static_cast<char>(c) : '?';
    return ::testing::AssertionFailure() << text;
}

// A name look-up that answers nothing, as for a host the resolver does not
// know; keeps tests of the default host off the network.
inline hostent* WSAAPI NoLookup(const char*) {
    ::WSASetLastError(WSAHOST_NOT_FOUND);
    return nullptr;
}

// Peers made by peer.sh: "" when they are up, else why not.
inline std::string PeerUnavailable() {
    char path[MAX_PATH] = "";
    if (::GetEnvironmentVariableA("ROLM_NET_PEER_STATE", path, sizeof path) == 0)
        return "the test runs without its peer setup";
    std::string state = rolm_test::ReadFileBytes(rolm_test::Widen(path));
    if (state.compare(0, 2, "up") == 0) return "";
    if (state.empty()) return "no peer state at " + std::string(path);
    const std::string prefix = "unavailable: ";
    if (state.compare(0, prefix.size(), prefix) == 0) state.erase(0, prefix.size());
    while (!state.empty() && (state.back() == '\n' || state.back() == '\r')) state.pop_back();
    return state;
}

#define REQUIRE_PEERS()                                                                   \
    do {                                                                                  \
        std::string why = ::net_test::PeerUnavailable();                                  \
        if (!why.empty()) GTEST_SKIP() << "peer unavailable: " << why;                    \
    } while (0)

const char kAnswering[] = "10.251.0.2";
const char kSilent[] = "10.251.0.6";

}  // namespace net_test
