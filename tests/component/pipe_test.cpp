// The named-pipe transport in one process: a busy pipe's retries, the next writer and
// a stop while a message is being handled, and Snapwick's server that keeps only the
// final response of its request, sent after it expects one.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "client/response_pipe_server.h"
#include "common/pipe.h"
#include "testing/support/test_support.h"

using namespace testing_support;

namespace {

TEST(PipeClient, BusyPipeIsTriedTenTimes200MsApart) {
    PipeServer_CL server;
    server.pipeName = UniqueName(L"busy");
    ASSERT_EQ(server.start(), S_OK);
    PipeClient_CL first(server.pipeName);  // holds the single instance
    ASSERT_EQ(first.open(), PipeClient_CL::OpenResult::Opened);
    PipeClient_CL second(server.pipeName);
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(second.open(), PipeClient_CL::OpenResult::Busy);
    EXPECT_GE(GetTickCount64() - start, 1750u);  // nine waits between ten tries
}

// A server whose handler holds each message until the test lets it go.
class HoldingServer : public PipeServer_CL {
public:
    void handleMessage(const unsigned char*, size_t count) override {
        SetEvent(handling.get());
        WaitForSingleObject(release.get(), 20000);
        bytesHandled += count;
    }
    UniqueHandle handling{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    UniqueHandle release{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::atomic<size_t> bytesHandled{0};
};

// The service saves its queue while it handles a request: the writer is let go
// first, so that the next one gets in at once instead of running out of retries.
TEST(PipeServer, NextWriterGetsInWhileAMessageIsHandled) {
    HoldingServer server;
    server.pipeName = UniqueName(L"next-writer");
    ASSERT_EQ(server.start(), S_OK);
    ASSERT_TRUE(SendWhenFree(server.pipeName, "x"));
    ASSERT_EQ(WaitForSingleObject(server.handling.get(), 20000), static_cast<DWORD>(WAIT_OBJECT_0));
    PipeClient_CL next(server.pipeName);
    EXPECT_EQ(next.open(), PipeClient_CL::OpenResult::Opened);
    EXPECT_TRUE(next.send("yy", 2));
    SetEvent(server.release.get());
    EXPECT_TRUE(WaitFor([&] { return server.bytesHandled == 3; })) << server.bytesHandled;
}

// WM_CLOSE stops the service's server on its main thread: a stop that comes while a
// message is handled must still end the listening thread.
TEST(PipeServer, StopWhileAMessageIsHandledReturns) {
    HoldingServer server;
    server.pipeName = UniqueName(L"stop-held");
    ASSERT_EQ(server.start(), S_OK);
    ASSERT_TRUE(SendWhenFree(server.pipeName, "x"));
    ASSERT_EQ(WaitForSingleObject(server.handling.get(), 20000), static_cast<DWORD>(WAIT_OBJECT_0));
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        server.stop();
        stopped = true;
    });
    // The stop has set the server's event (seen here, and given back) before the
    // message ends.
    UniqueHandle event(OpenEventW(EVENT_ALL_ACCESS, FALSE, server.pipeName.c_str()));
    ASSERT_TRUE(event);
    EXPECT_EQ(WaitForSingleObject(event.get(), 20000), static_cast<DWORD>(WAIT_OBJECT_0));
    SetEvent(event.get());
    SetEvent(server.release.get());
    EXPECT_TRUE(WaitFor([&] { return stopped.load(); }));
    if (!stopped) SetEvent(event.get());  // wakes a stuck thread, so that the test ends
    stopper.join();
}

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

// Counts the messages its listening thread has been through.
class CountingSnapwickServer : public snapwick::MyPipeServer_CL {
public:
    using MyPipeServer_CL::MyPipeServer_CL;
    void handleMessage(const unsigned char* bytes, size_t count) override {
        MyPipeServer_CL::handleMessage(bytes, count);
        ++handled;
    }
    std::atomic<int> handled{0};
};

TEST(SnapwickPipeServer, KeepsOnlyTheFinalResponseOfItsRequestSentAfterItExpectsOne) {
    const std::wstring name = UniqueName(L"snapwick-pipe");
    UniqueHandle event(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    CountingSnapwickServer server(name, event.get());
    ASSERT_EQ(server.start(), S_OK);

    // Before the request is sent, even an answer with its id is an old one (a closed
    // service's last, five tiles).
    KRB_ResponseDecode_CL early = Response(1, 0);
    early.positions.resize(5);
    Send(name, ToPayload(early));
    ASSERT_TRUE(WaitFor([&] { return server.handled == 1; }));
    server.expect(1);
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
