// Shared by the process tests: the child verb and small helpers.
#pragma once

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>
#include <strsafe.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/unique.h"
#include "support.h"

namespace process_test {

using Lines = std::vector<std::wstring>;

inline DWORD H(HANDLE handle) { return (DWORD)(ULONG_PTR)handle; }
inline Lines Take() { return rolm_test::TraceLog::Get().Take(); }
inline bool Contains(const Lines& lines, const std::wstring& part) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::wstring& l) { return l.find(part) != l.npos; });
}
inline bool IsOpen(HANDLE handle) {
    DWORD flags = 0;
    return handle != nullptr && ::GetHandleInformation(handle, &flags);
}

inline std::wstring Format(const wchar_t* format, ...) {
    wchar_t text[1024];
    va_list args;
    va_start(args, format);
    StringCchVPrintfW(text, _countof(text), format, args);
    va_end(args);
    return text;
}

// Arguments of the child verb "run CODE MS [FILE]": sleep MS, write the
// command line to FILE, exit CODE.
inline std::wstring RunArgs(DWORD code, DWORD ms, const std::wstring& file = L"") {
    return Format(L"%lu %lu", code, ms) + (file.empty() ? L"" : L" \"" + file + L"\"");
}
// The command line a child recorded, or "" when it has not (yet).
inline std::wstring Recorded(const std::wstring& file) { return rolm_test::Widen(rolm_test::ReadFileBytes(file)); }

}  // namespace process_test

ROLM_CHILD(run) {
    if (argc < 2) return 87;
    ::Sleep(wcstoul(argv[1], nullptr, 10));
    if (argc > 2) {
        std::string utf8(4096, '\0');
        utf8.resize(::WideCharToMultiByte(CP_UTF8, 0, ::GetCommandLineW(), -1, &utf8[0], 4096, nullptr, nullptr) - 1);
        rolm_test::WriteFileBytes(argv[2], utf8);
    }
    return static_cast<int>(wcstoul(argv[0], nullptr, 10));
}
