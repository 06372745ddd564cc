// The requester's side of the response pipe, for tests: collects every decode
// response the service sends. In gated mode the pipe holds almost nothing, so the
// service's write blocks until the test lets each response through: the test can
// look at the output file while the job waits right after a tile.
#pragma once
#include <windows.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/messages.h"
#include "common/scoped.h"

namespace testing_support {

class ResponseListener {
public:
    ResponseListener(const std::wstring& pipeName, bool gated);
    ~ResponseListener();
    bool Started() const { return started_; }

    // Gated mode: waits until a writer is connected and held, i.e. the service has
    // saved a tile and is sending its response.
    bool WaitForHeldWriter(DWORD timeoutMs = 60000);
    // Gated mode: lets the held writer's message through.
    void Release();

    std::vector<KRB_ResponseDecode_CL> Responses();

private:
    void Run();

    bool gated_;
    bool started_ = false;
    UniqueHandle pipe_;
    UniqueHandle messageEvent_;
    UniqueHandle stop_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    UniqueHandle held_{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    UniqueHandle release_{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    std::mutex mutex_;
    std::vector<KRB_ResponseDecode_CL> responses_;
    std::thread thread_;
};

}  // namespace testing_support
