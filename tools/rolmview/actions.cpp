// What the viewer does when asked: the queries of other programs, copy,
// save and load, find, bookmarks, the time origin and the history limit.
#include <windows.h>
#include <strsafe.h>
#include <string.h>

#include <new>

#include "dialogs.h"
#include "logfile.h"
#include "resource.h"
#include "viewer.h"

namespace rolmview {

namespace {

const size_t kTrimEvery = 4096;  // copies loaded between two looks at the limits

// A file dialog's description, its chosen path written into path (MAX_PATH characters).
OPENFILENAMEW FileDialog(HWND owner, const wchar_t* filter, wchar_t* path, DWORD flags) {
    OPENFILENAMEW ofn = {};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = owner;
    ofn.lpstrFilter = filter;
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = path;
    ofn.nMaxFile = MAX_PATH;
    ofn.Flags = flags | OFN_HIDEREADONLY;
    return ofn;
}

}  // namespace

void Viewer::ChangeHistoryLimit() {
    if (!EditHistoryLimit(window_, settings_)) return;
    store_.SetLimits(settings_.maxRows, static_cast<ULONGLONG>(settings_.maxMegabytes) << 20);
    bool atBottom = AtBottom();
    size_t before = view_.size();
    Trim();
    Show(before, before, atBottom);
}

LRESULT Viewer::OnQuery(const COPYDATASTRUCT* copy) {
    if (copy == nullptr) return ERROR_INVALID_PARAMETER;
    if (copy->dwData != kQuerySaveUtf8 && copy->dwData != kQuerySaveUtf16 && copy->dwData != kQueryLoad)
        return ERROR_INVALID_FUNCTION;
    std::wstring path(copy->cbData / sizeof(wchar_t), L'\0');
    if (!path.empty() && copy->lpData != nullptr) memcpy(&path[0], copy->lpData, path.size() * sizeof(wchar_t));
    size_t end = path.find(L'\0');
    if (end == std::wstring::npos || end == 0) return ERROR_INVALID_PARAMETER;
    path.resize(end);
    if (copy->dwData == kQueryLoad) return Load(path, false);
    Drain();
    UpdateStatus();  // what asked may read the status bar next
    DWORD error = SaveLog(store_, view_, path, copy->dwData == kQuerySaveUtf16);
    if (error != ERROR_SUCCESS) Report(L"Cannot save to " + path + L": " + ErrorText(error), false);
    return error;
}

void Viewer::CopySelection() {
    if (::GetFocus() == detail_) {
        ::SendMessageW(detail_, WM_COPY, 0, 0);
        return;
    }
    std::wstring text;
    size_t rows = 0;
    try {
        for (int i = -1; (i = ListView_GetNextItem(list_, i, LVNI_SELECTED)) >= 0; ++rows) {
            AppendLogLine(text, store_, view_, static_cast<size_t>(i), clock_);
            text += L"\r\n";
        }
    } catch (const std::bad_alloc&) {
        Report(L"Not enough memory to copy " + Count(static_cast<ULONGLONG>(ListView_GetSelectedCount(list_))) +
                   L" rows: select fewer",
               true);
        return;
    }
    if (text.empty()) return;
    size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    UniqueGlobal block(::GlobalAlloc(GMEM_MOVEABLE, bytes));
    void* data = block ? ::GlobalLock(block.get()) : nullptr;
    if (data == nullptr) {
        Report(L"Not enough memory to copy " + Count(rows) + L" rows: select fewer", true);
        return;
    }
    memcpy(data, text.c_str(), bytes);
    ::GlobalUnlock(block.get());
    if (!::OpenClipboard(window_)) return;
    ::EmptyClipboard();
    if (::SetClipboardData(CF_UNICODETEXT, block.get()) != nullptr) block.release();  // the clipboard's now
    ::CloseClipboard();
}

void Viewer::SaveAs() {
    wchar_t path[MAX_PATH] = L"trace.log";
    OPENFILENAMEW ofn = FileDialog(window_, L"Log, UTF-8 (*.log)\0*.log\0Log, UTF-16 (*.log)\0*.log\0All files\0*.*\0",
                                   path, OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST);
    ofn.lpstrDefExt = L"log";
    if (!::GetSaveFileNameW(&ofn)) return;
    Drain();
    DWORD error = SaveLog(store_, view_, path, ofn.nFilterIndex == 2);
    if (error != ERROR_SUCCESS) {
        Report(std::wstring(L"Cannot save to ") + path + L": " + ErrorText(error), true);
        return;
    }
    Report(L"Saved " + Count(view_.size()) + L" rows to " + path, false);
}

void Viewer::OpenLog() {
    wchar_t path[MAX_PATH] = L"";
    OPENFILENAMEW ofn = FileDialog(window_, L"Logs and records (*.log;*.txt)\0*.log;*.txt\0All files\0*.*\0", path,
                                   OFN_FILEMUSTEXIST);
    if (::GetOpenFileNameW(&ofn)) Load(path, true);
}

// Loaded rows come after those already held, through the same limits; a
// file larger than they hold is read from where its last part begins.
DWORD Viewer::Load(const std::wstring& path, bool box) {
    Drain();
    bool atBottom = AtBottom();
    size_t before = view_.size(), changed = before, sinceTrim = 0;
    DWORD live = store_.openChannels();
    store_.SetOpenChannels(kTraceChannels);  // a log's copies join as they came
    LoadCounts counts;
    DWORD error = LoadLog(path, store_.maxRows(), store_.maxBytes(), [&](const Copy& copy) {
        size_t at = Add(copy);
        if (at < changed) changed = at;
        if (++sinceTrim % kTrimEvery == 0) Trim();
    }, &counts);
    store_.SetOpenChannels(live);
    Trim();
    Show(before, changed, atBottom);
    if (error != ERROR_SUCCESS) {
        Report(L"Cannot load " + path + L": " + ErrorText(error), box);
        return error;
    }
    std::wstring text = L"Loaded " + Count(counts.lines) + L" lines from " + path;
    if (counts.unreadable != 0) text += L" (" + Count(counts.unreadable) + L" lines unreadable)";
    if (counts.leftOut != 0) {
        wchar_t share[16];
        StringCchPrintfW(share, 16, L"%.0f%%", 100.0 * static_cast<double>(counts.leftOut) / counts.size);
        text += L"; its first " + Size(counts.leftOut) + L" (" + share +
                L") were left out: more than the history limit holds";
    }
    bool log = counts.unreadable <= counts.lines;  // a file mostly unreadable is not a log: worth a box
    Report(log ? text : L"Not a saved log or record file. " + text, box && !log);
    return ERROR_SUCCESS;
}

void Viewer::OpenFind() {
    if (findDialog_ != nullptr) {
        ::SetFocus(findDialog_);
        return;
    }
    find_.lStructSize = sizeof find_;
    find_.hwndOwner = window_;
    find_.lpstrFindWhat = findText_;
    find_.wFindWhatLen = ARRAYSIZE(findText_);
    find_.Flags = (find_.Flags & FR_MATCHCASE) | FR_DOWN | FR_HIDEWHOLEWORD;
    findDialog_ = ::FindTextW(&find_);
}

// Selects the next row (down) or the previous one whose name or message holds
// the text, and holds the view there.
void Viewer::Find(bool down, bool matchCase) {
    if (findText_[0] == L'\0') {
        OpenFind();
        return;
    }
    std::wstring needle = matchCase ? std::wstring(findText_) : Fold(findText_);
    int count = static_cast<int>(view_.size()), step = down ? 1 : -1;
    int at = ListView_GetNextItem(list_, -1, LVNI_FOCUSED);
    for (int i = at < 0 ? (down ? 0 : count - 1) : at + step; i >= 0 && i < count; i += step) {
        const Row& row = store_.row(view_.seq(static_cast<size_t>(i)));
        if (!Contains(store_.Text(row), row.length, needle, matchCase)) continue;
        Select(i);
        KeepBesideFind(i);
        Report(L"", false);
        return;
    }
    ::MessageBeep(MB_OK);
    Report(std::wstring(L"\"") + findText_ + (down ? L"\" not found below" : L"\" not found above"), false, kPassing);
}

// The found row stays in sight: the find dialog moves above or below it.
void Viewer::KeepBesideFind(int item) {
    RECT row, dialog, overlap, work;
    if (findDialog_ == nullptr || !ListView_GetItemRect(list_, item, &row, LVIR_BOUNDS) ||
        !::GetWindowRect(findDialog_, &dialog))
        return;
    ::MapWindowPoints(list_, nullptr, reinterpret_cast<POINT*>(&row), 2);
    if (!::IntersectRect(&overlap, &row, &dialog) || !::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0)) return;
    int height = dialog.bottom - dialog.top, gap = row.bottom - row.top;
    int top = row.bottom + gap + height <= work.bottom ? row.bottom + gap : row.top - gap - height;
    ::SetWindowPos(findDialog_, nullptr, dialog.left, top < work.top ? work.top : top, 0, 0,
                   SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Viewer::ToggleBookmarks() {
    DWORD last = store_.first() - 1;  // copies shown separately are one row
    for (int i = -1; (i = ListView_GetNextItem(list_, i, LVNI_SELECTED)) >= 0;) {
        DWORD seq = view_.seq(static_cast<size_t>(i));
        if (seq != last) store_.ToggleBookmark(seq);
        last = seq;
    }
    ::InvalidateRect(list_, nullptr, FALSE);
}

// The next (or previous) bookmarked row after the focused one, round the end.
void Viewer::GoToBookmark(bool down) {
    int count = static_cast<int>(view_.size()), at = ListView_GetNextItem(list_, -1, LVNI_FOCUSED);
    DWORD here = at >= 0 ? view_.seq(static_cast<size_t>(at)) : store_.first() - 1;
    for (int n = 1; n <= count; ++n) {
        int i = ((at < 0 ? (down ? -1 : count) : at) + (down ? n : -n) + 2 * count) % count;
        DWORD seq = view_.seq(static_cast<size_t>(i));
        if ((store_.row(seq).flags & kBookmark) == 0 || seq == here) continue;
        Select(i);
        return;
    }
    ::MessageBeep(MB_OK);
    Report(L"No other bookmark: Ctrl+F2 sets one on the selected rows", false, kPassing);
}

void Viewer::SetTimeOrigin() {
    int at = ListView_GetNextItem(list_, -1, LVNI_FOCUSED);
    if (at < 0) return;
    origin_ = store_.row(view_.seq(static_cast<size_t>(at))).received;
    originSet_ = true;
    ::InvalidateRect(list_, nullptr, FALSE);
    ShowDetail();
}

}  // namespace rolmview
