#include "scripted_server.h"

#include <string.h>

namespace http_test {
namespace {

const int kIdleMs = 15000;

// Content-Length of a request's header block, 0 when absent.
size_t RequestBodyLength(const std::string& head) {
    const char* name = "\r\ncontent-length:";
    for (size_t i = 0; i + strlen(name) <= head.size(); ++i)
        if (_strnicmp(head.c_str() + i, name, strlen(name)) == 0)
            return strtoul(head.c_str() + i + strlen(name), nullptr, 10);
    return 0;
}

bool Complete(const std::string& bytes) {
    size_t end = bytes.find("\r\n\r\n");
    return end != std::string::npos && bytes.size() >= end + 4 + RequestBodyLength(bytes.substr(0, end + 2));
}

}  // namespace

std::string Response(const std::string& status, const std::string& headers, const std::string& body) {
    return "HTTP/1.1 " + status + "\r\n" + headers + "\r\n" + body;
}

ScriptedServer::ScriptedServer(std::vector<Reply> replies) : maxRequests_(replies.size()) {
    responder_ = [replies](const std::string&, bool*) mutable {
        Reply next = replies.front();
        replies.erase(replies.begin());
        return next;
    };
    Start();
}

ScriptedServer::ScriptedServer(Responder responder, size_t maxRequests)
    : responder_(std::move(responder)), maxRequests_(maxRequests) {
    Start();
}

void ScriptedServer::Start() {
    WSADATA data;
    started_ = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 8) != 0 ||
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

DWORD WINAPI ScriptedServer::Thread(void* self) {
    static_cast<ScriptedServer*>(self)->Serve();
    return 0;
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
        timeval timeout = {kIdleMs / 1000, 0};
        if (::select(0, &readable, nullptr, nullptr, &timeout) <= 0) return false;
        if (*connection != INVALID_SOCKET && FD_ISSET(*connection, &readable)) {
            char block[8192];
            int n = ::recv(*connection, block, sizeof block, 0);
            if (n > 0) {
                request->append(block, static_cast<size_t>(n));
                continue;
            }
            ::closesocket(*connection);
            *connection = INVALID_SOCKET;
            if (!request->empty()) return true;  // the client gave up mid-request
            continue;
        }
        if (FD_ISSET(listener_, &readable)) {
            if (*connection != INVALID_SOCKET) ::closesocket(*connection);
            *connection = ::accept(listener_, nullptr, nullptr);
        }
    }
    return true;
}

void ScriptedServer::Serve() {
    SOCKET connection = INVALID_SOCKET;
    bool last = false;
    for (size_t i = 0; i < maxRequests_ && !last; ++i) {
        std::string request;
        if (!ReadRequest(&connection, &request)) break;
        requests_.push_back(request);
        const Reply reply = responder_(request, &last);
        for (size_t sent = 0; sent < reply.bytes.size();) {
            int n = ::send(connection, reply.bytes.data() + sent, static_cast<int>(reply.bytes.size() - sent), 0);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
        if (reply.after == Reply::kKeepOpen) continue;
        if (reply.after == Reply::kReset) {
            linger abort = {1, 0};
            ::setsockopt(connection, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&abort), sizeof abort);
        } else {
            ::shutdown(connection, SD_SEND);
        }
        ::closesocket(connection);
        connection = INVALID_SOCKET;
    }
    if (connection != INVALID_SOCKET) ::closesocket(connection);
}

}  // namespace http_test
