#include "cli.h"

#include <rolm/trace.h>
#include <stdarg.h>
#include <stdio.h>
#include <strsafe.h>
#include <wchar.h>

namespace cli {

Args::Args(int argc, wchar_t** argv) {
    for (int i = 0; i < argc; ++i) words_.push_back(argv[i]);
    used_.assign(words_.size(), false);
}

size_t Args::count() const {
    const_cast<Args*>(this)->scan();
    return positional_.size();
}

const wchar_t* Args::at(size_t i) const {
    const_cast<Args*>(this)->scan();
    return i < positional_.size() ? positional_[i] : nullptr;
}

void Args::scan() {
    // Positional words are those not starting with "-" and not taken as an
    // option's value; options are looked up before positional access.
    if (scanned_) return;
    scanned_ = true;
    for (size_t i = 0; i < words_.size(); ++i) {
        if (used_[i]) continue;
        const std::wstring& w = words_[i];
        if (w.size() > 1 && w[0] == L'-' && !(w[1] >= L'0' && w[1] <= L'9')) continue;
        used_[i] = true;
        positional_.push_back(words_[i].c_str());
    }
}

bool Args::flag(const wchar_t* name) {
    for (size_t i = 0; i < words_.size(); ++i)
        if (!used_[i] && words_[i] == name) {
            used_[i] = true;
            return true;
        }
    return false;
}

const wchar_t* Args::option(const wchar_t* name) {
    for (size_t i = 0; i + 1 < words_.size(); ++i)
        if (!used_[i] && words_[i] == name) {
            used_[i] = used_[i + 1] = true;
            return words_[i + 1].c_str();
        }
    return nullptr;
}

bool Args::ParseNumber(const wchar_t* text, unsigned long long* value) {
    if (text == nullptr || *text == L'\0') return false;
    wchar_t* end = nullptr;
    bool negative = text[0] == L'-';
    unsigned long long v = wcstoull(negative ? text + 1 : text, &end, 0);
    if (end == nullptr || *end != L'\0') return false;
    *value = negative ? 0 - v : v;
    return true;
}

bool Args::number(const wchar_t* name, DWORD* value) {
    const wchar_t* text = option(name);
    if (text == nullptr) return true;
    unsigned long long v = 0;
    if (!ParseNumber(text, &v)) {
        PrintError(L"%s: not a number: %s\n", name, text);
        return false;
    }
    *value = static_cast<DWORD>(v);
    return true;
}

bool Args::unused(std::wstring* word) const {
    const_cast<Args*>(this)->scan();
    for (size_t i = 0; i < words_.size(); ++i)
        if (!used_[i]) {
            *word = words_[i];
            return true;
        }
    return false;
}

static void WriteText(DWORD which, const wchar_t* format, va_list args) {
    wchar_t text[8192];
    StringCchVPrintfW(text, _countof(text), format, args);  // cut to fit
    HANDLE out = ::GetStdHandle(which);
    DWORD mode = 0, written = 0;
    if (::GetConsoleMode(out, &mode)) {
        ::WriteConsoleW(out, text, static_cast<DWORD>(wcslen(text)), &written, nullptr);
        return;
    }
    char utf8[8192 * 3];
    int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
    if (bytes > 1) ::WriteFile(out, utf8, static_cast<DWORD>(bytes - 1), &written, nullptr);
}

void Print(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    WriteText(STD_OUTPUT_HANDLE, format, args);
    va_end(args);
}

void PrintError(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    WriteText(STD_ERROR_HANDLE, format, args);
    va_end(args);
}

int Fail(const wchar_t* what, DWORD error) {
    LPWSTR text = nullptr;
    DWORD length = 0;
    GetSystemErrorText(error, &text, &length);
    // System texts end in CR LF; drop it so the message stays on one line.
    while (length > 0 && (text[length - 1] == L'\n' || text[length - 1] == L'\r')) text[--length] = 0;
    PrintError(L"%s: error %lu%s%s\n", what, error, length ? L": " : L"", length ? text : L"");
    if (text != nullptr) ::LocalFree(text);
    return static_cast<int>(error);
}

int Usage(const Command& command) {
    PrintError(L"usage: rolm %s %s\n", command.name, command.usage);
    return kUsage;
}

}  // namespace cli
