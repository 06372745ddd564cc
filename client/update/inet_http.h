// One HTTP GET on port 80 through WinINet, for the version file.
#pragma once
#include <windows.h>
#include <wininet.h>
#include <string>

#include "client/update/internet_handle.h"

namespace snapwick {

class InetHttp_CL {
public:
    // A version file is a few hundred bytes; anything this large is not one.
    static constexpr int kMaxBodyBytes = 1 << 20;

    InetHttp_CL() = default;
    InetHttp_CL(const InetHttp_CL&) = delete;
    InetHttp_CL& operator=(const InetHttp_CL&) = delete;
    virtual ~InetHttp_CL() = default;

    // InternetOpenW with the agent text and the system's proxy settings.
    bool Open();
    // InternetConnectW to host on port 80; null on failure.
    HINTERNET Connect(const std::wstring& host);
    // Sends "GET path" without cache; reads the status code and the content length.
    // 1 when sent, else 0.
    int SendGet(const std::wstring& path);
    // Reads the body (up to kMaxBodyBytes); the number of bytes read, 0 on failure.
    int ReadBody(int length);

    const std::string& body() const { return body_; }
    int contentLength = -1;
    DWORD statusCode = 0;

private:
    InternetHandle internet_;
    InternetHandle connection_;
    InternetHandle request_;
    std::string body_;
};

}  // namespace snapwick
