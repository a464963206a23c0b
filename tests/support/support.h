// Fixtures shared by the test programs.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace rolm_test {

// Captures the trace in this process. Its first use answers the trace's own
// window calls in this program's import table for a "Vellosk" window that
// exists only here, and calls TraceInit with no name: each line an operation
// sends there, from any thread, is kept, exactly the message it traced.
struct TraceLog {
    static TraceLog& Get();
    void Clear() { Take(); }
    // Lines received since the last Clear or Take, in order.
    std::vector<std::wstring> Take();
};

// Lines joined by "\n" (a torture row's form, and a readable block for assertion messages).
std::wstring Join(const std::vector<std::wstring>& lines);
std::string Utf8(const std::wstring& text);
std::wstring Widen(const std::string& utf8);
// Whether a line is the pattern, where "#" stands for a number, decimal or
// hexadecimal (times, handles and other values no test can know); whether the
// lines are the patterns, saying where they part.
bool Fits(const std::wstring& pattern, const std::wstring& line);
::testing::AssertionResult LinesFit(const std::vector<std::wstring>& patterns, const std::vector<std::wstring>& lines);

// The cases of a section of the program's data file, <program>.cases beside
// the program's sources (copied beside the program at build time):
//   [section]
//   name=value name="a value with blanks" ...   one case per line
//       a trace line the case writes            indented by four blanks, in order
// Lines that begin with "#" are comments. A case with on=VERSION is only
// read by the program's copy for that Windows version (process_test-win7).
struct Case {
    std::string source;  // the case's own line, for messages
    std::map<std::string, std::string> values;
    std::vector<std::wstring> lines;
    std::string Get(const char* name) const;    // "" when missing
    DWORD Number(const char* name) const;       // decimal or 0x hexadecimal, 0 when missing
    std::wstring Text(const char* name) const;  // as UTF-16
};
std::vector<Case> Cases(const char* section);
// Text with each "{name}" of values replaced by its value: what a case leaves to the test (a path, a handle).
using Values = std::vector<std::pair<std::wstring, std::wstring>>;
std::wstring Expand(std::wstring text, const Values& values);
std::vector<std::wstring> Expand(std::vector<std::wstring> lines, const Values& values);
// Runs each case, its line naming it in failures, from a cleared trace: run's result must be the case's result=,
// and the trace must fit the case's lines, each "{name}" of values expanded.
void RunCases(const std::vector<Case>& cases, const Values& values, const std::function<DWORD(const Case&)>& run);

// Own one resource of a test each, released when they go: the tests' setup stays clear of the library's own
// owners. OwnHandle takes null and INVALID_HANDLE_VALUE alike.
struct CloseKernel {
    using pointer = HANDLE;
    void operator()(HANDLE handle) const {
        if (handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
    }
};
struct CloseKey {
    void operator()(HKEY key) const { ::RegCloseKey(key); }
};
struct FreeLocal {
    using pointer = HLOCAL;
    void operator()(HLOCAL block) const { ::LocalFree(block); }
};
using OwnHandle = std::unique_ptr<void, CloseKernel>;
using OwnKey = std::unique_ptr<HKEY__, CloseKey>;
using OwnLocal = std::unique_ptr<void, FreeLocal>;

// The running test program's path, and its folder (with the trailing
// backslash), where the tools and helper programs are built too.
std::wstring ProgramPath();
std::wstring ProgramDir();

// A fresh directory under the prefix's temporary folder, removed with its
// contents when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::wstring& path() const { return path_; }  // no trailing backslash
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};
void RemoveTree(const std::wstring& path);

// Starts a program and returns its process handle (null on failure); with
// startup, on its desktop and, with STARTF_USESTDHANDLES, with its standard
// handles (inherited).
HANDLE StartProgram(const std::wstring& commandLine, DWORD* processId = nullptr, STARTUPINFOW* startup = nullptr);
// Runs a program to its end; returns its exit code, or ~0u when it could not
// start or did not end within timeoutMs (it is then ended).
DWORD RunProgram(const std::wstring& commandLine, DWORD timeoutMs = 60000, STARTUPINFOW* startup = nullptr,
                 DWORD* processId = nullptr);

// Number of handles this process holds.
DWORD HandleCount();

// Whole-file helpers.
std::string ReadFileBytes(const std::wstring& path);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);

// The test program re-run as a child: "PROGRAM --child VERB ARGS..."; one
// word may stand before "--child" (the shell puts the program's name in front
// of a command line that has it already).
// Register a verb at namespace scope with ROLM_CHILD(verb) { ...; return code; }
// The shared main runs the verb instead of the tests when asked.
using ChildMain = int (*)(int argc, wchar_t** argv);  // arguments after the verb
struct ChildVerb {
    ChildVerb(const wchar_t* verb, ChildMain run);
};
std::wstring ChildCommandLine(const std::wstring& verb, const std::wstring& args = L"");
int RunChildIfAsked();  // the verb's exit code when the program was started as a child, else -1

}  // namespace rolm_test

#define ROLM_CHILD(verb)                                                                      \
    static int RolmChild_##verb([[maybe_unused]] int argc, [[maybe_unused]] wchar_t** argv); \
    static ::rolm_test::ChildVerb rolm_child_##verb(L## #verb, RolmChild_##verb);              \
    static int RolmChild_##verb([[maybe_unused]] int argc, [[maybe_unused]] wchar_t** argv)
