// rolm.exe: runs one library operation from the command line. A hidden
// "Vellosk" window of its own receives the trace, so every line the operation
// writes appears on the console as it is written.
#include <rolm/rolm.h>

#include <string>
#include <vector>

#include "cli.h"
#include "common/unique.h"

namespace {

bool g_quiet = false;

// A program that starts tracing while this one runs finds this window (the
// newest "Vellosk") in place of a viewer's. Its lines, sent from another
// thread, go on to the next "Vellosk" window instead of the console, sent as
// by this window. A line passed on by such a window goes only to windows
// below this one, so that two rolm.exe never pass a line back and forth.
void PassOn(HWND window, WPARAM from, const COPYDATASTRUCT* copy) {
    HWND next = ::FindWindowExW(nullptr, from != 0 ? window : nullptr, L"Vellosk", nullptr);
    if (next == window) next = ::FindWindowExW(nullptr, window, L"Vellosk", nullptr);
    if (next != nullptr)
        ::SendMessageW(next, WM_COPYDATA, reinterpret_cast<WPARAM>(window), reinterpret_cast<LPARAM>(copy));
}

LRESULT CALLBACK TraceWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COPYDATA) {
        const COPYDATASTRUCT* copy = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        if (::InSendMessage()) {
            PassOn(window, wParam, copy);
        } else if (!g_quiet && copy->dwData == 1 && copy->cbData >= sizeof(wchar_t)) {
            const wchar_t* text = static_cast<const wchar_t*>(copy->lpData);
            cli::Print(L"%.*s\n", static_cast<int>(copy->cbData / sizeof(wchar_t) - 1), text);
        }
        return TRUE;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

// A normal (hidden) top-level window, not message-only: FindWindowW must see it.
HWND CreateTraceWindow() {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = TraceWindowProc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = L"Vellosk";
    ::RegisterClassW(&wc);
    return ::CreateWindowExW(0, L"Vellosk", L"rolm", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                             wc.hInstance, nullptr);
}

const cli::CommandList* const kFamilies[] = {&cli::kTraceCommands, &cli::kNetCommands,
                                             &cli::kHttpCommands, &cli::kProcessCommands,
                                             &cli::kFsregCommands};

const cli::Command* FindCommand(const wchar_t* name) {
    for (const cli::CommandList* family : kFamilies)
        for (size_t i = 0; i < family->count; ++i)
            if (wcscmp(family->items[i].name, name) == 0) return &family->items[i];
    return nullptr;
}

void PrintHelp() {
    cli::Print(
        L"usage: rolm [--quiet] [--log] COMMAND [ARGS]\n"
        L"  --quiet  do not print the trace lines (printed on stdout as they are written)\n"
        L"  --log    also trace to the log file named by win.ini [Qrv] Filename\n"
        L"Both may also stand after the command. Numbers are decimal or 0x hexadecimal.\n"
        L"Exit status: 0 on success, otherwise the Windows error code, which is also\n"
        L"printed with its text on stderr (Wine keeps only its low 8 bits).\n\ncommands:\n");
    for (const cli::CommandList* family : kFamilies)
        for (size_t i = 0; i < family->count; ++i)
            cli::Print(L"  %-12s %s\n  %-12s   %s\n", family->items[i].name,
                       family->items[i].usage, L"", family->items[i].summary);
}

// The window that shows the trace on the console, while the program runs.
rolm::UniqueWindow g_traceWindow;

}  // namespace

DWORD cli::StartTrace(bool quiet, bool log) {
    g_quiet = quiet;
    DWORD error = 0;
    if (!quiet) {
        g_traceWindow.reset(CreateTraceWindow());
        if (!g_traceWindow) {
            // No display, for one: the operation still runs, unseen.
            error = ::GetLastError() != 0 ? ::GetLastError() : ERROR_GEN_FAILURE;
            cli::PrintError(L"rolm: no trace window (error %lu: %s); trace lines are not shown\n", error,
                            cli::ErrorText(error).c_str());
        }
    }
    TraceInit(L"rolm", log ? 1 : 0);
    return error;
}

int wmain(int argc, wchar_t** argv) {
    // Global options before the command go to it too: Args takes them wherever they stand.
    std::vector<std::wstring> words;
    int first = 1;
    for (; first < argc && argv[first][0] == L'-'; ++first) {
        if (wcscmp(argv[first], L"--help") == 0 || wcscmp(argv[first], L"-h") == 0) {
            PrintHelp();
            return 0;
        }
        if (wcscmp(argv[first], L"--quiet") != 0 && wcscmp(argv[first], L"--log") != 0) {
            cli::PrintError(L"rolm: unknown option %s (see rolm --help)\n", argv[first]);
            return cli::Fail(L"rolm", cli::kUsage);
        }
        words.push_back(argv[first]);
    }
    if (first >= argc) {
        PrintHelp();
        return cli::Fail(L"rolm: no command", cli::kUsage);
    }
    const cli::Command* command = FindCommand(argv[first]);
    if (command == nullptr) {
        cli::PrintError(L"rolm: unknown command %s (see rolm --help)\n", argv[first]);
        return cli::Fail(L"rolm", cli::kUsage);
    }
    words.insert(words.end(), argv + first + 1, argv + argc);
    cli::Args args(*command, std::move(words));
    int status = command->run(args);
    // The full code, which a Unix exit status under Wine cuts to 8 bits.
    if (status != 0 && !cli::Reported()) cli::Fail((L"rolm " + std::wstring(command->name)).c_str(), static_cast<DWORD>(status));
    return status;
}
