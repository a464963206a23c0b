#include <aclapi.h>
#include <rolm/fsreg.h>
#include <rolm/trace.h>
#include <stdlib.h>

#include "common/unique.h"

namespace {

// The path's security descriptor with its access list, in a block of the C
// heap; empty on failure, with the last error telling why (traced unless the
// first call already failed, as it does for a path that does not exist).
rolm::UniqueCHeapBlock ReadDescriptor(LPCWSTR lpszPath) {
    // The first call only reports the size the descriptor needs.
    DWORD needed = 0;
    ::GetFileSecurityW(lpszPath, DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    if (needed == 0) return rolm::UniqueCHeapBlock();

    rolm::UniqueCHeapBlock descriptor(::malloc(needed));
    if (!descriptor || !::GetFileSecurityW(lpszPath, DACL_SECURITY_INFORMATION,
                                           descriptor.get(), needed, &needed)) {
        DWORD error = descriptor ? ::GetLastError() : ERROR_NOT_ENOUGH_MEMORY;
        TraceWrite(L"AddAccessRights()->GetFileSecurity failed!");
        ::SetLastError(error);
        return rolm::UniqueCHeapBlock();
    }
    return descriptor;
}

// The world group's SID, moved from the system's block to one of the process
// heap; 0 or the error that prevented it.
DWORD CopyWorldSid(rolm::UniqueProcessHeapBlock* world) {
    SID_IDENTIFIER_AUTHORITY worldAuthority = SECURITY_WORLD_SID_AUTHORITY;
    PSID built = nullptr;
    if (!::AllocateAndInitializeSid(&worldAuthority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0,
                                    &built))
        return ::GetLastError();
    DWORD error = ERROR_SUCCESS;
    DWORD length = ::GetLengthSid(built);
    world->reset(::HeapAlloc(::GetProcessHeap(), 0, length));
    if (!*world) error = ERROR_NOT_ENOUGH_MEMORY;
    else if (!::CopySid(length, world->get(), built)) {
        error = ::GetLastError();
        world->reset();
    }
    ::FreeSid(built);
    return error;
}

}  // namespace

BOOL AddAccessRights(LPCWSTR lpszPath, ACCESS_MASK dwAccessMask, BYTE bInheritance) {
    if (lpszPath == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    rolm::UniqueCHeapBlock descriptor = ReadDescriptor(lpszPath);
    if (!descriptor) return FALSE;

    // No access list in the descriptor: the merge starts from an empty one.
    BOOL present = FALSE, defaulted = FALSE;
    PACL current = nullptr;
    if (!::GetSecurityDescriptorDacl(descriptor.get(), &present, &current, &defaulted) || !present)
        current = nullptr;

    rolm::UniqueProcessHeapBlock world;
    DWORD sidError = CopyWorldSid(&world);

    EXPLICIT_ACCESS_W grant = {};
    grant.grfAccessPermissions = dwAccessMask;
    grant.grfAccessMode = GRANT_ACCESS;
    grant.grfInheritance = bInheritance;
    grant.Trustee.pMultipleTrustee = nullptr;
    grant.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
    grant.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    grant.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    grant.Trustee.ptstrName = static_cast<LPWSTR>(world.get());

    // Without a SID the merge is not asked for: the system would read through
    // the null trustee.
    PACL mergedList = nullptr;
    DWORD error = world ? ::SetEntriesInAclW(1, &grant, current, &mergedList) : sidError;
    rolm::UniqueLocal merged(mergedList);
    if (error != ERROR_SUCCESS) {
        TraceWrite(L"AddAccessRights()->SetEntriesInAcl() failed!");
        ::SetLastError(error);
        return FALSE;
    }

    SECURITY_DESCRIPTOR updated;
    if (!::InitializeSecurityDescriptor(&updated, SECURITY_DESCRIPTOR_REVISION)) return FALSE;
    // Once the descriptor is built the result is TRUE, whatever the system
    // makes of it.
    if (::SetSecurityDescriptorDacl(&updated, TRUE, mergedList, FALSE))
        ::SetFileSecurityW(lpszPath, DACL_SECURITY_INFORMATION, &updated);
    return TRUE;
}
