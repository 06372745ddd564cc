// How Snapwick reaches the service, in one process: its server that keeps only the final
// response of its own request; its start of the service (stood in for): one copy only,
// waited for, also when the start gives no process to watch.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "client/response_pipe_server.h"
#include "client/tessaloom_request.h"
#include "common/pipe.h"
#include "testing/support/test_support.h"

using namespace testing_support;

namespace {

struct CountingSnapwickServer : snapwick::MyPipeServer_CL {
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
    const auto send = [&](int32_t id, int32_t decodeCount, size_t positions) {
        KRB_ResponseDecode_CL r;
        r.request_id = id, r.decode_count = decodeCount, r.positions.assign(positions, 10000000);
        ASSERT_TRUE(SendWhenFree(name, ToPayload(r)));
    };
    // Before the request is sent, even an answer with its id is an old one (a closed
    // service's last, five tiles).
    send(1, 0, 5);
    ASSERT_TRUE(WaitFor([&] { return server.handled == 1; }));
    server.expect(1);
    send(1, 1, 5);  // the one before the last
    send(7, 0, 5);  // another request's last
    ASSERT_TRUE(SendWhenFree(name, ToPayload(KRB_RequestDecodeRequest_CL())));  // not a response
    ASSERT_TRUE(SendWhenFree(name, std::string("\x03\x00\x00", 3)));  // truncated
    send(1, 0, 3);  // handled in order: when the event comes, all of the above were seen
    ASSERT_EQ(WaitForSingleObject(event.get(), 20000), WAIT_OBJECT_0);
    auto response = server.takeResponse();
    EXPECT_TRUE(response && response->request_id == 1 && response->positions.size() == 3u);
    EXPECT_EQ(server.takeResponse(), nullptr);  // handed out once
}

TEST(SnapwickServiceStart, WaitsForTheStartedCopyInsteadOfStartingAnother) {
    const struct {
        const char* name;
        bool processHandle, windowComes;  // the start hands over a process; the copy's window comes (late)
    } cases[] = {
        {"a copy that opens its window late", true, true},
        {"no process handle, the window late", false, true},
        {"no process handle, no window", false, false},
    };
    WNDCLASSW wc = {0, DefWindowProcW, 0, 0, GetModuleHandleW(nullptr), nullptr, nullptr, nullptr, nullptr, L"Tessaloom"};
    RegisterClassW(&wc);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring title = UniqueName(L"start");
        snapwick::TessaloomRequest_CL request;
        request.setup(title, L"C:\\work", L"C:\\nowhere");
        request.windowWaitMs = 3000;
        int starts = 0;
        UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        std::thread copy;
        request.start = [&](SHELLEXECUTEINFOW* info) {
            if (c.processHandle) info->hProcess = OpenProcess(SYNCHRONIZE, FALSE, GetCurrentProcessId());
            if (++starts == 1 && c.windowComes)
                copy = std::thread([&] {
                    Sleep(1500);  // a slow start
                    HWND hwnd = CreateWindowW(L"Tessaloom", title.c_str(), 0, 0, 0, 64, 64, nullptr, nullptr,
                                              GetModuleHandleW(nullptr), nullptr);
                    WaitForSingleObject(done.get(), INFINITE);
                    DestroyWindow(hwnd);
                });
            return TRUE;
        };
        EXPECT_EQ(request.findService(), c.windowComes ? 1 : 0);
        EXPECT_EQ(starts, 1);
        SetEvent(done.get());
        if (copy.joinable()) copy.join();
    }
}

}  // namespace
