// The named-pipe transport in one process: a busy pipe's retries, and a stop that
// comes while a message is being handled.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "common/pipe.h"
#include "tests/support/test_support.h"

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
    void handleMessage(const unsigned char*, size_t) override {
        SetEvent(handling.get());
        WaitForSingleObject(release.get(), 20000);
    }
    UniqueHandle handling{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    UniqueHandle release{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

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

}  // namespace
