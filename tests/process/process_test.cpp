// Process control on real child processes, threads, events and mutexes, with
// the trace checked line by line. The program is copied per Windows version:
// a start takes the CreateProcessW path (winxp) or the shell path (win7), as
// the copy's name says, and each expectation is exact for that path.
#include <gtest/gtest.h>
#include <objbase.h>
#include <rolm/process.h>
#include <shellapi.h>
#include <strsafe.h>

#include <sstream>

#include "faults.h"
#include "support.h"

using namespace rolm_test;
using Lines = std::vector<std::wstring>;

ROLM_STANDIN("kernel32.dll", GetVersionExW, Fails::False, Role::None, "");
ROLM_STANDIN("kernel32.dll", CreateProcessW, Fails::False, Role::None, "");
ROLM_STANDIN("ole32.dll", CoInitializeEx, Fails::Hresult, Role::Open, "COM");
ROLM_STANDIN("ole32.dll", CoUninitialize, Fails::Never, Role::Close, "COM");
ROLM_STANDIN("shell32.dll", ShellExecuteExW, Fails::False, Role::None, "");
ROLM_STANDIN("user32.dll", WaitForInputIdle, Fails::Invalid, Role::None, "");
ROLM_STANDIN("kernel32.dll", GetExitCodeProcess, Fails::False, Role::None, "");
ROLM_STANDIN("kernel32.dll", GetExitCodeThread, Fails::False, Role::None, "");
ROLM_STANDIN("user32.dll", MsgWaitForMultipleObjects, Fails::Invalid, Role::None, "");
ROLM_STANDIN("kernel32.dll", TerminateProcess, Fails::False, Role::None, "");
ROLM_STANDIN("kernel32.dll", TerminateThread, Fails::False, Role::None, "");
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
bool Shell() { return wcsstr(::GetCommandLineW(), L"-win7.exe") != nullptr; }  // as this copy is named
bool IsOpen(HANDLE handle) {
    DWORD flags;
    return handle != nullptr && ::GetHandleInformation(handle, &flags);
}
std::wstring Self() {
    wchar_t path[MAX_PATH];
    return std::wstring(path, ::GetModuleFileNameW(nullptr, path, MAX_PATH));
}
// A writable copy of a command line, as CreateProcessW wants it.
wchar_t* Writable(const std::wstring& line) {
    static wchar_t copy[MAX_PATH + 64];
    ::StringCchCopyW(copy, _countof(copy), line.c_str());
    return copy;
}
template <typename... A>
std::wstring Format(const wchar_t* format, A... args) {
    wchar_t text[1024];
    ::StringCchPrintfW(text, 1024, format, args...);
    return text;
}

// A child process ended when the test is over, also after a failed ASSERT.
struct Child : OwnHandle {
    explicit Child(HANDLE process) : OwnHandle(process) {}
    ~Child() {
        if (*this) ::TerminateProcess(get(), 1);
    }
};

// Given a mutex: ends owning it; given an event: ends when it is set.
DWORD WINAPI Block(void* object) { return ::WaitForSingleObject(object, INFINITE) + 11; }

// A wait on *h checked: its result and outputs, and its trace between the call's line and the return's,
// written in a short notation: Q/q N a process/thread exit-code query (code N), E N a failed process query
// (error N), O T A a pass's WAIT_OBJECT_0/WAIT_TIMEOUT/WAIT_ABANDONED_0, F N a failed pass (error N), K/k N a
// process/thread termination (error N).
void ExpectWait(BYTE kind, HANDLE* h, DWORD timeout, BOOL terminate, BOOL close, HWND filter, const char* script,
                DWORD result, DWORD code = 0, DWORD error = 0) {
    const std::wstring at = Format(L"HANDLE == %08.8X > ", H(*h)), wait = L"WaitForObject > " + at;
    Lines lines{Format(L"WaitForObject > has been called with OBJECT == %d and HANDLE == %08.8X", kind, H(*h))};
    std::istringstream ops(script);
    for (std::string op; ops >> op;) {
        const char c = op[0];
        const wchar_t* object = c == 'q' || c == 'k' ? L"Thread" : L"Process";
        const unsigned long n = strtoul(&op[1], nullptr, 10);
        if (strchr("OTA", c))
            lines.push_back(wait + (c == 'O' ? L"WAIT_OBJECT_0" : c == 'T' ? L"WAIT_TIMEOUT" : L"WAIT_ABANDONED_0"));
        else if (c == 'F')
            lines.push_back(wait + Format(L"WAIT_FAILED > ERROR == %lu", n));
        else if (c == 'K' || c == 'k')
            lines.push_back(L"TerminateObject > " + at +
                            Format(L"Terminate%ls(...) has returned: error code == %lu", object, n));
        else
            lines.push_back(L"GetExitCode > " + at +
                            Format(L"GetExitCode%ls(...) has returned: error code == %lu, exit code == %lu (259 == "
                                   L"STILL_ACTIVE)", object, c == 'E' ? n : 0, c == 'E' ? 0 : n));
    }
    DWORD outputs[3] = {0xBAD, 0xBAD, 0xBAD};  // exit code, error, elapsed
    Take();
    const DWORD start = ::GetTickCount();
    EXPECT_EQ(result,
              WaitForObject(kind, h, timeout, filter, terminate, 42, close, &outputs[0], &outputs[1], &outputs[2]));
    EXPECT_EQ(code, outputs[0]) << "exit code";
    EXPECT_EQ(error, outputs[1]) << "error";
    EXPECT_LE(outputs[2], ::GetTickCount() - start) << "elapsed time";
    lines.push_back(wait + Format(L"returns %d, elapsed time: %lu ms", (int)result, outputs[2]));
    EXPECT_EQ(lines, Take());
}

// object: p a child process running ms (0: ended before the call; q: with query access only), t a thread,
// e an event, m an abandoned mutex, x a handle not open, n null; endsWith: the process's or thread's exit code
// afterwards, by the system's own account.
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
        {'t', 0, OBJECT_THREAD, 200, TRUE, FALSE, WAIT_TIMEOUT, 42, 0, "q259 T q259 k0", 42},
        {'e', 0, OBJECT_OTHER, 200, TRUE, FALSE, WAIT_TIMEOUT, 0, 0, "T"},  // nothing asked or ended
        {'m', 0, OBJECT_OTHER, 1000, FALSE, TRUE, WAIT_ABANDONED_0, 0, 0, "A"},
        {'x', 0, OBJECT_PROCESS, 1000, TRUE, FALSE, 0, 0, ERROR_INVALID_HANDLE, "E6"},  // can't be asked: not waited on
        {'p', 60000, 3, 60000, TRUE, TRUE, 0, 0, ERROR_INVALID_PARAMETER, "", STILL_ACTIVE},  // unknown kind: not asked
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.trace);
        const bool process = c.object == 'p' || c.object == 'q';
        Child child(process ? StartProgram(ChildCommandLine(L"run", Format(L"3 %lu", c.ms))) : nullptr);
        HANDLE h = c.object == 'x'   ? HANDLE(0x7FF0)
                   : c.object == 'e' ? ::CreateEventW(nullptr, TRUE, FALSE, nullptr)
                   : c.object == 'm' ? ::CreateMutexW(nullptr, FALSE, nullptr)
                   : c.object == 't' ? ::CreateThread(nullptr, 0, Block, self, 0, nullptr) : nullptr;
        ASSERT_EQ(process, !!child);
        ASSERT_TRUE(!process || c.ms != 0 || ::WaitForSingleObject(child.get(), 60000) == 0) << "ended before";
        if (process)
            ::DuplicateHandle(self, child.get(), self, &h, PROCESS_QUERY_INFORMATION, FALSE,
                              c.object == 'p' ? DUPLICATE_SAME_ACCESS : 0);
        if (c.object == 'm')
            ::WaitForSingleObject(OwnHandle(::CreateThread(nullptr, 0, Block, h, 0, nullptr)).get(), INFINITE);
        const HANDLE copy = h;
        OwnHandle owned(c.close || c.object == 'x' ? nullptr : h);
        ExpectWait(c.kind, &h, c.timeout, c.terminate, c.close, nullptr, c.trace, c.result, c.code, c.error);
        EXPECT_EQ(c.close ? nullptr : copy, h) << "the caller's variable";
        EXPECT_EQ(!c.close && c.object != 'x', IsOpen(copy)) << "the handle open";
        const HANDLE ended = child ? child.get() : c.object == 't' ? copy : nullptr;
        DWORD code = 0;
        if (c.endsWith != STILL_ACTIVE && ended != nullptr) ::WaitForSingleObject(ended, 60000);
        if (ended != nullptr) process ? ::GetExitCodeProcess(ended, &code) : ::GetExitCodeThread(ended, &code);
        EXPECT_EQ(c.endsWith, code) << "the exit code the system has";
    }
}

// What they do not handle is refused untraced, and nothing is ended or asked.
TEST(ProcessFunctions, Refusals) {
    DWORD error = 0, code = 0xBAD, waitError = 0;
    Take();
    EXPECT_EQ(87u, TerminateObject(OBJECT_OTHER, ::GetCurrentProcess(), 1));
    EXPECT_EQ(87u, GetExitCode(OBJECT_OTHER, ::GetCurrentProcess(), &code));
    EXPECT_EQ(0xBADu, code);
    EXPECT_EQ(87u, GetExitCode(OBJECT_PROCESS, ::GetCurrentProcess(), nullptr));
    EXPECT_FALSE(CreateProcessExtended(L"x", nullptr, SW_HIDE, nullptr, nullptr, nullptr, &error));
    EXPECT_EQ(WAIT_FAILED,
              WaitForObject(OBJECT_OTHER, nullptr, 0, nullptr, FALSE, 0, TRUE, nullptr, &waitError, nullptr));
    EXPECT_EQ(87u, error);
    EXPECT_EQ(87u, waitError);
    EXPECT_EQ(Lines{}, Take());
}

// The window's WM_APP are counted; the one with wParam 1 ends the wait and puts g_replacement into the caller's
// variable.
int g_count;
HANDLE *g_variable, g_replacement, g_done;
LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != WM_APP) return ::DefWindowProcW(window, message, wParam, lParam);
    g_count += 1;
    if (wParam == 1) *g_variable = ::SetEvent(g_done) ? g_replacement : nullptr;
    return 0;
}

// The messages of the filtered window are dispatched, and a pass they end is followed by another; WM_QUIT
// and the rest (the thread's own here) are left to the caller; what the variable holds at the end is closed.
TEST(WaitForObject, PumpsTheCallersMessagesAndLeavesItsQuit) {
    HWND window = ::CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    ::SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(WindowProc));
    for (bool filtered : {false, true}) {
        SCOPED_TRACE(filtered);
        OwnHandle done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        HANDLE h = g_done = done.get();
        g_variable = &h;
        g_replacement = filtered ? nullptr : ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        g_count = 0;
        for (WPARAM i : {0, 1}) {
            ::PostThreadMessageW(::GetCurrentThreadId(), WM_APP, 0, 0);
            ::PostMessageW(window, WM_APP, i, 0);
        }
        ::PostQuitMessage(77);
        ExpectWait(OBJECT_OTHER, &h, INFINITE, FALSE, TRUE, filtered ? window : nullptr, "O", 0);  // only once
        EXPECT_EQ(nullptr, h);
        EXPECT_TRUE(IsOpen(done.get())) << "the handle the wait began with";
        EXPECT_FALSE(IsOpen(g_replacement)) << "the handle the variable holds at the end";
        EXPECT_EQ(2, g_count) << "the window's messages";
        MSG msg = {};  // GetMessage would block without the WM_QUIT
        ASSERT_TRUE(::PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE));
        int queued = 0;
        while (::GetMessageW(&msg, nullptr, 0, 0)) queued += msg.message == WM_APP;
        EXPECT_EQ(filtered ? 2 : 0, queued) << "the thread's own messages left";
        EXPECT_EQ(77u, msg.wParam);
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
        const bool waited = (c.flags & LAUNCH_WAIT_PROCESS) && c.timeout != 0, child = c.program == 0;
        const bool started = c.program != 2;
        const std::wstring program = child ? Self() : started ? ProgramDir() + L"rolm.exe" : dir / L"missing.exe";
        const std::wstring file = dir / Format(L"%d.txt", &c - cases);
        // CreateProcessW takes the whole line; the shell puts the program in front of it.
        std::wstring line = child ? ChildCommandLine(L"run", Format(L"5 %lu \"", c.childMs) + file + L"\"") : L"";
        PROCESS_INFORMATION pi = {HANDLE(1), HANDLE(2), 3, 4};
        DWORD launched = 0xBAD, error = 0xBAD, close = c.in, code = 0xBAD;
        const DWORD start = ::GetTickCount();
        if (c.mta) ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        g_idleMs = 0;
        g_idleProcess = nullptr;
        Take();
        EXPECT_EQ(c.state, LaunchProcess(program.c_str(), child ? &line[0] : nullptr, &launched, &error,
                                         c.in < 0 ? nullptr : &close, c.flags, c.timeout, c.terminate, 42, SW_HIDE,
                                         c.verb, c.delay, &pi));
        const DWORD lastError = ::GetLastError(), slept = ::GetTickCount() - start;
        EXPECT_EQ(started ? 0u : 2u, error);
        if (!started) {
            EXPECT_EQ(2u, lastError) << "the caller's last error after a failed start";
        }
        EXPECT_GE(slept, c.flags & LAUNCH_SLEEP ? c.delay : 0u) << "slept";
        const std::wstring recorded = Widen(ReadFileBytes(file)), front = L"\"" + Self() + L"\" ";
        const bool fronted = Shell() && recorded.compare(0, front.size(), front) == 0;
        EXPECT_EQ(child && waited && c.state == 0 ? line : L"",
                  !waited ? L"" : fronted ? recorded.substr(front.size()) : recorded)
            << "the child's command line";
        EXPECT_EQ(started, launched);
        EXPECT_EQ(c.idle, g_idleMs);
        EXPECT_EQ(c.idle ? pi.hProcess : nullptr, g_idleProcess);
        EXPECT_EQ(c.mta ? S_FALSE : S_OK, ::CoInitializeEx(nullptr, COINIT_MULTITHREADED)) << "its apartment gone";
        ::CoUninitialize();
        if (c.mta) ::CoUninitialize();
        const DWORD out = Shell() ? 0 : c.out;
        const std::wstring shell = Shell() ? L"SHELLEXECUTEINFO." : L"";
        const std::wstring result =
            started ? Format(L"TRUE with %lshProcess == %08.8X", shell.c_str(), H(pi.hProcess))
                    : L"FALSE with error code 2" + (Shell() ? L", " + shell + L"hInstApp == 2" : L"");
        Lines want{L"XP and earlier", L"CreateProcess has returned " + result};
        if (Shell())
            want = {L"Vista and later --> TRUE",
                    Format(L"CoInitializeEx(NULL, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE) has returned "
                           L"%08.8X", c.mta ? RPC_E_CHANGED_MODE : S_OK),
                    shell + L"lpVerb == " + (c.verb && *c.verb ? c.verb : L"NULL"), shell + L"lpFile == " + program,
                    shell + L"lpParameters == " + (line.empty() ? L"NULL" : line),
                    L"ShellExecuteEx has returned " + result};
        for (std::wstring& l : want) l = L"CreateProcessExtended > " + l;
        for (auto [name, value] :
             {std::pair(L"fCloseHandle", out), {L"fIsLaunched", started}, {L"dwError", error}, {L"dwState", c.state}})
            want.push_back(Format(L"LaunchProcess > %ls==(%d)", name, value));
        const Lines lines = Take();  // the wait's own lines, between, are the wait's tests' business
        if (lines.size() > want.size()) want.insert(want.end() - 4, lines.begin() + (want.size() - 4), lines.end() - 4);
        EXPECT_EQ(want, lines);
        EXPECT_EQ(c.in < 0 ? static_cast<DWORD>(-1) : out, close);
        const bool open = started && (Shell() || c.out != 0);
        const bool running = c.childMs > 1000 && !(c.state != 0 && c.terminate);  // then ended here, with 14
        EXPECT_EQ(open, IsOpen(pi.hProcess)) << "the process handle";
        EXPECT_EQ(open && !Shell(), IsOpen(pi.hThread)) << "the thread handle";
        EXPECT_EQ(started && !Shell(), pi.dwProcessId != 0 && pi.dwThreadId != 0) << "the identifiers";
        EXPECT_EQ(0u, Shell() || !started ? H(pi.hThread) | pi.dwProcessId | pi.dwThreadId : 0u) << "only the process";
        if (!open) continue;
        if (running) ::TerminateProcess(pi.hProcess, 14);
        ::WaitForSingleObject(pi.hProcess, 60000);
        ::GetExitCodeProcess(pi.hProcess, &code);
        EXPECT_EQ(running ? 14u : c.state != 0 ? 42u : child ? 5u : 87u, code) << "the program's exit code";
        ::CloseHandle(pi.hProcess);
        if (pi.hThread != nullptr) ::CloseHandle(pi.hThread);
    }
    ::Sleep(1500);  // the children that were not waited for finish before the folder goes
}

// Runs setup with no call counted or failed.
template <typename F>
auto Uncounted(F setup) {
    Faults::CountThread(0);
    auto result = setup();
    Faults::CountThread(::GetCurrentThreadId());
    return result;
}

// Each call failed in turn (19 stands for the injected error) in the short form of LaunchProcess, in the long
// form that hands the handles over, and in waits that end a thread or a process: a row per call, and the
// handles this process holds, counted, as they were.
TEST(LaunchProcess, EveryCallFailedInTurnIsReportedAndReleases) {
    const std::wstring self = Self(), line = ChildCommandLine(L"run", L"9 100");
    const std::wstring longer = ChildCommandLine(L"run", L"9 3000");
    LaunchProcess(self.c_str(), Writable(line), nullptr, nullptr, SW_HIDE, nullptr);  // what stays loaded
    Take();  // and the trace capture
    OwnHandle never(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    DWORD handles = 0;
    const auto released = [&] {
        return HandleCount() == handles ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << "handles";
    };
    const std::wstring starter = L"CreateProcessExtended > ", waiter = L"WaitForObject > HANDLE == # > ";
    const std::wstring failedWait = waiter + L"WAIT_FAILED > ERROR == 19";
    const auto asked = [](const wchar_t* object) {
        return L"GetExitCode > HANDLE == # > GetExitCode" + std::wstring(object) +
               L"(...) has returned: error code == 19, exit code == # (259 == STILL_ACTIVE)";
    };
    const std::wstring process = asked(L"Process"), thread = asked(L"Thread");
    const std::wstring coInit =
        starter + L"CoInitializeEx(NULL, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE) has returned 80070013";
    const std::wstring shell =
        starter + L"ShellExecuteEx has returned FALSE with error code 19, SHELLEXECUTEINFO.hInstApp == 0";
    const std::wstring create = starter + L"CreateProcess has returned FALSE with error code 19";
    const std::wstring xp = starter + L"XP and earlier";
    std::vector<Failure> rows = {
        {"GetVersionExW", 0, 0, Shell() ? xp : L""},  // the XP generation
        {"CreateProcessW", 0xFFFFFFFF, 19, create.c_str()}, {"CoInitializeEx", 0, 0, coInit.c_str()},  // goes on
        {"ShellExecuteExW", 0xFFFFFFFF, 19, shell.c_str()},
        {"GetExitCodeProcess#1", 0, 19, process.c_str()},  // not waited on
        {"MsgWaitForMultipleObjects", WAIT_FAILED, 19, failedWait.c_str()},
        {"GetExitCodeProcess#2", 0, 19, process.c_str()}};
    Faults faults;
    handles = HandleCount();
    TortureTable(faults, 19, rows, [&] {
        DWORD error = 0xBAD;
        return Outcome{LaunchProcess(self.c_str(), Writable(line), nullptr, &error, SW_HIDE, nullptr), error};
    }, released);
    // The long form with the caller's record, the program still running when its wait runs out: handed over on
    // the CreateProcessW path (the test closes what it is given), closed on the shell path.
    for (Failure& row : rows) row.result = row.result == 0 && row.call != rows[4].call ? WAIT_TIMEOUT : row.result;
    rows.push_back({"WaitForInputIdle", WAIT_TIMEOUT, 0, L""});
    rows.push_back({"GetExitCodeProcess#3", WAIT_TIMEOUT, 19, L"LaunchProcess > fCloseHandle==(0)"});
    TortureTable(faults, 19, rows, [&] {
        DWORD error = 0xBAD, close = 1;
        PROCESS_INFORMATION pi = {};
        const DWORD state = LaunchProcess(self.c_str(), Writable(longer), nullptr, &error, &close, LAUNCH_WAIT_PROCESS |
                                          LAUNCH_WAIT_INPUT_IDLE, 100, FALSE, 0, SW_HIDE, nullptr, 50, &pi);
        if (pi.hProcess != nullptr && (close == 1 || Shell())) {
            Uncounted([&] { return ::TerminateProcess(pi.hProcess, 1) && ::WaitForSingleObject(pi.hProcess, 60000); });
            ::CloseHandle(pi.hProcess);
        }
        if (close == 1) ::CloseHandle(pi.hThread);
        return Outcome{state, error};
    }, released);
    // A thread, then a process, left running by a pass that runs out: ended with 42 (error: the exit code).
    for (BYTE kind : {BYTE{OBJECT_THREAD}, BYTE{OBJECT_PROCESS}}) {
        const bool isThread = kind == OBJECT_THREAD;
        const std::wstring& asked = isThread ? thread : process;
        const std::wstring ended = L"TerminateObject > HANDLE == # > Terminate" +
                                   std::wstring(isThread ? L"Thread" : L"Process") +
                                   L"(...) has returned: error code == 19";
        const char* query = isThread ? "GetExitCodeThread" : "GetExitCodeProcess";
        const std::string first = query + std::string("#1"), second = query + std::string("#2");
        TortureTable(faults, 19, {{first.c_str(), 0, 0, asked.c_str()},
                                  {"MsgWaitForMultipleObjects", WAIT_FAILED, 42, failedWait.c_str()},
                                  {second.c_str(), WAIT_TIMEOUT, STILL_ACTIVE, asked.c_str()},  // not ended
                                  {isThread ? "TerminateThread" : "TerminateProcess", WAIT_TIMEOUT, 42, ended.c_str()}},
                     [&] {
                         OwnHandle object(Uncounted([&] {
                             return isThread ? ::CreateThread(nullptr, 0, Block, never.get(), 0, nullptr)
                                             : StartProgram(ChildCommandLine(L"run", L"7 60000"));
                         }));
                         HANDLE h = object.get();
                         DWORD code = 0xBAD;
                         const DWORD result =
                             WaitForObject(kind, &h, 50, nullptr, TRUE, 42, FALSE, &code, nullptr, nullptr);
                         Uncounted([&] {  // what the failure left running ends
                             isThread ? ::SetEvent(never.get()) : ::TerminateProcess(h, 1);
                             return ::WaitForSingleObject(h, INFINITE) || ::ResetEvent(never.get());
                         });
                         return Outcome{result, code};
                     }, released);
    }
}

TEST(ProcessFunctions, EveryCallThatCanFailHasAStandIn) { EXPECT_TRUE(StandInsCover({"process", "common"})); }

}  // namespace
