#include "receivers.h"

#include <tlhelp32.h>
#include <string.h>
#include <strsafe.h>

#include <new>

namespace rolmview {

namespace {

const int kListBoxId = 120;
const DWORD kDebugBufferBytes = 4096;  // a pid, then the text and its terminator
const size_t kMostPending = 64u << 20;  // what may wait for the window's thread

Receivers* Self(HWND window) { return reinterpret_cast<Receivers*>(::GetWindowLongPtrW(window, GWLP_USERDATA)); }

std::string Hex(const void* data, size_t bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes * 2);
    const unsigned char* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < bytes; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

}  // namespace

void Inbox::Add(const Header& header, const void* data, const std::wstring* process) {
    Header h = header;
    h.processChars = process ? static_cast<DWORD>(process->size()) : 0;
    size_t total = (sizeof h + h.processChars * sizeof(wchar_t) + h.bytes + 7) & ~static_cast<size_t>(7);
    Locked lock(lock_);
    if (paused_) {
        if (h.channel == lineChannel_ || h.channel == kDebug) ++skipped_;
        return;
    }
    size_t at = pending_.size();
    try {
        if (at + total > kMostPending) throw std::bad_alloc();
        pending_.resize(at + total);
    } catch (const std::bad_alloc&) {
        ++lost_;
        return;
    }
    char* out = &pending_[at];
    memcpy(out, &h, sizeof h);
    out += sizeof h;
    if (h.processChars != 0) memcpy(out, process->data(), h.processChars * sizeof(wchar_t));
    out += h.processChars * sizeof(wchar_t);
    if (h.bytes != 0) memcpy(out, data, h.bytes);
}

void Inbox::Take(std::vector<char>& out) {
    out.clear();
    Locked lock(lock_);
    out.swap(pending_);
    if (pending_.capacity() > (4u << 20)) std::vector<char>().swap(pending_);  // a burst's room goes again
}

bool Inbox::Next(const std::vector<char>& taken, size_t* at, Header* header, const char** data,
                 std::wstring* process) {
    if (*at + sizeof *header > taken.size()) return false;
    const char* in = &taken[*at];
    memcpy(header, in, sizeof *header);
    in += sizeof *header;
    process->assign(reinterpret_cast<const wchar_t*>(in), header->processChars);
    *data = in + header->processChars * sizeof(wchar_t);
    *at += (sizeof *header + header->processChars * sizeof(wchar_t) + header->bytes + 7) & ~static_cast<size_t>(7);
    return true;
}

void Inbox::Pause(bool paused) {
    Locked lock(lock_);
    if (paused && !paused_) skipped_ = 0;
    paused_ = paused;
}

bool Inbox::paused() {
    Locked lock(lock_);
    return paused_;
}

DWORD Recorder::Open(const std::wstring& path, ULONGLONG limitBytes) {
    path_ = path;
    limit_ = limitBytes;
    return OpenFile();
}

DWORD Recorder::OpenFile() {
    file_.reset(::CreateFileW(path_.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_) return ::GetLastError();
    DWORD high = 0, low = ::GetFileSize(file_.get(), &high);
    size_ = low == INVALID_FILE_SIZE ? 0 : (static_cast<ULONGLONG>(high) << 32) | low;
    return ERROR_SUCCESS;
}

void Recorder::Write(const Copy& copy, const char* kind, const char* bytesCount, const void* data, size_t bytes) {
    Locked lock(lock_);
    if (!file_) return;
    size_t skip = copy.channels == kDebug ? copy.nameLength : 0;  // the sender's name is not in what it sent
    std::wstring text = copy.stamp == kNoStamp ? L"" : StampText(copy.stamp) + L" ";
    text.append(copy.text + skip, copy.length - skip);
    for (wchar_t& c : text)
        if (c == L'\n' || c == L'\r' || c == L'\t') c = L' ';
    std::string line = ToUtf8(FormatLocal(clock_.ToLocal(copy.received), true)) + "\t" +
                       ToUtf8(ChannelsText(copy.channels)) + "\t" + kind + "\t" + bytesCount + "\t" +
                       Hex(data, data ? bytes : 0) + "\t" + ToUtf8(text) + "\n";
    if (limit_ != 0 && size_ != 0 && size_ + line.size() > limit_) {
        file_.reset();
        ::MoveFileExW(path_.c_str(), (path_ + L".1").c_str(), MOVEFILE_REPLACE_EXISTING);  // if it fails, FILE grows
        if (OpenFile() != ERROR_SUCCESS) return;
    }
    DWORD written = 0;
    ::WriteFile(file_.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    size_ += written;
}

DWORD Receivers::Taken(DWORD channels) {
    return ((channels & kQrv) && ::FindWindowW(L"Qrv", nullptr) ? DWORD(kQrv) : 0) |
           ((channels & kVellosk) && ::FindWindowW(L"Vellosk", nullptr) ? DWORD(kVellosk) : 0) |
           ((channels & kWendlook) && ::FindWindowW(nullptr, L"Wendlook") ? DWORD(kWendlook) : 0);
}

DWORD Receivers::Served() const {
    return (qrv_ && ::FindWindowW(L"Qrv", nullptr) == qrv_ ? DWORD(kQrv) : 0) |
           (vellosk_ && ::FindWindowW(L"Vellosk", nullptr) == vellosk_ ? DWORD(kVellosk) : 0) |
           (wendlook_ && ::FindWindowW(nullptr, L"Wendlook") == wendlook_ ? DWORD(kWendlook) : 0);
}

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
    qrv_ = vellosk_ = wendlook_ = nullptr;
}

DWORD WINAPI Receivers::Thread(void* param) {
    Receivers* self = static_cast<Receivers*>(param);
    MSG msg;
    ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the queue, for Stop's WM_QUIT
    UniqueWindow qrv, vellosk, wendlook;
    self->startError_ = self->CreateWindows(qrv, vellosk, wendlook);
    self->qrv_ = qrv.get();
    self->vellosk_ = vellosk.get();
    self->wendlook_ = wendlook.get();
    ::SetEvent(self->started_.get());
    if (self->startError_ != ERROR_SUCCESS) return self->startError_;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) ::DispatchMessageW(&msg);
    return 0;
}

DWORD Receivers::CreateWindows(UniqueWindow& qrv, UniqueWindow& vellosk, UniqueWindow& wendlook) {
    if (channels_.qrv) {
        qrv.reset(CreateReceiver(L"Qrv", L"rolmview", ::DefWindowProcW, kQrv));
        HWND list = qrv ? ::CreateWindowExW(0, L"LISTBOX", nullptr, WS_CHILD | LBS_HASSTRINGS, 0, 0, 0, 0, qrv.get(),
                                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(kListBoxId)),
                                            ::GetModuleHandleW(nullptr), nullptr)
                        : nullptr;
        if (list == nullptr) return ::GetLastError();
        ::SetWindowLongPtrW(list, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        listProc_ = reinterpret_cast<WNDPROC>(
            ::SetWindowLongPtrW(list, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ListProc)));
    }
    if (channels_.vellosk) {
        vellosk.reset(CreateReceiver(L"Vellosk", L"rolmview Vellosk", CopyDataProc, kVellosk));
        if (!vellosk) return ::GetLastError();
    }
    if (channels_.wendlook) {
        wendlook.reset(CreateReceiver(L"RolmWendlook", L"Wendlook", CopyDataProc, kWendlook));
        if (!wendlook) return ::GetLastError();
    }
    return ERROR_SUCCESS;
}

HWND Receivers::CreateReceiver(const wchar_t* className, const wchar_t* title, WNDPROC proc, DWORD channel) {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = proc;
    wc.cbWndExtra = sizeof(LONG_PTR);
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = className;
    ::RegisterClassW(&wc);
    HWND window = ::CreateWindowExW(0, className, title, WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr, wc.hInstance,
                                    nullptr);
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
    self->Receive(kQrv, 0, text, static_cast<DWORD>(wcslen(text) * sizeof(wchar_t)));
    return 0;
}

LRESULT CALLBACK Receivers::CopyDataProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != WM_COPYDATA) return ::DefWindowProcW(window, message, wParam, lParam);
    if (lParam == 0) return FALSE;
    const COPYDATASTRUCT* copy = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    Self(window)->Receive(static_cast<DWORD>(::GetWindowLongPtrW(window, 0)), copy->dwData, copy->lpData,
                          copy->lpData ? copy->cbData : 0);
    return TRUE;
}

// A qrv line comes as its characters, without the terminator the record shows.
void Receivers::Receive(DWORD channel, ULONG_PTR kind, const void* data, DWORD bytes) {
    Inbox::Header header = {NowFileTime(), channel, static_cast<DWORD>(kind), 0, bytes, 0, 0};
    if (recorder_.active() && channel == kQrv) {
        const wchar_t* text = static_cast<const wchar_t*>(data);
        recorder_.Write(decoder_.TimedLine(header.received, text, bytes / sizeof(wchar_t)), "-", "-", data,
                        bytes + sizeof(wchar_t));
    } else if (recorder_.active()) {
        char kindText[24], count[16];
        StringCchPrintfA(kindText, 24, "%lu", static_cast<unsigned long>(kind));
        StringCchPrintfA(count, 16, "%lu", bytes);
        recorder_.Write(decoder_.CopyData(header.received, channel, kind, data, bytes), kindText, count, data, bytes);
    }
    inbox_.Add(header, data);
}

DWORD DebugOutputReader::Start() {
    HANDLE mapping = ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kDebugBufferBytes,
                                          L"DBWIN_BUFFER");
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
        DWORD bytes = static_cast<DWORD>(zero ? static_cast<const char*>(zero) - text + 1 : room);
        Inbox::Header header = {NowFileTime(), kDebug, 0, pid, bytes, 0, 0};
        const std::wstring& process = ProcessName(pid);
        if (recorder_.active()) {
            char pidText[16], count[16];
            StringCchPrintfA(pidText, 16, "%lu", pid);
            StringCchPrintfA(count, 16, "%lu", bytes);
            recorder_.Write(decoder_.DebugOutput(header.received, pid, process, text, bytes), pidText, count, text,
                            bytes);
        }
        inbox_.Add(header, text, &process);
    }
}

// The sender's file name, looked up once per sender while it still runs.
const std::wstring& DebugOutputReader::ProcessName(DWORD pid) {
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
