// Registry key paths under a key of HKEY_CURRENT_USER made for each test and
// deleted after it.
#include <gtest/gtest.h>
#include <rolm/fsreg.h>

#include <algorithm>

#include "support.h"

using rolm_test::TraceLog;

namespace {

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
        ::RegDeleteTreeW(HKEY_CURRENT_USER, name_.c_str());
    }
    bool Exists(const wchar_t* path) { return CheckRegKey(root_, path) == ERROR_SUCCESS; }
    // Creates the path; the key it hands back is checked to be open, then closed.
    LONG Create(const wchar_t* path, DWORD options = 0, REGSAM access = KEY_ALL_ACCESS,
                DWORD* disposition = nullptr, HKEY* result = nullptr) {
        HKEY key = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0xBAD));
        DWORD created = 0;
        LONG error = CreateRegKeys(root_, path, options, access, &key, &created);
        if (error == ERROR_SUCCESS) {
            EXPECT_EQ(ERROR_SUCCESS, ::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr,
                                                        nullptr, nullptr, nullptr, nullptr,
                                                        nullptr, nullptr, nullptr));
            ::RegCloseKey(key);
            if (disposition != nullptr) *disposition = created;
        }
        if (result != nullptr) *result = key;
        return error;
    }
    std::wstring name_;
    HKEY root_ = nullptr;
};

TEST_F(RegKeys, PathsAreCreatedThenOpened) {
    struct {
        const wchar_t* path;
        const wchar_t* last;  // the key that must exist afterwards
    } cases[] = {
        {L"A\\B", L"A\\B"}, {L"C\\D\\", L"C\\D"}, {L"One", L"One"}, {L"E\\\\F", L"E\\F"},
    };
    for (const auto& c : cases) {
        DWORD disposition = 0;
        EXPECT_EQ(ERROR_SUCCESS, Create(c.path, 0, KEY_ALL_ACCESS, &disposition)) << c.path;
        EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition) << c.path;
        EXPECT_TRUE(Exists(c.last)) << c.path;
        EXPECT_EQ(ERROR_SUCCESS, Create(c.path, 0, KEY_ALL_ACCESS, &disposition)) << c.path;
        EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition) << c.path;
    }
    // An existing parent and a new last level: the disposition is the last level's.
    DWORD disposition = 0;
    EXPECT_EQ(ERROR_SUCCESS, Create(L"A\\B\\New", 0, KEY_ALL_ACCESS, &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
    EXPECT_TRUE(TraceLog::Get().Take().empty());
    // The disposition is optional.
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, CreateRegKeys(root_, L"A", 0, KEY_READ, &key, nullptr));
    ::RegCloseKey(key);
}

TEST_F(RegKeys, LongPathsUseTheHeapCopyAlike) {
    // 510 characters fill the stack copy with the added "\" and the
    // terminator; 511 need the heap. Levels of 10 characters, the first one unique.
    for (size_t length : {510u, 511u, 1500u}) {
        std::wstring path = std::to_wstring(length);
        while (path.size() < length)
            path += L"\\" + std::wstring(std::min<size_t>(9, length - path.size() - 1), L'k');
        ASSERT_EQ(length, path.size());
        EXPECT_EQ(ERROR_SUCCESS, Create(path.c_str())) << length;
        EXPECT_TRUE(Exists(path.c_str())) << length;
    }
}

TEST_F(RegKeys, MalformedPathsGive161AndATraceLine) {
    struct {
        const wchar_t* path;
        const wchar_t* shown;
    } cases[] = {{nullptr, L"NULL"}, {L"", L""}, {L"\\A", L"\\A"}, {L"\\", L"\\"}};
    for (const auto& c : cases) {
        HKEY key = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0xBAD));
        EXPECT_EQ(ERROR_BAD_PATHNAME, CreateRegKeys(root_, c.path, 0, KEY_ALL_ACCESS, &key, nullptr));
        EXPECT_EQ(nullptr, key);
        EXPECT_EQ(std::vector<std::wstring>{L"CreateRegKeys > returns error 161 for the key " +
                                            std::wstring(c.shown)},
                  TraceLog::Get().Take());
    }
    EXPECT_FALSE(Exists(L"A"));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, CreateRegKeys(root_, L"A", 0, KEY_ALL_ACCESS, nullptr, nullptr));
    EXPECT_EQ(std::vector<std::wstring>{L"CreateRegKeys > returns error 87 for the key A"},
              TraceLog::Get().Take());
    EXPECT_FALSE(Exists(L"A"));
}

TEST_F(RegKeys, ALevelThatCannotBeCreatedLeavesNoKeyOpen) {
    // Wine does not refuse sub keys below a key opened read-only, so the
    // failing levels here are a permanent key below a volatile one and a name
    // longer than the registry takes.
    ASSERT_EQ(ERROR_SUCCESS, Create(L"V\\W", REG_OPTION_VOLATILE));
    DWORD handles = rolm_test::HandleCount();
    const std::wstring tooLong = L"Fresh\\Deeper\\" + std::wstring(1000, L'n') + L"\\Last";

    struct {
        const wchar_t* path;
        LONG error;
        const wchar_t* made;    // made before the failing level: stays
        const wchar_t* absent;  // the failing level
    } cases[] = {
        {L"V\\N", ERROR_CHILD_MUST_BE_VOLATILE, L"V", L"V\\N"},
        {L"V\\W\\N\\M", ERROR_CHILD_MUST_BE_VOLATILE, L"V\\W", L"V\\W\\N"},
        {tooLong.c_str(), ERROR_INVALID_PARAMETER, L"Fresh\\Deeper", L"Fresh\\Deeper\\Last"},
    };
    for (const auto& c : cases) {
        HKEY key = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0xBAD));
        EXPECT_EQ(c.error, CreateRegKeys(root_, c.path, 0, KEY_ALL_ACCESS, &key, nullptr)) << c.path;
        EXPECT_EQ(nullptr, key) << c.path;
        EXPECT_EQ(std::vector<std::wstring>{L"CreateRegKeys > returns error " +
                                            std::to_wstring(c.error) + L" for the key " + c.path},
                  TraceLog::Get().Take());
        EXPECT_EQ(handles, rolm_test::HandleCount()) << c.path;
        EXPECT_TRUE(Exists(c.made)) << c.path;
        EXPECT_FALSE(Exists(c.absent)) << c.path;
    }
    // The caller's root is never closed, failure or not.
    EXPECT_EQ(ERROR_SUCCESS, ::RegQueryInfoKeyW(root_, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                nullptr, nullptr, nullptr, nullptr, nullptr,
                                                nullptr));
}

TEST_F(RegKeys, AVolatilePathIsVolatileAtEveryLevel) {
    ASSERT_EQ(ERROR_SUCCESS, Create(L"P\\Q\\R", REG_OPTION_VOLATILE));
    for (const wchar_t* level : {L"P", L"P\\Q", L"P\\Q\\R"}) {
        HKEY parent = nullptr, child = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(root_, level, 0, KEY_ALL_ACCESS, &parent));
        EXPECT_EQ(ERROR_CHILD_MUST_BE_VOLATILE,
                  ::RegCreateKeyExW(parent, L"permanent", 0, nullptr, REG_OPTION_NON_VOLATILE,
                                    KEY_ALL_ACCESS, nullptr, &child, nullptr))
            << level;
        ::RegCloseKey(parent);
    }
}

TEST_F(RegKeys, CheckRegKeyTellsWhetherAKeyOpens) {
    ASSERT_EQ(ERROR_SUCCESS, Create(L"Here"));
    DWORD handles = rolm_test::HandleCount();
    EXPECT_EQ(ERROR_SUCCESS, CheckRegKey(root_, L"Here"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, CheckRegKey(root_, L"Missing"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, CheckRegKey(root_, L"Here\\Missing"));
    EXPECT_EQ(ERROR_BADKEY, CheckRegKey(root_, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, CheckRegKey(HKEY_CURRENT_USER, name_.c_str()));
    EXPECT_EQ(handles, rolm_test::HandleCount());
    EXPECT_TRUE(TraceLog::Get().Take().empty());
}

}  // namespace
