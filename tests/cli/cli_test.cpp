// rolm.exe as a user meets it: each row runs it with its arguments and
// environment and checks the full exit status (a Unix exit status under Wine
// would keep 8 bits of it) and what it printed on stdout and stderr.
#include <aclapi.h>
#include <gtest/gtest.h>
#include <shlwapi.h>

#include "common/unique.h"
#include "scripted_server.h"
#include "support.h"

namespace {

ROLM_CHILD(exit) {  // "exit CODE MS": ends with CODE after MS milliseconds
    ::Sleep(_wtoi(argv[1]));
    return _wtoi(argv[0]);
}

std::wstring Self() {
    wchar_t path[MAX_PATH];
    return std::wstring(path, ::GetModuleFileNameW(nullptr, path, MAX_PATH));
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
    auto file = [&](const wchar_t* name) {
        return rolm::UniqueFile(::CreateFileW((dir / name).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS, 0, nullptr));
    };
    rolm::UniqueFile out = file(L"out"), err = file(L"err");
    STARTUPINFOW si = {sizeof si};
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = out.get();
    si.hStdError = err.get();
    si.lpDesktop = desktop;
    std::wstring line = L"\"" + rolm_test::ProgramDir() + exe + L"\" " + args;
    PROCESS_INFORMATION pi = {};
    for (int i = 0; i < 5 && !::CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi); ++i)
        ::Sleep(200);  // Wine now and then refuses a start while another child ends
    rolm::UniqueHandle process(pi.hProcess), thread(pi.hThread);
    Output run;
    if (::WaitForSingleObject(pi.hProcess, 60000) != WAIT_OBJECT_0) ::TerminateProcess(pi.hProcess, ~0u);
    ::GetExitCodeProcess(pi.hProcess, &run.status);
    out.reset();
    err.reset();
    run.out = rolm_test::ReadFileBytes(dir / L"out");
    run.err = rolm_test::ReadFileBytes(dir / L"err");
    return run;
}

struct Row {
    const wchar_t* args;  // {dir} {port} {pid} {self} {nodrive}, {xN}: N times "x"
    const wchar_t* env;   // "NAME=value;..." for this run
    DWORD status;
    const wchar_t* out;   // a fragment of stdout; "=..." the whole of it
    const wchar_t* err;   // the same for stderr
};

// Whether the world group's entry allows writing (Wine rebuilds it from the mode bits).
bool WorldMayWrite(const std::wstring& path) {
    PACL acl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &acl, nullptr, &sd) != 0) return false;
    rolm::UniqueLocal owner(sd);
    BYTE world[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof world;
    ::CreateWellKnownSid(WinWorldSid, nullptr, world, &size);
    for (DWORD i = 0; acl != nullptr && i < acl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (::GetAce(acl, i, reinterpret_cast<void**>(&ace)) && ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
            ::EqualSid(&ace->SidStart, world) && (ace->Mask & (FILE_WRITE_DATA | GENERIC_WRITE | GENERIC_ALL)) != 0)
            return true;
    }
    return false;
}

class Cli : public testing::Test {
protected:
    rolm_test::TempDir dir_;
    WORD port_ = 0;

    std::wstring Expand(std::wstring text, const std::wstring& pid = L"") const {
        DWORD drives = ::GetLogicalDrives(), letter = 1;
        while (drives & (1u << letter)) ++letter;
        const std::wstring places[][2] = {{L"{dir}", dir_.path()}, {L"{port}", std::to_wstring(port_)}, {L"{pid}", pid},
                                          {L"{self}", Self()}, {L"{nodrive}", std::wstring(1, wchar_t(L'A' + letter))}};
        for (const auto& place : places)
            for (size_t at = 0; (at = text.find(place[0], at)) != text.npos; at += place[1].size())
                text.replace(at, place[0].size(), place[1]);
        for (size_t at; (at = text.find(L"{x")) != text.npos;)
            text.replace(at, text.find(L'}', at) + 1 - at, _wtoi(text.c_str() + at + 2), L'x');
        return text;
    }
    bool Shows(const std::string& output, const std::wstring& fragment) const {
        std::string want(fragment.size() * 3 + 1, '\0');
        want.resize(::WideCharToMultiByte(CP_UTF8, 0, fragment.c_str(), -1, &want[0], int(want.size()), nullptr, nullptr) - 1);
        return want[0] == '=' ? output == want.substr(1) : output.find(want) != output.npos;
    }
    void RunRows(const std::vector<Row>& rows, const std::wstring& exe = L"rolm.exe") {
        for (const Row& row : rows) {
            DWORD pid = 0;
            rolm::UniqueHandle child(wcsstr(row.args, L"{pid}") ? rolm_test::StartProgram(rolm_test::ChildCommandLine(L"exit", L"6 500"), &pid) : nullptr);
            const std::wstring args = Expand(row.args, std::to_wstring(pid)), env = Expand(row.env);
            std::vector<std::wstring> names;
            for (size_t at = 0, end; at < env.size(); at = end + 1) {
                end = std::min(env.find(L';', at), env.size());
                names.push_back(env.substr(at, env.find(L'=', at) - at));
                ::SetEnvironmentVariableW(names.back().c_str(), env.substr(at + names.back().size() + 1, end - at - names.back().size() - 1).c_str());
            }
            Output run = Rolm(args, exe);
            for (const std::wstring& name : names) ::SetEnvironmentVariableW(name.c_str(), nullptr);
            SCOPED_TRACE(testing::Message() << exe.c_str() << " " << args.substr(0, 80).c_str());
            EXPECT_EQ(row.status, run.status) << run.out << run.err;
            EXPECT_TRUE(Shows(run.out, Expand(row.out))) << "stdout:\n" << run.out;
            EXPECT_TRUE(Shows(run.err, Expand(row.err))) << "stderr:\n" << run.err;
        }
    }
};

TEST_F(Cli, BadInputIsNamedAndNothingIsSent) {
    rolm_test::WriteFileBytes(dir_ / L"zero.html", std::string("<p>\0<input type=password>", 26));
    RunRows({
        {L"ping 127.0.0.1 --size 4294967328", L"", 87, L"=", L"--size: 4294967328 is not a number from 0 to 2147483647"},
        {L"ping 127.0.0.1 --bogus 3", L"", 87, L"=", L"rolm ping: unknown option --bogus\nusage: rolm ping HOST"},
        {L"ping 127.0.0.1 --timeout", L"", 87, L"=", L"--timeout needs a value"},
        {L"filetime -5", L"", 87, L"=", L"VALUE: -5 is not a number from 0 to 18446744073709551615"},
        {L"filetime 99999999999999999999999", L"", 87, L"=", L"VALUE: 99999999999999999999999 is not"},
        {L"filetime 0x1g", L"", 87, L"=", L"VALUE: 0x1g is not"},
        {L"error 99999999999", L"", 87, L"=", L"CODE: 99999999999 is not a number from 0 to 4294967295"},
        {L"grant {dir} --inherit 256", L"", 87, L"=", L"--inherit: 256 is not a number from 0 to 255"},
        {L"launch x.exe --wait -2", L"", 87, L"=", L"--wait: -2 is not a number from 0 to 4294967295 (or -1"},
        {L"wait abc", L"", 87, L"=", L"PID: abc is not a number"},
        {L"folder bogus", L"", 87, L"=", L"unknown folder name bogus; known: desktop, personal, appdata,"},
        {L"regkey HKXX\\Software\\x", L"", 87, L"=", L"unknown root HKXX; use HKCU, HKLM, HKCR or HKU"},
        {L"trace hello extra", L"", 87, L"=", L"unexpected word extra\nusage: rolm trace MESSAGE\nrolm trace: error 87: "},
        {L"trace hello --quiet", L"", 0, L"=", L"="},
        {L"get http://127.0.0.1:99999/", L"", 87, L"=", L"URL: port 99999 is not a number from 1 to 65535"},
        {L"get http://127.0.0.1:1/\x4E2D", L"", 87, L"=", L"URL path: \"/\x4E2D\" has characters that the ANSI code page"},
        {L"resolve {x300}", L"", 87, L"=", L"HOST: 300 bytes long, more than 255; nothing was sent"},
        {L"resolve \x4E2D.example", L"", 87, L"=", L"characters that the ANSI code page"},
        {L"config", L"ROLM_SERVER=h;ROLM_PORT=70000", 87, L"=", L"ROLM_PORT: 70000 is not a number from 0 to 65535"},
        {L"config", L"ROLM_SERVER=h;ROLM_PORT=abc", 87, L"=", L"ROLM_PORT: abc is not"},
        {L"config", L"ROLM_SERVER=h;ROLM_URL={x1100}", 122, L"=", L"ROLM_URL: 1100 characters, more than 1023"},
        {L"config", L"ROLM_SERVER=h;ROLM_USER={x100}", 122, L"=", L"SetServerConfig (a ROLM_* value too long"},
        {L"server-post x=1", L"", 87, L"=", L"set ROLM_SERVER (and ROLM_PORT, default 80, ROLM_URL, ROLM_USER, ROLM_PASSWORD"},
        {L"signin-page {dir}\\zero.html", L"", 13, L"=", L"zero.html: holds a zero byte at character 3, before its end"},
    });
}

TEST_F(Cli, FailuresShowTheFullCodeAndItsText) {
    RunRows({
        {L"error 12029", L"", 0, L"=The attempt to connect to the server failed.\n", L"="},
        {L"error 10060", L"", 0, L"WSAETIMEDOUT", L"="},
        {L"error 5", L"", 0, L"Access denied", L"="},
        {L"error notanumber", L"", 87, L"=", L"CODE: notanumber is not"},
        {L"get http://127.0.0.1:1/", L"", 12029, L"status == 0\n", L"request: error 12029: The attempt to connect to the server failed."},
        {L"launch C:\\nope\\x.exe", L"", 3, L"state: 4294967295 (not started)\nlaunched: 0\nerror: 3 (", L"LaunchProcess: error 3: "},
        {L"launch no-such-program.exe --wait 1000", L"", 2, L"state: 4294967295 (not started)\nlaunched: 0\nerror: 2", L"LaunchProcess: error 2"},
        {L"mkdir {nodrive}:\\x", L"", 3, L"CreateDirectoryTree({nodrive}:\\x) has failed -> error == 3", L"CreateDirectories: error 3: "},
        {L"mkdir Data\\Logs", L"", 161, L"CreateDirectories > (Data\\Logs)", L"CreateDirectories: error 161"},
        {L"grant {dir}\\missing", L"", 2, L"", L"AddAccessRights: error 2"},
        {L"checkkey HKCU\\Software\\rolm-cli\\missing", L"", 2, L"", L"CheckRegKey: error 2"},
        {L"regkey HKCU\\\\x", L"", 161, L"CreateRegKeys > returns error 161 for the key \\x", L"CreateRegKeys: error 161"},
        {L"ini", L"", 2, L"rolm GetIniFile > error == (2), path == (", L"GetIniFile: error 2"},
        {L"wait 0", L"", 87, L"=", L"OpenProcess: error 87"},
    });
}

TEST_F(Cli, CommandsDoWhatTheySay) {
    const std::string page16("\xFF\xFE<\0i\0n\0p\0u\0t\0 \0t\0y\0p\0e\0=\0p\0a\0s\0s\0w\0o\0r\0d\0>\0", 44);
    rolm_test::WriteFileBytes(dir_ / L"page16.html", page16);
    ::SHDeleteKeyW(HKEY_CURRENT_USER, L"Software\\rolm-cli");
    RunRows({
        {L"trace hello", L"", 0, L"=rolm hello\n", L"="},
        {L"filetime 12345678", L"", 0, L"1601-01-01 00:00:01 234ms 567.8", L"="},
        {L"--quiet find aaaa aa", L"", 0, L"=matches == 2\n0\n2\n", L"="},
        {L"config", L"ROLM_SERVER=example.test;ROLM_PORT=8080;ROLM_URL=/api;ROLM_USER=me;ROLM_PASSWORD=hunter2", 0,
         L"=wPort == 8080\nszServer == example.test\nszUrl == /api\nszHttpLogin == me\nszHttpPswd == **********\n", L"="},
        {L"signin-page {dir}\\page16.html", L"", 0, L"=1\n", L"="},
        {L"mkdir {dir}\\a\\b\\", L"", 0, L"=rolm CreateDirectories > ({dir}\\a\\b\\)\n{dir}\\a\\b\\\n", L"="},
        {L"--quiet folder windows", L"", 0, L"=C:\\windows\n", L"="},
        {L"folder 0x25 --quiet", L"", 0, L"=C:\\windows\\system32\n", L"="},
        {L"--quiet regkey HKCU\\Software\\rolm-cli\\a\\b --volatile", L"", 0, L"=created HKCU\\Software\\rolm-cli\\a\\b (volatile)\n", L"="},
        {L"--quiet regkey HKCU\\Software\\rolm-cli\\a\\b\\", L"", 0, L"=opened HKCU\\Software\\rolm-cli\\a\\b\\\n", L"="},
        {L"checkkey HKCU\\Software\\rolm-cli\\a\\b --quiet", L"", 0, L"=HKCU\\Software\\rolm-cli\\a\\b exists\n", L"="},
        {L"--quiet wait {pid} --timeout 60000", L"", 0, L"result: 0\nexit code: 6\nerror: 0\n", L"="},
        {L"mkdir {dir}\\open\\sub --grant", L"", 0, L"{dir}\\open\\sub\n", L"="},
        {L"grant {dir}\\open --mask 0x80000000 --inherit 0", L"", 0, L"=granted 0x80000000 (inheritance 0) to S-1-1-0 on {dir}\\open\n", L"="},
    });
    ::SHDeleteKeyW(HKEY_CURRENT_USER, L"Software\\rolm-cli");
    EXPECT_TRUE(WorldMayWrite(dir_ / L"open\\sub"));
    EXPECT_FALSE(WorldMayWrite(dir_ / L"open"));  // a read grant adds no write
}

// Both ways of starting a program: the shell (rolm.exe) and CreateProcessW (a copy registered as XP).
TEST_F(Cli, LaunchWaitsAndReadsTheExitCode) {
    for (const wchar_t* exe : {L"rolm.exe", L"rolm-winxp.exe"})
        RunRows({{L"--quiet launch \"{self}\" --args \"--child exit 7 0\" --wait -1", L"", 0,
                  L"=state: 0 (ended)\nlaunched: 1\nerror: 0\nexit code: 7\n", L"="}}, exe);
}

TEST_F(Cli, GetAndPostAgainstAScriptedServer) {
    http_test::ScriptedServer server({{http_test::Response("200 OK", "Content-Length: 12\r\nConnection: close\r\n", "hello, rolm!")},
                                      {http_test::Response("200 OK", "Content-Length: 2\r\nConnection: close\r\n", "ok")}});
    port_ = server.port();
    RunRows({
        {L"get http://127.0.0.1:{port}/x?y=1", L"", 0, L"status == 200\nlength == 12\nhello, rolm!\n", L"="},
        {L"--quiet post http://127.0.0.1:{port}/form a=b --user u --password pw", L"", 0, L"=status == 200\nlength == 2\nok\n", L"="},
    });
    ASSERT_EQ(2u, server.Requests().size());
    EXPECT_EQ(0u, server.Requests()[0].find("GET /x?y=1 HTTP/1.1\r\n"));
    EXPECT_EQ(0u, server.Requests()[1].find("POST /form HTTP/1.1\r\n"));
    EXPECT_EQ("a=b", server.Requests()[1].substr(server.Requests()[1].size() - 3));
}

// With no driver for its desktop the trace window can't be made: the trace
// command says so instead of printing nothing.
TEST_F(Cli, TraceWithoutAWindowSaysSo) {
    rolm::UniqueKey drivers;
    ASSERT_EQ(0, ::RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\Drivers", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, drivers.put(), nullptr));
    wchar_t saved[64] = L"";
    DWORD size = sizeof saved;
    ::RegQueryValueExW(drivers.get(), L"Graphics", nullptr, nullptr, reinterpret_cast<BYTE*>(saved), &size);
    ::RegSetValueExW(drivers.get(), L"Graphics", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"none"), 10);
    wchar_t desktop[] = L"rolm-cli-nodisplay";
    Output run = Rolm(L"trace hello", L"rolm.exe", desktop);
    ::RegSetValueExW(drivers.get(), L"Graphics", 0, REG_SZ, reinterpret_cast<const BYTE*>(saved), DWORD(wcslen(saved) + 1) * 2);
    EXPECT_NE(0u, run.status);
    EXPECT_TRUE(Shows(run.err, L"trace window: error ")) << run.err;
}

// The whole reachability check of loopback (an ICMP echo through the system service).
TEST_F(Cli, NetCheckOfLoopback) {
    RunRows({{L"check 127.0.0.1", L"", 0, L"rolm SendIcmpEcho > IcmpSendEcho(...) sent icmp message to 127.0.0.1\n"
              L"rolm SendIcmpEcho > received 1 icmp message response from 127.0.0.1\n", L"="}});
}

}  // namespace
