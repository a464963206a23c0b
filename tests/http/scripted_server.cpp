#include "scripted_server.h"

#include <string.h>

namespace http_test {
namespace {

// The head has arrived and as many bytes after it as its Content-Length says.
bool Complete(const std::string& bytes) {
    const size_t end = bytes.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    size_t length = 0;
    for (size_t i = 0; i < end; ++i)
        if (_strnicmp(bytes.c_str() + i, "\r\ncontent-length:", 17) == 0) length = strtoul(bytes.c_str() + i + 17, nullptr, 10);
    return bytes.size() >= end + 4 + length;
}

}  // namespace

std::string Response(const std::string& status, const std::string& headers, const std::string& body) {
    return "HTTP/1.1 " + status + "\r\n" + headers + "\r\n" + body;
}

ScriptedServer::ScriptedServer(std::vector<Reply> replies)
    : ScriptedServer([replies](const std::string&, bool*) mutable {
          Reply next = replies.front();
          replies.erase(replies.begin());
          return next;
      }, replies.size()) {}

ScriptedServer::ScriptedServer(Responder responder, size_t maxRequests)
    : responder_(std::move(responder)), maxRequests_(maxRequests) {
    WSADATA data;
    started_ = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener_, 8) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return;
    port_ = ntohs(address.sin_port);
    thread_ = ::CreateThread(nullptr, 0, Thread, this, 0, nullptr);
}

ScriptedServer::~ScriptedServer() {
    Requests();
    if (listener_ != INVALID_SOCKET) ::closesocket(listener_);
    if (started_) ::WSACleanup();
}

const std::vector<std::string>& ScriptedServer::Requests() {
    if (thread_ != nullptr) {
        ::WaitForSingleObject(thread_, INFINITE);
        ::CloseHandle(thread_);
        thread_ = nullptr;
    }
    return requests_;
}

// Reads one whole request (head and announced body) from the open connection,
// or from a new one when the client closed it or opened another first.
bool ScriptedServer::ReadRequest(SOCKET* connection, std::string* request) {
    request->clear();
    while (!Complete(*request)) {
        fd_set readable;
        FD_ZERO(&readable);
        if (request->empty()) FD_SET(listener_, &readable);
        if (*connection != INVALID_SOCKET) FD_SET(*connection, &readable);
        timeval timeout = {15, 0};
        if (::select(0, &readable, nullptr, nullptr, &timeout) <= 0) return false;
        if (*connection != INVALID_SOCKET && FD_ISSET(*connection, &readable)) {
            char block[8192];
            const int n = ::recv(*connection, block, sizeof block, 0);
            if (n > 0) {
                request->append(block, static_cast<size_t>(n));
                continue;
            }
            ::closesocket(*connection);
            *connection = INVALID_SOCKET;
            if (!request->empty()) return true;  // the client gave up mid-request
        } else if (FD_ISSET(listener_, &readable)) {
            if (*connection != INVALID_SOCKET) ::closesocket(*connection);
            *connection = ::accept(listener_, nullptr, nullptr);
        }
    }
    return true;
}

DWORD WINAPI ScriptedServer::Thread(void* param) {
    ScriptedServer* self = static_cast<ScriptedServer*>(param);
    SOCKET connection = INVALID_SOCKET;
    bool last = false;
    std::string request;
    for (size_t i = 0; i < self->maxRequests_ && !last && self->ReadRequest(&connection, &request); ++i) {
        self->requests_.push_back(request);
        const Reply reply = self->responder_(request, &last);
        for (int sent = 0, n = 0; sent < static_cast<int>(reply.bytes.size()) && n >= 0; sent += n)
            n = ::send(connection, reply.bytes.data() + sent, static_cast<int>(reply.bytes.size()) - sent, 0);
        if (reply.after == Reply::kKeepOpen) continue;
        linger abort = {1, 0};  // a reset instead of an orderly end
        if (reply.after == Reply::kReset) ::setsockopt(connection, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&abort), sizeof abort);
        else ::shutdown(connection, SD_SEND);
        ::closesocket(connection);
        connection = INVALID_SOCKET;
    }
    if (connection != INVALID_SOCKET) ::closesocket(connection);
    return 0;
}

}  // namespace http_test
