// Starting programs: CreateProcessW on the XP generation, the shell from
// Vista on; LaunchProcess adds the waits and the handle hand-over.
#include <rolm/process.h>
#include <rolm/trace.h>

#include <objbase.h>
#include <shellapi.h>

#include "common/unique.h"

BOOL IsVistaOrLater() {
    OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = sizeof info;
#ifdef _MSC_VER
#pragma warning(push)
#pragma warning(disable : 4996)  // deprecated, but the only query the XP generation has
#endif
    ::GetVersionExW(&info);
#ifdef _MSC_VER
#pragma warning(pop)
#endif
    return info.dwMajorVersion >= 6;
}

namespace {

LPCWSTR TextOrNull(LPCWSTR lpszText) { return lpszText != nullptr ? lpszText : L"NULL"; }

LPCWSTR NonEmptyOrNull(LPCWSTR lpszText) {
    return lpszText != nullptr && lpszText[0] != L'\0' ? lpszText : nullptr;
}

BOOL StartWithCreateProcess(LPCWSTR lpszApplication, LPWSTR lpszCommandLine, WORD wShowWindow,
                            PROCESS_INFORMATION* lpProcessInformation, DWORD* pdwError) {
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = wShowWindow;

    if (!::CreateProcessW(lpszApplication, lpszCommandLine, nullptr, nullptr, FALSE,
                          NORMAL_PRIORITY_CLASS, nullptr, nullptr, &si, lpProcessInformation)) {
        *pdwError = ::GetLastError();
        TraceWrite(L"CreateProcessExtended > CreateProcess has returned FALSE with error code %d", *pdwError);
        return FALSE;
    }
    TraceWrite(L"CreateProcessExtended > CreateProcess has returned TRUE with hProcess == %08.8X",
               (DWORD)(ULONG_PTR)lpProcessInformation->hProcess);
    return TRUE;
}

BOOL StartWithShell(LPCWSTR lpszApplication, LPCWSTR lpszCommandLine, WORD wShowWindow,
                    LPCWSTR lpszVerb, PROCESS_INFORMATION* lpProcessInformation, DWORD* pdwError) {
    rolm::ComSession com(COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    TraceWrite(L"CreateProcessExtended > CoInitializeEx(NULL, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE) has returned %08.8X",
               (DWORD)com.result());

    SHELLEXECUTEINFOW sei = {};
    sei.cbSize = sizeof sei;
    sei.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    sei.lpVerb = NonEmptyOrNull(lpszVerb);
    sei.lpFile = lpszApplication;
    sei.lpParameters = NonEmptyOrNull(lpszCommandLine);
    sei.nShow = wShowWindow;
    TraceWrite(L"CreateProcessExtended > SHELLEXECUTEINFO.lpVerb == %s", TextOrNull(sei.lpVerb));
    TraceWrite(L"CreateProcessExtended > SHELLEXECUTEINFO.lpFile == %s", TextOrNull(sei.lpFile));
    TraceWrite(L"CreateProcessExtended > SHELLEXECUTEINFO.lpParameters == %s", TextOrNull(sei.lpParameters));

    BOOL ok = ::ShellExecuteExW(&sei);
    rolm::UniqueHandle process(sei.hProcess);
    if (!ok || (INT_PTR)sei.hInstApp <= 32) {
        *pdwError = ::GetLastError();
        TraceWrite(L"CreateProcessExtended > ShellExecuteEx has returned FALSE with error code %d, SHELLEXECUTEINFO.hInstApp == %d",
                   *pdwError, (int)(INT_PTR)sei.hInstApp);
        return FALSE;
    }
    lpProcessInformation->hProcess = process.release();
    TraceWrite(L"CreateProcessExtended > ShellExecuteEx has returned TRUE with SHELLEXECUTEINFO.hProcess == %08.8X",
               (DWORD)(ULONG_PTR)lpProcessInformation->hProcess);
    return TRUE;
}

// The waits wWaitFlags asks for after the start; the result of the wait for
// the program's end, or 0 when there was none.
DWORD WaitAsAsked(const PROCESS_INFORMATION& pi, WORD wWaitFlags, DWORD dwWaitTimeout,
                  BOOL fTerminate, DWORD dwExitCode, DWORD dwDelay, DWORD* pdwError) {
    if ((wWaitFlags & LAUNCH_SLEEP) && dwDelay != 0) ::Sleep(dwDelay);
    if ((wWaitFlags & LAUNCH_WAIT_INPUT_IDLE) && dwDelay != 0)
        ::WaitForInputIdle(pi.hProcess, dwDelay);
    if (!(wWaitFlags & LAUNCH_WAIT_PROCESS) || dwWaitTimeout == 0) return 0;
    HANDLE hProcess = pi.hProcess;
    DWORD dwWaitExitCode = 0;
    return WaitForObject(OBJECT_PROCESS, &hProcess, dwWaitTimeout, nullptr, fTerminate, dwExitCode,
                         FALSE, &dwWaitExitCode, pdwError, nullptr);
}

// Whether the record's handles go to the caller, who then closes them
// (*pfHandedOver), or are closed here. The result is what pfCloseHandle
// reports: 1 when the caller got them on the CreateProcessW path.
DWORD HandOver(const PROCESS_INFORMATION& pi, bool fShellExecute, bool fOwnRecord,
               const DWORD* pfCloseHandle, bool* pfHandedOver, DWORD* pdwError) {
    *pfHandedOver = false;
    if (fShellExecute) {
        // Only a process handle exists; in our own record it would reach nobody.
        *pfHandedOver = !fOwnRecord;
        return 0;
    }
    if (fOwnRecord || pfCloseHandle == nullptr) return 0;
    if (*pfCloseHandle != 0) {  // closed unless the program still runs
        DWORD dwProcessExitCode = 0;
        if (!::GetExitCodeProcess(pi.hProcess, &dwProcessExitCode)) {
            if (*pdwError == 0) *pdwError = ::GetLastError();
            return 0;
        }
        if (dwProcessExitCode != STILL_ACTIVE) return 0;
    }
    *pfHandedOver = true;
    return 1;
}

}  // namespace

BOOL CreateProcessExtended(LPCWSTR lpszApplication, LPWSTR lpszCommandLine, WORD wShowWindow,
                           LPCWSTR lpszVerb, PROCESS_INFORMATION* lpProcessInformation,
                           DWORD* pfShellExecute, DWORD* pdwError) {
    if (lpProcessInformation == nullptr) {
        if (pdwError != nullptr) *pdwError = ERROR_INVALID_PARAMETER;
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpProcessInformation = PROCESS_INFORMATION{};
    BOOL fResult = FALSE;
    DWORD dwError = 0;

    if (!IsVistaOrLater()) {
        if (pfShellExecute != nullptr) *pfShellExecute = 0;
        TraceWrite(L"CreateProcessExtended > XP and earlier");
        fResult = StartWithCreateProcess(lpszApplication, lpszCommandLine, wShowWindow,
                                         lpProcessInformation, &dwError);
    } else {
        if (pfShellExecute != nullptr) *pfShellExecute = 1;
        TraceWrite(L"CreateProcessExtended > Vista and later --> TRUE");
        fResult = StartWithShell(lpszApplication, lpszCommandLine, wShowWindow, lpszVerb,
                                 lpProcessInformation, &dwError);
    }

    if (pdwError != nullptr) *pdwError = dwError;
    return fResult;
}

DWORD LaunchProcess(LPCWSTR lpszApplication, LPWSTR lpszCommandLine, DWORD* pfIsLaunched,
                    DWORD* pdwError, DWORD* pfCloseHandle, WORD wWaitFlags, DWORD dwWaitTimeout,
                    BOOL fTerminate, DWORD dwExitCode, WORD wShowWindow, LPCWSTR lpszVerb,
                    DWORD dwDelay, PROCESS_INFORMATION* lpProcessInformation) {
    DWORD dwState = 0xFFFFFFFF;
    DWORD dwError = 0;
    DWORD fCloseHandle = 0;
    PROCESS_INFORMATION ownRecord = {};
    bool fOwnRecord = lpProcessInformation == nullptr;
    PROCESS_INFORMATION* pi = fOwnRecord ? &ownRecord : lpProcessInformation;

    DWORD fShellExecute = 0;
    DWORD fIsLaunched = CreateProcessExtended(lpszApplication, lpszCommandLine, wShowWindow,
                                              lpszVerb, pi, &fShellExecute, &dwError);
    if (fIsLaunched) {
        // Closed at the end of this block unless handed over; the record's
        // fields keep their values either way.
        rolm::UniqueProcessInformation handles(*pi);
        dwState = WaitAsAsked(*pi, wWaitFlags, dwWaitTimeout, fTerminate, dwExitCode, dwDelay,
                              &dwError);
        bool fHandedOver = false;
        fCloseHandle = HandOver(*pi, fShellExecute != 0, fOwnRecord, pfCloseHandle, &fHandedOver,
                                &dwError);
        if (fHandedOver) handles.release();
    }

    if (pfCloseHandle != nullptr) *pfCloseHandle = fCloseHandle;
    if (pfIsLaunched != nullptr) *pfIsLaunched = fIsLaunched;
    if (pdwError != nullptr) *pdwError = dwError;
    TraceWrite(L"LaunchProcess > fCloseHandle==(%d)", fCloseHandle);
    TraceWrite(L"LaunchProcess > fIsLaunched==(%d)", fIsLaunched);
    TraceWrite(L"LaunchProcess > dwError==(%d)", dwError);
    TraceWrite(L"LaunchProcess > dwState==(%d)", dwState);
    return dwState;
}

DWORD LaunchProcess(LPCWSTR lpszApplication, LPWSTR lpszCommandLine, DWORD* pfIsLaunched,
                    DWORD* pdwError, WORD wShowWindow, LPCWSTR lpszVerb) {
    return LaunchProcess(lpszApplication, lpszCommandLine, pfIsLaunched, pdwError, nullptr,
                         LAUNCH_WAIT_PROCESS, INFINITE, FALSE, 0, wShowWindow, lpszVerb, 0,
                         nullptr);
}
