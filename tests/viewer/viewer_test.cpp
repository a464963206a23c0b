// rolmview.exe in a process of its own, fed by other processes through every
// channel, read back through the rows it saves on request.
#include <windows.h>
#include <gtest/gtest.h>
#include <rolm/trace.h>

#include <string>
#include <vector>

#include "support.h"
#include "viewer.h"

namespace {

using rolm_test::Viewer;
using Rows = std::vector<std::vector<std::wstring>>;  // received, stamp, name, channels, message

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
std::vector<std::wstring> Summary(const Rows& rows) {
    std::vector<std::wstring> out;
    for (const auto& r : rows) out.push_back(r.size() == 5 ? r[2] + L"|" + r[3] + L"|" + r[4] : L"<bad row>");
    return out;
}

TEST(Viewer, CopiesOfOneLineMergeUnlessChannelsAreShownSeparately) {
    const struct {
        const wchar_t* options;
        std::vector<std::wstring> rows;
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

TEST(Viewer, FiltersOnNameAndTextApplyToWhatIsShown) {
    const struct {
        const wchar_t* options;
        std::vector<std::wstring> rows;
    } cases[] = {
        {L"--filter \"line 1;LINE 2\"", {L"App|qrv|" + Line(1), L"App|qrv|" + Line(2), L"Other|qrv|" + Line(1),
                                         L"Other|qrv|" + Line(2)}},
        {L"--name app --exclude \"line 1\"", {L"App|qrv|" + Line(0), L"App|qrv|" + Line(2)}},
        {L"--exclude-name app --exclude \"line 0;line 2\"", {L"Other|qrv|" + Line(1)}},
    };
    for (const auto& c : cases) {
        Viewer viewer(c.options);
        ASSERT_TRUE(viewer.running()) << c.options;
        ASSERT_EQ(0u, Feed(L"App", 3));
        ASSERT_EQ(0u, Feed(L"Other", 3));
        EXPECT_EQ(c.rows, Summary(viewer.Rows())) << c.options;
    }
}

TEST(Viewer, NothingIsLostAt10000LinesFromThreeProcesses) {
    Viewer viewer(L"--vellosk --wendlook");
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
    std::vector<std::wstring> expected;
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

TEST(Viewer, SavedLogsAndRecordsLoadBackAsTheSameRows) {
    rolm_test::TempDir dir;
    Viewer first(L"--vellosk");
    ASSERT_TRUE(first.running());
    ASSERT_EQ(0u, Feed(L"App", 3));
    Rows rows = first.Rows();
    ASSERT_EQ(3u, rows.size());
    ASSERT_EQ(0u, first.Query(rolm_test::kViewerSaveUtf16, dir / L"saved.log"));
    Viewer second(L"--no-qrv");
    ASSERT_EQ(0u, second.Query(rolm_test::kViewerLoad, dir / L"saved.log"));
    ASSERT_EQ(0u, second.Query(rolm_test::kViewerLoad, first.record()));
    Rows twice = rows;
    twice.insert(twice.end(), rows.begin(), rows.end());
    EXPECT_EQ(twice, second.Rows());
}

}  // namespace
