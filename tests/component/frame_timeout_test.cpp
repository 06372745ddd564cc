// Frame wait limits, timeouts, cancellation and the switch to Media Foundation, caused
// deterministically by fault movies that the fault codec (registered in the test
// prefix) plays through the frame source's own RenderFile.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "common/inifile.h"
#include "testing/support/captured_logs.h"
#include "testing/fault_codec/fault_source.h"

using namespace testing_support;

namespace {

constexpr int kWidth = 64, kHeight = 48;
constexpr LONGLONG kFrameTime = fault_codec::kFrameTime;

// The fault codec's frame `index` fills the picture: its centre has the frame's grey.
::testing::AssertionResult ShowsFrame(Gdiplus::Bitmap* frame, int64_t index) {
    if (!frame) return ::testing::AssertionFailure() << "no frame " << index;
    const unsigned grey = static_cast<unsigned>(fault_codec::GreyOfFrame(index));
    return PixelNear(*frame, kWidth / 2, kHeight / 2, grey * 0x010101u, 1) << " (frame " << index << ")";
}

class FrameTimeLimit : public CapturedLogsTest {
protected:
    FrameTimeLimit() : CapturedLogsTest(L"frame-time-limit") {}
    void SetUp() override {
        CapturedLogsTest::SetUp();
        ini_.SetPath(folder_.file(L"Thumbnail.ini"));
    }
    void TearDown() override {
        StickyMfFileSet.erase(movie_);
        StickyMfBypassLogSet.erase(movie_);
        CapturedLogsTest::TearDown();
    }
    void Set(const wchar_t* key, int value) { ini_.SetInt(L"THUMBNAIL", key, value); }
    // A fault movie of 12 s, 64x48, with these instructions.
    void Fault(const std::string& instructions) {
        movie_ = WriteFaultMovie(folder_.file(L"movie.fault"), instructions);
    }
    // A copy of the real MP4 of the fault codec's brand (Media Foundation decodes it),
    // with these instructions for the codec beside it.
    void Branded(const std::string& instructions) {
        movie_ = folder_.file(L"branded.mp4");
        ASSERT_TRUE(CopyFileW(Movie(L"seconds_640x360_fault_brand.mp4").c_str(), movie_.c_str(), FALSE));
        ASSERT_TRUE(WriteFileBytes(movie_ + L".fault", instructions + "\n"));
    }
    // Opens the movie and takes one frame while the stream flows.
    void OpenWithOneFrame(DShowThumbnailMaker_CL& source) {
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
    Set(L"decode_frame_timeout_ms", 100);
    Set(L"decode_first_frame_timeout_ms", 900000);
    Set(L"decode_use_media_foundation_on_dshow_fail", 0);
    for (int64_t index : {250, 3, 120, 121}) EXPECT_TRUE(ShowsFrame(FrameAt(source, index * kFrameTime), index));
    const auto list = ListLines();
    EXPECT_TRUE(Contains(list, L"(ini) decode_frame_timeout_ms=10000 decode_first_frame_timeout_ms=30000" + File()));
    EXPECT_TRUE(Contains(list, L"(ini) decode_frame_timeout_ms=500 decode_first_frame_timeout_ms=600000" + File()));

    DecodeFrameResult result = Failed;
    EXPECT_EQ(source.DecodeFrame(3 * kSecond, &result), nullptr);
    EXPECT_EQ(result, Timeout);
    const auto lines = MainLines();
    EXPECT_TRUE(Contains(lines, L"(timeout)decode_frame wait 500 ms (normal)"));
    EXPECT_TRUE(Contains(lines, L"[LOG_LINE] (ini) decode_use_media_foundation_on_dshow_fail=0 frame=30000000 "
                                L"ds_result=1" + File()));
    EXPECT_TRUE(Contains(lines, L"[LOG_LINE] (decode-route) decodeframe-return-null frame=30000000 result=1" + File()));
    EXPECT_EQ(StickyMfFileSet.count(movie_), 0u);
    EXPECT_TRUE(ShowsFrame(FrameAt(source, 200 * kFrameTime), 200));
    EXPECT_FALSE(Contains(ListLines(), L"(mf-fallback) start"));
}

// The sample that the opening pause brought reaches the capture callback only after
// the seek for the first frame has begun: it is not taken for that frame, and no wait
// for it shortens the frame's limit.
TEST_F(FrameTimeLimit, LatePauseSampleIsNeverTakenForTheSoughtFrame) {
    Set(L"decode_frame_timeout_ms", 5000);
    Set(L"decode_use_media_foundation_on_dshow_fail", 0);
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
// the movie stays there: later frames, and a later SetContent, skip DirectShow. The
// movie is a real MP4 of the fault codec's brand, which its side file makes stall
// from 4 s on.
TEST_F(FrameTimeLimit, StalledFrameMovesTheMovieToMediaFoundationForGood) {
    Set(L"decode_frame_timeout_ms", 500);
    ASSERT_NO_FATAL_FAILURE(Branded("stall=4000-"));
    {
        DShowThumbnailMaker_CL source(folder_.path(), cancel_.get());
        ASSERT_NO_FATAL_FAILURE(OpenWithOneFrame(source));
        // The real movie's picture (640x360 solid colour), not the fault codec's.
        for (int second : {4, 8}) {
            Gdiplus::Bitmap* frame = FrameAt(source, MidSecond(second));
            ASSERT_NE(frame, nullptr) << second;
            EXPECT_EQ(frame->GetWidth(), 640u);
            EXPECT_TRUE(SolidNear(*frame, kSecondColours[second], 40)) << second;
            EXPECT_EQ(StickyMfFileSet.count(movie_), 1u);
        }
    }
    auto lines = MainLines();
    EXPECT_TRUE(Contains(lines, L"[LOG_LINE] (decode-route) route-switch ds->mf frame=45000000 mf_frame=45000000" +
                                    File() + L" ds_released=1"));
    EXPECT_TRUE(Contains(lines, L"[LOG_LINE] (mf-fallback) success frame=45000000" + File()));
    EXPECT_TRUE(Contains(lines, L"[LOG_LINE] (mf-fallback) sticky-mf(global) frame=85000000 mf_frame=85000000" + File()));

    // A later job for the same movie: no graph at all. In keyframe mode the time told
    // is the frame's own, counted from the movie's first frame (the reader stamps frames
    // 80 ms late here).
    DShowThumbnailMaker_CL later(folder_.path(), cancel_.get());
    later.SetSeekToKeyframe(true);
    ASSERT_EQ(later.SetContent(movie_), S_OK);
    int64_t shown = -1;
    DecodeFrameResult result = Failed;
    Gdiplus::Bitmap* frame = later.DecodeFrame(MidSecond(2), &result, &shown);
    ASSERT_NE(frame, nullptr);
    EXPECT_TRUE(SolidNear(*frame, kSecondColours[2], 40));
    EXPECT_GE(shown, 2 * kSecond);
    EXPECT_LE(shown, MidSecond(2));
    EXPECT_TRUE(Contains(ListLines(), L"(decode-route) sticky-mf setcontent-bypass-ds" + File()));
    EXPECT_EQ(Count(MainLines(), L"(file)" + movie_), 1u);
}

// The first frame's budget counts from the end of SetContent.
TEST_F(FrameTimeLimit, FirstFrameBudgetRunsFromOpening) {
    Set(L"decode_first_frame_timeout_ms", 500);
    Set(L"decode_use_media_foundation_on_dshow_fail", 0);
    Fault("stall=0-");
    DShowThumbnailMaker_CL source(folder_.path(), cancel_.get());
    ASSERT_EQ(source.SetContent(movie_), S_OK);
    // Let the whole first-frame budget pass before the first frame is asked for.
    const ULONGLONG opened = GetTickCount64();
    ASSERT_TRUE(WaitFor([&] { return GetTickCount64() - opened > 600; }, std::chrono::seconds(5)));
    DecodeFrameResult result = Failed;
    EXPECT_EQ(source.DecodeFrame(kSecond, &result), nullptr);
    EXPECT_EQ(result, Timeout);
    EXPECT_TRUE(Contains(MainLines(), L"(timeout)decode_frame wait 0 ms (first)"));
}

// A cancel ends the frame as Cancelled, also when the Media Foundation route sees it
// first: an APC that sets the cancel ends DirectShow's alertable frame wait as a
// failure, and the switch to Media Foundation that follows finds the cancel.
TEST_F(FrameTimeLimit, CancelSeenByMediaFoundationIsReportedAsCancelled) {
    ASSERT_NO_FATAL_FAILURE(Branded("stall=2000-"));
    Set(L"decode_frame_timeout_ms", 600000);
    DShowThumbnailMaker_CL source(folder_.path(), cancel_.get());
    ASSERT_NO_FATAL_FAILURE(OpenWithOneFrame(source));
    HANDLE self = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self,
                                THREAD_SET_CONTEXT, FALSE, 0));
    UniqueHandle decodingThread(self);
    // Once the wait for the frame has begun.
    std::thread canceller([&] {
        WaitFor([&] { return Count(MainLines(), L"[LOG_LINE] (decode-route) decodeframe-enter frame=20000000 "
                                                L"first=0 sticky_local=0 sticky_global=0" + File()) == 1; });
        QueueUserAPC([](ULONG_PTR event) { SetEvent(reinterpret_cast<HANDLE>(event)); }, decodingThread.get(),
                     reinterpret_cast<ULONG_PTR>(cancel_.get()));
    });
    DecodeFrameResult result = Success;
    EXPECT_EQ(source.DecodeFrame(2 * kSecond, &result), nullptr);
    canceller.join();
    EXPECT_EQ(result, Cancelled);
    EXPECT_EQ(Count(ListLines(), L"(mf-fallback) cancel iter=0 frame=20000000" + File()), 1u) << Dump(ListLines());
    EXPECT_TRUE(Contains(MainLines(), L"[LOG_LINE] (decode-route) decodeframe-return-null frame=20000000 result=2 file(" +
                                          movie_ + L")"));
}

// Codecs that misbehave in other ways, and what the frame source makes of each.
TEST_F(FrameTimeLimit, MisbehavingCodecs) {
    Set(L"decode_use_media_foundation_on_dshow_fail", 0);
    Set(L"decode_frame_timeout_ms", 2000);
    Set(L"decode_first_frame_timeout_ms", 2000);
    const struct {
        const char* instructions;
        int64_t second;            // position of the frame asked for
        DecodeFrameResult result;  // its result
        int64_t duration;          // what the frame source reports
    } cases[] = {
        {"stall=3000-\nstall_for_ms=500", 3, Success, 12 * kSecond},  // held, then on
        {"reported_duration_ms=60000", 30, Timeout, 60 * kSecond},    // nothing past the real end
        {"no_new_segment=1", 3, Timeout, 12 * kSecond},               // no frame without a segment
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.instructions);
        Fault(c.instructions);
        DShowThumbnailMaker_CL source(folder_.path(), cancel_.get());
        ASSERT_EQ(source.SetContent(movie_), S_OK);
        EXPECT_EQ(source.GetDuration(), c.duration);
        DecodeFrameResult result = Failed;
        Gdiplus::Bitmap* frame = source.DecodeFrame(c.second * kSecond, &result);
        EXPECT_EQ(result, c.result);
        if (c.result == Success) {
            EXPECT_TRUE(ShowsFrame(frame, c.second * kSecond / kFrameTime));
        }
    }
    // A codec that connects to nothing does not open.
    Fault("refuse_types=1");
    DShowThumbnailMaker_CL source(folder_.path(), cancel_.get());
    EXPECT_EQ(source.SetContent(movie_), E_FAIL);
    EXPECT_TRUE(Contains(MainLines(), L"コーデックが存在しないか、非対応ファイルです。"));
}

}  // namespace
