// The real service survives codecs that stall, hang and crash, and hands its work over to a
// new process without losing or repeating an item: timeouts that abort a movie, watchdog,
// crash and periodic restarts, WM_CLOSE during a stalled frame, faults on the job thread.
#include <gtest/gtest.h>

#include <functional>

#include "common/console.h"
#include "common/pipe.h"
#include "service/main_window.h"
#include "service/request_list.h"
#include "testing/support/service_fixture.h"

using namespace testing_support;

namespace {

constexpr int64_t kMs = 10000;  // 100 ns units

class Recovery : public ServiceFixture {
protected:
    Recovery() : ServiceFixture(L"recovery") {}

    size_t Starts() { return Count(Main(), L"★アプリ開始(Tessaloom-" + client + L")"); }

    // A process lost during a job, once `reached` is logged, by `lose`: a new process (alone
    // with the window title and the pipe) finishes the item with error tiles without opening
    // the movie (marked, then cleared) and makes the next item, sent through the pipe meanwhile.
    void Replaced(const std::wstring& movie, const std::wstring& reached, const std::function<void()>& lose,
                  DWORD exitCode, const wchar_t* why) {
        const DWORD oldPid = service.process().Pid();
        const std::wstring good = Fault(L"good", "");
        Send(1, movie, 2);
        ASSERT_TRUE(WaitForLine(L"kestrel_log.txt", reached));
        Send(2, good);
        ASSERT_TRUE(WaitForLine(L"kestrel_dec_list.txt", L"受付(" + good + L")"));
        lose();
        DWORD code = 0;
        ASSERT_TRUE(service.process().Wait(30000, &code));
        EXPECT_EQ(code, exitCode);  // 3: ended by its own deadline, the job still stuck
        ASSERT_TRUE(WaitForFinal(2));  // after the first: in queue order
        for (const auto& r : ResponsesFor(1)) EXPECT_EQ(r.error_image_used, 1);
        EXPECT_EQ(Tiles(1, 2), "EE");
        EXPECT_EQ(Tiles(2, 1), "D");
        EXPECT_EQ(Count(Main(), L"(file)" + movie), 1u);  // by the process lost
        EXPECT_TRUE(Contains(Main(), L"[LOG_LINE] (ini) exception=1 file(" + movie + L")"));
        EXPECT_EQ(Get(L"exception", -1), 0);
        EXPECT_EQ(Count(List(), why), 1u);
        const HWND window = FindServiceWindow(client);  // the only one with the title
        ASSERT_TRUE(window && !FindWindowExW(nullptr, window, L"Tessaloom", client.c_str()));
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        EXPECT_NE(owner, oldPid);
        EXPECT_EQ(Starts(), 2u);
    }
};

// One service, one request per case, the settings changed between them: a timeout ends the wait for a
// frame; the abort limit's third timeout in a row stops decoding (later tiles are error tiles without a
// decode call), a decoded frame resets the count, limit 0 never aborts; the first frame has its own limit.
TEST_F(Recovery, ConsecutiveTimeoutsAbortAMovieAndTheFirstFrameHasItsOwnLimit) {
    Set(L"decode_use_media_foundation_on_dshow_fail", 0);
    Set(L"decode_first_frame_timeout_ms", 500);
    StartService();
    const struct {
        const char* name;
        const char* instructions;
        int abortLimit;
        int frameLimitMs;
        std::vector<int64_t> positions;  // ms
        size_t decodeCalls;
        const char* tiles;  // the first frame's own limit: "EDD"
    } cases[] = {
        {"reset", "stall=1000-2999,4000-", 3, 500, {500, 1500, 2500, 3500, 4500, 5500, 6500, 7500}, 7, "DEEDEEEE"},
        {"never", "stall=0-", 0, 500, {500, 1500, 2500, 3500}, 4, "EEEE"},
        {"past the end", "", 3, 500, {20000, 21000, 22000, 23000, 24000}, 3, "EEEEE"},
        {"first frame", "first_frame_delay_ms=1500", 3, 5000, {500, 1500, 2500}, 3, "EDD"},
    };
    int32_t id = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ++id;
        Set(L"decode_abort_after_consecutive_frame_timeouts", c.abortLimit);
        Set(L"decode_frame_timeout_ms", c.frameLimitMs);
        const std::wstring movie = Fault(L"case" + std::to_wstring(id), c.instructions);
        std::vector<int64_t> positions = c.positions;
        for (int64_t& at : positions) at *= kMs;
        Request(id, {movie}, positions, 0, 32, 24);
        size_t calls = 0;
        for (const auto& l : Main())
            calls += l.rfind(L"[LOG_LINE]  decode-call index=", 0) == 0 && l.find(L"file(" + movie + L")") != l.npos;
        EXPECT_EQ(calls, c.decodeCalls);
        EXPECT_EQ(Tiles(id, static_cast<int>(positions.size())), c.tiles);
    }
}

// A codec that hangs inside RenderFile: the watchdog (its timer posted here instead of
// waiting five minutes) starts a new process; the old one stops serving at once and
// ends within its bound although its job never returns.
TEST_F(Recovery, WatchdogReplacesAProcessWhoseCodecHangsInRenderFile) {
    StartService();
    const std::wstring hang = Fault(L"hang", "hang=render");
    // Sent once the new process has read the queue and started on it (the old one never plans
    // the hung movie): it reaches the new one, not the hung one.
    const auto watchdog = [&] {
        PostMessageW(service.WaitWindow(), WM_TIMER, NO_RESPONSE_TIMER_ID, 0);
        const std::wstring planned = L"(decode-plan) duration=0 initial_last=0 file(" + hang + L")";
        ASSERT_TRUE(WaitForLine(L"kestrel_dec_list.txt", planned));
        Send(3, Fault(L"late", ""));
    };
    Replaced(hang, L"(file)" + hang, watchdog, 3, L"無応答による再起動");
    EXPECT_TRUE(WaitForFinal(3));
}

TEST_F(Recovery, CrashOnAStreamingThreadRestartsAndSkipsTheMovie) {
    Set(L"decode_frame_timeout_ms", 60000);
    Set(L"decode_first_frame_timeout_ms", 60000);
    StartService();
    const std::wstring release = folder.file(L"release");
    const std::wstring crash = Fault(L"crash", "stall=1000-\nrelease_file=" + ToUtf8(release) + "\ncrash=stream");
    Replaced(crash, L"[LOG_LINE]  decode-call index=1/2 frame=10000000 file(" + crash + L")",
             [&] { ASSERT_TRUE(WriteFileBytes(release, "go")); }, EXCEPTION_ACCESS_VIOLATION, L"例外発生による再起動\n");
}

// Faults on the job thread (in Stop, a seek or a pin connection) end only the job. One on the
// same item three times gives it up (listed); faults after an item was finished count for that
// item, not the next; a graph left streaming by a dead job thread harms nothing. One process.
TEST_F(Recovery, JobThreadFaultsCountForTheirOwnItem) {
    StartService();
    for (int32_t id = 1; id <= 3; ++id) Send(id, Fault(L"stop" + std::to_wstring(id), "crash=stop"));
    const std::wstring seek = Fault(L"seek", "crash=seek"), connect = Fault(L"connect", "crash=connect");
    Send(4, seek);
    Send(5, Fault(L"slow", "first_frame_delay_ms=2000"), 2);  // slow: the late frames of 4's seeks arrive meanwhile
    Send(6, connect);  // faults inside a pin connection, during RenderFile

    ASSERT_TRUE(WaitForFinal(5));
    ASSERT_TRUE(WaitFor([&] { return Count(Errors(), connect) == 1; }));
    EXPECT_TRUE(ResponsesFor(6).empty());
    for (int32_t id : {1, 2, 3}) {
        ASSERT_EQ(ResponsesFor(id).size(), 1u) << id;
        EXPECT_EQ(Tiles(id, 1), "D") << id;
    }
    EXPECT_TRUE(ResponsesFor(4).empty());
    EXPECT_EQ(Count(Errors(), seek), 1u);
    EXPECT_EQ(Count(Main(), L"[LOG_LINE]  decode-call index=1/1 frame=10000000 file(" + seek + L")"), 3u);
    EXPECT_EQ(Tiles(5, 2), "DD");
    EXPECT_TRUE(service.process().Running());
    EXPECT_EQ(Starts(), 1u);
}

// WM_CLOSE while two frame sources wait for stalled frames: the cancel reaches both, no more
// responses come, the item stays first in the saved queue and the process ends. A service
// started without the restart marker leaves that queue alone; a restarted one finishes it.
TEST_F(Recovery, CloseDuringStalledFramesKeepsTheItemForTheNextProcess) {
    Set(L"decode_frame_timeout_ms", 60000);
    Set(L"decode_parallel", 2);
    StartService();
    const std::wstring release = folder.file(L"release");
    const std::wstring movie = Fault(L"stall", "stall=2000-\nrelease_file=" + ToUtf8(release));
    const std::wstring file = L" file(" + movie + L")";
    Send(1, movie, 3);
    for (const wchar_t* line : {L"decode-call index=2/3 frame=20000000", L"decode-source index=3/3 source=2",
                                L"decode-call index=3/3 frame=30000000"})
        ASSERT_TRUE(WaitForLine(L"kestrel_log.txt", std::wstring(L"[LOG_LINE]  ") + line + file));
    ASSERT_TRUE(service.Close());
    EXPECT_EQ(ResponsesFor(1).size(), 1u);
    for (const wchar_t* tile : {L"2/3 frame=20000000", L"3/3 frame=30000000"})
        EXPECT_TRUE(Contains(Main(), std::wstring(L"[LOG_LINE]  decode-return index=") + tile +
                                         L" result=2 has_bitmap=0" + file)) << tile;
    std::vector<DecodeRequestItem_CL> saved;
    const std::string queue = ReadFileBytes(folder.file(L"TessaloomDataList.dat"));
    ASSERT_TRUE(DecodeRequestList_CL::Parse(queue, saved));
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved[0].movie_path, movie);

    StartService();
    EXPECT_EQ(Count(List(), L"デコードアイテムは読み込まない"), 2u);
    ASSERT_TRUE(service.Close());
    EXPECT_EQ(ReadFileBytes(folder.file(L"TessaloomDataList.dat")), queue);

    ASSERT_TRUE(WriteFileBytes(release, "go"));
    StartService(L"-restart");
    ASSERT_TRUE(WaitForFinal(1));
    EXPECT_EQ(ResponsesFor(1).back().error_image_used, 0);
    EXPECT_EQ(Tiles(1, 3), "DDD");
}

// Periodic restarts at every third start request (the count is 2; the one posted at
// window creation counts too) while requests keep arriving through the pipe (a sender
// retries while no process owns it): every item is made exactly once.
TEST_F(Recovery, PeriodicRestartsMakeEveryItemExactlyOnce) {
    Set(L"decode_periodic_restart_count", 2);
    StartService();
    const std::wstring good = Fault(L"good", "");
    for (int32_t id = 1; id <= 4; ++id) Send(id, good);
    for (int32_t id = 5; id <= 8; ++id) {
        ASSERT_TRUE(WaitForFinal(id - 4));
        Send(id, good);
    }
    for (int32_t id = 5; id <= 8; ++id) ASSERT_TRUE(WaitForFinal(id)) << id;
    for (int32_t id = 1; id <= 8; ++id) EXPECT_EQ(ResponsesFor(id).size(), 1u) << id;
    EXPECT_GE(Starts(), 3u);
    EXPECT_TRUE(Contains(List(), L"定期デコードによる再起動(3)"));
    EXPECT_FALSE(Contains(List(), L"定期デコードによる再起動(2)"));
    // Each process that gave up its pipe for a restart was followed by a new one (the last may
    // be restarting right now).
    const std::wstring stopped = L"[LOG_LINE] (pipe) server stopped for restart pipe(Tessaloom-" + client + L")";
    EXPECT_TRUE(WaitFor([&] { return Count(Main(), stopped) + 1 == Starts(); }));
}

// A process that finds its pipe held by another keeps trying in the background. Its
// window carries its title meanwhile: WM_COPYDATA requesters (and a client's close)
// find it, and their requests are worked. It serves the pipe once that is free.
TEST_F(Recovery, PipeHeldByAnotherProcessIsWaitedForWhileWmCopyDataIsServed) {
    UniqueHandle holder(CreateNamedPipeW(PipePath(L"Tessaloom-" + client).c_str(), PIPE_ACCESS_INBOUND, 0, 1, 1024,
                                         1024, 0, nullptr));
    ASSERT_TRUE(holder);
    ASSERT_TRUE(service.Start());
    ASSERT_TRUE(WaitForLine(L"kestrel_log.txt", L"[LOG_LINE] (pipe) waiting for pipe(Tessaloom-" + client +
                                                     L") held by another process waited=0 s"));
    const HWND hwnd = service.WaitWindow();
    ASSERT_NE(hwnd, nullptr);
    ByteWriter out;
    const KRB_RequestDecodeRequest_CL request = MakeRequest({MakeItem(1, Fault(L"copied", ""), Output(L"1"), {kMs * 1000})}, 32, 24);
    DecodeRequestItem_CL::FromPipeRequest(request, request.items[0]).write(out);
    const std::string item = out.Bytes();
    COPYDATASTRUCT data = {0, static_cast<DWORD>(item.size()), const_cast<char*>(item.data())};
    EXPECT_EQ(SendMessageW(hwnd, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data)), TRUE);
    ASSERT_TRUE(WaitForFinal(1));
    EXPECT_EQ(Tiles(1, 1), "D");

    holder.reset();
    Send(2, Fault(L"good", ""));  // sent once the service has the pipe
    ASSERT_TRUE(WaitForFinal(2));
}

// WM_CLOSE while a codec hangs inside RenderFile: at once no client finds the window and no
// request reaches the process; its watchdog, come due, starts nothing; it ends by its own
// deadline although its job never returns. The saved queue keeps the item.
TEST_F(Recovery, CloseWhileTheCodecHangsEndsTheProcessForGood) {
    StartService();
    const std::wstring hang = Fault(L"hang", "hang=render");
    Send(1, hang, 2);
    ASSERT_TRUE(WaitForLine(L"kestrel_log.txt", L"(file)" + hang));
    const HWND hwnd = service.WaitWindow();
    SendMessageW(hwnd, WM_CLOSE, 0, 0);
    EXPECT_EQ(FindServiceWindow(client), nullptr);
    PipeClient_CL writer(L"Tessaloom-" + client);
    EXPECT_EQ(writer.open(), PipeClient_CL::OpenResult::NoReceiver);
    PostMessageW(hwnd, WM_TIMER, NO_RESPONSE_TIMER_ID, 0);

    DWORD code = 0;
    ASSERT_TRUE(service.process().Wait(30000, &code));
    EXPECT_EQ(code, 3u);  // its deadline, the job still stuck
    EXPECT_FALSE(Contains(ReadLogMessages(folder.file(L"kestrel_seq.txt")), L"AppRestart_START"));
    EXPECT_EQ(Starts(), 1u);
    std::vector<DecodeRequestItem_CL> saved;
    ASSERT_TRUE(DecodeRequestList_CL::Parse(ReadFileBytes(folder.file(L"TessaloomDataList.dat")), saved));
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved[0].movie_path, hang);
}

}  // namespace
