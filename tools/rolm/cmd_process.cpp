// rolm launch / wait
#include <rolm/process.h>

#include <string>

#include "cli.h"
#include "common/unique.h"

namespace {

// The launch's result as a word: the wait's result once started.
const wchar_t* StateWord(DWORD state, DWORD launched, bool waited) {
    if (!launched) return L"not started";
    switch (state) {
        case WAIT_OBJECT_0: return waited ? L"ended" : L"started, not waited for";
        case WAIT_ABANDONED_0: return L"abandoned";
        case WAIT_TIMEOUT: return L"still running when the wait ran out";
        default: return L"wait failed";
    }
}

int RunLaunch(cli::Args& args) {
    const wchar_t* verb = args.option(L"--verb");
    const wchar_t* rawArgs = args.option(L"--args");
    DWORD show = SW_SHOWNORMAL, waitTimeout = 0, terminateCode = 0, idle = 0, sleep = 0;
    bool hasWait, hasTerminate, hasIdle, hasSleep;
    if (!args.number(L"--show", &show, 0xFFFF) ||
        !args.number(L"--wait", &waitTimeout, &hasWait, MAXDWORD, cli::kInfinite) ||
        !args.number(L"--terminate", &terminateCode, &hasTerminate) ||
        !args.number(L"--idle", &idle, &hasIdle) || !args.number(L"--sleep", &sleep, &hasSleep) ||
        !args.Ready(1, static_cast<size_t>(-1)))
        return cli::kUsage;
    if (hasIdle && hasSleep && idle != sleep)
        return args.Misuse(L"--idle and --sleep share one delay; give them the same value");

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

    std::wstring text = error != 0 ? cli::ErrorText(error) : std::wstring();
    cli::Print(L"state: %lu (%s)\nlaunched: %lu\nerror: %lu%s%s%s\n", state,
               StateWord(state, launched, hasWait && waitTimeout != 0), launched, error,
               text.empty() ? L"" : L" (", text.c_str(), text.empty() ? L"" : L")");
    DWORD exitCode = 0;
    if (process.valid() && GetExitCode(OBJECT_PROCESS, process.get(), &exitCode) == 0)
        cli::Print(exitCode == STILL_ACTIVE ? L"exit code: %lu (still active)\n" : L"exit code: %lu\n",
                   exitCode);
    return error != 0 ? cli::Fail(L"LaunchProcess", error) : 0;
}

int RunWait(cli::Args& args) {
    DWORD timeout = INFINITE;
    unsigned long long pid = 0;
    if (!args.number(L"--timeout", &timeout, MAXDWORD, cli::kInfinite) || !args.Ready(1, 1) ||
        !args.word(0, L"PID", MAXDWORD, &pid))
        return cli::kUsage;

    rolm::UniqueHandle process(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE,
                                             static_cast<DWORD>(pid)));
    if (!process) return cli::Fail(L"OpenProcess", ::GetLastError());
    HANDLE waited = process.get();  // the owner closes it
    DWORD exitCode = 0, error = 0, elapsed = 0;
    DWORD result = WaitForObject(OBJECT_PROCESS, &waited, timeout, nullptr, FALSE, 0, FALSE,
                                 &exitCode, &error, &elapsed);
    cli::Print(L"result: %lu\nexit code: %lu\nerror: %lu\nelapsed: %lu ms\n", result, exitCode,
               error, elapsed);
    return error != 0 ? cli::Fail(L"WaitForObject", error) : 0;
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
     L"wait for a process while dispatching messages (MS may be -1 for no limit, the default); "
     L"prints result, exit code, error and elapsed time",
     RunWait},
};

}  // namespace

const cli::CommandList cli::kProcessCommands = {kCommands, _countof(kCommands)};
