// rolm resolve / ping / echo / route / state / check
#include <winsock2.h>
#include <rolm/net.h>

#include "cli.h"

namespace {

enum { kResolve, kPing, kEcho, kRoute, kState, kCheck };
extern const cli::Command kCommands[];

// "The probe ran and nothing answered" as an exit status.
const DWORD kNoAnswer = ERROR_HOST_UNREACHABLE;

// The probes take host names in the ANSI code page; no word means the default host.
class Host {
public:
    explicit Host(const wchar_t* word) {
        text_[0] = '\0';
        if (word != nullptr) {
            int bytes = ::WideCharToMultiByte(CP_ACP, 0, word, -1, text_, sizeof text_, nullptr,
                                              nullptr);
            if (bytes == 0) text_[0] = '\0';
        }
    }
    LPCSTR get() const { return text_[0] != '\0' ? text_ : nullptr; }

private:
    char text_[1024];
};

bool Words(cli::Args& args, size_t low, size_t high) {
    std::wstring word;
    return args.count() >= low && args.count() <= high && !args.unused(&word);
}

int RunResolve(cli::Args& args) {
    if (!Words(args, 1, 1)) return cli::Usage(kCommands[kResolve]);
    // GetIPaddress leaves the Windows Sockets session to its caller.
    WSADATA data;
    int started = ::WSAStartup(MAKEWORD(2, 1), &data);
    if (started != 0) return cli::Fail(L"WSAStartup", started);
    ULONG address = 0;
    USHORT family = 0;
    char name[256];
    DWORD error = GetIPaddress(Host(args.at(0)).get(), &address, &family, name, sizeof name);
    ::WSACleanup();
    if (error != 0) return cli::Fail(L"GetIPaddress", error);
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&address);
    cli::Print(L"%hs: %u.%u.%u.%u (family %u)\n", name, b[0], b[1], b[2], b[3], family);
    return 0;
}

int Answered(BOOL answered, DWORD error, const wchar_t* operation) {
    if (answered) {
        cli::Print(L"answered\n");
        return 0;
    }
    if (error != 0) return cli::Fail(operation, error);
    cli::Print(L"no answer\n");
    return static_cast<int>(kNoAnswer);
}

int RunPing(cli::Args& args) {
    DWORD size = 0, timeout = 0, maxSeq = static_cast<DWORD>(-1);
    if (!args.number(L"--size", &size) || !args.number(L"--timeout", &timeout) ||
        !args.number(L"--max-seq", &maxSeq) || !Words(args, 1, 1))
        return cli::Usage(kCommands[kPing]);
    DWORD error = 0;
    BOOL answered = Ping(Host(args.at(0)).get(), static_cast<int>(size), static_cast<int>(timeout),
                         static_cast<int>(maxSeq), &error);
    return Answered(answered, error, L"Ping");
}

int RunEcho(cli::Args& args) {
    if (!Words(args, 1, 1)) return cli::Usage(kCommands[kEcho]);
    DWORD error = 0;
    BOOL answered = SendIcmpEcho(Host(args.at(0)).get(), &error);
    return Answered(answered, error, L"SendIcmpEcho");
}

int RunRoute(cli::Args& args) {
    DWORD maxHops = static_cast<DWORD>(-1);
    if (!args.number(L"--max-hops", &maxHops) || !Words(args, 1, 1))
        return cli::Usage(kCommands[kRoute]);
    DWORD error = 0;
    if (!TraceRoute(Host(args.at(0)).get(), static_cast<int>(maxHops), &error))
        return cli::Fail(L"TraceRoute", error != 0 ? error : ERROR_GEN_FAILURE);  // no reason given
    cli::Print(L"route measured\n");
    return 0;
}

int RunState(cli::Args& args) {
    if (!Words(args, 0, 1)) return cli::Usage(kCommands[kState]);
    DWORD flags = 0, error = 0;
    BOOL connected = FALSE;
    DWORD state = InetGetConnectedState(&flags, &connected, Host(args.at(0)).get(), 0, 0, -1, &error);
    cli::Print(L"state %lu (configured %d, active %d), flags 0x%02lX, connected %d, probe error %lu\n",
               state, (state & INET_CONNECTION_CONFIGURED) != 0,
               (state & INET_CONNECTION_ACTIVED) != 0, flags, connected, error);
    return 0;
}

int RunCheck(cli::Args& args) {
    if (!Words(args, 0, 1)) return cli::Usage(kCommands[kCheck]);
    DWORD state = 0;
    BOOL active = RolmIsActiveConnection(Host(args.at(0)).get(), &state);
    cli::Print(L"%s (state %lu)\n", active ? L"active" : L"not active", state);
    return active ? 0 : static_cast<int>(kNoAnswer);
}

const cli::Command kCommands[] = {
    {L"resolve", L"HOST", L"resolve a host name or dotted IPv4 text", RunResolve},
    {L"ping", L"HOST [--size N] [--timeout MS] [--max-seq N]",
     L"ICMP echo over a raw socket (defaults: 32 bytes, 1000 ms, sequence 0..4)", RunPing},
    {L"echo", L"HOST", L"one ICMP echo through the system ICMP service", RunEcho},
    {L"route", L"HOST [--max-hops N]", L"hop count and round-trip time (default 128 hops)",
     RunRoute},
    {L"state", L"[HOST]", L"connection flags and an echo probe of HOST (default host if none)",
     RunState},
    {L"check", L"[HOST]", L"whether the connection is active (the configured server if no HOST)",
     RunCheck},
};

}  // namespace

const cli::CommandList cli::kNetCommands = {kCommands, _countof(kCommands)};
