#include <rolm/fsreg.h>
#include <rolm/trace.h>
#include <shlwapi.h>
#include <wchar.h>

DWORD GetIniFile(LPWSTR lpszBuffer, DWORD dwCapacity) {
    DWORD error = ERROR_SUCCESS;
    HMODULE executable = nullptr;
    DWORD length = 0;

    if (lpszBuffer == nullptr || dwCapacity == 0) {
        error = ERROR_INVALID_PARAMETER;
    } else if ((executable = ::GetModuleHandleW(nullptr)) == nullptr) {
        error = ::GetLastError();
    } else if ((length = ::GetModuleFileNameW(executable, lpszBuffer, dwCapacity)) == 0) {
        error = ::GetLastError();
        lpszBuffer[0] = L'\0';
    } else if (length >= dwCapacity) {
        // The name was cut to fit (and on the XP generation left without a
        // terminator): a path built from it would name another file.
        lpszBuffer[dwCapacity - 1] = L'\0';
        error = ERROR_INSUFFICIENT_BUFFER;
    } else {
        // The last "." of the whole path counts, even in a folder name.
        WCHAR* dot = wcsrchr(lpszBuffer, L'.');
        const WCHAR* extension = dot != nullptr ? L"ini" : L".ini";
        size_t at = dot != nullptr ? static_cast<size_t>(dot - lpszBuffer) + 1 : length;
        size_t room = dwCapacity - at;  // characters left for the extension and terminator
        size_t needed = wcslen(extension) + 1;
        if (needed > room) {
            error = ERROR_EXTENDED_ERROR;
        } else {
            wmemcpy(lpszBuffer + at, extension, needed);
            error = ::PathFileExistsW(lpszBuffer) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
        }
    }

    TraceWrite(L"GetIniFile > error == (%d), path == (%s)", error,
               lpszBuffer != nullptr && dwCapacity != 0 ? lpszBuffer : L"NULL");
    return error;
}
