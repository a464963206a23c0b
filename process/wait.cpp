// Exit codes, termination and the message-pumping wait.
#include <rolm/process.h>
#include <rolm/trace.h>

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

// Ends a process or thread that a wait pass left running, when asked to. The
// termination's own error is only traced; the caller reports dwExitCode.
void ApplyTermination(BYTE bObject, HANDLE hObject, BOOL fTerminate, DWORD dwQueryError,
                      DWORD* pdwExitCode, DWORD dwExitCode) {
    if (fTerminate && dwQueryError == 0 && *pdwExitCode == STILL_ACTIVE) {
        TerminateObject(bObject, hObject, dwExitCode);
        *pdwExitCode = dwExitCode;
    }
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
    HANDLE hObject = *phObject;
    DWORD dwCode = 0;
    DWORD dwError = 0;
    DWORD dwResult = 0;

    TraceWrite(L"WaitForObject > has been called with OBJECT == %d and HANDLE == %08.8X", bObject,
               (DWORD)(ULONG_PTR)hObject);

    if (hObject != nullptr) {
        bool fWait = true;
        if (bObject != OBJECT_OTHER) {
            dwError = GetExitCode(bObject, hObject, &dwCode);
            fWait = dwError == 0 && dwCode == STILL_ACTIVE;
        }

        while (fWait) {
            dwResult = ::MsgWaitForMultipleObjects(1, &hObject, FALSE, dwTimeout, QS_ALLINPUT);
            if (dwResult == WAIT_OBJECT_0) {
                TraceWrite(L"WaitForObject > HANDLE == %08.8X > WAIT_OBJECT_0", (DWORD)(ULONG_PTR)hObject);
                if (bObject != OBJECT_OTHER) dwError = GetExitCode(bObject, hObject, &dwCode);
            } else if (dwResult == WAIT_TIMEOUT) {
                TraceWrite(L"WaitForObject > HANDLE == %08.8X > WAIT_TIMEOUT", (DWORD)(ULONG_PTR)hObject);
                if (bObject != OBJECT_OTHER) {
                    dwError = GetExitCode(bObject, hObject, &dwCode);
                    ApplyTermination(bObject, hObject, fTerminate, dwError, &dwCode, dwExitCode);
                }
            } else if (dwResult == WAIT_FAILED) {
                dwError = ::GetLastError();
                TraceWrite(L"WaitForObject > HANDLE == %08.8X > WAIT_FAILED > ERROR == %d",
                           (DWORD)(ULONG_PTR)hObject, dwError);
                if (bObject != OBJECT_OTHER) {
                    DWORD dwQueryError = GetExitCode(bObject, hObject, &dwCode);
                    ApplyTermination(bObject, hObject, fTerminate, dwQueryError, &dwCode, dwExitCode);
                }
            } else if (dwResult == WAIT_ABANDONED_0) {
                TraceWrite(L"WaitForObject > HANDLE == %08.8X > WAIT_ABANDONED_0", (DWORD)(ULONG_PTR)hObject);
            }

            MSG msg;
            while (::PeekMessageW(&msg, hWnd, 0, 0, PM_REMOVE)) {
                ::TranslateMessage(&msg);
                ::DispatchMessageW(&msg);
            }
            ::Sleep(10);
            fWait = dwResult == WAIT_OBJECT_0 + 1;
        }

        // A window procedure may have replaced the handle during the wait:
        // what the variable holds now is what the caller wants closed.
        if (fCloseHandle && *phObject != nullptr) {
            ::CloseHandle(*phObject);
            *phObject = nullptr;
        }
    }

    if (pdwExitCode != nullptr) *pdwExitCode = dwCode;
    if (pdwError != nullptr) *pdwError = dwError;
    DWORD dwElapsed = ::GetTickCount() - dwStart;
    if (pdwElapsed != nullptr) *pdwElapsed = dwElapsed;
    TraceWrite(L"WaitForObject > HANDLE == %08.8X > returns %d, elapsed time: %lu ms",
               (DWORD)(ULONG_PTR)hObject, dwResult, dwElapsed);
    return dwResult;
}
