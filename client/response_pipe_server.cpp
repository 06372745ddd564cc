#include "client/response_pipe_server.h"

#include "common/console.h"

namespace snapwick {

MyPipeServer_CL::MyPipeServer_CL(const std::wstring& name, HANDLE event) : responseEvent(event) {
    pipeName = name;
}

// The listening thread calls handleMessage: it must end before this object's members go.
MyPipeServer_CL::~MyPipeServer_CL() { stop(); }

void MyPipeServer_CL::expect(int32_t requestId) {
    std::lock_guard<std::mutex> lock(mutex_);
    expecting_ = true;
    requestId_ = requestId;
}

void MyPipeServer_CL::handleMessage(const unsigned char* bytes, size_t count) {
    ByteReader in(bytes, count);
    int32_t type = 0;
    if (!peekMessageType(in, type) || type != ResponseDecode) return;
    auto response = std::make_unique<KRB_ResponseDecode_CL>();
    if (response->read(in) != kReadOk) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!expecting_ || response->request_id != requestId_) return;
    }
    // A person at the console sees the run progress.
    const size_t tiles = response->positions.size();
    const long long done = static_cast<long long>(tiles) - response->decode_count;
    WriteStderrLine(L"tile " + std::to_wstring(done) + L"/" + std::to_wstring(tiles));
    if (response->decode_count != 0) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (response_) return;
        response_ = std::move(response);
    }
    SetEvent(responseEvent);
}

std::unique_ptr<KRB_ResponseDecode_CL> MyPipeServer_CL::takeResponse() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::move(response_);
}

}  // namespace snapwick
