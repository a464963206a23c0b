// A scripted HTTP peer on 127.0.0.1: a thread that records the exact bytes of
// each request and answers with exact bytes, then closes the connection.
// Self-contained: the benchmark serves its bodies with it too.
#pragma once

#include <winsock2.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace http_test {

// Scope: an object alive on the server's thread while it serves (the tests
// mark what it allocates as kept for the process, so that no leak check
// takes the server's requests for the library's).
template <typename Scope>
class BasicScriptedServer {
public:
    // The reply chosen from each request: "" closes the connection unanswered, "\001" in it pauses for 200 ms.
    using Responder = std::function<std::string(const std::string& request)>;
    // A connection per request: its head and the body its Content-Length announces (15 s at most), the reply, the
    // end. A silent server takes no connection (the system's queue holds them) and reads nothing.
    explicit BasicScriptedServer(Responder responder, bool silent = false) : responder_(std::move(responder)) {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);  // a failure shows as port 0
        sockaddr_in address = {AF_INET, 0, {{{127, 0, 0, 1}}}};
        int size = sizeof address;
        listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) == 0 && ::listen(listener_, 8) == 0 &&
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) == 0)
            port_ = ntohs(address.sin_port);
        if (silent) return;
        // Not back before the thread runs its scope: what the runtime allocates to start a thread would
        // otherwise fall into the caller's next leak check now and then, and be freed only at the join.
        std::atomic<bool> started = false;
        thread_ = std::thread([this, &started] {
            [[maybe_unused]] Scope scope;
            started = true;
            for (SOCKET connection; (connection = ::accept(listener_, nullptr, nullptr)) != INVALID_SOCKET;)
                Serve(connection);
        });
        while (!started) std::this_thread::yield();
    }
    ~BasicScriptedServer() {
        ::closesocket(listener_);  // ends the thread's wait for a connection
        if (thread_.joinable()) thread_.join();
        ::WSACleanup();
    }
    WORD port() const { return port_; }  // 0: not listening
    // The requests received, each recorded before its reply, so a caller that has the reply sees it.
    const std::vector<std::string>& Requests() const { return requests_; }

private:
    void Serve(SOCKET connection) {
        const DWORD timeout = 15000;
        ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
        std::string request;
        char block[8192];
        for (int n = 0; (n = ::recv(connection, block, sizeof block, 0)) > 0;) {
            request.append(block, static_cast<size_t>(n));
            const size_t end = request.find("\r\n\r\n"), length = request.find("\r\nContent-Length:");
            const size_t body = length < end ? std::stoul(request.substr(length + 17)) : 0;
            if (end != std::string::npos && request.size() >= end + 4 + body) break;
        }
        if (!request.empty()) requests_.push_back(request);
        const std::string reply = request.empty() ? "" : responder_(request);
        for (size_t from = 0, to = 0; to < reply.size(); from = to + 1) {
            to = std::min(reply.find('\001', from), reply.size());
            for (int n = 0; from < to && n >= 0; from += static_cast<size_t>(n))
                n = ::send(connection, &reply[from], static_cast<int>(to - from), 0);
            if (to < reply.size()) ::Sleep(200);
        }
        ::shutdown(connection, SD_SEND);
        ::closesocket(connection);
    }

    Responder responder_;
    SOCKET listener_ = INVALID_SOCKET;
    WORD port_ = 0;
    std::vector<std::string> requests_;
    std::thread thread_;
};

struct NoScope {};
using ScriptedServer = BasicScriptedServer<NoScope>;

// Replies and other texts of the tests: "{#N}" is the byte N (1: a pause), "{N*text}" text repeated to N bytes.
inline std::string Expand(const std::string& text) {
    std::string out;
    for (size_t at = 0, open, close; at < text.size(); at = close + 1) {
        if ((open = text.find('{', at)) == std::string::npos || (close = text.find('}', open)) == std::string::npos)
            return out + text.substr(at);
        const std::string inner = text.substr(open + 1, close - open - 1), unit = inner.substr(inner.find('*') + 1);
        out += text.substr(at, open - at) + (inner[0] == '#' ? std::string(1, char(std::stoi(inner.substr(1)))) : "");
        for (size_t n = inner[0] == '#' ? 0 : std::stoul(inner), i = 0; i < n; ++i) out += unit[i % unit.size()];
    }
    return out;
}

// "HTTP/1.1 <status>" with the given header lines and body, then an empty line.
inline std::string Response(const std::string& status, const std::string& headers, const std::string& body) {
    return "HTTP/1.1 " + status + "\r\n" + headers + "\r\n" + body;
}

}  // namespace http_test
