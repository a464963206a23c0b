#include <rolm/fsreg.h>
#include <rolm/trace.h>
#include <shlwapi.h>
#include <wchar.h>

namespace {

// The path beside the executable in the buffer, and what exists there.
DWORD BuildIniPath(LPWSTR buffer, DWORD capacity) {
    if (buffer == nullptr || capacity == 0) return ERROR_INVALID_PARAMETER;
    buffer[0] = L'\0';  // the trace shows the buffer, whatever fails

    HMODULE executable = ::GetModuleHandleW(nullptr);
    if (executable == nullptr) return ::GetLastError();
    DWORD length = ::GetModuleFileNameW(executable, buffer, capacity);
    if (length == 0) {
        DWORD error = ::GetLastError();
        buffer[0] = L'\0';
        return error;
    }
    if (length >= capacity) {
        // The name was cut to fit (on the XP generation without a
        // terminator): a path built from it would name another file.
        buffer[capacity - 1] = L'\0';
        return ERROR_INSUFFICIENT_BUFFER;
    }

    // The last "." of the whole path counts, even one in a folder name.
    WCHAR* dot = wcsrchr(buffer, L'.');
    const WCHAR* extension = dot != nullptr ? L"ini" : L".ini";
    size_t at = dot != nullptr ? static_cast<size_t>(dot - buffer) + 1 : length;
    size_t needed = wcslen(extension) + 1;
    if (needed > capacity - at) return ERROR_EXTENDED_ERROR;
    wmemcpy(buffer + at, extension, needed);

    return ::PathFileExistsW(buffer) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

}  // namespace

DWORD GetIniFile(LPWSTR lpszBuffer, DWORD dwCapacity) {
    DWORD error = BuildIniPath(lpszBuffer, dwCapacity);
    TraceWrite(L"GetIniFile > error == (%d), path == (%s)", error,
               lpszBuffer != nullptr && dwCapacity != 0 ? lpszBuffer : L"NULL");
    return error;
}
