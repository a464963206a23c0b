// Directory trees, the access grant, special folders, registry key paths and
// the configuration file, on the prefix's own file system and registry; the
// system calls behind them failed one at a time through the import table.
#include <aclapi.h>
#include <gtest/gtest.h>
#include <rolm/fsreg.h>
#include <rolm/trace.h>
#include <sddl.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>
#include <functional>
#include <thread>
#include <tuple>

#include "common/unique.h"
#include "faults.h"
#include "support.h"

using namespace rolm_test;
using Lines = std::vector<std::wstring>;

ROLM_STANDIN("kernel32.dll", CreateDirectoryW, Fails::False, Role::None, "")
ROLM_STANDIN("advapi32.dll", GetFileSecurityW, Fails::False, Role::None, "")
ROLM_STANDIN("advapi32.dll", AllocateAndInitializeSid, Fails::False, Role::None, "")
ROLM_STANDIN("kernel32.dll", HeapAlloc, Fails::Null, Role::Open, "heap")
ROLM_STANDIN("kernel32.dll", HeapFree, Fails::False, Role::Close, "heap")
ROLM_STANDIN("advapi32.dll", SetEntriesInAclW, Fails::Code, Role::None, "")
ROLM_STANDIN("advapi32.dll", InitializeSecurityDescriptor, Fails::False, Role::None, "")
ROLM_STANDIN("advapi32.dll", SetFileSecurityW, Fails::False, Role::None, "")
ROLM_STANDIN("advapi32.dll", RegCreateKeyExW, Fails::Code, Role::Open, "key")
ROLM_STANDIN("advapi32.dll", RegOpenKeyExW, Fails::Code, Role::Open, "key")
ROLM_STANDIN("advapi32.dll", RegCloseKey, Fails::Code, Role::Close, "key")
ROLM_STANDIN("msvcrt.dll", calloc, Fails::Null, Role::None, "")
ROLM_STANDIN("kernel32.dll", GetModuleFileNameW, Fails::Null, Role::None, "")
ROLM_STANDIN("shell32.dll", SHGetFolderPathW, Fails::Hresult, Role::None, "")

namespace {

std::wstring N(DWORD n) { return std::to_wstring(n); }
Lines Take() { return TraceLog::Get().Take(); }
bool IsDirectory(const std::wstring& path) { return ::PathIsDirectoryW(path.c_str()) != FALSE; }
std::wstring DirLine(const std::wstring& path) { return L"CreateDirectories > (" + path + L")"; }
std::wstring FailLine(const wchar_t* step, const std::wstring& path, DWORD error) {
    return L"CreateDirectories > " + std::wstring(step) + L"(" + path + L") has failed -> error == " + N(error);
}
Lines IniLine(DWORD error, const std::wstring& path) { return {L"GetIniFile > error == (" + N(error) + L"), path == (" + path + L")"}; }

struct TestKey {  // HKCU\Software\rolm-test-PID, deleted with its sub keys afterwards
    std::wstring name = L"Software\\rolm-test-" + N(::GetCurrentProcessId());
    rolm::UniqueKey root;
    TestKey() { ::RegCreateKeyExW(HKEY_CURRENT_USER, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, root.put(), nullptr); }
    ~TestKey() { root.reset(), ::SHDeleteKeyW(HKEY_CURRENT_USER, name.c_str()); }
};

TEST(Directories, TreesAreMadeTopDownOrRefusedWhole) {
    TempDir dir;
    auto ofLength = [&](size_t length, wchar_t top) {  // two levels, the last one filling the path up
        std::wstring path = dir / (std::wstring(100, top) + L"\\");
        return path + std::wstring(length - path.size(), L'f');
    };
    std::wstring noDrive = L"?:\\x";
    for (wchar_t l = L'Y'; noDrive[0] == L'?' && l > L'D'; --l) if (!(::GetLogicalDrives() >> (l - L'A') & 1)) noDrive[0] = l;
    ASSERT_TRUE(WriteFileBytes(dir / L"f", "x"));
    const std::wstring longest = ofLength(MAX_PATH - 1, L'd'), tooLong = ofLength(MAX_PATH, L'g');
    const DWORD kBad = ERROR_BAD_PATHNAME, kLong = ERROR_FILENAME_EXCED_RANGE, kNoPath = ERROR_PATH_NOT_FOUND;
    const struct { std::wstring path; DWORD error; } rows[] = {  // the grant is asked for every time
        {L"NULL", kBad}, {L"C:\\", kBad}, {L"\\\\server\\share\\dir", kBad}, {L"Data\\Logs", kBad}, {noDrive, kNoPath},
        {dir / L"f\\sub\\leaf", kNoPath}, {tooLong, kLong}, {longest + L"\\", kLong}, {longest, 0},
        {dir / L"A\\B\\C", 0}, {dir / L"V\\W\\", 0}, {dir / L"f", 0},
    };
    for (const auto& row : rows) {  // a failed grant on a missing tree adds no line
        Take();
        EXPECT_EQ(row.error, CreateDirectories(row.path == L"NULL" ? nullptr : row.path.c_str(), 1)) << row.path;
        Lines lines{DirLine(row.path), FailLine(L"CreateDirectoryTree", row.path, row.error)};
        EXPECT_EQ(Lines(lines.begin(), lines.end() - (row.error == 0 || row.error == kBad)), Take());
    }
    for (const std::wstring& absent : {std::wstring(L"Data"), tooLong.substr(0, dir.path().size() + 101), dir / L"f\\sub"})
        EXPECT_FALSE(::PathFileExistsW(absent.c_str())) << absent;
    EXPECT_TRUE(IsDirectory(dir / L"A\\B\\C") && IsDirectory(dir / L"V\\W") && IsDirectory(longest) && !IsDirectory(dir / L"f"));
    for (const wchar_t* empty : {L"", L"\\", static_cast<const wchar_t*>(nullptr)})
        EXPECT_TRUE(!CreateDirectoryTree(empty) && ::GetLastError() == kBad);
    EXPECT_TRUE(CreateDirectoryTree(L"C:") && CreateDirectoryTree(L"C:\\"));
}

TEST(Directories, TwoCallersMakingTheSameTreeBothGetZero) {
    TempDir dir;
    volatile LONG failures = 0;
    for (int round = 0; round < 40; ++round) {
        const std::wstring path = dir / (N(round) + L"\\a\\b\\c\\d\\e");
        auto make = [&] { if (CreateDirectories(path.c_str(), 0) != 0) ::InterlockedIncrement(&failures); };
        std::thread other(make);
        make(), other.join();
    }
    EXPECT_EQ(0, failures);
}

// What SetFileSecurityW is handed (Wine keeps no access list): the path, and
// the entries of its list before and of the new one.
using Ace = std::tuple<std::wstring, ACCESS_MASK, BYTE>;  // SID, mask, flags
std::vector<Ace> Aces(PSECURITY_DESCRIPTOR descriptor) {
    std::vector<Ace> aces;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ACCESS_ALLOWED_ACE* ace = nullptr;
    LPWSTR sid = nullptr;
    ::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i)
        if (::GetAce(dacl, i, reinterpret_cast<void**>(&ace)) && ::ConvertSidToStringSidW(&ace->SidStart, &sid))
            aces.emplace_back(static_cast<LPWSTR>(rolm::UniqueLocal(sid).get()), ace->Mask, ace->Header.AceFlags);
    return aces;
}
std::vector<std::tuple<std::wstring, std::vector<Ace>, std::vector<Ace>>> g_written;
ImportPatch* g_setSecurity;
BOOL WINAPI CaptureSetFileSecurity(LPCWSTR path, SECURITY_INFORMATION what, PSECURITY_DESCRIPTOR descriptor) {
    DWORD needed = 0;
    ::GetFileSecurityW(path, DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    std::string old(needed, '\0');
    ::GetFileSecurityW(path, DACL_SECURITY_INFORMATION, &old[0], needed, &needed);
    g_written.emplace_back(path, Aces(&old[0]), Aces(descriptor));
    return reinterpret_cast<decltype(&::SetFileSecurityW)>(g_setSecurity->original())(path, what, descriptor);
}

TEST(AccessRights, TheWorldEntryCarriesMaskAndInheritanceAndTheOthersStay) {
    TempDir dir;
    ImportPatch patch("advapi32.dll", "SetFileSecurityW", reinterpret_cast<void*>(&CaptureSetFileSecurity));
    g_setSecurity = &patch;
    ASSERT_TRUE(WriteFileBytes(dir / L"f", "x"));
    EXPECT_EQ(0u, CreateDirectories((dir / L"T\\A").c_str(), 1));  // OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE
    EXPECT_TRUE(AddAccessRights((dir / L"f").c_str(), GENERIC_WRITE, 0));  // a file is accepted like a directory
    ASSERT_EQ(2u, g_written.size());  // of a tree, the last level only
    const Ace wanted[] = {Ace(L"S-1-1-0", GENERIC_ALL, 3), Ace(L"S-1-1-0", GENERIC_WRITE, 0)};
    for (int i = 0; i < 2; ++i) {
        const auto& [path, before, after] = g_written[i];
        EXPECT_EQ(dir / (i == 0 ? L"T\\A" : L"f"), path);
        EXPECT_NE(after.end(), std::find(after.begin(), after.end(), wanted[i])) << path;
        for (const Ace& kept : before) EXPECT_NE(after.end(), std::find(after.begin(), after.end(), kept));
    }
    EXPECT_TRUE(!AddAccessRights(nullptr, GENERIC_ALL, 3) && ::GetLastError() == ERROR_INVALID_PARAMETER);
}

// The first report of SHGetFolderPathW replaced (S_OK: the system's own); every call's folder kept.
HRESULT g_firstReport;
std::vector<int> g_folders;
ImportPatch* g_shell;
HRESULT WINAPI ReportFolder(HWND owner, int folder, HANDLE token, DWORD flags, LPWSTR path) {
    g_folders.push_back(folder);
    if (g_folders.size() == 1 && g_firstReport != S_OK) return g_firstReport;
    return reinterpret_cast<decltype(&::SHGetFolderPathW)>(g_shell->original())(owner, folder, token, flags, path);
}

TEST(FolderPath, AKnownFolderReportedMissingIsCreated) {
    WCHAR path[MAX_PATH] = L"", favorites[MAX_PATH] = L"";
    EXPECT_EQ(E_INVALIDARG, GetFolderPath(CSIDL_WINDOWS, nullptr));
    ASSERT_EQ(S_OK, ::SHGetFolderPathW(nullptr, CSIDL_FAVORITES | CSIDL_FLAG_CREATE, nullptr, 0, favorites));
    RemoveTree(favorites);  // the first row asks the system for the removed folder
    ImportPatch patch("shell32.dll", "SHGetFolderPathW", reinterpret_cast<void*>(&ReportFolder));
    g_shell = &patch;
    const HRESULT kDenied = HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), reports[] = {S_OK, S_FALSE, E_FAIL,
        HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND), E_INVALIDARG, kDenied};
    for (HRESULT first : reports) {  // known but missing: asked again with the create flag
        const bool missing = first != E_INVALIDARG && first != kDenied;
        g_firstReport = first, g_folders.clear();
        EXPECT_EQ(missing ? S_OK : first, GetFolderPath(CSIDL_FAVORITES, path)) << std::hex << first;
        EXPECT_TRUE(g_folders == (missing ? std::vector<int>{CSIDL_FAVORITES, CSIDL_FAVORITES | CSIDL_FLAG_CREATE}
                                          : std::vector<int>{CSIDL_FAVORITES}) && IsDirectory(favorites));
    }
}

TEST(RegKeys, PathsAreCreatedThenOpenedOrRefused) {
    TestKey test;
    // 510 characters fill the stack copy with the added "\" and the terminator; 511 need the heap.
    const std::wstring deep = std::wstring(250, L'k') + L"\\" + std::wstring(250, L'k') + L"\\";
    for (const std::wstring& path : {std::wstring(L"A\\B"), std::wstring(L"C\\D\\"), std::wstring(L"E\\\\F"), deep + L"12345678", deep + L"123456789"})
        for (DWORD expected : {REG_CREATED_NEW_KEY, REG_OPENED_EXISTING_KEY}) {
            rolm::UniqueKey key;
            DWORD disposition = 0;
            EXPECT_EQ(0, CreateRegKeys(test.root.get(), path.c_str(), 0, KEY_ALL_ACCESS, key.put(), &disposition));
            EXPECT_EQ(expected, disposition) << path;
            EXPECT_EQ(0, ::RegSetValueExW(key.get(), L"v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&expected), 4));
        }
    rolm::UniqueKey key;
    ASSERT_EQ(0, CreateRegKeys(test.root.get(), L"V\\W", REG_OPTION_VOLATILE, KEY_ALL_ACCESS, key.put(), nullptr));
    Take();
    const struct { const wchar_t *path, *shown; LONG error; } rows[] = {  // volatile at every level: W's child fails
        {nullptr, L"NULL", ERROR_BAD_PATHNAME}, {L"", L"", ERROR_BAD_PATHNAME}, {L"\\X", L"\\X", ERROR_BAD_PATHNAME},
        {L"V\\W\\N\\M", L"V\\W\\N\\M", ERROR_CHILD_MUST_BE_VOLATILE},
    };
    for (const auto& row : rows) {
        HKEY failed = reinterpret_cast<HKEY>(0xBAD);
        EXPECT_EQ(row.error, CreateRegKeys(test.root.get(), row.path, 0, KEY_ALL_ACCESS, &failed, nullptr));
        EXPECT_EQ(nullptr, failed);
        EXPECT_EQ(Lines{L"CreateRegKeys > returns error " + N(row.error) + L" for the key " + row.shown}, Take());
    }
    EXPECT_EQ(ERROR_INVALID_PARAMETER, CreateRegKeys(test.root.get(), L"G", 0, KEY_ALL_ACCESS, nullptr, nullptr));
    EXPECT_TRUE(CheckRegKey(test.root.get(), L"V\\W") == 0 && CheckRegKey(test.root.get(), L"V\\W\\N") == ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(CheckRegKey(test.root.get(), L"X") == ERROR_FILE_NOT_FOUND && CheckRegKey(test.root.get(), nullptr) == ERROR_BADKEY);
}

// ini CAPACITY: GetIniFile into a buffer of CAPACITY characters; the exit code is its result.
ROLM_CHILD(ini) {
    std::vector<WCHAR> buffer(wcstoul(argv[0], nullptr, 10) + 1, L'#');
    TraceInit(nullptr, 0);
    return static_cast<int>(GetIniFile(buffer.data(), static_cast<DWORD>(buffer.size() - 1)));
}

TEST(IniFile, TheLastDotOfThePathCountsAndWhatDoesNotFitIsRefused) {
    TempDir dir;
    WCHAR self[MAX_PATH];
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    ASSERT_TRUE(::CreateDirectoryW((dir / L"a.old").c_str(), nullptr) && ::CreateDirectoryW((dir / L"dir.ini").c_str(), nullptr));
    ASSERT_TRUE(WriteFileBytes(dir / L"there.ini", ""));
    // Capacity after the folder: exactly room for ".ini" (or "x" becoming "ini") and the terminator, then
    // one short; the program's own path cut to fit is detected, not built upon.
    const struct { const wchar_t* program; DWORD capacity, error; const wchar_t* ini; } rows[] = {
        {L"to.exe", 99, 2, L"to.ini"}, {L"to.beta.exe", 99, 2, L"to.beta.ini"}, {L"a.old\\to", 99, 2, L"a.ini"},
        {L"there.exe", 99, 0, L"there.ini"}, {L"dir", 99, 0, L"dir.ini"}, {L"plain", 10, 2, L"plain.ini"},
        {L"plain", 9, ERROR_EXTENDED_ERROR, L"plain"}, {L"dot.x", 8, 2, L"dot.ini"}, {L"dot.x", 7, ERROR_EXTENDED_ERROR, L"dot.x"},
        {L"dot.x", 5, ERROR_INSUFFICIENT_BUFFER, L"dot."}, {L"dot.x", 0, ERROR_INSUFFICIENT_BUFFER, nullptr},
    };
    Take();
    for (const auto& row : rows) {
        const std::wstring program = dir / row.program;
        ASSERT_TRUE(::CopyFileW(self, program.c_str(), FALSE));
        // Named apart from the command line: a name without extension would get ".exe" added.
        std::wstring line = L"x --child ini " + N(row.capacity == 0 ? 1 : static_cast<DWORD>(dir.path().size()) + 1 + row.capacity);
        STARTUPINFOW si = {sizeof si};
        rolm::UniqueProcessInformation child;
        DWORD code = ~0u;
        ASSERT_TRUE(::CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, child.put()));
        ::WaitForSingleObject(child.get().hProcess, 60000);
        EXPECT_TRUE(::GetExitCodeProcess(child.get().hProcess, &code) && code == row.error) << program << " gave " << code;
        EXPECT_EQ(IniLine(row.error, row.ini ? dir / row.ini : L""), Take());
    }
    WCHAR buffer[] = L"untouched";
    EXPECT_TRUE(GetIniFile(nullptr, MAX_PATH) == ERROR_INVALID_PARAMETER && GetIniFile(buffer, 0) == ERROR_INVALID_PARAMETER);
    EXPECT_STREQ(L"untouched", buffer);
    EXPECT_EQ(Lines(2, IniLine(87, L"NULL")[0]), Take());
}

// Each system call of an operation failed in turn (a letter per call, the last for none): the result and
// trace of that failure, and no key or heap block left behind. 0: success; T/G: the tree's or the grant's
// failure; R/S: the grant's read or merge line first; M: out of memory; E: kError; H: kError as an HRESULT.
TEST(Torture, EachFailedCallGivesItsResultAndReleasesEverything) {
    const DWORD kError = ERROR_WRITE_PROTECT;
    TempDir dir;
    TestKey test;
    const std::wstring tree = dir / L"T\\A", keys = L"T\\" + std::wstring(255, L'a') + L"\\" + std::wstring(255, L'b') + L"\\c";
    WCHAR self[MAX_PATH], buffer[MAX_PATH];
    const std::wstring ini = std::wstring(self, ::GetModuleFileNameW(nullptr, self, MAX_PATH) - 3) + L"ini";
    auto none = [](char, DWORD) { return Lines{}; };
    const struct { const char* outcomes; std::function<DWORD()> run; std::function<Lines(char, DWORD)> lines; } ops[] = {
        {"TTGRSMSG000", [&] { RemoveTree(dir / L"T"); return CreateDirectories(tree.c_str(), 1); }, [&](char c, DWORD error) {
             Lines lines{DirLine(tree), c == 'R' ? L"AddAccessRights()->GetFileSecurity failed!" : L"AddAccessRights()->SetEntriesInAcl() failed!",
                         FailLine(c == 'T' ? L"CreateDirectoryTree" : L"AddAccessRights", tree, error)};
             return c == '0' ? Lines{lines[0]} : c == 'R' || c == 'S' || c == 'M' ? lines : Lines{lines[0], lines[2]}; }},
        {"MEE0E0E000", [&] {
             ::SHDeleteKeyW(test.root.get(), L"T");
             rolm::UniqueKey key;
             return static_cast<DWORD>(CreateRegKeys(test.root.get(), keys.c_str(), 0, KEY_ALL_ACCESS, key.put(), nullptr)); },
         [&](char c, DWORD error) { return c == '0' ? Lines{} : Lines{L"CreateRegKeys > returns error " + N(error) + L" for the key " + keys}; }},
        {"E00", [&] { return static_cast<DWORD>(CheckRegKey(HKEY_CURRENT_USER, L"Software")); }, none},
        {"EN", [&] { return GetIniFile(buffer, MAX_PATH); }, [&](char c, DWORD error) { return IniLine(error, c == 'E' ? L"" : ini); }},
        {"H0", [&] { return static_cast<DWORD>(GetFolderPath(CSIDL_WINDOWS, buffer)); }, none},
    };
    for (const auto& op : ops)
        for (size_t n = 1; n <= strlen(op.outcomes); ++n) {
            const char c = op.outcomes[n - 1];
            const DWORD expected = c == '0' ? 0 : c == 'M' ? ERROR_NOT_ENOUGH_MEMORY : c == 'N' ? ERROR_FILE_NOT_FOUND
                                 : c == 'H' ? HRESULT_FROM_WIN32(kError) : kError;
            SCOPED_TRACE(testing::Message() << op.outcomes << " call " << n);
            Take();
            Faults faults;
            faults.FailNth(static_cast<int>(n), kError);
            EXPECT_EQ(expected, op.run());
            EXPECT_EQ(n < strlen(op.outcomes), faults.Failed());
            EXPECT_EQ(op.lines(c, expected), Take());
            EXPECT_EQ(0, faults.Held("key") + faults.Held("heap"));
        }
}

}  // namespace
