#include <rolm/trace.h>

#include <shlwapi.h>
#include <stdarg.h>
#include <strsafe.h>
#include <wchar.h>

#include "common/unique.h"

namespace {

const int kLineChars = 4096;
const int kFormatChars = 128;
const int kStampChars = 32;
const int kPathChars = 260;
const int kMaxNameChars = 121;  // "%s " + name + " %s" and its terminator fill 128
const int kListBoxId = 120;

// The facility's process-wide state: zero at load, never torn down. Lines are
// composed in each call's own buffers. The formats and the path are written
// under the lock before the flag or switch that publishes them; the window
// handles and the switch are single words, replaced whole, so a call reads
// them without the lock.
struct TraceState {
    WCHAR timedFormat[kFormatChars];
    WCHAR plainFormat[kFormatChars];
    WCHAR filePath[kPathChars];
    volatile LONG formatsReady;
    HWND volatile vellosk;
    HWND volatile qrvList;
    HWND volatile wendlook;
    volatile LONG fileSwitch;
};
TraceState g_trace;

void Publish(HWND volatile* slot, HWND window) {
    ::InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(slot), window);
}

// The lock, around the only work that must not interleave within the process:
// TraceInit, and the log file's open, append and close. Its holder sends
// nothing and waits for no other thread, so a waiter waits for file I/O at
// most. A word holding the owner's thread id rather than a critical section or
// a mutex: a critical section stays owned for ever by a thread that dies in it
// (TerminateThread, or a worker the system ends at exit before DLL destructors
// trace), and a mutex costs two server round trips a line under Wine (0.7 of a
// bare append). A waiter takes the lock over once its owner has ended, or has
// held it, unchanged, for kStuckMs: its id may have been reused by a live
// thread. The file's own sharing keeps two appends apart even then.
volatile LONG g_owner;  // thread id of the holder, 0 when free
volatile LONG g_turns;  // times taken: a waiter's clock restarts at each
const DWORD kStuckMs = 2000;

bool ThreadEnded(DWORD id) {
    rolm::UniqueHandle thread(::OpenThread(SYNCHRONIZE, FALSE, id));
    if (!thread) return ::GetLastError() == ERROR_INVALID_PARAMETER;  // no thread has this id
    return ::WaitForSingleObject(thread.get(), 0) == WAIT_OBJECT_0;
}

class TraceLock {
public:
    TraceLock() : self_(static_cast<LONG>(::GetCurrentThreadId())) {
        LONG seen = 0, turn = 0;
        DWORD since = 0;
        for (unsigned tries = 0;; ++tries) {
            LONG owner = ::InterlockedCompareExchange(&g_owner, self_, 0);
            if (owner == 0) break;
            if (owner != seen || g_turns != turn) {
                seen = owner;
                turn = g_turns;
                since = ::GetTickCount();
            }
            // Never held by a thread that waits for it: its own id there is a dead owner's, reused.
            bool gone = owner == self_ || (tries % 16 == 15 && (::GetTickCount() - since > kStuckMs ||
                                                                ThreadEnded(static_cast<DWORD>(owner))));
            if (gone && ::InterlockedCompareExchange(&g_owner, self_, owner) == owner) break;
            ::Sleep(tries < 8 ? 0 : 1);
        }
        ::InterlockedIncrement(&g_turns);
    }
    ~TraceLock() { ::InterlockedCompareExchange(&g_owner, 0, self_); }  // not if taken over meanwhile
    TraceLock(const TraceLock&) = delete;
    TraceLock& operator=(const TraceLock&) = delete;

private:
    const LONG self_;
};

// A TraceWrite that delivers a line marks its stack frame. When a window
// procedure of the same thread traces while a line is delivered to it, the
// nested call finds that mark above its own frame and drops its line, so
// delivery never recurses. The mark lives on the stack rather than in TLS,
// whose slots may be exhausted, and dies with its thread.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"  // GCC 12 takes the read relative to fs for one at address 0x18
#endif
const NT_TIB* ThreadBlock() { return reinterpret_cast<const NT_TIB*>(::NtCurrentTeb()); }
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

const ULONG_PTR kMarkTag = 0x524C4D4B;
volatile LONG g_marks;  // marks set in all threads: none, no search

class DeliveryMark {
public:
    DeliveryMark() {
        ::InterlockedIncrement(&g_marks);
        tag_ = kMarkTag;
        self_ = reinterpret_cast<ULONG_PTR>(&tag_);
    }
    ~DeliveryMark() {
        tag_ = 0;
        self_ = 0;
        ::InterlockedDecrement(&g_marks);
    }
    DeliveryMark(const DeliveryMark&) = delete;
    DeliveryMark& operator=(const DeliveryMark&) = delete;

    // Whether a caller further up this thread's stack is delivering a line.
    static bool Set() {
        if (g_marks == 0) return false;
        const NT_TIB* tib = ThreadBlock();
        const ULONG_PTR here = reinterpret_cast<ULONG_PTR>(&tib);
        const ULONG_PTR base = reinterpret_cast<ULONG_PTR>(tib->StackBase);
        if (here < reinterpret_cast<ULONG_PTR>(tib->StackLimit) || here >= base) return false;  // a stack of its own
        const volatile ULONG_PTR* word = reinterpret_cast<const volatile ULONG_PTR*>(here & ~(sizeof(ULONG_PTR) - 1));
        for (; reinterpret_cast<ULONG_PTR>(word + 2) <= base; ++word)
            if (word[0] == kMarkTag && word[1] == reinterpret_cast<ULONG_PTR>(word)) return true;
        return false;
    }

private:
    volatile ULONG_PTR tag_;  // kMarkTag, then its own address: found by nothing else
    volatile ULONG_PTR self_;
};

// The caller's last error (and so its Windows Sockets error) outlives the
// call: operations read it after tracing their failure.
class LastErrorKept {
public:
    LastErrorKept() : error_(::GetLastError()) {}
    ~LastErrorKept() { ::SetLastError(error_); }
    LastErrorKept(const LastErrorKept&) = delete;
    LastErrorKept& operator=(const LastErrorKept&) = delete;

private:
    DWORD error_;
};

bool IsHighSurrogate(WCHAR c) { return (c & 0xFC00) == 0xD800; }

// Text cut to length characters, without the first half of a pair the cut split.
int CutWhole(WCHAR* text, int length) {
    if (length > 0 && IsHighSurrogate(text[length - 1])) --length;
    text[length] = L'\0';
    return length;
}

// Appends the name to a format, "%" doubled so that it prints as itself,
// cut at kMaxNameChars characters of format text.
void AppendName(WCHAR* format, LPCWSTR name) {
    size_t at = wcslen(format);
    size_t used = 0;
    for (; *name != L'\0'; ++name) {
        size_t need = (*name == L'%') ? 2 : 1;
        if (used + need > kMaxNameChars) {
            if (used > 0 && IsHighSurrogate(format[at - 1])) --at;
            break;
        }
        format[at++] = *name;
        if (need == 2) format[at++] = L'%';
        used += need;
    }
    format[at] = L'\0';
}

void BuildFormats(LPCWSTR name) {
    if (name != nullptr && name[0] != L'\0') {
        StringCchCopyW(g_trace.timedFormat, kFormatChars, L"%s ");
        AppendName(g_trace.timedFormat, name);
        StringCchCatW(g_trace.timedFormat, kFormatChars, L" %s");
        g_trace.plainFormat[0] = L'\0';
        AppendName(g_trace.plainFormat, name);
        StringCchCatW(g_trace.plainFormat, kFormatChars, L" %s");
    } else {
        StringCchCopyW(g_trace.timedFormat, kFormatChars, L"%s %s");
        StringCchCopyW(g_trace.plainFormat, kFormatChars, L"%s");
    }
}

// Prints into buffer, cut to capacity - 1 characters (a surrogate pair whole
// or not at all) and terminated whatever the print reports; returns the length.
int PrintCut(WCHAR* buffer, size_t capacity, const WCHAR* format, va_list args) {
    if (capacity > STRSAFE_MAX_CCH) capacity = STRSAFE_MAX_CCH;
    HRESULT printed = StringCchVPrintfW(buffer, capacity, format, args);
    int length = static_cast<int>(wcslen(buffer));
    return printed == STRSAFE_E_INSUFFICIENT_BUFFER ? CutWhole(buffer, length) : length;
}

int Print(WCHAR* buffer, size_t capacity, const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    int length = PrintCut(buffer, capacity, format, args);
    va_end(args);
    return length;
}

// Appends the timed line (the caller's buffer) and CR LF. A line the file
// does not take whole is cut off again, so the next one starts a line of its own.
void AppendToLogFile(WCHAR* line, int length) {
    // The line and its CR LF must fit the line buffer with the terminator.
    if (length > kLineChars - 3) length = CutWhole(line, kLineChars - 3);
    line[length++] = L'\r';
    line[length++] = L'\n';
    line[length] = L'\0';

    TraceLock lock;
    rolm::UniqueFile file(::CreateFileW(g_trace.filePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;  // deleted, moved or held by a writer: this line is lost for the file
    // A failed seek would write over the start of the file: the line is dropped instead.
    DWORD end = ::SetFilePointer(file.get(), 0, nullptr, FILE_END);
    if (end == INVALID_SET_FILE_POINTER) return;
    DWORD bytes = static_cast<DWORD>(length) * sizeof(WCHAR), written = 0;
    if (::WriteFile(file.get(), line, bytes, &written, nullptr) && written == bytes) return;
    LONG endHigh = 0;  // with a high part the low one counts from 0 to 4 GB
    if (::SetFilePointer(file.get(), static_cast<LONG>(end), &endHigh, FILE_BEGIN) == end) ::SetEndOfFile(file.get());
}

void SendCopyData(HWND window, ULONG_PTR kind, const void* data, DWORD bytes) {
    COPYDATASTRUCT copy;
    copy.dwData = kind;
    copy.cbData = bytes;
    copy.lpData = const_cast<void*>(data);
    ::SendMessageW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copy));
}

void SendAnsiLine(HWND window, const WCHAR* line, int length) {
    char scratch[kLineChars * 2];  // length * 2 + 2 bytes at most
    scratch[0] = '\0';
    int bytes = ::WideCharToMultiByte(CP_ACP, 0, line, -1, scratch, length * 2 + 2, nullptr, nullptr);
    if (bytes <= 0) bytes = 1;  // nothing converted: the empty line and its terminator
    SendCopyData(window, 0, scratch, static_cast<DWORD>(bytes));
}

struct Sinks {
    HWND qrvList;
    HWND vellosk;
    HWND wendlook;
    bool toFile;
};

// Formats the message and hands its lines to the sinks. Out of line: the stack
// probe for its buffers would otherwise come before TraceWrite's no-sink test.
#if defined(_MSC_VER)
__declspec(noinline)
#else
__attribute__((noinline))
#endif
void WriteLine(Sinks sinks, LPCWSTR format, va_list args) {
    LastErrorKept lastError;
    if (DeliveryMark::Set()) return;  // traced by a viewer of this thread while its line arrives: dropped
    DeliveryMark mark;

    WCHAR message[kLineChars];
    PrintCut(message, kLineChars, format, args);

    WCHAR line[kLineChars];
    if (sinks.qrvList != nullptr || sinks.toFile) {
        SYSTEMTIME now;
        ::GetLocalTime(&now);
        WCHAR stamp[kStampChars];
        Print(stamp, kStampChars, L"%02.2u:%02.2u:%02.2u,%02.2u", now.wHour, now.wMinute, now.wSecond,
              now.wMilliseconds / 10);
        int length = Print(line, kLineChars, g_trace.timedFormat, stamp, message);
        if (sinks.qrvList != nullptr) ::SendMessageW(sinks.qrvList, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line));
        if (sinks.toFile) AppendToLogFile(line, length);
    }

    if (sinks.vellosk != nullptr || sinks.wendlook != nullptr) {
        int length = Print(line, kLineChars, g_trace.plainFormat, message);
        if (sinks.vellosk != nullptr)
            SendCopyData(sinks.vellosk, 1, line, static_cast<DWORD>(length + 1) * sizeof(WCHAR));
        if (sinks.wendlook != nullptr) SendAnsiLine(sinks.wendlook, line, length);
    }
}

}  // namespace

void TraceInit(LPCWSTR lpszName, DWORD dwFileSwitch) {
    LastErrorKept lastError;
    TraceLock lock;
    if (g_trace.formatsReady == 0) {
        BuildFormats(lpszName);
        ::InterlockedExchange(&g_trace.formatsReady, 1);
    }

    if (!::IsWindow(g_trace.vellosk)) Publish(&g_trace.vellosk, ::FindWindowW(L"Vellosk", nullptr));

    if (!::IsWindow(g_trace.qrvList)) {
        HWND viewer = ::FindWindowW(L"Qrv", nullptr);
        Publish(&g_trace.qrvList, viewer != nullptr ? ::GetDlgItem(viewer, kListBoxId) : nullptr);
    }

    if (dwFileSwitch != 0 && g_trace.fileSwitch == 0) {
        ::GetProfileStringW(L"Qrv", L"Filename", L"C:\\QRV.TXT", g_trace.filePath, kPathChars);
        if (!::PathFileExistsW(g_trace.filePath)) {
            rolm::UniqueFile file(::CreateFileW(g_trace.filePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                                nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (file) ::InterlockedExchange(&g_trace.fileSwitch, static_cast<LONG>(dwFileSwitch));
        }
    }

    if (!::IsWindow(g_trace.wendlook)) Publish(&g_trace.wendlook, ::FindWindowW(nullptr, L"Wendlook"));
}

void TraceWrite(LPCWSTR lpszFormat, ...) {
    // One reading of the sinks serves the whole line; a TraceInit meanwhile changes the next one.
    const Sinks sinks = {g_trace.qrvList, g_trace.vellosk, g_trace.wendlook, g_trace.fileSwitch != 0};
    if (sinks.qrvList == nullptr && sinks.vellosk == nullptr && sinks.wendlook == nullptr && !sinks.toFile) return;
    if (lpszFormat == nullptr || g_trace.formatsReady == 0) return;
    va_list args;
    va_start(args, lpszFormat);
    WriteLine(sinks, lpszFormat, args);
    va_end(args);
}

LPWSTR FormatFileTime(const FILETIME* pTime, LPWSTR lpszBuffer, DWORD dwCapacity) {
    if (lpszBuffer == nullptr || dwCapacity == 0) return lpszBuffer;
    lpszBuffer[0] = L'\0';
    if (pTime == nullptr) return lpszBuffer;

    ULONGLONG value = (static_cast<ULONGLONG>(pTime->dwHighDateTime) << 32) | pTime->dwLowDateTime;
    SYSTEMTIME fields;
    FILETIME whole;
    if ((value >> 63) != 0 || !::FileTimeToSystemTime(pTime, &fields) ||
        !::SystemTimeToFileTime(&fields, &whole)) {
        Print(lpszBuffer, dwCapacity, L"%016.16I64X", value);
        return lpszBuffer;
    }
    // Below 10000, so the low 16 bits of each value give the exact difference.
    unsigned below = static_cast<WORD>(static_cast<WORD>(pTime->dwLowDateTime) -
                                       static_cast<WORD>(whole.dwLowDateTime));
    Print(lpszBuffer, dwCapacity, L"%d-%02.2d-%02.2d %02.2d:%02.2d:%02.2d %dms %d.%d\u00B5s",
          fields.wYear, fields.wMonth, fields.wDay, fields.wHour, fields.wMinute, fields.wSecond,
          fields.wMilliseconds, below / 10, below % 10);
    return lpszBuffer;
}

DWORD GetSystemErrorText(DWORD dwCode, LPWSTR* ppszText, DWORD* pdwLength) {
    if (ppszText == nullptr || pdwLength == nullptr) return ERROR_INVALID_PARAMETER;
    *ppszText = nullptr;
    *pdwLength = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM,
                                  nullptr, dwCode, 0x0400, reinterpret_cast<LPWSTR>(ppszText), 0,
                                  nullptr);
    return *pdwLength != 0 ? 0 : ::GetLastError();
}
