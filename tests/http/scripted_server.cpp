#include "scripted_server.h"

#include <stdlib.h>
#include <algorithm>
#include <string.h>

namespace http_test {

std::string Response(const std::string& status, const std::string& headers, const std::string& body) {
    return "HTTP/1.1 " + status + "\r\n" + headers + "\r\n" + body;
}

ScriptedServer::ScriptedServer(std::vector<Reply> replies)
    : ScriptedServer([replies, i = size_t(0)](const std::string&) mutable { return replies[i++].bytes; }, replies.size()) {}

ScriptedServer::ScriptedServer(Responder responder, size_t maxRequests)
    : responder_(std::move(responder)), maxRequests_(maxRequests) {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
    listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) == 0 && ::listen(listener_, 8) == 0 &&
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
        port_ = ntohs(address.sin_port);
        thread_ = ::CreateThread(nullptr, 0, Thread, this, 0, nullptr);
    }
}

ScriptedServer::~ScriptedServer() {
    stop_ = true;
    if (thread_ != nullptr) ::WaitForSingleObject(thread_, INFINITE), ::CloseHandle(thread_);
    ::closesocket(listener_);
    ::WSACleanup();
}

// One whole request (head and the body its Content-Length announces) from
// the open connection, or from a new one when the client opened another.
bool ScriptedServer::ReadRequest(SOCKET* connection, std::string* request) {
    request->clear();
    for (int idle = 0; idle < 150 && !stop_;) {
        const size_t end = request->find("\r\n\r\n");
        const char* length = strstr(request->c_str(), "\r\nContent-Length:");
        if (end != std::string::npos &&
            request->size() >= end + 4 + (length != nullptr && length < request->c_str() + end ? atoi(length + 17) : 0))
            return true;
        fd_set readable;
        FD_ZERO(&readable);
        if (request->empty()) FD_SET(listener_, &readable);
        if (*connection != INVALID_SOCKET) FD_SET(*connection, &readable);
        timeval timeout = {0, 100000};
        char block[8192];
        int n = 0;
        if (::select(0, &readable, nullptr, nullptr, &timeout) <= 0) {
            ++idle;
        } else if (*connection != INVALID_SOCKET && FD_ISSET(*connection, &readable)) {
            if ((n = ::recv(*connection, block, sizeof block, 0)) > 0) request->append(block, static_cast<size_t>(n));
            else if (::closesocket(*connection), *connection = INVALID_SOCKET, !request->empty()) return true;
        } else if (FD_ISSET(listener_, &readable)) {
            if (*connection != INVALID_SOCKET) ::closesocket(*connection);
            *connection = ::accept(listener_, nullptr, nullptr);
        }
    }
    return false;
}

DWORD WINAPI ScriptedServer::Thread(void* param) {
    ScriptedServer* self = static_cast<ScriptedServer*>(param);
    SOCKET connection = INVALID_SOCKET;
    std::string request;
    while (self->requests_.size() < self->maxRequests_ && self->ReadRequest(&connection, &request)) {
        const std::string reply = self->responder_(request);
        self->requests_.push_back(request);
        for (size_t from = 0, to = 0; to < reply.size(); from = to + 1) {  // a "\001" in a reply pauses it
            to = std::min(reply.find('\001', from), reply.size());
            for (int n = 0; from < to && n >= 0; from += n) n = ::send(connection, reply.data() + from, static_cast<int>(to - from), 0);
            if (to < reply.size()) ::Sleep(200);
        }
        ::shutdown(connection, SD_SEND);
        ::closesocket(connection);
        connection = INVALID_SOCKET;
    }
    if (connection != INVALID_SOCKET) ::closesocket(connection);
    return 0;
}

}  // namespace http_test
