// Calls every public operation of rolm.h, so that every object of the library
// is linked in and scripts/check-xp-imports.sh sees all their imports. Only the
// import table matters: the calls never run.
#include <winsock2.h>
#include <rolm/rolm.h>

int main(int argc, char**) {
    if (argc < 1000) return 0;
    FILETIME time = {};
    TraceInit(0, 0), TraceWrite(L""), FormatFileTime(&time, 0, 0), GetSystemErrorText(0, 0, 0);
    GetIPaddress(0, 0, 0, 0, 0), Ping(0, 0, 0, 0, 0), decode_resp(0, 0, 0), fill_echo_request(0, 0);
    echo_checksum(0, 0), SendIcmpEcho(0, 0), TraceRoute(0, 0, 0), ConnectionFlagsText(0, 0, 0);
    PingServer(0, 0, 0, 0, 0), InetGetConnectedState(0, 0, 0, 0, 0, 0, 0), RolmIsActiveConnection(0, 0);
    SetServerConfig(0, 0, 0, 0, 0), SendHttpRequest(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    GetServerResponse(0, 0, 0, 0, 0), InternetAccessServer(0, 0, 0, 0, 0, 0);
    HttpGetStatusCode(0, 0), HttpGetContentLength(0, 0), Match(0, 0, 0, 0, 0, 0, 0, 0, 0);
    Match(0, 0, 0, 0, 0, 0, 0), IsAuthenticationPage(0), IsInputTagOfType(0, 0), IsSignInForm(0, 0);
    SendHttpRequestEx(0, 0), GetServerResponseEx(0, 0);
    GetExitCode(0, 0, 0), TerminateObject(0, 0, 0), WaitForObject(0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    IsVistaOrLater(), CreateProcessExtended(0, 0, 0, 0, 0, 0, 0), LaunchProcess(0, 0, 0, 0, 0, 0);
    LaunchProcess(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0), CreateDirectories(0, 0);
    CreateDirectoryTree(0), GetFolderPath(0, 0), AddAccessRights(0, 0, 0);
    CreateRegKeys(0, 0, 0, 0, 0, 0), CheckRegKey(0, 0), GetIniFile(0, 0);
    return 0;
}
