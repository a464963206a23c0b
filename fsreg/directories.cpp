#include <rolm/fsreg.h>
#include <rolm/trace.h>

#include <shlobj.h>
#include <wchar.h>

BOOL CreateDirectoryTree(LPCWSTR lpszPath) {
    if (lpszPath == nullptr || lpszPath[0] == L'\0') {
        ::SetLastError(ERROR_BAD_PATHNAME);
        return FALSE;
    }
    // The private copy holds MAX_PATH characters with its terminator; a longer
    // path is refused rather than cut, so no other directory gets created.
    WCHAR copy[MAX_PATH];
    size_t length = wcsnlen(lpszPath, MAX_PATH);
    if (length >= MAX_PATH) {
        ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    wmemcpy(copy, lpszPath, length + 1);
    if (copy[length - 1] == L'\\') copy[--length] = L'\0';
    if (length == 0) {
        ::SetLastError(ERROR_BAD_PATHNAME);
        return FALSE;
    }

    // A file counts as existing, and so does the drive designator "C:" at
    // the top of the recursion.
    if (::GetFileAttributesW(copy) != INVALID_FILE_ATTRIBUTES) return TRUE;

    WCHAR* separator = wcsrchr(copy, L'\\');
    if (separator != nullptr) {
        *separator = L'\0';
        BOOL parent = CreateDirectoryTree(copy);
        *separator = L'\\';
        if (!parent) return FALSE;
    }
    // A caller creating the same tree at the same time may make the level
    // between our look and our create: it exists, which is all we want.
    return ::CreateDirectoryW(copy, nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS;
}

DWORD CreateDirectories(LPCWSTR lpszPath, DWORD dwGrant) {
    TraceWrite(L"CreateDirectories > (%s)", lpszPath != nullptr ? lpszPath : L"NULL");
    if (lpszPath == nullptr || wcsnlen(lpszPath, 4) < 4 || lpszPath[1] != L':' ||
        lpszPath[2] != L'\\')
        return ERROR_BAD_PATHNAME;

    DWORD error = ERROR_SUCCESS;
    if (!CreateDirectoryTree(lpszPath)) {
        error = ::GetLastError();
        if (error == ERROR_SUCCESS) error = ERROR_PATH_NOT_FOUND;
        TraceWrite(L"CreateDirectories > CreateDirectoryTree(%s) has failed -> error == %d",
                   lpszPath, error);
    }
    // The grant is tried even after a failed tree; its failure is reported
    // only when the tree's is not.
    if (dwGrant != 0 &&
        !AddAccessRights(lpszPath, GENERIC_ALL, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE) &&
        error == ERROR_SUCCESS) {
        error = ::GetLastError();
        if (error == ERROR_SUCCESS) error = ERROR_ACCESS_DENIED;
        TraceWrite(L"CreateDirectories > AddAccessRights(%s) has failed -> error == %d", lpszPath,
                   error);
    }
    return error;
}

HRESULT GetFolderPath(int nFolder, LPWSTR lpszPath) {
    if (lpszPath == nullptr) return E_INVALIDARG;
    HRESULT result = ::SHGetFolderPathW(nullptr, nFolder, nullptr, SHGFP_TYPE_CURRENT, lpszPath);
    // A known folder that is missing is reported as S_FALSE by the ANSI form
    // only; the wide form reports E_FAIL, and some implementations the
    // not-found errors. Asking again with the create flag makes the folder.
    // An unknown CSIDL (E_INVALIDARG) stays unknown, so it is not asked again.
    if (result == S_FALSE || result == E_FAIL ||
        result == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) ||
        result == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND))
        result = ::SHGetFolderPathW(nullptr, nFolder | CSIDL_FLAG_CREATE, nullptr,
                                    SHGFP_TYPE_CURRENT, lpszPath);
    return result;
}
