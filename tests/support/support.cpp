#include "support.h"

#include <rolm/trace.h>
#include <shellapi.h>
#include <stdio.h>

#include <filesystem>
#include <fstream>
#include <iomanip>
#include <sstream>

#include "faults.h"

namespace rolm_test {

namespace {

const HWND kVellosk = reinterpret_cast<HWND>(0x7E57);  // no window has this value: handles are multiples of 4
ImportPatch *g_find, *g_isWindow, *g_send;  // the trace's calls, answered here while the program runs
CRITICAL_SECTION g_lock;
std::vector<std::wstring> g_lines;

HWND WINAPI Find(LPCWSTR type, LPCWSTR title) {
    if (type != nullptr && wcscmp(type, L"Vellosk") == 0) return kVellosk;
    return reinterpret_cast<decltype(&Find)>(g_find->original)(type, title);
}

BOOL WINAPI IsVellosk(HWND window) {
    return window == kVellosk || reinterpret_cast<decltype(&IsVellosk)>(g_isWindow->original)(window);
}

LRESULT WINAPI Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    const COPYDATASTRUCT* copy = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    if (window != kVellosk) return reinterpret_cast<decltype(&Send)>(g_send->original)(window, message, wParam, lParam);
    if (message != WM_COPYDATA || copy->dwData != 1 || copy->cbData < sizeof(wchar_t)) return TRUE;
    HeapKept kept;  // the lines it keeps until they are taken
    ::EnterCriticalSection(&g_lock);
    g_lines.emplace_back(static_cast<const wchar_t*>(copy->lpData), copy->cbData / sizeof(wchar_t) - 1);
    ::LeaveCriticalSection(&g_lock);
    return TRUE;
}

}  // namespace

TraceLog& TraceLog::Get() {
    static TraceLog log = [] {  // for the process: the trace keeps its window
        HeapKept kept;
        ::InitializeCriticalSection(&g_lock);
        g_find = new ImportPatch("user32.dll", "FindWindowW", reinterpret_cast<void*>(&Find));
        g_isWindow = new ImportPatch("user32.dll", "IsWindow", reinterpret_cast<void*>(&IsVellosk));
        g_send = new ImportPatch("user32.dll", "SendMessageW", reinterpret_cast<void*>(&Send));
        TraceInit(nullptr, 0);
        return TraceLog();
    }();
    return log;
}

std::vector<std::wstring> TraceLog::Take() {
    std::vector<std::wstring> lines;
    ::EnterCriticalSection(&g_lock);
    lines.swap(g_lines);
    ::LeaveCriticalSection(&g_lock);
    return lines;
}

std::wstring Join(const std::vector<std::wstring>& lines) {
    std::wstring out;
    for (const std::wstring& line : lines) out += (out.empty() ? L"" : L"\n") + line;
    return out;
}

std::string Utf8(const std::wstring& text) {
    std::string out(text.size() * 3, '\0');
    out.resize(static_cast<size_t>(::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                                         &out[0], static_cast<int>(out.size()), nullptr, nullptr)));
    return out;
}

std::wstring Widen(const std::string& utf8) {
    std::wstring out(utf8.size(), L'\0');
    out.resize(static_cast<size_t>(::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                                         &out[0], static_cast<int>(out.size()))));
    return out;
}

// The pattern's places run in step over the line, each '#' one or more
// digits: no recursion, so a line of 100,000 characters fits in the stack.
bool Fits(const std::wstring& pattern, const std::wstring& line) {
    const auto digit = [](wchar_t c) { return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F'); };
    std::vector<size_t> now = {0}, next;  // the places of the pattern that the line so far reaches, ascending
    for (const wchar_t c : line) {
        next.clear();
        for (const size_t place : now) {
            if (place > 0 && pattern[place - 1] == L'#' && digit(c) && (next.empty() || next.back() != place))
                next.push_back(place);  // the '#' just matched takes another digit
            if (place < pattern.size() && (pattern[place] == L'#' ? digit(c) : pattern[place] == c))
                next.push_back(place + 1);
        }
        now.swap(next);
    }
    return !now.empty() && now.back() == pattern.size();
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

std::string Case::Get(const char* name) const {
    const auto found = values.find(name);
    return found == values.end() ? "" : found->second;
}
DWORD Case::Number(const char* name) const { return strtoul(Get(name).c_str(), nullptr, 0); }
std::wstring Case::Text(const char* name) const { return Widen(Get(name)); }

std::vector<Case> Cases(const char* section) {
    const std::wstring name = ProgramPath().substr(ProgramDir().size());
    const size_t dash = name.find(L'-');  // a copy for a Windows version: NAME-VERSION.exe
    const std::wstring version = dash == std::wstring::npos ? L"" : name.substr(dash + 1, name.find(L'.') - dash - 1);
    std::istringstream text(ReadFileBytes(ProgramDir() + name.substr(0, name.find_first_of(L"-.")) + L".cases"));
    std::vector<Case> cases;
    bool in = false, kept = false;  // in the section; the case read last is kept (each section is read once)
    for (std::string line; std::getline(text, line);) {
        if (line.empty() || line[0] == '#') continue;
        if (line[0] == '[') in = line == "[" + std::string(section) + "]";
        if (!in || line[0] == '[') continue;
        if (line[0] == ' ' && kept) cases.back().lines.push_back(Widen(line.substr(4)));
        if (line[0] == ' ') continue;
        Case c = {line};
        std::istringstream words(line);
        for (std::string key, value; std::getline(words >> std::ws, key, '=') && words >> std::quoted(value);)
            c.values[key] = value;
        const std::string on = c.Get("on");
        kept = on.empty() || (!version.empty() && on.find(Utf8(version)) != std::string::npos);
        if (kept) cases.push_back(c);
    }
    EXPECT_FALSE(cases.empty()) << "no cases in [" << section << "] of " << Utf8(name);
    return cases;
}

std::wstring Expand(std::wstring text, const Values& values) {
    for (const auto& [name, value] : values)
        for (size_t at = text.find(name); at != std::wstring::npos; at = text.find(name, at + value.size()))
            text.replace(at, name.size(), value);
    return text;
}

std::vector<std::wstring> Expand(std::vector<std::wstring> lines, const Values& values) {
    for (std::wstring& line : lines) line = Expand(line, values);
    return lines;
}

void RunCases(const std::vector<Case>& cases, const Values& values, const std::function<DWORD(const Case&)>& run) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source);
        TraceLog::Get().Clear();
        EXPECT_EQ(c.Number("result"), run(c)) << "the result";
        EXPECT_TRUE(LinesFit(Expand(c.lines, values), TraceLog::Get().Take())) << "the trace";
    }
}

std::wstring ProgramPath() {
    wchar_t path[MAX_PATH];
    return std::wstring(path, ::GetModuleFileNameW(nullptr, path, MAX_PATH));
}

std::wstring ProgramDir() { return ProgramPath().substr(0, ProgramPath().find_last_of(L'\\') + 1); }

TempDir::TempDir() {
    static LONG counter;
    wchar_t base[MAX_PATH];
    ::GetTempPathW(MAX_PATH, base);
    // Process ids come round again under Wine: a folder left by an earlier run is passed over.
    do
        path_ = base + (L"rolmtest-" + std::to_wstring(::GetCurrentProcessId())) + L"-" +
                std::to_wstring(::InterlockedIncrement(&counter));
    while (!::CreateDirectoryW(path_.c_str(), nullptr) && ::GetLastError() == ERROR_ALREADY_EXISTS);
}

TempDir::~TempDir() { RemoveTree(path_); }

void RemoveTree(const std::wstring& path) {
    const std::wstring from = path + L'\0';  // a list of names, ended by an empty one
    SHFILEOPSTRUCTW remove = {nullptr, FO_DELETE, from.c_str(), nullptr, FOF_NO_UI};
    ::SHFileOperationW(&remove);
}

HANDLE StartProgram(const std::wstring& commandLine, DWORD* processId, STARTUPINFOW* startup) {
    STARTUPINFOW plain = {sizeof plain};
    STARTUPINFOW* si = startup != nullptr ? startup : &plain;
    const BOOL inherit = (si->dwFlags & STARTF_USESTDHANDLES) != 0;
    PROCESS_INFORMATION pi = {};
    std::wstring line = commandLine;
    // Wine now and then refuses a start while an earlier child is still being
    // torn down; a failure that persists is still reported.
    for (int attempt = 0; !::CreateProcessW(nullptr, &line[0], nullptr, nullptr, inherit, 0, nullptr, nullptr, si, &pi);
         ++attempt) {
        const DWORD error = ::GetLastError();
        fwprintf(stderr, L"CreateProcessW failed with %lu: %ls\n", error, commandLine.c_str());
        if (attempt == 4 || error == ERROR_FILE_NOT_FOUND) return nullptr;
        ::Sleep(200);
    }
    OwnHandle thread(pi.hThread);
    if (processId != nullptr) *processId = pi.dwProcessId;
    return pi.hProcess;
}

DWORD RunProgram(const std::wstring& commandLine, DWORD timeoutMs, STARTUPINFOW* startup, DWORD* processId) {
    OwnHandle process(StartProgram(commandLine, processId, startup));
    DWORD code = ~0u;
    if (process && ::WaitForSingleObject(process.get(), timeoutMs) == WAIT_OBJECT_0)
        ::GetExitCodeProcess(process.get(), &code);
    else if (process)
        ::TerminateProcess(process.get(), ~0u);
    return code;
}

// Wine reports no count (GetProcessHandleCount gives 0): the handle values are probed instead. Handles get
// the lowest free value, so the table ends after a long run of unused ones.
DWORD HandleCount() {
    DWORD count = 0, flags = 0;
    for (ULONG_PTR value = 4, unused = 0; unused < 512; value += 4) {
        const bool open = ::GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) != FALSE;
        count += open;
        unused = open ? 0 : unused + 1;
    }
    return count;
}

std::string ReadFileBytes(const std::wstring& path) {
    std::ifstream file(std::filesystem::path(path), std::ios::binary);  // others may still write it
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    std::ofstream file(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
    return file.write(bytes.data(), static_cast<std::streamsize>(bytes.size())).flush().good();
}

static std::map<std::wstring, ChildMain>& Verbs() {
    static std::map<std::wstring, ChildMain> verbs;
    return verbs;
}

ChildVerb::ChildVerb(const wchar_t* verb, ChildMain run) { Verbs()[verb] = run; }

std::wstring ChildCommandLine(const std::wstring& verb, const std::wstring& args) {
    return L"\"" + ProgramPath() + L"\" --child " + verb + (args.empty() ? L"" : L" " + args);
}

// Runs a registered child verb when the program was started as one; -1 otherwise.
int RunChildIfAsked() {
    int argc = 0;
    LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    OwnLocal owner(argv);
    int at = argc >= 3 && wcscmp(argv[1], L"--child") == 0 ? 1 : 0;
    if (at == 0 && argc >= 4 && wcscmp(argv[2], L"--child") == 0) at = 2;
    if (at == 0) return -1;
    const auto found = Verbs().find(argv[at + 1]);
    return found != Verbs().end() ? found->second(argc - at - 2, argv + at + 2) : 87;
}

}  // namespace rolm_test
