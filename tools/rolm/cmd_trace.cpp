// rolm trace / error / filetime
#include <rolm/trace.h>

#include "cli.h"

namespace {

int RunTrace(cli::Args& args) {
    if (args.count() != 1) return cli::Usage(cli::kTraceCommands.items[0]);
    TraceWrite(L"%s", args.at(0));
    return 0;
}

int RunError(cli::Args& args) {
    unsigned long long code = 0;
    if (args.count() != 1 || !cli::Args::ParseNumber(args.at(0), &code))
        return cli::Usage(cli::kTraceCommands.items[1]);
    LPWSTR text = nullptr;
    DWORD length = 0;
    DWORD error = GetSystemErrorText(static_cast<DWORD>(code), &text, &length);
    if (error != 0) return cli::Fail(L"no system text", error);
    cli::Print(L"%s", text);
    if (length > 0 && text[length - 1] != L'\n') cli::Print(L"\n");
    ::LocalFree(text);
    return 0;
}

int RunFileTime(cli::Args& args) {
    unsigned long long value = 0;
    if (args.count() != 1 || !cli::Args::ParseNumber(args.at(0), &value))
        return cli::Usage(cli::kTraceCommands.items[2]);
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(value);
    time.dwHighDateTime = static_cast<DWORD>(value >> 32);
    wchar_t text[64];
    cli::Print(L"%s\n", FormatFileTime(&time, text, _countof(text)));
    return 0;
}

const cli::Command kCommands[] = {
    {L"trace", L"MESSAGE", L"write MESSAGE to the trace", RunTrace},
    {L"error", L"CODE", L"print the system's text for a Windows error code", RunError},
    {L"filetime", L"VALUE", L"render a FILETIME (100 ns units since 1601, decimal or 0x hex)",
     RunFileTime},
};

}  // namespace

const cli::CommandList cli::kTraceCommands = {kCommands, _countof(kCommands)};
