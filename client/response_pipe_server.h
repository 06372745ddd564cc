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
    // responseEvent is set when the final response (decode_count 0) of the expected
    // request arrived.
    MyPipeServer_CL(const std::wstring& name, HANDLE responseEvent);
    ~MyPipeServer_CL() override;

    void handleMessage(const unsigned char* bytes, size_t count) override;

    // Responses count only from now on, and only those to requestId: whatever came
    // before (a closed service's last answer) is dropped. Call it just before sending.
    void expect(int32_t requestId);

    // The final response, once; null when none arrived. Safe while the listening
    // thread still runs (the wait for it may have timed out).
    std::unique_ptr<KRB_ResponseDecode_CL> takeResponse();

    HANDLE responseEvent;

private:
    std::mutex mutex_;
    bool expecting_ = false;
    int32_t requestId_ = 0;
    std::unique_ptr<KRB_ResponseDecode_CL> response_;
};

}  // namespace snapwick
