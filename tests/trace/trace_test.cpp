// The trace facility against real viewers: rolmview.exe in another process, or
// viewer windows of the tracing program itself, record exactly what each sink
// receives. Each scenario traces in a fresh child process, since the line
// prefix and the sinks are process-wide.
#include <winsock2.h>
#include <gtest/gtest.h>
#include <rolm/rolm.h>

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

Lines LogLines(const std::wstring& path) {  // UTF-16LE, CR LF each; stamps as "<t>"
    const std::string bytes = rolm_test::ReadFileBytes(path);
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    Lines lines;
    for (size_t start = 0, end; (end = text.find(L"\r\n", start)) != text.npos; start = end + 2)
        lines.push_back(Unstamped(text.substr(start, end - start)));
    return lines;
}

// A viewer window of each kind (Qrv's list, Vellosk, Wendlook) on the calling
// thread. Each records its lines in g_got, then changes the last error, as a
// console write in a window procedure can.
Lines g_got[3];
LRESULT CALLBACK Record(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* copy = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    if (message == LB_ADDSTRING) g_got[0].push_back(Unstamped(reinterpret_cast<LPCWSTR>(lParam)));
    else if (message != WM_COPYDATA) return ::DefWindowProcW(window, message, wParam, lParam);
    else if (copy->dwData == 1) g_got[1].push_back(static_cast<LPCWSTR>(copy->lpData));
    else g_got[2].push_back(rolm_test::Widen(static_cast<const char*>(copy->lpData)));
    ::SetLastError(ERROR_INVALID_HANDLE);
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

// Every line whole, each thread's 1,000 lines in the order it traced them.
bool WholeAndInOrder(const Lines& lines) {
    int next[3] = {}, t = -1, i = -1, used = 0;
    for (const std::wstring& line : lines) {
        const wchar_t* text = line.c_str() + (line.compare(0, 4, L"<t> ") ? 0 : 4);
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
    for (int sink = 0; sink < 4; ++sink)
        if (!WholeAndInOrder(sink < 3 ? g_got[sink] : LogLines(argv[0]))) return 1 << sink;
    wrong |= FailingOperations() == before ? 0 : 32;
    for (HWND window : windows) ::DestroyWindow(window);
    ::DeleteFileW(argv[0]);
    wrong |= FailingOperations() == before ? 0 : 64;
    OwnViewers();
    TraceInit(L"Late", 0);
    TraceWrite(L"again");
    bool found = g_got[0].back() == L"<t> T again" && g_got[1].back() == L"T again";
    return wrong | (found && g_got[2].back() == L"T again" && LogLines(argv[0]).empty() ? 0 : 128);
}

// torture PATH: each system call of the log file sink fails in turn, first in
// TraceInit, then in TraceWrite: no crash, the caller's last error kept, every
// file closed; the lines whose writing did not fail are in the file.
ROLM_CHILD(torture) {
    rolm_test::Faults faults;
    for (int round = 0; round < 2; ++round)
        for (int n = 1; n == 1 || faults.Failed(); ++n) {
            faults.FailNth(n, ERROR_ACCESS_DENIED);
            ::SetLastError(1234);
            round == 0 ? TraceInit(L"T", 1) : TraceWrite(L"%d", n);
            if (::GetLastError() != 1234 || faults.Held("file") != 0) return 100 * round + n;
        }
    faults.Reset();
    return LogLines(argv[0]) == Lines{L"<t> T 4", L"<t> T 5"} ? 0 : 1;
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
    Lines got;  // "SINK dwData cbData TEXT", then the log file's lines
    for (const rolm_test::ViewerRecord& r : viewer.Records())
        got.push_back(rolm_test::Widen(r.sink + " " + r.dwData + " " + r.cbData + " ") +
                      (r.sink == "qrv" ? Unstamped(r.text) : r.text));
    for (const std::wstring& line : LogLines(log.path)) got.push_back(L"file " + line);
    const std::wstring cafe = L"App caf\u00e9 \u4e2d!";
    const std::wstring cut = (L"50%" + std::wstring(117, L'n') + L" " + message).substr(0, 4095);
    char ansi[64];
    wchar_t kept[64];
    int bytes = ::WideCharToMultiByte(CP_ACP, 0, cafe.c_str(), -1, ansi, 64, nullptr, nullptr);
    ::MultiByteToWideChar(CP_ACP, 0, ansi, -1, kept, 64);
    EXPECT_EQ((Lines{L"qrv - - <t> " + cut.substr(0, 4095 - 12), L"vellosk 1 8192 " + cut,
                     L"wendlook 0 4096 " + cut, L"qrv - - <t> " + cafe, L"vellosk 1 24 " + cafe,
                     L"wendlook 0 " + std::to_wstring(bytes) + L" " + kept,
                     L"qrv - - <t> App two", L"vellosk 1 16 App two", L"wendlook 0 8 App two",
                     L"qrv - - <t> Op > x", L"vellosk 1 14 Op > x", L"wendlook 0 7 Op > x",
                     L"qrv - - <t> Op > x", L"vellosk 1 14 Op > x", L"wendlook 0 7 Op > x",
                     L"qrv - - <t> First Op > x", L"vellosk 1 26 First Op > x",
                     L"wendlook 0 13 First Op > x", L"file <t> " + cut.substr(0, 4093 - 12)}),
              got);
}

// Each child checks itself; ~0u is a child deadlocked until RunProgram's timeout.
TEST(TraceSinks, FailingSinksThreadsAndSystemCallsChangeNothingTheCallerSees) {
    for (const wchar_t* verb : {L"sinks", L"torture"}) {
        LogFile log;
        EXPECT_EQ(0u, rolm_test::RunProgram(rolm_test::ChildCommandLine(verb, log.quoted))) << verb;
    }
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
