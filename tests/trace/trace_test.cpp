// The trace facility against real viewers: rolmview.exe in another process, or
// viewer windows of the tracing program itself, record exactly what each sink
// receives. Each scenario traces in a fresh child process, since the line
// prefix and the sinks are process-wide.
#include <winsock2.h>
#include <gtest/gtest.h>
#include <rolm/rolm.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support.h"
#include "viewer.h"

using rolm_test::ReadFileBytes;
using Lines = std::vector<std::wstring>;

namespace {

struct LogFile {  // win.ini [Qrv] Filename names a fresh path while alive
    rolm_test::TempDir dir;
    std::wstring path = dir / L"log.txt", quoted = L"\"" + path + L"\"";
    LogFile() { ::WriteProfileStringW(L"Qrv", L"Filename", path.c_str()); }
    ~LogFile() { ::WriteProfileStringW(L"Qrv", L"Filename", nullptr); }
};

DWORD RunChild(const std::wstring& verb, const std::wstring& args, DWORD timeoutMs = 60000) {
    return rolm_test::RunProgram(rolm_test::ChildCommandLine(verb, args), timeoutMs);
}

// "hh:mm:ss,cc REST" as "<t> REST", with the stamp in hundredths of a second in *time.
std::wstring Unstamped(const std::wstring& line, int* time = nullptr) {
    int h, m, s, c, used = 0;
    if (swscanf(line.c_str(), L"%2d:%2d:%2d,%2d %n", &h, &m, &s, &c, &used) != 4 || used != 12)
        return L"<no stamp> " + line;
    if (time != nullptr) *time = ((h * 60 + m) * 60 + s) * 100 + c;
    return L"<t> " + line.substr(12);
}

Lines LogLines(const std::wstring& path) {  // UTF-16LE, CR LF each
    const std::string bytes = ReadFileBytes(path);
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    Lines lines;
    size_t start = 0;
    for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    if (start != text.size()) lines.push_back(L"<unterminated>" + text.substr(start));
    return lines;
}

// What the viewer received, "SINK dwData cbData TEXT" each, then the log file's lines.
Lines Received(const rolm_test::Viewer& viewer, const std::wstring& logPath) {
    Lines got;
    for (const rolm_test::ViewerRecord& r : viewer.Records()) {
        const size_t nul = r.sink == "wendlook" ? 2 : 4;  // the terminator's hex digits
        got.push_back(rolm_test::Widen(r.sink + " " + r.dwData + " " + r.cbData + " ") +
                      (r.sink == "qrv" ? Unstamped(r.text) : r.text) +
                      (r.hex.substr(r.hex.size() - nul) == std::string(nul, '0') ? L"" : L" <no nul>"));
    }
    for (const std::wstring& line : LogLines(logPath)) got.push_back(L"file " + Unstamped(line));
    return got;
}

// Viewer windows of the kinds asked for ("qvw": Qrv's list, Vellosk, Wendlook)
// on the calling thread. Each records its lines in g_got as "<t> NAME MESSAGE",
// then changes the last error, as a console write in a window procedure can.
Lines g_got[3];
LRESULT CALLBACK Record(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* copy = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    if (message == LB_ADDSTRING) g_got[0].push_back(Unstamped(reinterpret_cast<LPCWSTR>(lParam)));
    else if (message != WM_COPYDATA) return ::DefWindowProcW(window, message, wParam, lParam);
    else if (copy->dwData == 1) g_got[1].push_back(L"<t> " + std::wstring(static_cast<LPCWSTR>(copy->lpData)));
    else g_got[2].push_back(L"<t> " + rolm_test::Widen(static_cast<const char*>(copy->lpData)));
    ::SetLastError(ERROR_INVALID_HANDLE);
    return TRUE;
}
std::vector<HWND> OwnViewers(const std::wstring& kinds) {
    const wchar_t* classes[] = {L"Qrv", L"Vellosk", L"RolmTestSink"};
    std::vector<HWND> windows;
    for (const wchar_t* name : classes) {
        WNDCLASSW type = {0, Record};
        type.lpszClassName = name;
        ::RegisterClassW(&type);
    }
    for (int i = 0; i < 3; ++i) {
        if (kinds.find(L"qvw"[i]) == std::wstring::npos) continue;
        windows.push_back(::CreateWindowW(classes[i], i == 2 ? L"Wendlook" : L"", 0, 0, 0, 0, 0,
                                          nullptr, nullptr, nullptr, nullptr));
        if (i == 0)  // the list box, control 120
            ::CreateWindowW(classes[2], L"", WS_CHILD, 0, 0, 0, 0, windows[0],
                            reinterpret_cast<HMENU>(120), nullptr, nullptr);
    }
    return windows;
}

// trace NAMES SWITCH LINE...: TraceInit once per '|'-separated name ("@null"
// for none), then each line as a message. Before TraceInit nothing is even
// formatted: the first call's argument would fault.
ROLM_CHILD(trace) {
    TraceWrite(L"Op > bad == %s", reinterpret_cast<LPCWSTR>(static_cast<ULONG_PTR>(1)));
    std::wstring names = argc >= 2 ? argv[0] : L"";
    for (size_t start = 0, end = 0; end != names.size(); start = end + 1) {
        end = std::min(names.find(L'|', start), names.size());
        std::wstring name = names.substr(start, end - start);
        TraceInit(name == L"@null" ? nullptr : name.c_str(), wcstoul(argv[1], nullptr, 10));
    }
    for (int i = 2; i < argc; ++i) TraceWrite(L"%s", argv[i]);
    return argc >= 2 ? 0 : 87;
}

// Operations that report a code after tracing their failure: their results and
// the last error after each.
std::vector<DWORD> FailingOperations() {
    ULONG address;
    ::SetLastError(0);
    DWORD host = GetIPaddress("nosuch.invalid", &address, nullptr, nullptr, 0);
    DWORD hostError = ::WSAGetLastError(), tree = CreateDirectories(L"C:\\a<b\\c", 0);
    return {host, hostError, tree, ::GetLastError()};
}

// errors KIND STATE PATH: those operations give what they give with no sink
// with the sink KIND (q, v, w; f: the log file PATH) off, on, or failing (its
// window destroyed, its file deleted after TraceInit). Then a window made
// again is found again, and a deleted log file is not made again.
ROLM_CHILD(errors) {
    std::vector<DWORD> before = FailingOperations();
    std::wstring kind = argv[0], state = argv[1];
    std::vector<HWND> windows = kind == L"f" || state == L"off" ? std::vector<HWND>() : OwnViewers(kind);
    ::SetLastError(1234);
    TraceInit(L"App", kind == L"f" && state != L"off");
    if (::GetLastError() != 1234) return 3;
    for (HWND window : windows)
        if (state == L"failing") ::DestroyWindow(window);
    if (state == L"failing") ::DeleteFileW(argv[2]);
    if (FailingOperations() != before) return 1;
    if (state == L"on") return g_got[0].size() + g_got[1].size() + g_got[2].size() + LogLines(argv[2]).size() ? 0 : 2;
    if (kind != L"f" && ::GetFileAttributesW(argv[2]) != INVALID_FILE_ATTRIBUTES) return 5;  // switch 0
    OwnViewers(kind);
    TraceInit(L"Late", 0);
    TraceWrite(L"again");
    Lines all = LogLines(argv[2]);
    for (const Lines& got : g_got) all.insert(all.end(), got.begin(), got.end());
    return all == (kind == L"f" ? Lines() : Lines{L"<t> App again"}) ? 0 : 4;
}

DWORD WINAPI TraceThousand(void* thread) {
    for (int i = 0; i < 1000; ++i)
        TraceWrite(L"thread %d line %d %s", static_cast<int>(reinterpret_cast<INT_PTR>(thread)), i,
                   std::wstring(100, L'x').c_str());
    return 0;
}

// Every line whole, each thread's 1,000 lines in the order it traced them.
bool WholeAndInOrder(const Lines& lines) {
    int next[3] = {};
    for (const std::wstring& line : lines) {
        int t = -1, i = -1, used = 0;
        if (swscanf(line.c_str(), L"<t> T thread %d line %d %n", &t, &i, &used) != 2 || t < 0 ||
            t > 2 || i != next[t]++ || line.substr(used) != std::wstring(100, L'x'))
            return false;
    }
    return next[0] == 1000 && next[1] == 1000 && next[2] == 1000;
}

// crowd PATH: a viewer window of each kind on this thread, and the log file;
// two workers and this thread trace 1,000 lines each.
ROLM_CHILD(crowd) {
    OwnViewers(L"qvw");
    TraceInit(L"T", 1);
    HANDLE workers[2];
    for (INT_PTR t = 0; t < 2; ++t)
        workers[t] = ::CreateThread(nullptr, 0, TraceThousand, reinterpret_cast<void*>(t + 1), 0, nullptr);
    TraceThousand(nullptr);
    MSG message;
    for (HANDLE worker : workers) {  // serve the workers' lines until they end
        while (::MsgWaitForMultipleObjects(1, &worker, FALSE, INFINITE, QS_SENDMESSAGE) == WAIT_OBJECT_0 + 1)
            ::PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
        ::CloseHandle(worker);
    }
    Lines file;
    for (const std::wstring& line : LogLines(argv[0])) file.push_back(Unstamped(line));
    int wrong = WholeAndInOrder(file) ? 0 : 8;
    for (int sink = 0; sink < 3; ++sink) wrong |= WholeAndInOrder(g_got[sink]) ? 0 : 1 << sink;
    return wrong;
}

TEST(TraceSinks, EachSinkGetsItsExactLinesInOrder) {
    LogFile log;
    rolm_test::Viewer viewer(L"--vellosk --wendlook");
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    for (const wchar_t* args : {L"App 1 \"caf\u00e9 \u4e2d!\" two", L"@null|Late 0 \"Op > x\"",
                                L"|Late 0 \"Op > x\"", L"First|Second 1 \"Op > x\""})
        ASSERT_EQ(0u, RunChild(L"trace", args));
    // Qrv: "hh:mm:ss,cc NAME MESSAGE" in local time; Vellosk: "NAME MESSAGE" in UTF-16,
    // dwData 1; Wendlook: in the ANSI code page, dwData 0; byte counts include the
    // terminator. The log file: Qrv's lines of the program that made it, UTF-16LE, CR LF each.
    const std::wstring cafe = L"App caf\u00e9 \u4e2d!";
    char ansi[64];
    wchar_t kept[64];
    int bytes = ::WideCharToMultiByte(CP_ACP, 0, cafe.c_str(), -1, ansi, 64, nullptr, nullptr);
    ::MultiByteToWideChar(CP_ACP, 0, ansi, -1, kept, 64);
    EXPECT_EQ((Lines{L"qrv - - <t> " + cafe, L"vellosk 1 24 " + cafe,
                     L"wendlook 0 " + std::to_wstring(bytes) + L" " + kept,
                     L"qrv - - <t> App two", L"vellosk 1 16 App two", L"wendlook 0 8 App two",
                     L"qrv - - <t> Op > x", L"vellosk 1 14 Op > x", L"wendlook 0 7 Op > x",
                     L"qrv - - <t> Op > x", L"vellosk 1 14 Op > x", L"wendlook 0 7 Op > x",
                     L"qrv - - <t> First Op > x", L"vellosk 1 26 First Op > x",
                     L"wendlook 0 13 First Op > x", L"file <t> " + cafe, L"file <t> App two"}),
              Received(viewer, log.path));
    int stamp = -1;
    Unstamped(LogLines(log.path).at(0), &stamp);
    EXPECT_LE((stamp / 6000 - now.wHour * 60 - now.wMinute + 1440) % 1440, 1) << stamp;
}

TEST(TraceSinks, OverlongNameAndLinesAreCutAndPercentKeptLiterally) {
    LogFile log;
    rolm_test::Viewer viewer(L"--no-qrv --vellosk");
    const std::wstring message(5000, L'm');
    ASSERT_EQ(0u, RunChild(L"trace", L"50%" + std::wstring(150, L'n') + L" 1 " + message));
    // 121 characters of format text ("50%%" and 117 more); lines of 4095, 4093 in the file.
    std::wstring plain = (L"50%" + std::wstring(117, L'n') + L" " + message).substr(0, 4095);
    EXPECT_EQ((Lines{L"vellosk 1 8192 " + plain, L"file <t> " + plain.substr(0, 4093 - 12)}),
              Received(viewer, log.path));
}

TEST(TraceSinks, LogFileAtTheDefaultPathWhenWinIniNamesNone) {
    ::DeleteFileW(L"C:\\QRV.TXT");
    ASSERT_EQ(0u, RunChild(L"trace", L"App 1 one"));
    EXPECT_EQ(Lines{L"<t> App one"}, Lines{Unstamped(LogLines(L"C:\\QRV.TXT").at(0))});
    ::DeleteFileW(L"C:\\QRV.TXT");
}

TEST(TraceSinks, NoSinkOnOffOrFailingChangesWhatAFailedOperationReports) {
    for (const wchar_t* run : {L"q off", L"q on", L"q failing", L"v on", L"v failing", L"w on",
                               L"w failing", L"f on", L"f failing"}) {
        LogFile log;
        EXPECT_EQ(0u, RunChild(L"errors", std::wstring(run) + L" " + log.quoted)) << run;
    }
}

TEST(TraceSinks, ViewerWindowsOfATracingThreadGetEveryLineWithoutDeadlock) {
    LogFile log;
    EXPECT_EQ(0u, RunChild(L"crowd", log.quoted, 120000));  // ~0u: deadlocked until the timeout
}

TEST(FormatFileTime, FieldsBelowTheMillisecondOrHexForTheTopBitCutToCapacity) {
    wchar_t buffer[64];
    for (auto [value, text] : {std::pair(12345678ull, L"1601-01-01 00:00:01 234ms 567.8\u00b5s"),
                               std::pair(9999ull, L"1601-01-01 00:00:00 0ms 999.9\u00b5s"),
                               std::pair(0x01DB0000ABCDEF12ull, L"2024-09-06 02:01:21 996ms 161.8\u00b5s"),
                               std::pair(0x8000000000000000ull, L"8000000000000000")}) {
        FILETIME time = {static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
        EXPECT_EQ(buffer, FormatFileTime(&time, buffer, 64));
        EXPECT_STREQ(text, buffer);
    }
    FILETIME time = {12345678u, 0};
    for (DWORD capacity : {0u, 1u, 5u, 10u}) {  // cut and terminated, nothing past capacity
        wmemset(buffer, L'#', 16);
        FormatFileTime(&time, buffer, capacity);
        std::wstring cut = capacity ? std::wstring(L"1601-01-01", capacity - 1) + L'\0' : L"";
        EXPECT_EQ(cut + std::wstring(16 - capacity, L'#'), std::wstring(buffer, 16)) << capacity;
    }
    EXPECT_EQ(nullptr, FormatFileTime(&time, nullptr, 64));
    EXPECT_STREQ(L"", FormatFileTime(nullptr, buffer, 16));
}

TEST(GetSystemErrorText, MissingOutputsRefusedWithoutAskingAndUnknownCodesGiveNoText) {
    LPWSTR text = reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(0x1234));
    DWORD length = 77;
    ::SetLastError(4242);
    EXPECT_EQ(87u, GetSystemErrorText(5, nullptr, &length));
    EXPECT_EQ(87u, GetSystemErrorText(5, &text, nullptr));
    EXPECT_EQ(4242u, ::GetLastError());
    EXPECT_NE(0u, GetSystemErrorText(0x2000ABCDu, &text, &length));
    EXPECT_TRUE(text == nullptr && length == 0);
}

}  // namespace
