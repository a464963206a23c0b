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
void Clear() { rolm_test::TraceLog::Get().Clear(); }

std::wstring Called(BYTE kind, HANDLE h) {
    return Format(L"WaitForObject > has been called with OBJECT == %d and HANDLE == %08.8X", kind, H(h));
}
std::wstring Returns(HANDLE h, DWORD result, DWORD elapsed) {
    return Format(L"WaitForObject > HANDLE == %08.8X > returns %d, elapsed time: %lu ms", H(h), result, elapsed);
}
std::wstring Event(HANDLE h, const wchar_t* what) {
    return Format(L"WaitForObject > HANDLE == %08.8X > %s", H(h), what);
}
std::wstring Query(HANDLE h, DWORD code, const wchar_t* call = L"GetExitCodeProcess", DWORD error = 0) {
    return Format(L"GetExitCode > HANDLE == %08.8X > %s(...) has returned: error code == %d, exit code == %d (259 == STILL_ACTIVE)",
                  H(h), call, error, code);
}
std::wstring Terminated(HANDLE h, DWORD error = 0, const wchar_t* call = L"TerminateProcess") {
    return Format(L"TerminateObject > HANDLE == %08.8X > %s(...) has returned: error code == %d", H(h), call, error);
}

// A child process of this test program and its handle.
struct Child {
    explicit Child(DWORD code, DWORD ms) {
        handle = rolm_test::StartProgram(rolm_test::ChildCommandLine(L"run", RunArgs(code, ms)));
        EXPECT_NE(nullptr, handle);
    }
    ~Child() {
        if (handle == nullptr) return;
        ::TerminateProcess(handle, 1);
        ::CloseHandle(handle);
    }
    bool Ended(DWORD timeout = 0) const { return ::WaitForSingleObject(handle, timeout) == WAIT_OBJECT_0; }
    DWORD Code() const {
        DWORD code = 0;
        ::GetExitCodeProcess(handle, &code);
        return code;
    }
    HANDLE handle = nullptr;
};

struct Outputs {
    DWORD code = 0xBAD, error = 0xBAD, elapsed = 0xBAD;
};

DWORD Wait(BYTE kind, HANDLE* h, DWORD timeout, Outputs* out, BOOL terminate = FALSE,
           DWORD exitCode = 0, BOOL close = FALSE, HWND filter = nullptr) {
    Clear();
    return WaitForObject(kind, h, timeout, filter, terminate, exitCode, close, &out->code,
                         &out->error, &out->elapsed);
}

TEST(WaitForObject, NullHandleReturnsAtOnceAndClosesNothing) {
    HANDLE h = nullptr;
    Outputs out;
    EXPECT_EQ(0u, Wait(OBJECT_PROCESS, &h, 60000, &out, TRUE, 5, TRUE));
    EXPECT_EQ(0u, out.code);
    EXPECT_EQ(0u, out.error);
    EXPECT_LT(out.elapsed, 60000u);
    EXPECT_EQ((Lines{Called(0, nullptr), Returns(nullptr, 0, out.elapsed)}), Take());
    // Every output is optional.
    EXPECT_EQ(0u, WaitForObject(OBJECT_OTHER, &h, 0, nullptr, FALSE, 0, TRUE, nullptr, nullptr, nullptr));
    // The handle variable is not.
    DWORD error = 0;
    EXPECT_EQ(WAIT_FAILED, WaitForObject(OBJECT_OTHER, nullptr, 0, nullptr, FALSE, 0, TRUE, nullptr, &error, nullptr));
    EXPECT_EQ(87u, error);
}

TEST(WaitForObject, EndedProcessIsNotWaitedOnAndClosedWhenAsked) {
    for (BOOL close : {FALSE, TRUE}) {
        Child child(7, 0);
        ASSERT_TRUE(child.Ended(30000));
        HANDLE h = child.handle;
        Outputs out;
        EXPECT_EQ(0u, Wait(OBJECT_PROCESS, &h, 60000, &out, TRUE, 5, close));
        EXPECT_EQ(7u, out.code);
        EXPECT_EQ(0u, out.error);
        EXPECT_EQ((Lines{Called(0, child.handle), Query(child.handle, 7), Returns(child.handle, 0, out.elapsed)}),
                  Take());
        EXPECT_EQ(close ? nullptr : child.handle, h);
        EXPECT_EQ(!close, IsOpen(child.handle));
        if (close) child.handle = nullptr;
    }
}

TEST(WaitForObject, ProcessPastTheTimeoutIsEndedOnlyWhenAsked) {
    for (BOOL terminate : {FALSE, TRUE}) {
        Child child(0, 60000);
        HANDLE h = child.handle;
        Outputs out;
        EXPECT_EQ(WAIT_TIMEOUT, Wait(OBJECT_PROCESS, &h, 300, &out, terminate, 42));
        EXPECT_EQ(terminate ? 42u : STILL_ACTIVE, out.code);
        EXPECT_EQ(0u, out.error);
        Lines expected = {Called(0, h), Query(h, STILL_ACTIVE), Event(h, L"WAIT_TIMEOUT"), Query(h, STILL_ACTIVE)};
        if (terminate) expected.push_back(Terminated(h));
        expected.push_back(Returns(h, WAIT_TIMEOUT, out.elapsed));
        EXPECT_EQ(expected, Take());
        EXPECT_EQ(child.handle, h);
        if (terminate) {
            ASSERT_TRUE(child.Ended(30000));
            EXPECT_EQ(42u, child.Code());
        } else {
            EXPECT_FALSE(child.Ended());
        }
    }
}

TEST(WaitForObject, ProcessEndingDuringTheWaitIsNeverTimedOut) {
    for (DWORD timeout : {DWORD{60000}, DWORD{INFINITE}}) {
        Child child(3, 300);
        HANDLE h = child.handle;
        Outputs out;
        EXPECT_EQ(0u, Wait(OBJECT_PROCESS, &h, timeout, &out, TRUE, 42, TRUE));
        EXPECT_EQ(3u, out.code);
        EXPECT_EQ(0u, out.error);
        EXPECT_EQ((Lines{Called(0, child.handle), Query(child.handle, STILL_ACTIVE),
                         Event(child.handle, L"WAIT_OBJECT_0"), Query(child.handle, 3),
                         Returns(child.handle, 0, out.elapsed)}),
                  Take());
        EXPECT_EQ(nullptr, h);
        child.handle = nullptr;
    }
}

DWORD WINAPI BlockOn(void* event) {
    ::WaitForSingleObject(event, INFINITE);
    return 11;
}

TEST(WaitForObject, Threads) {
    HANDLE never = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE soon = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE blocked = ::CreateThread(nullptr, 0, BlockOn, never, 0, nullptr);
    HANDLE ending = ::CreateThread(nullptr, 0, BlockOn, soon, 0, nullptr);
    HANDLE h = blocked;
    Outputs out;
    EXPECT_EQ(WAIT_TIMEOUT, Wait(OBJECT_THREAD, &h, 200, &out, TRUE, 77, TRUE));
    EXPECT_EQ(77u, out.code);
    EXPECT_EQ((Lines{Called(1, blocked), Query(blocked, STILL_ACTIVE, L"GetExitCodeThread"),
                     Event(blocked, L"WAIT_TIMEOUT"), Query(blocked, STILL_ACTIVE, L"GetExitCodeThread"),
                     Terminated(blocked, 0, L"TerminateThread"), Returns(blocked, WAIT_TIMEOUT, out.elapsed)}),
              Take());
    EXPECT_EQ(nullptr, h);

    ::SetEvent(soon);
    h = ending;
    EXPECT_EQ(0u, Wait(OBJECT_THREAD, &h, INFINITE, &out));
    EXPECT_EQ(11u, out.code);
    EXPECT_EQ(0u, out.error);
    DWORD code = 0;
    EXPECT_EQ(0u, GetExitCode(OBJECT_THREAD, ending, &code));
    EXPECT_EQ(11u, code);
    ::CloseHandle(ending);
    ::CloseHandle(never);
    ::CloseHandle(soon);
}

DWORD WINAPI SetLater(void* event) {
    ::Sleep(200);
    ::SetEvent(event);
    return 0;
}

DWORD WINAPI OwnAndLeave(void* mutex) {
    return ::WaitForSingleObject(mutex, INFINITE);  // ends owning it: abandoned
}

TEST(WaitForObject, OtherObjects) {
    HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE h = event;
    Outputs out;
    // Never set: times out, nothing is asked or ended.
    EXPECT_EQ(WAIT_TIMEOUT, Wait(OBJECT_OTHER, &h, 200, &out, TRUE, 42));
    EXPECT_EQ(0u, out.code);
    EXPECT_EQ(0u, out.error);
    EXPECT_EQ((Lines{Called(2, event), Event(event, L"WAIT_TIMEOUT"), Returns(event, WAIT_TIMEOUT, out.elapsed)}),
              Take());
    // Set by another thread.
    ::CloseHandle(::CreateThread(nullptr, 0, SetLater, event, 0, nullptr));
    EXPECT_EQ(0u, Wait(OBJECT_OTHER, &h, INFINITE, &out, FALSE, 0, TRUE));
    EXPECT_EQ((Lines{Called(2, event), Event(event, L"WAIT_OBJECT_0"), Returns(event, 0, out.elapsed)}), Take());
    EXPECT_EQ(nullptr, h);
    EXPECT_FALSE(IsOpen(event));

    HANDLE mutex = ::CreateMutexW(nullptr, FALSE, nullptr);
    HANDLE owner = ::CreateThread(nullptr, 0, OwnAndLeave, mutex, 0, nullptr);
    ::WaitForSingleObject(owner, INFINITE);
    ::CloseHandle(owner);
    h = mutex;
    EXPECT_EQ(WAIT_ABANDONED_0, Wait(OBJECT_OTHER, &h, 1000, &out, FALSE, 0, TRUE));
    EXPECT_EQ((Lines{Called(2, mutex), Event(mutex, L"WAIT_ABANDONED_0"), Returns(mutex, WAIT_ABANDONED_0, out.elapsed)}),
              Take());

    // A handle that is not open: the wait fails with the system's error.
    HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7FF0));
    h = bogus;
    EXPECT_EQ(WAIT_FAILED, Wait(OBJECT_OTHER, &h, 1000, &out));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), out.error);
    EXPECT_EQ((Lines{Called(2, bogus), Format(L"WaitForObject > HANDLE == %08.8X > WAIT_FAILED > ERROR == 6", H(bogus)),
                     Returns(bogus, WAIT_FAILED, out.elapsed)}),
              Take());
    // The same handle as a process cannot be asked: no wait, the query's error.
    EXPECT_EQ(0u, Wait(OBJECT_PROCESS, &h, 1000, &out, TRUE, 5, FALSE));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), out.error);
    EXPECT_EQ(3u, Take().size());
}

TEST(WaitForObject, FailedWaitOnARunningProcessStillAppliesTheTerminationRule) {
    // A handle that may be asked but not waited on nor ended.
    Child child(0, 60000);
    HANDLE limited = nullptr;
    ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), child.handle, ::GetCurrentProcess(), &limited,
                                  PROCESS_QUERY_INFORMATION, FALSE, 0));
    for (BOOL terminate : {FALSE, TRUE}) {
        HANDLE h = limited;
        Outputs out;
        EXPECT_EQ(WAIT_FAILED, Wait(OBJECT_PROCESS, &h, 60000, &out, terminate, 42));
        EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), out.error);
        EXPECT_EQ(terminate ? 42u : STILL_ACTIVE, out.code);
        Lines expected = {Called(0, h), Query(h, STILL_ACTIVE),
                          Format(L"WaitForObject > HANDLE == %08.8X > WAIT_FAILED > ERROR == 5", H(h)),
                          Query(h, STILL_ACTIVE)};
        if (terminate) expected.push_back(Terminated(h, ERROR_ACCESS_DENIED));
        expected.push_back(Returns(h, WAIT_FAILED, out.elapsed));
        EXPECT_EQ(expected, Take());
    }
    EXPECT_FALSE(child.Ended());
    ::CloseHandle(limited);
}

TEST(WaitForObject, KindsOutsideTheTable) {
    Child child(0, 60000);
    HANDLE copy = nullptr;
    ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), child.handle, ::GetCurrentProcess(), &copy, 0,
                                  FALSE, DUPLICATE_SAME_ACCESS));
    HANDLE h = copy;
    Outputs out;
    EXPECT_EQ(0u, Wait(3, &h, 60000, &out, TRUE, 42, TRUE));
    EXPECT_EQ(87u, out.error);
    EXPECT_EQ(0u, out.code);
    EXPECT_EQ((Lines{Called(3, copy), Returns(copy, 0, out.elapsed)}), Take());
    EXPECT_EQ(nullptr, h);  // closed as asked, though never waited on
    EXPECT_FALSE(IsOpen(copy));

    DWORD code = 0xBAD;
    EXPECT_EQ(87u, GetExitCode(OBJECT_OTHER, child.handle, &code));
    EXPECT_EQ(87u, GetExitCode(255, child.handle, &code));
    EXPECT_EQ(0xBADu, code);
    EXPECT_EQ(87u, GetExitCode(OBJECT_PROCESS, child.handle, nullptr));
    EXPECT_EQ(87u, TerminateObject(OBJECT_OTHER, child.handle, 1));
    EXPECT_EQ(87u, TerminateObject(3, child.handle, 1));
    EXPECT_TRUE(Take().empty());
    EXPECT_FALSE(child.Ended());

    EXPECT_EQ(0u, GetExitCode(OBJECT_PROCESS, child.handle, &code));
    EXPECT_EQ(STILL_ACTIVE, code);
    EXPECT_EQ(0u, TerminateObject(OBJECT_PROCESS, child.handle, 9));
    ASSERT_TRUE(child.Ended(30000));
    EXPECT_EQ(0u, GetExitCode(OBJECT_PROCESS, child.handle, &code));
    EXPECT_EQ(9u, code);
    EXPECT_EQ((Lines{Query(child.handle, STILL_ACTIVE), Terminated(child.handle), Query(child.handle, 9)}), Take());
}

// Windows of the test thread that count what is dispatched to them.
struct Counter {
    HWND window;
    int count = 0;
};
HANDLE* g_variable;    // the caller's handle variable, for SwapProc
HANDLE g_replacement;  // what SwapProc puts into it
HANDLE g_signal;       // what SwapProc sets

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
        Outputs out;
        EXPECT_EQ(0u, Wait(OBJECT_OTHER, &h, INFINITE, &out, FALSE, 0, TRUE, filtered ? a.window : nullptr));
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
        Outputs out;
        EXPECT_EQ(0u, Wait(OBJECT_OTHER, &h, 60000, &out, FALSE, 0, TRUE));
        EXPECT_EQ(nullptr, h);
        EXPECT_TRUE(IsOpen(waited));      // only the variable's handle is closed
        EXPECT_FALSE(IsOpen(other));
        Lines lines = Take();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(Returns(waited, 0, out.elapsed), lines.back());  // traced as it came in
    }
    ::DestroyWindow(window);
    ::CloseHandle(waited);
}

}  // namespace
