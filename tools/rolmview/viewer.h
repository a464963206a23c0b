// The viewer: its window, the rows it holds and shows, the receiving threads
// that feed it and the settings it keeps.
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>

#include <string>
#include <vector>

#include "owners.h"
#include "receivers.h"
#include "settings.h"
#include "store.h"
#include "view.h"

namespace rolmview {

// WM_COPYDATA to the main window (class "RolmView") from other programs:
// lpData a zero-terminated UTF-16 path; the result is a Windows error code.
const ULONG_PTR kQuerySaveUtf8 = 0x524C5601;
const ULONG_PTR kQuerySaveUtf16 = 0x524C5602;
const ULONG_PTR kQueryLoad = 0x524C5603;

class Viewer {
public:
    explicit Viewer(const Settings& settings);
    ~Viewer();
    Viewer(const Viewer&) = delete;
    Viewer& operator=(const Viewer&) = delete;

    // Creates the windows and runs until the window closes; returns the exit code.
    int Run(int show);

private:
    // Auto-scroll follows new rows only while the view is at the bottom; a
    // scroll up or a selected row holds it where the user put it.
    enum Hold { kFollowing, kScrolled, kSelected };
    // A note in the status bar stays until it is replaced or the rows are
    // cleared; a passing one (a find's result) also goes when rows change.
    enum Note { kLasting, kPassing };

    static LRESULT CALLBACK Proc(HWND, UINT, WPARAM, LPARAM);
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
    DWORD Create(int show);
    void Place(int show, HWND other);
    void LoadCommonControls();
    DWORD StartReceiving();
    void CreateChildren();
    HMENU BuildMenu();
    void Layout();
    void FitMessageColumn();
    void UpdateChecks();
    void UpdateStatus();
    void SetStatusParts(const std::wstring (&texts)[3]);

    void Refresh();
    void Drain();
    size_t Add(const Copy& copy);
    void Trim();
    void Shed();
    void Show(size_t before, size_t changed, bool atBottom);
    void Refill();
    bool AtBottom() const;
    void Resume();
    void Deselect();
    void Select(int item);
    void ClearRows();

    void OnCommand(int id);
    LRESULT OnNotify(NMHDR* header);
    void FillCell(NMLVDISPINFOW* info);
    LRESULT CustomDraw(NMLVCUSTOMDRAW* draw);
    void ShowDetail();
    LRESULT OnQuery(const COPYDATASTRUCT* copy);

    void CopySelection();
    void SaveAs();
    void OpenLog();
    DWORD Load(const std::wstring& path, bool box);
    void OpenFind();
    void Find(bool down, bool matchCase);
    void KeepBesideFind(int item);
    void ToggleBookmarks();
    void GoToBookmark(bool down);
    void SetTimeOrigin();
    void ToggleDebugOutput();
    void ChangeHistoryLimit();
    void ApplyFilters();
    void Report(const std::wstring& text, bool box, Note kind = kLasting);
    void KeepSettings();

    Settings settings_;
    rolm::UniqueModule commonControls_;
    Inbox inbox_;
    Recorder recorder_;
    Receivers receivers_;
    DebugOutputReader debug_;
    Store store_;
    View view_;
    Filters filters_;
    Patterns highlights_[kHighlights];
    Decoder decoder_;
    LocalClock clock_;
    std::vector<char> taken_;  // the inbox's last batch
    std::wstring process_;

    HWND window_ = nullptr;  // owns the children and the menu
    HWND list_ = nullptr, detail_ = nullptr, status_ = nullptr;
    UniqueAccelerators accelerators_;
    UniqueGdi detailFont_;
    int detailCharWidth_ = 8;
    std::wstring statusTexts_[3], title_;
    int statusWidths_[3] = {};
    std::wstring note_;
    Note noteKind_ = kLasting;
    size_t problems_ = 0, reportedProblems_ = 0;
    BYTE lastProblems_ = 0;
    ULONGLONG lost_ = 0;     // lines with no memory left for them
    size_t droppedShown_ = 0;  // shown entries gone from the front since the list last heard
    bool refill_ = false;      // the index missed a row: rebuild it
    Hold hold_ = kFollowing;
    int selecting_ = 0;  // selection changes of our own under way
    bool endPressed_ = false;  // the selection End makes follows
    ULONGLONG origin_ = 0;  // relative times count from it: the first row, or one the user chose
    bool originSet_ = false;
    int fittedWidth_ = 0;
    DWORD statusAt_ = 0;

    UINT findMessage_ = 0;
    HWND findDialog_ = nullptr;
    FINDREPLACEW find_ = {};
    wchar_t findText_[256] = L"";
    std::wstring cell_;  // text handed to the list view for one cell
    std::string ansi_;   // scratch of the code page trip
    std::wstring trip_;
};

}  // namespace rolmview
