// SendHttpRequest and GetServerResponse against a scripted server on
// 127.0.0.1: the request, the sign-in loop, bodies and servers that break
// the rules, every call failed in turn.
#include <gtest/gtest.h>
#include <rolm/http.h>

#include <algorithm>

#include "faults.h"
#include "scripted_server.h"
#include "support.h"

using http_test::ScriptedServer;
using rolm_test::Fails;
using rolm_test::Role;
ROLM_STANDIN("wininet.dll", InternetOpenW, Fails::Null, Role::Open, "internet");
ROLM_STANDIN("wininet.dll", InternetConnectW, Fails::Null, Role::Open, "internet");
ROLM_STANDIN("wininet.dll", HttpOpenRequestA, Fails::Null, Role::Open, "internet");
ROLM_STANDIN("wininet.dll", InternetCloseHandle, Fails::False, Role::Close, "internet");
ROLM_STANDIN("wininet.dll", InternetSetOptionW, Fails::False, Role::None, "");
ROLM_STANDIN("wininet.dll", HttpSendRequestW, Fails::False, Role::None, "");
ROLM_STANDIN("wininet.dll", HttpSendRequestA, Fails::False, Role::None, "");
ROLM_STANDIN("wininet.dll", HttpQueryInfoW, Fails::False, Role::None, "");
ROLM_STANDIN("wininet.dll", InternetQueryDataAvailable, Fails::False, Role::None, "");
ROLM_STANDIN("wininet.dll", InternetReadFile, Fails::False, Role::None, "");
ROLM_STANDIN("msvcrt.dll", malloc, Fails::Null, Role::Open, "heap");
ROLM_STANDIN("msvcrt.dll", calloc, Fails::Null, Role::Open, "heap");
ROLM_STANDIN("msvcrt.dll", realloc, Fails::Null, Role::None, "heap");  // the block it takes over stays held
ROLM_STANDIN("msvcrt.dll", free, Fails::Never, Role::Close, "heap");

namespace {

const char kOk[] = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
const char kForm[] = "Content-Type: application/x-www-form-urlencoded\r\n";
std::string Body(const std::string& request) { return request.substr(request.find("\r\n\r\n") + 4); }
bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

struct Result {
    DWORD error = 0xDEAD, length = 0xDEAD, status = 0xDEAD;
    bool block = false;
    std::string body;
    std::wstring trace;  // "  line\n" each
    bool Has(const std::wstring& part) const { return trace.find(part) != std::wstring::npos; }
};

// One exchange; its body (which ends in a zero byte) released.
Result Exchange(const std::function<DWORD(LPBYTE*, DWORD*, DWORD*)>& call) {
    Result r;
    LPBYTE body = reinterpret_cast<LPBYTE>(1);
    rolm_test::TraceLog::Get().Clear();
    rolm_test::Faults::CountThread(::GetCurrentThreadId());  // not the trace capture's, not the server's
    r.error = call(&body, &r.length, &r.status);
    rolm_test::Faults::CountThread(0);
    if ((r.block = body != nullptr)) r.body.assign(reinterpret_cast<const char*>(body), r.length + 1);
    EXPECT_TRUE(!r.block || r.body.back() == 0);  // every block ends in a zero byte
    r.body.resize(r.block ? r.length : 0);
    rolm_test::Faults::CountThread(::GetCurrentThreadId()), free(body), rolm_test::Faults::CountThread(0);
    r.trace = rolm_test::Join(rolm_test::TraceLog::Get().Take());
    return r;
}
Result Send(const wchar_t* method, WORD port, const char* path, const char* variables, const wchar_t* user = L"") {
    return Exchange([&](LPBYTE* body, DWORD* length, DWORD* status) {
        return SendHttpRequest(method, L"rolm test", L"127.0.0.1", port, path, user, *user ? L"s3cretPw" : L"", variables,
                               body, length, status, nullptr);
    });
}

// The user's answers to the sign-in dialog: OK this many times, then Cancel.
int g_oks;
DWORD WINAPI SignIn(HWND owner, HINTERNET, DWORD error, DWORD flags, LPVOID*) {
    EXPECT_TRUE(owner == ::GetDesktopWindow() && error == 0 && flags == 7);
    return g_oks-- > 0 ? ERROR_INTERNET_FORCE_RETRY : 0;
}

std::string Bytes(size_t n) {
    std::string out(n, ' ');
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<char>('A' + i * 7 % 26);
    return out;
}

// Exchanges as the server sees them and as the caller does. The server
// answers a request with the credentials of "user" with kOk, else the reply;
// each OK in the sign-in dialog sends the request again as it was.
TEST(SendHttpRequest, Exchanges) {
    const std::string challenge = "401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"r\"\r\nContent-Length: 4\r\n\r\ndeny";
    const std::string chunks = "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n", big(5000, 'x');
    const std::wstring shown = L" > server response == (" + rolm_test::Widen(Bytes(255)) + L")";
    const struct { const wchar_t* method; const char* variables; const wchar_t* user; int oks; std::string reply; DWORD error, status;
                   std::string body, request; std::wstring line; } rows[] = {
        {L"GET", "a=1&b=2", L"", 0, challenge, 0, 401, "", "GET /p?a=1&b=2 HTTP/1.1\r\n", L"> variables == a=1&b=2\n"},
        {nullptr, nullptr, L"", 2, challenge, 0, 401, "", "GET /p HTTP/1.1\r\nGET /p HTTP/1.1\r\nGET /p HTTP/1.1\r\n", L"> Headers [HTTP/1.1 401 Unauthorized]\n"},
        {L"get", "a=1&b=2", L"", 1, challenge, 0, 401, "", "POST /p HTTP/1.1\r\nPOST /p HTTP/1.1\r\n", L"> InternetErrorDlg(...) -> dwRetry == 0 != ERROR_INTERNET_FORCE_RETRY\n"},
        {L"POST", nullptr, L"user", 0, challenge, 0, 200, "ok", "POST /p HTTP/1.1\r\nPOST /p HTTP/1.1\r\n", L"> Headers [Content-Length: 2]\n"},
        {L"GET", nullptr, L"", 0, "200 OK\r\nContent-Length: 5\r\n\r\nhelloEXTRA", 0, 200, "hello", "", L"> dwBufferLength == 5\n"},
        {L"GET", nullptr, L"", 0, "200 OK\r\nContent-Length: 0\r\n" + chunks, 0, 200, "abcde", "", L"> HttpGetContentLength(...) returns 0 with error code 0\n"},
        {L"GET", nullptr, L"", 0, "200 OK\r\n\r\nabc", 0, 200, "", "", L"> HttpGetContentLength(...) returns 0 with error code 12150\n"},
        {L"GET", nullptr, L"", 0, "200 OK\r\nContent-Length: 100\r\n\r\nshort", 0, 200, "short", "", L"> dwBufferLength == 5\n"},
        {L"GET", nullptr, L"", 0, "300 Multiple Choices\r\nContent-Length: 4\r\n\r\nmove", 0, 300, "", "", L"> dwBufferLength == 0\n"},
        {L"GET", nullptr, L"", 0, "299 Fine\r\nContent-Length: -1\r\n\r\n" + Bytes(65535), 0, 299, Bytes(65535), "", L""},
        {L"GET", nullptr, L"", 0, "200 OK\r\nContent-Length: -1\r\n\r\n" + Bytes(65536), 122, 200, Bytes(65536), "",
         L"> dwCurrentPos == 65536 > _MAX_BUFFER == 65535 -> ERROR_INSUFFICIENT_BUFFER\n"},
        {L"GET", nullptr, L"", 0, "200 OK\r\nContent-Length: 255\r\n\r\n" + Bytes(255), 0, 200, Bytes(255), "", shown + L"\n"},
        {L"GET", nullptr, L"", 0, "200 OK\r\nContent-Length: 256\r\n\r\n" + Bytes(256), 0, 200, Bytes(256), "", shown + L"...\n"},
        {L"GET", nullptr, L"", 0, "200 OK\r\nX-Big: " + big + "\r\nContent-Length: 2\r\n\r\nok", 0, 200, "ok", "",
         L"> HttpQueryInfo( HTTP_QUERY_RAW_HEADERS_CRLF ) has failed with error == 122\n"},
        {L"GET", nullptr, L"", 0, "200 OK\r\nContent-Length: 99999999999\r\n\r\nabc", 0, 200, "", "", L"> malloc(-2147483648) has returned NULL\n"}};
    rolm_test::ImportPatch dialog("wininet.dll", "InternetErrorDlg", reinterpret_cast<void*>(&SignIn));
    for (const auto& row : rows) {
        ScriptedServer server([&](const std::string& request) { return Contains(request, "Basic dXNlcjpzM2NyZXRQdw==") ? kOk : "HTTP/1.1 " + row.reply; });
        g_oks = row.oks;
        Result r = Send(row.method, server.port(), "/p", row.variables, row.user);
        std::string lines;
        for (const std::string& request : server.Requests()) lines += request.substr(0, request.find("\r\n") + 2);
        const std::string& request = server.Requests().back();
        EXPECT_TRUE(row.request.empty() || row.request == lines) << lines;
        EXPECT_EQ(request[0] == 'P', Contains(request, kForm));
        EXPECT_EQ(request[0] == 'P' && row.variables ? row.variables : "", Body(request));
        EXPECT_TRUE(r.error == row.error && r.status == row.status && r.length == r.body.size() && r.body == row.body && r.block == !row.body.empty());
        EXPECT_TRUE(r.Has(L"SendHttpRequest " + row.line) && r.Has(L"Headers [") == (row.reply[8] != 'X') && !r.Has(L"s3cretPw")) << r.trace;
    }
}

TEST(SendHttpRequest, MissingArgumentsTouchNothing) {
    LPBYTE body = reinterpret_cast<LPBYTE>(1);
    DWORD length = 7, status = 7;
    rolm_test::TraceLog::Get().Clear();
    for (int i = 0; i < 8; ++i)  // each time one argument is missing or empty
        EXPECT_EQ(87u, SendHttpRequest(L"GET", L"a", i == 0 ? nullptr : i == 1 ? L"" : L"h", 80, i == 2 ? nullptr : i == 3 ? "" : "/p",
                                       i == 4 ? nullptr : L"", L"", nullptr, i == 5 ? nullptr : &body, i == 6 ? nullptr : &length,
                                       i == 7 ? nullptr : &status, nullptr)) << i;
    EXPECT_TRUE(body == reinterpret_cast<LPBYTE>(1) && length == 7 && status == 7 && rolm_test::TraceLog::Get().Take().empty());
    HINTERNET root = reinterpret_cast<HINTERNET>(1);
    EXPECT_EQ(87u, InternetAccessServer(L"a", L"h", 80, INTERNET_SERVICE_HTTP, &root, nullptr));
}

// Each call fails in turn (keys: "Name", "Name#k" for its kth call, "@get" or
// "@post" for one exchange). E: the exchange fails with that error; M: with
// ERROR_NOT_ENOUGH_MEMORY; S: status 500, no body; L: status kept, part of
// the body or none; T, ".": nothing changes. The line is traced, with the
// error after it for E and lower case. Every Internet handle and heap block
// is released.
const struct { const char* key; char outcome; const wchar_t* line; } kFailures[] = {
    {"InternetOpenW", 'E', L"InternetAccessServer(...) has failed with error == "}, {"InternetCloseHandle", '.', L""},
    {"InternetConnectW", 'E', L"InternetAccessServer(...) has failed with error == "}, {"calloc", 'L', L"malloc(3) has returned NULL"},
    {"HttpOpenRequestA@get", 'E', L"method == GET, HttpOpenRequest(...) has returned NULL with error == "},
    {"HttpOpenRequestA@post", 'E', L"method == POST, HttpOpenRequest(...) has returned NULL with error == "},
    {"InternetSetOptionW#1", 'E', L"InternetSetOption( INTERNET_OPTION_USERNAME ) has failed with error == "},
    {"InternetSetOptionW#2", 'E', L"InternetSetOption( INTERNET_OPTION_PASSWORD ) has failed with error == "},
    {"HttpSendRequestW", 'E', L"method == GET, HttpSendRequest(...) has failed with error == "},
    {"HttpSendRequestA", 'E', L"method == POST, HttpSendRequest(...) has failed with error == "},
    {"HttpQueryInfoW#1", 'S', L"dwBufferLength == 0"}, {"InternetQueryDataAvailable#1", 'L', L"dwBufferLength == 0"},
    {"HttpQueryInfoW#2", 'l', L"HttpGetContentLength(...) returns 0 with error code "},
    {"HttpQueryInfoW#3", 't', L"HttpQueryInfo( HTTP_QUERY_RAW_HEADERS_CRLF ) has failed with error == "},
    {"InternetQueryDataAvailable#2", 'l', L"InternetQueryDataAvailable(...) has returned FALSE with dwSizeToRead == 3, dwError == "},
    {"InternetQueryDataAvailable#3", 't', L"InternetQueryDataAvailable(...) has returned FALSE with dwSizeToRead == 2, dwError == "},
    {"InternetReadFile", 'L', L"InternetReadFile(...) has returned FALSE with dwSizeToRead == "},
    {"malloc#1@get", '.', L"variables == vvv"},  // shown cut
    {"malloc#2@get", 'M', L"_malloca(1104) has returned NULL"}, {"malloc#1@post", 'L', L"malloc() or realloc() has returned NULL"},
    {"realloc", 'L', L"malloc() or realloc() has returned NULL"}, {"malloc", '.', L"malloc(4096) has returned NULL"}};

TEST(SendHttpRequest, EveryCallFailedInTurnReportsAndReleases) {
    const std::string variables(1100, 'v');
    ScriptedServer server([](const std::string& request) {  // the POST's body comes in two parts, length unannounced
        return request[0] == 'G' ? std::string(kOk) : "HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\nabc\001de";
    });
    ASSERT_EQ(0u, SetServerConfig(server.port(), L"127.0.0.1", L"/cfg", L"user", L"pw"));
    const struct { const char* tag; std::function<Result()> run; } ops[] = {
        {"@get", [&] { return Send(L"GET", server.port(), "/p", variables.c_str()); }},
        {"@post", [] { return Exchange([](LPBYTE* b, DWORD* l, DWORD* s) { return GetServerResponse("q=1", b, l, s, nullptr); }); }}};
    rolm_test::Faults faults;
    for (const auto& op : ops) {
        faults.Reset();
        const Result unfailed = op.run();
        rolm_test::Torture(faults, ERROR_INTERNET_TIMEOUT, op.run, [&](const Result& r, const std::string& call, int k) {
            const std::string nth = call + "#" + std::to_string(k);
            const auto* row = std::find_if(std::begin(kFailures), std::end(kFailures), [&](const auto& f) {
                return f.key == nth + op.tag || f.key == nth || f.key == call + op.tag || f.key == call; });
            SCOPED_TRACE(nth + op.tag + " failed");
            if (row == std::end(kFailures)) return (void)(ADD_FAILURE() << "no expectation");
            const char outcome = static_cast<char>(toupper(row->outcome));
            const bool kept = outcome == 'T' || outcome == '.', lost = outcome == 'L';
            EXPECT_TRUE(r.Has(L"  SendHttpRequest > " + std::wstring(row->line) + (outcome == 'E' || islower(row->outcome) ? L"12002" : L""))) << r.trace;
            EXPECT_EQ(kept ? unfailed.error : outcome == 'E' ? 12002u : outcome == 'M' ? 8u : 0u, r.error);
            EXPECT_EQ(kept || lost ? unfailed.status : outcome == 'S' ? 500u : 0u, r.status);
            EXPECT_TRUE(kept ? r.body == unfailed.body : lost ? r.body.size() < unfailed.body.size() && (r.length == r.body.size() || !r.block)
                             : !r.block && r.length == 0);
            EXPECT_TRUE(faults.Held("internet") == 0 && faults.Held("heap") == 0);
        });
    }
    // The record without its password; the POST with its agent and form.
    EXPECT_TRUE(ops[1].run().Has(L"  GetServerResponse > g_ServerConfig.wPort == (" + std::to_wstring(server.port()) +
                L"), g_ServerConfig.szServer == (127.0.0.1), g_ServerConfig.szUrl == (/cfg), "
                L"g_ServerConfig.szHttpLogin == (user), g_ServerConfig.szHttpPswd == (**********)\n"));
    const std::string& request = server.Requests().back();
    EXPECT_TRUE(request.find("POST /cfg HTTP/1.1\r\n") == 0 && Contains(request, "User-Agent: Tellborn\r\n") &&
                Contains(request, kForm) && Body(request) == "q=1") << request;
    SetServerConfig(0, nullptr, nullptr, nullptr, nullptr);
}

}  // namespace
