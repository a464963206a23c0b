// rolmview.exe: a trace viewer. Its window of class "Qrv" holds the list box
// (control 120) that traced programs add their timed lines to; on request it
// also serves as the "Vellosk" and "Wendlook" receivers, and records every
// line it receives, with the sink it came through, to a UTF-8 file.
//
//   rolmview [--vellosk] [--wendlook] [--no-qrv] [--record FILE]
//            [--ready-event NAME] [--hidden]
//
// Record lines: SINK TAB dwData TAB cbData TAB hex-bytes TAB text LF, where
// SINK is qrv, vellosk or wendlook, the hex bytes are exactly what arrived
// (UTF-16LE with terminator for qrv) and "-" stands for fields a sink lacks.
#include <windows.h>
#include <commdlg.h>
#include <shellapi.h>

#include <string>
#include <vector>

namespace {

const int kListBoxId = 120;
enum { kMenuSave = 1, kMenuExit, kMenuCopy, kMenuClear, kMenuAutoScroll };

HWND g_main;
HWND g_list;
WNDPROC g_listProc;
bool g_autoScroll = true;
std::wstring g_recordPath;

std::string ToUtf8(const wchar_t* text, int chars) {
    std::string out;
    if (chars <= 0) return out;
    int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text, chars, nullptr, 0, nullptr, nullptr);
    out.resize(static_cast<size_t>(bytes));
    ::WideCharToMultiByte(CP_UTF8, 0, text, chars, &out[0], bytes, nullptr, nullptr);
    return out;
}

std::string Hex(const void* data, size_t bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    const unsigned char* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < bytes; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

// Appends one record line; the file is opened per line so that a reader can
// follow it while the viewer runs.
void Record(const char* sink, const std::string& dwData, const std::string& cbData,
            const std::string& hex, const std::string& text) {
    if (g_recordPath.empty()) return;
    std::string line = std::string(sink) + "\t" + dwData + "\t" + cbData + "\t" + hex + "\t";
    for (char c : text) line += (c == '\n' || c == '\r' || c == '\t') ? ' ' : c;
    line += "\n";
    HANDLE file = ::CreateFileW(g_recordPath.c_str(), FILE_APPEND_DATA,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    ::WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    ::CloseHandle(file);
}

// Adds a line for display without counting it as received through the list box.
void Show(const std::wstring& text) {
    if (g_list == nullptr) return;
    LRESULT index = ::CallWindowProcW(g_listProc, g_list, LB_ADDSTRING, 0,
                                      reinterpret_cast<LPARAM>(text.c_str()));
    if (g_autoScroll && index >= 0) ::CallWindowProcW(g_listProc, g_list, LB_SETTOPINDEX, index, 0);
}

LRESULT CALLBACK ListProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == LB_ADDSTRING && lParam != 0) {
        const wchar_t* text = reinterpret_cast<const wchar_t*>(lParam);
        int chars = lstrlenW(text);
        Record("qrv", "-", "-", Hex(text, (chars + 1) * sizeof(wchar_t)), ToUtf8(text, chars));
        LRESULT index = ::CallWindowProcW(g_listProc, window, message, wParam, lParam);
        if (g_autoScroll && index >= 0) ::CallWindowProcW(g_listProc, window, LB_SETTOPINDEX, index, 0);
        return index;
    }
    return ::CallWindowProcW(g_listProc, window, message, wParam, lParam);
}

// Copy-data from a traced program. Nothing is assumed about termination:
// only cbData bytes are read.
LRESULT OnCopyData(const char* sink, const COPYDATASTRUCT* copy) {
    if (copy == nullptr) return FALSE;
    std::wstring text;
    if (copy->dwData == 1) {
        const wchar_t* chars = static_cast<const wchar_t*>(copy->lpData);
        size_t count = copy->cbData / sizeof(wchar_t);
        if (chars != nullptr)
            for (size_t i = 0; i < count && chars[i] != 0; ++i) text += chars[i];
    } else {
        const char* bytes = static_cast<const char*>(copy->lpData);
        int length = 0;
        while (bytes != nullptr && static_cast<DWORD>(length) < copy->cbData && bytes[length] != 0)
            ++length;
        if (length > 0) {
            int chars = ::MultiByteToWideChar(CP_ACP, 0, bytes, length, nullptr, 0);
            text.resize(static_cast<size_t>(chars));
            ::MultiByteToWideChar(CP_ACP, 0, bytes, length, &text[0], chars);
        }
    }
    Record(sink, std::to_string(copy->dwData), std::to_string(copy->cbData),
           Hex(copy->lpData, copy->lpData ? copy->cbData : 0),
           ToUtf8(text.c_str(), static_cast<int>(text.size())));
    Show(std::wstring(sink[0] == 'v' ? L"[V] " : L"[W] ") + text);
    return TRUE;
}

LRESULT CALLBACK VelloskProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COPYDATA)
        return OnCopyData("vellosk", reinterpret_cast<const COPYDATASTRUCT*>(lParam));
    return ::DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CALLBACK WendlookProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COPYDATA)
        return OnCopyData("wendlook", reinterpret_cast<const COPYDATASTRUCT*>(lParam));
    return ::DefWindowProcW(window, message, wParam, lParam);
}

std::wstring SelectedText(bool all) {
    std::wstring out;
    LRESULT count = ::SendMessageW(g_list, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        if (!all && ::SendMessageW(g_list, LB_GETSEL, i, 0) <= 0) continue;
        LRESULT length = ::SendMessageW(g_list, LB_GETTEXTLEN, i, 0);
        if (length < 0) continue;
        std::wstring line(static_cast<size_t>(length) + 1, L'\0');
        ::SendMessageW(g_list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(&line[0]));
        line.resize(static_cast<size_t>(length));
        out += line + L"\r\n";
    }
    return out;
}

void CopySelection() {
    std::wstring text = SelectedText(false);
    if (text.empty()) text = SelectedText(true);
    if (!::OpenClipboard(g_main)) return;
    ::EmptyClipboard();
    HGLOBAL block = ::GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * sizeof(wchar_t));
    if (block != nullptr) {
        memcpy(::GlobalLock(block), text.c_str(), (text.size() + 1) * sizeof(wchar_t));
        ::GlobalUnlock(block);
        if (::SetClipboardData(CF_UNICODETEXT, block) == nullptr) ::GlobalFree(block);
    }
    ::CloseClipboard();
}

void SaveAs() {
    wchar_t path[MAX_PATH] = L"trace.txt";
    OPENFILENAMEW ofn = {};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = g_main;
    ofn.lpstrFilter = L"Text files (*.txt)\0*.txt\0All files\0*.*\0";
    ofn.lpstrFile = path;
    ofn.nMaxFile = MAX_PATH;
    ofn.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST;
    if (!::GetSaveFileNameW(&ofn)) return;
    std::wstring text = SelectedText(true);
    std::string utf8 = ToUtf8(text.c_str(), static_cast<int>(text.size()));
    HANDLE file = ::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    ::WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
    ::CloseHandle(file);
}

LRESULT CALLBACK MainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_SIZE:
        if (g_list != nullptr) ::MoveWindow(g_list, 0, 0, LOWORD(lParam), HIWORD(lParam), TRUE);
        return 0;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case kMenuSave: SaveAs(); return 0;
        case kMenuExit: ::DestroyWindow(window); return 0;
        case kMenuCopy: CopySelection(); return 0;
        case kMenuClear: ::SendMessageW(g_list, LB_RESETCONTENT, 0, 0); return 0;
        case kMenuAutoScroll:
            g_autoScroll = !g_autoScroll;
            ::CheckMenuItem(::GetMenu(window), kMenuAutoScroll,
                            g_autoScroll ? MF_CHECKED : MF_UNCHECKED);
            return 0;
        }
        break;
    case WM_DESTROY:
        ::PostQuitMessage(0);
        return 0;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

HMENU BuildMenu() {
    HMENU file = ::CreatePopupMenu();
    ::AppendMenuW(file, MF_STRING, kMenuSave, L"&Save as...");
    ::AppendMenuW(file, MF_STRING, kMenuExit, L"E&xit");
    HMENU edit = ::CreatePopupMenu();
    ::AppendMenuW(edit, MF_STRING, kMenuCopy, L"&Copy\tCtrl+C");
    ::AppendMenuW(edit, MF_STRING, kMenuClear, L"C&lear");
    ::AppendMenuW(edit, MF_STRING | MF_CHECKED, kMenuAutoScroll, L"&Auto-scroll");
    HMENU bar = ::CreateMenu();
    ::AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(file), L"&File");
    ::AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(edit), L"&Edit");
    return bar;
}

HWND CreateReceiver(const wchar_t* className, const wchar_t* title, WNDPROC proc) {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = proc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = className;
    ::RegisterClassW(&wc);
    return ::CreateWindowExW(0, className, title, WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                             wc.hInstance, nullptr);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int show) {
    bool vellosk = false, wendlook = false, qrv = true, hidden = false;
    std::wstring readyEvent;
    int argc = 0;
    LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    for (int i = 1; argv != nullptr && i < argc; ++i) {
        std::wstring a = argv[i];
        if (a == L"--vellosk") vellosk = true;
        else if (a == L"--wendlook") wendlook = true;
        else if (a == L"--no-qrv") qrv = false;
        else if (a == L"--hidden") hidden = true;
        else if (a == L"--record" && i + 1 < argc) g_recordPath = argv[++i];
        else if (a == L"--ready-event" && i + 1 < argc) readyEvent = argv[++i];
        else {
            ::MessageBoxW(nullptr,
                          L"rolmview [--vellosk] [--wendlook] [--no-qrv] [--record FILE] "
                          L"[--ready-event NAME] [--hidden]",
                          L"rolmview", MB_OK);
            return 87;
        }
    }
    if (argv != nullptr) ::LocalFree(argv);

    // Without --no-qrv the main window is the "Qrv" viewer that traced programs
    // look for; otherwise it only displays what the other receivers get.
    const wchar_t* mainClass = qrv ? L"Qrv" : L"RolmViewer";
    WNDCLASSW wc = {};
    wc.lpfnWndProc = MainProc;
    wc.hInstance = instance;
    wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = mainClass;
    ::RegisterClassW(&wc);
    g_main = ::CreateWindowExW(0, mainClass, L"rolm trace viewer", WS_OVERLAPPEDWINDOW,
                               CW_USEDEFAULT, CW_USEDEFAULT, 900, 500, nullptr, BuildMenu(),
                               instance, nullptr);
    if (g_main == nullptr) return static_cast<int>(::GetLastError());
    g_list = ::CreateWindowExW(
        WS_EX_CLIENTEDGE, L"LISTBOX", nullptr,
        WS_CHILD | WS_VISIBLE | WS_VSCROLL | LBS_NOINTEGRALHEIGHT | LBS_EXTENDEDSEL | LBS_NOTIFY,
        0, 0, 0, 0, g_main, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kListBoxId)), instance,
        nullptr);
    g_listProc = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrW(g_list, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ListProc)));
    if (vellosk) CreateReceiver(L"Vellosk", L"rolmview Vellosk", VelloskProc);
    if (wendlook) CreateReceiver(L"RolmWendlook", L"Wendlook", WendlookProc);

    if (!hidden) ::ShowWindow(g_main, show);
    ACCEL accel = {FCONTROL | FVIRTKEY, 'C', kMenuCopy};
    HACCEL accelerators = ::CreateAcceleratorTableW(&accel, 1);

    if (!readyEvent.empty()) {
        HANDLE event = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, readyEvent.c_str());
        if (event != nullptr) {
            ::SetEvent(event);
            ::CloseHandle(event);
        }
    }

    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (::TranslateAcceleratorW(g_main, accelerators, &msg)) continue;
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
    ::DestroyAcceleratorTable(accelerators);
    return static_cast<int>(msg.wParam);
}
