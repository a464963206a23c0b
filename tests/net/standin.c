/* Stand-in for the system ICMP service and route measurement, built in
 * variants that lack some exports. Each call appends a word to the process
 * environment variable STANDIN_LOG (it outlives the module, which the probes
 * unload); STANDIN_MODE chooses failures. */
#include <winsock2.h>
#include <iphlpapi.h>
#include <icmpapi.h>
#include <stdio.h>
#include <string.h>

static void Log(const char* word) {
    char log[2048] = "";
    GetEnvironmentVariableA("STANDIN_LOG", log, sizeof log);
    if (strlen(log) + strlen(word) + 2 < sizeof log) {
        if (log[0] != '\0') strcat(log, " ");
        strcat(log, word);
    }
    SetEnvironmentVariableA("STANDIN_LOG", log);
}

static int Mode(const char* mode) {
    char value[64] = "";
    GetEnvironmentVariableA("STANDIN_MODE", value, sizeof value);
    return strcmp(value, mode) == 0;
}

#define STANDIN_HANDLE ((HANDLE)(ULONG_PTR)0x5150)

#ifdef STANDIN_CREATE
HANDLE WINAPI StandinIcmpCreateFile(void) {
    Log("create");
    if (Mode("createfail")) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return STANDIN_HANDLE;
}
#endif

#ifdef STANDIN_SEND
DWORD WINAPI StandinIcmpSendEcho(HANDLE handle, IPAddr address, LPVOID data, WORD size,
                                 PIP_OPTION_INFORMATION options, LPVOID reply, DWORD replySize,
                                 DWORD timeout) {
    char word[256];
    const char* text = (const char*)data;
    sprintf(word, "send(%s,%08lX,%u,%s%s,%s,%lu,%lu)", handle == STANDIN_HANDLE ? "h" : "?",
            (unsigned long)address, size, size > 0 ? text : "", size > 0 && text[size - 1] == 0 ? "\\0" : "",
            options == NULL ? "noopt" : "opt", (unsigned long)replySize, (unsigned long)timeout);
    Log(word);
    if (Mode("sendfail")) {
        SetLastError(IP_REQ_TIMED_OUT);
        return 0;
    }
    if (replySize >= sizeof(ICMP_ECHO_REPLY)) {
        ICMP_ECHO_REPLY* record = (ICMP_ECHO_REPLY*)reply;
        record->Address = htonl(0x0AFB0009); /* 10.251.0.9 */
        record->Status = IP_DEST_HOST_UNREACHABLE;
        record->RoundTripTime = 7;
    }
    return 1;
}
#endif

#ifdef STANDIN_CLOSE
BOOL WINAPI StandinIcmpCloseHandle(HANDLE handle) {
    Log(handle == STANDIN_HANDLE ? "close" : "close?");
    if (Mode("closefail")) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
#endif

#ifdef STANDIN_RTT
BOOL WINAPI StandinGetRTTAndHopCount(IPAddr address, PULONG hops, ULONG maxHops, PULONG rtt) {
    char word[64];
    sprintf(word, "rtt(%08lX,%lu)", (unsigned long)address, (unsigned long)maxHops);
    Log(word);
    if (Mode("rtt-two")) { /* a true value that is not TRUE */
        SetLastError(ERROR_NETWORK_UNREACHABLE);
        return 2;
    }
    if (Mode("rtt-fail")) {
        SetLastError(ERROR_HOST_UNREACHABLE);
        return FALSE;
    }
    *hops = 3;
    *rtt = 7;
    return TRUE;
}
#endif
