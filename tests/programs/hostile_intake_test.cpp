// Hostile input against the real service, sent as its peers send it: seeded pipe
// payloads and WM_COPYDATA items of the intake fuzzer, while a job holds the head of a
// known queue. Afterwards the saved queue holds the known items and exactly what the
// well-formed inputs added, and the service still runs.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/response_listener.h"
#include "tests/support/test_support.h"
#include "tools/intake_fuzz/intake_fuzzer.h"

using namespace testing_support;

namespace {

constexpr uint64_t kSeed = 7;

std::vector<std::string> AllBytes(const std::vector<DecodeRequestItem_CL>& items) {
    std::vector<std::string> all;
    for (const auto& item : items) {
        ByteWriter out;
        item.write(out);
        all.push_back(out.Bytes());
    }
    return all;
}

TEST(HostileService, SeededPipeAndCopyDataInputLeaveTheQueueWhole) {
    ScratchFolder folder(L"hostile service");
    const std::wstring client = UniqueName(L"hostile");
    const std::wstring pipe = L"Tessaloom-" + client;
    ResponseListener gate(client, /*gated=*/true);
    ASSERT_TRUE(gate.Started());
    ServiceProcess service(client, folder.path());
    ASSERT_TRUE(service.Start());
    const HWND hwnd = service.WaitWindow();
    ASSERT_NE(hwnd, nullptr);

    // The known queue comes by pipe; the job on its head waits at its first response.
    std::vector<DecodeRequestItem_CL> expected = IntakeFuzzer::KnownQueue();
    ASSERT_TRUE(SendWhenFree(pipe, ToPayload(IntakeFuzzer::KnownRequest())));
    ASSERT_TRUE(gate.WaitForHeldWriter());

    // Pipe payloads. Well-formed requests that would take or move queued items are
    // left out here: what they do is checked case by case in one process.
    const auto queued = [&](int32_t id) {
        return std::any_of(expected.begin(), expected.end(), [&](const auto& item) { return item.request_id == id; });
    };
    int sent = 0;
    const size_t knownCount = expected.size();
    for (uint64_t index = 0; sent < 300; ++index) {
        const HostileCase input = MakeHostileCase(kSeed, index);
        if (!IsPipeTarget(input.target)) continue;
        const PipeRequest request =
            ReadPipeRequest(reinterpret_cast<const unsigned char*>(input.bytes.data()), input.bytes.size());
        if ((request.type == DecodeRequest && request.decode.clear_queue != 0) ||
            std::any_of(request.ids.begin(), request.ids.end(), queued))
            continue;
        ASSERT_TRUE(SendWhenFree(pipe, input.bytes)) << "case " << index;
        ++sent;
        if (request.type != DecodeRequest) continue;
        for (const auto& entry : request.decode.items)
            expected.push_back(DecodeRequestItem_CL::FromPipeRequest(request.decode, entry));
    }
    EXPECT_GT(expected.size(), knownCount);  // some payloads were well-formed requests
    // The single instance takes this writer only once the last payload was handled.
    ASSERT_TRUE(SendWhenFree(pipe, ""));

    int refused = 0;
    for (uint64_t index = 0, items = 0; items < 150; ++index) {
        HostileCase input = MakeHostileCase(kSeed, index);
        if (input.target != IntakeTarget::CopyDataItem) continue;
        ++items;
        DecodeRequestItem_CL item;
        ByteReader in(input.bytes.data(), input.bytes.size());
        const bool whole = item.read(in) == kReadOk && in.Remaining() == 0;
        COPYDATASTRUCT data = {1, static_cast<DWORD>(input.bytes.size()), &input.bytes[0]};
        EXPECT_EQ(SendMessageW(hwnd, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data)) != 0, whole) << "case " << index;
        if (whole)
            expected.push_back(item);
        else
            ++refused;
    }
    EXPECT_GT(refused, 0);

    // A last whole item makes the service save its queue.
    DecodeRequestItem_CL last = IntakeFuzzer::KnownQueue()[1];
    last.request_id = 999;
    ByteWriter out;
    last.write(out);
    std::string lastBytes = out.Bytes();
    COPYDATASTRUCT data = {1, static_cast<DWORD>(lastBytes.size()), &lastBytes[0]};
    ASSERT_TRUE(SendMessageW(hwnd, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data)));
    expected.push_back(last);

    std::vector<DecodeRequestItem_CL> saved;
    ASSERT_TRUE(DecodeRequestList_CL::Parse(ReadFileBytes(folder.file(L"TessaloomDataList.dat")), saved));
    EXPECT_EQ(saved.size(), expected.size());
    EXPECT_TRUE(AllBytes(saved) == AllBytes(expected));
    EXPECT_TRUE(service.process().Running());
}

}  // namespace
