#include "testing/support/http_test_server.h"

#include <ws2tcpip.h>

namespace testing_support {

namespace {
constexpr size_t kMaxRequestBytes = 16384;

// Waits up to timeoutMs for the socket to become readable.
bool Readable(SOCKET s, int timeoutMs) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval timeout = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    return select(0, &set, nullptr, nullptr, &timeout) == 1;
}
}  // namespace

HttpTestServer::HttpTestServer(std::map<std::string, Reply> routes) : routes_(std::move(routes)) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return;
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener_ == INVALID_SOCKET) return;
    // Connections of an earlier test may still linger on the port.
    BOOL reuse = TRUE;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof reuse);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(80);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, SOMAXCONN) != 0) {
        closesocket(listener_);
        listener_ = INVALID_SOCKET;
        return;
    }
    thread_ = std::thread([this] { Serve(); });
}

HttpTestServer::~HttpTestServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ != INVALID_SOCKET) closesocket(listener_);
    WSACleanup();
}

void HttpTestServer::Serve() {
    while (!stop_) {
        if (!Readable(listener_, 100)) continue;
        SOCKET connection = accept(listener_, nullptr, nullptr);
        if (connection == INVALID_SOCKET) continue;
        Answer(connection);
        closesocket(connection);
    }
}

void HttpTestServer::Answer(SOCKET connection) {
    std::string request;
    char buffer[2048];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < kMaxRequestBytes) {
        if (!Readable(connection, 10000)) return;
        const int got = recv(connection, buffer, sizeof buffer, 0);
        if (got <= 0) return;
        request.append(buffer, static_cast<size_t>(got));
    }
    // "GET <path> HTTP/1.1"
    const size_t start = request.find(' ');
    const size_t end = start == std::string::npos ? start : request.find(' ', start + 1);
    if (end == std::string::npos) return;
    ++requests_;
    const auto route = routes_.find(request.substr(start + 1, end - start - 1));
    const Reply reply = route != routes_.end() ? route->second : Reply{404, "<html><body>Not Found</body></html>"};
    const std::string response = "HTTP/1.1 " + std::to_string(reply.status) + (reply.status == 200 ? " OK" : " Error") +
                                 "\r\nContent-Type: text/plain\r\nContent-Length: " +
                                 std::to_string(reply.body.size()) + "\r\nConnection: close\r\n\r\n" + reply.body;
    send(connection, response.data(), static_cast<int>(response.size()), 0);
    // Closed by the client first, so that no reset cuts the reply.
    shutdown(connection, SD_SEND);
    while (Readable(connection, 5000) && recv(connection, buffer, sizeof buffer, 0) > 0) {
    }
}

}  // namespace testing_support
