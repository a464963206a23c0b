// Shared pieces of rolm.exe: the subcommand tables each family fills in,
// argument access and console output.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace cli {

// Arguments after the subcommand name: options ("--name value", "--flag",
// "-i") and positional words in their order.
class Args {
public:
    Args(int argc, wchar_t** argv);

    // Positional words; ask for options first, so that their values are not
    // taken for positional words.
    size_t count() const;
    const wchar_t* at(size_t i) const;  // null past the end
    bool flag(const wchar_t* name);      // present without a value
    const wchar_t* option(const wchar_t* name);  // value after the name, or null
    // Numeric option or word: decimal or 0x hexadecimal. false (and a message)
    // when present but not a number.
    bool number(const wchar_t* name, DWORD* value);
    static bool ParseNumber(const wchar_t* text, unsigned long long* value);
    // Words that were neither consumed as options nor positional: misuse.
    bool unused(std::wstring* word) const;

private:
    std::vector<std::wstring> words_;
    std::vector<bool> used_;
    std::vector<const wchar_t*> positional_;
    bool scanned_ = false;
    void scan();
};

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

// Console output in UTF-8 (or to the console itself when there is one).
void Print(const wchar_t* format, ...);
void PrintError(const wchar_t* format, ...);
// Prints "error N: system text" and returns N.
int Fail(const wchar_t* what, DWORD error);
// Exit status for misuse (bad arguments).
const int kUsage = ERROR_INVALID_PARAMETER;
int Usage(const Command& command);

}  // namespace cli
