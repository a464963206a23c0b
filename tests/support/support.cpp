#include "support.h"

#include "faults.h"

#include <psapi.h>
#include <rolm/trace.h>
#include <shellapi.h>

#include <map>
#include <utility>
#include <stdio.h>
#include <strsafe.h>

namespace rolm_test {

TraceLog& TraceLog::Get() {
    static TraceLog* log = [] {  // lives for the process: the trace keeps its window
        HeapKept kept;
        return new TraceLog();
    }();
    return *log;
}

TraceLog::TraceLog() {
    ::InitializeCriticalSection(&lock_);
    OwnHandle ready(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    window_ = static_cast<HWND>(ready.get());  // until the window exists
    OwnHandle thread(::CreateThread(nullptr, 0, Thread, this, 0, nullptr));
    ::WaitForSingleObject(ready.get(), INFINITE);
    TraceInit(nullptr, 0);
}

DWORD WINAPI TraceLog::Thread(void* param) {
    TraceLog* self = static_cast<TraceLog*>(param);
    HeapKept kept;  // the lines it keeps until they are taken
    const WNDCLASSW type = {0, WindowProc, 0, 0, ::GetModuleHandleW(nullptr), nullptr, nullptr, nullptr, nullptr,
                            L"Vellosk"};
    ::RegisterClassW(&type);
    HWND window =
        ::CreateWindowExW(0, L"Vellosk", L"test trace", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    ::SetEvent(static_cast<HANDLE>(std::exchange(self->window_, window)));
    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) ::DispatchMessageW(&msg);
    return 0;
}

LRESULT CALLBACK TraceLog::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COPYDATA) {
        TraceLog* self = reinterpret_cast<TraceLog*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
        const COPYDATASTRUCT* copy = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        if (self != nullptr && copy->dwData == 1 && copy->cbData >= sizeof(wchar_t)) {
            ::EnterCriticalSection(&self->lock_);
            self->lines_.emplace_back(static_cast<const wchar_t*>(copy->lpData), copy->cbData / sizeof(wchar_t) - 1);
            ::LeaveCriticalSection(&self->lock_);
        }
        return TRUE;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

void TraceLog::Clear() { Take(); }

std::vector<std::wstring> TraceLog::Take() {
    ::EnterCriticalSection(&lock_);
    std::vector<std::wstring> lines;
    lines.swap(lines_);
    ::LeaveCriticalSection(&lock_);
    return lines;
}

std::wstring Join(const std::vector<std::wstring>& lines) {
    std::wstring out;
    for (const std::wstring& line : lines) out += L"  " + line + L"\n";
    return out;
}

bool Fits(const std::wstring& pattern, const std::wstring& line) {
    size_t p = 0, l = 0;
    for (; p < pattern.size() && l < line.size(); ++p) {
        if (pattern[p] != L'#') {
            if (pattern[p] != line[l++]) return false;
            continue;
        }
        const size_t start = l;
        while (l < line.size() && (iswdigit(line[l]) || (line[l] >= L'A' && line[l] <= L'F'))) ++l;
        if (l == start) return false;
    }
    return p == pattern.size() && l == line.size();
}

::testing::AssertionResult LinesFit(const std::vector<std::wstring>& patterns, const std::vector<std::wstring>& lines) {
    for (size_t i = 0; i < patterns.size() || i < lines.size(); ++i) {
        if (i < patterns.size() && i < lines.size() && Fits(patterns[i], lines[i])) continue;
        return ::testing::AssertionFailure() << "line " << i + 1 << " is not\n  "
                                             << (i < patterns.size() ? Utf8(patterns[i]) : "(none)") << "\nlines:\n"
                                             << Utf8(Join(lines));
    }
    return ::testing::AssertionSuccess();
}

std::string Utf8(const std::wstring& text) {
    std::string out(text.size() * 3, '\0');
    out.resize(static_cast<size_t>(::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                                         &out[0], static_cast<int>(out.size()), nullptr, nullptr)));
    return out;
}

std::wstring ProgramDir() {
    wchar_t path[MAX_PATH];
    DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, n);
    return dir.substr(0, dir.find_last_of(L'\\') + 1);
}

TempDir::TempDir() {
    static LONG counter;
    wchar_t base[MAX_PATH];
    ::GetTempPathW(MAX_PATH, base);
    wchar_t name[64];
    StringCchPrintfW(name, _countof(name), L"rolmtest-%lu-%ld", ::GetCurrentProcessId(),
               ::InterlockedIncrement(&counter));
    path_ = std::wstring(base) + name;
    ::CreateDirectoryW(path_.c_str(), nullptr);
}

TempDir::~TempDir() { RemoveTree(path_); }

void RemoveTree(const std::wstring& path) {
    const std::wstring from = path + L'\0';  // a list of names, ended by an empty one
    SHFILEOPSTRUCTW remove = {nullptr, FO_DELETE, from.c_str(), nullptr, FOF_NO_UI};
    ::SHFileOperationW(&remove);
}

HANDLE StartProgram(const std::wstring& commandLine, DWORD* processId) {
    STARTUPINFOW si = {sizeof si};
    PROCESS_INFORMATION pi = {};
    // Wine now and then refuses a start while an earlier child is still being
    // torn down; a failure that persists is still reported.
    for (int attempt = 0;; ++attempt) {
        std::wstring line = commandLine;
        if (::CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
            break;
        DWORD error = ::GetLastError();
        fwprintf(stderr, L"CreateProcessW failed with %lu: %ls\n", error, commandLine.c_str());
        if (attempt == 4 || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return nullptr;
        ::Sleep(200);
    }
    OwnHandle thread(pi.hThread);
    if (processId != nullptr) *processId = pi.dwProcessId;
    return pi.hProcess;
}

DWORD RunProgram(const std::wstring& commandLine, DWORD timeoutMs) {
    OwnHandle process(StartProgram(commandLine));
    if (!process) return ~0u;
    DWORD code = ~0u;
    if (::WaitForSingleObject(process.get(), timeoutMs) == WAIT_OBJECT_0)
        ::GetExitCodeProcess(process.get(), &code);
    else
        ::TerminateProcess(process.get(), ~0u);
    return code;
}

DWORD HandleCount() {
    DWORD count = 0;
    if (::GetProcessHandleCount(::GetCurrentProcess(), &count) && count != 0) return count;
    // Wine reports no count: probe the handle values instead. It hands out the
    // lowest free value, so the table ends after a long run of unused ones.
    DWORD unused = 0;
    for (ULONG_PTR value = 4; unused < 512; value += 4) {
        DWORD flags;
        if (::GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
            ++count;
            unused = 0;
        } else {
            ++unused;
        }
    }
    return count;
}

std::string ReadFileBytes(const std::wstring& path) {
    std::string bytes;
    OwnHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
    char block[4096];
    DWORD read = 0;
    while (::ReadFile(file.get(), block, sizeof block, &read, nullptr) && read > 0)  // fails on no file
        bytes.append(block, read);
    return bytes;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    OwnHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    return ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

std::wstring Widen(const std::string& utf8) {
    if (utf8.empty()) return std::wstring();
    int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], n);
    return out;
}

static std::map<std::wstring, ChildMain>& Verbs() {
    static std::map<std::wstring, ChildMain> verbs;
    return verbs;
}

ChildVerb::ChildVerb(const wchar_t* verb, ChildMain run) { Verbs()[verb] = run; }

std::wstring ChildCommandLine(const std::wstring& verb, const std::wstring& args) {
    wchar_t path[MAX_PATH];
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return L"\"" + std::wstring(path) + L"\" --child " + verb + (args.empty() ? L"" : L" " + args);
}

// Runs a registered child verb when the program was started as one; -1 otherwise.
int RunChildIfAsked() {
    int argc = 0;
    LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    OwnLocal owner(argv);
    int at = argv == nullptr ? 0 : argc >= 3 && wcscmp(argv[1], L"--child") == 0 ? 1
                                 : argc >= 4 && wcscmp(argv[2], L"--child") == 0 ? 2 : 0;
    if (at == 0) return -1;
    auto found = Verbs().find(argv[at + 1]);
    return found != Verbs().end() ? found->second(argc - at - 2, argv + at + 2) : 87;
}

}  // namespace rolm_test
