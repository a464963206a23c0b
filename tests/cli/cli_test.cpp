// rolm.exe as a user meets it: the runs of cli_test.cases.
#include <gtest/gtest.h>
#include <rolm/trace.h>
#include <shlwapi.h>

#include <algorithm>
#include <map>

#include "scripted_server.h"
#include "support.h"
#include "viewer.h"

using namespace rolm_test;

namespace {

ROLM_CHILD(exit) {  // "exit CODE MS": ends with CODE after MS milliseconds
    ::Sleep(_wtoi(argv[1]));
    return _wtoi(argv[0]);
}

ROLM_CHILD(tracer) {  // another program: traces a line once rolm.exe's window is up, ends with 6
    for (int i = 0; i < 600 && ::FindWindowW(L"Vellosk", L"rolm") == nullptr; ++i) ::Sleep(50);
    TraceInit(L"Other", 0);
    TraceWrite(L"Other > a line of another program");
    return 6;
}

// Whether output is exactly the lines, each ended by "\n"; where the last ends in "...", whether it holds them.
bool Shows(const std::string& output, const std::vector<std::wstring>& lines) {
    std::string want;
    for (const std::wstring& line : lines) want += Utf8(line) + "\n";
    const bool part = want.size() > 3 && want.compare(want.size() - 4, 4, "...\n") == 0;
    return part ? output.find(want.substr(0, want.size() - 4)) != std::string::npos : output == want;
}

// Runs a case with stdout and stderr in files (shareable: the first window on a new desktop starts a desktop
// process that inherits them) and checks its status and output.
void RunRolm(const Case& c, Values values) {
    DWORD pid = 0;
    const OwnHandle child(c.Get("child").empty() ? nullptr : StartProgram(ChildCommandLine(c.Text("child")), &pid));
    values.insert(values.end(), {{L"{pid}", std::to_wstring(pid)}, {L"{self}", ProgramPath()}});
    std::wstring args = Widen(http_test::Expand(Utf8(Expand(c.Text("run"), values))));
    std::vector<std::wstring> names;  // the environment words in front
    for (size_t space; (space = args.find(L' ')) > args.find(L'='); args.erase(0, space + 1)) {
        const size_t is = args.find(L'=');
        names.push_back(args.substr(0, is));
        ::SetEnvironmentVariableW(names.back().c_str(), args.substr(is + 1, space - is - 1).c_str());
    }
    TempDir dir;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    const auto capture = [&](const wchar_t* name) {
        return ::CreateFileW((dir / name).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             CREATE_ALWAYS, 0, nullptr);
    };
    OwnHandle out(capture(L"out")), err(capture(L"err"));
    std::wstring desktop = c.Text("desktop");
    STARTUPINFOW si = {sizeof si, nullptr, desktop.empty() ? nullptr : &desktop[0]};
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = out.get();
    si.hStdError = err.get();
    const bool xp = args[0] == L'@';
    const std::wstring program = ProgramDir() + (xp ? L"rolm-winxp.exe" : L"rolm.exe");
    const DWORD status = RunProgram(L"\"" + program + L"\" " + args.substr(xp), 60000, &si);
    for (const std::wstring& name : names) ::SetEnvironmentVariableW(name.c_str(), nullptr);
    const std::string stdout_ = ReadFileBytes(dir / L"out"), stderr_ = ReadFileBytes(dir / L"err");
    const std::vector<std::wstring> lines = Expand(c.lines, values);
    const auto split = std::find(lines.begin(), lines.end(), L"stderr:");
    SCOPED_TRACE(c.source);
    EXPECT_EQ(c.Number("status"), status) << stdout_ << stderr_;
    EXPECT_TRUE(Shows(stdout_, {lines.begin(), split})) << "stdout:\n" << stdout_;
    EXPECT_TRUE(Shows(stderr_, {split + (split != lines.end()), lines.end()})) << "stderr:\n" << stderr_;
    EXPECT_TRUE(c.Get("lacks").empty() || stdout_.find(c.Get("lacks")) == std::string::npos) << stdout_;
}

TEST(Cli, Runs) {
    TempDir dir;
    ::SHDeleteKeyW(HKEY_CURRENT_USER, L"Software\\rolm-cli");
    const std::map<std::string, std::string> replies = {  // by the request line and the body: others go unanswered
        {"GET /x?y=1 HTTP/1.1",
         http_test::Response("200 OK", "Content-Length: 12\r\nConnection: close\r\n", "hello, rolm!")},
        {"POST /form HTTP/1.1 a=b", http_test::Response("200 OK", "Content-Length: 2\r\nConnection: close\r\n", "ok")},
        {"GET /c HTTP/1.1", http_test::Response("200 OK", "Transfer-Encoding: chunked\r\n",
                                                "3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n")},
        {"POST /d HTTP/1.1 x=1", http_test::Response("200 OK", "Content-Length: 6\r\n", "abcdef")}};
    http_test::ScriptedServer server([&](const std::string& request) {
        const std::string body = request.substr(request.find("\r\n\r\n") + 4);
        const auto reply = replies.find(request.substr(0, request.find('\r')) + (body.empty() ? "" : " " + body));
        if (reply == replies.end()) ::Sleep(3000);  // silent: the client's time limit runs out
        return reply == replies.end() ? std::string() : reply->second;
    });
    const Values values = {{L"{dir}", dir.path()}, {L"{pages}", ProgramDir() + L"cli-pages"},  // pages/ copied
                           {L"{port}", std::to_wstring(server.port())}};
    for (const Case& c : Cases("runs")) RunRolm(c, values);
    ::SHDeleteKeyW(HKEY_CURRENT_USER, L"Software\\rolm-cli");
    EXPECT_EQ(5u, server.Requests().size()) << "one request a run";
}

// The prefix's driver is "null" (scripts/wine-prefix.sh), restored afterwards.
TEST(Cli, TraceWithoutAWindowSaysSo) {
    const wchar_t* const drivers = L"Software\\Wine\\Drivers";
    ASSERT_EQ(0u, ::SHSetValueW(HKEY_CURRENT_USER, drivers, L"Graphics", REG_SZ, L"none", 10));
    RunRolm(Cases("no display")[0], {});
    ::SHSetValueW(HKEY_CURRENT_USER, drivers, L"Graphics", REG_SZ, L"null", 10);
}

// A viewer still gets all three copies of the other program's line.
TEST(Cli, AnotherProgramTracingMeanwhile) {
    Viewer viewer(L"--vellosk --wendlook");
    RunRolm(Cases("tracing")[0], {});
    std::vector<std::wstring> got;
    for (const std::wstring& record : viewer.Records())
        if (record.find(L"Other >") != record.npos) got.push_back(record);
    const std::wstring line = L"Other Other > a line of another program";
    EXPECT_TRUE(LinesFit({L"qrv - - #:#:#,# " + line, L"vellosk 1 80 " + line, L"wendlook 0 40 " + line}, got));
}

}  // namespace
