// rolm trace / error / filetime
#include <rolm/trace.h>

#include "cli.h"

namespace {

int RunTrace(cli::Args& args) {
    if (!args.Ready(1, 1)) return cli::kUsage;
    // Without its window the line would reach nobody the user can see.
    if (args.traceWindowError() != 0) return static_cast<int>(args.traceWindowError());
    TraceWrite(L"%s", args.at(0));
    return 0;
}

int RunError(cli::Args& args) {
    unsigned long long code = 0;
    if (!args.Ready(1, 1) || !args.word(0, L"CODE", MAXDWORD, &code)) return cli::kUsage;
    std::wstring text = cli::ErrorText(static_cast<DWORD>(code));
    if (text.empty()) {
        cli::PrintError(L"no text for error %I64u\n", code);
        return ERROR_MR_MID_NOT_FOUND;
    }
    cli::Print(L"%s\n", text.c_str());
    return 0;
}

int RunFileTime(cli::Args& args) {
    unsigned long long value = 0;
    if (!args.Ready(1, 1) || !args.word(0, L"VALUE", ~0ull, &value)) return cli::kUsage;
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(value);
    time.dwHighDateTime = static_cast<DWORD>(value >> 32);
    wchar_t text[64];
    cli::Print(L"%s\n", FormatFileTime(&time, text, _countof(text)));
    return 0;
}

const cli::Command kCommands[] = {
    {L"trace", L"MESSAGE", L"write MESSAGE to the trace", RunTrace},
    {L"error", L"CODE",
     L"print the text for a Windows error code (the Internet client's for 12000-12175)", RunError},
    {L"filetime", L"VALUE", L"render a FILETIME (100 ns units since 1601)", RunFileTime},
};

}  // namespace

const cli::CommandList cli::kTraceCommands = {kCommands, _countof(kCommands)};
