// Shared pieces of rolm.exe: the subcommand tables each family fills in,
// argument access and console output.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace cli {

class Args;

struct Command {
    const wchar_t* name;
    const wchar_t* usage;    // arguments, for --help
    const wchar_t* summary;  // one line, for --help
    int (*run)(Args& args);  // exit status: 0 or the error code
};

struct CommandList {
    const Command* items;
    size_t count;
};

extern const CommandList kTraceCommands;
extern const CommandList kNetCommands;
extern const CommandList kHttpCommands;
extern const CommandList kProcessCommands;
extern const CommandList kFsregCommands;

// Exit status for misuse (bad arguments).
const int kUsage = ERROR_INVALID_PARAMETER;

// Numbers are decimal or 0x hexadecimal, digits only, at most `max`; where
// kInfinite allows it, "-1" stands for INFINITE.
enum NumberKind { kPlain, kInfinite };
bool ParseNumber(const wchar_t* text, unsigned long long max, unsigned long long* value,
                 NumberKind kind = kPlain);
// "what: text is not a number from 0 to max"
std::wstring NumberProblem(const wchar_t* what, const wchar_t* text, unsigned long long max,
                           NumberKind kind = kPlain);

// The arguments of one command: options ("--name value", "--flag", "-i") and
// positional words in their order. Ask for the options first, then call
// Ready, then read the positional words.
class Args {
public:
    Args(const Command& command, std::vector<std::wstring> words);

    bool flag(const wchar_t* name);              // present without a value
    const wchar_t* option(const wchar_t* name);  // value after the name, or null
    // A numeric option; left alone when absent.
    bool number(const wchar_t* name, DWORD* value, DWORD max = MAXDWORD, NumberKind kind = kPlain);
    bool number(const wchar_t* name, DWORD* value, bool* present, DWORD max = MAXDWORD,
                NumberKind kind = kPlain);

    // Positional word i as a number; false after a message naming `what`.
    bool word(size_t i, const wchar_t* what, unsigned long long max, unsigned long long* value);

    // Takes --quiet and --log wherever they stand and starts the trace, then
    // checks that low..high positional words and nothing unknown are left.
    // False after a message and the usage line.
    bool Ready(size_t low, size_t high);
    size_t count() const { return positional_.size(); }
    const wchar_t* at(size_t i) const { return i < positional_.size() ? positional_[i] : nullptr; }
    // 0, or why the trace window (and so the trace on the console) is missing.
    DWORD traceWindowError() const { return traceWindowError_; }

    // Prints "rolm COMMAND: message" and the usage line; returns kUsage.
    int Misuse(const wchar_t* format, ...) const;

private:
    bool Refused(const std::wstring& message) const;
    const Command& command_;
    std::vector<std::wstring> words_;
    std::vector<bool> used_;
    std::vector<const wchar_t*> positional_;
    const wchar_t* missing_ = nullptr;  // an option given last, without its value
    DWORD traceWindowError_ = 0;
    bool quiet_ = false;
};

// Starts the trace (main.cpp): the console window unless quiet, the log file
// when asked. Returns 0 or the error that kept the trace window from being made.
DWORD StartTrace(bool quiet, bool log);

// Console output in UTF-8 (or to the console itself when there is one).
void Print(const wchar_t* format, ...);
void PrintError(const wchar_t* format, ...);
// The system's text for a code, or the Internet client's for 12000-12175;
// empty when there is none.
std::wstring ErrorText(DWORD error);
// Prints "what: error N: text" on stderr and returns N.
int Fail(const wchar_t* what, DWORD error);
// Whether Fail has reported the failure already.
bool Reported();

// Text the network layers take (ANSI code page). False (after a message that
// names `what`) when the text has a character the code page lacks or is
// longer than maxBytes: it is never sent in another form.
bool ToAnsi(const wchar_t* what, const wchar_t* text, size_t maxBytes, std::string* out);

// The endpoint record from ROLM_SERVER, ROLM_PORT (default 80), ROLM_URL,
// ROLM_USER and ROLM_PASSWORD. 0, or the exit status after a message.
int LoadServerConfig(bool serverNeeded);

}  // namespace cli
