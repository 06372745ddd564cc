// The frame source on real movies: duration, frames whose colour encodes their time, and
// movies that players show turned or widened.
#include <gtest/gtest.h>

#include "testing/support/captured_logs.h"

using namespace testing_support;

namespace {

constexpr int kTolerance = 40;  // lossy codecs and YUV rounding; far below any two colours' distance

struct FrameSource : CapturedLogsTest {
    FrameSource() : CapturedLogsTest(L"frame-source") {}
    UniqueHandle cancel_{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
};
struct MovieCase {
    const wchar_t* name;
    int width, height;
    int64_t durationSlack = 0;  // how far the reported duration may be from 12 s
    int lastSecond = 11;        // the latest second that DirectShow can seek to
};
void PrintTo(const MovieCase& movie, std::ostream* os) { *os << Narrow(movie.name); }
class FrameSourceMovies : public FrameSource, public ::testing::WithParamInterface<MovieCase> {};

// Positions out of order and back again, so every frame must come from its own seek,
// all through DirectShow at the connected size. In keyframe mode the time told is the
// source's for the frame shown (demuxers stamp and seek to keyframes loosely): the
// picture has the colour of that second.
TEST_P(FrameSourceMovies, FramesShowTheColourOfTheirSecondExactlyAndInKeyframeMode) {
    const MovieCase& movie = GetParam();
    const std::wstring path = Movie(movie.name);
    DShowThumbnailMaker_CL source(folder_.path(), cancel_.get());
    ASSERT_EQ(source.SetContent(path), S_OK) << Narrow(path);
    EXPECT_NEAR(source.GetDuration(), 12 * kSecond, movie.durationSlack);
    for (int second : {0, 5, 2, movie.lastSecond, 7, 3, 8}) {
        Gdiplus::Bitmap* frame = FrameAt(source, MidSecond(second));
        EXPECT_TRUE(frame && static_cast<int>(frame->GetWidth()) == movie.width && static_cast<int>(frame->GetHeight()) == movie.height &&
                    SolidNear(*frame, kSecondColours[second], kTolerance)) << "second " << second;
    }
    for (const auto& line : MainLines()) EXPECT_EQ(line.find(L"route-switch"), std::wstring::npos) << Narrow(line);

    DShowThumbnailMaker_CL keyframes(folder_.path(), cancel_.get());
    keyframes.SetSeekToKeyframe(true);
    ASSERT_EQ(keyframes.SetContent(path), S_OK);
    for (int second : {2, 5, 9}) {
        int64_t shown = -1;
        DecodeFrameResult result = Failed;
        Gdiplus::Bitmap* frame = keyframes.DecodeFrame(MidSecond(second), &result, &shown);
        EXPECT_TRUE(frame && shown >= 0 && shown < 12 * kSecond && SolidNear(*frame, kSecondColours[shown / kSecond], kTolerance))
            << second << " shows " << shown;
    }
}
INSTANTIATE_TEST_SUITE_P(
    RealMovies, FrameSourceMovies,
    ::testing::Values(MovieCase{L"seconds_640x360_h264_aac.mp4", 640, 360}, MovieCase{L"seconds_640x360_noaudio.mp4", 640, 360},
                      MovieCase{L"seconds_640x360_mjpeg_pcm.avi", 640, 360}, MovieCase{L"seconds_640x360_vp9.webm", 640, 360},
                      // Estimated durations (12.05 s and 11.98 s); the program stream's clock
                      // starts 0.54 s in, and Wine seeks by it: its last second is out of reach.
                      MovieCase{L"seconds_640x360_wmv2_wma.wmv", 640, 360, kSecond / 10},
                      MovieCase{L"seconds_640x360_mpeg2_mp2.mpg", 640, 360, kSecond / 10, 10},
                      MovieCase{L"seconds_1920x1080_h264.mp4", 1920, 1080}, MovieCase{L"seconds_322x242_h264.mp4", 322, 242},
                      MovieCase{L"seconds_640x360_gop4s.mp4", 640, 360}));

// A display matrix or non-square pixels: both routes give the picture that ffmpeg's own
// decode shows at the same time.
TEST_F(FrameSource, TurnedAndWidenedMoviesComeOutAsPlayersShowThem) {
    for (const wchar_t* name : {L"rotated90_640x360_h264.mp4", L"rotated180_640x360_h264.mp4", L"rotated270_640x360_h264.mp4",
                                L"rotated90_640x360_h264.mov", L"anamorphic_720x576_par64x45_h264.mp4",
                                L"anamorphic_720x576_par64x45_h264.mkv"}) {
        const std::wstring path = Movie(name);
        ImagePixels shown, seen;  // ffmpeg's picture, and the frame source's
        ASSERT_TRUE(LoadImagePixels(path + L".shown.png", shown)) << Narrow(name);
        for (const bool mediaFoundation : {false, true}) {
            SCOPED_TRACE(Narrow(name) + (mediaFoundation ? " through Media Foundation" : " through DirectShow"));
            if (mediaFoundation) SetMediaFoundationRoute(path, true);
            DShowThumbnailMaker_CL source(folder_.path(), cancel_.get());
            ASSERT_EQ(source.SetContent(path), S_OK);
            Gdiplus::Bitmap* frame = FrameAt(source, 15000000);
            SetMediaFoundationRoute(path, false);
            ASSERT_TRUE(frame && BitmapPixels(*frame, seen));
            EXPECT_TRUE(SamePicture(seen, shown, 40));
        }
    }
}

}  // namespace
