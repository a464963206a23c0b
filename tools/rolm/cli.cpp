#include "cli.h"

#include <rolm/trace.h>
#include <stdarg.h>
#include <strsafe.h>
#include <wchar.h>
#include <wininet.h>

#include "common/unique.h"

namespace cli {

namespace {

bool g_reported = false;

bool IsOptionWord(const std::wstring& w) {
    // "-5" is a (bad) number, not an option.
    return w.size() > 1 && w[0] == L'-' && !(w[1] >= L'0' && w[1] <= L'9');
}

int Digit(wchar_t c, unsigned base) {
    int d = c >= L'0' && c <= L'9' ? c - L'0'
          : c >= L'a' && c <= L'f' ? c - L'a' + 10
          : c >= L'A' && c <= L'F' ? c - L'A' + 10
                                   : 99;
    return d < static_cast<int>(base) ? d : -1;
}

}  // namespace

bool ParseNumber(const wchar_t* text, unsigned long long max, unsigned long long* value,
                 NumberKind kind) {
    if (kind == kInfinite && wcscmp(text, L"-1") == 0) {
        *value = INFINITE;
        return true;
    }
    const bool hex = text[0] == L'0' && (text[1] == L'x' || text[1] == L'X');
    const unsigned base = hex ? 16 : 10;
    const wchar_t* p = hex ? text + 2 : text;
    unsigned long long v = 0;
    bool ok = *p != L'\0';
    for (; ok && *p != L'\0'; ++p) {
        int d = Digit(*p, base);
        ok = d >= 0 && v <= (max - d) / base;
        v = v * base + d;
    }
    if (ok) *value = v;
    return ok;
}

std::wstring NumberProblem(const wchar_t* what, const wchar_t* text, unsigned long long max,
                           NumberKind kind) {
    wchar_t message[512];
    StringCchPrintfW(message, _countof(message), L"%s: %s is not a number from 0 to %I64u%s", what,
                     text, max, kind == kInfinite ? L" (or -1 for no limit)" : L"");
    return message;
}

Args::Args(const Command& command, std::vector<std::wstring> words)
    : command_(command), words_(std::move(words)), used_(words_.size(), false) {}

bool Args::flag(const wchar_t* name) {
    for (size_t i = 0; i < words_.size(); ++i)
        if (!used_[i] && words_[i] == name) {
            used_[i] = true;
            return true;
        }
    return false;
}

const wchar_t* Args::option(const wchar_t* name) {
    for (size_t i = 0; i < words_.size(); ++i)
        if (!used_[i] && words_[i] == name) {
            used_[i] = true;
            if (i + 1 == words_.size()) {
                missing_ = name;  // refused by Ready
                return L"";
            }
            used_[i + 1] = true;
            return words_[i + 1].c_str();
        }
    return nullptr;
}

bool Args::number(const wchar_t* name, DWORD* value, bool* present, DWORD max, NumberKind kind) {
    const wchar_t* text = option(name);
    *present = text != nullptr;
    unsigned long long v = 0;
    if (text == nullptr || *text == L'\0') return true;  // a missing value: refused by Ready
    if (!ParseNumber(text, max, &v, kind)) return Refused(NumberProblem(name, text, max, kind));
    *value = static_cast<DWORD>(v);
    return true;
}

bool Args::number(const wchar_t* name, DWORD* value, DWORD max, NumberKind kind) {
    bool present;
    return number(name, value, &present, max, kind);
}

bool Args::word(size_t i, const wchar_t* what, unsigned long long max, unsigned long long* value) {
    if (ParseNumber(at(i), max, value)) return true;
    return Refused(NumberProblem(what, at(i), max));
}

bool Args::Ready(size_t low, size_t high) {
    bool log = false;
    for (size_t i = 0; i < words_.size(); ++i) {
        if (used_[i]) continue;
        const std::wstring& w = words_[i];
        used_[i] = true;
        if (w == L"--quiet") {
            quiet_ = true;
        } else if (w == L"--log") {
            log = true;
        } else if (IsOptionWord(w)) {
            return Refused(L"unknown option " + w);
        } else if (positional_.size() == high) {
            return Refused(L"unexpected word " + w);
        } else {
            positional_.push_back(w.c_str());
        }
    }
    if (missing_ != nullptr) return Refused(std::wstring(missing_) + L" needs a value");
    if (positional_.size() < low) return Refused(L"missing arguments");
    traceWindowError_ = StartTrace(quiet_, log);
    return true;
}

int Args::Misuse(const wchar_t* format, ...) const {
    wchar_t text[1024];
    va_list args;
    va_start(args, format);
    StringCchVPrintfW(text, _countof(text), format, args);
    va_end(args);
    PrintError(L"rolm %s: %s\nusage: rolm %s %s\n", command_.name, text, command_.name, command_.usage);
    return kUsage;
}

bool Args::Refused(const std::wstring& message) const {
    Misuse(L"%s", message.c_str());
    return false;
}

static void WriteText(DWORD which, const wchar_t* format, va_list args) {
    wchar_t text[8192];
    StringCchVPrintfW(text, _countof(text), format, args);  // cuts what does not fit
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

namespace {

// Names for the socket codes the probes report, where the system has no text.
struct SocketName {
    DWORD code;
    const wchar_t* text;
};
const SocketName kSocketNames[] = {
    {10013, L"WSAEACCES: access to the socket was refused"},
    {10040, L"WSAEMSGSIZE: the message was too long"},
    {10050, L"WSAENETDOWN: the network is down"},
    {10051, L"WSAENETUNREACH: the network cannot be reached"},
    {10054, L"WSAECONNRESET: the connection was reset by the peer"},
    {10060, L"WSAETIMEDOUT: the operation timed out"},
    {10061, L"WSAECONNREFUSED: the connection was refused"},
    {10065, L"WSAEHOSTUNREACH: the host cannot be reached"},
    {10093, L"WSANOTINITIALISED: Windows Sockets was not started"},
    {11001, L"WSAHOST_NOT_FOUND: the host was not found"},
    {11002, L"WSATRY_AGAIN: the host was not found; try again later"},
    {11003, L"WSANO_RECOVERY: the name server failed"},
    {11004, L"WSANO_DATA: the name has no address"},
};

std::wstring MessageOf(HMODULE module, DWORD error) {
    LPWSTR text = nullptr;
    DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                  (module != nullptr ? FORMAT_MESSAGE_FROM_HMODULE : FORMAT_MESSAGE_FROM_SYSTEM);
    DWORD length = ::FormatMessageW(flags, module, error, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    rolm::UniqueLocal owner(text);
    return length != 0 ? std::wstring(text, length) : std::wstring();
}

}  // namespace

std::wstring ErrorText(DWORD error) {
    std::wstring text;
    LPWSTR system = nullptr;
    DWORD length = 0;
    if (GetSystemErrorText(error, &system, &length) == 0) {
        rolm::UniqueLocal owner(system);
        text.assign(system, length);
    } else if (error >= INTERNET_ERROR_BASE && error <= INTERNET_ERROR_LAST) {
        // The Internet client keeps its texts in its own message table.
        rolm::UniqueModule wininet(::LoadLibraryExW(L"wininet.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE));
        if (wininet) text = MessageOf(wininet.get(), error);
    } else {
        text = MessageOf(nullptr, error);  // those with inserts, shown unfilled
        for (const SocketName& name : kSocketNames)
            if (text.empty() && name.code == error) text = name.text;
    }
    // System texts end in CR LF; drop it so the message stays on one line.
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
        text.pop_back();
    return text;
}

int Fail(const wchar_t* what, DWORD error) {
    std::wstring text = ErrorText(error);
    // HRESULTs read best in hexadecimal.
    PrintError((error & 0x80000000) != 0 ? L"%s: error 0x%08lX%s%s\n" : L"%s: error %lu%s%s\n", what,
               error, text.empty() ? L"" : L": ", text.c_str());
    g_reported = true;
    return static_cast<int>(error);
}

bool Reported() { return g_reported; }

bool ToAnsi(const wchar_t* what, const wchar_t* text, size_t maxBytes, std::string* out) {
    out->clear();
    if (*text == L'\0') return true;
    BOOL lossy = FALSE;
    int n = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, -1, nullptr, 0, nullptr, &lossy);
    if (n <= 0 || lossy) {
        PrintError(L"%s: \"%s\" has characters that the ANSI code page (%u) lacks; nothing was sent\n",
                   what, text, ::GetACP());
        return false;
    }
    if (static_cast<size_t>(n - 1) > maxBytes) {
        PrintError(L"%s: %d bytes long, more than %Iu; nothing was sent\n", what, n - 1, maxBytes);
        return false;
    }
    out->resize(static_cast<size_t>(n));
    ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, -1, &(*out)[0], n, nullptr, nullptr);
    out->resize(static_cast<size_t>(n - 1));
    return true;
}

}  // namespace cli
