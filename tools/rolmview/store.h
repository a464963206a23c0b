// What the viewer holds: each line as it arrived on one channel (an entry),
// the rows shown (entries merged across channels, then filtered), and the
// inbox through which the receiving threads hand lines to the window.
#pragma once

#include <windows.h>

#include <deque>
#include <string>
#include <vector>

#include "owners.h"

namespace rolmview {

enum Channel : DWORD { kQrv = 1, kVellosk = 2, kWendlook = 4, kDebug = 8 };

// "qrv+vellosk", and back (unknown names are ignored).
std::wstring ChannelsText(DWORD channels);
DWORD ParseChannels(const std::wstring& text);

// The longest line the trace facility sends: a line this long was probably cut.
const size_t kFullLine = 4095;

struct Entry {
    ULONGLONG received = 0;  // FILETIME, UTC
    DWORD channel = 0;
    DWORD pid = 0;            // debug output: the sender
    std::wstring process;     // debug output: the sender's file name
    std::wstring stamp;       // the sender's "hh:mm:ss,cc" of a timed line
    std::wstring line;        // name and message
    size_t nameLength = 0;    // of the name at the front of line
    bool cut = false;
    std::wstring problem;     // what was wrong with what arrived, if anything

    std::wstring Name() const;
    std::wstring Message() const { return line.substr(nameLength ? nameLength + 1 : 0); }
};

ULONGLONG NowFileTime();
// Local "YYYY-MM-DD hh:mm:ss.mmm"; withDate false leaves the time alone.
std::wstring FormatReceived(ULONGLONG fileTime, bool withDate);
bool ParseReceived(const std::wstring& text, ULONGLONG* fileTime);

// Entries from what each channel delivers. Bytes are read only within the
// given counts; a missing terminator, an odd count or unpaired surrogates are
// noted in the entry's problem and what can be read is kept.
Entry FromTimedLine(const wchar_t* text, size_t chars);
Entry FromCopyData(DWORD channel, ULONG_PTR kind, const void* data, DWORD bytes);
Entry FromDebugOutput(DWORD pid, const char* text, size_t bytes);
void SplitName(Entry& e);

// Raw receptions, in the order received, one UTF-8 line each:
// TIME TAB CHANNEL TAB dwData TAB cbData TAB HEX TAB TEXT. Written as they
// arrive, from any thread, so that a reader sees every line once its
// SendMessage has returned.
class Recorder {
public:
    DWORD Open(const std::wstring& path);
    void Write(const Entry& e, const char* kind, const char* bytesCount, const void* data,
               size_t bytes);
    bool active() const { return file_.valid(); }

private:
    CriticalSection lock_;
    rolm::UniqueFile file_;
};

// Lines handed from the receiving threads to the window.
class Inbox {
public:
    void Add(Entry&& e);
    void Take(std::vector<Entry>& out);
    void Pause(bool paused);
    bool paused();
    LONG skipped() const { return skipped_; }

private:
    CriticalSection lock_;
    std::vector<Entry> pending_;
    bool paused_ = false;
    volatile LONG skipped_ = 0;
};

// Substrings, case ignored, any of which matches; "a;b" is two.
class Patterns {
public:
    void Set(const std::wstring& list);
    const std::wstring& text() const { return text_; }
    bool empty() const { return parts_.empty(); }
    bool Any(const std::wstring& haystack) const;

private:
    std::wstring text_;
    std::vector<std::wstring> parts_;
};

struct Filters {
    Patterns includeName, includeText, excludeName, excludeText;
    bool Pass(const Entry& e) const;
};

struct Highlight {
    std::wstring pattern;
    COLORREF colour;
};

class Rows {
public:
    // Adds entries; with merge, a copy of a line that an earlier row got on
    // an earlier channel joins that row. Returns the first shown row whose
    // channels changed (size() when none).
    size_t Append(std::vector<Entry>& fresh, const Filters& filters);
    void Rebuild(const Filters& filters);  // after a change of merging or filters
    void Clear();
    void SetMerge(bool merge) { merge_ = merge; }
    // The channels copies may still come on; a row that has the last of them is complete.
    void SetChannels(DWORD channels) { active_ = channels; }
    DWORD channels() const { return active_; }
    bool merge() const { return merge_; }

    size_t size() const { return shown_.size(); }
    size_t total() const { return rows_.size(); }
    const Entry& entry(size_t shown) const { return entries_[rows_[shown_[shown]].entry]; }
    DWORD channels(size_t shown) const { return rows_[shown_[shown]].channels; }

private:
    struct Row {
        size_t entry;
        DWORD channels;
    };
    bool MergeInto(Row& row, const Entry& e);
    bool Merge(const Entry& e, size_t* row);
    bool Open(const Row& row) const;
    void AddRow(size_t entry, const Filters& filters);

    std::vector<Entry> entries_;
    std::vector<Row> rows_;
    std::vector<size_t> shown_;
    std::deque<size_t> open_;  // rows that may still get a copy, oldest first
    bool merge_ = true;
    DWORD active_ = kQrv | kVellosk | kWendlook;
};

std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);

}  // namespace rolmview
