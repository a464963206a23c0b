// A scripted HTTP peer on 127.0.0.1: a thread that records the exact bytes of
// each request and answers with exact bytes, then closes the connection.
#pragma once

#include <winsock2.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace http_test {

class ScriptedServer {
public:
    // The reply chosen from each request; a "\001" in it pauses the reply for 200 ms.
    using Responder = std::function<std::string(const std::string& request)>;
    explicit ScriptedServer(std::vector<std::string> replies)  // one per request, in order, then none
        : ScriptedServer([replies, i = size_t(0)](const std::string&) mutable { return i < replies.size() ? replies[i++] : ""; }) {}
    // A connection per request: its head and the body its Content-Length
    // announces (15 seconds at most), the reply, the end; until the server goes.
    explicit ScriptedServer(Responder responder) : responder_(std::move(responder)) {
        WSADATA data;
        sockaddr_in address = {AF_INET, 0, {{{127, 0, 0, 1}}}};
        int size = sizeof address;
        if (::WSAStartup(MAKEWORD(2, 2), &data) != 0 || (listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)) == INVALID_SOCKET ||
            ::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(listener_, 8) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
            ::closesocket(listener_), listener_ = INVALID_SOCKET;  // the thread ends at once
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] {
            for (SOCKET connection; (connection = ::accept(listener_, nullptr, nullptr)) != INVALID_SOCKET; ::closesocket(connection)) {
                const DWORD timeout = 15000;
                ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
                std::string request;
                char block[8192];
                for (int n = 0; (n = ::recv(connection, block, sizeof block, 0)) > 0;) {
                    request.append(block, static_cast<size_t>(n));
                    const size_t end = request.find("\r\n\r\n"), length = request.find("\r\nContent-Length:");
                    if (end != std::string::npos && request.size() >= end + 4 + (length < end ? std::stoul(request.substr(length + 17)) : 0)) break;
                }
                const std::string reply = request.empty() ? "" : (requests_.push_back(request), responder_(request));
                for (size_t from = 0, to = 0; to < reply.size(); from = to + 1) {
                    to = std::min(reply.find('\001', from), reply.size());
                    for (int n = 0; from < to && n >= 0; from += n) n = ::send(connection, &reply[from], static_cast<int>(to - from), 0);
                    if (to < reply.size()) ::Sleep(200);
                }
                ::shutdown(connection, SD_SEND);
            }
        });
    }
    ~ScriptedServer() { ::closesocket(listener_), thread_.join(), ::WSACleanup(); }  // the close ends the wait for a request
    WORD port() const { return port_; }
    const std::vector<std::string>& Requests() const { return requests_; }  // each recorded before its reply

private:
    Responder responder_;
    std::vector<std::string> requests_;
    SOCKET listener_ = INVALID_SOCKET;
    WORD port_ = 0;
    std::thread thread_;
};

// "HTTP/1.1 <status>" with the given header lines and body, then an empty line.
inline std::string Response(const std::string& status, const std::string& headers, const std::string& body) {
    return "HTTP/1.1 " + status + "\r\n" + headers + "\r\n" + body;
}

}  // namespace http_test
