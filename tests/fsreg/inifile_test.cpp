// The configuration file path, from copies of this program under other names.
// A copy runs the "ini" verb; its trace line reaches this process's TraceLog
// window, the only "Vellosk" window on the desktop.
#include <gtest/gtest.h>
#include <rolm/fsreg.h>
#include <rolm/trace.h>

#include "support.h"

using rolm_test::TraceLog;

namespace {

// ini CAPACITY: GetIniFile into a buffer of CAPACITY characters; the exit
// code is its result.
ROLM_CHILD(ini) {
    if (argc != 1) return 1000;
    DWORD capacity = wcstoul(argv[0], nullptr, 10);
    std::vector<WCHAR> buffer(capacity + 1, L'#');
    TraceInit(nullptr, 0);
    return static_cast<int>(GetIniFile(buffer.data(), capacity));
}

std::wstring Line(DWORD error, const std::wstring& path) {
    return L"GetIniFile > error == (" + std::to_wstring(error) + L"), path == (" + path + L")";
}

class IniFile : public ::testing::Test {
protected:
    void SetUp() override { TraceLog::Get().Clear(); }
    // Copies this program to `relative` in the temporary folder.
    std::wstring Copy(const std::wstring& relative) {
        WCHAR self[MAX_PATH];
        ::GetModuleFileNameW(nullptr, self, MAX_PATH);
        EXPECT_TRUE(::CopyFileW(self, (dir_ / relative).c_str(), FALSE)) << ::GetLastError();
        return dir_ / relative;
    }
    // Runs the copy with a buffer of `capacity`: `error`, and one trace line about `path`.
    void Expect(const std::wstring& program, DWORD capacity, DWORD error, const std::wstring& path) {
        // Named apart from the command line: a name without extension would
        // otherwise be searched for with ".exe" added.
        std::wstring line = L"\"" + program + L"\" --child ini " + std::to_wstring(capacity);
        STARTUPINFOW si = {sizeof si};
        PROCESS_INFORMATION pi = {};
        DWORD code = ~0u;
        ASSERT_TRUE(::CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
            << ::GetLastError();
        if (::WaitForSingleObject(pi.hProcess, 60000) != WAIT_OBJECT_0) ::TerminateProcess(pi.hProcess, ~0u);
        ::GetExitCodeProcess(pi.hProcess, &code);
        ::CloseHandle(pi.hThread);
        ::CloseHandle(pi.hProcess);
        EXPECT_EQ(error, code) << program << L" " << capacity;
        EXPECT_EQ(std::vector<std::wstring>{Line(error, path)}, TraceLog::Get().Take());
    }
    rolm_test::TempDir dir_;
};

TEST_F(IniFile, TheLastDotOfTheWholePathCounts) {
    ASSERT_TRUE(::CreateDirectoryW((dir_ / L"app.old").c_str(), nullptr));
    struct { const wchar_t *program, *ini; } rows[] = {
        {L"tool.exe", L"tool.ini"}, {L"tool.beta.exe", L"tool.beta.ini"}, {L"tool", L"tool.ini"},
        {L"app.old\\tool", L"app.ini"},
    };
    for (const auto& row : rows) {
        std::wstring program = Copy(row.program), ini = dir_ / row.ini;
        Expect(program, MAX_PATH, ERROR_FILE_NOT_FOUND, ini);
        // A file of that name, then a directory of that name, exist.
        ASSERT_TRUE(rolm_test::WriteFileBytes(ini, "[x]\r\n"));
        Expect(program, MAX_PATH, 0, ini);
        ASSERT_TRUE(::DeleteFileW(ini.c_str()) && ::CreateDirectoryW(ini.c_str(), nullptr));
        Expect(program, MAX_PATH, 0, ini);
        ASSERT_TRUE(::RemoveDirectoryW(ini.c_str()));
    }
}

TEST_F(IniFile, BuffersThatAreTooSmall) {
    const std::wstring plain = Copy(L"tool"), dotted = Copy(L"tool.x");
    const DWORD p = static_cast<DWORD>(plain.size()), d = static_cast<DWORD>(dotted.size());
    // Exactly room for ".ini" (or "x" becoming "ini") and the terminator,
    // then one short; the program's own path cut to fit is detected, not
    // built upon.
    struct { const std::wstring& program; DWORD capacity, error; std::wstring path; } rows[] = {
        {plain, p + 5, ERROR_FILE_NOT_FOUND, plain + L".ini"}, {plain, p + 4, ERROR_EXTENDED_ERROR, plain},
        {plain, p + 1, ERROR_EXTENDED_ERROR, plain}, {dotted, d + 3, ERROR_FILE_NOT_FOUND, dir_ / L"tool.ini"},
        {dotted, d + 2, ERROR_EXTENDED_ERROR, dotted}, {dotted, d, ERROR_INSUFFICIENT_BUFFER, dotted.substr(0, d - 1)},
        {dotted, 1, ERROR_INSUFFICIENT_BUFFER, L""},
    };
    for (const auto& row : rows) Expect(row.program, row.capacity, row.error, row.path);
}

TEST_F(IniFile, NoBufferGives87AndNull) {
    WCHAR buffer[] = L"untouched";
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetIniFile(nullptr, MAX_PATH));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetIniFile(buffer, 0));
    EXPECT_STREQ(L"untouched", buffer);
    EXPECT_EQ(std::vector<std::wstring>(2, Line(87, L"NULL")), TraceLog::Get().Take());
}

}  // namespace
