#include "settings.h"

#include <stdio.h>
#include <strsafe.h>

namespace rolmview {

namespace {

const wchar_t kKey[] = L"Software\\rolm\\rolmview";

struct Flag {
    const wchar_t* name;
    bool Settings::*field;
    bool value;
};
struct ChannelFlag {
    const wchar_t* name;
    bool ChannelSwitches::*field;
    bool value;
};
struct TextOption {
    const wchar_t* name;
    std::wstring Settings::*field;
};
struct NumberOption {
    const wchar_t* name;
    DWORD Settings::*field;
    DWORD least, most;
};

const Flag kFlags[] = {{L"--hidden", &Settings::hidden, true},
                       {L"--separate", &Settings::merge, false},
                       {L"--no-scroll", &Settings::autoScroll, false},
                       {L"--scroll", &Settings::autoScroll, true},
                       {L"--on-top", &Settings::topMost, true}};
const ChannelFlag kChannelFlags[] = {{L"--vellosk", &ChannelSwitches::vellosk, true},
                                     {L"--wendlook", &ChannelSwitches::wendlook, true},
                                     {L"--debug-output", &ChannelSwitches::debug, true},
                                     {L"--no-qrv", &ChannelSwitches::qrv, false}};
const TextOption kTextOptions[] = {{L"--filter", &Settings::includeText},
                                   {L"--exclude", &Settings::excludeText},
                                   {L"--name", &Settings::includeName},
                                   {L"--exclude-name", &Settings::excludeName},
                                   {L"--record", &Settings::record},
                                   {L"--ready-event", &Settings::readyEvent}};
const NumberOption kNumberOptions[] = {{L"--max-rows", &Settings::maxRows, kLeastRows, kMostRows},
                                       {L"--max-mb", &Settings::maxMegabytes, kLeastMegabytes, kMostMegabytes},
                                       {L"--record-limit", &Settings::recordLimit, 1, 1000000}};

// Decimal digits only, within [least, most].
bool ParseNumber(const wchar_t* text, DWORD least, DWORD most, DWORD* value) {
    ULONGLONG number = 0;
    for (const wchar_t* c = text; *c; ++c) {
        if (*c < L'0' || *c > L'9' || number > most) return false;
        number = number * 10 + static_cast<ULONGLONG>(*c - L'0');
    }
    if (*text == L'\0' || number < least || number > most) return false;
    *value = static_cast<DWORD>(number);
    return true;
}

DWORD ReadDword(HKEY key, const wchar_t* name, DWORD fallback) {
    DWORD value = 0, size = sizeof value, type = 0;
    if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD)
        return fallback;
    return value;
}

void ReadText(HKEY key, const wchar_t* name, std::wstring& out) {
    wchar_t text[2048];
    DWORD size = sizeof text - sizeof(wchar_t), type = 0;
    if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
        return;
    text[size / sizeof(wchar_t)] = L'\0';
    out = text;
}

bool ReadBinary(HKEY key, const wchar_t* name, void* out, DWORD bytes) {
    DWORD size = bytes, type = 0;
    return ::RegQueryValueExW(key, name, nullptr, &type, static_cast<BYTE*>(out), &size) ==
               ERROR_SUCCESS &&
           type == REG_BINARY && size == bytes;
}

void WriteDword(HKEY key, const wchar_t* name, DWORD value) {
    ::RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

void WriteText(HKEY key, const wchar_t* name, const std::wstring& text) {
    ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                     static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

const wchar_t* const kTextNames[] = {L"IncludeName", L"IncludeText", L"ExcludeName", L"ExcludeText"};
std::wstring Settings::* const kTextFields[] = {&Settings::includeName, &Settings::includeText,
                                                &Settings::excludeName, &Settings::excludeText};

}  // namespace

const wchar_t kUsage[] =
    L"rolmview: shows rolm trace lines (and other programs' debug output) as they arrive.\n"
    L"\n"
    L"rolmview [channels] [--filter TEXT] [--exclude TEXT] [--name TEXT] [--exclude-name TEXT]\n"
    L"         [--separate] [--scroll | --no-scroll] [--on-top] [--max-rows N] [--max-mb MB]\n"
    L"         [--record FILE [--record-limit MB]] [--hidden] [--help]\n"
    L"\n"
    L"Channels (the \"Qrv\" list box is served unless --no-qrv):\n"
    L"  --vellosk        also serve the \"Vellosk\" window (UTF-16 lines)\n"
    L"  --wendlook       also serve the \"Wendlook\" window (ANSI lines)\n"
    L"  --debug-output   also capture OutputDebugString of other programs\n"
    L"  --no-qrv         do not serve the \"Qrv\" list box\n"
    L"Filters take TEXT as substrings separated by ';', case ignored:\n"
    L"  --filter / --exclude           show only / hide messages containing one\n"
    L"  --name / --exclude-name        the same for the name column\n"
    L"  --separate       one row per channel instead of one row per trace line\n"
    L"  --scroll / --no-scroll   start with or without auto-scroll\n"
    L"  --on-top         keep the window above others\n"
    L"  --max-rows N     keep at most N rows (default 1000000); the oldest go first\n"
    L"  --max-mb MB      keep at most MB megabytes of rows (default 256, at most 1024)\n"
    L"  --record FILE    append every line received, as received, to FILE (UTF-8)\n"
    L"  --record-limit MB  when FILE reaches MB megabytes it becomes FILE.1 (one kept) and FILE starts anew\n"
    L"  --hidden         no window, no saved settings (recording, tests)\n"
    L"  --ready-event N  set the named event once the windows exist\n";

CommandLine ParseCommandLine(int argc, wchar_t** argv, Settings& settings, std::wstring* bad) {
    for (int i = 1; i < argc; ++i) {
        std::wstring a = argv[i];
        bool known = false;
        if (a == L"--help" || a == L"-h" || a == L"/?") return CommandLine::Help;
        for (const Flag& f : kFlags)
            if (a == f.name) settings.*f.field = f.value, known = true;
        for (const ChannelFlag& f : kChannelFlags)
            if (a == f.name) settings.channels.*f.field = f.value, known = true;
        for (const TextOption& o : kTextOptions) {
            if (a != o.name) continue;
            if (i + 1 >= argc) {
                *bad = a + L" needs a value";
                return CommandLine::Bad;
            }
            settings.*o.field = argv[++i];
            known = true;
        }
        for (const NumberOption& o : kNumberOptions) {
            if (a != o.name) continue;
            if (i + 1 >= argc || !ParseNumber(argv[i + 1], o.least, o.most, &(settings.*o.field))) {
                wchar_t range[64];
                StringCchPrintfW(range, 64, L" needs a number from %lu to %lu", o.least, o.most);
                *bad = a + range;
                return CommandLine::Bad;
            }
            ++i;
            known = true;
        }
        if (!known) {
            *bad = L"unknown argument: " + a;
            return CommandLine::Bad;
        }
    }
    return CommandLine::Run;
}

void LoadSettings(Settings& s) {
    rolm::UniqueKey key;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return;
    s.merge = ReadDword(key.get(), L"Merge", s.merge) != 0;
    s.autoScroll = ReadDword(key.get(), L"AutoScroll", s.autoScroll) != 0;
    s.topMost = ReadDword(key.get(), L"TopMost", s.topMost) != 0;
    s.detail = ReadDword(key.get(), L"Detail", s.detail) != 0;
    DWORD rows = ReadDword(key.get(), L"MaxRows", s.maxRows);
    DWORD megabytes = ReadDword(key.get(), L"MaxMB", s.maxMegabytes);
    if (rows >= kLeastRows && rows <= kMostRows) s.maxRows = rows;
    if (megabytes >= kLeastMegabytes && megabytes <= kMostMegabytes) s.maxMegabytes = megabytes;
    for (int i = 0; i < 4; ++i) ReadText(key.get(), kTextNames[i], s.*kTextFields[i]);
    for (int i = 0; i < kHighlights; ++i) {
        wchar_t name[16];
        std::wstring rule;
        StringCchPrintfW(name, 16, L"Highlight%d", i + 1);
        ReadText(key.get(), name, rule);
        unsigned int rgb = 0;
        if (rule.size() >= 7 && swscanf(rule.c_str(), L"%6x", &rgb) == 1) {
            s.highlights[i].colour = RGB(rgb >> 16, (rgb >> 8) & 255, rgb & 255);
            s.highlights[i].pattern = rule.substr(7);
        }
    }
    WINDOWPLACEMENT placement;
    if (ReadBinary(key.get(), L"Placement", &placement, sizeof placement) &&
        placement.length == sizeof placement)
        s.placement = placement;
    int columns[kColumns];
    if (ReadBinary(key.get(), L"Columns", columns, sizeof columns))
        for (int i = 0; i < kColumns; ++i)
            if (columns[i] > 0 && columns[i] < 4000) s.columns[i] = columns[i];
}

void SaveSettings(const Settings& s) {
    rolm::UniqueKey key;
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_WRITE, nullptr, key.put(),
                          nullptr) != ERROR_SUCCESS)
        return;
    WriteDword(key.get(), L"Merge", s.merge);
    WriteDword(key.get(), L"AutoScroll", s.autoScroll);
    WriteDword(key.get(), L"TopMost", s.topMost);
    WriteDword(key.get(), L"Detail", s.detail);
    WriteDword(key.get(), L"MaxRows", s.maxRows);
    WriteDword(key.get(), L"MaxMB", s.maxMegabytes);
    for (int i = 0; i < 4; ++i) WriteText(key.get(), kTextNames[i], s.*kTextFields[i]);
    for (int i = 0; i < kHighlights; ++i) {
        wchar_t name[16], colour[8];
        COLORREF c = s.highlights[i].colour;
        StringCchPrintfW(name, 16, L"Highlight%d", i + 1);
        StringCchPrintfW(colour, 8, L"%02X%02X%02X", GetRValue(c), GetGValue(c), GetBValue(c));
        WriteText(key.get(), name, std::wstring(colour) + L" " + s.highlights[i].pattern);
    }
    if (s.placement.length == sizeof s.placement)
        ::RegSetValueExW(key.get(), L"Placement", 0, REG_BINARY,
                         reinterpret_cast<const BYTE*>(&s.placement), sizeof s.placement);
    ::RegSetValueExW(key.get(), L"Columns", 0, REG_BINARY, reinterpret_cast<const BYTE*>(s.columns),
                     sizeof s.columns);
}

}  // namespace rolmview
