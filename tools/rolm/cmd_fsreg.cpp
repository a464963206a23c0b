// rolm mkdir / grant / folder / regkey / checkkey / ini
#include <rolm/fsreg.h>
#include <shlobj.h>

#include "cli.h"

namespace {

enum { kMkdir, kGrant, kFolder, kRegKey, kCheckKey, kIni };
extern const cli::Command kCommands[];

// A positional-only command: exactly `count` words and nothing unknown.
bool Words(cli::Args& args, size_t count) {
    std::wstring word;
    return args.count() == count && !args.unused(&word);
}

int RunMkdir(cli::Args& args) {
    DWORD grant = args.flag(L"--grant") ? 1 : 0;
    if (!Words(args, 1)) return cli::Usage(kCommands[kMkdir]);
    DWORD error = CreateDirectories(args.at(0), grant);
    if (error != 0) return cli::Fail(L"CreateDirectories", error);
    cli::Print(L"%s\n", args.at(0));
    return 0;
}

int RunGrant(cli::Args& args) {
    DWORD mask = GENERIC_ALL, inherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    if (!args.number(L"--mask", &mask) || !args.number(L"--inherit", &inherit) || inherit > 0xFF ||
        !Words(args, 1))
        return cli::Usage(kCommands[kGrant]);
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
    if (!Words(args, 1)) return cli::Usage(kCommands[kFolder]);
    unsigned long long folder = 0;
    bool known = cli::Args::ParseNumber(args.at(0), &folder);
    for (const Named& named : kFolders)
        if (!known && _wcsicmp(named.name, args.at(0)) == 0) {
            folder = named.value;
            known = true;
        }
    if (!known) return cli::Usage(kCommands[kFolder]);
    WCHAR path[MAX_PATH] = L"";
    HRESULT result = GetFolderPath(static_cast<int>(folder), path);
    if (FAILED(result)) {
        cli::PrintError(L"GetFolderPath: HRESULT 0x%08lX\n", static_cast<unsigned long>(result));
        return static_cast<int>(result);
    }
    cli::Print(L"%s\n", path);
    return 0;
}

const Named kRoots[] = {
    {L"HKCU", 0}, {L"HKEY_CURRENT_USER", 0}, {L"HKLM", 1}, {L"HKEY_LOCAL_MACHINE", 1},
    {L"HKCR", 2}, {L"HKEY_CLASSES_ROOT", 2}, {L"HKU", 3},  {L"HKEY_USERS", 3},
};

// "ROOT\sub\key": the predefined root and what follows its "\" (which may be
// empty, left for the library to judge). False for an unknown root.
bool SplitKey(const wchar_t* text, HKEY* root, const wchar_t** subKey) {
    const HKEY roots[] = {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT, HKEY_USERS};
    const wchar_t* separator = wcschr(text, L'\\');
    size_t length = separator != nullptr ? static_cast<size_t>(separator - text) : wcslen(text);
    for (const Named& named : kRoots)
        if (wcslen(named.name) == length && _wcsnicmp(named.name, text, length) == 0) {
            *root = roots[named.value];
            *subKey = separator != nullptr ? separator + 1 : text + length;
            return true;
        }
    return false;
}

int RunRegKey(cli::Args& args) {
    DWORD options = args.flag(L"--volatile") ? REG_OPTION_VOLATILE : REG_OPTION_NON_VOLATILE;
    HKEY root = nullptr;
    const wchar_t* subKey = nullptr;
    if (!Words(args, 1) || !SplitKey(args.at(0), &root, &subKey))
        return cli::Usage(kCommands[kRegKey]);
    HKEY key = nullptr;
    DWORD disposition = 0;
    LONG error = CreateRegKeys(root, subKey, options, KEY_READ | KEY_WRITE, &key, &disposition);
    if (error != ERROR_SUCCESS) return cli::Fail(L"CreateRegKeys", static_cast<DWORD>(error));
    ::RegCloseKey(key);
    cli::Print(L"%s %s%s\n", disposition == REG_CREATED_NEW_KEY ? L"created" : L"opened",
               args.at(0), options == REG_OPTION_VOLATILE ? L" (volatile)" : L"");
    return 0;
}

int RunCheckKey(cli::Args& args) {
    HKEY root = nullptr;
    const wchar_t* subKey = nullptr;
    if (!Words(args, 1) || !SplitKey(args.at(0), &root, &subKey))
        return cli::Usage(kCommands[kCheckKey]);
    LONG error = CheckRegKey(root, subKey);
    if (error != ERROR_SUCCESS) return cli::Fail(L"CheckRegKey", static_cast<DWORD>(error));
    cli::Print(L"%s exists\n", args.at(0));
    return 0;
}

int RunIni(cli::Args& args) {
    if (!Words(args, 0)) return cli::Usage(kCommands[kIni]);
    WCHAR path[MAX_PATH] = L"";
    DWORD error = GetIniFile(path, MAX_PATH);
    if (error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND)
        cli::Print(L"%s (%s)\n", path, error == ERROR_SUCCESS ? L"exists" : L"missing");
    if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND)
        return cli::Fail(L"GetIniFile", error);
    return static_cast<int>(error);
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
