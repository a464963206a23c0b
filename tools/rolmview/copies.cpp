#include "copies.h"

#include <strsafe.h>
#include <string.h>

#include "common/unique.h"

namespace rolmview {

namespace {

const wchar_t* const kChannelNames[] = {L"qrv", L"vellosk", L"wendlook", L"debug"};
const wchar_t* const kProblemTexts[] = {L"empty message (cbData 0)", L"odd byte count, last byte dropped",
                                        L"no terminator", L"invalid UTF-16 replaced by U+FFFD",
                                        L"unknown dwData, read as 8-bit text"};
const wchar_t* const kControlNames[] = {L"NUL", L"SOH", L"STX", L"ETX", L"EOT", L"ENQ", L"ACK", L"BEL",
                                        L"BS",  L"TAB", L"LF",  L"VT",  L"FF",  L"CR",  L"SO",  L"SI",
                                        L"DLE", L"DC1", L"DC2", L"DC3", L"DC4", L"NAK", L"SYN", L"ETB",
                                        L"CAN", L"EM",  L"SUB", L"ESC", L"FS",  L"GS",  L"RS",  L"US"};

const ULONGLONG kDay = 864000000000ull;      // in FILETIME units
const LONGLONG kDaysFrom1601To1970 = 134774;

bool IsHigh(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLow(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Civil dates of the proleptic Gregorian calendar from days since 1970-01-01, and back.
void CivilFromDays(LONGLONG z, int* year, int* month, int* day) {
    z += 719468;
    LONGLONG era = (z >= 0 ? z : z - 146096) / 146097;
    LONGLONG doe = z - era * 146097;
    LONGLONG yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    LONGLONG doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    LONGLONG mp = (5 * doy + 2) / 153;
    *day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    *month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    *year = static_cast<int>(yoe + era * 400 + (*month <= 2 ? 1 : 0));
}

LONGLONG DaysFromCivil(int year, int month, int day) {
    LONGLONG y = year - (month <= 2 ? 1 : 0);
    LONGLONG era = (y >= 0 ? y : y - 399) / 400;
    LONGLONG yoe = y - era * 400;
    LONGLONG doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
}

// Digits at text[at..at+count), or -1.
int Digits(const wchar_t* text, size_t at, size_t count) {
    int value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (text[i] < L'0' || text[i] > L'9') return -1;
        value = value * 10 + (text[i] - L'0');
    }
    return value;
}

// Whether text has the shape, where 'd' stands for a digit.
bool Shaped(const wchar_t* text, size_t length, const char* shape) {
    if (length != strlen(shape)) return false;
    for (size_t i = 0; i < length; ++i)
        if (shape[i] == 'd' ? (text[i] < L'0' || text[i] > L'9') : text[i] != static_cast<wchar_t>(shape[i]))
            return false;
    return true;
}

void AppendCodePage(UINT codePage, const char* bytes, size_t count, std::wstring& out) {
    if (count == 0) return;
    int chars = ::MultiByteToWideChar(codePage, 0, bytes, static_cast<int>(count), nullptr, 0);
    if (chars <= 0) return;
    size_t at = out.size();
    out.resize(at + static_cast<size_t>(chars));
    ::MultiByteToWideChar(codePage, 0, bytes, static_cast<int>(count), &out[at], chars);
}

// The names of the bits set, lowest first, joined by separator.
template <size_t N>
std::wstring NamesOfBits(DWORD bits, const wchar_t* const (&names)[N], const wchar_t* separator) {
    std::wstring out;
    for (size_t i = 0; i < N; ++i) {
        if ((bits & (1u << i)) == 0) continue;
        if (!out.empty()) out += separator;
        out += names[i];
    }
    return out;
}

}  // namespace

std::wstring ChannelsText(DWORD channels) { return NamesOfBits(channels, kChannelNames, L"+"); }

DWORD ParseChannels(const wchar_t* text, size_t length) {
    DWORD channels = 0;
    for (size_t start = 0; start <= length;) {
        size_t end = start;
        while (end < length && text[end] != L'+') ++end;
        for (int i = 0; i < 4; ++i)
            if (end - start == wcslen(kChannelNames[i]) && wcsncmp(text + start, kChannelNames[i], end - start) == 0)
                channels |= 1u << i;
        start = end + 1;
    }
    return channels;
}

std::wstring ProblemsText(BYTE problems) { return NamesOfBits(problems, kProblemTexts, L"; "); }

DWORD ParseStamp(const wchar_t* text, size_t length) {
    if (!Shaped(text, length, "dd:dd:dd,dd")) return kNoStamp;
    return static_cast<DWORD>(Digits(text, 0, 2) * 1000000 + Digits(text, 3, 2) * 10000 + Digits(text, 6, 2) * 100 +
                              Digits(text, 9, 2));
}

std::wstring StampText(DWORD stamp) {
    if (stamp == kNoStamp) return L"-";
    wchar_t text[16];
    StringCchPrintfW(text, 16, L"%02lu:%02lu:%02lu,%02lu", stamp / 1000000 % 100, stamp / 10000 % 100,
                     stamp / 100 % 100, stamp % 100);
    return text;
}

size_t NameLength(const wchar_t* line, size_t length) {
    const wchar_t* space = static_cast<const wchar_t*>(wmemchr(line, L' ', length));
    if (space == nullptr) return 0;
    size_t at = static_cast<size_t>(space - line);
    if (at == 0 || at + 1 >= length || at > 0xFFFF) return 0;
    return line[at + 1] == L'>' || line[at + 1] == L'<' ? 0 : at;
}

// Unpaired surrogates replaced, so that the text displays and saves.
void Decoder::CleanUtf16(size_t from, Copy& copy) {
    for (size_t i = from; i < text_.size(); ++i) {
        wchar_t c = text_[i];
        if (IsHigh(c) && i + 1 < text_.size() && IsLow(text_[i + 1])) {
            ++i;
        } else if (IsHigh(c) || IsLow(c)) {
            text_[i] = 0xFFFD;
            copy.problems |= kBadUtf16;
        }
    }
}

Copy Decoder::TimedLine(ULONGLONG received, const wchar_t* text, size_t chars) {
    Copy copy;
    copy.received = received;
    copy.channels = kQrv;
    copy.cut = chars >= kFullLine;
    if (chars >= 12 && text[11] == L' ') copy.stamp = ParseStamp(text, 11);
    size_t skip = copy.stamp == kNoStamp ? 0 : 12;
    text_.assign(text + skip, chars - skip);
    CleanUtf16(0, copy);
    copy.text = text_.c_str();
    copy.length = text_.size();
    copy.nameLength = NameLength(copy.text, copy.length);
    return copy;
}

Copy Decoder::CopyData(ULONGLONG received, DWORD channel, ULONG_PTR kind, const void* data, DWORD bytes) {
    Copy copy;
    copy.received = received;
    copy.channels = channel;
    text_.clear();
    if (data == nullptr || bytes == 0) {
        copy.problems |= kEmptyMessage;
    } else if (kind == 1) {  // UTF-16, copied out: the data need not be aligned
        text_.resize(bytes / 2);
        if (!text_.empty()) memcpy(&text_[0], data, text_.size() * 2);
        if (bytes % 2 != 0) copy.problems |= kOddCount;
        size_t end = text_.find(L'\0');
        if (end == std::wstring::npos) copy.problems |= kNoTerminator;
        else text_.resize(end);
        CleanUtf16(0, copy);
    } else {
        const char* text = static_cast<const char*>(data);
        const void* zero = memchr(text, 0, bytes);
        size_t length = zero ? static_cast<size_t>(static_cast<const char*>(zero) - text) : bytes;
        if (zero == nullptr) copy.problems |= kNoTerminator;
        if (kind != 0) copy.problems |= kUnknownKind;
        AppendCodePage(CP_ACP, text, length, text_);
    }
    copy.text = text_.c_str();
    copy.length = text_.size();
    copy.cut = copy.length >= kFullLine;
    copy.nameLength = NameLength(copy.text, copy.length);
    return copy;
}

Copy Decoder::DebugOutput(ULONGLONG received, DWORD pid, const std::wstring& process, const char* text,
                          size_t bytes) {
    Copy copy;
    copy.received = received;
    copy.channels = kDebug;
    copy.pid = pid;
    const void* zero = memchr(text, 0, bytes);
    size_t length = zero ? static_cast<size_t>(static_cast<const char*>(zero) - text) : bytes;
    if (zero == nullptr) copy.problems |= kNoTerminator;
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) --length;
    text_.assign(process, 0, process.size() < 0xFFFF ? process.size() : 0xFFFF);
    copy.nameLength = text_.size();
    AppendCodePage(CP_ACP, text, length, text_);
    copy.text = text_.c_str();
    copy.length = text_.size();
    return copy;
}

ULONGLONG NowFileTime() {
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    return (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

LONGLONG LocalClock::Bias() {
    DWORD now = ::GetTickCount();
    if (read_ && now - readAt_ < 1000) return bias_;
    ULONGLONG utc = NowFileTime();
    FILETIME from = {static_cast<DWORD>(utc), static_cast<DWORD>(utc >> 32)}, local;
    if (::FileTimeToLocalFileTime(&from, &local))
        bias_ = static_cast<LONGLONG>(utc - ((static_cast<ULONGLONG>(local.dwHighDateTime) << 32) |
                                             local.dwLowDateTime));
    readAt_ = now;
    read_ = true;
    return bias_;
}

std::wstring FormatLocal(ULONGLONG local, bool withDate) {
    int year, month, day;
    CivilFromDays(static_cast<LONGLONG>(local / kDay) - kDaysFrom1601To1970, &year, &month, &day);
    ULONGLONG ms = local % kDay / 10000;
    unsigned hour = static_cast<unsigned>(ms / 3600000), minute = static_cast<unsigned>(ms / 60000 % 60);
    unsigned second = static_cast<unsigned>(ms / 1000 % 60), milli = static_cast<unsigned>(ms % 1000);
    wchar_t text[32];
    if (withDate)
        StringCchPrintfW(text, 32, L"%04d-%02d-%02d %02u:%02u:%02u.%03u", year, month, day, hour, minute, second,
                         milli);
    else
        StringCchPrintfW(text, 32, L"%02u:%02u:%02u.%03u", hour, minute, second, milli);
    return text;
}

bool ParseLocal(const wchar_t* text, size_t length, ULONGLONG* local) {
    static const int kMonthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (!Shaped(text, length, "dddd-dd-dd dd:dd:dd.ddd")) return false;
    int year = Digits(text, 0, 4), month = Digits(text, 5, 2), day = Digits(text, 8, 2);
    int hour = Digits(text, 11, 2), minute = Digits(text, 14, 2), second = Digits(text, 17, 2);
    int milli = Digits(text, 20, 3);
    bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    if (year < 1601 || month < 1 || month > 12 || day < 1 || day > kMonthDays[month - 1] ||
        (month == 2 && day == 29 && !leap) || hour > 23 || minute > 59 || second > 59)
        return false;
    LONGLONG days = DaysFromCivil(year, month, day) + kDaysFrom1601To1970;
    *local = static_cast<ULONGLONG>(days) * kDay +
             static_cast<ULONGLONG>(((hour * 60 + minute) * 60 + second) * 1000 + milli) * 10000;
    return true;
}

void AppendShown(std::wstring& out, const wchar_t* text, size_t length, bool breakLines) {
    for (size_t i = 0; i < length; ++i) {
        wchar_t c = text[i];
        if (c >= 0x20 && c != 0x7F) {
            out += c;
            continue;
        }
        out += L'\u2039';
        out += c == 0x7F ? L"DEL" : kControlNames[c];
        out += L'\u203A';
        if (breakLines && c == L'\n') out += L"\r\n";
    }
}

void AnsiRoundTrip(const wchar_t* text, size_t length, std::string& bytes, std::wstring& out) {
    out.clear();
    if (length == 0) return;
    int count = ::WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    if (count <= 0) return;
    bytes.resize(static_cast<size_t>(count));
    ::WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), &bytes[0], count, nullptr, nullptr);
    AppendCodePage(CP_ACP, bytes.data(), bytes.size(), out);
}

std::wstring ErrorText(DWORD error) {
    rolm::UniqueLocal buffer;
    wchar_t* text = nullptr;
    DWORD length = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                        FORMAT_MESSAGE_IGNORE_INSERTS,
                                    nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    buffer.reset(text);
    std::wstring out = length ? std::wstring(text, length) : L"";
    while (!out.empty() && (out[out.size() - 1] == L'\n' || out[out.size() - 1] == L'\r'))
        out.resize(out.size() - 1);
    wchar_t code[32];
    StringCchPrintfW(code, 32, L" (error %lu)", error);
    return out + code;
}

std::wstring Count(ULONGLONG value) {
    std::wstring digits = std::to_wstring(value), out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i != 0 && (digits.size() - i) % 3 == 0) out += L',';
        out += digits[i];
    }
    return out;
}

std::wstring Size(ULONGLONG bytes) {
    wchar_t text[32];
    if (bytes < (1u << 20)) StringCchPrintfW(text, 32, L"%.1f KB", static_cast<double>(bytes) / 1024);
    else StringCchPrintfW(text, 32, L"%.1f MB", static_cast<double>(bytes) / (1 << 20));
    return text;
}

// By hand: a saved log converts every row, and an unpaired surrogate becomes U+FFFD.
void AppendUtf8(std::string& out, const wchar_t* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        unsigned long c = text[i];
        if (IsHigh(text[i]) && i + 1 < length && IsLow(text[i + 1])) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (IsHigh(text[i]) || IsLow(text[i])) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
}

std::string ToUtf8(const std::wstring& text) {
    std::string out;
    AppendUtf8(out, text.data(), text.size());
    return out;
}

void FromCodePage(UINT codePage, const char* bytes, size_t count, std::wstring& out) {
    out.clear();
    AppendCodePage(codePage, bytes, count, out);
}

}  // namespace rolmview
