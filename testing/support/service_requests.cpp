#include "testing/support/service_requests.h"

#include "common/pipe.h"
#include "testing/support/test_support.h"

namespace testing_support {

DecodeItem_CL MakeItem(int32_t id, const std::wstring& movie, const std::wstring& output,
                       const std::vector<int64_t>& positions) {
    DecodeItem_CL item;
    item.request_id = id;
    item.movie_path = movie;
    item.output_path = output;
    item.positions = positions;
    return item;
}

KRB_RequestDecodeRequest_CL MakeRequest(const std::vector<DecodeItem_CL>& items, int width, int height,
                                        int saveType) {
    KRB_RequestDecodeRequest_CL request;
    request.save_type = saveType;
    request.frame_width = width;
    request.frame_height = height;
    request.items = items;
    return request;
}

bool SendRequest(const std::wstring& client, const KRB_RequestDecodeRequest_CL& request, DWORD timeoutMs) {
    const std::string payload = ToPayload(request);
    return WaitFor(
        [&] {
            PipeClient_CL writer(L"Tessaloom-" + client);
            return writer.open() == PipeClient_CL::OpenResult::Opened && writer.send(payload.data(), payload.size());
        },
        std::chrono::milliseconds(timeoutMs));
}

}  // namespace testing_support
