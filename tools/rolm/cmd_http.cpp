// rolm get / post / server-post / config / find / signin-page
#include <rolm/http.h>
#include <stdlib.h>

#include <string>

#include "cli.h"
#include "common/unique.h"

namespace {

const size_t kNoLimit = static_cast<size_t>(-1);

// An environment value of up to 1023 characters; false after a message when
// it is longer (the record's fields are shorter still).
bool Environment(const wchar_t* name, std::wstring* value) {
    wchar_t text[1024];
    DWORD n = ::GetEnvironmentVariableW(name, text, _countof(text));
    if (n >= _countof(text)) {
        cli::PrintError(L"%s: %lu characters, more than %lu\n", name, n - 1, static_cast<DWORD>(_countof(text) - 1));
        return false;
    }
    value->assign(text, n);
    return true;
}

// http://host[:port][/path][?query]
struct Target {
    std::wstring server;
    WORD port = 80;
    std::string path = "/";
    std::string query;
    bool hasQuery = false;
};

// False after a message that says what is wrong with the URL.
bool ParseUrl(const std::wstring& url, Target* target) {
    const std::wstring scheme = L"http://";
    if (_wcsnicmp(url.c_str(), scheme.c_str(), scheme.size()) != 0) {
        cli::PrintError(L"URL: %s does not begin with http://\n", url.c_str());
        return false;
    }
    const size_t hostStart = scheme.size();
    const size_t hostEnd = url.find_first_of(L"/?", hostStart);
    std::wstring authority = url.substr(hostStart, hostEnd == std::wstring::npos ? std::wstring::npos : hostEnd - hostStart);
    const size_t colon = authority.find(L':');
    if (colon != std::wstring::npos) {
        unsigned long long port = 0;
        const wchar_t* text = authority.c_str() + colon + 1;
        if (!cli::ParseNumber(text, 65535, &port) || port == 0) {
            cli::PrintError(L"URL: port %s is not a number from 1 to 65535\n", text);
            return false;
        }
        target->port = static_cast<WORD>(port);
        authority.resize(colon);
    }
    if (authority.empty()) {
        cli::PrintError(L"URL: %s names no host\n", url.c_str());
        return false;
    }
    target->server = authority;
    if (hostEnd == std::wstring::npos) return true;
    std::wstring rest = url.substr(hostEnd);
    const size_t question = rest.find(L'?');
    if (question != std::wstring::npos) {
        target->hasQuery = true;
        if (!cli::ToAnsi(L"URL query", rest.c_str() + question + 1, kNoLimit, &target->query)) return false;
        rest.resize(question);
    }
    return rest.empty() || cli::ToAnsi(L"URL path", rest.c_str(), kNoLimit, &target->path);
}

// Prints what came back (details: more lines after the length); the exit
// status is the exchange's result.
int Report(DWORD result, LPBYTE body, DWORD length, DWORD status, const std::wstring& details = L"") {
    rolm::UniqueCHeapBlock owner(body);
    cli::Print(L"status == %lu\nlength == %lu\n%s", status, length, details.c_str());
    DWORD written = 0;
    HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (body != nullptr) {
        ::WriteFile(out, body, length, &written, nullptr);
        if (length > 0 && body[length - 1] != '\n') ::WriteFile(out, "\n", 1, &written, nullptr);
    }
    if (result != 0) return cli::Fail(L"request", result);
    return 0;
}

// The new exchange's options: --ex, or --timeout MS (each phase) and
// --max-body BYTES, which ask for it too.
struct ExOptions {
    bool wanted = false;
    DWORD timeout = 0;
    DWORD maxBody = 0;
};

bool ReadExOptions(cli::Args& args, ExOptions* ex) {
    bool timeout = false, maxBody = false;
    ex->wanted = args.flag(L"--ex");
    if (!args.number(L"--timeout", &ex->timeout, &timeout) || !args.number(L"--max-body", &ex->maxBody, &maxBody))
        return false;
    ex->wanted = ex->wanted || timeout || maxBody;
    return true;
}

// Runs SendHttpRequestEx (or, with GetServerResponseEx, the endpoint
// record's) and prints what came back, how the body ended among it.
int ReportEx(const ExOptions& ex, HTTP_REQUEST_EX request, bool viaRecord) {
    request.dwConnectTimeout = request.dwSendTimeout = request.dwReceiveTimeout = ex.timeout;
    request.dwMaxBody = ex.maxBody;
    HTTP_RESPONSE_EX response = {sizeof response, ~0u};
    DWORD result = viaRecord ? GetServerResponseEx(&request, &response) : SendHttpRequestEx(&request, &response);
    const wchar_t* outcomes[] = {L"none", L"complete", L"cut short", L"over the limit", L"sign-in cancelled"};
    std::wstring details;  // none when the arguments were refused
    if (response.dwResult == result) {
        details = L"announced == " + (response.dwAnnouncedLength == HTTP_NOT_ANNOUNCED
                                          ? std::wstring(L"none")
                                          : std::to_wstring(response.dwAnnouncedLength));
        const wchar_t* outcome = response.dwOutcome < _countof(outcomes) ? outcomes[response.dwOutcome] : L"?";
        details += L"\noutcome == " + std::wstring(outcome) + L"\n";
    }
    return Report(result, response.pbyBody, response.dwBodyLength, response.dwStatusCode, details);
}

int Exchange(cli::Args& args, bool isPost) {
    const wchar_t* user = args.option(L"--user");
    const wchar_t* password = args.option(L"--password");
    ExOptions ex;
    if (!ReadExOptions(args, &ex) || !args.Ready(isPost ? 2 : 1, isPost ? 2 : 1)) return cli::kUsage;
    Target target;
    std::string data;
    if (!ParseUrl(args.at(0), &target) || (isPost && !cli::ToAnsi(L"DATA", args.at(1), kNoLimit, &data)))
        return cli::kUsage;
    // The query of a POST's URL stays part of the object; DATA is the body.
    const std::string object = isPost && target.hasQuery ? target.path + "?" + target.query : target.path;
    const char* variables = isPost ? data.c_str() : target.hasQuery ? target.query.c_str() : nullptr;
    if (ex.wanted) {
        const HTTP_REQUEST_EX request = {sizeof request, isPost ? L"POST" : L"GET", L"rolm", target.server.c_str(),
                                         target.port, object.c_str(), variables, user, password};
        return ReportEx(ex, request, false);
    }
    LPBYTE body = nullptr;
    DWORD length = 0, status = 0;
    DWORD result = SendHttpRequest(isPost ? L"POST" : L"GET", L"rolm", target.server.c_str(), target.port,
                                   object.c_str(), user ? user : L"", password ? password : L"", variables, &body,
                                   &length, &status, nullptr);
    return Report(result, body, length, status);
}

int RunGet(cli::Args& args) { return Exchange(args, false); }
int RunPost(cli::Args& args) { return Exchange(args, true); }

int RunServerPost(cli::Args& args) {
    ExOptions ex;
    if (!ReadExOptions(args, &ex) || !args.Ready(0, 1)) return cli::kUsage;
    std::string data;
    if (args.count() == 1 && !cli::ToAnsi(L"DATA", args.at(0), kNoLimit, &data)) return cli::kUsage;
    int config = cli::LoadServerConfig(true);
    if (config != 0) return config;
    const char* variables = args.count() == 1 ? data.c_str() : nullptr;
    if (ex.wanted) {
        HTTP_REQUEST_EX request = {sizeof request};
        request.lpszVariables = variables;
        return ReportEx(ex, request, true);
    }
    LPBYTE body = nullptr;
    DWORD length = 0, status = 0;
    DWORD result = GetServerResponse(variables, &body, &length, &status, nullptr);
    return Report(result, body, length, status);
}

int RunConfig(cli::Args& args) {
    if (!args.Ready(0, 0)) return cli::kUsage;
    int config = cli::LoadServerConfig(false);
    if (config != 0) return config;
    const ServerConfig& c = g_ServerConfig;
    cli::Print(L"wPort == %u\nszServer == %s\nszUrl == %s\nszHttpLogin == %s\nszHttpPswd == %s\n",
               c.wPort, c.szServer, c.szUrl, c.szHttpLogin, c.szHttpPswd[0] ? L"**********" : L"");
    return 0;
}

int RunFind(cli::Args& args) {
    const bool ignoreCase = args.flag(L"-i");
    DWORD maxCount = 0xFFFFFFFF;
    if (!args.number(L"--max", &maxCount) || !args.Ready(2, 2)) return cli::kUsage;
    UINT* offsets = nullptr;
    UINT count = 0;
    DWORD result = Match(args.at(0), args.at(1), &offsets, &count, ignoreCase, maxCount, TRUE);
    rolm::UniqueCHeapBlock owner(offsets);
    if (result != 0) return cli::Fail(L"Match", result);
    cli::Print(L"matches == %u\n", count);
    for (UINT i = 0; i < count; ++i) cli::Print(L"%u\n", offsets[i]);
    return 0;
}

// The page as 8-bit text: UTF-16 (either order) and UTF-8 files are known by
// their byte-order mark. The scan looks at tags only, so characters outside
// the ANSI code page may become "?". A zero inside is refused unless
// zerosAllowed. False after a message.
bool PageText(const wchar_t* file, const std::string& bytes, bool zerosAllowed, std::string* page) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(bytes.data());
    const bool le = bytes.size() >= 2 && b[0] == 0xFF && b[1] == 0xFE;
    const bool be = bytes.size() >= 2 && b[0] == 0xFE && b[1] == 0xFF;
    const bool utf8 = bytes.size() >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF;
    std::wstring wide;
    if (le || be) {
        if (bytes.size() % 2 != 0) {
            cli::PrintError(L"%s: UTF-16 text with an odd number of bytes\n", file);
            return false;
        }
        for (size_t i = 2; i < bytes.size(); i += 2)
            wide += static_cast<wchar_t>(le ? b[i] | b[i + 1] << 8 : b[i] << 8 | b[i + 1]);
    } else if (utf8) {
        int n = ::MultiByteToWideChar(CP_UTF8, 0, bytes.data() + 3, static_cast<int>(bytes.size() - 3), nullptr, 0);
        wide.resize(static_cast<size_t>(n));
        if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, bytes.data() + 3, static_cast<int>(bytes.size() - 3), &wide[0], n);
    }
    const size_t zero = le || be || utf8 ? wide.find(L'\0') : bytes.find('\0');
    if (zero != std::string::npos && !zerosAllowed) {
        cli::PrintError(L"%s: holds a zero %s at character %Iu, before its end\n", file,
                        le || be ? L"character" : L"byte", zero);
        return false;
    }
    if (!(le || be || utf8)) {
        *page = bytes;
        return true;
    }
    const int chars = static_cast<int>(wide.size());
    int n = chars == 0 ? 0 : ::WideCharToMultiByte(CP_ACP, 0, wide.data(), chars, nullptr, 0, nullptr, nullptr);
    page->resize(static_cast<size_t>(n > 0 ? n : 0));
    if (n > 0) ::WideCharToMultiByte(CP_ACP, 0, wide.data(), chars, &(*page)[0], n, nullptr, nullptr);
    return true;
}

int RunSigninPage(cli::Args& args) {
    const bool form = args.flag(L"--form");
    if (!args.Ready(1, 1)) return cli::kUsage;
    rolm::UniqueFile file(::CreateFileW(args.at(0), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return cli::Fail(args.at(0), ::GetLastError());
    std::string bytes, page;
    char block[4096];
    DWORD n = 0;
    while (::ReadFile(file.get(), block, sizeof block, &n, nullptr) && n > 0) bytes.append(block, n);
    if (!PageText(args.at(0), bytes, form, &page)) return ERROR_INVALID_DATA;
    const BOOL found = form ? IsSignInForm(page.data(), page.size()) : IsAuthenticationPage(&page[0]);
    cli::Print(L"%d\n", found ? 1 : 0);
    return 0;
}

}  // namespace

int cli::LoadServerConfig(bool serverNeeded) {
    std::wstring server, port, url, user, password;
    if (!Environment(L"ROLM_SERVER", &server) || !Environment(L"ROLM_PORT", &port) ||
        !Environment(L"ROLM_URL", &url) || !Environment(L"ROLM_USER", &user) ||
        !Environment(L"ROLM_PASSWORD", &password))
        return Fail(L"environment", ERROR_INSUFFICIENT_BUFFER);
    if (server.empty()) {
        if (!serverNeeded) return 0;
        PrintError(L"no endpoint: set ROLM_SERVER (and ROLM_PORT, default 80, ROLM_URL, ROLM_USER, "
                   L"ROLM_PASSWORD as the endpoint needs)\n");
        return kUsage;
    }
    // The probes and the request path take these as 8-bit text: never send
    // another server or path than the one configured.
    std::string ansi;
    if (!ToAnsi(L"ROLM_SERVER", server.c_str(), kNoLimit, &ansi) || !ToAnsi(L"ROLM_URL", url.c_str(), kNoLimit, &ansi))
        return kUsage;
    unsigned long long number = 80;
    if (!port.empty() && !ParseNumber(port.c_str(), 65535, &number)) {
        PrintError(L"%s\n", NumberProblem(L"ROLM_PORT", port.c_str(), 65535).c_str());
        return kUsage;
    }
    DWORD error = SetServerConfig(static_cast<WORD>(number), server.c_str(), url.c_str(), user.c_str(),
                                  password.c_str());
    return error != 0 ? Fail(L"SetServerConfig (a ROLM_* value too long for the record)", error) : 0;
}

namespace {

const cli::Command kCommands[] = {
    {L"get", L"URL [--user NAME] [--password TEXT] [--ex] [--timeout MS] [--max-body BYTES]",
     L"HTTP GET of an http:// URL (query as variables); prints status, length and body; --ex (or --timeout, "
     L"--max-body) uses SendHttpRequestEx, which reads bodies of every framing and prints how the body ended",
     RunGet},
    {L"post", L"URL DATA [--user NAME] [--password TEXT] [--ex] [--timeout MS] [--max-body BYTES]",
     L"HTTP POST of DATA as a form; prints status, length and body (--ex etc. as for get)", RunPost},
    {L"server-post", L"[DATA] [--ex] [--timeout MS] [--max-body BYTES]",
     L"GetServerResponse (GetServerResponseEx with --ex etc.): POST DATA to the endpoint of ROLM_SERVER, "
     L"ROLM_PORT, ROLM_URL, ROLM_USER and ROLM_PASSWORD",
     RunServerPost},
    {L"config", L"", L"show the endpoint record in use (from ROLM_SERVER, ROLM_PORT, ROLM_URL, "
                     L"ROLM_USER, ROLM_PASSWORD)", RunConfig},
    {L"find", L"TEXT PATTERN [-i] [--max N]", L"offsets of PATTERN in TEXT, without overlap", RunFind},
    {L"signin-page", L"FILE [--form]",
     L"1 when the page in FILE (8-bit, or UTF-16/UTF-8 with a byte-order mark) has a password "
     L"input tag, else 0; --form reads its tags as a browser does (IsSignInForm)",
     RunSigninPage},
};

}  // namespace

const cli::CommandList cli::kHttpCommands = {kCommands, _countof(kCommands)};
