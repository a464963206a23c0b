#include <rolm/fsreg.h>
#include <rolm/trace.h>
#include <stdlib.h>
#include <strsafe.h>

#include "common/unique.h"

namespace {

const size_t kStackCopyBytes = 1024;

// Creates or opens each level of the path in turn; the key of the last one
// goes to *result.
LONG WalkKeyPath(HKEY root, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result,
                 LPDWORD disposition) {
    if (result != nullptr) *result = nullptr;
    if (subKey == nullptr || subKey[0] == L'\0' || subKey[0] == L'\\') return ERROR_BAD_PATHNAME;
    if (result == nullptr) return ERROR_INVALID_PARAMETER;

    // The working copy: room for the path, one added "\" and the terminator.
    size_t length = wcslen(subKey);
    size_t capacity = length + 2;
    WCHAR stackCopy[kStackCopyBytes / sizeof(WCHAR)];
    rolm::UniqueCHeapBlock heapCopy;
    WCHAR* copy = stackCopy;
    if (capacity * sizeof(WCHAR) > kStackCopyBytes) {
        heapCopy.reset(::calloc(capacity, sizeof(WCHAR)));
        copy = static_cast<WCHAR*>(heapCopy.get());
        if (copy == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    }
    if (FAILED(::StringCchCopyW(copy, capacity, subKey))) return ERROR_INSUFFICIENT_BUFFER;

    // Every level, the last included, ends with "\".
    if (copy[length - 1] != L'\\') {
        copy[length] = L'\\';
        copy[length + 1] = L'\0';
    }

    // The key of the level reached; empty while at the caller's root, which
    // is never closed. Replacing it closes the level above, so at most two
    // keys are open at once.
    rolm::UniqueKey current;
    DWORD lastDisposition = 0;
    WCHAR* level = copy;
    for (WCHAR* separator = wcschr(level, L'\\'); separator != nullptr;
         separator = wcschr(level, L'\\')) {
        *separator = L'\0';
        HKEY created = nullptr;
        LONG error = ::RegCreateKeyExW(current ? current.get() : root, level, 0,
                                       const_cast<LPWSTR>(L""), options, access, nullptr,
                                       &created, &lastDisposition);
        current.reset(error == ERROR_SUCCESS ? created : nullptr);
        if (error != ERROR_SUCCESS) return error;
        level = separator + 1;
    }

    *result = current.release();
    if (disposition != nullptr) *disposition = lastDisposition;
    return ERROR_SUCCESS;
}

}  // namespace

LONG CreateRegKeys(HKEY hRoot, LPCWSTR lpszSubKey, DWORD dwOptions, REGSAM samDesired,
                   PHKEY phkResult, LPDWORD lpdwDisposition) {
    LONG error = WalkKeyPath(hRoot, lpszSubKey, dwOptions, samDesired, phkResult, lpdwDisposition);
    if (error != ERROR_SUCCESS)
        TraceWrite(L"CreateRegKeys > returns error %d for the key %s", error,
                   lpszSubKey != nullptr ? lpszSubKey : L"NULL");
    return error;
}

LONG CheckRegKey(HKEY hRoot, LPCWSTR lpszSubKey) {
    if (lpszSubKey == nullptr) return ERROR_BADKEY;
    rolm::UniqueKey key;
    return ::RegOpenKeyExW(hRoot, lpszSubKey, 0, KEY_QUERY_VALUE, key.put());
}
