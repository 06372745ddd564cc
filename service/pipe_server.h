// The service's pipe server: turns decode, delete and priority requests into queue
// changes.
#pragma once
#include <functional>
#include <string>

#include "common/pipe.h"
#include "service/request_list.h"

class MyPipeServer_CL : public PipeServer_CL {
public:
    // `itemsQueued` is called on the listening thread after a decode request was queued.
    MyPipeServer_CL(DecodeRequestList_CL& queue, std::wstring queuePath, std::function<void()> itemsQueued);
    void handleMessage(const unsigned char* bytes, size_t count) override;

private:
    DecodeRequestList_CL& queue_;
    const std::wstring queuePath_;
    const std::function<void()> itemsQueued_;
};
