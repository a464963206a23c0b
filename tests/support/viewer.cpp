#include "viewer.h"

#include <commctrl.h>
#include <stdio.h>
#include <strsafe.h>

#include "tools/rolmview/resource.h"

namespace rolm_test {

namespace {

struct FindWindow {
    DWORD pid;
    const wchar_t* className;
    HWND window;
};

BOOL CALLBACK IsWanted(HWND window, LPARAM param) {
    FindWindow* find = reinterpret_cast<FindWindow*>(param);
    DWORD pid = 0;
    wchar_t name[32];
    ::GetWindowThreadProcessId(window, &pid);
    if (pid != find->pid || !::GetClassNameW(window, name, 32) || lstrcmpW(name, find->className) != 0) return TRUE;
    find->window = window;
    return FALSE;
}

std::vector<std::wstring> Fields(const std::wstring& line, size_t most) {
    std::vector<std::wstring> fields;
    size_t from = 0;
    for (size_t tab; fields.size() + 1 < most && (tab = line.find(L'\t', from)) != std::wstring::npos; from = tab + 1)
        fields.push_back(line.substr(from, tab - from));
    fields.push_back(line.substr(from));
    return fields;
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += static_cast<char>(c);
    return out;
}

}  // namespace

Viewer::Viewer(const std::wstring& options) : record_(dir_ / L"record.txt") {
    wchar_t eventName[64];
    static LONG counter;
    StringCchPrintfW(eventName, _countof(eventName), L"rolmview-ready-%lu-%ld", ::GetCurrentProcessId(),
                     ::InterlockedIncrement(&counter));
    rolm::UniqueHandle ready(::CreateEventW(nullptr, TRUE, FALSE, eventName));
    process_.reset(StartProgram(L"\"" + ProgramDir() + L"rolmview.exe\" --hidden " + options + L" --record \"" +
                                record_ + L"\" --ready-event " + eventName, &pid_));
    HANDLE both[2] = {ready.get(), process_.get()};
    if (!process_ || ::WaitForMultipleObjects(2, both, FALSE, 30000) != WAIT_OBJECT_0) Stop();
}

bool Viewer::running() const { return process_ && ::WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }

void Viewer::Stop() {
    if (!process_) return;
    ::TerminateProcess(process_.get(), 0);
    ::WaitForSingleObject(process_.get(), 10000);
    process_.reset();
}

std::vector<ViewerRecord> Viewer::Records() const {
    std::vector<ViewerRecord> records;
    std::wstring all = Widen(ReadFileBytes(record_));
    for (size_t start = 0, end; start < all.size(); start = end + 1) {
        end = all.find(L'\n', start);
        if (end == std::wstring::npos) end = all.size();
        std::vector<std::wstring> f = Fields(all.substr(start, end - start), 6);
        if (f.size() == 6) records.push_back({Narrow(f[1]), Narrow(f[2]), Narrow(f[3]), Narrow(f[4]), f[5]});
    }
    return records;
}

HWND Viewer::Window(int child) const {
    FindWindow find = {pid_, L"RolmView", nullptr};
    ::EnumWindows(IsWanted, reinterpret_cast<LPARAM>(&find));
    return child == 0 || find.window == nullptr ? find.window : ::GetDlgItem(find.window, child);
}

// Shown, it has had WM_INITDIALOG: what the test writes into it stays.
HWND Viewer::Dialog() const {
    FindWindow find = {pid_, L"#32770", nullptr};
    for (int tries = 0; tries < 1000 && (find.window == nullptr || !::IsWindowVisible(find.window)); ++tries) {
        ::Sleep(10);
        ::EnumWindows(IsWanted, reinterpret_cast<LPARAM>(&find));
    }
    return find.window;
}

std::wstring WindowText(HWND window) {
    wchar_t text[65536] = L"";
    DWORD_PTR chars = 0;
    ::SendMessageTimeoutW(window, WM_GETTEXT, 65536, reinterpret_cast<LPARAM>(text), SMTO_NORMAL, 30000, &chars);
    return text;
}

std::vector<std::wstring> Viewer::Status() const {
    std::vector<std::wstring> parts;
    HWND status = Window(IDC_STATUS);
    rolm::UniqueHandle process(::OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid_));
    const SIZE_T bytes = 4096 * sizeof(wchar_t);
    void* remote = process ? ::VirtualAllocEx(process.get(), nullptr, bytes, MEM_COMMIT, PAGE_READWRITE) : nullptr;
    for (int i = 0; remote != nullptr && i < ::SendMessageW(status, SB_GETPARTS, 0, 0); ++i) {
        std::wstring text(4096, L'\0');
        SIZE_T moved = 0;
        ::WriteProcessMemory(process.get(), remote, text.data(), bytes, &moved);  // an empty part writes nothing
        ::SendMessageW(status, SB_GETTEXTW, i, reinterpret_cast<LPARAM>(remote));
        ::ReadProcessMemory(process.get(), remote, &text[0], bytes - sizeof(wchar_t), &moved);
        parts.push_back(text.c_str());
    }
    if (remote != nullptr) ::VirtualFreeEx(process.get(), remote, 0, MEM_RELEASE);
    parts.resize(3, L"<no status part>");
    return parts;
}

DWORD Viewer::Query(ULONG_PTR what, const std::wstring& path) const {
    HWND window = Window();
    if (window == nullptr) return ERROR_INVALID_WINDOW_HANDLE;
    COPYDATASTRUCT copy = {what, static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)),
                           const_cast<wchar_t*>(path.c_str())};
    DWORD_PTR result = ~0u;
    if (!::SendMessageTimeoutW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copy), SMTO_NORMAL, 30000,
                               &result))
        return ERROR_TIMEOUT;
    return static_cast<DWORD>(result);
}

std::vector<std::vector<std::wstring>> Viewer::Rows(bool utf16) const {
    std::vector<std::vector<std::wstring>> rows;
    const std::wstring saved = dir_ / L"saved.log";
    if (Query(utf16 ? kViewerSaveUtf16 : kViewerSaveUtf8, saved) != ERROR_SUCCESS) return rows;
    std::string bytes = ReadFileBytes(saved);
    std::wstring text;
    if (utf16 && bytes.size() >= 2 && bytes.compare(0, 2, "\xFF\xFE") == 0)
        text.assign(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
    else if (!utf16 && bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
        text = Widen(bytes.substr(3));
    for (size_t start = 0, end; start < text.size(); start = end + 2) {
        end = text.find(L"\r\n", start);
        if (end == std::wstring::npos) end = text.size();
        if (text[start] != L'#') rows.push_back(Fields(text.substr(start, end - start), 5));
    }
    return rows;
}

}  // namespace rolm_test
