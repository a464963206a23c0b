// Exit codes, termination and the message-pumping wait, on real child
// processes, threads, events and mutexes, with the trace checked line by line.
#include <gtest/gtest.h>
#include <rolm/process.h>

#include <string>
#include <vector>

#include "children.h"
#include "support.h"

using process_test::Format;
using process_test::IsOpen;
using process_test::RunArgs;
using Lines = std::vector<std::wstring>;

namespace {

DWORD H(HANDLE handle) { return (DWORD)(ULONG_PTR)handle; }
Lines Take() { return rolm_test::TraceLog::Get().Take(); }

// The expected trace of one WaitForObject call on h, in a short notation:
// C the call, Q/q N a process/thread exit-code query (error 0, code N), O T A
// the wait's WAIT_OBJECT_0/WAIT_TIMEOUT/WAIT_ABANDONED_0, F N a failed wait
// (error N), K/k N a process/thread termination (error N), R the return.
Lines Trace(BYTE kind, HANDLE h, const char* script, DWORD result, DWORD elapsed) {
    Lines lines;
    for (const char* p = script; *p != '\0'; ++p) {
        char op = *p;
        unsigned long n = strtoul(p + 1, const_cast<char**>(&p), 10);
        --p;
        const wchar_t* object = (op == 'q' || op == 'k') ? L"Thread" : L"Process";
        switch (op) {
            case 'C': lines.push_back(Format(L"WaitForObject > has been called with OBJECT == %d and HANDLE == %08.8X", kind, H(h))); break;
            case 'O': lines.push_back(Format(L"WaitForObject > HANDLE == %08.8X > WAIT_OBJECT_0", H(h))); break;
            case 'T': lines.push_back(Format(L"WaitForObject > HANDLE == %08.8X > WAIT_TIMEOUT", H(h))); break;
            case 'A': lines.push_back(Format(L"WaitForObject > HANDLE == %08.8X > WAIT_ABANDONED_0", H(h))); break;
            case 'F': lines.push_back(Format(L"WaitForObject > HANDLE == %08.8X > WAIT_FAILED > ERROR == %lu", H(h), n)); break;
            case 'Q': case 'q':
                lines.push_back(Format(L"GetExitCode > HANDLE == %08.8X > GetExitCode%s(...) has returned: error code == 0, exit code == %lu (259 == STILL_ACTIVE)",
                                       H(h), object, n));
                break;
            case 'K': case 'k':
                lines.push_back(Format(L"TerminateObject > HANDLE == %08.8X > Terminate%s(...) has returned: error code == %lu", H(h), object, n));
                break;
            case 'R': lines.push_back(Format(L"WaitForObject > HANDLE == %08.8X > returns %d, elapsed time: %lu ms", H(h), result, elapsed)); break;
        }
    }
    return lines;
}

struct Result {
    DWORD result = 0xBAD, code = 0xBAD, error = 0xBAD, elapsed = 0xBAD;
};

// One call with every output given; the trace log is emptied first.
Result WaitOn(BYTE kind, HANDLE* h, DWORD timeout, BOOL terminate = FALSE, DWORD exitCode = 0, BOOL close = FALSE,
              HWND filter = nullptr) {
    rolm_test::TraceLog::Get().Clear();
    Result r;
    r.result = WaitForObject(kind, h, timeout, filter, terminate, exitCode, close, &r.code, &r.error, &r.elapsed);
    return r;
}

// Checks one call's result, outputs and whole trace.
#define EXPECT_WAIT(kind, h, script, result_, r, code_, error_)          \
    do {                                                                \
        EXPECT_EQ(static_cast<DWORD>(result_), (r).result);             \
        EXPECT_EQ(static_cast<DWORD>(code_), (r).code);                 \
        EXPECT_EQ(static_cast<DWORD>(error_), (r).error);               \
        EXPECT_EQ(Trace(kind, h, script, result_, (r).elapsed), Take()); \
    } while (0)

TEST(WaitForObject, NullHandleReturnsAtOnceAndClosesNothing) {
    HANDLE h = nullptr;
    Result r = WaitOn(OBJECT_PROCESS, &h, 60000, TRUE, 5, TRUE);
    EXPECT_WAIT(0, nullptr, "C R", 0u, r, 0, 0);
    EXPECT_LT(r.elapsed, 60000u);
    // Every output is optional; the handle variable is not.
    EXPECT_EQ(0u, WaitForObject(OBJECT_OTHER, &h, 0, nullptr, FALSE, 0, TRUE, nullptr, nullptr, nullptr));
    DWORD error = 0;
    EXPECT_EQ(WAIT_FAILED, WaitForObject(OBJECT_OTHER, nullptr, 0, nullptr, FALSE, 0, TRUE, nullptr, &error, nullptr));
    EXPECT_EQ(87u, error);
}

// Child processes of this program, one row each.
TEST(WaitForObject, Processes) {
    struct Case {
        DWORD childCode, childMs;  // the child ends with childCode after childMs
        bool endFirst;             // wait for its end before the call
        BYTE kind;
        DWORD timeout;
        BOOL terminate, close;
        DWORD result, code, error;
        const char* trace;
        DWORD endsWith;  // its exit code afterwards (STILL_ACTIVE: runs on)
    } cases[] = {
        {7, 0, true, OBJECT_PROCESS, 60000, TRUE, FALSE, 0, 7, 0, "C Q7 R", 7},  // ended: not waited on
        {7, 0, true, OBJECT_PROCESS, 60000, TRUE, TRUE, 0, 7, 0, "C Q7 R", 7},
        {0, 60000, false, OBJECT_PROCESS, 300, FALSE, FALSE, WAIT_TIMEOUT, STILL_ACTIVE, 0, "C Q259 T Q259 R", STILL_ACTIVE},
        {0, 60000, false, OBJECT_PROCESS, 300, TRUE, FALSE, WAIT_TIMEOUT, 42, 0, "C Q259 T Q259 K0 R", 42},
        {3, 300, false, OBJECT_PROCESS, 60000, TRUE, TRUE, 0, 3, 0, "C Q259 O Q3 R", 3},
        {3, 300, false, OBJECT_PROCESS, INFINITE, TRUE, FALSE, 0, 3, 0, "C Q259 O Q3 R", 3},
        {0, 60000, false, 3, 60000, TRUE, TRUE, 0, 0, 87, "C R", STILL_ACTIVE},  // unknown kind: no wait
    };
    int row = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(row++);
        HANDLE child = rolm_test::StartProgram(rolm_test::ChildCommandLine(L"run", RunArgs(c.childCode, c.childMs)));
        ASSERT_NE(nullptr, child);
        if (c.endFirst) {
            ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(child, 60000));
        }
        HANDLE copy = nullptr;  // the one the call may close
        ::DuplicateHandle(::GetCurrentProcess(), child, ::GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS);
        HANDLE h = copy;
        Result r = WaitOn(c.kind, &h, c.timeout, c.terminate, 42, c.close);
        EXPECT_WAIT(c.kind, copy, c.trace, c.result, r, c.code, c.error);
        EXPECT_EQ(c.close ? nullptr : copy, h);
        EXPECT_EQ(!c.close, IsOpen(copy));
        if (!c.close) ::CloseHandle(copy);
        DWORD code = 0;
        if (c.endsWith != STILL_ACTIVE) ::WaitForSingleObject(child, 60000);
        ::GetExitCodeProcess(child, &code);
        EXPECT_EQ(c.endsWith, code);
        ::TerminateProcess(child, 1);
        ::CloseHandle(child);
    }
}

DWORD WINAPI BlockOn(void* event) {
    ::WaitForSingleObject(event, INFINITE);
    return 11;
}

DWORD WINAPI SetLater(void* event) {
    ::Sleep(200);
    ::SetEvent(event);
    return 0;
}

DWORD WINAPI OwnAndLeave(void* mutex) {
    return ::WaitForSingleObject(mutex, INFINITE);  // ends owning it: abandoned
}

TEST(WaitForObject, Threads) {
    HANDLE never = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE soon = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE blocked = ::CreateThread(nullptr, 0, BlockOn, never, 0, nullptr);
    HANDLE ending = ::CreateThread(nullptr, 0, BlockOn, soon, 0, nullptr);
    HANDLE h = blocked;
    Result r = WaitOn(OBJECT_THREAD, &h, 200, TRUE, 77, TRUE);
    EXPECT_WAIT(1, blocked, "C q259 T q259 k0 R", WAIT_TIMEOUT, r, 77, 0);
    EXPECT_EQ(nullptr, h);
    ::CloseHandle(::CreateThread(nullptr, 0, SetLater, soon, 0, nullptr));
    h = ending;
    r = WaitOn(OBJECT_THREAD, &h, INFINITE);
    EXPECT_WAIT(1, ending, "C q259 O q11 R", 0u, r, 11, 0);
    ::CloseHandle(ending);
    ::CloseHandle(never);
    ::CloseHandle(soon);
}

TEST(WaitForObject, OtherObjects) {
    HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE h = event;
    Result r = WaitOn(OBJECT_OTHER, &h, 200, TRUE, 42);  // never set: nothing asked or ended
    EXPECT_WAIT(2, event, "C T R", WAIT_TIMEOUT, r, 0, 0);
    ::CloseHandle(::CreateThread(nullptr, 0, SetLater, event, 0, nullptr));
    r = WaitOn(OBJECT_OTHER, &h, INFINITE, FALSE, 0, TRUE);
    EXPECT_WAIT(2, event, "C O R", 0u, r, 0, 0);
    EXPECT_EQ(nullptr, h);
    EXPECT_FALSE(IsOpen(event));

    HANDLE mutex = ::CreateMutexW(nullptr, FALSE, nullptr);
    HANDLE owner = ::CreateThread(nullptr, 0, OwnAndLeave, mutex, 0, nullptr);
    ::WaitForSingleObject(owner, INFINITE);
    ::CloseHandle(owner);
    h = mutex;
    r = WaitOn(OBJECT_OTHER, &h, 1000, FALSE, 0, TRUE);
    EXPECT_WAIT(2, mutex, "C A R", WAIT_ABANDONED_0, r, 0, 0);

    // A handle that is not open: the wait fails with the system's error; as a
    // process it cannot even be asked, so nothing waits.
    HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7FF0));
    h = bogus;
    r = WaitOn(OBJECT_OTHER, &h, 1000);
    EXPECT_WAIT(2, bogus, "C F6 R", WAIT_FAILED, r, 0, ERROR_INVALID_HANDLE);
    r = WaitOn(OBJECT_PROCESS, &h, 1000, TRUE, 5);
    EXPECT_EQ(0u, r.result);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), r.error);
    EXPECT_EQ(3u, Take().size());
}

TEST(WaitForObject, FailedWaitOnARunningProcessStillAppliesTheTerminationRule) {
    // A handle that may be asked but neither waited on nor used to end it.
    HANDLE child = rolm_test::StartProgram(rolm_test::ChildCommandLine(L"run", RunArgs(0, 60000)));
    HANDLE limited = nullptr;
    ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), child, ::GetCurrentProcess(), &limited,
                                  PROCESS_QUERY_INFORMATION, FALSE, 0));
    HANDLE h = limited;
    Result r = WaitOn(OBJECT_PROCESS, &h, 60000);
    EXPECT_WAIT(0, limited, "C Q259 F5 Q259 R", WAIT_FAILED, r, STILL_ACTIVE, ERROR_ACCESS_DENIED);
    r = WaitOn(OBJECT_PROCESS, &h, 60000, TRUE, 42);
    EXPECT_WAIT(0, limited, "C Q259 F5 Q259 K5 R", WAIT_FAILED, r, 42, ERROR_ACCESS_DENIED);
    EXPECT_EQ(WAIT_TIMEOUT, ::WaitForSingleObject(child, 0));
    ::CloseHandle(limited);
    ::TerminateProcess(child, 1);
    ::CloseHandle(child);
}

TEST(GetExitCodeAndTerminateObject, KindsAndTraces) {
    HANDLE child = rolm_test::StartProgram(rolm_test::ChildCommandLine(L"run", RunArgs(0, 60000)));
    DWORD code = 0xBAD;
    Take();
    EXPECT_EQ(87u, GetExitCode(OBJECT_OTHER, child, &code));
    EXPECT_EQ(87u, GetExitCode(255, child, &code));
    EXPECT_EQ(0xBADu, code);
    EXPECT_EQ(87u, GetExitCode(OBJECT_PROCESS, child, nullptr));
    EXPECT_EQ(87u, TerminateObject(OBJECT_OTHER, child, 1));
    EXPECT_EQ(87u, TerminateObject(3, child, 1));
    EXPECT_TRUE(Take().empty());
    EXPECT_EQ(WAIT_TIMEOUT, ::WaitForSingleObject(child, 0));

    EXPECT_EQ(0u, GetExitCode(OBJECT_PROCESS, child, &code));
    EXPECT_EQ(STILL_ACTIVE, code);
    EXPECT_EQ(0u, TerminateObject(OBJECT_PROCESS, child, 9));
    ::WaitForSingleObject(child, 60000);
    EXPECT_EQ(0u, GetExitCode(OBJECT_PROCESS, child, &code));
    EXPECT_EQ(9u, code);
    EXPECT_EQ(Trace(0, child, "Q259 K0 Q9", 0, 0), Take());
    ::CloseHandle(child);
    HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7FF0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), TerminateObject(OBJECT_THREAD, bogus, 1));
    EXPECT_EQ(Format(L"TerminateObject > HANDLE == 00007FF0 > TerminateThread(...) has returned: error code == 6"), Take().at(0));
}

// Windows of the test thread that count what is dispatched to them.
struct Counter {
    HWND window;
    int count = 0;
};
HANDLE* g_variable;    // WM_APP + 1: the caller's handle variable,
HANDLE g_replacement;  // what is put into it,
HANDLE g_signal;       // and the event then set

LRESULT CALLBACK CountProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_APP) {
        ++reinterpret_cast<Counter*>(::GetWindowLongPtrW(window, GWLP_USERDATA))->count;
        return 0;
    }
    if (message == WM_APP + 1) {
        *g_variable = g_replacement;
        ::SetEvent(g_signal);
        return 0;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

HWND MakeWindow(Counter* counter) {
    static ATOM atom = [] {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = CountProc;
        wc.hInstance = ::GetModuleHandleW(nullptr);
        wc.lpszClassName = L"RolmProcessTestCounter";
        return ::RegisterClassW(&wc);
    }();
    HWND window = ::CreateWindowExW(0, MAKEINTATOM(atom), L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr,
                                    nullptr, ::GetModuleHandleW(nullptr), nullptr);
    ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(counter));
    if (counter != nullptr) counter->window = window;
    return window;
}

struct Poster {
    HWND a, b;
    HANDLE done;
};

DWORD WINAPI PostDuringWait(void* param) {
    Poster* p = static_cast<Poster*>(param);
    for (int i = 0; i < 3; ++i) {
        ::Sleep(100);
        ::PostMessageW(p->a, WM_APP, 0, 0);
        if (i < 2) ::PostMessageW(p->b, WM_APP, 0, 0);
    }
    ::Sleep(100);
    ::SetEvent(p->done);
    return 0;
}

int Drain(HWND window) {
    int n = 0;
    MSG msg;
    while (::PeekMessageW(&msg, window, 0, 0, PM_REMOVE)) ++n;
    return n;
}

TEST(WaitForObject, DispatchesMessagesOfTheFilteredWindowsDuringTheWait) {
    for (bool filtered : {false, true}) {
        Counter a, b;
        MakeWindow(&a);
        MakeWindow(&b);
        Poster poster = {a.window, b.window, ::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
        HANDLE thread = ::CreateThread(nullptr, 0, PostDuringWait, &poster, 0, nullptr);
        HANDLE h = poster.done;
        Result r = WaitOn(OBJECT_OTHER, &h, INFINITE, FALSE, 0, TRUE, filtered ? a.window : nullptr);
        EXPECT_WAIT(2, poster.done, "C O R", 0u, r, 0, 0);
        EXPECT_EQ(3, a.count);
        EXPECT_EQ(filtered ? 0 : 2, b.count);
        EXPECT_EQ(filtered ? 2 : 0, Drain(b.window));  // left queued for the caller
        ::WaitForSingleObject(thread, INFINITE);
        ::CloseHandle(thread);
        ::DestroyWindow(a.window);
        ::DestroyWindow(b.window);
    }
}

TEST(WaitForObject, ClosesWhatTheVariableHoldsAfterAWindowProcedureChangedIt) {
    HANDLE waited = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE other = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HWND window = MakeWindow(nullptr);
    for (HANDLE replacement : {other, HANDLE{nullptr}}) {
        ::ResetEvent(waited);
        HANDLE h = waited;
        g_variable = &h;
        g_replacement = replacement;
        g_signal = waited;
        ::PostMessageW(window, WM_APP + 1, 0, 0);
        Result r = WaitOn(OBJECT_OTHER, &h, 60000, FALSE, 0, TRUE);
        EXPECT_WAIT(2, waited, "C O R", 0u, r, 0, 0);  // traced as it came in
        EXPECT_EQ(nullptr, h);
        EXPECT_TRUE(IsOpen(waited));  // only the variable's handle is closed
        EXPECT_FALSE(IsOpen(other));
    }
    ::DestroyWindow(window);
    ::CloseHandle(waited);
}

}  // namespace

namespace {

// rolm.exe wait PID: the process's end is waited for; a PID that can't be
// opened is the system's error.
TEST(RolmExe, WaitForAProcessById) {
    DWORD pid = 0;
    HANDLE child = rolm_test::StartProgram(rolm_test::ChildCommandLine(L"run", RunArgs(6, 500)), &pid);
    ASSERT_NE(nullptr, child);
    const std::wstring tool = L"\"" + rolm_test::ProgramDir() + L"rolm.exe\" --quiet wait ";
    EXPECT_EQ(0u, rolm_test::RunProgram(tool + Format(L"%lu --timeout 60000", pid)));
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(child, 0));
    ::CloseHandle(child);
    EXPECT_EQ(87u, rolm_test::RunProgram(tool + L"0"));
    rolm_test::TraceLog::Get().Clear();
}

}  // namespace
