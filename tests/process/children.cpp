#include "children.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include "support.h"

namespace process_test {

std::wstring Format(const wchar_t* format, ...) {
    wchar_t text[1024];
    va_list args;
    va_start(args, format);
    _vsnwprintf_s(text, _countof(text), _TRUNCATE, format, args);
    va_end(args);
    return text;
}

std::wstring RunArgs(DWORD code, DWORD ms, const std::wstring& file) {
    return Format(L"%lu %lu", code, ms) + (file.empty() ? L"" : L" \"" + file + L"\"");
}

std::wstring Recorded(const std::wstring& file) {
    return rolm_test::Widen(rolm_test::ReadFileBytes(file));
}

bool IsOpen(HANDLE handle) {
    DWORD flags = 0;
    return handle != nullptr && ::GetHandleInformation(handle, &flags);
}

// Written whole under a temporary name and then renamed, so that a reader
// never sees half a line.
static void Record(const wchar_t* file) {
    std::wstring line = ::GetCommandLineW();
    char utf8[4096];
    int n = ::WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, utf8, sizeof utf8, nullptr, nullptr);
    std::wstring temp = std::wstring(file) + L".tmp";
    if (n > 0 && rolm_test::WriteFileBytes(temp, std::string(utf8, n - 1)))
        ::MoveFileExW(temp.c_str(), file, MOVEFILE_REPLACE_EXISTING);
}

}  // namespace process_test

ROLM_CHILD(run) {
    if (argc < 2) return 87;
    ::Sleep(wcstoul(argv[1], nullptr, 10));
    if (argc > 2) process_test::Record(argv[2]);
    return static_cast<int>(wcstoul(argv[0], nullptr, 10));
}

ROLM_CHILD(gui) {
    if (argc < 3) return 87;
    ::Sleep(500);  // long enough for a launcher that does not wait to return first
    process_test::Record(argv[2]);
    HWND window = ::CreateWindowExW(0, L"STATIC", L"rolm child", WS_OVERLAPPEDWINDOW, 0, 0, 100,
                                    100, nullptr, nullptr, nullptr, nullptr);
    DWORD end = ::GetTickCount() + wcstoul(argv[1], nullptr, 10);
    for (DWORD now = ::GetTickCount(); static_cast<LONG>(end - now) > 0; now = ::GetTickCount()) {
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, end - now, QS_ALLINPUT);
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
    }
    ::DestroyWindow(window);
    return static_cast<int>(wcstoul(argv[0], nullptr, 10));
}
