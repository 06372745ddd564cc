// Frame wait limits, timeouts, cancellation and the switch to Media Foundation, caused
// deterministically by a test source filter that stalls its stream on command.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "common/inifile.h"
#include "service/dshow/movie_helper.h"
#include "tests/support/captured_logs.h"
#include "tests/support/stall_source.h"

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

// The stall source's frame `index` fills the picture: its centre has the frame's grey.
::testing::AssertionResult ShowsFrame(Gdiplus::Bitmap* frame, int64_t index) {
    if (!frame) return ::testing::AssertionFailure() << "no frame " << index;
    const unsigned grey = static_cast<unsigned>(StallSourceFilter::GreyOfFrame(index));
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
    // Opens the movie on the stall source and takes one frame while the stream flows.
    void OpenWithOneFrame(StallingFrameSource& source) {
        ASSERT_EQ(source.SetContent(movie_), S_OK);
        ASSERT_TRUE(ShowsFrame(FrameAt(source, kSecond), kSecond / StallSourceFilter::kFrameTime));
    }

    Inifile_CL ini_;
    UniqueHandle cancel_{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    const std::wstring movie_ = Movie(L"seconds_640x360_noaudio.mp4");
};

TEST_F(FrameTimeLimit, LimitsAreReadAndClamped) {
    FrameTimeLimits limits = ReadFrameTimeLimits(folder_.path());
    EXPECT_EQ(limits.frameTimeoutMs, 10000);
    EXPECT_EQ(limits.firstFrameTimeoutMs, 30000);
    // {frame set, first frame set, frame read back, first frame read back}
    const int cases[][4] = {{100, 700000, 500, 600000}, {500, 600000, 500, 600000}, {499, 600001, 500, 600000}};
    for (const auto& c : cases) {
        Set(L"decode_frame_timeout_ms", c[0]);
        Set(L"decode_first_frame_timeout_ms", c[1]);
        limits = ReadFrameTimeLimits(folder_.path());
        EXPECT_EQ(limits.frameTimeoutMs, c[2]) << c[0];
        EXPECT_EQ(limits.firstFrameTimeoutMs, c[3]) << c[1];
    }
}

// The limits are read at each frame: a change between two frames shows in the next
// frame's "(ini)" line, already clamped. Each seek on the same graph brings exactly
// the frame of its position.
TEST_F(FrameTimeLimit, EachFrameReadsTheSettingsAgain) {
    StallingFrameSource source(folder_.path(), cancel_.get());
    ASSERT_NO_FATAL_FAILURE(OpenWithOneFrame(source));
    EXPECT_EQ(source.GetDuration(), kDuration);
    Set(L"decode_frame_timeout_ms", 100);
    Set(L"decode_first_frame_timeout_ms", 900000);
    for (int64_t index : {250, 3, 120, 121})
        EXPECT_TRUE(ShowsFrame(FrameAt(source, index * StallSourceFilter::kFrameTime), index));
    const auto list = ListLines();
    const std::wstring tail = L" file(" + movie_ + L")";
    EXPECT_TRUE(Contains(list, L"(ini) decode_frame_timeout_ms=10000 decode_first_frame_timeout_ms=30000" + tail));
    EXPECT_TRUE(Contains(list, L"(ini) decode_frame_timeout_ms=500 decode_first_frame_timeout_ms=600000" + tail));
}

TEST_F(FrameTimeLimit, StalledFrameTimesOutAndSwitchOffRetriesOnTheSameGraph) {
    Set(L"decode_frame_timeout_ms", 500);
    Set(L"decode_use_media_foundation_on_dshow_fail", 0);
    StallingFrameSource source(folder_.path(), cancel_.get());
    ASSERT_NO_FATAL_FAILURE(OpenWithOneFrame(source));

    source.Source()->SetStalled(true);
    DecodeFrameResult result = Failed;
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
    EXPECT_TRUE(ShowsFrame(FrameAt(source, 200 * StallSourceFilter::kFrameTime), 200));
    EXPECT_FALSE(Contains(ListLines(), L"(mf-fallback) start"));
}

// With the switch on (the default) a timed-out frame comes from Media Foundation, and
// the movie stays there: later frames, and a later SetContent, skip DirectShow.
TEST_F(FrameTimeLimit, StalledFrameMovesTheMovieToMediaFoundationForGood) {
    Set(L"decode_frame_timeout_ms", 500);
    {
        StallingFrameSource source(folder_.path(), cancel_.get());
        ASSERT_NO_FATAL_FAILURE(OpenWithOneFrame(source));
        source.Source()->SetStalled(true);
        // The real movie's picture (640x360 solid colour), not the stall source's.
        for (int second : {4, 8}) {
            Gdiplus::Bitmap* frame = FrameAt(source, MidSecond(second));
            ASSERT_NE(frame, nullptr) << second;
            EXPECT_EQ(frame->GetWidth(), 640u);
            EXPECT_TRUE(SolidNear(*frame, kSecondColours[second], 40)) << second;
            EXPECT_EQ(StickyMfFileSet.count(movie_), 1u);
        }
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
    Gdiplus::Bitmap* frame = FrameAt(later, MidSecond(2));
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
    ASSERT_NO_FATAL_FAILURE(OpenWithOneFrame(source));
    source.Source()->SetStalled(true);

    // Cancel once the frame wait has begun (its "decodeframe-enter" line is written).
    std::thread canceller([&] {
        WaitFor([&] { return Count(MainLines(), L"[LOG_LINE] (decode-route) decodeframe-enter frame=20000000 "
                                                L"first=0 sticky_local=0 sticky_global=0 file(" + movie_ + L")") == 1; });
        SetEvent(cancel_.get());
    });
    const ULONGLONG start = GetTickCount64();
    DecodeFrameResult result = Failed;
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

// The service's cancel event resets itself: the Media Foundation route only looks at
// it, and the frame source reports the cancel from both of its Media Foundation routes.
TEST_F(FrameTimeLimit, CancelSeenByMediaFoundationIsReportedAsCancelled) {
    const std::wstring cancelLine = L"(mf-fallback) cancel iter=0 frame=20000000 file(" + movie_ + L")";
    StickyMfFileSet.insert(movie_);
    {
        StallingFrameSource source(folder_.path(), cancel_.get());
        ASSERT_EQ(source.SetContent(movie_), S_OK);
        SetEvent(cancel_.get());
        DecodeFrameResult result = Success;
        EXPECT_EQ(source.DecodeFrame(2 * kSecond, &result), nullptr);
        EXPECT_EQ(result, Cancelled);
        EXPECT_EQ(Count(ListLines(), cancelLine), 1u);
        EXPECT_EQ(WaitForSingleObject(cancel_.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
    }
    StickyMfFileSet.erase(movie_);

    // The switch: an APC that sets the cancel ends DirectShow's alertable frame wait as a
    // failure, so the cancel is first seen by the Media Foundation route that follows.
    Set(L"decode_frame_timeout_ms", 600000);
    StallingFrameSource source(folder_.path(), cancel_.get());
    ASSERT_NO_FATAL_FAILURE(OpenWithOneFrame(source));
    source.Source()->SetStalled(true);
    HANDLE self = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self,
                                THREAD_SET_CONTEXT, FALSE, 0));
    UniqueHandle decodingThread(self);
    std::thread canceller([&] {
        WaitFor([&] { return Count(MainLines(), L"[LOG_LINE] (decode-route) decodeframe-enter frame=20000000 "
                                                L"first=0 sticky_local=0 sticky_global=0 file(" + movie_ + L")") == 1; });
        QueueUserAPC([](ULONG_PTR event) { SetEvent(reinterpret_cast<HANDLE>(event)); }, decodingThread.get(),
                     reinterpret_cast<ULONG_PTR>(cancel_.get()));
    });
    DecodeFrameResult result = Success;
    EXPECT_EQ(source.DecodeFrame(2 * kSecond, &result), nullptr);
    canceller.join();
    EXPECT_EQ(result, Cancelled);
    EXPECT_EQ(Count(ListLines(), cancelLine), 2u) << Dump(ListLines());
    EXPECT_TRUE(Contains(MainLines(), L"[LOG_LINE] (decode-route) decodeframe-return-null frame=20000000 result=2 file(" +
                                          movie_ + L")"));
}

}  // namespace
