// The trace facility against real viewers: rolmview.exe in another process, or
// viewer windows of the tracing program itself, record exactly what each sink
// receives. Each scenario traces in a fresh child process, since the line
// prefix and the sinks are process-wide; the children report what their
// viewers and the log file got, as trace_test.cases has it ("#" a number).
#include <rolm/rolm.h>
#include <shlwapi.h>

#include <sstream>

#include "faults.h"
#include "support.h"
#include "viewer.h"

using namespace rolm_test;
using Lines = std::vector<std::wstring>;

ROLM_STANDIN("kernel32.dll", GetProfileStringW, Fails::Null, Role::None, "");
ROLM_STANDIN("shlwapi.dll", PathFileExistsW, Fails::False, Role::None, "");
// Log files and the lock's thread handles, closed alike (the children close no handle of their own while a
// Faults lives).
ROLM_STANDIN("kernel32.dll", CreateFileW, Fails::Invalid, Role::Open, "handle");
ROLM_STANDIN("kernel32.dll", SetFilePointer, Fails::Invalid, Role::None, "");
ROLM_STANDIN("kernel32.dll", SetEndOfFile, Fails::False, Role::None, "");
ROLM_STANDIN("kernel32.dll", OpenThread, Fails::Null, Role::Open, "handle");
ROLM_STANDIN("kernel32.dll", CloseHandle, Fails::False, Role::Close, "handle");
ROLM_STANDIN("kernel32.dll", WaitForSingleObject, Fails::Invalid, Role::None, "");
ROLM_STANDIN("user32.dll", IsWindow, Fails::False, Role::None, "");
ROLM_STANDIN("user32.dll", FindWindowW, Fails::Null, Role::None, "");
ROLM_STANDIN("user32.dll", GetDlgItem, Fails::Null, Role::None, "");
ROLM_STANDIN("user32.dll", SendMessageW, Fails::Null, Role::None, "");
ROLM_STANDIN("kernel32.dll", WideCharToMultiByte, Fails::Null, Role::None, "");
ROLM_STANDIN("kernel32.dll", FileTimeToSystemTime, Fails::False, Role::None, "");
ROLM_STANDIN("kernel32.dll", SystemTimeToFileTime, Fails::False, Role::None, "");
ROLM_STANDIN("kernel32.dll", FormatMessageW, Fails::Null, Role::None, "");

namespace {

// A failing WriteFile writes all of the line but its CR LF first, as a full disk can.
BOOL WINAPI WritePart(HANDLE file, LPCVOID data, DWORD bytes, LPDWORD written, LPOVERLAPPED overlapped);
detail::Slot g_write("kernel32.dll", "WriteFile", Fails::False, Role::None, "", (void*)&WritePart);
BOOL WINAPI WritePart(HANDLE file, LPCVOID data, DWORD bytes, LPDWORD written, LPOVERLAPPED overlapped) {
    auto write = reinterpret_cast<decltype(&::WriteFile)>(g_write.original);
    if (!detail::Enter(g_write)) return write(file, data, bytes, written, overlapped);
    write(file, data, bytes - 2 * sizeof(wchar_t), written, overlapped);
    return FALSE;
}

// A UTF-16LE file's lines, each ended by LF or CR LF (a last one without its end too).
Lines LinesOf(const std::wstring& path) {
    const std::string bytes = ReadFileBytes(path);
    std::wistringstream in(std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2));
    Lines lines;
    for (std::wstring line; std::getline(in, line);) lines.push_back(line.substr(0, line.find_last_not_of(L'\r') + 1));
    return lines;
}

// Viewers of each kind (Qrv's list, Vellosk, Wendlook) on a thread of their
// own, served until a WM_QUIT. Each records "SINK TEXT" in g_got and changes
// the last error, as a console write in a window procedure can; Vellosk's
// then traces, so that it takes its own line too. A WM_USER to one of them
// traces "their own" line from their thread.
Lines g_got;
const wchar_t* g_log;  // the run child's log file
HANDLE g_reached = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
LRESULT CALLBACK Record(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_USER) TraceWrite(L"their own");
    if (message != LB_ADDSTRING && message != WM_COPYDATA) return ::DefWindowProcW(window, message, wParam, lParam);
    // The log file made by the first line's arrival, if TraceInit made none: a file it did not make takes no line.
    if (FILE* made = message == LB_ADDSTRING && g_got.empty() ? _wfopen(g_log, L"ab") : nullptr) fclose(made);
    auto* copy = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    const bool vellosk = message == WM_COPYDATA && copy->dwData == 1;
    if (message == LB_ADDSTRING) g_got.push_back(L"qrv " + std::wstring(reinterpret_cast<LPCWSTR>(lParam)));
    else if (vellosk) g_got.push_back(L"vellosk " + std::wstring(static_cast<LPCWSTR>(copy->lpData)));
    else g_got.push_back(L"wendlook " + Widen(std::string(static_cast<const char*>(copy->lpData), copy->cbData - 1)));
    ::SetLastError(ERROR_INVALID_HANDLE);
    if (vellosk) TraceInit(L"X", 0);
    if (vellosk) TraceWrite(L"Vellosk > got %s", static_cast<LPCWSTR>(copy->lpData));
    return TRUE;
}
DWORD WINAPI ServeViewers(void*) {
    for (const wchar_t* name : {L"Qrv", L"Vellosk", L"RolmTestSink"}) {
        WNDCLASSW type = {0, Record, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr, name};
        ::RegisterClassW(&type);
    }
    HWND qrv = ::CreateWindowW(L"Qrv", L"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    ::CreateWindowW(L"RolmTestSink", L"", WS_CHILD, 0, 0, 0, 0, qrv, reinterpret_cast<HMENU>(120), nullptr, nullptr);
    ::CreateWindowW(L"Vellosk", L"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    ::CreateWindowW(L"RolmTestSink", L"Wendlook", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    ::SetEvent(g_reached);
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) ::DispatchMessageW(&message);
    return 0;
}

// trace FIRST SECOND SWITCH LINE...: TraceInit with each name ("@null" for
// none), then each line as a message ("@bad": a text that faults when read).
// Before TraceInit, or with no sink, nothing is even formatted; nor is a null
// format ever.
ROLM_CHILD(trace) {
    const LPCWSTR bad = reinterpret_cast<LPCWSTR>(static_cast<ULONG_PTR>(1));
    TraceWrite(L"Op > bad == %s", bad);
    for (int i = 0; i < 2 && argc >= 3; ++i)
        TraceInit(wcscmp(argv[i], L"@null") ? argv[i] : nullptr, wcstoul(argv[2], nullptr, 10));
    TraceWrite(nullptr);
    for (int i = 3; i < argc; ++i) TraceWrite(L"%s", wcscmp(argv[i], L"@bad") ? argv[i] : bad);
    return argc >= 3 ? 0 : 87;
}

// Threads of the run child: each sets g_reached when it gets where the test
// wants it; StartUntil waits for that, or ends the child with 3. The child
// leaves the handles of its threads to its end.
HANDLE StartUntil(LPTHREAD_START_ROUTINE body, const wchar_t* text) {
    HANDLE thread = ::CreateThread(nullptr, 0, body, const_cast<wchar_t*>(text), 0, nullptr);
    if (::WaitForSingleObject(g_reached, 10000) != WAIT_OBJECT_0) ::ExitProcess(3);
    return thread;
}
const std::wstring kMany = L"many " + std::wstring(100, L'x');
DWORD WINAPI Trace(void* text) {  // the text, or kMany 300 times
    for (int i = 0; i < (text != nullptr ? 1 : 300); ++i)
        TraceWrite(L"%s", text != nullptr ? static_cast<LPCWSTR>(text) : kMany.c_str());
    return 0;
}
HANDLE WINAPI NeverOpens(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {  // CreateFileW
    ::SetEvent(g_reached);
    ::Sleep(INFINITE);
    return INVALID_HANDLE_VALUE;
}
volatile LONG g_now = 0;  // the run child's clock: it moves only when the test moves it
DWORD WINAPI Clock() { return static_cast<DWORD>(g_now); }

// The threads part of the run child, while the clock stands still: the
// viewers trace a line of their own, no other thread tracing meanwhile; a worker
// ends while it holds the log file's turn (its CreateFileW never returns);
// another takes the turn over and then holds it for ever, and a third waits
// for it until the clock has moved 2 s. Three threads trace 300 lines each;
// the file is moved away. Viewers made again are found again, and trace
// another line of their own; the file is not made again. 0, or where a thread
// was not what it should be.
int Threads(HANDLE viewers, const std::wstring& log) {
    ::SendMessageW(::FindWindowW(L"Vellosk", nullptr), WM_USER, 0, 0);
    {
        ImportPatch stuck("kernel32.dll", "CreateFileW", reinterpret_cast<void*>(&NeverOpens));
        ::TerminateThread(StartUntil(Trace, L"ended in the file"), 1);
        StartUntil(Trace, L"holds the file");
    }
    HANDLE waiting = ::CreateThread(nullptr, 0, Trace, const_cast<wchar_t*>(L"waited 2 s"), 0, nullptr);
    if (::WaitForMultipleObjects(1, &waiting, TRUE, 500) != WAIT_TIMEOUT) return 4;
    ::InterlockedExchangeAdd(&g_now, 2001);
    if (::WaitForMultipleObjects(1, &waiting, TRUE, 10000) != WAIT_OBJECT_0) return 5;
    ::PostMessageW(::FindWindowW(L"Vellosk", nullptr), WM_QUIT, 0, 0);
    ::WaitForMultipleObjects(1, &viewers, TRUE, 10000);
    HANDLE many[3];
    for (HANDLE& thread : many) thread = ::CreateThread(nullptr, 0, Trace, nullptr, 0, nullptr);
    ::WaitForMultipleObjects(3, many, TRUE, INFINITE);
    ::MoveFileW(log.c_str(), (log + L".old").c_str());
    StartUntil(ServeViewers, nullptr);
    TraceInit(L"Late", 1);
    ::SendMessageW(::FindWindowW(L"Vellosk", nullptr), WM_USER, 0, 0);
    return 0;
}

// run N REPORT LOG [threads]: the viewers and the log file LOG; TraceInit
// and TraceWrite "one" with the nth failable call failing (none for 0), that
// of this thread or of the Vellosk viewer tracing back; then, if asked, the
// threads part. Reports the failed call, the caller's last error, what is
// held (what NothingHeld says), what the viewers got, the file's lines and
// the moved file's (the three threads' whole ones counted).
ROLM_CHILD(run) {
    ImportPatch clock("kernel32.dll", "GetTickCount", reinterpret_cast<void*>(&Clock));
    Faults faults;
    HANDLE viewers = StartUntil(ServeViewers, nullptr);
    g_log = argv[2];
    ::WriteProfileStringW(L"Qrv", L"Filename", g_log);  // read by the first TraceInit only
    faults.FailNth(_wtoi(argv[0]), ERROR_ACCESS_DENIED);
    ::SetLastError(1234);
    TraceInit(L"T", 1);
    TraceWrite(L"one");
    const std::wstring error = L"last error " + std::to_wstring(::GetLastError());
    ::WriteProfileStringW(L"Qrv", L"Filename", nullptr);
    int k = 0;
    const char* failed = faults.FailedCall(&k);
    faults.FailNth(0, 0);
    if (const int code = argc > 3 ? Threads(viewers, argv[2]) : 0; code != 0) return code;
    std::wstring report = L"failed " + Widen(failed ? failed : "none") + L" " + std::to_wstring(k) + L"\n" + error;
    report += L"\nheld:" + Widen(faults.NothingHeld().message()) + L"\n";
    for (const std::wstring& line : g_got) report += line + L"\n";
    for (const std::wstring& line : LinesOf(argv[2])) report += L"file " + line + L"\n";
    int whole = 0;  // lines of the three threads
    for (const std::wstring& line : LinesOf(std::wstring(argv[2]) + L".old"))
        if (Fits(L"#:#:#,# T " + kMany, line)) ++whole;
        else report += L"moved " + line + L"\n";
    report += L"whole lines of the threads: " + std::to_wstring(whole) + L"\n";
    const std::string bytes(reinterpret_cast<const char*>(report.data()), report.size() * sizeof(wchar_t));
    return WriteFileBytes(argv[1], bytes) ? 0 : 1;
}

// Each run of the trace child as "[sinks]" of trace_test.cases has it, and what rolmview records of it (the
// log file's lines at the end).
TEST(TraceSinks, EachSinkGetsItsExactLinesCutWhole) {
    ::DeleteFileW(L"C:\\QRV.TXT");
    ASSERT_EQ(0u, RunProgram(ChildCommandLine(L"trace", L"Q Q 0 @bad")));  // no sink yet
    Viewer viewer(L"--vellosk --wendlook");
    Lines expected, files;
    for (const Case& c : Cases("sinks")) {
        ASSERT_EQ(0u, RunProgram(ChildCommandLine(L"trace", Unfold(c.Text("run"))))) << c.source;
        for (const std::wstring& line : c.lines)
            (line.compare(0, 5, L"file ") != 0 ? expected : files).push_back(Unfold(line));
    }
    expected.insert(expected.end(), files.begin(), files.end());
    Lines got = viewer.Records();
    for (const std::wstring& file : LinesOf(L"C:\\QRV.TXT")) got.push_back(L"file " + file);
    EXPECT_TRUE(LinesFit(expected, got));
}

// The unfailed run goes on with viewers that trace while a line arrives and
// workers ended inside the facility, which hold up nobody else; then each
// failing call of TraceInit and TraceWrite costs its own sink's line at most.
// trace_test.cases has each report ("[threads]", "[torture CALL K]"). ~0u: a child
// still running after 30 s.
TEST(TraceRuns, ThreadsAndFailingCallsCostOnlyTheirOwnLines) {
    for (int n = 0;; ++n) {
        TempDir dir;
        const std::wstring files = L" \"" + dir / L"report.txt" + L"\" \"" + dir / L"log.txt" + L"\"";
        const std::wstring run = std::to_wstring(n) + files + (n == 0 ? L" threads" : L"");
        ASSERT_EQ(0u, RunProgram(ChildCommandLine(L"run", run), 30000)) << n;
        const Lines report = LinesOf(dir / L"report.txt");  // never empty: the child returns 0 once it is written
        if (n > 0 && report[0] == L"failed none 0") break;
        const std::vector<Case> expected = Cases(n == 0 ? "threads" : ("torture " + Utf8(report[0].substr(7))).c_str());
        EXPECT_TRUE(LinesFit(expected.empty() ? Lines() : expected[0].lines, report));
    }
}

// FormatFileTime and GetSystemErrorText as their cases say: a buffer's text and what lies past it, the outputs
// a call leaves, and how often it asks the system.
TEST(TraceText, FileTimesAndErrorTexts) {
    EXPECT_TRUE(StandInsCover({"trace"}));
    Faults faults;
    wchar_t buffer[64];
    for (const Case& c : Cases("FormatFileTime")) {
        const FILETIME time = {c.Number("low"), c.Number("high")};
        const std::wstring text = c.Get("text") == "~" ? L"#" : c.Text("text") + L'\0';
        wmemset(buffer, L'#', 64);
        faults.FailNth(c.Number("fail"), ERROR_INVALID_PARAMETER);
        const LPWSTR into = c.Get("buffer") == "~" ? nullptr : buffer;
        EXPECT_EQ(into, FormatFileTime(c.Get("time") == "~" ? nullptr : &time, into, c.Number("capacity"))) << c.source;
        EXPECT_EQ(text + L"#", std::wstring(buffer, text.size() + 1)) << c.source;
    }
    for (const Case& c : Cases("GetSystemErrorText")) {
        faults.Reset();
        faults.FailNth(c.Number("fail"), ERROR_NOT_ENOUGH_MEMORY);
        LPWSTR text = buffer;
        DWORD length = 77;
        const DWORD outputs = c.Number("outputs");
        EXPECT_EQ(c.Number("result"),
                  GetSystemErrorText(c.Number("code"), outputs & 1 ? &text : nullptr, outputs & 2 ? &length : nullptr));
        const std::wstring got = text == buffer ? L"kept" : text != nullptr ? std::wstring(text, length) : L"(null)";
        const std::wstring said = got + L" " + std::to_wstring(length) + L", " + std::to_wstring(faults.Calls());
        EXPECT_EQ(Expand(c.Text("said"), {{L"{crlf}", L"\r\n"}}), said + L" calls") << c.source;
        if (text != buffer) ::LocalFree(text);
    }
}

}  // namespace
