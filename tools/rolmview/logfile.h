// Saved logs: a header line, then one shown row per line, TAB-separated, in
// UTF-8 or UTF-16 with a byte order mark:
//   # rolmview log: ... (kLogHeader)
//   RECEIVED TAB STAMP TAB NAME TAB CHANNELS TAB MESSAGE
// RECEIVED is local "YYYY-MM-DD hh:mm:ss.mmm", STAMP the sender's or "-",
// CHANNELS as in "qrv+vellosk". NAME and MESSAGE are escaped alike: a
// backslash, TAB, CR and LF are written \\, \t, \r and \n, so that every
// character comes back; logs whose header lacks that note (written before)
// are read as they stand. Loading also reads record files (see Recorder).
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "copies.h"
#include "store.h"
#include "view.h"

namespace rolmview {

extern const wchar_t kLogHeader[];

// Shown entry i as a saved-log line, without its line end.
void AppendLogLine(std::wstring& out, const Store& store, const View& view, size_t i, LocalClock& clock);

// Writes the shown rows; returns a Windows error code.
DWORD SaveLog(const Store& store, const View& view, const std::wstring& path, bool utf16);

struct LoadCounts {
    ULONGLONG lines = 0;       // read as rows
    ULONGLONG unreadable = 0;  // read as neither a saved nor a recorded line
    ULONGLONG leftOut = 0;     // bytes at the front not read: more than the limits hold
    ULONGLONG size = 0;        // of the file
};

// Streams a saved log or a record file into add, one copy per readable line.
// When the file holds more than mostRows rows or mostBytes of store, only
// its last part is read (an estimate that errs towards reading less).
DWORD LoadLog(const std::wstring& path, ULONGLONG mostRows, ULONGLONG mostBytes,
              const std::function<void(const Copy&)>& add, LoadCounts* counts);

}  // namespace rolmview
