// Starting programs under both generations: this program is copied per
// Windows version, so the same tests run the CreateProcessW path (winxp) and
// the shell path (win7); each expectation is exact for the path it sees.
#include <gtest/gtest.h>
#include <objbase.h>
#include <rolm/process.h>

#include <algorithm>

#include "process_test.h"

using namespace process_test;

namespace {

bool Shell() { return IsVistaOrLater() != FALSE; }
std::wstring Tool() { return rolm_test::ProgramDir() + L"rolm.exe"; }  // no arguments: its usage, 87

std::wstring Self() {
    wchar_t path[MAX_PATH];
    return std::wstring(path, ::GetModuleFileNameW(nullptr, path, MAX_PATH));
}

// What to hand to the launch operations to run the child verb: the shell
// takes the parameters alone, CreateProcessW the whole command line.
std::wstring ChildLine(DWORD code, DWORD ms, const std::wstring& file = L"") {
    std::wstring args = RunArgs(code, ms, file);
    return Shell() ? L"--child run " + args : rolm_test::ChildCommandLine(L"run", args);
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
            Format(L"CreateProcessExtended > ShellExecuteEx has returned TRUE with SHELLEXECUTEINFO.hProcess == %08.8X", H(process))};
}

// LaunchProcess's last four lines.
Lines Closing(DWORD close, DWORD launched, DWORD error, DWORD state) {
    return {Format(L"LaunchProcess > fCloseHandle==(%d)", close), Format(L"LaunchProcess > fIsLaunched==(%d)", launched),
            Format(L"LaunchProcess > dwError==(%d)", error), Format(L"LaunchProcess > dwState==(%d)", state)};
}
Lines Tail(const Lines& lines) { return Lines(lines.end() - std::min<ptrdiff_t>(4, lines.size()), lines.end()); }

bool Contains(const Lines& lines, const std::wstring& part) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::wstring& l) { return l.find(part) != l.npos; });
}

// Ends the process when asked, waits for it, closes the record's handles; its exit code.
DWORD Finish(const PROCESS_INFORMATION& pi, bool end = false) {
    DWORD code = 0xBAD;
    if (end) ::TerminateProcess(pi.hProcess, 14);
    if (::WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0) ::GetExitCodeProcess(pi.hProcess, &code);
    ::CloseHandle(pi.hProcess);
    if (pi.hThread != nullptr) ::CloseHandle(pi.hThread);
    return code;
}

TEST(Launch, GenerationFollowsTheVersionTheProgramSees) {
    OSVERSIONINFOW info = {sizeof info};
    ::GetVersionExW(&info);
    EXPECT_EQ(info.dwMajorVersion >= 6, Shell());
    const std::wstring self = Self();
    EXPECT_EQ(self.find(L"-win7.exe") != self.npos, Shell());  // only the two copies are run
}

// The record, the path flag and the trace: verbs and parameters, empty ones traced as NULL.
TEST(CreateProcessExtended, FillsTheRecordAsItsPathDoes) {
    rolm_test::TempDir dir;
    const std::wstring file = dir / L"line.txt";
    struct Case {
        LPCWSTR verb;
        int line;  // 0 the child verb's, 1 null, 2 empty (rolm.exe)
    } cases[] = {{nullptr, 0}, {L"", 0}, {L"open", 0}, {nullptr, 1}, {L"open", 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const std::wstring program = c.line == 0 ? Self() : Tool();
        std::wstring line = c.line == 0 ? ChildLine(0, 0, file) : L"";
        PROCESS_INFORMATION pi = {HANDLE(1), HANDLE(2), 3, 4};
        DWORD shell = 0xBAD, error = 0xBAD;
        Clear();
        ASSERT_TRUE(CreateProcessExtended(program.c_str(), c.line == 1 ? nullptr : &line[0], SW_HIDE, c.verb, &pi, &shell, &error));
        EXPECT_EQ(0u, error);
        EXPECT_EQ(Shell() ? 1u : 0u, shell);
        EXPECT_EQ(Started(pi.hProcess, program, c.verb, line.c_str()), Take());
        EXPECT_TRUE(Shell() ? pi.hThread == nullptr && (pi.dwProcessId | pi.dwThreadId) == 0
                            : IsOpen(pi.hThread) && pi.dwProcessId != 0 && pi.dwThreadId != 0);
        EXPECT_EQ(c.line == 0 ? 0u : 87u, Finish(pi));
        if (c.line != 0) continue;
        std::wstring recorded = Recorded(file);  // the shell puts the program in front
        std::wstring want = Shell() ? L" " + line : line;  // else handed on unchanged
        EXPECT_EQ(want, Shell() ? recorded.substr(recorded.size() - std::min(recorded.size(), want.size())) : recorded);
        ::DeleteFileW(file.c_str());
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
    EXPECT_TRUE(pi.hProcess == nullptr && pi.hThread == nullptr && pi.dwProcessId == 0);
    Lines expected = Started(nullptr, missing, L"open", nullptr);
    expected.back() = Shell() ? L"CreateProcessExtended > ShellExecuteEx has returned FALSE with error code 2, SHELLEXECUTEINFO.hInstApp == 2"
                              : L"CreateProcessExtended > CreateProcess has returned FALSE with error code 2";
    EXPECT_EQ(expected, Take());

    // LaunchProcess: no wait, nothing closed, the system's error.
    DWORD launched = 0xBAD, close = 1;
    error = 0xBAD;
    EXPECT_EQ(0xFFFFFFFFu, LaunchProcess(missing.c_str(), nullptr, &launched, &error, &close,
                                         LAUNCH_SLEEP | LAUNCH_WAIT_INPUT_IDLE | LAUNCH_WAIT_PROCESS, INFINITE, TRUE, 1,
                                         SW_HIDE, nullptr, 60000, nullptr));
    EXPECT_EQ(0u, launched + close);
    EXPECT_EQ(2u, error);
    Lines lines = Take();
    EXPECT_EQ(Closing(0, 0, 2, 0xFFFFFFFF), Tail(lines));
    EXPECT_FALSE(Contains(lines, L"WaitForObject"));

    // A missing record is refused before anything is tried.
    EXPECT_FALSE(CreateProcessExtended(missing.c_str(), nullptr, SW_HIDE, nullptr, nullptr, &shell, &error));
    EXPECT_EQ(87u, error);
    EXPECT_TRUE(Take().empty());
}

TEST(CreateProcessExtended, ShellPathBalancesComAndKeepsAnotherApartment) {
    if (!Shell()) GTEST_SKIP() << "no COM on the CreateProcessW path";
    auto start = [] {
        PROCESS_INFORMATION pi;
        ASSERT_TRUE(CreateProcessExtended(Tool().c_str(), nullptr, SW_HIDE, nullptr, &pi, nullptr, nullptr));
        Finish(pi);
    };
    start();
    EXPECT_EQ(S_OK, ::CoInitializeEx(nullptr, COINIT_MULTITHREADED));  // the call's apartment is gone
    Clear();
    start();
    EXPECT_TRUE(Contains(Take(), L"CoInitializeEx(NULL, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE) has returned 80010106"));
    EXPECT_EQ(S_FALSE, ::CoInitializeEx(nullptr, COINIT_MULTITHREADED));  // still ours, once more
    ::CoUninitialize();
    ::CoUninitialize();
}

// The wait flags, and pfCloseHandle: who ends up owning the record's handles.
TEST(LaunchProcess, WaitFlagsAndHandles) {
    rolm_test::TempDir dir;
    struct Case {
        WORD flags;
        DWORD timeout, delay, childMs, state;  // state WAIT_TIMEOUT: the child was ended with 42
        bool waited;                           // WaitForObject ran
        int in;                                // pfCloseHandle (-1: null)
        DWORD out;  // it and the handles left open, on the CreateProcessW path (the shell's stays open)
    } cases[] = {
        {0, 60000, 60000, 300, 0, false, -1, 0},
        {LAUNCH_WAIT_PROCESS, 0, 0, 300, 0, false, -1, 0},
        {LAUNCH_WAIT_PROCESS, 60000, 0, 300, 0, true, -1, 0},
        {LAUNCH_WAIT_PROCESS, INFINITE, 0, 300, 0, true, -1, 0},
        {LAUNCH_WAIT_PROCESS, 300, 0, 60000, WAIT_TIMEOUT, true, 0, 1},
        {0x0008, 60000, 60000, 300, 0, false, -1, 0},  // unknown bits are ignored
        {LAUNCH_SLEEP | LAUNCH_WAIT_INPUT_IDLE, 60000, 0, 300, 0, false, -1, 0},
        {LAUNCH_SLEEP, 0, 400, 0, 0, false, -1, 0},
        {0, INFINITE, 0, 60000, 0, false, 1, 1},  // still running: the caller closes
        {LAUNCH_WAIT_PROCESS, INFINITE, 0, 0, 0, true, 1, 0},
        {0, INFINITE, 0, 60000, 0, false, 0, 1},
        {LAUNCH_WAIT_PROCESS, INFINITE, 0, 0, 0, true, 0, 1},
        {LAUNCH_WAIT_PROCESS, INFINITE, 0, 0, 0, true, 7, 0},
    };
    int row = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(row++);
        std::wstring file = dir / Format(L"%d.txt", row);
        std::wstring line = ChildLine(5, c.childMs, c.childMs != 0 || c.waited ? file : L"");  // a quick child: no record
        PROCESS_INFORMATION pi;
        DWORD launched = 0xBAD, error = 0xBAD, close = c.in, start = ::GetTickCount();
        Clear();
        EXPECT_EQ(c.state, LaunchProcess(Self().c_str(), &line[0], &launched, &error, c.in < 0 ? nullptr : &close, c.flags,
                                         c.timeout, TRUE, 42, SW_HIDE, nullptr, c.delay, &pi));
        EXPECT_GE(::GetTickCount() - start, c.flags & LAUNCH_SLEEP ? c.delay : 0);  // the call lasts at least the delay
        EXPECT_EQ(1u, launched);
        EXPECT_EQ(0u, error);
        Lines lines = Take();
        const DWORD out = Shell() ? 0 : c.out;
        const bool open = Shell() || c.out != 0;
        EXPECT_EQ(c.in < 0 ? static_cast<DWORD>(-1) : out, close);
        EXPECT_EQ(Closing(out, 1, 0, c.state), Tail(lines));
        EXPECT_EQ(c.waited, Contains(lines, L"WaitForObject > has been called with OBJECT == 0"));
        EXPECT_EQ(c.state != 0, Contains(lines, L"TerminateProcess(...) has returned: error code == 0"));
        EXPECT_EQ(c.waited && c.state == 0, !Recorded(file).empty());
        EXPECT_EQ(open, IsOpen(pi.hProcess));
        EXPECT_NE(nullptr, pi.hProcess);  // closing leaves the fields as they were
        EXPECT_TRUE(Shell() ? pi.hThread == nullptr : open == IsOpen(pi.hThread) && pi.dwProcessId != 0);
        const DWORD code = open ? Finish(pi, c.childMs > 1000) : 0;  // the quick ones end by themselves
        EXPECT_TRUE(c.state == 0 || code == 42) << code;
    }
    ::Sleep(1500);  // the children that were not waited for finish before the folder goes
}

// The windowed child records its line (after half a second) just before it
// serves its window, so the record is there when the input-idle wait ends;
// with no delay nothing waits.
TEST(LaunchProcess, InputIdleWaitAfterTheStart) {
    rolm_test::TempDir dir;
    const std::wstring idle = rolm_test::ProgramDir() + L"process_idle_child.exe";
    for (DWORD delay : {DWORD{60000}, DWORD{0}}) {
        std::wstring file = dir / Format(L"idle%lu.txt", delay);
        std::wstring line = (Shell() ? L"\"" : L"\"" + idle + L"\" \"") + file + L"\" 60000";
        PROCESS_INFORMATION pi;
        DWORD close = 0;  // the handles stay ours
        EXPECT_EQ(0u, LaunchProcess(idle.c_str(), &line[0], nullptr, nullptr, &close, LAUNCH_WAIT_INPUT_IDLE, 0,
                                    FALSE, 0, SW_HIDE, nullptr, delay, &pi));
        EXPECT_EQ(delay != 0, !Recorded(file).empty());
        EXPECT_EQ(14u, Finish(pi, true));  // still running: ended here
    }
}

TEST(LaunchProcess, ShortFormWaitsUntilTheProgramEnds) {
    rolm_test::TempDir dir;
    const std::wstring file = dir / L"end.txt";
    std::wstring line = ChildLine(9, 500, file);
    DWORD launched = 0xBAD, error = 0xBAD;
    Clear();
    EXPECT_EQ(0u, LaunchProcess(Self().c_str(), &line[0], &launched, &error, SW_HIDE, nullptr));
    EXPECT_EQ(1u, launched);
    EXPECT_EQ(0u, error);
    EXPECT_FALSE(Recorded(file).empty());
    Lines lines = Take();
    EXPECT_EQ(Closing(0, 1, 0, 0), Tail(lines));
    EXPECT_TRUE(Contains(lines, L"exit code == 9 (259 == STILL_ACTIVE)") && Contains(lines, L"> WAIT_OBJECT_0"));
}

TEST(LaunchProcess, LeaksNoHandle) {
    const std::wstring self = Self();
    auto round = [&] {
        std::wstring quick = ChildLine(0, 0), slow = ChildLine(0, 60000);
        LaunchProcess(self.c_str(), &quick[0], nullptr, nullptr, SW_HIDE, nullptr);
        LaunchProcess(self.c_str(), &slow[0], nullptr, nullptr, nullptr, LAUNCH_WAIT_PROCESS, 200, TRUE, 1, SW_HIDE,
                      nullptr, 0, nullptr);
        DWORD close = 1;
        PROCESS_INFORMATION pi;
        LaunchProcess(self.c_str(), &quick[0], nullptr, nullptr, &close, LAUNCH_WAIT_PROCESS, INFINITE, FALSE, 0,
                      SW_HIDE, L"open", 0, &pi);
        if (Shell()) ::CloseHandle(pi.hProcess);
        LaunchProcess(L"no-such-program.exe", nullptr, nullptr, nullptr, SW_HIDE, nullptr);
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
