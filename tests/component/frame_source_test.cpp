// The frame source on real movies: opening, duration, frames whose colour encodes
// their time, and the log lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/support/captured_logs.h"

using namespace testing_support;

namespace {

// Lossy codecs and YUV rounding; far below the distance between any two colours used.
constexpr int kTolerance = 40;

class FrameSource : public CapturedLogsTest {
protected:
    FrameSource() : CapturedLogsTest(L"frame-source") {}
    UniqueHandle cancel_{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
};

// One test movie and the picture size its frames must have.
struct MovieCase {
    const wchar_t* name;
    int width, height;
    int64_t durationSlack = 0;  // how far the reported duration may be from 12 s
    int lastSecond = 11;        // the latest second that DirectShow can seek to
    bool keyframeEvery4s = false;
};
void PrintTo(const MovieCase& movie, std::ostream* os) { *os << Narrow(movie.name); }

class FrameSourceMovies : public FrameSource, public ::testing::WithParamInterface<MovieCase> {};

// Positions in the middle of a second, out of order and back again, so every frame
// must come from its own seek.
//
// Keyframe mode: each frame is the first after a seek to the keyframe at or before its
// position, and the time it is told to show is the source's at that time: the picture
// has the colour of that second. The demuxers stamp frames on their own clocks (an MP4
// with B-frames 80 ms late, a program stream 0.54 s), and seek to keyframes loosely
// (a program stream lands a little late, ASF a keyframe early): the times told follow
// the frames, not the positions. With a keyframe every 4 s the frames are those keyframes.
TEST_P(FrameSourceMovies, FramesShowTheColourOfTheirSecondExactlyAndInKeyframeMode) {
    const MovieCase& movie = GetParam();
    const std::wstring path = Movie(movie.name);
    DShowThumbnailMaker_CL source(folder_.path(), cancel_.get());
    ASSERT_EQ(source.SetContent(path), S_OK) << Narrow(path);
    EXPECT_NEAR(source.GetDuration(), 12 * kSecond, movie.durationSlack);

    for (int second : {0, 5, 2, movie.lastSecond, 7, 3, 8}) {
        Gdiplus::Bitmap* frame = FrameAt(source, MidSecond(second));
        ASSERT_NE(frame, nullptr) << "second " << second;
        EXPECT_EQ(static_cast<int>(frame->GetWidth()), movie.width);
        EXPECT_EQ(static_cast<int>(frame->GetHeight()), movie.height);
        EXPECT_TRUE(SolidNear(*frame, kSecondColours[second], kTolerance)) << "second " << second;
    }
    // Everything came through DirectShow, at the connected size.
    const auto list = ListLines();
    const std::wstring size = std::to_wstring(movie.width) + L"x" + std::to_wstring(movie.height);
    EXPECT_TRUE(Contains(list, L"(decode-route) route=ds setcontent file(" + path + L") source_size=" + size));
    EXPECT_TRUE(Contains(list, L"(decode-route) route=ds frame=" + std::to_wstring(MidSecond(movie.lastSecond)) +
                                   L" file(" + path + L") source_size=" + size));
    for (const auto& line : list) EXPECT_EQ(line.find(L"route-switch"), std::wstring::npos) << Narrow(line);

    DShowThumbnailMaker_CL keyframes(folder_.path(), cancel_.get());
    keyframes.SetSeekToKeyframe(true);
    ASSERT_EQ(keyframes.SetContent(path), S_OK);
    for (int second : {2, 5, 9}) {
        int64_t shown = -1;
        DecodeFrameResult result = Failed;
        Gdiplus::Bitmap* frame = keyframes.DecodeFrame(MidSecond(second), &result, &shown);
        ASSERT_NE(frame, nullptr) << second;
        ASSERT_TRUE(shown >= 0 && shown < 12 * kSecond) << second << " shows " << shown;
        EXPECT_TRUE(SolidNear(*frame, kSecondColours[shown / kSecond], kTolerance)) << second << " shows " << shown;
        EXPECT_TRUE(!movie.keyframeEvery4s || shown == second / 4 * 4 * kSecond) << second << " shows " << shown;
    }
}
INSTANTIATE_TEST_SUITE_P(
    RealMovies, FrameSourceMovies,
    ::testing::Values(MovieCase{L"seconds_640x360_h264_aac.mp4", 640, 360},
                      MovieCase{L"seconds_640x360_noaudio.mp4", 640, 360},
                      MovieCase{L"seconds_640x360_mjpeg_pcm.avi", 640, 360},
                      MovieCase{L"seconds_640x360_vp9.webm", 640, 360},
                      // Their demuxers estimate the duration (12.05 s and 11.98 s here). The
                      // program stream's clock starts 0.54 s in, and Wine's demuxer seeks by
                      // that clock: its last second is out of DirectShow's reach.
                      MovieCase{L"seconds_640x360_wmv2_wma.wmv", 640, 360, kSecond / 10},
                      MovieCase{L"seconds_640x360_mpeg2_mp2.mpg", 640, 360, kSecond / 10, 10},
                      MovieCase{L"seconds_1920x1080_h264.mp4", 1920, 1080},
                      MovieCase{L"seconds_640x360_gop4s.mp4", 640, 360, 0, 11, true},  // exact: not the keyframes
                      MovieCase{L"seconds_322x242_h264.mp4", 322, 242}),
    [](const ::testing::TestParamInfo<MovieCase>& info) {
        std::string name = Narrow(info.param.name);
        for (char& c : name)
            if (!isalnum(static_cast<unsigned char>(c))) c = '_';
        return name;
    });

// Movies that players show turned (a display matrix) or widened (non-square pixels):
// both routes give the picture that ffmpeg's own decode shows at the same time.
TEST_F(FrameSource, TurnedAndWidenedMoviesComeOutAsPlayersShowThem) {
    const wchar_t* movies[] = {L"rotated90_640x360_h264.mp4", L"rotated180_640x360_h264.mp4",
                               L"rotated270_640x360_h264.mp4", L"rotated90_640x360_h264.mov",
                               L"anamorphic_720x576_par64x45_h264.mp4", L"anamorphic_720x576_par64x45_h264.mkv"};
    for (const wchar_t* name : movies) {
        const std::wstring path = Movie(name);
        ImagePixels shown;
        ASSERT_TRUE(LoadImagePixels(path + L".shown.png", shown)) << Narrow(name);
        for (const bool mediaFoundation : {false, true}) {
            SCOPED_TRACE(Narrow(name) + (mediaFoundation ? " through Media Foundation" : " through DirectShow"));
            if (mediaFoundation) SetMediaFoundationRoute(path, true);
            DShowThumbnailMaker_CL source(folder_.path(), cancel_.get());
            ASSERT_EQ(source.SetContent(path), S_OK);
            Gdiplus::Bitmap* frame = FrameAt(source, 15000000);
            SetMediaFoundationRoute(path, false);
            ASSERT_NE(frame, nullptr);
            ImagePixels seen;
            ASSERT_TRUE(BitmapPixels(*frame, seen));
            EXPECT_TRUE(SamePicture(seen, shown, 40));
        }
    }
}

TEST_F(FrameSource, FileThatIsNotAMovieFailsToOpen) {
    const std::wstring path = Movie(L"not_a_movie.mp4");
    DShowThumbnailMaker_CL source(folder_.path(), cancel_.get());
    EXPECT_EQ(source.SetContent(path), E_FAIL);
    EXPECT_EQ(source.GetDuration(), 0);
    EXPECT_TRUE(Contains(MainLines(), L"コーデックが存在しないか、非対応ファイルです。"));
    // Nothing to seek: a frame fails fast, without a switch to Media Foundation.
    DecodeFrameResult result = Success;
    EXPECT_EQ(source.DecodeFrame(kSecond, &result), nullptr);
    EXPECT_EQ(result, Failed);
    EXPECT_TRUE(Contains(ListLines(), L"(decode-route) ds-seek-null frame=10000000 file(" + path + L")"));
}

}  // namespace
