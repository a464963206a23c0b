#include "scripted_server.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>

namespace http_test {

std::string Response(const std::string& status, const std::string& headers, const std::string& body) {
    return "HTTP/1.1 " + status + "\r\n" + headers + "\r\n" + body;
}

ScriptedServer::ScriptedServer(std::vector<Reply> replies)
    : ScriptedServer([replies, i = size_t(0)](const std::string&) mutable { return replies[i++].bytes; }, replies.size()) {}

ScriptedServer::ScriptedServer(Responder responder, size_t maxRequests)
    : responder_(std::move(responder)), maxRequests_(maxRequests) {
    WSADATA data;
    sockaddr_in address = {AF_INET, 0, {{{127, 0, 0, 1}}}};
    int size = sizeof address;
    if (::WSAStartup(MAKEWORD(2, 2), &data) == 0 && (listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)) != INVALID_SOCKET &&
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) == 0 && ::listen(listener_, 8) == 0 &&
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        port_ = ntohs(address.sin_port), thread_ = ::CreateThread(nullptr, 0, Thread, this, 0, nullptr);
}

ScriptedServer::~ScriptedServer() {
    stop_ = true;
    if (thread_ != nullptr) ::WaitForSingleObject(thread_, INFINITE), ::CloseHandle(thread_);
    ::closesocket(listener_);
    ::WSACleanup();
}

// A connection per request: its head and the body its Content-Length
// announces (15 seconds at most), the reply, the end.
DWORD WINAPI ScriptedServer::Thread(void* param) {
    ScriptedServer* self = static_cast<ScriptedServer*>(param);
    for (int idle = 0; idle < 150 && !self->stop_ && self->requests_.size() < self->maxRequests_;) {
        fd_set readable = {1, {self->listener_}};
        timeval pause = {0, 100000};
        if (::select(0, &readable, nullptr, nullptr, &pause) <= 0 && ++idle) continue;
        const SOCKET connection = ::accept(self->listener_, nullptr, nullptr);
        const DWORD timeout = 15000;
        ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
        std::string request;
        char block[8192];
        for (int n = 0; (n = ::recv(connection, block, sizeof block, 0)) > 0;) {
            request.append(block, static_cast<size_t>(n));
            const size_t end = request.find("\r\n\r\n");
            const char* length = strstr(request.c_str(), "\r\nContent-Length:");
            if (end != std::string::npos && request.size() >= end + 4 + (length ? atoi(length + 17) : 0)) break;
        }
        const std::string reply = request.empty() ? "" : (self->requests_.push_back(request), idle = 0, self->responder_(request));
        for (size_t from = 0, to = 0; to < reply.size(); from = to + 1) {
            to = std::min(reply.find('\001', from), reply.size());
            for (int n = 0; from < to && n >= 0; from += n) n = ::send(connection, &reply[from], static_cast<int>(to - from), 0);
            if (to < reply.size()) ::Sleep(200);
        }
        ::shutdown(connection, SD_SEND);
        ::closesocket(connection);
    }
    return 0;
}

}  // namespace http_test
