// Which rows are shown: the filters, and the index of shown rows (row
// numbers, never copies of rows), one entry per row, or one per copy when
// channels are shown separately.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "store.h"

namespace rolmview {

// Whether text holds part, case ignored as CharLowerBuffW ignores it when
// matchCase is false (part then already folded through Fold).
bool Contains(const wchar_t* text, size_t length, const std::wstring& part, bool matchCase);
std::wstring Fold(const std::wstring& text);

// Substrings, case ignored, any of which matches; "a;b" is two.
class Patterns {
public:
    void Set(const std::wstring& list);
    const std::wstring& text() const { return text_; }
    bool empty() const { return parts_.empty(); }
    bool Any(const wchar_t* text, size_t length) const;

private:
    std::wstring text_;
    std::vector<std::wstring> parts_;  // folded
};

struct Filters {
    Patterns includeName, includeText, excludeName, excludeText;
    bool active() const;
    bool Pass(const Store& store, const Row& row) const;

private:
    mutable std::wstring name_;  // a debug row's name, made to be matched
};

class View {
public:
    void SetSeparate(bool separate) { separate_ = separate; }
    bool separate() const { return separate_; }

    // Both throw std::bad_alloc and leave the index as it was.
    void Rebuild(const Store& store, const Filters& filters);
    // After the store added a copy on channel to row seq (joined: to a row it
    // held); returns the first shown entry that changed (size() when only new
    // entries came at the end).
    size_t Added(const Store& store, const Filters& filters, DWORD seq, DWORD channel, bool joined);
    // Forgets the rows before first; returns how many entries went from the front.
    size_t DropBefore(DWORD first);
    void Clear(DWORD first);  // the store's first row after its Clear

    size_t size() const { return keys_.size() - start_; }
    DWORD seq(size_t i) const { return first_ + (Relative(keys_[start_ + i]) >> 2); }
    // The channel of a copy shown separately, else 0 (the row's).
    DWORD channel(size_t i) const { return separate_ ? 1u << (keys_[start_ + i] & 3) : 0; }
    size_t Find(DWORD seq) const;  // the row's first entry, or size()
    size_t bytes() const { return keys_.capacity() * sizeof(DWORD); }
    // Entry i's name and message as its channel carried them: a Wendlook copy
    // shown separately reads as after the trip through the code page.
    void Texts(const Store& store, size_t i, std::wstring* name, std::wstring* message) const;
    // The sender's stamp, which only a qrv copy carries; kNoStamp when none.
    DWORD Stamp(const Store& store, size_t i) const;

private:
    // Keys are row number * 4 + the channel's bit index, ordered from the first row held.
    DWORD Relative(DWORD key) const { return key - (first_ << 2); }
    size_t LowerBound(DWORD key) const;
    void PushRow(std::vector<DWORD>& keys, DWORD seq, DWORD channels) const;

    std::vector<DWORD> keys_;
    mutable std::string ansi_;  // scratch of the code page trip
    size_t start_ = 0;          // entries before it are gone
    DWORD first_ = 0;   // the store's first row when last told
    bool separate_ = false;
};

}  // namespace rolmview
