// What the user chose: from the command line, and (for a viewer with a
// window) kept per user under HKCU\Software\rolm\rolmview.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "receivers.h"
#include "store.h"

namespace rolmview {

const int kColumns = 5;
const int kHighlights = 5;

struct Settings {
    ChannelSwitches channels;
    bool hidden = false;
    bool merge = true, autoScroll = true, topMost = false, detail = true;
    std::wstring record, readyEvent;
    std::wstring includeName, includeText, excludeName, excludeText;
    Highlight highlights[kHighlights] = {
        {L"error;fail", RGB(255, 200, 200)}, {L"warn", RGB(255, 240, 170)},
        {L"", RGB(200, 230, 255)}, {L"", RGB(210, 255, 210)}, {L"", RGB(235, 220, 255)}};
    WINDOWPLACEMENT placement = {};
    int columns[kColumns] = {90, 80, 150, 150, 500};
};

enum class CommandLine { Run, Help, Bad };
// Reads argv into settings; *bad names the argument refused.
CommandLine ParseCommandLine(int argc, wchar_t** argv, Settings& settings, std::wstring* bad);
extern const wchar_t kUsage[];

void LoadSettings(Settings& settings);
void SaveSettings(const Settings& settings);

}  // namespace rolmview
