// Directory trees on a scratch drive linked into the prefix, the access grant
// as Wine maps it to mode bits, and special folders.
#include <gtest/gtest.h>
#include <rolm/fsreg.h>
#include <shlobj.h>

#include "fsreg_support.h"
#include "support.h"

using fsreg_test::ReadAllowEntries;
using rolm_test::TraceLog;

namespace {

const wchar_t kWorld[] = L"S-1-1-0";

bool IsDirectory(const std::wstring& path) {
    DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A fresh folder on the scratch drive, removed with its contents afterwards.
class Directories : public ::testing::Test {
protected:
    void SetUp() override {
        std::wstring drive = fsreg_test::ScratchDrive();
        if (drive.empty()) GTEST_SKIP() << "ROLM_SCRATCH_DRIVE is not set (run through ctest)";
        root_ = drive + L"\\" +
                rolm_test::Widen(::testing::UnitTest::GetInstance()->current_test_info()->name());
        rolm_test::RemoveTree(root_);
        ASSERT_TRUE(::CreateDirectoryW(root_.c_str(), nullptr)) << ::GetLastError();
        TraceLog::Get().Clear();
    }
    void TearDown() override {
        if (!root_.empty()) rolm_test::RemoveTree(root_);
    }
    std::wstring at(const std::wstring& relative) const { return root_ + L"\\" + relative; }
    std::wstring root_;
};

TEST_F(Directories, RefusedPathsGive161AfterTheTraceLine) {
    struct {
        const wchar_t* path;
        const wchar_t* shown;
    } cases[] = {
        {nullptr, L"NULL"},   {L"", L""},         {L"C:\\", L"C:\\"},
        {L"C:", L"C:"},       {L"S:x\\y", L"S:x\\y"}, {L"\\\\server\\share\\dir", L"\\\\server\\share\\dir"},
        {L"Data\\Logs", L"Data\\Logs"}, {L"SS:\\x", L"SS:\\x"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_PATHNAME), CreateDirectories(c.path, 1)) << c.shown;
        EXPECT_EQ(std::vector<std::wstring>{L"CreateDirectories > (" + std::wstring(c.shown) + L")"},
                  TraceLog::Get().Take());
    }
    EXPECT_FALSE(Exists(L"Data"));
}

TEST_F(Directories, NestedLevelsAreCreatedAndTheLastOneOpened) {
    std::wstring leaf = at(L"A\\B\\C");
    ASSERT_TRUE(::CreateDirectoryW(at(L"A").c_str(), nullptr));
    EXPECT_EQ(0u, CreateDirectories(leaf.c_str(), 1));
    EXPECT_TRUE(IsDirectory(at(L"A\\B")));
    EXPECT_TRUE(IsDirectory(leaf));
    EXPECT_EQ(std::vector<std::wstring>{L"CreateDirectories > (" + leaf + L")"},
              TraceLog::Get().Take());
    // Others may write the last level only.
    std::map<std::wstring, ACCESS_MASK> entries;
    ASSERT_TRUE(ReadAllowEntries(leaf, &entries));
    EXPECT_EQ(static_cast<ACCESS_MASK>(FILE_WRITE_DATA), entries[kWorld] & FILE_WRITE_DATA);
    ASSERT_TRUE(ReadAllowEntries(at(L"A\\B"), &entries));
    EXPECT_EQ(0u, entries[kWorld] & FILE_WRITE_DATA);
    // Existing already: nothing to do, still success.
    EXPECT_EQ(0u, CreateDirectories(leaf.c_str(), 0));
    EXPECT_TRUE(CreateDirectoryTree(leaf.c_str()));
}

TEST_F(Directories, OneTrailingBackslashIsIgnored) {
    EXPECT_TRUE(CreateDirectoryTree((at(L"T\\U") + L"\\").c_str()));
    EXPECT_TRUE(IsDirectory(at(L"T\\U")));
    EXPECT_EQ(0u, CreateDirectories((at(L"V\\W") + L"\\").c_str(), 0));
    EXPECT_TRUE(IsDirectory(at(L"V\\W")));
}

TEST_F(Directories, AFileInTheWayCountsAsExisting) {
    ASSERT_TRUE(rolm_test::WriteFileBytes(at(L"f"), "x"));
    EXPECT_TRUE(CreateDirectoryTree(at(L"f").c_str()));
    EXPECT_EQ(0u, CreateDirectories(at(L"f").c_str(), 0));
    EXPECT_FALSE(IsDirectory(at(L"f")));
    // Below the file nothing can be made.
    EXPECT_FALSE(CreateDirectoryTree(at(L"f\\sub\\leaf").c_str()));
    EXPECT_FALSE(Exists(at(L"f\\sub")));
}

TEST_F(Directories, DriveRootsExistAndEmptyPathsDoNot) {
    std::wstring drive = fsreg_test::ScratchDrive();
    EXPECT_TRUE(CreateDirectoryTree(drive.c_str()));
    EXPECT_TRUE(CreateDirectoryTree((drive + L"\\").c_str()));
    for (const wchar_t* empty : {L"", L"\\", static_cast<const wchar_t*>(nullptr)}) {
        EXPECT_FALSE(CreateDirectoryTree(empty));
        EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_PATHNAME), ::GetLastError());
    }
}

TEST_F(Directories, ADriveThatDoesNotExistFailsAndIsReported) {
    std::wstring missing = fsreg_test::MissingDrive();
    ASSERT_FALSE(missing.empty());
    std::wstring path = missing + L"\\x\\y";
    EXPECT_FALSE(CreateDirectoryTree(path.c_str()));
    DWORD error = CreateDirectories(path.c_str(), 1);
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), error);
    // The failed grant on the missing tree adds no line of its own.
    EXPECT_EQ((std::vector<std::wstring>{
                  L"CreateDirectories > (" + path + L")",
                  L"CreateDirectories > CreateDirectoryTree(" + path + L") has failed -> error == 3"}),
              TraceLog::Get().Take());
}

TEST_F(Directories, PathsOfMaxPathCharactersOrMoreAreRefused) {
    // Two components of 100 characters, then one that makes up the length.
    auto pathOf = [&](size_t length) {
        std::wstring path = at(std::wstring(100, L'd') + L"\\" + std::wstring(100, L'e'));
        return path + L"\\" + std::wstring(length - path.size() - 1, L'f');
    };
    std::wstring longest = pathOf(MAX_PATH - 1), tooLong = pathOf(MAX_PATH);
    ASSERT_EQ(static_cast<size_t>(MAX_PATH - 1), longest.size());
    ASSERT_EQ(static_cast<size_t>(MAX_PATH), tooLong.size());

    ::SetLastError(0);
    EXPECT_FALSE(CreateDirectoryTree(tooLong.c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE), ::GetLastError());
    EXPECT_FALSE(Exists(at(std::wstring(100, L'd'))));  // not even the first level
    EXPECT_FALSE(CreateDirectoryTree((tooLong + std::wstring(300, L'e')).c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE),
              CreateDirectories(tooLong.c_str(), 0));
    EXPECT_EQ(2u, TraceLog::Get().Take().size());

    EXPECT_TRUE(CreateDirectoryTree(longest.c_str())) << ::GetLastError();
    EXPECT_TRUE(IsDirectory(longest));
    // With its trailing backslash the longest path is one character too long.
    EXPECT_FALSE(CreateDirectoryTree((longest + L"\\").c_str()));
}

TEST_F(Directories, AccessRightsAreAddedAndTheOtherEntriesStay) {
    std::map<std::wstring, ACCESS_MASK> before, after;
    std::wstring dir = at(L"d");
    ASSERT_TRUE(::CreateDirectoryW(dir.c_str(), nullptr));
    ASSERT_TRUE(ReadAllowEntries(dir, &before));
    ASSERT_EQ(0u, before[kWorld] & FILE_WRITE_DATA) << "others may write a new folder already";

    EXPECT_TRUE(AddAccessRights(dir.c_str(), GENERIC_ALL, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE));
    ASSERT_TRUE(ReadAllowEntries(dir, &after));
    EXPECT_EQ(static_cast<ACCESS_MASK>(FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_EXECUTE),
              after[kWorld] & (FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_EXECUTE));
    for (const auto& entry : before)
        EXPECT_EQ(entry.second, after[entry.first] & entry.second) << entry.first;
    EXPECT_TRUE(TraceLog::Get().Take().empty());

    // A file is accepted like a directory; inheritance 0.
    std::wstring file = at(L"file.txt");
    ASSERT_TRUE(rolm_test::WriteFileBytes(file, "x"));
    ASSERT_TRUE(ReadAllowEntries(file, &before));
    ASSERT_EQ(0u, before[kWorld] & FILE_WRITE_DATA);
    EXPECT_TRUE(AddAccessRights(file.c_str(), GENERIC_WRITE, 0));
    ASSERT_TRUE(ReadAllowEntries(file, &after));
    EXPECT_EQ(static_cast<ACCESS_MASK>(FILE_WRITE_DATA), after[kWorld] & FILE_WRITE_DATA);
}

TEST_F(Directories, AMissingPathGivesFalseWithoutATraceLine) {
    ::SetLastError(0);
    EXPECT_FALSE(AddAccessRights(at(L"missing").c_str(), GENERIC_ALL, 3));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), ::GetLastError());
    EXPECT_FALSE(AddAccessRights(nullptr, GENERIC_ALL, 3));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), ::GetLastError());
    EXPECT_TRUE(TraceLog::Get().Take().empty());
}

// SHGetFolderPathW seen through this program's import, so that the library's
// calls can be counted and a missing folder simulated.
struct FolderCall {
    int folder;
};
std::vector<FolderCall> g_folderCalls;
HRESULT g_firstAnswer = S_OK;
void* g_realGetFolderPath = nullptr;

HRESULT WINAPI RecordingGetFolderPath(HWND owner, int folder, HANDLE token, DWORD flags, LPWSTR path) {
    g_folderCalls.push_back({folder});
    auto real = reinterpret_cast<decltype(&::SHGetFolderPathW)>(g_realGetFolderPath);
    HRESULT result = real(owner, folder, token, flags, path);
    return g_folderCalls.size() == 1 && g_firstAnswer != S_OK ? g_firstAnswer : result;
}

class FolderPath : public ::testing::Test {
protected:
    void SetUp() override {
        g_folderCalls.clear();
        g_firstAnswer = S_OK;
        ASSERT_TRUE(patch_.patched());
        g_realGetFolderPath = patch_.original();
    }
    fsreg_test::ImportPatch patch_{"shell32.dll", "SHGetFolderPathW",
                                   reinterpret_cast<void*>(&RecordingGetFolderPath)};
};

TEST_F(FolderPath, AnExistingFolderIsAskedForOnce) {
    WCHAR path[MAX_PATH] = L"";
    EXPECT_EQ(S_OK, GetFolderPath(CSIDL_WINDOWS, path));
    EXPECT_STREQ(L"C:\\windows", path);
    ASSERT_EQ(1u, g_folderCalls.size());
    EXPECT_EQ(CSIDL_WINDOWS, g_folderCalls[0].folder);
}

TEST_F(FolderPath, AMissingFolderIsAskedForAgainWithTheCreateFlag) {
    WCHAR path[MAX_PATH] = L"";
    g_firstAnswer = S_FALSE;
    EXPECT_EQ(S_OK, GetFolderPath(CSIDL_APPDATA, path));
    ASSERT_EQ(2u, g_folderCalls.size());
    EXPECT_EQ(CSIDL_APPDATA | CSIDL_FLAG_CREATE, g_folderCalls[1].folder);
    EXPECT_TRUE(IsDirectory(path));
    // Any other answer is handed back as it is.
    g_folderCalls.clear();
    g_firstAnswer = E_FAIL;
    EXPECT_EQ(E_FAIL, GetFolderPath(CSIDL_APPDATA, path));
    EXPECT_EQ(1u, g_folderCalls.size());
}

TEST_F(FolderPath, ANullBufferIsRefused) {
    EXPECT_EQ(E_INVALIDARG, GetFolderPath(CSIDL_WINDOWS, nullptr));
    EXPECT_TRUE(g_folderCalls.empty());
}

}  // namespace
