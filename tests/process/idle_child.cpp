// A windowed program for the input-idle wait (console programs have no
// input-idle state to wait for): "process_idle_child FILE MS" sleeps half a
// second, writes its command line to FILE, then serves a window for MS.
#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include "common/unique.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    if (__argc < 3) return 87;
    ::Sleep(500);  // long enough for a launcher that does not wait to return first
    rolm::UniqueFile out(::CreateFileA(__argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    ::WriteFile(out.get(), ::GetCommandLineA(), static_cast<DWORD>(strlen(::GetCommandLineA())), &written, nullptr);
    out.reset();
    ::CreateWindowExW(0, L"STATIC", L"rolm child", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
    DWORD end = ::GetTickCount() + strtoul(__argv[2], nullptr, 10);
    for (DWORD now = ::GetTickCount(); static_cast<LONG>(end - now) > 0; now = ::GetTickCount()) {
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, end - now, QS_ALLINPUT);
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
    }
    return 0;
}
