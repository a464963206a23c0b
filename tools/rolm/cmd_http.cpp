// rolm get / post / server-post / config / find / signin-page
#include <rolm/http.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "cli.h"

namespace {

// rolm.exe's endpoint record comes from its environment, filled before any
// command runs: ROLM_SERVER, ROLM_PORT (default 80), ROLM_URL, ROLM_USER and
// ROLM_PASSWORD.
std::wstring Environment(const wchar_t* name) {
    wchar_t value[1024];
    DWORD n = ::GetEnvironmentVariableW(name, value, _countof(value));
    return n > 0 && n < _countof(value) ? std::wstring(value, n) : std::wstring();
}

struct ConfigFromEnvironment {
    ConfigFromEnvironment() {
        std::wstring server = Environment(L"ROLM_SERVER");
        if (server.empty()) return;
        std::wstring port = Environment(L"ROLM_PORT");
        SetServerConfig(port.empty() ? 80 : static_cast<WORD>(wcstoul(port.c_str(), nullptr, 10)),
                        server.c_str(), Environment(L"ROLM_URL").c_str(),
                        Environment(L"ROLM_USER").c_str(), Environment(L"ROLM_PASSWORD").c_str());
    }
} g_configFromEnvironment;

std::string Ansi(const std::wstring& text) {
    if (text.empty()) return std::string();
    int n = ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? static_cast<size_t>(n) : 1, '\0');
    ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &out[0], n, nullptr, nullptr);
    out.resize(strlen(out.c_str()));
    return out;
}

// http://host[:port][/path][?query]
struct Target {
    std::wstring server;
    WORD port = 80;
    std::string path = "/";
    std::string query;
    bool hasQuery = false;
};

bool ParseUrl(const std::wstring& url, Target* target) {
    const std::wstring scheme = L"http://";
    if (_wcsnicmp(url.c_str(), scheme.c_str(), scheme.size()) != 0) return false;
    const size_t hostStart = scheme.size();
    const size_t hostEnd = url.find_first_of(L"/?", hostStart);
    std::wstring authority = url.substr(hostStart, hostEnd == std::wstring::npos ? std::wstring::npos : hostEnd - hostStart);
    const size_t colon = authority.find(L':');
    if (colon != std::wstring::npos) {
        unsigned long long port = 0;
        if (!cli::Args::ParseNumber(authority.c_str() + colon + 1, &port) || port == 0 || port > 65535)
            return false;
        target->port = static_cast<WORD>(port);
        authority.resize(colon);
    }
    if (authority.empty()) return false;
    target->server = authority;
    if (hostEnd == std::wstring::npos) return true;
    std::wstring rest = url.substr(hostEnd);
    const size_t question = rest.find(L'?');
    if (question != std::wstring::npos) {
        target->hasQuery = true;
        target->query = Ansi(rest.substr(question + 1));
        rest.resize(question);
    }
    if (!rest.empty()) target->path = Ansi(rest);
    return true;
}

void WriteOut(const void* bytes, DWORD length) {
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), bytes, length, &written, nullptr);
}

// Prints what came back; the exit status is the exchange's result.
int Report(DWORD result, LPBYTE body, DWORD length, DWORD status) {
    cli::Print(L"status == %lu\nlength == %lu\n", status, length);
    if (body != nullptr) {
        WriteOut(body, length);
        if (length > 0 && body[length - 1] != '\n') WriteOut("\n", 1);
        free(body);
    }
    if (result != 0) return cli::Fail(L"request", result);
    return 0;
}

int Exchange(cli::Args& args, const cli::Command& command, bool isPost) {
    const wchar_t* user = args.option(L"--user");
    const wchar_t* password = args.option(L"--password");
    std::wstring unused;
    if (args.count() != (isPost ? 2u : 1u) || args.unused(&unused)) return cli::Usage(command);
    Target target;
    if (!ParseUrl(args.at(0), &target)) {
        cli::PrintError(L"not an http:// URL: %s\n", args.at(0));
        return cli::kUsage;
    }
    LPBYTE body = nullptr;
    DWORD length = 0, status = 0, result = 0;
    if (isPost) {
        // The query of a POST's URL stays part of the object; DATA is the body.
        std::string object = target.path + (target.hasQuery ? "?" + target.query : std::string());
        std::string data = Ansi(args.at(1));
        result = SendHttpRequest(L"POST", L"rolm", target.server.c_str(), target.port, object.c_str(),
                                 user ? user : L"", password ? password : L"", data.c_str(), &body,
                                 &length, &status, nullptr);
    } else {
        result = SendHttpRequest(L"GET", L"rolm", target.server.c_str(), target.port, target.path.c_str(),
                                 user ? user : L"", password ? password : L"",
                                 target.hasQuery ? target.query.c_str() : nullptr, &body, &length,
                                 &status, nullptr);
    }
    return Report(result, body, length, status);
}

extern const cli::Command kCommands[];

int RunGet(cli::Args& args) { return Exchange(args, kCommands[0], false); }
int RunPost(cli::Args& args) { return Exchange(args, kCommands[1], true); }

int RunServerPost(cli::Args& args) {
    if (args.count() > 1) return cli::Usage(kCommands[2]);
    std::string data = args.count() == 1 ? Ansi(args.at(0)) : std::string();
    LPBYTE body = nullptr;
    DWORD length = 0, status = 0;
    DWORD result = GetServerResponse(args.count() == 1 ? data.c_str() : nullptr, &body, &length,
                                     &status, nullptr);
    return Report(result, body, length, status);
}

int RunConfig(cli::Args& args) {
    if (args.count() != 0) return cli::Usage(kCommands[3]);
    const ServerConfig& c = g_ServerConfig;
    cli::Print(L"wPort == %u\nszServer == %s\nszUrl == %s\nszHttpLogin == %s\nszHttpPswd == %s\n",
               c.wPort, c.szServer, c.szUrl, c.szHttpLogin, c.szHttpPswd[0] ? L"**********" : L"");
    return 0;
}

int RunFind(cli::Args& args) {
    const bool ignoreCase = args.flag(L"-i");
    DWORD maxCount = 0xFFFFFFFF;
    if (!args.number(L"--max", &maxCount)) return cli::kUsage;
    std::wstring unused;
    if (args.count() != 2 || args.unused(&unused)) return cli::Usage(kCommands[4]);
    UINT* offsets = nullptr;
    UINT count = 0;
    DWORD result = Match(args.at(0), args.at(1), &offsets, &count, ignoreCase, maxCount, TRUE);
    if (result != 0) return cli::Fail(L"Match", result);
    cli::Print(L"matches == %u\n", count);
    for (UINT i = 0; i < count; ++i) cli::Print(L"%u\n", offsets[i]);
    free(offsets);
    return 0;
}

int RunSigninPage(cli::Args& args) {
    if (args.count() != 1) return cli::Usage(kCommands[5]);
    FILE* file = _wfopen(args.at(0), L"rb");
    if (file == nullptr) return cli::Fail(args.at(0), ERROR_FILE_NOT_FOUND);
    std::string page;
    char block[4096];
    size_t n = 0;
    while ((n = fread(block, 1, sizeof block, file)) > 0) page.append(block, n);
    fclose(file);
    cli::Print(L"%d\n", IsAuthenticationPage(&page[0]) ? 1 : 0);
    return 0;
}

const cli::Command kCommands[] = {
    {L"get", L"URL [--user NAME] [--password TEXT]",
     L"HTTP GET of an http:// URL (query as variables); prints status, length and body", RunGet},
    {L"post", L"URL DATA [--user NAME] [--password TEXT]",
     L"HTTP POST of DATA as a form; prints status, length and body", RunPost},
    {L"server-post", L"[DATA]", L"GetServerResponse: POST DATA to the endpoint of ROLM_SERVER etc.",
     RunServerPost},
    {L"config", L"", L"show the endpoint record in use (from ROLM_SERVER, ROLM_PORT, ROLM_URL, "
                     L"ROLM_USER, ROLM_PASSWORD)", RunConfig},
    {L"find", L"TEXT PATTERN [-i] [--max N]", L"offsets of PATTERN in TEXT, without overlap", RunFind},
    {L"signin-page", L"FILE", L"1 when the page in FILE has a password input tag, else 0",
     RunSigninPage},
};

}  // namespace

const cli::CommandList cli::kHttpCommands = {kCommands, _countof(kCommands)};
