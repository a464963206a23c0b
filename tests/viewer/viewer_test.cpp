// rolmview.exe in a process of its own, fed by other processes through every
// channel, driven through its window's messages, read back through the rows
// it saves on request, its list, its status bar and its detail pane. The
// cases are files in cases/, each run by Script (see there).
#include <windows.h>
#include <commctrl.h>
#include <rolm/trace.h>

#include <algorithm>
#include <memory>
#include <sstream>

#include "support.h"
#include "tools/rolmview/resource.h"
#include "viewer.h"

namespace {

using namespace rolm_test;
using Texts = std::vector<std::wstring>;
const size_t npos = std::wstring::npos;

// feed NAME COUNT [DEBUG]: COUNT trace lines under NAME, then DEBUG through
// OutputDebugString, alive until the reader has taken it (and the name of its sender).
ROLM_CHILD(feed) {
    TraceInit(argv[0], 0);
    for (int i = 0, count = _wtoi(argv[1]); i < count; ++i) TraceWrite(L"Feed > line %d", i);
    if (argc < 3) return 0;
    ::OutputDebugStringW(argv[2]);
    OwnHandle ready(::OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, L"DBWIN_BUFFER_READY"));
    if (ready && ::WaitForSingleObject(ready.get(), 10000) == WAIT_OBJECT_0) ::SetEvent(ready.get());
    return 0;
}

// The text after the first n words of a line (each ends at a blank), and its nth word.
std::wstring After(const std::wstring& line, size_t n) {
    size_t at = 0;
    for (; n > 0 && at != npos; --n) at = line.find(L' ', at) == npos ? npos : line.find(L' ', at) + 1;
    return at == npos ? L"" : line.substr(at);
}
std::wstring Word(const std::wstring& line, size_t n) { return After(line, n).substr(0, After(line, n).find(L' ')); }

const struct {
    const wchar_t* name;
    UINT message;  // WM_COMMAND to the main window, the others to the list
    WPARAM value;  // a number after the action's name takes its place
} kActions[] = {{L"merge", WM_COMMAND, IDM_MERGE}, {L"select-all", WM_COMMAND, IDM_SELECT_ALL},
                {L"bookmark", WM_COMMAND, IDM_BOOKMARK}, {L"clear", WM_COMMAND, IDM_CLEAR},
                {L"time-origin", WM_COMMAND, IDM_TIME_ORIGIN}, {L"pause", WM_COMMAND, IDM_PAUSE},
                {L"end", WM_KEYDOWN, VK_END}, {L"up", WM_KEYDOWN, VK_UP}, {L"down", WM_KEYDOWN, VK_DOWN},
                {L"scroll-to", LVM_ENSUREVISIBLE, 0}, {L"next-bookmark", WM_COMMAND, IDM_NEXT_BOOKMARK}};

// A case file: steps, one a line. The lines after a step indented by two
// blanks are what the step must give, as patterns where '#' stands for a
// number (an action gives nothing unless it failed), or the lines a write
// writes. Steps and their lines are unfolded (viewer.h) with {dir} the case's
// folder, {feed} the last feed's process id, {pid:NAME} a viewer's and
// {record:NAME} its record.
//   viewer NAME OPTIONS        starts viewer NAME (hidden, recording)
//   feed NAME COUNT [DEBUG]    runs the feed child to its end
//   send qrv - - TEXT          LB_ADDSTRING to the newest Qrv list box
//   send vellosk|wendlook KIND COUNT TEXT   WM_COPYDATA of TEXT and its terminator (UTF-16
//                              for kind 1, else a byte a character) cut or padded to COUNT bytes (-: all)
//   write PATH                 a UTF-16 file of the lines, '|' standing for TAB
//   rows|title|detail|view NAME  the rows it saves ('|' between the fields), its title, its
//                              detail pane (no line ends), the message atop its list and whether the last row shows
//   cells NAME N [FROM]        column N of its list (from row FROM on)
//   status NAME N              part N of its status bar
//   query NAME DWDATA PATH     its answer to a save (0x524C5601 UTF-8, 0x524C5602 UTF-16) or load (0x524C5603)
//   do NAME ACTION [N]         one of kActions
//   filters NAME A|B|C|D       fills the Filters dialog (names shown, messages shown, hidden) and presses OK
//   offset NAME OTHER          where OTHER's window stands from NAME's
struct Script {
    void Run(const std::string& file) {
        std::wistringstream in(Widen(ReadFileBytes(Widen(file))));
        Texts lines;
        for (std::wstring line; std::getline(in, line);) lines.push_back(line.substr(0, line.find(L'\r')));
        ASSERT_FALSE(lines.empty()) << file;
        for (size_t i = 0; i < lines.size(); ++i) {
            if (lines[i].empty() || lines[i][0] == L'#' || lines[i][0] == L' ') continue;
            Texts block;
            for (size_t j = i + 1; j < lines.size() && lines[j].compare(0, 2, L"  ") == 0; ++j)
                block.push_back(Unfold(lines[j].substr(2), vars_));
            Texts got = Step(lines[i], block);
            if (Word(lines[i], 0) == L"write") block.clear();  // its lines were what it wrote
            EXPECT_TRUE(LinesFit(block, got)) << file << ":" << i + 1 << ": " << Utf8(lines[i]);
        }
    }

    Texts Step(const std::wstring& line, const Texts& block) {
        const std::wstring verb = Word(line, 0), name = Word(line, 1), arg = Unfold(After(line, 2), vars_);
        if (verb == L"viewer") {
            std::unique_ptr<Viewer>& viewer = viewers_[name];
            viewer.reset();  // gone before the next starts
            viewer.reset(new Viewer(arg));
            vars_[L"pid:" + name] = std::to_wstring(viewer->pid());
            vars_[L"record:" + name] = viewer->record();
            return viewer->running() ? Texts() : Texts{L"did not start"};
        }
        if (verb == L"feed") {
            DWORD pid = 0;
            DWORD code = RunProgram(ChildCommandLine(L"feed", Unfold(After(line, 1), vars_)), 60000, nullptr, &pid);
            vars_[L"feed"] = std::to_wstring(pid);
            return code == 0 ? Texts() : Texts{L"ended with " + std::to_wstring(code)};
        }
        if (verb == L"send") {
            const std::wstring text = Unfold(After(line, 4), vars_) + L'\0', count = Word(line, 3);
            const ULONG_PTR kind = wcstoul(Word(line, 2).c_str(), nullptr, 10);
            std::string bytes = kind == 1 ? std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2)
                                          : std::string(text.begin(), text.end());  // a byte a character
            if (count != L"-") bytes.resize(wcstoul(count.c_str(), nullptr, 10));
            COPYDATASTRUCT copy = {kind, static_cast<DWORD>(bytes.size()), bytes.empty() ? nullptr : &bytes[0]};
            HWND window = name == L"vellosk" ? ::FindWindowW(L"Vellosk", nullptr) : ::FindWindowW(nullptr, L"Wendlook");
            bool taken = name == L"qrv" ? ::SendDlgItemMessageW(::FindWindowW(L"Qrv", nullptr), 120, LB_ADDSTRING, 0,
                                                                reinterpret_cast<LPARAM>(text.c_str())) == 0
                                        : ::SendMessageW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copy)) != 0;
            return taken ? Texts() : Texts{L"refused"};
        }
        if (verb == L"write") {
            std::wstring text = L"\uFEFF";
            for (const std::wstring& row : block) text += row + L"\r\n";
            std::replace(text.begin(), text.end(), L'|', L'\t');
            const std::string bytes(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
            return WriteFileBytes(Unfold(After(line, 1), vars_), bytes) ? Texts() : Texts{L"not written"};
        }
        if (viewers_.count(name) == 0) return {L"no viewer " + name};
        Viewer* viewer = viewers_[name].get();
        HWND list = viewer->Window(IDC_LIST);
        if (verb == L"rows") return viewer->Rows();
        if (verb == L"status") return {viewer->Read(IDC_STATUS, SB_GETTEXTW, _wtoi(arg.c_str()))};
        if (verb == L"cells") {
            Texts cells;
            for (int i = _wtoi(After(arg, 1).c_str()); i < ::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0); ++i)
                cells.push_back(viewer->Read(IDC_LIST, LVM_GETITEMTEXTW, i, _wtoi(arg.c_str())));
            return cells;
        }
        if (verb == L"title" || verb == L"detail") {
            std::wstring text(65536, L'\0');  // WM_GETTEXT is carried across processes
            ::SendMessageTimeoutW(viewer->Window(verb == L"title" ? 0 : IDC_DETAIL), WM_GETTEXT, text.size(),
                                  reinterpret_cast<LPARAM>(&text[0]), SMTO_NORMAL, 30000, nullptr);
            text.resize(wcslen(text.c_str()));
            for (size_t at; (at = text.find(L"\r\n")) != npos;) text.erase(at, 2);
            return {text};
        }
        if (verb == L"view") {
            LRESULT top = ::SendMessageW(list, LVM_GETTOPINDEX, 0, 0);
            LRESULT page = ::SendMessageW(list, LVM_GETCOUNTPERPAGE, 0, 0);
            bool last = top + page >= ::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0);
            return {viewer->Read(IDC_LIST, LVM_GETITEMTEXTW, top, 5) + (last ? L", the last row in view" : L"")};
        }
        if (verb == L"query") return {std::to_wstring(viewer->Query(wcstoul(arg.c_str(), nullptr, 16), After(arg, 1)))};
        if (verb == L"do") {
            size_t i = 0;
            while (i < _countof(kActions) && Word(arg, 0) != kActions[i].name) ++i;
            if (i == _countof(kActions)) return {L"no action " + arg};
            WPARAM value = After(arg, 1).empty() ? kActions[i].value : wcstoul(After(arg, 1).c_str(), nullptr, 10);
            ::SendMessageW(kActions[i].message == WM_COMMAND ? viewer->Window() : list, kActions[i].message, value, 0);
            return {};
        }
        if (verb == L"filters") {
            ::PostMessageW(viewer->Window(), WM_COMMAND, IDM_FILTERS, 0);
            HWND dialog = nullptr;  // once shown, it has had WM_INITDIALOG: what is written into it stays
            for (int tries = 0; tries < 1000 && (dialog == nullptr || !::IsWindowVisible(dialog)); ++tries, ::Sleep(10))
                dialog = viewer->Window(0, L"#32770");
            const int ids[] = {IDC_INCLUDE_NAME, IDC_INCLUDE_TEXT, IDC_EXCLUDE_NAME, IDC_EXCLUDE_TEXT};
            for (size_t i = 0, from = 0; i < 4; ++i, from = arg.find(L'|', from) + 1)
                ::SetDlgItemTextW(dialog, ids[i], arg.substr(from, arg.find(L'|', from) - from).c_str());
            ::SendMessageW(dialog, WM_COMMAND, IDOK, 0);
            for (int tries = 0; tries < 1000 && ::IsWindow(dialog); ++tries) ::Sleep(10);  // applied once it is gone
            return dialog != nullptr && !::IsWindow(dialog) ? Texts() : Texts{L"no dialog, or it stayed"};
        }
        if (verb == L"offset") {
            RECT mine = {}, theirs = {};
            ::GetWindowRect(viewer->Window(), &mine);
            ::GetWindowRect(viewers_.count(arg) ? viewers_[arg]->Window() : nullptr, &theirs);
            LONG right = theirs.left - mine.left, down = theirs.top - mine.top;
            if (right > 0 && right == down) return {L"right and down by the same step"};
            return {L"right " + std::to_wstring(right) + L", down " + std::to_wstring(down)};
        }
        return {L"unknown step"};
    }

    TempDir dir_;
    std::map<std::wstring, std::unique_ptr<Viewer>> viewers_;
    std::map<std::wstring, std::wstring> vars_ = {{L"dir", dir_.path()}};
};

TEST(Viewer, CasesGiveWhatTheirFilesSay) {
    WIN32_FIND_DATAA found;
    const HANDLE find = ::FindFirstFileA(ROLM_VIEWER_CASES "/*.txt", &found);
    ASSERT_NE(INVALID_HANDLE_VALUE, find) << ROLM_VIEWER_CASES;
    for (BOOL more = TRUE; more; more = ::FindNextFileA(find, &found))
        Script().Run(ROLM_VIEWER_CASES "/" + std::string(found.cFileName));
    ::FindClose(find);
}

// Copies from three senders at once join in order, nothing lost; the record
// turns over at 1 MB and keeps the file before.
TEST(Viewer, NothingIsLostAt10000LinesFromThreeProcesses) {
    Viewer viewer(L"--vellosk --wendlook --record-limit 1");
    ASSERT_TRUE(viewer.running()) << "rolmview started";
    OwnHandle feeds[3];
    for (int i = 0; i < 3; ++i)
        feeds[i].reset(StartProgram(ChildCommandLine(L"feed", L"P" + std::to_wstring(i) + (i ? L" 3333" : L" 3334"))));
    for (auto& feed : feeds) ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(feed.get(), 120000)) << "fed";
    const Texts rows = viewer.Rows();
    ASSERT_EQ(10000u, rows.size());
    int next[3] = {0, 0, 0};
    for (const std::wstring& row : rows) {
        const std::wstring fields = row.substr(row.find(L'|', row.find(L'|') + 1) + 1);  // name, channels, message
        const unsigned who = fields.size() > 1 ? (fields[1] - L'0') % 3u : 0;  // P0..P2; any other fails here
        ASSERT_EQ(L"P" + std::to_wstring(who) + L"|qrv+vellosk+wendlook|Feed > line " + std::to_wstring(next[who]++),
                  fields);
    }
    std::string older = ReadFileBytes(viewer.record() + L".1");
    std::string newer = ReadFileBytes(viewer.record());
    EXPECT_GT(older.size(), (1u << 20) - 300) << "full but for less than a line";
    EXPECT_LE(older.size(), 1u << 20) << "within its limit";
    EXPECT_LE(newer.size(), 1u << 20) << "started anew";
    std::string last = newer.substr(newer.rfind('\t') + 1);  // the text of the last line recorded
    EXPECT_TRUE(last == "P0 Feed > line 3333\n" || last == "P1 Feed > line 3332\n" || last == "P2 Feed > line 3332\n")
        << last;
}

}  // namespace
