#include "store.h"

#include <stdio.h>
#include <strsafe.h>
#include <string.h>

#include <algorithm>

namespace rolmview {

namespace {

const wchar_t* const kChannelNames[] = {L"qrv", L"vellosk", L"wendlook", L"debug"};
const ULONGLONG kMergeWindow = 20000000;  // 2 s in FILETIME units
const size_t kMostOpen = 4096;
const DWORD kTraceChannels = kQrv | kVellosk | kWendlook;

void AddProblem(Entry& e, const wchar_t* problem) {
    if (!e.problem.empty()) e.problem += L"; ";
    e.problem += problem;
}

// UTF-16 as received, unpaired surrogates replaced so that it displays and saves.
std::wstring CleanUtf16(const wchar_t* text, size_t chars, Entry& e) {
    std::wstring out(text, chars);
    bool bad = false;
    for (size_t i = 0; i < out.size(); ++i) {
        wchar_t c = out[i];
        bool high = c >= 0xD800 && c <= 0xDBFF, low = c >= 0xDC00 && c <= 0xDFFF;
        if (high && i + 1 < out.size() && out[i + 1] >= 0xDC00 && out[i + 1] <= 0xDFFF) {
            ++i;
        } else if (high || low) {
            out[i] = 0xFFFD;
            bad = true;
        }
    }
    if (bad) AddProblem(e, L"invalid UTF-16 replaced by U+FFFD");
    return out;
}

std::wstring FromCodePage(UINT codePage, const char* bytes, size_t count) {
    std::wstring out;
    if (count == 0) return out;
    int chars = ::MultiByteToWideChar(codePage, 0, bytes, static_cast<int>(count), nullptr, 0);
    if (chars <= 0) return out;
    out.resize(static_cast<size_t>(chars));
    ::MultiByteToWideChar(codePage, 0, bytes, static_cast<int>(count), &out[0], chars);
    return out;
}

// The text as it reads after a trip through the ANSI code page, as a
// Wendlook copy of it arrives.
std::wstring AnsiRoundTrip(const std::wstring& text) {
    if (text.empty()) return text;
    int bytes = ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return std::wstring();
    std::string ansi(static_cast<size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), &ansi[0], bytes,
                          nullptr, nullptr);
    return FromCodePage(CP_ACP, ansi.data(), ansi.size());
}

bool IsStamp(const wchar_t* t, size_t chars) {
    static const char shape[] = "dd:dd:dd,dd ";
    if (chars < 12) return false;
    for (int i = 0; i < 12; ++i) {
        if (shape[i] == 'd' ? (t[i] < L'0' || t[i] > L'9') : t[i] != static_cast<wchar_t>(shape[i]))
            return false;
    }
    return true;
}

std::string Hex(const void* data, size_t bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes * 2);
    const unsigned char* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < bytes; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

}  // namespace

std::wstring ChannelsText(DWORD channels) {
    std::wstring out;
    for (int i = 0; i < 4; ++i) {
        if ((channels & (1u << i)) == 0) continue;
        if (!out.empty()) out += L'+';
        out += kChannelNames[i];
    }
    return out;
}

DWORD ParseChannels(const std::wstring& text) {
    DWORD channels = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(L'+', start);
        if (end == std::wstring::npos) end = text.size();
        std::wstring name = text.substr(start, end - start);
        for (int i = 0; i < 4; ++i)
            if (name == kChannelNames[i]) channels |= 1u << i;
        start = end + 1;
    }
    return channels;
}

std::wstring Entry::Name() const {
    if (channel != kDebug) return line.substr(0, nameLength);
    wchar_t pidText[16];
    StringCchPrintfW(pidText, 16, L" (%lu)", pid);
    return process + pidText;
}

ULONGLONG NowFileTime() {
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    return (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

std::wstring FormatReceived(ULONGLONG fileTime, bool withDate) {
    FILETIME utc = {static_cast<DWORD>(fileTime), static_cast<DWORD>(fileTime >> 32)}, local;
    SYSTEMTIME t = {};
    if (!::FileTimeToLocalFileTime(&utc, &local) || !::FileTimeToSystemTime(&local, &t)) return L"-";
    wchar_t text[32];
    if (withDate)
        StringCchPrintfW(text, 32, L"%04u-%02u-%02u %02u:%02u:%02u.%03u", t.wYear, t.wMonth, t.wDay,
                         t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
    else
        StringCchPrintfW(text, 32, L"%02u:%02u:%02u.%03u", t.wHour, t.wMinute, t.wSecond,
                         t.wMilliseconds);
    return text;
}

bool ParseReceived(const std::wstring& text, ULONGLONG* fileTime) {
    SYSTEMTIME t = {};
    if (swscanf(text.c_str(), L"%4hu-%2hu-%2hu %2hu:%2hu:%2hu.%3hu", &t.wYear, &t.wMonth, &t.wDay,
                &t.wHour, &t.wMinute, &t.wSecond, &t.wMilliseconds) != 7)
        return false;
    FILETIME local, utc;
    if (!::SystemTimeToFileTime(&t, &local) || !::LocalFileTimeToFileTime(&local, &utc)) return false;
    *fileTime = (static_cast<ULONGLONG>(utc.dwHighDateTime) << 32) | utc.dwLowDateTime;
    return true;
}

// The name is the first word, unless the second word shows the line to be a
// bare "Operation > ..." message traced without a name.
void SplitName(Entry& e) {
    e.nameLength = 0;
    size_t space = e.line.find(L' ');
    if (space == std::wstring::npos || space == 0 || space + 1 >= e.line.size()) return;
    wchar_t next = e.line[space + 1];
    if (next == L'>' || next == L'<') return;
    e.nameLength = space;
}

Entry FromTimedLine(const wchar_t* text, size_t chars) {
    Entry e;
    e.channel = kQrv;
    e.received = NowFileTime();
    e.cut = chars >= kFullLine;
    if (IsStamp(text, chars)) {
        e.stamp.assign(text, 11);
        e.line = CleanUtf16(text + 12, chars - 12, e);
    } else {
        e.line = CleanUtf16(text, chars, e);
    }
    SplitName(e);
    return e;
}

Entry FromCopyData(DWORD channel, ULONG_PTR kind, const void* data, DWORD bytes) {
    Entry e;
    e.channel = channel;
    e.received = NowFileTime();
    if (data == nullptr || bytes == 0) {
        AddProblem(e, L"empty message (cbData 0)");
        return e;
    }
    if (kind == 1) {  // UTF-16, copied out: the data need not be aligned
        std::wstring chars(bytes / 2, L'\0');
        if (!chars.empty()) memcpy(&chars[0], data, chars.size() * 2);
        if (bytes % 2 != 0) AddProblem(e, L"odd byte count, last byte dropped");
        size_t end = chars.find(L'\0');
        if (end == std::wstring::npos) AddProblem(e, L"no terminator");
        else chars.resize(end);
        e.line = CleanUtf16(chars.c_str(), chars.size(), e);
    } else {
        const char* text = static_cast<const char*>(data);
        const void* zero = memchr(text, 0, bytes);
        size_t length = zero ? static_cast<size_t>(static_cast<const char*>(zero) - text) : bytes;
        if (zero == nullptr) AddProblem(e, L"no terminator");
        if (kind != 0) AddProblem(e, L"unknown dwData, read as 8-bit text");
        e.line = FromCodePage(CP_ACP, text, length);
    }
    e.cut = e.line.size() >= kFullLine;
    SplitName(e);
    return e;
}

Entry FromDebugOutput(DWORD pid, const char* text, size_t bytes) {
    Entry e;
    e.channel = kDebug;
    e.received = NowFileTime();
    e.pid = pid;
    const void* zero = memchr(text, 0, bytes);
    size_t length = zero ? static_cast<size_t>(static_cast<const char*>(zero) - text) : bytes;
    if (zero == nullptr) AddProblem(e, L"no terminator");
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) --length;
    e.line = FromCodePage(CP_ACP, text, length);
    return e;
}

DWORD Recorder::Open(const std::wstring& path) {
    file_.reset(::CreateFileW(path.c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file_ ? ERROR_SUCCESS : ::GetLastError();
}

void Recorder::Write(const Entry& e, const char* kind, const char* bytesCount, const void* data,
                     size_t bytes) {
    if (!file_) return;
    std::string text = ToUtf8(e.stamp.empty() ? e.line : e.stamp + L" " + e.line);
    for (size_t i = 0; i < text.size(); ++i)
        if (text[i] == '\n' || text[i] == '\r' || text[i] == '\t') text[i] = ' ';
    std::string line = ToUtf8(FormatReceived(e.received, true)) + "\t" +
                       ToUtf8(ChannelsText(e.channel)) + "\t" + kind + "\t" + bytesCount + "\t" +
                       Hex(data, data ? bytes : 0) + "\t" + text + "\n";
    Locked lock(lock_);
    DWORD written = 0;
    ::WriteFile(file_.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

void Inbox::Add(Entry&& e) {
    Locked lock(lock_);
    if (paused_) {
        ::InterlockedIncrement(&skipped_);
        return;
    }
    pending_.push_back(std::move(e));
}

void Inbox::Take(std::vector<Entry>& out) {
    out.clear();
    Locked lock(lock_);
    out.swap(pending_);
}

void Inbox::Pause(bool paused) {
    Locked lock(lock_);
    paused_ = paused;
}

bool Inbox::paused() {
    Locked lock(lock_);
    return paused_;
}

namespace {

std::wstring Lower(const std::wstring& text) {
    std::wstring lower = text;
    if (!lower.empty()) ::CharLowerBuffW(&lower[0], static_cast<DWORD>(lower.size()));
    return lower;
}

}  // namespace

void Patterns::Set(const std::wstring& list) {
    text_ = list;
    parts_.clear();
    std::wstring lower = Lower(list);
    size_t start = 0;
    while (start <= lower.size()) {
        size_t end = lower.find(L';', start);
        if (end == std::wstring::npos) end = lower.size();
        if (end > start) parts_.push_back(lower.substr(start, end - start));
        start = end + 1;
    }
}

bool Patterns::Any(const std::wstring& haystack) const {
    if (parts_.empty()) return false;
    std::wstring lower = Lower(haystack);
    for (const std::wstring& part : parts_)
        if (lower.find(part) != std::wstring::npos) return true;
    return false;
}

bool Filters::Pass(const Entry& e) const {
    std::wstring name = e.Name(), message = e.Message();
    if (!includeName.empty() && !includeName.Any(name)) return false;
    if (!includeText.empty() && !includeText.Any(message)) return false;
    return !excludeName.Any(name) && !excludeText.Any(message);
}

// Copies of one trace call arrive on the channels in the order qrv, vellosk,
// wendlook, so a copy joins a recent row that has only earlier channels and
// reads the same (after the code page trip for wendlook; up to the cut when
// one copy reached the sender's limit).
bool Rows::MergeInto(Row& row, const Entry& e) {
    Entry& first = entries_[row.entry];
    if (first.channel == kDebug || e.channel == kDebug) return false;
    if ((e.channel & (e.channel - 1)) != 0) return false;  // a loaded row of several channels
    if ((row.channels & ~(e.channel - 1)) != 0) return false;
    if (e.received - first.received > kMergeWindow) return false;
    std::wstring mine = e.channel == kWendlook ? AnsiRoundTrip(first.line) : first.line;
    bool same = mine == e.line;
    if (!same && (first.cut || e.cut)) {
        size_t common = mine.size() < e.line.size() ? mine.size() : e.line.size();
        same = mine.compare(0, common, e.line, 0, common) == 0;
    }
    if (!same) return false;
    row.channels |= e.channel;
    if (first.cut && e.channel != kWendlook && e.line.size() > first.line.size()) {
        first.line = e.line;
        first.cut = e.cut;
    }
    return true;
}

// Whether a copy on a later channel may still come for the row.
bool Rows::Open(const Row& row) const {
    DWORD highest = 1;
    while ((highest << 1) <= row.channels) highest <<= 1;
    return (active_ & kTraceChannels & ~((highest << 1) - 1)) != 0;
}

void Rows::AddRow(size_t entry, const Filters& filters) {
    Row row = {entry, entries_[entry].channel};
    rows_.push_back(row);
    if (filters.Pass(entries_[entry])) shown_.push_back(rows_.size() - 1);
    if (!merge_ || (row.channels & ~kTraceChannels) != 0 || !Open(row)) return;
    open_.push_back(rows_.size() - 1);
    if (open_.size() > kMostOpen) open_.pop_front();
}

// The oldest open row the copy joins: copies of one line arrive in order, and
// a sender may be held up while other senders' lines come in between.
bool Rows::Merge(const Entry& e, size_t* merged) {
    while (!open_.empty() && e.received > entries_[rows_[open_.front()].entry].received + kMergeWindow)
        open_.pop_front();
    for (std::deque<size_t>::iterator it = open_.begin(); it != open_.end(); ++it) {
        if (!MergeInto(rows_[*it], e)) continue;
        *merged = *it;
        if (!Open(rows_[*it])) open_.erase(it);
        return true;
    }
    return false;
}

size_t Rows::Append(std::vector<Entry>& fresh, const Filters& filters) {
    size_t firstChanged = shown_.size();
    for (Entry& e : fresh) {
        entries_.push_back(std::move(e));
        size_t index = entries_.size() - 1, r = 0;
        if (!merge_ || !Merge(entries_[index], &r)) {
            AddRow(index, filters);
            continue;
        }
        std::vector<size_t>::iterator at = std::lower_bound(shown_.begin(), shown_.end(), r);
        if (at != shown_.end() && *at == r && static_cast<size_t>(at - shown_.begin()) < firstChanged)
            firstChanged = static_cast<size_t>(at - shown_.begin());
    }
    fresh.clear();
    return firstChanged;
}

void Rows::Rebuild(const Filters& filters) {
    std::vector<Entry> all;
    all.swap(entries_);
    rows_.clear();
    shown_.clear();
    open_.clear();
    Append(all, filters);
}

void Rows::Clear() {
    open_.clear();
    entries_.clear();
    rows_.clear();
    shown_.clear();
}

std::string ToUtf8(const std::wstring& text) {
    std::string out;
    if (text.empty()) return out;
    int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return out;
    out.resize(static_cast<size_t>(bytes));
    ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], bytes,
                          nullptr, nullptr);
    return out;
}

std::wstring FromUtf8(const std::string& text) { return FromCodePage(CP_UTF8, text.data(), text.size()); }

}  // namespace rolmview
