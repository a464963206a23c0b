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

void Record(const wchar_t* file) {
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
