// Exit codes, termination and the message-pumping wait, on real child
// processes, threads, events and mutexes, with the trace checked line by line.
#include <gtest/gtest.h>
#include <rolm/process.h>

#include <map>

#include "process_test.h"

using namespace process_test;

namespace {

// The expected trace of calls on h, in a short notation: C the call, Q/q N a
// process/thread exit-code query (code N), E N a failed process query (error
// N), O T A the wait's WAIT_OBJECT_0/WAIT_TIMEOUT/WAIT_ABANDONED_0, F N a
// failed wait (error N), K/k N a process/thread termination (error N), R the return.
Lines Trace(BYTE kind, HANDLE h, const char* script, DWORD result = 0, DWORD elapsed = 0) {
    Lines lines;
    const std::wstring at = Format(L"HANDLE == %08.8X > ", H(h)), wait = L"WaitForObject > " + at;
    for (const char* p = script; *p != '\0'; ++p) {
        char op = *p, *end;
        unsigned long n = strtoul(p + 1, &end, 10);
        p = end - 1;
        const wchar_t* object = (op == 'q' || op == 'k') ? L"Thread" : L"Process";
        if (op == 'C') lines.push_back(Format(L"WaitForObject > has been called with OBJECT == %d and HANDLE == %08.8X", kind, H(h)));
        if (op == 'O' || op == 'T' || op == 'A')
            lines.push_back(wait + (op == 'O' ? L"WAIT_OBJECT_0" : op == 'T' ? L"WAIT_TIMEOUT" : L"WAIT_ABANDONED_0"));
        if (op == 'F') lines.push_back(wait + Format(L"WAIT_FAILED > ERROR == %lu", n));
        if (op == 'Q' || op == 'q' || op == 'E')
            lines.push_back(L"GetExitCode > " + at + Format(L"GetExitCode%s(...) has returned: error code == %lu, exit code == %lu (259 == STILL_ACTIVE)",
                                                            object, op == 'E' ? n : 0, op == 'E' ? 0 : n));
        if (op == 'K' || op == 'k') lines.push_back(L"TerminateObject > " + at + Format(L"Terminate%s(...) has returned: error code == %lu", object, n));
        if (op == 'R') lines.push_back(wait + Format(L"returns %d, elapsed time: %lu ms", result, elapsed));
    }
    return lines;
}

// One call with every output given, checked: its result, outputs and whole
// trace; returns the elapsed time it gave.
DWORD Expect(BYTE kind, HANDLE* h, DWORD timeout, BOOL terminate, BOOL close, HWND filter, const char* trace,
             DWORD result, DWORD code = 0, DWORD error = 0) {
    const HANDLE before = *h;
    DWORD r[4] = {0xBAD, 0xBAD, 0xBAD, 0xBAD};  // result, exit code, error, elapsed
    Clear();
    r[0] = WaitForObject(kind, h, timeout, filter, terminate, 42, close, &r[1], &r[2], &r[3]);
    EXPECT_EQ(result, r[0]);
    EXPECT_EQ(code, r[1]);
    EXPECT_EQ(error, r[2]);
    EXPECT_EQ(Trace(kind, before, trace, result, r[3]), Take());
    return r[3];
}

HANDLE StartChild(DWORD code, DWORD ms, DWORD* pid = nullptr) {
    return rolm_test::StartProgram(rolm_test::ChildCommandLine(L"run", RunArgs(code, ms)), pid);
}

DWORD WINAPI Block(void* object) {  // a mutex: the thread ends owning it
    ::WaitForSingleObject(object, INFINITE);
    return 11;
}

// Posts WM_APP to a three times and to b twice, 100 ms apart, then sets done
// (with no windows: sets it after 400 ms).
struct Poster { HWND a, b; HANDLE done; };
DWORD WINAPI Post(void* param) {
    Poster* p = static_cast<Poster*>(param);
    for (int i = 0; i < 3; ++i) {
        ::Sleep(100);
        if (p->a != nullptr) ::PostMessageW(p->a, WM_APP, 0, 0);
        if (p->b != nullptr && i < 2) ::PostMessageW(p->b, WM_APP, 0, 0);
    }
    ::Sleep(100);
    ::SetEvent(p->done);
    return 0;
}

TEST(WaitForObject, Objects) {
    const HANDLE self = ::GetCurrentProcess();
    struct Case {
        const char* name;
        char object;  // p child process (q: with query access only), t thread, e event, m abandoned mutex, x not open, n null
        DWORD ms;     // p q: the child runs that long (0: ended before the call); t e: set by another thread when 1
        BYTE kind;
        DWORD timeout;
        BOOL terminate, close;
        DWORD result, code, error;
        const char* trace;
        DWORD endsWith;  // p q: the child's exit code afterwards (STILL_ACTIVE: runs on)
    } cases[] = {
        {"null", 'n', 0, OBJECT_PROCESS, 60000, TRUE, TRUE, 0, 0, 0, "C R"},
        {"ended: not waited on", 'p', 0, OBJECT_PROCESS, 60000, TRUE, FALSE, 0, 3, 0, "C Q3 R", 3},
        {"ended, closed", 'p', 0, OBJECT_PROCESS, 60000, TRUE, TRUE, 0, 3, 0, "C Q3 R", 3},
        {"past the timeout", 'p', 60000, OBJECT_PROCESS, 300, FALSE, FALSE, WAIT_TIMEOUT, STILL_ACTIVE, 0, "C Q259 T Q259 R", STILL_ACTIVE},
        {"past the timeout, ended", 'p', 60000, OBJECT_PROCESS, 300, TRUE, FALSE, WAIT_TIMEOUT, 42, 0, "C Q259 T Q259 K0 R", 42},
        {"ends in time", 'p', 300, OBJECT_PROCESS, 60000, TRUE, TRUE, 0, 3, 0, "C Q259 O Q3 R", 3},
        {"INFINITE", 'p', 300, OBJECT_PROCESS, INFINITE, TRUE, FALSE, 0, 3, 0, "C Q259 O Q3 R", 3},
        {"unknown kind: no wait", 'p', 60000, 3, 60000, TRUE, TRUE, 0, 0, 87, "C R", STILL_ACTIVE},
        {"wait refused", 'q', 60000, OBJECT_PROCESS, 60000, FALSE, FALSE, WAIT_FAILED, STILL_ACTIVE, 5, "C Q259 F5 Q259 R", STILL_ACTIVE},
        {"wait and end refused", 'q', 60000, OBJECT_PROCESS, 60000, TRUE, FALSE, WAIT_FAILED, 42, 5, "C Q259 F5 Q259 K5 R", STILL_ACTIVE},
        {"thread past the timeout", 't', 0, OBJECT_THREAD, 200, TRUE, TRUE, WAIT_TIMEOUT, 42, 0, "C q259 T q259 k0 R"},
        {"thread ends", 't', 1, OBJECT_THREAD, INFINITE, FALSE, FALSE, 0, 11, 0, "C q259 O q11 R"},
        {"event never set: nothing asked or ended", 'e', 0, OBJECT_OTHER, 200, TRUE, FALSE, WAIT_TIMEOUT, 0, 0, "C T R"},
        {"event set by another thread", 'e', 1, OBJECT_OTHER, INFINITE, FALSE, TRUE, 0, 0, 0, "C O R"},
        {"abandoned mutex", 'm', 0, OBJECT_OTHER, 1000, FALSE, TRUE, WAIT_ABANDONED_0, 0, 0, "C A R"},
        {"not open", 'x', 0, OBJECT_OTHER, 1000, FALSE, FALSE, WAIT_FAILED, 0, ERROR_INVALID_HANDLE, "C F6 R"},
        {"not open process: not even asked", 'x', 0, OBJECT_PROCESS, 1000, TRUE, FALSE, 0, 0, ERROR_INVALID_HANDLE, "C E6 R"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HANDLE gate = ::CreateEventW(nullptr, TRUE, FALSE, nullptr), child = nullptr, h = nullptr;
        Poster setter = {nullptr, nullptr, gate};
        if (c.object == 'p' || c.object == 'q') {
            child = StartChild(3, c.ms);
            ASSERT_TRUE(child != nullptr && (c.ms != 0 || ::WaitForSingleObject(child, 60000) == WAIT_OBJECT_0));
            ::DuplicateHandle(self, child, self, &h, PROCESS_QUERY_INFORMATION, FALSE, c.object == 'p' ? DUPLICATE_SAME_ACCESS : 0);
        } else if (c.object == 't') {
            h = ::CreateThread(nullptr, 0, Block, gate, 0, nullptr);
        } else if (c.object == 'e') {
            ::DuplicateHandle(self, gate, self, &h, 0, FALSE, DUPLICATE_SAME_ACCESS);
        } else if (c.object == 'm') {  // taken by a thread that ends
            HANDLE owner = ::CreateThread(nullptr, 0, Block, h = ::CreateMutexW(nullptr, FALSE, nullptr), 0, nullptr);
            ::WaitForSingleObject(owner, INFINITE), ::CloseHandle(owner);
        } else if (c.object == 'x') {
            h = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7FF0));
        }
        if (c.ms == 1) ::CloseHandle(::CreateThread(nullptr, 0, Post, &setter, 0, nullptr));
        const HANDLE copy = h;
        DWORD elapsed = Expect(c.kind, &h, c.timeout, c.terminate, c.close, nullptr, c.trace, c.result, c.code, c.error);
        EXPECT_EQ(c.close ? nullptr : copy, h);
        EXPECT_TRUE(c.result == WAIT_TIMEOUT || elapsed < c.timeout) << elapsed;
        if (c.object != 'x' && c.object != 'n') {
            EXPECT_EQ(!c.close, IsOpen(copy));
        }
        if (c.object != 'x' && !c.close) ::CloseHandle(copy);
        if (child != nullptr) {
            DWORD code = 0;
            if (c.endsWith != STILL_ACTIVE) ::WaitForSingleObject(child, 60000);
            ::GetExitCodeProcess(child, &code);
            EXPECT_EQ(c.endsWith, code);
            ::TerminateProcess(child, 1);
            ::CloseHandle(child);
        }
        ::CloseHandle(gate);
    }
}

// What they do not handle is refused untraced, and nothing is ended
// (WaitForObject's unknown kind is a row above; the launch tests leave its
// outputs out).
TEST(ProcessFunctions, Refusals) {
    DWORD error = 0;
    Clear();
    EXPECT_EQ(87u, TerminateObject(OBJECT_OTHER, ::GetCurrentProcess(), 1));
    EXPECT_EQ(87u, TerminateObject(255, ::GetCurrentProcess(), 1));
    EXPECT_EQ(87u, GetExitCode(OBJECT_PROCESS, ::GetCurrentProcess(), nullptr));
    EXPECT_EQ(WAIT_FAILED, WaitForObject(OBJECT_OTHER, nullptr, 0, nullptr, FALSE, 0, TRUE, nullptr, &error, nullptr));
    EXPECT_EQ(87u, error);
    EXPECT_TRUE(Take().empty());
}

// Windows of the test thread: WM_APP is counted per window; WM_APP + 1 puts
// lParam into the caller's handle variable and sets the event wParam.
std::map<HWND, int> g_count;
HANDLE* g_variable;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_APP) ++g_count[window];
    if (message == WM_APP + 1) *g_variable = reinterpret_cast<HANDLE>(lParam), ::SetEvent(reinterpret_cast<HANDLE>(wParam));
    return message >= WM_APP ? 0 : ::DefWindowProcW(window, message, wParam, lParam);
}

HWND MakeWindow() {
    HWND window = ::CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    ::SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(WindowProc));
    return window;
}

TEST(WaitForObject, DispatchesMessagesOfTheFilteredWindowsDuringTheWait) {
    for (bool filtered : {false, true}) {
        SCOPED_TRACE(filtered);
        Poster poster = {MakeWindow(), MakeWindow(), ::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
        g_count.clear();
        HANDLE thread = ::CreateThread(nullptr, 0, Post, &poster, 0, nullptr), h = poster.done;
        Expect(OBJECT_OTHER, &h, INFINITE, FALSE, TRUE, filtered ? poster.a : nullptr, "C O R", 0);
        EXPECT_EQ(3, g_count[poster.a]);
        EXPECT_EQ(filtered ? 0 : 2, g_count[poster.b]);
        int queued = 0;  // left for the caller
        for (MSG msg; ::PeekMessageW(&msg, poster.b, 0, 0, PM_REMOVE);) ++queued;
        EXPECT_EQ(filtered ? 2 : 0, queued);
        ::WaitForSingleObject(thread, INFINITE);
        ::CloseHandle(thread), ::DestroyWindow(poster.a), ::DestroyWindow(poster.b);
    }
}

TEST(WaitForObject, ClosesWhatTheVariableHoldsAfterAWindowProcedureChangedIt) {
    HANDLE waited = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE other = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HWND window = MakeWindow();
    for (HANDLE replacement : {other, HANDLE{nullptr}}) {
        ::ResetEvent(waited);
        HANDLE h = waited;
        g_variable = &h;
        ::PostMessageW(window, WM_APP + 1, reinterpret_cast<WPARAM>(waited), reinterpret_cast<LPARAM>(replacement));
        Expect(OBJECT_OTHER, &h, 60000, FALSE, TRUE, nullptr, "C O R", 0);  // traced as it came in
        EXPECT_EQ(nullptr, h);
        EXPECT_TRUE(IsOpen(waited));  // only the variable's handle is closed
        EXPECT_FALSE(IsOpen(other));
    }
    ::DestroyWindow(window);
    ::CloseHandle(waited);
}

}  // namespace
