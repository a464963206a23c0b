// Saved logs: one row per line, TAB-separated, in UTF-8 or UTF-16 with a
// byte order mark:
//   # rolmview log
//   RECEIVED TAB STAMP TAB NAME TAB CHANNELS TAB MESSAGE
// RECEIVED is local "YYYY-MM-DD hh:mm:ss.mmm", STAMP the sender's or "-",
// CHANNELS as in "qrv+vellosk"; line ends inside a message become blanks.
// Loading also reads record files (see Recorder), line by line.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "store.h"

namespace rolmview {

std::wstring RowText(const Rows& rows, size_t shown);
extern const wchar_t kLogHeader[];

// Writes the shown rows; returns a Windows error code.
DWORD SaveLog(const Rows& rows, const std::wstring& path, bool utf16);
// Reads a saved log or a record file; *skipped counts lines read as neither.
DWORD LoadLog(const std::wstring& path, std::vector<Entry>& out, size_t* skipped);

}  // namespace rolmview
