// rolm trace facility: printf-style diagnostic lines delivered to viewer
// windows of other programs (or of this one) and to a UTF-16 log file.
//
// Conventions of this header:
//   - TraceInit and TraceWrite return nothing and never change the calling
//     thread's last error, and so neither its Windows Sockets error, whatever
//     the sinks do: an operation may read its error after tracing its failure.
//   - A missing (null) pointer is never dereferenced: TraceWrite with no
//     format writes nothing, FormatFileTime and GetSystemErrorText say below
//     what they return for one.
//   - Nothing here traces itself.
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
// Each line goes to the sinks in that order: Qrv, log file, Vellosk, Wendlook.
//
// Choices of this library:
//   - TraceWrite may be called from several threads: the whole call runs under
//     one process-wide lock, taken only after the no-sink test, so lines are
//     never torn and every sink sees them in the same order. A thread waiting
//     for the lock keeps handling messages sent to its own windows, so a
//     thread that owns a viewer window never deadlocks with a thread
//     delivering a line to it.
//   - A TraceWrite or TraceInit call made on a thread that is already inside
//     TraceWrite (a window procedure run while a line is being delivered, or
//     while the thread waits for the lock) is dropped, so the line in flight
//     is never overwritten and the lock never waits for itself.
//   - Limits are enforced by cutting, never by overrunning: a name longer than
//     121 characters is cut to fit ("%" in a name is kept literally); messages
//     and lines longer than 4095 characters are cut (4093 while the log file is
//     on, leaving room for CR LF).
//   - A log file line that cannot be appended (file gone, held, seek or write
//     failing) is lost for the file only; the file is never made again.
#pragma once

#include <windows.h>

// Fixes the line prefix and looks up the viewer windows that are not yet known
// (so a viewer started or restarted later is found by the next call).
//   - lpszName: the prefix, taken on the first call only; null or empty means
//     no prefix.
//   - dwFileSwitch non-zero: turns the log file on when nothing exists at its
//     path, creating the file empty; an existing file (or directory) is never
//     emptied nor appended to. Once on, the log file stays on.
void TraceInit(LPCWSTR lpszName, DWORD dwFileSwitch);

// Formats one message (the CRT's wide printf conventions: "%s" takes a wide
// string, "%hs" a narrow one) and hands the line to every sink present.
//   - With no sink present it returns after one test, formatting nothing.
//   - lpszFormat null: nothing is written.
void TraceWrite(LPCWSTR lpszFormat, ...);

// Renders a FILETIME as "YYYY-MM-DD hh:mm:ss NNNms NNN.Nµs", or as sixteen hex
// digits when its top bit is set. No time-zone conversion. Returns lpszBuffer.
//   - The text is cut to fit dwCapacity characters, terminator included (64
//     always suffice).
//   - lpszBuffer null or dwCapacity 0: nothing is written.
//   - pTime null: the empty text.
LPWSTR FormatFileTime(const FILETIME* pTime, LPWSTR lpszBuffer, DWORD dwCapacity);

// The system's message text for dwCode in a block from FormatMessageW, to be
// released with LocalFree.
//   - 0: *ppszText holds the text, *pdwLength its length in characters.
//   - ERROR_INVALID_PARAMETER: ppszText or pdwLength is null; nothing is asked
//     of the system and the other output is left alone.
//   - the system's error: it has no text for the code; *ppszText is null and
//     *pdwLength 0.
DWORD GetSystemErrorText(DWORD dwCode, LPWSTR* ppszText, DWORD* pdwLength);
