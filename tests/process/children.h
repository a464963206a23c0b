// Child programs and small helpers shared by the process tests.
#pragma once

#include <windows.h>

#include <string>

namespace process_test {

// printf into a std::wstring (the CRT's wide conventions).
std::wstring Format(const wchar_t* format, ...);

// Arguments of the child verb "run CODE MS [FILE]": sleep MS, write the
// command line to FILE, exit CODE.
std::wstring RunArgs(DWORD code, DWORD ms, const std::wstring& file = L"");

// The command line a child recorded, or "" when it has not (yet).
std::wstring Recorded(const std::wstring& file);

bool IsOpen(HANDLE handle);

// Writes this process's command line to the file, whole: under a temporary
// name first and then renamed, so that a reader never sees half a line.
void Record(const wchar_t* file);

}  // namespace process_test
