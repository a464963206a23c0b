// Exit codes, termination and the message-pumping wait.
#include <rolm/process.h>
#include <rolm/trace.h>

#include "common/unique.h"

DWORD GetExitCode(BYTE bObject, HANDLE hObject, DWORD* pdwExitCode) {
    if (pdwExitCode == nullptr) return ERROR_INVALID_PARAMETER;
    BOOL ok;
    if (bObject == OBJECT_PROCESS) ok = ::GetExitCodeProcess(hObject, pdwExitCode);
    else if (bObject == OBJECT_THREAD) ok = ::GetExitCodeThread(hObject, pdwExitCode);
    else return ERROR_INVALID_PARAMETER;

    DWORD dwError = ok ? 0 : ::GetLastError();
    if (bObject == OBJECT_PROCESS)
        TraceWrite(L"GetExitCode > HANDLE == %08.8X > GetExitCodeProcess(...) has returned: error code == %d, exit code == %d (259 == STILL_ACTIVE)",
                   (DWORD)(ULONG_PTR)hObject, dwError, *pdwExitCode);
    else
        TraceWrite(L"GetExitCode > HANDLE == %08.8X > GetExitCodeThread(...) has returned: error code == %d, exit code == %d (259 == STILL_ACTIVE)",
                   (DWORD)(ULONG_PTR)hObject, dwError, *pdwExitCode);
    return dwError;
}

DWORD TerminateObject(BYTE bObject, HANDLE hObject, DWORD dwExitCode) {
    BOOL ok;
    if (bObject == OBJECT_PROCESS) ok = ::TerminateProcess(hObject, dwExitCode);
    else if (bObject == OBJECT_THREAD) ok = ::TerminateThread(hObject, dwExitCode);
    else return ERROR_INVALID_PARAMETER;

    DWORD dwError = ok ? 0 : ::GetLastError();
    if (bObject == OBJECT_PROCESS)
        TraceWrite(L"TerminateObject > HANDLE == %08.8X > TerminateProcess(...) has returned: error code == %d",
                   (DWORD)(ULONG_PTR)hObject, dwError);
    else
        TraceWrite(L"TerminateObject > HANDLE == %08.8X > TerminateThread(...) has returned: error code == %d",
                   (DWORD)(ULONG_PTR)hObject, dwError);
    return dwError;
}

namespace {

// What a wait has learnt so far: the last exit code asked, the error to
// report and the result of the last pass.
struct WaitState {
    BYTE bObject;
    HANDLE hObject;
    DWORD dwCode;
    DWORD dwError;
    DWORD dwResult;
};

DWORD H(HANDLE hObject) { return (DWORD)(ULONG_PTR)hObject; }

// A process or thread is waited on only while it still runs; one that has
// ended, or that cannot be asked, is not. Other handles are always waited on.
bool NeedsWait(WaitState* state) {
    if (state->bObject == OBJECT_OTHER) return true;
    state->dwError = GetExitCode(state->bObject, state->hObject, &state->dwCode);
    return state->dwError == 0 && state->dwCode == STILL_ACTIVE;
}

// Ends a process or thread that a wait pass left running, when asked to. The
// termination's own error is only traced; the caller reports dwExitCode.
void ApplyTermination(WaitState* state, BOOL fTerminate, DWORD dwQueryError, DWORD dwExitCode) {
    if (fTerminate && dwQueryError == 0 && state->dwCode == STILL_ACTIVE) {
        TerminateObject(state->bObject, state->hObject, dwExitCode);
        state->dwCode = dwExitCode;
    }
}

// Traces how a pass ended and asks a process or thread how it stands; one
// left running by a pass that ran out or failed is ended when asked to.
void OnPassEnd(WaitState* state, BOOL fTerminate, DWORD dwExitCode) {
    const bool fAsk = state->bObject != OBJECT_OTHER;
    switch (state->dwResult) {
    case WAIT_OBJECT_0:
        TraceWrite(L"WaitForObject > HANDLE == %08.8X > WAIT_OBJECT_0", H(state->hObject));
        if (fAsk) state->dwError = GetExitCode(state->bObject, state->hObject, &state->dwCode);
        break;
    case WAIT_TIMEOUT:
        TraceWrite(L"WaitForObject > HANDLE == %08.8X > WAIT_TIMEOUT", H(state->hObject));
        if (fAsk) {
            state->dwError = GetExitCode(state->bObject, state->hObject, &state->dwCode);
            ApplyTermination(state, fTerminate, state->dwError, dwExitCode);
        }
        break;
    case WAIT_FAILED:
        state->dwError = ::GetLastError();
        TraceWrite(L"WaitForObject > HANDLE == %08.8X > WAIT_FAILED > ERROR == %d",
                   H(state->hObject), state->dwError);
        if (fAsk) {
            DWORD dwQueryError = GetExitCode(state->bObject, state->hObject, &state->dwCode);
            ApplyTermination(state, fTerminate, dwQueryError, dwExitCode);
        }
        break;
    case WAIT_ABANDONED_0:
        TraceWrite(L"WaitForObject > HANDLE == %08.8X > WAIT_ABANDONED_0", H(state->hObject));
        break;
    }
}

// Dispatches the queued messages (only hWnd's when it is not null). A WM_QUIT
// belongs to the caller's own loop: it is kept aside, not dispatched.
void PumpMessages(HWND hWnd, bool* pfQuit, WPARAM* pQuitCode) {
    MSG msg;
    while (::PeekMessageW(&msg, hWnd, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            *pfQuit = true;
            *pQuitCode = msg.wParam;
            continue;
        }
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
}

// Passes of dwTimeout ms until one ends other than by a message.
void RunPasses(WaitState* state, DWORD dwTimeout, HWND hWnd, BOOL fTerminate, DWORD dwExitCode) {
    bool fQuit = false;
    WPARAM quitCode = 0;
    do {
        state->dwResult =
            ::MsgWaitForMultipleObjects(1, &state->hObject, FALSE, dwTimeout, QS_ALLINPUT);
        OnPassEnd(state, fTerminate, dwExitCode);
        PumpMessages(hWnd, &fQuit, &quitCode);
        ::Sleep(10);
    } while (state->dwResult == WAIT_OBJECT_0 + 1);
    // A nested loop that took the caller's WM_QUIT puts it back, so that the
    // caller's own loop still ends.
    if (fQuit) ::PostQuitMessage(static_cast<int>(quitCode));
}

// A window procedure may have replaced the handle during the wait: what the
// variable holds now is what the caller wants closed.
void CloseWaitedHandle(HANDLE* phObject) {
    if (*phObject == nullptr) return;
    rolm::UniqueHandle closing(*phObject);
    *phObject = nullptr;
}

}  // namespace

DWORD WaitForObject(BYTE bObject, HANDLE* phObject, DWORD dwTimeout, HWND hWnd, BOOL fTerminate,
                    DWORD dwExitCode, BOOL fCloseHandle, DWORD* pdwExitCode, DWORD* pdwError,
                    DWORD* pdwElapsed) {
    DWORD dwStart = ::GetTickCount();
    if (phObject == nullptr) {
        if (pdwError != nullptr) *pdwError = ERROR_INVALID_PARAMETER;
        if (pdwElapsed != nullptr) *pdwElapsed = ::GetTickCount() - dwStart;
        return WAIT_FAILED;
    }
    WaitState state = {bObject, *phObject, 0, 0, 0};
    TraceWrite(L"WaitForObject > has been called with OBJECT == %d and HANDLE == %08.8X", bObject,
               H(state.hObject));

    if (state.hObject != nullptr) {
        if (NeedsWait(&state)) RunPasses(&state, dwTimeout, hWnd, fTerminate, dwExitCode);
        if (fCloseHandle) CloseWaitedHandle(phObject);
    }

    if (pdwExitCode != nullptr) *pdwExitCode = state.dwCode;
    if (pdwError != nullptr) *pdwError = state.dwError;
    DWORD dwElapsed = ::GetTickCount() - dwStart;
    if (pdwElapsed != nullptr) *pdwElapsed = dwElapsed;
    TraceWrite(L"WaitForObject > HANDLE == %08.8X > returns %d, elapsed time: %lu ms",
               H(state.hObject), state.dwResult, dwElapsed);
    return state.dwResult;
}
