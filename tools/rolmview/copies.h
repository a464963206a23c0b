// What arrives: each line as one channel delivers it, decoded into a Copy; the
// channel names, the problems a copy can have, the sender's stamp, and the
// time and text conversions the rest of the viewer shares.
#pragma once

#include <windows.h>

#include <string>

namespace rolmview {

enum Channel : DWORD { kQrv = 1, kVellosk = 2, kWendlook = 4, kDebug = 8 };
const DWORD kTraceChannels = kQrv | kVellosk | kWendlook;

// "qrv+vellosk", and back (unknown names are ignored).
std::wstring ChannelsText(DWORD channels);
DWORD ParseChannels(const wchar_t* text, size_t length);

// What was wrong with what arrived; a row keeps its copies' together.
enum Problem : BYTE { kEmptyMessage = 1, kOddCount = 2, kNoTerminator = 4, kBadUtf16 = 8, kUnknownKind = 16 };
std::wstring ProblemsText(BYTE problems);

// The longest line the trace facility sends: a line this long was probably cut.
const size_t kFullLine = 4095;

// The sender's "hh:mm:ss,cc" of a timed line, kept as the number hhmmsscc.
const DWORD kNoStamp = 0xFFFFFFFF;
DWORD ParseStamp(const wchar_t* text, size_t length);  // kNoStamp when it is not one
std::wstring StampText(DWORD stamp);                   // "-" for kNoStamp

// One line as it arrived on one channel, or one row read from a log. text
// points into the decoder that made it and holds the name, then the message
// (a blank between them when there is a name); for debug output the sender's
// file name, then the text, and pid names the sender.
struct Copy {
    ULONGLONG received = 0;  // FILETIME, UTC
    DWORD channels = 0;
    DWORD stamp = kNoStamp;
    DWORD pid = 0;
    const wchar_t* text = L"";
    size_t length = 0;
    size_t nameLength = 0;
    bool cut = false;
    BYTE problems = 0;
};

// Decodes what each channel delivers. Bytes are read only within the given
// counts; a missing terminator, an odd count or unpaired surrogates are noted
// in problems and what can be read is kept. One decoder per thread: each
// Copy is valid until its decoder's next call.
class Decoder {
public:
    Copy TimedLine(ULONGLONG received, const wchar_t* text, size_t chars);
    Copy CopyData(ULONGLONG received, DWORD channel, ULONG_PTR kind, const void* data, DWORD bytes);
    Copy DebugOutput(ULONGLONG received, DWORD pid, const std::wstring& process, const char* text, size_t bytes);

private:
    void CleanUtf16(size_t from, Copy& copy);
    std::wstring text_;
};

// The name is the first word, unless the second word shows the line to be a
// bare "Operation > ..." message traced without a name. 0: no name.
size_t NameLength(const wchar_t* line, size_t length);

ULONGLONG NowFileTime();

// Local time as this machine keeps it now, for many rows at a time: the
// offset from UTC is read once a second, not once per row.
class LocalClock {
public:
    ULONGLONG ToLocal(ULONGLONG utc) { return utc - Bias(); }
    ULONGLONG ToUtc(ULONGLONG local) { return local + Bias(); }

private:
    LONGLONG Bias();
    LONGLONG bias_ = 0;
    DWORD readAt_ = 0;
    bool read_ = false;
};

// "YYYY-MM-DD hh:mm:ss.mmm" of a local FILETIME (withDate false: the time alone), and back.
std::wstring FormatLocal(ULONGLONG local, bool withDate);
bool ParseLocal(const wchar_t* text, size_t length, ULONGLONG* local);

// Text as the list and the detail pane show it: control characters as
// visible marks such as <NUL> (between single guillemets); with breakLines a
// line feed also ends the shown line.
void AppendShown(std::wstring& out, const wchar_t* text, size_t length, bool breakLines = false);

// The text after a trip through the ANSI code page, as a Wendlook copy of it reads.
void AnsiRoundTrip(const wchar_t* text, size_t length, std::string& bytes, std::wstring& out);

// The system's text for an error code, then "(error N)"; 1234567 as
// "1,234,567"; a byte count as "12.3 KB" or "45.6 MB".
std::wstring ErrorText(DWORD error);
std::wstring Count(ULONGLONG value);
std::wstring Size(ULONGLONG bytes);

void AppendUtf8(std::string& out, const wchar_t* text, size_t length);
std::string ToUtf8(const std::wstring& text);
void FromCodePage(UINT codePage, const char* bytes, size_t count, std::wstring& out);

}  // namespace rolmview
