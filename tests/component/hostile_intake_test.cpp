// Hostile input through the service's intake in one process (and Snapwick's version
// file reader): seeded cases of the intake fuzzer, each read from memory that ends at
// a no-access page; lying frames on the real pipe; and a queue file too large to be one.
#include <gtest/gtest.h>

#include <cstdio>

#include "common/pipe.h"
#include "testing/support/test_support.h"
#include "testing/intake_fuzz/guarded_bytes.h"
#include "testing/intake_fuzz/intake_fuzzer.h"

using namespace testing_support;

namespace {

class HostileIntake : public ::testing::Test {
protected:
    HostileIntake() : folder(L"hostile"), client(UniqueName(L"hostile")), fuzzer(folder.path(), client) {}
    void SetUp() override { ASSERT_TRUE(fuzzer.Ready()); }
    std::vector<int32_t> QueuedIds() {
        std::vector<int32_t> ids;
        for (const auto& item : fuzzer.Queue().Snapshot()) ids.push_back(item.request_id);
        return ids;
    }

    ScratchFolder folder;
    std::wstring client;
    IntakeFuzzer fuzzer;
};

TEST_F(HostileIntake, SeededCasesLoseNothingAndReadNothingPastTheirEnd) {
    ASSERT_TRUE(GuardedBytes("four").Guarded());
    ASSERT_TRUE(GuardedBytes("").Guarded());
    const FuzzTotals totals = RunHostileCases(fuzzer, 20261207, 0, 3500);
    std::string problems;
    for (const std::string& problem : totals.problems) problems += problem + "\n";
    EXPECT_EQ(totals.itemsLost, 0u) << problems;
    EXPECT_EQ(totals.wrong, 0u) << problems;
    // Every path that can take an input met inputs it took and inputs it refused.
    for (IntakeTarget target : {IntakeTarget::PipeDecode, IntakeTarget::PipeDelete, IntakeTarget::PipePriority,
                                IntakeTarget::CopyDataItem, IntakeTarget::QueueFile, IntakeTarget::VersionFile}) {
        const int t = static_cast<int>(target);
        EXPECT_GT(totals.acceptedByTarget[t], 0u) << TargetName(target);
        EXPECT_LT(totals.acceptedByTarget[t], totals.casesByTarget[t]) << TargetName(target);
    }
}

std::string Framed(uint32_t length, const std::string& payload) {
    return std::string(reinterpret_cast<const char*>(&length), 4) + payload;
}

// Writes raw bytes to the pipe once it is free, announces them (or not, as a writer
// that crashed would) and goes away.
void RawWrite(const std::wstring& pipeName, const std::string& bytes, bool announce) {
    UniqueHandle event(OpenEventW(EVENT_ALL_ACCESS, FALSE, pipeName.c_str()));
    ASSERT_TRUE(event);
    ASSERT_TRUE(WaitNamedPipeW(PipePath(pipeName).c_str(), 20000));
    UniqueHandle pipe(CreateFileW(PipePath(pipeName).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(pipe);
    DWORD written = 0;
    if (!bytes.empty()) {
        ASSERT_TRUE(WriteFile(pipe.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    }
    if (announce) SetEvent(event.get());
}

std::string DecodePayload(int32_t id) {
    KRB_RequestDecodeRequest_CL request;
    DecodeItem_CL item;
    item.request_id = id;
    item.movie_path = L"framed.mp4";
    request.items.push_back(item);
    return ToPayload(request);
}

TEST_F(HostileIntake, LyingFramesOnThePipeAreDroppedAndTheServerKeepsServing) {
    const std::wstring pipe = L"Tessaloom-" + client;
    const std::string lie = DecodePayload(77);
    const struct {
        const char* what;
        std::string bytes;
        bool announced;
    } frames[] = {
        {"length beyond the bytes written", Framed(static_cast<uint32_t>(lie.size()) + 100, lie), true},
        {"length above the in-buffer size", Framed(kPipeInBufferBytes + 1, lie), true},
        {"length 0xFFFFFFFF", Framed(0xFFFFFFFF, lie), true},
        {"half a length", std::string("\x10\x00", 2), true},
        {"nothing written", "", true},
        {"nothing written nor announced", "", false},
    };
    for (const auto& frame : frames) {
        SCOPED_TRACE(frame.what);
        RawWrite(pipe, frame.bytes, frame.announced);
    }
    // An announcement that no writer made.
    UniqueHandle event(OpenEventW(EVENT_ALL_ACCESS, FALSE, pipe.c_str()));
    ASSERT_TRUE(event);
    SetEvent(event.get());

    // Well-formed requests are still taken, each as its type says.
    ASSERT_TRUE(SendWhenFree(pipe, DecodePayload(88)));
    KRB_RequestDecodePriorityRequest_CL priority;
    priority.request_ids = {5, 88};
    ASSERT_TRUE(SendWhenFree(pipe, ToPayload(priority)));
    KRB_RequestDeleteRequest_CL remove;
    remove.request_ids = {2, 2};
    ASSERT_TRUE(SendWhenFree(pipe, ToPayload(remove)));
    const std::vector<int32_t> expected = {1, 5, 88, 3};
    ASSERT_TRUE(WaitFor([&] { return QueuedIds() == expected; })) << ::testing::PrintToString(QueuedIds());
}

// With 200 items of 10,000 positions queued, a request is saved (16 MB) after its writer
// was let go: the next writer gets in at once. Prints the time from a writer's connect
// to the moment the single instance is free again, beside the time of one save.
TEST_F(HostileIntake, ALongQueueIsSavedAfterTheWriterIsLetGo) {
    DecodeRequestList_CL& queue = fuzzer.Queue();
    DecodeRequestItem_CL big = IntakeFuzzer::KnownQueue()[1];
    big.positions.assign(10000, -1);
    for (int i = 0; i < 200; ++i) queue.Append(big);
    const auto now = [] {
        LARGE_INTEGER count, frequency;
        QueryPerformanceCounter(&count);
        QueryPerformanceFrequency(&frequency);
        return 1000.0 * static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
    };
    const std::wstring pipe = L"Tessaloom-" + client;
    ASSERT_TRUE(WaitNamedPipeW(PipePath(pipe).c_str(), 20000));
    const double connected = now();
    ASSERT_TRUE(SendWhenFree(pipe, DecodePayload(88)));
    // The next writer tries at once and then every millisecond.
    UniqueHandle next;
    while (!(next = UniqueHandle(CreateFileW(PipePath(pipe).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                             FILE_ATTRIBUTE_NORMAL, nullptr))) &&
           GetLastError() == ERROR_PIPE_BUSY && now() - connected < 60000)
        Sleep(1);
    const double held = now() - connected;
    ASSERT_TRUE(next);
    next.reset();  // announces nothing: dropped
    ASSERT_TRUE(SendWhenFree(pipe, DecodePayload(89)));
    ASSERT_TRUE(WaitFor([&] { return queue.Size() == 207; }, std::chrono::seconds(60))) << queue.Size();
    const double saveStart = now();
    ASSERT_EQ(queue.Save(fuzzer.Window().QueuePath()), S_OK);
    std::printf("a writer's connect to the free instance: %.1f ms (one save of the %.1f MB queue: %.0f ms)\n", held,
                static_cast<double>(ReadFileBytes(fuzzer.Window().QueuePath()).size()) / 1e6, now() - saveStart);
    const std::vector<int32_t> ids = QueuedIds();
    EXPECT_EQ(std::vector<int32_t>(ids.end() - 2, ids.end()), (std::vector<int32_t>{88, 89}));
}

TEST_F(HostileIntake, QueueFileTooLargeToReadIsKeptAsideAndNotOverwritten) {
    DecodeRequestList_CL& queue = fuzzer.Queue();
    const std::wstring path = fuzzer.Window().QueuePath();
    const std::string known = DecodeRequestList_CL::Serialize(IntakeFuzzer::KnownQueue());
    const LONGLONG size = 257LL << 20;  // beyond what is read into memory
    {
        UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                      nullptr));
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(file.get(), known.data(), static_cast<DWORD>(known.size()), &written, nullptr));
        LARGE_INTEGER end;
        end.QuadPart = size;
        ASSERT_TRUE(SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN) && SetEndOfFile(file.get()));
    }
    EXPECT_EQ(queue.Load(path), E_FAIL);
    EXPECT_EQ(queue.Size(), 0u);
    // The next save writes a new file; the old one, whole, is elsewhere.
    EXPECT_EQ(queue.Save(path), S_OK);
    const std::wstring aside = DecodeRequestList_CL::RejectedQueuePath(path);
    const auto asideSize = [&] {
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        GetFileAttributesExW(aside.c_str(), GetFileExInfoStandard, &data);
        return (static_cast<LONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    };
    EXPECT_EQ(asideSize(), size);
    EXPECT_TRUE(Contains(ReadLogMessages(folder.file(L"kestrel_dec_list.txt")),
                         L"(queue) 読み込めないキューファイルを退避(" + aside + L")"));

    // A second such file does not take the first one's place.
    ASSERT_TRUE(WriteFileBytes(path, "not a queue"));
    EXPECT_EQ(queue.Load(path), E_FAIL);
    EXPECT_EQ(ReadFileBytes(DecodeRequestList_CL::RejectedQueuePath(path, 2)), "not a queue");
    EXPECT_EQ(asideSize(), size);
}

}  // namespace
