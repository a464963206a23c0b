// rolm mkdir / grant / folder / regkey / checkkey / ini
#include <rolm/fsreg.h>
#include <shlobj.h>

#include <limits.h>

#include <string>

#include "cli.h"
#include "common/unique.h"

namespace {

int RunMkdir(cli::Args& args) {
    DWORD grant = args.flag(L"--grant") ? 1 : 0;
    if (!args.Ready(1, 1)) return cli::kUsage;
    DWORD error = CreateDirectories(args.at(0), grant);
    if (error != 0) return cli::Fail(L"CreateDirectories", error);
    cli::Print(L"%s\n", args.at(0));
    return 0;
}

int RunGrant(cli::Args& args) {
    DWORD mask = GENERIC_ALL, inherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    if (!args.number(L"--mask", &mask) || !args.number(L"--inherit", &inherit, 0xFF) ||
        !args.Ready(1, 1))
        return cli::kUsage;
    if (!AddAccessRights(args.at(0), mask, static_cast<BYTE>(inherit)))
        return cli::Fail(L"AddAccessRights", ::GetLastError());
    cli::Print(L"granted 0x%08lX (inheritance %lu) to S-1-1-0 on %s\n", mask, inherit, args.at(0));
    return 0;
}

struct Named {
    const wchar_t* name;
    unsigned long value;
};

const Named kFolders[] = {
    {L"desktop", CSIDL_DESKTOPDIRECTORY}, {L"personal", CSIDL_PERSONAL},
    {L"appdata", CSIDL_APPDATA},          {L"localappdata", CSIDL_LOCAL_APPDATA},
    {L"commonappdata", CSIDL_COMMON_APPDATA}, {L"windows", CSIDL_WINDOWS},
    {L"system", CSIDL_SYSTEM},            {L"programfiles", CSIDL_PROGRAM_FILES},
};

int RunFolder(cli::Args& args) {
    if (!args.Ready(1, 1)) return cli::kUsage;
    unsigned long long folder = 0;
    const wchar_t* word = args.at(0);
    bool known = false;
    std::wstring names;
    for (const Named& named : kFolders) {
        names += (names.empty() ? L"" : L", ") + std::wstring(named.name);
        if (!known && _wcsicmp(named.name, word) == 0) {
            folder = named.value;
            known = true;
        }
    }
    if (!known && *word >= L'0' && *word <= L'9') {
        if (!args.word(0, L"CSIDL", INT_MAX, &folder)) return cli::kUsage;
        known = true;
    }
    if (!known) return args.Misuse(L"unknown folder name %s; known: %s", word, names.c_str());
    WCHAR path[MAX_PATH] = L"";
    HRESULT result = GetFolderPath(static_cast<int>(folder), path);
    if (FAILED(result)) return cli::Fail(L"GetFolderPath", static_cast<DWORD>(result));
    cli::Print(L"%s\n", path);
    return 0;
}

const Named kRoots[] = {
    {L"HKCU", 0}, {L"HKEY_CURRENT_USER", 0}, {L"HKLM", 1}, {L"HKEY_LOCAL_MACHINE", 1},
    {L"HKCR", 2}, {L"HKEY_CLASSES_ROOT", 2}, {L"HKU", 3},  {L"HKEY_USERS", 3},
};

// "ROOT\sub\key": the predefined root and what follows its "\" (which may be
// empty, left for the library to judge). False after a message for an unknown root.
bool SplitKey(cli::Args& args, HKEY* root, const wchar_t** subKey) {
    const wchar_t* text = args.at(0);
    const HKEY roots[] = {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT, HKEY_USERS};
    const wchar_t* separator = wcschr(text, L'\\');
    size_t length = separator != nullptr ? static_cast<size_t>(separator - text) : wcslen(text);
    for (const Named& named : kRoots)
        if (wcslen(named.name) == length && _wcsnicmp(named.name, text, length) == 0) {
            *root = roots[named.value];
            *subKey = separator != nullptr ? separator + 1 : text + length;
            return true;
        }
    args.Misuse(L"unknown root %.*s; use HKCU, HKLM, HKCR or HKU", static_cast<int>(length), text);
    return false;
}

int RunRegKey(cli::Args& args) {
    DWORD options = args.flag(L"--volatile") ? REG_OPTION_VOLATILE : REG_OPTION_NON_VOLATILE;
    HKEY root = nullptr;
    const wchar_t* subKey = nullptr;
    if (!args.Ready(1, 1) || !SplitKey(args, &root, &subKey)) return cli::kUsage;
    rolm::UniqueKey key;
    DWORD disposition = 0;
    LONG error = CreateRegKeys(root, subKey, options, KEY_READ | KEY_WRITE, key.put(), &disposition);
    if (error != ERROR_SUCCESS) return cli::Fail(L"CreateRegKeys", static_cast<DWORD>(error));
    cli::Print(L"%s %s%s\n", disposition == REG_CREATED_NEW_KEY ? L"created" : L"opened",
               args.at(0), options == REG_OPTION_VOLATILE ? L" (volatile)" : L"");
    return 0;
}

int RunCheckKey(cli::Args& args) {
    HKEY root = nullptr;
    const wchar_t* subKey = nullptr;
    if (!args.Ready(1, 1) || !SplitKey(args, &root, &subKey)) return cli::kUsage;
    LONG error = CheckRegKey(root, subKey);
    if (error != ERROR_SUCCESS) return cli::Fail(L"CheckRegKey", static_cast<DWORD>(error));
    cli::Print(L"%s exists\n", args.at(0));
    return 0;
}

int RunIni(cli::Args& args) {
    if (!args.Ready(0, 0)) return cli::kUsage;
    WCHAR path[MAX_PATH] = L"";
    DWORD error = GetIniFile(path, MAX_PATH);
    if (error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND)
        cli::Print(L"%s (%s)\n", path, error == ERROR_SUCCESS ? L"exists" : L"missing");
    return error != ERROR_SUCCESS ? cli::Fail(L"GetIniFile", error) : 0;
}

const cli::Command kCommands[] = {
    {L"mkdir", L"PATH [--grant]",
     L"create a directory with its parents (C:\\...); --grant opens it to all users", RunMkdir},
    {L"grant", L"PATH [--mask M] [--inherit F]",
     L"grant the world group access M (default GENERIC_ALL) with inheritance F (default 3)",
     RunGrant},
    {L"folder", L"CSIDL",
     L"print a special folder (number or desktop, personal, appdata, localappdata, "
     L"commonappdata, windows, system, programfiles), created when missing",
     RunFolder},
    {L"regkey", L"ROOT\\PATH [--volatile]",
     L"create or open every key along PATH under HKCU, HKLM, HKCR or HKU", RunRegKey},
    {L"checkkey", L"ROOT\\PATH", L"tell whether a registry key opens for reading", RunCheckKey},
    {L"ini", L"", L"print this program's configuration file path; exit 2 when it is missing",
     RunIni},
};

}  // namespace

const cli::CommandList cli::kFsregCommands = {kCommands, _countof(kCommands)};
