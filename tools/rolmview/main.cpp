// rolmview.exe: the trace viewer. See kUsage (settings.cpp) for the command line.
#include <windows.h>
#include <shellapi.h>

#include <string>

#include "settings.h"
#include "viewer.h"

namespace {

void WriteTo(HANDLE out, const std::wstring& text) {
    DWORD mode = 0, written = 0;
    if (::GetConsoleMode(out, &mode)) {
        ::WriteConsoleW(out, text.c_str(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    std::string utf8 = rolmview::ToUtf8(text);
    ::WriteFile(out, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

// To the output the viewer was started with, else to the console of the
// program that started it, else in a message box.
void PrintUsage(const std::wstring& problem) {
    std::wstring text = problem.empty() ? L"" : problem + L"\n\n";
    for (const wchar_t* c = rolmview::kUsage; *c; ++c)
        text += *c == L'\n' ? std::wstring(L"\r\n") : std::wstring(1, *c);
    HANDLE out = ::GetStdHandle(problem.empty() ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    if (out != nullptr && out != INVALID_HANDLE_VALUE && ::GetFileType(out) != FILE_TYPE_UNKNOWN) {
        WriteTo(out, text);
        return;
    }
    if (::AttachConsole(ATTACH_PARENT_PROCESS)) {
        rolm::UniqueFile console(::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE,
                                               nullptr, OPEN_EXISTING, 0, nullptr));
        if (console) WriteTo(console.get(), L"\r\n" + text);
        ::FreeConsole();
        return;
    }
    ::MessageBoxW(nullptr, text.c_str(), L"rolmview", problem.empty() ? MB_ICONINFORMATION : MB_ICONERROR);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int show) {
    int argc = 0;
    LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    rolm::UniqueLocal arguments(argv);
    if (argv == nullptr) return static_cast<int>(::GetLastError());

    // A first pass finds --hidden and refusals; settings kept from earlier
    // runs then come under what this command line says.
    rolmview::Settings settings;
    std::wstring bad;
    rolmview::CommandLine parsed = rolmview::ParseCommandLine(argc, argv, settings, &bad);
    if (parsed != rolmview::CommandLine::Run) {
        PrintUsage(bad);
        return parsed == rolmview::CommandLine::Help ? 0 : ERROR_INVALID_PARAMETER;
    }
    if (!settings.hidden) {
        rolmview::Settings kept;
        rolmview::LoadSettings(kept);
        rolmview::ParseCommandLine(argc, argv, kept, &bad);
        settings = kept;
    }
    rolmview::Viewer viewer(settings);
    return viewer.Run(show);
}
