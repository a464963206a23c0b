#include "dialogs.h"

#include <commdlg.h>

#include "resource.h"

namespace rolmview {

namespace {

const int kFilterIds[] = {IDC_INCLUDE_NAME, IDC_INCLUDE_TEXT, IDC_EXCLUDE_NAME, IDC_EXCLUDE_TEXT};
std::wstring Settings::* const kFilterFields[] = {&Settings::includeName, &Settings::includeText,
                                                  &Settings::excludeName, &Settings::excludeText};

std::wstring ItemText(HWND dialog, int id) {
    wchar_t text[2048];
    ::GetDlgItemTextW(dialog, id, text, 2048);
    return text;
}

INT_PTR CALLBACK FiltersProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    Settings* s = reinterpret_cast<Settings*>(::GetWindowLongPtrW(dialog, DWLP_USER));
    if (message == WM_INITDIALOG) {
        ::SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        s = reinterpret_cast<Settings*>(lParam);
        for (int i = 0; i < 4; ++i) ::SetDlgItemTextW(dialog, kFilterIds[i], (s->*kFilterFields[i]).c_str());
        return TRUE;
    }
    if (message != WM_COMMAND) return FALSE;
    if (LOWORD(wParam) == IDOK)
        for (int i = 0; i < 4; ++i) s->*kFilterFields[i] = ItemText(dialog, kFilterIds[i]);
    if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) ::EndDialog(dialog, LOWORD(wParam));
    return TRUE;
}

// The rules being edited, with a brush per swatch.
struct HighlightEdit {
    Settings* settings = nullptr;
    UniqueGdi brushes[kHighlights];
    void Paint(int i) { brushes[i].reset(::CreateSolidBrush(settings->highlights[i].colour)); }
};

void PickColour(HWND dialog, HighlightEdit& edit, int i) {
    static COLORREF custom[16];
    CHOOSECOLORW choose = {};
    choose.lStructSize = sizeof choose;
    choose.hwndOwner = dialog;
    choose.rgbResult = edit.settings->highlights[i].colour;
    choose.lpCustColors = custom;
    choose.Flags = CC_RGBINIT | CC_FULLOPEN;
    if (!::ChooseColorW(&choose)) return;
    edit.settings->highlights[i].colour = choose.rgbResult;
    edit.Paint(i);
    ::InvalidateRect(::GetDlgItem(dialog, IDC_RULE_SWATCH + i), nullptr, TRUE);
}

INT_PTR CALLBACK HighlightProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    HighlightEdit* edit = reinterpret_cast<HighlightEdit*>(::GetWindowLongPtrW(dialog, DWLP_USER));
    switch (message) {
    case WM_INITDIALOG:
        ::SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        edit = reinterpret_cast<HighlightEdit*>(lParam);
        for (int i = 0; i < kHighlights; ++i) {
            ::SetDlgItemTextW(dialog, IDC_RULE_PATTERN + i, edit->settings->highlights[i].pattern.c_str());
            edit->Paint(i);
        }
        return TRUE;
    case WM_CTLCOLORSTATIC: {
        int id = ::GetDlgCtrlID(reinterpret_cast<HWND>(lParam)) - IDC_RULE_SWATCH;
        if (id < 0 || id >= kHighlights) return FALSE;
        return reinterpret_cast<INT_PTR>(edit->brushes[id].get());
    }
    case WM_COMMAND: {
        int id = LOWORD(wParam);
        if (id >= IDC_RULE_BUTTON && id < IDC_RULE_BUTTON + kHighlights)
            PickColour(dialog, *edit, id - IDC_RULE_BUTTON);
        if (id == IDOK)
            for (int i = 0; i < kHighlights; ++i)
                edit->settings->highlights[i].pattern = ItemText(dialog, IDC_RULE_PATTERN + i);
        if (id == IDOK || id == IDCANCEL) ::EndDialog(dialog, id);
        return TRUE;
    }
    }
    return FALSE;
}

INT_PTR CALLBACK HistoryProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    Settings* s = reinterpret_cast<Settings*>(::GetWindowLongPtrW(dialog, DWLP_USER));
    if (message == WM_INITDIALOG) {
        ::SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        s = reinterpret_cast<Settings*>(lParam);
        ::SetDlgItemInt(dialog, IDC_MAX_ROWS, s->maxRows, FALSE);
        ::SetDlgItemInt(dialog, IDC_MAX_MB, s->maxMegabytes, FALSE);
        return TRUE;
    }
    if (message != WM_COMMAND) return FALSE;
    if (LOWORD(wParam) == IDOK) {
        BOOL rowsRead = FALSE, megabytesRead = FALSE;
        UINT rows = ::GetDlgItemInt(dialog, IDC_MAX_ROWS, &rowsRead, FALSE);
        UINT megabytes = ::GetDlgItemInt(dialog, IDC_MAX_MB, &megabytesRead, FALSE);
        if (!rowsRead || rows < kLeastRows || rows > kMostRows || !megabytesRead || megabytes < kLeastMegabytes ||
            megabytes > kMostMegabytes) {
            ::MessageBeep(MB_ICONWARNING);  // out of range: the dialog stays for a correction
            return TRUE;
        }
        s->maxRows = rows;
        s->maxMegabytes = megabytes;
    }
    if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) ::EndDialog(dialog, LOWORD(wParam));
    return TRUE;
}

bool Edit(HWND owner, int dialog, DLGPROC proc, LPARAM param) {
    return ::DialogBoxParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(dialog), owner, proc, param) == IDOK;
}

}  // namespace

bool EditHistoryLimit(HWND owner, Settings& settings) {
    Settings copy = settings;
    if (!Edit(owner, IDD_HISTORY, HistoryProc, reinterpret_cast<LPARAM>(&copy))) return false;
    settings = copy;
    return true;
}

bool EditFilters(HWND owner, Settings& settings) {
    Settings copy = settings;
    if (!Edit(owner, IDD_FILTERS, FiltersProc, reinterpret_cast<LPARAM>(&copy))) return false;
    settings = copy;
    return true;
}

bool EditHighlights(HWND owner, Settings& settings) {
    Settings copy = settings;
    HighlightEdit edit;
    edit.settings = &copy;
    if (!Edit(owner, IDD_HIGHLIGHT, HighlightProc, reinterpret_cast<LPARAM>(&edit))) return false;
    settings = copy;
    return true;
}

}  // namespace rolmview
