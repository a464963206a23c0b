// A scripted HTTP peer on 127.0.0.1: a thread that records the exact bytes of
// each request and answers with exact bytes, then closes the connection.
#pragma once

#include <winsock2.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/unique.h"

namespace http_test {

class ScriptedServer {
public:
    // The reply chosen from each request; a "\001" in it pauses the reply for 200 ms.
    using Responder = std::function<std::string(const std::string& request)>;
    explicit ScriptedServer(std::vector<std::string> replies)  // one per request, in order, then none
        : ScriptedServer([replies, i = size_t(0)](const std::string&) mutable {
              return i < replies.size() ? replies[i++] : "";
          }) {}
    // A connection per request: its head and the body its Content-Length
    // announces (15 seconds at most), the reply, the end; until the server goes.
    explicit ScriptedServer(Responder responder) : responder_(std::move(responder)) {
        sockaddr_in address = {AF_INET, 0, {{{127, 0, 0, 1}}}};
        int size = sizeof address;
        listener_.reset(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        const bool listening = winsock_.started() && listener_ &&
                               ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), size) == 0 &&
                               ::listen(listener_.get(), 8) == 0 &&
                               ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &size) == 0;
        if (!listening) listener_.reset();  // the thread ends at once
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] {
            for (;;) {
                rolm::UniqueSocket connection(::accept(listener_.get(), nullptr, nullptr));
                if (!connection) break;
                Serve(connection.get());
            }
        });
    }
    ~ScriptedServer() {
        listener_.reset();  // ends the thread's wait for a request
        thread_.join();
    }
    WORD port() const { return port_; }
    const std::vector<std::string>& Requests() const { return requests_; }  // each recorded before its reply

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
        if (request.empty()) return;
        requests_.push_back(request);
        const std::string reply = responder_(request);
        for (size_t from = 0, to = 0; to < reply.size(); from = to + 1) {
            to = std::min(reply.find('\001', from), reply.size());
            for (int n = 0; from < to && n >= 0; from += n)
                n = ::send(connection, &reply[from], static_cast<int>(to - from), 0);
            if (to < reply.size()) ::Sleep(200);
        }
        ::shutdown(connection, SD_SEND);
    }

    rolm::WinsockSession winsock_{MAKEWORD(2, 2)};
    Responder responder_;
    std::vector<std::string> requests_;
    rolm::UniqueSocket listener_;
    WORD port_ = 0;
    std::thread thread_;
};

// "HTTP/1.1 <status>" with the given header lines and body, then an empty line.
inline std::string Response(const std::string& status, const std::string& headers, const std::string& body) {
    return "HTTP/1.1 " + status + "\r\n" + headers + "\r\n" + body;
}

}  // namespace http_test
