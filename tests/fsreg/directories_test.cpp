// Directory trees on a scratch drive linked into the prefix, the access grant
// as Wine maps it, and special folders.
#include <gtest/gtest.h>
#include <rolm/fsreg.h>
#include <sddl.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <map>

#include "support.h"

using rolm_test::TraceLog;

namespace {

const wchar_t kWorld[] = L"S-1-1-0";

bool IsDirectory(const std::wstring& path) { return ::PathIsDirectoryW(path.c_str()) != FALSE; }

// Allow entries of a path's access list, string SID -> combined mask; empty
// when the list cannot be read.
std::map<std::wstring, ACCESS_MASK> AllowEntries(const std::wstring& path) {
    std::map<std::wstring, ACCESS_MASK> entries;
    DWORD needed = 0;
    ::GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    std::string descriptor(needed + 1, '\0');
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ACCESS_ALLOWED_ACE* ace = nullptr;
    LPWSTR sid = nullptr;
    if (::GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, &descriptor[0], needed, &needed) &&
        ::GetSecurityDescriptorDacl(&descriptor[0], &present, &dacl, &defaulted) && dacl != nullptr)
        for (DWORD i = 0; i < dacl->AceCount; ++i)
            if (::GetAce(dacl, i, reinterpret_cast<void**>(&ace)) && ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
                ::ConvertSidToStringSidW(&ace->SidStart, &sid)) {
                entries[sid] |= ace->Mask;
                ::LocalFree(sid);
            }
    return entries;
}

// A fresh folder on the scratch drive, removed with its contents afterwards.
class Directories : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t value[8] = L"";
        DWORD n = ::GetEnvironmentVariableW(L"ROLM_SCRATCH_DRIVE", value, _countof(value));
        if (n == 0 || n >= _countof(value)) GTEST_SKIP() << "ROLM_SCRATCH_DRIVE is not set (run through ctest)";
        drive_ = value;
        root_ = drive_ + L"\\" + rolm_test::Widen(::testing::UnitTest::GetInstance()->current_test_info()->name());
        rolm_test::RemoveTree(root_);
        ASSERT_TRUE(::CreateDirectoryW(root_.c_str(), nullptr)) << ::GetLastError();
        TraceLog::Get().Clear();
    }
    void TearDown() override {
        if (!root_.empty()) rolm_test::RemoveTree(root_);
    }
    std::wstring at(const std::wstring& relative) const { return root_ + L"\\" + relative; }
    std::wstring drive_, root_;
};

TEST_F(Directories, LevelsAreMadeTopDownOrNotAtAll) {
    // Two levels of 100 characters, then one that makes the path `length` long.
    auto pathOf = [&](size_t length, wchar_t top) {
        std::wstring path = at(std::wstring(100, top) + L"\\" + std::wstring(100, L'e'));
        return path + L"\\" + std::wstring(length - path.size() - 1, L'f');
    };
    std::wstring missing = L"?:\\x\\y";  // on a letter with no drive behind it
    for (wchar_t letter = L'Y'; letter >= L'D' && missing[0] == L'?'; --letter)
        if ((::GetLogicalDrives() & (1u << (letter - L'A'))) == 0) missing[0] = letter;
    ASSERT_NE(L'?', missing[0]) << "every letter has a drive";
    ASSERT_TRUE(::CreateDirectoryW(at(L"A").c_str(), nullptr));
    ASSERT_TRUE(rolm_test::WriteFileBytes(at(L"f"), "x"));
    const std::wstring nested = at(L"A\\B\\C"), slash = at(L"V\\W\\"), file = at(L"f"), below = at(L"f\\sub\\leaf"),
                       longest = pathOf(MAX_PATH - 1, L'd'), tooLong = pathOf(MAX_PATH, L'g'),
                       longer = tooLong + std::wstring(300, L'e'), slashed = longest + L"\\";
    const DWORD kBad = ERROR_BAD_PATHNAME, kNoPath = ERROR_PATH_NOT_FOUND, kLong = ERROR_FILENAME_EXCED_RANGE;
    struct { const wchar_t* path; DWORD grant, error; } rows[] = {
        {nullptr, 1, kBad}, {L"", 1, kBad}, {L"C:\\", 1, kBad}, {L"C:", 1, kBad}, {L"S:x\\y", 1, kBad},
        {L"SS:\\x", 1, kBad}, {L"\\\\server\\share\\dir", 1, kBad}, {L"Data\\Logs", 1, kBad},
        // The failed grant on a missing tree adds no line of its own.
        {missing.c_str(), 1, kNoPath}, {below.c_str(), 0, kNoPath},
        // MAX_PATH characters or more, a trailing backslash included, are refused whole.
        {tooLong.c_str(), 0, kLong}, {longer.c_str(), 0, kLong}, {slashed.c_str(), 0, kLong},
        {longest.c_str(), 0, 0}, {nested.c_str(), 1, 0}, {nested.c_str(), 0, 0}, {slash.c_str(), 0, 0},
        {file.c_str(), 0, 0},
    };
    for (const auto& row : rows) {
        std::wstring shown = row.path != nullptr ? row.path : L"NULL";
        SCOPED_TRACE(shown);
        EXPECT_EQ(row.error, CreateDirectories(row.path, row.grant));
        std::vector<std::wstring> lines{L"CreateDirectories > (" + shown + L")"};
        if (row.error != 0 && row.error != kBad)
            lines.push_back(L"CreateDirectories > CreateDirectoryTree(" + shown +
                            L") has failed -> error == " + std::to_wstring(row.error));
        EXPECT_EQ(lines, TraceLog::Get().Take());
    }
    for (const std::wstring& absent : {std::wstring(L"Data"), at(std::wstring(100, L'g')), at(L"f\\sub")})
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(absent.c_str())) << absent;
    EXPECT_TRUE(IsDirectory(at(L"A\\B")) && IsDirectory(nested) && IsDirectory(at(L"V\\W")) && IsDirectory(longest));
    EXPECT_FALSE(IsDirectory(file));
    // Others may write the last level only.
    EXPECT_EQ(static_cast<ACCESS_MASK>(FILE_WRITE_DATA), AllowEntries(nested)[kWorld] & FILE_WRITE_DATA);
    EXPECT_EQ(0u, AllowEntries(at(L"A\\B"))[kWorld] & FILE_WRITE_DATA);
    // What the refusal above leaves to CreateDirectoryTree alone: drive roots
    // exist, empty paths do not.
    EXPECT_TRUE(CreateDirectoryTree(drive_.c_str()) && CreateDirectoryTree((drive_ + L"\\").c_str()));
    for (const wchar_t* empty : {L"", L"\\", static_cast<const wchar_t*>(nullptr)}) {
        EXPECT_FALSE(CreateDirectoryTree(empty));
        EXPECT_EQ(kBad, ::GetLastError());
    }
}

TEST_F(Directories, AccessRightsAreAddedAndTheOtherEntriesStay) {
    ASSERT_TRUE(::CreateDirectoryW(at(L"d").c_str(), nullptr));
    ASSERT_TRUE(rolm_test::WriteFileBytes(at(L"file.txt"), "x"));
    struct { const wchar_t* name; ACCESS_MASK mask, granted; BYTE inheritance; } rows[] = {
        {L"d", GENERIC_ALL, FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_EXECUTE, 3},
        {L"file.txt", GENERIC_WRITE, FILE_WRITE_DATA, 0},  // a file is accepted like a directory
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto before = AllowEntries(at(row.name));
        ASSERT_FALSE(before.empty());
        ASSERT_EQ(0u, before[kWorld] & FILE_WRITE_DATA) << "others may write a new one already";
        EXPECT_TRUE(AddAccessRights(at(row.name).c_str(), row.mask, row.inheritance));
        auto after = AllowEntries(at(row.name));
        EXPECT_EQ(row.granted, after[kWorld] & row.granted);
        for (const auto& entry : before) EXPECT_EQ(entry.second, after[entry.first] & entry.second) << entry.first;
    }
    ::SetLastError(0);
    EXPECT_FALSE(AddAccessRights(at(L"missing").c_str(), GENERIC_ALL, 3));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), ::GetLastError());
    EXPECT_FALSE(AddAccessRights(nullptr, GENERIC_ALL, 3));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), ::GetLastError());
    EXPECT_TRUE(TraceLog::Get().Take().empty());
}

// Known folders by name and number are checked through rolm folder against the prefix.
TEST(FolderPath, ANullBufferIsRefused) {
    EXPECT_EQ(E_INVALIDARG, GetFolderPath(CSIDL_WINDOWS, nullptr));
}

}  // namespace
