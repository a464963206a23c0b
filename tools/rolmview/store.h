// What the viewer holds: one row per trace line (its copies on several
// channels joined), oldest first, the text of every row in one arena of
// UTF-16 chunks. Past a limit of rows and bytes the oldest rows go; when
// memory runs short the oldest quarter goes.
#pragma once

#include <windows.h>

#include <deque>
#include <string>
#include <vector>

#include "copies.h"

namespace rolmview {

enum RowFlag : BYTE { kCut = 1, kBookmark = 2 };  // and the problems, shifted by 2

struct Row {
    ULONGLONG received;           // of its first copy
    DWORD chunk, offset, length;  // its text in the arena: name, then message
    DWORD stamp;                  // the sender's (kNoStamp), or the sender's pid for debug output
    WORD nameLength;
    BYTE channels;
    BYTE flags;
};

inline BYTE Problems(const Row& row) { return static_cast<BYTE>(row.flags >> 2); }

// A queue in blocks of 4096, so that growing never moves what it holds and
// the oldest block goes as soon as it is empty.
template <class T>
class BlockQueue {
public:
    BlockQueue() = default;
    ~BlockQueue() { clear(); }
    BlockQueue(const BlockQueue&) = delete;
    BlockQueue& operator=(const BlockQueue&) = delete;

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T& operator[](size_t i) { return blocks_[(head_ + i) / kBlock][(head_ + i) % kBlock]; }
    const T& operator[](size_t i) const { return blocks_[(head_ + i) / kBlock][(head_ + i) % kBlock]; }
    size_t bytes() const { return blocks_.size() * kBlock * sizeof(T); }

    void push_back(const T& value) {  // throws std::bad_alloc
        size_t at = head_ + size_;
        if (at / kBlock == blocks_.size()) {
            T* block = new T[kBlock];
            try {
                blocks_.push_back(block);
            } catch (...) {
                delete[] block;
                throw;
            }
        }
        blocks_[at / kBlock][at % kBlock] = value;
        ++size_;
    }
    void pop_front() {
        --size_;
        if (++head_ < kBlock) return;
        delete[] blocks_.front();
        blocks_.erase(blocks_.begin());
        head_ = 0;
    }
    void clear() {
        for (T* block : blocks_) delete[] block;
        blocks_.clear();
        head_ = size_ = 0;
    }

private:
    static const size_t kBlock = 4096;
    std::vector<T*> blocks_;
    size_t head_ = 0, size_ = 0;
};

// Chunks of text, filled in order and freed oldest first once no row refers to them.
class Arena {
public:
    static const DWORD kNoChunk = 0xFFFFFFFF;  // where empty texts live
    Arena() = default;
    ~Arena() { Clear(); }
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;

    // Copies the text in for one more row; false when memory ran out.
    bool Put(const wchar_t* text, size_t length, DWORD* chunk, DWORD* offset);
    const wchar_t* At(DWORD chunk, DWORD offset) const;
    void Release(DWORD chunk);  // one row less refers to the chunk
    void Clear();
    ULONGLONG bytes() const { return bytes_; }

private:
    struct Chunk {
        wchar_t* text;
        size_t capacity, used, rows;
    };
    std::deque<Chunk> chunks_;
    DWORD first_ = 0;  // number of chunks_.front()
    ULONGLONG bytes_ = 0;
};

// Rows are numbered in the order they came; the numbers wrap at 2^32 and a
// number names a row while the store holds it.
class Store {
public:
    static const ULONGLONG kDefaultRows = 1000000, kDefaultBytes = 256ull << 20;
    enum Result { kAppended, kJoined, kNoMemory };

    void SetLimits(ULONGLONG rows, ULONGLONG bytes);
    ULONGLONG maxRows() const { return maxRows_; }
    ULONGLONG maxBytes() const { return maxBytes_; }
    // The channels copies may still come on; a row that has the last of them is complete.
    void SetOpenChannels(DWORD channels) { active_ = channels; }
    DWORD openChannels() const { return active_; }

    // A copy of a line that a recent row got on an earlier channel joins that
    // row; any other copy becomes a new row. *seq names the row.
    Result Add(const Copy& copy, DWORD* seq);
    size_t Trim();  // drops the oldest rows past the limits; how many went
    size_t Shed();  // memory ran short: drops the oldest quarter; how many went
    void Clear();

    DWORD first() const { return first_; }
    DWORD end() const { return first_ + static_cast<DWORD>(rows_.size()); }
    size_t size() const { return rows_.size(); }
    bool Holds(DWORD seq) const { return seq - first_ < rows_.size(); }
    const Row& row(DWORD seq) const { return rows_[seq - first_]; }
    void ToggleBookmark(DWORD seq) { rows_[seq - first_].flags ^= kBookmark; }

    const wchar_t* Text(const Row& row) const { return arena_.At(row.chunk, row.offset); }
    std::wstring Name(const Row& row) const;
    const wchar_t* Message(const Row& row, size_t* length) const;

    ULONGLONG bytes() const { return arena_.bytes() + rows_.bytes(); }
    ULONGLONG dropped() const { return dropped_; }  // since the last Clear, by the limits or for memory
    ULONGLONG shed() const { return shed_; }        // of those, for memory

private:
    bool Joins(Row& row, const Copy& copy);
    bool SameLine(const Row& row, const Copy& copy);
    bool Open(const Row& row) const;
    Result Append(const Copy& copy, DWORD* seq);
    void DropOldest();

    Arena arena_;
    BlockQueue<Row> rows_;
    DWORD first_ = 0;
    std::deque<DWORD> open_;  // rows that may still get a copy, oldest first
    DWORD active_ = kTraceChannels;
    ULONGLONG maxRows_ = kDefaultRows, maxBytes_ = kDefaultBytes;
    ULONGLONG dropped_ = 0, shed_ = 0;
    std::string ansi_;  // scratch of the code page trip
    std::wstring trip_;
};

}  // namespace rolmview
