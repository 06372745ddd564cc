// A small HTTP server on loopback port 80 for the update check's tests: answers each
// GET with the reply configured for its path (404 for any other), counts requests,
// and closes every connection after one reply. Binding port 80 needs root under Wine
// on Linux (or an administrator on Windows).
#pragma once
#include <winsock2.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>

namespace testing_support {

class HttpTestServer {
public:
    struct Reply {
        int status = 200;
        std::string body;
    };

    explicit HttpTestServer(std::map<std::string, Reply> routes);
    ~HttpTestServer();
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    bool Started() const { return listener_ != INVALID_SOCKET; }
    int Requests() const { return requests_; }

private:
    void Serve();
    void Answer(SOCKET connection);

    std::map<std::string, Reply> routes_;
    SOCKET listener_ = INVALID_SOCKET;
    std::atomic<int> requests_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace testing_support
