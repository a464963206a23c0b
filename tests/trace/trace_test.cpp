// The trace facility against real viewers: rolmview.exe in another process, or
// viewer windows of the tracing program itself, record exactly what each sink
// receives. Each scenario traces in a fresh child process, since the line
// prefix and the sinks are process-wide.
#include <winsock2.h>
#include <gtest/gtest.h>
#include <rolm/rolm.h>

#include "common/unique.h"
#include "faults.h"
#include "support.h"
#include "viewer.h"

using Lines = std::vector<std::wstring>;

ROLM_STANDIN("kernel32.dll", GetProfileStringW, rolm_test::Fails::Null, rolm_test::Role::None, "");
ROLM_STANDIN("kernel32.dll", CreateFileW, rolm_test::Fails::Invalid, rolm_test::Role::Open, "file");
ROLM_STANDIN("kernel32.dll", SetFilePointer, rolm_test::Fails::Invalid, rolm_test::Role::None, "");
ROLM_STANDIN("kernel32.dll", WriteFile, rolm_test::Fails::False, rolm_test::Role::None, "");
ROLM_STANDIN("kernel32.dll", CloseHandle, rolm_test::Fails::False, rolm_test::Role::Close, "file");

namespace {

const std::wstring kTail(100, L'x');

struct LogFile {  // win.ini [Qrv] Filename names a fresh path while alive
    rolm_test::TempDir dir;
    std::wstring path = dir / L"log.txt", quoted = L"\"" + path + L"\"";
    LogFile() { ::WriteProfileStringW(L"Qrv", L"Filename", path.c_str()); }
    ~LogFile() { ::WriteProfileStringW(L"Qrv", L"Filename", nullptr); }
};

std::wstring Unstamped(const std::wstring& line) {  // "hh:mm:ss,cc REST" as "<t> REST"
    int h, m, s, c, used = 0;  // used stays 0 unless all four fields were read
    swscanf(line.c_str(), L"%2d:%2d:%2d,%2d %n", &h, &m, &s, &c, &used);
    return used == 12 ? L"<t> " + line.substr(12) : L"<no stamp> " + line;
}

Lines LogLines(const std::wstring& path, bool stamped = true) {  // UTF-16LE, CR LF each; stamps as "<t>"
    const std::string bytes = rolm_test::ReadFileBytes(path);
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    Lines lines;
    for (size_t start = 0, end; (end = text.find(L"\r\n", start)) != text.npos; start = end + 2)
        lines.push_back(stamped ? Unstamped(text.substr(start, end - start)) : text.substr(start, end - start));
    return lines;
}

// Viewer windows of each kind (Qrv's list, Vellosk, Wendlook) on the thread
// that makes them. Each records "SINK TEXT" in g_got, changes the last error,
// as a console write in a window procedure can, then runs g_then (if set) with
// its sink's name.
Lines g_got;
void (*g_then)(const std::wstring& sink);
LRESULT CALLBACK Record(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != LB_ADDSTRING && message != WM_COPYDATA) return ::DefWindowProcW(window, message, wParam, lParam);
    auto* copy = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    const std::wstring sink = message == LB_ADDSTRING ? L"qrv" : copy->dwData == 1 ? L"vellosk" : L"wendlook";
    if (message == LB_ADDSTRING) g_got.push_back(L"qrv " + Unstamped(reinterpret_cast<LPCWSTR>(lParam)));
    else if (copy->dwData == 1) g_got.push_back(L"vellosk " + std::wstring(static_cast<LPCWSTR>(copy->lpData)));
    else g_got.push_back(L"wendlook " + rolm_test::Widen(static_cast<const char*>(copy->lpData)));
    ::SetLastError(ERROR_INVALID_HANDLE);
    if (g_then != nullptr) g_then(sink);
    return TRUE;
}
std::vector<HWND> OwnViewers() {
    for (const wchar_t* name : {L"Qrv", L"Vellosk", L"RolmTestSink"}) {
        WNDCLASSW type = {0, Record, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr, name};
        ::RegisterClassW(&type);
    }
    auto open = [](LPCWSTR type, LPCWSTR title, HWND parent) {
        return ::CreateWindowW(type, title, parent ? WS_CHILD : 0, 0, 0, 0, 0, parent,
                               reinterpret_cast<HMENU>(parent ? 120 : 0), nullptr, nullptr);
    };
    std::vector<HWND> windows = {open(L"Qrv", L"", nullptr), open(L"Vellosk", L"", nullptr),
                                 open(L"RolmTestSink", L"Wendlook", nullptr)};
    open(L"RolmTestSink", L"", windows[0]);  // the list box, control 120
    return windows;
}

// Threads of the children below. Each sets g_reached when it gets where the
// test wants it; StartUntil waits for that, and a child whose thread never
// gets there ends with 3.
HANDLE g_reached = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
HANDLE g_release = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
rolm::UniqueHandle StartUntil(LPTHREAD_START_ROUTINE body, const void* argument) {
    rolm::UniqueHandle thread(::CreateThread(nullptr, 0, body, const_cast<void*>(argument), 0, nullptr));
    if (::WaitForSingleObject(g_reached, 10000) != WAIT_OBJECT_0) ::ExitProcess(3);
    return thread;
}
void End(const rolm::UniqueHandle& thread) {
    ::TerminateThread(thread.get(), 1);
    ::WaitForSingleObject(thread.get(), 10000);
}
DWORD WINAPI ServeViewers(void*) {  // OwnViewers served until the process ends
    OwnViewers();
    ::SetEvent(g_reached);
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) ::DispatchMessageW(&message);
    return 0;
}
void (*g_trace)(LPCWSTR text) = [](LPCWSTR text) { TraceWrite(L"%s", text); };  // or the plug-in's
DWORD WINAPI Trace(void* text) {
    g_trace(static_cast<LPCWSTR>(text));
    return 0;
}
HANDLE WINAPI NeverOpens(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {  // CreateFileW
    ::SetEvent(g_reached);
    ::Sleep(INFINITE);
    return INVALID_HANDLE_VALUE;
}
void StopAtVellosk(const std::wstring& sink) {  // a viewer that stops answering until g_release
    if (sink != L"vellosk") return;
    ::SetEvent(g_reached);
    ::WaitForSingleObject(g_release, INFINITE);
}
// Viewers that trace while a line arrives: the list box itself, Vellosk after a
// TraceInit, Wendlook through an operation that traces.
void TraceBack(const std::wstring& sink) {
    if (sink == L"vellosk") TraceInit(L"X", 0);
    if (sink == L"wendlook") CreateDirectories(L"x", 0);
    else TraceWrite(L"%s > got a line", sink.c_str());
}

// trace FIRST SECOND SWITCH LINE...: TraceInit with each name ("@null" for
// none), then each line as a message. Before TraceInit nothing is even
// formatted: the first call's argument would fault.
ROLM_CHILD(trace) {
    TraceWrite(L"Op > bad == %s", reinterpret_cast<LPCWSTR>(static_cast<ULONG_PTR>(1)));
    for (int i = 0; i < 2 && argc >= 3; ++i)
        TraceInit(wcscmp(argv[i], L"@null") ? argv[i] : nullptr, wcstoul(argv[2], nullptr, 10));
    for (int i = 3; i < argc; ++i) TraceWrite(L"%s", argv[i]);
    return argc >= 3 ? 0 : 87;
}

// Operations that report a code after tracing their failure: their results and
// the last error after each.
std::vector<DWORD> FailingOperations() {
    ULONG address;
    DWORD host = GetIPaddress("nosuch.invalid", &address, nullptr, nullptr, 0);
    DWORD hostError = ::WSAGetLastError(), tree = CreateDirectories(L"C:\\a<b\\c", 0);
    return {host, hostError, tree, ::GetLastError()};
}

DWORD WINAPI TraceThousand(void*) {  // the first caller is thread 0, the next 1, the last 2
    static volatile LONG callers = -1;
    const LONG thread = ::InterlockedIncrement(&callers);
    for (int i = 0; i < 1000; ++i) TraceWrite(L"thread %ld line %d %s", thread, i, kTail.c_str());
    return 0;
}

// Every line that begins with sink whole, each thread's 1,000 in the order it traced them.
bool WholeAndInOrder(const Lines& lines, const std::wstring& sink) {
    int next[3] = {}, t = -1, i = -1, used = 0;
    for (const std::wstring& line : lines) {
        if (line.compare(0, sink.size(), sink) != 0) continue;
        const wchar_t* text = line.c_str() + sink.size();
        if (swscanf(text, L"T thread %d line %d %n", &t, &i, &used) != 2 || t < 0 || t > 2 ||
            i != next[t]++ || kTail != text + used)
            return false;
    }
    return next[0] == 1000 && next[1] == 1000 && next[2] == 1000;
}

// sinks PATH: a viewer window of each kind on this thread and the log file at
// PATH; two workers and this thread trace 1,000 lines each. The failing
// operations then give what they gave before TraceInit, with every sink on and
// with every sink failing (windows destroyed, file deleted). A window made
// again is found again; the file is not made again.
ROLM_CHILD(sinks) {
    const std::vector<DWORD> before = FailingOperations();
    std::vector<HWND> windows = OwnViewers();
    ::SetLastError(1234);
    TraceInit(L"T", 1);
    int wrong = ::GetLastError() == 1234 ? 0 : 16;
    HANDLE workers[2] = {::CreateThread(nullptr, 0, TraceThousand, nullptr, 0, nullptr),
                         ::CreateThread(nullptr, 0, TraceThousand, nullptr, 0, nullptr)};
    TraceThousand(nullptr);
    MSG message;
    for (HANDLE worker : workers)  // serve the workers' lines until they end
        while (::MsgWaitForMultipleObjects(1, &worker, FALSE, INFINITE, QS_SENDMESSAGE) ==
               WAIT_OBJECT_0 + 1)
            ::PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
    const wchar_t* sinks[] = {L"qrv <t> ", L"vellosk ", L"wendlook "};
    for (int sink = 0; sink < 3; ++sink)
        if (!WholeAndInOrder(g_got, sinks[sink])) return 1 << sink;
    if (!WholeAndInOrder(LogLines(argv[0]), L"<t> ")) return 8;
    wrong |= FailingOperations() == before ? 0 : 32;
    for (HWND window : windows) ::DestroyWindow(window);
    ::DeleteFileW(argv[0]);
    wrong |= FailingOperations() == before ? 0 : 64;
    OwnViewers();
    TraceInit(L"Late", 0);
    TraceWrite(L"again");
    const Lines again = {L"qrv <t> T again", L"vellosk T again", L"wendlook T again"};
    const bool found = Lines(g_got.end() - 3, g_got.end()) == again;
    return wrong | (found && LogLines(argv[0]).empty() ? 0 : 128);
}

rolm_test::ImportPatch* g_writeFile;
BOOL WINAPI HalfWrite(HANDLE file, LPCVOID data, DWORD bytes, LPDWORD written, LPOVERLAPPED overlapped) {
    reinterpret_cast<decltype(&::WriteFile)>(g_writeFile->original())(file, data, bytes / 2, written, overlapped);
    ::SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

// torture PATH: each system call of the log file sink fails in turn, first in
// TraceInit, then in TraceWrite: no crash, the caller's last error kept, every
// file closed; the lines whose writing did not fail are in the file. A write
// that stops half-way (a full disk) leaves nothing of its line.
ROLM_CHILD(torture) {
    {
        rolm_test::Faults faults;
        for (int round = 0; round < 2; ++round)
            for (int n = 1; n == 1 || faults.Failed(); ++n) {
                faults.FailNth(n, ERROR_ACCESS_DENIED);
                ::SetLastError(1234);
                round == 0 ? TraceInit(L"T", 1) : TraceWrite(L"%d", n);
                if (::GetLastError() != 1234 || faults.Held("file") != 0) return 100 * round + n;
            }
    }
    {
        rolm_test::ImportPatch half("kernel32.dll", "WriteFile", reinterpret_cast<void*>(&HalfWrite));
        g_writeFile = &half;
        TraceWrite(L"half");
    }
    TraceWrite(L"6");
    return LogLines(argv[0]) == Lines{L"<t> T 4", L"<t> T 5", L"<t> T 6"} ? 0 : 1;
}

// threads REPORT LOG: viewer windows on a thread of their own. After a first
// TraceInit that found every TLS slot taken, their procedures trace while a
// line of this thread arrives (TraceBack). Then a worker ends while it holds
// the log file's turn (its CreateFileW never returns), another while its line
// waits on the Vellosk window, which stops answering until this thread has
// called TraceInit. Reports what the viewers and the file got.
ROLM_CHILD(threads) {
    rolm::UniqueHandle viewers = StartUntil(ServeViewers, nullptr);
    std::vector<DWORD> slots;
    for (DWORD slot; (slot = ::TlsAlloc()) != TLS_OUT_OF_INDEXES;) slots.push_back(slot);
    TraceInit(L"T", 1);
    for (DWORD slot : slots) ::TlsFree(slot);
    TraceInit(L"T", 1);
    g_then = TraceBack;
    TraceWrite(L"one");
    g_then = StopAtVellosk;
    {
        rolm_test::ImportPatch stuck("kernel32.dll", "CreateFileW", reinterpret_cast<void*>(&NeverOpens));
        End(StartUntil(Trace, L"ended in the file"));
    }
    rolm::UniqueHandle waiting = StartUntil(Trace, L"ended at the viewer");
    TraceInit(L"T", 1);
    End(waiting);
    ::SetEvent(g_release);
    TraceWrite(L"after");
    std::wstring report;  // for LogLines(PATH, false)
    for (const std::wstring& line : g_got) report += line + L"\r\n";
    for (const std::wstring& line : LogLines(argv[1])) report += L"file " + line + L"\r\n";
    const char* bytes = reinterpret_cast<const char*>(report.data());
    return rolm_test::WriteFileBytes(argv[0], std::string(bytes, report.size() * sizeof(wchar_t))) ? 0 : 1;
}

// plugin: trace_plugin.dll, a copy of the facility of its own, traces from a
// worker that holds the log file's turn when the end of the process kills it.
// Its static destructor traces once more after that, with the loader lock held.
ROLM_CHILD(plugin) {
    HMODULE plugin = ::LoadLibraryW((rolm_test::ProgramDir() + L"trace_plugin.dll").c_str());
    g_trace = reinterpret_cast<void (*)(LPCWSTR)>(reinterpret_cast<void*>(::GetProcAddress(plugin, "PluginTrace")));
    if (g_trace == nullptr) return 2;
    rolm_test::ImportPatch stuck("kernel32.dll", "CreateFileW", reinterpret_cast<void*>(&NeverOpens), plugin);
    rolm::UniqueHandle inFile = StartUntil(Trace, L"in the file");
    return 0;
}

// What a viewer recorded, as "SINK dwData cbData TEXT", then the log file's lines.
Lines Got(const rolm_test::Viewer& viewer, const LogFile& log) {
    Lines got;
    for (const rolm_test::ViewerRecord& r : viewer.Records())
        got.push_back(rolm_test::Widen(r.sink + " " + r.dwData + " " + r.cbData + " ") +
                      (r.sink == "qrv" ? Unstamped(r.text) : r.text));
    for (const std::wstring& line : LogLines(log.path)) got.push_back(L"file " + line);
    return got;
}

std::wstring Wendlook(const std::wstring& line) {  // its record: the line as the ANSI code page keeps it
    std::string ansi(line.size() * 2 + 1, '\0');
    ansi.resize(::WideCharToMultiByte(CP_ACP, 0, line.c_str(), -1, &ansi[0], int(ansi.size()), nullptr, nullptr));
    std::wstring kept(ansi.size(), L'\0');
    kept.resize(::MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, &kept[0], int(kept.size())) - 1);
    return L"wendlook 0 " + std::to_wstring(ansi.size()) + L" " + kept;
}

TEST(TraceSinks, EachSinkGetsItsExactLinesInOrder) {
    ::DeleteFileW(L"C:\\QRV.TXT");  // win.ini names no log file: the default path, on request
    ASSERT_EQ(0u, rolm_test::RunProgram(rolm_test::ChildCommandLine(L"trace", L"App App 0 zero")));
    ASSERT_EQ(0u, rolm_test::RunProgram(rolm_test::ChildCommandLine(L"trace", L"App App 1 one")));
    EXPECT_EQ(Lines{L"<t> App one"}, LogLines(L"C:\\QRV.TXT"));
    ::DeleteFileW(L"C:\\QRV.TXT");
    LogFile log;
    rolm_test::Viewer viewer(L"--vellosk --wendlook");
    const std::wstring message(5000, L'm'), name = L"50%" + std::wstring(150, L'n');
    for (const std::wstring& args :
         Lines{name + L" @null 1 " + message, L"App Late 1 \"caf\u00e9 \u4e2d!\" two",
               L"@null Late 0 \"Op > x\"", L"\"\" Late 0 \"Op > x\"", L"First Second 0 \"Op > x\""})
        ASSERT_EQ(0u, rolm_test::RunProgram(rolm_test::ChildCommandLine(L"trace", args)));
    // Qrv: "hh:mm:ss,cc NAME MESSAGE"; Vellosk: "NAME MESSAGE" in UTF-16, dwData 1;
    // Wendlook: in the ANSI code page, dwData 0; byte counts include the terminator.
    // The log file: Qrv's lines of the program that made it, UTF-16LE, CR LF each.
    // Names are cut at 121 characters of format text ("50%%" and 117 more), lines
    // at 4095 characters, 4093 in the file.
    const std::wstring cafe = L"App caf\u00e9 \u4e2d!";
    const std::wstring cut = (L"50%" + std::wstring(117, L'n') + L" " + message).substr(0, 4095);
    EXPECT_EQ((Lines{L"qrv - - <t> " + cut.substr(0, 4095 - 12), L"vellosk 1 8192 " + cut,
                     L"wendlook 0 4096 " + cut, L"qrv - - <t> " + cafe, L"vellosk 1 24 " + cafe, Wendlook(cafe),
                     L"qrv - - <t> App two", L"vellosk 1 16 App two", L"wendlook 0 8 App two",
                     L"qrv - - <t> Op > x", L"vellosk 1 14 Op > x", L"wendlook 0 7 Op > x",
                     L"qrv - - <t> Op > x", L"vellosk 1 14 Op > x", L"wendlook 0 7 Op > x",
                     L"qrv - - <t> First Op > x", L"vellosk 1 26 First Op > x",
                     L"wendlook 0 13 First Op > x", L"file <t> " + cut.substr(0, 4093 - 12)}),
              Got(viewer, log));
}

// At most limit characters, without the first half of a pair that the limit splits.
std::wstring Cut(const std::wstring& text, size_t limit) {
    std::wstring cut = text.substr(0, limit);
    if (cut.size() == limit && cut.back() >= 0xD800 && cut.back() <= 0xDBFF) cut.pop_back();
    return cut;
}

// A pair (U+1F600) whose first half is the last character a limit keeps: of the
// plain line "App MESSAGE" (4095), the timed line (4095, "hh:mm:ss,cc App " 16
// more characters), the file's line (4093), the name (121 of format text).
TEST(TraceSinks, CutsKeepSurrogatePairsWhole) {
    LogFile log;
    rolm_test::Viewer viewer(L"--vellosk --wendlook");
    Lines messages, expected, file;
    std::wstring args = L"App App 1";
    for (size_t before : {4090, 4078, 4076}) {
        messages.push_back(std::wstring(before, L'a') + L"\U0001F600" + std::wstring(10, L'b'));
        args += L" " + messages.back();
    }
    ASSERT_EQ(0u, rolm_test::RunProgram(rolm_test::ChildCommandLine(L"trace", args)));
    const std::wstring name = std::wstring(120, L'n') + L"\U0001F600";
    ASSERT_EQ(0u, rolm_test::RunProgram(rolm_test::ChildCommandLine(L"trace", name + L" @null 0 \"Op > x\"")));
    for (const std::wstring& message : messages) {
        const std::wstring line = L"App " + Cut(message, 4095), plain = Cut(line, 4095);
        expected.push_back(L"qrv - - <t> " + Cut(line, 4095 - 12));
        expected.push_back(L"vellosk 1 " + std::to_wstring((plain.size() + 1) * 2) + L" " + plain);
        expected.push_back(Wendlook(plain));
        file.push_back(L"file <t> " + Cut(line, 4093 - 12));
    }
    const std::wstring named = std::wstring(120, L'n') + L" Op > x";
    expected.insert(expected.end(), {L"qrv - - <t> " + named, L"vellosk 1 256 " + named, Wendlook(named)});
    expected.insert(expected.end(), file.begin(), file.end());
    EXPECT_EQ(expected, Got(viewer, log));
}

// Each child checks itself; ~0u is a child deadlocked until RunProgram's timeout.
TEST(TraceSinks, FailingSinksThreadsAndSystemCallsChangeNothingTheCallerSees) {
    for (const wchar_t* verb : {L"sinks", L"torture"}) {
        LogFile log;
        EXPECT_EQ(0u, rolm_test::RunProgram(rolm_test::ChildCommandLine(verb, log.quoted))) << verb;
    }
}

// Viewers on other threads that trace while a line arrives or stop answering,
// and workers ended inside the facility, at any time or at the process's end,
// hold up nobody else; every line arrives whole. ~0u: a child still running
// after 30 s.
TEST(TraceThreads, ViewersAndWorkersOnOtherThreadsHoldUpNobody) {
    LogFile log;
    const std::wstring report = log.dir / L"report.txt";
    EXPECT_EQ(0u, rolm_test::RunProgram(rolm_test::ChildCommandLine(L"threads", L"\"" + report + L"\" " + log.quoted),
                                        30000));
    EXPECT_EQ((Lines{L"qrv <t> T one", L"qrv <t> T qrv > got a line", L"vellosk T qrv > got a line",
                     L"wendlook T qrv > got a line", L"vellosk T one", L"qrv <t> T vellosk > got a line",
                     L"vellosk T vellosk > got a line", L"wendlook T vellosk > got a line", L"wendlook T one",
                     L"qrv <t> T CreateDirectories > (x)", L"vellosk T CreateDirectories > (x)",
                     L"wendlook T CreateDirectories > (x)", L"qrv <t> T ended in the file",
                     L"qrv <t> T ended at the viewer", L"vellosk T ended at the viewer", L"qrv <t> T after",
                     L"vellosk T after", L"wendlook T after", L"file <t> T qrv > got a line", L"file <t> T one",
                     L"file <t> T vellosk > got a line", L"file <t> T CreateDirectories > (x)",
                     L"file <t> T ended at the viewer", L"file <t> T after"}),
              LogLines(report, false));
    LogFile plugin;
    EXPECT_EQ(0u, rolm_test::RunProgram(rolm_test::ChildCommandLine(L"plugin"), 30000)) << "plugin";
    EXPECT_EQ(Lines{L"<t> Plugin Plugin > unloaded"}, LogLines(plugin.path)) << "plugin";
}

// FormatFileTime: fields below the millisecond, or hex for the top bit, cut to
// capacity. GetSystemErrorText: missing outputs refused without asking the
// system, unknown codes.
TEST(TraceText, FileTimesAndErrorTexts) {
    wchar_t buffer[64];
    for (auto [value, text] : {std::pair(12345678ull, L"1601-01-01 00:00:01 234ms 567.8\u00b5s"),
                               std::pair(0x8000000000000000ull, L"8000000000000000"),
                               std::pair(0x01DB0000ABCDEF12ull,
                                         L"2024-09-06 02:01:21 996ms 161.8\u00b5s")}) {
        FILETIME time = {static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
        EXPECT_STREQ(text, FormatFileTime(&time, buffer, 64));
    }
    FILETIME time = {12345678u, 0};
    for (DWORD capacity : {0u, 1u, 5u, 10u}) {  // cut and terminated, nothing past capacity
        wmemset(buffer, L'#', 16);
        std::wstring cut = capacity ? std::wstring(L"1601-01-01", capacity - 1) + L'\0' : L"";
        EXPECT_EQ(cut + std::wstring(16 - capacity, L'#'),
                  std::wstring(FormatFileTime(&time, buffer, capacity), 16)) << capacity;
    }
    EXPECT_EQ(nullptr, FormatFileTime(&time, nullptr, 64));
    EXPECT_STREQ(L"", FormatFileTime(nullptr, buffer, 16));
    LPWSTR text = reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(0x1234));
    DWORD length = 77;
    ::SetLastError(4242);
    EXPECT_EQ(87u, GetSystemErrorText(5, nullptr, &length));
    EXPECT_EQ(87u, GetSystemErrorText(5, &text, nullptr));
    EXPECT_EQ(4242u, ::GetLastError());
    EXPECT_NE(0u, GetSystemErrorText(0x2000ABCDu, &text, &length));  // no text: both outputs empty
    EXPECT_TRUE(text == nullptr && length == 0);
}

}  // namespace
