// Hardening: every family's operations in loops that must not leak handles or
// memory, the parsers on inputs that end at an inaccessible page, the text
// scans against plain references, and the trace under load from 3 processes.
#include <winsock2.h>
#include <windows.h>
#include <psapi.h>
#include <shlwapi.h>
#include <gtest/gtest.h>
#include <rolm/rolm.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "scripted_server.h"
#include "support.h"
#include "viewer.h"

namespace {

// ---- Leak loops ----------------------------------------------------------------

// Committed private memory: the system's figure, or (Wine reports 0) the sum
// of the committed private regions of the address space.
SIZE_T PrivateBytes() {
    PROCESS_MEMORY_COUNTERS_EX counters = {sizeof counters};
    ::GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                           sizeof counters);
    if (counters.PrivateUsage != 0) return counters.PrivateUsage;
    SIZE_T total = 0;
    MEMORY_BASIC_INFORMATION region;
    for (const char* at = nullptr; ::VirtualQuery(at, &region, sizeof region) == sizeof region;
         at = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += region.RegionSize;
    }
    return total;
}

// Bytes in use in the process's heaps (the C runtime's among them): finer
// than committed pages, which heaps take in large steps.
SIZE_T HeapBytes() {
    HANDLE heaps[64];
    const DWORD count = ::GetProcessHeaps(_countof(heaps), heaps);
    SIZE_T total = 0;
    for (DWORD i = 0; i < count && i < _countof(heaps); ++i) {
        if (!::HeapLock(heaps[i])) continue;
        PROCESS_HEAP_ENTRY entry = {};
        while (::HeapWalk(heaps[i], &entry))
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) total += entry.cbData;
        ::HeapUnlock(heaps[i]);
    }
    return total;
}

// A tenth of the runs first (the system's own caches fill up), then the
// counted runs. A leak of one handle per run always exceeds the handle
// tolerance; one of 64 bytes per run of the 1000-run loops the heap one.
// (Wine's WinINet itself keeps about 170 heap bytes per request, within
// the tolerance for the 60-request loops.)
const DWORD kHandleTolerance = 3;
const SIZE_T kMemoryTolerance = 256 * 1024, kHeapTolerance = 32 * 1024;

struct LeakCase {
    const char* name;
    int runs;
    std::function<void()> run;
};

// The captured trace is dropped after every run, or it would grow.
void RunOnce(const LeakCase& c) {
    c.run();
    rolm_test::TraceLog::Get().Clear();
}

void ExpectNoLeak(const LeakCase& c) {
    for (int i = 0; i < c.runs / 10 + 2; ++i) RunOnce(c);
    const DWORD handles = rolm_test::HandleCount();
    const SIZE_T bytes = PrivateBytes(), heap = HeapBytes();
    for (int i = 0; i < c.runs; ++i) RunOnce(c);
    const DWORD handlesAfter = rolm_test::HandleCount();
    const SIZE_T bytesAfter = PrivateBytes(), heapAfter = HeapBytes();
    EXPECT_LE(handlesAfter, handles + kHandleTolerance) << c.name << " x" << c.runs;
    EXPECT_LE(bytesAfter, bytes + kMemoryTolerance) << c.name << " x" << c.runs;
    EXPECT_LE(heapAfter, heap + kHeapTolerance) << c.name << " x" << c.runs;
}

void RunAll(const std::vector<LeakCase>& cases) {
    for (const LeakCase& c : cases) ExpectNoLeak(c);
}

TEST(Leaks, TraceAndNet) {
    rolm_test::TraceLog::Get();  // every operation traces into this process's viewer
    WSADATA data;
    ASSERT_EQ(0, ::WSAStartup(MAKEWORD(2, 2), &data));  // GetIPaddress's caller owns the session
    char packet[64] = {};
    RunAll({
        {"TraceWrite", 1000, [] { TraceWrite(L"Leaks > %d %s", 1, L"x"); }},
        {"FormatFileTime", 1000, [] { FILETIME t = {1, 2}; wchar_t b[64]; FormatFileTime(&t, b, 64); }},
        {"GetSystemErrorText", 1000, [] { LPWSTR t; DWORD n; if (GetSystemErrorText(5, &t, &n) == 0) ::LocalFree(t); }},
        {"GetSystemErrorText unknown", 1000, [] { LPWSTR t; DWORD n; GetSystemErrorText(0x7FFF1234, &t, &n); }},
        {"GetIPaddress dotted", 1000, [] { ULONG a; GetIPaddress("127.0.0.1", &a, nullptr, nullptr, 0); }},
        {"GetIPaddress too long", 1000, [] { ULONG a; GetIPaddress(std::string(300, 'a').c_str(), &a, nullptr, nullptr, 0); }},
        {"Ping oversize", 1000, [] { DWORD e; Ping("127.0.0.1", 5000, 100, 0, &e); }},
        {"fill_echo_request", 1000, [&] { fill_echo_request(packet, sizeof packet); echo_checksum(packet, sizeof packet); }},
        {"SendIcmpEcho", 100, [] { DWORD e; SendIcmpEcho("127.0.0.1", &e); }},
        {"ConnectionFlagsText", 1000, [] { wchar_t b[40]; ConnectionFlagsText(0x7F, b, 40); }},
    });
    ::WSACleanup();
}

TEST(Leaks, Http) {
    rolm_test::TraceLog::Get();
    const int requests = 60;
    const std::string ok = http_test::Response("200 OK", "Content-Length: 5\r\n", "hello");
    const std::string notFound = http_test::Response("404 Not Found", "Content-Length: 3\r\n", "no!");
    const std::string chunked = http_test::Response("200 OK", "", std::string(70000, 'y'));
    http_test::ScriptedServer server(
        [&](const std::string& request, bool*) {
            if (request.find("/missing") != std::string::npos) return http_test::Reply{notFound};
            if (request.find("/huge") != std::string::npos) return http_test::Reply{chunked};
            return http_test::Reply{ok};
        },
        3 * (requests + requests / 10 + 2));
    auto get = [&](const char* path, const char* variables) {
        LPBYTE body = nullptr;
        DWORD length = 0, status = 0;
        SendHttpRequest(variables ? L"POST" : L"GET", L"t", L"127.0.0.1", server.port(), path, L"", L"",
                        variables, &body, &length, &status, nullptr);
        free(body);
    };
    std::wstring page(4000, L'a');
    RunAll({
        {"SendHttpRequest 200", requests, [&] { get("/ok", nullptr); }},
        {"SendHttpRequest 404", requests, [&] { get("/missing", "a=1"); }},
        {"SendHttpRequest over 65535 unannounced", requests, [&] { get("/huge", nullptr); }},
        {"SendHttpRequest refused", requests, [&] {
             LPBYTE body = nullptr; DWORD length, status;
             SendHttpRequest(L"GET", L"t", L"127.0.0.1", 1, "/", L"", L"", nullptr, &body, &length, &status, nullptr);
             free(body); }},
        {"SendHttpRequest bad arguments", 1000, [] { DWORD l, s; SendHttpRequest(nullptr, nullptr, nullptr, 0, nullptr, L"", L"", nullptr, nullptr, &l, &s, nullptr); }},
        {"Match", 1000, [&] { UINT* o; UINT n; if (Match(page.c_str(), L"aa", &o, &n, TRUE, 0xFFFFFFFF, FALSE) == 0) free(o); }},
        {"Match traced", 200, [&] { UINT* o; UINT n; if (Match(L"abcabc", L"bc", &o, &n, FALSE, 9, TRUE) == 0) free(o); }},
        {"Match missing slot", 1000, [] { UINT n; Match(L"a", L"a", nullptr, &n, FALSE, 1, TRUE); }},
        {"IsAuthenticationPage", 1000, [] { std::string p = "<input type='password' name='p'>"; IsAuthenticationPage(&p[0]); }},
        {"IsInputTagOfType long", 1000, [] { IsInputTagOfType(std::string(3000, 'i').c_str(), L"password"); }},
    });
}

ROLM_CHILD(quit) { return 3; }

TEST(Leaks, ProcessAndFsreg) {
    rolm_test::TraceLog::Get();
    rolm_test::TempDir dir;
    const std::wstring program = rolm_test::ProgramDir() + L"hardening_test.exe";
    const std::wstring line = IsVistaOrLater() ? L"--child quit" : rolm_test::ChildCommandLine(L"quit");
    HANDLE event = ::CreateEventW(nullptr, TRUE, TRUE, nullptr);
    int n = 0;
    RunAll({
        {"LaunchProcess", 15, [&] { std::wstring l = line; DWORD up, e; LaunchProcess(program.c_str(), &l[0], &up, &e, SW_HIDE, nullptr); }},
        {"LaunchProcess missing program", 100, [&] { std::wstring l = L"x"; DWORD up, e; LaunchProcess((dir / L"none.exe").c_str(), &l[0], &up, &e, SW_HIDE, nullptr); }},
        {"WaitForObject", 100, [&] { HANDLE h = event; WaitForObject(OBJECT_OTHER, &h, 10, nullptr, FALSE, 0, FALSE, nullptr, nullptr, nullptr); }},
        {"GetExitCode", 1000, [] { DWORD c; GetExitCode(OBJECT_PROCESS, ::GetCurrentProcess(), &c); GetExitCode(9, nullptr, &c); }},
        {"CreateDirectories", 200, [&] { CreateDirectories((dir / (L"a\\b" + std::to_wstring(n++))).c_str(), 1); }},
        {"CreateDirectories bad path", 1000, [] { CreateDirectories(L"relative\\path", 0); }},
        {"CreateRegKeys", 300, [] {
             HKEY key = nullptr;
             if (CreateRegKeys(HKEY_CURRENT_USER, L"Software\\rolm-hardening\\a\\b", 0, KEY_ALL_ACCESS, &key, nullptr) == 0)
                 ::RegCloseKey(key); }},
        {"CreateRegKeys bad path", 1000, [] { HKEY key; CreateRegKeys(HKEY_CURRENT_USER, L"\\x", 0, KEY_READ, &key, nullptr); }},
        {"CheckRegKey missing", 1000, [] { CheckRegKey(HKEY_CURRENT_USER, L"Software\\rolm-hardening\\none"); }},
        {"GetIniFile", 1000, [] { wchar_t b[MAX_PATH]; GetIniFile(b, MAX_PATH); GetIniFile(b, 4); }},
        {"GetFolderPath", 300, [] { wchar_t b[MAX_PATH]; GetFolderPath(0x1a /* CSIDL_APPDATA */, b); }},
    });
    ::SHDeleteKeyW(HKEY_CURRENT_USER, L"Software\\rolm-hardening");
    ::CloseHandle(event);
}

// ---- Inputs that end at an inaccessible page ----------------------------------

// A readable page followed by a PAGE_NOACCESS one: Place puts bytes so that
// the last one is the last readable byte, and any read past it faults.
class GuardedPage {
public:
    GuardedPage() {
        base_ = static_cast<char*>(::VirtualAlloc(nullptr, 2 * kPage, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        DWORD old;
        ::VirtualProtect(base_ + kPage, kPage, PAGE_NOACCESS, &old);
    }
    ~GuardedPage() { ::VirtualFree(base_, 0, MEM_RELEASE); }
    template <class T>
    T* Place(const T* data, size_t count) {
        T* at = reinterpret_cast<T*>(base_ + kPage) - count;
        memcpy(at, data, count * sizeof(T));
        return at;
    }
    static const size_t kPage = 4096;

private:
    char* base_;
};

std::string RandomBytes(std::mt19937& random, size_t size, const std::string& alphabet) {
    std::string s(size, ' ');
    for (char& c : s) c = alphabet[random() % alphabet.size()];
    return s;
}

TEST(Overrun, ChecksumAndDecodeAtThePageEnd) {
    rolm_test::TraceLog::Get();
    GuardedPage page, header;
    std::mt19937 random(11);
    for (int size = 0; size < 2000; ++size) {
        std::string bytes = RandomBytes(random, static_cast<size_t>(size % 200), std::string("\x00\x01\x45\xFF\x08", 5));
        if (size >= 1000 && bytes.size() > 0) bytes[0] = static_cast<char>(0x40 | (size % 16));  // IPv4, any header length
        const char* at = page.Place(bytes.data(), bytes.size());
        echo_checksum(at, static_cast<int>(bytes.size()));
        sockaddr_in from = {};
        from.sin_family = AF_INET;
        decode_resp(at, static_cast<int>(bytes.size()), &from);
        decode_resp(at, static_cast<int>(bytes.size()), nullptr);
    }
    // A whole echo reply to this process, as the last bytes of the page.
    char reply[48] = {0x45};
    fill_echo_request(reply + 20, 28);
    reply[20] = 0;  // type 0: echo reply
    EXPECT_TRUE(decode_resp(header.Place(reply, sizeof reply), sizeof reply, nullptr));
    rolm_test::TraceLog::Get().Clear();
}

// Match with lengths on texts with no terminator, each ending at the page end.
std::vector<UINT> GuardedMatch(GuardedPage& sourcePage, GuardedPage& findPage, const std::wstring& s,
                               const std::wstring& f, BOOL ignoreCase) {
    UINT* offsets = nullptr;
    UINT count = 0;
    const wchar_t* source = sourcePage.Place(s.data(), s.size());
    const wchar_t* find = findPage.Place(f.data(), f.size());
    EXPECT_EQ(0u, Match(source, static_cast<UINT>(s.size()), find, static_cast<UINT>(f.size()), &offsets,
                        &count, ignoreCase, 0xFFFFFFFF, FALSE));
    std::vector<UINT> out(offsets, offsets + count);
    free(offsets);
    return out;
}

std::vector<UINT> ReferenceMatch(const std::wstring& s, const std::wstring& f, bool ignoreCase) {
    std::vector<UINT> out;
    if (f.empty()) return out;
    for (size_t p = 0; p + f.size() <= s.size();) {
        bool same = ignoreCase ? _wcsnicmp(s.data() + p, f.data(), f.size()) == 0
                               : wcsncmp(s.data() + p, f.data(), f.size()) == 0;
        if (same) out.push_back(static_cast<UINT>(p));
        p += same ? f.size() : 1;
    }
    return out;
}

TEST(Overrun, MatchOnGuardedTextsAgreesWithAPlainSearch) {
    const unsigned seed = 424242;
    std::mt19937 random(seed);
    GuardedPage sourcePage, findPage;
    const wchar_t alphabet[] = L"aAbB\x00E9\x00C9z";
    for (int round = 0; round < 3000; ++round) {
        std::wstring s(random() % 1500, L' '), f(1 + random() % 12, L' ');
        const size_t letters = 2 + random() % (_countof(alphabet) - 2);
        for (wchar_t& c : s) c = alphabet[random() % letters];
        for (wchar_t& c : f) c = alphabet[random() % letters];
        if (round % 3 == 0 && s.size() >= f.size()) s.replace(s.size() - f.size(), f.size(), f);  // a match at the very end
        const BOOL ignoreCase = round % 2;
        ASSERT_EQ(ReferenceMatch(s, f, ignoreCase != 0), GuardedMatch(sourcePage, findPage, s, f, ignoreCase))
            << "seed " << seed << " round " << round;
    }
    // Edge cases: empty texts, a needle longer than the text, both the same.
    for (auto [s, f] : std::vector<std::pair<std::wstring, std::wstring>>{
             {L"", L"a"}, {L"a", L""}, {L"ab", L"abc"}, {L"abc", L"abc"}, {L"x", L"X"}}) {
        EXPECT_EQ(ReferenceMatch(s, f, true), GuardedMatch(sourcePage, findPage, s, f, TRUE));
    }
}

// The page scan, written plainly: the last "<" before each ">" opens the tag.
BOOL ReferencePage(const std::string& page) {
    size_t open = std::string::npos;
    for (size_t i = 0; i < page.size() && page[i] != '\0'; ++i) {
        if (page[i] == '<') {
            open = i;
        } else if (page[i] == '>' && open != std::string::npos) {
            if (i - open >= 20 && i - open <= 200 &&
                IsInputTagOfType(page.substr(open + 1, i - open - 1).c_str(), L"password"))
                return TRUE;
            open = std::string::npos;
        }
    }
    return FALSE;
}

TEST(Overrun, SignInScanOnGuardedPagesAgreesWithAPlainScan) {
    const unsigned seed = 777;
    std::mt19937 random(seed);
    GuardedPage page, tag;
    const char* pieces[] = {"<", ">", " ", "input", "INPUT", "type", "=", "password", "'", "x", "<input type=password>",
                            "name=p", "\xE9", "=="};
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        for (size_t n = random() % 60; n > 0; --n) text += pieces[random() % _countof(pieces)];
        std::string copy = text + '\0';
        const BOOL expected = ReferencePage(text);
        ASSERT_EQ(expected, IsAuthenticationPage(page.Place(&copy[0], copy.size()))) << "seed " << seed << " round " << round << ": " << text;
        // The tag test alone on the same text, its terminator the last byte.
        IsInputTagOfType(tag.Place(copy.c_str(), copy.size()), L"password");
    }
    // Edge cases: a tag whose ">" is the last character; nothing after "<".
    for (std::string text : {std::string("<input type='password'>"), std::string("<"), std::string(">"),
                             "<" + std::string(4000, 'x'), std::string("")}) {
        text += '\0';
        EXPECT_EQ(ReferencePage(text), IsAuthenticationPage(page.Place(&text[0], text.size()))) << text;
        EXPECT_EQ(text.find("password") != std::string::npos, IsInputTagOfType(tag.Place(text.c_str(), text.size()), L"password"));
    }
}

// ---- The trace under load ------------------------------------------------------

const int kProcesses = 3, kThreads = 8, kLines = 40;

DWORD WINAPI LoadThread(void* param) {
    const int code = static_cast<int>(reinterpret_cast<INT_PTR>(param));
    const std::wstring tail(150, L'x');
    for (int i = 0; i < kLines; ++i) TraceWrite(L"p%d t%d l%d %s", code / 100, code % 100, i, tail.c_str());
    return 0;
}

// load P: kThreads threads of process P trace kLines lines each.
ROLM_CHILD(load) {
    if (argc != 1) return 87;
    TraceInit(L"L", 1);
    HANDLE threads[kThreads];
    for (int t = 0; t < kThreads; ++t)
        threads[t] = ::CreateThread(nullptr, 0, LoadThread,
                                    reinterpret_cast<void*>(static_cast<INT_PTR>(_wtoi(argv[0]) * 100 + t)), 0, nullptr);
    ::WaitForMultipleObjects(kThreads, threads, TRUE, INFINITE);
    for (HANDLE h : threads) ::CloseHandle(h);
    return 0;
}

// Counts each whole line "L p# t# l# xxx...": false for a line that is not.
bool CountLine(const std::wstring& line, std::vector<int>* seen) {
    int p = -1, t = -1, l = -1, used = 0;
    if (swscanf(line.c_str(), L"L p%d t%d l%d %n", &p, &t, &l, &used) != 3) return false;
    if (p < 0 || p >= kProcesses || t < 0 || t >= kThreads || l < 0 || l >= kLines) return false;
    if (line.substr(static_cast<size_t>(used)) != std::wstring(150, L'x')) return false;
    ++(*seen)[(p * kThreads + t) * kLines + l];
    return true;
}

TEST(TraceLoad, ThreeProcessesOfEightThreadsGiveWholeLines) {
    rolm_test::TempDir dir;
    const std::wstring path = dir / L"log.txt";
    ::WriteProfileStringW(L"Qrv", L"Filename", path.c_str());
    {
        rolm_test::Viewer viewer(L"--no-qrv --vellosk");
        ASSERT_TRUE(viewer.running());
        std::vector<HANDLE> children;
        for (int p = 0; p < kProcesses; ++p)
            children.push_back(rolm_test::StartProgram(rolm_test::ChildCommandLine(L"load", std::to_wstring(p))));
        for (HANDLE h : children) {
            ASSERT_NE(nullptr, h);
            EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(h, 60000));
            ::CloseHandle(h);
        }
        // The viewer receives every line exactly once (delivery waits for it).
        std::vector<int> seen(kProcesses * kThreads * kLines, 0);
        for (const rolm_test::ViewerRecord& r : viewer.Records())
            if (r.sink == "vellosk") {
                EXPECT_TRUE(CountLine(r.text, &seen)) << std::string(r.hex, 0, 80);
            }
        EXPECT_EQ(std::vector<int>(seen.size(), 1), seen);
    }
    ::WriteProfileStringW(L"Qrv", L"Filename", nullptr);
    // The log file: a line may be lost while another process holds the file,
    // but each that is there is whole, stamped and ended by CR LF.
    const std::string bytes = rolm_test::ReadFileBytes(path);
    std::wstring text(bytes.size() / 2, L'\0');
    memcpy(&text[0], bytes.data(), text.size() * 2);
    std::vector<int> seen(kProcesses * kThreads * kLines, 0);
    size_t start = 0, end, lines = 0;
    while ((end = text.find(L"\r\n", start)) != std::wstring::npos) {
        const std::wstring line = text.substr(start, end - start);
        ASSERT_TRUE(line.size() > 12 && line[2] == L':' && line[8] == L',' && CountLine(line.substr(12), &seen)) << line.c_str();
        start = end + 2;
        ++lines;
    }
    EXPECT_EQ(text.size(), start) << "unterminated tail";
    for (int count : seen) EXPECT_LE(count, 1);
    EXPECT_GT(lines, 0u);
}

}  // namespace
