// The frame source on real movies: opening, duration, frames whose colour encodes
// their time, the capture renderer's place in the graph, and the log lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/log.h"
#include "common/scoped.h"
#include "service/dshow/movie_helper.h"
#include "service/frame_source/thumbnail_maker.h"
#include "tests/support/frame_pixels.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

// Lossy codecs and YUV rounding; far below the distance between any two colours used.
constexpr int kTolerance = 40;

std::string Narrow(const std::wstring& s) { return std::string(s.begin(), s.end()); }

bool AnyStartsWith(const std::vector<std::wstring>& lines, const std::wstring& prefix) {
    for (const auto& line : lines)
        if (line.compare(0, prefix.size(), prefix) == 0) return true;
    return false;
}

class FrameSource : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(com_.result()));
        ASSERT_TRUE(gdiplus_.ok());
        mainLog.path = folder_.file(L"kestrel_log.txt");
        decodeListLog.path = folder_.file(L"kestrel_dec_list.txt");
    }
    void TearDown() override {
        mainLog.path.clear();
        decodeListLog.path.clear();
    }
    std::vector<std::wstring> MainLines() const { return ReadLogMessages(mainLog.path); }
    std::vector<std::wstring> ListLines() const { return ReadLogMessages(decodeListLog.path); }

    ComApartment com_;
    GdiplusSession gdiplus_;
    ScratchFolder folder_{L"frame-source"};
    UniqueHandle cancel_{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
};

struct MovieCase {
    const wchar_t* name;
    int width, height;
    int64_t duration;
};

void PrintTo(const MovieCase& movie, std::ostream* os) { *os << Narrow(movie.name); }

class FrameSourceMovies : public FrameSource, public ::testing::WithParamInterface<MovieCase> {};

// Positions in the middle of a second, out of order and back again, so every frame
// must come from its own seek.
TEST_P(FrameSourceMovies, FramesAtPositionsShowTheColourOfTheirSecond) {
    const MovieCase& movie = GetParam();
    const std::wstring path = Movie(movie.name);
    DShowThumbnailMaker_CL source(folder_.path(), cancel_.get());
    ASSERT_EQ(source.SetContent(path), S_OK) << Narrow(path);
    EXPECT_EQ(source.GetDuration(), movie.duration);

    for (int second : {0, 5, 2, 11, 7, 3, 8}) {
        const int64_t position = second * kSecond + kSecond / 2;
        DecodeFrameResult result = Failed;
        Gdiplus::Bitmap* frame = source.DecodeFrame(position, &result);
        ASSERT_EQ(result, Success) << "second " << second;
        ASSERT_NE(frame, nullptr);
        EXPECT_EQ(static_cast<int>(frame->GetWidth()), movie.width);
        EXPECT_EQ(static_cast<int>(frame->GetHeight()), movie.height);
        EXPECT_TRUE(SolidNear(*frame, kSecondColours[second], kTolerance)) << "second " << second;
    }
    // Everything came through DirectShow, at the connected size.
    const auto list = ListLines();
    const std::wstring size = std::to_wstring(movie.width) + L"x" + std::to_wstring(movie.height);
    EXPECT_TRUE(Contains(list, L"(decode-route) route=ds setcontent file(" + path + L") source_size=" + size));
    EXPECT_TRUE(Contains(list, L"(decode-route) route=ds frame=" + std::to_wstring(11 * kSecond + kSecond / 2) +
                                   L" file(" + path + L") source_size=" + size));
    EXPECT_FALSE(AnyStartsWith(list, L"(decode-route) route-switch"));
}

INSTANTIATE_TEST_SUITE_P(
    RealMovies, FrameSourceMovies,
    ::testing::Values(MovieCase{L"seconds_640x360_h264_aac.mp4", 640, 360, 120000000},
                      MovieCase{L"seconds_640x360_noaudio.mp4", 640, 360, 120000000},
                      MovieCase{L"seconds_640x360_mjpeg_pcm.avi", 640, 360, 120000000},
                      MovieCase{L"seconds_640x360_vp9.webm", 640, 360, 120000000},
                      MovieCase{L"seconds_1920x1080_h264.mp4", 1920, 1080, 120000000},
                      MovieCase{L"seconds_322x242_h264.mp4", 322, 242, 120000000}),
    [](const ::testing::TestParamInfo<MovieCase>& info) {
        std::string name = Narrow(info.param.name);
        for (char& c : name)
            if (!isalnum(static_cast<unsigned char>(c))) c = '_';
        return name;
    });

// No sound device here: the audio path cannot be rendered, yet the movie opens and its
// first frame (asked for at 0, with the warning line) is the first second's colour.
TEST_F(FrameSource, MovieWithSoundOpensWithoutSoundDeviceAndFrameZeroIsWarned) {
    const std::wstring path = Movie(L"seconds_640x360_h264_aac.mp4");
    DShowThumbnailMaker_CL source(folder_.path(), cancel_.get());
    ASSERT_EQ(source.SetContent(path), S_OK);
    DecodeFrameResult result = Failed;
    Gdiplus::Bitmap* frame = source.DecodeFrame(0, &result);
    ASSERT_EQ(result, Success);
    ASSERT_NE(frame, nullptr);
    EXPECT_TRUE(SolidNear(*frame, kSecondColours[0], kTolerance));
    const auto lines = MainLines();
    EXPECT_TRUE(Contains(lines, L"(file)" + path));
    EXPECT_TRUE(Contains(lines, L"[LOG_LINE] (decode-route) warning frame_zero file(" + path + L")"));
    EXPECT_TRUE(Contains(lines, L"[LOG_LINE] (decode-route) decodeframe-enter frame=0 first=1 sticky_local=0 "
                                L"sticky_global=0 file(" + path + L")"));
    EXPECT_FALSE(Contains(lines, L"コーデックが存在しないか、非対応ファイルです。"));
}

// A second SetContent on the same frame source opens the new movie; the frame handed
// out before stays valid until then.
TEST_F(FrameSource, SecondMovieOnTheSameFrameSource) {
    DShowThumbnailMaker_CL source(folder_.path(), cancel_.get());
    ASSERT_EQ(source.SetContent(Movie(L"seconds_322x242_h264.mp4")), S_OK);
    DecodeFrameResult result = Failed;
    Gdiplus::Bitmap* first = source.DecodeFrame(4 * kSecond + kSecond / 2, &result);
    ASSERT_EQ(result, Success);
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(SolidNear(*first, kSecondColours[4], kTolerance));

    ASSERT_EQ(source.SetContent(Movie(L"seconds_640x360_mjpeg_pcm.avi")), S_OK);
    Gdiplus::Bitmap* second = source.DecodeFrame(9 * kSecond + kSecond / 2, &result);
    ASSERT_EQ(result, Success);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->GetWidth(), 640u);
    EXPECT_TRUE(SolidNear(*second, kSecondColours[9], kTolerance));
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

// A movie known to need Media Foundation skips DirectShow from SetContent on; the
// bypass line is written once per path and process.
TEST_F(FrameSource, StickyMovieBypassesDirectShow) {
    const std::wstring path = Movie(L"seconds_640x360_noaudio.mp4");
    StickyMfFileSet.insert(path);
    {
        DShowThumbnailMaker_CL source(folder_.path(), cancel_.get());
        ASSERT_EQ(source.SetContent(path), S_OK);
        EXPECT_EQ(source.GetDuration(), 0);
        DecodeFrameResult result = Failed;
        Gdiplus::Bitmap* frame = source.DecodeFrame(6 * kSecond + kSecond / 2, &result);
        ASSERT_EQ(result, Success);
        ASSERT_NE(frame, nullptr);
        EXPECT_TRUE(SolidNear(*frame, kSecondColours[6], kTolerance));
        ASSERT_EQ(source.SetContent(path), S_OK);
    }
    StickyMfFileSet.erase(path);
    StickyMfBypassLogSet.erase(path);
    const std::wstring bypass = L"(decode-route) sticky-mf setcontent-bypass-ds file(" + path + L")";
    EXPECT_EQ(Count(ListLines(), bypass), 1u);
    EXPECT_EQ(Count(MainLines(), L"[LOG_LINE] " + bypass), 1u);
    EXPECT_TRUE(Contains(ListLines(), L"(mf-fallback) sticky-mf(global) frame=65000000 mf_frame=65000000 file(" +
                                          path + L")"));
    EXPECT_FALSE(Contains(MainLines(), L"(file)" + path));
}

// The graph object on its own: after rendering a movie with sound the capture renderer
// holds the video, the edits add the two Null Renderers, and RemoveDownstream takes a
// filter out together with everything after it.
TEST_F(FrameSource, MovieGraphEditsAndRemoveDownstream) {
    DShowMovieHelper_CL helper;
    ASSERT_EQ(helper.Initialize(MEDIASUBTYPE_YUY2), S_OK);
    BString file(Movie(L"seconds_640x360_mjpeg_pcm.avi").c_str());
    ASSERT_TRUE(SUCCEEDED(helper.mediaControl->RenderFile(file.get())));
    EXPECT_EQ(helper.EditFilterGraphToVideo(), S_OK);
    EXPECT_EQ(helper.EditFilterGraphToAudio(), S_OK);
    EXPECT_TRUE(helper.HasFilterNamed(L"NullRenderer-Video"));
    EXPECT_TRUE(helper.HasFilterNamed(L"NullRenderer-Audio"));
    EXPECT_NE(helper.traceText.find(L"■EditFilterGraphToVideo()\r\n"), std::wstring::npos);
    EXPECT_NE(helper.traceText.find(L"\tSample Grabber\r\n"), std::wstring::npos);

    // The filter that feeds the capture renderer, and what hangs off it, go.
    Microsoft::WRL::ComPtr<IPin> input = DShowMovieHelper_CL::FindPinByDirection(helper.captureFilter.Get(), PINDIR_INPUT);
    ASSERT_NE(input, nullptr);
    Microsoft::WRL::ComPtr<IPin> upstream;
    ASSERT_EQ(input->ConnectedTo(&upstream), S_OK);
    PIN_INFO info{};
    ASSERT_EQ(upstream->QueryPinInfo(&info), S_OK);
    Microsoft::WRL::ComPtr<IBaseFilter> feeder;
    feeder.Attach(info.pFilter);
    EXPECT_EQ(DShowMovieHelper_CL::FindOutputPinByMajorType(feeder.Get(), MEDIATYPE_Video), upstream);
    upstream.Reset();
    helper.RemoveDownstream(feeder.Get());
    EXPECT_FALSE(helper.HasFilterNamed(L"Sample Grabber"));
    EXPECT_FALSE(helper.IsCaptureConnected());
    EXPECT_TRUE(helper.HasFilterNamed(L"NullRenderer-Video"));
}

}  // namespace
