// Directory trees, the access grant, special folders, registry key paths and
// the configuration file, on the prefix's own file system and registry; the
// system calls behind them failed one at a time through the import table.
// The cases and the exact traces they write are in fsreg_test.cases.
#include <aclapi.h>
#include <gtest/gtest.h>
#include <rolm/fsreg.h>
#include <shlobj.h>
#include <shlwapi.h>

#include "faults.h"

using namespace rolm_test;
using Lines = std::vector<std::wstring>;

ROLM_STANDIN("kernel32.dll", GetFileAttributesW, Fails::Invalid, Role::None, "");
ROLM_STANDIN("kernel32.dll", CreateDirectoryW, Fails::False, Role::None, "");
ROLM_STANDIN("shell32.dll", SHGetFolderPathW, Fails::Hresult, Role::None, "");
ROLM_STANDIN("advapi32.dll", GetFileSecurityW, Fails::False, Role::None, "");
ROLM_STANDIN("msvcrt.dll", malloc, Fails::Null, Role::None, "");
ROLM_STANDIN("advapi32.dll", GetSecurityDescriptorDacl, Fails::False, Role::None, "");
ROLM_STANDIN("advapi32.dll", AllocateAndInitializeSid, Fails::False, Role::Open, "sid");
ROLM_STANDIN("advapi32.dll", FreeSid, Fails::Same, Role::Close, "sid");
ROLM_STANDIN("advapi32.dll", GetLengthSid, Fails::Null, Role::None, "");
ROLM_STANDIN("kernel32.dll", HeapAlloc, Fails::Null, Role::Open, "process heap block");
ROLM_STANDIN("kernel32.dll", HeapFree, Fails::False, Role::Close, "process heap block");
ROLM_STANDIN("advapi32.dll", CopySid, Fails::False, Role::None, "");
ROLM_STANDIN("advapi32.dll", SetEntriesInAclW, Fails::Code, Role::Open, "access list");
ROLM_STANDIN("kernel32.dll", LocalFree, Fails::Same, Role::Close, "access list");
ROLM_STANDIN("advapi32.dll", InitializeSecurityDescriptor, Fails::False, Role::None, "");
ROLM_STANDIN("advapi32.dll", SetSecurityDescriptorDacl, Fails::False, Role::None, "");
ROLM_STANDIN("advapi32.dll", SetFileSecurityW, Fails::False, Role::None, "");
ROLM_STANDIN("msvcrt.dll", calloc, Fails::Null, Role::None, "");
ROLM_STANDIN("advapi32.dll", RegCreateKeyExW, Fails::Code, Role::Open, "key");
ROLM_STANDIN("advapi32.dll", RegOpenKeyExW, Fails::Code, Role::Open, "key");
ROLM_STANDIN("advapi32.dll", RegCloseKey, Fails::Code, Role::Close, "key");
ROLM_STANDIN("kernel32.dll", GetModuleHandleW, Fails::Null, Role::None, "");
ROLM_STANDIN("kernel32.dll", GetModuleFileNameW, Fails::Null, Role::None, "");
ROLM_STANDIN("shlwapi.dll", PathFileExistsW, Fails::False, Role::None, "");

namespace {

// The world group's access entry with a mask and inheritance, as its bytes.
std::string World(ACCESS_MASK mask, BYTE flags) {
    const SID world = {SID_REVISION, 1, SECURITY_WORLD_SID_AUTHORITY, {SECURITY_WORLD_RID}};
    const struct { ACE_HEADER h; ACCESS_MASK m; SID s; } ace = {{ACCESS_ALLOWED_ACE_TYPE, flags, 20}, mask, world};
    return std::string(reinterpret_cast<const char*>(&ace), sizeof ace);
}

// SetFileSecurityW's calls (Wine keeps no access list): the path, marked unless the new list holds g_world
// and one entry more than the list the path has (the entries there are granted to, not replaced).
std::string g_world;  // the entry wanted
Lines g_written;
BOOL WINAPI CaptureSetFileSecurity(LPCWSTR path, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR descriptor) {
    BOOL present = FALSE, defaulted = FALSE;
    bool world = false;
    PACL dacl = nullptr, old = nullptr;
    PSECURITY_DESCRIPTOR before = nullptr;
    ::GetNamedSecurityInfoW(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &old, nullptr, &before);
    const OwnLocal owner(before);
    ACE_HEADER* ace = nullptr;
    ::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    for (DWORD i = 0; dacl != nullptr && ::GetAce(dacl, i, reinterpret_cast<void**>(&ace)); ++i)
        world |= std::string(reinterpret_cast<char*>(ace), ace->AceSize) == g_world;
    const bool granted = world && old != nullptr && dacl->AceCount == old->AceCount + 1;
    g_written.push_back((granted ? L"" : L"lacking ") + std::wstring(path));
    return TRUE;  // what the system would make of it does not matter
}

// The first report of SHGetFolderPathW replaced (S_OK: the system's own); the calls counted, the last one's
// folder kept.
HRESULT g_first;
int g_folder, g_asked;
HRESULT WINAPI ReportFolder(HWND owner, int folder, HANDLE token, DWORD flags, LPWSTR path) {
    g_folder = folder;
    if (++g_asked == 1 && g_first != S_OK) return g_first;
    const FARPROC real = ::GetProcAddress(::GetModuleHandleW(L"shell32.dll"), "SHGetFolderPathW");
    return reinterpret_cast<decltype(&ReportFolder)>(reinterpret_cast<void*>(real))(owner, folder, token, flags, path);
}

// The running program's name as the XP generation gives it: one that does not fit is cut, unterminated.
wchar_t g_program[MAX_PATH];
DWORD WINAPI ProgramName(HMODULE, LPWSTR buffer, DWORD size) {
    const DWORD length = static_cast<DWORD>(wcslen(g_program));
    const DWORD copied = size < length + 1 ? size : length + 1;
    wmemcpy(buffer, g_program, copied);
    return copied > length ? length : size;
}

// The test's key under HKEY_CURRENT_USER, deleted with its sub keys afterwards.
struct TestKey : OwnKey {
    const std::wstring name = L"Software\\rolm-test-" + std::to_wstring(::GetCurrentProcessId());
    TestKey() {
        ::SHDeleteKeyW(HKEY_CURRENT_USER, name.c_str());  // left by an earlier run under the same process id
        HKEY key = nullptr;
        ::RegCreateKeyExW(HKEY_CURRENT_USER, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
        reset(key);
    }
    ~TestKey() { ::SHDeleteKeyW(HKEY_CURRENT_USER, name.c_str()); }  // closed after it is gone
};

// The calls of the cases, under a folder and a key of the test's own. Trees are refused whole or made top down;
// the grant is asked for every time (a failed one on a missing tree adds no line) and written to the last level
// only, keeping what was there. Two callers making the same tree at once meet a level made between a look and a
// create: the torture's failing look makes one too. A known folder reported missing is created. Key paths are
// made with the caller's options and access at every level. The ini file is named by the last dot of the path.
TEST(Fsreg, CallsGiveTheirResultsAndTraces) {
    const std::vector<Case> cases = Cases("calls");  // before the program's name is the test's
    TempDir dir;
    TestKey root;
    WCHAR favorites[MAX_PATH] = L"";
    EXPECT_EQ(E_INVALIDARG, GetFolderPath(CSIDL_WINDOWS, nullptr));
    ASSERT_EQ(S_OK, ::SHGetFolderPathW(nullptr, CSIDL_FAVORITES | CSIDL_FLAG_CREATE, nullptr, 0, favorites));
    RemoveTree(favorites);  // the first case asks the system for the removed folder
    ASSERT_TRUE(WriteFileBytes(dir / L"f", "x"));
    ASSERT_TRUE(WriteFileBytes(dir / L"there.ini", ""));
    ASSERT_TRUE(::CreateDirectoryW((dir / L"dir.ini").c_str(), nullptr));
    // Two levels, the last filling the path up; two key levels of 250 characters.
    const std::wstring d = dir / std::wstring(100, L'd'), g = dir / std::wstring(100, L'g');
    const Values values = {{L"{dir}", dir.path()}, {L"{g}", g}, {L"{favorites}", favorites},
                           {L"{longer}", g + L"\\" + std::wstring(MAX_PATH - 1 - g.size(), L'f')},
                           {L"{long}", d + L"\\" + std::wstring(MAX_PATH - 2 - d.size(), L'f')},
                           {L"{deep}", std::wstring(250, L'k') + L"\\" + std::wstring(250, L'k') + L"\\"}};
    ImportPatch grants("advapi32.dll", "SetFileSecurityW", reinterpret_cast<void*>(&CaptureSetFileSecurity));
    ImportPatch folders("shell32.dll", "SHGetFolderPathW", reinterpret_cast<void*>(&ReportFolder));
    ImportPatch names("kernel32.dll", "GetModuleFileNameW", reinterpret_cast<void*>(&ProgramName));
    RunCases(cases, values, [&](const Case& c) {
        const std::string call = c.Get("call");
        const std::wstring path = Expand(c.Text("path"), values);
        const LPCWSTR given = c.Get("path") == "~" ? nullptr : path.c_str();
        g_world = World(c.Number("mask"), BYTE(c.Number("flags")));
        g_written.clear();
        g_first = HRESULT(c.Number("first"));
        g_asked = g_folder = 0;
        wcscpy(g_program, (dir / c.Text("program")).c_str());
        std::vector<WCHAR> buffer(dir.path().size() + 1 + c.Number("capacity"), L'#');
        const DWORD size = c.Get("size").empty() ? static_cast<DWORD>(buffer.size()) : c.Number("size");
        HKEY key = HKEY(0xBAD);
        const bool place = c.Get("key") != "0";
        DWORD disposition = 0;
        ::SetLastError(0);
        const DWORD result =
            call == "CreateDirectoryTree" ? CreateDirectoryTree(given)
            : call == "AddAccessRights"   ? AddAccessRights(given, c.Number("mask"), BYTE(c.Number("flags")))
            : call == "GetFolderPath"     ? DWORD(GetFolderPath(CSIDL_FAVORITES, favorites))
            : call == "GetIniFile"        ? GetIniFile(c.Get("buffer") == "~" ? nullptr : buffer.data(), size)
            : call == "CreateRegKeys" ? DWORD(CreateRegKeys(root.get(), given, c.Number("options"), KEY_ALL_ACCESS,
                                                            place ? &key : nullptr, &disposition))
                                      : CreateDirectories(given, 1);
        OwnKey owned(call == "CreateRegKeys" && result == 0 ? key : nullptr);
        EXPECT_TRUE(c.Get("error").empty() || c.Number("error") == ::GetLastError()) << "the last error";
        EXPECT_EQ(c.Number("granted") ? Lines{path} : Lines{}, g_written) << "the grant written";
        EXPECT_TRUE(c.Get("made").empty() || ::PathIsDirectoryW(Expand(c.Text("made"), values).c_str())) << "made";
        EXPECT_TRUE(c.Get("absent").empty() || !::PathFileExistsW(Expand(c.Text("absent"), values).c_str())) << "gone";
        EXPECT_EQ(c.Number("asked"), DWORD(g_asked)) << "the folder asked for";
        EXPECT_EQ(c.Number("folder"), DWORD(g_folder)) << "the last folder asked for";
        EXPECT_TRUE(result != 87 || buffer[0] == L'#') << "a refused buffer untouched";
        EXPECT_EQ(c.Number("disposition"), disposition) << "the disposition";
        EXPECT_TRUE(call != "CreateRegKeys" || result == 0 || key == (place ? nullptr : HKEY(0xBAD))) << "no key";
        EXPECT_EQ(call == "CreateRegKeys" && result == 0 ? 0 : ERROR_INVALID_HANDLE,
                  ::RegSetValueExW(key, L"v", 0, REG_SZ, nullptr, 0)) << "the key handed back is open for writing";
        const std::wstring check = c.Text("check");  // untraced
        const LPCWSTR checked = check == L"~" ? nullptr : check.c_str();
        EXPECT_TRUE(check.empty() || LONG(c.Number("checked")) == CheckRegKey(root.get(), checked)) << "checked";
        return result;
    });
    Lines().swap(g_written);  // the globals' blocks go with the test
    std::string().swap(g_world);
}

// Each system call failed in turn (19 stands for the injected error): every failure is reported, and nothing
// is left held.
TEST(Fsreg, EveryCallFailedInTurnIsReportedAndReleases) {
    TempDir dir;
    TestKey root;
    const std::wstring tree = dir / L"T\\A", top = dir / L"T", level(250, L'k');
    const std::wstring keys = level + L"\\" + level + L"\\" + std::wstring(10, L'k');  // too long for the stack copy
    wchar_t self[MAX_PATH], buffer[MAX_PATH];
    const std::wstring ini = std::wstring(self, ::GetModuleFileNameW(nullptr, self, MAX_PATH) - 3) + L"ini";
    const Values values = {{L"{tree}", tree}, {L"{keys}", keys}, {L"{ini}", ini}};
    const std::pair<const char*, std::function<Outcome()>> operations[] = {
        {"Tree", [&] {
             ::RemoveDirectoryW(tree.c_str());
             ::RemoveDirectoryW(top.c_str());
             return Outcome{CreateDirectories(tree.c_str(), 1), 0};
         }},
        {"CreateRegKeysFailing", [&] {
             ::SHDeleteKeyW(root.get(), level.c_str());
             HKEY made = nullptr;
             const LONG error = CreateRegKeys(root.get(), keys.c_str(), 0, KEY_ALL_ACCESS, &made, nullptr);
             const OwnKey owner(made);
             return Outcome{static_cast<DWORD>(error), made != nullptr};
         }},
        {"CheckRegKey", [&] { return Outcome{static_cast<DWORD>(CheckRegKey(HKEY_CURRENT_USER, L"Software")), 0}; }},
        {"IniFileFailing", [&] { return Outcome{GetIniFile(buffer, MAX_PATH), 0}; }}};
    Faults faults;
    for (const auto& [section, operation] : operations) {
        SCOPED_TRACE(section);
        TortureTable(faults, 19, Failures(section, values), operation);
    }
}

TEST(Fsreg, EveryCallThatCanFailHasAStandIn) { EXPECT_TRUE(StandInsCover({"fsreg"})); }

}  // namespace
