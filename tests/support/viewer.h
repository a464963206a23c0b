// rolmview.exe in a process of its own, recording what it receives.
#pragma once

#include "support.h"

namespace rolm_test {

// A case file's text unfolded: "{U+HEX}" is that UTF-16 unit, "{TEXT*N}" TEXT N times and "{NAME}" the value
// vars has for NAME.
std::wstring Unfold(const std::wstring& text, const std::map<std::wstring, std::wstring>& vars = {});

class Viewer {
public:
    // options: rolmview's own ("--vellosk --wendlook --no-qrv"). Starts it
    // hidden, recording, and waits until its windows exist.
    explicit Viewer(const std::wstring& options);
    ~Viewer() { Stop(); }

    bool running() const;
    // What it received, a line each: "SINK dwData cbData TEXT", SINK one of qrv, vellosk, wendlook and debug;
    // dwData and cbData "-" for qrv, dwData the sender's pid for debug.
    std::vector<std::wstring> Records() const;
    // Asks the viewer to save the rows it shows (or load a log): its error code.
    DWORD Query(ULONG_PTR what, const std::wstring& path) const;
    // The rows it shows as it saves them (UTF-8), '|' between the fields:
    // received, stamp, name, channels, message.
    std::vector<std::wstring> Rows() const;
    const std::wstring& record() const { return record_; }
    DWORD pid() const { return pid_; }

    // A top-level window of its by class: its main window ("RolmView") or a
    // dialog it shows ("#32770"); with child, a child of it (IDC_LIST,
    // IDC_DETAIL, IDC_STATUS of tools/rolmview/resource.h).
    HWND Window(int child = 0, const wchar_t* className = L"RolmView") const;
    // The text a child writes into the viewer's memory when asked: a part of
    // the status bar (SB_GETTEXTW, wParam the part) or a cell of the list as
    // the list asks for one to draw, 260 characters (LVM_GETITEMTEXTW, wParam the row).
    std::wstring Read(int child, UINT message, WPARAM wParam, int column = 0) const;

private:
    void Stop();

    TempDir dir_;
    std::wstring record_;
    OwnHandle process_;
    DWORD pid_ = 0;
};

}  // namespace rolm_test
