#include <rolm/trace.h>

#include <shlwapi.h>
#include <stdarg.h>
#include <stdio.h>
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

// A critical section made ready on first use: InitOnce is not on the XP
// generation, and a static constructor would run after callers in other
// static constructors.
volatile LONG g_lockState;  // 0 none, 1 being made, 2 ready
CRITICAL_SECTION g_lock;
DWORD g_writingThread;  // thread inside TraceWrite, 0 when none

class TraceLock {
public:
    TraceLock() {
        if (g_lockState != 2) {
            if (::InterlockedCompareExchange(&g_lockState, 1, 0) == 0) {
                ::InitializeCriticalSection(&g_lock);
                ::InterlockedExchange(&g_lockState, 2);
            } else {
                while (g_lockState != 2) ::Sleep(0);
            }
        }
        ::EnterCriticalSection(&g_lock);
    }
    ~TraceLock() { ::LeaveCriticalSection(&g_lock); }
    TraceLock(const TraceLock&) = delete;
    TraceLock& operator=(const TraceLock&) = delete;
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
            wcscpy_s(g_trace.timedFormat, kFormatChars, L"%s ");
            AppendName(g_trace.timedFormat, name);
            wcscat_s(g_trace.timedFormat, kFormatChars, L" %s");
        } else {
            wcscpy_s(g_trace.timedFormat, kFormatChars, L"%s %s");
        }
    }
    if (g_trace.plainFormat[0] == L'\0') {
        if (named) {
            AppendName(g_trace.plainFormat, name);
            wcscat_s(g_trace.plainFormat, kFormatChars, L" %s");
        } else {
            wcscpy_s(g_trace.plainFormat, kFormatChars, L"%s");
        }
    }
}

// Length of what a _TRUNCATE print produced: its count, or the cut text's.
int PrintedLength(int result, const WCHAR* buffer) {
    return result >= 0 ? result : static_cast<int>(wcslen(buffer));
}

int Compose(const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    int result = _vsnwprintf_s(g_trace.line, kLineChars, _TRUNCATE, format, args);
    va_end(args);
    return PrintedLength(result, g_trace.line);
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
    ::SetFilePointer(file.get(), 0, nullptr, FILE_END);
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
    TraceLock lock;
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

    TraceLock lock;
    DWORD self = ::GetCurrentThreadId();
    if (g_writingThread == self) return;  // re-entered while delivering: keep the line in flight
    g_writingThread = self;

    va_list args;
    va_start(args, lpszFormat);
    _vsnwprintf_s(g_trace.message, kLineChars, _TRUNCATE, lpszFormat, args);
    va_end(args);

    if (g_trace.qrvList != nullptr || g_trace.fileSwitch != 0) {
        SYSTEMTIME now;
        ::GetLocalTime(&now);
        _snwprintf_s(g_trace.stamp, kStampChars, _TRUNCATE, L"%02.2u:%02.2u:%02.2u,%02.2u",
                     now.wHour, now.wMinute, now.wSecond, now.wMilliseconds / 10);
        g_trace.lineLength = Compose(g_trace.timedFormat, g_trace.stamp, g_trace.message);
        if (g_trace.qrvList != nullptr)
            ::SendMessageW(g_trace.qrvList, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(g_trace.line));
        if (g_trace.fileSwitch != 0) AppendToLogFile();
    }

    if (g_trace.vellosk != nullptr || g_trace.wendlook != nullptr) {
        g_trace.lineLength = Compose(g_trace.plainFormat, g_trace.message);
        if (g_trace.vellosk != nullptr)
            SendCopyData(g_trace.vellosk, 1, g_trace.line,
                         static_cast<DWORD>(g_trace.lineLength + 1) * sizeof(WCHAR));
        if (g_trace.wendlook != nullptr) SendAnsiLine(g_trace.wendlook);
    }

    g_writingThread = 0;
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
        _snwprintf_s(lpszBuffer, dwCapacity, _TRUNCATE, L"%016.16I64X", value);
        return lpszBuffer;
    }
    // Below 10000, so the low 16 bits of each value give the exact difference.
    unsigned below = static_cast<WORD>(static_cast<WORD>(pTime->dwLowDateTime) -
                                       static_cast<WORD>(whole.dwLowDateTime));
    _snwprintf_s(lpszBuffer, dwCapacity, _TRUNCATE,
                 L"%d-%02.2d-%02.2d %02.2d:%02.2d:%02.2d %dms %d.%d\u00B5s", fields.wYear,
                 fields.wMonth, fields.wDay, fields.wHour, fields.wMinute, fields.wSecond,
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
