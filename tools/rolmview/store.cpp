#include "store.h"

#include <stdlib.h>
#include <strsafe.h>
#include <string.h>
#include <wchar.h>

#include <new>

namespace rolmview {

namespace {

const size_t kChunkChars = 256 * 1024;  // 512 KB: the heap gives blocks this large back at once
const ULONGLONG kMergeWindow = 20000000;  // 2 s in FILETIME units
const size_t kMostOpen = 256;  // copies of one call come a few other senders' copies apart

bool Ascii(const wchar_t* text, size_t length) {
    for (size_t i = 0; i < length; ++i)
        if (text[i] >= 0x80) return false;
    return true;
}

}  // namespace

bool Arena::Put(const wchar_t* text, size_t length, DWORD* chunk, DWORD* offset) {
    if (length == 0) {
        *chunk = kNoChunk;
        *offset = 0;
        return true;
    }
    if (chunks_.empty() || chunks_.back().capacity - chunks_.back().used < length) {
        size_t capacity = length > kChunkChars ? length : kChunkChars;
        Chunk fresh = {static_cast<wchar_t*>(malloc(capacity * sizeof(wchar_t))), capacity, 0, 0};
        if (fresh.text == nullptr) return false;
        try {
            chunks_.push_back(fresh);
        } catch (const std::bad_alloc&) {
            free(fresh.text);
            return false;
        }
        bytes_ += capacity * sizeof(wchar_t);
    }
    Chunk& last = chunks_.back();
    wmemcpy(last.text + last.used, text, length);
    *chunk = first_ + static_cast<DWORD>(chunks_.size() - 1);
    *offset = static_cast<DWORD>(last.used);
    last.used += length;
    ++last.rows;
    return true;
}

const wchar_t* Arena::At(DWORD chunk, DWORD offset) const {
    return chunk == kNoChunk ? L"" : chunks_[chunk - first_].text + offset;
}

void Arena::Release(DWORD chunk) {
    if (chunk == kNoChunk) return;
    --chunks_[chunk - first_].rows;
    while (chunks_.size() > 1 && chunks_.front().rows == 0) {
        bytes_ -= chunks_.front().capacity * sizeof(wchar_t);
        free(chunks_.front().text);
        chunks_.pop_front();
        ++first_;
    }
    if (chunks_.size() == 1 && chunks_.front().rows == 0) chunks_.front().used = 0;
}

void Arena::Clear() {
    for (Chunk& c : chunks_) free(c.text);
    first_ += static_cast<DWORD>(chunks_.size());
    chunks_.clear();
    bytes_ = 0;
}

void Store::SetLimits(ULONGLONG rows, ULONGLONG bytes) {
    maxRows_ = rows;
    maxBytes_ = bytes;
}

std::wstring Store::Name(const Row& row) const {
    std::wstring name(Text(row), row.nameLength);
    if ((row.channels & kDebug) == 0) return name;
    wchar_t pid[16];
    StringCchPrintfW(pid, 16, L" (%lu)", row.stamp);
    return name + pid;
}

const wchar_t* Store::Message(const Row& row, size_t* length) const {
    size_t skip = row.nameLength;
    if ((row.channels & kDebug) == 0 && skip != 0) ++skip;  // the blank after the name
    if (skip > row.length) skip = row.length;
    *length = row.length - skip;
    return Text(row) + skip;
}

// Copies of one trace call arrive on the channels in the order qrv, vellosk,
// wendlook, so a copy joins a recent row that has only earlier channels and
// reads the same (after the code page trip for wendlook; up to the cut when
// one copy reached the sender's limit).
bool Store::Joins(Row& row, const Copy& copy) {
    if ((row.channels & kDebug) != 0 || copy.channels == kDebug) return false;
    if ((copy.channels & (copy.channels - 1)) != 0) return false;  // a loaded row of several channels
    if ((row.channels & ~(copy.channels - 1)) != 0) return false;
    if (copy.received - row.received > kMergeWindow) return false;
    if (!SameLine(row, copy)) return false;
    row.channels |= static_cast<BYTE>(copy.channels);
    row.flags |= static_cast<BYTE>(copy.problems << 2);
    DWORD chunk, offset;
    if ((row.flags & kCut) == 0 || copy.channels == kWendlook || copy.length <= row.length ||
        !arena_.Put(copy.text, copy.length, &chunk, &offset))
        return true;
    arena_.Release(row.chunk);  // the longer copy's text replaces the cut one
    row.chunk = chunk;
    row.offset = offset;
    row.length = static_cast<DWORD>(copy.length);
    if (!copy.cut) row.flags &= static_cast<BYTE>(~kCut);
    return true;
}

bool Store::SameLine(const Row& row, const Copy& copy) {
    const wchar_t* mine = Text(row);
    size_t length = row.length;
    if (copy.channels == kWendlook && !Ascii(mine, length)) {
        AnsiRoundTrip(mine, length, ansi_, trip_);
        mine = trip_.c_str();
        length = trip_.size();
    }
    if (length == copy.length) return wmemcmp(mine, copy.text, length) == 0;
    if ((row.flags & kCut) == 0 && !copy.cut) return false;
    return wmemcmp(mine, copy.text, length < copy.length ? length : copy.length) == 0;
}

// Whether a copy on a later channel may still come for the row.
bool Store::Open(const Row& row) const {
    if ((row.channels & ~kTraceChannels) != 0) return false;
    DWORD highest = 1;
    while ((highest << 1) <= row.channels) highest <<= 1;
    return (active_ & kTraceChannels & ~((highest << 1) - 1)) != 0;
}

// The oldest open row the copy joins: copies of one line arrive in order, and
// a sender may be held up while other senders' lines come in between.
Store::Result Store::Add(const Copy& copy, DWORD* seq) {
    while (!open_.empty() &&
           (!Holds(open_.front()) || copy.received > row(open_.front()).received + kMergeWindow))
        open_.pop_front();
    for (std::deque<DWORD>::iterator it = open_.begin(); it != open_.end(); ++it) {
        Row& r = rows_[*it - first_];
        if (!Joins(r, copy)) continue;
        *seq = *it;
        if (!Open(r)) open_.erase(it);
        return kJoined;
    }
    return Append(copy, seq);
}

Store::Result Store::Append(const Copy& copy, DWORD* seq) {
    Row r = {};
    r.received = copy.received;
    r.length = static_cast<DWORD>(copy.length);
    r.stamp = copy.channels == kDebug ? copy.pid : copy.stamp;
    r.nameLength = static_cast<WORD>(copy.nameLength);
    r.channels = static_cast<BYTE>(copy.channels);
    r.flags = static_cast<BYTE>((copy.cut ? kCut : 0) | (copy.problems << 2));
    if (!arena_.Put(copy.text, copy.length, &r.chunk, &r.offset)) return kNoMemory;
    try {
        rows_.push_back(r);
    } catch (const std::bad_alloc&) {
        arena_.Release(r.chunk);
        return kNoMemory;
    }
    *seq = end() - 1;
    if (!Open(r)) return kAppended;
    try {
        open_.push_back(*seq);
    } catch (const std::bad_alloc&) {
        return kAppended;  // the row only misses its later copies
    }
    if (open_.size() > kMostOpen) open_.pop_front();
    return kAppended;
}

void Store::DropOldest() {
    arena_.Release(rows_[0].chunk);
    rows_.pop_front();
    ++first_;
    ++dropped_;
}

size_t Store::Trim() {
    size_t count = 0;
    for (; !rows_.empty() && (rows_.size() > maxRows_ || bytes() > maxBytes_); ++count) DropOldest();
    return count;
}

size_t Store::Shed() {
    size_t count = rows_.size() / 4 + 1;
    if (count > rows_.size()) count = rows_.size();
    for (size_t i = 0; i < count; ++i) DropOldest();
    shed_ += count;
    return count;
}

void Store::Clear() {
    first_ = end();
    rows_.clear();
    arena_.Clear();
    open_.clear();
    dropped_ = shed_ = 0;
}

}  // namespace rolmview
