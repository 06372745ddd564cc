// Frame wait limits, timeouts, cancel and the switch to Media Foundation, caused by fault
// movies that the fault codec (registered in the test prefix) plays through RenderFile.
#include <gtest/gtest.h>

#include <thread>

#include "common/inifile.h"
#include "testing/support/captured_logs.h"
#include "testing/fault_codec/fault_source.h"

using fault_codec::FaultSourceFilter;
using namespace testing_support;

namespace {

constexpr LONGLONG kFrameTime = FaultSourceFilter::kFrameTime;

// The fault codec's frame `index` fills its 64x48 picture: the centre has the frame's grey.
::testing::AssertionResult ShowsFrame(Gdiplus::Bitmap* frame, int64_t index) {
    if (!frame) return ::testing::AssertionFailure() << "no frame " << index;
    return PixelNear(*frame, 32, 24, static_cast<unsigned>(FaultSourceFilter::GreyOfFrame(index)) * 0x010101u, 1)
           << " (frame " << index << ")";
}

class FrameTimeLimit : public CapturedLogsTest {
protected:
    FrameTimeLimit() : CapturedLogsTest(L"frame-time-limit") {}
    void SetUp() override { CapturedLogsTest::SetUp(), ini_.SetPath(folder_.file(L"Thumbnail.ini")); }
    void TearDown() override {
        SetMediaFoundationRoute(movie_, false);
        CapturedLogsTest::TearDown();
    }
    // Each setting (from the second call on, with the switch to Media Foundation off).
    void Set(int frameMs, int firstFrameMs = 0, bool switchOn = false) {
        ini_.SetInt(L"THUMBNAIL", L"decode_frame_timeout_ms", frameMs);
        if (firstFrameMs) ini_.SetInt(L"THUMBNAIL", L"decode_first_frame_timeout_ms", firstFrameMs);
        ini_.SetInt(L"THUMBNAIL", L"decode_use_media_foundation_on_dshow_fail", switchOn);
    }
    // A fault movie of 12 s, 64x48, with these instructions; or, branded, a copy of the
    // real MP4 of the fault codec's brand (Media Foundation decodes it) with these
    // instructions for the codec beside it.
    void Fault(const std::string& instructions, bool branded = false) {
        movie_ = folder_.file(branded ? L"branded.mp4" : L"movie.fault");
        if (!branded) movie_ = WriteFaultMovie(movie_, instructions);
        ASSERT_TRUE(!branded || CopyFileW(Movie(L"seconds_640x360_fault_brand.mp4").c_str(), movie_.c_str(), FALSE));
        ASSERT_TRUE(!branded || WriteFileBytes(movie_ + L".fault", instructions + "\n"));
    }
    void OpenWithOneFrame(DShowThumbnailMaker_CL& source) {  // one frame while the stream flows
        ASSERT_EQ(source.SetContent(movie_), S_OK);
        ASSERT_TRUE(ShowsFrame(FrameAt(source, kSecond), kSecond / kFrameTime));
    }
    std::wstring File() const { return L" file(" + movie_ + L")"; }

    Inifile_CL ini_;
    UniqueHandle cancel_{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    std::wstring movie_;
};

// The limits are read at each frame: a change between two frames shows in the next
// frame's "(ini)" line, already clamped (to 500 ms and 600 s). Each seek on the same
// graph brings exactly the frame of its position; a stalled frame times out, and with
// the switch off the same graph goes on.
TEST_F(FrameTimeLimit, EachFrameReadsTheSettingsAndAStalledOneTimesOut) {
    Fault("stall=3000-3999");
    DShowThumbnailMaker_CL source(folder_.path(), cancel_.get());
    ASSERT_NO_FATAL_FAILURE(OpenWithOneFrame(source));
    EXPECT_EQ(source.GetDuration(), 12 * kSecond);
    Set(100, 900000);
    for (int64_t index : {250, 3, 120, 121}) EXPECT_TRUE(ShowsFrame(FrameAt(source, index * kFrameTime), index));
    DecodeFrameResult result = Failed;
    EXPECT_EQ(source.DecodeFrame(3 * kSecond, &result), nullptr);
    EXPECT_EQ(result, Timeout);
    EXPECT_TRUE(ShowsFrame(FrameAt(source, 200 * kFrameTime), 200));
    const auto list = ListLines(), lines = MainLines();
    EXPECT_TRUE(Contains(list, L"(ini) decode_frame_timeout_ms=10000 decode_first_frame_timeout_ms=30000" + File()));
    EXPECT_TRUE(Contains(list, L"(ini) decode_frame_timeout_ms=500 decode_first_frame_timeout_ms=600000" + File()));
    EXPECT_TRUE(Contains(lines, L"(timeout)decode_frame wait 500 ms (normal)"));
    for (const auto& line : lines) EXPECT_EQ(line.find(L"(mf-fallback) start"), std::wstring::npos);
}

// The sample that the opening pause brought reaches the capture callback only after
// the seek for the first frame has begun: it is not taken for that frame, and no wait
// for it shortens the frame's limit.
TEST_F(FrameTimeLimit, LatePauseSampleIsNeverTakenForTheSoughtFrame) {
    Set(5000);
    const std::wstring handedOver = folder_.file(L"cue-asked");
    Fault("late_cue=" + Narrow(handedOver));
    DShowThumbnailMaker_CL source(folder_.path(), cancel_.get());
    ASSERT_EQ(source.SetContent(movie_), S_OK);
    ASSERT_TRUE(WaitFor([&] { return FileExists(handedOver); }));  // the callback holds it
    for (int64_t index : {25, 200}) EXPECT_TRUE(ShowsFrame(FrameAt(source, index * kFrameTime), index));
    EXPECT_TRUE(Contains(MainLines(), L"[LOG_LINE] (decode-route) ds-wait-end frame=80000000 wait_result=0 "
                                      L"has_bitmap=1 wait_ms=5000"));
}

// With the switch on (the default) a timed-out frame comes from Media Foundation, and
// the movie stays there: later frames, and a later SetContent, skip DirectShow. In
// keyframe mode the time told is the frame's own (the reader stamps frames 80 ms late).
TEST_F(FrameTimeLimit, StalledFrameMovesTheMovieToMediaFoundationForGood) {
    Set(500, 0, true);
    ASSERT_NO_FATAL_FAILURE(Fault("stall=4000-", true));
    {
        DShowThumbnailMaker_CL source(folder_.path(), cancel_.get());
        ASSERT_NO_FATAL_FAILURE(OpenWithOneFrame(source));
        for (int second : {4, 8}) {  // the real movie's picture, not the fault codec's
            Gdiplus::Bitmap* frame = FrameAt(source, MidSecond(second));
            EXPECT_TRUE(frame && frame->GetWidth() == 640 && SolidNear(*frame, kSecondColours[second], 40)) << second;
        }
    }
    EXPECT_TRUE(Contains(MainLines(), L"[LOG_LINE] (mf-fallback) sticky-mf(global) frame=85000000 mf_frame=85000000" + File()));
    DShowThumbnailMaker_CL later(folder_.path(), cancel_.get());
    later.SetSeekToKeyframe(true);
    ASSERT_EQ(later.SetContent(movie_), S_OK);
    int64_t shown = -1;
    DecodeFrameResult result = Failed;
    Gdiplus::Bitmap* frame = later.DecodeFrame(MidSecond(2), &result, &shown);
    ASSERT_TRUE(frame && SolidNear(*frame, kSecondColours[2], 40));
    EXPECT_TRUE(shown >= 2 * kSecond && shown <= MidSecond(2)) << shown;
    EXPECT_TRUE(Contains(ListLines(), L"(decode-route) sticky-mf setcontent-bypass-ds" + File()));
    EXPECT_EQ(Count(MainLines(), L"(file)" + movie_), 1u);  // no graph for the later job
}

// A cancel ends the frame as Cancelled, also when the Media Foundation route sees it
// first: an APC that sets the cancel ends DirectShow's alertable frame wait as a
// failure, and the switch to Media Foundation that follows finds the cancel.
TEST_F(FrameTimeLimit, CancelSeenByMediaFoundationIsReportedAsCancelled) {
    ASSERT_NO_FATAL_FAILURE(Fault("stall=2000-", true));
    Set(600000, 0, true);
    DShowThumbnailMaker_CL source(folder_.path(), cancel_.get());
    ASSERT_NO_FATAL_FAILURE(OpenWithOneFrame(source));
    UniqueHandle decodingThread(OpenThread(THREAD_SET_CONTEXT, FALSE, GetCurrentThreadId()));
    ASSERT_TRUE(decodingThread);
    std::thread canceller([&] {  // once the wait for the frame has begun
        WaitFor([&] { return Contains(MainLines(), L"[LOG_LINE] (decode-route) decodeframe-enter frame=20000000 "
                                                   L"first=0 sticky_local=0 sticky_global=0" + File()); });
        QueueUserAPC([](ULONG_PTR event) { SetEvent(reinterpret_cast<HANDLE>(event)); }, decodingThread.get(),
                     reinterpret_cast<ULONG_PTR>(cancel_.get()));
    });
    DecodeFrameResult result = Success;
    EXPECT_EQ(source.DecodeFrame(2 * kSecond, &result), nullptr);
    canceller.join();
    EXPECT_EQ(result, Cancelled);
    EXPECT_EQ(Count(ListLines(), L"(mf-fallback) cancel iter=0 frame=20000000" + File()), 1u) << Dump(ListLines());
}

// Codecs that misbehave: held for a while, then on; a duration longer than the movie
// (nothing past the real end); no segment (no frame without one); one that connects to
// nothing (does not open). The first frame's budget counts from the end of SetContent:
// when it has passed before the frame is asked for, there is no wait at all.
TEST_F(FrameTimeLimit, MisbehavingCodecsAndTheFirstFrameBudget) {
    Set(2000, 2000);
    const struct {
        const char* instructions;
        int64_t second, duration;
        DecodeFrameResult result;
        ULONGLONG askAfterMs;
    } cases[] = {
        {"stall=3000-\nstall_for_ms=500", 3, 12, Success, 0},
        {"reported_duration_ms=60000", 30, 60, Timeout, 0},
        {"no_new_segment=1", 3, 12, Timeout, 0},
        {"refuse_types=1", 0, 0, Failed, 0},
        {"stall=0-", 1, 12, Timeout, 2100},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.instructions);
        Fault(c.instructions);
        DShowThumbnailMaker_CL source(folder_.path(), cancel_.get());
        ASSERT_EQ(source.SetContent(movie_), c.duration ? S_OK : E_FAIL);
        EXPECT_EQ(source.GetDuration(), c.duration * kSecond);
        if (!c.duration) continue;
        const ULONGLONG opened = GetTickCount64();
        ASSERT_TRUE(WaitFor([&] { return GetTickCount64() - opened >= c.askAfterMs; }, std::chrono::seconds(5)));
        DecodeFrameResult result = Failed;
        Gdiplus::Bitmap* frame = source.DecodeFrame(c.second * kSecond, &result);
        EXPECT_EQ(result, c.result);
        EXPECT_TRUE(c.result != Success || ShowsFrame(frame, c.second * kSecond / kFrameTime));
    }
    EXPECT_TRUE(Contains(MainLines(), L"コーデックが存在しないか、非対応ファイルです。"));
    EXPECT_TRUE(Contains(MainLines(), L"(timeout)decode_frame wait 0 ms (first)"));
}

}  // namespace
