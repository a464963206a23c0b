// rolm launch / wait
#include <rolm/process.h>

#include <string>

#include "../../common/unique.h"
#include "cli.h"

namespace {

// A numeric option that may be absent: false (and a message) only when it is
// present but not a number.
bool NumberOption(cli::Args& args, const wchar_t* name, DWORD* value, bool* present) {
    const wchar_t* text = args.option(name);
    *present = text != nullptr;
    unsigned long long v = 0;
    if (text == nullptr) return true;
    if (!cli::Args::ParseNumber(text, &v)) {
        cli::PrintError(L"%s: not a number: %s\n", name, text);
        return false;
    }
    *value = static_cast<DWORD>(v);
    return true;
}

int RunLaunch(cli::Args& args) {
    const cli::Command& command = cli::kProcessCommands.items[0];
    const wchar_t* verb = args.option(L"--verb");
    const wchar_t* rawArgs = args.option(L"--args");
    DWORD show = SW_SHOWNORMAL, waitTimeout = 0, terminateCode = 0, idle = 0, sleep = 0;
    bool hasShow, hasWait, hasTerminate, hasIdle, hasSleep;
    if (!NumberOption(args, L"--show", &show, &hasShow) ||
        !NumberOption(args, L"--wait", &waitTimeout, &hasWait) ||
        !NumberOption(args, L"--terminate", &terminateCode, &hasTerminate) ||
        !NumberOption(args, L"--idle", &idle, &hasIdle) ||
        !NumberOption(args, L"--sleep", &sleep, &hasSleep))
        return cli::kUsage;
    std::wstring word;
    if (args.count() < 1 || args.unused(&word)) return cli::Usage(command);
    if (hasIdle && hasSleep && idle != sleep) {
        cli::PrintError(L"--idle and --sleep share one delay; give them the same value\n");
        return cli::kUsage;
    }

    // The arguments: positional words after PROGRAM, then the --args text.
    std::wstring parameters;
    for (size_t i = 1; i < args.count(); ++i) parameters += (i > 1 ? L" " : L"") + std::wstring(args.at(i));
    if (rawArgs != nullptr) parameters += (parameters.empty() ? L"" : L" ") + std::wstring(rawArgs);
    // CreateProcessW takes the command line as it is, so the program's name
    // goes in front of it there; the shell takes the parameters alone.
    const wchar_t* program = args.at(0);
    std::wstring commandLine = IsVistaOrLater()
        ? parameters
        : L"\"" + std::wstring(program) + L"\"" + (parameters.empty() ? L"" : L" " + parameters);

    WORD flags = (hasWait ? LAUNCH_WAIT_PROCESS : 0) | (hasIdle ? LAUNCH_WAIT_INPUT_IDLE : 0) |
                 (hasSleep ? LAUNCH_SLEEP : 0);
    DWORD launched = 0, error = 0, closeHandle = 0;  // in 0: the handles stay ours
    PROCESS_INFORMATION pi = {};
    DWORD state = LaunchProcess(program, &commandLine[0], &launched, &error, &closeHandle, flags,
                                waitTimeout, hasTerminate, terminateCode, static_cast<WORD>(show),
                                verb, hasIdle ? idle : sleep, &pi);
    rolm::UniqueHandle process(pi.hProcess), thread(pi.hThread);

    cli::Print(L"state: %lu\nlaunched: %lu\nerror: %lu\n", state, launched, error);
    DWORD exitCode = 0;
    if (process.valid() && GetExitCode(OBJECT_PROCESS, process.get(), &exitCode) == 0)
        cli::Print(exitCode == STILL_ACTIVE ? L"exit code: %lu (still active)\n" : L"exit code: %lu\n",
                   exitCode);
    return static_cast<int>(error);
}

int RunWait(cli::Args& args) {
    const cli::Command& command = cli::kProcessCommands.items[1];
    DWORD timeout = INFINITE;
    bool hasTimeout;
    if (!NumberOption(args, L"--timeout", &timeout, &hasTimeout)) return cli::kUsage;
    unsigned long long pid = 0;
    std::wstring word;
    if (args.count() != 1 || args.unused(&word) || !cli::Args::ParseNumber(args.at(0), &pid))
        return cli::Usage(command);

    HANDLE process = ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE,
                                   static_cast<DWORD>(pid));
    if (process == nullptr) return cli::Fail(L"OpenProcess", ::GetLastError());
    DWORD exitCode = 0, error = 0, elapsed = 0;
    DWORD result = WaitForObject(OBJECT_PROCESS, &process, timeout, nullptr, FALSE, 0, TRUE,
                                 &exitCode, &error, &elapsed);
    cli::Print(L"result: %lu\nexit code: %lu\nerror: %lu\nelapsed: %lu ms\n", result, exitCode,
               error, elapsed);
    return static_cast<int>(error);
}

const cli::Command kCommands[] = {
    {L"launch",
     L"PROGRAM [ARGS...] [--args TEXT] [--verb V] [--show N] [--wait MS] [--terminate CODE] "
     L"[--idle MS] [--sleep MS]",
     L"start PROGRAM (TEXT: arguments that begin with -), optionally wait for it (MS may be -1 "
     L"for no limit) and end it with CODE when the wait runs out; prints state, launched, error "
     L"and exit code",
     RunLaunch},
    {L"wait", L"PID [--timeout MS]",
     L"wait for a process while dispatching messages; prints result, exit code, error and "
     L"elapsed time",
     RunWait},
};

}  // namespace

const cli::CommandList cli::kProcessCommands = {kCommands, _countof(kCommands)};
