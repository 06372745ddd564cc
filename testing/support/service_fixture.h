// The real service driven as its peers drive it: requests sent over its pipe, responses
// listened to on the requester's pipe, and a fixture with a scratch work folder and client
// name, the service started as its client starts it (once the test wrote its settings).
#pragma once
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/inifile.h"
#include "common/messages.h"
#include "common/scoped.h"
#include "testing/support/pixels.h"
#include "testing/support/test_support.h"

namespace testing_support {

// The requester's side of the response pipe: collects every decode response. In gated mode
// the pipe holds almost nothing, so the service's write blocks until the test lets each
// response through: the test can look at the output file while the job waits after a tile.
class ResponseListener {
public:
    ResponseListener(const std::wstring& pipeName, bool gated);
    ~ResponseListener();
    bool Started() const { return static_cast<bool>(pipe_); }

    // Gated mode: waits until a writer is connected and held (the service has saved a
    // tile and is sending its response); Release lets its message through.
    bool WaitForHeldWriter(DWORD timeoutMs = 60000) {
        return WaitForSingleObject(held_.get(), timeoutMs) == WAIT_OBJECT_0;
    }
    void Release() { SetEvent(release_.get()); }

    std::vector<KRB_ResponseDecode_CL> Responses();

private:
    void Run();

    bool gated_;
    UniqueHandle pipe_, messageEvent_;
    UniqueHandle stop_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    UniqueHandle held_{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    UniqueHandle release_{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    std::mutex mutex_;
    std::vector<KRB_ResponseDecode_CL> responses_;
    std::thread thread_;
};

DecodeItem_CL MakeItem(int32_t id, const std::wstring& movie, const std::wstring& output,
                       const std::vector<int64_t>& positions);

// One request of the given items, each tile width x height (-1: the frame's size).
KRB_RequestDecodeRequest_CL MakeRequest(const std::vector<DecodeItem_CL>& items, int width = -1, int height = -1,
                                        int saveType = 0);

// Writes the request to "Tessaloom-<client>", retrying while no process owns the pipe
// (a service between two processes). False when it could not be delivered in time.
bool SendRequest(const std::wstring& client, const KRB_RequestDecodeRequest_CL& request, DWORD timeoutMs = 30000);

class ServiceFixture : public ::testing::Test {
protected:
    explicit ServiceFixture(const wchar_t* tag, bool gated = false);
    void SetUp() override { ASSERT_TRUE(listener.Started()); }
    void TearDown() override { service.Close(); }

    void StartService(const std::wstring& extraArguments = L"") {
        ASSERT_TRUE(service.Start(extraArguments));
        ASSERT_NE(service.WaitWindow(), nullptr);
    }
    void Set(const wchar_t* key, int value) { ini.SetInt(L"THUMBNAIL", key, value); }
    int Get(const wchar_t* key, int fallback) { return ini.GetInt(L"THUMBNAIL", key, fallback); }

    std::wstring Output(const std::wstring& name) { return folder.file(name + L".img"); }
    // A fault movie of the fault codec in the work folder.
    std::wstring Fault(const std::wstring& name, const std::string& instructions) {
        return WriteFaultMovie(folder.file(name + L".fault"), instructions);
    }
    // Sends one item of `tiles` 32x24 tiles at 1 s, 2 s, ... as request `id`, to Output(id).
    void Send(int32_t id, const std::wstring& movie, int tiles = 1);
    // Sends one request of one item per movie, ids from `id` on, each to Output(id), and waits
    // for the last item's final response.
    void Request(int32_t id, const std::vector<std::wstring>& movies, const std::vector<int64_t>& positions,
                 int saveType, int width, int height);
    // TileKinds of request `id`'s strip of 32-px tiles; "no image" when it cannot be read.
    std::string Tiles(int32_t id, int count);
    std::vector<std::wstring> Main() { return ReadLogMessages(folder.file(L"kestrel_log.txt")); }
    std::vector<std::wstring> List() { return ReadLogMessages(folder.file(L"kestrel_dec_list.txt")); }
    std::vector<std::wstring> Errors() { return ReadLogMessages(folder.file(L"kestrel_err_list.txt")); }
    bool WaitForLine(const std::wstring& logName, const std::wstring& line, DWORD timeoutMs = 30000);

    std::vector<KRB_ResponseDecode_CL> ResponsesFor(int32_t id);
    // Waits for the request's last response (decode_count 0).
    bool WaitForFinal(int32_t id, DWORD timeoutMs = 60000);

    GdiplusSession gdiplus;
    ScratchFolder folder;
    std::wstring client;
    ResponseListener listener;
    ServiceProcess service;
    Inifile_CL ini;
};

// For each tile of a strip image: 'E' for the error image, 'D' for a decoded picture
// of the fault codec (grey), '?' for anything else.
std::string TileKinds(const ImagePixels& image, int tileWidth, int count);

}  // namespace testing_support
