// The trace facility against real viewers: rolmview.exe in another process
// records exactly what each sink receives, and each scenario's tracing runs in
// a fresh child process, since the line prefix and the sinks are process-wide.
#include <gtest/gtest.h>
#include <rolm/trace.h>

#include <string>
#include <vector>

#include "support.h"
#include "viewer.h"

using rolm_test::Viewer;
using rolm_test::ViewerRecord;

namespace {

LPCWSTR NameArg(const wchar_t* arg) { return wcscmp(arg, L"@null") == 0 ? nullptr : arg; }

// trace NAME FILESWITCH LINE...: one TraceInit, then each line as a message.
ROLM_CHILD(trace) {
    if (argc < 2) return 87;
    TraceInit(NameArg(argv[0]), wcstoul(argv[1], nullptr, 10));
    for (int i = 2; i < argc; ++i) TraceWrite(L"%s", argv[i]);
    return 0;
}

// twice FIRST SECOND LINE: the second name must not change the prefix.
ROLM_CHILD(twice) {
    if (argc != 3) return 87;
    TraceInit(NameArg(argv[0]), 0);
    TraceInit(NameArg(argv[1]), 0);
    TraceWrite(L"%s", argv[2]);
    return 0;
}

// A trace call before any TraceInit must not even format: the argument would fault.
ROLM_CHILD(nosink) {
    TraceWrite(L"Op > bad == %s", reinterpret_cast<LPCWSTR>(static_cast<ULONG_PTR>(1)));
    return 0;
}

// deleted PATH: the log file removed while the sink is on is not made again.
ROLM_CHILD(deleted) {
    if (argc != 1) return 87;
    TraceInit(L"App", 1);
    TraceWrite(L"one");
    if (!::DeleteFileW(argv[0])) return 2;
    TraceWrite(L"two");
    return ::GetFileAttributesW(argv[0]) == INVALID_FILE_ATTRIBUTES ? 0 : 1;
}

// reinit READY GO: trace, let the parent swap viewers, look them up again, trace.
ROLM_CHILD(reinit) {
    if (argc != 2) return 87;
    HANDLE ready = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[0]);
    HANDLE go = ::OpenEventW(SYNCHRONIZE, FALSE, argv[1]);
    if (ready == nullptr || go == nullptr) return 2;
    TraceInit(L"App", 0);
    TraceWrite(L"one");
    ::SetEvent(ready);
    ::WaitForSingleObject(go, 30000);
    TraceInit(L"App", 0);
    TraceWrite(L"two");
    ::CloseHandle(ready);
    ::CloseHandle(go);
    return 0;
}

// threads N M: N threads trace M lines each, to every sink that is present.
DWORD WINAPI TraceLines(void* param) {
    int thread = static_cast<int>(reinterpret_cast<INT_PTR>(param) >> 16);
    int lines = static_cast<int>(reinterpret_cast<INT_PTR>(param) & 0xFFFF);
    std::wstring tail(200, L'x');
    for (int i = 0; i < lines; ++i) TraceWrite(L"thread %d line %d %s", thread, i, tail.c_str());
    return 0;
}

ROLM_CHILD(threads) {
    if (argc != 2) return 87;
    int count = _wtoi(argv[0]), lines = _wtoi(argv[1]);
    TraceInit(L"T", 1);
    std::vector<HANDLE> threads;
    for (int t = 0; t < count; ++t)
        threads.push_back(::CreateThread(nullptr, 0, TraceLines,
                                         reinterpret_cast<void*>(static_cast<INT_PTR>((t << 16) | lines)),
                                         0, nullptr));
    for (HANDLE h : threads) {
        ::WaitForSingleObject(h, INFINITE);
        ::CloseHandle(h);
    }
    return 0;
}

std::wstring ArgQuote(const std::wstring& s) { return L"\"" + s + L"\""; }

DWORD RunChild(const std::wstring& verb, const std::wstring& args) {
    return rolm_test::RunProgram(rolm_test::ChildCommandLine(verb, args));
}

std::string HexOfWide(const std::wstring& text) {
    return rolm_test::Hex(text.c_str(), (text.size() + 1) * sizeof(wchar_t));
}

int Centiseconds(const SYSTEMTIME& t) {
    return ((t.wHour * 60 + t.wMinute) * 60 + t.wSecond) * 100 + t.wMilliseconds / 10;
}

// "hh:mm:ss,cc REST": the stamp in hundredths of a second since midnight, or
// -1 when the shape differs; REST is stored.
int ParseStamp(const std::wstring& line, std::wstring* rest) {
    const wchar_t* shape = L"dd:dd:dd,dd ";
    if (line.size() < 12) return -1;
    for (int i = 0; i < 12; ++i) {
        bool digit = line[i] >= L'0' && line[i] <= L'9';
        if (shape[i] == L'd' ? !digit : line[i] != shape[i]) return -1;
    }
    *rest = line.substr(12);
    auto two = [&](int at) { return (line[at] - L'0') * 10 + (line[at + 1] - L'0'); };
    return ((two(0) * 60 + two(3)) * 60 + two(6)) * 100 + two(9);
}

std::vector<std::wstring> Texts(const std::vector<ViewerRecord>& records, const char* sink) {
    std::vector<std::wstring> texts;
    for (const ViewerRecord& r : records)
        if (r.sink == sink) texts.push_back(r.text);
    return texts;
}

// The log file as CR LF separated lines of UTF-16LE text.
std::vector<std::wstring> LogLines(const std::string& bytes) {
    std::wstring text(bytes.size() / 2, L'\0');
    memcpy(&text[0], bytes.data(), text.size() * 2);
    std::vector<std::wstring> lines;
    size_t start = 0, end;
    while ((end = text.find(L"\r\n", start)) != std::wstring::npos) {
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    if (start != text.size()) lines.push_back(L"<unterminated>" + text.substr(start));
    return lines;
}

// Points win.ini [Qrv] Filename at a path for the length of a test.
class LogFileSetting {
public:
    explicit LogFileSetting(const wchar_t* path) { ::WriteProfileStringW(L"Qrv", L"Filename", path); }
    ~LogFileSetting() { ::WriteProfileStringW(L"Qrv", L"Filename", nullptr); }
};

TEST(TraceSinks, VelloskReceivesThePlainUtf16LineWithItsTerminator) {
    Viewer viewer(L"--no-qrv --vellosk");
    ASSERT_TRUE(viewer.running());
    ASSERT_EQ(0u, RunChild(L"trace", L"App 0 \"Op > v == 7\""));
    std::vector<ViewerRecord> records = viewer.Records();
    ASSERT_EQ(1u, records.size());
    const std::wstring line = L"App Op > v == 7";
    EXPECT_EQ("vellosk", records[0].sink);
    EXPECT_EQ("1", records[0].dwData);
    EXPECT_EQ(std::to_string((line.size() + 1) * 2), records[0].cbData);
    EXPECT_EQ(HexOfWide(line), records[0].hex);
}

TEST(TraceSinks, QrvListBoxReceivesTheTimedLine) {
    Viewer viewer(L"");
    ASSERT_TRUE(viewer.running());
    SYSTEMTIME before, after;
    ::GetLocalTime(&before);
    ASSERT_EQ(0u, RunChild(L"trace", L"App 0 \"Op > v == 7\""));
    ::GetLocalTime(&after);
    std::vector<ViewerRecord> records = viewer.Records();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ("qrv", records[0].sink);
    EXPECT_EQ(HexOfWide(records[0].text), records[0].hex);  // zero-terminated, no line end
    std::wstring rest;
    int stamp = ParseStamp(records[0].text, &rest);
    EXPECT_EQ(L"App Op > v == 7", rest) << records[0].text;
    if (Centiseconds(before) <= Centiseconds(after)) {  // not across midnight
        EXPECT_GE(stamp, Centiseconds(before));
        EXPECT_LE(stamp, Centiseconds(after));
    }
}

TEST(TraceSinks, WendlookReceivesTheLineInTheAnsiCodePage) {
    Viewer viewer(L"--no-qrv --wendlook");
    ASSERT_TRUE(viewer.running());
    const std::wstring message = L"caf\u00e9 \u4e2d!";
    ASSERT_EQ(0u, RunChild(L"trace", L"App 0 " + ArgQuote(message)));
    std::wstring line = L"App " + message;
    char expected[64];
    int bytes = ::WideCharToMultiByte(CP_ACP, 0, line.c_str(), -1, expected, sizeof expected,
                                      nullptr, nullptr);
    ASSERT_GT(bytes, 0);
    std::vector<ViewerRecord> records = viewer.Records();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ("wendlook", records[0].sink);
    EXPECT_EQ("0", records[0].dwData);
    EXPECT_EQ(std::to_string(bytes), records[0].cbData);
    EXPECT_EQ(rolm_test::Hex(expected, bytes), records[0].hex);
    EXPECT_EQ("00", records[0].hex.substr(records[0].hex.size() - 2));
}

TEST(TraceSinks, EverySinkIsServedInOrderForEachLine) {
    rolm_test::TempDir dir;
    LogFileSetting setting((dir / L"log.txt").c_str());
    Viewer viewer(L"--vellosk --wendlook");
    ASSERT_TRUE(viewer.running());
    ASSERT_EQ(0u, RunChild(L"trace", L"App 1 one two"));
    std::vector<std::string> order;
    for (const ViewerRecord& r : viewer.Records()) order.push_back(r.sink);
    EXPECT_EQ((std::vector<std::string>{"qrv", "vellosk", "wendlook", "qrv", "vellosk", "wendlook"}),
              order);
    EXPECT_EQ(2u, LogLines(rolm_test::ReadFileBytes(dir / L"log.txt")).size());
}

TEST(TraceSinks, NothingIsFormattedOrSentBeforeTraceInit) {
    Viewer viewer(L"--vellosk --wendlook");
    ASSERT_TRUE(viewer.running());
    EXPECT_EQ(0u, RunChild(L"nosink", L""));
    EXPECT_TRUE(viewer.Records().empty());
}

TEST(TracePrefix, NullOrEmptyFirstNameGivesLinesWithoutPrefix) {
    for (const wchar_t* name : {L"@null", L"\"\""}) {
        Viewer viewer(L"--vellosk");
        ASSERT_TRUE(viewer.running());
        ASSERT_EQ(0u, RunChild(L"twice", std::wstring(name) + L" Late \"Op > x\""));
        std::vector<ViewerRecord> records = viewer.Records();
        ASSERT_EQ(2u, records.size()) << name;
        std::wstring rest;
        EXPECT_GE(ParseStamp(records[0].text, &rest), 0) << records[0].text;
        EXPECT_EQ(L"Op > x", rest);
        EXPECT_EQ(L"Op > x", records[1].text);
    }
}

TEST(TracePrefix, OnlyTheFirstNameCounts) {
    Viewer viewer(L"--no-qrv --vellosk");
    ASSERT_TRUE(viewer.running());
    ASSERT_EQ(0u, RunChild(L"twice", L"First Second msg"));
    EXPECT_EQ(std::vector<std::wstring>{L"First msg"}, Texts(viewer.Records(), "vellosk"));
}

TEST(TracePrefix, OverlongNameIsCutAndPercentKeptLiterally) {
    rolm_test::TempDir dir;
    LogFileSetting setting((dir / L"log.txt").c_str());
    Viewer viewer(L"--no-qrv --vellosk");
    ASSERT_TRUE(viewer.running());
    std::wstring name = L"50%" + std::wstring(150, L'n');
    std::wstring message(5000, L'm');
    ASSERT_EQ(0u, RunChild(L"trace", name + L" 1 " + message));
    // 121 characters of format text: "50%%" and 117 more.
    std::wstring shown = L"50%" + std::wstring(117, L'n');
    std::wstring plain = (shown + L" " + message).substr(0, 4095);
    EXPECT_EQ(std::vector<std::wstring>{plain}, Texts(viewer.Records(), "vellosk"));
    std::vector<std::wstring> lines = LogLines(rolm_test::ReadFileBytes(dir / L"log.txt"));
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(4093u, lines[0].size());  // CR LF and the terminator fill the 4096
    std::wstring rest;
    ASSERT_GE(ParseStamp(lines[0], &rest), 0);
    EXPECT_EQ(plain.substr(0, 4093 - 12), rest);
}

TEST(TraceFile, CreatedWhenAbsentAndAppendedInUtf16WithCrLf) {
    rolm_test::TempDir dir;
    std::wstring path = dir / L"log.txt";
    LogFileSetting setting(path.c_str());
    ASSERT_EQ(0u, RunChild(L"trace", L"App 1 one \"two 2\""));
    std::string bytes = rolm_test::ReadFileBytes(path);
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_FALSE(bytes[0] == '\xff' && bytes[1] == '\xfe') << "no byte-order mark";
    std::vector<std::wstring> lines = LogLines(bytes);
    ASSERT_EQ(2u, lines.size());
    std::wstring rest;
    EXPECT_GE(ParseStamp(lines[0], &rest), 0);
    EXPECT_EQ(L"App one", rest);
    EXPECT_GE(ParseStamp(lines[1], &rest), 0);
    EXPECT_EQ(L"App two 2", rest);
    // A second program finds the file there and leaves it alone.
    ASSERT_EQ(0u, RunChild(L"trace", L"App 1 three"));
    EXPECT_EQ(bytes, rolm_test::ReadFileBytes(path));
}

TEST(TraceFile, InitWithoutTheSwitchCreatesNothing) {
    rolm_test::TempDir dir;
    std::wstring path = dir / L"log.txt";
    LogFileSetting setting(path.c_str());
    ASSERT_EQ(0u, RunChild(L"trace", L"App 0 one"));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(path.c_str()));
}

TEST(TraceFile, ExistingFileOrDirectoryIsNeverWritten) {
    rolm_test::TempDir dir;
    std::wstring path = dir / L"log.txt";
    LogFileSetting setting(path.c_str());
    ASSERT_TRUE(rolm_test::WriteFileBytes(path, "keep"));
    ASSERT_EQ(0u, RunChild(L"trace", L"App 1 one"));
    EXPECT_EQ("keep", rolm_test::ReadFileBytes(path));

    std::wstring folder = dir / L"folder";
    LogFileSetting folderSetting(folder.c_str());
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_EQ(0u, RunChild(L"trace", L"App 1 one"));
    EXPECT_NE(0u, ::GetFileAttributesW(folder.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
}

TEST(TraceFile, DeletedFileSilentlyStopsFileOutput) {
    rolm_test::TempDir dir;
    std::wstring path = dir / L"log.txt";
    LogFileSetting setting(path.c_str());
    EXPECT_EQ(0u, RunChild(L"deleted", ArgQuote(path)));
}

TEST(TraceFile, DefaultPathWhenWinIniNamesNone) {
    const wchar_t* path = L"C:\\QRV.TXT";
    ::DeleteFileW(path);
    ASSERT_EQ(0u, RunChild(L"trace", L"App 1 one"));
    EXPECT_EQ(1u, LogLines(rolm_test::ReadFileBytes(path)).size());
    ::DeleteFileW(path);
}

TEST(TraceViewer, ViewerThatClosesAndReopensIsFoundAgain) {
    wchar_t ready[64], go[64];
    swprintf_s(ready, L"trace-ready-%lu", ::GetCurrentProcessId());
    swprintf_s(go, L"trace-go-%lu", ::GetCurrentProcessId());
    HANDLE readyEvent = ::CreateEventW(nullptr, TRUE, FALSE, ready);
    HANDLE goEvent = ::CreateEventW(nullptr, TRUE, FALSE, go);
    Viewer first(L"--no-qrv --vellosk");
    ASSERT_TRUE(first.running());
    HANDLE child = rolm_test::StartProgram(
        rolm_test::ChildCommandLine(L"reinit", std::wstring(ready) + L" " + go));
    ASSERT_NE(nullptr, child);
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(readyEvent, 30000));
    first.Stop();
    Viewer second(L"--no-qrv --vellosk");
    ::SetEvent(goEvent);
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(child, 30000));
    EXPECT_EQ(std::vector<std::wstring>{L"App one"}, Texts(first.Records(), "vellosk"));
    EXPECT_EQ(std::vector<std::wstring>{L"App two"}, Texts(second.Records(), "vellosk"));
    ::CloseHandle(child);
    ::CloseHandle(readyEvent);
    ::CloseHandle(goEvent);
}

TEST(TraceThreads, ConcurrentCallersGiveWholeLinesOnly) {
    rolm_test::TempDir dir;
    std::wstring path = dir / L"log.txt";
    LogFileSetting setting(path.c_str());
    Viewer viewer(L"--no-qrv --vellosk");
    ASSERT_TRUE(viewer.running());
    const int threads = 8, lines = 50;
    ASSERT_EQ(0u, RunChild(L"threads", std::to_wstring(threads) + L" " + std::to_wstring(lines)));

    // Every (thread, line) pair arrives exactly once, each line whole.
    auto check = [&](const std::vector<std::wstring>& got, bool timed) {
        std::vector<int> seen(threads * lines, 0);
        for (const std::wstring& line : got) {
            std::wstring rest = line;
            if (timed) {
                ASSERT_GE(ParseStamp(line, &rest), 0) << line;
            }
            int t = -1, i = -1;
            wchar_t tail[256] = {};
            ASSERT_EQ(3, swscanf_s(rest.c_str(), L"T thread %d line %d %255s", &t, &i, tail,
                                   static_cast<unsigned>(_countof(tail))))
                << line;
            ASSERT_TRUE(t >= 0 && t < threads && i >= 0 && i < lines) << line;
            EXPECT_EQ(std::wstring(200, L'x'), tail);
            ++seen[t * lines + i];
        }
        EXPECT_EQ(std::vector<int>(threads * lines, 1), seen);
    };
    check(Texts(viewer.Records(), "vellosk"), false);
    check(LogLines(rolm_test::ReadFileBytes(path)), true);
}

TEST(FormatFileTime, RendersFieldsBelowTheMillisecondAndHexForTopBit) {
    struct Case {
        ULONGLONG value;
        const wchar_t* text;
    } cases[] = {
        {12345678ull, L"1601-01-01 00:00:01 234ms 567.8\u00b5s"},
        {0ull, L"1601-01-01 00:00:00 0ms 0.0\u00b5s"},
        {9999ull, L"1601-01-01 00:00:00 0ms 999.9\u00b5s"},
        {0x8000000000000000ull, L"8000000000000000"},
        {0xFFFFFFFFFFFFFFFFull, L"FFFFFFFFFFFFFFFF"},
        {0x01DB0000ABCDEF12ull, nullptr},  // a present-day time: shape only
    };
    for (const Case& c : cases) {
        FILETIME time = {static_cast<DWORD>(c.value), static_cast<DWORD>(c.value >> 32)};
        wchar_t buffer[64];
        EXPECT_EQ(buffer, FormatFileTime(&time, buffer, 64));
        if (c.text != nullptr) {
            EXPECT_STREQ(c.text, buffer);
        } else {
            EXPECT_EQ(L'\u00b5', buffer[wcslen(buffer) - 2]) << buffer;
        }
    }
}

TEST(FormatFileTime, SmallBuffersAreCutNeverOverrun) {
    FILETIME time = {12345678u, 0};
    wchar_t buffer[16];
    for (DWORD capacity : {0u, 1u, 5u, 10u}) {
        wmemset(buffer, L'#', 16);
        FormatFileTime(&time, buffer, capacity);
        for (DWORD i = capacity; i < 16; ++i) {
            ASSERT_EQ(L'#', buffer[i]) << capacity;
        }
        if (capacity > 0) {
            EXPECT_EQ(capacity - 1, wcslen(buffer));
        }
    }
    EXPECT_EQ(nullptr, FormatFileTime(&time, nullptr, 64));
    EXPECT_STREQ(L"", FormatFileTime(nullptr, buffer, 16));
}

TEST(GetSystemErrorText, MissingOutputsAreRefusedWithoutAskingTheSystem) {
    LPWSTR text = reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(0x1234));
    DWORD length = 77;
    ::SetLastError(4242);
    EXPECT_EQ(87u, GetSystemErrorText(5, nullptr, &length));
    EXPECT_EQ(87u, GetSystemErrorText(5, &text, nullptr));
    EXPECT_EQ(4242u, ::GetLastError());
    EXPECT_EQ(77u, length);
}

TEST(GetSystemErrorText, KnownAndUnknownCodes) {
    LPWSTR text = nullptr;
    DWORD length = 0;
    ASSERT_EQ(0u, GetSystemErrorText(ERROR_ACCESS_DENIED, &text, &length));
    ASSERT_NE(nullptr, text);
    EXPECT_EQ(wcslen(text), length);
    ::LocalFree(text);

    text = reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(0x1234));
    length = 77;
    DWORD error = GetSystemErrorText(0x2000ABCDu, &text, &length);
    EXPECT_NE(0u, error);
    EXPECT_EQ(0u, length);
    EXPECT_EQ(nullptr, text);
}

}  // namespace
