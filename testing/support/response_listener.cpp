#include "testing/support/response_listener.h"

#include "common/pipe.h"
#include "testing/support/test_support.h"

namespace testing_support {

ResponseListener::ResponseListener(const std::wstring& pipeName, bool gated) : gated_(gated) {
    pipe_.reset(CreateNamedPipeW(PipePath(pipeName).c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                 0, 1, 1024, gated ? 1 : kPipeInBufferBytes, 0, nullptr));
    if (!pipe_) return;
    messageEvent_.reset(CreateEventW(nullptr, FALSE, FALSE, pipeName.c_str()));
    started_ = true;
    thread_ = std::thread([this] { Run(); });
}

ResponseListener::~ResponseListener() {
    SetEvent(stop_.get());
    if (thread_.joinable()) thread_.join();
}

bool ResponseListener::WaitForHeldWriter(DWORD timeoutMs) {
    return WaitForSingleObject(held_.get(), timeoutMs) == WAIT_OBJECT_0;
}

void ResponseListener::Release() { SetEvent(release_.get()); }

std::vector<KRB_ResponseDecode_CL> ResponseListener::Responses() {
    std::lock_guard<std::mutex> lock(mutex_);
    return responses_;
}

void ResponseListener::Run() {
    UniqueHandle connectEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle readEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    for (;;) {
        OVERLAPPED connect = {};
        connect.hEvent = connectEvent.get();
        ResetEvent(connectEvent.get());
        if (!ConnectNamedPipe(pipe_.get(), &connect) && GetLastError() == ERROR_IO_PENDING) {
            HANDLE handles[2] = {connectEvent.get(), stop_.get()};
            if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0) {
                CancelIo(pipe_.get());
                return;
            }
        }
        if (gated_) {
            SetEvent(held_.get());
            HANDLE handles[2] = {release_.get(), stop_.get()};
            if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0) return;
        }
        OVERLAPPED read = {};
        read.hEvent = readEvent.get();
        uint32_t length = 0;
        if (ReadPipeExact(pipe_.get(), read, &length, 4, stop_.get()) && length <= kPipeInBufferBytes) {
            std::string payload(length, '\0');
            if (length == 0 || ReadPipeExact(pipe_.get(), read, &payload[0], length, stop_.get())) {
                ByteReader in(payload.data(), payload.size());
                int32_t type = 0;
                KRB_ResponseDecode_CL response;
                if (peekMessageType(in, type) && type == ResponseDecode && response.read(in) == kReadOk) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    responses_.push_back(response);
                }
            }
        }
        // The writer sets the event after its last byte; wait for it so that the
        // disconnect does not cut a message that is still being written.
        WaitForSingleObject(messageEvent_.get(), 5000);
        DisconnectNamedPipe(pipe_.get());
    }
}

}  // namespace testing_support
