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

// The facility's process-wide state: zero at load, never torn down.
struct TraceState {
    int lineLength;
    WCHAR line[kLineChars];
    WCHAR message[kLineChars];
    WCHAR stamp[kStampChars];
    WCHAR timedFormat[kFormatChars];
    WCHAR plainFormat[kFormatChars];
    HWND vellosk;
    HWND qrvList;
    HWND wendlook;
    DWORD fileSwitch;
    WCHAR filePath[kPathChars];
};
TraceState g_trace;

// The lock: a critical section, and an event that wakes its waiters. A thread
// waiting for it keeps handling messages sent to its own windows, since the
// holder may be delivering a line to one of them; a plain wait would deadlock.
// Made ready on first use: InitOnce is not on the XP generation, and a static
// constructor would run after callers in other static constructors.
volatile LONG g_lockState;  // 0 none, 1 being made, 2 ready, 3 unusable
CRITICAL_SECTION g_lock;
HANDLE g_released;          // auto-reset, set when the lock is left while someone waits
volatile LONG g_waiters;
DWORD g_insideSlot;         // thread-local mark: this thread is inside the facility

bool LockReady() {
    if (g_lockState < 2) {
        if (::InterlockedCompareExchange(&g_lockState, 1, 0) == 0) {
            ::InitializeCriticalSection(&g_lock);
            g_released = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
            g_insideSlot = ::TlsAlloc();
            bool usable = g_released != nullptr && g_insideSlot != TLS_OUT_OF_INDEXES;
            ::InterlockedExchange(&g_lockState, usable ? 2 : 3);
        } else {
            while (g_lockState < 2) ::Sleep(0);
        }
    }
    return g_lockState == 2;
}

// Held for a whole call. Not taken (held() false) when the facility is unusable
// or when this thread is already inside it: a window procedure run while a line
// is being delivered, or while this thread waits for the lock, must not wait
// for a lock whose holder waits for that very procedure.
class TraceLock {
public:
    TraceLock() {
        if (!LockReady() || ::TlsGetValue(g_insideSlot) != nullptr) return;
        ::TlsSetValue(g_insideSlot, this);
        if (!::TryEnterCriticalSection(&g_lock)) Wait();
        held_ = true;
    }
    ~TraceLock() {
        if (!held_) return;
        ::LeaveCriticalSection(&g_lock);
        if (g_waiters > 0) ::SetEvent(g_released);
        ::TlsSetValue(g_insideSlot, nullptr);
    }
    bool held() const { return held_; }
    TraceLock(const TraceLock&) = delete;
    TraceLock& operator=(const TraceLock&) = delete;

private:
    static void Wait() {
        ::InterlockedIncrement(&g_waiters);
        while (!::TryEnterCriticalSection(&g_lock)) {
            // The timeout only bounds a wake-up lost between a failed try and the wait.
            if (::MsgWaitForMultipleObjects(1, &g_released, FALSE, 50, QS_SENDMESSAGE) !=
                WAIT_OBJECT_0) {
                MSG message;
                ::PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
            }
        }
        ::InterlockedDecrement(&g_waiters);
    }
    bool held_ = false;
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

// Appends the name to a format, "%" doubled so that it prints as itself,
// cut at kMaxNameChars characters of format text.
void AppendName(WCHAR* format, LPCWSTR name) {
    size_t at = wcslen(format);
    size_t used = 0;
    for (; *name != L'\0'; ++name) {
        size_t need = (*name == L'%') ? 2 : 1;
        if (used + need > kMaxNameChars) break;
        format[at++] = *name;
        if (need == 2) format[at++] = L'%';
        used += need;
    }
    format[at] = L'\0';
}

void BuildFormats(LPCWSTR name) {
    bool named = name != nullptr && name[0] != L'\0';
    if (g_trace.timedFormat[0] == L'\0') {
        if (named) {
            StringCchCopyW(g_trace.timedFormat, kFormatChars, L"%s ");
            AppendName(g_trace.timedFormat, name);
            StringCchCatW(g_trace.timedFormat, kFormatChars, L" %s");
        } else {
            StringCchCopyW(g_trace.timedFormat, kFormatChars, L"%s %s");
        }
    }
    if (g_trace.plainFormat[0] == L'\0') {
        if (named) {
            AppendName(g_trace.plainFormat, name);
            StringCchCatW(g_trace.plainFormat, kFormatChars, L" %s");
        } else {
            StringCchCopyW(g_trace.plainFormat, kFormatChars, L"%s");
        }
    }
}

// Prints into buffer, cut to capacity - 1 characters and terminated whatever
// the print reports (a cut or a format error); returns the length.
int PrintCut(WCHAR* buffer, size_t capacity, const WCHAR* format, va_list args) {
    if (capacity > STRSAFE_MAX_CCH) capacity = STRSAFE_MAX_CCH;
    StringCchVPrintfW(buffer, capacity, format, args);
    return static_cast<int>(wcslen(buffer));
}

int Print(WCHAR* buffer, size_t capacity, const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    int length = PrintCut(buffer, capacity, format, args);
    va_end(args);
    return length;
}

void AppendToLogFile() {
    // The line and its CR LF must fit the line buffer with the terminator.
    int length = g_trace.lineLength < kLineChars - 3 ? g_trace.lineLength : kLineChars - 3;
    g_trace.line[length++] = L'\r';
    g_trace.line[length++] = L'\n';
    g_trace.line[length] = L'\0';
    g_trace.lineLength = length;

    rolm::UniqueFile file(::CreateFileW(g_trace.filePath, GENERIC_READ | GENERIC_WRITE,
                                        FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;  // deleted, moved or held by a writer: this line is lost for the file
    // A failed seek would write over the start of the file: the line is dropped instead.
    if (::SetFilePointer(file.get(), 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER) return;
    DWORD written = 0;
    ::WriteFile(file.get(), g_trace.line, static_cast<DWORD>(length) * sizeof(WCHAR), &written,
                nullptr);
}

void SendCopyData(HWND window, ULONG_PTR kind, const void* data, DWORD bytes) {
    COPYDATASTRUCT copy;
    copy.dwData = kind;
    copy.cbData = bytes;
    copy.lpData = const_cast<void*>(data);
    ::SendMessageW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copy));
}

void SendAnsiLine(HWND window) {
    char scratch[kLineChars * 2];  // lineLength * 2 + 2 bytes at most
    scratch[0] = '\0';
    int capacity = g_trace.lineLength * 2 + 2;
    int bytes = ::WideCharToMultiByte(CP_ACP, 0, g_trace.line, -1, scratch, capacity, nullptr,
                                      nullptr);
    if (bytes <= 0) bytes = 1;  // nothing converted: the empty line and its terminator
    SendCopyData(window, 0, scratch, static_cast<DWORD>(bytes));
}

}  // namespace

void TraceInit(LPCWSTR lpszName, DWORD dwFileSwitch) {
    LastErrorKept lastError;
    TraceLock lock;
    if (!lock.held()) return;
    BuildFormats(lpszName);

    if (!::IsWindow(g_trace.vellosk)) g_trace.vellosk = ::FindWindowW(L"Vellosk", nullptr);

    if (!::IsWindow(g_trace.qrvList)) {
        HWND viewer = ::FindWindowW(L"Qrv", nullptr);
        g_trace.qrvList = viewer != nullptr ? ::GetDlgItem(viewer, kListBoxId) : nullptr;
    }

    if (dwFileSwitch != 0 && g_trace.fileSwitch == 0) {
        ::GetProfileStringW(L"Qrv", L"Filename", L"C:\\QRV.TXT", g_trace.filePath, kPathChars);
        if (!::PathFileExistsW(g_trace.filePath)) {
            rolm::UniqueFile file(::CreateFileW(g_trace.filePath, GENERIC_READ | GENERIC_WRITE,
                                                FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                                FILE_ATTRIBUTE_NORMAL, nullptr));
            if (file) g_trace.fileSwitch = dwFileSwitch;
        }
    }

    if (!::IsWindow(g_trace.wendlook)) g_trace.wendlook = ::FindWindowW(nullptr, L"Wendlook");
}

void TraceWrite(LPCWSTR lpszFormat, ...) {
    if (g_trace.vellosk == nullptr && g_trace.qrvList == nullptr && g_trace.wendlook == nullptr &&
        g_trace.fileSwitch == 0)
        return;
    if (lpszFormat == nullptr) return;

    LastErrorKept lastError;
    TraceLock lock;
    if (!lock.held()) return;  // re-entered while delivering: keep the line in flight

    va_list args;
    va_start(args, lpszFormat);
    PrintCut(g_trace.message, kLineChars, lpszFormat, args);
    va_end(args);

    if (g_trace.qrvList != nullptr || g_trace.fileSwitch != 0) {
        SYSTEMTIME now;
        ::GetLocalTime(&now);
        Print(g_trace.stamp, kStampChars, L"%02.2u:%02.2u:%02.2u,%02.2u", now.wHour, now.wMinute,
              now.wSecond, now.wMilliseconds / 10);
        g_trace.lineLength =
            Print(g_trace.line, kLineChars, g_trace.timedFormat, g_trace.stamp, g_trace.message);
        if (g_trace.qrvList != nullptr)
            ::SendMessageW(g_trace.qrvList, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(g_trace.line));
        if (g_trace.fileSwitch != 0) AppendToLogFile();
    }

    if (g_trace.vellosk != nullptr || g_trace.wendlook != nullptr) {
        g_trace.lineLength = Print(g_trace.line, kLineChars, g_trace.plainFormat, g_trace.message);
        if (g_trace.vellosk != nullptr)
            SendCopyData(g_trace.vellosk, 1, g_trace.line,
                         static_cast<DWORD>(g_trace.lineLength + 1) * sizeof(WCHAR));
        if (g_trace.wendlook != nullptr) SendAnsiLine(g_trace.wendlook);
    }
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
