// rolm trace facility: printf-style diagnostic lines delivered to viewer
// windows of other programs and to a UTF-16 log file.
//
// Sinks, each served only while present:
//   - the list box (control 120) of a top-level window of class "Qrv":
//     timed lines "hh:mm:ss,cc NAME MESSAGE" through LB_ADDSTRING;
//   - the log file named by win.ini [Qrv] Filename (default C:\QRV.TXT):
//     the same timed lines, UTF-16LE, each ended by CR LF, no byte-order mark;
//   - a top-level window of class "Vellosk": plain lines "NAME MESSAGE" as
//     WM_COPYDATA, dwData 1, UTF-16 with the terminator counted in cbData;
//   - a top-level window titled "Wendlook": the plain line in the ANSI code
//     page as WM_COPYDATA, dwData 0, terminator counted.
//
// Choices of this library:
//   - TraceWrite may be called from several threads: the whole call runs under
//     one process-wide lock, taken only after the no-sink test. A trace call
//     made on a thread that is already inside TraceWrite (a window procedure
//     run while a line is being delivered) is dropped, so the line in flight
//     is never overwritten.
//   - Limits are enforced by cutting, never by overrunning: a name longer than
//     121 characters is cut to fit ("%" in a name is kept literally); messages
//     and lines longer than 4095 characters are cut (4093 while the log file is
//     on, leaving room for CR LF).
#pragma once

#include <windows.h>

// Fixes the line prefix (first call only; null or empty means no prefix) and
// looks up the viewer windows that are not yet known. A non-zero fileSwitch
// turns the log file on when nothing exists at its path (the file is then
// created empty); an existing file is never emptied nor appended to.
void TraceInit(LPCWSTR lpszName, DWORD dwFileSwitch);

// Formats one message (the CRT's wide printf conventions: "%s" takes a wide
// string, "%hs" a narrow one) and hands the line to every sink present.
// With no sink present it returns after one test, formatting nothing.
void TraceWrite(LPCWSTR lpszFormat, ...);

// Renders a FILETIME as "YYYY-MM-DD hh:mm:ss NNNms NNN.Nµs", or as sixteen hex
// digits when its top bit is set. No time-zone conversion. The text is cut to
// fit dwCapacity characters (64 always suffice). Returns lpszBuffer.
LPWSTR FormatFileTime(const FILETIME* pTime, LPWSTR lpszBuffer, DWORD dwCapacity);

// The system's message text for dwCode in a block from FormatMessageW, to be
// released with LocalFree. Returns 0, ERROR_INVALID_PARAMETER when an output
// is missing (nothing is asked of the system), or the system's error with
// *pdwLength 0 when it has no text for the code.
DWORD GetSystemErrorText(DWORD dwCode, LPWSTR* ppszText, DWORD* pdwLength);
