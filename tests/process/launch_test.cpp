// Starting programs under both generations: this program is copied per
// Windows version, so the same tests run the CreateProcessW path (winxp) and
// the shell path (win7); each expectation is exact for the path it sees.
#include <gtest/gtest.h>
#include <objbase.h>
#include <rolm/process.h>
#include <shellapi.h>

#include "faults.h"
#include "process_test.h"

using namespace process_test;
using rolm_test::Fails;
using rolm_test::Role;

ROLM_STANDIN("kernel32.dll", CreateProcessW, Fails::False, Role::None, "")
ROLM_STANDIN("ole32.dll", CoInitializeEx, Fails::Hresult, Role::None, "")
ROLM_STANDIN("shell32.dll", ShellExecuteExW, Fails::False, Role::None, "")
ROLM_STANDIN("kernel32.dll", GetExitCodeProcess, Fails::False, Role::None, "")
ROLM_STANDIN("user32.dll", MsgWaitForMultipleObjects, Fails::Invalid, Role::None, "")
ROLM_STANDIN("kernel32.dll", CloseHandle, Fails::False, Role::Close, "handle")  // still closes when failed

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

// The trace of a start; the last line is the failure's when error is not 0.
Lines Started(HANDLE process, const std::wstring& file, LPCWSTR verb, LPCWSTR params, DWORD error = 0) {
    if (!Shell())
        return {L"CreateProcessExtended > XP and earlier",
                error ? Format(L"CreateProcessExtended > CreateProcess has returned FALSE with error code %lu", error)
                      : Format(L"CreateProcessExtended > CreateProcess has returned TRUE with hProcess == %08.8X", H(process))};
    auto text = [](LPCWSTR s) { return std::wstring(s != nullptr && *s ? s : L"NULL"); };
    return {L"CreateProcessExtended > Vista and later --> TRUE",
            L"CreateProcessExtended > CoInitializeEx(NULL, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE) has returned 00000000",
            L"CreateProcessExtended > SHELLEXECUTEINFO.lpVerb == " + text(verb), L"CreateProcessExtended > SHELLEXECUTEINFO.lpFile == " + file,
            L"CreateProcessExtended > SHELLEXECUTEINFO.lpParameters == " + text(params),
            error ? Format(L"CreateProcessExtended > ShellExecuteEx has returned FALSE with error code %lu, SHELLEXECUTEINFO.hInstApp == %lu", error, error)
                  : Format(L"CreateProcessExtended > ShellExecuteEx has returned TRUE with SHELLEXECUTEINFO.hProcess == %08.8X", H(process))};
}
// LaunchProcess's last four lines.
Lines Closing(DWORD close, DWORD launched, DWORD error, DWORD state) {
    return {Format(L"LaunchProcess > fCloseHandle==(%d)", close), Format(L"LaunchProcess > fIsLaunched==(%d)", launched),
            Format(L"LaunchProcess > dwError==(%d)", error), Format(L"LaunchProcess > dwState==(%d)", state)};
}
Lines Tail(const Lines& lines) { return Lines(lines.end() - std::min<ptrdiff_t>(4, lines.size()), lines.end()); }

// Ends the process when asked, waits for it, closes the record's handles; its exit code.
DWORD Finish(const PROCESS_INFORMATION& pi, bool end = false) {
    rolm::UniqueProcessInformation owned(pi);
    DWORD code = 0xBAD;
    if (end) ::TerminateProcess(pi.hProcess, 14);
    if (::WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0) ::GetExitCodeProcess(pi.hProcess, &code);
    return code;
}

// The record, the path flag and the trace: verbs and parameters, empty ones traced as NULL; a program
// that cannot start leaves the record empty.
TEST(CreateProcessExtended, FillsTheRecordAsItsPathDoes) {
    rolm_test::TempDir dir;
    const std::wstring file = dir / L"line.txt", missing = dir / L"missing.exe";
    const struct { LPCWSTR verb; int program; } rows[] = {{nullptr, 0}, {L"open", 0}, {L"", 1}, {L"print", 2}};
    for (const auto& row : rows) {  // program: 0 this one's child verb, 1 rolm.exe with no line, 2 missing
        const LPCWSTR verb = row.verb;
        const bool child = row.program == 0, started = row.program != 2;
        const std::wstring program = child ? Self() : started ? Tool() : missing;
        std::wstring line = child ? ChildLine(0, 0, file) : L"";
        PROCESS_INFORMATION pi = {HANDLE(1), HANDLE(2), 3, 4};
        DWORD shell = 0xBAD, error = 0xBAD;
        Take();
        EXPECT_EQ(started, !!CreateProcessExtended(program.c_str(), child ? &line[0] : nullptr, SW_HIDE, verb, &pi, &shell, &error));
        EXPECT_TRUE(error == (started ? 0 : ERROR_FILE_NOT_FOUND) && shell == (Shell() ? 1u : 0u));
        EXPECT_EQ(Started(pi.hProcess, program, verb, line.c_str(), error), Take());
        EXPECT_TRUE(!started ? pi.hProcess == nullptr && pi.hThread == nullptr && pi.dwProcessId == 0
                    : Shell() ? pi.hThread == nullptr && (pi.dwProcessId | pi.dwThreadId) == 0
                              : IsOpen(pi.hThread) && pi.dwProcessId != 0 && pi.dwThreadId != 0);
        if (started) { EXPECT_EQ(child ? 0u : 87u, Finish(pi)); }
        if (!child) continue;
        std::wstring recorded = Recorded(file), want = Shell() ? L" " + line : line;  // the shell puts the program in front
        EXPECT_EQ(want, Shell() ? recorded.substr(recorded.size() - std::min(recorded.size(), want.size())) : recorded);
    }
    DWORD error = 0;  // LaunchProcess's failed start: in the torture test
    EXPECT_FALSE(CreateProcessExtended(missing.c_str(), nullptr, SW_HIDE, nullptr, nullptr, nullptr, &error));
    EXPECT_TRUE(error == ERROR_INVALID_PARAMETER && Take().empty());  // refused before anything is tried
}

TEST(CreateProcessExtended, ShellPathBalancesComAndKeepsAnotherApartment) {
    if (!Shell()) GTEST_SKIP() << "no COM on the CreateProcessW path";
    PROCESS_INFORMATION pi;
    ASSERT_TRUE(CreateProcessExtended(Tool().c_str(), nullptr, SW_HIDE, nullptr, &pi, nullptr, nullptr));
    Finish(pi);
    EXPECT_EQ(S_OK, ::CoInitializeEx(nullptr, COINIT_MULTITHREADED));  // the call's apartment is gone
    ASSERT_TRUE(CreateProcessExtended(Tool().c_str(), nullptr, SW_HIDE, nullptr, &pi, nullptr, nullptr));
    Finish(pi);
    EXPECT_TRUE(Contains(Take(), L"CoInitializeEx(NULL, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE) has returned 80010106"));
    EXPECT_EQ(S_FALSE, ::CoInitializeEx(nullptr, COINIT_MULTITHREADED));  // still ours, once more
    ::CoUninitialize(), ::CoUninitialize();
}

// The wait flags, and pfCloseHandle: who ends up owning the record's handles.
TEST(LaunchProcess, WaitFlagsAndHandles) {
    rolm_test::TempDir dir;
    const struct {
        WORD flags;
        DWORD timeout, delay, childMs, state;  // state WAIT_TIMEOUT: ended with 42 when terminate
        BOOL terminate;
        int in;     // pfCloseHandle (-1: null)
        DWORD out;  // it, and the handles left open, on the CreateProcessW path (the shell's stays open)
    } cases[] = {
        {0, 60000, 60000, 300, 0, TRUE, -1, 0},
        {LAUNCH_WAIT_PROCESS, 0, 0, 300, 0, TRUE, -1, 0},  // no timeout: no wait
        {LAUNCH_WAIT_PROCESS, INFINITE, 0, 300, 0, TRUE, -1, 0},
        {LAUNCH_WAIT_PROCESS, 300, 0, 60000, WAIT_TIMEOUT, TRUE, 0, 1},
        {LAUNCH_WAIT_PROCESS, 300, 0, 60000, WAIT_TIMEOUT, FALSE, 0, 1},  // left running
        {LAUNCH_SLEEP | 0x0008, 0, 400, 0, 0, TRUE, -1, 0},  // unknown bits are ignored
        {0, INFINITE, 0, 60000, 0, TRUE, 1, 1},  // still running: the caller closes
        {LAUNCH_WAIT_PROCESS, INFINITE, 0, 0, 0, TRUE, 1, 0},
        {LAUNCH_WAIT_PROCESS, INFINITE, 0, 0, 0, TRUE, 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        const bool waited = (c.flags & LAUNCH_WAIT_PROCESS) && c.timeout != 0;
        std::wstring file = dir / Format(L"%d.txt", &c - cases), line = ChildLine(5, c.childMs, c.childMs != 0 || waited ? file : L"");  // a quick one: no record
        PROCESS_INFORMATION pi;
        DWORD launched = 0xBAD, error = 0xBAD, close = c.in, start = ::GetTickCount();
        Take();
        EXPECT_EQ(c.state, LaunchProcess(Self().c_str(), &line[0], &launched, &error, c.in < 0 ? nullptr : &close, c.flags,
                                         c.timeout, c.terminate, 42, SW_HIDE, nullptr, c.delay, &pi));
        EXPECT_GE(::GetTickCount() - start, c.flags & LAUNCH_SLEEP ? c.delay : 0);  // the call lasts at least the delay
        EXPECT_TRUE(launched == 1 && error == 0);
        const Lines lines = Take();
        const DWORD out = Shell() ? 0 : c.out;
        const bool open = Shell() || c.out != 0;
        EXPECT_EQ(c.in < 0 ? static_cast<DWORD>(-1) : out, close);
        EXPECT_EQ(Closing(out, 1, 0, c.state), Tail(lines));
        EXPECT_EQ(waited, Contains(lines, L"WaitForObject > has been called with OBJECT == 0"));
        EXPECT_EQ(c.state != 0 && c.terminate, Contains(lines, L"TerminateProcess(...) has returned: error code == 0"));
        EXPECT_EQ(waited && c.state == 0, !Recorded(file).empty());
        EXPECT_TRUE(open == IsOpen(pi.hProcess) && pi.hProcess != nullptr);  // closing leaves the fields as they were
        EXPECT_TRUE(Shell() ? pi.hThread == nullptr : open == IsOpen(pi.hThread) && pi.dwProcessId != 0);
        const bool running = c.childMs > 1000 && !(c.state != 0 && c.terminate);  // then ended here, with 14
        if (open) { EXPECT_EQ(running ? 14u : c.state != 0 ? 42u : 5u, Finish(pi, running)); }
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
        EXPECT_EQ(0u, LaunchProcess(idle.c_str(), &line[0], nullptr, nullptr, &close, LAUNCH_WAIT_INPUT_IDLE, 0, FALSE, 0, SW_HIDE, nullptr, delay, &pi));
        EXPECT_EQ(delay != 0, !Recorded(file).empty());
        EXPECT_EQ(14u, Finish(pi, true));  // still running: ended here
    }
}

// The short form with each system call failed in turn (a letter per call, the
// last for none): its state and error, the failure's trace line, and every
// kernel handle it took closed. S: the start fails; C: COM refused, the start
// goes on; Q/q: the exit code before/after the wait; W: the wait; 0: nothing seen.
TEST(LaunchProcess, TortureEachFailedCallIsReportedAndNoHandleLeaks) {
    const DWORD kError = ERROR_WRITE_PROTECT;
    const std::string outcomes = Shell() ? "CSQWq00" : "SQWq000";
    const std::wstring self = Self();
    std::wstring line = ChildLine(9, 300);
    Take();  // the trace window, and what the system keeps loaded after a first start
    LaunchProcess(self.c_str(), &line[0], nullptr, nullptr, SW_HIDE, nullptr);
    for (size_t n = 1; n <= outcomes.size(); ++n) {
        const char c = outcomes[n - 1];
        SCOPED_TRACE(testing::Message() << outcomes << " call " << n);
        const DWORD handles = rolm_test::HandleCount();
        DWORD launched = 0xBAD, error = 0xBAD;
        line = ChildLine(9, 300);
        Take();
        rolm_test::Faults faults;
        faults.FailNth(static_cast<int>(n), kError);
        const DWORD state = LaunchProcess(self.c_str(), &line[0], &launched, &error, SW_HIDE, nullptr);
        EXPECT_EQ(n < outcomes.size(), faults.Failed());
        EXPECT_TRUE(state == (c == 'S' ? 0xFFFFFFFF : c == 'W' ? WAIT_FAILED : 0) && launched == (c != 'S')) << state;
        EXPECT_EQ(c == '0' || c == 'C' ? 0 : kError, error);
        const wchar_t* seen = c == 'S' ? L"has returned FALSE with error code 19" : c == 'C' ? L"has returned 80070013"
                            : c == 'W' ? L"WAIT_FAILED > ERROR == 19" : c == '0' ? L"exit code == 9 (" : L"error code == 19, exit code == ";
        EXPECT_TRUE(Contains(Take(), seen)) << seen;
        EXPECT_EQ(handles, rolm_test::HandleCount());
    }
    ::Sleep(500);  // the children that were not waited for finish
}

}  // namespace
