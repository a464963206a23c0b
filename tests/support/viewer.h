// rolmview.exe in a process of its own, recording what it receives.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "support.h"

namespace rolm_test {

struct ViewerRecord {
    std::string sink;    // "qrv", "vellosk" or "wendlook"
    std::string dwData;  // "-" for qrv
    std::string cbData;  // "-" for qrv
    std::string hex;     // the bytes exactly as received
    std::wstring text;
};

class Viewer {
public:
    // options: rolmview's own ("--vellosk --wendlook --no-qrv"). Waits until
    // its windows exist.
    explicit Viewer(const std::wstring& options);
    ~Viewer();  // ends the viewer
    Viewer(const Viewer&) = delete;
    Viewer& operator=(const Viewer&) = delete;

    bool running() const { return process_ != nullptr; }
    void Stop();
    std::vector<ViewerRecord> Records() const;

private:
    TempDir dir_;
    std::wstring record_;
    HANDLE process_ = nullptr;
};

// Lowercase hex of bytes, as the viewer records them.
std::string Hex(const void* data, size_t bytes);

}  // namespace rolm_test
