#include "receivers.h"

#include <tlhelp32.h>
#include <string.h>
#include <strsafe.h>

namespace rolmview {

namespace {

const int kListBoxId = 120;
const DWORD kDebugBufferBytes = 4096;  // a pid, then the text and its terminator

Receivers* Self(HWND window) {
    return reinterpret_cast<Receivers*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
}

}  // namespace

DWORD Receivers::Start(const ChannelSwitches& channels) {
    channels_ = channels;
    started_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!started_) return ::GetLastError();
    thread_.reset(::CreateThread(nullptr, 0, Thread, this, 0, &threadId_));
    if (!thread_) return ::GetLastError();
    HANDLE both[2] = {started_.get(), thread_.get()};
    ::WaitForMultipleObjects(2, both, FALSE, INFINITE);
    return startError_;
}

void Receivers::Stop() {
    if (!thread_) return;
    ::PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
    ::WaitForSingleObject(thread_.get(), 10000);
    thread_.reset();
}

DWORD WINAPI Receivers::Thread(void* param) {
    Receivers* self = static_cast<Receivers*>(param);
    MSG msg;
    ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the queue, for Stop's WM_QUIT
    UniqueWindow qrv, vellosk, wendlook;
    DWORD error = ERROR_SUCCESS;
    if (self->channels_.qrv) {
        qrv.reset(self->CreateReceiver(L"Qrv", L"rolmview", ::DefWindowProcW, kQrv));
        HWND list = qrv ? ::CreateWindowExW(0, L"LISTBOX", nullptr, WS_CHILD | LBS_HASSTRINGS, 0, 0, 0,
                                            0, qrv.get(), reinterpret_cast<HMENU>(static_cast<INT_PTR>(kListBoxId)),
                                            ::GetModuleHandleW(nullptr), nullptr)
                        : nullptr;
        if (list == nullptr) {
            error = ::GetLastError();
        } else {
            ::SetWindowLongPtrW(list, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
            self->listProc_ = reinterpret_cast<WNDPROC>(
                ::SetWindowLongPtrW(list, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ListProc)));
        }
    }
    if (error == ERROR_SUCCESS && self->channels_.vellosk) {
        vellosk.reset(self->CreateReceiver(L"Vellosk", L"rolmview Vellosk", CopyDataProc, kVellosk));
        if (!vellosk) error = ::GetLastError();
    }
    if (error == ERROR_SUCCESS && self->channels_.wendlook) {
        wendlook.reset(self->CreateReceiver(L"RolmWendlook", L"Wendlook", CopyDataProc, kWendlook));
        if (!wendlook) error = ::GetLastError();
    }
    self->startError_ = error;
    ::SetEvent(self->started_.get());
    if (error != ERROR_SUCCESS) return error;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) ::DispatchMessageW(&msg);
    return 0;
}

HWND Receivers::CreateReceiver(const wchar_t* className, const wchar_t* title, WNDPROC proc,
                               DWORD channel) {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = proc;
    wc.cbWndExtra = sizeof(LONG_PTR);
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = className;
    ::RegisterClassW(&wc);
    HWND window = ::CreateWindowExW(0, className, title, WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                                    wc.hInstance, nullptr);
    if (window == nullptr) return nullptr;
    ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    ::SetWindowLongPtrW(window, 0, static_cast<LONG_PTR>(channel));
    return window;
}

// The list box stores nothing: the line is copied and the sender released.
LRESULT CALLBACK Receivers::ListProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Receivers* self = Self(window);
    if (message != LB_ADDSTRING) return ::CallWindowProcW(self->listProc_, window, message, wParam, lParam);
    if (lParam == 0) return LB_ERR;
    const wchar_t* text = reinterpret_cast<const wchar_t*>(lParam);
    size_t chars = wcslen(text);
    Entry e = FromTimedLine(text, chars);
    self->recorder_.Write(e, "-", "-", text, (chars + 1) * sizeof(wchar_t));
    self->inbox_.Add(std::move(e));
    return 0;
}

LRESULT CALLBACK Receivers::CopyDataProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != WM_COPYDATA) return ::DefWindowProcW(window, message, wParam, lParam);
    if (lParam == 0) return FALSE;
    Self(window)->OnCopyData(static_cast<DWORD>(::GetWindowLongPtrW(window, 0)),
                             reinterpret_cast<const COPYDATASTRUCT*>(lParam));
    return TRUE;
}

void Receivers::OnCopyData(DWORD channel, const COPYDATASTRUCT* copy) {
    Entry e = FromCopyData(channel, copy->dwData, copy->lpData, copy->cbData);
    if (recorder_.active()) {
        char kind[24], bytes[16];
        StringCchPrintfA(kind, 24, "%lu", static_cast<unsigned long>(copy->dwData));
        StringCchPrintfA(bytes, 16, "%lu", copy->cbData);
        recorder_.Write(e, kind, bytes, copy->lpData, copy->cbData);
    }
    inbox_.Add(std::move(e));
}

DWORD DebugOutputReader::Start() {
    HANDLE mapping = ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                          kDebugBufferBytes, L"DBWIN_BUFFER");
    DWORD error = ::GetLastError();
    mapping_.reset(mapping);
    if (!mapping_) return error;
    if (error == ERROR_ALREADY_EXISTS) {
        mapping_.reset();
        return ERROR_ALREADY_EXISTS;
    }
    bufferReady_.reset(::CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY"));
    dataReady_.reset(::CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY"));
    stop_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    view_.reset(::MapViewOfFile(mapping_.get(), FILE_MAP_READ, 0, 0, 0));
    if (bufferReady_ && dataReady_ && stop_ && view_)
        thread_.reset(::CreateThread(nullptr, 0, Thread, this, 0, nullptr));
    error = thread_ ? ERROR_SUCCESS : ::GetLastError();
    if (error != ERROR_SUCCESS) Stop();
    return error;
}

void DebugOutputReader::Stop() {
    if (thread_) {
        ::SetEvent(stop_.get());
        ::WaitForSingleObject(thread_.get(), 10000);
        thread_.reset();
    }
    view_.reset();
    bufferReady_.reset();
    dataReady_.reset();
    stop_.reset();
    mapping_.reset();
}

DWORD WINAPI DebugOutputReader::Thread(void* self) {
    static_cast<DebugOutputReader*>(self)->Read();
    return 0;
}

void DebugOutputReader::Read() {
    const char* buffer = static_cast<const char*>(view_.get());
    HANDLE waits[2] = {stop_.get(), dataReady_.get()};
    for (;;) {
        ::SetEvent(bufferReady_.get());
        if (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return;
        DWORD pid;
        memcpy(&pid, buffer, sizeof pid);
        const char* text = buffer + sizeof pid;
        const size_t room = kDebugBufferBytes - sizeof pid;
        const void* zero = memchr(text, 0, room);
        size_t bytes = zero ? static_cast<size_t>(static_cast<const char*>(zero) - text) + 1 : room;
        Entry e = FromDebugOutput(pid, text, bytes);
        e.process = ProcessName(pid);
        if (recorder_.active()) {
            char pidText[16], count[16];
            StringCchPrintfA(pidText, 16, "%lu", pid);
            StringCchPrintfA(count, 16, "%lu", static_cast<unsigned long>(bytes));
            recorder_.Write(e, pidText, count, text, bytes);
        }
        inbox_.Add(std::move(e));
    }
}

// The sender's file name, looked up once per sender while it still runs.
std::wstring DebugOutputReader::ProcessName(DWORD pid) {
    if (pid == cachedPid_ && !cachedName_.empty()) return cachedName_;
    cachedPid_ = pid;
    cachedName_ = L"?";
    rolm::UniqueFile snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W process = {sizeof process};
    if (!snapshot || !::Process32FirstW(snapshot.get(), &process)) return cachedName_;
    do {
        if (process.th32ProcessID == pid) cachedName_ = process.szExeFile;
    } while (process.th32ProcessID != pid && ::Process32NextW(snapshot.get(), &process));
    return cachedName_;
}

}  // namespace rolmview
