// What the user chose: from the command line, and (for a viewer with a
// window) kept per user under HKCU\Software\rolm\rolmview.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "receivers.h"

namespace rolmview {

const int kColumns = 6;
const DWORD kLeastRows = 1, kMostRows = 100000000;
const DWORD kLeastMegabytes = 1, kMostMegabytes = 1024;  // a 32-bit process has 2 GB in all
const int kHighlights = 5;

struct Highlight {
    std::wstring pattern;
    COLORREF colour;
};

struct Settings {
    ChannelSwitches channels;
    bool hidden = false;
    bool merge = true, autoScroll = true, topMost = false, detail = true;
    std::wstring record, readyEvent;
    std::wstring includeName, includeText, excludeName, excludeText;
    Highlight highlights[kHighlights] = {
        {L"error;fail", RGB(255, 200, 200)}, {L"warn", RGB(255, 240, 170)},
        {L"", RGB(200, 230, 255)}, {L"", RGB(210, 255, 210)}, {L"", RGB(235, 220, 255)}};
    DWORD maxRows = 1000000, maxMegabytes = 256;  // the history limit
    DWORD recordLimit = 0;                         // MB of --record before it turns over; 0: none
    WINDOWPLACEMENT placement = {};
    int columns[kColumns] = {106, 84, 80, 150, 150, 500};
};

enum class CommandLine { Run, Help, Bad };
// Reads argv into settings; *bad names the argument refused.
CommandLine ParseCommandLine(int argc, wchar_t** argv, Settings& settings, std::wstring* bad);
extern const wchar_t kUsage[];

void LoadSettings(Settings& settings);
void SaveSettings(const Settings& settings);

}  // namespace rolmview
