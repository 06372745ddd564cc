// The service's pipe server and queue in one process: requests written to the real
// pipe by PipeClient_CL change the queue, and the queue file shows it byte for byte.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "common/log.h"
#include "common/pipe.h"
#include "service/main_window.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

class RequestIntake : public ::testing::Test {
protected:
    RequestIntake()
        : folder(L"intake"),
          client(UniqueName(L"intake") + std::to_wstring(reinterpret_cast<uintptr_t>(this))),
          window(GetModuleHandleW(nullptr), 3, client, folder.path()) {}
    void SetUp() override { ASSERT_EQ(window.pipeServer.start(), S_OK); }

    void Send(const std::string& payload) {
        ASSERT_TRUE(SendWhenFree(L"Tessaloom-" + client, payload));
        // The single instance takes the next writer only after the previous message
        // was handled, so this empty one marks that point.
        ASSERT_TRUE(SendWhenFree(L"Tessaloom-" + client, ""));  // read and ignored
    }
    size_t Received() { return window.requestList.Size(); }

    void SendDecode(std::initializer_list<int32_t> ids, int32_t clear = 0) {
        KRB_RequestDecodeRequest_CL request;
        request.clear_queue = clear;
        for (int32_t id : ids) {
            DecodeItem_CL item;
            item.request_id = id;
            item.movie_path = L"movie" + std::to_wstring(id) + L".mp4";
            item.output_path = L"out.jpg";
            item.positions = {-1};
            request.items.push_back(item);
        }
        Send(ToPayload(request));
    }
    std::vector<int32_t> SavedIds() {
        EXPECT_EQ(window.requestList.Save(window.QueuePath()), S_OK);
        std::vector<DecodeRequestItem_CL> items;
        DecodeRequestList_CL::Parse(ReadFileBytes(window.QueuePath()), items);
        std::vector<int32_t> ids;
        for (const auto& item : items) ids.push_back(item.request_id);
        return ids;
    }
    bool WaitForSize(size_t n) {
        return WaitFor([&] { return Received() == n; }, std::chrono::seconds(10));
    }

    ScratchFolder folder;
    std::wstring client;
    GdiplusSession gdiplus;
    MainWindow_CL window;
};

TEST_F(RequestIntake, PriorityDeleteAndClearThroughThePipe) {
    SendDecode({100, 9, 7, 5});
    ASSERT_TRUE(WaitForSize(4));
    KRB_RequestDecodePriorityRequest_CL priority;
    priority.request_ids = {5, 7};
    Send(ToPayload(priority));
    EXPECT_EQ(SavedIds(), (std::vector<int32_t>{100, 7, 5, 9}));

    KRB_RequestDeleteRequest_CL remove;
    remove.request_ids = {100, 5, 42};
    Send(ToPayload(remove));
    EXPECT_EQ(SavedIds(), (std::vector<int32_t>{100, 7, 9}));

    SendDecode({11, 12}, /*clear=*/1);
    EXPECT_EQ(SavedIds(), (std::vector<int32_t>{100, 11, 12}));
    // Every item from the pipe carries the marker and the request's settings.
    std::vector<DecodeRequestItem_CL> items;
    ASSERT_TRUE(DecodeRequestList_CL::Parse(ReadFileBytes(window.QueuePath()), items));
    EXPECT_EQ(items[1].item_marker, 0x514B5257);
    EXPECT_EQ(items[1].movie_path, L"movie11.mp4");
    EXPECT_EQ(items[1].request_count, 1);
}

TEST_F(RequestIntake, MalformedPayloadsChangeNothingAndTheServerKeepsServing) {
    SendDecode({1, 2});
    ASSERT_TRUE(WaitForSize(2));
    KRB_RequestDecodeRequest_CL request;
    DecodeItem_CL item;
    item.request_id = 3;
    item.movie_path = L"x.mp4";
    item.positions = {1, 2, 3};
    request.items = {item, item};
    const std::string good = ToPayload(request);
    for (size_t cut = 4; cut < good.size(); cut += 9) Send(good.substr(0, cut));
    std::string huge = good;
    const int32_t hugeCount = 0x7FFFFFFF;
    memcpy(&huge[20], &hugeCount, 4);
    Send(huge);
    Send(std::string("\x02\x00\x00\x00\xFF\xFF\xFF\xFF", 8));
    Send(std::string("\x04\x00\x00\x00\xF0\xFF\xFF\xFF", 8));
    Send(std::string("\x01\x00\x00\x00\x00\x00\x00\x40\x01", 9));
    std::string noise(300, '\0');
    for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 7919u + 13u) & 0xFF);
    Send(noise);
    EXPECT_EQ(SavedIds(), (std::vector<int32_t>{1, 2}));
    Send(good);
    EXPECT_EQ(SavedIds(), (std::vector<int32_t>{1, 2, 3, 3}));
}

TEST_F(RequestIntake, WriterThatGoesAwayWithoutAnnouncingDoesNotHoldThePipe) {
    // Connected and closed without setting the event, as a requester that crashed would.
    {
        UniqueHandle writer(CreateFileW(PipePath(L"Tessaloom-" + client).c_str(), GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(writer);
    }
    SendDecode({1});
    EXPECT_TRUE(WaitForSize(1));
}

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

TEST(PipeClient, NoReceiverSendsNothingAndPrintsNothing) {
    PipeClient_CL writer(UniqueName(L"nobody-listens"));
    EXPECT_EQ(writer.open(), PipeClient_CL::OpenResult::NoReceiver);
    EXPECT_FALSE(writer.send("x", 1));
}

TEST(PipeServer, StopsPromptlyWhileWaitingAndAfterAFailedStart) {
    PipeServer_CL server;
    server.pipeName = UniqueName(L"stop");
    ASSERT_EQ(server.start(), S_OK);
    PipeServer_CL second;
    second.pipeName = server.pipeName;  // the single instance is taken
    EXPECT_EQ(second.start(), E_FAIL);
    second.stop();
    server.stop();
    // Once stopped, the name is free again.
    PipeServer_CL third;
    third.pipeName = server.pipeName;
    EXPECT_EQ(third.start(), S_OK);
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

namespace {

TEST(JobFailures, ThirdFailureInARowGivesUpTheHeadItem) {
    ScratchFolder folder(L"job-failures");
    GdiplusSession gdiplus;
    MainWindow_CL window(GetModuleHandleW(nullptr), 3, UniqueName(L"failures"), folder.path());
    for (int id : {1, 2}) {
        DecodeRequestItem_CL item;
        item.request_id = id;
        item.movie_path = L"crashing" + std::to_wstring(id) + L".mp4";
        window.requestList.Append(item);
    }
    DecodeRequestItem_CL first;
    ASSERT_TRUE(window.requestList.PeekHead(first));
    window.OnJobFailed(first.serial);
    window.OnJobFailed(first.serial);
    EXPECT_EQ(window.requestList.Size(), 2u);
    EXPECT_FALSE(FileExists(window.QueuePath()));
    window.OnJobFailed(first.serial);
    std::vector<DecodeRequestItem_CL> saved;
    ASSERT_TRUE(DecodeRequestList_CL::Parse(ReadFileBytes(window.QueuePath()), saved));
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved[0].request_id, 2);
    EXPECT_EQ(ReadLogMessages(folder.file(L"kestrel_err_list.txt")),
              std::vector<std::wstring>{L"crashing1.mp4"});
    // Failures of an item that has left the queue never count for the next head, and
    // the count starts again for that one.
    for (int i = 0; i < 3; ++i) window.OnJobFailed(first.serial);
    DecodeRequestItem_CL second;
    ASSERT_TRUE(window.requestList.PeekHead(second));
    window.OnJobFailed(second.serial);
    EXPECT_EQ(window.requestList.Size(), 1u);
}

}  // namespace
