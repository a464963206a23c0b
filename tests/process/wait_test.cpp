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
Lines Trace(BYTE kind, HANDLE h, const char* script, DWORD result, DWORD elapsed) {
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

// One call with every output given, checked: its result, outputs and whole trace.
void Expect(BYTE kind, HANDLE* h, DWORD timeout, BOOL terminate, BOOL close, HWND filter, const char* trace,
            DWORD result, DWORD code = 0, DWORD error = 0) {
    const HANDLE before = *h;
    DWORD r[4] = {0xBAD, 0xBAD, 0xBAD, 0xBAD};  // result, exit code, error, elapsed
    Take();
    r[0] = WaitForObject(kind, h, timeout, filter, terminate, 42, close, &r[1], &r[2], &r[3]);
    EXPECT_EQ((std::vector<DWORD>{result, code, error}), std::vector<DWORD>(r, r + 3));
    EXPECT_EQ(Trace(kind, before, trace, result, r[3]), Take());
}

HANDLE StartChild(DWORD code, DWORD ms) { return rolm_test::StartProgram(rolm_test::ChildCommandLine(L"run", RunArgs(code, ms))); }
DWORD WINAPI SetLater(void* event) { return ::Sleep(300), ::SetEvent(event); }
DWORD WINAPI Block(void* object) { return ::WaitForSingleObject(object, INFINITE), 11; }  // a mutex: ends owning it

TEST(WaitForObject, Objects) {
    const HANDLE self = ::GetCurrentProcess();
    const struct {
        char object;  // p child process (q: with query access only), t thread, e event (s: set after 300 ms),
                      // m abandoned mutex, x not open, n null
        DWORD ms;     // p q: the child runs that long (0: ended before the call)
        BYTE kind;
        DWORD timeout;
        BOOL terminate, close;
        DWORD result, code, error;
        const char* trace;
        DWORD endsWith;  // p q: the child's exit code afterwards (STILL_ACTIVE: runs on)
    } cases[] = {
        {'n', 0, OBJECT_PROCESS, 60000, TRUE, TRUE, 0, 0, 0, "C R"},
        {'p', 0, OBJECT_PROCESS, 60000, TRUE, TRUE, 0, 3, 0, "C Q3 R", 3},  // ended: not waited on
        {'p', 60000, OBJECT_PROCESS, 300, FALSE, FALSE, WAIT_TIMEOUT, STILL_ACTIVE, 0, "C Q259 T Q259 R", STILL_ACTIVE},
        {'p', 60000, OBJECT_PROCESS, 300, TRUE, FALSE, WAIT_TIMEOUT, 42, 0, "C Q259 T Q259 K0 R", 42},
        {'p', 300, OBJECT_PROCESS, INFINITE, TRUE, TRUE, 0, 3, 0, "C Q259 O Q3 R", 3},
        {'p', 60000, 3, 60000, TRUE, TRUE, 0, 0, 87, "C R", STILL_ACTIVE},  // an unknown kind is not waited on
        {'q', 60000, OBJECT_PROCESS, 60000, TRUE, FALSE, WAIT_FAILED, 42, 5, "C Q259 F5 Q259 K5 R", STILL_ACTIVE},
        {'t', 0, OBJECT_THREAD, 200, TRUE, TRUE, WAIT_TIMEOUT, 42, 0, "C q259 T q259 k0 R"},
        {'e', 0, OBJECT_OTHER, 200, TRUE, FALSE, WAIT_TIMEOUT, 0, 0, "C T R"},  // nothing asked or ended
        {'s', 0, OBJECT_OTHER, INFINITE, FALSE, TRUE, 0, 0, 0, "C O R"},
        {'m', 0, OBJECT_OTHER, 1000, FALSE, TRUE, WAIT_ABANDONED_0, 0, 0, "C A R"},
        {'x', 0, OBJECT_OTHER, 1000, FALSE, FALSE, WAIT_FAILED, 0, ERROR_INVALID_HANDLE, "C F6 R"},
        {'x', 0, OBJECT_PROCESS, 1000, TRUE, FALSE, 0, 0, ERROR_INVALID_HANDLE, "C E6 R"},  // not even asked
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.trace);
        const bool process = c.object == 'p' || c.object == 'q';
        rolm::UniqueHandle gate(::CreateEventW(nullptr, TRUE, FALSE, nullptr)), child(process ? StartChild(3, c.ms) : nullptr), helper;
        auto end = rolm::OnScopeExit([&] { if (child) ::TerminateProcess(child.get(), 1); });  // also after a failed ASSERT
        HANDLE h = c.object == 'x' ? reinterpret_cast<HANDLE>(0x7FF0) : c.object == 'm' ? ::CreateMutexW(nullptr, FALSE, nullptr) : nullptr;
        ASSERT_TRUE(!process || (child && (c.ms != 0 || ::WaitForSingleObject(child.get(), 60000) == WAIT_OBJECT_0)));
        if (process) ::DuplicateHandle(self, child.get(), self, &h, PROCESS_QUERY_INFORMATION, FALSE, c.object == 'p' ? DUPLICATE_SAME_ACCESS : 0);
        if (c.object == 'e' || c.object == 's') ::DuplicateHandle(self, gate.get(), self, &h, 0, FALSE, DUPLICATE_SAME_ACCESS);
        if (c.object == 't') h = ::CreateThread(nullptr, 0, Block, gate.get(), 0, nullptr);
        if (c.object == 's' || c.object == 'm') helper.reset(::CreateThread(nullptr, 0, c.object == 's' ? SetLater : Block, h, 0, nullptr));
        if (c.object == 'm') ::WaitForSingleObject(helper.get(), INFINITE);  // the mutex is abandoned
        const HANDLE copy = h;
        rolm::UniqueHandle owned(c.close || c.object == 'x' ? nullptr : h);
        Expect(c.kind, &h, c.timeout, c.terminate, c.close, nullptr, c.trace, c.result, c.code, c.error);
        EXPECT_TRUE(c.close ? h == nullptr && !IsOpen(copy) : h == copy && (c.object == 'x' || c.object == 'n' || IsOpen(copy)));
        DWORD code = 0;
        if (c.endsWith != STILL_ACTIVE && child) ::WaitForSingleObject(child.get(), 60000);
        EXPECT_TRUE(!child || (::GetExitCodeProcess(child.get(), &code) && code == c.endsWith)) << code;
    }
}

// What they do not handle is refused untraced, and nothing is ended or asked.
TEST(ProcessFunctions, Refusals) {
    DWORD error = 0, code = 0xBAD;
    Take();
    for (BYTE kind : {BYTE{OBJECT_OTHER}, BYTE{255}})
        EXPECT_TRUE(TerminateObject(kind, ::GetCurrentProcess(), 1) == 87 && GetExitCode(kind, ::GetCurrentProcess(), &code) == 87);
    EXPECT_EQ(87u, GetExitCode(OBJECT_PROCESS, ::GetCurrentProcess(), nullptr));
    EXPECT_TRUE(WaitForObject(OBJECT_OTHER, nullptr, 0, nullptr, FALSE, 0, TRUE, nullptr, &error, nullptr) == WAIT_FAILED && error == 87);
    EXPECT_TRUE(Take().empty());
}

// Windows of the test thread. WM_APP is counted per window; to a, wParam 1
// posts WM_QUIT (77) and wParam 2 puts g_replacement into the caller's
// handle variable.
std::map<HWND, int> g_count;
HANDLE *g_variable, g_replacement;
LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_APP && ++g_count[window] && wParam == 1) ::PostQuitMessage(77);
    if (message == WM_APP && wParam == 2) *g_variable = g_replacement;
    return message >= WM_APP ? 0 : ::DefWindowProcW(window, message, wParam, lParam);
}
HWND MakeWindow() {
    HWND window = ::CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    ::SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(WindowProc));
    return window;
}

// Posts WM_APP to a three times (wParam 0, 1, 2) and to b twice, 100 ms apart, then sets done.
struct Poster { HWND a, b; HANDLE done; };
DWORD WINAPI Post(void* param) {
    Poster* p = static_cast<Poster*>(param);
    for (int i = 0; i < 3; ++i) {
        ::Sleep(100);
        ::PostMessageW(p->a, WM_APP, i, 0);
        if (i < 2) ::PostMessageW(p->b, WM_APP, 9, 0);
    }
    return ::Sleep(100), ::SetEvent(p->done);
}

// The messages of the filtered windows are dispatched; WM_QUIT and the rest
// are left to the caller; what the variable holds at the end is closed.
TEST(WaitForObject, PumpsTheCallersMessagesAndLeavesItsQuit) {
    for (bool filtered : {false, true}) {
        SCOPED_TRACE(filtered);
        Poster poster = {MakeWindow(), MakeWindow(), ::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
        auto windows = rolm::OnScopeExit([&] { ::DestroyWindow(poster.a), ::DestroyWindow(poster.b); });
        rolm::UniqueHandle done(poster.done), thread(::CreateThread(nullptr, 0, Post, &poster, 0, nullptr));
        HANDLE h = done.get();
        g_variable = &h, g_replacement = filtered ? nullptr : ::CreateEventW(nullptr, TRUE, FALSE, nullptr), g_count.clear();
        Expect(OBJECT_OTHER, &h, INFINITE, FALSE, TRUE, filtered ? poster.a : nullptr, "C O R", 0);  // traced as it came in
        EXPECT_TRUE(h == nullptr && IsOpen(done.get()) && !IsOpen(g_replacement));  // only the variable's handle is closed
        EXPECT_TRUE(g_count[poster.a] == 3 && g_count[poster.b] == (filtered ? 0 : 2));
        MSG msg = {};  // GetMessage would block without the WM_QUIT
        ASSERT_TRUE(::PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE));
        int queued = 0;  // b's, left for the caller
        while (::GetMessageW(&msg, nullptr, 0, 0)) queued += msg.hwnd == poster.b;
        EXPECT_TRUE(queued == (filtered ? 2 : 0) && msg.wParam == 77) << queued;
        ::WaitForSingleObject(thread.get(), INFINITE);
    }
}

}  // namespace
