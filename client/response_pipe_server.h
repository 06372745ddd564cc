// The client's pipe server "Snapwick": keeps the service's final response for the
// main thread and reports the progress of the others.
#pragma once
#include <windows.h>
#include <memory>
#include <mutex>

#include "common/messages.h"
#include "common/pipe.h"

namespace snapwick {

class MyPipeServer_CL : public PipeServer_CL {
public:
    // responseEvent is set when the final response (decode_count 0) of requestId arrived.
    MyPipeServer_CL(const std::wstring& name, HANDLE responseEvent, int32_t requestId);
    ~MyPipeServer_CL() override;

    void handleMessage(const unsigned char* bytes, size_t count) override;

    // The final response, once; null when none arrived. Safe while the listening
    // thread still runs (the wait for it may have timed out).
    std::unique_ptr<KRB_ResponseDecode_CL> takeResponse();

    HANDLE responseEvent;

private:
    const int32_t requestId_;
    std::mutex mutex_;
    std::unique_ptr<KRB_ResponseDecode_CL> response_;
};

}  // namespace snapwick
