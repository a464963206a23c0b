#include "logfile.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "common/unique.h"

namespace rolmview {

namespace {

const size_t kBlockBytes = 1u << 20;
const size_t kMostLineBytes = 4u << 20;  // a longer line (a file of binary garbage, say) is cut here
const size_t kFlushChars = 1u << 18;
const size_t kFixedFieldChars = 30;  // received, stamp, channels and TABs of a saved line, at least

struct Field {
    const wchar_t* text;
    size_t length;
};

// Splits at TABs into at most `most` fields, the last one taking the rest.
size_t Split(const std::wstring& line, Field* fields, size_t most) {
    size_t count = 0, start = 0;
    while (count + 1 < most) {
        size_t tab = line.find(L'\t', start);
        if (tab == std::wstring::npos) break;
        fields[count++] = {line.c_str() + start, tab - start};
        start = tab + 1;
    }
    fields[count++] = {line.c_str() + start, line.size() - start};
    return count;
}

bool Is(const Field& f, const wchar_t* text) {
    return f.length == wcslen(text) && wcsncmp(f.text, text, f.length) == 0;
}

void AppendEscaped(std::wstring& out, const wchar_t* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        switch (text[i]) {
        case L'\\': out += L"\\\\"; break;
        case L'\t': out += L"\\t"; break;
        case L'\r': out += L"\\r"; break;
        case L'\n': out += L"\\n"; break;
        default: out += text[i];
        }
    }
}

// A backslash before anything else stands for itself.
void Unescape(const Field& f, bool escaped, std::wstring& out) {
    out.assign(f.text, f.length);
    if (!escaped || out.find(L'\\') == std::wstring::npos) return;
    size_t to = 0;
    for (size_t i = 0; i < f.length; ++i) {
        wchar_t c = f.text[i], next = i + 1 < f.length ? f.text[i + 1] : L'\0';
        if (c == L'\\' && (next == L'\\' || next == L't' || next == L'r' || next == L'n')) {
            c = next == L't' ? L'\t' : next == L'r' ? L'\r' : next == L'n' ? L'\n' : L'\\';
            ++i;
        }
        out[to++] = c;
    }
    out.resize(to);
}

bool FromHex(const Field& hex, std::string& bytes) {
    if (hex.length % 2 != 0) return false;
    bytes.resize(hex.length / 2);
    for (size_t i = 0; i < bytes.size(); ++i) {
        int value = 0;
        for (int half = 0; half < 2; ++half) {
            wchar_t c = hex.text[2 * i + half];
            int digit = c >= L'0' && c <= L'9' ? c - L'0' : c >= L'a' && c <= L'f' ? c - L'a' + 10
                                                          : c >= L'A' && c <= L'F' ? c - L'A' + 10 : -1;
            if (digit < 0) return false;
            value = value * 16 + digit;
        }
        bytes[i] = static_cast<char>(value);
    }
    return true;
}

// A file's lines in blocks of 1 MB, from a given offset on; the file's text
// is UTF-16 after its byte order mark, else UTF-8.
class LineReader {
public:
    DWORD Open(const std::wstring& path);
    // Where the last part of the file that the limits hold begins.
    DWORD TailStart(ULONGLONG mostRows, ULONGLONG mostBytes, ULONGLONG* start);
    DWORD Seek(ULONGLONG offset);  // offset: where a line begins
    bool Next(std::wstring& line);  // false at the end, or when reading failed (error())
    ULONGLONG size() const { return size_; }
    ULONGLONG dataStart() const { return start_; }
    DWORD error() const { return error_; }

private:
    bool Fill();
    size_t LineEnd() const;
    void Decode(size_t count, std::wstring& line);
    DWORD ReadAt(ULONGLONG offset, size_t count, std::string& out);

    rolm::UniqueFile file_;
    std::string buffer_;
    size_t pos_ = 0, unit_ = 1;
    ULONGLONG size_ = 0, start_ = 0;
    bool end_ = false, skipping_ = false;
    DWORD error_ = ERROR_SUCCESS;
};

DWORD LineReader::Open(const std::wstring& path) {
    file_.reset(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size;
    if (!file_ || !::GetFileSizeEx(file_.get(), &size)) return ::GetLastError();
    size_ = static_cast<ULONGLONG>(size.QuadPart);
    std::string head;
    DWORD error = ReadAt(0, 3, head);
    if (error != ERROR_SUCCESS) return error;
    if (head.compare(0, 2, "\xFF\xFE") == 0) {
        start_ = 2;
        unit_ = 2;
    } else if (head == "\xEF\xBB\xBF") {
        start_ = 3;
    }
    return Seek(start_);
}

DWORD LineReader::ReadAt(ULONGLONG offset, size_t count, std::string& out) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    out.resize(count);
    DWORD read = 0;
    if (!::SetFilePointerEx(file_.get(), at, nullptr, FILE_BEGIN) ||
        (count != 0 && !::ReadFile(file_.get(), &out[0], static_cast<DWORD>(count), &read, nullptr)))
        return ::GetLastError();
    out.resize(read);
    return ERROR_SUCCESS;
}

// Backwards from the end in blocks, summing what each line would cost the
// store: a row's record and its text, at most twice its bytes in UTF-8 (less
// the fields that are not text).
DWORD LineReader::TailStart(ULONGLONG mostRows, ULONGLONG mostBytes, ULONGLONG* start) {
    ULONGLONG end = start_ + ((size_ - start_) & ~static_cast<ULONGLONG>(unit_ - 1));
    ULONGLONG lineEnd = end, rows = 0, cost = 0;
    std::string block;
    for (ULONGLONG blockEnd = end;; ) {
        ULONGLONG blockStart = blockEnd - start_ > kBlockBytes ? blockEnd - kBlockBytes : start_;
        DWORD error = ReadAt(blockStart, static_cast<size_t>(blockEnd - blockStart), block);
        if (error != ERROR_SUCCESS) return error;
        for (size_t i = block.size(); i >= unit_;) {
            i -= unit_;
            bool atStart = blockStart + i == start_;
            if (!atStart && (block[i] != '\n' || (unit_ == 2 && block[i + 1] != 0))) continue;
            ULONGLONG lineStart = atStart ? start_ : blockStart + i + unit_;
            ULONGLONG units = (lineEnd - lineStart) / unit_;
            if (units != 0) {
                ++rows;
                cost += sizeof(Row) + 2 * (units > kFixedFieldChars ? units - kFixedFieldChars : 0);
            }
            if (rows > mostRows || cost > mostBytes) {
                *start = lineEnd;
                return ERROR_SUCCESS;
            }
            lineEnd = lineStart;
        }
        if (blockStart == start_) break;
        blockEnd = blockStart;
    }
    *start = start_;
    return ERROR_SUCCESS;
}

DWORD LineReader::Seek(ULONGLONG offset) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    buffer_.clear();
    pos_ = 0;
    end_ = skipping_ = false;
    return ::SetFilePointerEx(file_.get(), at, nullptr, FILE_BEGIN) ? ERROR_SUCCESS : ::GetLastError();
}

bool LineReader::Fill() {
    if (end_) return false;
    buffer_.erase(0, pos_);
    pos_ = 0;
    size_t had = buffer_.size();
    buffer_.resize(had + kBlockBytes);
    DWORD read = 0;
    if (!::ReadFile(file_.get(), &buffer_[had], static_cast<DWORD>(kBlockBytes), &read, nullptr))
        error_ = ::GetLastError();
    buffer_.resize(had + read);
    end_ = read == 0;
    return !end_;
}

size_t LineReader::LineEnd() const {
    if (unit_ == 1) {
        const void* at = memchr(buffer_.data() + pos_, '\n', buffer_.size() - pos_);
        return at ? static_cast<size_t>(static_cast<const char*>(at) - buffer_.data()) : std::string::npos;
    }
    for (size_t i = pos_; i + 1 < buffer_.size(); i += 2)
        if (buffer_[i] == '\n' && buffer_[i + 1] == 0) return i;
    return std::string::npos;
}

void LineReader::Decode(size_t count, std::wstring& line) {
    if (unit_ == 1) {
        FromCodePage(CP_UTF8, buffer_.data() + pos_, count, line);
    } else {
        line.resize(count / 2);
        if (!line.empty()) memcpy(&line[0], buffer_.data() + pos_, line.size() * 2);
    }
    pos_ += count;
}

bool LineReader::Next(std::wstring& line) {
    for (;;) {
        size_t end = LineEnd();
        if (skipping_ && end != std::string::npos) {
            pos_ = end + unit_;
            skipping_ = false;
        } else if (skipping_) {
            pos_ = buffer_.size() & ~(unit_ - 1);
            if (!Fill()) return false;
        } else if (end != std::string::npos) {
            Decode(end - pos_, line);
            pos_ += unit_;
            return true;
        } else if (buffer_.size() - pos_ >= kMostLineBytes) {
            Decode(kMostLineBytes, line);
            skipping_ = true;
            return true;
        } else if (!Fill()) {
            if (pos_ >= buffer_.size()) return false;
            Decode(buffer_.size() - pos_, line);
            return true;
        }
    }
}

// Reads the lines of one file into copies, with scratch that lives as long.
class LogParser {
public:
    bool Parse(const std::wstring& line, Copy* copy);
    bool escaped = false;

private:
    bool Recorded(const Field* f, Copy* copy);
    bool Saved(const Field* f, Copy* copy);

    Decoder decoder_;
    LocalClock clock_;
    std::string bytes_;
    std::wstring name_, message_, text_;
};

bool LogParser::Parse(const std::wstring& line, Copy* copy) {
    Field fields[6];
    size_t count = Split(line, fields, 6);
    if (count == 6 && Recorded(fields, copy)) return true;
    return count >= 5 && Split(line, fields, 5) == 5 && Saved(fields, copy);
}

// TIME CHANNEL dwData cbData HEX TEXT: decoded again from the bytes.
bool LogParser::Recorded(const Field* f, Copy* copy) {
    DWORD channel = ParseChannels(f[1].text, f[1].length);
    ULONGLONG local;
    if (channel == 0 || (channel & (channel - 1)) != 0 || !FromHex(f[4], bytes_) ||
        !ParseLocal(f[0].text, f[0].length, &local))
        return false;
    ULONGLONG received = clock_.ToUtc(local);
    DWORD number = wcstoul(std::wstring(f[2].text, f[2].length).c_str(), nullptr, 10);
    if (channel == kQrv) {
        text_.assign(bytes_.size() / 2, L'\0');
        if (!text_.empty()) memcpy(&text_[0], bytes_.data(), text_.size() * 2);
        *copy = decoder_.TimedLine(received, text_.c_str(), wcsnlen(text_.c_str(), text_.size()));
    } else if (channel == kDebug) {
        *copy = decoder_.DebugOutput(received, number, std::wstring(), bytes_.data(), bytes_.size());
    } else {
        *copy = decoder_.CopyData(received, channel, number, bytes_.empty() ? nullptr : bytes_.data(),
                                  static_cast<DWORD>(bytes_.size()));
    }
    return true;
}

// RECEIVED STAMP NAME CHANNELS MESSAGE, as SaveLog writes it.
bool LogParser::Saved(const Field* f, Copy* copy) {
    Copy c;
    c.channels = ParseChannels(f[3].text, f[3].length);
    ULONGLONG local;
    if (c.channels == 0 || !ParseLocal(f[0].text, f[0].length, &local)) return false;
    c.received = clock_.ToUtc(local);
    c.stamp = Is(f[1], L"-") ? kNoStamp : ParseStamp(f[1].text, f[1].length);
    Unescape(f[2], escaped, name_);
    Unescape(f[4], escaped, message_);
    size_t open = name_.rfind(L" (");
    if (c.channels == kDebug && open != std::wstring::npos) {
        c.pid = wcstoul(name_.c_str() + open + 2, nullptr, 10);
        name_.resize(open);
        text_ = name_ + message_;
    } else {
        text_ = name_.empty() ? message_ : name_ + L" " + message_;
    }
    c.nameLength = name_.size() <= 0xFFFF ? name_.size() : 0;
    c.text = text_.c_str();
    c.length = text_.size();
    size_t timedCut = kFullLine - 12;  // a qrv copy's stamp took 12 of the sender's characters
    c.cut = c.length == kFullLine || (c.length == timedCut && c.channels == kQrv && c.stamp != kNoStamp);
    *copy = c;
    return true;
}

}  // namespace

const wchar_t kLogHeader[] =
    L"# rolmview log: received, stamp, name, channels, message; \\\\, TAB, CR, LF written as \\\\, \\t, \\r, \\n";

void AppendLogLine(std::wstring& out, const Store& store, const View& view, size_t i, LocalClock& clock) {
    const Row& row = store.row(view.seq(i));
    std::wstring name, message;
    view.Texts(store, i, &name, &message);
    out += FormatLocal(clock.ToLocal(row.received), true);
    out += L'\t';
    out += StampText(view.Stamp(store, i));
    out += L'\t';
    AppendEscaped(out, name.c_str(), name.size());
    out += L'\t';
    out += ChannelsText(view.channel(i) != 0 ? view.channel(i) : row.channels);
    out += L'\t';
    AppendEscaped(out, message.c_str(), message.size());
}

DWORD SaveLog(const Store& store, const View& view, const std::wstring& path, bool utf16) {
    rolm::UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return ::GetLastError();
    LocalClock clock;
    std::wstring text = std::wstring(utf16 ? L"\xFEFF" : L"") + kLogHeader + L"\r\n";
    std::string bytes = utf16 ? "" : "\xEF\xBB\xBF";
    for (size_t i = 0; i <= view.size(); ++i) {
        if (i < view.size()) {
            AppendLogLine(text, store, view, i, clock);
            text += L"\r\n";
        }
        if (text.size() < kFlushChars && i < view.size()) continue;
        if (utf16) bytes.assign(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
        else AppendUtf8(bytes, text.data(), text.size());
        DWORD written = 0;
        if (!::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
            return ::GetLastError();
        if (written != bytes.size()) return ERROR_DISK_FULL;
        text.clear();
        bytes.clear();
    }
    return ERROR_SUCCESS;
}

DWORD LoadLog(const std::wstring& path, ULONGLONG mostRows, ULONGLONG mostBytes,
              const std::function<void(const Copy&)>& add, LoadCounts* counts) {
    *counts = LoadCounts();
    LineReader reader;
    DWORD error = reader.Open(path);
    if (error != ERROR_SUCCESS) return error;
    counts->size = reader.size();
    LogParser parser;
    std::wstring line;
    if (reader.Next(line) && line.compare(0, 14, L"# rolmview log") == 0)  // the header, wherever reading starts
        parser.escaped = line.find(L"\\t") != std::wstring::npos;
    ULONGLONG start = 0;
    error = reader.TailStart(mostRows, mostBytes, &start);
    if (error == ERROR_SUCCESS) error = reader.Seek(start);
    if (error != ERROR_SUCCESS) return error;
    counts->leftOut = start - reader.dataStart();
    while (reader.Next(line)) {
        if (!line.empty() && line[line.size() - 1] == L'\r') line.resize(line.size() - 1);
        if (line.empty() || line[0] == L'#') continue;
        Copy copy;
        if (!parser.Parse(line, &copy)) {
            ++counts->unreadable;
            continue;
        }
        add(copy);
        ++counts->lines;
    }
    return reader.error();
}

}  // namespace rolmview
