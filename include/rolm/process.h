// rolm process control: starting programs (CreateProcessW on the XP
// generation, the shell from Vista on), waiting on processes, threads and
// other waitable handles while the calling thread's window messages keep
// flowing, ending them and reading their exit codes.
//
// Conventions:
//   - Results are Windows error codes (0 is success), wait results
//     (WAIT_OBJECT_0, ...) or BOOL, as each function says.
//   - Choice: a missing required pointer is refused with
//     ERROR_INVALID_PARAMETER and nothing is traced or called: GetExitCode
//     returns it; WaitForObject returns WAIT_FAILED and reports it through
//     pdwError; CreateProcessExtended returns FALSE and reports it (also as
//     the thread's last error).
//   - Traced, in fixed lines: each start with its result, each exit-code query
//     and termination, each wait pass and its return, and the outcome of
//     LaunchProcess. IsVistaOrLater and refusals of bad arguments write none.
//   - Handles passed in stay the caller's, except that WaitForObject closes
//     the one in *phObject when fCloseHandle asks for it. The handles that
//     CreateProcessExtended puts into the record belong to its caller.
#pragma once

#include <windows.h>

// Object kinds of GetExitCode, TerminateObject and WaitForObject.
#define OBJECT_PROCESS 0  // GetExitCodeProcess / TerminateProcess
#define OBJECT_THREAD 1   // GetExitCodeThread / TerminateThread
#define OBJECT_OTHER 2    // any waitable handle; WaitForObject only

// Wait flags of LaunchProcess (other bits are ignored).
#define LAUNCH_SLEEP 0x0001            // Sleep(dwDelay) after the start
#define LAUNCH_WAIT_INPUT_IDLE 0x0002  // WaitForInputIdle for at most dwDelay ms
#define LAUNCH_WAIT_PROCESS 0x0004     // WaitForObject for dwWaitTimeout ms

// Exit code of a process (bObject 0) or thread (1) into *pdwExitCode
// (STILL_ACTIVE, 259, while it runs).
//   - 0, or the system's error of the query.
//   - ERROR_INVALID_PARAMETER, untraced, for any other kind.
DWORD GetExitCode(BYTE bObject, HANDLE hObject, DWORD* pdwExitCode);

// Ends a process (0) or thread (1) with dwExitCode.
//   - 0, or the system's error of the termination.
//   - ERROR_INVALID_PARAMETER, untraced, for any other kind.
DWORD TerminateObject(BYTE bObject, HANDLE hObject, DWORD dwExitCode);

// Waits for the handle in *phObject while dispatching the calling thread's
// messages (only those for hWnd when it is not null), in passes of dwTimeout
// ms (INFINITE allowed); a pass that a message ends is followed by a full
// pass again. A process or thread that has already ended, or that cannot be
// asked, is not waited on. When a pass runs out or fails while a process or
// thread still runs and fTerminate is set, it is ended with dwExitCode. With
// fCloseHandle the handle that *phObject holds when the wait is over is
// closed and *phObject set to null; choice: nothing is closed when a window
// procedure has set the variable to null during the wait. A WM_QUIT taken
// from the queue during the wait is posted again (same exit code) before the
// call returns, so the caller's own message loop still ends.
//   - WAIT_OBJECT_0 (also for a null handle), WAIT_ABANDONED_0, WAIT_TIMEOUT
//     or WAIT_FAILED.
//   - The optional outputs receive the last exit code known (0 when none was
//     asked), the error code and the milliseconds spent.
DWORD WaitForObject(BYTE bObject, HANDLE* phObject, DWORD dwTimeout, HWND hWnd, BOOL fTerminate,
                    DWORD dwExitCode, BOOL fCloseHandle, DWORD* pdwExitCode, DWORD* pdwError,
                    DWORD* pdwElapsed);

// Whether the program runs on the Vista generation or later.
//   - TRUE when the system's major version is 6 or higher; a failed version
//     query counts as the XP generation.
BOOL IsVistaOrLater();

// Starts a program. Below Vista: CreateProcessW(lpszApplication,
// lpszCommandLine, ...) with the command line handed on unchanged (put the
// program's name in front of it yourself), the verb ignored, and all four
// fields of the record filled. From Vista on: ShellExecuteExW with
// lpszApplication as the file, lpszCommandLine as the parameters and
// lpszVerb as the verb (null or empty: the shell's defaults), inside a
// single-threaded COM apartment for the call; only hProcess of the record is
// filled (it may stay null when the shell started the program without giving
// a process). *pfShellExecute (optional) tells which path ran.
//   - TRUE when started; *pdwError (optional) receives 0.
//   - FALSE when not; *pdwError receives the system's error of the start.
//   - Choice: the shell path uninitialises COM only after a successful
//     CoInitializeEx (S_OK or S_FALSE): a failure other than
//     RPC_E_CHANGED_MODE means COM was not initialised by this call, so
//     uninitialising would take away the caller's own initialisation.
//   - Choice: a shell start whose ShellExecuteExW returned a process handle
//     but an hInstApp of 32 or less counts as failed, and that handle is
//     closed.
BOOL CreateProcessExtended(LPCWSTR lpszApplication, LPWSTR lpszCommandLine, WORD wShowWindow,
                           LPCWSTR lpszVerb, PROCESS_INFORMATION* lpProcessInformation,
                           DWORD* pfShellExecute, DWORD* pdwError);

// Starts a program through CreateProcessExtended, then as wWaitFlags asks
// sleeps or waits for input idle (dwDelay ms, 0 disables both) and waits for
// its end through WaitForObject (dwWaitTimeout ms, 0 means no wait), and
// closes or hands over the handles.
//   - 0xFFFFFFFF when the program was not started (*pfIsLaunched 0).
//   - 0 when no wait for its end took place, else the wait's result.
// pfCloseHandle (optional, in and out), on the CreateProcessW path with the
// caller's record: in non-zero closes the handles when the process has ended,
// in 0 leaves them open; out 1 means the handles in the record are open and
// now the caller's. Without a record of the caller's, or with pfCloseHandle
// null, the handles are closed. Closing does not clear the record's fields.
// Choice: on the shell path with a record of its own (no record given, and
// always in the short form) the process handle is closed, since it would
// otherwise reach nobody; with the caller's record the handle stays in it,
// open, and belongs to the caller although pfCloseHandle reports 0.
DWORD LaunchProcess(LPCWSTR lpszApplication, LPWSTR lpszCommandLine, DWORD* pfIsLaunched,
                    DWORD* pdwError, DWORD* pfCloseHandle, WORD wWaitFlags, DWORD dwWaitTimeout,
                    BOOL fTerminate, DWORD dwExitCode, WORD wShowWindow, LPCWSTR lpszVerb,
                    DWORD dwDelay, PROCESS_INFORMATION* lpProcessInformation);

// Starts a program and waits without limit for its end, dispatching the
// calling thread's messages meanwhile; closes every handle it got. Results
// as for the long form.
DWORD LaunchProcess(LPCWSTR lpszApplication, LPWSTR lpszCommandLine, DWORD* pfIsLaunched,
                    DWORD* pdwError, WORD wShowWindow, LPCWSTR lpszVerb);
