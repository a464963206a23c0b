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
    values.push_back({L"{pid}", std::to_wstring(pid)});
    values.push_back({L"{self}", ProgramPath()});
    std::wstring args = Widen(http_test::Expand(Utf8(Expand(c.Text("run"), values))));
    std::vector<std::wstring> names;  // the environment words in front
    for (size_t space; (space = args.find(L' ')) > args.find(L'='); args.erase(0, space + 1)) {
        const size_t is = args.find(L'=');
        names.push_back(args.substr(0, is));
        ::SetEnvironmentVariableW(names.back().c_str(), args.substr(is + 1, space - is - 1).c_str());
    }
    TempDir dir;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    OwnHandle out(::CreateFileW((dir / L"out").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                CREATE_ALWAYS, 0, nullptr));
    OwnHandle err(::CreateFileW((dir / L"err").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                CREATE_ALWAYS, 0, nullptr));
    std::wstring desktop = c.Text("desktop");
    STARTUPINFOW si = {sizeof si, nullptr, desktop.empty() ? nullptr : &desktop[0]};
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = out.get();
    si.hStdError = err.get();
    const bool xp = args[0] == L'@';
    std::wstring line = L"\"" + ProgramDir() + (xp ? L"rolm-winxp.exe\" " : L"rolm.exe\" ") + args.substr(xp);
    PROCESS_INFORMATION pi = {};
    for (int i = 0; i < 5; ++i, ::Sleep(200))  // Wine now and then refuses a start while another child ends
        if (::CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) break;
    const OwnHandle process(pi.hProcess), thread(pi.hThread);
    for (const std::wstring& name : names) ::SetEnvironmentVariableW(name.c_str(), nullptr);
    DWORD status = ~0u;
    if (::WaitForSingleObject(pi.hProcess, 60000) != WAIT_OBJECT_0) ::TerminateProcess(pi.hProcess, ~0u);
    ::GetExitCodeProcess(pi.hProcess, &status);
    out.reset();
    err.reset();
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
    WriteFileBytes(dir / L"zero.html", std::string("<p>\0<input type=password>", 26));
    const wchar_t page16[] = L"\xFEFF<input type=password>";
    WriteFileBytes(dir / L"page16.html", std::string(reinterpret_cast<const char*>(page16), sizeof page16 - 2));
    WriteFileBytes(dir / L"form.html", std::string("<p>\0<input name=pw type=password>", 34));
    ::SHDeleteKeyW(HKEY_CURRENT_USER, L"Software\\rolm-cli");
    const std::map<char, std::string> replies = {  // by the path's first letter
        {'x', http_test::Response("200 OK", "Content-Length: 12\r\nConnection: close\r\n", "hello, rolm!")},
        {'f', http_test::Response("200 OK", "Content-Length: 2\r\nConnection: close\r\n", "ok")},
        {'c', http_test::Response("200 OK", "Transfer-Encoding: chunked\r\n",
                                  "3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n")},
        {'d', http_test::Response("200 OK", "Content-Length: 6\r\n", "abcdef")}};
    http_test::ScriptedServer server([&](const std::string& request) {
        const auto reply = replies.find(request[request.find(' ') + 2]);
        if (reply == replies.end()) ::Sleep(3000);  // silent: the client's time limit runs out
        return reply == replies.end() ? std::string() : reply->second;
    });
    for (const Case& c : Cases("runs"))
        RunRolm(c, {{L"{dir}", dir.path()}, {L"{port}", std::to_wstring(server.port())}});
    ::SHDeleteKeyW(HKEY_CURRENT_USER, L"Software\\rolm-cli");
    ASSERT_EQ(5u, server.Requests().size());
    EXPECT_EQ(0u, server.Requests()[0].find("GET /x?y=1 HTTP/1.1\r\n"));
    EXPECT_EQ(0u, server.Requests()[1].find("POST /form HTTP/1.1\r\n"));
    EXPECT_EQ("a=b", server.Requests()[1].substr(server.Requests()[1].size() - 3));
}

TEST(Cli, TraceWithoutAWindowSaysSo) {
    OwnKey drivers;
    ASSERT_EQ(0, ::RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\Drivers", 0, KEY_ALL_ACCESS, drivers.put()));
    wchar_t saved[64] = L"null";
    DWORD size = sizeof saved - sizeof *saved;
    ::RegQueryValueExW(drivers.get(), L"Graphics", nullptr, nullptr, reinterpret_cast<BYTE*>(saved), &size);
    ::RegSetValueExW(drivers.get(), L"Graphics", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"none"), 10);
    RunRolm(Cases("no display")[0], {});
    const DWORD bytes = static_cast<DWORD>(wcslen(saved) + 1) * sizeof *saved;
    ::RegSetValueExW(drivers.get(), L"Graphics", 0, REG_SZ, reinterpret_cast<const BYTE*>(saved), bytes);
}

// A viewer still gets all three copies of the other program's line.
TEST(Cli, AnotherProgramTracingMeanwhile) {
    Viewer viewer(L"--vellosk --wendlook");
    RunRolm(Cases("tracing")[0], {});
    std::vector<std::wstring> got;  // "SINK TEXT", Qrv's without its time stamp
    for (const ViewerRecord& r : viewer.Records())
        if (r.text.find(L"Other >") != r.text.npos)
            got.push_back(Widen(r.sink) + L" " + r.text.substr(r.sink == "qrv" ? 12 : 0));
    const std::wstring line = L"Other Other > a line of another program";
    EXPECT_EQ((std::vector<std::wstring>{L"qrv " + line, L"vellosk " + line, L"wendlook " + line}), got);
}

}  // namespace
