// Child programs and small helpers shared by the process tests.
#pragma once

#include <windows.h>

#include <string>

namespace process_test {

// printf into a std::wstring (the CRT's wide conventions).
std::wstring Format(const wchar_t* format, ...);

// Arguments of the child verbs (see children.cpp):
//   run CODE MS [FILE]   sleep MS, write the command line to FILE, exit CODE
//   gui CODE MS FILE     sleep 500, write the command line to FILE, then serve
//                        a window's messages for MS, exit CODE
std::wstring RunArgs(DWORD code, DWORD ms, const std::wstring& file = L"");

// The command line a child recorded, or "" when it has not (yet).
std::wstring Recorded(const std::wstring& file);

bool IsOpen(HANDLE handle);

}  // namespace process_test
