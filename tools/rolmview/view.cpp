#include "view.h"

#include <algorithm>

namespace rolmview {

namespace {

// Every UTF-16 unit as CharLowerBuffW lowers it: made once, then a filter
// over a million rows folds without a call per row.
const wchar_t* FoldTable() {
    static wchar_t table[0x10000];
    static bool made = false;
    if (!made) {
        for (DWORD c = 0; c < 0x10000; ++c) table[c] = static_cast<wchar_t>(c);
        ::CharLowerBuffW(table, 0x10000);
        made = true;
    }
    return table;
}

DWORD BitIndex(DWORD channel) {
    DWORD index = 0;
    while (channel > 1) {
        channel >>= 1;
        ++index;
    }
    return index;
}

}  // namespace

std::wstring Fold(const std::wstring& text) {
    const wchar_t* fold = FoldTable();
    std::wstring out(text);
    for (wchar_t& c : out) c = fold[c];
    return out;
}

bool Contains(const wchar_t* text, size_t length, const std::wstring& part, bool matchCase) {
    const wchar_t* fold = FoldTable();
    size_t count = part.size();
    if (count > length) return false;
    for (size_t i = 0; i + count <= length; ++i) {
        size_t j = 0;
        while (j < count && (matchCase ? text[i + j] : fold[text[i + j]]) == part[j]) ++j;
        if (j == count) return true;
    }
    return false;
}

void Patterns::Set(const std::wstring& list) {
    text_ = list;
    parts_.clear();
    std::wstring folded = Fold(list);
    for (size_t start = 0; start <= folded.size();) {
        size_t end = folded.find(L';', start);
        if (end == std::wstring::npos) end = folded.size();
        if (end > start) parts_.push_back(folded.substr(start, end - start));
        start = end + 1;
    }
}

bool Patterns::Any(const wchar_t* text, size_t length) const {
    for (const std::wstring& part : parts_)
        if (Contains(text, length, part, false)) return true;
    return false;
}

bool Filters::active() const {
    return !includeName.empty() || !includeText.empty() || !excludeName.empty() || !excludeText.empty();
}

bool Filters::Pass(const Store& store, const Row& row) const {
    if (!active()) return true;
    size_t messageLength = 0;
    const wchar_t* message = store.Message(row, &messageLength);
    const wchar_t* name = store.Text(row);
    size_t nameLength = row.nameLength;
    if ((row.channels & kDebug) != 0) {
        name_ = store.Name(row);
        name = name_.c_str();
        nameLength = name_.size();
    }
    if (!includeName.empty() && !includeName.Any(name, nameLength)) return false;
    if (!includeText.empty() && !includeText.Any(message, messageLength)) return false;
    return !excludeName.Any(name, nameLength) && !excludeText.Any(message, messageLength);
}

void View::PushRow(std::vector<DWORD>& keys, DWORD seq, DWORD channels) const {
    if (!separate_) {
        keys.push_back(seq << 2);
        return;
    }
    for (DWORD k = 0; k < 4; ++k)
        if ((channels & (1u << k)) != 0) keys.push_back((seq << 2) | k);
}

void View::Rebuild(const Store& store, const Filters& filters) {
    std::vector<DWORD> keys;
    for (DWORD seq = store.first(); seq != store.end(); ++seq)
        if (filters.Pass(store, store.row(seq))) PushRow(keys, seq, store.row(seq).channels);
    keys_.swap(keys);
    start_ = 0;
    first_ = store.first();
}

size_t View::LowerBound(DWORD key) const {
    std::vector<DWORD>::const_iterator at = std::lower_bound(
        keys_.begin() + static_cast<std::ptrdiff_t>(start_), keys_.end(), key,
        [this](DWORD a, DWORD b) { return Relative(a) < Relative(b); });
    return static_cast<size_t>(at - keys_.begin()) - start_;
}

size_t View::Find(DWORD seq) const {
    size_t at = LowerBound(seq << 2);
    return at < size() && this->seq(at) == seq ? at : size();
}

size_t View::Added(const Store& store, const Filters& filters, DWORD seq, DWORD channel, bool joined) {
    const Row& row = store.row(seq);
    if (!joined) {
        if (filters.Pass(store, row)) PushRow(keys_, seq, row.channels);
        return size();
    }
    size_t at = Find(seq);
    if (at == size() || !separate_) return at;  // not shown, or shown once with all its channels
    size_t end = LowerBound((seq + 1) << 2);
    keys_.insert(keys_.begin() + static_cast<std::ptrdiff_t>(start_ + end), (seq << 2) | BitIndex(channel));
    return end;
}

size_t View::DropBefore(DWORD first) {
    first_ = first;
    size_t before = start_;
    while (start_ < keys_.size() && Relative(keys_[start_]) >= 0x80000000u) ++start_;
    size_t count = start_ - before;
    if (start_ > 4096 && start_ > keys_.size() / 2) {
        keys_.erase(keys_.begin(), keys_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
    return count;
}

void View::Clear(DWORD first) {
    std::vector<DWORD>().swap(keys_);
    start_ = 0;
    first_ = first;
}

DWORD View::Stamp(const Store& store, size_t i) const {
    const Row& row = store.row(seq(i));
    return (row.channels & kDebug) != 0 || (channel(i) != 0 && channel(i) != kQrv) ? kNoStamp : row.stamp;
}

void View::Texts(const Store& store, size_t i, std::wstring* name, std::wstring* message) const {
    const Row& row = store.row(seq(i));
    size_t length = 0;
    const wchar_t* text = store.Message(row, &length);
    *name = store.Name(row);
    message->assign(text, length);
    if (channel(i) != kWendlook) return;
    std::wstring trip;
    AnsiRoundTrip(name->c_str(), name->size(), ansi_, trip);
    name->swap(trip);
    AnsiRoundTrip(message->c_str(), message->size(), ansi_, trip);
    message->swap(trip);
}

}  // namespace rolmview
