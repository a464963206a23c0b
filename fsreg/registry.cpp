#include <rolm/fsreg.h>
#include <rolm/trace.h>
#include <stdlib.h>
#include <strsafe.h>

#include "common/unique.h"

namespace {
const size_t kStackCopyBytes = 1024;
}

LONG CreateRegKeys(HKEY hRoot, LPCWSTR lpszSubKey, DWORD dwOptions, REGSAM samDesired,
                   PHKEY phkResult, LPDWORD lpdwDisposition) {
    LONG error = ERROR_SUCCESS;
    WCHAR stackCopy[kStackCopyBytes / sizeof(WCHAR)];
    rolm::UniqueCHeapBlock heapCopy;
    WCHAR* copy = nullptr;
    size_t length = 0, capacity = 0;

    if (lpszSubKey == nullptr || lpszSubKey[0] == L'\0' || lpszSubKey[0] == L'\\') {
        error = ERROR_BAD_PATHNAME;
    } else if (phkResult == nullptr) {
        error = ERROR_INVALID_PARAMETER;
    } else {
        // Room for the path, one added "\" and the terminator.
        length = wcslen(lpszSubKey);
        capacity = length + 2;
        if (capacity * sizeof(WCHAR) <= kStackCopyBytes) {
            copy = stackCopy;
        } else {
            heapCopy.reset(::calloc(capacity, sizeof(WCHAR)));
            copy = static_cast<WCHAR*>(heapCopy.get());
            if (copy == nullptr) error = ERROR_NOT_ENOUGH_MEMORY;
        }
        if (copy != nullptr && FAILED(::StringCchCopyW(copy, capacity, lpszSubKey)))
            error = ERROR_INSUFFICIENT_BUFFER;
    }

    if (error == ERROR_SUCCESS) {
        *phkResult = nullptr;
        // Every level, the last included, ends with "\".
        if (copy[length - 1] != L'\\') {
            copy[length] = L'\\';
            copy[length + 1] = L'\0';
        }
        // The key of the level reached; empty while at the caller's root,
        // which is never closed. Replacing it closes the level above, so at
        // most two keys are open at once.
        rolm::UniqueKey current;
        DWORD disposition = 0;
        WCHAR* level = copy;
        for (WCHAR* separator = wcschr(level, L'\\'); separator != nullptr;
             separator = wcschr(level, L'\\')) {
            *separator = L'\0';
            HKEY created = nullptr;
            error = ::RegCreateKeyExW(current ? current.get() : hRoot, level, 0,
                                      const_cast<LPWSTR>(L""), dwOptions, samDesired, nullptr,
                                      &created, &disposition);
            current.reset(error == ERROR_SUCCESS ? created : nullptr);
            if (error != ERROR_SUCCESS) break;
            level = separator + 1;
        }
        if (error == ERROR_SUCCESS) {
            *phkResult = current.release();
            if (lpdwDisposition != nullptr) *lpdwDisposition = disposition;
        }
    }

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
