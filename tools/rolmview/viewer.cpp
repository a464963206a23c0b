#include "viewer.h"

#include <strsafe.h>
#include <string.h>

#include <new>

#include "dialogs.h"
#include "resource.h"

namespace rolmview {

namespace {

const wchar_t kClassName[] = L"RolmView";
const UINT_PTR kRefreshTimer = 1;
const UINT kRefreshMs = 30, kSlowestRefreshMs = 500;
const DWORD kRefreshShare = 8;  // a slow refresh waits this many times its length
const DWORD kStatusMs = 250;
const int kDetailHeight = 110;
const size_t kDetailChars = 30000;

struct MenuItem {
    int id;  // 0: separator
    const wchar_t* text;
};
const MenuItem kFileMenu[] = {{IDM_OPEN, L"&Open log...\tCtrl+O"}, {IDM_SAVE, L"&Save as...\tCtrl+S"},
                              {0, nullptr}, {IDM_EXIT, L"E&xit"}};
const MenuItem kEditMenu[] = {{IDM_COPY, L"&Copy rows\tCtrl+C"}, {IDM_SELECT_ALL, L"Select &all\tCtrl+A"},
                              {0, nullptr}, {IDM_FIND, L"&Find...\tCtrl+F"}, {IDM_FIND_NEXT, L"Find &next\tF3"},
                              {IDM_FIND_PREVIOUS, L"Find &previous\tShift+F3"}, {0, nullptr},
                              {IDM_BOOKMARK, L"Toggle &bookmark\tCtrl+F2"},
                              {IDM_NEXT_BOOKMARK, L"Next bookmar&k\tF2"},
                              {IDM_PREVIOUS_BOOKMARK, L"Previous bookmark\tShift+F2"},
                              {IDM_TIME_ORIGIN, L"&Relative times from this row\tCtrl+R"}, {0, nullptr},
                              {IDM_CLEAR, L"C&lear\tCtrl+L"}};
const MenuItem kCaptureMenu[] = {{IDM_PAUSE, L"&Pause capture\tCtrl+P"},
                                 {IDM_DEBUG_OUTPUT, L"&OutputDebugString of other programs"},
                                 {IDM_HISTORY, L"&History limit..."}};
const MenuItem kViewMenu[] = {{IDM_MERGE, L"&Merge channels (one row per trace line)\tCtrl+M"},
                              {IDM_AUTO_SCROLL, L"&Auto-scroll (End: follow again)\tCtrl+E"},
                              {IDM_TOP_MOST, L"Always on &top\tCtrl+T"}, {IDM_DETAIL, L"&Detail pane"},
                              {0, nullptr}, {IDM_FILTERS, L"&Filters..."}, {IDM_HIGHLIGHT, L"&Highlight..."}};

const ACCEL kKeys[] = {
    {FCONTROL | FVIRTKEY, 'O', IDM_OPEN},          {FCONTROL | FVIRTKEY, 'S', IDM_SAVE},
    {FCONTROL | FVIRTKEY, 'C', IDM_COPY},          {FCONTROL | FVIRTKEY, 'A', IDM_SELECT_ALL},
    {FCONTROL | FVIRTKEY, 'F', IDM_FIND},          {FVIRTKEY, VK_F3, IDM_FIND_NEXT},
    {FSHIFT | FVIRTKEY, VK_F3, IDM_FIND_PREVIOUS}, {FCONTROL | FVIRTKEY, VK_F2, IDM_BOOKMARK},
    {FVIRTKEY, VK_F2, IDM_NEXT_BOOKMARK},          {FSHIFT | FVIRTKEY, VK_F2, IDM_PREVIOUS_BOOKMARK},
    {FCONTROL | FVIRTKEY, 'R', IDM_TIME_ORIGIN},   {FCONTROL | FVIRTKEY, 'L', IDM_CLEAR},
    {FCONTROL | FVIRTKEY, 'P', IDM_PAUSE},         {FCONTROL | FVIRTKEY, 'M', IDM_MERGE},
    {FCONTROL | FVIRTKEY, 'E', IDM_AUTO_SCROLL},   {FCONTROL | FVIRTKEY, 'T', IDM_TOP_MOST}};

const wchar_t* const kColumnTitles[kColumns] = {L"Received", L"Relative", L"Stamp", L"Name", L"Channels", L"Message"};
const wchar_t kCutMark[] = L" \u2026 [cut by the sender at 4,095 characters]";
const wchar_t kBookmarkMark[] = L"\u25CF ";

// "+1.234", "+2:03.456", "-1:02:03.456": a FILETIME difference.
std::wstring RelativeText(LONGLONG units) {
    wchar_t sign = units < 0 ? L'-' : L'+';
    ULONGLONG ms = static_cast<ULONGLONG>(units < 0 ? -units : units) / 10000;
    unsigned long hours = static_cast<unsigned long>(ms / 3600000);
    unsigned long minutes = static_cast<unsigned long>(ms / 60000 % 60);
    unsigned long seconds = static_cast<unsigned long>(ms / 1000 % 60), milli = static_cast<unsigned long>(ms % 1000);
    wchar_t text[48];
    if (hours != 0) StringCchPrintfW(text, 48, L"%c%lu:%02lu:%02lu.%03lu", sign, hours, minutes, seconds, milli);
    else if (minutes != 0) StringCchPrintfW(text, 48, L"%c%lu:%02lu.%03lu", sign, minutes, seconds, milli);
    else StringCchPrintfW(text, 48, L"%c%lu.%03lu", sign, seconds, milli);
    return text;
}

// Lines at most columns long, broken after a blank where one is near: the
// edit control lays out a long line in time that grows with its square
// (under Wine 100,000 characters took 30 s), short ones in linear time.
std::wstring Wrapped(const std::wstring& text, size_t columns) {
    std::wstring out;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find(L"\r\n", start);
        if (end == std::wstring::npos) end = text.size();
        size_t cut = end - start <= columns ? end : start + columns;
        size_t blank = cut == end ? std::wstring::npos : text.rfind(L' ', cut - 1);
        if (blank != std::wstring::npos && blank > start + columns / 2) cut = blank + 1;
        out.append(text, start, cut - start);
        out += L"\r\n";
        start = cut == end ? end + 2 : cut;
    }
    return out;
}

HMENU Popup(const MenuItem* items, size_t count) {
    HMENU menu = ::CreatePopupMenu();
    for (size_t i = 0; menu != nullptr && i < count; ++i)
        ::AppendMenuW(menu, items[i].id ? MF_STRING : MF_SEPARATOR, items[i].id, items[i].text);
    return menu;
}

void Check(HMENU menu, int id, bool on) { ::CheckMenuItem(menu, id, on ? MF_CHECKED : MF_UNCHECKED); }

HWND Child(HWND parent, const wchar_t* className, DWORD exStyle, DWORD style, int id) {
    return ::CreateWindowExW(exStyle, className, nullptr, WS_CHILD | style, 0, 0, 0, 0, parent,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), ::GetModuleHandleW(nullptr), nullptr);
}

}  // namespace

Viewer::Viewer(const Settings& settings) : settings_(settings), receivers_(inbox_, recorder_),
                                           debug_(inbox_, recorder_) {
    store_.SetLimits(settings_.maxRows, static_cast<ULONGLONG>(settings_.maxMegabytes) << 20);
    store_.SetOpenChannels(settings_.channels.mask());
    DWORD channels = settings_.channels.mask();
    inbox_.SetLineChannel(channels & (0 - channels));  // the first a trace call's copies come on
    view_.SetSeparate(!settings_.merge);
    findMessage_ = ::RegisterWindowMessageW(FINDMSGSTRINGW);
}

Viewer::~Viewer() {
    if (window_ != nullptr) ::DestroyWindow(window_);
}

int Viewer::Run(int show) {
    DWORD error = Create(show);
    if (error != ERROR_SUCCESS) return static_cast<int>(error);
    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (findDialog_ != nullptr && ::IsDialogMessageW(findDialog_, &msg)) continue;
        if (::TranslateAcceleratorW(window_, accelerators_.get(), &msg)) continue;
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
    receivers_.Stop();
    debug_.Stop();
    return static_cast<int>(msg.wParam);
}

DWORD Viewer::Create(int show) {
    LoadCommonControls();
    WNDCLASSW wc = {};
    wc.lpfnWndProc = Proc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.hIcon = ::LoadIconW(nullptr, IDI_APPLICATION);
    wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kClassName;
    ::RegisterClassW(&wc);
    HWND other = ::FindWindowW(kClassName, nullptr);  // another viewer, before this one has a window
    DWORD taken = Receivers::Taken(settings_.channels.mask());
    UniqueMenu menu(BuildMenu());
    if (!::CreateWindowExW(settings_.topMost ? WS_EX_TOPMOST : 0, kClassName, L"rolmview", WS_OVERLAPPEDWINDOW,
                           CW_USEDEFAULT, CW_USEDEFAULT, 1000, 600, nullptr, menu.get(), wc.hInstance, this))
        return ::GetLastError();
    menu.release();  // the window's now
    CreateChildren();
    accelerators_.reset(::CreateAcceleratorTableW(const_cast<ACCEL*>(kKeys), ARRAYSIZE(kKeys)));
    ApplyFilters();
    UpdateChecks();
    Place(show, other);
    DWORD error = StartReceiving();
    if (error != ERROR_SUCCESS) return error;
    if (other != nullptr) {
        DWORD pid = 0;
        ::GetWindowThreadProcessId(other, &pid);
        std::wstring text = L"Another viewer is running (process " + std::to_wstring(pid) + L")";
        if (taken != 0)
            text += L": programs that call TraceInit from now on send their " + ChannelsText(taken) +
                    L" lines here, not there";
        Report(text, false);
    }
    ::SetTimer(window_, kRefreshTimer, kRefreshMs, nullptr);
    UpdateStatus();
    if (!settings_.readyEvent.empty()) {
        rolm::UniqueHandle ready(::OpenEventW(EVENT_MODIFY_STATE, FALSE, settings_.readyEvent.c_str()));
        if (ready) ::SetEvent(ready.get());
    }
    return ERROR_SUCCESS;
}

// Where the user left the window; a second viewer stands off the first, so
// that both can be seen.
void Viewer::Place(int show, HWND other) {
    if (!settings_.hidden && settings_.placement.length == sizeof settings_.placement) {
        WINDOWPLACEMENT placement = settings_.placement;
        if (placement.showCmd != SW_SHOWMAXIMIZED) placement.showCmd = SW_SHOWNORMAL;
        ::SetWindowPlacement(window_, &placement);
    } else if (!settings_.hidden) {
        ::ShowWindow(window_, show);
    }
    RECT theirs;
    if (other == nullptr || ::IsZoomed(window_) || !::GetWindowRect(other, &theirs)) return;
    int step = ::GetSystemMetrics(SM_CYCAPTION) + ::GetSystemMetrics(SM_CYFRAME);
    ::SetWindowPos(window_, nullptr, theirs.left + step, theirs.top + step, 0, 0,
                   SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// Loaded at run time: the list view and status bar classes come with the DLL,
// and a program then imports nothing from it.
void Viewer::LoadCommonControls() {
    typedef BOOL(WINAPI * InitFunction)(const INITCOMMONCONTROLSEX*);
    commonControls_.reset(::LoadLibraryW(L"comctl32.dll"));
    InitFunction init = commonControls_
        ? reinterpret_cast<InitFunction>(
              reinterpret_cast<void*>(::GetProcAddress(commonControls_.get(), "InitCommonControlsEx")))
        : nullptr;
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES};
    if (init != nullptr) init(&controls);
}

DWORD Viewer::StartReceiving() {
    if (!settings_.record.empty()) {
        DWORD error = recorder_.Open(settings_.record, static_cast<ULONGLONG>(settings_.recordLimit) << 20);
        if (error != ERROR_SUCCESS) {
            Report(L"Cannot record to " + settings_.record + L": " + ErrorText(error), true);
            return error;
        }
    }
    DWORD error = receivers_.Start(settings_.channels);
    if (error != ERROR_SUCCESS) {
        Report(L"Cannot create the receiving windows: " + ErrorText(error), true);
        return error;
    }
    if (settings_.channels.debug) {
        settings_.channels.debug = false;
        ToggleDebugOutput();
    }
    return ERROR_SUCCESS;
}

void Viewer::CreateChildren() {
    list_ = Child(window_, WC_LISTVIEWW, WS_EX_CLIENTEDGE,
                  WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_OWNERDATA | LVS_SHOWSELALWAYS, IDC_LIST);
    ListView_SetExtendedListViewStyle(list_, LVS_EX_FULLROWSELECT | LVS_EX_INFOTIP | LVS_EX_DOUBLEBUFFER);
    for (int i = 0; i < kColumns; ++i) {
        LVCOLUMNW column = {};
        column.mask = LVCF_TEXT | LVCF_WIDTH;
        column.cx = settings_.columns[i];
        column.pszText = const_cast<wchar_t*>(kColumnTitles[i]);
        ListView_InsertColumn(list_, i, &column);
    }
    detail_ = Child(window_, L"EDIT", WS_EX_CLIENTEDGE, WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL,
                    IDC_DETAIL);
    detailFont_.reset(::CreateFontW(-13, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                                    CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, FIXED_PITCH | FF_MODERN, L"Courier New"));
    ::SendMessageW(detail_, WM_SETFONT, reinterpret_cast<WPARAM>(detailFont_.get()), FALSE);
    HDC dc = ::GetDC(detail_);
    HGDIOBJ old = dc != nullptr && detailFont_ ? ::SelectObject(dc, detailFont_.get()) : nullptr;
    TEXTMETRICW metrics = {};
    if (dc != nullptr && ::GetTextMetricsW(dc, &metrics) && metrics.tmAveCharWidth > 0)
        detailCharWidth_ = metrics.tmAveCharWidth;
    if (old != nullptr) ::SelectObject(dc, old);
    if (dc != nullptr) ::ReleaseDC(detail_, dc);
    ::SendMessageW(detail_, EM_SETLIMITTEXT, 0, 0);
    status_ = Child(window_, STATUSCLASSNAMEW, 0, WS_VISIBLE | SBARS_SIZEGRIP, IDC_STATUS);
    Layout();
}

HMENU Viewer::BuildMenu() {
    struct Top {
        const wchar_t* title;
        const MenuItem* items;
        size_t count;
    } tops[] = {{L"&File", kFileMenu, ARRAYSIZE(kFileMenu)}, {L"&Edit", kEditMenu, ARRAYSIZE(kEditMenu)},
                {L"&Capture", kCaptureMenu, ARRAYSIZE(kCaptureMenu)}, {L"&View", kViewMenu, ARRAYSIZE(kViewMenu)}};
    UniqueMenu bar(::CreateMenu());
    for (const Top& top : tops) {
        UniqueMenu popup(Popup(top.items, top.count));
        if (!bar || !popup) return nullptr;
        if (::AppendMenuW(bar.get(), MF_POPUP, reinterpret_cast<UINT_PTR>(popup.get()), top.title))
            popup.release();  // the bar's now
    }
    return bar.release();
}

void Viewer::Layout() {
    if (list_ == nullptr) return;
    RECT client, bar;
    ::GetClientRect(window_, &client);
    ::SendMessageW(status_, WM_SIZE, 0, 0);
    ::GetWindowRect(status_, &bar);
    int width = client.right, height = client.bottom - (bar.bottom - bar.top);
    int detail = settings_.detail ? kDetailHeight : 0;
    if (detail > height / 2) detail = height / 2;
    ::MoveWindow(list_, 0, 0, width, height - detail, TRUE);
    ::MoveWindow(detail_, 0, height - detail, width, detail, TRUE);
    ::ShowWindow(detail_, settings_.detail ? SW_SHOWNA : SW_HIDE);
    ShowDetail();
    FitMessageColumn();
    if (hold_ == kFollowing && settings_.autoScroll && view_.size() > 0)
        ListView_EnsureVisible(list_, static_cast<int>(view_.size() - 1), FALSE);
}

// The message column takes the width the others leave.
void Viewer::FitMessageColumn() {
    RECT inside;
    ::GetClientRect(list_, &inside);
    fittedWidth_ = inside.right;
    int rest = inside.right;
    for (int i = 0; i < kColumns - 1; ++i) rest -= ListView_GetColumnWidth(list_, i);
    if (rest > 200) ListView_SetColumnWidth(list_, kColumns - 1, rest);
}

void Viewer::UpdateChecks() {
    HMENU menu = ::GetMenu(window_);
    Check(menu, IDM_PAUSE, inbox_.paused());
    Check(menu, IDM_DEBUG_OUTPUT, debug_.running());
    Check(menu, IDM_MERGE, settings_.merge);
    Check(menu, IDM_AUTO_SCROLL, settings_.autoScroll);
    Check(menu, IDM_TOP_MOST, settings_.topMost);
    Check(menu, IDM_DETAIL, settings_.detail);
}

// Three parts, each as wide as its text: the rows, what the viewer is doing,
// and the last note. The title says when a filter hides rows.
void Viewer::UpdateStatus() {
    std::wstring texts[3];
    if (view_.separate())
        texts[0] = Count(view_.size()) + L" copies of " + Count(store_.size()) + L" rows";
    else if (filters_.active())
        texts[0] = Count(view_.size()) + L" of " + Count(store_.size()) + L" rows";
    else
        texts[0] = Count(store_.size()) + L" rows";
    if (filters_.active()) texts[0] += L", filtered";
    texts[0] += L", " + Size(store_.bytes() + view_.bytes());
    if (store_.dropped() != 0) texts[0] += L", " + Count(store_.dropped()) + L" oldest dropped";
    if (store_.shed() != 0) texts[0] += L" (" + Count(store_.shed()) + L" for memory)";

    DWORD wanted = settings_.channels.mask(), served = receivers_.Served() | (debug_.running() ? DWORD(kDebug) : 0);
    texts[1] = L"serving " + (served != 0 ? ChannelsText(served) : std::wstring(L"nothing"));
    if ((wanted & ~served) != 0) texts[1] += L" (" + ChannelsText(wanted & ~served) + L": another viewer)";
    if (settings_.autoScroll && hold_ != kFollowing) texts[1] += L" | scroll held (End: follow)";
    if (inbox_.paused())
        texts[1] += L" | PAUSED, " + Count(static_cast<ULONGLONG>(inbox_.skipped())) + L" lines skipped";
    if (problems_ != 0) texts[1] += L" | " + Count(problems_) + L" bad messages";
    ULONGLONG lost = lost_ + static_cast<ULONGLONG>(inbox_.lost());
    if (lost != 0) texts[1] += L" | " + Count(lost) + L" lines lost for memory";
    texts[2] = note_;
    SetStatusParts(texts);

    std::wstring title = filters_.active() ? L"rolmview - filtered" : L"rolmview";
    if (title != title_) ::SetWindowTextW(window_, title.c_str());
    title_ = title;
}

void Viewer::SetStatusParts(const std::wstring (&texts)[3]) {
    HDC dc = ::GetDC(status_);
    HGDIOBJ font = reinterpret_cast<HGDIOBJ>(::SendMessageW(status_, WM_GETFONT, 0, 0));
    HGDIOBJ old = font != nullptr && dc != nullptr ? ::SelectObject(dc, font) : nullptr;
    int widths[3], right = 0;
    for (int i = 0; i < 3; ++i) {
        SIZE size = {};
        if (dc != nullptr) ::GetTextExtentPoint32W(dc, texts[i].c_str(), static_cast<int>(texts[i].size()), &size);
        right += size.cx + 16;  // the part's borders and margins
        widths[i] = i == 2 ? -1 : right;
    }
    if (old != nullptr) ::SelectObject(dc, old);
    if (dc != nullptr) ::ReleaseDC(status_, dc);
    if (memcmp(widths, statusWidths_, sizeof widths) != 0) {
        ::SendMessageW(status_, SB_SETPARTS, 3, reinterpret_cast<LPARAM>(widths));
        memcpy(statusWidths_, widths, sizeof widths);
    }
    for (int i = 0; i < 3; ++i) {
        if (texts[i] == statusTexts_[i]) continue;
        statusTexts_[i] = texts[i];
        ::SendMessageW(status_, SB_SETTEXTW, i, reinterpret_cast<LPARAM>(statusTexts_[i].c_str()));
    }
}

void Viewer::Report(const std::wstring& text, bool box, Note kind) {
    note_ = text;
    noteKind_ = kind;
    if (status_ != nullptr) UpdateStatus();
    if (box && !settings_.hidden) ::MessageBoxW(window_, text.c_str(), L"rolmview", MB_OK | MB_ICONWARNING);
}

// One display refresh. Redrawing asks the window system for more than the
// receiving does, and it serves the traced programs' messages too: while lines
// stream in and a refresh is slow, the next one waits long enough that
// redrawing takes at most an eighth of the time.
void Viewer::Refresh() {
    DWORD start = ::GetTickCount();
    Drain();
    if (start - statusAt_ >= kStatusMs) {  // counts need not change faster than they read
        statusAt_ = start;
        UpdateStatus();
    }
    DWORD spent = ::GetTickCount() - start, next = spent * kRefreshShare;
    if (next < kRefreshMs) next = kRefreshMs;
    if (next > kSlowestRefreshMs) next = kSlowestRefreshMs;
    ::SetTimer(window_, kRefreshTimer, next, nullptr);
}

// Moves what arrived since the last refresh into the store, within its
// limits; draws only what changed.
void Viewer::Drain() {
    endPressed_ = false;
    inbox_.Take(taken_);
    if (taken_.empty()) return;
    bool atBottom = AtBottom();
    size_t before = view_.size(), changed = before;
    Inbox::Header header;
    const char* data = nullptr;
    for (size_t next = 0; Inbox::Next(taken_, &next, &header, &data, &process_);) {
        Copy copy = header.channel == kQrv
                        ? decoder_.TimedLine(header.received, reinterpret_cast<const wchar_t*>(data),
                                             header.bytes / sizeof(wchar_t))
                    : header.channel == kDebug
                        ? decoder_.DebugOutput(header.received, header.pid, process_, data, header.bytes)
                        : decoder_.CopyData(header.received, header.channel, header.kind, data, header.bytes);
        size_t at = Add(copy);
        if (at < changed) changed = at;
    }
    Trim();
    Show(before, changed, atBottom);
}

// Stores one copy and shows it; returns the first shown entry that changed.
size_t Viewer::Add(const Copy& copy) {
    if (copy.problems != 0) {
        ++problems_;
        lastProblems_ = copy.problems;
    }
    if (!originSet_) {
        origin_ = copy.received;
        originSet_ = true;
    }
    DWORD seq = 0;
    Store::Result result = store_.Add(copy, &seq);
    if (result == Store::kNoMemory) {
        Shed();
        result = store_.Add(copy, &seq);
    }
    if (result == Store::kNoMemory) {
        ++lost_;
        return view_.size();
    }
    try {
        return view_.Added(store_, filters_, seq, copy.channels, result == Store::kJoined);
    } catch (const std::bad_alloc&) {
        Shed();
        refill_ = true;
        return 0;
    }
}

void Viewer::Trim() {
    if (store_.Trim() != 0) droppedShown_ += view_.DropBefore(store_.first());
}

// Memory ran short: the oldest quarter goes, and the note says so.
void Viewer::Shed() {
    size_t count = store_.Shed();
    droppedShown_ += view_.DropBefore(store_.first());
    Report(L"Memory ran short: the oldest " + Count(count) + L" rows were dropped", false);
}

// Tells the list what changed. Rows that went from the front move what
// stays up; a held view keeps showing the same rows and the row selected.
void Viewer::Show(size_t before, size_t changed, bool atBottom) {
    if (refill_) {
        Refill();
        return;
    }
    int count = static_cast<int>(view_.size()), gone = static_cast<int>(droppedShown_);
    droppedShown_ = 0;
    int top = ListView_GetTopIndex(list_);
    if (hold_ == kScrolled && atBottom) hold_ = kFollowing;  // the user went back to the bottom
    else if (hold_ == kFollowing && !atBottom) hold_ = kScrolled;  // the user scrolled up
    if (gone == 0) {
        ListView_SetItemCountEx(list_, count, LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL);
        if (changed < before) ListView_RedrawItems(list_, static_cast<int>(changed), count - 1);
    } else if (ListView_GetSelectedCount(list_) == 0) {  // the list view finds selection and focus item by item
        ListView_SetItemCountEx(list_, count, LVSICF_NOSCROLL);
    } else {
        int focus = ListView_GetNextItem(list_, -1, LVNI_FOCUSED), selected = ListView_GetSelectedCount(list_);
        bool focusSelected = focus >= 0 && ListView_GetItemState(list_, focus, LVIS_SELECTED) != 0;
        bool all = selected > 1 && selected == ListView_GetItemCount(list_);  // else only the focused row stays
        Deselect();
        ++selecting_;
        ListView_SetItemCountEx(list_, count, LVSICF_NOSCROLL);
        if (all) ListView_SetItemState(list_, -1, LVIS_SELECTED, LVIS_SELECTED);
        if (focus - gone >= 0 && focus - gone < count) {
            UINT state = LVIS_FOCUSED | (focusSelected && !all ? LVIS_SELECTED : 0);
            ListView_SetItemState(list_, focus - gone, state, state);
        }
        --selecting_;
    }
    RECT item;
    bool follow = settings_.autoScroll && hold_ == kFollowing;
    if (gone != 0 && !follow && ListView_GetItemRect(list_, 0, &item, LVIR_BOUNDS)) {
        int want = top - gone < 0 ? 0 : top - gone;  // counted from where the list is now: moving the focus scrolls
        ListView_Scroll(list_, 0, (want - ListView_GetTopIndex(list_)) * (item.bottom - item.top));
    }
    if (gone != 0) ::InvalidateRect(list_, nullptr, FALSE);
    if (follow && count > 0) ListView_EnsureVisible(list_, count - 1, FALSE);
    RECT inside;
    ::GetClientRect(list_, &inside);
    if (inside.right != fittedWidth_) {  // a scroll bar came or went
        FitMessageColumn();
        ::InvalidateRect(list_, nullptr, FALSE);  // the rows may have moved under the old bits
    }
    if (noteKind_ == kPassing && static_cast<size_t>(count) != before) Report(L"", false);
    if (problems_ != reportedProblems_) {
        reportedProblems_ = problems_;
        Report(L"Last bad message: " + ProblemsText(lastProblems_), false);
    }
}

// After a change of merging or filters: the index made again, the selected
// row still selected where it is still shown; a view that followed new rows
// still follows them.
void Viewer::Refill() {
    refill_ = false;
    Drain();
    Hold was = hold_;
    int focus = ListView_GetNextItem(list_, -1, LVNI_FOCUSED | LVNI_SELECTED);
    bool kept = focus >= 0 && static_cast<size_t>(focus) < view_.size();
    DWORD seq = kept ? view_.seq(static_cast<size_t>(focus)) : 0;
    view_.SetSeparate(!settings_.merge);
    for (int tries = 0;; ++tries) {
        try {
            view_.Rebuild(store_, filters_);
            break;
        } catch (const std::bad_alloc&) {
            if (tries == 3 || store_.size() == 0) {
                view_.Clear(store_.first());
                break;
            }
            Shed();
        }
    }
    droppedShown_ = 0;
    int count = static_cast<int>(view_.size());
    Deselect();
    ListView_SetItemCountEx(list_, count, 0);
    ::InvalidateRect(list_, nullptr, TRUE);
    size_t at = kept && store_.Holds(seq) ? view_.Find(seq) : view_.size();
    if (at < view_.size()) Select(static_cast<int>(at));
    hold_ = was == kFollowing || at == view_.size() ? kFollowing : kSelected;
    if (settings_.autoScroll && hold_ == kFollowing && count > 0) ListView_EnsureVisible(list_, count - 1, FALSE);
    ShowDetail();
    UpdateStatus();
}

bool Viewer::AtBottom() const {
    int count = ListView_GetItemCount(list_), page = ListView_GetCountPerPage(list_);
    return count == 0 || ListView_GetTopIndex(list_) + (page < 1 ? 1 : page) >= count;
}

void Viewer::Resume() {
    hold_ = kFollowing;
    if (view_.size() > 0) ListView_EnsureVisible(list_, static_cast<int>(view_.size() - 1), FALSE);
    UpdateStatus();
}

// Wine's list view clears a selection of all rows row by row (1.4 s for
// 1,000,000): one selected row is cleared alone.
void Viewer::Deselect() {
    ++selecting_;
    int focus = ListView_GetNextItem(list_, -1, LVNI_FOCUSED);
    UINT selected = ListView_GetSelectedCount(list_);
    if (selected == 1 && focus >= 0 && ListView_GetItemState(list_, focus, LVIS_SELECTED) != 0) {
        ListView_SetItemState(list_, focus, 0, LVIS_SELECTED | LVIS_FOCUSED);
    } else {
        if (selected != 0) ListView_SetItemState(list_, -1, 0, LVIS_SELECTED);
        if (focus >= 0) ListView_SetItemState(list_, focus, 0, LVIS_FOCUSED);
    }
    --selecting_;
}

// Selects one row and holds the view on it.
void Viewer::Select(int item) {
    Deselect();
    ++selecting_;
    ListView_SetItemState(list_, item, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
    ListView_EnsureVisible(list_, item, FALSE);
    --selecting_;
    hold_ = kSelected;
    ShowDetail();
}

void Viewer::ClearRows() {
    Drain();
    store_.Clear();
    view_.Clear(store_.first());
    originSet_ = false;
    problems_ = reportedProblems_ = 0;
    hold_ = kFollowing;
    Deselect();
    ListView_SetItemCountEx(list_, 0, 0);
    Report(L"", false);
    ShowDetail();
}

void Viewer::ApplyFilters() {
    filters_.includeName.Set(settings_.includeName);
    filters_.includeText.Set(settings_.includeText);
    filters_.excludeName.Set(settings_.excludeName);
    filters_.excludeText.Set(settings_.excludeText);
    for (int i = 0; i < kHighlights; ++i) highlights_[i].Set(settings_.highlights[i].pattern);
    Refill();
}

LRESULT CALLBACK Viewer::Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        Viewer* self = static_cast<Viewer*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        self->window_ = window;
        ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    Viewer* self = reinterpret_cast<Viewer*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr) return ::DefWindowProcW(window, message, wParam, lParam);
    LRESULT result = 0;
    try {
        result = self->Handle(message, wParam, lParam);
    } catch (const std::bad_alloc&) {  // never the end of the viewer: the oldest rows make room
        self->Shed();
        self->Refill();
    }
    if (message == WM_NCDESTROY) self->window_ = self->list_ = self->detail_ = self->status_ = nullptr;
    return result;
}

LRESULT Viewer::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == findMessage_ && findMessage_ != 0) {
        const FINDREPLACEW* request = reinterpret_cast<const FINDREPLACEW*>(lParam);
        if (request->Flags & FR_DIALOGTERM)
            findDialog_ = nullptr;
        else if (request->Flags & FR_FINDNEXT)
            Find((request->Flags & FR_DOWN) != 0, (request->Flags & FR_MATCHCASE) != 0);
        return 0;
    }
    switch (message) {
    case WM_SIZE: Layout(); return 0;
    case WM_TIMER: Refresh(); return 0;
    case WM_COMMAND: OnCommand(LOWORD(wParam)); return 0;
    case WM_NOTIFY: return OnNotify(reinterpret_cast<NMHDR*>(lParam));
    case WM_COPYDATA: return OnQuery(reinterpret_cast<const COPYDATASTRUCT*>(lParam));
    case WM_SETFOCUS: ::SetFocus(list_); return 0;
    case WM_DESTROY:
        ::KillTimer(window_, kRefreshTimer);
        KeepSettings();
        ::PostQuitMessage(0);
        return 0;
    }
    return ::DefWindowProcW(window_, message, wParam, lParam);
}

void Viewer::OnCommand(int id) {
    switch (id) {
    case IDM_OPEN: OpenLog(); break;
    case IDM_SAVE: SaveAs(); break;
    case IDM_EXIT: ::DestroyWindow(window_); return;
    case IDM_COPY: CopySelection(); break;
    case IDM_SELECT_ALL:
        ListView_SetItemState(list_, -1, LVIS_SELECTED, LVIS_SELECTED);
        hold_ = kSelected;
        break;
    case IDM_FIND: OpenFind(); break;
    case IDM_FIND_NEXT: Find(true, (find_.Flags & FR_MATCHCASE) != 0); break;
    case IDM_FIND_PREVIOUS: Find(false, (find_.Flags & FR_MATCHCASE) != 0); break;
    case IDM_BOOKMARK: ToggleBookmarks(); break;
    case IDM_NEXT_BOOKMARK: GoToBookmark(true); break;
    case IDM_PREVIOUS_BOOKMARK: GoToBookmark(false); break;
    case IDM_TIME_ORIGIN: SetTimeOrigin(); break;
    case IDM_CLEAR: ClearRows(); break;
    case IDM_PAUSE: inbox_.Pause(!inbox_.paused()); break;
    case IDM_DEBUG_OUTPUT: ToggleDebugOutput(); break;
    case IDM_HISTORY: ChangeHistoryLimit(); break;
    case IDM_AUTO_SCROLL:  // held: follow again; following: stop
        settings_.autoScroll = !settings_.autoScroll || hold_ != kFollowing;
        if (settings_.autoScroll) Resume();
        break;
    case IDM_MERGE:
        settings_.merge = !settings_.merge;
        Refill();
        break;
    case IDM_TOP_MOST:
        settings_.topMost = !settings_.topMost;
        ::SetWindowPos(window_, settings_.topMost ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
                       SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        break;
    case IDM_DETAIL:
        settings_.detail = !settings_.detail;
        Layout();
        break;
    case IDM_FILTERS:
        if (EditFilters(window_, settings_)) ApplyFilters();
        break;
    case IDM_HIGHLIGHT:
        if (EditHighlights(window_, settings_)) ApplyFilters();
        break;
    }
    UpdateChecks();
    UpdateStatus();
}

void Viewer::ToggleDebugOutput() {
    if (debug_.running()) {
        debug_.Stop();
    } else {
        DWORD error = debug_.Start();
        if (error == ERROR_ALREADY_EXISTS)
            Report(L"OutputDebugString is not captured: another reader (a debugger or viewer) holds it", false);
        else if (error != ERROR_SUCCESS)
            Report(L"OutputDebugString is not captured: " + ErrorText(error), false);
    }
    settings_.channels.debug = debug_.running();
}

LRESULT Viewer::OnNotify(NMHDR* header) {
    if (header->idFrom != IDC_LIST) return 0;
    switch (header->code) {
    case LVN_GETDISPINFOW: FillCell(reinterpret_cast<NMLVDISPINFOW*>(header)); return 0;
    case NM_CUSTOMDRAW: return CustomDraw(reinterpret_cast<NMLVCUSTOMDRAW*>(header));
    case LVN_ITEMCHANGED:
    case LVN_ODSTATECHANGED:
        if (selecting_ == 0 && !endPressed_ && ListView_GetSelectedCount(list_) > 0) hold_ = kSelected;
        ShowDetail();
        return 0;
    case LVN_KEYDOWN:  // End: the list selects the last row, and the view follows new rows again
        endPressed_ = reinterpret_cast<NMLVKEYDOWN*>(header)->wVKey == VK_END;
        if (endPressed_) Resume();
        return 0;
    case LVN_GETINFOTIPW: {
        NMLVGETINFOTIPW* tip = reinterpret_cast<NMLVGETINFOTIPW*>(header);
        if (tip->iItem < 0 || static_cast<size_t>(tip->iItem) >= view_.size() || tip->cchTextMax <= 0) return 0;
        size_t length = 0;
        const wchar_t* message = store_.Message(store_.row(view_.seq(static_cast<size_t>(tip->iItem))), &length);
        cell_.clear();
        AppendShown(cell_, message, length < static_cast<size_t>(tip->cchTextMax) ? length : tip->cchTextMax);
        StringCchCopyW(tip->pszText, tip->cchTextMax, cell_.c_str());
        return 0;
    }
    case LVN_ODFINDITEMW: return -1;
    }
    return 0;
}

// Only what the cell can show is converted: a row may be 100,000 characters.
void Viewer::FillCell(NMLVDISPINFOW* info) {
    LVITEMW& item = info->item;
    if (!(item.mask & LVIF_TEXT) || item.iItem < 0 || static_cast<size_t>(item.iItem) >= view_.size() ||
        item.cchTextMax <= 0)
        return;
    size_t i = static_cast<size_t>(item.iItem), most = static_cast<size_t>(item.cchTextMax);
    const Row& row = store_.row(view_.seq(i));
    cell_.clear();
    switch (item.iSubItem) {
    case 0:
        if (row.flags & kBookmark) cell_ = kBookmarkMark;
        cell_ += FormatLocal(clock_.ToLocal(row.received), false);
        break;
    case 1: cell_ = RelativeText(static_cast<LONGLONG>(row.received - origin_)); break;
    case 2:
        if (view_.Stamp(store_, i) != kNoStamp) cell_ = StampText(view_.Stamp(store_, i));
        break;
    case 3:
    case 5: {
        size_t length = row.nameLength;
        const wchar_t* text = item.iSubItem == 3 ? store_.Text(row) : store_.Message(row, &length);
        if (length > most) length = most;
        if (view_.channel(i) == kWendlook) {  // a copy shown separately, as it came
            AnsiRoundTrip(text, length, ansi_, trip_);
            text = trip_.c_str();
            length = trip_.size();
        }
        if (item.iSubItem == 3 && (row.channels & kDebug) != 0) {  // the sender's file name and id
            trip_ = store_.Name(row);
            text = trip_.c_str();
            length = trip_.size();
        }
        AppendShown(cell_, text, length);
        if (item.iSubItem == 5 && (row.flags & kCut) != 0) {  // a cut row is longer than a cell: the mark ends it
            const size_t mark = ARRAYSIZE(kCutMark) - 1;
            if (cell_.size() + mark >= most) cell_.resize(most > mark ? most - mark - 1 : 0);
            cell_ += kCutMark;
        }
        break;
    }
    default:
        cell_ = ChannelsText(view_.channel(i) != 0 ? view_.channel(i) : row.channels);
        if (Problems(row) != 0) cell_ += L" (!)";
    }
    StringCchCopyW(item.pszText, item.cchTextMax, cell_.c_str());
}

LRESULT Viewer::CustomDraw(NMLVCUSTOMDRAW* draw) {
    if (draw->nmcd.dwDrawStage == CDDS_PREPAINT) return CDRF_NOTIFYITEMDRAW;
    if (draw->nmcd.dwDrawStage != CDDS_ITEMPREPAINT || draw->nmcd.dwItemSpec >= view_.size()) return CDRF_DODEFAULT;
    const Row& row = store_.row(view_.seq(draw->nmcd.dwItemSpec));
    for (int i = 0; i < kHighlights; ++i) {
        if (highlights_[i].empty() || !highlights_[i].Any(store_.Text(row), row.length)) continue;
        draw->clrTextBk = settings_.highlights[i].colour;
        draw->clrText = RGB(0, 0, 0);
        return CDRF_NEWFONT;
    }
    return CDRF_DODEFAULT;
}

// The selected row, its message at most kDetailChars long (Copy takes it
// whole), in lines as wide as the pane.
void Viewer::ShowDetail() {
    if (!settings_.detail || detail_ == nullptr) return;
    int item = ListView_GetNextItem(list_, -1, LVNI_FOCUSED | LVNI_SELECTED);
    if (item < 0) item = ListView_GetNextItem(list_, -1, LVNI_SELECTED);
    std::wstring text = L"Select a row to read it whole here; hover a row for its message.";
    if (item >= 0 && static_cast<size_t>(item) < view_.size()) {
        size_t i = static_cast<size_t>(item);
        const Row& row = store_.row(view_.seq(i));
        std::wstring name, message;
        view_.Texts(store_, i, &name, &message);
        text = FormatLocal(clock_.ToLocal(row.received), true) + L"   " +
               RelativeText(static_cast<LONGLONG>(row.received - origin_)) + L"   stamp " +
               StampText(view_.Stamp(store_, i)) + L"   ";
        AppendShown(text, name.c_str(), name.size());
        text += L"   [" + ChannelsText(view_.channel(i) != 0 ? view_.channel(i) : row.channels) + L"]\r\n";
        size_t shown = message.size() < kDetailChars ? message.size() : kDetailChars;
        AppendShown(text, message.c_str(), shown, true);
        if (shown < message.size())
            text += L"\r\n[\u2026 " + Count(message.size() - shown) +
                    L" more characters; Edit > Copy rows copies them all]";
        if (row.flags & kCut) text += L"\r\n" + std::wstring(kCutMark + 1);
        if (Problems(row) != 0) text += L"\r\n[" + ProblemsText(Problems(row)) + L"]";
    }
    RECT inside;
    ::GetClientRect(detail_, &inside);
    DWORD margins = static_cast<DWORD>(::SendMessageW(detail_, EM_GETMARGINS, 0, 0));
    int width = inside.right - LOWORD(margins) - HIWORD(margins), columns = width / detailCharWidth_;
    ::SetWindowTextW(detail_, Wrapped(text, columns > 20 ? static_cast<size_t>(columns) : 20).c_str());
}

void Viewer::KeepSettings() {
    if (settings_.hidden) return;
    settings_.placement.length = sizeof settings_.placement;
    if (!::GetWindowPlacement(window_, &settings_.placement)) settings_.placement.length = 0;
    for (int i = 0; i < kColumns; ++i) settings_.columns[i] = ListView_GetColumnWidth(list_, i);
    SaveSettings(settings_);
}

}  // namespace rolmview
