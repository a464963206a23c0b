// A scripted HTTP peer on 127.0.0.1: a thread that records the exact bytes of
// each request and answers with exact bytes, then closes the connection.
#pragma once

#include <winsock2.h>

#include <functional>
#include <string>
#include <vector>

namespace http_test {

struct Reply {
    std::string bytes;  // a "\001" in it pauses the reply for 200 ms
};

class ScriptedServer {
public:
    // The reply chosen from each request; the thread serves until the server
    // goes, after maxRequests, or when no request comes for 15 seconds.
    using Responder = std::function<std::string(const std::string& request)>;
    explicit ScriptedServer(Responder responder, size_t maxRequests = ~static_cast<size_t>(0));
    explicit ScriptedServer(std::vector<Reply> replies);  // one per request, in order
    ~ScriptedServer();
    WORD port() const { return port_; }
    const std::vector<std::string>& Requests() const { return requests_; }  // each recorded before its reply

private:
    static DWORD WINAPI Thread(void* self);
    Responder responder_;
    size_t maxRequests_;
    std::vector<std::string> requests_;
    SOCKET listener_;
    WORD port_ = 0;
    HANDLE thread_ = nullptr;
    volatile bool stop_ = false;
};

// "HTTP/1.1 <status>" with the given header lines and body, then an empty line.
std::string Response(const std::string& status, const std::string& headers, const std::string& body);

}  // namespace http_test
