// Starting programs under both generations: this program is copied per
// Windows version, so the same tests run the CreateProcessW path (winxp) and
// the shell path (win7); each expectation is exact for the path it sees.
#include <gtest/gtest.h>
#include <objbase.h>
#include <rolm/process.h>

#include <algorithm>
#include <string>
#include <vector>

#include "children.h"
#include "support.h"

using process_test::Format;
using process_test::IsOpen;
using process_test::Recorded;
using process_test::RunArgs;
using Lines = std::vector<std::wstring>;

namespace {

DWORD H(HANDLE handle) { return (DWORD)(ULONG_PTR)handle; }
Lines Take() { return rolm_test::TraceLog::Get().Take(); }
void Clear() { rolm_test::TraceLog::Get().Clear(); }

std::wstring Self() {
    wchar_t path[MAX_PATH];
    DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, n);
}

bool Shell() { return IsVistaOrLater() != FALSE; }

// What to hand to the launch operations to run a child verb: the shell takes
// the parameters alone, CreateProcessW the whole command line.
std::wstring ChildLine(const std::wstring& verb, const std::wstring& args) {
    return Shell() ? L"--child " + verb + L" " + args : rolm_test::ChildCommandLine(verb, args);
}

// The trace of a successful start.
Lines Started(HANDLE process, const std::wstring& file, LPCWSTR verb, LPCWSTR params) {
    if (!Shell())
        return {L"CreateProcessExtended > XP and earlier",
                Format(L"CreateProcessExtended > CreateProcess has returned TRUE with hProcess == %08.8X", H(process))};
    auto text = [](LPCWSTR s) { return std::wstring(s != nullptr && *s ? s : L"NULL"); };
    return {L"CreateProcessExtended > Vista and later --> TRUE",
            L"CreateProcessExtended > CoInitializeEx(NULL, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE) has returned 00000000",
            L"CreateProcessExtended > SHELLEXECUTEINFO.lpVerb == " + text(verb),
            L"CreateProcessExtended > SHELLEXECUTEINFO.lpFile == " + file,
            L"CreateProcessExtended > SHELLEXECUTEINFO.lpParameters == " + text(params),
            Format(L"CreateProcessExtended > ShellExecuteEx has returned TRUE with SHELLEXECUTEINFO.hProcess == %08.8X",
                   H(process))};
}

Lines Closing(DWORD close, DWORD launched, DWORD error, DWORD state) {
    return {Format(L"LaunchProcess > fCloseHandle==(%d)", close), Format(L"LaunchProcess > fIsLaunched==(%d)", launched),
            Format(L"LaunchProcess > dwError==(%d)", error), Format(L"LaunchProcess > dwState==(%d)", state)};
}

Lines Tail(const Lines& lines, size_t n) {
    return Lines(lines.end() - static_cast<ptrdiff_t>(std::min(n, lines.size())), lines.end());
}

bool Contains(const Lines& lines, const std::wstring& part) {
    for (const std::wstring& line : lines)
        if (line.find(part) != std::wstring::npos) return true;
    return false;
}

DWORD EndOf(HANDLE process) {
    DWORD code = 0xBAD;
    if (::WaitForSingleObject(process, 60000) == WAIT_OBJECT_0) ::GetExitCodeProcess(process, &code);
    return code;
}

TEST(Launch, GenerationFollowsTheVersionTheProgramSees) {
    OSVERSIONINFOW info = {sizeof info};
    ::GetVersionExW(&info);
    EXPECT_EQ(info.dwMajorVersion >= 6, Shell());
    std::wstring self = Self();
    if (self.find(L"-winxp.exe") != std::wstring::npos) {
        EXPECT_FALSE(Shell());
    }
    if (self.find(L"-win7.exe") != std::wstring::npos) {
        EXPECT_TRUE(Shell());
    }
}

TEST(CreateProcessExtended, FillsTheRecordAsItsPathDoes) {
    rolm_test::TempDir dir;
    const std::wstring self = Self();
    struct Case {
        LPCWSTR verb;
    } cases[] = {{nullptr}, {L""}, {L"open"}};
    for (const Case& c : cases) {
        std::wstring file = dir / L"line.txt";
        std::wstring params = RunArgs(0, 0, file);
        std::wstring line = ChildLine(L"run", params);
        PROCESS_INFORMATION pi = {HANDLE(1), HANDLE(2), 3, 4};
        DWORD shell = 0xBAD, error = 0xBAD;
        Clear();
        ASSERT_TRUE(CreateProcessExtended(self.c_str(), &line[0], SW_HIDE, c.verb, &pi, &shell, &error));
        EXPECT_EQ(0u, error);
        EXPECT_EQ(Shell() ? 1u : 0u, shell);
        EXPECT_EQ(Started(pi.hProcess, self, c.verb, line.c_str()), Take());
        EXPECT_EQ(0u, EndOf(pi.hProcess));
        if (Shell()) {
            EXPECT_EQ(nullptr, pi.hThread);
            EXPECT_EQ(0u, pi.dwProcessId);
            EXPECT_EQ(0u, pi.dwThreadId);
            std::wstring recorded = Recorded(file);  // the shell puts the program in front
            EXPECT_EQ(L" " + line, recorded.substr(recorded.size() - std::min(recorded.size(), line.size() + 1)));
        } else {
            EXPECT_TRUE(IsOpen(pi.hThread));
            EXPECT_NE(0u, pi.dwProcessId);
            EXPECT_NE(0u, pi.dwThreadId);
            EXPECT_EQ(line, Recorded(file));  // handed on unchanged
        }
        ::CloseHandle(pi.hProcess);
        if (pi.hThread != nullptr) ::CloseHandle(pi.hThread);
        ::DeleteFileW(file.c_str());
    }
}

TEST(CreateProcessExtended, EmptyOrNullCommandLine) {
    // rolm.exe with no arguments prints its usage and ends with 87.
    const std::wstring tool = rolm_test::ProgramDir() + L"rolm.exe";
    for (bool null : {true, false}) {
        wchar_t empty[1] = L"";
        PROCESS_INFORMATION pi;
        Clear();
        ASSERT_TRUE(CreateProcessExtended(tool.c_str(), null ? nullptr : empty, SW_HIDE, nullptr, &pi, nullptr, nullptr));
        EXPECT_EQ(Started(pi.hProcess, tool, nullptr, nullptr), Take());
        EXPECT_EQ(87u, EndOf(pi.hProcess));
        ::CloseHandle(pi.hProcess);
        if (pi.hThread != nullptr) ::CloseHandle(pi.hThread);
    }
}

TEST(CreateProcessExtended, ProgramThatCannotStart) {
    rolm_test::TempDir dir;
    const std::wstring missing = dir / L"missing.exe";
    PROCESS_INFORMATION pi = {HANDLE(1), HANDLE(2), 3, 4};
    DWORD shell = 0xBAD, error = 0xBAD;
    Clear();
    EXPECT_FALSE(CreateProcessExtended(missing.c_str(), nullptr, SW_HIDE, L"open", &pi, &shell, &error));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), error);
    EXPECT_EQ(nullptr, pi.hProcess);
    EXPECT_EQ(nullptr, pi.hThread);
    EXPECT_EQ(0u, pi.dwProcessId);
    Lines expected;
    if (Shell()) {
        expected = Started(nullptr, missing, L"open", nullptr);
        expected.back() = L"CreateProcessExtended > ShellExecuteEx has returned FALSE with error code 2, SHELLEXECUTEINFO.hInstApp == 2";
    } else {
        expected = {L"CreateProcessExtended > XP and earlier",
                    L"CreateProcessExtended > CreateProcess has returned FALSE with error code 2"};
    }
    EXPECT_EQ(expected, Take());

    // LaunchProcess: no wait, nothing closed, the system's error.
    DWORD launched = 0xBAD, close = 1;
    error = 0xBAD;
    EXPECT_EQ(0xFFFFFFFFu, LaunchProcess(missing.c_str(), nullptr, &launched, &error, &close,
                                         LAUNCH_SLEEP | LAUNCH_WAIT_INPUT_IDLE | LAUNCH_WAIT_PROCESS,
                                         INFINITE, TRUE, 1, SW_HIDE, nullptr, 60000, nullptr));
    EXPECT_EQ(0u, launched);
    EXPECT_EQ(2u, error);
    EXPECT_EQ(0u, close);
    Lines lines = Take();
    EXPECT_EQ(Closing(0, 0, 2, 0xFFFFFFFF), Tail(lines, 4));
    EXPECT_FALSE(Contains(lines, L"WaitForObject"));

    // A missing record is refused before anything is tried.
    EXPECT_FALSE(CreateProcessExtended(missing.c_str(), nullptr, SW_HIDE, nullptr, nullptr, &shell, &error));
    EXPECT_EQ(87u, error);
    EXPECT_TRUE(Take().empty());
}

TEST(CreateProcessExtended, ShellPathBalancesComAndKeepsAnotherApartment) {
    if (!Shell()) GTEST_SKIP() << "no COM on the CreateProcessW path";
    const std::wstring tool = rolm_test::ProgramDir() + L"rolm.exe";
    PROCESS_INFORMATION pi;
    ASSERT_TRUE(CreateProcessExtended(tool.c_str(), nullptr, SW_HIDE, nullptr, &pi, nullptr, nullptr));
    ::WaitForSingleObject(pi.hProcess, 60000);
    ::CloseHandle(pi.hProcess);
    // The call's apartment is gone: this thread can enter another one.
    EXPECT_EQ(S_OK, ::CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    Clear();
    ASSERT_TRUE(CreateProcessExtended(tool.c_str(), nullptr, SW_HIDE, nullptr, &pi, nullptr, nullptr));
    ::WaitForSingleObject(pi.hProcess, 60000);
    ::CloseHandle(pi.hProcess);
    EXPECT_TRUE(Contains(Take(), L"CoInitializeEx(NULL, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE) has returned 80010106"));
    EXPECT_EQ(S_FALSE, ::CoInitializeEx(nullptr, COINIT_MULTITHREADED));  // still ours, once more
    ::CoUninitialize();
    ::CoUninitialize();
}

// LaunchProcess with its own record: the wait flags, one row each.
TEST(LaunchProcess, WaitFlags) {
    rolm_test::TempDir dir;
    const std::wstring self = Self();
    struct Case {
        WORD flags;
        DWORD timeout, delay, childMs;
        DWORD state;      // expected result
        bool waitTraced;  // WaitForObject ran
        bool ended;       // the child had ended (written its file) on return
    } cases[] = {
        {0, 60000, 60000, 300, 0, false, false},
        {LAUNCH_WAIT_PROCESS, 0, 0, 300, 0, false, false},
        {LAUNCH_WAIT_PROCESS, 60000, 0, 300, 0, true, true},
        {LAUNCH_WAIT_PROCESS, INFINITE, 0, 300, 0, true, true},
        {0x0008, 60000, 60000, 300, 0, false, false},  // unknown bits are ignored
        {LAUNCH_SLEEP | LAUNCH_WAIT_INPUT_IDLE, 60000, 0, 300, 0, false, false},
    };
    int row = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(row++);
        std::wstring file = dir / Format(L"%d.txt", row);
        std::wstring line = ChildLine(L"run", RunArgs(5, c.childMs, file));
        DWORD launched = 0xBAD, error = 0xBAD;
        Clear();
        EXPECT_EQ(c.state, LaunchProcess(self.c_str(), &line[0], &launched, &error, nullptr, c.flags, c.timeout,
                                         FALSE, 0, SW_HIDE, nullptr, c.delay, nullptr));
        EXPECT_EQ(1u, launched);
        EXPECT_EQ(0u, error);
        Lines lines = Take();
        EXPECT_EQ(Closing(0, 1, 0, c.state), Tail(lines, 4));
        EXPECT_EQ(c.waitTraced, Contains(lines, L"WaitForObject > has been called with OBJECT == 0"));
        EXPECT_EQ(c.ended, !Recorded(file).empty());
    }
    // Let the children that were not waited for finish before the folder goes.
    ::Sleep(1500);
}

TEST(LaunchProcess, SleepAndInputIdleWaitAfterTheStart) {
    rolm_test::TempDir dir;
    const std::wstring self = Self();
    // Sleep: the call lasts at least the delay.
    std::wstring line = ChildLine(L"run", RunArgs(0, 0));
    DWORD start = ::GetTickCount();
    EXPECT_EQ(0u, LaunchProcess(self.c_str(), &line[0], nullptr, nullptr, nullptr, LAUNCH_SLEEP, 0, FALSE, 0,
                                SW_HIDE, nullptr, 400, nullptr));
    EXPECT_GE(::GetTickCount() - start, 400u);

    // Input idle: the windowed child records its line (after half a second)
    // just before it starts serving its window, so the record is there when
    // the wait ends; with no delay nothing waits.
    const std::wstring idle = rolm_test::ProgramDir() + L"process_idle_child.exe";
    for (DWORD delay : {DWORD{60000}, DWORD{0}}) {
        std::wstring file = dir / Format(L"idle%lu.txt", delay);
        std::wstring args = L"\"" + file + L"\" 60000";
        line = Shell() ? args : L"\"" + idle + L"\" " + args;
        PROCESS_INFORMATION pi;
        DWORD close = 0;
        EXPECT_EQ(0u, LaunchProcess(idle.c_str(), &line[0], nullptr, nullptr, &close, LAUNCH_WAIT_INPUT_IDLE, 0,
                                    FALSE, 0, SW_HIDE, nullptr, delay, &pi));
        EXPECT_EQ(delay != 0, !Recorded(file).empty());
        DWORD code = 0;
        EXPECT_TRUE(::GetExitCodeProcess(pi.hProcess, &code));
        EXPECT_EQ(STILL_ACTIVE, code);
        ::TerminateProcess(pi.hProcess, 0);
        ::WaitForSingleObject(pi.hProcess, 60000);
        ::CloseHandle(pi.hProcess);
        if (pi.hThread != nullptr) ::CloseHandle(pi.hThread);
    }
}

TEST(LaunchProcess, EndsAProgramPastTheWait) {
    const std::wstring self = Self();
    std::wstring line = ChildLine(L"run", RunArgs(0, 60000));
    PROCESS_INFORMATION pi;
    DWORD close = 0, error = 0xBAD, launched = 0;
    Clear();
    EXPECT_EQ(WAIT_TIMEOUT, LaunchProcess(self.c_str(), &line[0], &launched, &error, &close, LAUNCH_WAIT_PROCESS,
                                          300, TRUE, 42, SW_HIDE, nullptr, 0, &pi));
    EXPECT_EQ(0u, error);
    Lines lines = Take();
    EXPECT_TRUE(Contains(lines, Format(L"TerminateObject > HANDLE == %08.8X > TerminateProcess(...) has returned: error code == 0",
                                       H(pi.hProcess))));
    EXPECT_EQ(Closing(Shell() ? 0 : 1, 1, 0, WAIT_TIMEOUT), Tail(lines, 4));
    EXPECT_EQ(42u, EndOf(pi.hProcess));
    ::CloseHandle(pi.hProcess);
    if (pi.hThread != nullptr) ::CloseHandle(pi.hThread);
}

// The caller's record and pfCloseHandle: who ends up owning the handles.
TEST(LaunchProcess, HandlesOfTheCallersRecord) {
    const std::wstring self = Self();
    struct Case {
        int in;        // -1: pfCloseHandle null
        bool running;  // the child still runs after the waits
        DWORD out;     // on the CreateProcessW path
        bool open;     // on the CreateProcessW path
    } cases[] = {
        {1, true, 1, true}, {1, false, 0, false}, {0, true, 1, true}, {0, false, 1, true},
        {-1, false, 0, false}, {7, false, 0, false},
    };
    int row = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(row++);
        std::wstring line = ChildLine(L"run", RunArgs(4, c.running ? 60000 : 0));
        PROCESS_INFORMATION pi;
        DWORD close = c.in < 0 ? 0 : static_cast<DWORD>(c.in);
        Clear();
        DWORD state = LaunchProcess(self.c_str(), &line[0], nullptr, nullptr, c.in < 0 ? nullptr : &close,
                                    c.running ? 0 : LAUNCH_WAIT_PROCESS, INFINITE, FALSE, 0, SW_HIDE, nullptr,
                                    0, &pi);
        EXPECT_EQ(0u, state);
        DWORD out = Shell() ? 0 : c.out;
        bool open = Shell() || c.open;  // the shell's process handle stays in the record
        if (c.in >= 0) {
            EXPECT_EQ(out, close);
        }
        EXPECT_EQ(Closing(out, 1, 0, 0), Tail(Take(), 4));
        EXPECT_EQ(open, IsOpen(pi.hProcess));
        EXPECT_NE(nullptr, pi.hProcess);  // closing leaves the fields as they were
        if (Shell()) {
            EXPECT_EQ(nullptr, pi.hThread);
        } else {
            EXPECT_EQ(open, IsOpen(pi.hThread));
            EXPECT_NE(0u, pi.dwProcessId);
        }
        if (open) {
            ::TerminateProcess(pi.hProcess, 0);
            ::WaitForSingleObject(pi.hProcess, 60000);
            ::CloseHandle(pi.hProcess);
            if (pi.hThread != nullptr) ::CloseHandle(pi.hThread);
        }
    }
}

TEST(LaunchProcess, ShortFormWaitsUntilTheProgramEnds) {
    rolm_test::TempDir dir;
    const std::wstring self = Self();
    std::wstring file = dir / L"end.txt";
    std::wstring line = ChildLine(L"run", RunArgs(9, 500, file));
    DWORD launched = 0xBAD, error = 0xBAD;
    Clear();
    EXPECT_EQ(0u, LaunchProcess(self.c_str(), &line[0], &launched, &error, SW_HIDE, nullptr));
    EXPECT_EQ(1u, launched);
    EXPECT_EQ(0u, error);
    EXPECT_FALSE(Recorded(file).empty());
    Lines lines = Take();
    EXPECT_EQ(Closing(0, 1, 0, 0), Tail(lines, 4));
    EXPECT_TRUE(Contains(lines, L"exit code == 9 (259 == STILL_ACTIVE)"));
    EXPECT_TRUE(Contains(lines, L"> WAIT_OBJECT_0"));

    const std::wstring missing = dir / L"missing.exe";
    EXPECT_EQ(0xFFFFFFFFu, LaunchProcess(missing.c_str(), nullptr, &launched, &error, SW_HIDE, nullptr));
    EXPECT_EQ(0u, launched);
    EXPECT_EQ(2u, error);
}

TEST(LaunchProcess, LeaksNoHandle) {
    rolm_test::TempDir dir;
    const std::wstring self = Self();
    const std::wstring missing = dir / L"missing.exe";
    auto round = [&] {
        std::wstring quick = ChildLine(L"run", RunArgs(0, 0));
        std::wstring slow = ChildLine(L"run", RunArgs(0, 60000));
        LaunchProcess(self.c_str(), &quick[0], nullptr, nullptr, SW_HIDE, nullptr);
        LaunchProcess(self.c_str(), &slow[0], nullptr, nullptr, nullptr, LAUNCH_WAIT_PROCESS, 200, TRUE, 1,
                      SW_HIDE, nullptr, 0, nullptr);
        DWORD close = 1;
        PROCESS_INFORMATION pi;
        LaunchProcess(self.c_str(), &quick[0], nullptr, nullptr, &close, LAUNCH_WAIT_PROCESS, INFINITE, FALSE, 0,
                      SW_HIDE, L"open", 0, &pi);
        if (Shell()) ::CloseHandle(pi.hProcess);
        LaunchProcess(missing.c_str(), nullptr, nullptr, nullptr, SW_HIDE, nullptr);
        ASSERT_TRUE(CreateProcessExtended(self.c_str(), &quick[0], SW_HIDE, nullptr, &pi, nullptr, nullptr));
        WaitForObject(OBJECT_PROCESS, &pi.hProcess, INFINITE, nullptr, FALSE, 0, TRUE, nullptr, nullptr, nullptr);
        if (pi.hThread != nullptr) ::CloseHandle(pi.hThread);
    };
    round();  // the first round loads what the system keeps loaded
    DWORD before = rolm_test::HandleCount();
    for (int i = 0; i < 3; ++i) round();
    EXPECT_EQ(before, rolm_test::HandleCount());
}

}  // namespace
