// rolmview.exe in a process of its own, recording what it receives.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "common/unique.h"
#include "support.h"

namespace rolm_test {

struct ViewerRecord {
    std::string sink;    // "qrv", "vellosk", "wendlook" or "debug"
    std::string dwData;  // "-" for qrv; the sender's pid for debug
    std::string cbData;  // "-" for qrv
    std::string hex;     // the bytes exactly as received
    std::wstring text;
};

class Viewer {
public:
    // options: rolmview's own ("--vellosk --wendlook --no-qrv"). Starts it
    // hidden, recording, and waits until its windows exist.
    explicit Viewer(const std::wstring& options);
    ~Viewer() { Stop(); }
    Viewer(const Viewer&) = delete;
    Viewer& operator=(const Viewer&) = delete;

    bool running() const;
    void Stop();
    std::vector<ViewerRecord> Records() const;
    // Asks the viewer to save the rows it shows (or load a log): its error code.
    DWORD Query(ULONG_PTR what, const std::wstring& path) const;
    // The rows it shows, each split at its TABs (received, stamp, name,
    // channels, message), as saved in UTF-8 or UTF-16.
    std::vector<std::vector<std::wstring>> Rows(bool utf16 = false) const;
    const std::wstring& record() const { return record_; }
    DWORD pid() const { return pid_; }

    // Its main window ("RolmView"), or a child of it (IDC_LIST, IDC_DETAIL, IDC_STATUS of
    // tools/rolmview/resource.h); a dialog it shows (Filters...) once there, within 10 s.
    HWND Window(int child = 0) const;
    HWND Dialog() const;
    // The status bar's three parts, read through the viewer's own memory.
    std::vector<std::wstring> Status() const;

private:
    TempDir dir_;
    std::wstring record_;
    rolm::UniqueHandle process_;
    DWORD pid_ = 0;
};

// A window's text through WM_GETTEXT, which the system carries across processes.
std::wstring WindowText(HWND window);

// The viewer's own queries (WM_COPYDATA dwData to its "RolmView" window).
const ULONG_PTR kViewerSaveUtf8 = 0x524C5601, kViewerSaveUtf16 = 0x524C5602, kViewerLoad = 0x524C5603;

}  // namespace rolm_test
