// Frame wait limits, timeouts, cancellation and the switch to Media Foundation, caused
// deterministically by a test source filter that stalls its stream on command.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "common/inifile.h"
#include "common/log.h"
#include "common/scoped.h"
#include "service/dshow/movie_helper.h"
#include "service/frame_source/thumbnail_maker.h"
#include "tests/support/frame_pixels.h"
#include "tests/support/stall_source.h"
#include "tests/support/test_support.h"

using Microsoft::WRL::ComPtr;
using namespace testing_support;

namespace {

constexpr int kWidth = 64, kHeight = 48;
constexpr LONGLONG kDuration = 12 * kSecond;

// The frame source with the stall source in place of the movie's own graph. The path
// still names a real movie, which the Media Foundation route then opens.
class StallingFrameSource : public DShowThumbnailMaker_CL {
public:
    using DShowThumbnailMaker_CL::DShowThumbnailMaker_CL;
    StallSourceFilter* Source() const { return source_.Get(); }

protected:
    HRESULT RenderMovie(IGraphBuilder* graph, IMediaControl*, const std::wstring&) override {
        source_.Attach(new StallSourceFilter(kWidth, kHeight, kDuration));
        HRESULT hr = graph->AddFilter(source_.Get(), L"Stall Source");
        if (FAILED(hr)) return hr;
        ComPtr<IBaseFilter> capture;
        hr = graph->FindFilterByName(L"Sample Grabber", &capture);
        if (FAILED(hr)) return hr;
        ComPtr<IPin> out = DShowMovieHelper_CL::FindPinByDirection(source_.Get(), PINDIR_OUTPUT);
        ComPtr<IPin> in = DShowMovieHelper_CL::FindPinByDirection(capture.Get(), PINDIR_INPUT);
        return graph->ConnectDirect(out.Get(), in.Get(), nullptr);
    }

private:
    ComPtr<StallSourceFilter> source_;
};

int Grey(Gdiplus::Bitmap& bitmap) {
    Gdiplus::Color c;
    bitmap.GetPixel(static_cast<INT>(bitmap.GetWidth() / 2), static_cast<INT>(bitmap.GetHeight() / 2), &c);
    return c.GetG();
}

class FrameTimeLimit : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(com_.result()));
        ASSERT_TRUE(gdiplus_.ok());
        mainLog.path = folder_.file(L"kestrel_log.txt");
        decodeListLog.path = folder_.file(L"kestrel_dec_list.txt");
        ini_.SetPath(folder_.file(L"Thumbnail.ini"));
    }
    void TearDown() override {
        StickyMfFileSet.erase(movie_);
        StickyMfBypassLogSet.erase(movie_);
        mainLog.path.clear();
        decodeListLog.path.clear();
    }
    void Set(const wchar_t* key, int value) { ini_.SetInt(L"THUMBNAIL", key, value); }
    std::vector<std::wstring> MainLines() const { return ReadLogMessages(mainLog.path); }
    std::vector<std::wstring> ListLines() const { return ReadLogMessages(decodeListLog.path); }

    ComApartment com_;
    GdiplusSession gdiplus_;
    ScratchFolder folder_{L"frame-time-limit"};
    Inifile_CL ini_;
    UniqueHandle cancel_{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    const std::wstring movie_ = Movie(L"seconds_640x360_noaudio.mp4");
};

TEST_F(FrameTimeLimit, LimitsAreReadAndClamped) {
    FrameTimeLimits limits = ReadFrameTimeLimits(folder_.path());
    EXPECT_EQ(limits.frameTimeoutMs, 10000);
    EXPECT_EQ(limits.firstFrameTimeoutMs, 30000);

    Set(L"decode_frame_timeout_ms", 100);
    Set(L"decode_first_frame_timeout_ms", 700000);
    limits = ReadFrameTimeLimits(folder_.path());
    EXPECT_EQ(limits.frameTimeoutMs, 500);
    EXPECT_EQ(limits.firstFrameTimeoutMs, 600000);

    Set(L"decode_frame_timeout_ms", 500);
    Set(L"decode_first_frame_timeout_ms", 600000);
    limits = ReadFrameTimeLimits(folder_.path());
    EXPECT_EQ(limits.frameTimeoutMs, 500);
    EXPECT_EQ(limits.firstFrameTimeoutMs, 600000);

    Set(L"decode_frame_timeout_ms", 499);
    Set(L"decode_first_frame_timeout_ms", 600001);
    limits = ReadFrameTimeLimits(folder_.path());
    EXPECT_EQ(limits.frameTimeoutMs, 500);
    EXPECT_EQ(limits.firstFrameTimeoutMs, 600000);
}

// The limits are read at each frame: a change between two frames shows in the next
// frame's "(ini)" line, already clamped.
TEST_F(FrameTimeLimit, EachFrameReadsTheSettingsAgain) {
    StallingFrameSource source(folder_.path(), cancel_.get());
    ASSERT_EQ(source.SetContent(movie_), S_OK);
    DecodeFrameResult result = Failed;
    ASSERT_NE(source.DecodeFrame(kSecond, &result), nullptr);
    Set(L"decode_frame_timeout_ms", 100);
    Set(L"decode_first_frame_timeout_ms", 900000);
    ASSERT_NE(source.DecodeFrame(2 * kSecond, &result), nullptr);
    const auto list = ListLines();
    const std::wstring tail = L" file(" + movie_ + L")";
    EXPECT_TRUE(Contains(list, L"(ini) decode_frame_timeout_ms=10000 decode_first_frame_timeout_ms=30000" + tail));
    EXPECT_TRUE(Contains(list, L"(ini) decode_frame_timeout_ms=500 decode_first_frame_timeout_ms=600000" + tail));
}

// Frames of the test source carry their number in their grey level: a seek brings
// exactly the frame of the position, again and again on the same graph.
TEST_F(FrameTimeLimit, StallSourceDeliversTheFrameOfEachPosition) {
    StallingFrameSource source(folder_.path(), cancel_.get());
    ASSERT_EQ(source.SetContent(movie_), S_OK);
    EXPECT_EQ(source.GetDuration(), kDuration);
    for (int64_t index : {10, 250, 3, 120, 121}) {
        DecodeFrameResult result = Failed;
        Gdiplus::Bitmap* frame = source.DecodeFrame(index * StallSourceFilter::kFrameTime, &result);
        ASSERT_EQ(result, Success) << index;
        ASSERT_NE(frame, nullptr);
        EXPECT_EQ(frame->GetWidth(), static_cast<UINT>(kWidth));
        EXPECT_NEAR(Grey(*frame), StallSourceFilter::GreyOfFrame(index), 1) << index;
    }
}

TEST_F(FrameTimeLimit, StalledFrameTimesOutAndSwitchOffRetriesOnTheSameGraph) {
    Set(L"decode_frame_timeout_ms", 500);
    Set(L"decode_use_media_foundation_on_dshow_fail", 0);
    StallingFrameSource source(folder_.path(), cancel_.get());
    ASSERT_EQ(source.SetContent(movie_), S_OK);
    DecodeFrameResult result = Failed;
    ASSERT_NE(source.DecodeFrame(kSecond, &result), nullptr);

    source.Source()->SetStalled(true);
    EXPECT_EQ(source.DecodeFrame(3 * kSecond, &result), nullptr);
    EXPECT_EQ(result, Timeout);
    const auto lines = MainLines();
    EXPECT_TRUE(Contains(lines, L"(timeout)decode_frame wait 500 ms (normal)"));
    EXPECT_TRUE(Contains(lines, L"[LOG_LINE] (ini) decode_use_media_foundation_on_dshow_fail=0 frame=30000000 "
                                L"ds_result=1 file(" + movie_ + L")"));
    EXPECT_TRUE(Contains(lines, L"[LOG_LINE] (decode-route) decodeframe-return-null frame=30000000 result=1 file(" +
                                    movie_ + L")"));
    EXPECT_EQ(StickyMfFileSet.count(movie_), 0u);

    // The same graph, once the stream flows again, gives the next frame.
    source.Source()->SetStalled(false);
    const int64_t index = 200;
    Gdiplus::Bitmap* frame = source.DecodeFrame(index * StallSourceFilter::kFrameTime, &result);
    ASSERT_EQ(result, Success);
    ASSERT_NE(frame, nullptr);
    EXPECT_NEAR(Grey(*frame), StallSourceFilter::GreyOfFrame(index), 1);
    EXPECT_FALSE(Contains(ListLines(), L"(mf-fallback) start"));
}

// With the switch on (the default) a timed-out frame comes from Media Foundation, and
// the movie stays there: later frames, and a later SetContent, skip DirectShow.
TEST_F(FrameTimeLimit, StalledFrameMovesTheMovieToMediaFoundationForGood) {
    Set(L"decode_frame_timeout_ms", 500);
    {
        StallingFrameSource source(folder_.path(), cancel_.get());
        ASSERT_EQ(source.SetContent(movie_), S_OK);
        DecodeFrameResult result = Failed;
        ASSERT_NE(source.DecodeFrame(kSecond, &result), nullptr);

        source.Source()->SetStalled(true);
        Gdiplus::Bitmap* frame = source.DecodeFrame(4 * kSecond + kSecond / 2, &result);
        ASSERT_EQ(result, Success);
        ASSERT_NE(frame, nullptr);
        // The real movie's picture (640x360 solid colour), not the stall source's.
        EXPECT_EQ(frame->GetWidth(), 640u);
        EXPECT_TRUE(SolidNear(*frame, kSecondColours[4], 40));
        EXPECT_EQ(StickyMfFileSet.count(movie_), 1u);

        frame = source.DecodeFrame(8 * kSecond + kSecond / 2, &result);
        ASSERT_EQ(result, Success);
        ASSERT_NE(frame, nullptr);
        EXPECT_TRUE(SolidNear(*frame, kSecondColours[8], 40));
    }
    const std::wstring file = L" file(" + movie_ + L")";
    auto lines = MainLines();
    EXPECT_TRUE(Contains(lines, L"[LOG_LINE] (decode-route) route-switch ds->mf frame=45000000 mf_frame=45000000" +
                                    file + L" ds_released=1"));
    EXPECT_TRUE(Contains(lines, L"[LOG_LINE] (mf-fallback) success frame=45000000" + file));
    EXPECT_TRUE(Contains(lines, L"[LOG_LINE] (mf-fallback) sticky-mf(global) frame=85000000 mf_frame=85000000" + file));

    // A later job for the same movie: no graph at all.
    StallingFrameSource later(folder_.path(), cancel_.get());
    ASSERT_EQ(later.SetContent(movie_), S_OK);
    EXPECT_EQ(later.Source(), nullptr);
    DecodeFrameResult result = Failed;
    Gdiplus::Bitmap* frame = later.DecodeFrame(2 * kSecond + kSecond / 2, &result);
    ASSERT_EQ(result, Success);
    ASSERT_NE(frame, nullptr);
    EXPECT_TRUE(SolidNear(*frame, kSecondColours[2], 40));
    EXPECT_TRUE(Contains(ListLines(), L"(decode-route) sticky-mf setcontent-bypass-ds" + file));
}

// The first frame's budget counts from the end of SetContent.
TEST_F(FrameTimeLimit, FirstFrameBudgetRunsFromOpening) {
    Set(L"decode_first_frame_timeout_ms", 500);
    Set(L"decode_use_media_foundation_on_dshow_fail", 0);
    StallingFrameSource source(folder_.path(), cancel_.get());
    ASSERT_EQ(source.SetContent(movie_), S_OK);
    source.Source()->SetStalled(true);
    // Let the whole first-frame budget pass before the first frame is asked for.
    const ULONGLONG opened = GetTickCount64();
    ASSERT_TRUE(WaitFor([&] { return GetTickCount64() - opened > 600; }, std::chrono::seconds(5)));
    DecodeFrameResult result = Failed;
    EXPECT_EQ(source.DecodeFrame(kSecond, &result), nullptr);
    EXPECT_EQ(result, Timeout);
    EXPECT_TRUE(Contains(MainLines(), L"(timeout)decode_frame wait 0 ms (first)"));
}

TEST_F(FrameTimeLimit, CancelDuringTheWaitEndsTheFrameWithoutFallback) {
    Set(L"decode_frame_timeout_ms", 600000);
    StallingFrameSource source(folder_.path(), cancel_.get());
    ASSERT_EQ(source.SetContent(movie_), S_OK);
    DecodeFrameResult result = Failed;
    ASSERT_NE(source.DecodeFrame(kSecond, &result), nullptr);
    source.Source()->SetStalled(true);

    // Cancel once the frame wait has begun (its "decodeframe-enter" line is written).
    std::thread canceller([&] {
        WaitFor([&] { return Count(MainLines(), L"[LOG_LINE] (decode-route) decodeframe-enter frame=20000000 "
                                                L"first=0 sticky_local=0 sticky_global=0 file(" + movie_ + L")") == 1; });
        SetEvent(cancel_.get());
    });
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(source.DecodeFrame(2 * kSecond, &result), nullptr);
    canceller.join();
    EXPECT_EQ(result, Cancelled);
    EXPECT_LT(GetTickCount64() - start, 60000u);  // far from the 600 s limit
    const auto lines = MainLines();
    EXPECT_TRUE(Contains(lines, L"[LOG_LINE] (decode-route) decodeframe-return-null frame=20000000 result=2 file(" +
                                    movie_ + L")"));
    EXPECT_FALSE(Contains(ListLines(), L"(ini) decode_use_media_foundation_on_dshow_fail=1 frame=20000000 "
                                       L"ds_result=2 file(" + movie_ + L")"));
    EXPECT_EQ(StickyMfFileSet.count(movie_), 0u);
}

}  // namespace
