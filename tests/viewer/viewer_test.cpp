// rolmview.exe in a process of its own, fed by other processes through every
// channel, driven through its window's messages, read back through the rows
// it saves on request, its status bar and its detail pane.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>
#include <rolm/trace.h>
#include <strsafe.h>

#include <string>
#include <vector>

#include "support.h"
#include "tools/rolmview/resource.h"
#include "viewer.h"

namespace {

using rolm_test::Viewer;
using rolm_test::WindowText;
using Rows = std::vector<std::vector<std::wstring>>;  // received, stamp, name, channels, message
using Texts = std::vector<std::wstring>;
const size_t npos = std::wstring::npos;

// feed NAME COUNT [DEBUG]: COUNT trace lines under NAME, then DEBUG through OutputDebugString.
ROLM_CHILD(feed) {
    if (argc < 2) return 2;
    TraceInit(argv[0], 0);
    for (int i = 0, count = _wtoi(argv[1]); i < count; ++i) TraceWrite(L"Feed > line %d", i);
    if (argc < 3) return 0;
    ::OutputDebugStringW(argv[2]);
    ::Sleep(500);  // alive while the viewer looks up its name
    return 0;
}

std::wstring FeedArgs(const std::wstring& name, int count, const std::wstring& debug = L"") {
    return rolm_test::ChildCommandLine(L"feed", name + L" " + std::to_wstring(count) +
                                                    (debug.empty() ? L"" : L" \"" + debug + L"\""));
}

DWORD Feed(const std::wstring& name, int count, const std::wstring& debug = L"") {
    return rolm_test::RunProgram(FeedArgs(name, count, debug));
}

std::wstring Line(int n) { return L"Feed > line " + std::to_wstring(n); }

// (name, channels, message) of each row.
Texts Summary(const Rows& rows) {
    Texts out;
    for (const auto& r : rows) out.push_back(r.size() == 5 ? r[2] + L"|" + r[3] + L"|" + r[4] : L"<bad row>");
    return out;
}

// A saved log (UTF-16) of qrv rows a second apart, NAME and MESSAGE as the file holds them.
void WriteLog(const std::wstring& path, const std::vector<std::pair<std::wstring, std::wstring>>& rows) {
    std::wstring text = L"\uFEFF# rolmview log: received, stamp, name, channels, message; "
                        L"\\\\, TAB, CR, LF written as \\\\, \\t, \\r, \\n\r\n";
    wchar_t received[32];
    for (size_t n = 0; n < rows.size(); ++n) {
        StringCchPrintfW(received, 32, L"2026-12-06 05:%02u:%02u.000", static_cast<unsigned>(n / 60 % 60),
                         static_cast<unsigned>(n % 60));
        text += received + (L"\t-\t" + rows[n].first + L"\tqrv\t" + rows[n].second + L"\r\n");
    }
    ASSERT_TRUE(rolm_test::WriteFileBytes(path, std::string(reinterpret_cast<const char*>(text.data()),
                                                            text.size() * sizeof(wchar_t))));
}

// The detail pane's text without the line ends it breaks long lines with.
std::wstring Detail(const Viewer& viewer) {
    std::wstring text = WindowText(viewer.Window(IDC_DETAIL)), out;
    for (size_t i = 0; i < text.size(); ++i)
        if (text.compare(i, 2, L"\r\n") == 0) ++i;
        else out += text[i];
    return out;
}

TEST(Viewer, CopiesOfOneLineMergeUnlessChannelsAreShownSeparately) {
    const struct {
        const wchar_t* options;
        Texts rows;
    } cases[] = {
        {L"--vellosk --wendlook", {L"App|qrv+vellosk+wendlook|" + Line(0), L"App|qrv+vellosk+wendlook|" + Line(1)}},
        {L"--vellosk --wendlook --separate",
         {L"App|qrv|" + Line(0), L"App|vellosk|" + Line(0), L"App|wendlook|" + Line(0), L"App|qrv|" + Line(1),
          L"App|vellosk|" + Line(1), L"App|wendlook|" + Line(1)}},
        {L"--no-qrv --wendlook", {L"App|wendlook|" + Line(0), L"App|wendlook|" + Line(1)}},
    };
    for (const auto& c : cases) {
        Viewer viewer(c.options);
        ASSERT_TRUE(viewer.running()) << c.options;
        ASSERT_EQ(0u, Feed(L"App", 2));
        Rows rows = viewer.Rows();
        EXPECT_EQ(c.rows, Summary(rows)) << c.options;
        for (const auto& r : rows)  // the sender's stamp comes with the qrv copy
            EXPECT_EQ(r[3].find(L"qrv") == 0, r[1].size() == 11 && r[1][2] == L':' && r[1][8] == L',') << r[1];
    }
}

TEST(Viewer, DebugOutputOfOtherProgramsIsOneMoreChannel) {
    Viewer viewer(L"--debug-output --vellosk");
    ASSERT_TRUE(viewer.running());
    DWORD pid = 0;
    rolm::UniqueHandle child(rolm_test::StartProgram(FeedArgs(L"App", 1, L"plain debug text"), &pid));
    ASSERT_TRUE(child);
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(child.get(), 30000));
    Rows rows = viewer.Rows();
    ASSERT_EQ(2u, rows.size());
    EXPECT_EQ(L"App|qrv+vellosk|" + Line(0), Summary(rows)[0]);
    EXPECT_EQ(L"viewer_test.exe (" + std::to_wstring(pid) + L")|debug|plain debug text", Summary(rows)[1]);
}

// The record turns over at 1 MB and keeps the file before.
TEST(Viewer, NothingIsLostAt10000LinesFromThreeProcesses) {
    Viewer viewer(L"--vellosk --wendlook --record-limit 1");
    ASSERT_TRUE(viewer.running());
    const int counts[3] = {3334, 3333, 3333};
    rolm::UniqueHandle children[3];
    for (int i = 0; i < 3; ++i)
        children[i].reset(rolm_test::StartProgram(FeedArgs(L"P" + std::to_wstring(i), counts[i])));
    for (auto& child : children) ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(child.get(), 120000));
    Rows rows = viewer.Rows(true);
    ASSERT_EQ(10000u, rows.size());
    int next[3] = {0, 0, 0};
    for (const auto& r : rows) {
        int who = r[2][1] - L'0';
        ASSERT_EQ(L"P" + std::to_wstring(who) + L"|qrv+vellosk+wendlook|" + Line(next[who]++), Summary({r})[0]);
    }
    std::string older = rolm_test::ReadFileBytes(viewer.record() + L".1");
    std::string newer = rolm_test::ReadFileBytes(viewer.record());
    EXPECT_GT(older.size(), (1u << 20) - 300) << "full but for less than a line";
    EXPECT_LE(older.size(), 1u << 20);
    std::string last = newer.substr(newer.rfind('\t') + 1);  // the text of the last line recorded
    EXPECT_TRUE(last == "P0 Feed > line 3333\n" || last == "P1 Feed > line 3332\n" || last == "P2 Feed > line 3332\n")
        << last;
}

TEST(Viewer, BadInputIsShownAsFarAsItReadsAndTheStoreKept) {
    Viewer viewer(L"--vellosk --wendlook");
    ASSERT_TRUE(viewer.running());
    HWND vellosk = ::FindWindowW(L"Vellosk", nullptr), wendlook = ::FindWindowW(nullptr, L"Wendlook");
    HWND list = ::GetDlgItem(::FindWindowW(L"Qrv", nullptr), 120);
    ASSERT_TRUE(vellosk && wendlook && list);
    const wchar_t noEnd[] = {L'a', L'b'}, badUtf16[] = {0xD800, L'z', 0};
    const char odd[] = {'x', 0, 'y', 0, 0, 0, '!'};
    const struct {
        HWND window;
        ULONG_PTR kind;
        const void* data;
        DWORD bytes;
        std::wstring shown;
    } cases[] = {
        {vellosk, 1, noEnd, sizeof noEnd, L"|vellosk|ab"},
        {vellosk, 1, nullptr, 0, L"|vellosk|"},
        {vellosk, 1, odd, sizeof odd, L"|vellosk|xy"},
        {vellosk, 1, badUtf16, sizeof badUtf16, L"|vellosk|\uFFFDz"},
        {wendlook, 0, "no end", 6, L"no|wendlook|end"},
    };
    Texts expected;
    for (const auto& c : cases) {
        COPYDATASTRUCT copy = {c.kind, c.bytes, const_cast<void*>(c.data)};
        ::SendMessageW(c.window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copy));
        expected.push_back(c.shown);
    }
    std::wstring longest = L"12:34:56,78 N " + std::wstring(4095 - 14, L'x');
    ::SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(longest.c_str()));
    expected.push_back(L"N|qrv|" + longest.substr(14));

    rolm_test::TempDir dir;
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), viewer.Query(rolm_test::kViewerSaveUtf8, dir / L"no\\x.log"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), viewer.Query(rolm_test::kViewerLoad, L""));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), viewer.Query(rolm_test::kViewerLoad, dir / L"none.log"));
    EXPECT_TRUE(viewer.running());
    EXPECT_EQ(expected, Summary(viewer.Rows()));
}

// Names and messages keep TAB, CR, LF and the backslash, escaped alike; a
// 100,000-character row and control characters load as saved, and the
// detail pane shows the row's first 30,000 characters, control characters as marks.
TEST(Viewer, SavedLogsAndRecordsLoadBackAsTheSameRows) {
    rolm_test::TempDir dir;
    Viewer first(L"--vellosk");
    ASSERT_TRUE(first.running());
    ASSERT_EQ(0u, Feed(L"App", 2));
    for (const std::wstring line : {L"A\tB m\\n", L"N \tx\r\ny\\", L"\\ \n"}) {
        COPYDATASTRUCT copy = {1, static_cast<DWORD>((line.size() + 1) * 2), const_cast<wchar_t*>(line.c_str())};
        ::SendMessageW(::FindWindowW(L"Vellosk", nullptr), WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copy));
    }
    Rows rows = first.Rows();
    EXPECT_EQ((Texts{L"App|qrv+vellosk|" + Line(0), L"App|qrv+vellosk|" + Line(1), L"A\\tB|vellosk|m\\\\n",
                     L"N|vellosk|\\tx\\r\\ny\\\\", L"\\\\|vellosk|\\n"}),
              Summary(rows));
    ASSERT_EQ(0u, first.Query(rolm_test::kViewerSaveUtf16, dir / L"saved.log"));
    std::wstring longest = L"Feed > ", controls = {L'n', 0, L'b', 7, L'e', 27, L'd', 127, L'e'};
    for (int i = 0; i < 100000; ++i) longest += static_cast<wchar_t>(L'a' + i % 26);
    WriteLog(dir / L"odd.log", {{L"Long", longest}, {L"Ctl", controls}});
    Viewer second(L"--no-qrv");
    for (const std::wstring& log : {dir / L"saved.log", first.record(), dir / L"odd.log"})
        ASSERT_EQ(0u, second.Query(rolm_test::kViewerLoad, log)) << log;
    Rows all = second.Rows(), twice = rows;
    twice.insert(twice.end(), rows.begin(), rows.end());
    ASSERT_EQ(twice.size() + 2, all.size());
    EXPECT_EQ(twice, Rows(all.begin(), all.end() - 2));
    EXPECT_EQ((Texts{longest, controls}), (Texts{all[all.size() - 2][4], all.back()[4]}));

    ::SendMessageW(second.Window(IDC_LIST), WM_KEYDOWN, VK_END, 0);
    ::SendMessageW(second.Window(IDC_LIST), WM_KEYDOWN, VK_UP, 0);
    DWORD_PTR answer = 0;
    EXPECT_TRUE(::SendMessageTimeoutW(second.Window(), WM_NULL, 0, 0, SMTO_NORMAL, 10000, &answer)) << "answers";
    EXPECT_NE(npos, Detail(second).find(L"Long   [qrv]" + longest.substr(0, 30000) + L"[\u2026 70,007 more"));
    ::SendMessageW(second.Window(IDC_LIST), WM_KEYDOWN, VK_DOWN, 0);
    const std::wstring marked = L"n\u2039NUL\u203Ab\u2039BEL\u203Ae\u2039ESC\u203Ad\u2039DEL\u203Ae";
    EXPECT_NE(npos, Detail(second).find(L"Ctl   [qrv]" + marked)) << Detail(second);
}

// Past the limit the oldest rows go; merging, filters (from the command line,
// then the Filters dialog) and loading work on what stays.
TEST(Viewer, AtItsLimitTheNewestRowsStayThroughMergingFiltersAndLoading) {
    Viewer viewer(L"--vellosk --max-rows 4 --exclude-name other");
    ASSERT_TRUE(viewer.running());
    ASSERT_EQ(0u, Feed(L"App", 3));
    ASSERT_EQ(0u, Feed(L"Other", 3));
    const std::wstring a2 = L"App|qrv+vellosk|" + Line(2), o0 = L"Other|qrv+vellosk|" + Line(0);
    const std::wstring o1 = L"Other|qrv+vellosk|" + Line(1), o2 = L"Other|qrv+vellosk|" + Line(2);
    EXPECT_EQ(Texts{a2}, Summary(viewer.Rows()));
    const std::wstring counts = viewer.Status()[0];
    EXPECT_EQ(0u, counts.find(L"1 of 4 rows, filtered, ")) << counts;
    EXPECT_NE(npos, counts.find(L", 2 oldest dropped")) << counts;
    ::SendMessageW(viewer.Window(), WM_COMMAND, IDM_MERGE, 0);
    EXPECT_EQ((Texts{L"App|qrv|" + Line(2), L"App|vellosk|" + Line(2)}), Summary(viewer.Rows()));
    ::SendMessageW(viewer.Window(), WM_COMMAND, IDM_MERGE, 0);
    const struct {
        const wchar_t* fields[4];  // show names, show messages, hide names, hide messages containing
        Texts rows;
        const wchar_t* title;
    } cases[] = {
        {{L"", L"line 1;LINE 2", L"", L""}, {a2, o1, o2}, L"rolmview - filtered"},
        {{L"app", L"", L"", L"line 1"}, {a2}, L"rolmview - filtered"},
        {{L"", L"", L"app", L"line 0;line 2"}, {o1}, L"rolmview - filtered"},
        {{L"", L"", L"", L""}, {a2, o0, o1, o2}, L"rolmview"},
    };
    const int ids[] = {IDC_INCLUDE_NAME, IDC_INCLUDE_TEXT, IDC_EXCLUDE_NAME, IDC_EXCLUDE_TEXT};
    for (const auto& c : cases) {
        ::PostMessageW(viewer.Window(), WM_COMMAND, IDM_FILTERS, 0);
        HWND filters = viewer.Dialog();
        ASSERT_TRUE(filters);
        for (int i = 0; i < 4; ++i)
            ::SendMessageW(::GetDlgItem(filters, ids[i]), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(c.fields[i]));
        ::SendMessageW(filters, WM_COMMAND, IDOK, 0);
        EXPECT_EQ(c.rows, Summary(viewer.Rows())) << c.fields[0] << "|" << c.fields[1] << "|" << c.fields[2];
        EXPECT_EQ(c.title, WindowText(viewer.Window()));
    }

    rolm_test::TempDir dir;
    std::vector<std::pair<std::wstring, std::wstring>> lines;
    Texts last;
    for (int n = 0; n < 30; ++n) lines.push_back({L"Old", L"m " + std::to_wstring(n)});
    for (int n = 26; n < 30; ++n) last.push_back(L"Old|qrv|m " + std::to_wstring(n));
    WriteLog(dir / L"big.log", lines);
    ASSERT_EQ(0u, viewer.Query(rolm_test::kViewerLoad, dir / L"big.log"));
    EXPECT_EQ(last, Summary(viewer.Rows()));
    const std::wstring note = viewer.Status()[2];
    EXPECT_EQ(0u, note.find(L"Loaded 4 lines from " + dir / L"big.log" + L"; its first ")) << note;
    EXPECT_NE(npos, note.find(L") were left out: more than the history limit holds")) << note;
}

// Auto-scroll follows new rows while the view is at the bottom; a scroll up
// holds it, on the same rows as older ones go, until End. A pause counts
// lines, not their copies, from 0 each time.
TEST(Viewer, AScrollUpHoldsTheViewAndAPauseCountsLines) {
    Viewer viewer(L"--vellosk --wendlook --max-rows 130");
    ASSERT_TRUE(viewer.running());
    HWND list = viewer.Window(IDC_LIST);
    ASSERT_EQ(0u, Feed(L"App", 100));
    viewer.Rows();
    LRESULT page = ::SendMessageW(list, LVM_GETCOUNTPERPAGE, 0, 0);
    ASSERT_GT(page, 1);
    EXPECT_EQ(100 - page, ::SendMessageW(list, LVM_GETTOPINDEX, 0, 0)) << "following";
    ::SendMessageW(list, WM_VSCROLL, SB_PAGEUP, 0);
    LRESULT top = ::SendMessageW(list, LVM_GETTOPINDEX, 0, 0);
    ASSERT_LT(top, 100 - page);
    ASSERT_EQ(0u, Feed(L"App", 50));
    viewer.Rows();
    EXPECT_EQ(top - 20, ::SendMessageW(list, LVM_GETTOPINDEX, 0, 0)) << "held on the rows it showed";
    EXPECT_EQ(L"serving qrv+vellosk+wendlook | scroll held (End: follow)", viewer.Status()[1]);
    ::SendMessageW(list, WM_KEYDOWN, VK_END, 0);
    EXPECT_EQ(130 - page, ::SendMessageW(list, LVM_GETTOPINDEX, 0, 0)) << "following again";
    ::SendMessageW(list, WM_KEYDOWN, VK_PRIOR, 0);  // a row selected holds the view too
    top = ::SendMessageW(list, LVM_GETTOPINDEX, 0, 0);
    ASSERT_EQ(0u, Feed(L"App", 20));
    viewer.Rows();
    EXPECT_EQ(top - 20, ::SendMessageW(list, LVM_GETTOPINDEX, 0, 0)) << "held on the row selected";

    const std::wstring state = L"serving qrv+vellosk+wendlook | scroll held (End: follow) | PAUSED, ";
    ::SendMessageW(viewer.Window(), WM_COMMAND, IDM_PAUSE, 0);
    ASSERT_EQ(0u, Feed(L"App", 10));
    viewer.Rows();
    EXPECT_EQ(state + L"10 lines skipped", viewer.Status()[1]);
    ::SendMessageW(viewer.Window(), WM_COMMAND, IDM_PAUSE, 0);
    ::SendMessageW(viewer.Window(), WM_COMMAND, IDM_PAUSE, 0);
    EXPECT_EQ(state + L"0 lines skipped", viewer.Status()[1]);
}

// Programs that call TraceInit find the newer viewer's windows.
TEST(Viewer, ASecondViewerStandsOffTheFirstAndSaysWhoServesWhat) {
    Viewer first(L"--vellosk"), second(L"--vellosk");
    ASSERT_TRUE(first.running() && second.running());
    RECT a = {}, b = {};
    ::GetWindowRect(first.Window(), &a);
    ::GetWindowRect(second.Window(), &b);
    EXPECT_GT(b.left, a.left);
    EXPECT_EQ(b.left - a.left, b.top - a.top);
    ASSERT_EQ(0u, Feed(L"App", 1));
    EXPECT_EQ(Rows(), first.Rows());
    EXPECT_EQ(Texts{L"App|qrv+vellosk|" + Line(0)}, Summary(second.Rows()));
    EXPECT_EQ(L"serving nothing (qrv+vellosk: another viewer)", first.Status()[1]);
    EXPECT_EQ(L"serving qrv+vellosk", second.Status()[1]);
    EXPECT_EQ(L"Another viewer is running (process " + std::to_wstring(first.pid()) +
                  L"): programs that call TraceInit from now on send their qrv+vellosk lines here, not there",
              second.Status()[2]);
}

}  // namespace
