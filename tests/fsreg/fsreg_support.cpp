#include "fsreg_support.h"

#include <sddl.h>

namespace fsreg_test {

std::wstring ScratchDrive() {
    wchar_t value[8] = L"";
    DWORD n = ::GetEnvironmentVariableW(L"ROLM_SCRATCH_DRIVE", value, _countof(value));
    return n > 0 && n < _countof(value) ? value : L"";
}

std::wstring MissingDrive() {
    DWORD drives = ::GetLogicalDrives();
    for (wchar_t letter = L'Y'; letter >= L'D'; --letter)
        if ((drives & (1u << (letter - L'A'))) == 0) return std::wstring(1, letter) + L":";
    return L"";
}

bool ReadAllowEntries(const std::wstring& path, std::map<std::wstring, ACCESS_MASK>* entries) {
    entries->clear();
    DWORD needed = 0;
    ::GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    if (needed == 0) return false;
    std::string descriptor(needed, '\0');
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!::GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, &descriptor[0], needed,
                            &needed) ||
        !::GetSecurityDescriptorDacl(&descriptor[0], &present, &dacl, &defaulted))
        return false;
    for (DWORD i = 0; present && dacl != nullptr && i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (!::GetAce(dacl, i, reinterpret_cast<void**>(&ace)) ||
            ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE)
            continue;
        LPWSTR sid = nullptr;
        if (::ConvertSidToStringSidW(&ace->SidStart, &sid)) {
            (*entries)[sid] |= ace->Mask;
            ::LocalFree(sid);
        }
    }
    return true;
}

ImportPatch::ImportPatch(const char* dll, const char* function, void* replacement) {
    BYTE* base = reinterpret_cast<BYTE*>(::GetModuleHandleW(nullptr));
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* import = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
         dir.VirtualAddress != 0 && import->Name != 0; ++import) {
        if (_stricmp(reinterpret_cast<const char*>(base + import->Name), dll) != 0) continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0) continue;
            DWORD old = 0;
            void** slot = reinterpret_cast<void**>(&slots->u1.Function);
            if (!::VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &old)) return;
            original_ = *slot;
            *slot = replacement;
            ::VirtualProtect(slot, sizeof(void*), old, &old);
            slot_ = slot;
            return;
        }
    }
}

ImportPatch::~ImportPatch() {
    if (slot_ == nullptr) return;
    DWORD old = 0;
    ::VirtualProtect(slot_, sizeof(void*), PAGE_READWRITE, &old);
    *slot_ = original_;
    ::VirtualProtect(slot_, sizeof(void*), old, &old);
}

DWORD RunCopy(const std::wstring& program, const std::wstring& verbAndArgs) {
    // The program is named apart from the command line: a name without
    // extension would otherwise be searched for with ".exe" added.
    std::wstring line = L"\"" + program + L"\" --child " + verbAndArgs;
    STARTUPINFOW si = {sizeof si};
    PROCESS_INFORMATION pi = {};
    if (!::CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &si, &pi))
        return ~0u;
    DWORD code = ~0u;
    if (::WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0)
        ::GetExitCodeProcess(pi.hProcess, &code);
    else
        ::TerminateProcess(pi.hProcess, ~0u);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    return code;
}

}  // namespace fsreg_test
