// Process control on real child processes, threads, events and mutexes, with
// the trace checked line by line. The program is copied per Windows version:
// a start takes the CreateProcessW path (winxp) or the shell path (win7), and
// each expectation is exact for the path it sees.
#include <gtest/gtest.h>
#include <objbase.h>
#include <rolm/process.h>
#include <shellapi.h>
#include <strsafe.h>

#include <algorithm>
#include <sstream>

#include "common/unique.h"
#include "faults.h"
#include "support.h"

using namespace rolm_test;
using Lines = std::vector<std::wstring>;

// The start's calls on either path; the wait's; and the closing, which still closes when failed.
ROLM_STANDIN("kernel32.dll", CreateProcessW, Fails::False, Role::None, "");
ROLM_STANDIN("ole32.dll", CoInitializeEx, Fails::Hresult, Role::None, "");
ROLM_STANDIN("shell32.dll", ShellExecuteExW, Fails::False, Role::None, "");
ROLM_STANDIN("kernel32.dll", GetExitCodeProcess, Fails::False, Role::None, "");
ROLM_STANDIN("user32.dll", MsgWaitForMultipleObjects, Fails::Invalid, Role::None, "");
ROLM_STANDIN("kernel32.dll", CloseHandle, Fails::False, Role::Close, "handle");

// "run CODE MS [FILE]": sleeps MS, writes its command line to FILE, exits with CODE.
ROLM_CHILD(run) {
    ::Sleep(wcstoul(argv[1], nullptr, 10));
    if (argc > 2) WriteFileBytes(argv[2], ::GetCommandLineA());  // the test's paths are ASCII
    return static_cast<int>(wcstoul(argv[0], nullptr, 10));
}

namespace {

DWORD H(HANDLE handle) { return (DWORD)(ULONG_PTR)handle; }
Lines Take() { return TraceLog::Get().Take(); }
bool Shell() { return IsVistaOrLater() != FALSE; }

bool IsOpen(HANDLE handle) {
    DWORD flags;
    return handle != nullptr && ::GetHandleInformation(handle, &flags);
}

template <typename... A>
std::wstring Format(const wchar_t* format, A... args) {
    wchar_t text[1024];
    ::StringCchPrintfW(text, 1024, format, args...);
    return text;
}

std::wstring Self() {
    wchar_t path[MAX_PATH];
    return std::wstring(path, ::GetModuleFileNameW(nullptr, path, MAX_PATH));
}

// The run verb as the launch operations take it: the shell wants the parameters alone.
std::wstring ChildLine(const std::wstring& args) {
    return Shell() ? L"--child run " + args : ChildCommandLine(L"run", args);
}

// A wait on *h checked: its result and outputs, and its trace between the call's line and the return's,
// written in a short notation: Q/q N a process/thread exit-code query (code N), E N a failed process query
// (error N), O T A a pass's WAIT_OBJECT_0/WAIT_TIMEOUT/WAIT_ABANDONED_0, F N a failed pass (error N), K/k N a
// process/thread termination (error N).
void ExpectWait(BYTE kind, HANDLE* h, DWORD timeout, BOOL terminate, BOOL close, HWND filter, const char* script,
                DWORD result, DWORD code = 0, DWORD error = 0) {
    const std::wstring at = Format(L"HANDLE == %08.8X > ", H(*h));
    const std::wstring wait = L"WaitForObject > " + at;
    Lines lines{Format(L"WaitForObject > has been called with OBJECT == %d and HANDLE == %08.8X", kind, H(*h))};
    std::istringstream ops(script);
    for (std::string op; ops >> op;) {
        const char c = op[0];
        const char* object = c == 'q' || c == 'k' ? "Thread" : "Process";
        const unsigned long n = strtoul(&op[1], nullptr, 10);
        if (c == 'O' || c == 'T' || c == 'A') {
            lines.push_back(wait + (c == 'O' ? L"WAIT_OBJECT_0" : c == 'T' ? L"WAIT_TIMEOUT" : L"WAIT_ABANDONED_0"));
        } else if (c == 'F') {
            lines.push_back(wait + Format(L"WAIT_FAILED > ERROR == %lu", n));
        } else if (c == 'K' || c == 'k') {
            lines.push_back(L"TerminateObject > " + at +
                            Format(L"Terminate%hs(...) has returned: error code == %lu", object, n));
        } else {
            lines.push_back(L"GetExitCode > " + at +
                            Format(L"GetExitCode%hs(...) has returned: error code == %lu, exit code == %lu "
                                   L"(259 == STILL_ACTIVE)", object, c == 'E' ? n : 0, c == 'E' ? 0 : n));
        }
    }
    DWORD out[4] = {0xBAD, 0xBAD, 0xBAD, 0xBAD};  // result, exit code, error, elapsed
    Take();
    out[0] = WaitForObject(kind, h, timeout, filter, terminate, 42, close, &out[1], &out[2], &out[3]);
    EXPECT_EQ((std::vector<DWORD>{result, code, error}), std::vector<DWORD>(out, out + 3));
    lines.push_back(wait + Format(L"returns %d, elapsed time: %lu ms", (int)result, out[3]));
    EXPECT_EQ(lines, Take());
}

// Given a mutex: ends owning it.
DWORD WINAPI Block(void* object) {
    ::WaitForSingleObject(object, INFINITE);
    return 11;
}

// object: p a child process running ms (0: ended before the call; q: with query access only), t a thread,
// e an event, m an abandoned mutex, x a handle not open, n null; endsWith: p q: the child's exit code afterwards.
TEST(WaitForObject, Objects) {
    const HANDLE self = ::GetCurrentProcess();
    const struct {
        char object; DWORD ms; BYTE kind; DWORD timeout; BOOL terminate, close; DWORD result, code, error;
        const char* trace; DWORD endsWith;
    } cases[] = {
        {'n', 0, OBJECT_PROCESS, 60000, TRUE, TRUE, 0, 0, 0, ""},
        {'p', 0, OBJECT_PROCESS, 60000, TRUE, TRUE, 0, 3, 0, "Q3", 3},  // ended: not waited on
        {'p', 60000, OBJECT_PROCESS, 300, FALSE, FALSE, WAIT_TIMEOUT, STILL_ACTIVE, 0, "Q259 T Q259", STILL_ACTIVE},
        {'p', 60000, OBJECT_PROCESS, 300, TRUE, FALSE, WAIT_TIMEOUT, 42, 0, "Q259 T Q259 K0", 42},
        {'p', 300, OBJECT_PROCESS, INFINITE, TRUE, TRUE, 0, 3, 0, "Q259 O Q3", 3},
        {'q', 60000, OBJECT_PROCESS, 60000, TRUE, FALSE, WAIT_FAILED, 42, 5, "Q259 F5 Q259 K5", STILL_ACTIVE},
        {'t', 0, OBJECT_THREAD, 200, TRUE, TRUE, WAIT_TIMEOUT, 42, 0, "q259 T q259 k0"},
        {'e', 0, OBJECT_OTHER, 200, TRUE, FALSE, WAIT_TIMEOUT, 0, 0, "T"},  // nothing asked or ended
        {'m', 0, OBJECT_OTHER, 1000, FALSE, TRUE, WAIT_ABANDONED_0, 0, 0, "A"},
        {'x', 0, OBJECT_PROCESS, 1000, TRUE, FALSE, 0, 0, ERROR_INVALID_HANDLE, "E6"},  // can't be asked: not waited on
        {'p', 60000, 3, 60000, TRUE, TRUE, 0, 0, ERROR_INVALID_PARAMETER, "", STILL_ACTIVE},  // unknown kind: not asked
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.trace);
        const bool process = c.object == 'p' || c.object == 'q';
        rolm::UniqueHandle child(process ? StartProgram(ChildCommandLine(L"run", Format(L"3 %lu", c.ms))) : nullptr);
        auto end = rolm::OnScopeExit([&] {  // also after a failed ASSERT
            if (child) ::TerminateProcess(child.get(), 1);
        });
        HANDLE h = c.object == 'x'   ? HANDLE(0x7FF0)
                   : c.object == 'e' ? ::CreateEventW(nullptr, TRUE, FALSE, nullptr)
                   : c.object == 'm' ? ::CreateMutexW(nullptr, FALSE, nullptr)
                   : c.object == 't' ? ::CreateThread(nullptr, 0, Block, self, 0, nullptr) : nullptr;
        ASSERT_TRUE(!process || (child && (c.ms != 0 || ::WaitForSingleObject(child.get(), 60000) == 0)));
        if (process) {
            const DWORD options = c.object == 'p' ? DUPLICATE_SAME_ACCESS : 0;
            ::DuplicateHandle(self, child.get(), self, &h, PROCESS_QUERY_INFORMATION, FALSE, options);
        }
        if (c.object == 'm') {
            rolm::UniqueHandle owner(::CreateThread(nullptr, 0, Block, h, 0, nullptr));
            ::WaitForSingleObject(owner.get(), INFINITE);
        }
        const HANDLE copy = h;
        rolm::UniqueHandle owned(c.close || c.object == 'x' ? nullptr : h);
        ExpectWait(c.kind, &h, c.timeout, c.terminate, c.close, nullptr, c.trace, c.result, c.code, c.error);
        EXPECT_TRUE(h == (c.close ? nullptr : copy) && IsOpen(copy) == (!c.close && c.object != 'x'));
        DWORD code = 0;  // the child's, once ended unless it runs on
        EXPECT_TRUE(!child || ((c.endsWith == STILL_ACTIVE || ::WaitForSingleObject(child.get(), 60000) == 0) &&
                               ::GetExitCodeProcess(child.get(), &code) && code == c.endsWith))
            << code;
    }
}

// What they do not handle is refused untraced, and nothing is ended or asked.
TEST(ProcessFunctions, Refusals) {
    const HANDLE self = ::GetCurrentProcess();
    DWORD error = 0, code = 0xBAD;
    Take();
    for (BYTE kind : {BYTE{OBJECT_OTHER}, BYTE{255}})
        EXPECT_TRUE(TerminateObject(kind, self, 1) == 87 && GetExitCode(kind, self, &code) == 87);
    EXPECT_EQ(87u, GetExitCode(OBJECT_PROCESS, self, nullptr));
    EXPECT_TRUE(!CreateProcessExtended(L"x", nullptr, SW_HIDE, nullptr, nullptr, nullptr, &error) && error == 87);
    EXPECT_TRUE(WaitForObject(OBJECT_OTHER, nullptr, 0, nullptr, FALSE, 0, TRUE, nullptr, &error, nullptr) ==
                    WAIT_FAILED && error == 87);
    EXPECT_TRUE(Take().empty());
    PROCESS_INFORMATION pi;  // which path ran, also told when the start fails
    EXPECT_FALSE(CreateProcessExtended(L"C:\\missing.exe", nullptr, SW_HIDE, nullptr, &pi, &code, &error));
    EXPECT_EQ(Shell() ? 1u : 0u, code);
}

// The window's WM_APP are counted; the one with wParam 1 ends the wait and puts g_replacement into the caller's
// variable.
int g_count;
HANDLE* g_variable;
HANDLE g_replacement, g_done;
LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != WM_APP) return ::DefWindowProcW(window, message, wParam, lParam);
    ++g_count;
    if (wParam == 1) {
        ::SetEvent(g_done);
        *g_variable = g_replacement;
    }
    return 0;
}

// The messages of the filtered window are dispatched, and a pass they end is followed by another; WM_QUIT
// and the rest (the thread's own here) are left to the caller; what the variable holds at the end is closed.
TEST(WaitForObject, PumpsTheCallersMessagesAndLeavesItsQuit) {
    HWND window = ::CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    ::SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(WindowProc));
    for (bool filtered : {false, true}) {
        SCOPED_TRACE(filtered);
        rolm::UniqueHandle done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        HANDLE h = g_done = done.get();
        g_variable = &h;
        g_replacement = filtered ? nullptr : ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        g_count = 0;
        for (WPARAM i : {0, 1}) {
            ::PostThreadMessageW(::GetCurrentThreadId(), WM_APP, 0, 0);
            ::PostMessageW(window, WM_APP, i, 0);
        }
        ::PostQuitMessage(77);
        // Traced as it came in; only the variable's handle is closed.
        ExpectWait(OBJECT_OTHER, &h, INFINITE, FALSE, TRUE, filtered ? window : nullptr, "O", 0);
        EXPECT_TRUE(h == nullptr && IsOpen(done.get()) && !IsOpen(g_replacement) && g_count == 2);
        MSG msg = {};  // GetMessage would block without the WM_QUIT
        ASSERT_TRUE(::PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE));
        int queued = 0;
        while (::GetMessageW(&msg, nullptr, 0, 0)) queued += msg.message == WM_APP;
        EXPECT_TRUE(queued == (filtered ? 2 : 0) && msg.wParam == 77) << queued;
    }
    ::DestroyWindow(window);
}

// The process and delay handed to WaitForInputIdle (delay 0: not called).
HANDLE g_idleProcess;
DWORD g_idleMs;
DWORD WINAPI NoteInputIdle(HANDLE process, DWORD ms) {
    g_idleProcess = process;
    g_idleMs = ms;
    return 0;
}

// The start (record, path and trace, an empty verb or line traced as NULL; COM balanced, and a caller's
// apartment of another kind left alone), the wait flags, and pfCloseHandle (in: -1 null) with what it gives
// out on the CreateProcessW path: who ends up owning the record's handles (1: the caller, left open; the
// shell's always stay open). program: 0 the run verb, 1 rolm.exe with no line (its usage, 87), 2 missing;
// state WAIT_TIMEOUT: ended with 42 when terminate; idle: the delay WaitForInputIdle is given.
TEST(LaunchProcess, StartsWaitsAndHandsOver) {
    TempDir dir;
    ImportPatch patch("user32.dll", "WaitForInputIdle", reinterpret_cast<void*>(&NoteInputIdle));
    const struct {
        LPCWSTR verb; int program; bool mta; WORD flags; DWORD timeout, delay, childMs, state; BOOL terminate;
        int in; DWORD out, idle;
    } cases[] = {
        // No timeout, no sleep flag; then ended: closed.
        {nullptr, 0, true, LAUNCH_WAIT_PROCESS | LAUNCH_WAIT_INPUT_IDLE, 0, 60000, 300, 0, TRUE, -1, 0, 60000},
        {L"", 0, false, LAUNCH_WAIT_PROCESS | LAUNCH_WAIT_INPUT_IDLE, INFINITE, 0, 300, 0, TRUE, 1, 0, 0},
        {L"", 1, false, LAUNCH_WAIT_PROCESS, INFINITE, 0, 0, 0, TRUE, 0, 1},
        {L"print", 2, false, LAUNCH_WAIT_PROCESS, INFINITE, 0, 0, 0xFFFFFFFF, TRUE, 0, 0},
        {L"open", 0, false, LAUNCH_WAIT_PROCESS, 300, 0, 60000, WAIT_TIMEOUT, TRUE, 0, 1},
        {nullptr, 0, false, LAUNCH_WAIT_PROCESS, 300, 0, 60000, WAIT_TIMEOUT, FALSE, 0, 1},  // left running
        {nullptr, 0, false, LAUNCH_SLEEP | 0x0008, 0, 400, 0, 0, TRUE, -1, 0},  // unknown bits are ignored
        {nullptr, 0, false, 0, INFINITE, 0, 60000, 0, TRUE, 1, 1},  // still running: the caller closes
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        const bool waited = (c.flags & LAUNCH_WAIT_PROCESS) && c.timeout != 0;
        const bool child = c.program == 0, started = c.program != 2;
        const std::wstring program = child ? Self() : started ? ProgramDir() + L"rolm.exe" : dir / L"missing.exe";
        const std::wstring file = dir / Format(L"%d.txt", &c - cases);
        const std::wstring written = c.childMs != 0 || waited ? L" \"" + file + L"\"" : L"";
        std::wstring line = child ? ChildLine(Format(L"5 %lu", c.childMs) + written) : L"";
        PROCESS_INFORMATION pi = {HANDLE(1), HANDLE(2), 3, 4};
        DWORD launched = 0xBAD, error = 0xBAD, close = c.in, code = 0xBAD;
        const DWORD start = ::GetTickCount();
        if (c.mta) ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        g_idleMs = 0;
        Take();
        EXPECT_EQ(c.state, LaunchProcess(program.c_str(), child ? &line[0] : nullptr, &launched, &error,
                                         c.in < 0 ? nullptr : &close, c.flags, c.timeout, c.terminate, 42, SW_HIDE,
                                         c.verb, c.delay, &pi));
        EXPECT_GE(::GetTickCount() - start, c.flags & LAUNCH_SLEEP ? c.delay : 0);  // at least the delay
        // The shell puts the program in front.
        const std::wstring recorded = Widen(ReadFileBytes(file));
        const std::wstring sent = !child || !waited || c.state ? L"" : Shell() ? L" " + line : line;
        const size_t tail = std::min(recorded.size(), sent.size());
        EXPECT_EQ(sent, Shell() && !sent.empty() ? recorded.substr(recorded.size() - tail) : recorded);
        EXPECT_TRUE(launched == started && error == (started ? 0 : ERROR_FILE_NOT_FOUND) && g_idleMs == c.idle &&
                    (!c.idle || g_idleProcess == pi.hProcess));
        // The call's own apartment is gone.
        EXPECT_EQ(c.mta ? S_FALSE : S_OK, ::CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        ::CoUninitialize();
        if (c.mta) ::CoUninitialize();
        const DWORD out = Shell() ? 0 : c.out;
        const std::wstring failed = Format(L" has returned FALSE with error code %lu", error);
        Lines want{L"XP and earlier",
                   error ? L"CreateProcess" + failed
                         : Format(L"CreateProcess has returned TRUE with hProcess == %08.8X", H(pi.hProcess))};
        if (Shell()) {
            want = {L"Vista and later --> TRUE",
                    Format(L"CoInitializeEx(NULL, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE) "
                           L"has returned %08.8X", c.mta ? RPC_E_CHANGED_MODE : S_OK),
                    L"SHELLEXECUTEINFO.lpVerb == " + std::wstring(c.verb && *c.verb ? c.verb : L"NULL"),
                    L"SHELLEXECUTEINFO.lpFile == " + program,
                    L"SHELLEXECUTEINFO.lpParameters == " + (line.empty() ? L"NULL" : line),
                    error ? L"ShellExecuteEx" + failed + Format(L", SHELLEXECUTEINFO.hInstApp == %lu", error)
                          : Format(L"ShellExecuteEx has returned TRUE with SHELLEXECUTEINFO.hProcess == %08.8X",
                                   H(pi.hProcess))};
        }
        for (std::wstring& l : want) l = L"CreateProcessExtended > " + l;
        const std::pair<const wchar_t*, DWORD> results[] = {
            {L"fCloseHandle", out}, {L"fIsLaunched", started}, {L"dwError", error}, {L"dwState", c.state}};
        for (const auto& [name, value] : results) want.push_back(Format(L"LaunchProcess > %ls==(%d)", name, value));
        const Lines lines = Take();  // the wait's own lines, between, are the wait's tests' business
        if (lines.size() > want.size())
            want.insert(want.end() - 4, lines.begin() + (want.size() - 4), lines.end() - 4);
        EXPECT_EQ(want, lines);
        EXPECT_EQ(c.in < 0 ? static_cast<DWORD>(-1) : out, close);
        const bool open = started && (Shell() || c.out != 0);
        const bool running = c.childMs > 1000 && !(c.state != 0 && c.terminate);  // then ended here, with 14
        if (!started) {  // closing leaves the fields as they were
            EXPECT_TRUE(pi.hProcess == nullptr && pi.hThread == nullptr && pi.dwProcessId == 0);
        } else if (Shell()) {
            EXPECT_TRUE(IsOpen(pi.hProcess) && pi.hThread == nullptr && (pi.dwProcessId | pi.dwThreadId) == 0);
        } else {
            EXPECT_TRUE(open == IsOpen(pi.hProcess) && open == IsOpen(pi.hThread));
            EXPECT_TRUE(pi.dwProcessId && pi.dwThreadId);
        }
        rolm::UniqueProcessInformation owned(open ? pi : PROCESS_INFORMATION{});
        if (running) ::TerminateProcess(pi.hProcess, 14);
        EXPECT_TRUE(!open || (::WaitForSingleObject(pi.hProcess, 60000) == 0 &&
                              ::GetExitCodeProcess(pi.hProcess, &code) &&
                              code == (running ? 14u : c.state != 0 ? 42u : child ? 5u : 87u)))
            << code;
    }
    ::Sleep(1500);  // the children that were not waited for finish before the folder goes
}

// The short form with each system call failed in turn (a letter per call, the last for none): its state and
// error, the failure's trace line, and every kernel handle it took closed. S: the start fails; C: COM refused,
// the start goes on; Q/q: the exit code before/after the wait; W: the wait; 0: nothing seen.
TEST(LaunchProcess, TortureEachFailedCallIsReportedAndNoHandleLeaks) {
    const char* outcomes = Shell() ? "CSQWq00" : "SQWq000";
    std::wstring line = ChildLine(L"9 300");
    // What the system keeps loaded after a first start.
    LaunchProcess(Self().c_str(), &line[0], nullptr, nullptr, SW_HIDE, nullptr);
    for (const char* c = outcomes; *c != '\0'; ++c) {
        SCOPED_TRACE(testing::Message() << outcomes << " call " << c - outcomes + 1);
        DWORD launched = 0xBAD, error = 0xBAD;
        const DWORD handles = HandleCount();
        Faults faults;
        faults.FailNth(static_cast<int>(c - outcomes + 1), ERROR_WRITE_PROTECT);
        line = ChildLine(L"9 300");
        Take();
        const DWORD state = LaunchProcess(Self().c_str(), &line[0], &launched, &error, SW_HIDE, nullptr);
        EXPECT_EQ(c[1] != '\0', faults.Failed());
        EXPECT_TRUE(state == (*c == 'S' ? 0xFFFFFFFF : *c == 'W' ? WAIT_FAILED : 0) && launched == (*c != 'S'))
            << state;
        EXPECT_EQ(*c == '0' || *c == 'C' ? 0u : 19u, error);
        const wchar_t* seen = *c == 'S'   ? L"has returned FALSE with error code 19"
                              : *c == 'C' ? L"has returned 80070013"
                              : *c == 'W' ? L"WAIT_FAILED > ERROR == 19"
                              : *c == '0' ? L"exit code == 9 ("
                                          : L"error code == 19, exit code == ";
        EXPECT_NE(std::wstring::npos, Join(Take()).find(seen)) << seen;
        EXPECT_EQ(handles, HandleCount());
    }
    ::Sleep(500);  // the children that were not waited for finish
}

}  // namespace
