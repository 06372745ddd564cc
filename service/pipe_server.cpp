#include "service/pipe_server.h"

#include "service/logs.h"

MyPipeServer_CL::MyPipeServer_CL(DecodeRequestList_CL& queue, std::wstring queuePath,
                                 std::function<void()> itemsQueued)
    : queue_(queue), queuePath_(std::move(queuePath)), itemsQueued_(std::move(itemsQueued)) {}

void MyPipeServer_CL::handleMessage(const unsigned char* bytes, size_t count) {
    ByteReader in(bytes, count);
    int32_t type = 0;
    if (!peekMessageType(in, type)) return;
    switch (type) {
    case DeleteRequest: {
        KRB_RequestDeleteRequest_CL request;
        if (request.read(in) != kReadOk) return;
        queue_.RemoveWaiting(request.request_ids);
        break;
    }
    case DecodeRequest: {
        KRB_RequestDecodeRequest_CL request;
        if (request.read(in) != kReadOk) return;
        if (request.clear_queue != 0) queue_.ClearWaiting();
        for (const auto& item : request.items) {
            WriteLog(decodeListLog, L"受付(%s)", item.movie_path.c_str());
            queue_.Append(DecodeRequestItem_CL::FromPipeRequest(request, item));
        }
        itemsQueued_();
        break;
    }
    case DecodePriorityRequest: {
        KRB_RequestDecodePriorityRequest_CL request;
        if (request.read(in) != kReadOk) return;
        queue_.Prioritize(request.request_ids);
        break;
    }
    default:
        return;
    }
    // Saved at once: a crash restarts the service without a chance to save, and the
    // new process must find every item that this one accepted.
    queue_.Save(queuePath_);
}
