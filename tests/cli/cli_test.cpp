// rolm.exe as a user meets it: each row runs it and checks the full exit
// status (a Unix exit status under Wine would keep 8 bits of it) and what it
// printed on stdout and stderr.
#include <gtest/gtest.h>
#include <rolm/trace.h>
#include <shlwapi.h>

#include "common/unique.h"
#include "scripted_server.h"
#include "support.h"
#include "viewer.h"

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

struct Output {
    DWORD status = ~0u;
    std::string out, err;
};

// rolm.exe (or a copy) with stdout and stderr in files, on the given desktop
// (whose first window starts a desktop process that inherits the files too).
Output Rolm(const std::wstring& args, const std::wstring& exe = L"rolm.exe", LPWSTR desktop = nullptr) {
    rolm_test::TempDir dir;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    rolm::UniqueFile files[2];
    for (int i = 0; i < 2; ++i)
        files[i].reset(::CreateFileW((dir / (i ? L"err" : L"out")).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     &inherit, CREATE_ALWAYS, 0, nullptr));
    STARTUPINFOW si = {sizeof si, nullptr, desktop};
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = files[0].get();
    si.hStdError = files[1].get();
    std::wstring line = L"\"" + rolm_test::ProgramDir() + exe + L"\" " + args;
    PROCESS_INFORMATION pi = {};
    for (int i = 0; i < 5 && !::CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi); ++i)
        ::Sleep(200);  // Wine now and then refuses a start while another child ends
    rolm::UniqueHandle process(pi.hProcess), thread(pi.hThread);
    Output run;
    if (::WaitForSingleObject(pi.hProcess, 60000) != WAIT_OBJECT_0) ::TerminateProcess(pi.hProcess, ~0u);
    ::GetExitCodeProcess(pi.hProcess, &run.status);
    files[0].reset();
    files[1].reset();
    run.out = rolm_test::ReadFileBytes(dir / L"out");
    run.err = rolm_test::ReadFileBytes(dir / L"err");
    return run;
}

struct Row {
    // Leading NAME=value words: the run's environment; "@": rolm-winxp.exe, which is
    // rolm.exe registered as XP (launch then takes the CreateProcessW path).
    // {dir} {port} {pid} (a child that ends with 6 after 500 ms) {tracer} (the "tracer" child's pid)
    // {self}, {xN}: N times "x".
    const wchar_t* args;
    DWORD status;
    const wchar_t* out;   // a fragment of stdout; "=..." the whole of it, "!..." one it lacks
    const wchar_t* err;   // the same for stderr
};

class Cli : public testing::Test {
protected:
    rolm_test::TempDir dir_;
    WORD port_ = 0;

    std::wstring Expand(std::wstring text, DWORD pid = 0) const {
        wchar_t self[MAX_PATH];
        const std::wstring places[][2] = {{L"{dir}", dir_.path()}, {L"{port}", std::to_wstring(port_)}, {L"{pid}", std::to_wstring(pid)},
                                          {L"{tracer}", std::to_wstring(pid)},
                                          {L"{self}", std::wstring(self, ::GetModuleFileNameW(nullptr, self, MAX_PATH))}};
        for (const auto& place : places)
            for (size_t at = 0; (at = text.find(place[0], at)) != text.npos; at += place[1].size())
                text.replace(at, place[0].size(), place[1]);
        for (size_t at; (at = text.find(L"{x")) != text.npos;)
            text.replace(at, text.find(L'}', at) + 1 - at, _wtoi(text.c_str() + at + 2), L'x');
        return text;
    }
    static bool Shows(const std::string& output, const std::wstring& fragment) {
        std::string want(fragment.size() * 3 + 1, '\0');
        want.resize(::WideCharToMultiByte(CP_UTF8, 0, fragment.c_str(), -1, &want[0], int(want.size()), nullptr, nullptr) - 1);
        if (want[0] == '!') return output.find(want.substr(1)) == output.npos;
        return want[0] == '=' ? output == want.substr(1) : output.find(want) != output.npos;
    }
    void RunRows(const std::vector<Row>& rows) {
        for (const Row& row : rows) {
            DWORD pid = 0;
            const bool tracer = wcsstr(row.args, L"{tracer}") != nullptr;
            const std::wstring verb = tracer ? L"tracer" : L"exit 6 500";
            rolm::UniqueHandle child(tracer || wcsstr(row.args, L"{pid}")
                                         ? rolm_test::StartProgram(rolm_test::ChildCommandLine(verb), &pid)
                                         : nullptr);
            std::wstring args = Expand(row.args, pid);
            std::vector<std::wstring> names;
            for (size_t space; (space = args.find(L' ')) > args.find(L'='); args.erase(0, space + 1)) {
                names.push_back(args.substr(0, args.find(L'=')));
                ::SetEnvironmentVariableW(names.back().c_str(), args.substr(names.back().size() + 1, space - names.back().size() - 1).c_str());
            }
            const std::wstring exe = args[0] == L'@' ? L"rolm-winxp.exe" : L"rolm.exe";
            Output run = Rolm(args.substr(args[0] == L'@'), exe);
            for (const std::wstring& name : names) ::SetEnvironmentVariableW(name.c_str(), nullptr);
            SCOPED_TRACE(testing::Message() << exe.c_str() << " " << args.substr(0, 80).c_str());
            EXPECT_EQ(row.status, run.status) << run.out << run.err;
            EXPECT_TRUE(Shows(run.out, Expand(row.out))) << "stdout:\n" << run.out;
            EXPECT_TRUE(Shows(run.err, Expand(row.err))) << "stderr:\n" << run.err;
        }
    }
};

// Every failure names what was wrong and ends with the full code and its text.
TEST_F(Cli, BadInputAndFailures) {
    rolm_test::WriteFileBytes(dir_ / L"zero.html", std::string("<p>\0<input type=password>", 26));
    RunRows({
        {L"ping 127.0.0.1 --size 4294967328", 87, L"=", L"--size: 4294967328 is not a number from 0 to 2147483647"},
        {L"ping 127.0.0.1 --bogus 3", 87, L"=", L"rolm ping: unknown option --bogus\nusage: rolm ping HOST"},
        {L"route 127.0.0.1 --max-hops", 87, L"=", L"--max-hops needs a value"},
        {L"filetime -5", 87, L"=", L"VALUE: -5 is not a number from 0 to 18446744073709551615"},
        {L"filetime 99999999999999999999999", 87, L"=", L"VALUE: 99999999999999999999999 is not"},
        {L"error 99999999999", 87, L"=", L"CODE: 99999999999 is not a number from 0 to 4294967295"},
        {L"grant {dir} --inherit 256", 87, L"=", L"--inherit: 256 is not a number from 0 to 255"},
        {L"launch x.exe --wait -2", 87, L"=", L"--wait: -2 is not a number from 0 to 4294967295 (or -1"},
        {L"wait abc", 87, L"=", L"PID: abc is not a number"},
        {L"folder bogus", 87, L"=", L"unknown folder name bogus; known: desktop, personal, appdata,"},
        {L"regkey HKXX\\Software\\x", 87, L"=", L"unknown root HKXX; use HKCU, HKLM, HKCR or HKU"},
        {L"trace hello extra", 87, L"=", L"unexpected word extra\nusage: rolm trace MESSAGE\nrolm trace: error 87: "},
        {L"trace hello --quiet", 0, L"=", L"="},
        {L"get http://127.0.0.1:99999/", 87, L"=", L"URL: port 99999 is not a number from 1 to 65535"},
        {L"get http://127.0.0.1:1/\x4E2D", 87, L"=", L"URL path: \"/\x4E2D\" has characters that the ANSI code page"},
        {L"resolve {x300}", 87, L"=", L"HOST: 300 bytes long, more than 255; nothing was sent"},
        {L"resolve \x4E2D.example", 87, L"=", L"characters that the ANSI code page"},
        {L"ROLM_SERVER=\x4E2D check", 87, L"=", L"ROLM_SERVER: \"\x4E2D\" has characters that the ANSI code page"},
        {L"ROLM_SERVER=h ROLM_PORT=70000 config", 87, L"=", L"ROLM_PORT: 70000 is not a number from 0 to 65535"},
        {L"ROLM_SERVER=h ROLM_PORT=abc config", 87, L"=", L"ROLM_PORT: abc is not"},
        {L"ROLM_SERVER=h ROLM_URL={x1100} config", 122, L"=", L"ROLM_URL: 1100 characters, more than 1023"},
        {L"ROLM_SERVER=h ROLM_USER={x100} config", 122, L"=", L"SetServerConfig (a ROLM_* value too long"},
        {L"server-post x=1", 87, L"=", L"set ROLM_SERVER (and ROLM_PORT, default 80, ROLM_URL, ROLM_USER, ROLM_PASSWORD"},
        {L"signin-page {dir}\\zero.html", 13, L"=", L"zero.html: holds a zero byte at character 3, before its end"},
        {L"error 12029", 0, L"=The attempt to connect to the server failed.\n", L"="},
        {L"error 10060", 0, L"WSAETIMEDOUT", L"="},
        {L"get http://127.0.0.1:1/", 12029, L"status == 0\n", L"=request: error 12029: The attempt to connect to the server failed.\n"},
        {L"get http://127.0.0.1:1/ --max-body -1", 87, L"=", L"--max-body: -1 is not a number from 0 to 4294967295"},
        {L"launch C:\\nope\\x.exe", 3, L"state: 4294967295 (not started)\nlaunched: 0\nerror: 3 (", L"LaunchProcess: error 3: "},
        {L"mkdir Data\\Logs", 161, L"CreateDirectories > (Data\\Logs)", L"CreateDirectories: error 161"},
        {L"grant {dir}\\missing", 2, L"", L"AddAccessRights: error 2"},
        {L"regkey HKCU\\\\x", 161, L"CreateRegKeys > returns error 161 for the key \\x", L"CreateRegKeys: error 161"},
        {L"ini", 2, L"rolm GetIniFile > error == (2), path == (", L"GetIniFile: error 2"},
    });
}

TEST_F(Cli, CommandsDoWhatTheySay) {
    rolm_test::WriteFileBytes(dir_ / L"page16.html", std::string("\xFF\xFE<\0i\0n\0p\0u\0t\0 \0t\0y\0p\0e\0=\0p\0a\0s\0s\0w\0o\0r\0d\0>\0", 44));
    ::SHDeleteKeyW(HKEY_CURRENT_USER, L"Software\\rolm-cli");
    rolm_test::WriteFileBytes(dir_ / L"form.html", std::string("<p>\0<input name=pw type=password>", 34));
    http_test::ScriptedServer server({{http_test::Response("200 OK", "Content-Length: 12\r\nConnection: close\r\n", "hello, rolm!")},
                                      {http_test::Response("200 OK", "Content-Length: 2\r\nConnection: close\r\n", "ok")},
                                      {http_test::Response("200 OK", "Transfer-Encoding: chunked\r\n", "3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n")},
                                      {http_test::Response("200 OK", "Content-Length: 6\r\n", "abcdef")}});
    port_ = server.port();
    RunRows({
        {L"trace hello", 0, L"=rolm hello\n", L"="},
        {L"filetime 12345678", 0, L"1601-01-01 00:00:01 234ms 567.8", L"="},
        {L"--quiet find aaaa aa", 0, L"=matches == 2\n0\n2\n", L"="},
        {L"ROLM_SERVER=example.test ROLM_PORT=8080 ROLM_URL=/api ROLM_USER=me ROLM_PASSWORD=hunter2 config", 0,
         L"=wPort == 8080\nszServer == example.test\nszUrl == /api\nszHttpLogin == me\nszHttpPswd == **********\n", L"="},
        {L"get http://127.0.0.1:{port}/x?y=1", 0, L"status == 200\nlength == 12\nhello, rolm!\n", L"="},
        {L"--quiet post http://127.0.0.1:{port}/form a=b --user u --password pw", 0, L"=status == 200\nlength == 2\nok\n", L"="},
        {L"--quiet get http://127.0.0.1:{port}/c --ex", 0, L"=status == 200\nlength == 5\nannounced == none\noutcome == complete\nabcde\n", L"="},
        {L"--quiet post http://127.0.0.1:{port}/d x=1 --max-body 4", 122,
         L"=status == 200\nlength == 4\nannounced == 6\noutcome == over the limit\nabcd\n", L"request: error 122: "},
        {L"signin-page {dir}\\page16.html", 0, L"=1\n", L"="},
        {L"signin-page {dir}\\form.html --form", 0, L"=1\n", L"="},
        {L"mkdir {dir}\\a\\b\\", 0, L"=rolm CreateDirectories > ({dir}\\a\\b\\)\n{dir}\\a\\b\\\n", L"="},
        {L"mkdir {dir}\\open\\sub --grant --quiet", 0, L"={dir}\\open\\sub\n", L"="},
        {L"grant {dir}\\open --mask 0x80000000 --inherit 0", 0, L"=granted 0x80000000 (inheritance 0) to S-1-1-0 on {dir}\\open\n", L"="},
        {L"--quiet folder windows", 0, L"=C:\\windows\n", L"="},
        {L"folder 0x25 --quiet", 0, L"=C:\\windows\\system32\n", L"="},
        {L"--quiet regkey HKCU\\Software\\rolm-cli\\a\\b --volatile", 0, L"=created HKCU\\Software\\rolm-cli\\a\\b (volatile)\n", L"="},
        {L"--quiet regkey HKCU\\Software\\rolm-cli\\a\\b\\", 0, L"=opened HKCU\\Software\\rolm-cli\\a\\b\\\n", L"="},
        {L"checkkey HKCU\\Software\\rolm-cli\\a\\b --quiet", 0, L"=HKCU\\Software\\rolm-cli\\a\\b exists\n", L"="},
        {L"--quiet wait {pid} --timeout 60000", 0, L"result: 0\nexit code: 6\nerror: 0\n", L"="},
        {L"--quiet launch \"{self}\" --args \"--child exit 7 0\" --wait -1", 0, L"=state: 0 (ended)\nlaunched: 1\nerror: 0\nexit code: 7\n", L"="},
        {L"@--quiet launch \"{self}\" --args \"--child exit 7 0\" --wait -1", 0, L"=state: 0 (ended)\nlaunched: 1\nerror: 0\nexit code: 7\n", L"="},
    });
    ::SHDeleteKeyW(HKEY_CURRENT_USER, L"Software\\rolm-cli");
    http_test::ScriptedServer silent([](const std::string&) { return ::Sleep(3000), std::string(); });
    port_ = silent.port();
    RunRows({{L"--quiet get http://127.0.0.1:{port}/ --timeout 300", 12002,
              L"=status == 0\nlength == 0\nannounced == none\noutcome == none\n", L"request: error 12002: "}});
    ASSERT_EQ(4u, server.Requests().size());
    EXPECT_EQ(0u, server.Requests()[0].find("GET /x?y=1 HTTP/1.1\r\n"));
    EXPECT_EQ(0u, server.Requests()[1].find("POST /form HTTP/1.1\r\n"));
    EXPECT_EQ("a=b", server.Requests()[1].substr(server.Requests()[1].size() - 3));
}

// A desktop whose graphics driver can't be loaded (Wine reads the driver's
// name when a desktop starts): the trace command says that its window is
// missing instead of printing nothing.
TEST_F(Cli, TraceWithoutAWindowSaysSo) {
    rolm::UniqueKey drivers;
    ASSERT_EQ(0, ::RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\Drivers", 0, KEY_ALL_ACCESS, drivers.put()));
    wchar_t saved[64] = L"null", desktop[] = L"rolm-cli-nodisplay";
    DWORD size = sizeof saved - sizeof *saved;
    ::RegQueryValueExW(drivers.get(), L"Graphics", nullptr, nullptr, reinterpret_cast<BYTE*>(saved), &size);
    ::RegSetValueExW(drivers.get(), L"Graphics", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"none"), 10);
    Output run = Rolm(L"trace hello", L"rolm.exe", desktop);
    ::RegSetValueExW(drivers.get(), L"Graphics", 0, REG_SZ, reinterpret_cast<const BYTE*>(saved), DWORD(wcslen(saved) + 1) * 2);
    EXPECT_EQ(31u, run.status);
    EXPECT_TRUE(Shows(run.err, L"trace lines are not shown\nrolm trace: error 31: General failure.\n")) << run.err;
}

// Another program that starts tracing while rolm.exe runs finds rolm.exe's
// window first: rolm.exe prints none of its lines, and a viewer still gets
// all three copies of each.
TEST_F(Cli, AnotherProgramTracingMeanwhile) {
    rolm_test::Viewer viewer(L"--vellosk --wendlook");
    RunRows({{L"wait {tracer} --timeout 60000", 0, L"!Other", L"="}});
    std::vector<std::wstring> got;  // "SINK TEXT", Qrv's without its time stamp
    for (const rolm_test::ViewerRecord& r : viewer.Records())
        if (r.text.find(L"Other >") != r.text.npos)
            got.push_back(rolm_test::Widen(r.sink) + L" " + r.text.substr(r.sink == "qrv" ? 12 : 0));
    const std::wstring line = L"Other Other > a line of another program";
    EXPECT_EQ((std::vector<std::wstring>{L"qrv " + line, L"vellosk " + line, L"wendlook " + line}), got);
}

// The whole reachability check of loopback (an ICMP echo through the system service).
TEST_F(Cli, NetCheckOfLoopback) {
    RunRows({{L"check 127.0.0.1", 0, L"rolm SendIcmpEcho > IcmpSendEcho(...) sent icmp message to 127.0.0.1\n"
              L"rolm SendIcmpEcho > received 1 icmp message response from 127.0.0.1\n", L"="}});
}

}  // namespace
