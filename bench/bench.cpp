// rolm against the plain system calls it is built on, each figure beside a
// baseline measured in the same run. Prints one Markdown table.
//   bench.exe            all rows (the viewer rows run in a child process)
//   bench.exe trace      the TraceWrite rows alone
//   bench.exe viewer     the viewer rows alone (used by the above)
//   bench.exe http       the HTTP rows alone
//   bench.exe search     the Match and sign-in page rows alone
//   bench.exe exit       exits at once (the child of the launch rows)
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>
#include <iphlpapi.h>
#include <icmpapi.h>
#include <psapi.h>
#include <wininet.h>
#include <rolm/rolm.h>

#include <stdio.h>
#include <strsafe.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "common/unique.h"
#include "scripted_server.h"
#include "tools/rolmview/resource.h"

namespace {

double g_ticksPerSecond;

double Now() {
    LARGE_INTEGER c;
    ::QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) / g_ticksPerSecond;
}

// Seconds per run of f, repeating it (in doubling batches) for about budget seconds.
double SecondsPer(const std::function<void()>& f, double budget) {
    f();  // warm-up
    long long runs = 0, batch = 1;
    double start = Now(), elapsed = 0;
    while (elapsed < budget) {
        for (long long i = 0; i < batch; ++i) f();
        runs += batch;
        elapsed = Now() - start;
        if (elapsed < budget / 8) batch *= 2;
    }
    return elapsed / static_cast<double>(runs);
}

// Seconds per run of each of fs, compared fairly on a shared machine: they
// take turns in rounds, and each keeps its fastest round.
std::vector<double> FastestOf(const std::vector<std::function<void()>>& fs, double budget, int rounds = 5) {
    std::vector<double> best(fs.size(), 1e30);
    for (int round = 0; round < rounds; ++round)
        for (size_t i = 0; i < fs.size(); ++i) best[i] = std::min(best[i], SecondsPer(fs[i], budget / rounds));
    return best;
}

struct Row {
    std::string what, unit, baseline;
    double figure, base;
    const char* aim;  // e.g. "<= 2" or ">= 0.8"; the ratio is figure / base
    std::string note;
};

// Four significant digits, without an exponent from 10,000 on.
std::string Figure(double value) {
    char text[64];
    snprintf(text, sizeof text, value >= 1e4 ? "%.0f" : "%.4g", value);
    return text;
}

void Print(const Row& r) {
    printf("| %s | %s %s | %s | %s %s | %.2f | %s |%s%s\n", r.what.c_str(), Figure(r.figure).c_str(), r.unit.c_str(),
           r.baseline.c_str(), Figure(r.base).c_str(), r.unit.c_str(), r.figure / r.base, r.aim,
           r.note.empty() ? "" : " ", r.note.c_str());
    fflush(stdout);
}

// ---- Trace -------------------------------------------------------------------

void EmptyVariadic(LPCWSTR, ...) {}
void (*volatile g_empty)(LPCWSTR, ...) = EmptyVariadic;  // never inlined

void TraceNoSinkRow() {
    std::vector<double> best = FastestOf({[] { TraceWrite(L"Bench > value == %d, text == %s", 42, L"abc"); },
                                          [] { g_empty(L"Bench > value == %d, text == %s", 42, L"abc"); }},
                                         2.0, 15);
    Print({"TraceWrite, no sink", "ns/call", "empty non-inlined call", best[0] * 1e9, best[1] * 1e9, "<= 2"});
}

const wchar_t kMessage[] = L"Bench > a typical trace line with a number %d and some more text";

std::wstring LineText(bool timed, int n) {
    wchar_t message[256], line[300];
    StringCchPrintfW(message, _countof(message), kMessage, n);
    if (timed)
        StringCchPrintfW(line, _countof(line), L"12:34:56,78 B %s\r\n", message);
    else
        StringCchPrintfW(line, _countof(line), L"B %s", message);
    return line;
}

void TraceFileRow(const std::wstring& folder) {
    const std::wstring traced = folder + L"\\trace.txt", bare = folder + L"\\bare.txt";
    ::WriteProfileStringW(L"Qrv", L"Filename", traced.c_str());
    TraceInit(L"B", 1);
    ::WriteProfileStringW(L"Qrv", L"Filename", nullptr);
    const std::wstring line = LineText(true, 1234);
    const DWORD bytes = static_cast<DWORD>(line.size() * sizeof(wchar_t));
    rolm::UniqueFile(::CreateFileW(bare.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    std::vector<double> best = FastestOf({[] { TraceWrite(kMessage, 1234); },
                                          [&] {
                                              HANDLE f = ::CreateFileW(bare.c_str(), GENERIC_READ | GENERIC_WRITE,
                                                                       FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                                                       FILE_ATTRIBUTE_NORMAL, nullptr);
                                              ::SetFilePointer(f, 0, nullptr, FILE_END);
                                              DWORD written;
                                              ::WriteFile(f, line.c_str(), bytes, &written, nullptr);
                                              ::CloseHandle(f);
                                          }},
                                         3.0, 15);
    Print({"TraceWrite, log file", "lines/s", "open/seek/write/close", 1 / best[0], 1 / best[1], ">= 0.8"});
}

// rolmview.exe in a process of its own for the length of a scope.
class ViewerProcess {
public:
    explicit ViewerProcess(const wchar_t* options) {
        wchar_t exe[MAX_PATH], event[64];
        ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
        std::wstring viewer(exe);
        viewer = viewer.substr(0, viewer.rfind(L'\\') + 1) + L"rolmview.exe";
        static int count;
        StringCchPrintfW(event, _countof(event), L"rolm-bench-viewer-%lu-%d", ::GetCurrentProcessId(), ++count);
        ready_.reset(::CreateEventW(nullptr, TRUE, FALSE, event));
        std::wstring command = L"\"" + viewer + L"\" " + options + L" --ready-event " + event;
        STARTUPINFOW si = {sizeof si};
        if (!::CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, pi_.put()))
            return;
        HANDLE both[2] = {ready_.get(), pi_.get().hProcess};
        ready = ::WaitForMultipleObjects(2, both, FALSE, 30000) == WAIT_OBJECT_0;
        ::WaitForInputIdle(pi_.get().hProcess, 10000);  // its start-up (fonts, first paint) done
        TraceInit(L"B", 0);  // finds this viewer's windows in place of the last one's
    }
    ~ViewerProcess() {
        if (pi_.get().hProcess == nullptr) return;
        ::TerminateProcess(pi_.get().hProcess, 0);
        ::WaitForSingleObject(pi_.get().hProcess, 10000);
    }
    ViewerProcess(const ViewerProcess&) = delete;
    ViewerProcess& operator=(const ViewerProcess&) = delete;
    bool ready = false;
    DWORD pid() const { return pi_.get().dwProcessId; }

private:
    rolm::UniqueHandle ready_;
    rolm::UniqueProcessInformation pi_;
};

// Seconds per TraceWrite into a fresh viewer started with options, after
// prefill lines (a viewer at its limit drops rows as new ones come).
double TraceIntoViewer(const wchar_t* options, double budget, int prefill = 0) {
    ViewerProcess viewer(options);
    if (!viewer.ready) return -1;
    for (int i = 0; i < prefill; ++i) TraceWrite(kMessage, i);
    return SecondsPer([] { TraceWrite(kMessage, 1234); }, budget);
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Run in a child process: the sinks are process-wide and the log file is on in the parent.
// Every window sink is served (the viewer's list box, Vellosk and Wendlook
// windows). The machine's load varies, so the viewers compared take turns
// and the medians count.
int TraceViewerRows() {
    const double budget = 0.75;
    std::vector<double> hiddens, visibles, limited;
    double base = 1e9;
    for (int round = 0; round < 7; ++round) {
        double h = TraceIntoViewer(L"--vellosk --wendlook --hidden", budget);
        double v = TraceIntoViewer(L"--vellosk --wendlook --scroll", budget);
        double l = TraceIntoViewer(L"--vellosk --wendlook --hidden --max-rows 1000", budget, 1500);
        if (h < 0 || v < 0 || l < 0) {
            printf("| TraceWrite, rolmview | rolmview.exe did not start |\n");
            return 1;
        }
        hiddens.push_back(h);
        visibles.push_back(v);
        limited.push_back(l);
    }
    const double hidden = Median(hiddens), visible = Median(visibles), atLimit = Median(limited);
    {
        ViewerProcess viewer(L"--vellosk --wendlook --hidden");
        HWND list = ::GetDlgItem(::FindWindowW(L"Qrv", nullptr), 120);
        HWND vellosk = ::FindWindowW(L"Vellosk", nullptr), wendlook = ::FindWindowW(nullptr, L"Wendlook");
        const std::wstring plain = LineText(false, 1234), timed = L"12:34:56,78 " + plain;  // as TraceWrite sends them
        const std::string ansi(plain.begin(), plain.end());
        COPYDATASTRUCT wide = {1, static_cast<DWORD>((plain.size() + 1) * sizeof(wchar_t)),
                               const_cast<wchar_t*>(plain.c_str())};
        COPYDATASTRUCT narrow = {0, static_cast<DWORD>(ansi.size() + 1), const_cast<char*>(ansi.c_str())};
        std::vector<double> bases;
        for (int round = 0; round < 7; ++round)
            bases.push_back(SecondsPer([&] {
                ::SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(timed.c_str()));
                ::SendMessageW(vellosk, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&wide));
                ::SendMessageW(wendlook, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&narrow));
            }, budget));
        base = Median(bases);
    }
    Print({"TraceWrite, hidden rolmview, 3 sinks", "lines/s", "the 3 SendMessageW calls", 1 / hidden, 1 / base,
           ">= 0.8"});
    Print({"TraceWrite, visible auto-scrolling rolmview", "lines/s", "hidden rolmview", 1 / visible, 1 / hidden,
           ">= 0.8"});
    Print({"TraceWrite, hidden rolmview at its limit (1,000 rows)", "lines/s", "hidden rolmview", 1 / atLimit,
           1 / hidden, ">= 0.8"});
    return 0;
}

// ---- The viewer's store -----------------------------------------------------

// The viewer's status bar, part by part, read through the viewer's own memory.
std::vector<std::wstring> ViewerStatus(DWORD pid) {
    std::vector<std::wstring> parts;
    HWND status = ::GetDlgItem(::FindWindowW(L"RolmView", nullptr), IDC_STATUS);
    rolm::UniqueHandle process(::OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid));
    const SIZE_T bytes = 4096 * sizeof(wchar_t);
    void* remote = process ? ::VirtualAllocEx(process.get(), nullptr, bytes, MEM_COMMIT, PAGE_READWRITE) : nullptr;
    for (int i = 0; remote != nullptr && i < ::SendMessageW(status, SB_GETPARTS, 0, 0); ++i) {
        std::wstring text(4096, L'\0');
        SIZE_T moved = 0;
        ::WriteProcessMemory(process.get(), remote, text.data(), bytes, &moved);
        ::SendMessageW(status, SB_GETTEXTW, i, reinterpret_cast<LPARAM>(remote));
        ::ReadProcessMemory(process.get(), remote, &text[0], bytes - sizeof(wchar_t), &moved);
        parts.push_back(text.c_str());
    }
    if (remote != nullptr) ::VirtualFreeEx(process.get(), remote, 0, MEM_RELEASE);
    return parts;
}

// Sends the viewer a message and waits until it answers again; seconds.
double ViewerAnswers(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    const double start = Now();
    ::SendMessageW(window, message, wParam, lParam);
    DWORD_PTR result = 0;
    ::SendMessageTimeoutW(::FindWindowW(L"RolmView", nullptr), WM_NULL, 0, 0, SMTO_NORMAL, 120000, &result);
    return Now() - start;
}

DWORD LoadIntoViewer(const std::wstring& path) {
    COPYDATASTRUCT copy = {0x524C5603, static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)),
                           const_cast<wchar_t*>(path.c_str())};
    DWORD_PTR result = ~0u;
    ::SendMessageTimeoutW(::FindWindowW(L"RolmView", nullptr), WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copy),
                          SMTO_NORMAL, 600000, &result);
    return static_cast<DWORD>(result);
}

// A saved log (UTF-8) of rows whose name and message make text characters each.
bool WriteSavedLog(const std::wstring& path, const std::vector<size_t>& texts) {
    rolm::UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    std::string block = "\xEF\xBB\xBF# rolmview log: received, stamp, name, channels, message; "
                        "\\\\, TAB, CR, LF written as \\\\, \\t, \\r, \\n\r\n";
    for (size_t i = 0; i <= texts.size(); ++i) {
        if (i < texts.size()) {
            char head[96];
            StringCchPrintfA(head, _countof(head),
                             "2026-12-06 05:%02u:%02u.%03u\t05:00:00,00\tB\tqrv+vellosk+wendlook\t",
                             static_cast<unsigned>(i / 60000 % 60), static_cast<unsigned>(i / 1000 % 60),
                             static_cast<unsigned>(i % 1000));
            std::string message = "Bench > row " + std::to_string(i) + " ";
            block += head + message + std::string(texts[i] - 2 - message.size(), 'x') + "\r\n";
        }
        DWORD written = 0;
        if ((block.size() > (1u << 20) || i == texts.size()) &&
            !::WriteFile(file.get(), block.data(), static_cast<DWORD>(block.size()), &written, nullptr))
            return false;
        if (block.size() > (1u << 20)) block.clear();
    }
    return true;
}

// Loading, memory, a filter change at 1,000,000 rows, and selecting a row of
// 100,000 characters with the detail pane on, in a hidden viewer.
void ViewerStoreRows() {
    wchar_t temp[MAX_PATH], prefix[64];
    ::GetTempPathW(MAX_PATH, temp);
    StringCchPrintfW(prefix, _countof(prefix), L"rolm-bench-%lu-", ::GetCurrentProcessId());
    const std::wstring big = temp + std::wstring(prefix) + L"million.log";
    const std::wstring odd = temp + std::wstring(prefix) + L"long.log";
    const size_t rows = 1000000, chars = 60;
    if (!WriteSavedLog(big, std::vector<size_t>(rows, chars)) || !WriteSavedLog(odd, {100000, chars})) {
        printf("| rolmview store | the saved logs could not be written |\n");
        return;
    }
    {
        ViewerProcess viewer(L"--hidden");
        const double start = Now();
        DWORD error = LoadIntoViewer(big);
        const double load = Now() - start;
        std::vector<std::wstring> status = ViewerStatus(viewer.pid());
        const std::wstring counts = status.empty() ? L"" : status[0];
        const double mb = wcstod(counts.c_str() + counts.find(L", ") + 2, nullptr);
        const double text = static_cast<double>(rows * chars * sizeof(wchar_t)) / (1 << 20);
        Print({"rolmview store, 1,000,000 rows of 60 characters", "MB", "their UTF-16 text", mb, text, "<= 1.5",
               error != 0 || counts.find(L"1,000,000 rows") != 0 ? "(NOT LOADED)" : ""});
        WIN32_FILE_ATTRIBUTE_DATA file = {};
        ::GetFileAttributesExW(big.c_str(), GetFileExInfoStandard, &file);
        printf("| rolmview, loading a saved log of 1,000,000 rows (%lu MB) | %.3g s | - | - | - | - |\n",
               file.nFileSizeLow >> 20, load);
        HWND main = ::FindWindowW(L"RolmView", nullptr);
        ::PostMessageW(main, WM_COMMAND, IDM_FILTERS, 0);
        HWND dialog = nullptr;
        for (int tries = 0; tries < 1000 && dialog == nullptr; ++tries, ::Sleep(10)) {
            HWND found = ::FindWindowW(L"#32770", nullptr);
            DWORD owner = 0;
            ::GetWindowThreadProcessId(found, &owner);
            if (owner == viewer.pid() && ::IsWindowVisible(found)) dialog = found;  // after WM_INITDIALOG
        }
        ::SendMessageW(::GetDlgItem(dialog, IDC_INCLUDE_TEXT), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"row 99"));
        const double filter = ViewerAnswers(dialog, WM_COMMAND, IDOK, 0);
        printf("| rolmview, a filter change at 1,000,000 rows | %.3g s | - | - | - | < 2 s |\n", filter);
    }
    ViewerProcess viewer(L"--hidden");
    LoadIntoViewer(odd);
    HWND list = ::GetDlgItem(::FindWindowW(L"RolmView", nullptr), IDC_LIST);
    std::vector<double> longs, shorts;
    for (int round = 0; round < 5; ++round) {
        longs.push_back(ViewerAnswers(list, WM_KEYDOWN, VK_HOME, 0));
        shorts.push_back(ViewerAnswers(list, WM_KEYDOWN, VK_DOWN, 0));
    }
    Print({"rolmview, selecting a 100,000-character row, detail pane on", "ms", "a 60-character row",
           Median(longs) * 1e3, Median(shorts) * 1e3, "< 500 ms"});
    ::DeleteFileW(big.c_str());
    ::DeleteFileW(odd.c_str());
}

// ---- Match -------------------------------------------------------------------

using Offsets = std::vector<UINT>;

// Non-overlapping offsets with any searcher-like callable: (first, last) -> match.
template <class Find>
Offsets Loop(const std::wstring& s, size_t n, Find find) {
    Offsets out;
    for (auto at = s.begin(); (at = find(at, s.end())) != s.end(); at += n)
        out.push_back(static_cast<UINT>(at - s.begin()));
    return out;
}

bool SameLower(wchar_t a, wchar_t b) { return towlower(a) == towlower(b); }
struct LowerHash {
    size_t operator()(wchar_t c) const { return std::hash<wchar_t>()(towlower(c)); }
};
struct LowerEqual {
    bool operator()(wchar_t a, wchar_t b) const { return SameLower(a, b); }
};

void MatchRows() {
    const size_t chars = (1u << 20) / sizeof(wchar_t);  // 1 MB of text
    std::mt19937 random(7);
    struct Input {
        const char* name;
        std::wstring text, find;
    } inputs[2];
    // Sparse: mixed-case words, the needle planted every 64 KB.
    inputs[0].name = "sparse";
    inputs[0].find = L"Needle42";
    for (size_t i = 0; i < chars; ++i) inputs[0].text += (i % 7 == 6) ? L' ' : L"abcdefghijkLMNOPQRST"[random() % 20];
    for (size_t at = 1000; at + 8 < chars; at += 32768) inputs[0].text.replace(at, 8, L"nEEDLE42");
    for (size_t at = 17000; at + 8 < chars; at += 32768) inputs[0].text.replace(at, 8, L"Needle42");
    // Dense: a two-letter alphabet, a match every few characters.
    inputs[1].name = "dense";
    inputs[1].find = L"abA";
    for (size_t i = 0; i < chars; ++i) inputs[1].text += L"aAbB"[random() % 4];

    const double budget = 0.4, mb = static_cast<double>(chars * sizeof(wchar_t)) / (1 << 20);
    for (const Input& in : inputs) {
        for (BOOL ignoreCase : {FALSE, TRUE}) {
            Offsets got;
            auto rolm = [&] {
                UINT* offsets = nullptr;
                UINT count = 0;
                Match(in.text.data(), static_cast<UINT>(in.text.size()), in.find.data(),
                      static_cast<UINT>(in.find.size()), &offsets, &count, ignoreCase, 0xFFFFFFFF, FALSE);
                if (offsets != nullptr) got.assign(offsets, offsets + count);
                free(offsets);
            };
            const size_t n = in.find.size();
            Offsets plain, bmh;
            auto search = [&] {
                plain = ignoreCase ? Loop(in.text, n, [&](auto a, auto b) { return std::search(a, b, in.find.begin(), in.find.end(), SameLower); })
                                   : Loop(in.text, n, [&](auto a, auto b) { return std::search(a, b, in.find.begin(), in.find.end()); });
            };
            auto horspool = [&] {
                if (ignoreCase) {
                    std::boyer_moore_horspool_searcher<std::wstring::const_iterator, LowerHash, LowerEqual> s(in.find.begin(), in.find.end());
                    bmh = Loop(in.text, n, [&](auto a, auto b) { return std::search(a, b, s); });
                } else {
                    std::boyer_moore_horspool_searcher<std::wstring::const_iterator> s(in.find.begin(), in.find.end());
                    bmh = Loop(in.text, n, [&](auto a, auto b) { return std::search(a, b, s); });
                }
            };
            const std::vector<double> t = FastestOf({rolm, search, horspool}, 3 * budget);
            const double r = t[0], p = t[1], h = t[2];
            std::string what = std::string("Match, ") + in.name + (ignoreCase ? ", case ignored" : ", case kept");
            std::string check = got == plain && got == bmh ? "" : "(RESULTS DIFFER)";
            check += " " + std::to_string(got.size()) + " matches";
            Print({what, "MB/s", "std::search loop", mb / r, mb / p, ">= 1", check});
            Print({what, "MB/s", "boyer_moore_horspool_searcher", mb / r, mb / h, ">= 1"});
        }
    }
}

// The hard shapes for a skip search: a pattern a..a b a..a in a text of only
// 'a', which makes a plain search compare half the pattern at every position.
void MatchHardRows() {
    const std::wstring text(1u << 20, L'a');  // 1 M characters
    const double mb = static_cast<double>(text.size() * sizeof(wchar_t)) / (1 << 20);
    for (size_t length : {64u, 512u, 4096u}) {
        std::wstring find(length, L'a');
        find[(length - 1) / 2] = L'b';
        for (BOOL ignoreCase : {FALSE, TRUE}) {
            size_t found = 1;
            auto rolm = [&] {
                UINT* offsets = nullptr;
                UINT count = 0;
                Match(text.data(), static_cast<UINT>(text.size()), find.data(), static_cast<UINT>(find.size()),
                      &offsets, &count, ignoreCase, 0xFFFFFFFF, FALSE);
                found = count;
                free(offsets);
            };
            // std::search can need a minute for the whole text; where it would take
            // more than a few seconds it is timed on a part (its cost per character
            // is the same everywhere in this text).
            size_t plain = 1, part = text.size();
            auto search = [&] {
                const auto end = text.begin() + part;
                auto within = [&](auto at) { return at < end ? at : text.end(); };
                plain = ignoreCase ? Loop(text, length, [&](auto a, auto) { return within(std::search(a, end, find.begin(), find.end(), SameLower)); }).size()
                                   : Loop(text, length, [&](auto a, auto) { return within(std::search(a, end, find.begin(), find.end())); }).size();
            };
            const double budget = 0.4, start = Now();
            part = text.size() / 64;
            search();
            const double whole = (Now() - start) * 64;
            part = whole > 5 ? static_cast<size_t>(text.size() * 2 / whole) : text.size();
            const double p = SecondsPer(search, budget);
            const double r = FastestOf({rolm}, budget)[0], partMb = mb * part / text.size();
            std::string what = "Match, a..aba..a of " + std::to_string(length) + " in 1 M 'a'" +
                               (ignoreCase ? ", case ignored" : ", case kept");
            std::string note = found == 0 && plain == 0 ? "" : "(RESULTS DIFFER)";
            if (part < text.size()) note += " (std::search timed on the first " + std::to_string(part) + " characters)";
            Print({what, "MB/s", "std::search loop", mb / r, partMb / p, ">= 1, >= 100 MB/s", note});
        }
    }
}

// ---- Sign-in page scan -------------------------------------------------------

void SignInPageRow() {
    const std::string chunk =
        "<div class=\"item\"><a href=\"https://example.test/path/to/page.html\">A link</a>"
        "<img src=\"logo.png\" alt=\"logo of the site\"><input type=\"text\" name=\"q\"></div>\r\n";
    std::string page;
    while (page.size() + chunk.size() < 10u << 20) page += chunk;
    std::vector<char> work(page.size() + 1);
    const double mb = static_cast<double>(page.size()) / (1 << 20);
    BOOL found = 0;
    size_t tags = 0;
    // The page is restored before each run (IsAuthenticationPage writes over
    // its brackets); the copy is timed on its own and taken off.
    auto copy = [&] { memcpy(work.data(), page.c_str(), page.size() + 1); };
    auto rolm = [&] { copy(); found = IsAuthenticationPage(work.data()); };
    auto bare = [&] {
        copy();
        tags = 0;
        for (const char* at = work.data(); (at = static_cast<const char*>(memchr(at, '<', page.size() - (at - work.data())))) != nullptr;) {
            const char* close = static_cast<const char*>(memchr(at, '>', page.size() - (at - work.data())));
            if (close == nullptr) break;
            tags += (close - at - 1 >= 19 && close - at - 1 <= 199);
            at = close + 1;
        }
    };
    BOOL form = 0;
    auto reader = [&] { form = IsSignInForm(page.data(), page.size()); };  // writes nothing: no copy
    const std::vector<double> t = FastestOf({copy, rolm, bare, reader}, 2);
    const double r = t[1] - t[0], b = t[2] - t[0];
    Print({"IsAuthenticationPage, 10 MB", "MB/s", "memchr bracket scan", mb / r, mb / b, ">= 0.5",
           "(" + std::to_string(tags) + " tags tested, found " + std::to_string(found) + ")"});
    Print({"IsSignInForm, 10 MB", "MB/s", "memchr bracket scan", mb / t[3], mb / b, ">= 0.5",
           "(found " + std::to_string(form) + ")"});
}

// ---- HTTP --------------------------------------------------------------------

// Bare WinINet: open, connect, request, send, read into a block, close;
// with query, each read asks InternetQueryDataAvailable first (rolm's loop).
bool WinInetGet(WORD port, const char* path, size_t announced, std::vector<char>* block, bool query = false) {
    HINTERNET root = ::InternetOpenW(L"bench", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    HINTERNET connect = ::InternetConnectW(root, L"127.0.0.1", port, L"", L"", INTERNET_SERVICE_HTTP, 0, 0);
    HINTERNET request = ::HttpOpenRequestA(connect, "GET", path, nullptr, nullptr, nullptr,
                                           INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                               INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_PRAGMA_NOCACHE, 0);
    bool ok = request != nullptr && ::HttpSendRequestW(request, nullptr, 0, nullptr, 0);
    size_t position = 0;
    if (ok) {
        std::vector<char>(announced + 1, 0).swap(*block);  // a fresh zeroed block, as rolm's
        DWORD read = 0, available = static_cast<DWORD>(announced);
        while (position < announced && (!query || ::InternetQueryDataAvailable(request, &available, 0, 0)) &&
               ::InternetReadFile(request, block->data() + position,
                                  static_cast<DWORD>(std::min<size_t>(available, announced - position)), &read) &&
               read != 0)
            position += read;
    }
    ::InternetCloseHandle(request);
    ::InternetCloseHandle(connect);
    ::InternetCloseHandle(root);
    return ok && position == announced;
}

void HttpRows() {
    const size_t big = 64u << 20;
    const std::string bigReply = http_test::Response("200 OK", "Content-Length: " + std::to_string(big) + "\r\n",
                                                     std::string(big, 'x'));
    const std::string smallReply = http_test::Response("200 OK", "Content-Length: 5\r\n", "hello");
    std::string chunkedReply = http_test::Response("200 OK", "Transfer-Encoding: chunked\r\n", "");
    for (size_t sent = 0; sent < big; sent += 1 << 20)  // chunks of 1 MB
        chunkedReply += "100000\r\n" + std::string(1 << 20, 'x') + "\r\n";
    chunkedReply += "0\r\n\r\n";
    const int bigRuns = 9, smallRuns = 150;

    // Each figure is the median of its runs, taken in turns after one warm-up
    // exchange each: on a shared machine a single slow run says little.
    std::vector<char> block;
    std::vector<double> rolmRuns, baseRuns, queryRuns, exRuns, chunkedRuns, chunkedBaseRuns;
    {
        http_test::ScriptedServer server([&](const std::string& request) {
            if (request.find("/warm") != std::string::npos) return smallReply;
            return request.find("/chunked") != std::string::npos ? chunkedReply : bigReply;
        });
        auto exGet = [&](const char* path) {
            const HTTP_REQUEST_EX request = {sizeof request, L"GET", L"bench", L"127.0.0.1", server.port(), path};
            HTTP_RESPONSE_EX response = {sizeof response};
            DWORD error = SendHttpRequestEx(&request, &response);
            free(response.pbyBody);
            if (error != 0 || response.dwBodyLength != big)
                printf("SendHttpRequestEx: error %lu, length %lu\n", error, response.dwBodyLength);
        };
        auto rolmGet = [&](const char* path, size_t expected) {
            LPBYTE body = nullptr;
            DWORD length = 0, status = 0;
            DWORD error = SendHttpRequest(L"GET", L"bench", L"127.0.0.1", server.port(), path, L"", L"", nullptr,
                                          &body, &length, &status, nullptr);
            free(body);
            if (error != 0 || length != expected) printf("SendHttpRequest: error %lu, length %lu\n", error, length);
        };
        rolmGet("/warm", 5);
        WinInetGet(server.port(), "/warm", 5, &block);
        WinInetGet(server.port(), "/warm", 5, &block, true);
        for (int i = 0; i < bigRuns; ++i) {
            double start = Now();
            rolmGet("/big", big);
            rolmRuns.push_back(Now() - start);
            start = Now();
            if (!WinInetGet(server.port(), "/big", big, &block)) printf("WinINet: short body\n");
            baseRuns.push_back(Now() - start);
            start = Now();
            if (!WinInetGet(server.port(), "/big", big, &block, true)) printf("WinINet: short body\n");
            queryRuns.push_back(Now() - start);
            start = Now();
            exGet("/big");
            exRuns.push_back(Now() - start);
            start = Now();
            exGet("/chunked");
            chunkedRuns.push_back(Now() - start);
            start = Now();
            if (!WinInetGet(server.port(), "/chunked", big, &block)) printf("WinINet: short body\n");
            chunkedBaseRuns.push_back(Now() - start);
        }
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    const double rolmBig = median(rolmRuns), baseBig = median(baseRuns), queryBig = median(queryRuns);
    const double mb = static_cast<double>(big) / (1 << 20);
    Print({"SendHttpRequest, 64 MB body", "MB/s", "WinINet read loop", mb / rolmBig, mb / baseBig, ">= 0.8"});
    Print({"SendHttpRequest, 64 MB body", "MB/s", "WinINet query-then-read loop", mb / rolmBig, mb / queryBig,
           ">= 0.8"});
    Print({"SendHttpRequestEx, 64 MB body", "MB/s", "WinINet read loop", mb / median(exRuns), mb / baseBig, ">= 0.8"});
    Print({"SendHttpRequestEx, 64 MB chunked body", "MB/s", "WinINet read loop", mb / median(chunkedRuns),
           mb / median(chunkedBaseRuns), ">= 0.8"});

    double rolmSmall = 0, baseSmall = 0;
    {
        http_test::ScriptedServer server([&](const std::string&) { return smallReply; });
        for (int i = 0; i < smallRuns; ++i) {
            double start = Now();
            LPBYTE body = nullptr;
            DWORD length = 0, status = 0;
            SendHttpRequest(L"GET", L"bench", L"127.0.0.1", server.port(), "/small", L"", L"", nullptr, &body,
                            &length, &status, nullptr);
            rolmSmall += Now() - start;
            free(body);
            start = Now();
            WinInetGet(server.port(), "/small", 5, &block);
            baseSmall += Now() - start;
        }
    }
    Print({"SendHttpRequest, 5-byte replies", "req/s", "WinINet open/send/read/close", smallRuns / rolmSmall,
           smallRuns / baseSmall, ">= 0.8"});
}

// ---- ICMP and processes ------------------------------------------------------

void IcmpRow() {
    const int runs = 50;
    DWORD error = 0;
    BOOL answered = TRUE;
    double start = Now();
    for (int i = 0; i < runs; ++i) answered &= SendIcmpEcho("127.0.0.1", &error);
    double rolm = (Now() - start) / runs;
    char data[28] = {};
    char reply[sizeof(ICMP_ECHO_REPLY) + sizeof data + 8];
    const IPAddr loopback = htonl(INADDR_LOOPBACK);
    DWORD replies = 0;
    start = Now();
    for (int i = 0; i < runs; ++i) {
        HANDLE icmp = ::IcmpCreateFile();
        replies += ::IcmpSendEcho(icmp, loopback, data, sizeof data, nullptr, reply, sizeof reply, 1000);
        ::IcmpCloseHandle(icmp);
    }
    double base = (Now() - start) / runs;
    Print({"SendIcmpEcho, 127.0.0.1", "echoes/s", "IcmpCreateFile/IcmpSendEcho/IcmpCloseHandle", 1 / rolm, 1 / base,
           ">= 0.8",
           "(rolm answered " + std::to_string(answered) + " error " + std::to_string(error) + ", bare replies " +
               std::to_string(replies) + "/" + std::to_string(runs) + ")"});
}

void LaunchRows() {
    wchar_t exe[MAX_PATH];
    ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
    const std::wstring command = L"\"" + std::wstring(exe) + L"\" exit";
    // The shell path takes the parameters alone, CreateProcessW the whole line.
    const std::wstring launchLine = IsVistaOrLater() ? L"exit" : command;
    const int runs = 12;
    double rolm = 0, base = 0;
    for (int i = 0; i < runs; ++i) {
        std::wstring line = launchLine;
        DWORD launched = 0, error = 0;
        double start = Now();
        LaunchProcess(exe, &line[0], &launched, &error, SW_HIDE, nullptr);
        rolm += Now() - start;
        line = command;
        STARTUPINFOW si = {sizeof si};
        PROCESS_INFORMATION pi = {};
        start = Now();
        if (::CreateProcessW(exe, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
            ::WaitForSingleObject(pi.hProcess, INFINITE);
            ::CloseHandle(pi.hThread);
            ::CloseHandle(pi.hProcess);
        }
        base += Now() - start;
    }
    const char* path = IsVistaOrLater() ? "(shell path)" : "(CreateProcessW path)";
    Print({"LaunchProcess, child exits at once", "ms/launch", "CreateProcessW + WaitForSingleObject",
           rolm / runs * 1e3, base / runs * 1e3, "<= 1.25", path});
    const double sleep = SecondsPer([] { ::Sleep(10); }, 0.3);
    printf("| of which the wait's fixed Sleep(10) | %.3g ms | - | - | %.2f of a launch | - |\n", sleep * 1e3,
           sleep / (rolm / runs));
}

}  // namespace

int main(int argc, char** argv) {
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    g_ticksPerSecond = static_cast<double>(frequency.QuadPart);
    if (argc > 1 && strcmp(argv[argc - 1], "exit") == 0) return 0;
    if (argc > 1 && strcmp(argv[1], "viewer") == 0) {
        int result = TraceViewerRows();
        ViewerStoreRows();
        return result;
    }
    if (argc > 1 && strcmp(argv[1], "http") == 0) {  // the HTTP rows alone
        HttpRows();
        return 0;
    }

    printf("| operation | rolm | baseline | baseline figure | ratio | aim |\n");
    printf("|---|---|---|---|---|---|\n");
    if (argc > 1 && strcmp(argv[1], "search") == 0) {  // the text rows alone
        MatchRows();
        MatchHardRows();
        SignInPageRow();
        return 0;
    }

    // First: no TraceInit has run in this process yet.
    TraceNoSinkRow();
    const bool traceOnly = argc > 1 && strcmp(argv[1], "trace") == 0;

    wchar_t temp[MAX_PATH], folder[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    StringCchPrintfW(folder, _countof(folder), L"%srolm-bench-%lu", temp, ::GetCurrentProcessId());
    ::CreateDirectoryW(folder, nullptr);

    // The viewer rows in a child, which prints its own rows to the same output.
    wchar_t exe[MAX_PATH];
    ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring child = L"\"" + std::wstring(exe) + L"\" viewer";
    STARTUPINFOW si = {sizeof si};
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    rolm::UniqueProcessInformation pi;
    if (::CreateProcessW(nullptr, &child[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, pi.put()))
        ::WaitForSingleObject(pi.get().hProcess, 300000);

    if (!traceOnly) {
        MatchRows();
        MatchHardRows();
        SignInPageRow();
        HttpRows();
        IcmpRow();
        LaunchRows();
    }
    TraceFileRow(folder);  // last: the rows above must not trace to the file

    for (const wchar_t* name : {L"\\trace.txt", L"\\bare.txt"}) ::DeleteFileW((std::wstring(folder) + name).c_str());
    ::RemoveDirectoryW(folder);
    return 0;
}
