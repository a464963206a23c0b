// A scripted HTTP peer on 127.0.0.1 for the transport tests: a thread that
// records the exact bytes of each request and answers with exact bytes.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace http_test {

struct Reply {
    enum After { kClose, kKeepOpen, kReset };
    std::string bytes;
    After after = kClose;
};

class ScriptedServer {
public:
    // The reply chosen from each request; the thread ends after maxRequests,
    // after a reply marked last, or when no request comes for 15 seconds.
    using Responder = std::function<Reply(const std::string& request, bool* last)>;
    ScriptedServer(Responder responder, size_t maxRequests);
    explicit ScriptedServer(std::vector<Reply> replies);  // one per request, in order
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    WORD port() const { return port_; }
    // Waits for the thread, then the requests as received.
    const std::vector<std::string>& Requests();

private:
    static DWORD WINAPI Thread(void* self);
    bool ReadRequest(SOCKET* connection, std::string* request);

    Responder responder_;
    size_t maxRequests_;
    std::vector<std::string> requests_;
    SOCKET listener_ = INVALID_SOCKET;
    WORD port_ = 0;
    HANDLE thread_ = nullptr;
    bool started_ = false;
};

// "HTTP/1.1 <status>" with the given header lines and body, then an empty line.
std::string Response(const std::string& status, const std::string& headers, const std::string& body);

}  // namespace http_test
