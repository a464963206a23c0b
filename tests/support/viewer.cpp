#include "viewer.h"

#include <commctrl.h>

#include <algorithm>
#include <sstream>

namespace rolm_test {

namespace {

// The lines of a text that don't start with '#', without their ends.
std::vector<std::wstring> Lines(const std::wstring& text) {
    std::vector<std::wstring> lines;
    std::wistringstream in(text);
    for (std::wstring line; std::getline(in, line);)
        if (!line.empty() && line[0] != L'#') lines.push_back(line.substr(0, line.find(L'\r')));
    return lines;
}

}  // namespace

std::wstring Unfold(const std::wstring& text, const std::map<std::wstring, std::wstring>& vars) {
    const size_t npos = std::wstring::npos;
    std::wstring out;
    for (size_t at = 0, open, close; at < text.size(); at = close + 1) {
        open = text.find(L'{', at);
        close = open == npos ? npos : text.find(L'}', open);
        out += text.substr(at, close == npos ? npos : open - at);
        if (close == npos) break;
        const std::wstring inside = text.substr(open + 1, close - open - 1);
        const size_t star = inside.rfind(L'*');
        if (inside.compare(0, 2, L"U+") == 0) out += static_cast<wchar_t>(wcstoul(inside.c_str() + 2, nullptr, 16));
        else if (star == npos) out += vars.count(inside) ? vars.at(inside) : L"{no " + inside + L"}";
        for (int n = star == npos ? 0 : _wtoi(inside.c_str() + star + 1); n > 0; --n) out += inside.substr(0, star);
    }
    return out;
}

Viewer::Viewer(const std::wstring& options) : record_(dir_ / L"record.txt") {
    static LONG counter;
    const std::wstring event = L"rolmview-ready-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                               std::to_wstring(::InterlockedIncrement(&counter));
    OwnHandle ready(::CreateEventW(nullptr, TRUE, FALSE, event.c_str()));
    process_.reset(StartProgram(L"\"" + ProgramDir() + L"rolmview.exe\" --hidden " + options + L" --record \"" +
                                record_ + L"\" --ready-event " + event, &pid_));
    HANDLE both[2] = {ready.get(), process_.get()};
    if (process_ && ::WaitForMultipleObjects(2, both, FALSE, 30000) != WAIT_OBJECT_0) Stop();
}

void Viewer::Stop() {  // an ended process: both fail at once
    if (!process_) return;  // never the pseudo-handle of this process
    ::TerminateProcess(process_.get(), 0);
    ::WaitForSingleObject(process_.get(), 10000);
}

bool Viewer::running() const { return process_ && ::WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }

// TIME TAB CHANNEL TAB dwData TAB cbData TAB HEX TAB TEXT
std::vector<std::wstring> Viewer::Records() const {
    std::vector<std::wstring> records;
    for (const std::wstring& line : Lines(Widen(ReadFileBytes(record_)))) {
        std::wistringstream fields(line);
        std::vector<std::wstring> f(6);
        for (size_t i = 0; i < 6; ++i) std::getline(fields, f[i], i < 5 ? L'\t' : L'\n');
        records.push_back(f[1] + L" " + f[2] + L" " + f[3] + L" " + f[5]);
    }
    return records;
}

HWND Viewer::Window(int child, const wchar_t* className) const {
    HWND window = nullptr;
    for (DWORD owner = 0; (window = ::FindWindowExW(nullptr, window, className, nullptr)) != nullptr;)
        if (::GetWindowThreadProcessId(window, &owner) && owner == pid_) break;
    return child == 0 || window == nullptr ? window : ::GetDlgItem(window, child);
}

// Into fresh (zeroed) memory: SB_GETTEXTW is not carried across processes,
// and LVM_GETITEMTEXTW's item is read where it points.
std::wstring Viewer::Read(int child, UINT message, WPARAM wParam, int column) const {
    const SIZE_T bytes = 4096 * sizeof(wchar_t);
    OwnHandle process(::OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid_));
    char* remote = process ? static_cast<char*>(::VirtualAllocEx(process.get(), nullptr, bytes + sizeof(LVITEMW),
                                                                 MEM_COMMIT, PAGE_READWRITE))
                           : nullptr;
    if (remote == nullptr) return L"<no memory in the viewer>";
    LVITEMW item = {0, 0, column, 0, 0, reinterpret_cast<wchar_t*>(remote), 260};
    std::wstring text(bytes / sizeof(wchar_t), L'\0');
    ::WriteProcessMemory(process.get(), remote + bytes, &item, sizeof item, nullptr);
    char* asked = message == SB_GETTEXTW ? remote : remote + bytes;
    ::SendMessageW(Window(child), message, wParam, reinterpret_cast<LPARAM>(asked));
    ::ReadProcessMemory(process.get(), remote, &text[0], bytes - sizeof(wchar_t), nullptr);
    ::VirtualFreeEx(process.get(), remote, 0, MEM_RELEASE);
    return text.c_str();
}

DWORD Viewer::Query(ULONG_PTR what, const std::wstring& path) const {
    COPYDATASTRUCT copy = {what, static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)),
                           const_cast<wchar_t*>(path.c_str())};
    DWORD_PTR result = ~0u;
    LRESULT answered = ::SendMessageTimeoutW(Window(), WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copy), SMTO_NORMAL,
                                             30000, &result);
    return answered ? static_cast<DWORD>(result) : ERROR_TIMEOUT;
}

std::vector<std::wstring> Viewer::Rows() const {
    DWORD error = Query(0x524C5601, dir_ / L"saved.log");  // the viewer's own query: save as UTF-8
    std::string bytes = ReadFileBytes(dir_ / L"saved.log");
    if (error != ERROR_SUCCESS || bytes.compare(0, 3, "\xEF\xBB\xBF") != 0)
        return {L"<not saved: error " + std::to_wstring(error) + L">"};
    std::vector<std::wstring> rows = Lines(Widen(bytes.substr(3)));
    for (std::wstring& row : rows) std::replace(row.begin(), row.end(), L'\t', L'|');
    return rows;
}

}  // namespace rolm_test
