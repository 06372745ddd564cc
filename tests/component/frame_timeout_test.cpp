// Frame wait limits and cancel on fault movies (the fault codec is registered in the test
// prefix): codec behaviour and races that a run of the real service cannot cause at will.
#include <gtest/gtest.h>

#include "common/inifile.h"
#include "testing/support/captured_logs.h"
#include "testing/fault_codec/fault_source.h"

using namespace testing_support;

namespace {

class FrameTimeLimit : public CapturedLogsTest {
protected:
    void SetUp() override { CapturedLogsTest::SetUp(), ini_.SetPath(folder_.file(L"Thumbnail.ini")); }
    void TearDown() override { SetMediaFoundationRoute(movie_, false), CapturedLogsTest::TearDown(); }
    void Set(int frameMs, int firstFrameMs, bool switchOn) {
        ini_.SetInt(L"THUMBNAIL", L"decode_frame_timeout_ms", frameMs);
        ini_.SetInt(L"THUMBNAIL", L"decode_first_frame_timeout_ms", firstFrameMs);
        ini_.SetInt(L"THUMBNAIL", L"decode_use_media_foundation_on_dshow_fail", switchOn);
    }
    Inifile_CL ini_;
    std::wstring movie_;
};

// Codecs held for a while, then on; lying about the duration; sending no segment;
// connecting to nothing. The first frame's budget counts from the end of SetContent:
// when it has passed before the frame is asked for, there is no wait at all.
TEST_F(FrameTimeLimit, MisbehavingCodecsAndTheFirstFrameBudget) {
    Set(2000, 2000, false);
    const struct {
        const char* instructions;
        int64_t second, duration;
        DecodeFrameResult result;
        ULONGLONG askAfterMs;
    } cases[] = {
        {"stall=3000-\nstall_for_ms=500", 3, 12, Success, 0}, {"reported_duration_ms=60000", 30, 60, Timeout, 0},
        {"no_new_segment=1", 3, 12, Timeout, 0}, {"refuse_types=1", 0, 0, Failed, 0}, {"stall=0-", 1, 12, Timeout, 2100},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.instructions);
        movie_ = WriteFaultMovie(folder_.file(L"movie.fault"), c.instructions);
        DShowThumbnailMaker_CL source(folder_.path(), cancel_.get());
        ASSERT_EQ(source.SetContent(movie_), c.duration ? S_OK : E_FAIL);
        EXPECT_EQ(source.GetDuration(), c.duration * kSecond);
        if (!c.duration) continue;
        const ULONGLONG opened = GetTickCount64();
        ASSERT_TRUE(WaitFor([&] { return GetTickCount64() - opened >= c.askAfterMs; }, std::chrono::seconds(5)));
        DecodeFrameResult result = Failed;
        Gdiplus::Bitmap* frame = source.DecodeFrame(c.second * kSecond, &result);
        EXPECT_EQ(result, c.result);
        const unsigned grey = fault_codec::GreyOfFrame(c.second * kSecond / fault_codec::kFrameTime);
        ImagePixels image;
        EXPECT_TRUE(c.result != Success ||
                    (frame && BitmapPixels(*frame, image) && Near(image.At(32, 24), FromHex(grey * 0x010101u), 1)));
    }
    EXPECT_TRUE(Contains(MainLines(), L"コーデックが存在しないか、非対応ファイルです。"));
    EXPECT_TRUE(Contains(MainLines(), L"(timeout)decode_frame wait 0 ms (first)"));
}

// A movie whose DirectShow codec stalls while Media Foundation can read it: the first source
// switches routes at its first frame, later ones for the same path go straight to Media
// Foundation (logged once per process), and every frame shows the movie.
TEST_F(FrameTimeLimit, StalledDirectShowHandsTheMovieToMediaFoundationForGood) {
    movie_ = Movie(L"seconds_640x360_fault_brand.mp4");  // no instructions beside it: every frame stalls
    Set(500, 500, true);
    for (int n = 0; n < 3; ++n) {
        DShowThumbnailMaker_CL source(folder_.path(), cancel_.get());
        ASSERT_EQ(source.SetContent(movie_), S_OK);
        for (int second : {2, 8}) {
            Gdiplus::Bitmap* frame = FrameAt(source, MidSecond(second));
            ImagePixels image;
            EXPECT_TRUE(frame && BitmapPixels(*frame, image) &&
                        Near(image.Average(0, 0, image.width, image.height), SecondsMovieColour(MidSecond(second)), 40))
                << n << " " << second;
        }
    }
    const std::wstring file = L"file(" + movie_ + L")";
    EXPECT_EQ(Count(ListLines(), L"(decode-route) route-switch ds->mf frame=25000000 mf_frame=25000000 " + file +
                                     L" ds_released=1"), 1u);
    EXPECT_EQ(Count(ListLines(), L"(decode-route) sticky-mf setcontent-bypass-ds " + file), 1u);
}

// A cancel set by an APC (queued before the frame is asked for: it runs in the frame wait, the
// only alertable one) ends DirectShow's wait as a failure; the switch to Media Foundation that
// follows finds it, reports Cancelled and leaves it set for the job (the event resets itself).
TEST_F(FrameTimeLimit, CancelSeenByMediaFoundationIsReportedAsCancelled) {
    movie_ = folder_.file(L"branded.mp4");  // Media Foundation decodes it; the fault codec stalls it
    ASSERT_TRUE(CopyFileW(Movie(L"seconds_640x360_fault_brand.mp4").c_str(), movie_.c_str(), FALSE));
    ASSERT_TRUE(WriteFileBytes(movie_ + L".fault", "stall=2000-\n"));
    Set(600000, 600000, true);
    DShowThumbnailMaker_CL source(folder_.path(), cancel_.get());
    ASSERT_EQ(source.SetContent(movie_), S_OK);
    ASSERT_NE(FrameAt(source, kSecond), nullptr);
    UniqueHandle decodingThread(OpenThread(THREAD_SET_CONTEXT, FALSE, GetCurrentThreadId()));
    ASSERT_TRUE(QueueUserAPC([](ULONG_PTR event) { SetEvent(reinterpret_cast<HANDLE>(event)); }, decodingThread.get(),
                             reinterpret_cast<ULONG_PTR>(cancel_.get())));
    DecodeFrameResult result = Success;
    EXPECT_EQ(source.DecodeFrame(2 * kSecond, &result), nullptr);
    EXPECT_EQ(result, Cancelled);
    const std::wstring file = L" file(" + movie_ + L")";
    EXPECT_TRUE(Contains(MainLines(), L"[LOG_LINE] (decode-route) ds-wait-end frame=20000000 wait_result=192 "
                                      L"has_bitmap=0 wait_ms=600000"));  // the APC ended the wait
    EXPECT_EQ(WaitForSingleObject(cancel_.get(), 0), WAIT_OBJECT_0);  // a look that took the cancel gave it back
    EXPECT_EQ(Count(ListLines(), L"(mf-fallback) cancel iter=0 frame=20000000" + file), 1u);
}

}  // namespace
