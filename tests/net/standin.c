/* Stand-in for the system ICMP service and route measurement; the build makes
 * variants that export only some of these. Each call appends a word to the
 * process environment variable STANDIN_LOG (it outlives the module, which the
 * probes unload); STANDIN_MODE names the failure to give. */
#include <winsock2.h>
#include <iphlpapi.h>
#include <icmpapi.h>
#include <stdio.h>
#include <string.h>

#define STANDIN_HANDLE ((HANDLE)(ULONG_PTR)0x5150)

static void Log(const char* word) {
    char log[2048] = "";
    GetEnvironmentVariableA("STANDIN_LOG", log, sizeof log);
    if (strlen(log) + strlen(word) + 2 < sizeof log) {
        if (log[0] != '\0') strcat(log, " ");
        strcat(log, word);
    }
    SetEnvironmentVariableA("STANDIN_LOG", log);
}

/* TRUE, with error as the last error, when STANDIN_MODE is mode. */
static BOOL Failing(const char* mode, DWORD error) {
    char value[64] = "";
    GetEnvironmentVariableA("STANDIN_MODE", value, sizeof value);
    if (strcmp(value, mode) != 0) return FALSE;
    SetLastError(error);
    return TRUE;
}

HANDLE WINAPI StandinIcmpCreateFile(void) {
    Log("create");
    return Failing("createfail", ERROR_ACCESS_DENIED) ? INVALID_HANDLE_VALUE : STANDIN_HANDLE;
}

DWORD WINAPI StandinIcmpSendEcho(HANDLE handle, IPAddr address, LPVOID data, WORD size,
                                 PIP_OPTION_INFORMATION options, LPVOID reply, DWORD replySize,
                                 DWORD timeout) {
    char word[256];
    const char* text = (const char*)data;
    sprintf(word, "send(%s,%08lX,%u,%s%s,%s,%lu,%lu)", handle == STANDIN_HANDLE ? "h" : "?",
            (unsigned long)address, size, size > 0 ? text : "", size > 0 && text[size - 1] == 0 ? "\\0" : "",
            options == NULL ? "noopt" : "opt", (unsigned long)replySize, (unsigned long)timeout);
    Log(word);
    if (Failing("sendfail", IP_REQ_TIMED_OUT)) return 0;
    if (replySize >= sizeof(ICMP_ECHO_REPLY)) {
        ICMP_ECHO_REPLY* record = (ICMP_ECHO_REPLY*)reply;
        record->Address = htonl(0x0AFB0009); /* 10.251.0.9 */
        record->Status = IP_DEST_HOST_UNREACHABLE;
        record->RoundTripTime = 7;
    }
    return 1;
}

BOOL WINAPI StandinIcmpCloseHandle(HANDLE handle) {
    Log(handle == STANDIN_HANDLE ? "close" : "close?");
    return !Failing("closefail", ERROR_INVALID_HANDLE);
}

BOOL WINAPI StandinGetRTTAndHopCount(IPAddr address, PULONG hops, ULONG maxHops, PULONG rtt) {
    char word[64];
    sprintf(word, "rtt(%08lX,%lu)", (unsigned long)address, (unsigned long)maxHops);
    Log(word);
    if (Failing("rtt-two", ERROR_NETWORK_UNREACHABLE)) return 2; /* true, but not TRUE */
    if (Failing("rtt-fail", ERROR_HOST_UNREACHABLE)) return FALSE;
    *hops = 3;
    *rtt = 7;
    return TRUE;
}
