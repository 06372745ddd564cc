// The frame source on real movies: duration, frames whose colour encodes their time, and
// movies that players show turned or widened; RGB32 samples of either row order upright.
#include <gtest/gtest.h>

#include "common/console.h"
#include "service/dshow/thumbnail_sample_grabber.h"
#include "testing/support/captured_logs.h"

using namespace testing_support;

namespace {

constexpr int kTolerance = 40;  // lossy codecs and YUV rounding; far below any two colours' distance

using FrameSource = CapturedLogsTest;
struct MovieCase {
    const wchar_t* name;
    int width, height;
    int64_t durationSlack = 0;  // how far the reported duration may be from 12 s
    int lastSecond = 11;        // the latest second that DirectShow can seek to
};
void PrintTo(const MovieCase& movie, std::ostream* os) { *os << ToUtf8(movie.name); }

// The same size, and the same mean colours in a 4x4 grid (a frame or two apart in time, or
// another scaler, changes them little; a turn, a mirror or a squeeze a lot).
::testing::AssertionResult SamePicture(const ImagePixels& seen, const ImagePixels& want) {
    if (seen.width != want.width || seen.height != want.height)
        return ::testing::AssertionFailure() << seen.width << "x" << seen.height << " instead of " << want.width << "x"
                                             << want.height;
    const int w = seen.width / 4, h = seen.height / 4;
    for (int cell = 0; cell < 16; ++cell) {
        const int x = cell % 4 * w, y = cell / 4 * h;
        if (!Near(seen.Average(x, y, w, h), want.Average(x, y, w, h), kTolerance))
            return ::testing::AssertionFailure() << "cell " << cell % 4 << "," << cell / 4;
    }
    return ::testing::AssertionSuccess();
}
class FrameSourceMovies : public FrameSource, public ::testing::WithParamInterface<MovieCase> {};

// Positions out of order, so every frame comes from its own seek, through DirectShow at
// the connected size. (Keyframe mode is the thumbnail job's run on the real service.)
TEST_P(FrameSourceMovies, FramesShowTheColourOfTheirSecondExactly) {
    const MovieCase& movie = GetParam();
    const std::wstring path = Movie(movie.name);
    DShowThumbnailMaker_CL source(folder_.path(), cancel_.get());
    ASSERT_EQ(source.SetContent(path), S_OK) << ToUtf8(path);
    EXPECT_NEAR(source.GetDuration(), 12 * kSecond, movie.durationSlack);
    for (int second : {0, 5, 2, movie.lastSecond, 7, 3, 8}) {
        Gdiplus::Bitmap* frame = FrameAt(source, MidSecond(second));
        ImagePixels image;  // one colour all over
        EXPECT_TRUE(frame && BitmapPixels(*frame, image) && image.width == movie.width &&
                    image.height == movie.height && Near(image.Average(0, 0, image.width, image.height),
                                                         FromHex(kSecondColours[second]), kTolerance))
            << "second " << second;
    }
    for (const auto& line : MainLines()) EXPECT_EQ(line.find(L"route-switch"), std::wstring::npos) << ToUtf8(line);
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

// The number a frame of the frame-number movie shows.
int FrameNumber(Gdiplus::Bitmap& frame) {
    ImagePixels image;
    if (!BitmapPixels(frame, image) || image.width != 400 || image.height != 40) return -1;
    int number = 0;
    for (int bit = 0; bit < 10; ++bit) number |= image.At(40 * bit + 20, 20).g > 128 ? 1 << bit : 0;
    return number;
}

// Exact frames far from the keyframe before them are decoded on to, from the frame held or
// from a seek near that keyframe, and the decoder drops the frames before them: each is
// still the frame that covers its position (25 frames a second), whether the position is a
// frame's start or its middle, the last frame before a keyframe, a keyframe, or one back.
TEST_F(FrameSource, DecodingOnBringsTheFrameThatCoversEachPosition) {
    DShowThumbnailMaker_CL source(folder_.path(), cancel_.get());
    ASSERT_EQ(source.SetContent(Movie(L"frame_numbers_400x40_h264.mp4")), S_OK);
    ASSERT_TRUE(source.Keyframes().Known());
    const int64_t kFrame = kSecond / 25;
    for (const int64_t position : {kSecond / 2, kSecond / 2 + 3 * kFrame / 4, 49 * kFrame, 2 * kSecond,
                                   2 * kSecond + 5 * kFrame / 2, 3 * kSecond + 9 * kSecond / 10, kSecond, 192 * kFrame,
                                   12 * kSecond - kFrame, int64_t{0}, 5 * kSecond, 5 * kSecond + kFrame / 2}) {
        Gdiplus::Bitmap* frame = FrameAt(source, position);
        EXPECT_TRUE(frame && FrameNumber(*frame) == position / kFrame) << position;
    }
    int decodedOn = 0;
    for (const auto& line : MainLines()) {
        decodedOn += line.find(L"ds-decode-on from") != std::wstring::npos ? 1 : 0;
        EXPECT_EQ(line.find(L"ds-decode-on off"), std::wstring::npos) << ToUtf8(line);
    }
    // All but the keyframe and the first frame.
    EXPECT_EQ(decodedOn, 10);
}

// A frame far longer than the ones before it is let go by the decoder as late while
// decoding on to a time it covers: the source notices, seeks instead, and decodes no more
// of this movie on. (A seek into that frame brings it or, in Wine, the frame after it.)
TEST_F(FrameSource, AFrameMissedWhileDecodingOnIsSoughtAndTheMovieIsSoughtFromThenOn) {
    DShowThumbnailMaker_CL source(folder_.path(), cancel_.get());
    ASSERT_EQ(source.SetContent(Movie(L"frame_numbers_long_frame_400x40_h264.mp4")), S_OK);
    const struct {
        int64_t position;
        int first, last;  // the frame numbers it may show
    } steps[] = {{kSecond, 25, 25}, {5 * kSecond / 2, 50, 51}, {3 * kSecond + kSecond / 25, 52, 52},
                 {7 * kSecond / 2, 63, 63}};
    for (const auto& step : steps) {
        Gdiplus::Bitmap* frame = FrameAt(source, step.position);
        const int number = frame ? FrameNumber(*frame) : -1;
        EXPECT_TRUE(number >= step.first && number <= step.last) << step.position << ": " << number;
    }
    std::vector<std::wstring> decodes;
    int waits = 0;  // for the frame missed: decoding on, then the seek
    for (const auto& line : MainLines()) {
        if (line.find(L"ds-decode-on") != std::wstring::npos) decodes.push_back(line);
        waits += line.find(L"ds-wait-end frame=25000000 ") != std::wstring::npos ? 1 : 0;
    }
    ASSERT_EQ(decodes.size(), 3u);
    EXPECT_NE(decodes[2].find(L"ds-decode-on off frame=25000000"), std::wstring::npos) << ToUtf8(decodes[2]);
    EXPECT_EQ(waits, 2);
}

// A display matrix or non-square pixels: both routes give the picture that ffmpeg's own
// decode shows at the same time.
TEST_F(FrameSource, TurnedAndWidenedMoviesComeOutAsPlayersShowThem) {
    for (const wchar_t* name : {L"rotated90_640x360_h264.mp4", L"rotated180_640x360_h264.mp4", L"rotated270_640x360_h264.mp4",
                                L"rotated90_640x360_h264.mov", L"anamorphic_720x576_par64x45_h264.mp4",
                                L"anamorphic_720x576_par64x45_h264.mkv"}) {
        const std::wstring path = Movie(name);
        ImagePixels shown, seen;  // ffmpeg's picture, and the frame source's
        ASSERT_TRUE(LoadImagePixels(path + L".shown.png", shown)) << ToUtf8(name);
        for (const bool mediaFoundation : {false, true}) {
            SCOPED_TRACE(ToUtf8(name) + (mediaFoundation ? " through Media Foundation" : " through DirectShow"));
            if (mediaFoundation) SetMediaFoundationRoute(path, true);
            DShowThumbnailMaker_CL source(folder_.path(), cancel_.get());
            ASSERT_EQ(source.SetContent(path), S_OK);
            Gdiplus::Bitmap* frame = FrameAt(source, 15000000);
            SetMediaFoundationRoute(path, false);
            ASSERT_TRUE(frame && BitmapPixels(*frame, seen));
            EXPECT_TRUE(SamePicture(seen, shown));
        }
    }
}

// Two rows of two pixels, bottom row (red) first as a bottom-up sample holds them, then blue; a
// top-down connection (negative height) keeps its first row at the top.
TEST_F(FrameSource, Rgb32SamplesComeOutUpright) {
    const uint8_t rows[16] = {0, 0, 255, 0, 0, 0, 255, 0, 255, 0, 0, 0, 255, 0, 0, 0};
    for (const int height : {2, -2}) {
        auto bitmap = BitmapFromVideoSample(rows, sizeof(rows), SamplePixels::Rgb32, 2, height);
        ImagePixels image;
        const unsigned top = height < 0 ? 0xFF0000 : 0x0000FF;  // the first row or the last
        EXPECT_TRUE(bitmap && BitmapPixels(*bitmap, image) && Near(image.At(1, 0), FromHex(top), 0)) << height;
    }
}

}  // namespace
