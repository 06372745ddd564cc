// Snapwick's pipe server in one process: it keeps only the final response of its
// request.
#include <gtest/gtest.h>

#include "client/response_pipe_server.h"
#include "common/pipe.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

void Send(const std::wstring& pipe, const std::string& payload) {
    PipeClient_CL client(pipe);
    ASSERT_EQ(client.open(), PipeClient_CL::OpenResult::Opened);
    ASSERT_TRUE(client.send(payload.data(), payload.size()));
}

KRB_ResponseDecode_CL Response(int32_t id, int32_t decodeCount) {
    KRB_ResponseDecode_CL r;
    r.request_id = id;
    r.decode_count = decodeCount;
    r.positions = {10000000, 20000000, 30000000};
    return r;
}

TEST(SnapwickPipeServer, KeepsOnlyTheFinalResponseOfItsRequest) {
    const std::wstring name = UniqueName(L"snapwick-pipe");
    UniqueHandle event(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    snapwick::MyPipeServer_CL server(name, event.get(), 1);
    ASSERT_EQ(server.start(), S_OK);

    Send(name, ToPayload(Response(1, 2)));
    Send(name, ToPayload(Response(7, 0)));  // another request's last response
    KRB_RequestDecodeRequest_CL request;     // not a response at all
    Send(name, ToPayload(request));
    Send(name, std::string("\x03\x00\x00", 3));  // truncated
    // Messages are handled in order: when the event comes, all of the above were seen.
    Send(name, ToPayload(Response(1, 0)));
    ASSERT_EQ(WaitForSingleObject(event.get(), 20000), WAIT_OBJECT_0);
    auto response = server.takeResponse();
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(response->request_id, 1);
    EXPECT_EQ(response->decode_count, 0);
    EXPECT_EQ(server.takeResponse(), nullptr);  // handed out once
    EXPECT_EQ(response->positions, Response(1, 0).positions);
}

}  // namespace
