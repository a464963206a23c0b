// Directory trees, the access grant, special folders, registry key paths and
// the configuration file, on the prefix's own file system and registry; the
// system calls behind them failed one at a time through the import table.
#include <aclapi.h>
#include <gtest/gtest.h>
#include <rolm/fsreg.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <functional>
#include <future>

#include "common/unique.h"
#include "faults.h"
#include "support.h"

using namespace rolm_test;
using Lines = std::vector<std::wstring>;

// The calls of the tree and its grant; of the key paths; of the configuration file and the special folder.
ROLM_STANDIN("kernel32.dll", CreateDirectoryW, Fails::False, Role::None, "");
ROLM_STANDIN("advapi32.dll", GetFileSecurityW, Fails::False, Role::None, "");
ROLM_STANDIN("advapi32.dll", AllocateAndInitializeSid, Fails::False, Role::None, "");
ROLM_STANDIN("advapi32.dll", SetEntriesInAclW, Fails::Code, Role::None, "");
ROLM_STANDIN("kernel32.dll", HeapAlloc, Fails::Null, Role::Open, "heap");
ROLM_STANDIN("kernel32.dll", HeapFree, Fails::False, Role::Close, "heap");
ROLM_STANDIN("advapi32.dll", InitializeSecurityDescriptor, Fails::False, Role::None, "");
ROLM_STANDIN("advapi32.dll", SetFileSecurityW, Fails::False, Role::None, "");
ROLM_STANDIN("advapi32.dll", RegCreateKeyExW, Fails::Code, Role::Open, "key");
ROLM_STANDIN("advapi32.dll", RegCloseKey, Fails::Code, Role::Close, "key");
ROLM_STANDIN("advapi32.dll", RegOpenKeyExW, Fails::Code, Role::Open, "key");
ROLM_STANDIN("msvcrt.dll", calloc, Fails::Null, Role::None, "");
ROLM_STANDIN("kernel32.dll", GetModuleFileNameW, Fails::Null, Role::None, "");
ROLM_STANDIN("shell32.dll", SHGetFolderPathW, Fails::Hresult, Role::None, "");

namespace {

std::wstring N(DWORD n) { return std::to_wstring(n); }
Lines Take() { return TraceLog::Get().Take(); }

bool IsDirectory(const std::wstring& path) { return ::PathIsDirectoryW(path.c_str()) != FALSE; }

// CreateDirectories's trace when step c failed: T the tree, G the grant (R, S, M: after its read's or its
// merge's own line), 0 none.
Lines DirTrace(const std::wstring& path, char c, DWORD error) {
    Lines lines{L"CreateDirectories > (" + path + L")"};
    if (c == 'R') lines.push_back(L"AddAccessRights()->GetFileSecurity failed!");
    if (c == 'S' || c == 'M') lines.push_back(L"AddAccessRights()->SetEntriesInAcl() failed!");
    if (c != '0') {
        const std::wstring step = c == 'T' ? L"CreateDirectoryTree(" : L"AddAccessRights(";
        lines.push_back(L"CreateDirectories > " + step + path + L") has failed -> error == " + N(error));
    }
    return lines;
}

Lines IniLine(DWORD error, const std::wstring& path) {
    return {L"GetIniFile > error == (" + N(error) + L"), path == (" + path + L")"};
}

// Each system call of run failed in turn (a letter per call, the last for none): the result and trace of that
// failure, and no key or heap block left behind. 0: success; M: out of memory; N: not found; any other: the error.
void FailEachCall(const char* outcomes, const std::function<DWORD()>& run,
                  const std::function<Lines(char, DWORD)>& lines = nullptr) {
    for (const char* c = outcomes; *c != '\0'; ++c) {
        const DWORD expected = *c == '0'   ? 0
                               : *c == 'M' ? ERROR_NOT_ENOUGH_MEMORY
                               : *c == 'N' ? ERROR_FILE_NOT_FOUND : ERROR_WRITE_PROTECT;
        SCOPED_TRACE(testing::Message() << outcomes << " call " << c - outcomes + 1);
        Faults faults;
        faults.FailNth(static_cast<int>(c - outcomes + 1), ERROR_WRITE_PROTECT);
        Take();
        EXPECT_EQ(expected, run());
        EXPECT_EQ(c[1] != '\0', faults.Failed());
        EXPECT_EQ(lines ? lines(*c, expected) : Lines{}, Take());
        EXPECT_EQ(0, faults.Held("key") + faults.Held("heap"));
    }
}

// The real function, past the import table.
#define REAL(dll, name) \
    reinterpret_cast<decltype(&::name)>(reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(dll), #name)))

// The world group's access entry with a mask and inheritance, as its bytes.
std::string World(ACCESS_MASK mask, BYTE flags) {
    const SID world = {SID_REVISION, 1, SECURITY_WORLD_SID_AUTHORITY, {SECURITY_WORLD_RID}};
    const struct { ACE_HEADER header; ACCESS_MASK mask; SID sid; } ace = {{ACCESS_ALLOWED_ACE_TYPE, flags, 20}, mask, world};
    return std::string(reinterpret_cast<const char*>(&ace), sizeof ace);
}

// SetFileSecurityW's calls (Wine keeps no access list): the path, marked unless the new list holds g_world
// and one entry more than the list the path has (the entries there are granted to, not replaced).
std::string g_world;  // the entry wanted
Lines g_written;
BOOL WINAPI CaptureSetFileSecurity(LPCWSTR path, SECURITY_INFORMATION what, PSECURITY_DESCRIPTOR descriptor) {
    BOOL present = FALSE, defaulted = FALSE;
    bool world = false;
    PACL dacl = nullptr, old = nullptr;
    rolm::UniqueLocal before;
    ::GetNamedSecurityInfoW(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &old, nullptr,
                            before.put());
    ACE_HEADER* ace = nullptr;
    ::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    for (DWORD i = 0; dacl != nullptr && ::GetAce(dacl, i, reinterpret_cast<void**>(&ace)); ++i)
        world |= std::string(reinterpret_cast<char*>(ace), ace->AceSize) == g_world;
    const bool granted = world && old != nullptr && dacl->AceCount == old->AceCount + 1;
    g_written.push_back((granted ? L"" : L"lacking ") + std::wstring(path));
    return REAL(L"advapi32.dll", SetFileSecurityW)(path, what, descriptor);
}

// Trees are refused whole or made top down; the grant is asked for every time (a failed one on a missing tree
// adds no line) and written to the last level only, keeping what was there; two callers making the same tree
// at once both get 0.
TEST(Directories, TreesAreMadeTopDownOrRefusedWholeAndOpenedToAll) {
    TempDir dir;
    const std::wstring tree = dir / L"T\\A";
    FailEachCall("TTGRSMSG000", [&] {
        RemoveTree(dir / L"T");
        return CreateDirectories(tree.c_str(), 1);
    }, [&](char c, DWORD e) { return DirTrace(tree, c, e); });
    ImportPatch patch("advapi32.dll", "SetFileSecurityW", reinterpret_cast<void*>(&CaptureSetFileSecurity));
    ASSERT_TRUE(WriteFileBytes(dir / L"f", "x"));
    // Two levels, the last filling the path up.
    const std::wstring d = dir / std::wstring(100, L'd');
    const std::wstring g = dir / std::wstring(100, L'g');
    const std::wstring longest = d + L"\\" + std::wstring(MAX_PATH - 2 - d.size(), L'f');
    const std::wstring tooLong = g + L"\\" + std::wstring(MAX_PATH - 1 - g.size(), L'f');
    const DWORD kBad = ERROR_BAD_PATHNAME, kLong = ERROR_FILENAME_EXCED_RANGE;
    const struct { std::wstring path; DWORD error; } rows[] = {
        {L"NULL", kBad}, {L"C:\\", kBad}, {L"\\\\server\\share\\dir", kBad}, {L"Data\\Logs", kBad},
        {dir / L"f\\sub\\leaf", ERROR_PATH_NOT_FOUND}, {tooLong, kLong}, {longest + L"\\", kLong}, {longest, 0},
        {dir / L"A\\B\\C", 0}, {dir / L"V\\W\\", 0}, {dir / L"f", 0},
    };
    g_world = World(GENERIC_ALL, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    for (const auto& row : rows) {
        Take();
        g_written.clear();
        EXPECT_EQ(row.error, CreateDirectories(row.path == L"NULL" ? nullptr : row.path.c_str(), 1)) << row.path;
        EXPECT_EQ(DirTrace(row.path, row.error == 0 || row.error == kBad ? '0' : 'T', row.error), Take());
        EXPECT_EQ(row.error ? Lines{} : Lines{row.path}, g_written);
    }
    for (const std::wstring& absent : {std::wstring(L"Data"), g, dir / L"f\\sub"})
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(absent.c_str())) << absent;
    EXPECT_TRUE(IsDirectory(dir / L"A\\B\\C") && IsDirectory(dir / L"V\\W") && IsDirectory(longest) &&
                !IsDirectory(dir / L"f"));
    g_world = World(GENERIC_WRITE, 0);
    g_written.clear();
    // A file like a directory.
    EXPECT_TRUE(AddAccessRights((dir / L"f").c_str(), GENERIC_WRITE, 0) && g_written == Lines{dir / L"f"});
    EXPECT_TRUE(!AddAccessRights(nullptr, GENERIC_ALL, 3) && ::GetLastError() == ERROR_INVALID_PARAMETER &&
                CreateDirectoryTree(L"C:") && CreateDirectoryTree(L"C:\\"));
    for (const wchar_t* empty : {L"", L"\\", static_cast<const wchar_t*>(nullptr)})
        EXPECT_TRUE(!CreateDirectoryTree(empty) && ::GetLastError() == kBad);
    for (int round = 0; round < 40; ++round) {  // two callers making the same tree at once
        const std::wstring path = dir / (N(round) + L"\\a\\b\\c\\d\\e");
        auto other = std::async(std::launch::async, [&] { return CreateDirectories(path.c_str(), 0); });
        EXPECT_TRUE(CreateDirectories(path.c_str(), 0) == 0 && other.get() == 0) << path;
    }
}

// The first report of SHGetFolderPathW replaced (S_OK: the system's own); every call's folder kept.
struct { HRESULT first; std::vector<int> folders; } g_report;
HRESULT WINAPI ReportFolder(HWND owner, int folder, HANDLE token, DWORD flags, LPWSTR path) {
    g_report.folders.push_back(folder);
    if (g_report.folders.size() == 1 && g_report.first != S_OK) return g_report.first;
    return REAL(L"shell32.dll", SHGetFolderPathW)(owner, folder, token, flags, path);
}

TEST(FolderPath, AKnownFolderReportedMissingIsCreated) {
    WCHAR favorites[MAX_PATH] = L"";
    ASSERT_TRUE(GetFolderPath(CSIDL_WINDOWS, nullptr) == E_INVALIDARG &&
                ::SHGetFolderPathW(nullptr, CSIDL_FAVORITES | CSIDL_FLAG_CREATE, nullptr, 0, favorites) == S_OK);
    RemoveTree(favorites);  // the first row asks the system for the removed folder
    ImportPatch patch("shell32.dll", "SHGetFolderPathW", reinterpret_cast<void*>(&ReportFolder));
    for (HRESULT first : {S_OK, S_FALSE, E_FAIL, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND),
                          HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND), E_INVALIDARG,
                          HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)}) {
        // Known but missing: asked again with the create flag.
        const bool missing = first != E_INVALIDARG && HRESULT_CODE(first) != ERROR_ACCESS_DENIED;
        g_report.first = first;
        g_report.folders.clear();
        EXPECT_EQ(missing ? S_OK : first, GetFolderPath(CSIDL_FAVORITES, favorites)) << std::hex << first;
        std::vector<int> asked{CSIDL_FAVORITES};
        if (missing) asked.push_back(CSIDL_FAVORITES | CSIDL_FLAG_CREATE);
        EXPECT_TRUE(g_report.folders == asked && IsDirectory(favorites));
    }
}

// Levels made with the caller's options and access; a failing one is in the torture test.
TEST(RegKeys, PathsAreCreatedThenOpenedOrRefused) {
    const std::wstring keys = L"T\\" + std::wstring(255, L'a') + L"\\" + std::wstring(255, L'b') + L"\\c";
    struct Key : rolm::UniqueKey {  // deleted with its sub keys afterwards
        std::wstring name;
        ~Key() {
            reset();
            ::SHDeleteKeyW(HKEY_CURRENT_USER, name.c_str());
        }
    } root;
    root.name = L"Software\\rolm-test-" + N(::GetCurrentProcessId());
    ASSERT_EQ(0, ::RegCreateKeyExW(HKEY_CURRENT_USER, root.name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                   root.put(), nullptr));
    FailEachCall("MEE0E0E000", [&] {
        rolm::UniqueKey key;
        ::SHDeleteKeyW(root.get(), L"T");
        return static_cast<DWORD>(CreateRegKeys(root.get(), keys.c_str(), 0, KEY_ALL_ACCESS, key.put(), nullptr));
    }, [&](char c, DWORD error) {
        return c == '0' ? Lines{} : Lines{L"CreateRegKeys > returns error " + N(error) + L" for the key " + keys};
    });
    FailEachCall("E00", [&] { return static_cast<DWORD>(CheckRegKey(HKEY_CURRENT_USER, L"Software")); });
    // 510 characters fill the stack copy with the added "\" and the terminator; 511 need the heap.
    const std::wstring deep = std::wstring(250, L'k') + L"\\" + std::wstring(250, L'k') + L"\\";
    const std::wstring paths[] = {L"A\\B", L"C\\D\\", L"E\\\\F", deep + L"12345678", deep + L"123456789"};
    for (const std::wstring& path : paths) {
        for (DWORD expected : {REG_CREATED_NEW_KEY, REG_OPENED_EXISTING_KEY}) {
            rolm::UniqueKey key;
            DWORD disposition = 0;
            const BYTE* data = reinterpret_cast<const BYTE*>(&expected);
            EXPECT_TRUE(CreateRegKeys(root.get(), path.c_str(), 0, KEY_ALL_ACCESS, key.put(), &disposition) == 0 &&
                        disposition == expected && ::RegSetValueExW(key.get(), L"v", 0, REG_DWORD, data, 4) == 0)
                << path;
        }
    }
    // At every level: W's child fails.
    ASSERT_EQ(0, CreateRegKeys(root.get(), L"V\\W", REG_OPTION_VOLATILE, KEY_ALL_ACCESS, rolm::UniqueKey().put(),
                               nullptr));
    const struct { const wchar_t* path; LONG error; } rows[] = {  // G: no key to hand back
        {nullptr, ERROR_BAD_PATHNAME}, {L"", ERROR_BAD_PATHNAME}, {L"\\X", ERROR_BAD_PATHNAME},
        {L"G", ERROR_INVALID_PARAMETER}, {L"V\\W\\N\\M", ERROR_CHILD_MUST_BE_VOLATILE}};
    for (const auto& [bad, error] : rows) {
        const bool noKey = error == ERROR_INVALID_PARAMETER;
        HKEY failed = reinterpret_cast<HKEY>(0xBAD);
        EXPECT_TRUE(CreateRegKeys(root.get(), bad, 0, KEY_ALL_ACCESS, noKey ? nullptr : &failed, nullptr) == error &&
                    failed == (noKey ? HKEY(0xBAD) : nullptr));
        const std::wstring shown = bad ? bad : L"NULL";
        EXPECT_EQ(Lines{L"CreateRegKeys > returns error " + N(error) + L" for the key " + shown}, Take());
    }
    EXPECT_TRUE(CheckRegKey(root.get(), L"A\\B") == 0 && CheckRegKey(root.get(), L"X") == ERROR_FILE_NOT_FOUND &&
                CheckRegKey(root.get(), nullptr) == ERROR_BADKEY);
}

// The running program's name as the XP generation gives it: one that does not fit is cut, unterminated.
std::wstring g_program;
DWORD WINAPI ProgramName(HMODULE, LPWSTR buffer, DWORD size) {
    const DWORD length = static_cast<DWORD>(g_program.size());
    const DWORD copied = size < length + 1 ? size : length + 1;
    wmemcpy(buffer, g_program.c_str(), copied);
    return copied > length ? length : size;
}

TEST(IniFile, TheLastDotOfThePathCountsAndWhatDoesNotFitIsRefused) {
    TempDir dir;
    WCHAR self[MAX_PATH];
    WCHAR buffer[MAX_PATH] = L"untouched";
    EXPECT_TRUE(GetIniFile(nullptr, MAX_PATH) == ERROR_INVALID_PARAMETER &&
                GetIniFile(buffer, 0) == ERROR_INVALID_PARAMETER && !wcscmp(buffer, L"untouched"));
    EXPECT_EQ(Lines(2, IniLine(87, L"NULL")[0]), Take());
    const std::wstring ini = std::wstring(self, ::GetModuleFileNameW(nullptr, self, MAX_PATH) - 3) + L"ini";
    FailEachCall("EN", [&] { return GetIniFile(buffer, MAX_PATH); },
                 [&](char c, DWORD error) { return IniLine(error, c == 'E' ? L"" : ini); });
    ImportPatch patch("kernel32.dll", "GetModuleFileNameW", reinterpret_cast<void*>(&ProgramName));
    ASSERT_TRUE(::CreateDirectoryW((dir / L"dir.ini").c_str(), nullptr) && WriteFileBytes(dir / L"there.ini", ""));
    // Capacity after the folder: exactly room for ".ini" (or "x" becoming "ini") and the terminator, then
    // one short; the program's own path cut to fit is detected, not built upon.
    const struct { const wchar_t* program; DWORD capacity, error; const wchar_t* ini; } rows[] = {
        {L"to.beta.exe", 99, 2, L"to.beta.ini"}, {L"a.old\\to", 99, 2, L"a.ini"}, {L"there.exe", 99, 0, L"there.ini"},
        {L"dir", 99, 0, L"dir.ini"}, {L"plain", 10, 2, L"plain.ini"}, {L"plain", 9, ERROR_EXTENDED_ERROR, L"plain"},
        {L"dot.x", 8, 2, L"dot.ini"}, {L"dot.x", 7, ERROR_EXTENDED_ERROR, L"dot.x"}, {L"dot.x", 5, ERROR_INSUFFICIENT_BUFFER, L"dot."},
    };
    for (const auto& row : rows) {
        std::vector<WCHAR> buffer(dir.path().size() + 1 + row.capacity, L'#');
        g_program = dir / row.program;
        Take();
        EXPECT_EQ(row.error, GetIniFile(buffer.data(), static_cast<DWORD>(buffer.size()))) << row.program;
        EXPECT_EQ(IniLine(row.error, dir / row.ini), Take());
    }
}

}  // namespace
