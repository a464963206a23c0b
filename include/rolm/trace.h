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
//   - TraceInit and TraceWrite may be called from any thread. Each TraceWrite
//     reads the sinks once, composes its lines in buffers of its own on the
//     stack (about 24 KB: give a thread that traces at least 64 KB) and
//     delivers them with no lock held. A thread's lines keep their order and
//     reach each sink whole or not at all; lines of different threads may
//     reach different sinks in different orders.
//   - Delivery is synchronous (SendMessageW): a TraceWrite returns once each
//     viewer window has taken its line, so a viewer that stops answering holds
//     up the threads that trace to it, and only them. TraceInit sends nothing
//     and never waits for a viewer. A thread that owns a viewer window may
//     trace, or call TraceInit, while a line is delivered to it.
//   - A TraceWrite made on a thread that is delivering a line (a window
//     procedure of this thread, run while that line is sent) is dropped, so
//     delivery never recurses.
//   - TraceInit and the log file's append take turns under a process-wide
//     lock that is held only around work that sends nothing and waits for no
//     other thread. A thread that ends anywhere inside the facility
//     (TerminateThread, or a worker the system ends at process exit before a
//     DLL's destructors trace) leaves it working for the others. No TLS slot
//     is used.
//   - Limits are enforced by cutting, never by overrunning: a name longer than
//     121 characters is cut to fit ("%" in a name is kept literally); messages
//     and lines longer than 4095 characters are cut (4093 while the log file is
//     on, leaving room for CR LF). A cut never splits a surrogate pair: the
//     first half of a pair that the limit would split is left out too.
//   - A log file line that cannot be appended (file gone, held, seek or write
//     failing) is lost for the file only; a line written in part (a full disk)
//     is cut off again, so the next one starts a line of its own. The file is
//     never made again.
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
