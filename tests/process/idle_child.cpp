// A windowed program for the input-idle wait (console programs have no
// input-idle state to wait for): "process_idle_child FILE MS" sleeps half a
// second, records its command line in FILE, then serves a window for MS.
#include <windows.h>

#include <shellapi.h>
#include <stdlib.h>
#include <wchar.h>

namespace {

// The command line as UTF-8, whole: written under a temporary name, then renamed.
void Record(const wchar_t* file) {
    char utf8[4096];
    int n = ::WideCharToMultiByte(CP_UTF8, 0, ::GetCommandLineW(), -1, utf8, sizeof utf8, nullptr, nullptr);
    wchar_t temp[MAX_PATH + 8];
    if (n <= 0 || wcslen(file) > MAX_PATH) return;
    wcscpy(temp, file);
    wcscat(temp, L".tmp");
    HANDLE out = ::CreateFileW(temp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    ::WriteFile(out, utf8, static_cast<DWORD>(n - 1), &written, nullptr);
    ::CloseHandle(out);
    ::MoveFileExW(temp, file, MOVEFILE_REPLACE_EXISTING);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    int argc = 0;
    LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    if (argv == nullptr || argc < 3) return 87;
    ::Sleep(500);  // long enough for a launcher that does not wait to return first
    Record(argv[1]);
    HWND window = ::CreateWindowExW(0, L"STATIC", L"rolm child", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100,
                                    nullptr, nullptr, nullptr, nullptr);
    DWORD end = ::GetTickCount() + wcstoul(argv[2], nullptr, 10);
    for (DWORD now = ::GetTickCount(); static_cast<LONG>(end - now) > 0; now = ::GetTickCount()) {
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, end - now, QS_ALLINPUT);
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
    }
    ::DestroyWindow(window);
    ::LocalFree(argv);
    return 0;
}
