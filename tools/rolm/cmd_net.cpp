// rolm resolve / ping / echo / route / state / check
#include <winsock2.h>
#include <rolm/net.h>

#include <limits.h>

#include <string>

#include "cli.h"
#include "common/unique.h"

namespace {

// "The probe ran and nothing answered" as an exit status.
const DWORD kNoAnswer = ERROR_HOST_UNREACHABLE;

// A host as the probes take it: 8-bit text of at most 255 characters, or
// null (the default host) when the command was given none. A host that does
// not convert is refused, so that no other host is ever probed in its place.
class Host {
public:
    explicit Host(cli::Args& args) : given_(args.count() > 0) {
        if (given_ && *args.at(0) == L'\0')
            cli::PrintError(L"HOST: empty; leave it out for the default host\n");
        ok_ = !given_ || (*args.at(0) != L'\0' && cli::ToAnsi(L"HOST", args.at(0), 255, &text_));
    }
    bool ok() const { return ok_; }
    LPCSTR get() const { return given_ ? text_.c_str() : nullptr; }

private:
    bool given_, ok_;
    std::string text_;
};

int RunResolve(cli::Args& args) {
    if (!args.Ready(1, 1)) return cli::kUsage;
    Host host(args);
    if (!host.ok()) return cli::kUsage;
    // GetIPaddress leaves the Windows Sockets session to its caller.
    rolm::WinsockSession session;
    if (!session.started()) return cli::Fail(L"WSAStartup", session.error());
    ULONG address = 0;
    USHORT family = 0;
    char name[256];
    DWORD error = GetIPaddress(host.get(), &address, &family, name, sizeof name);
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
    return cli::Fail(operation, kNoAnswer);
}

int RunPing(cli::Args& args) {
    DWORD size = 0, timeout = 0, maxSeq = static_cast<DWORD>(-1);  // the library's defaults
    if (!args.number(L"--size", &size, INT_MAX) || !args.number(L"--timeout", &timeout, INT_MAX) ||
        !args.number(L"--max-seq", &maxSeq, INT_MAX) || !args.Ready(1, 1))
        return cli::kUsage;
    Host host(args);
    if (!host.ok()) return cli::kUsage;
    DWORD error = 0;
    BOOL answered = Ping(host.get(), static_cast<int>(size), static_cast<int>(timeout),
                         static_cast<int>(maxSeq), &error);
    return Answered(answered, error, L"Ping");
}

int RunEcho(cli::Args& args) {
    if (!args.Ready(1, 1)) return cli::kUsage;
    Host host(args);
    if (!host.ok()) return cli::kUsage;
    DWORD error = 0;
    BOOL answered = SendIcmpEcho(host.get(), &error);
    return Answered(answered, error, L"SendIcmpEcho");
}

int RunRoute(cli::Args& args) {
    DWORD maxHops = static_cast<DWORD>(-1);
    if (!args.number(L"--max-hops", &maxHops, INT_MAX) || !args.Ready(1, 1)) return cli::kUsage;
    Host host(args);
    if (!host.ok()) return cli::kUsage;
    DWORD error = 0;
    if (!TraceRoute(host.get(), static_cast<int>(maxHops), &error))
        return cli::Fail(L"TraceRoute", error != 0 ? error : ERROR_GEN_FAILURE);  // no reason given
    cli::Print(L"route measured\n");
    return 0;
}

int RunState(cli::Args& args) {
    if (!args.Ready(0, 1)) return cli::kUsage;
    Host host(args);
    if (!host.ok()) return cli::kUsage;
    DWORD flags = 0, error = 0;
    BOOL connected = FALSE;
    DWORD state = InetGetConnectedState(&flags, &connected, host.get(), 0, 0, -1, &error);
    cli::Print(L"state %lu (configured %d, active %d), flags 0x%02lX, connected %d, probe error %lu\n",
               state, (state & INET_CONNECTION_CONFIGURED) != 0,
               (state & INET_CONNECTION_ACTIVED) != 0, flags, connected, error);
    return 0;
}

int RunCheck(cli::Args& args) {
    if (!args.Ready(0, 1)) return cli::kUsage;
    Host host(args);
    if (!host.ok()) return cli::kUsage;
    if (args.count() == 0) {  // the configured server is the host
        int status = cli::LoadServerConfig(false);
        if (status != 0) return status;
    }
    DWORD state = 0;
    BOOL active = RolmIsActiveConnection(host.get(), &state);
    cli::Print(L"%s (state %lu)\n", active ? L"active" : L"not active", state);
    return active ? 0 : cli::Fail(L"RolmIsActiveConnection", kNoAnswer);
}

const cli::Command kCommands[] = {
    {L"resolve", L"HOST", L"resolve a host name or dotted IPv4 text", RunResolve},
    {L"ping", L"HOST [--size N] [--timeout MS] [--max-seq N]",
     L"ICMP echo over a raw socket (defaults: 32 bytes, 1000 ms, sequence 0..4)", RunPing},
    {L"echo", L"HOST", L"one ICMP echo through the system ICMP service", RunEcho},
    {L"route", L"HOST [--max-hops N]", L"hop count and round-trip time (default 128 hops)",
     RunRoute},
    {L"state", L"[HOST]", L"connection flags and an echo probe of HOST (the public default host, one.one.one.one, if none)",
     RunState},
    {L"check", L"[HOST]", L"whether the connection is active (ROLM_SERVER, else the public default host, if no HOST)",
     RunCheck},
};

}  // namespace

const cli::CommandList cli::kNetCommands = {kCommands, _countof(kCommands)};
