#include "viewer.h"

#include <shlwapi.h>
#include <strsafe.h>
#include <string.h>

#include "dialogs.h"
#include "logfile.h"

namespace rolmview {

namespace {

const wchar_t kClassName[] = L"RolmView";
const UINT_PTR kRefreshTimer = 1;
const UINT kRefreshMs = 30, kSlowestRefreshMs = 500;
const DWORD kRefreshShare = 8;
const DWORD kStatusMs = 250;  // a slow refresh waits this many times its length
const int kListId = 200, kDetailId = 201, kStatusId = 202;
const int kDetailHeight = 110;

enum Command {
    kOpen = 100, kSave, kExit, kCopy, kSelectAll, kFind, kFindNext, kFindPrevious, kClear,
    kPause, kDebugCapture, kAutoScroll, kMerge, kTopMost, kDetail, kFilters, kHighlightRules
};

struct MenuItem {
    int id;  // 0: separator
    const wchar_t* text;
};
const MenuItem kFileMenu[] = {{kOpen, L"&Open log...\tCtrl+O"}, {kSave, L"&Save as...\tCtrl+S"},
                              {0, nullptr}, {kExit, L"E&xit"}};
const MenuItem kEditMenu[] = {{kCopy, L"&Copy rows\tCtrl+C"}, {kSelectAll, L"Select &all\tCtrl+A"},
                              {0, nullptr}, {kFind, L"&Find...\tCtrl+F"},
                              {kFindNext, L"Find &next\tF3"}, {kFindPrevious, L"Find &previous\tShift+F3"},
                              {0, nullptr}, {kClear, L"C&lear\tCtrl+L"}};
const MenuItem kCaptureMenu[] = {{kPause, L"&Pause capture\tCtrl+P"},
                                 {kDebugCapture, L"&OutputDebugString of other programs"}};
const MenuItem kViewMenu[] = {{kMerge, L"&Merge channels (one row per trace line)\tCtrl+M"},
                              {kAutoScroll, L"&Auto-scroll\tCtrl+E"}, {kTopMost, L"Always on &top\tCtrl+T"},
                              {kDetail, L"&Detail pane"}, {0, nullptr}, {kFilters, L"&Filters..."},
                              {kHighlightRules, L"&Highlight..."}};

const ACCEL kKeys[] = {
    {FCONTROL | FVIRTKEY, 'O', kOpen},       {FCONTROL | FVIRTKEY, 'S', kSave},
    {FCONTROL | FVIRTKEY, 'C', kCopy},       {FCONTROL | FVIRTKEY, 'A', kSelectAll},
    {FCONTROL | FVIRTKEY, 'F', kFind},       {FVIRTKEY, VK_F3, kFindNext},
    {FSHIFT | FVIRTKEY, VK_F3, kFindPrevious}, {FCONTROL | FVIRTKEY, 'L', kClear},
    {FCONTROL | FVIRTKEY, 'P', kPause},      {FCONTROL | FVIRTKEY, 'M', kMerge},
    {FCONTROL | FVIRTKEY, 'E', kAutoScroll}, {FCONTROL | FVIRTKEY, 'T', kTopMost}};

const wchar_t* const kColumnTitles[kColumns] = {L"Received", L"Stamp", L"Name", L"Channels", L"Message"};
const wchar_t kCutMark[] = L" \u2026 [cut by the sender at 4,095 characters]";

std::wstring ErrorText(DWORD error) {
    rolm::UniqueLocal buffer;
    wchar_t* text = nullptr;
    DWORD length = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                        FORMAT_MESSAGE_IGNORE_INSERTS,
                                    nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    buffer.reset(text);
    std::wstring out = length ? std::wstring(text, length) : L"";
    while (!out.empty() && (out[out.size() - 1] == L'\n' || out[out.size() - 1] == L'\r')) out.resize(out.size() - 1);
    wchar_t code[32];
    StringCchPrintfW(code, 32, L" (error %lu)", error);
    return out + code;
}

HMENU Popup(const MenuItem* items, size_t count) {
    HMENU menu = ::CreatePopupMenu();
    for (size_t i = 0; menu != nullptr && i < count; ++i)
        ::AppendMenuW(menu, items[i].id ? MF_STRING : MF_SEPARATOR, items[i].id, items[i].text);
    return menu;
}

void Check(HMENU menu, int id, bool on) { ::CheckMenuItem(menu, id, on ? MF_CHECKED : MF_UNCHECKED); }

}  // namespace

Viewer::Viewer(const Settings& settings) : settings_(settings), receivers_(inbox_, recorder_),
                                           debug_(inbox_, recorder_) {
    rows_.SetMerge(settings_.merge);
    const ChannelSwitches& on = settings_.channels;
    rows_.SetChannels((on.qrv ? DWORD(kQrv) : 0) | (on.vellosk ? DWORD(kVellosk) : 0) |
                      (on.wendlook ? DWORD(kWendlook) : 0));
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
    UniqueMenu menu(BuildMenu());
    if (!::CreateWindowExW(settings_.topMost ? WS_EX_TOPMOST : 0, kClassName, L"rolmview",
                           WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 1000, 600, nullptr,
                           menu.get(), wc.hInstance, this))
        return ::GetLastError();
    menu.release();  // the window's now
    CreateChildren();
    accelerators_.reset(::CreateAcceleratorTableW(const_cast<ACCEL*>(kKeys), ARRAYSIZE(kKeys)));
    ApplyFilters();
    UpdateChecks();
    if (!settings_.hidden) {
        if (settings_.placement.length == sizeof settings_.placement) {
            WINDOWPLACEMENT placement = settings_.placement;
            if (placement.showCmd != SW_SHOWMAXIMIZED) placement.showCmd = SW_SHOWNORMAL;
            ::SetWindowPlacement(window_, &placement);
        } else {
            ::ShowWindow(window_, show);
        }
    }
    DWORD error = StartReceiving();
    if (error != ERROR_SUCCESS) return error;
    ::SetTimer(window_, kRefreshTimer, kRefreshMs, nullptr);
    if (!settings_.readyEvent.empty()) {
        rolm::UniqueHandle ready(::OpenEventW(EVENT_MODIFY_STATE, FALSE, settings_.readyEvent.c_str()));
        if (ready) ::SetEvent(ready.get());
    }
    return ERROR_SUCCESS;
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
        DWORD error = recorder_.Open(settings_.record);
        if (error != ERROR_SUCCESS) {
            Report(L"Cannot record to " + settings_.record + L": " + ErrorText(error), !settings_.hidden);
            return error;
        }
    }
    DWORD error = receivers_.Start(settings_.channels);
    if (error != ERROR_SUCCESS) {
        Report(L"Cannot create the receiving windows: " + ErrorText(error), !settings_.hidden);
        return error;
    }
    if (settings_.channels.debug) {
        settings_.channels.debug = false;
        ToggleDebugOutput();
    }
    return ERROR_SUCCESS;
}

void Viewer::CreateChildren() {
    HINSTANCE instance = ::GetModuleHandleW(nullptr);
    list_ = ::CreateWindowExW(WS_EX_CLIENTEDGE, WC_LISTVIEWW, nullptr,
                              WS_CHILD | WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_OWNERDATA | LVS_SHOWSELALWAYS,
                              0, 0, 0, 0, window_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kListId)), instance, nullptr);
    ListView_SetExtendedListViewStyle(list_, LVS_EX_FULLROWSELECT | LVS_EX_INFOTIP | LVS_EX_DOUBLEBUFFER);
    for (int i = 0; i < kColumns; ++i) {
        LVCOLUMNW column = {};
        column.mask = LVCF_TEXT | LVCF_WIDTH;
        column.cx = settings_.columns[i];
        column.pszText = const_cast<wchar_t*>(kColumnTitles[i]);
        ListView_InsertColumn(list_, i, &column);
    }
    detail_ = ::CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", nullptr,
                                WS_CHILD | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL, 0, 0, 0,
                                0, window_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kDetailId)), instance, nullptr);
    detailFont_.reset(::CreateFontW(-13, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                    OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                    FIXED_PITCH | FF_MODERN, L"Courier New"));
    ::SendMessageW(detail_, WM_SETFONT, reinterpret_cast<WPARAM>(detailFont_.get()), FALSE);
    ::SendMessageW(detail_, EM_SETLIMITTEXT, 0, 0);
    status_ = ::CreateWindowExW(0, STATUSCLASSNAMEW, nullptr, WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP, 0, 0,
                                0, 0, window_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kStatusId)), instance, nullptr);
    int parts[2] = {420, -1};
    ::SendMessageW(status_, SB_SETPARTS, 2, reinterpret_cast<LPARAM>(parts));
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
    FitMessageColumn();
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
    Check(menu, kPause, inbox_.paused());
    Check(menu, kDebugCapture, debug_.running());
    Check(menu, kMerge, settings_.merge);
    Check(menu, kAutoScroll, settings_.autoScroll);
    Check(menu, kTopMost, settings_.topMost);
    Check(menu, kDetail, settings_.detail);
}

void Viewer::UpdateStatus() {
    wchar_t counts[160];
    StringCchPrintfW(counts, 160, L"%u of %u rows", static_cast<unsigned>(rows_.size()),
                     static_cast<unsigned>(rows_.total()));
    std::wstring text = counts;
    const ChannelSwitches& on = settings_.channels;
    DWORD channels = (on.qrv ? DWORD(kQrv) : 0) | (on.vellosk ? DWORD(kVellosk) : 0) |
                     (on.wendlook ? DWORD(kWendlook) : 0) | (debug_.running() ? DWORD(kDebug) : 0);
    text += L" | " + (channels ? ChannelsText(channels) : std::wstring(L"no channel"));
    if (inbox_.paused()) {
        StringCchPrintfW(counts, 160, L" | PAUSED, %ld skipped", inbox_.skipped());
        text += counts;
    }
    if (problems_ != 0) {
        StringCchPrintfW(counts, 160, L" | %u bad messages", static_cast<unsigned>(problems_));
        text += counts;
    }
    if (text == statusText_) return;
    statusText_ = text;
    ::SendMessageW(status_, SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

void Viewer::Report(const std::wstring& text, bool box) {
    if (status_ != nullptr) ::SendMessageW(status_, SB_SETTEXTW, 1, reinterpret_cast<LPARAM>(text.c_str()));
    if (box) ::MessageBoxW(window_, text.c_str(), L"rolmview", MB_OK | MB_ICONWARNING);
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

// Moves what arrived since the last tick into the rows; draws only what changed.
void Viewer::Drain() {
    inbox_.Take(fresh_);
    if (fresh_.empty()) return;
    for (const Entry& e : fresh_) {
        if (e.problem.empty()) continue;
        ++problems_;
        lastProblem_ = e.problem;
    }
    size_t before = rows_.size();
    size_t changed = rows_.Append(fresh_, filters_);
    ListView_SetItemCountEx(list_, static_cast<int>(rows_.size()), LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL);
    if (changed < before) ListView_RedrawItems(list_, static_cast<int>(changed), static_cast<int>(before - 1));
    if (settings_.autoScroll && rows_.size() > 0)
        ListView_EnsureVisible(list_, static_cast<int>(rows_.size() - 1), FALSE);
    RECT inside;
    ::GetClientRect(list_, &inside);
    if (inside.right != fittedWidth_) {  // a scroll bar came or went
        FitMessageColumn();
        ::InvalidateRect(list_, nullptr, FALSE);  // the rows may have moved under the old bits
    }
    if (problems_ != 0) Report(L"Last bad message: " + lastProblem_, false);
}

void Viewer::Refill() {
    Drain();
    rows_.SetMerge(settings_.merge);
    rows_.Rebuild(filters_);
    ListView_SetItemState(list_, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
    ListView_SetItemCountEx(list_, static_cast<int>(rows_.size()), 0);
    ::InvalidateRect(list_, nullptr, TRUE);
    if (settings_.autoScroll && rows_.size() > 0)
        ListView_EnsureVisible(list_, static_cast<int>(rows_.size() - 1), FALSE);
    ShowDetail();
    UpdateStatus();
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
    LRESULT result = self->Handle(message, wParam, lParam);
    if (message == WM_NCDESTROY) self->window_ = self->list_ = self->detail_ = self->status_ = nullptr;
    return result;
}

LRESULT Viewer::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == findMessage_ && findMessage_ != 0) {
        const FINDREPLACEW* request = reinterpret_cast<const FINDREPLACEW*>(lParam);
        if (request->Flags & FR_DIALOGTERM) findDialog_ = nullptr;
        else if (request->Flags & FR_FINDNEXT) Find((request->Flags & FR_DOWN) != 0, (request->Flags & FR_MATCHCASE) != 0);
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
    case kOpen: OpenLog(); break;
    case kSave: SaveAs(); break;
    case kExit: ::DestroyWindow(window_); break;
    case kCopy: CopySelection(); break;
    case kSelectAll: ListView_SetItemState(list_, -1, LVIS_SELECTED, LVIS_SELECTED); break;
    case kFind: OpenFind(); break;
    case kFindNext: Find(true, (find_.Flags & FR_MATCHCASE) != 0); break;
    case kFindPrevious: Find(false, (find_.Flags & FR_MATCHCASE) != 0); break;
    case kClear:
        Drain();
        rows_.Clear();
        ListView_SetItemCountEx(list_, 0, 0);
        ShowDetail();
        break;
    case kPause: inbox_.Pause(!inbox_.paused()); break;
    case kDebugCapture: ToggleDebugOutput(); break;
    case kAutoScroll: settings_.autoScroll = !settings_.autoScroll; break;
    case kMerge: settings_.merge = !settings_.merge; Refill(); break;
    case kTopMost:
        settings_.topMost = !settings_.topMost;
        ::SetWindowPos(window_, settings_.topMost ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
                       SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        break;
    case kDetail: settings_.detail = !settings_.detail; Layout(); ShowDetail(); break;
    case kFilters: if (EditFilters(window_, settings_)) ApplyFilters(); break;
    case kHighlightRules: if (EditHighlights(window_, settings_)) ApplyFilters(); break;
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
    if (header->idFrom != kListId) return 0;
    switch (header->code) {
    case LVN_GETDISPINFOW: FillCell(reinterpret_cast<NMLVDISPINFOW*>(header)); return 0;
    case NM_CUSTOMDRAW: return CustomDraw(reinterpret_cast<NMLVCUSTOMDRAW*>(header));
    case LVN_ITEMCHANGED:
    case LVN_ODSTATECHANGED: ShowDetail(); return 0;
    case LVN_GETINFOTIPW: {
        NMLVGETINFOTIPW* tip = reinterpret_cast<NMLVGETINFOTIPW*>(header);
        if (tip->iItem >= 0 && static_cast<size_t>(tip->iItem) < rows_.size() && tip->cchTextMax > 0)
            StringCchCopyW(tip->pszText, tip->cchTextMax, rows_.entry(tip->iItem).Message().c_str());
        return 0;
    }
    case LVN_ODFINDITEMW: return -1;
    }
    return 0;
}

void Viewer::FillCell(NMLVDISPINFOW* info) {
    LVITEMW& item = info->item;
    if (!(item.mask & LVIF_TEXT) || item.iItem < 0 || static_cast<size_t>(item.iItem) >= rows_.size()) return;
    const Entry& e = rows_.entry(item.iItem);
    switch (item.iSubItem) {
    case 0: cell_ = FormatReceived(e.received, false); break;
    case 1: cell_ = e.stamp; break;
    case 2: cell_ = e.Name(); break;
    case 3: cell_ = ChannelsText(rows_.channels(item.iItem)) + (e.problem.empty() ? L"" : L" (!)"); break;
    default: cell_ = e.Message() + (e.cut ? kCutMark : L""); break;
    }
    StringCchCopyW(item.pszText, item.cchTextMax, cell_.c_str());
}

LRESULT Viewer::CustomDraw(NMLVCUSTOMDRAW* draw) {
    if (draw->nmcd.dwDrawStage == CDDS_PREPAINT) return CDRF_NOTIFYITEMDRAW;
    if (draw->nmcd.dwDrawStage != CDDS_ITEMPREPAINT || draw->nmcd.dwItemSpec >= rows_.size())
        return CDRF_DODEFAULT;
    const Entry& e = rows_.entry(draw->nmcd.dwItemSpec);
    for (int i = 0; i < kHighlights; ++i) {
        if (highlights_[i].empty() || !(highlights_[i].Any(e.line) || highlights_[i].Any(e.process))) continue;
        draw->clrTextBk = settings_.highlights[i].colour;
        draw->clrText = RGB(0, 0, 0);
        return CDRF_NEWFONT;
    }
    return CDRF_DODEFAULT;
}

void Viewer::ShowDetail() {
    if (!settings_.detail || detail_ == nullptr) return;
    int row = ListView_GetNextItem(list_, -1, LVNI_FOCUSED | LVNI_SELECTED);
    if (row < 0) row = ListView_GetNextItem(list_, -1, LVNI_SELECTED);
    std::wstring text = L"Select a row to read it whole here; hover a row for its message.";
    if (row >= 0 && static_cast<size_t>(row) < rows_.size()) {
        const Entry& e = rows_.entry(row);
        text = FormatReceived(e.received, true) + L"   stamp " + (e.stamp.empty() ? L"-" : e.stamp) + L"   " +
               e.Name() + L"   [" + ChannelsText(rows_.channels(row)) + L"]\r\n" + e.Message();
        if (e.cut) text += L"\r\n" + std::wstring(kCutMark + 1);
        if (!e.problem.empty()) text += L"\r\n[" + e.problem + L"]";
    }
    ::SetWindowTextW(detail_, text.c_str());
}

LRESULT Viewer::OnQuery(const COPYDATASTRUCT* copy) {
    if (copy == nullptr) return ERROR_INVALID_PARAMETER;
    if (copy->dwData != kQuerySaveUtf8 && copy->dwData != kQuerySaveUtf16 && copy->dwData != kQueryLoad)
        return ERROR_INVALID_FUNCTION;
    std::wstring path(copy->cbData / sizeof(wchar_t), L'\0');
    if (!path.empty() && copy->lpData != nullptr) memcpy(&path[0], copy->lpData, path.size() * sizeof(wchar_t));
    size_t end = path.find(L'\0');
    if (end == std::wstring::npos || end == 0) return ERROR_INVALID_PARAMETER;
    path.resize(end);
    if (copy->dwData == kQueryLoad) return Load(path, false);
    Drain();
    DWORD error = SaveLog(rows_, path, copy->dwData == kQuerySaveUtf16);
    if (error != ERROR_SUCCESS) Report(L"Cannot save to " + path + L": " + ErrorText(error), false);
    return error;
}

void Viewer::CopySelection() {
    if (::GetFocus() == detail_) {
        ::SendMessageW(detail_, WM_COPY, 0, 0);
        return;
    }
    std::wstring text;
    for (int i = -1; (i = ListView_GetNextItem(list_, i, LVNI_SELECTED)) >= 0;) text += RowText(rows_, i) + L"\r\n";
    if (text.empty()) return;
    size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    UniqueGlobal block(::GlobalAlloc(GMEM_MOVEABLE, bytes));
    void* data = block ? ::GlobalLock(block.get()) : nullptr;
    if (data == nullptr) return;
    memcpy(data, text.c_str(), bytes);
    ::GlobalUnlock(block.get());
    if (!::OpenClipboard(window_)) return;
    ::EmptyClipboard();
    if (::SetClipboardData(CF_UNICODETEXT, block.get()) != nullptr) block.release();  // the clipboard's now
    ::CloseClipboard();
}

void Viewer::SaveAs() {
    wchar_t path[MAX_PATH] = L"trace.log";
    OPENFILENAMEW ofn = {};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = window_;
    ofn.lpstrFilter = L"Log, UTF-8 (*.log)\0*.log\0Log, UTF-16 (*.log)\0*.log\0All files\0*.*\0";
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = path;
    ofn.nMaxFile = MAX_PATH;
    ofn.lpstrDefExt = L"log";
    ofn.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
    if (!::GetSaveFileNameW(&ofn)) return;
    Drain();
    DWORD error = SaveLog(rows_, path, ofn.nFilterIndex == 2);
    if (error != ERROR_SUCCESS) {
        Report(std::wstring(L"Cannot save to ") + path + L": " + ErrorText(error), true);
        return;
    }
    wchar_t done[64];
    StringCchPrintfW(done, 64, L"Saved %u rows to ", static_cast<unsigned>(rows_.size()));
    Report(done + std::wstring(path), false);
}

void Viewer::OpenLog() {
    wchar_t path[MAX_PATH] = L"";
    OPENFILENAMEW ofn = {};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = window_;
    ofn.lpstrFilter = L"Logs and records (*.log;*.txt)\0*.log;*.txt\0All files\0*.*\0";
    ofn.lpstrFile = path;
    ofn.nMaxFile = MAX_PATH;
    ofn.Flags = OFN_FILEMUSTEXIST | OFN_HIDEREADONLY;
    if (::GetOpenFileNameW(&ofn)) Load(path, true);
}

// Loaded rows come after those already held, which stay.
DWORD Viewer::Load(const std::wstring& path, bool box) {
    std::vector<Entry> loaded;
    size_t skipped = 0;
    DWORD error = LoadLog(path, loaded, &skipped);
    if (error != ERROR_SUCCESS) {
        Report(L"Cannot load " + path + L": " + ErrorText(error), box);
        return error;
    }
    Drain();
    size_t count = loaded.size();
    DWORD live = rows_.channels(), channels = 0;
    for (const Entry& e : loaded) channels |= e.channel;
    rows_.SetChannels(channels);  // a log merges as its own channels came
    rows_.Append(loaded, filters_);
    rows_.SetChannels(live);
    ListView_SetItemCountEx(list_, static_cast<int>(rows_.size()), LVSICF_NOSCROLL);
    wchar_t done[96];
    StringCchPrintfW(done, 96, L"Loaded %u lines (%u unreadable) from ", static_cast<unsigned>(count),
                     static_cast<unsigned>(skipped));
    Report(done + path, false);
    return ERROR_SUCCESS;
}

void Viewer::OpenFind() {
    if (findDialog_ != nullptr) {
        ::SetFocus(findDialog_);
        return;
    }
    find_.lStructSize = sizeof find_;
    find_.hwndOwner = window_;
    find_.lpstrFindWhat = findText_;
    find_.wFindWhatLen = ARRAYSIZE(findText_);
    find_.Flags = (find_.Flags & FR_MATCHCASE) | FR_DOWN | FR_HIDEWHOLEWORD;
    findDialog_ = ::FindTextW(&find_);
}

// Selects the next row (down) or the previous one whose name or message holds
// the text; auto-scroll stops so that the row stays in view.
void Viewer::Find(bool down, bool matchCase) {
    if (findText_[0] == L'\0') {
        OpenFind();
        return;
    }
    int count = static_cast<int>(rows_.size());
    int at = ListView_GetNextItem(list_, -1, LVNI_FOCUSED);
    int step = down ? 1 : -1;
    for (int i = at < 0 ? (down ? 0 : count - 1) : at + step; i >= 0 && i < count; i += step) {
        const Entry& e = rows_.entry(i);
        std::wstring text = e.process + L" " + e.line;
        if ((matchCase ? ::StrStrW(text.c_str(), findText_) : ::StrStrIW(text.c_str(), findText_)) == nullptr)
            continue;
        settings_.autoScroll = false;
        UpdateChecks();
        ListView_SetItemState(list_, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
        ListView_SetItemState(list_, i, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
        ListView_EnsureVisible(list_, i, FALSE);
        Report(L"", false);
        return;
    }
    ::MessageBeep(MB_OK);
    Report(std::wstring(L"\"") + findText_ + (down ? L"\" not found below" : L"\" not found above"), false);
}

void Viewer::KeepSettings() {
    if (settings_.hidden) return;
    settings_.placement.length = sizeof settings_.placement;
    if (!::GetWindowPlacement(window_, &settings_.placement)) settings_.placement.length = 0;
    for (int i = 0; i < kColumns; ++i) settings_.columns[i] = ListView_GetColumnWidth(list_, i);
    SaveSettings(settings_);
}

}  // namespace rolmview
