// The Media Foundation frame route on real movies: pixels, sizes, and the log lines
// of its success, end-of-stream, cancel and open-failure paths.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "service/frame_source/media_foundation_decode.h"
#include "testing/support/captured_logs.h"

using namespace testing_support;

namespace {

// YUV rounding and lossy codecs.
constexpr int kTolerance = 24;

class MediaFoundationDecode : public CapturedLogsTest {
protected:
    MediaFoundationDecode() : CapturedLogsTest(L"mf-decode") {}
    std::unique_ptr<Gdiplus::Bitmap> Decode(const std::wstring& path, int64_t mfFrame, HANDLE cancel = nullptr) {
        return std::unique_ptr<Gdiplus::Bitmap>(DecodeFrameWithMediaFoundation(path, cancel, mfFrame));
    }
};

TEST_F(MediaFoundationDecode, PictureIsUprightAndNotMirrored) {
    // testsrc2: a dark timecode box at the top left, bright red below it, cyan on the right.
    auto frame = Decode(Movie(L"testsrc2_640x360_h264.mp4"), 45 * kSecond / 10);
    ASSERT_NE(frame, nullptr) << Dump(MainLines());
    EXPECT_TRUE(PixelNear(*frame, 4, 4, 0x3F0000, kTolerance));
    EXPECT_TRUE(PixelNear(*frame, 30, 345, 0xFD0000, kTolerance));
    EXPECT_TRUE(PixelNear(*frame, 630, 10, 0x00FFFF, kTolerance));
    EXPECT_TRUE(PixelNear(*frame, 630, 350, 0x00FFFF, kTolerance));
}

TEST_F(MediaFoundationDecode, SuccessGivesTheFrameAndWritesEnterRevisionRouteAndSuccessLines) {
    const std::wstring path = Movie(L"seconds_640x360_noaudio.mp4");
    auto frame = Decode(path, MidSecond(3));
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->GetWidth(), 640u);
    EXPECT_EQ(frame->GetPixelFormat(), PixelFormat32bppRGB);
    EXPECT_TRUE(SolidNear(*frame, kSecondColours[3], kTolerance));
    const std::wstring tail = L"frame=35000000 file(" + path + L")";
    const auto list = ListLines();
    ASSERT_EQ(list.size(), 4u) << Dump(list);
    EXPECT_EQ(list[0], L"(mf-fallback) enter " + tail);
    EXPECT_EQ(list[1], L"(mf-fallback) decoder-rev=mfdec-rgbfix-20260427-2305 file(" + path + L")");
    EXPECT_EQ(list[2], L"(decode-route) route=mf " + tail + L" source_size=640x360");
    EXPECT_EQ(list[3], L"(mf-fallback) success iter=0 " + tail);
    EXPECT_EQ(MainLines().back(), L"[LOG_LINE] (mf-fallback) exit success " + tail);
}

TEST_F(MediaFoundationDecode, FullHdComesBackScaledTo1280x720Argb) {
    const std::wstring path = Movie(L"seconds_1920x1080_h264.mp4");
    auto frame = Decode(path, 95 * kSecond / 10);
    ASSERT_NE(frame, nullptr) << Dump(MainLines());
    EXPECT_EQ(frame->GetWidth(), 1280u);
    EXPECT_EQ(frame->GetHeight(), 720u);
    EXPECT_EQ(frame->GetPixelFormat(), PixelFormat32bppARGB);
    EXPECT_TRUE(SolidNear(*frame, kSecondColours[9], kTolerance));
    EXPECT_TRUE(Contains(ListLines(), L"(mf-fallback) scale-down 1920x1080 -> 1280x720 frame=95000000 file(" +
                                          path + L")"));
}

TEST_F(MediaFoundationDecode, PositionPastTheEndReportsEndOfStream) {
    const std::wstring path = Movie(L"seconds_640x360_h264_aac.mp4");
    EXPECT_EQ(Decode(path, 20 * kSecond), nullptr);
    const std::wstring tail = L"frame=200000000 file(" + path + L")";
    const auto list = ListLines();
    ASSERT_GE(list.size(), 2u);
    EXPECT_EQ(list[list.size() - 2], L"(mf-fallback) EOS iter=0 " + tail) << Dump(list);
    EXPECT_EQ(list.back(), L"(mf-fallback) exit fail " + tail);
    EXPECT_EQ(MainLines().back(), L"[LOG_LINE] (mf-fallback) exit fail " + tail);
}

TEST_F(MediaFoundationDecode, CancelEventAlreadySetGivesUpBeforeTheFirstRead) {
    const std::wstring path = Movie(L"seconds_640x360_h264_aac.mp4");
    // The service's kind of event: auto-reset, so a look that takes it must give it back.
    UniqueHandle cancel(CreateEventW(nullptr, FALSE, TRUE, nullptr));
    EXPECT_EQ(Decode(path, 2 * kSecond, cancel.get()), nullptr);
    const std::wstring tail = L"frame=20000000 file(" + path + L")";
    const auto list = ListLines();
    ASSERT_EQ(list.size(), 5u) << Dump(list);
    EXPECT_EQ(list[2], L"(decode-route) route=mf " + tail + L" source_size=640x360");
    EXPECT_EQ(list[3], L"(mf-fallback) cancel iter=0 " + tail);
    EXPECT_EQ(list[4], L"(mf-fallback) exit fail " + tail);
    EXPECT_FALSE(Contains(MainLines(), L"[LOG_LINE] (mf-fallback) ReadSample begin iter=0 frame=20000000"));
    EXPECT_EQ(WaitForSingleObject(cancel.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));  // still set
}

TEST_F(MediaFoundationDecode, FileThatIsNotAMovieFailsToOpen) {
    // Wine's reader answers random bytes with E_FAIL.
    const std::wstring path = Movie(L"not_a_movie.mp4");
    EXPECT_EQ(Decode(path, 1), nullptr);
    const auto list = ListLines();
    ASSERT_EQ(list.size(), 4u) << Dump(list);
    EXPECT_EQ(list[2], L"(mf-fallback) MFCreateSourceReaderFromURL failed hr=0x80004005 frame=1 file(" + path + L")");
    EXPECT_EQ(list[3], L"(mf-fallback) exit fail frame=1 file(" + path + L")");
}

}  // namespace
