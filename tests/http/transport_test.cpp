// SendHttpRequest, SendHttpRequestEx and the endpoint-record flavours: the
// cases of exchanges/ (a server's script, calls, what each gives, traces and
// sends, or its calls failed in turn) against a scripted server on 127.0.0.1,
// the system's own sign-in dialog answered as a person would; those of real/
// against real server software.
#include <shlwapi.h>
#include <gtest/gtest.h>
#include <rolm/http.h>

#include <filesystem>
#include <map>
#include <sstream>

#include "faults.h"
#include "scripted_server.h"

using namespace rolm_test;
ROLM_STANDIN("wininet.dll", InternetOpenW, Fails::Null, Role::Open, "internet");
ROLM_STANDIN("wininet.dll", InternetConnectW, Fails::Null, Role::Open, "internet");
ROLM_STANDIN("wininet.dll", HttpOpenRequestA, Fails::Null, Role::Open, "internet");
ROLM_STANDIN("wininet.dll", InternetCloseHandle, Fails::False, Role::Close, "internet");
ROLM_STANDIN("wininet.dll", InternetSetOptionW, Fails::False, Role::None, "");
ROLM_STANDIN("wininet.dll", HttpSendRequestW, Fails::False, Role::None, "");
ROLM_STANDIN("wininet.dll", HttpSendRequestA, Fails::False, Role::None, "");
ROLM_STANDIN("wininet.dll", InternetErrorDlg, Fails::Code, Role::None, "");
ROLM_STANDIN("wininet.dll", HttpQueryInfoW, Fails::False, Role::None, "");
ROLM_STANDIN("wininet.dll", InternetQueryDataAvailable, Fails::False, Role::None, "");
ROLM_STANDIN("wininet.dll", InternetReadFile, Fails::False, Role::None, "");
ROLM_STANDIN("kernel32.dll", WideCharToMultiByte, Fails::Null, Role::None, "");
// Blocks are watched by the guarded heap, not counted (the runs' own allocations would be).
ROLM_STANDIN("msvcrt.dll", malloc, Fails::Null, Role::None, "");
ROLM_STANDIN("msvcrt.dll", calloc, Fails::Null, Role::None, "");
ROLM_STANDIN("msvcrt.dll", realloc, Fails::Null, Role::None, "");

namespace {

using Words = std::map<std::string, std::string>;

// "key=value" words (a word alone: "1").
Words Parse(const std::string& text) {
    Words words;
    std::istringstream in(text);
    for (std::string word; in >> word;) {
        const size_t is = word.find('=');
        words[word.substr(0, is)] = is == std::string::npos ? "1" : http_test::Expand(word.substr(is + 1));
    }
    return words;
}

// A case file: a description, then sections from lines "--- reply [for
// TEXT]", "--- request" (for the calls below it) and "--- API WORDS ->
// WORDS" (a call and what it must give), the last followed by the trace
// lines it must write (# a number). The lines of each section are joined by
// CRLF: a head without a body ends in two empty lines.
std::vector<std::pair<std::string, std::string>> Read(const std::string& path) {
    std::istringstream in(ReadFileBytes(Widen(path)));
    std::vector<std::pair<std::string, std::string>> sections(1);
    for (std::string line; std::getline(in, line);) {
        std::string& text = sections.back().second;
        if (line.compare(0, 4, "--- ") == 0) sections.emplace_back(line.substr(4), "");
        else text += (text.empty() ? "" : "\r\n") + http_test::Expand(line);
    }
    return sections;
}

// Answers the sign-in dialogs the thread shows, as a person would, until done:
// a user and a password, then OK oks times and Cancel after; counts them.
void AnswerDialogs(DWORD thread, int oks, const volatile bool& done, int& answered) {
    for (; !done; ::Sleep(50)) {
        HWND dialog = nullptr;
        while ((dialog = ::FindWindowExW(nullptr, dialog, L"#32770", nullptr)) != nullptr &&
               ::GetWindowThreadProcessId(dialog, nullptr) != thread) {}
        if (dialog == nullptr) continue;
        ::Sleep(200);  // its initialisation done
        const HWND user = ::FindWindowExW(dialog, nullptr, L"Edit", nullptr);
        ::SetWindowTextW(user, L"dlguser");
        ::SetWindowTextW(::FindWindowExW(dialog, user, L"Edit", nullptr), L"dlgpass");
        ::PostMessageW(dialog, WM_COMMAND, answered++ < oks ? IDOK : IDCANCEL, 0);
        while (::IsWindow(dialog)) ::Sleep(50);
    }
}

// The prefix's proxy, "" for none (Wine 8's 407 dialog crashes without one).
void SetProxy(const std::wstring& server) {
    const wchar_t* key = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
    const DWORD on = !server.empty(), bytes = static_cast<DWORD>((server.size() + 1) * sizeof(wchar_t));
    ::SHSetValueW(HKEY_CURRENT_USER, key, L"ProxyServer", REG_SZ, server.c_str(), bytes);
    ::SHSetValueW(HKEY_CURRENT_USER, key, L"ProxyEnable", REG_DWORD, &on, sizeof on);
}

// One call as its case line names it (method, server, path, vars, user,
// password: "NULL" for none; ms: each time limit, max, flags; silent: to a
// peer that takes the connection and never reads nor answers; size and
// ressize: added to the structures' sizes; norequest, nobody, nolength,
// nostatus: that pointer null) to port, or through the endpoint record set
// so (host: its server; config: what setting it gives; unterminated: its
// path without its zero); ready to run again and again.
struct Call {
    Call(const std::string& api, const Words& words, WORD port)
        : with(words), record(api.compare(0, 3, "Get") == 0), ex(api.back() == 'x') {
        for (const auto& [key, value] : with) wide[key] = Widen(value);
        EXPECT_EQ(Number("config"), record ? SetServerConfig(port, W("host", L"127.0.0.1"), W("path", L"/p"),
                                                             W("user", L""), W("password", L"")) : 0) << "the record";
        if (with.count("unterminated")) wmemset(g_ServerConfig.szUrl, L'a', 512);
        ask = {sizeof ask + Number("size"), record ? nullptr : W("method", nullptr), record ? nullptr : L"rolm test",
               W("server", record ? nullptr : L"127.0.0.1"), record ? WORD(0) : port,
               record ? nullptr : Text("path", "/p"), Text("vars", nullptr), record ? nullptr : W("user", nullptr),
               record ? nullptr : W("password", nullptr), nullptr, Number("ms"), Number("ms"), Number("ms"),
               Number("max"), Number("flags")};
    }
    DWORD operator()(HTTP_RESPONSE_EX* r) const {  // the old calls fill status, block and length
        const HTTP_REQUEST_EX* request = with.count("norequest") ? nullptr : &ask;
        if (ex) return record ? GetServerResponseEx(request, r) : SendHttpRequestEx(request, r);
        LPBYTE* body = with.count("nobody") ? nullptr : &r->pbyBody;
        DWORD* length = with.count("nolength") ? nullptr : &r->dwBodyLength;
        DWORD* status = with.count("nostatus") ? nullptr : &r->dwStatusCode;
        if (record) return GetServerResponse(ask.lpszVariables, body, length, status, nullptr);
        return SendHttpRequest(ask.lpszMethod, ask.lpszAgent, ask.lpszServer, ask.wPort, ask.lpszUrl, W("user", L""),
                               W("password", L""), ask.lpszVariables, body, length, status, nullptr);
    }
    const char* Text(const char* key, const char* none) const {  // "NULL": a null pointer
        return !with.count(key) ? none : with.at(key) == "NULL" ? nullptr : with.at(key).c_str();
    }
    const wchar_t* W(const char* key, const wchar_t* none) const {
        return !wide.count(key) ? none : wide.at(key) == L"NULL" ? nullptr : wide.at(key).c_str();
    }
    DWORD Number(const char* key) const { return static_cast<DWORD>(strtol(Text(key, "0"), nullptr, 0)); }
    const Words with;
    std::map<std::string, std::wstring> wide;
    const bool record, ex;
    HTTP_REQUEST_EX ask;
};

// Plays a case file's calls, each against a fresh server, and checks what
// the case names: result, status, length, outcome, announced, body ("none":
// no block; "@file": a file of the served folder; "<" in front: a part),
// dialogs shown, the trace, the last request; or fails its calls in turn
// ("-> rows=SECTION torture=ERROR") against the rows of that section of
// http_test.cases. The word proxy makes the server the prefix's proxy.
// With a served folder (real servers: the port at= or proxy= names is in
// ROLM_NAME) the trace is not checked.
void Play(const std::string& path, const std::string& served = "") {
    std::vector<std::pair<std::string, std::string>> replies;  // the first whose TEXT the request holds
    std::string request;
    for (const auto& [head, text] : Read(path)) {
        if (head.find("reply") == 0) replies.emplace_back(head.substr(std::min<size_t>(10, head.size())), text);
        if (head == "request") request = text;
        const size_t api = head.find(' '), to = head.find(" -> ");
        if (to == std::string::npos) continue;  // the description, a reply or a request
        const Words with = Parse(head.substr(api, to - api)), given = Parse(head.substr(to + 4));
        const auto real = [&](const char* key) { return WORD(atoi(getenv(("ROLM_" + with.at(key)).c_str()))); };
        http_test::BasicScriptedServer<HeapKept> server([&](const std::string& sent) {
            for (const auto& [in, reply] : replies)
                if (sent.find(in) != std::string::npos) return reply;
            return std::string();
        }, with.count("silent") != 0);
        const Call call(head.substr(0, api), with, with.count("at") ? real("at") : server.port());
        if (given.count("torture")) {  // TortureTable names the failed call and its trace
            Faults faults;
            TortureTable(faults, std::stoul(given.at("torture")), Failures(given.at("rows").c_str()), [&] {
                HTTP_RESPONSE_EX r = {sizeof r};
                const DWORD result = call(&r);
                free(r.pbyBody);
                return Outcome{result, call.ex ? r.dwOutcome : r.dwStatusCode};
            });
            continue;
        }
        SCOPED_TRACE(path + ": " + head);
        // The prefix's proxy: the server itself, or the one named.
        const WORD proxy = !with.count("proxy") ? 0 : with.at("proxy") == "1" ? server.port() : real("proxy");
        if (proxy != 0) SetProxy(L"127.0.0.1:" + std::to_wstring(proxy));
        if (with.count("kill")) WriteFileBytes(Widen(served + "kill"), "");
        int dialogs = 0;
        volatile bool done = false;
        std::thread person(AnswerDialogs, ::GetCurrentThreadId(), atoi(call.Text("oks", "0")), std::cref(done),
                           std::ref(dialogs));
        HTTP_RESPONSE_EX r = {sizeof r + call.Number("ressize"), 0xDEAD, 0xDEAD, nullptr, 0xDEAD, 0xDEAD, 0xDEAD};
        TraceLog::Get().Clear();
        const DWORD start = ::GetTickCount();
        r.dwResult = call(&r);
        const DWORD ms = ::GetTickCount() - start;
        done = true;
        person.join();
        EXPECT_EQ(given.count("dialogs") ? given.at("dialogs") : "0", std::to_string(dialogs)) << "dialogs shown";
        if (proxy != 0) SetProxy(L"");
        const bool block = r.pbyBody != nullptr;
        const std::string body = block ? std::string(reinterpret_cast<const char*>(r.pbyBody), r.dwBodyLength) : "";
        EXPECT_TRUE(!block || r.pbyBody[r.dwBodyLength] == 0) << "the block ends in a zero byte";
        free(r.pbyBody);
        for (const auto& [key, got] : {std::make_pair("result", r.dwResult), std::make_pair("status", r.dwStatusCode),
                                       std::make_pair("length", r.dwBodyLength), std::make_pair("outcome", r.dwOutcome),
                                       std::make_pair("announced", r.dwAnnouncedLength)})
            EXPECT_EQ(given.count(key) ? given.at(key) : std::to_string(got), std::to_string(got)) << key;
        const std::string want = given.at("body");  // every case names it
        std::string whole = want.substr(want[0] == '<');
        if (whole[0] == '@') whole = ReadFileBytes(Widen(served + whole.substr(1)));
        const bool part = want[0] == '<' && body.size() < whole.size() && whole.compare(0, body.size(), body) == 0;
        EXPECT_TRUE(block ? part || body == whole : want == "none")
            << (block ? std::to_string(body.size()) + " bytes" : "no block");
        EXPECT_TRUE(!with.count("ms") || ms < std::stoul(with.at("ms")) + 1000) << ms << " ms";
        std::vector<std::wstring> trace;
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) trace.push_back(Widen(line.substr(0, line.find('\r'))));
        EXPECT_TRUE(served.empty() ? LinesFit(trace, TraceLog::Get().Take()) : testing::AssertionSuccess());
        const std::string last = server.Requests().empty() ? "(none)" : server.Requests().back();
        EXPECT_TRUE(request.empty() || Fits(Widen(request), Widen(last))) << "the last request:\n" << last;
    }
}

TEST(Exchanges, AsTheCasesSay) {
    for (const auto& file : std::filesystem::directory_iterator(ROLM_TEST_DATA "/exchanges"))
        Play(file.path().string());
    HINTERNET root = nullptr;
    EXPECT_EQ(87u, InternetAccessServer(L"a", L"h", 80, INTERNET_SERVICE_HTTP, &root, nullptr)) << "a slot missing";
}

// Real server software that real_servers.sh starts (skipped otherwise).
TEST(Exchanges, RealServers) {
    if (getenv("ROLM_SERVED") == nullptr) GTEST_SKIP() << "run by tests/http/real_servers.sh";
    Play(ROLM_TEST_DATA "/real/cases.txt", getenv("ROLM_SERVED"));
}

TEST(Exchanges, EveryCallThatCanFailHasAStandIn) { EXPECT_TRUE(StandInsCover({"http"})); }

}  // namespace
