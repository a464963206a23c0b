// The viewer: its window, the rows it shows, the receiving threads that feed
// it and the settings it keeps.
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
    static LRESULT CALLBACK Proc(HWND, UINT, WPARAM, LPARAM);
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
    DWORD Create(int show);
    void LoadCommonControls();
    DWORD StartReceiving();
    void CreateChildren();
    HMENU BuildMenu();
    void Layout();
    void FitMessageColumn();
    void UpdateChecks();
    void UpdateStatus();

    void Refresh();
    void Drain();
    void Refill();
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
    void ToggleDebugOutput();
    void ApplyFilters();
    void Report(const std::wstring& text, bool box);
    void KeepSettings();

    Settings settings_;
    rolm::UniqueModule commonControls_;
    Inbox inbox_;
    Recorder recorder_;
    Receivers receivers_;
    DebugOutputReader debug_;
    Rows rows_;
    Filters filters_;
    Patterns highlights_[kHighlights];
    std::vector<Entry> fresh_;

    HWND window_ = nullptr;  // owns the children and the menu
    HWND list_ = nullptr, detail_ = nullptr, status_ = nullptr;
    UniqueAccelerators accelerators_;
    UniqueGdi detailFont_;
    std::wstring statusText_, lastProblem_;
    size_t problems_ = 0;
    int fittedWidth_ = 0;
    DWORD statusAt_ = 0;

    UINT findMessage_ = 0;
    HWND findDialog_ = nullptr;
    FINDREPLACEW find_ = {};
    wchar_t findText_[256] = L"";
    std::wstring cell_;  // text handed to the list view for one cell
};

}  // namespace rolmview
