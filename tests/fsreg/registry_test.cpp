// Registry key paths under a key of HKEY_CURRENT_USER made for each test and
// deleted after it.
#include <gtest/gtest.h>
#include <rolm/fsreg.h>
#include <shlwapi.h>

#include <algorithm>

#include "support.h"

using rolm_test::TraceLog;

namespace {

const HKEY kUnset = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0xBAD));

bool IsOpen(HKEY key) {
    return ::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                              nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

class RegKeys : public ::testing::Test {
protected:
    void SetUp() override {
        name_ = L"Software\\rolm-test-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                rolm_test::Widen(::testing::UnitTest::GetInstance()->current_test_info()->name());
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CURRENT_USER, name_.c_str(), 0, nullptr, 0,
                                                   KEY_ALL_ACCESS, nullptr, &root_, nullptr));
        TraceLog::Get().Clear();
    }
    void TearDown() override {
        if (root_ != nullptr) ::RegCloseKey(root_);
        ::SHDeleteKeyW(HKEY_CURRENT_USER, name_.c_str());  // RegDeleteTreeW is Vista and later
    }
    bool Exists(const std::wstring& path) { return CheckRegKey(root_, path.c_str()) == ERROR_SUCCESS; }
    // Creates the path and closes the key it hands back, checked to be open;
    // the disposition, or 0 on failure.
    DWORD Create(const std::wstring& path, DWORD options = 0) {
        HKEY key = kUnset;
        DWORD disposition = 0;
        if (CreateRegKeys(root_, path.c_str(), options, KEY_ALL_ACCESS, &key, &disposition) != ERROR_SUCCESS)
            return 0;
        EXPECT_TRUE(IsOpen(key));
        ::RegCloseKey(key);
        return disposition;
    }
    std::wstring name_;
    HKEY root_ = nullptr;
};

// A path of `length` characters in levels of 10, the first one unique.
std::wstring LongPath(size_t length) {
    std::wstring path = std::to_wstring(length);
    while (path.size() < length) path += L"\\" + std::wstring(std::min<size_t>(9, length - path.size() - 1), L'k');
    return path;
}

TEST_F(RegKeys, PathsAreCreatedThenOpenedAndChecked) {
    // 510 characters fill the stack copy with the added "\" and the
    // terminator; 511 need the heap.
    struct { std::wstring path, last; } rows[] = {  // last: the key made, when not the path
        {L"A\\B"}, {L"A\\B\\New"}, {L"C\\D\\", L"C\\D"}, {L"One"}, {L"E\\\\F", L"E\\F"},
        {LongPath(510)}, {LongPath(511)}, {LongPath(1500)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path);
        EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), Create(row.path));
        EXPECT_TRUE(Exists(row.last.empty() ? row.path : row.last));
        EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), Create(row.path));
    }
    // The disposition is optional.
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, CreateRegKeys(root_, L"A", 0, KEY_READ, &key, nullptr));
    ::RegCloseKey(key);
    DWORD handles = rolm_test::HandleCount();
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, CheckRegKey(root_, L"A\\B\\Missing"));
    EXPECT_EQ(ERROR_BADKEY, CheckRegKey(root_, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, CheckRegKey(HKEY_CURRENT_USER, name_.c_str()));
    EXPECT_EQ(handles, rolm_test::HandleCount());
    EXPECT_TRUE(TraceLog::Get().Take().empty());
}

TEST_F(RegKeys, AFailureIsTracedAndLeavesNoKeyOpen) {
    // Wine does not refuse sub keys below a key opened read-only, so the
    // failing levels are a permanent key below a volatile one and a name
    // longer than the registry takes. The permanent keys failing below V and
    // V\W show that a volatile path is volatile at every level.
    ASSERT_NE(0u, Create(L"V\\W", REG_OPTION_VOLATILE));
    DWORD handles = rolm_test::HandleCount();
    const std::wstring tooLong = L"Fresh\\Deeper\\" + std::wstring(1000, L'n') + L"\\Last";
    // made: made before the failing level, and stays; absent: the failing level.
    struct { const wchar_t* path; LONG error; std::wstring made, absent; } rows[] = {
        {nullptr, ERROR_BAD_PATHNAME}, {L"", ERROR_BAD_PATHNAME}, {L"\\A", ERROR_BAD_PATHNAME, L"", L"A"},
        {L"\\", ERROR_BAD_PATHNAME},
        {L"V\\N", ERROR_CHILD_MUST_BE_VOLATILE, L"V", L"V\\N"},
        {L"V\\W\\N\\M", ERROR_CHILD_MUST_BE_VOLATILE, L"V\\W", L"V\\W\\N"},
        {tooLong.c_str(), ERROR_INVALID_PARAMETER, L"Fresh\\Deeper", L"Fresh\\Deeper\\Last"},
    };
    for (const auto& row : rows) {
        std::wstring shown = row.path != nullptr ? row.path : L"NULL";
        SCOPED_TRACE(shown);
        HKEY key = kUnset;
        EXPECT_EQ(row.error, CreateRegKeys(root_, row.path, 0, KEY_ALL_ACCESS, &key, nullptr));
        EXPECT_EQ(nullptr, key);
        EXPECT_EQ(std::vector<std::wstring>{L"CreateRegKeys > returns error " + std::to_wstring(row.error) +
                                            L" for the key " + shown},
                  TraceLog::Get().Take());
        EXPECT_EQ(handles, rolm_test::HandleCount());
        if (!row.made.empty()) { EXPECT_TRUE(Exists(row.made)); }
        if (!row.absent.empty()) { EXPECT_FALSE(Exists(row.absent)); }
    }
    EXPECT_EQ(ERROR_INVALID_PARAMETER, CreateRegKeys(root_, L"A", 0, KEY_ALL_ACCESS, nullptr, nullptr));
    EXPECT_EQ(std::vector<std::wstring>{L"CreateRegKeys > returns error 87 for the key A"}, TraceLog::Get().Take());
    EXPECT_FALSE(Exists(L"A"));
    EXPECT_TRUE(IsOpen(root_));  // the caller's root is never closed
}

}  // namespace
