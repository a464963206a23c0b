// Process control on real child processes, threads, events and mutexes, with
// the trace checked line by line. The program is copied per Windows version:
// a start takes the CreateProcessW path (winxp) or the shell path (win7), as
// the copy's name says, and process_test.cases holds each path's cases.
#include <objbase.h>
#include <rolm/process.h>
#include <shellapi.h>

#include "faults.h"
#include "support.h"

using namespace rolm_test;

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

// "run CODE MS": sleeps MS, exits with CODE (the exit code a waiting start traces shows that the line got here).
ROLM_CHILD(run) {
    ::Sleep(wcstoul(argv[1], nullptr, 10));
    return static_cast<int>(wcstoul(argv[0], nullptr, 10));
}

namespace {

auto Take() { return TraceLog::Get().Take(); }
DWORD g_flags;  // a handle's, as IsOpen asks for them
bool IsOpen(HANDLE handle) { return handle != nullptr && ::GetHandleInformation(handle, &g_flags); }
std::wstring Hex(HANDLE handle) {
    wchar_t text[16];
    return std::wstring(text, ::wsprintfW(text, L"%08X", (DWORD)(ULONG_PTR)handle));
}

// Given a mutex: ends owning it.
DWORD WINAPI Block(void* mutex) { return ::WaitForSingleObject(mutex, INFINITE); }
// Says so, then blocks for good: a thread ended only once it runs the test's code, never in its start, where the
// loader's lock may be held.
HANDLE g_started = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
DWORD WINAPI Started(void*) {
    ::SetEvent(g_started);
    return ::WaitForSingleObject(::GetCurrentProcess(), INFINITE);
}

TEST(WaitForObject, Objects) {
    for (const Case& c : Cases("WaitForObject")) {
        SCOPED_TRACE(c.source);
        const char object = c.Get("object")[0];
        const bool process = object == 'p' || object == 'q';
        OwnHandle child(process ? StartProgram(ChildCommandLine(L"run", L"3 " + c.Text("ms"))) : nullptr);
        HANDLE h = object == 'x'   ? HANDLE(0x7FF0)
                   : object == 'e' ? ::CreateEventW(nullptr, TRUE, FALSE, nullptr)
                   : object == 'm' ? ::CreateMutexW(nullptr, FALSE, nullptr)
                   : object == 't' ? ::CreateThread(nullptr, 0, Started, nullptr, 0, nullptr) : nullptr;
        if (object == 't') ::WaitForSingleObject(g_started, INFINITE);
        ASSERT_TRUE(!process || c.Number("ms") != 0 || ::WaitForSingleObject(child.get(), 60000) == 0) << "ended";
        if (process)
            ::DuplicateHandle(::GetCurrentProcess(), child.get(), ::GetCurrentProcess(), &h, PROCESS_QUERY_INFORMATION,
                              FALSE, object == 'p' ? DUPLICATE_SAME_ACCESS : 0);
        if (object == 'm')
            ::WaitForSingleObject(OwnHandle(::CreateThread(nullptr, 0, Block, h, 0, nullptr)).get(), INFINITE);
        const HANDLE copy = h;
        OwnHandle owned(c.Number("close") || object == 'x' ? nullptr : h);
        DWORD code = 0xBAD, error = 0xBAD, elapsed = 0xBAD;
        Take();
        Faults faults;
        faults.FailNth(c.Number("fail"), 19);
        const DWORD start = ::GetTickCount();
        EXPECT_EQ(c.Number("result"), WaitForObject(BYTE(c.Number("kind")), object == '~' ? nullptr : &h,
                                                     c.Number("timeout"), nullptr, c.Number("terminate"), 42,
                                                     c.Number("close"), &code, &error, &elapsed));
        EXPECT_LE(elapsed, ::GetTickCount() - start) << "elapsed time";
        EXPECT_EQ(std::make_pair(c.Number("code"), c.Number("error")), std::make_pair(code, error)) << "code, error";
        EXPECT_TRUE(LinesFit(Expand(c.lines, {{L"{h}", Hex(copy)}, {L"{ms}", std::to_wstring(elapsed)}}), Take()));
        EXPECT_EQ(c.Number("close") ? nullptr : copy, h) << "the caller's variable";
        EXPECT_EQ(!c.Number("close") && object != 'x', IsOpen(copy)) << "the handle open";
        const HANDLE ended = child ? child.get() : object == 't' ? copy : nullptr;
        DWORD ends = 0;
        if (c.Number("ends") != STILL_ACTIVE && ended != nullptr) ::WaitForSingleObject(ended, 60000);
        if (ended != nullptr) process ? ::GetExitCodeProcess(ended, &ends) : ::GetExitCodeThread(ended, &ends);
        EXPECT_EQ(c.Number("ends"), ends) << "the exit code the system has";
        if (child) ::TerminateProcess(child.get(), 1);
    }
}

// What they do not handle is refused untraced, and nothing is ended or asked.
TEST(ProcessFunctions, Refusals) {
    DWORD error = 0;
    Take();
    EXPECT_EQ(87u, TerminateObject(OBJECT_OTHER, ::GetCurrentProcess(), 1));
    EXPECT_EQ(87u, GetExitCode(OBJECT_PROCESS, ::GetCurrentProcess(), nullptr));
    EXPECT_FALSE(CreateProcessExtended(L"x", nullptr, SW_HIDE, nullptr, nullptr, nullptr, &error));
    EXPECT_EQ(87u, error);
    EXPECT_EQ(std::vector<std::wstring>{}, Take());
}

// The window's WM_APP ends the wait (sets the event waited on) and puts g_replacement into the caller's variable.
HANDLE *g_variable, g_replacement;
LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_APP) *g_variable = ::SetEvent(*g_variable) ? g_replacement : nullptr;
    return ::DefWindowProcW(window, message, wParam, lParam);
}

// The messages of the filtered window are dispatched, and a pass they end is followed by another; WM_QUIT and
// the rest (the thread's own here) are left to the caller; what the variable holds at the end is closed.
TEST(WaitForObject, PumpsTheCallersMessagesAndLeavesItsQuit) {
    HWND window = ::CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    ::SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(WindowProc));
    OwnHandle done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    HANDLE h = done.get();
    g_variable = &h;
    g_replacement = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ::PostThreadMessageW(::GetCurrentThreadId(), WM_APP, 0, 0);
    ::PostMessageW(window, WM_APP, 0, 0);
    ::PostQuitMessage(77);
    EXPECT_EQ(0u, WaitForObject(OBJECT_OTHER, &h, INFINITE, window, FALSE, 0, TRUE, nullptr, nullptr, nullptr));
    EXPECT_EQ(std::make_pair(true, false), std::make_pair(IsOpen(done.get()), IsOpen(g_replacement)))
        << "open: the handle the wait began with, the one the variable holds at the end";
    MSG msg = {};  // GetMessage would block without the WM_QUIT
    ASSERT_TRUE(::PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE));
    int queued = 0;
    while (::GetMessageW(&msg, nullptr, 0, 0)) queued += msg.message == WM_APP;
    EXPECT_EQ(std::make_pair(1, WPARAM(77)), std::make_pair(queued, msg.wParam))
        << "the messages left (the thread's own, never the window's), the quit's code";
}

// The process and delay handed to WaitForInputIdle (delay 0: not called).
std::pair<HANDLE, DWORD> g_idle;
DWORD WINAPI NoteInputIdle(HANDLE process, DWORD ms) {
    g_idle = {process, ms};
    return 0;
}

// The start (record, path and trace), the wait flags, and
// pfCloseHandle with who ends up owning the record's handles (a program left running is ended here).
TEST(LaunchProcess, StartsWaitsAndHandsOver) {
    const Faults releases;  // fail nothing: each release leaves a last error of its own, as the system's may
    ImportPatch patch("user32.dll", "WaitForInputIdle", reinterpret_cast<void*>(&NoteInputIdle));
    for (const Case& c : Cases("LaunchProcess")) {
        SCOPED_TRACE(c.source);
        const std::string program = c.Get("program"), verb = c.Get("verb");
        const std::wstring path = program == "run" ? ProgramPath() : ProgramDir() + Widen(program) + L".exe";
        // CreateProcessW takes the whole line; the shell puts the program in front of it.
        std::wstring line = program == "run" ? ChildCommandLine(L"run", L"5 " + c.Text("ms")) : L"";
        // The record on the guarded heap, where a write past it is caught.
        const std::unique_ptr<PROCESS_INFORMATION> record(new PROCESS_INFORMATION{HANDLE(1), HANDLE(2), 3, 4});
        PROCESS_INFORMATION& pi = *record;
        DWORD launched = 0xBAD, close = c.Number("in");
        if (c.Number("mta")) ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);  // the shell's own is refused then
        g_idle = {};
        Take();
        const DWORD start = ::GetTickCount();
        EXPECT_EQ(c.Number("state"),
                  LaunchProcess(path.c_str(), line.empty() ? nullptr : &line[0], &launched, nullptr,
                                close == DWORD(-1) ? nullptr : &close, WORD(c.Number("flags")), c.Number("timeout"),
                                c.Number("terminate"), 42, SW_HIDE, verb == "~" ? nullptr : c.Text("verb").c_str(),
                                c.Number("delay"), &pi));
        const DWORD lastError = ::GetLastError(), slept = ::GetTickCount() - start;
        if (c.Number("mta")) ::CoUninitialize();
        EXPECT_TRUE(c.Number("error") == 0 || c.Number("error") == lastError) << "the last error " << lastError;
        EXPECT_GE(slept, c.Number("flags") & LAUNCH_SLEEP ? c.Number("delay") : 0u) << "slept";
        EXPECT_EQ(c.Number("state") != 0xFFFFFFFF, launched);
        EXPECT_EQ(std::make_pair(c.Number("idle") ? pi.hProcess : nullptr, c.Number("idle")), g_idle) << "input idle";
        const Values values = {{L"{h}", Hex(pi.hProcess)}, {L"{program}", path}, {L"{line}", line}};
        EXPECT_TRUE(LinesFit(Expand(c.lines, values), Take()));
        EXPECT_EQ(c.Number("in") == DWORD(-1) ? DWORD(-1) : c.Number("out"), close);
        EXPECT_EQ(c.Number("open") > 0, IsOpen(pi.hProcess)) << "the process handle";
        EXPECT_EQ(c.Number("open") > 1, IsOpen(pi.hThread)) << "the thread handle";
        OwnHandle process(c.Number("open") > 0 ? pi.hProcess : nullptr);
        OwnHandle thread(c.Number("open") > 1 ? pi.hThread : nullptr);
        if (process) ::TerminateProcess(process.get(), 14);
    }
}

// Each call failed in turn (19 stands for the injected error) in the short form of LaunchProcess and in the long
// form that hands the handles over (a wait's own failures are WaitForObject cases): a row per call, and the
// handles this process holds, counted, as they were.
TEST(LaunchProcess, EveryCallFailedInTurnIsReportedAndReleases) {
    const std::wstring self = ProgramPath(), line = ChildCommandLine(L"run", L"9 100");
    const std::wstring longer = ChildCommandLine(L"run", L"9 3000");
    std::wstring copy = line, copyLonger = longer;  // writable command lines, as CreateProcessW wants them
    LaunchProcess(self.c_str(), &copy[0], nullptr, nullptr, SW_HIDE, nullptr);  // what stays loaded
    Take();  // and the trace capture
    const DWORD handles = HandleCount();
    const auto released = [&] { return ::testing::AssertionResult(HandleCount() == handles) << "handles held"; };
    Faults faults;
    TortureTable(faults, 19, Failures("LaunchShort"), [&] {
        DWORD error = 0xBAD;
        copy = line;
        return Outcome{LaunchProcess(self.c_str(), &copy[0], nullptr, &error, SW_HIDE, nullptr), error};
    }, released);
    // The test closes what it is given.
    TortureTable(faults, 19, Failures("LaunchHandOver"), [&] {
        DWORD error = 0xBAD, close = 1;
        PROCESS_INFORMATION pi = {};
        copyLonger = longer;
        const DWORD state = LaunchProcess(self.c_str(), &copyLonger[0], nullptr, &error, &close,
                                          LAUNCH_WAIT_PROCESS | LAUNCH_WAIT_INPUT_IDLE, 100, FALSE, 0, SW_HIDE,
                                          nullptr, 50, &pi);
        if (close == 1 || (pi.hProcess != nullptr && pi.hThread == nullptr)) {  // handed over, or the shell's
            Faults::CountThread(0);  // the test's own end of the program, never failed
            ::TerminateProcess(pi.hProcess, 1);
            Faults::CountThread(::GetCurrentThreadId());
            ::WaitForSingleObject(pi.hProcess, 60000);
            ::CloseHandle(pi.hProcess);
        }
        if (close == 1) ::CloseHandle(pi.hThread);
        return Outcome{state, error};
    }, released);
}

TEST(ProcessFunctions, EveryCallThatCanFailHasAStandIn) { EXPECT_TRUE(StandInsCover({"process", "common"})); }

}  // namespace
