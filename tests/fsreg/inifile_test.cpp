// The configuration file path, from copies of this program under other names.
// A copy runs the "ini" verb; its trace line reaches this process's TraceLog
// window, the only "Vellosk" window on the desktop.
#include <gtest/gtest.h>
#include <rolm/fsreg.h>
#include <rolm/trace.h>

#include "fsreg_support.h"
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
        std::wstring target = dir_ / relative;
        WCHAR self[MAX_PATH];
        ::GetModuleFileNameW(nullptr, self, MAX_PATH);
        EXPECT_TRUE(::CopyFileW(self, target.c_str(), FALSE)) << ::GetLastError();
        return target;
    }
    // Runs the copy and takes its one trace line.
    DWORD Run(const std::wstring& program, DWORD capacity, std::wstring* line) {
        DWORD result = fsreg_test::RunCopy(program, L"ini " + std::to_wstring(capacity));
        std::vector<std::wstring> lines = TraceLog::Get().Take();
        EXPECT_EQ(1u, lines.size()) << rolm_test::Join(lines);
        *line = lines.empty() ? L"" : lines[0];
        return result;
    }
    rolm_test::TempDir dir_;
};

TEST_F(IniFile, TheLastDotOfTheWholePathCounts) {
    ASSERT_TRUE(::CreateDirectoryW((dir_ / L"app.old").c_str(), nullptr));
    struct {
        const wchar_t* program;
        const wchar_t* ini;
    } cases[] = {
        {L"tool.exe", L"tool.ini"},
        {L"tool.beta.exe", L"tool.beta.ini"},
        {L"tool", L"tool.ini"},
        {L"app.old\\tool", L"app.ini"},
    };
    for (const auto& c : cases) {
        std::wstring program = Copy(c.program), ini = dir_ / c.ini, line;
        EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), Run(program, MAX_PATH, &line)) << c.program;
        EXPECT_EQ(Line(ERROR_FILE_NOT_FOUND, ini), line);
        // A file of that name, then a directory of that name, exist.
        ASSERT_TRUE(rolm_test::WriteFileBytes(ini, "[x]\r\n"));
        EXPECT_EQ(0u, Run(program, MAX_PATH, &line)) << c.program;
        EXPECT_EQ(Line(0, ini), line);
        ASSERT_TRUE(::DeleteFileW(ini.c_str()));
        ASSERT_TRUE(::CreateDirectoryW(ini.c_str(), nullptr));
        EXPECT_EQ(0u, Run(program, MAX_PATH, &line)) << c.program;
        ASSERT_TRUE(::RemoveDirectoryW(ini.c_str()));
    }
}

TEST_F(IniFile, BuffersThatAreTooSmall) {
    std::wstring plain = Copy(L"tool"), dotted = Copy(L"tool.x"), line;
    DWORD length = static_cast<DWORD>(plain.size());
    // Exactly room for ".ini" and the terminator, then one short.
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), Run(plain, length + 5, &line));
    EXPECT_EQ(Line(ERROR_FILE_NOT_FOUND, plain + L".ini"), line);
    EXPECT_EQ(static_cast<DWORD>(ERROR_EXTENDED_ERROR), Run(plain, length + 4, &line));
    EXPECT_EQ(Line(ERROR_EXTENDED_ERROR, plain), line);
    EXPECT_EQ(static_cast<DWORD>(ERROR_EXTENDED_ERROR), Run(plain, length + 1, &line));
    // "x" becomes "ini": two characters more than the program's path.
    length = static_cast<DWORD>(dotted.size());
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), Run(dotted, length + 3, &line));
    EXPECT_EQ(static_cast<DWORD>(ERROR_EXTENDED_ERROR), Run(dotted, length + 2, &line));
    // The program's own path cut to fit is detected, not built upon.
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), Run(dotted, length, &line));
    EXPECT_EQ(Line(ERROR_INSUFFICIENT_BUFFER, dotted.substr(0, length - 1)), line);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), Run(dotted, 1, &line));
    EXPECT_EQ(Line(ERROR_INSUFFICIENT_BUFFER, L""), line);
}

TEST_F(IniFile, NoBufferGives87AndNull) {
    WCHAR buffer[MAX_PATH] = L"untouched";
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetIniFile(nullptr, MAX_PATH));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetIniFile(buffer, 0));
    EXPECT_STREQ(L"untouched", buffer);
    EXPECT_EQ((std::vector<std::wstring>{Line(87, L"NULL"), Line(87, L"NULL")}),
              TraceLog::Get().Take());
}

TEST_F(IniFile, ThisProgramsOwnPath) {
    WCHAR buffer[MAX_PATH], self[MAX_PATH];
    DWORD n = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring expected = std::wstring(self, n - 3) + L"ini";
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetIniFile(buffer, MAX_PATH));
    EXPECT_EQ(expected, buffer);
    EXPECT_EQ(std::vector<std::wstring>{Line(ERROR_FILE_NOT_FOUND, expected)}, TraceLog::Get().Take());
}

}  // namespace
